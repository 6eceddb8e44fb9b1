// SPDX-License-Identifier: GPL-3.0-or-later
// Writer and reader of the ".equ" and ".key" files.
#include "effects/tone_bands_file.h"

#include "core/settings_lines.h"
#include "core/text_number.h"

std::string format_tone_bands(const ToneBands& b)
{
  return signed_int_text(b.lowf) + "\r\n" + signed_int_text(b.highf) + "\r\n" + real_text(b.lowg, 7) + "\r\n" +
         real_text(b.midg, 7) + "\r\n" + real_text(b.highg, 7) + "\r\n" + signed_int_text(b.order) + "\r\n";
}

bool write_tone_bands_file(const std::string& path, const ToneBands& b)
{
  return replace_file(path, format_tone_bands(b));
}

void read_tone_bands_text(const char* text, size_t size, ToneBands& b, const ToneBandRanges& ranges)
{
  LineReader r;
  line_reader_from_text(r, text, size);
  std::string line;
  read_tone_bands_lines(r, line, b, ranges);
}

bool read_tone_bands_file(const std::string& path, ToneBands& b, const ToneBandRanges& ranges)
{
  return read_file_lines(path, [&b, &ranges](LineReader& r) {
    std::string line;
    read_tone_bands_lines(r, line, b, ranges);
  });
}
