// SPDX-License-Identifier: GPL-3.0-or-later
// Three-band output equalizer: the coefficients and the per-value step.
//
// The filter states belong to the mixer thread. compute_eq_coefficients, on
// the main thread, only asks for them to restart: the step sees the request
// before its next value and resets both states itself, so no filter state is
// ever written by two threads.
#include "effects/equalizer.h"

#include <cmath>

#include "core/settings_ranges.h"
#include "core/text_number.h"
#include "effects/master_chain.h"
#include "effects/three_band.h"
#include "effects/three_band_bound.h"

std::atomic<float> eq_low_coef{0.0f};
std::atomic<float> eq_high_coef{0.0f};
std::atomic<float> eq_low_gain{2.0f};
std::atomic<float> eq_mid_gain{1.0f};
std::atomic<float> eq_high_gain{1.2f};

namespace {

constexpr int kEqMaxOrder = kEqualizerRanges.order_max;
// The highest split: 20 kHz at 44.1 kHz, the same share of any other rate,
// below half of it (where the stage coefficient 2 sin(pi f / rate) would
// reach 2 and the stage ring for ever).
constexpr float kTopSplitShare = 20000.0f / 44100.0f;

// Restarts asked for by the main thread; the mixer counts those it made.
std::atomic<unsigned> eq_reset_requests{0};
unsigned eq_resets_done = 0;

// Set L: mono output and the left channel; set R: the right channel. Their
// coefficients are copied in from the atomics once per block (for every
// value in equalizer_step).
ThreeBandFilter eq_state[2];

// 2 x sin(3.1416 x f / rate), in that order, with f kept within the
// equalizer's lowest split and the top split of the rate.
float split_coefficient(int hz, int rate) {
  float f = clamp_single((float)hz, (float)kEqualizerRanges.low_min, kTopSplitShare * (float)rate);
  return 2.0f * std::sin(kThreeBandPi * f / (float)rate);
}

ThreeBands split(ThreeBandFilter& f, float x, int order) {
  switch (order) {
    case 1: return three_band_split<1>(f, x);
    case 2: return three_band_split<2>(f, x);
    case 3: return three_band_split<3>(f, x);
    default: return three_band_split<4>(f, x);
  }
}

}  // namespace

void clamp_eq_settings() { clamp_tone_bands(eq_bands, kEqualizerRanges); }

void compute_eq_coefficients() {
  int rate = clamp_int(plug_rate.load(), kEffectRateMin, kEffectRateMax);
  ThreeBandFilter f;
  f.low_coef = split_coefficient(eq_bands.lowf.load(), rate);
  f.high_coef = split_coefficient(eq_bands.highf.load(), rate);
  f.low_gain = eq_bands.lowg.load();
  f.mid_gain = eq_bands.midg.load();
  f.high_gain = eq_bands.highg.load();
  // High splits ring near half the rate, and some gains add up above
  // themselves: the response is held within 1 dB of the largest gain.
  three_band_bound(f, eq_bands.order.load());
  eq_low_coef.store(f.low_coef, std::memory_order_relaxed);
  eq_high_coef.store(f.high_coef, std::memory_order_relaxed);
  eq_low_gain.store(f.low_gain, std::memory_order_relaxed);
  eq_mid_gain.store(f.mid_gain, std::memory_order_relaxed);
  eq_high_gain.store(f.high_gain, std::memory_order_relaxed);
  eq_reset_requests.fetch_add(1u);
}

namespace {

void serve_reset_request() {
  unsigned requests = eq_reset_requests.load(std::memory_order_relaxed);
  if (requests != eq_resets_done) {
    three_band_clear(eq_state[0]);
    three_band_clear(eq_state[1]);
    eq_resets_done = requests;
  }
}

struct EqGains {
  float low, mid, high;
};

// One value through one channel's filter, whose coefficients are set.
float step(ThreeBandFilter& f, float x, int order, const EqGains& g) {
  ThreeBands b = split(f, x, order);
  float y = b.mid * g.mid + b.low * g.low + b.high * g.high;
  // A state that is no longer a finite number would silence the output for
  // good: both channels start again (a non-finite stage reaches y at once,
  // even through a gain of 0).
  if (!std::isfinite(y)) {
    three_band_clear(eq_state[0]);
    three_band_clear(eq_state[1]);
    effect_state_resets.fetch_add(1u, std::memory_order_relaxed);
    return 0.0f;
  }
  return y;
}

// Stereo frames through both filters at once (see ThreeBandPair); false,
// with the filters as they were, when a value was no finite number.
template <int N>
bool pairs(const float* in, float* out, int frames, const EqGains& g) {
  typedef int LaneMask __attribute__((vector_size(16)));
  ThreeBandPair p = three_band_pair(eq_state[0], eq_state[1]);
  const ThreeBandLanes low = {g.low, g.low, g.low, g.low};
  const ThreeBandLanes mid = {g.mid, g.mid, g.mid, g.mid};
  const ThreeBandLanes high = {g.high, g.high, g.high, g.high};
  const ThreeBandLanes zero = {0.0f, 0.0f, 0.0f, 0.0f};
  LaneMask not_finite = {0, 0, 0, 0};
  for (int f = 0; f < frames; f++) {
    ThreeBandLanes x = {in[2 * f], in[2 * f + 1], in[2 * f], in[2 * f + 1]};
    ThreeBandPairBands b = three_band_split_pair<N>(p, x);
    ThreeBandLanes y = b.mid * mid + b.low * low + b.high * high;
    not_finite |= (y - y) != zero;  // NaN for an infinity or a NaN, else 0
    out[2 * f] = y[0];
    out[2 * f + 1] = y[1];
  }
  if (not_finite[0] != 0 || not_finite[1] != 0) return false;
  three_band_unpair(p, eq_state[0], eq_state[1]);
  return true;
}

bool pairs(const float* in, float* out, int frames, int order, const EqGains& g) {
  switch (order) {
    case 1: return pairs<1>(in, out, frames, g);
    case 2: return pairs<2>(in, out, frames, g);
    case 3: return pairs<3>(in, out, frames, g);
    default: return pairs<4>(in, out, frames, g);
  }
}

}  // namespace

float equalizer_step(float x, int sample_index) {
  constexpr auto relaxed = std::memory_order_relaxed;
  serve_reset_request();
  int order = eq_bands.order.load(relaxed);
  if (order < 1 || order > kEqMaxOrder) return x;
  ThreeBandFilter& f = eq_state[plug_channels.load(relaxed) != 1 && (sample_index & 1) != 0 ? 1 : 0];
  f.low_coef = eq_low_coef.load(relaxed);
  f.high_coef = eq_high_coef.load(relaxed);
  return step(f, x, order, {eq_low_gain.load(relaxed), eq_mid_gain.load(relaxed), eq_high_gain.load(relaxed)});
}

void equalizer_block(const float* in, float* out, int n) {
  constexpr auto relaxed = std::memory_order_relaxed;
  serve_reset_request();
  int order = eq_bands.order.load(relaxed);
  if (order < 1 || order > kEqMaxOrder) {
    for (int i = 0; i < n; i++) out[i] = in[i];
    return;
  }
  const float low_coef = eq_low_coef.load(relaxed), high_coef = eq_high_coef.load(relaxed);
  for (ThreeBandFilter& f : eq_state) {
    f.low_coef = low_coef;
    f.high_coef = high_coef;
  }
  const EqGains g = {eq_low_gain.load(relaxed), eq_mid_gain.load(relaxed), eq_high_gain.load(relaxed)};
  const bool stereo = plug_channels.load(relaxed) != 1;
  int i = 0;
  if (stereo && pairs(in, out, n / 2, order, g)) i = n & ~1;
  // Mono, a value left over, or a block with a value no longer finite: value
  // by value, each value's state chosen by its parity.
  for (; i < n; i++) out[i] = step(eq_state[stereo && (i & 1) != 0 ? 1 : 0], in[i], order, g);
}
