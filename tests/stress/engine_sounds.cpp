// SPDX-License-Identifier: GPL-3.0-or-later
// Sounds changed from two threads while a plug-in thread mixes without a
// pause: starting, restarting (also crossfaded, also at a frame), stopping
// (also ramped, also at a frame), destroying and remaking sounds, unkept
// sounds from FBS_PLAY_WAVE, volume, speed, pan and pointers. Run under
// ThreadSanitizer; also checks that a stop or a ramped end is never lost to
// the mixer's own position update.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "engine/engine_state.h"
#include "engine/fbs.h"
#include "tests/plugins/plug_test_api.h"

namespace {

constexpr int kSoundsPerThread = 24;
constexpr auto kRunTime = std::chrono::milliseconds(1500);

std::atomic<int> fills{0};
std::atomic<bool> stop_all{false};

int32_t make_wave(int frames, int16_t v) {
  std::vector<int16_t> s(static_cast<size_t>(frames) * 2, v);
  return fbs_wave_store_copy(s.data(), static_cast<uint32_t>(s.size() * 2));
}

// One controlling thread (the main loop or the MIDI thread in the program).
void control(int seed, int32_t wave, int* lost_stops) {
  std::mt19937 rng(seed);
  int32_t sounds[kSoundsPerThread];
  for (int32_t& s : sounds) FBS_CREATE_SOUND(wave, &s);
  auto until = std::chrono::steady_clock::now() + kRunTime;
  int step = 0;
  while (std::chrono::steady_clock::now() < until) {
    int i = static_cast<int>(rng() % kSoundsPerThread);
    int32_t& s = sounds[i];
    uint32_t clock = 0;
    FBS_GET_PLUGCLOCK(&clock);
    uint32_t soon = clock + static_cast<uint32_t>(rng() % 700);  // within three blocks
    switch (rng() % 13) {
      case 0: FBS_PLAY_SOUND(s, 1 + static_cast<int>(rng() % 3)); break;
      case 1: FBS_SET_SOUNDVOLUME(s, static_cast<float>(rng() % 200) / 100.0f); break;
      case 2: FBS_SET_SOUNDSPEED(s, 0.25f + static_cast<float>(rng() % 400) / 100.0f); break;
      case 3: FBS_SET_SOUNDPAN(s, static_cast<float>(static_cast<int>(rng() % 200) - 100) / 100.0f); break;
      case 4: {
        void *st = nullptr, *en = nullptr;
        FBS_GET_SOUNDPOINTERS(s, &st, nullptr, &en);
        FBS_SET_SOUNDPOINTERS(s, nullptr, en, nullptr);  // end the note at its end
        break;
      }
      case 5:
        FBS_DESTROY_SOUND(&s);
        FBS_CREATE_SOUND(wave, &s);
        break;
      case 6: FBS_PLAY_WAVE(wave, 1, 1.5f, 0.5f, 0.2f, nullptr); break;
      case 7: FBS_SET_SOUNDMUTED(s, static_cast<int>(rng() % 2)); break;
      case 8: FBS_SET_SOUNDPAUSED(s, rng() % 8 == 0 ? 1 : 0); break;
      case 9: FBS_END_SOUND_RAMPED(s, static_cast<int>(rng() % 600) - 100); break;
      case 10: FBS_PLAY_SOUND_RAMPED(s, 1 + static_cast<int>(rng() % 3), static_cast<int>(rng() % 600)); break;
      case 11: FBS_PLAY_SOUND_AT(s, 1 + static_cast<int>(rng() % 3), static_cast<int>(rng() % 600), soon,
                                 static_cast<float>(rng() % 200) / 100.0f, 0.5f + static_cast<float>(rng() % 300) / 100.0f); break;
      case 12: FBS_END_SOUND_AT(s, static_cast<int>(rng() % 600), soon); break;
    }
    // Now and then: stop a playing sound, at once or with a ramp shorter
    // than a block, and make sure the stop holds once the mixer has passed
    // over it twice.
    if (++step % 200 == 0) {
      FBS_SET_SOUNDPAUSED(s, 0);
      FBS_PLAY_SOUND(s, 0);
      if (step % 400 == 0)
        FBS_END_SOUND_RAMPED(s, 64);
      else
        FBS_SET_SOUNDLOOPS(s, 0);
      int seen = fills.load();
      while (fills.load() < seen + 2 && !stop_all.load()) std::this_thread::yield();
      int32_t loops = -1;
      FBS_GET_SOUNDLOOPS(s, &loops);
      if (loops != 0 && !stop_all.load()) (*lost_stops)++;
    }
  }
  for (int32_t& s : sounds) FBS_DESTROY_SOUND(&s);
}

TEST(EngineSoundsStress, ConcurrentChangesWhileMixing) {
  std::string dir = plugtest::make_plug_folder({{plugtest::built("plug_test.so"), "plug-rtaudio.so"}});
  plugtest::Copy copy = plugtest::open_copy(dir + "plug-rtaudio.so");
  ASSERT_NE(copy.fill, nullptr);
  FBS_SET_PLUGPATH(dir.c_str());
  ASSERT_EQ(FBS_INIT(44100, 2, 3, 256, 0), 1);
  int32_t wave = make_wave(3000, 100);
  ASSERT_GE(wave, 0);

  std::thread mixer([&] {
    while (!stop_all.load()) {
      copy.fill(1);
      fills.fetch_add(1);
    }
  });
  int lost_a = 0, lost_b = 0;
  std::thread a(control, 1, wave, &lost_a);
  std::thread b(control, 2, wave, &lost_b);
  a.join();
  b.join();
  stop_all.store(true);
  mixer.join();

  EXPECT_GT(fills.load(), 100);
  EXPECT_EQ(lost_a + lost_b, 0);
  // Every remaining slot is consistent: inside its wave, or free.
  for (int32_t i = 0; i < fbs_sound_count.load(); i++) {
    const FbsSound& s = fbs_sounds[i];
    uint8_t* begin = s.wave_begin.load();
    if (!begin) continue;
    EXPECT_LE(s.start.load(), s.end.load());
    EXPECT_GE(s.play.load(), begin);
    EXPECT_LE(s.play.load(), s.wave_end.load());
  }
  EXPECT_EQ(FBS_EXIT(), 1);
}

// Slots that unkept sounds left behind (keep 0) are taken again by
// FBS_CREATE_SOUND while the mixer passes over them: a sound being set up
// there must never be taken for an ended unkept one and freed by the mixer.
TEST(EngineSoundsStress, NewSoundsOnSlotsOfEndedUnkeptSounds) {
  std::string dir = plugtest::make_plug_folder({{plugtest::built("plug_test.so"), "plug-rtaudio.so"}});
  plugtest::Copy copy = plugtest::open_copy(dir + "plug-rtaudio.so");
  ASSERT_NE(copy.fill, nullptr);
  FBS_SET_PLUGPATH(dir.c_str());
  ASSERT_EQ(FBS_INIT(44100, 2, 3, 64, 0), 1);
  int32_t long_wave = make_wave(100000, 10);
  int32_t short_wave = make_wave(8, 10);
  ASSERT_GE(short_wave, 0);
  int32_t endless = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(long_wave, &endless), 1);
  FBS_PLAY_SOUND(endless, 0);  // the mixer visits the slots only while one plays

  std::atomic<bool> stop{false};
  std::atomic<int> passes{0};
  std::thread mixer([&] {
    while (!stop.load()) {
      copy.fill(1);
      passes.fetch_add(1);
    }
  });
  // Unkept sounds that end within a block leave keep-0 slots behind.
  std::thread unkept([&] {
    while (!stop.load()) {
      for (int k = 0; k < 8; k++) FBS_PLAY_WAVE(short_wave, 1, 1.0f, 1.0f, 0.0f, nullptr);
      std::this_thread::yield();
    }
  });
  // Busy threads beyond the cores, so the mixer is preempted at any point.
  std::vector<std::thread> busy;
  for (int b = 0; b < 2; b++)
    busy.emplace_back([&] {
      while (!stop.load()) {
      }
    });
  int lost = 0;
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
  while (std::chrono::steady_clock::now() < until) {
    int32_t made[8];
    for (int32_t& m : made) FBS_CREATE_SOUND(short_wave, &m);
    int seen = passes.load();
    while (passes.load() < seen + 2) std::this_thread::yield();
    for (int32_t& m : made) {
      int32_t loops = -1;
      if (FBS_GET_SOUNDLOOPS(m, &loops) != 1) lost++;
      FBS_DESTROY_SOUND(&m);
    }
  }
  stop.store(true);
  for (std::thread& t : busy) t.join();
  unkept.join();
  mixer.join();
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(FBS_EXIT(), 1);
}

}  // namespace
