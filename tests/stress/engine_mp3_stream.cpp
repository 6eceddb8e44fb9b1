// SPDX-License-Identifier: GPL-3.0-or-later
// Starting and ending the MP3 stream while a plug-in thread mixes it: a play
// returns once its decoder runs, an end once the decoder is gone, whether it
// was decoding, waiting for room in a full ring or already finished, and
// nothing may race (run under ThreadSanitizer).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_state.h"
#include "engine/fbs.h"
#include "tests/support/engine_test_output.h"

namespace {

std::atomic<int> g_blocks{0};
void FBS_CALL count_block(int16_t*, int32_t, int32_t) { g_blocks.fetch_add(1); }

std::vector<uint8_t> read_file(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  int c;
  while ((c = fgetc(f)) != EOF) bytes.push_back((uint8_t)c);
  fclose(f);
  return bytes;
}

TEST(EngineMp3Stream, StartedAndEndedWhileThePlugInThreadMixes) {
  FbsPlugRecord* record = enginetest::use_output(44100, 2, 256);
  // A short file, and a long one of the same frames over and over, whose
  // decoder fills the ring and waits for room.
  const std::string short_mp3 =
      std::string(QD_SOURCE_DIR) + "tests/fuzz/seeds/engine_mp3_stream/stereo_44100.mp3";
  std::vector<uint8_t> frames = read_file(short_mp3);
  ASSERT_FALSE(frames.empty());
  const std::string long_mp3 = "/tmp/qd_stress_stream_" + std::to_string(getpid()) + ".mp3";
  FILE* f = fopen(long_mp3.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  for (int i = 0; i < 200; ++i) fwrite(frames.data(), 1, frames.size(), f);
  fclose(f);

  enginetest::FillThread plugin(record, 50);
  std::atomic<int>& fills = plugin.fills;

  float volume = 0.0f;
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const int kind = round % 3;
    ASSERT_EQ(FBS_CREATE_MP3STREAM((kind == 2 ? short_mp3 : long_mp3).c_str()), 1);
    ASSERT_EQ(FBS_SET_STREAMCALLBACK(count_block), 1);
    ASSERT_EQ(FBS_ENABLE_STREAMCALLBACK(), 1);
    const int blocks = g_blocks.load();
    ASSERT_EQ(FBS_PLAY_MP3STREAM(0.8f, -0.3f), 1);
    if (kind == 1) {
      // Mixed for a while: the decoder is at work or waits for room.
      const int target = fills.load() + 5;
      while (fills.load() < target) std::this_thread::yield();
    } else if (kind == 2) {
      // Played to its end: the stream ends by itself.
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (FBS_GET_STREAMVOLUME(&volume) == 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
      EXPECT_EQ(FBS_GET_STREAMVOLUME(&volume), 0) << "the stream ended by itself";
      EXPECT_GT(g_blocks.load(), blocks) << "and was heard";
    }
    EXPECT_EQ(FBS_END_MP3STREAM(), 1);
    EXPECT_EQ(FBS_GET_STREAMVOLUME(&volume), 0);
  }
  remove(long_mp3.c_str());
}

}  // namespace
