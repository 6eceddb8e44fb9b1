// SPDX-License-Identifier: GPL-3.0-or-later
// The ".keyvol" file: one row of the key volume map, keys 0..127, one value
// a line, CR LF ended, each a single in the form "%.7g" (no trailing point)
// with a blank before a value that is not negative. No header, no end mark;
// a reader stops early at a line "finlist". Main thread.
#pragma once
#include <cstddef>
#include <string>

std::string format_keyvol_row(int row);
// Replaces the file only once the new one is complete; false when it could
// not be written.
bool write_keyvol_file(const std::string& path, int row);

// Reads a text or a file into the row (see read_keyvol_row_lines: "finlist"
// stops, the last line repeats past the end, an empty text gives 0), each
// value clamped to 0.01..255 (so 0 gives 0.01). read_keyvol_file is false, changing nothing,
// when path is no regular file.
void read_keyvol_text(const char* text, size_t size, int row);
bool read_keyvol_file(const std::string& path, int row);
