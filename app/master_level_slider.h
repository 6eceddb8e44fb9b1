// SPDX-License-Identifier: GPL-3.0-or-later
// The master-level slider at x 205..333, y 32..41 (text row 5).
//
// Threads: main thread only (master_level is read by the mixer thread).
#pragma once

// Applies a left click on the slider (master_level never below 0.02 from a
// click) and draws it.
void master_level_slider(int x, int y, int buttons);
