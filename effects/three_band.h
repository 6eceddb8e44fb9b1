// SPDX-License-Identifier: GPL-3.0-or-later
// The three-band filter section of the output equalizer and the key tone:
// two chains of one-pole low-pass stages, one at a low and one at a high
// split, part each value into a low, a mid and a high band. With all gains 1
// the bands add up to the input delayed by order - 1 values. Every
// intermediate is a 32-bit float, in the order written here.
#pragma once
#include <cmath>

constexpr int kThreeBandMaxOrder = 5;  // stages per chain (the equalizer uses 1..4)
// Every stage and delay starts at this value and the first stage of each
// chain adds it to its step, so the chains never sink into denormals on silence.
constexpr float kThreeBandOffset = 0.00001f;
// The value of pi the coefficients are computed with.
constexpr float kThreeBandPi = 3.1416f;

// One channel's filter: coefficients, band gains and state.
struct ThreeBandFilter {
  float low_coef = 0.0f;   // 2 sin(pi f / rate) of the low split
  float high_coef = 0.0f;  // the same of the high split
  float low_gain = 1.0f;
  float mid_gain = 1.0f;
  float high_gain = 1.0f;
  float low[kThreeBandMaxOrder] = {};       // low-chain stages L1..L5
  float high[kThreeBandMaxOrder] = {};      // high-chain stages H1..H5
  float delay[kThreeBandMaxOrder - 1] = {}; // inputs D1..D4, newest first
};

struct ThreeBands {
  float low, mid, high;
};

// Stage coefficient of a split at `ratio` = frequency / output rate.
inline float three_band_coef(float ratio) { return 2.0f * std::sin(kThreeBandPi * ratio); }

// Every stage and delay value to kThreeBandOffset.
inline void three_band_clear(ThreeBandFilter& f) {
  for (float& v : f.low) v = kThreeBandOffset;
  for (float& v : f.high) v = kThreeBandOffset;
  for (float& v : f.delay) v = kThreeBandOffset;
}

// One input value through a filter of N stages per chain (1..5); the caller
// sums the bands with its gains in its own order.
template <int N>
inline ThreeBands three_band_split(ThreeBandFilter& f, float x) {
  static_assert(N >= 1 && N <= kThreeBandMaxOrder, "order out of range");
  f.low[0] = f.low[0] + ((x - f.low[0]) + kThreeBandOffset) * f.low_coef;
  for (int k = 1; k < N; k++) f.low[k] = f.low[k] + (f.low[k - 1] - f.low[k]) * f.low_coef;
  f.high[0] = f.high[0] + ((x - f.high[0]) + kThreeBandOffset) * f.high_coef;
  for (int k = 1; k < N; k++) f.high[k] = f.high[k] + (f.high[k - 1] - f.high[k]) * f.high_coef;
  float d = x;
  if (N > 1) {
    d = f.delay[N - 2];  // the input of N - 1 values ago
    for (int k = N - 2; k > 0; k--) f.delay[k] = f.delay[k - 1];
    f.delay[0] = x;
  }
  ThreeBands b;
  b.high = d - f.high[N - 1];
  b.mid = d - b.high - f.low[N - 1];
  b.low = f.low[N - 1];
  return b;
}
