// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the MP3 stream: the input as an MP3 file played briefly, the
// mixer taking four blocks while the decoder thread fills the ring. Creating,
// playing and ending the stream must work on any input; nothing may crash or
// leak. Each input starts and ends a decoder thread, which is most of its
// cost.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/engine_state.h"
#include "engine/fbs.h"
#include "tests/fuzz/scratch_file.h"
#include "tests/support/engine_test_output.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const ScratchFile mp3("fuzz_engine_mp3_stream", ".mp3");
  static int16_t block[512 * 2];  // one block of 512 frames, stereo at most
  FbsPlugRecord* record = enginetest::use_output(44100, size % 2 == 0 ? 2 : 1, 512);
  if (!mp3.write(data, size)) return 0;

  if (FBS_CREATE_MP3STREAM(mp3.path.c_str()) != 1) abort();
  record->buffer = block;
  if (FBS_PLAY_MP3STREAM(0.7f, 0.2f) != 1) abort();
  for (int i = 0; i < 4; ++i) fbs_fill(record);
  record->buffer = nullptr;
  FBS_END_MP3STREAM();
  return 0;
}
