// SPDX-License-Identifier: GPL-3.0-or-later
// The piano pedals (pedal mode 1) through the MIDI handler on a running
// engine (test plug-in): the sustain's depth against the damping, the
// sostenuto and the soft pedal.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "midi/pedals.h"
#include "midi_test_support.h"

using namespace midi_test;

namespace {

class Pedals : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { engine_ok = start_test_engine(1024); }
  static void TearDownTestSuite() { FBS_EXIT(); }
  void SetUp() override {
    ASSERT_TRUE(engine_ok) << "engine with the test plug-in did not start";
    piano_pedals_up();
    reset_midi_state();
    stop_all_sounds();
    pedal_mode.store(1);
  }
  void TearDown() override { pedal_mode.store(0); }
  // Messages 10 ms apart, past the rate gate.
  void play(uint32_t message) { deliver_at(now += 0.01, message); }
  void pedal(int controller, int value) { play(msg(0xB0, controller, value)); }
  // The note-off delay passes.
  void wait_delay() {
    fake_now.store(now += 0.1);
    serve_note_off_queue();
  }
  double now = 100.0;
  static bool engine_ok;
};
bool Pedals::engine_ok = false;

// dB of the left sample at frame f of the last block against level `ref`.
double db_at(int f, double ref) { return 20.0 * std::log10(std::abs(plug_block()[2 * f]) / ref + 1e-9); }

TEST_F(Pedals, DeeperSustainDampsLessAndMovesWithoutAStep) {
  double last_drop = 1e9;
  for (int value : {30, 50, 70, 90, 127}) {
    play(msg(0x90, 60, 100));
    pedal(64, value);
    play(msg(0x80, 60, 0));
    wait_delay();
    plug_fill(1);
    double start = std::abs(plug_block()[0]);
    plug_fill(8);  // 0.19 s
    double drop = -db_at(1023, start);
    EXPECT_LT(drop, last_drop) << value;
    if (value == 127) {
      EXPECT_LT(drop, 0.1);
    }
    if (value == 30) {
      EXPECT_GT(drop, 40.0);
    }
    last_drop = drop;
    pedal(64, 0);
    EXPECT_EQ(0, voice_count.load()) << value;
    plug_fill(1);
  }
  // A pedal moving up and down while a note sounds: no step above what the
  // fastest damping moves in a frame.
  play(msg(0x90, 60, 100));
  play(msg(0x80, 60, 0));
  pedal(64, 100);
  wait_delay();
  // A move heard on a frame damps from that frame.
  plug_fill(1);
  uint32_t clock = 0;
  ASSERT_TRUE(FBS_GET_PLUGCLOCK(&clock));
  midi_dispatch(msg(0xB0, 64, 40), now, (int64_t)(clock + 1024 + 300));
  plug_fill(1);
  EXPECT_EQ(plug_block()[2 * 299], plug_block()[0]);
  EXPECT_LT(plug_block()[2 * 1023], plug_block()[2 * 301] - 20);
  for (int value : {60, 26, 127, 40, 90}) {
    pedal(64, value);
    plug_fill(1);
    for (int f = 1; f < 1024; f++) ASSERT_LE(std::abs(plug_block()[2 * f] - plug_block()[2 * f - 2]), 2) << value;
  }
  EXPECT_EQ(1, voice_count.load());
}

TEST_F(Pedals, SostenutoHoldsTheKeysDownWhenItWentDown) {
  play(msg(0x90, 60, 100));
  play(msg(0x90, 64, 100));
  pedal(66, 127);
  play(msg(0x80, 60, 0));
  play(msg(0x80, 64, 0));
  play(msg(0x90, 67, 100));
  play(msg(0x80, 67, 0));
  wait_delay();
  EXPECT_EQ(0, voices_of(67, 0));  // struck later: not held
  EXPECT_EQ(1, voices_of(60, 0));
  EXPECT_EQ(1, voices_of(64, 0));
  pedal(64, 127);  // the sustain holds what the sostenuto lets go
  pedal(66, 0);
  wait_delay();
  EXPECT_EQ(2, voice_count.load());
  pedal(64, 0);
  EXPECT_EQ(0, voice_count.load());

  play(msg(0x90, 60, 100));
  pedal(66, 127);
  play(msg(0x80, 60, 0));
  wait_delay();
  pedal(66, 0);
  EXPECT_EQ(1, voice_count.load());  // ends after the note-off delay
  wait_delay();
  EXPECT_EQ(0, voice_count.load());
}

TEST_F(Pedals, SoftPedalStrikesAt07OnlyInPianoMode) {
  int w, j;
  play(msg(0x90, 60, 70));
  ASSERT_TRUE(find_voice(60, 0, &w, &j));
  const float soft_level = sound_volume(w, j);
  play(msg(0x90, 62, 100));
  ASSERT_TRUE(find_voice(62, 0, &w, &j));
  const float full_level = sound_volume(w, j);
  pedal(67, 127);
  EXPECT_EQ(full_level, sound_volume(w, j));  // a note sounding keeps its level
  play(msg(0x90, 64, 100));
  ASSERT_TRUE(find_voice(64, 0, &w, &j));
  EXPECT_EQ(soft_level, sound_volume(w, j));
  pedal_mode.store(0);
  play(msg(0x90, 65, 100));
  ASSERT_TRUE(find_voice(65, 0, &w, &j));
  EXPECT_EQ(full_level, sound_volume(w, j));
  pedal_mode.store(1);
  EXPECT_EQ(1, soft_velocity(1));  // never below 1
}

}  // namespace
