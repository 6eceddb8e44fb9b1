// SPDX-License-Identifier: GPL-3.0-or-later
// Engine lifecycle: plug-in loading and order, FBS_INIT / START / STOP /
// EXIT, plug-in queries, limits of the master settings, counters, key poll.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine_state.h"
#include "engine/fbs.h"
#include "tests/plugins/plug_test_api.h"

using plugtest::built;
using plugtest::make_plug_folder;
using plugtest::open_copy;
using plugtest::take_log;

namespace {

class Lifecycle : public ::testing::Test {
 protected:
  void TearDown() override {
    FBS_EXIT();
    FBS_SET_MAXCHANNELS(128);
    take_log();
  }
};

std::vector<std::string> lines(std::initializer_list<const char*> l) {
  return std::vector<std::string>(l.begin(), l.end());
}

// First in the file: later tests change the plug path.
TEST_F(Lifecycle, DefaultPlugPathIsTheExecutablesFolder) {
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  ASSERT_GT(n, 0);
  exe[n] = 0;
  std::string folder(exe);
  folder = folder.substr(0, folder.rfind('/') + 1);
  EXPECT_EQ(std::string(FBS_GET_PLUGPATH()), folder);
  // A path is taken unchanged: no "/" is added.
  FBS_SET_PLUGPATH("/tmp");
  EXPECT_STREQ(FBS_GET_PLUGPATH(), "/tmp");
  FBS_SET_PLUGPATH(folder.c_str());
}

TEST_F(Lifecycle, PlugInsAreTriedInListOrderUntilOneInitialises) {
  std::string dir = make_plug_folder({{built("plug_test.so"), "plug-rtaudio.so"},
                                      {built("plug_test.so"), "plug-wav.so"}});
  plugtest::Copy first = open_copy(dir + "plug-rtaudio.so");
  plugtest::Copy second = open_copy(dir + "plug-wav.so");
  ASSERT_TRUE(first.set && second.set);
  first.set("init", 0);
  FBS_SET_PLUGPATH(dir.c_str());
  EXPECT_EQ(FBS_INIT(44100, 2, 3, 1024, 0), 1);
  EXPECT_EQ(take_log(), lines({"plug-rtaudio.so isany 1", "plug-wav.so isany 1",
                               "plug-rtaudio.so init 0", "plug-wav.so init 0",
                               "plug-wav.so start"}));
  EXPECT_EQ(FBS_GET_NUMOFPLUGOUTS(), 2);
  EXPECT_STREQ(FBS_GET_PLUGNAME(), "test plug-wav.so");
  EXPECT_STREQ(FBS_GET_PLUGDEVICE(), "test device");
  EXPECT_STREQ(FBS_GET_PLUGERROR(), "test plug-in error");
  EXPECT_EQ(FBS_GET_PLUGRATE(), 44100);
  EXPECT_EQ(FBS_GET_PLUGBITS(), 16);
  EXPECT_EQ(FBS_GET_PLUGCHANNELS(), 2);
  EXPECT_EQ(FBS_GET_PLUGFRAMESIZE(), 4);
  EXPECT_EQ(FBS_GET_PLUGBUFFERSIZE(), 4096);
  EXPECT_EQ(FBS_GET_PLUGSIGNED(), 1);
  EXPECT_EQ(FBS_GET_PLUGRUNNING(), 1);
  // The record handed to the plug-in carries the caller's arguments.
  FbsPlugRecord* rec = second.record();
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->fill, &fbs_fill);
  EXPECT_EQ(rec->buffers, 3);
  EXPECT_EQ(rec->frames, 1024);
}

TEST_F(Lifecycle, PlugInWithoutIsanyOrWithAMissingEntryIsSkipped) {
  std::string dir = make_plug_folder({{built("plug_test_noisany.so"), "plug-rtaudio.so"},
                                      {built("plug_test_noexit.so"), "plug-wav.so"}});
  open_copy(dir + "plug-rtaudio.so");
  open_copy(dir + "plug-wav.so");
  FBS_SET_PLUGPATH(dir.c_str());
  EXPECT_EQ(FBS_INIT(44100, 2, 3, 1024, 0), 0);
  EXPECT_EQ(FBS_GET_NUMOFPLUGOUTS(), 0);
  // Only the copy with PLUG_ISANY was asked; neither got PLUG_INIT.
  EXPECT_EQ(take_log(), lines({"plug-wav.so isany 1"}));

  std::string good = make_plug_folder({{built("plug_test_noisany.so"), "plug-rtaudio.so"},
                                       {built("plug_test.so"), "plug-wav.so"}});
  open_copy(good + "plug-wav.so");
  FBS_SET_PLUGPATH(good.c_str());
  EXPECT_EQ(FBS_INIT(44100, 2, 3, 1024, -1), 1);
  EXPECT_EQ(FBS_GET_NUMOFPLUGOUTS(), 1);
}

TEST_F(Lifecycle, IsanyOtherThanOneRejectsThePlugIn) {
  std::string dir = make_plug_folder({{built("plug_test.so"), "plug-rtaudio.so"},
                                      {built("plug_test.so"), "plug-wav.so"}});
  open_copy(dir + "plug-rtaudio.so").set("isany", 2);
  open_copy(dir + "plug-wav.so");
  FBS_SET_PLUGPATH(dir.c_str());
  EXPECT_EQ(FBS_INIT(44100, 2, 3, 1024, 0), 1);
  EXPECT_EQ(FBS_GET_NUMOFPLUGOUTS(), 1);
  EXPECT_STREQ(FBS_GET_PLUGNAME(), "test plug-wav.so");
}

TEST_F(Lifecycle, NoPlugInMeansInitFailsAndQueriesAreEmpty) {
  FBS_SET_PLUGPATH("/nonexistent-folder-of-plugins/");
  EXPECT_EQ(FBS_INIT(44100, 2, 3, 1024, 0), 0);
  EXPECT_EQ(FBS_GET_NUMOFPLUGOUTS(), 0);
  EXPECT_EQ(FBS_GET_PLUGRATE(), 0);
  EXPECT_EQ(FBS_GET_PLUGBUFFERSIZE(), 0);
  EXPECT_STREQ(FBS_GET_PLUGERROR(), "");
  EXPECT_STREQ(FBS_GET_PLUGNAME(), "");
  EXPECT_EQ(FBS_SET_MASTERVOLUME(1.0f), 0);
  EXPECT_EQ(FBS_STOP(), 1);
  EXPECT_EQ(FBS_START(), 0);
  EXPECT_EQ(FBS_EXIT(), 1);
}

TEST_F(Lifecycle, NoPlugInThatInitialisesMeansInitFails) {
  std::string dir = make_plug_folder({{built("plug_test.so"), "plug-rtaudio.so"}});
  plugtest::Copy copy = open_copy(dir + "plug-rtaudio.so");
  copy.set("init", 0);
  FBS_SET_PLUGPATH(dir.c_str());
  EXPECT_EQ(FBS_INIT(44100, 2, 3, 1024, 0), 0);
  EXPECT_EQ(FBS_GET_NUMOFPLUGOUTS(), 1);
  EXPECT_STREQ(FBS_GET_PLUGERROR(), "");
  EXPECT_EQ(FBS_GET_PLUGRUNNING(), 0);
  // The loaded table stays until an FBS_EXIT after a successful FBS_INIT.
  copy.set("init", 1);
  EXPECT_EQ(FBS_INIT(44100, 2, 3, 1024, 0), 1);
}

TEST_F(Lifecycle, MasterSettingsKeepTheirLimits) {
  int32_t n = 0;
  EXPECT_EQ(FBS_GET_MAXCHANNELS(nullptr), 0);
  EXPECT_EQ(FBS_SET_MAXCHANNELS(0), 1);
  EXPECT_EQ(FBS_GET_MAXCHANNELS(&n), 1);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(FBS_SET_MAXCHANNELS(1000), 1);
  FBS_GET_MAXCHANNELS(&n);
  EXPECT_EQ(n, 256);
  float v = -1.0f;
  EXPECT_EQ(FBS_SET_MASTERVOLUME(0.5f), 0);
  EXPECT_EQ(FBS_GET_MASTERVOLUME(&v), 0);

  std::string dir = make_plug_folder({{built("plug_test.so"), "plug-rtaudio.so"}});
  open_copy(dir + "plug-rtaudio.so");
  FBS_SET_PLUGPATH(dir.c_str());
  ASSERT_EQ(FBS_INIT(44100, 2, 3, 1024, 0), 1);
  EXPECT_EQ(FBS_SET_MASTERVOLUME(0.0005f), 1);
  EXPECT_EQ(FBS_GET_MASTERVOLUME(&v), 1);
  EXPECT_EQ(v, 0.0f);
  EXPECT_EQ(FBS_SET_MASTERVOLUME(3.0f), 1);
  FBS_GET_MASTERVOLUME(&v);
  EXPECT_EQ(v, 2.0f);
  EXPECT_EQ(FBS_SET_MASTERVOLUME(0.001f), 1);
  FBS_GET_MASTERVOLUME(&v);
  EXPECT_EQ(v, 0.001f);
  EXPECT_EQ(FBS_GET_MASTERVOLUME(nullptr), 0);
  FBS_SET_MASTERVOLUME(1.0f);
}

TEST_F(Lifecycle, StartAndStopResultsDecideTheRunningFlag) {
  std::string dir = make_plug_folder({{built("plug_test.so"), "plug-rtaudio.so"}});
  plugtest::Copy copy = open_copy(dir + "plug-rtaudio.so");
  copy.set("start", 0);
  FBS_SET_PLUGPATH(dir.c_str());
  // Initialised but not started: INIT returns PLUG_START's 0.
  EXPECT_EQ(FBS_INIT(44100, 2, 3, 1024, 0), 0);
  EXPECT_EQ(FBS_SET_MASTERVOLUME(1.0f), 1);
  EXPECT_EQ(FBS_GET_PLUGRUNNING(), 0);
  take_log();
  EXPECT_EQ(FBS_STOP(), 1);  // nothing runs: the plug-in is not asked
  EXPECT_TRUE(take_log().empty());
  copy.set("start", 7);
  EXPECT_EQ(FBS_START(), 7);
  EXPECT_EQ(FBS_GET_PLUGRUNNING(), 7);
  copy.set("start", 1);
  EXPECT_EQ(FBS_START(), 1);
  copy.set("stop", 0);
  EXPECT_EQ(FBS_STOP(), 0);
  EXPECT_EQ(FBS_GET_PLUGRUNNING(), 1);
  copy.set("stop", 1);
  EXPECT_EQ(FBS_STOP(), 1);
  EXPECT_EQ(FBS_GET_PLUGRUNNING(), 0);
}

TEST_F(Lifecycle, InitAgainReopensOutputAndKeepsWhatThePlugInGranted) {
  std::string dir = make_plug_folder({{built("plug_test.so"), "plug-rtaudio.so"}});
  plugtest::Copy copy = open_copy(dir + "plug-rtaudio.so");
  copy.set("frames", 512);
  copy.set("buffers", 4);
  FBS_SET_PLUGPATH(dir.c_str());
  ASSERT_EQ(FBS_INIT(22050, 1, 3, 1024, 0), 1);
  EXPECT_EQ(FBS_GET_PLUGFRAMES(), 512);
  EXPECT_EQ(FBS_GET_PLUGBUFFERS(), 4);
  EXPECT_EQ(FBS_GET_PLUGFRAMESIZE(), 2);
  EXPECT_EQ(FBS_GET_PLUGBUFFERSIZE(), 1024);
  take_log();
  ASSERT_EQ(FBS_INIT(44100, 2, 3, 1024, 0), 1);
  EXPECT_EQ(take_log(), lines({"plug-rtaudio.so stop", "plug-rtaudio.so exit",
                               "plug-rtaudio.so init 0", "plug-rtaudio.so start"}));
  EXPECT_EQ(FBS_GET_PLUGBUFFERSIZE(), 2048);
}

TEST_F(Lifecycle, ExitStopsUnloadsAndTheNextInitLoadsAgain) {
  std::string dir = make_plug_folder({{built("plug_test.so"), "plug-rtaudio.so"}});
  open_copy(dir + "plug-rtaudio.so");
  FBS_SET_PLUGPATH(dir.c_str());
  ASSERT_EQ(FBS_INIT(44100, 2, 3, 1024, 0), 1);
  take_log();
  EXPECT_EQ(FBS_EXIT(), 1);
  EXPECT_EQ(take_log(), lines({"plug-rtaudio.so stop", "plug-rtaudio.so exit"}));
  EXPECT_EQ(FBS_GET_NUMOFPLUGOUTS(), 0);
  EXPECT_EQ(FBS_GET_PLUGRUNNING(), 0);
  EXPECT_EQ(FBS_SET_MASTERVOLUME(1.0f), 0);
  EXPECT_EQ(FBS_EXIT(), 1);
  EXPECT_TRUE(take_log().empty());
  ASSERT_EQ(FBS_INIT(44100, 2, 3, 1024, 0), 1);
  EXPECT_EQ(take_log(), lines({"plug-rtaudio.so isany 1", "plug-rtaudio.so init 0",
                               "plug-rtaudio.so start"}));
}

TEST_F(Lifecycle, PlayedCountersFollowTheFilledBlocksAndWrap) {
  std::string dir = make_plug_folder({{built("plug_test.so"), "plug-rtaudio.so"}});
  plugtest::Copy copy = open_copy(dir + "plug-rtaudio.so");
  FBS_SET_PLUGPATH(dir.c_str());
  EXPECT_EQ(FBS_GET_PLAYEDBYTES(), 0);
  ASSERT_EQ(FBS_INIT(44100, 2, 3, 1024, 0), 1);
  int32_t before = FBS_GET_PLAYEDBYTES();
  copy.fill(10);
  EXPECT_EQ(FBS_GET_PLAYEDBYTES() - before, 40960);
  fbs_played_bytes.store(44100 * 4);
  EXPECT_EQ(FBS_GET_PLAYEDSAMPLES(), 44100);
  EXPECT_DOUBLE_EQ(FBS_GET_PLAYTIME(), 1.0);
  // Past 2^31 - 1 the counter turns negative; samples and time read 0.
  fbs_played_bytes.store(INT32_MAX - 100);
  copy.fill(1);
  EXPECT_LT(FBS_GET_PLAYEDBYTES(), 0);
  EXPECT_EQ(FBS_GET_PLAYEDSAMPLES(), 0);
  EXPECT_EQ(FBS_GET_PLAYTIME(), 0.0);
  // The playing counts read 0 while output is stopped.
  FBS_STOP();
  EXPECT_EQ(FBS_GET_PLAYINGSOUNDS(), 0);
  EXPECT_EQ(FBS_GET_PLAYINGSTREAMS(), 0);
}

// An in-process plug-in: it opens no device and keeps the record, so the
// caller mixes blocks itself.
FbsPlugRecord* inprocess_record = nullptr;
int32_t FBS_CALL inprocess_isany(FbsPlugRecord*) { return 1; }
int32_t FBS_CALL inprocess_init(FbsPlugRecord* r) {
  r->framesize = 4;
  r->buffersize = r->frames * 4;
  std::strcpy(r->name, "in-process");
  inprocess_record = r;
  return 1;
}
int32_t FBS_CALL inprocess_start(void) { return 1; }
int32_t FBS_CALL inprocess_stop(void) { return 1; }
int32_t FBS_CALL inprocess_exit(void) { return 1; }
const char* FBS_CALL inprocess_error(void) { return ""; }

TEST_F(Lifecycle, InProcessPlugInReplacesTheFilesAndTheCallerMixes) {
  std::string dir = make_plug_folder({{built("plug_test.so"), "plug-rtaudio.so"}});
  open_copy(dir + "plug-rtaudio.so");
  FBS_SET_PLUGPATH(dir.c_str());
  FbsPlugRecord entries = {};
  entries.plug_isany = inprocess_isany;
  entries.plug_init = inprocess_init;
  entries.plug_start = inprocess_start;
  entries.plug_stop = inprocess_stop;
  entries.plug_exit = inprocess_exit;
  entries.plug_error = inprocess_error;
  fbs_set_inprocess_plugin(&entries);
  ASSERT_EQ(FBS_INIT(44100, 2, 3, 64, 0), 1);
  EXPECT_TRUE(take_log().empty()) << "a plug-in file was loaded";
  EXPECT_EQ(FBS_GET_NUMOFPLUGOUTS(), 1);
  EXPECT_STREQ(FBS_GET_PLUGNAME(), "in-process");
  EXPECT_EQ(FBS_GET_PLUGBUFFERSIZE(), 256);

  // One block on this thread: a wave played at half volume.
  std::vector<int16_t> samples(128, 1000);
  int32_t wave = fbs_wave_store_copy(samples.data(), (uint32_t)(samples.size() * 2));
  ASSERT_GE(wave, 0);
  ASSERT_EQ(FBS_PLAY_WAVE(wave, 1, 1.0f, 0.5f, 0.0f, nullptr), 1);
  ASSERT_EQ(FBS_SET_MASTERVOLUME(1.0f), 1);
  std::vector<int16_t> block(128, -1);
  ASSERT_NE(inprocess_record, nullptr);
  inprocess_record->buffer = block.data();
  int32_t before = FBS_GET_PLAYEDBYTES();
  inprocess_record->fill(inprocess_record);
  EXPECT_EQ(block, std::vector<int16_t>(128, 500));
  EXPECT_EQ(FBS_GET_PLAYEDBYTES() - before, 256);
  EXPECT_EQ(FBS_EXIT(), 1);

  // Without it, loading goes back to the plug path's files.
  fbs_set_inprocess_plugin(nullptr);
  ASSERT_EQ(FBS_INIT(44100, 2, 3, 1024, 0), 1);
  EXPECT_EQ(take_log(), lines({"plug-rtaudio.so isany 1", "plug-rtaudio.so init 0",
                               "plug-rtaudio.so start"}));
}

std::vector<int> pending_keys;
int next_key(void) {
  if (pending_keys.empty()) return 0;
  int c = pending_keys.front();
  pending_keys.erase(pending_keys.begin());
  return c;
}

TEST_F(Lifecycle, KeycodeReadsTheInstalledKeySource) {
  fbs_set_key_source(nullptr);
  EXPECT_EQ(FBS_GET_KEYCODE(), 0);
  fbs_set_key_source(next_key);
  EXPECT_EQ(FBS_GET_KEYCODE(), 0);
  pending_keys = {'a', 255, 72};
  EXPECT_EQ(FBS_GET_KEYCODE(), 97);
  EXPECT_EQ(FBS_GET_KEYCODE(), 256 + 72);
  EXPECT_EQ(FBS_GET_KEYCODE(), 0);
  fbs_set_key_source(nullptr);
}

}  // namespace
