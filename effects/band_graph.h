// SPDX-License-Identifier: GPL-3.0-or-later
// The graph of a three-band filter set, drawn and edited with the mouse:
// shared by the equalizer and key tone editors, which differ only in the
// frequency span, the slope widths, the labels and the ranges a press sets.
//
// Geometry on the 344 x 93 text area: the zero line at y0 = 54, a factor of
// 10 (20 dB) every 37 pixels; frequency f at x = W / decades x log10(f /
// base); gain g at y = y0 - 37 x log10(max(0.1, g)).
//
// Threads: main thread only.
#pragma once
#include <string>

#include "core/settings_values.h"

struct BandGraph {
  double base_hz;             // the frequency at x = 0
  double decades;             // decades across the width
  double slope;               // slope width = |yL - yM| / order x slope
  const char* labels[5];      // frequency labels on row 8 ...
  int label_columns[5];       // ... at these columns
  double shown_unit;          // lowf and highf are shown divided by it
  int low_min, low_max;       // a press at f <= low_max sets lowf = max(low_min, f) and lowg
  int high_min, high_max;     // a press at f >= high_min sets highf = min(high_max, f) and highg
};

// The decibel label of a gain: floor(100 x 20 log10(max(0.1, g))) / 100,
// the decibels rounded to a single first, in the form "%.16g" without a
// trailing point, cut to 5 characters (2 -> "6.02", 0.35 -> "-9.11").
std::string decibel_text(float gain);

// The frequency and gain a press at (x, y) points at.
int band_graph_frequency(const BandGraph& g, int x);
float band_graph_gain(int y);

// Clears the text area and draws the labels, the three gain lines, the
// response sketch and the texts of the set. Values far outside the editor's
// ranges (an order of 0, a negative frequency) still draw, off the graph.
void draw_band_graph(const BandGraph& g, const ToneBands& b);

// One of the two mouse reads of an editor pass: a press (any button) inside
// the graph (x >= 0, 8 <= y <= 91) at a position other than the last one
// processed sets what it points at: the right button alone the mid gain;
// any other, below the split gap the low split and gain, above it the high
// split and gain. The undo snapshot is taken before, the redo one after, and
// the screen is redrawn. Returns true when a press was processed (even one in
// the gap, which sets nothing); *set is true when a value was set. The
// editor's `redraw` draws its screen. (The editor then applies the change
// and waits.)
bool band_graph_mouse(const BandGraph& g, ToneBands& b, ToneBands& undo, ToneBands& redo, void (*redraw)(),
                      bool* set);
