// SPDX-License-Identifier: GPL-3.0-or-later
// Key reverb: the two-tap line of the output reverb run once per wave by the
// sample pass (effects/sample_pass.h), with delays scaled to the wave, so
// every key carries its own echoes; and the key reverb editor ([Z]).
#pragma once
#include "effects/echo_line.h"

// The taps of one wave.
struct KeyReverbWave {
  float gain1 = 0.0f;       // kreverb1
  float gain2 = 0.0f;       // (1 - kreverb1) x kreverb2
  int delay1 = kEchoMinDistance;  // tap distances in values, 2..echo_max_distance(rate)
  int delay2 = kEchoMinDistance;
  int channels = 0;         // plug_channels when set up; 0 or less: no echoes
  // Values of the line the wave's echoes go round in: more than the longer
  // distance, so the taps read what they would in the whole line, and no
  // more, so a line of short echoes stays in the processor's caches.
  int ring = kEchoLineSize;
};

// Delay scale of wave i: 2^((4 - i) / 3), 1 for wave 4, longer below it.
float keyreverb_scale(int wave);

// The gains and tap distances of wave i from keyrev_params and the output
// format (plug_rate, plug_channels). Main thread.
KeyReverbWave keyreverb_setup(int wave);

// The echoes of one wave's row, run by run: keyreverb_start makes `line`
// (the caller's own, kEchoLineSize values) silent for the row and sets *pos,
// then each keyreverb_run takes the next n values of the row from `in` to
// `out` (apart from each other), as echo_line_step would one by one on a
// line all silent at the start. The values pass unchanged when the output
// has no channels. Any thread, each with its own line.
void keyreverb_start(const KeyReverbWave& k, float* line, int* pos);
void keyreverb_run(const KeyReverbWave& k, float* line, int* pos, const float* in, float* out, int n);

// The key reverb editor ([Z], while keyrev_on is 1). Main thread.
void keyrev_editor();
