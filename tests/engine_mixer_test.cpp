// SPDX-License-Identifier: GPL-3.0-or-later
// Mixer and sounds: what fbs_fill renders for playing, paused, muted and
// ended sounds, the channel limit, the master volume and callback, and the
// limits and rules of the sound entry points.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine_state.h"
#include "engine/fbs.h"
#include "engine/mixer_test_hook.h"
#include "tests/plugins/plug_test_api.h"

namespace {

constexpr int kFrames = 256;  // frames per block in these tests

// A stereo wave of n frames holding the value v in both channels.
int32_t constant_wave(int frames, int16_t v) {
  std::vector<int16_t> s(static_cast<size_t>(frames) * 2, v);
  return fbs_wave_store_copy(s.data(), static_cast<uint32_t>(s.size() * 2));
}

// A stereo wave whose frame i holds i + 1 (left) and -(i + 1) (right).
int32_t ramp_wave(int frames) {
  std::vector<int16_t> s;
  for (int i = 0; i < frames; i++) {
    s.push_back(static_cast<int16_t>(i + 1));
    s.push_back(static_cast<int16_t>(-(i + 1)));
  }
  return fbs_wave_store_copy(s.data(), static_cast<uint32_t>(s.size() * 2));
}

struct CallbackSeen {
  int calls = 0;
  int channels = 0;
  int frames = 0;
  int16_t first = -1;
};
CallbackSeen seen;
void master_callback(int16_t* block, int32_t channels, int32_t frames) {
  seen.calls++;
  seen.channels = channels;
  seen.frames = frames;
  seen.first = block[0];
  block[1] = 1234;  // what the callback leaves is what the device plays
}

class Mixer : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = plugtest::make_plug_folder({{plugtest::built("plug_test.so"), "plug-rtaudio.so"}});
    copy = plugtest::open_copy(dir + "plug-rtaudio.so");
    ASSERT_NE(copy.fill, nullptr);
    FBS_SET_PLUGPATH(dir.c_str());
    ASSERT_EQ(FBS_INIT(44100, 2, 3, kFrames, 0), 1);
    seen = CallbackSeen();
  }
  void TearDown() override {
    FBS_SET_MASTERVOLUME(1.0f);  // FBS_EXIT keeps it
    FBS_EXIT();
    FBS_SET_MAXCHANNELS(128);
    plugtest::take_log();
  }
  // Fills one block and returns its samples.
  std::vector<int16_t> fill() {
    copy.fill(1);
    return std::vector<int16_t>(copy.block(), copy.block() + kFrames * 2);
  }
  int32_t loops_of(int32_t s) {
    int32_t l = -99;
    FBS_GET_SOUNDLOOPS(s, &l);
    return l;
  }
  uint8_t* play_of(int32_t s) {
    void* p = nullptr;
    FBS_GET_SOUNDPOINTERS(s, nullptr, &p, nullptr);
    return static_cast<uint8_t*>(p);
  }
  std::string dir;
  plugtest::Copy copy;
};

TEST_F(Mixer, SilentBlockStillReachesTheMasterCallbackAndCountsBytes) {
  ASSERT_EQ(FBS_SET_MASTERCALLBACK(master_callback), 1);
  ASSERT_EQ(FBS_ENABLE_MASTERCALLBACK(), 1);
  int32_t before = FBS_GET_PLAYEDBYTES();
  std::vector<int16_t> out = fill();
  EXPECT_EQ(FBS_GET_PLAYEDBYTES() - before, kFrames * 4);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.channels, 2);
  EXPECT_EQ(seen.frames, kFrames);
  EXPECT_EQ(seen.first, 0);
  EXPECT_EQ(out[1], 1234);
  for (size_t i = 2; i < out.size(); i++) ASSERT_EQ(out[i], 0) << i;
  EXPECT_EQ(FBS_DISABLE_MASTERCALLBACK(), 1);
  fill();
  EXPECT_EQ(seen.calls, 1);
}

TEST_F(Mixer, FillIgnoresAnUnusableRecord) {
  int32_t before = FBS_GET_PLAYEDBYTES();
  fbs_fill(nullptr);
  FbsPlugRecord rec;
  std::memset(&rec, 0, sizeof(rec));
  rec.buffersize = 4096;
  fbs_fill(&rec);  // no buffer
  int16_t small[2] = {5, 5};
  rec.buffer = small;
  rec.buffersize = 3;
  fbs_fill(&rec);
  EXPECT_EQ(small[0], 5);
  EXPECT_EQ(FBS_GET_PLAYEDBYTES(), before);
}

TEST_F(Mixer, WaveShorterThanABlockIsFollowedByZerosAndEnds) {
  int32_t w = ramp_wave(3);
  int32_t s = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(w, &s), 1);
  ASSERT_EQ(FBS_PLAY_SOUND(s, 1), 1);
  std::vector<int16_t> out = fill();
  std::vector<int16_t> head(out.begin(), out.begin() + 8);
  EXPECT_EQ(head, (std::vector<int16_t>{1, -1, 2, -2, 3, -3, 0, 0}));
  for (size_t i = 6; i < out.size(); i++) ASSERT_EQ(out[i], 0) << i;
  EXPECT_EQ(loops_of(s), 0);
  EXPECT_EQ(FBS_GET_PLAYINGSOUNDS(), 1);  // counted before it ended
  fill();
  EXPECT_EQ(FBS_GET_PLAYINGSOUNDS(), 0);
}

TEST_F(Mixer, SpeedVolumeAndPanAreLimited) {
  int32_t s = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(constant_wave(16, 100), &s), 1);
  float v = 0;
  FBS_SET_SOUNDSPEED(s, 0.0f);
  FBS_GET_SOUNDSPEED(s, &v);
  EXPECT_EQ(v, 1.0f);
  FBS_SET_SOUNDSPEED(s, 0.000001f);
  FBS_GET_SOUNDSPEED(s, &v);
  EXPECT_EQ(v, -1.5258e-06f);
  FBS_SET_SOUNDSPEED(s, -0.000001f);
  FBS_GET_SOUNDSPEED(s, &v);
  EXPECT_EQ(v, 1.5258e-06f);
  FBS_SET_SOUNDSPEED(s, 20000.0f);
  FBS_GET_SOUNDSPEED(s, &v);
  EXPECT_EQ(v, 16383.0f);
  FBS_SET_SOUNDSPEED(s, -20000.0f);
  FBS_GET_SOUNDSPEED(s, &v);
  EXPECT_EQ(v, -16383.0f);
  FBS_SET_SOUNDVOLUME(s, 0.00005f);
  FBS_GET_SOUNDVOLUME(s, &v);
  EXPECT_EQ(v, 0.0f);
  FBS_SET_SOUNDVOLUME(s, 5.0f);
  FBS_GET_SOUNDVOLUME(s, &v);
  EXPECT_EQ(v, 2.0f);
  FBS_SET_SOUNDPAN(s, -3.0f);
  FBS_GET_SOUNDPAN(s, &v);
  EXPECT_EQ(v, -1.0f);
  FBS_SET_SOUNDPAN(s, 3.0f);
  FBS_GET_SOUNDPAN(s, &v);
  EXPECT_EQ(v, 1.0f);
  FBS_SET_SOUNDPAN(s, NAN);
  FBS_GET_SOUNDPAN(s, &v);
  EXPECT_EQ(v, -1.0f);
  EXPECT_EQ(FBS_GET_SOUNDPAN(s, nullptr), 0);
  // A tiny speed has no whole frame per second: the length is the longest.
  FBS_SET_SOUNDSPEED(s, 1.5258e-06f);
  int32_t ms = 0;
  EXPECT_EQ(FBS_GET_SOUNDLENGTH(s, &ms), 1);
  EXPECT_EQ(ms, INT32_MAX);
  FBS_SET_SOUNDSPEED(s, 1.0f);
  FBS_SET_SOUNDLOOPS(s, 3);
  EXPECT_EQ(FBS_GET_SOUNDLENGTH(s, &ms), 1);
  EXPECT_EQ(ms, 0);  // 16 frames: under a millisecond per pass
}

// A long wave played endlessly at a speed of about one frame per second:
// the length far beyond 32 bits is reported as the longest, never computed
// by an overflowing product.
TEST_F(Mixer, SoundLengthOfEndlessSlowSoundIsHeldAtTheLimits) {
  int32_t wave = -1, s = -1;
  void* data = nullptr;
  ASSERT_EQ(FBS_CREATE_WAVE(5000000, &wave, &data), 1);
  ASSERT_EQ(FBS_CREATE_SOUND(wave, &s), 1);
  FBS_SET_SOUNDSPEED(s, 1.5f / 44100.0f);  // floor(speed x rate) = 1
  FBS_PLAY_SOUND(s, 0);                     // endless: 2147483647 loops
  FBS_SET_SOUNDPAUSED(s, 1);
  int32_t ms = 0;
  EXPECT_EQ(FBS_GET_SOUNDLENGTH(s, &ms), 1);
  EXPECT_EQ(ms, INT32_MAX);
  FBS_SET_SOUNDSPEED(s, -1.5f / 44100.0f);  // floor(speed x rate) = -2
  EXPECT_EQ(FBS_GET_SOUNDLENGTH(s, &ms), 1);
  EXPECT_EQ(ms, INT32_MIN);
}

// A fast sound ends with its position far past the wave's end (the routine
// stops where the last step took it). Given loops again without a replay, it
// goes on from the loop start, or ends; it never stays counted as playing
// while nothing is heard.
TEST_F(Mixer, SoundGivenLoopsAgainAfterEndingPastTheWaveGoesOnOrEnds) {
  int32_t s = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(constant_wave(16, 1000), &s), 1);
  FBS_SET_SOUNDSPEED(s, 100.0f);
  FBS_PLAY_SOUND(s, 1);
  fill();
  ASSERT_EQ(loops_of(s), 0);
  FBS_SET_SOUNDLOOPS(s, 1);  // the pass it was in is over: it ends
  fill();
  EXPECT_EQ(loops_of(s), 0);
  fill();
  EXPECT_EQ(FBS_GET_PLAYINGSOUNDS(), 0);
  FBS_SET_SOUNDLOOPS(s, 2);  // one more pass from the loop start
  std::vector<int16_t> out = fill();
  EXPECT_EQ(out[0], 1000);
  EXPECT_EQ(loops_of(s), 0);
  fill();
  EXPECT_EQ(FBS_GET_PLAYINGSOUNDS(), 0);
}

TEST_F(Mixer, VolumeAndPanShapeTheBlock) {
  int32_t s = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(constant_wave(4 * kFrames, 1000), &s), 1);
  FBS_SET_SOUNDVOLUME(s, 0.5f);
  FBS_SET_SOUNDPAN(s, 0.5f);  // left gain 0.5, right 1.0
  FBS_PLAY_SOUND(s, 1);
  std::vector<int16_t> out = fill();
  EXPECT_EQ(out[0], 250);
  EXPECT_EQ(out[1], 500);
  FBS_SET_SOUNDPAN(s, -0.25f);  // right gain 0.75
  out = fill();
  EXPECT_EQ(out[0], 500);
  EXPECT_EQ(out[1], 375);
  ASSERT_EQ(FBS_SET_MASTERVOLUME(0.5f), 1);
  out = fill();
  EXPECT_EQ(out[0], 250);
}

TEST_F(Mixer, SumsSaturate) {
  int32_t a = -1, b = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(constant_wave(kFrames, 30000), &a), 1);
  ASSERT_EQ(FBS_CREATE_SOUND(constant_wave(kFrames, 10000), &b), 1);
  FBS_PLAY_SOUND(a, 1);
  FBS_PLAY_SOUND(b, 1);
  std::vector<int16_t> out = fill();
  EXPECT_EQ(out[0], 32767);
  EXPECT_EQ(out[kFrames * 2 - 1], 32767);
}

TEST_F(Mixer, SoundPointersStayInsideTheWave) {
  int32_t s = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(ramp_wave(100), &s), 1);
  void *begin = nullptr, *wend = nullptr;
  FBS_GET_SOUNDPOINTERS(s, &begin, nullptr, &wend);
  uint8_t* b = static_cast<uint8_t*>(begin);
  uint8_t* e = static_cast<uint8_t*>(wend);
  ASSERT_EQ(e - b, 400);
  void *st = nullptr, *pl = nullptr, *en = nullptr;
  // A start beyond the wave's end becomes wave end - 4; the end is then
  // below the start only if given so.
  EXPECT_EQ(FBS_SET_SOUNDPOINTERS(s, e + 40, nullptr, nullptr), 1);
  FBS_GET_SOUNDPOINTERS(s, &st, &pl, &en);
  EXPECT_EQ(st, e - 4);
  EXPECT_EQ(en, e);
  EXPECT_EQ(pl, b);  // play below the end is left alone
  // An end before the start: the two are exchanged; play outside follows.
  FBS_SET_SOUNDPOINTERS(s, b + 200, b + 396, b + 100);
  FBS_GET_SOUNDPOINTERS(s, &st, &pl, &en);
  EXPECT_EQ(st, b + 100);
  EXPECT_EQ(en, b + 200);
  EXPECT_EQ(pl, b + 200);  // play beyond the end is held at the end
  FBS_SET_SOUNDPOINTERS(s, nullptr, b, nullptr);
  FBS_GET_SOUNDPOINTERS(s, nullptr, &pl, nullptr);
  EXPECT_EQ(pl, b + 100);  // at or below the start: the start
  FBS_SET_SOUNDPOINTERS(s, b - 8, nullptr, b - 8);
  FBS_GET_SOUNDPOINTERS(s, &st, nullptr, &en);
  EXPECT_EQ(st, b);
  EXPECT_EQ(en, b + 4);
  // Play moved to the end finishes the pass at the next block: the sound
  // ends without reading past its loop.
  FBS_SET_SOUNDPOINTERS(s, b, nullptr, e);
  FBS_PLAY_SOUND(s, 1);
  FBS_SET_SOUNDPOINTERS(s, nullptr, e, nullptr);
  std::vector<int16_t> out = fill();
  EXPECT_EQ(loops_of(s), 0);
  EXPECT_EQ(out[0], 0);
}

TEST_F(Mixer, ChannelLimitHearsOnlyTheLowestPlayingSlots) {
  int32_t s[5];
  const int16_t values[5] = {1, 10, 100, 1000, 10000};
  for (int i = 0; i < 5; i++) {
    ASSERT_EQ(FBS_CREATE_SOUND(constant_wave(4 * kFrames, values[i]), &s[i]), 1);
    FBS_PLAY_SOUND(s[i], 1);
  }
  FBS_SET_SOUNDPAUSED(s[0], 1);
  FBS_SET_MAXCHANNELS(2);
  uint8_t* before[5];
  for (int i = 0; i < 5; i++) before[i] = play_of(s[i]);
  std::vector<int16_t> out = fill();
  EXPECT_EQ(out[0], 110);  // slots 1 and 2; slot 0 is paused
  EXPECT_EQ(FBS_GET_PLAYINGSOUNDS(), 4);
  EXPECT_EQ(play_of(s[0]), before[0]);
  EXPECT_EQ(play_of(s[1]), before[1] + kFrames * 4);
  EXPECT_EQ(play_of(s[2]), before[2] + kFrames * 4);
  EXPECT_EQ(play_of(s[3]), before[3]);
  EXPECT_EQ(play_of(s[4]), before[4]);
}

TEST_F(Mixer, PausedSoundsFreezeAndMutedSoundsAdvanceSilently) {
  int32_t p = -1, m = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(constant_wave(kFrames * 3 / 2, 50), &p), 1);
  ASSERT_EQ(FBS_CREATE_SOUND(constant_wave(kFrames * 3 / 2, 70), &m), 1);
  FBS_PLAY_SOUND(p, 5);
  FBS_PLAY_SOUND(m, 2);
  FBS_SET_SOUNDPAUSED(p, 1);
  FBS_SET_SOUNDMUTED(m, 1);
  uint8_t* pp = play_of(p);
  uint8_t* mp = play_of(m);
  std::vector<int16_t> out = fill();
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(FBS_GET_PLAYINGSOUNDS(), 1);  // the muted one counts
  EXPECT_EQ(play_of(p), pp);
  EXPECT_EQ(loops_of(p), 5);
  EXPECT_EQ(play_of(m), mp + kFrames * 4);
  fill();
  EXPECT_EQ(loops_of(m), 1);  // wrapped once in the second block
  FBS_SET_SOUNDMUTED(m, 0);
  out = fill();
  EXPECT_EQ(out[0], 70);
}

TEST_F(Mixer, UnkeptSlotsAreReleasedAndReused) {
  int32_t w = constant_wave(8, 9);
  ASSERT_EQ(FBS_PLAY_WAVE(w, 1, 1.0f, 1.0f, 0.0f, nullptr), 1);
  int32_t slot = -1;
  for (int32_t i = 0; i < fbs_sound_count.load() && slot < 0; i++)
    if (fbs_sounds[i].wave_begin.load() && fbs_sounds[i].keep.load() == 0) slot = i;
  ASSERT_GE(slot, 0);
  EXPECT_TRUE(fbs_sound_valid(slot));
  std::vector<int16_t> out = fill();
  EXPECT_EQ(out[0], 9);
  EXPECT_EQ(out[16], 0);
  EXPECT_FALSE(fbs_sound_valid(slot));  // ended and released in the same pass
  int32_t again = -1;
  ASSERT_EQ(FBS_PLAY_WAVE(w, 1, 2.0f, 1.0f, 0.0f, &again), 1);
  EXPECT_EQ(again, slot);
  float speed = 0;
  FBS_GET_SOUNDSPEED(again, &speed);
  EXPECT_EQ(speed, 2.0f);
  fill();
  EXPECT_TRUE(fbs_sound_valid(again));  // kept: it belongs to the caller
  EXPECT_EQ(loops_of(again), 0);
  ASSERT_EQ(FBS_DESTROY_SOUND(&again), 1);
  EXPECT_EQ(again, -1);
  int32_t created = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(w, &created), 1);
  EXPECT_EQ(created, slot);
}

TEST_F(Mixer, EmptyLoopRegionEndsTheSound) {
  int32_t w = constant_wave(64, 7);
  int32_t kept = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(w, &kept), 1);
  uint8_t* middle = play_of(kept) + 32 * 4;
  ASSERT_EQ(FBS_SET_SOUNDPOINTERS(kept, middle, nullptr, middle), 1);
  ASSERT_EQ(FBS_PLAY_SOUND(kept, 5), 1);
  ASSERT_EQ(FBS_PLAY_WAVE(w, 0, 1.0f, 1.0f, 0.0f, nullptr), 1);  // unkept, endless
  int32_t unkept = -1;
  for (int32_t i = 0; i < fbs_sound_count.load() && unkept < 0; i++)
    if (fbs_sounds[i].wave_begin.load() && fbs_sounds[i].keep.load() == 0) unkept = i;
  ASSERT_GE(unkept, 0);
  ASSERT_EQ(FBS_SET_SOUNDPOINTERS(unkept, middle, nullptr, middle), 1);
  std::vector<int16_t> out = fill();
  for (size_t i = 0; i < out.size(); i++) ASSERT_EQ(out[i], 0) << i;
  EXPECT_EQ(loops_of(kept), 0);
  EXPECT_TRUE(fbs_sound_valid(kept));     // kept: replayable
  EXPECT_FALSE(fbs_sound_valid(unkept));  // its slot is free again
  fill();
  EXPECT_EQ(FBS_GET_PLAYINGSOUNDS(), 0);
}

TEST_F(Mixer, EntryPointsRejectBadHandlesAndArguments) {
  int32_t s = -1;
  EXPECT_EQ(FBS_CREATE_SOUND(0, nullptr), 0);
  EXPECT_EQ(FBS_CREATE_SOUND(12345, &s), 0);
  EXPECT_EQ(s, -1);
  EXPECT_EQ(FBS_PLAY_SOUND(-1, 1), 0);
  EXPECT_EQ(FBS_PLAY_SOUND(kFbsMaxSounds + 5, 1), 0);
  EXPECT_EQ(FBS_DESTROY_SOUND(nullptr), 0);
  EXPECT_EQ(FBS_ENABLE_SOUNDCALLBACK(0), 0);
  ASSERT_EQ(FBS_CREATE_SOUND(constant_wave(8, 1), &s), 1);
  EXPECT_EQ(FBS_ENABLE_SOUNDCALLBACK(s), 0);  // no callback stored
  EXPECT_EQ(FBS_SET_SOUNDCALLBACK(s, master_callback), 1);
  EXPECT_EQ(FBS_ENABLE_SOUNDCALLBACK(s), 1);
  int32_t destroyed = s;
  ASSERT_EQ(FBS_DESTROY_SOUND(&destroyed), 1);
  EXPECT_EQ(FBS_SET_SOUNDVOLUME(s, 1.0f), 0);
  EXPECT_EQ(FBS_DESTROY_SOUND(&s), 0);
  // Loops: negative means endless, 0 stops at the next block.
  ASSERT_EQ(FBS_CREATE_SOUND(constant_wave(8, 1), &s), 1);
  FBS_SET_SOUNDLOOPS(s, -5);
  EXPECT_EQ(loops_of(s), 2147483647);
  FBS_PLAY_SOUND(s, 0);
  EXPECT_EQ(loops_of(s), 2147483647);
  FBS_SET_SOUNDLOOPS(s, 0);
  fill();
  EXPECT_EQ(FBS_GET_PLAYINGSOUNDS(), 0);
}

TEST_F(Mixer, RoutinesFollowTheSpeedAndTheChannelCount) {
  int32_t s = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(ramp_wave(4 * kFrames), &s), 1);
  FBS_SET_SOUNDSPEED(s, 2.0f);  // every second frame
  FBS_PLAY_SOUND(s, 1);
  std::vector<int16_t> out = fill();
  EXPECT_EQ((std::vector<int16_t>(out.begin(), out.begin() + 6)),
            (std::vector<int16_t>{1, -1, 3, -3, 5, -5}));
  // Backwards from the loop end, wrapping once into the region's end.
  FBS_SET_SOUNDSPEED(s, -1.0f);
  void *st = nullptr, *en = nullptr;
  FBS_GET_SOUNDPOINTERS(s, &st, nullptr, &en);
  uint8_t* b = static_cast<uint8_t*>(st);
  FBS_SET_SOUNDPOINTERS(s, nullptr, b + 8, nullptr);  // frame 3
  FBS_PLAY_SOUND(s, 2);
  FBS_SET_SOUNDPOINTERS(s, nullptr, b + 8, nullptr);
  out = fill();
  EXPECT_EQ(out[0], 3);
  EXPECT_EQ(out[2], 2);
  EXPECT_EQ(out[4], 1);

  // Mono output: 2-byte frames, and pan has no effect.
  FBS_SET_SOUNDLOOPS(s, 0);
  ASSERT_EQ(FBS_INIT(44100, 1, 3, kFrames, 0), 1);
  std::vector<int16_t> mono = {10, 20, 30, 40};
  int32_t w = fbs_wave_store_copy(mono.data(), 8);
  int32_t m = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(w, &m), 1);
  FBS_SET_SOUNDPAN(m, 1.0f);
  FBS_PLAY_SOUND(m, 1);
  copy.fill(1);
  const int16_t* o = copy.block();
  EXPECT_EQ((std::vector<int16_t>(o, o + 6)), (std::vector<int16_t>{10, 20, 30, 40, 0, 0}));
}

TEST_F(Mixer, ALargerBlockAfterInitAgainIsRenderedWhole) {
  int32_t s = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(constant_wave(8 * kFrames, 300), &s), 1);
  ASSERT_EQ(FBS_INIT(44100, 2, 3, 4 * kFrames, 0), 1);
  FBS_PLAY_SOUND(s, 1);
  copy.fill(1);
  const int16_t* out = copy.block();
  EXPECT_EQ(out[0], 300);
  EXPECT_EQ(out[4 * kFrames * 2 - 1], 300);
}

// ---- Ramped ends and crossfaded restarts ----

// A stereo wave of n frames of random full-range values, and its samples.
int32_t noise_wave(int frames, std::vector<int16_t>* samples, unsigned seed) {
  samples->resize(static_cast<size_t>(frames) * 2);
  unsigned x = seed;
  for (int16_t& v : *samples) {
    x = x * 1103515245u + 12345u;
    v = static_cast<int16_t>(x >> 16);
  }
  return fbs_wave_store_copy(samples->data(), static_cast<uint32_t>(samples->size() * 2));
}

// A full-scale constant ended with ramps of several lengths: every ramped
// frame lies on the line from 1 to 0 (within the rounding of the 2.14
// weights), the first at exactly full scale, then the sound is silent and has
// ended as if moved to its end; a second request during the ramp changes
// nothing.
// A plug-in whose device period shrank asks for shorter blocks
// (block_bytes): the sound goes on frame for frame as in whole blocks, at
// speed 1 and, under every family, at another speed (each carries the
// position's fraction from block to block, so pitch does not depend on the
// block size).
TEST_F(Mixer, ShorterBlocksAskedByThePlugInContinueTheSoundExactly) {
  FbsPlugRecord* r = fbs_record();
  ASSERT_NE(r, nullptr);
  const int32_t w = ramp_wave(20 * kFrames);
  struct Case {
    float speed;
    int family;
  } cases[] = {{1.0f, 0}, {1.37f, 0}, {0.71f, 0}, {1.37f, 1}, {1.37f, 2}};
  for (const Case& c : cases) {
      const float speed = c.speed;
      const int family = c.family;
      SCOPED_TRACE("speed " + std::to_string(speed) + ", family " + std::to_string(family));
      FBS_SET_RESAMPLEMODE(family);
      std::vector<int16_t> whole, pieces;
      for (int shorter : {0, 1}) {
        int32_t s = -1;
        ASSERT_EQ(FBS_CREATE_SOUND(w, &s), 1);
        FBS_SET_SOUNDSPEED(s, speed);
        ASSERT_EQ(FBS_PLAY_SOUND(s, 0), 1);
        std::vector<int16_t>& out = shorter ? pieces : whole;
        std::vector<int16_t> block(kFrames * 2);
        for (int b = 0; b < 4; b++) {
          // 96 + 160 frames, or one block of 256.
          for (int part : shorter ? std::vector<int>{96, 160} : std::vector<int>{kFrames}) {
            r->block_bytes = part == kFrames ? 0 : part * 4;
            r->buffer = block.data();
            fbs_fill(r);
            out.insert(out.end(), block.begin(), block.begin() + part * 2);
          }
        }
        r->block_bytes = 0;
        FBS_DESTROY_SOUND(&s);
      }
      EXPECT_EQ(whole, pieces);
    }
  FBS_SET_RESAMPLEMODE(0);
}

// A loop that starts past the wave's beginning, with the sound playing from
// the beginning: every family plays the part before the loop (a ramp, which
// each interpolates to within a unit or two of the nearest family's value).
TEST_F(Mixer, ThePartBeforeALoopsStartPlaysUnderEveryFamily) {
  const int32_t w = ramp_wave(4000);
  std::vector<int16_t> played[3];
  for (int family = 0; family < 3; family++) {
    SCOPED_TRACE("family " + std::to_string(family));
    FBS_SET_RESAMPLEMODE(family);
    int32_t s = -1;
    ASSERT_EQ(FBS_CREATE_SOUND(w, &s), 1);
    void* begin = nullptr;
    FBS_GET_SOUNDPOINTERS(s, &begin, nullptr, nullptr);
    ASSERT_EQ(FBS_SET_SOUNDPOINTERS(s, static_cast<uint8_t*>(begin) + 2000 * 4, nullptr, nullptr), 1);
    FBS_SET_SOUNDSPEED(s, 0.9f);
    ASSERT_EQ(FBS_PLAY_SOUND(s, 1), 1);
    for (int b = 0; b < 8; b++) {  // 2048 frames, all before the loop (2222 at 0.9)
      std::vector<int16_t> block = fill();
      played[family].insert(played[family].end(), block.begin(), block.end());
    }
    FBS_DESTROY_SOUND(&s);
  }
  FBS_SET_RESAMPLEMODE(0);
  // Past the band-limited taps that reach before the wave's first frame.
  for (size_t i = 2 * 16; i < played[0].size(); i += 2)
    for (int family : {1, 2})
      ASSERT_NEAR(played[family][i], played[0][i], 2) << "family " << family << ", frame " << i / 2;
}

TEST_F(Mixer, RampedEndFallsLinearlyToSilenceThenEnds) {
  struct Case {
    int ramp;
    bool asked_twice;
  };
  for (Case c : {Case{132, false}, Case{300, false}, Case{300, true}, Case{1, false}}) {
    SCOPED_TRACE(c.ramp);
    int32_t s = -1;
    ASSERT_EQ(FBS_CREATE_SOUND(constant_wave(40 * kFrames, 32767), &s), 1);
    FBS_PLAY_SOUND(s, 1);
    fill();
    ASSERT_EQ(FBS_END_SOUND_RAMPED(s, c.ramp), 1);
    std::vector<int16_t> heard;
    for (int b = 0; b < 3; b++) {
      std::vector<int16_t> out = fill();
      heard.insert(heard.end(), out.begin(), out.end());
      if (c.asked_twice && b == 0) {
        EXPECT_EQ(FBS_END_SOUND_RAMPED(s, c.ramp), 1);
      }
    }
    EXPECT_EQ(heard[0], 32767);
    for (int k = 0; k < 3 * kFrames; k++) {
      double line = k < c.ramp ? 32767.0 * (c.ramp - k) / c.ramp : 0.0;
      ASSERT_NEAR(heard[2 * k], line, 3.0) << k;
      ASSERT_EQ(heard[2 * k + 1], heard[2 * k]) << k;
      if (k > 0) {
        ASSERT_LE(heard[2 * k], heard[2 * k - 2]) << k;
      }
    }
    EXPECT_GT(heard[2 * (c.ramp - 1)], 0);
    EXPECT_EQ(loops_of(s), 0);
    void* start = nullptr;
    FBS_GET_SOUNDPOINTERS(s, &start, nullptr, nullptr);
    EXPECT_EQ(play_of(s), start);
    EXPECT_EQ(FBS_GET_PLAYINGSOUNDS(), 0);
    FBS_DESTROY_SOUND(&s);
  }
}

// A ramp of 0 frames (also a negative count) ends the sound exactly as
// moving its position to its end does; an unkept sound's slot is released in
// the pass that ends its ramp.
TEST_F(Mixer, RampedEndWithoutFramesIsTheEndMoveAndUnkeptSlotsAreReleased) {
  int32_t w = constant_wave(40 * kFrames, 500);
  for (int frames : {0, -7}) {
    int32_t moved = -1, ramped = -1;
    ASSERT_EQ(FBS_CREATE_SOUND(w, &moved), 1);
    ASSERT_EQ(FBS_CREATE_SOUND(w, &ramped), 1);
    FBS_PLAY_SOUND(moved, 1);
    FBS_PLAY_SOUND(ramped, 1);
    fill();
    void *start = nullptr, *end = nullptr;
    FBS_GET_SOUNDPOINTERS(moved, &start, nullptr, &end);
    FBS_SET_SOUNDPOINTERS(moved, nullptr, end, nullptr);
    ASSERT_EQ(FBS_END_SOUND_RAMPED(ramped, frames), 1);
    std::vector<int16_t> out = fill();
    EXPECT_EQ(FBS_GET_PLAYINGSOUNDS(), 2);  // both counted in the block that ends them
    for (size_t i = 0; i < out.size(); i++) ASSERT_EQ(out[i], 0) << i;
    EXPECT_EQ(loops_of(moved), 0);
    EXPECT_EQ(loops_of(ramped), 0);
    EXPECT_EQ(play_of(moved) - static_cast<uint8_t*>(start),
              play_of(ramped) - fbs_sounds[ramped].wave_begin.load());
    FBS_DESTROY_SOUND(&moved);
    FBS_DESTROY_SOUND(&ramped);
  }
  ASSERT_EQ(FBS_PLAY_WAVE(w, 1, 1.0f, 1.0f, 0.0f, nullptr), 1);
  int32_t slot = -1;
  for (int32_t i = 0; i < fbs_sound_count.load() && slot < 0; i++)
    if (fbs_sounds[i].wave_begin.load() && fbs_sounds[i].keep.load() == 0) slot = i;
  ASSERT_GE(slot, 0);
  ASSERT_EQ(FBS_END_SOUND_RAMPED(slot, kFrames + 10), 1);
  fill();
  EXPECT_TRUE(fbs_sound_valid(slot));  // 10 frames of the ramp to go
  std::vector<int16_t> out = fill();
  EXPECT_NE(out[0], 0);
  EXPECT_EQ(out[20], 0);
  EXPECT_FALSE(fbs_sound_valid(slot));
}

// Ramped ends that must change nothing and report 0, and ramp lengths held
// to 0..the output rate.
TEST_F(Mixer, RampedEndRefusesSoundsThatDoNotPlayAndLimitsItsLength) {
  int32_t w = constant_wave(4 * kFrames, 100);
  int32_t freed = -1, paused = -1, fresh = -1, ended = -1, huge = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(w, &freed), 1);
  int32_t freed_handle = freed;
  FBS_DESTROY_SOUND(&freed);
  EXPECT_EQ(FBS_END_SOUND_RAMPED(freed_handle, 100), 0);
  EXPECT_EQ(FBS_END_SOUND_RAMPED(-1, 100), 0);
  ASSERT_EQ(FBS_CREATE_SOUND(w, &paused), 1);
  FBS_PLAY_SOUND(paused, 3);
  FBS_SET_SOUNDPAUSED(paused, 1);
  ASSERT_EQ(FBS_CREATE_SOUND(w, &fresh), 1);
  ASSERT_EQ(FBS_CREATE_SOUND(constant_wave(8, 100), &ended), 1);
  FBS_PLAY_SOUND(ended, 1);
  fill();
  for (int32_t s : {paused, fresh, ended}) EXPECT_EQ(FBS_END_SOUND_RAMPED(s, 100), 0) << s;
  FBS_SET_SOUNDPAUSED(paused, 0);
  std::vector<int16_t> out = fill();
  EXPECT_EQ(out[2 * kFrames - 2], 100);  // the paused sound plays on unramped
  EXPECT_EQ(loops_of(paused), 3);
  ASSERT_EQ(FBS_CREATE_SOUND(constant_wave(44100 * 2, 100), &huge), 1);
  FBS_PLAY_SOUND(huge, 1);
  FBS_SET_SOUNDLOOPS(paused, 0);
  ASSERT_EQ(FBS_END_SOUND_RAMPED(huge, 1 << 30), 1);  // one second of output
  int blocks = 0;
  while (loops_of(huge) != 0 && blocks < 1000) {
    fill();
    blocks++;
  }
  EXPECT_EQ(blocks, (44100 + kFrames - 1) / kFrames);
}

// A restart of a sounding sound crossfades in its own slot: the old waveform
// goes on at the volume it was heard with and falls while the new start
// rises. The first frame continues the old waveform, no frame is beyond the
// larger of the two waveforms, and after the ramp only the new one is heard.
TEST_F(Mixer, CrossfadedRestartStaysBetweenTheTwoWaveforms) {
  std::vector<int16_t> wave;
  int32_t s = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(noise_wave(8 * kFrames, &wave, 7), &s), 1);
  FBS_SET_SOUNDVOLUME(s, 1.0f);
  FBS_PLAY_SOUND(s, 1);
  fill();
  FBS_SET_SOUNDVOLUME(s, 0.5f);  // the new note is softer; the old fades at full volume
  const int ramp = 132;
  ASSERT_EQ(FBS_PLAY_SOUND_RAMPED(s, 1, ramp), 1);
  std::vector<int16_t> out = fill();
  for (int i = 0; i < 2 * kFrames; i++) {
    int old_wave = wave[2 * kFrames + i];
    int new_wave = wave[i] >> 1;  // volume 0.5: the 16.16 product shifted
    if (i < 2 * ramp) {
      ASSERT_LE(std::abs(out[i]), std::max(std::abs(old_wave), std::abs(new_wave))) << i;
    } else {
      ASSERT_EQ(out[i], new_wave) << i;
    }
  }
  EXPECT_EQ(out[0], wave[2 * kFrames]);
  EXPECT_EQ(out[1], wave[2 * kFrames + 1]);
  EXPECT_EQ(loops_of(s), 1);
  // Without a ramp, and then before the new start was heard: exactly
  // FBS_PLAY_SOUND.
  ASSERT_EQ(FBS_PLAY_SOUND_RAMPED(s, 1, 0), 1);
  ASSERT_EQ(FBS_PLAY_SOUND_RAMPED(s, 1, ramp), 1);
  out = fill();
  for (int i = 0; i < 2 * kFrames; i++) ASSERT_EQ(out[i], wave[i] >> 1) << i;
}

// A sound destroyed during its ramps leaves nothing behind: a sound played
// on its slot is heard at full level, and so is a sound played again by a
// plain play during its ramped end.
TEST_F(Mixer, RampsEndWithTheSoundAndNeverReachTheNextOne) {
  int32_t w = constant_wave(40 * kFrames, 1000);
  int32_t s = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(w, &s), 1);
  FBS_PLAY_SOUND(s, 1);
  fill();
  FBS_PLAY_SOUND_RAMPED(s, 1, 2 * kFrames);
  FBS_END_SOUND_RAMPED(s, 3 * kFrames);
  fill();
  int32_t slot = s;
  ASSERT_EQ(FBS_DESTROY_SOUND(&s), 1);
  std::vector<int16_t> out = fill();
  for (size_t i = 0; i < out.size(); i++) ASSERT_EQ(out[i], 0) << i;
  ASSERT_EQ(FBS_PLAY_WAVE(w, 1, 1.0f, 1.0f, 0.0f, &s), 1);
  ASSERT_EQ(s, slot);
  out = fill();
  EXPECT_EQ(out[0], 1000);
  EXPECT_EQ(out[2 * kFrames - 1], 1000);
  FBS_END_SOUND_RAMPED(s, 3 * kFrames);
  fill();
  FBS_PLAY_SOUND(s, 1);  // a plain play drops the ramp
  fill();
  out = fill();
  EXPECT_EQ(out[2 * kFrames - 1], 1000);
  EXPECT_EQ(loops_of(s), 1);
}

// Starts and ends asked for at frames of the output clock (with a plug-in
// that keeps none, the frames mixed since FBS_INIT) happen on those frames,
// counted from the next block's first frame here: the ramp wave shows where
// each start began, and what a sound still played before it went on.
TEST_F(Mixer, TimedStartsAndEndsFallOnTheirFrames) {
  constexpr int kNone = INT_MIN;
  struct Case {
    const char* what;
    bool played_before;  // from the wave's start, one block ago
    int start_at, end_at;
    bool end_asked_first, then_ended_at_once;
    int heard_from, heard_to;  // frames of the two blocks the new start fills
  };
  const Case cases[] = {
      {"inside the block", false, 100, kNone, false, false, 100, 2 * kFrames},
      {"in the next block", false, kFrames + 10, kNone, false, false, kFrames + 10, 2 * kFrames},
      {"already past", false, -5, kNone, false, false, 0, 2 * kFrames},
      {"on another clock", false, 3 * 44100, kNone, false, false, 0, 2 * kFrames},
      {"then its end", false, 20, 60, false, false, 20, 60},
      {"an end before a restart", true, 80, 30, true, false, 80, 2 * kFrames},
      {"an end asked later for an earlier frame", true, 50, 10, false, false, 50, 50},
      {"dropped by an end at once", false, kFrames + 10, kNone, false, true, 0, 0},
  };
  int32_t w = ramp_wave(8 * kFrames);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int32_t s = -1;
    ASSERT_EQ(FBS_CREATE_SOUND(w, &s), 1);
    if (c.played_before) {
      FBS_PLAY_SOUND(s, 1);
      fill();
    }
    uint32_t clock = static_cast<uint32_t>(copy.record()->clock_frame);
    // An end asked before the start ends what played before; one asked
    // after it ends what it begins.
    if (c.end_asked_first) {
      ASSERT_EQ(FBS_END_SOUND_AT(s, 0, clock + c.end_at), 1);
    }
    ASSERT_EQ(FBS_PLAY_SOUND_AT(s, 1, 0, clock + c.start_at, -1.0f, 0.0f), 1);
    if (c.end_at != kNone && !c.end_asked_first) {
      ASSERT_EQ(FBS_END_SOUND_AT(s, 0, clock + c.end_at), 1);
    }
    if (c.then_ended_at_once) {
      EXPECT_EQ(FBS_END_SOUND_RAMPED(s, 0), 1);
    }
    std::vector<int16_t> heard = fill(), second = fill();
    heard.insert(heard.end(), second.begin(), second.end());
    int old_to = !c.played_before ? 0 : c.end_asked_first ? c.end_at : c.start_at;
    for (int k = 0; k < 2 * kFrames; k++) {
      int expected = 0;
      if (k < old_to) expected = kFrames + k + 1;
      if (k >= c.heard_from && k < c.heard_to) expected = k - c.heard_from + 1;
      ASSERT_EQ(heard[2 * k], expected) << k;
    }
    FBS_DESTROY_SOUND(&s);
  }
}

// A writer of a sound's position, played on the mixer's own thread through
// the guard-read hook: at the block's first read of the sound it holds the
// guard odd, as an entry point does while it writes; at read `release` it
// stores its new position and leaves the guard.
struct GuardWriter {
  int32_t sound = -1;
  int32_t release = 0;
  uint8_t* position = nullptr;
  bool holding = false;
  int32_t reads = 0;  // reads the mixer made in the last block
};
GuardWriter writer;

void write_position_done() {
  FbsSound& s = fbs_sounds[writer.sound];
  s.play.store(writer.position);
  s.moved.fetch_add(1u);
  writer.holding = false;
}

void guard_writer_hook(int32_t sound, int32_t read) {
  if (sound != writer.sound) return;
  writer.reads = read + 1;
  if (read == 0) {
    fbs_sounds[sound].moved.fetch_add(1u);
    writer.holding = true;
  }
  if (read == writer.release && writer.holding) write_position_done();
}

TEST_F(Mixer, PositionBeingWrittenIsReadAgainUntilTheWriterEndsOrTheBoundIsReached) {
  const int kWaveFrames = 8 * kFrames;
  const int kMovedTo = 3 * kFrames + 5;  // the writer's new position, in frames
  struct Case {
    int32_t release;   // the read at which the writer is done
    bool heard;        // the block holds the sound from the writer's position
  } cases[] = {
      {1, true}, {2, true}, {kFbsGuardReads / 2, true}, {kFbsGuardReads - 1, true},
      {kFbsGuardReads, false}, {10 * kFbsGuardReads, false},
  };
  int32_t w = ramp_wave(kWaveFrames);
  int32_t s = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(w, &s), 1);
  uint8_t* begin = fbs_sounds[s].wave_begin.load();
  fbs_set_guard_read_hook(guard_writer_hook);
  for (const Case& c : cases) {
    SCOPED_TRACE("released at read " + std::to_string(c.release));
    ASSERT_EQ(FBS_PLAY_SOUND(s, 0), 1);  // endless, from the start
    fill();
    writer = GuardWriter{s, c.release, begin + kMovedTo * 4};
    std::vector<int16_t> out = fill();
    if (c.heard) {
      // The block is the sound from where the writer put it, whole.
      EXPECT_EQ(writer.reads, c.release + 1);
      for (int i = 0; i < kFrames; i++) ASSERT_EQ(out[2 * i], kMovedTo + i + 1) << i;
    } else {
      // Still being written after the last read: the sound sits out this
      // block, leaving the writer's fields alone, and goes on from the
      // writer's position once the writer is done.
      EXPECT_EQ(writer.reads, kFbsGuardReads);
      for (int i = 0; i < 2 * kFrames; i++) ASSERT_EQ(out[i], 0) << i;
      ASSERT_TRUE(writer.holding);
      write_position_done();
    }
    writer.sound = -1;
    out = fill();
    int from = c.heard ? kMovedTo + kFrames : kMovedTo;
    for (int i = 0; i < kFrames; i++) ASSERT_EQ(out[2 * i], from + i + 1) << i;
    EXPECT_EQ(fbs_sounds[s].moved.load() & 1u, 0u);
  }
  fbs_set_guard_read_hook(nullptr);
}

TEST_F(Mixer, ExitReleasesSoundsAndWaves) {
  int32_t s = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(constant_wave(8, 1), &s), 1);
  FBS_PLAY_SOUND(s, 3);
  FBS_EXIT();
  EXPECT_EQ(fbs_wave_count.load(), 0);
  EXPECT_EQ(fbs_sounds[s].wave_begin.load(), nullptr);
  EXPECT_EQ(fbs_sounds[s].mix.load(), nullptr);
  EXPECT_EQ(fbs_sounds[s].loops.load(), 0);
  EXPECT_EQ(fbs_sounds[s].paused.load(), 1);
  ASSERT_EQ(FBS_INIT(44100, 2, 3, kFrames, 0), 1);
  EXPECT_EQ(FBS_PLAY_SOUND(s, 1), 0);
}

}  // namespace
