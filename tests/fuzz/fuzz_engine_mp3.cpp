// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the whole-file MP3 loaders: the input as an MP3 file loaded either
// through the temporary WAV file (FBS_LOAD_MP3FILE) or through the in-memory
// image (FBS_LOAD_MP3FILE_SHORT); both decode alike, so each input takes one
// of them, chosen by its length so runs repeat. Every load either gives a
// wave or fails with handle -1; the temporary file never stays behind;
// nothing may crash or leak. The stream has a target of its own.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/engine_state.h"
#include "engine/fbs.h"
#include "tests/fuzz/scratch_file.h"
#include "tests/support/engine_test_output.h"

static void quiet(const char*) {}

static void check_and_destroy(int32_t ok, int32_t wave) {
  if (!ok) {
    if (wave != -1) abort();
    return;
  }
  void* begin = nullptr;
  void* end = nullptr;
  if (FBS_GET_WAVEPOINTERS(wave, &begin, &end, nullptr) != 1) abort();
  volatile uint8_t last = *((uint8_t*)end - 1);
  (void)last;
  if (FBS_DESTROY_WAVE(&wave) != 1) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const ScratchFile mp3("fuzz_engine_mp3", ".mp3");
  static const std::string tmp = scratch_path("fuzz_engine_mp3", ".wav");
  fbs_set_text_sink(quiet);
  enginetest::use_output(44100, size % 2 == 0 ? 2 : 1, 512);
  if (!mp3.write(data, size)) return 0;

  int32_t wave = 7;
  if (size & 2) {
    check_and_destroy(FBS_LOAD_MP3FILE(mp3.path.c_str(), &wave, tmp.c_str()), wave);
    struct stat st;
    if (stat(tmp.c_str(), &st) == 0) abort();  // the temporary file stayed
  } else {
    check_and_destroy(FBS_LOAD_MP3FILE_SHORT(mp3.path.c_str(), &wave, 0, 1), wave);
  }
  return 0;
}
