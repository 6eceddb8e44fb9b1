// SPDX-License-Identifier: GPL-3.0-or-later
// Key reverb: per-wave set-up of its line.
#include "effects/keyrev.h"

#include <cmath>
#include <cstring>

#include "core/settings_values.h"
#include "effects/master_chain.h"

float keyreverb_line[kEchoLineSize];
int keyreverb_pos = 0;
float keyreverb_gain1 = 0.0f;
float keyreverb_gain2 = 0.0f;
int keyreverb_delay1 = kEchoMinDistance;
int keyreverb_delay2 = kEchoMinDistance;
int keyreverb_channels = 0;

float keyreverb_scale(int wave) { return std::pow(2.0f, static_cast<float>(4 - wave) / 3.0f); }

void keyreverb_setup(int wave) {
  std::memset(keyreverb_line, 0, sizeof keyreverb_line);
  keyreverb_pos = 0;
  ReverbParams p = keyrev_params;
  keyreverb_gain1 = p.kreverb1;
  keyreverb_gain2 = (1.0f - p.kreverb1) * p.kreverb2;
  float d = keyreverb_scale(wave);
  int rate = plug_rate.load(), channels = plug_channels.load();
  keyreverb_channels = channels;
  keyreverb_delay1 = echo_tap_distance(p.Treverb1 * d, rate, channels);
  keyreverb_delay2 = echo_tap_distance(p.Treverb2 * d, rate, channels);
}

