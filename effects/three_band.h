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

// ---- Both channels at once ----
// Four lanes of one vector: the low chain of the left and of the right
// channel, then their high chains. Every lane does exactly the arithmetic of
// three_band_split for its chain, so a block loop over frames gives the same
// values as two filters run value by value, in about half the operations.
typedef float ThreeBandLanes __attribute__((vector_size(16)));

struct ThreeBandPair {
  ThreeBandLanes coef;                             // low L, low R, high L, high R
  ThreeBandLanes stage[kThreeBandMaxOrder];        // stage k of the four chains
  ThreeBandLanes delay[kThreeBandMaxOrder - 1];    // lanes 0 and 1: inputs D1..D4 of L and R
};

// The two channels' bands: lane 0 left, lane 1 right (lanes 2 and 3 unused).
struct ThreeBandPairBands {
  ThreeBandLanes low, mid, high;
};

inline ThreeBandPair three_band_pair(const ThreeBandFilter& l, const ThreeBandFilter& r) {
  ThreeBandPair p;
  p.coef = ThreeBandLanes{l.low_coef, r.low_coef, l.high_coef, r.high_coef};
  for (int k = 0; k < kThreeBandMaxOrder; k++) p.stage[k] = ThreeBandLanes{l.low[k], r.low[k], l.high[k], r.high[k]};
  for (int k = 0; k < kThreeBandMaxOrder - 1; k++) p.delay[k] = ThreeBandLanes{l.delay[k], r.delay[k], 0.0f, 0.0f};
  return p;
}

// The state of a pair back into the two filters (coefficients and gains stay).
inline void three_band_unpair(const ThreeBandPair& p, ThreeBandFilter& l, ThreeBandFilter& r) {
  for (int k = 0; k < kThreeBandMaxOrder; k++) {
    l.low[k] = p.stage[k][0];
    r.low[k] = p.stage[k][1];
    l.high[k] = p.stage[k][2];
    r.high[k] = p.stage[k][3];
  }
  for (int k = 0; k < kThreeBandMaxOrder - 1; k++) {
    l.delay[k] = p.delay[k][0];
    r.delay[k] = p.delay[k][1];
  }
}

// One frame through both filters of N stages per chain: x holds the left
// value in lanes 0 and 2 and the right one in lanes 1 and 3.
template <int N>
inline ThreeBandPairBands three_band_split_pair(ThreeBandPair& p, ThreeBandLanes x) {
  static_assert(N >= 1 && N <= kThreeBandMaxOrder, "order out of range");
  const ThreeBandLanes offset = {kThreeBandOffset, kThreeBandOffset, kThreeBandOffset, kThreeBandOffset};
  p.stage[0] = p.stage[0] + ((x - p.stage[0]) + offset) * p.coef;
  for (int k = 1; k < N; k++) p.stage[k] = p.stage[k] + (p.stage[k - 1] - p.stage[k]) * p.coef;
  ThreeBandLanes d = x;
  if constexpr (N > 1) {
    d = p.delay[N - 2];
    for (int k = N - 2; k > 0; k--) p.delay[k] = p.delay[k - 1];
    p.delay[0] = x;
  }
  const ThreeBandLanes high_chain = __builtin_shufflevector(p.stage[N - 1], p.stage[N - 1], 2, 3, 0, 1);
  ThreeBandPairBands b;
  b.high = d - high_chain;
  b.mid = d - b.high - p.stage[N - 1];
  b.low = p.stage[N - 1];
  return b;
}
