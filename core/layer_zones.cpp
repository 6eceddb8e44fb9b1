// SPDX-License-Identifier: GPL-3.0-or-later
// The equal-power share of a velocity between two neighbouring layers.
#include "core/layer_zones.h"

#include <cmath>

LayerMix layer_mix(int velocity, const LayerZone* zones, int zone_count) {
  LayerMix mix = {0, -1, 1.0f, 0.0f};
  // The highest zone the velocity has passed the start of.
  int zone = -1;
  for (int i = 0; i < zone_count; i++)
    if (velocity > zones[i].from) zone = i;
  if (zone < 0) return mix;
  const LayerZone& z = zones[zone];
  if (velocity >= z.to) {
    mix.low = zone + 1;
    return mix;
  }
  double position = (double)(velocity - z.from) / (double)(z.to - z.from);
  double angle = position * 1.5707963267948966;  // pi/2
  mix.low = zone;
  mix.high = zone + 1;
  mix.low_weight = (float)std::cos(angle);
  mix.high_weight = (float)std::sin(angle);
  return mix;
}

LayerMatch unmatched_layers() {
  LayerMatch match;
  for (auto& row : match.gain)
    for (float& g : row) g = 1.0f;
  for (auto& row : match.coherence)
    for (float& c : row) c = 0.0f;
  return match;
}

void layer_factors(const LayerMix& mix, const LayerMatch& match, int w, float* low_factor, float* high_factor) {
  *low_factor = mix.low_weight * match.gain[mix.low][w];
  *high_factor = 0.0f;
  if (mix.high < 0) return;
  // The power of a x + b y for x and y of one power and correlation c is
  // a^2 + b^2 + 2abc = 1 + 2abc with a, b the cosine and sine.
  double a = mix.low_weight, b = mix.high_weight;
  double c = match.coherence[mix.low][w];
  double scale = 1.0 / std::sqrt(1.0 + 2.0 * a * b * c);
  *low_factor = (float)(a * scale * match.gain[mix.low][w]);
  *high_factor = (float)(b * scale * match.gain[mix.high][w]);
}
