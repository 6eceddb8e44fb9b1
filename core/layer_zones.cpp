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
