// SPDX-License-Identifier: GPL-3.0-or-later
// Three-band output equalizer: its coefficients, the step run inside the
// master chain, and its editor ([F]).
#pragma once
#include <atomic>

// The coefficients of the two split chains, 2 x sin(3.1416 x f / rate), and
// the copies of the three band gains the step uses (a gain change is heard
// from the next compute_eq_coefficients). Written by the main thread, read
// by the mixer thread once per block.
extern std::atomic<float> eq_low_coef;
extern std::atomic<float> eq_high_coef;
extern std::atomic<float> eq_low_gain;
extern std::atomic<float> eq_mid_gain;
extern std::atomic<float> eq_high_gain;

// The start-up clamp of the equalizer settings to kEqualizerRanges
// (core/settings_ranges.h): lowf and highf to 20..20000, the three gains to
// 0..10 (a gain that is no number becomes 0), order to 1..4. Main thread.
void clamp_eq_settings();

// Computes the two coefficients from the equalizer's lowf and highf at the
// output rate (plug_rate clamped to 4000..192000), each split held within
// 20 Hz and 20000 / 44100 of the rate (so below half of it: the editor's
// highf of up to 25000 Hz is taken as 20000 Hz at 44100 Hz), copies its
// three gains and has both channels' filter states restarted from 0.00001
// before the next value. Main thread, also while the chain runs.
void compute_eq_coefficients();

// One value x through the equalizer of the current `order` (1..4; any other
// order passes x unchanged) and returns the result; should a state no longer
// be a finite number, both channels' states start again and the value is 0. sample_index is the
// value's place in the block: with stereo output even values use the left
// state, odd values the right one; mono output uses the left state only.
// Mixer thread.
float equalizer_step(float x, int sample_index);

// n values from `in` to `out`, the first at an even place of the block: what
// n calls of equalizer_step give, with the settings read once. Mixer thread.
void equalizer_block(const float* in, float* out, int n);

// The equalizer editor ([F], while equalizer_on is 1). Main thread.
void equalizer_editor();
