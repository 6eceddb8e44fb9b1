// SPDX-License-Identifier: GPL-3.0-or-later
// The equalizer and reverb editors on the instrument's own output chain,
// recorded block by block while a note plays (the test plug-in mixes a block
// on every tick of the editor's waits): an equalizer edit made with the
// mouse changes the recorded sound from the next block on and not before,
// and values far outside the editors' ranges loaded from ".equ" and ".rev"
// files keep every recorded value a sample value and the note sounding.
#include <gtest/gtest.h>

#include <vector>

#include "effects/equalizer.h"
#include "effects/equalizer_editor.h"
#include "effects/master_chain.h"
#include "effects/reverb.h"
#include "effects/reverb_editor.h"
#include "midi_test_support.h"
#include "tests/support/editor_session.h"

using namespace editortest;

namespace {

constexpr int kFrames = 256;
using Block = std::vector<int16_t>;

class EditorRecording : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { engine_ok = midi_test::start_test_engine(kFrames); }
  static void TearDownTestSuite() { FBS_EXIT(); }
  void SetUp() override {
    ASSERT_TRUE(engine_ok) << "engine with the test plug-in did not start";
    midi_test::reset_midi_state();
    midi_test::stop_all_sounds();
    set_default_settings();
    plug_bits = 16;
    plug_rate = 44100;
    plug_channels = 2;
    equalizer_on = 1;
    reverb_mode = 0;
    setup_reverb();
    start();
  }
  void TearDown() override {
    finish();
    FBS_DISABLE_MASTERCALLBACK();
  }

  // Starts the chain afresh and a note, then runs the editor on the ticks;
  // one block is mixed at every tick.
  std::vector<Block> record(void (*editor)(), std::vector<Tick> ticks) {
    compute_eq_coefficients();
    FBS_SET_MASTERCALLBACK(master_callback);
    update_effect_routing();
    voice_note_on(0, 60, 100);
    std::vector<Block> blocks;
    on_tick = [&] {
      midi_test::plug_fill(1);
      const int16_t* b = midi_test::plug_block();
      blocks.emplace_back(b, b + 2 * kFrames);
    };
    run(editor, std::move(ticks));
    on_tick = nullptr;
    voice_note_off(0, 60);
    serve_note_off_queue();
    midi_test::stop_all_sounds();
    return blocks;
  }

  static bool engine_ok;
};
bool EditorRecording::engine_ok = false;

void edit_reverb() { reverb_editor(reverb_mode.load()); }

TEST_F(EditorRecording, AnEqualizerEditChangesTheSoundFromTheNextBlockOn) {
  std::vector<Tick> quiet = repeat(idle(), 8);
  std::vector<Block> reference = record(equalizer_editor, quiet);
  set_default_settings();
  equalizer_on = 1;
  // The press lands at the second tick; the next mouse read applies it
  // (low band up to 893 Hz, 20 log10(0.198) dB), before the third block.
  std::vector<Block> edited = record(equalizer_editor, {idle(), mouse(172, 80, 1), mouse(172, 80, 0), idle(),
                                                        idle(), idle(), idle(), idle()});
  ASSERT_EQ(eq_bands.lowf, 893);
  ASSERT_EQ(reference.size(), edited.size());
  EXPECT_EQ(edited[0], reference[0]);
  EXPECT_EQ(edited[1], reference[1]) << "the block mixed before the edit";
  for (size_t b = 2; b < edited.size(); b++) EXPECT_NE(edited[b], reference[b]) << "block " << b;
  // The note is a steady value: its low band now sounds 20 dB quieter than
  // with the default gain of 2.
  EXPECT_LT(std::abs(edited.back()[0]) * 5, std::abs(reference.back()[0]));
}

TEST_F(EditorRecording, ValuesFromFilesFarOutsideTheRangesKeepTheNoteSounding) {
  SaveFolder folder;
  struct Case {
    const char* what;
    const char* file;
    const char* text;
    void (*editor)();
  } cases[] = {
      {"equalizer order 0 (read as 1)", "save/o.equ", " 200\n 8000\n2\n1\n1.2\n 0\n", equalizer_editor},
      {"equalizer gains 1e30 and frequencies -5, 0", "save/g.equ", "-5\n 0\n1e30\n-1e30\n3e38\n 4\n", equalizer_editor},
      {"reverb time -5 (the shortest taps)", "save/t.rev", " 0.55\n 0.34\n-5\n-5\n", edit_reverb},
      {"reverb gains 1e30 (read as 0.7)", "save/k.rev", " 1e30\n-1e30\n 225\n 300\n", edit_reverb},
      {"reverb times 1e30 (the longest taps)", "save/l.rev", " 0.55\n 0.34\n 1e30\n 3e38\n", edit_reverb},
  };
  for (const Case& c : cases) {
    set_default_settings();
    equalizer_on = 1;
    reverb_mode = 3;
    setup_reverb();
    write_text(c.file, c.text);
    std::vector<Block> blocks = record(c.editor, std::vector<Tick>{answers({c.file, "yes"}), key("l")} + repeat(idle(), 30));
    ASSERT_FALSE(blocks.empty()) << c.what;
    for (const Block& b : blocks)
      for (int16_t v : b) ASSERT_GE(v, -32767) << c.what;
    EXPECT_NE(blocks.back()[0], 0) << c.what;
  }
}

}  // namespace
