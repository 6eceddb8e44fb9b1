// SPDX-License-Identifier: GPL-3.0-or-later
// The groups of lines that the settings file and the feature files share:
// a reverb set of four lines (".rev", ".keyrev"), a filter set of six lines
// (".equ", ".key") and a row of the key volume map (".keyvol"). The readers
// are the same in both kinds of file; each file writes its own number forms.
// Main thread.
#pragma once
#include <string>

#include "core/settings_ranges.h"
#include "core/settings_values.h"
#include "core/text_file.h"

// The four values in file order (kreverb1, kreverb2, Treverb1, Treverb2),
// each a single; a value without a line keeps its value. The set is then
// clamped to its ranges (clamp_reverb_params).
void read_reverb_lines(LineReader& r, std::string& line, ReverbParams& p);

// The six values in file order (lowf, highf, lowg, midg, highg, order): the
// frequencies and the order rounded to whole numbers, the gains singles; a
// value without a line keeps its value. The set is then clamped to `ranges`
// (the equalizer's or the key tone's).
void read_tone_bands_lines(LineReader& r, std::string& line, ToneBands& b, const ToneBandRanges& ranges);

// One row of the key volume map, keys 0..127. Before each key a line is read
// unless the last line read is "finlist" or the text has ended; then, unless
// the last line read is "finlist", the key takes its number, clamped to
// 0.01..255 (clamp_keyvol_entry). So reading stops at "finlist" (the other
// keys keep their values), and past the end the last line read gives every
// remaining key its value. `line` holds the last line read before the row
// ("" for none: a text without lines sets the whole row to the least, 0.01)
// and after it.
void read_keyvol_row_lines(LineReader& r, std::string& line, int row);
