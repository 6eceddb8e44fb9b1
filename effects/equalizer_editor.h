// SPDX-License-Identifier: GPL-3.0-or-later
// The equalizer editor ([F]): the graph of the output equalizer's bands,
// set with the mouse (each press recomputes the coefficients, heard from the
// next block), the order, one step of undo and redo, ".equ" files.
// (equalizer_editor itself is declared with the equalizer.)
//
// Threads: main thread only.
#pragma once

#include "effects/band_graph.h"

// 20 Hz at x = 0 over 3.3 decades; a press up to 950 Hz sets the low band
// (lowf at least 20), from 1050 Hz the high band (highf at most 25000).
extern const BandGraph kEqualizerGraph;

// Draws the editor's screen from the equalizer settings.
void draw_equalizer();
// The file commands: "save equalizer" writes eq_bands, "load equalizer"
// reads them (clamped to their ranges as they are read).
void save_equalizer();
void load_equalizer();
