// SPDX-License-Identifier: GPL-3.0-or-later
// The master-level slider.
#include "app/master_level_slider.h"

#include <cmath>

#include "app/settings.h"
#include "app/text_area.h"
#include "platform/window.h"

void master_level_slider(int x, int y, int buttons) {
  if ((buttons & 1) && x > 204 && x < 334 && y >= 32 && y < 42) {
    float level = (x - 205) / 128.0f;
    master_level = level > 0.02f ? level : 0.02f;
  }
  float level = master_level.load();
  win_line(205, 32, 333, 41, 0x000064, kWinFilledBox);
  win_line(205, 32, 205 + static_cast<int>(std::nearbyint(128 * level)), 41, 0x00FF00, kWinFilledBox);
  win_line(205, 32, 333, 41, kTextForeground, kWinBox);
  win_line(205, 41, 333, 32, kTextForeground, kWinLine);
}
