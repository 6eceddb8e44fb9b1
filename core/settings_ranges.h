// SPDX-License-Identifier: GPL-3.0-or-later
// The ranges the editors and the start-up keep the settings in, and the
// clamps that put a value into its range. Every reader of the settings
// file, the presets and the feature files clamps what it reads, so a file
// from elsewhere (hand-edited, or from another version) always gives values
// the instrument can play. Main thread.
#pragma once
#include "core/settings_values.h"

// Frames per engine buffer.
constexpr int kBufferSizeMin = 100;
constexpr int kBufferSizeMax = 2048;

// The six values of a three-band filter set.
struct ToneBandRanges {
  int low_min, low_max;    // lowf
  int high_min, high_max;  // highf
  float gain_min, gain_max;
  int order_max;           // order 1..order_max
};
// The equalizer's, in Hz (the start-up's: its editor sets lowf 20..950,
// highf 1050..25000, gains 0.1..10).
constexpr ToneBandRanges kEqualizerRanges = {20, 20000, 20, 20000, 0.0f, 10.0f, 4};
// The key tone's, in thousandths of its reference frequency (its editor's).
constexpr ToneBandRanges kKeytoneRanges = {100, 4499, 4501, 10000, 0.1f, 10.0f, 5};
void clamp_tone_bands(ToneBands& b, const ToneBandRanges& r);

// A reverb or key reverb set: gains to 0..0.7, so the two echoes of a
// value, kreverb1 + (1 - kreverb1) x kreverb2, feed back at most 0.91 of it;
// times rounded to whole milliseconds in 10..1000.
void clamp_reverb_params(ReverbParams* p);

// A key volume entry: 0.01..255 (1/127 units), the editor's range.
float clamp_keyvol_entry(float v);
