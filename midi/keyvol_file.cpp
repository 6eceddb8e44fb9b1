// SPDX-License-Identifier: GPL-3.0-or-later
// Writer and reader of the ".keyvol" file.
#include "midi/keyvol_file.h"

#include "core/settings_lines.h"
#include "core/text_number.h"

std::string format_keyvol_row(int row)
{
  std::string out;
  for (int key = 0; key < kKeyvolKeys; key++) {
    out += real_text(keyvol_table[row][key].load(std::memory_order_relaxed), 7, true);
    out += "\r\n";
  }
  return out;
}

bool write_keyvol_file(const std::string& path, int row) { return replace_file(path, format_keyvol_row(row)); }

void read_keyvol_text(const char* text, size_t size, int row)
{
  LineReader r;
  line_reader_from_text(r, text, size);
  std::string line;
  read_keyvol_row_lines(r, line, row);
}

bool read_keyvol_file(const std::string& path, int row)
{
  return read_file_lines(path, [row](LineReader& r) {
    std::string line;
    read_keyvol_row_lines(r, line, row);
  });
}
