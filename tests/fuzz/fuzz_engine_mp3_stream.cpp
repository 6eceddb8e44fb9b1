// Fuzzes the MP3 stream: the input as an MP3 file played briefly, the
// mixer taking four blocks while the decoder thread fills the ring. Creating,
// playing and ending the stream must work on any input; nothing may crash or
// leak. Each play waits for its decoder thread to start (1 ms steps), which
// bounds this target's inputs a second.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/engine_state.h"
#include "engine/fbs.h"
#include "tests/fuzz/scratch_file.h"
#include "tests/support/engine_test_output.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string mp3 = scratch_path("fuzz_engine_mp3_stream", ".mp3");
  FbsPlugRecord* record = enginetest::use_output(44100, size % 2 == 0 ? 2 : 1, 512);
  if (!write_scratch(mp3, data, size)) return 0;

  if (FBS_CREATE_MP3STREAM(mp3.c_str()) != 1) abort();
  std::vector<int16_t> block(record->buffersize / 2);
  record->buffer = block.data();
  if (FBS_PLAY_MP3STREAM(0.7f, 0.2f) != 1) abort();
  for (int i = 0; i < 4; ++i) fbs_fill(record);
  record->buffer = nullptr;
  FBS_END_MP3STREAM();
  remove(mp3.c_str());
  return 0;
}
