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
// coefficients are copied in from the atomics for every value.
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

float equalizer_step(float x, int sample_index) {
  constexpr auto relaxed = std::memory_order_relaxed;
  unsigned requests = eq_reset_requests.load(relaxed);
  if (requests != eq_resets_done) {
    three_band_clear(eq_state[0]);
    three_band_clear(eq_state[1]);
    eq_resets_done = requests;
  }
  int order = eq_bands.order.load(relaxed);
  if (order < 1 || order > kEqMaxOrder) return x;
  ThreeBandFilter& f = eq_state[plug_channels.load(relaxed) != 1 && (sample_index & 1) != 0 ? 1 : 0];
  f.low_coef = eq_low_coef.load(relaxed);
  f.high_coef = eq_high_coef.load(relaxed);
  ThreeBands b = split(f, x, order);
  float y = b.mid * eq_mid_gain.load(relaxed) + b.low * eq_low_gain.load(relaxed) + b.high * eq_high_gain.load(relaxed);
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
