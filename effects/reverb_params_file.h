// SPDX-License-Identifier: GPL-3.0-or-later
// The ".rev" (reverb2 / reverb3) and ".keyrev" (key reverb) files: one set
// of four lines, CR LF ended, in the order kreverb1, kreverb2, Treverb1,
// Treverb2, each a single in the form "%.7g" (no trailing point) with a
// blank before a value that is not negative. Main thread.
#pragma once
#include <cstddef>
#include <string>

#include "core/settings_values.h"

std::string format_reverb_params(const ReverbParams& p);
// Replaces the file only once the new one is complete; false when it could
// not be written.
bool write_reverb_params_file(const std::string& path, const ReverbParams& p);

// Reads up to four lines in file order; a value without a line keeps its
// value, a line without a number gives 0; the set is then clamped to its
// ranges (clamp_reverb_params).
// read_reverb_params_file is false, changing nothing, when path is no regular file.
void read_reverb_params_text(const char* text, size_t size, ReverbParams& p);
bool read_reverb_params_file(const std::string& path, ReverbParams& p);
