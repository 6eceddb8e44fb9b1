// SPDX-License-Identifier: GPL-3.0-or-later
// The engine on the test plug-in with nine decaying 8-second waves and 127
// sounds, as the fill benchmarks use it. Needs the test plug-in (build target
// plug_test).
#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>
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

// Stereo samples of wave w at 44.1 kHz: a decaying tone of 55 x (w + 1) Hz.
inline std::vector<int16_t> wave_samples(int w) {
  std::vector<int16_t> samples(static_cast<size_t>(kWaveFrames) * 2);
  for (int i = 0; i < kWaveFrames; i++) {
    double t = static_cast<double>(i) / 44100.0;
    double v = 9000.0 * std::sin(2.0 * M_PI * 55.0 * (w + 1) * t) * std::exp(-t * 0.3);
    samples[2 * i] = static_cast<int16_t>(v);
    samples[2 * i + 1] = static_cast<int16_t>(v * 0.9);
  }
  return samples;
}

// The nine waves and the sounds on them, made anew: the samples stored as
// they are, or (as_files) loaded as 44.1 kHz WAV images are loaded,
// converted band-limited to the output rate. False when a load fails.
inline bool make_waves(bool as_files) {
  for (int v = 0; v < kMaxVoices; v++)
    if (sounds[v] >= 0) FBS_DESTROY_SOUND(&sounds[v]);
  for (int w = 0; w < kWaves; w++) {
    if (waves[w] >= 0) FBS_DESTROY_WAVE(&waves[w]);
    std::vector<int16_t> samples = wave_samples(w);
    const uint32_t bytes = static_cast<uint32_t>(samples.size() * 2);
    if (!as_files) {
      waves[w] = fbs_wave_store_copy(samples.data(), bytes);
      continue;
    }
    std::vector<uint8_t> image(52 + bytes, 0);
    auto put = [&](size_t at, uint32_t v, int n) {
      for (int i = 0; i < n; i++) image[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    put(0, 8, 4), put(4, 52 + bytes, 4);
    std::memcpy(&image[8], "RIFF\0\0\0\0WAVEfmt ", 16);
    put(24, 16, 4), put(28, 1, 2), put(30, 2, 2), put(32, 44100, 4), put(36, 44100 * 4, 4), put(40, 4, 2),
        put(42, 16, 2);
    std::memcpy(&image[44], "data", 4);
    put(48, bytes, 4);
    std::memcpy(&image[52], samples.data(), bytes);
    FBS_SET_WAVECONVERTER(1);
    if (FBS_LOAD_WAVFILE_SHORT(image.data(), &waves[w]) != 1) return false;
  }
  for (int v = 0; v < kMaxVoices; v++) FBS_CREATE_SOUND(waves[v % kWaves], &sounds[v]);
  return true;
}

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
  for (int32_t& w : waves) w = -1;
  for (int32_t& s : sounds) s = -1;
  ready = make_waves(false);
  return ready;
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
