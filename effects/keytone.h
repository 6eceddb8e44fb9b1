// SPDX-License-Identifier: GPL-3.0-or-later
// Key tone filters: a three-band filter whose splits follow the octave of
// each wave, run over the samples by the sample pass (effects/sample_pass.h),
// and the key tone editor ([S]).
#pragma once
#include "effects/three_band.h"

// The filter of one wave: set L (mono output, and the even value indices of
// stereo output) and set R (the odd ones), both cleared, and the stages per
// chain, keytone_bands.order as keytone_setup found it (outside 1..5 the
// filter passes values through unchanged).
struct KeyToneWave {
  ThreeBandFilter left;
  ThreeBandFilter right;
  int order = 1;
};

// Split scale of wave i: 0.9 x 2^(i - 5) (a split of 1000 is 28.125 Hz x 2^i).
float keytone_scale(int wave);

// The filter of wave 0..8 from keytone_mode and keytone_bands at the
// engine's output rate (another index gives the default filter). Main thread.
KeyToneWave keytone_setup(int wave);

// One value through the filter of order N = the wave's order (1..5) on `set`
// (its left or right set): low x gL + mid x gM + high x gH, summed in that
// order. The pass picks N once per wave and passes values through unchanged
// for an order outside 1..5.
template <int N>
inline float keytone_step(ThreeBandFilter& set, float x) {
  ThreeBands b = three_band_split<N>(set, x);
  return b.low * set.low_gain + b.mid * set.mid_gain + b.high * set.high_gain;
}

// The key tone editor ([S], while keytone_mode is 1 or 2). Main thread.
void keytone_editor();
