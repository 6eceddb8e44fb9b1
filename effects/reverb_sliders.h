// SPDX-License-Identifier: GPL-3.0-or-later
// The four sliders of a two-tap reverb set (Treverb1, kreverb1, Treverb2,
// kreverb2), shared by the output reverb and the key reverb editors, which
// differ in the time a full slider means (1000 or 400 ms) and their titles.
//
// Threads: main thread only.
#pragma once

#include "core/settings_values.h"

// Clears the text area; when (x, y) lies on a slider (x <= 213, from one
// row above its box to one below), the press sets that slider's value (a
// time: x x full_time / 210 rounded, 10..full_time; a gain: 0.7 x x / 210,
// 0..0.7) with the undo snapshot taken before and the redo one after, when
// the value is not already the one the press means; then draws the four
// sliders and their values. (-1, -1) only draws. Returns true when a press
// changed a value. Values far outside the ranges still draw.
bool draw_reverb_sliders(ReverbParams& p, float full_time, int x, int y, ReverbParams& undo, ReverbParams& redo);
