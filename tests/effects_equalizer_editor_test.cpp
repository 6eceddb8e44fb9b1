// SPDX-License-Identifier: GPL-3.0-or-later
// The equalizer editor, headless on a virtual clock: what a press sets
// (frequency and gain by the graph's formula, the mid gain with the right
// button, nothing in the split gap or outside the graph), undo and redo, the
// order key, and the screen with its decibel labels and sketch.
#include <gtest/gtest.h>

#include <cmath>

#include "effects/equalizer.h"
#include "effects/equalizer_editor.h"
#include "effects/keytone.h"
#include "tests/support/editor_session.h"

using namespace editortest;

namespace {

constexpr uint32_t kSketch = 0xFFE100;

class EqualizerEditor : public ::testing::Test {
 protected:
  void SetUp() override {
    set_default_settings();
    equalizer_on = 1;
    start();
  }
  void TearDown() override { finish(); }
};

struct Values {
  int lowf, highf;
  float lowg, midg, highg;
};
Values now() { return {eq_bands.lowf, eq_bands.highf, eq_bands.lowg, eq_bands.midg, eq_bands.highg}; }

float gain_of(int y) { return static_cast<float>(std::pow(10.0, (54 - y) / 37.0)); }

TEST_F(EqualizerEditor, APressSetsWhatThePixelMeans) {
  struct Case {
    const char* what;
    int x, y, buttons;
    Values expected;
  } cases[] = {
      {"left of the gap: low band", 172, 30, 1, {893, 8000, gain_of(30), 1.0f, 1.2f}},
      {"right of the gap: high band", 200, 70, 1, {200, 1658, 2.0f, 1.0f, gain_of(70)}},
      {"right button: only the mid gain, at any x", 100, 60, 2, {200, 8000, 2.0f, gain_of(60), 1.2f}},
      {"the gap (998 Hz) sets nothing", 177, 30, 1, {200, 8000, 2.0f, 1.0f, 1.2f}},
      {"x 0: 20 Hz, top row: gain 10", 0, 8, 1, {20, 8000, 10.0f, 1.0f, 1.2f}},
      {"the far right: highf at most 25000, bottom row: gain 0.1", 343, 91, 1, {200, 25000, 2.0f, 1.0f, 0.1f}},
      {"above the graph", 172, 7, 1, {200, 8000, 2.0f, 1.0f, 1.2f}},
      {"below the graph", 172, 92, 1, {200, 8000, 2.0f, 1.0f, 1.2f}},
      {"outside the text area", 400, 30, 1, {200, 8000, 2.0f, 1.0f, 1.2f}},
  };
  for (const Case& c : cases) {
    set_default_settings();
    run(equalizer_editor, {mouse(c.x, c.y, c.buttons), mouse(c.x, c.y, 0), idle()});
    Values v = now();
    EXPECT_EQ(v.lowf, c.expected.lowf) << c.what;
    EXPECT_EQ(v.highf, c.expected.highf) << c.what;
    EXPECT_FLOAT_EQ(v.lowg, c.expected.lowg) << c.what;
    EXPECT_FLOAT_EQ(v.midg, c.expected.midg) << c.what;
    EXPECT_FLOAT_EQ(v.highg, c.expected.highg) << c.what;
    EXPECT_EQ(eq_bands.order, 1) << c.what;
  }
}

TEST_F(EqualizerEditor, UndoAndRedoKeepOneStep) {
  run(equalizer_editor, {mouse(172, 30, 1), mouse(172, 40, 1), mouse(172, 40, 0), key("u"), idle()});
  EXPECT_FLOAT_EQ(eq_bands.lowg, gain_of(30)) << "undo goes back one press";
  run(equalizer_editor, {mouse(172, 50, 1), mouse(172, 50, 0), key("u"), idle(), idle(), key("r"), idle()});
  EXPECT_FLOAT_EQ(eq_bands.lowg, gain_of(50));
  // A press in the gap leaves both snapshots at the current values.
  set_default_settings();
  run(equalizer_editor, {mouse(177, 30, 1), mouse(177, 30, 0), key("u"), idle(), idle()});
  EXPECT_FLOAT_EQ(eq_bands.lowg, 2.0f);
  EXPECT_EQ(eq_bands.lowf, 200);
}

TEST_F(EqualizerEditor, TheLastPositionProcessedIsSharedWithTheKeyToneEditor) {
  // The button stays down at (172, 30) while the equalizer takes it, is left
  // and the key tone editor opens: there the position is not new.
  run([] {
    equalizer_editor();
    keytone_editor();
  }, std::vector<Tick>{mouse(172, 30, 1), idle(), key("q")} + repeat(idle(), 8));
  EXPECT_EQ(eq_bands.lowf, 893);
  EXPECT_EQ(keytone_bands.lowf, 200);
  run(keytone_editor, {mouse(172, 30, 1), idle()});
  EXPECT_EQ(keytone_bands.lowf, 1122) << "the same press at a new position";
}

TEST_F(EqualizerEditor, OrderKeyCyclesOneToFour) {
  // A key is polled at the start of a pass and runs after its two waits.
  for (int presses = 1; presses <= 4; presses++) {
    eq_bands.order = 1;
    std::vector<Tick> ticks;
    for (int i = 0; i < presses; i++) ticks = ticks + std::vector<Tick>{key(i % 2 ? "O" : "o"), idle()};
    run(equalizer_editor, ticks);
    EXPECT_EQ(eq_bands.order, presses < 4 ? presses + 1 : 1) << presses << " presses";
  }
  EXPECT_EQ(win_row_text(1).substr(0, 9), "[O]order1");
}

TEST_F(EqualizerEditor, AnyOtherKeyLeaves) {
  // Typed during the first pass, polled by the second, which then leaves.
  EXPECT_EQ(run(equalizer_editor, {key("x"), idle(), idle(), idle(), idle(), idle()}), 4u);
  EXPECT_EQ(run(equalizer_editor, {key(std::string("\xff\x48", 2)), idle(), idle(), idle(), idle()}), 4u)
      << "an extended key leaves too";
}

TEST_F(EqualizerEditor, DecibelLabelsAreCutToFiveCharacters) {
  struct { float gain; const char* text; } cases[] = {
      {2.0f, "6.02"}, {1.0f, "0"}, {1.2f, "1.58"}, {0.5f, "-6.03"}, {0.35f, "-9.11"},
      {10.0f, "20"}, {0.1f, "-20"}, {0.01f, "-20"}, {-3.0f, "-20"}, {1e30f, "600"},
  };
  for (auto c : cases) EXPECT_EQ(decibel_text(c.gain), c.text) << c.gain;
}

TEST_F(EqualizerEditor, ScreenShowsTextsLinesAndSketch) {
  run(equalizer_editor, {});
  EXPECT_EQ(win_row_text(1).substr(0, 37), "[O]order1 lowg=6.02 midg=0 highg=1.58");
  EXPECT_EQ(win_row_text(2).substr(0, 33), "+20        lowf=200    highf=8000");
  EXPECT_EQ(win_row_text(7).substr(0, 2), "+0");
  EXPECT_EQ(win_row_text(8).substr(0, 43), "20hz    100hz        1K           10K   25K");
  EXPECT_EQ(win_row_text(11).substr(0, 3), "-20");
  uint32_t fg = win_foreground();
  EXPECT_EQ(win_read_pixel(200, 17), fg) << "the +20 dB line";
  EXPECT_EQ(win_read_pixel(200, 91), fg) << "the -20 dB line";
  // The sketch of the defaults: low shelf at y 43 to x 104, slope to
  // (130, 54), mid at 54 to 264, slope up to (271, 51), high shelf at 51.
  EXPECT_EQ(win_read_pixel(50, 43), kSketch);
  EXPECT_EQ(win_read_pixel(200, 54), kSketch);
  EXPECT_EQ(win_read_pixel(300, 51), kSketch);
  EXPECT_NE(win_read_pixel(140, 43), kSketch);
}

TEST_F(EqualizerEditor, ValuesFromAFileFarOutsideTheRangesStillDraw) {
  struct Case {
    const char* what;
    int lowf, highf, order;
    float lowg, midg, highg;
  } cases[] = {
      {"order 0", 200, 8000, 0, 2.0f, 1.0f, 1.2f},
      {"order 0 with equal gains", 200, 8000, 0, 1.0f, 1.0f, 1.0f},
      {"negative order and frequencies", -5, 0, -3, 2.0f, 1.0f, 1.2f},
      {"huge values", 1000000000, -1000000000, 1000000000, 3e38f, -3e38f, 1e30f},
  };
  for (const Case& c : cases) {
    eq_bands.lowf = c.lowf;
    eq_bands.highf = c.highf;
    eq_bands.order = c.order;
    eq_bands.lowg = c.lowg;
    eq_bands.midg = c.midg;
    eq_bands.highg = c.highg;
    run(equalizer_editor, {});
    EXPECT_EQ(win_row_text(1).substr(0, 8), "[O]order") << c.what;
  }
  EXPECT_EQ(win_row_text(1).substr(9, 30), " lowg=769.5 midg=-20 highg=600") << "the last case's gains";
}

}  // namespace
