// SPDX-License-Identifier: GPL-3.0-or-later
// Destroying waves while a plug-in thread mixes their sounds: the mixer must
// never read a freed wave or mix buffer, and nothing may race (run under
// ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "engine/engine_state.h"
#include "engine/fbs.h"
#include "tests/support/engine_test_output.h"

namespace {

TEST(EngineDestroyWave, WhileThePlugInThreadMixesItsSounds) {
  enginetest::FillThread plugin(enginetest::use_output(44100, 2, 64));
  std::atomic<int>& fills = plugin.fills;

  for (int round = 0; round < 1000; ++round) {
    int32_t wave = -1;
    void* data = nullptr;
    ASSERT_EQ(FBS_CREATE_WAVE(500 + round % 7 * 100, &wave, &data), 1);
    int16_t* samples = (int16_t*)data;
    for (int i = 0; i < 1000; ++i) samples[i] = (int16_t)(i * 31);
    int32_t sounds[6];
    for (int k = 0; k < 4; ++k) {
      ASSERT_EQ(FBS_CREATE_SOUND(wave, &sounds[k]), 1);
      FBS_SET_SOUNDSPEED(sounds[k], k == 3 ? -0.7f : 0.5f + k);
      FBS_SET_SOUNDMUTED(sounds[k], k == 2);
      ASSERT_EQ(FBS_PLAY_SOUND(sounds[k], 0), 1);  // endless
    }
    ASSERT_EQ(FBS_PLAY_WAVE(wave, 3, 1.0f, 0.8f, 0.4f, &sounds[4]), 1);
    ASSERT_EQ(FBS_PLAY_WAVE(wave, 0, 1.3f, 1.0f, -0.2f, nullptr), 1);
    sounds[5] = -1;
    // Let the mixer get well into the sounds on some rounds, none on others.
    int target = fills.load() + round % 3;
    while (fills.load() < target) std::this_thread::yield();

    ASSERT_EQ(FBS_DESTROY_WAVE(&wave), 1);
    EXPECT_EQ(wave, -1);
    for (int k = 0; k < 5; ++k) {
      EXPECT_EQ(fbs_sounds[sounds[k]].wave_begin.load(), nullptr) << "round " << round;
      EXPECT_EQ(FBS_PLAY_SOUND(sounds[k], 1), 0);
    }
  }
  EXPECT_GT(fills.load(), 0);
}

}  // namespace
