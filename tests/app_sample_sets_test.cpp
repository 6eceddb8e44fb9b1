// SPDX-License-Identifier: GPL-3.0-or-later
// Sample sets: file names, which sets count as complete, B/N/digit stepping
// and the set prompt over temporary sound folders; the key-to-sample rule,
// the speed table and the velocity curve.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/loop_request.h"
#include "app/key_commands.h"
#include "app/main_loop.h"
#include "app/sample_sets.h"
#include "app/screen.h"
#include "app/settings.h"
#include "core/shared_state.h"
#include "platform/window.h"

namespace {

// A fresh folder per test, removed with everything in it afterwards.
class SoundsFolder : public ::testing::Test {
 protected:
  std::string dir;
  void SetUp() override {
    char tmpl[] = "/tmp/qd_sets_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = std::string(tmpl) + "/";
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  void touch(const std::string& name) {
    FILE* f = std::fopen((dir + name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("x", f);
    std::fclose(f);
  }
  // All nine files of a set in one form; `skip` leaves one sample number out.
  void install(int set, bool mp3, int skip = -1) {
    for (int w = 0; w < kSamplesPerSet; w++) {
      int n = sample_number(w);
      if (n == skip) continue;
      std::string path = mp3 ? sample_mp3_name(set, n, dir) : sample_wav_name(set, n, dir);
      touch(path.substr(dir.size()));
    }
  }
};

TEST(SampleSetNames, PrefixesAndBothFileForms) {
  EXPECT_EQ(sample_set_prefix(0), "piano");
  EXPECT_EQ(sample_set_prefix(7), "piano7");
  EXPECT_EQ(sample_set_prefix(8), "piano8");
  EXPECT_EQ(sample_set_prefix(14), "piano14");
  EXPECT_EQ(sample_mp3_name(0, 60), "sounds/piano_60.mp3");
  EXPECT_EQ(sample_wav_name(0, 12), "sounds/piano12.wav");
  EXPECT_EQ(sample_wav_name(0, 108), "sounds/piano108.wav");
  EXPECT_EQ(sample_mp3_name(3, 12), "sounds/piano3_12.mp3");
  EXPECT_EQ(sample_wav_name(3, 12), "sounds/piano3_12.wav");
  EXPECT_EQ(sample_wav_name(3, 108), "sounds/piano3_108.wav");
  EXPECT_EQ(sample_wav_name(14, 36, "/x/"), "/x/piano14_36.wav");
}

TEST_F(SoundsFolder, SetZeroIsAlwaysCompleteOthersNeedAllNineFiles) {
  EXPECT_EQ(sample_set_complete(0, dir), 1);  // empty folder
  EXPECT_EQ(sample_set_complete(3, dir), 0);
  install(3, false);
  EXPECT_EQ(sample_set_complete(3, dir), 1);
  install(5, true, 72);  // eight of nine
  EXPECT_EQ(sample_set_complete(5, dir), 0);
  touch("piano5_72.wav");  // the missing one in the other form completes it
  EXPECT_EQ(sample_set_complete(5, dir), 1);
  EXPECT_EQ(sample_set_complete(15, dir), 0);
  EXPECT_EQ(sample_set_complete(-1, dir), 0);
}

TEST_F(SoundsFolder, AFolderNamedLikeASampleDoesNotCount) {
  install(2, false, 48);
  ASSERT_EQ(mkdir((dir + "piano2_48.wav").c_str(), 0755), 0);
  EXPECT_EQ(sample_set_complete(2, dir), 0);
}

TEST_F(SoundsFolder, OnlySetZeroMeansEveryStepLandsOnZero) {
  install(4, false, 12);  // incomplete
  EXPECT_EQ(next_sample_set(0, dir), 0);
  EXPECT_EQ(previous_sample_set(0, dir), 0);
  for (int d = 0; d <= 9; d++) EXPECT_EQ(digit_sample_set(d, dir), 0) << d;
}

TEST_F(SoundsFolder, NextAndPreviousWrapThroughCompleteSets) {
  install(2, true);
  install(3, false, 108);  // eight of nine: skipped everywhere
  install(5, false);
  install(14, true);
  EXPECT_EQ(next_sample_set(0, dir), 2);
  EXPECT_EQ(next_sample_set(2, dir), 5);
  EXPECT_EQ(next_sample_set(5, dir), 14);
  EXPECT_EQ(next_sample_set(14, dir), 0);
  EXPECT_EQ(previous_sample_set(0, dir), 14);
  EXPECT_EQ(previous_sample_set(14, dir), 5);
  EXPECT_EQ(previous_sample_set(5, dir), 2);
  EXPECT_EQ(previous_sample_set(2, dir), 0);
  EXPECT_EQ(previous_sample_set(1, dir), 0);
  EXPECT_EQ(previous_sample_set(20, dir), 14);
}

TEST_F(SoundsFolder, DigitChoosesItsSetOrTheNearestLowerComplete) {
  install(2, true);
  install(3, false, 60);
  install(5, false);
  EXPECT_EQ(digit_sample_set(0, dir), 0);
  EXPECT_EQ(digit_sample_set(1, dir), 0);
  EXPECT_EQ(digit_sample_set(2, dir), 2);
  EXPECT_EQ(digit_sample_set(3, dir), 2);
  EXPECT_EQ(digit_sample_set(4, dir), 2);
  EXPECT_EQ(digit_sample_set(5, dir), 5);
  EXPECT_EQ(digit_sample_set(9, dir), 5);
}

TEST_F(SoundsFolder, SetPromptListsAndChoosesOnlyCompleteSets) {
  install(3, false, 60);
  install(5, false);
  EXPECT_EQ(set_prompt_line(0, dir), " 0 -> piano");
  EXPECT_EQ(set_prompt_line(3, dir), " 3 ->");
  EXPECT_EQ(set_prompt_line(5, dir), " 5 -> piano5");

  EXPECT_EQ(set_prompt_answer("", 0, dir), -1);
  EXPECT_EQ(set_prompt_answer("3", 0, dir), -1);  // incomplete
  EXPECT_EQ(set_prompt_answer("0", 0, dir), -1);  // already selected
  EXPECT_EQ(set_prompt_answer("99", 0, dir), -1);  // no such set
  EXPECT_EQ(set_prompt_answer("five", 0, dir), -1); // reads as 0, already selected
  EXPECT_EQ(set_prompt_answer("4.6", 0, dir), 5);  // rounds to 5
  EXPECT_EQ(set_prompt_answer(" 0", 5, dir), 0);
}

TEST_F(SoundsFolder, SetPromptInTheWindowAsksForANewSet) {
  ASSERT_EQ(mkdir((dir + "sounds").c_str(), 0755), 0);
  for (int w = 0; w < kSamplesPerSet; w++) {
    touch("sounds/piano5_" + std::to_string(sample_number(w)) + ".mp3");
    if (w != 3) touch("sounds/piano3_" + std::to_string(sample_number(w)) + ".wav");
  }
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  win_use_headless(true);
  set_default_settings();
  full_view = 0;
  win_open(kTextAreaWidth, kTextAreaHeight);

  struct Case {
    const char* typed;
    int requested;  // the set asked for, -1 for none
  } cases[] = {{"3\r", -1}, {"\r", -1}, {"5\r", 5}};
  for (const Case& c : cases) {
    piano_sound = 0;
    for (const char* p = c.typed; *p; p++) win_push_key(std::string(1, *p));
    EXPECT_EQ(set_prompt(), c.requested >= 0) << c.typed;
    EXPECT_EQ(piano_sound.load(), 0) << c.typed;  // the main loop switches
    EXPECT_EQ(take_set_request(piano_sound), c.requested) << c.typed;
    EXPECT_EQ(input_active.load(), 0);
    serve_window_request();  // as the main loop's mouse step does
  }
  EXPECT_EQ(win_row_text(3).substr(0, 16), "[B]prev [N]next ");  // status screen redrawn
  win_close();
  ASSERT_EQ(chdir(old), 0);
}

TEST_F(SoundsFolder, LoadFailureNamesTheFileAndLeavesNoHandles) {
  // Without a running engine every load fails; the texts and the handles
  // are what the caller relies on.
  int waves[kSamplesPerSet];
  EXPECT_EQ(load_sample_set(0, waves, dir), "error loading wav " + dir + "piano12.wav");
  for (int w : waves) EXPECT_EQ(w, -1);
  install(2, true);
  EXPECT_EQ(load_sample_set(2, waves, dir), "error loading mp3 " + dir + "piano2_12.mp3");
  for (int w : waves) EXPECT_EQ(w, -1);
}

TEST(KeySample, DefaultSplitServesSixBelowAndFiveAbove) {
  EXPECT_EQ(key_sample(6, 6), -1);
  for (int k = 7; k <= 17; k++) EXPECT_EQ(key_sample(k, 6), 0) << k;
  EXPECT_EQ(key_sample(18, 6), 1);
  for (int k = 54; k <= 65; k++) EXPECT_EQ(key_sample(k, 6), 4) << k;
  EXPECT_EQ(key_sample(108, 6), 8);
  EXPECT_EQ(key_sample(109, 6), 8);
  EXPECT_EQ(key_sample(110, 6), -1);
}

TEST(KeySample, SplitExtremes) {
  // 0: a sample serves the eleven keys above it (its own note only from 24 up).
  EXPECT_EQ(key_sample(13, 0), 0);
  EXPECT_EQ(key_sample(24, 0), 1);
  EXPECT_EQ(key_sample(115, 0), 8);
  EXPECT_EQ(key_sample(116, 0), -1);
  // 12: a sample serves the twelve keys below it.
  EXPECT_EQ(key_sample(0, 12), -1);
  EXPECT_EQ(key_sample(1, 12), 0);
  EXPECT_EQ(key_sample(12, 12), 1);
  EXPECT_EQ(key_sample(103, 12), 8);
  EXPECT_EQ(key_sample(104, 12), -1);
  // The ends of the setting's range.
  EXPECT_EQ(key_sample(116, -1), 8);
  EXPECT_EQ(key_sample(117, -1), -1);
  EXPECT_EQ(key_sample(0, 13), 0);
  EXPECT_EQ(key_sample(102, 13), 8);
}

TEST(SpeedTable, DefaultSplitSpeeds) {
  build_speed_table(6);
  EXPECT_FLOAT_EQ(speed_table[7], std::pow(2.0f, -5 / 12.0f));   // sample 12
  EXPECT_FLOAT_EQ(speed_table[12], 1.0f);
  EXPECT_FLOAT_EQ(speed_table[17], std::pow(2.0f, 5 / 12.0f));
  EXPECT_FLOAT_EQ(speed_table[54], std::pow(2.0f, -6 / 12.0f));  // sample 60
  EXPECT_FLOAT_EQ(speed_table[60], 1.0f);
  EXPECT_FLOAT_EQ(speed_table[108], 1.0f);                       // sample 108 at its own speed
  EXPECT_FLOAT_EQ(speed_table[109], std::pow(2.0f, 1 / 12.0f));
}

TEST(SpeedTable, AgreesWithTheKeyRuleForEverySplit) {
  for (int offset = -1; offset <= 13; offset++) {
    build_speed_table(offset);
    for (int k = 0; k < kSpeedTableSize; k++) {
      int w = key_sample(k, offset);
      if (w < 0) continue;
      ASSERT_LE(k, 126 - offset);  // every playable key has an entry
      double expected = std::pow(2.0, (k - sample_number(w)) / 12.0);
      EXPECT_NEAR(speed_table[k], expected, 1e-6 * expected) << "offset " << offset << " key " << k;
      EXPECT_GE(speed_table[k], std::pow(2.0f, -13 / 12.0f) * 0.9999f);
      EXPECT_LE(speed_table[k], 2.0001f);
    }
  }
}

TEST(VelocityCurve, ConstantsOfThePrefixes) {
  EXPECT_FLOAT_EQ(velocity_constant("piano"), 0.71f);
  EXPECT_FLOAT_EQ(velocity_constant("piano3"), 0.74f);
  EXPECT_FLOAT_EQ(velocity_constant("piano7"), 0.5f);
  EXPECT_FLOAT_EQ(velocity_constant("piano8"), 0.79f);
  EXPECT_FLOAT_EQ(velocity_constant("piano14"), 0.79f);
}

TEST(VelocityCurve, EndsAreExactAndCurveRisesForEverySetAndMode) {
  for (int set = 0; set < kSetCount; set++) {
    for (int mode = 0; mode <= 3; mode++) {
      build_velocity_curve(set, mode);
      EXPECT_EQ(velocity_curve[0].load(), 0.0f) << set << "," << mode;
      EXPECT_EQ(velocity_curve[127].load(), 1.0f) << set << "," << mode;
      for (int v = 1; v < kVelocityCount; v++) ASSERT_GT(velocity_curve[v], velocity_curve[v - 1]);
    }
  }
}

TEST(VelocityCurve, ModesScaleTheSetsConstant) {
  const int v = 32;
  const double x = v / 127.0, square = 1 - (1 - x) * (1 - x);
  build_velocity_curve(0, 0);
  EXPECT_NEAR(velocity_curve[v], x, 1e-6);
  build_velocity_curve(0, 1);
  EXPECT_NEAR(velocity_curve[v], 0.355 * square + 0.645 * x, 1e-6);
  build_velocity_curve(0, 2);
  EXPECT_NEAR(velocity_curve[v], 0.71 * square + 0.29 * x, 1e-6);
  build_velocity_curve(7, 2);  // piano7: 0.5
  EXPECT_NEAR(velocity_curve[v], 0.5 * square + 0.5 * x, 1e-6);
  build_velocity_curve(7, 3);
  EXPECT_NEAR(velocity_curve[v], square, 1e-6);
}

}  // namespace
