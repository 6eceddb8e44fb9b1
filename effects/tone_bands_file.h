// SPDX-License-Identifier: GPL-3.0-or-later
// The ".equ" (equalizer) and ".key" (key tone) files: one filter set of six
// lines, CR LF ended: lowf, highf as whole numbers with a blank before a
// value that is not negative; lowg, midg, highg as singles in the form
// "%.7g" (no trailing point, no blank); order as lowf. Main thread.
#pragma once
#include <cstddef>
#include <string>

#include "core/settings_ranges.h"

std::string format_tone_bands(const ToneBands& b);
// Replaces the file only once the new one is complete; false when it could
// not be written.
bool write_tone_bands_file(const std::string& path, const ToneBands& b);

// Reads up to six lines in file order; a value without a line keeps its
// value, a line without a number gives 0; the set is then clamped to
// `ranges` (kEqualizerRanges for ".equ", kKeytoneRanges for ".key").
// read_tone_bands_file is false, changing nothing, when path is no regular file.
void read_tone_bands_text(const char* text, size_t size, ToneBands& b, const ToneBandRanges& ranges);
bool read_tone_bands_file(const std::string& path, ToneBands& b, const ToneBandRanges& ranges);
