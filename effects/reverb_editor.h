// SPDX-License-Identifier: GPL-3.0-or-later
// The reverb2 / reverb3 editor ([T]): four sliders for the set of the
// reverb in use, applied at once (setup_reverb after every change), one step
// of undo and redo, ".rev" files. (reverb_editor itself is declared with the
// reverb.)
//
// Threads: main thread only.
#pragma once
#include <string>

#include "core/settings_values.h"

// Draws the editor's screen for a set with its title, first applying a
// press at (x, y) to the slider under it; (-1, -1) draws without a change.
void draw_reverb(ReverbParams& set, const std::string& title, int x, int y);
// The file commands: "save reverb" writes the set, "load reverb" reads it
// (clamped to its ranges as it is read).
void save_reverb(const ReverbParams& set);
void load_reverb(ReverbParams& set);
