// SPDX-License-Identifier: GPL-3.0-or-later
// Writer and reader of the ".rev" and ".keyrev" files.
#include "effects/reverb_params_file.h"

#include "core/settings_lines.h"
#include "core/text_number.h"

std::string format_reverb_params(const ReverbParams& p)
{
  std::string out;
  for (float v : {p.kreverb1, p.kreverb2, p.Treverb1, p.Treverb2}) out += real_text(v, 7, true) + "\r\n";
  return out;
}

bool write_reverb_params_file(const std::string& path, const ReverbParams& p)
{
  return replace_file(path, format_reverb_params(p));
}

void read_reverb_params_text(const char* text, size_t size, ReverbParams& p)
{
  LineReader r;
  line_reader_from_text(r, text, size);
  std::string line;
  read_reverb_lines(r, line, p);
}

bool read_reverb_params_file(const std::string& path, ReverbParams& p)
{
  return read_file_lines(path, [&p](LineReader& r) {
    std::string line;
    read_reverb_lines(r, line, p);
  });
}
