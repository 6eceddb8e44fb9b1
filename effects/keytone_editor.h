// SPDX-License-Identifier: GPL-3.0-or-later
// The key tone editor ([S]): the graph of the key tone's bands in units of
// the reference frequency f0, set with the mouse; the samples are rewritten
// (the sample pass) on "a", on load, on "x", on leaving, and on their own
// 7 s after the last application while edits wait. One step of undo and
// redo, ".key" files. (keytone_editor itself is declared with the key tone.)
//
// Threads: main thread only.
#pragma once

#include "effects/band_graph.h"

// 0.1 f0 at x = 0 over 2.1 decades; a press below 4.5 f0 sets the low band
// (lowf at least 100), above it the high band (highf at most 10000).
extern const BandGraph kKeytoneGraph;

// 1 while edits wait to be applied to the samples.
extern int keytone_changed;

// Draws the editor's screen from the key tone settings.
void draw_keytone();
// The file commands: "save keytone" writes keytone_bands, "load keytone"
// reads them (clamped to their ranges as they are read).
void save_keytone();
void load_keytone();
