// SPDX-License-Identifier: GPL-3.0-or-later
// The key tone editor, headless on a virtual clock over nine engine waves:
// what a press sets, when the samples are rewritten (the "a" key, the
// automatic application 7 s after the last, "x", a load, leaving), the
// order key, the screen, and absurd values loaded from a ".key" file.
#include <gtest/gtest.h>

#include <cmath>

#include "effects/keytone.h"
#include "effects/keytone_editor.h"
#include "effects/sample_pass.h"
#include "tests/support/editor_session.h"
#include "tests/support/pass_waves.h"

using namespace editortest;

namespace {

class KeytoneEditor : public ::testing::Test, public PassWaves {
 protected:
  void SetUp() override {
    use(2);
    keytone_mode = 1;
    make_all(4000, [](int w, int j) { return (int16_t)((j / (10 + w)) % 2 ? 12000 : -12000); });
    copy();
    keytone_pass();  // as after a load with the key tone on: the editor is only entered so
    start();
  }
  void TearDown() override {
    finish();
    destroy();
  }
};

float gain_of(int y) { return static_cast<float>(std::pow(10.0, (54 - y) / 37.0)); }

TEST_F(KeytoneEditor, APressSetsWhatThePixelMeans) {
  struct Case {
    const char* what;
    int x, y, buttons;
    int lowf, highf;
    float lowg, midg, highg;
  } cases[] = {
      {"middle: 1122 (1.122 f0) is the low band", 172, 30, 1, 1122, 8000, gain_of(30), 1.0f, 1.2f},
      {"x 270: 4449 is still low", 270, 60, 1, 4449, 8000, gain_of(60), 1.0f, 1.2f},
      {"x 271: 4512 is high", 271, 60, 1, 200, 4512, 2.0f, 1.0f, gain_of(60)},
      {"x 0: 0.1 f0", 0, 40, 1, 100, 8000, gain_of(40), 1.0f, 1.2f},
      {"far right: at most 10 f0", 343, 40, 1, 200, 10000, 2.0f, 1.0f, gain_of(40)},
      {"right button: the mid gain only", 50, 20, 2, 200, 8000, 2.0f, gain_of(20), 1.2f},
      {"above the graph", 50, 7, 1, 200, 8000, 2.0f, 1.0f, 1.2f},
  };
  for (const Case& c : cases) {
    set_default_settings();
    keytone_mode = 1;
    run(keytone_editor, {mouse(c.x, c.y, c.buttons), mouse(c.x, c.y, 0), idle()});
    EXPECT_EQ(keytone_bands.lowf, c.lowf) << c.what;
    EXPECT_EQ(keytone_bands.highf, c.highf) << c.what;
    EXPECT_FLOAT_EQ(keytone_bands.lowg, c.lowg) << c.what;
    EXPECT_FLOAT_EQ(keytone_bands.midg, c.midg) << c.what;
    EXPECT_FLOAT_EQ(keytone_bands.highg, c.highg) << c.what;
  }
}

TEST_F(KeytoneEditor, EditsAreAppliedSevenSecondsAfterTheLastApplication) {
  double applied_at = -1, pressed_at = -1, start_at = virtual_now;
  std::vector<Tick> ticks = {key("a"), idle(), idle(), idle(), [&] { mark_unwritten(); },
                             mouse(172, 30, 1), [&] { pressed_at = virtual_now; }, mouse(172, 30, 0)};
  for (int i = 0; i < 60; i++)
    ticks.push_back([&] {
      if (applied_at < 0 && rewritten()) applied_at = virtual_now;
    });
  run(keytone_editor, ticks);
  ASSERT_GT(applied_at, 0) << "never applied";
  // "a" at the first pass (t + 0.3 s) set the time of the last application.
  EXPECT_GE(applied_at, start_at + 0.3 + 7.0);
  EXPECT_LT(applied_at, start_at + 0.3 + 7.0 + 0.7) << "applied within a pass or two of the 7 s";
  EXPECT_GT(pressed_at, 0);
  EXPECT_EQ(keytone_changed, 0);
  EXPECT_EQ(win_row_text(11).substr(34, 8), "[A]ready");
}

TEST_F(KeytoneEditor, LeavingWithUnappliedEditsRunsThePass) {
  bool ran_before_leaving = true;
  std::string shown;
  run(keytone_editor, {key("a"), idle(), [&] { mark_unwritten(); }, mouse(172, 30, 1), mouse(172, 30, 0), idle(), idle(),
                       [&] {
                         ran_before_leaving = rewritten();
                         shown = win_row_text(11).substr(34, 8);
                       }});
  EXPECT_FALSE(ran_before_leaving);
  EXPECT_EQ(shown, "[A]apply");
  EXPECT_TRUE(rewritten());
}

TEST_F(KeytoneEditor, XSwitchesTheModeAndRewritesTheSamples) {
  run(keytone_editor, {[&] { mark_unwritten(); }, key("x"), idle(), idle()});
  EXPECT_EQ(keytone_mode, 2);
  EXPECT_TRUE(rewritten());
  EXPECT_EQ(win_row_text(11).substr(26, 6), "[X]on2");
  EXPECT_EQ(input_active.load(), 0);
  run(keytone_editor, {key("X"), idle(), idle()});
  EXPECT_EQ(keytone_mode, 0);
  EXPECT_EQ(win_row_text(11).substr(26, 6), "[X]off");
  EXPECT_EQ(data[4][100], 12000) << "mode 0 writes the samples as loaded";
}

TEST_F(KeytoneEditor, OrderCyclesOneToFiveAndWaitsToBeApplied) {
  for (int presses = 1; presses <= 5; presses++) {
    keytone_bands.order = 1;
    std::vector<Tick> ticks;
    for (int i = 0; i < presses; i++) ticks = ticks + std::vector<Tick>{key("o"), idle()};
    run(keytone_editor, ticks);
    EXPECT_EQ(keytone_bands.order, presses < 5 ? presses + 1 : 1) << presses << " presses";
  }
}

TEST_F(KeytoneEditor, ScreenShowsTheGraphInUnitsOfF0) {
  run(keytone_editor, {});
  EXPECT_EQ(win_row_text(1).substr(0, 37), "[O]order1 lowg=6.02 midg=0 highg=1.58");
  EXPECT_EQ(win_row_text(2).substr(11, 19), "lowf=0.2    highf=8");
  EXPECT_EQ(win_row_text(8).substr(0, 43), "0.1f0   0.3f0       f0        3f0      10f0");
  EXPECT_EQ(win_row_text(11).substr(26, 16), "[X]on   [A]ready");
  // Low shelf at y 43 up to x = nearest(344 / 2.1 x log10(2)) = 49.
  EXPECT_EQ(win_read_pixel(30, 43), 0xFFE100u);
}

TEST_F(KeytoneEditor, AbsurdValuesFromAFileLoadWithinTheEditorsRanges) {
  SaveFolder folder;
  write_text("save/absurd.key", "-5\n0\n1e30\n-1e30\n3e38\n0\n");
  run(keytone_editor, {answers({"save/absurd", "yes"}), key("l"), idle(), idle()});
  EXPECT_EQ(keytone_bands.lowf, 100);
  EXPECT_EQ(keytone_bands.highf, 4501);
  EXPECT_EQ(keytone_bands.lowg, 10.0f);
  EXPECT_EQ(keytone_bands.midg, 0.1f);
  EXPECT_EQ(keytone_bands.order, 1);
  for (int w = 0; w < kSamplesPerSet; w++)
    for (int j = 0; j < values[w]; j++) ASSERT_GE(data[w][j], -32767) << w << " " << j;
  EXPECT_EQ(win_row_text(2).substr(11, 18), "lowf=0.1    highf=");
}

}  // namespace
