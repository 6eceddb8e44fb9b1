// SPDX-License-Identifier: GPL-3.0-or-later
// What a pianist hears of touch, measured on notes played through the
// instrument's offline driver (app/offline_render.h): the level of a note's
// first 300 ms, the spectral centroid of its first 100 ms, and the 20 ms
// envelope of a held chord. For the velocity layer test and the
// velocity_touch tool.
#pragma once
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

#include "app/offline_render.h"
#include "midi/voices.h"
#include "tests/support/fft.h"

constexpr double kTouchRate = 44100;

// Plays `keys` at `velocity` on channel 1 from the start of a block, with
// the instrument started, and returns `seconds` of the output (mono, left
// and right averaged); then ends the notes and lets them fade.
inline std::vector<double> touch_play(const std::vector<int>& keys, int velocity, double seconds) {
  std::vector<double> out;
  std::vector<int16_t> block((size_t)offline_block_frames() * 2);
  OfflineBlock b = offline_begin_block();
  for (int key : keys) offline_dispatch(0x90u | (uint32_t)key << 8 | (uint32_t)velocity << 16, b.start);
  for (;;) {
    offline_mix_block(block.data());
    for (size_t i = 0; i + 1 < block.size(); i += 2) out.push_back((block[i] + block[i + 1]) / 2.0);
    if (out.size() >= (size_t)(seconds * kTouchRate)) break;
    b = offline_begin_block();
  }
  out.resize((size_t)(seconds * kTouchRate));
  silence_all_voices();
  for (int i = 0; i < 8; i++) {
    offline_begin_block();
    offline_mix_block(block.data());
  }
  return out;
}

// RMS of the first `seconds`, in dB relative to full scale.
inline double touch_rms_db(const std::vector<double>& s, double seconds) {
  size_t n = std::min(s.size(), (size_t)(seconds * kTouchRate));
  double sum = 0;
  for (size_t i = 0; i < n; i++) sum += s[i] * s[i];
  return 10.0 * std::log10(sum / std::max<size_t>(n, 1) / (32768.0 * 32768.0) + 1e-30);
}

// Spectral centroid of the first `seconds` in Hz: the magnitude-weighted
// mean frequency of the Hann-windowed spectrum.
inline double touch_centroid_hz(const std::vector<double>& s, double seconds) {
  size_t n = std::min(s.size(), (size_t)(seconds * kTouchRate));
  size_t size = 1;
  while (size < n) size <<= 1;
  std::vector<std::complex<double>> a(size);
  for (size_t i = 0; i < n; i++) a[i] = s[i] * (0.5 - 0.5 * std::cos(2 * M_PI * i / (n - 1)));
  fft_in_place(a);
  double weighted = 0, total = 0;
  for (size_t k = 1; k < size / 2; k++) {
    double m = std::abs(a[k]);
    weighted += m * k * kTouchRate / size;
    total += m;
  }
  return total > 0 ? weighted / total : 0;
}

// Beating of a held sound: the 20 ms envelope in dB from 0.1 s on, less its
// 0.5 s moving average (the decay); the peak-to-peak of what is left, in dB.
inline double touch_beating_db(const std::vector<double>& s) {
  const size_t window = (size_t)(0.02 * kTouchRate);
  std::vector<double> env;
  for (size_t i = (size_t)(0.1 * kTouchRate); i + window <= s.size(); i += window) {
    double sum = 0;
    for (size_t j = 0; j < window; j++) sum += s[i + j] * s[i + j];
    env.push_back(10.0 * std::log10(sum / window + 1e-9));
  }
  const int half = 12;  // 25 windows: 0.5 s
  double lo = 0, hi = 0;
  for (int i = half; i + half < (int)env.size(); i++) {
    double mean = 0;
    for (int j = i - half; j <= i + half; j++) mean += env[j];
    double r = env[i] - mean / (2 * half + 1);
    lo = std::min(lo, r);
    hi = std::max(hi, r);
  }
  return hi - lo;
}
