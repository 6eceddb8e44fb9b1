// SPDX-License-Identifier: GPL-3.0-or-later
// Voices on a running engine (test plug-in): voice choice, levels and the
// velocity normalisation, the delayed release through the note-off queue,
// the sustain pedal, bulk silencing and the key display lists.
#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <mutex>

#include "midi_test_support.h"
#include "platform/midi_backend.h"
#include "platform/midi_loopback.h"

using namespace midi_test;

namespace {

class Voices : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { engine_ok = start_test_engine(1024); }
  static void TearDownTestSuite() { FBS_EXIT(); }
  void SetUp() override {
    ASSERT_TRUE(engine_ok) << "engine with the test plug-in did not start";
    reset_midi_state();
    stop_all_sounds();
  }
  static bool engine_ok;
};
bool Voices::engine_ok = false;

// ---- voice choice ----

// The restart crossfades from the level the note was heard at to the new
// note's level over 3 ms of output, without a jump.
TEST_F(Voices, RestartOfASoundingKeyReusesItsSound) {
  fake_now.store(10.0);
  voice_note_on(0, 60, 100);
  int w, j;
  ASSERT_TRUE(find_voice(60, 0, &w, &j));
  plug_fill(5);
  EXPECT_NE(sound_start[w][j], play_position(w, j));
  const int16_t old_level = plug_block()[0];
  fake_now.store(10.5);
  voice_note_on(0, 60, 60);
  int w2, j2;
  ASSERT_TRUE(find_voice(60, 0, &w2, &j2));
  EXPECT_EQ(w, w2);
  EXPECT_EQ(j, j2);
  EXPECT_EQ(1, voice_count.load());
  EXPECT_EQ(sound_start[w][j], play_position(w, j));  // from the beginning again
  EXPECT_EQ(1, sound_loops(w, j));
  plug_fill(1);
  const int16_t* out = plug_block();
  const int16_t new_level = out[2 * 132];
  EXPECT_LT(new_level, old_level - 100);
  EXPECT_EQ(out[0], old_level);
  for (int f = 1; f <= 132; f++) {
    ASSERT_LE(out[2 * f], out[2 * f - 2]) << f;
    ASSERT_LE(out[2 * f - 2] - out[2 * f], (old_level - new_level) / 132 + 2) << f;
  }
  EXPECT_EQ(out[2 * 1023], new_level);
}

// A loud note struck again softly at a frame of the next block keeps its
// own level up to that frame; from there it falls from that level while
// the soft one fades in.
TEST_F(Voices, TimedSoftRestrikeKeepsTheOldLevelUntilItsFrame) {
  fake_now.store(12.0);
  voice_note_on(0, 60, 127);
  plug_fill(2);
  const int16_t loud = plug_block()[0];
  uint32_t block = 0;
  ASSERT_TRUE(FBS_GET_PLUGCLOCK(&block));
  constexpr int kCut = 356;
  voice_note_on(0, 60, 20, block + 1024 + kCut);
  plug_fill(1);
  const int16_t* out = plug_block();
  for (int f = 0; f < kCut; f++) ASSERT_EQ(out[2 * f], loud) << f;
  for (int f = kCut + 1; f <= kCut + 132; f++) ASSERT_LE(out[2 * f], out[2 * f - 2]) << f;
  const int16_t soft = out[2 * 1023];
  EXPECT_LT(soft, loud / 2);
  EXPECT_EQ(out[2 * (kCut + 140)], soft);
}

TEST_F(Voices, SameKeyOnTwoChannelsUsesTwoSounds) {
  voice_note_on(0, 60, 100);
  voice_note_on(3, 60, 100);
  int w0, j0, w3, j3;
  ASSERT_TRUE(find_voice(60, 0, &w0, &j0));
  ASSERT_TRUE(find_voice(60, 3, &w3, &j3));
  EXPECT_EQ(w0, w3);
  EXPECT_NE(j0, j3);
  EXPECT_EQ(2, voice_count.load());
}

TEST_F(Voices, KeysMapToSamplesAndSpeeds) {
  // type_offset 6: keys 7..115-6 sound; key 6 and 110 do not.
  voice_note_on(0, 6, 100);
  voice_note_on(0, 110, 100);
  EXPECT_EQ(0, voice_count.load());
  voice_note_on(0, 7, 100);
  voice_note_on(0, 109, 100);
  voice_note_on(0, 60, 100);
  int w, j;
  float speed = 0;
  ASSERT_TRUE(find_voice(7, 0, &w, &j));
  EXPECT_EQ(0, w);
  FBS_GET_SOUNDSPEED(sound[w][j], &speed);
  EXPECT_FLOAT_EQ(std::pow(2.0f, -5.0f / 12.0f), speed);
  ASSERT_TRUE(find_voice(109, 0, &w, &j));
  EXPECT_EQ(8, w);
  ASSERT_TRUE(find_voice(60, 0, &w, &j));
  EXPECT_EQ(4, w);
  FBS_GET_SOUNDSPEED(sound[w][j], &speed);
  EXPECT_FLOAT_EQ(1.0f, speed);
}

TEST_F(Voices, NoStealingBeyond24PerSampleOr127InAll) {
  // Keys 54..65 share sample 60: 16 channels but the drum one give room for
  // more than 24 notes there.
  int played = 0;
  for (int ch = 0; ch < 16 && played < 30; ch++) {
    if (ch == 9) continue;
    for (int k = 54; k <= 56 && played < 30; k++, played++) voice_note_on(ch, k, 100);
  }
  EXPECT_EQ(24, voice_count.load());

  silence_all_voices();
  EXPECT_EQ(0, voice_count.load());
  int tried = 0;
  for (int ch = 0; ch < 16; ch++) {
    if (ch == 9) continue;
    for (int k = 10; k <= 105; k += 3) {  // spread over all nine samples
      voice_note_on(ch, k, 100);
      tried++;
    }
  }
  ASSERT_GT(tried, 127);
  EXPECT_EQ(127, voice_count.load());
}

// ---- levels ----

TEST_F(Voices, LevelFollowsChannelVolumeCurveAndKeyVolume) {
  voice_note_on(0, 60, 127);
  int w, j;
  ASSERT_TRUE(find_voice(60, 0, &w, &j));
  EXPECT_FLOAT_EQ(1.0f, sound_volume(w, j));

  autovol_mode.store(1);  // divided by voice_divisor 152.4 instead of 127
  voice_note_on(1, 62, 127);
  ASSERT_TRUE(find_voice(62, 1, &w, &j));
  EXPECT_FLOAT_EQ(127.0f / 152.4f, sound_volume(w, j));

  autovol_mode.store(0);
  keyvol_on.store(1);
  float saved = keyvol_table[piano_sound.load()][64].load();
  keyvol_table[piano_sound.load()][64].store(63.5f);
  voice_note_on(2, 64, 127);
  ASSERT_TRUE(find_voice(64, 2, &w, &j));
  EXPECT_FLOAT_EQ(0.5f, sound_volume(w, j));
  keyvol_table[piano_sound.load()][64].store(saved);
}

TEST_F(Voices, AutovolmidiSettlesAt65AndCapsALoudNoteAt72) {
  autovolmidi.store(64);
  int w, j;
  // The first note: the average is lifted to 0.9 x + 0.01 at once.
  voice_note_on(0, 60, 60);
  ASSERT_TRUE(find_voice(60, 0, &w, &j));
  EXPECT_FLOAT_EQ(72.0f / 127.0f, sound_volume(w, j));
  for (int i = 0; i < 40; i++) voice_note_on(0, 60, 60);
  EXPECT_FLOAT_EQ(65.0f / 127.0f, sound_volume(w, j));
  // Far louder than the average: at most floor(64 / 0.9 + 1).
  voice_note_on(0, 60, 127);
  EXPECT_FLOAT_EQ(72.0f / 127.0f, sound_volume(w, j));
}

// ---- release ----

TEST_F(Voices, ReleasedNoteStopsAfterTheDelay) {
  fake_now.store(20.0);
  voice_note_on(0, 60, 100);
  int w, j;
  ASSERT_TRUE(find_voice(60, 0, &w, &j));
  fake_now.store(21.0);
  voice_note_off(0, 60);
  fake_now.store(21.079);
  serve_note_off_queue();
  EXPECT_EQ(1, voice_count.load());
  EXPECT_NEAR(21.08, next_due_time.load(), 1e-9);
  EXPECT_EQ(5, note_off_sleep_ms(21.079));
  fake_now.store(21.0801);
  serve_note_off_queue();
  EXPECT_EQ(0, voice_count.load());
  EXPECT_EQ(1, sound_loops(w, j));  // ramping down in the next block
  plug_fill(1);
  // 3 ms of output falling to silence, then silence, and the sound has ended.
  const int16_t* out = plug_block();
  EXPECT_GT(out[0], 0);
  for (int f = 1; f < 132; f++) ASSERT_LT(out[2 * f], out[2 * f - 2]) << f;
  EXPECT_GT(out[2 * 131], 0);
  for (int f = 132; f < 1024; f++) ASSERT_EQ(out[2 * f], 0) << f;
  EXPECT_EQ(0, sound_loops(w, j));
  plug_fill(1);
  EXPECT_EQ(0, FBS_GET_PLAYINGSOUNDS());
  EXPECT_EQ(20, note_off_sleep_ms(21.0801 - 0.5));
}

TEST_F(Voices, StaleQueuedNoteOffDoesNotEndANewerNote) {
  fake_now.store(30.0);
  voice_note_on(0, 60, 100);
  fake_now.store(30.01);
  voice_note_off(0, 60);
  fake_now.store(30.02);
  voice_note_on(0, 60, 100);
  fake_now.store(30.5);
  serve_note_off_queue();
  EXPECT_EQ(0, queued_note_offs());
  EXPECT_EQ(1, voices_of(60, 0));
}

TEST_F(Voices, WhileInputIsActiveNoteOffsEndAtOnce) {
  voice_note_on(0, 60, 100);
  input_active.store(1);
  voice_note_off(0, 60);
  input_active.store(0);
  EXPECT_EQ(0, voices_of(60, 0));
  EXPECT_EQ(0, queued_note_offs());
}

TEST_F(Voices, ClockGoingBackDrainsTheQueueWithoutEndingNotes) {
  fake_now.store(1000.0);
  voice_note_on(0, 60, 100);
  voice_note_off(0, 60);
  fake_now.store(800.0);
  serve_note_off_queue();
  EXPECT_EQ(0, queued_note_offs());
  EXPECT_EQ(1, voices_of(60, 0));
}

TEST_F(Voices, FullQueueServesItsOldestEntryInsteadOfLosingIt) {
  fake_now.store(40.0);
  voice_note_on(0, 60, 100);
  voice_note_off(0, 60);
  for (int i = 0; i < 1100; i++) {
    fake_now.store(40.001 + i * 0.0001);
    voice_note_off(0, 62);
  }
  EXPECT_EQ(0, voices_of(60, 0));
  EXPECT_EQ(kNoteOffQueueSize - 1, queued_note_offs());
}

// ---- pedal and bulk ----

TEST_F(Voices, PedalHoldsAChordUntilItGoesUp) {
  fake_now.store(50.0);
  pedal_down.store(1);
  const int chord[] = {60, 64, 67};
  for (int k : chord) voice_note_on(0, k, 100);
  fake_now.store(50.1);
  for (int k : chord) voice_note_off(0, k);
  fake_now.store(51.0);
  serve_note_off_queue();
  EXPECT_EQ(3, voice_count.load());
  for (int k : chord) {
    int w, j;
    ASSERT_TRUE(find_voice(k, 0, &w, &j));
    EXPECT_EQ(1, sound_loops(w, j));
  }
  voice_pedal_release();  // no delay once the pedal is up
  EXPECT_EQ(0, voice_count.load());
  EXPECT_EQ(0, pedal_down.load());
  plug_fill(2);
  EXPECT_EQ(0, FBS_GET_PLAYINGSOUNDS());
}

TEST_F(Voices, AllNotesOffHonoursThePedalAndOnlyItsChannel) {
  voice_note_on(0, 60, 100);
  voice_note_on(1, 62, 100);
  pedal_down.store(1);
  voice_all_notes_off(0);
  EXPECT_EQ(2, voice_count.load());
  voice_pedal_release();
  EXPECT_EQ(0, voices_of(60, 0));
  EXPECT_EQ(1, voices_of(62, 1));
  voice_all_notes_off(9);  // the drum channel: nothing
  EXPECT_EQ(1, voices_of(62, 1));
  silence_all_voices();
  EXPECT_EQ(0, voice_count.load());
}

TEST_F(Voices, LastReleaseResetsTheDivisorAndTheAverage) {
  voice_divisor.store(200.0f);
  voice_divisor_ref.store(152.4f);
  analysis_now_time.store(7.0);
  voice_note_on(0, 60, 100);
  voice_note_end(60, 0);
  EXPECT_FLOAT_EQ(152.4f, voice_divisor.load());
  EXPECT_DOUBLE_EQ(8.2, analysis_ref_time.load());

  autovolmidi.store(64);
  voice_note_on(0, 60, 100);
  voice_all_notes_off(0);
  std::lock_guard<std::mutex> lock(voice_mutex);
  EXPECT_EQ(note_counter, note_counter_mark);
}

// ---- key display lists ----

TEST_F(Voices, KeyListsCollectAndDrain) {
  int down[kKeyListSize], up[kKeyListSize], nd = -1, nu = -1;
  voice_note_on(0, 60, 100);
  voice_note_off(0, 60);
  EXPECT_EQ(0, take_key_marks(down, &nd, up, &nu));
  ASSERT_EQ(1, nd);
  ASSERT_EQ(1, nu);
  EXPECT_EQ(60, down[0]);
  EXPECT_EQ(60, up[0]);
  for (int i = 0; i < 200; i++) voice_note_on(0, 40 + i % 20, 100);
  voice_note_off(0, 40);
  voice_all_notes_off(0);
  EXPECT_EQ(1, take_key_marks(down, &nd, up, &nu));
  EXPECT_EQ(kKeyListSize, nd);  // capped
  EXPECT_EQ(0, nu);             // cleared marks drop the keys up
  EXPECT_EQ(0, take_key_marks(down, &nd, up, &nu));
  EXPECT_EQ(0, nd);
}

}  // namespace

// ---- frames of a JACK port on an output that is not the server's ----

// A note-on from a port with frames, on the test plug-in (a file device's
// clock, whose block is the period here): one period after its frame when
// its client is not run before the output (the file device publishes no
// order port), on its own frame when it is and the voices are free, and one
// period after it, counted, when it is but the voices were busy in its cycle.
TEST_F(Voices, AJackNoteLandsOnItsFrameOrOnePeriodAfterIt) {
  ASSERT_EQ(1, midi_io_select_backend(MIDI_BACKEND_LOOPBACK));
  midi_loop_reset();
  midi_loop_add_input("keys");
  midi_in_port = 1;
  open_midi_inputs();
  ASSERT_NE(0, midi_in_handle[0].load());
  constexpr uint32_t kPeriod = 1024, kOffset = 300;
  struct Case {
    bool ordered, voices_busy;
    uint32_t onset;  // in the next two blocks
  } cases[] = {{false, false, kPeriod + kOffset}, {true, false, kOffset}, {true, true, kPeriod + kOffset}};
  double now = 20.0;
  for (const Case& c : cases) {
    stop_all_sounds();
    plug_fill(3);
    uint32_t block = 0;
    ASSERT_TRUE(FBS_GET_PLUGCLOCK(&block));
    ASSERT_EQ(0, plug_block()[2 * (kPeriod - 1)]) << "not silent before the note";
    fake_now.store(now += 1.0);
    const uint64_t fallbacks = midi_frame_fallbacks();
    // The message in the cycle whose frames the next block mixes.
    MidiFrameTime time{block + kPeriod + kOffset, kPeriod, 44100, block + kPeriod, c.ordered};
    uint8_t on[3] = {0x90, 60, 100};
    std::unique_lock<std::mutex> voices(voice_mutex, std::defer_lock);
    if (c.voices_busy) voices.lock();
    std::async(std::launch::async, [&] { midi_io_receive(0, on, 3, &time); }).wait();
    if (c.voices_busy) {
      voices.unlock();
      MidiFrameTime next = time;
      next.cycle += kPeriod;  // played at the end of the next cycle
      midi_io_receive(0, nullptr, 0, &next);
    } else {
      midi_io_receive(0, nullptr, 0, &time);
    }
    EXPECT_EQ(c.voices_busy ? 1u : 0u, midi_frame_fallbacks() - fallbacks);
    std::vector<int16_t> heard;
    for (int b = 0; b < 2; b++) {
      plug_fill(1);
      heard.insert(heard.end(), plug_block(), plug_block() + 2 * kPeriod);
    }
    uint32_t onset = 0;
    while (onset < 2 * kPeriod && heard[2 * onset] == 0) onset++;
    EXPECT_EQ(c.onset, onset) << "ordered " << c.ordered << ", voices busy " << c.voices_busy;
  }
  close_midi_ports();
  midi_loop_reset();
}
