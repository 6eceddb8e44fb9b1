// Fuzzes the MP3 paths: the input as an MP3 file loaded through the temporary
// WAV file and through the in-memory image, and played briefly as the stream.
// Every load either gives a wave or fails with handle -1; the temporary file
// never stays behind; nothing may crash or leak.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine_state.h"
#include "engine/fbs.h"
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
  static const std::string base = "/tmp/fuzz_engine_mp3_" + std::to_string(getpid());
  static const std::string mp3 = base + ".mp3";
  static const std::string tmp = base + ".wav";
  fbs_set_text_sink(quiet);
  FbsPlugRecord* record = enginetest::use_output(44100, size % 2 == 0 ? 2 : 1, 512);

  FILE* f = fopen(mp3.c_str(), "wb");
  if (f == nullptr) return 0;
  fwrite(data, 1, size, f);
  fclose(f);

  int32_t wave = 7;
  check_and_destroy(FBS_LOAD_MP3FILE(mp3.c_str(), &wave, tmp.c_str()), wave);
  struct stat st;
  if (stat(tmp.c_str(), &st) == 0) abort();  // the temporary file stayed
  wave = 7;
  check_and_destroy(FBS_LOAD_MP3FILE_SHORT(mp3.c_str(), &wave, 0, 1), wave);

  if (FBS_CREATE_MP3STREAM(mp3.c_str()) == 1) {
    std::vector<int16_t> block(record->buffersize / 2);
    record->buffer = block.data();
    if (FBS_PLAY_MP3STREAM(0.7f, 0.2f) != 1) abort();
    for (int i = 0; i < 4; ++i) fbs_fill(record);
    record->buffer = nullptr;
    FBS_END_MP3STREAM();
  }
  remove(mp3.c_str());
  return 0;
}
