// SPDX-License-Identifier: GPL-3.0-or-later
// Output reverb (three kinds) run inside the master chain: a recirculating
// delay line with two taps. Its set-up and the reverb2 / reverb3 editors ([T]).
#pragma once
#include <atomic>

#include "core/settings_ranges.h"  // clamp_reverb_params, the start-up's clamp of a set

// The two taps in use. Written by setup_reverb on the main thread, read by
// the mixer thread once per block.
extern std::atomic<float> reverb_gain1;
extern std::atomic<float> reverb_gain2;
extern std::atomic<int> reverb_delay1;   // values back from the write position, 2..echo_max_distance(rate)
extern std::atomic<int> reverb_delay2;


// Sets the taps up for reverb_mode: reverb1's fixed values, or the reverb2 /
// reverb3 parameters; with reverb_mode 0 the line is to be silent when the
// reverb next runs. Main thread, also while the chain runs.
void setup_reverb();

// One value x through the line; returns the value written, which is the
// chain's new value. Should that be no finite number, the line starts silent
// and the value is 0. Mixer thread.
float reverb_step(float x);

// n values from `in` to `out` (apart from each other): what n calls of
// reverb_step give, with the taps read once. Mixer thread.
void reverb_block(const float* in, float* out, int n);

// The reverb editors: which = 2 edits the reverb2 parameters, 3 the reverb3
// ones. Main thread.
void reverb_editor(int which);
