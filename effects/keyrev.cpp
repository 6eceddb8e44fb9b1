// SPDX-License-Identifier: GPL-3.0-or-later
// Key reverb: per-wave set-up of its line.
#include "effects/keyrev.h"

#include <cmath>
#include <cstring>

#include "core/settings_values.h"
#include "effects/master_chain.h"

float keyreverb_scale(int wave) { return std::pow(2.0f, static_cast<float>(4 - wave) / 3.0f); }

KeyReverbWave keyreverb_setup(int wave) {
  KeyReverbWave k;
  ReverbParams p = keyrev_params;
  k.gain1 = p.kreverb1;
  k.gain2 = (1.0f - p.kreverb1) * p.kreverb2;
  float d = keyreverb_scale(wave);
  int rate = plug_rate.load(), channels = plug_channels.load();
  k.channels = channels;
  k.delay1 = echo_tap_distance(p.Treverb1 * d, rate, channels);
  k.delay2 = echo_tap_distance(p.Treverb2 * d, rate, channels);
  constexpr int kRingStep = 4096;  // a whole number of these, for long runs
  const int longest = (k.delay1 > k.delay2 ? k.delay1 : k.delay2) + 1;
  k.ring = (longest / kRingStep + 2) * kRingStep;
  if (k.ring > kEchoLineSize) k.ring = kEchoLineSize;
  return k;
}

void keyreverb_start(const KeyReverbWave& k, float* line, int* pos) {
  *pos = 0;
  // Until the row has gone once round the ring, the taps read nothing but
  // its last longest distance + 1 values before they are written: silence
  // there is a line all silent to the row.
  const int longest = (k.delay1 > k.delay2 ? k.delay1 : k.delay2) + 1;
  const int from = longest > 0 && longest < k.ring ? k.ring - longest : 0;
  std::memset(line + from, 0, sizeof(float) * static_cast<size_t>(k.ring - from));
}

void keyreverb_run(const KeyReverbWave& k, float* line, int* pos, const float* in, float* out, int n) {
  if (k.channels <= 0) {
    std::memcpy(out, in, sizeof(float) * static_cast<size_t>(n));
    return;
  }
  echo_line_block(line, k.ring, *pos, k.delay1, k.gain1, k.delay2, k.gain2, in, out, n);
}

