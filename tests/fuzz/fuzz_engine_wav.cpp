// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the WAV loaders: the input as the bytes of a WAV file (the scan and
// conversion that FBS_LOAD_WAVFILE runs on the file it has read, here from
// memory, since writing a file for every input cost more than the parsing)
// and as the header and samples of an in-memory WAV image
// (FBS_LOAD_WAVFILE_SHORT), with either rate converter. Every input either converts to the output format
// or fails (the image load with handle -1); nothing may crash or leak.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/engine_state.h"
#include "engine/fbs.h"
#include "engine/wav_read.h"
#include "tests/support/engine_test_output.h"

static void check_and_destroy(int32_t ok, int32_t wave) {
  if (!ok) {
    if (wave != -1) abort();
    return;
  }
  void* begin = nullptr;
  void* end = nullptr;
  if (FBS_GET_WAVEPOINTERS(wave, &begin, &end, nullptr) != 1) abort();
  if ((uint8_t*)end <= (uint8_t*)begin) abort();
  // Touch the first and last sample so a short allocation shows.
  volatile uint8_t first = *(uint8_t*)begin, last = *((uint8_t*)end - 1);
  (void)first;
  (void)last;
  if (FBS_DESTROY_WAVE(&wave) != 1 || wave != -1) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Both output channel counts, chosen by the input so runs repeat.
  enginetest::use_output(44100, size % 2 == 0 ? 2 : 1, 256);
  FBS_SET_WAVECONVERTER((int32_t)(size / 2 % 2));

  WavSource src;
  if (wav_scan_file(data, size, &src)) {
    uint8_t* samples = nullptr;
    uint32_t bytes = 0;
    if (wav_convert(&src, data + src.data_offset, fbs_out_rate(), fbs_out_channels(), &samples,
                    &bytes)) {
      if (samples == nullptr || bytes == 0 || bytes % (2 * fbs_out_channels()) != 0) abort();
      volatile uint8_t first = samples[0], last = samples[bytes - 1];
      (void)first;
      (void)last;
      free(samples);
    }
  }

  // Image: write offset, end offset (the image size), then the input as the
  // 44-byte header and the samples.
  size_t image_size = 8 + size < 52 ? 52 : 8 + size;
  uint8_t* image = (uint8_t*)calloc(image_size, 1);
  if (image == nullptr) return 0;
  uint32_t end = (uint32_t)image_size;
  memcpy(image, &end, 4);
  memcpy(image + 4, &end, 4);
  if (size > 0) memcpy(image + 8, data, size);
  int32_t wave = 7;
  int32_t ok = FBS_LOAD_WAVFILE_SHORT(image, &wave);
  check_and_destroy(ok, wave);
  free(image);
  return 0;
}
