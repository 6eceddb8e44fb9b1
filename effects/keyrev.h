// SPDX-License-Identifier: GPL-3.0-or-later
// Key reverb: the two-tap line of the output reverb run once per wave by the
// sample pass (effects/sample_pass.h), with delays scaled to the wave, so
// every key carries its own echoes; and the key reverb editor ([Z]).
#pragma once
#include "effects/echo_line.h"

// Working state of the wave being processed. Main thread, meaningful for one
// wave of one pass. The line is the key reverb's own, not the output reverb's.
extern float keyreverb_line[kEchoLineSize];
extern int keyreverb_pos;
extern float keyreverb_gain1;     // kreverb1
extern float keyreverb_gain2;     // (1 - kreverb1) x kreverb2
extern int keyreverb_delay1;      // tap distances in values, 2..echo_max_distance(rate)
extern int keyreverb_delay2;
extern int keyreverb_channels;    // plug_channels when set up; 0 or less: no echoes

// Delay scale of wave i: 2^((4 - i) / 3), 1 for wave 4, longer below it.
float keyreverb_scale(int wave);

// Clears the line and derives the gains and tap distances of wave i from
// keyrev_params and the output format (plug_rate, plug_channels). Main thread.
void keyreverb_setup(int wave);

// One value through the line; the value unchanged when the output has no channels.
inline float keyreverb_step(float x) {
  if (keyreverb_channels <= 0) return x;
  return echo_line_step(keyreverb_line, keyreverb_pos, keyreverb_delay1, keyreverb_gain1,
                        keyreverb_delay2, keyreverb_gain2, x);
}

// The key reverb editor ([Z], while keyrev_on is 1). Main thread.
void keyrev_editor();
