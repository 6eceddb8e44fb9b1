// SPDX-License-Identifier: GPL-3.0-or-later
// The key reverb editor, headless on a virtual clock over nine engine waves:
// what a press on each slider sets, that every change switches the key
// reverb on and rewrites the samples at once, the "y" switch, undo and redo,
// the screen, and absurd values loaded from a ".keyrev" file.
#include <gtest/gtest.h>

#include "effects/keyrev.h"
#include "effects/keyrev_editor.h"
#include "tests/support/editor_session.h"
#include "tests/support/pass_waves.h"

using namespace editortest;

namespace {

class KeyrevEditor : public ::testing::Test, public PassWaves {
 protected:
  void SetUp() override {
    use(2);
    keyrev_on = 1;
    // One click at the start of every wave; its echoes follow.
    make_all(100000, [](int, int j) { return (int16_t)(j < 2 ? 20000 : 0); });
    copy();
    keytone_pass();
    start();
  }
  void TearDown() override {
    finish();
    destroy();
  }
  // Echoes in wave 8 beyond the click.
  bool echoes() const {
    for (int j = 2; j < values[8]; j++)
      if (data[8][j] > 100) return true;
    return false;
  }
};

TEST_F(KeyrevEditor, APressSetsTheSliderAndAppliesAtOnce) {
  struct Case {
    const char* what;
    int x, y;
    ReverbParams expected;  // kreverb1, kreverb2, Treverb1, Treverb2
  } cases[] = {
      {"slider 1 at x 0: 10 ms", 0, 15, {0.55f, 0.34f, 10.0f, 300.0f}},
      {"slider 1 at x 210: 400 ms", 210, 15, {0.55f, 0.34f, 400.0f, 300.0f}},
      {"slider 3 at x 105: 200 ms", 105, 60, {0.55f, 0.34f, 225.0f, 200.0f}},
      {"slider 2 at x 213: 0.7", 213, 31, {0.7f, 0.34f, 225.0f, 300.0f}},
      {"slider 4 at x 30: 0.1", 30, 80, {0.55f, 0.1f, 225.0f, 300.0f}},
  };
  for (const Case& c : cases) {
    keyrev_params = {0.55f, 0.34f, 225.0f, 300.0f};
    keyrev_on = 0;
    run(keyrev_editor, {[&] { mark_unwritten(); }, mouse(c.x, c.y, 1), mouse(c.x, c.y, 0), idle()});
    EXPECT_TRUE(same_reverb(keyrev_params, c.expected)) << c.what;
    EXPECT_EQ(keyrev_on, 1) << c.what;
    EXPECT_TRUE(rewritten()) << c.what;
    EXPECT_EQ(win_row_text(1).substr(33, 8), "[Y]on   ") << c.what;
  }
  // Beyond the sliders' reach nothing changes and nothing is rewritten.
  keyrev_on = 0;
  run(keyrev_editor, {[&] { mark_unwritten(); }, mouse(214, 15, 1), mouse(214, 15, 0), idle()});
  EXPECT_FALSE(rewritten());
  EXPECT_EQ(keyrev_on, 0);
}

TEST_F(KeyrevEditor, YSwitchesTheEchoesOffAndOn) {
  ASSERT_TRUE(echoes());
  double before = virtual_now;
  run(keyrev_editor, {key("y"), idle()});
  EXPECT_EQ(keyrev_on, 0);
  EXPECT_FALSE(echoes());
  EXPECT_EQ(win_row_text(1).substr(33, 8), "[Y]off  ");
  EXPECT_GE(virtual_now - before, 0.1) << "a pause before the samples are rewritten";
  run(keyrev_editor, {key("Y"), idle()});
  EXPECT_EQ(keyrev_on, 1);
  EXPECT_TRUE(echoes());
}

TEST_F(KeyrevEditor, UndoAndRedoApplyAtOnce) {
  run(keyrev_editor, {mouse(0, 15, 1), mouse(0, 15, 0), [&] { mark_unwritten(); }, key("u"), idle()});
  EXPECT_EQ(keyrev_params.Treverb1, 225.0f);
  EXPECT_TRUE(rewritten());
  run(keyrev_editor, {mouse(0, 15, 1), mouse(0, 15, 0), key("u"), idle(), [&] { mark_unwritten(); }, key("r"), idle()});
  EXPECT_EQ(keyrev_params.Treverb1, 10.0f);
  EXPECT_TRUE(rewritten());
}

TEST_F(KeyrevEditor, ScreenShowsTitleSlidersAndSwitch) {
  run(keyrev_editor, {idle()});
  EXPECT_EQ(win_row_text(1).substr(0, 41), "keyreverb   [S]save  [L]load     [Y]on   ");
  EXPECT_EQ(win_row_text(3).substr(28, 12), "Treverb1=225");
  EXPECT_EQ(win_row_text(10).substr(28, 14), "kreverb2=0.340");
  EXPECT_EQ(win_read_pixel(118, 19), 0x00FF00u) << "225 of 400 fills to x 118";
  EXPECT_EQ(win_read_pixel(119, 19), win_background());
}

TEST_F(KeyrevEditor, AbsurdValuesFromAFileApplyWithinRange) {
  SaveFolder folder;
  struct Case {
    const char* text;
  } cases[] = {{" 1e30\n 0.5\n-5\n 5000\n"}, {"-3e38\n 3e38\n 3e38\n-3e38\n"}, {" 2\n 0\n 10\n 10\n"}};
  for (const Case& c : cases) {
    write_text("save/absurd.keyrev", c.text);
    keyrev_on = 0;
    run(keyrev_editor, {[&] { mark_unwritten(); }, answers({"save/absurd", "yes"}), key("l"), idle()});
    EXPECT_EQ(keyrev_on, 1) << c.text;
    EXPECT_TRUE(rewritten()) << c.text;
    for (int w = 0; w < kSamplesPerSet; w++)
      for (int j = 0; j < values[w]; j++) ASSERT_GE(data[w][j], -32767) << c.text << w << " " << j;
  }
}

}  // namespace
