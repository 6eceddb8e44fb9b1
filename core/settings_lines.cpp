// SPDX-License-Identifier: GPL-3.0-or-later
// Readers of the line groups shared by the settings file and the feature files.
#include "core/settings_lines.h"

#include "core/text_number.h"

void read_reverb_lines(LineReader& r, std::string& line, ReverbParams& p)
{
  read_single_value(r, line, p.kreverb1);
  read_single_value(r, line, p.kreverb2);
  read_single_value(r, line, p.Treverb1);
  read_single_value(r, line, p.Treverb2);
  clamp_reverb_params(&p);
}

void read_tone_bands_lines(LineReader& r, std::string& line, ToneBands& b, const ToneBandRanges& ranges)
{
  read_int_value(r, line, b.lowf);
  read_int_value(r, line, b.highf);
  read_single_value(r, line, b.lowg);
  read_single_value(r, line, b.midg);
  read_single_value(r, line, b.highg);
  read_int_value(r, line, b.order);
  clamp_tone_bands(b, ranges);
}

void read_keyvol_row_lines(LineReader& r, std::string& line, int row)
{
  for (int key = 0; key < kKeyvolKeys; key++) {
    if (line_reader_more(r) && line != "finlist") line_reader_next(r, line);
    if (line != "finlist")
      keyvol_table[row][key].store(clamp_keyvol_entry(single_number(leading_number(line))), std::memory_order_relaxed);
  }
}
