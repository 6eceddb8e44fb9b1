// SPDX-License-Identifier: GPL-3.0-or-later
// The engine on the test plug-in with nine decaying 8-second waves and 127
// sounds, as the fill benchmarks use it. Needs the test plug-in (build target
// plug_test).
#pragma once
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine_state.h"
#include "engine/fbs.h"
#include "tests/plugins/plug_test_api.h"

namespace bench_voices {

constexpr int kFrames = 1024;
constexpr int kWaves = 9;
constexpr int kWaveFrames = 44100 * 8;  // 8 s per wave
constexpr int kMaxVoices = 127;

inline int32_t waves[kWaves];
inline int32_t sounds[kMaxVoices];

// Opens the engine once (stereo, 44100 Hz, kFrames frames a block); false
// when it does not open.
inline bool open_engine() {
  static bool ready = false;
  if (ready) return true;
  std::string dir = plugtest::make_plug_folder({{plugtest::built("plug_test.so"), "plug-rtaudio.so"}});
  plugtest::open_copy(dir + "plug-rtaudio.so");
  FBS_SET_PLUGPATH(dir.c_str());
  if (FBS_INIT(44100, 2, 3, kFrames, 0) != 1) return false;
  FBS_SET_MAXCHANNELS(256);
  std::vector<int16_t> samples(static_cast<size_t>(kWaveFrames) * 2);
  for (int w = 0; w < kWaves; w++) {
    for (int i = 0; i < kWaveFrames; i++) {
      double t = static_cast<double>(i) / 44100.0;
      double v = 9000.0 * std::sin(2.0 * M_PI * 55.0 * (w + 1) * t) * std::exp(-t * 0.3);
      samples[2 * i] = static_cast<int16_t>(v);
      samples[2 * i + 1] = static_cast<int16_t>(v * 0.9);
    }
    waves[w] = fbs_wave_store_copy(samples.data(), static_cast<uint32_t>(samples.size() * 2));
  }
  for (int v = 0; v < kMaxVoices; v++) FBS_CREATE_SOUND(waves[v % kWaves], &sounds[v]);
  ready = true;
  return true;
}

// Plays `voices` sounds from staggered positions; varied = pitch ratios of
// the keys around each sample (a tritone down to a fourth up, speed 1
// among them), volume 0.6 and pans across the field; pitched = the same
// without speed 1 (a tritone down to a tritone up).
inline void start_voices(int voices, bool varied, bool pitched = false) {
  for (int v = 0; v < kMaxVoices; v++) FBS_SET_SOUNDLOOPS(sounds[v], 0);
  for (int v = 0; v < voices; v++) {
    int32_t s = sounds[v];
    FBS_PLAY_SOUND(s, 0);
    void *st = nullptr, *en = nullptr;
    FBS_GET_SOUNDPOINTERS(s, &st, nullptr, &en);
    uint8_t* begin = static_cast<uint8_t*>(st);
    FBS_SET_SOUNDPOINTERS(s, nullptr, begin + (static_cast<size_t>(v) * 7919 % kWaveFrames) * 4,
                          nullptr);
    if (varied) {
      int semitones = (v % 12) - 5;
      if (pitched && semitones == 0) semitones = -6;
      FBS_SET_SOUNDSPEED(s, static_cast<float>(std::pow(2.0, semitones / 12.0)));
      FBS_SET_SOUNDVOLUME(s, 0.6f);
      FBS_SET_SOUNDPAN(s, ((v % 9) - 4) * 0.2f);
    } else {
      FBS_SET_SOUNDSPEED(s, 1.0f);
      FBS_SET_SOUNDVOLUME(s, 1.0f);
      FBS_SET_SOUNDPAN(s, 0.0f);
    }
  }
}

}  // namespace bench_voices
