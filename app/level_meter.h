// SPDX-License-Identifier: GPL-3.0-or-later
// The output level bar at x 3..70, y 32..41 (text row 5): the logarithm of
// `peak_hold`, smoothed over calls.
//
// Threads: main thread only (peak_hold is written by the mixer thread).
#pragma once

// Draws the bar; called every 0.1 s by the main loop.
void draw_level_meter();
// Bar length of the last call (0..66 pixels beyond x 3).
int level_meter_length();
