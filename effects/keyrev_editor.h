// SPDX-License-Identifier: GPL-3.0-or-later
// The key reverb editor ([Z]): four sliders for the key reverb; every press,
// undo, redo or load switches the key reverb on and rewrites the samples at
// once (the sample pass). "y" switches it off and on. One step of undo and
// redo, ".keyrev" files. (keyrev_editor itself is declared with the key
// reverb.)
//
// Threads: main thread only.
#pragma once

// 1 when a change waits to be applied to the samples.
extern int keyrev_changed;

// Draws the editor's screen, first applying a press at (x, y) to the slider
// under it; (-1, -1) draws without a change.
void draw_keyreverb(int x, int y);
// The file commands: "save keyreverb" writes keyrev_params, "load
// keyreverb" reads them (clamped to their ranges) and marks a change.
void save_keyreverb();
void load_keyreverb();
