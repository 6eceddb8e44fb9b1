// SPDX-License-Identifier: GPL-3.0-or-later
// The engine with the real output plug-ins from the run folder: the RtAudio
// plug-in against a running `jackd -d dummy -r 44100 -p 256`, and the file
// device, whose recording.wav is read back. The file device records into
// the folder it was loaded from, so the test runs it from a temporary copy.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_state.h"
#include "engine/fbs.h"

namespace {

std::atomic<int> blocks_seen{0};
std::atomic<int> loud_blocks{0};
std::atomic<int> frames_seen{0};

void count_blocks(int16_t* block, int32_t channels, int32_t frames) {
  blocks_seen.fetch_add(1);
  frames_seen.store(frames);
  for (int i = 0; i < frames * channels; i++) {
    if (block[i] == 2000) {
      loud_blocks.fetch_add(1);
      break;
    }
  }
}

// A stereo wave of n frames holding 2000 in both channels.
int32_t loud_wave(int frames) {
  std::vector<int16_t> s(static_cast<size_t>(frames) * 2, 2000);
  return fbs_wave_store_copy(s.data(), static_cast<uint32_t>(s.size() * 2));
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return bytes;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  std::fclose(f);
  return bytes;
}

class EngineOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    blocks_seen = 0;
    loud_blocks = 0;
    frames_seen = 0;
  }
  void TearDown() override { FBS_EXIT(); }
};

TEST_F(EngineOutput, RtAudioPlugInPlaysThroughJackAtTheServersPace) {
  // The services start the server without letting clients start their own.
  setenv("JACK_NO_START_SERVER", "1", 1);
  FBS_SET_PLUGPATH(QD_RUN_DIR);
  ASSERT_EQ(FBS_INIT(44100, 2, 3, 1024, 0), 1) << FBS_GET_PLUGERROR();
  EXPECT_NE(std::string(FBS_GET_PLUGNAME()).find("JACK"), std::string::npos)
      << FBS_GET_PLUGNAME();
  // JACK grants its own period: 256 frames of 4 bytes.
  EXPECT_EQ(FBS_GET_PLUGFRAMES(), 256);
  EXPECT_EQ(FBS_GET_PLUGBUFFERSIZE(), 1024);
  EXPECT_EQ(FBS_GET_PLUGRUNNING(), 1);
  ASSERT_EQ(FBS_SET_MASTERCALLBACK(count_blocks), 1);
  ASSERT_EQ(FBS_ENABLE_MASTERCALLBACK(), 1);
  int32_t s = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(loud_wave(44100), &s), 1);
  ASSERT_EQ(FBS_PLAY_SOUND(s, 0), 1);
  int32_t bytes_before = FBS_GET_PLAYEDBYTES();
  sleep_ms(1000);
  int seen = blocks_seen.load();
  // 44100 / 256 = 172 blocks a second; allow a slow, shared machine.
  EXPECT_GT(seen, 80);
  EXPECT_LT(seen, 400);
  EXPECT_GT(loud_blocks.load(), 0);
  EXPECT_EQ(frames_seen.load(), 256);
  EXPECT_EQ(FBS_GET_PLAYINGSOUNDS(), 1);
  EXPECT_GT(FBS_GET_PLAYEDBYTES() - bytes_before, 80 * 1024);

  EXPECT_EQ(FBS_STOP(), 1);
  EXPECT_EQ(FBS_GET_PLUGRUNNING(), 0);
  int stopped_at = blocks_seen.load();
  sleep_ms(200);
  EXPECT_EQ(blocks_seen.load(), stopped_at);
  EXPECT_EQ(FBS_START(), 1);
  sleep_ms(200);
  EXPECT_GT(blocks_seen.load(), stopped_at);
  EXPECT_EQ(FBS_EXIT(), 1);
  EXPECT_EQ(FBS_GET_NUMOFPLUGOUTS(), 0);
  int exited_at = blocks_seen.load();
  sleep_ms(100);
  EXPECT_EQ(blocks_seen.load(), exited_at);
}

TEST_F(EngineOutput, FileDeviceRecordsAValidWavFileWhileItRuns) {
  char tmpl[] = "/tmp/qd_wavdev_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = std::string(tmpl) + "/";
  std::filesystem::copy_file(std::string(QD_RUN_DIR) + "plug-wav.so", dir + "plug-wav.so");
  FBS_SET_PLUGPATH(dir.c_str());
  // The file device takes only the last attempt's device -1.
  EXPECT_EQ(FBS_INIT(44100, 2, 3, 1024, 0), 0);
  ASSERT_EQ(FBS_INIT(44100, 2, 3, 2048, -1), 1) << FBS_GET_PLUGERROR();
  EXPECT_STREQ(FBS_GET_PLUGDEVICE(), "recording.wav");
  EXPECT_EQ(FBS_GET_PLUGBUFFERSIZE(), 8192);
  ASSERT_EQ(FBS_SET_MASTERCALLBACK(count_blocks), 1);
  ASSERT_EQ(FBS_ENABLE_MASTERCALLBACK(), 1);
  int32_t s = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(loud_wave(44100), &s), 1);
  ASSERT_EQ(FBS_PLAY_SOUND(s, 0), 1);
  sleep_ms(500);
  // 2048-frame blocks at 44100 Hz: about 21.5 a second.
  EXPECT_GE(blocks_seen.load(), 6);
  EXPECT_LE(blocks_seen.load(), 20);

  // While it runs the header already describes the samples written.
  std::vector<uint8_t> live = read_file(dir + "recording.wav");
  ASSERT_GE(live.size(), 44u);
  EXPECT_EQ(std::memcmp(live.data(), "RIFF", 4), 0);
  uint32_t live_data = le32(live, 40);
  EXPECT_EQ(live_data % 8192, 0u);
  EXPECT_GE(live.size(), 44u + live_data);
  EXPECT_EQ(le32(live, 4), 36 + live_data);

  ASSERT_EQ(FBS_EXIT(), 1);
  std::vector<uint8_t> wav = read_file(dir + "recording.wav");
  ASSERT_GT(wav.size(), 44u);
  EXPECT_EQ(std::memcmp(wav.data() + 8, "WAVEfmt ", 8), 0);
  EXPECT_EQ(le32(wav, 24), 44100u);                         // rate
  EXPECT_EQ(wav[22], 2);                                    // channels
  EXPECT_EQ(wav[34], 16);                                   // bits
  EXPECT_EQ(std::memcmp(wav.data() + 36, "data", 4), 0);
  uint32_t data = le32(wav, 40);
  EXPECT_EQ(wav.size(), 44u + data);
  EXPECT_EQ(data % 8192, 0u);
  EXPECT_GE(data, 6u * 8192);
  // The sound is what was recorded: the last block is all 2000 (the first
  // ones may be from before the sound started).
  const int16_t* samples = reinterpret_cast<const int16_t*>(wav.data() + 44);
  size_t count = data / 2;
  for (size_t i = count - 4096; i < count; i++) ASSERT_EQ(samples[i], 2000) << i;
  std::filesystem::remove_all(dir);
}

TEST_F(EngineOutput, FileDeviceThatCannotWriteReportsItsDeviceLost) {
  char tmpl[] = "/tmp/qd_wavlost_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = std::string(tmpl) + "/";
  std::filesystem::copy_file(std::string(QD_RUN_DIR) + "plug-wav.so", dir + "plug-wav.so");
  FBS_SET_PLUGPATH(dir.c_str());
  // Files of this process may not grow past 20 blocks: a full disk.
  struct rlimit old_limit;
  getrlimit(RLIMIT_FSIZE, &old_limit);
  struct rlimit limit = old_limit;
  limit.rlim_cur = 44 + 20 * 8192;
  signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  ASSERT_EQ(FBS_INIT(44100, 2, 3, 2048, -1), 1) << FBS_GET_PLUGERROR();
  EXPECT_EQ(FBS_GET_PLUGLOST(), 0);
  // 20 blocks take about 0.93 s; the 21st cannot be written.
  for (int i = 0; i < 100 && !FBS_GET_PLUGLOST(); i++) sleep_ms(50);
  EXPECT_EQ(FBS_GET_PLUGLOST(), 1);
  EXPECT_STREQ(FBS_GET_PLUGERROR(), "recording.wav: write failed");
  setrlimit(RLIMIT_FSIZE, &old_limit);
  // Opened again, the device records afresh into a new file and keeps the
  // recording it made before.
  ASSERT_EQ(FBS_INIT(44100, 2, 3, 2048, -1), 1) << FBS_GET_PLUGERROR();
  EXPECT_EQ(FBS_GET_PLUGLOST(), 0);
  EXPECT_STREQ(FBS_GET_PLUGDEVICE(), "recording-2.wav");
  EXPECT_EQ(FBS_EXIT(), 1);
  std::vector<uint8_t> first = read_file(dir + "recording.wav");
  ASSERT_EQ(first.size(), 44u + 20 * 8192);
  EXPECT_EQ(le32(first, 40), 20u * 8192);
  std::filesystem::remove_all(dir);
}

}  // namespace
