// SPDX-License-Identifier: GPL-3.0-or-later
// The reverb2 / reverb3 editor, headless on a virtual clock: what a press on
// each slider sets, the reach of the sliders, undo and redo, which set each
// reverb mode edits, and the screen.
#include <gtest/gtest.h>

#include "effects/master_chain.h"
#include "effects/reverb.h"
#include "effects/reverb_editor.h"
#include "tests/support/editor_session.h"

using namespace editortest;

namespace {

class ReverbEditor : public ::testing::Test {
 protected:
  void SetUp() override {
    set_default_settings();
    reverb_mode = 3;
    start();
  }
  void TearDown() override { finish(); }
  static void edit() { reverb_editor(reverb_mode.load()); }
};

TEST_F(ReverbEditor, APressSetsTheSliderUnderIt) {
  struct Case {
    const char* what;
    int x, y;
    ReverbParams expected;  // kreverb1, kreverb2, Treverb1, Treverb2
  } cases[] = {
      {"slider 1 at x 0: 10 ms", 0, 15, {0.55f, 0.34f, 10.0f, 300.0f}},
      {"slider 1 at x 210: 1000 ms", 210, 19, {0.55f, 0.34f, 1000.0f, 300.0f}},
      {"slider 1 at x 213 (the reach): still at most 1000", 213, 23, {0.55f, 0.34f, 1000.0f, 300.0f}},
      {"slider 1 at x 105: 500 ms", 105, 14, {0.55f, 0.34f, 500.0f, 300.0f}},
      {"slider 2 at x 0: 0", 0, 30, {0.0f, 0.34f, 225.0f, 300.0f}},
      {"slider 2 at x 210: 0.7", 210, 40, {0.7f, 0.34f, 225.0f, 300.0f}},
      {"slider 3 at x 21: 100 ms", 21, 55, {0.55f, 0.34f, 225.0f, 100.0f}},
      {"slider 4 at x 105: 0.35", 105, 71, {0.55f, 0.35f, 225.0f, 300.0f}},
      {"beyond x 213 nothing", 214, 15, {0.55f, 0.34f, 225.0f, 300.0f}},
      {"between sliders nothing", 100, 45, {0.55f, 0.34f, 225.0f, 300.0f}},
      {"right button nothing", 100, 15, {0.55f, 0.34f, 225.0f, 300.0f}},
  };
  for (const Case& c : cases) {
    reverb3_params = {0.55f, 0.34f, 225.0f, 300.0f};
    run(edit, {mouse(c.x, c.y, c.y == 15 && c.x == 100 ? 2 : 1), mouse(c.x, c.y, 0), idle()});
    EXPECT_TRUE(same_reverb(reverb3_params, c.expected))
        << c.what << ": " << reverb3_params.kreverb1 << " " << reverb3_params.kreverb2 << " "
        << reverb3_params.Treverb1 << " " << reverb3_params.Treverb2;
  }
}

TEST_F(ReverbEditor, UndoAfterTwoChangesRestoresOnlyTheLast) {
  run(edit, {mouse(105, 15, 1), mouse(105, 15, 0), mouse(0, 71, 1), mouse(0, 71, 0), key("u"), idle()});
  EXPECT_EQ(reverb3_params.Treverb1, 500.0f);
  EXPECT_EQ(reverb3_params.kreverb2, 0.34f);
  run(edit, {key("r"), idle()});
  EXPECT_EQ(reverb3_params.kreverb2, 0.34f) << "a new session starts both snapshots afresh";
  run(edit, {mouse(0, 71, 1), mouse(0, 71, 0), key("u"), idle(), key("r"), idle()});
  EXPECT_EQ(reverb3_params.kreverb2, 0.0f);
}

TEST_F(ReverbEditor, AButtonHeldStillKeepsTheValueBeforeItForUndo) {
  run(edit, {mouse(105, 15, 1), idle(), idle(), mouse(105, 15, 0), key("u"), idle()});
  EXPECT_EQ(reverb3_params.Treverb1, 225.0f);
  // Moving while held is a change on every pass: undo goes back one step.
  run(edit, {mouse(105, 15, 1), mouse(21, 15, 1), mouse(21, 15, 0), key("u"), idle()});
  EXPECT_EQ(reverb3_params.Treverb1, 500.0f);
}

TEST_F(ReverbEditor, EveryChangeIsSetUpAtOnce) {
  plug_rate = 44100;
  plug_channels = 2;
  int after_press = 0, after_undo = 0;
  run(edit, {mouse(105, 15, 1), [&] { after_press = reverb_delay1.load(); }, mouse(105, 15, 0), key("u"), idle(),
             [&] { after_undo = reverb_delay1.load(); }});
  EXPECT_EQ(after_press, 44100) << "500 ms of stereo at 44100 Hz";
  EXPECT_EQ(after_undo, 19844) << "225 ms: floor(9922.5) x 2";
}

TEST_F(ReverbEditor, EachModeEditsItsOwnSet) {
  reverb_mode = 2;
  run(edit, {mouse(0, 15, 1), mouse(0, 15, 0), idle()});
  EXPECT_EQ(reverb2_params.Treverb1, 10.0f);
  EXPECT_EQ(reverb3_params.Treverb1, 225.0f);
  EXPECT_EQ(win_row_text(1).substr(0, 26), "reverb2   [S]save  [L]load");
  for (int mode : {0, 1}) {
    reverb_mode = mode;
    EXPECT_EQ(run(edit, {mouse(0, 31, 1)}), 0u) << "mode " << mode << " has no editor";
  }
}

TEST_F(ReverbEditor, ScreenShowsSlidersAndValues) {
  run(edit, {});
  EXPECT_EQ(win_row_text(1).substr(0, 26), "reverb3   [S]save  [L]load");
  EXPECT_EQ(win_row_text(3).substr(28, 12), "Treverb1=225");
  EXPECT_EQ(win_row_text(5).substr(28, 14), "kreverb1=0.550");
  EXPECT_EQ(win_row_text(8).substr(28, 12), "Treverb2=300");
  EXPECT_EQ(win_row_text(10).substr(28, 14), "kreverb2=0.340");
  uint32_t fg = win_foreground();
  EXPECT_EQ(win_read_pixel(30, 19), 0x00FF00u) << "225 of 1000 fills to x 47";
  EXPECT_EQ(win_read_pixel(47, 19), 0x00FF00u);
  EXPECT_EQ(win_read_pixel(48, 19), win_background());
  EXPECT_EQ(win_read_pixel(120, 15), fg) << "the outline";
  EXPECT_EQ(win_read_pixel(210, 19), fg);
  EXPECT_EQ(win_read_pixel(100, 75), 0x00FF00u) << "0.34 of 0.7 fills to x 102";
  EXPECT_EQ(win_read_pixel(103, 75), win_background());
}

TEST_F(ReverbEditor, ValuesFromAFileFarOutsideTheRangesStillDraw) {
  reverb3_params = {1e30f, -3e38f, -5.0f, 3e38f};
  run(edit, {});
  EXPECT_EQ(win_row_text(3).substr(28, 11), "Treverb1=-5");
  EXPECT_EQ(win_row_text(8).substr(28, 14), "Treverb2=3e+38");
}

}  // namespace
