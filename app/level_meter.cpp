// SPDX-License-Identifier: GPL-3.0-or-later
// The level meter.
#include "app/level_meter.h"

#include <cmath>

#include "core/text_number.h"
#include "effects/autovol.h"
#include "platform/window.h"

namespace {

int level_meter_m = 0;  // smoothed bar length, kept between calls

}  // namespace

void draw_level_meter() {
  double level = peak_hold.load();
  if (!(level > 0)) level = 0;
  // 66 pixels span the levels 0.1 x 256 .. 128 x 256: full scale 32743 and above.
  int raw = static_cast<int>(std::nearbyint(66.0 * std::log(level / 256.0 + 0.1) / std::log(128.0)));
  raw = clamp_int(raw, 1, 66);
  level_meter_m = static_cast<int>(std::nearbyint(0.1 * level_meter_m + 0.9 * raw));
  win_line(level_meter_m + 3, 32, 70, 41, 0x0000FA, kWinFilledBox);
  win_line(3, 32, 3 + level_meter_m, 41, 0x00FF00, kWinFilledBox);
}

int level_meter_length() { return level_meter_m; }
