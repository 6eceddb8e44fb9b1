// SPDX-License-Identifier: GPL-3.0-or-later
// The reader and writer of the 2103-line settings format (settings file,
// backup and presets).
#include "app/settings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/paths.h"
#include "core/settings_lines.h"
#include "core/settings_ranges.h"
#include "core/text_file.h"
#include "core/text_number.h"

// ---- Reading lines ------------------------------------------------------------------

// Reads the next line when one is available. Returns false at the end of
// the file, leaving the setting at its default.
static bool next_value(LineReader& r, std::string& line, double& value)
{
  if (!line_reader_more(r)) return false;
  line_reader_next(r, line);
  value = leading_number(line);
  return true;
}

// A machine value's line: read, but stored only when not kept. A kept value
// is never written, not even for a moment, since the MIDI thread reads
// thru_port and transpose while a preset loads.
template <typename Setting>
static void read_machine_int(LineReader& r, std::string& line, Setting& setting, bool keep, int lo = INT_MIN,
                             int hi = INT_MAX)
{
  int value = setting;
  read_int_value(r, line, value);
  if (!keep) setting = std::clamp(value, lo, hi);
}

// A port name's line, stored like a machine value. Names longer than any
// port's are cut.
static void read_port_name(LineReader& r, std::string& line, std::string& name, bool keep)
{
  if (!line_reader_more(r)) return;
  line_reader_next(r, line);
  if (!keep) name = trim_blanks(line.substr(0, kPortNameMax));
}

// The key volume map: rows of 128 lines until the end mark. Rows beyond the
// sixteenth all land in the last row; an end mark inside a row leaves the rest
// of that row as it was; a file that ends inside a row repeats its last value
// to the end of the row. `line` holds the last line read before the map.
static void read_keyvol(LineReader& r, std::string& line)
{
  int row = -1;
  while (line_reader_more(r) && line != "finlist") {
    if (row < kKeyvolRows - 1) row++;
    read_keyvol_row_lines(r, line, row);
  }
  line.clear();
}

// With keep_machine (a preset) the view, the ports, the buffer size and the
// transpose keep their values.
static void read_all(LineReader& r, bool keep_machine)
{
  // Every setting starts at its default; each available line then replaces one.
  if (keep_machine)
    set_default_sound_settings();
  else
    set_default_settings();
  std::string line;
  double v;

  read_int_value(r, line, piano_sound);
  // Only sets 0..14 exist; the row of the key volume map must stay in range.
  if (piano_sound < 0 || piano_sound > 14) piano_sound = 0;
  read_int_value(r, line, window_x);
  read_int_value(r, line, window_y);
  read_int_value(r, line, velo_mode);
  velo_mode = std::clamp(velo_mode, 0, 3);
  read_int_value(r, line, keyvol_on);
  keyvol_on = std::clamp(keyvol_on.load(), 0, 1);

  read_keyvol(r, line);

  if (next_value(r, line, v)) note_off_delay = std::clamp(v, 0.05, 1.0);
  read_int_value(r, line, autovol_mode);
  autovol_mode = std::clamp(autovol_mode.load(), 0, 5);
  read_int_value(r, line, reverb_mode);
  reverb_mode = std::clamp(reverb_mode.load(), 0, 3);
  read_reverb_lines(r, line, reverb3_params);
  read_reverb_lines(r, line, reverb2_params);
  read_int_value(r, line, equalizer_on);
  equalizer_on = std::clamp(equalizer_on.load(), 0, 1);
  read_tone_bands_lines(r, line, eq_bands, kEqualizerRanges);
  read_int_value(r, line, keytone_mode);
  // The status screen and the sample pass then show and run the same mode.
  keytone_mode = std::clamp(keytone_mode, 0, 2);
  read_tone_bands_lines(r, line, keytone_bands, kKeytoneRanges);
  read_int_value(r, line, keyrev_on);
  keyrev_on = std::clamp(keyrev_on, 0, 1);
  read_reverb_lines(r, line, keyrev_params);
  if (next_value(r, line, v)) master_level = std::clamp(single_number(v), 0.01f, 1.0f);
  read_machine_int(r, line, full_view, keep_machine);
  if (full_view.load() != 0) full_view = 1;  // any view but 0 is the full one
  read_machine_int(r, line, midi_in_port, keep_machine);
  read_machine_int(r, line, buffer_size, keep_machine, kBufferSizeMin, kBufferSizeMax);
  read_int_value(r, line, type_offset);
  // Keys are shifted by these two before they index the per-key tables.
  type_offset = std::clamp(type_offset.load(), -1, 13);
  read_machine_int(r, line, thru_port, keep_machine);
  read_machine_int(r, line, transpose, keep_machine, -12, 12);
  read_machine_int(r, line, midi_in2_port, keep_machine);
  read_machine_int(r, line, midi_in3_port, keep_machine);
  read_int_value(r, line, autovolmidi);
  autovolmidi = std::clamp(autovolmidi.load(), 0, 127);
  preset_name.clear();
  if (line_reader_more(r)) {
    line_reader_next(r, line);
    // Cut first, then trim: a cut inside a run of blanks leaves none at the end.
    preset_name = trim_blanks(line.substr(0, kPresetNameMax));
  }
  read_int_value(r, line, preset_bank);
  // The bank selects one of two thumbnail rows.
  preset_bank = std::clamp(preset_bank, 0, 1);
  for (auto& name : midi_in_port_name) read_port_name(r, line, name, keep_machine);
  read_port_name(r, line, thru_port_name, keep_machine);
  read_int_value(r, line, resample_mode);
  resample_mode = std::clamp(resample_mode, 0, 2);
  read_int_value(r, line, velocity_layers);
  velocity_layers = std::clamp(velocity_layers.load(), 0, 1);
  read_machine_int(r, line, pedal_mode, keep_machine, 0, 1);
}

static void read_settings_file(FILE* f, bool keep_machine)
{
  LineReader r;
  line_reader_from_file(r, f);
  read_all(r, keep_machine);
}

void read_settings(const char* path)
{
  FILE* f = open_regular_file(path);
  if (!f) {
    set_default_settings();
    return;
  }
  read_settings_file(f, false);
  fclose(f);
}

void read_settings_from_text(const char* text, size_t size)
{
  LineReader r;
  line_reader_from_text(r, text, size);
  read_all(r, false);
}

// ---- Writing ----------------------------------------------------------------------------

// One value a line, each line CR LF ended.
static void put_line(std::string& out, const std::string& text)
{
  out += text;
  out += "\r\n";
}

// Whole numbers: a blank before a non-negative number, a minus sign before a negative one.
static void put_int(std::string& out, int v) { put_line(out, signed_int_text(v)); }
// The split frequencies and the order of a filter set have no leading blank.
static void put_bare_int(std::string& out, int v) { put_line(out, std::to_string(v)); }
static void put_single(std::string& out, float v) { put_line(out, real_text(v, 7)); }

// A line break inside a name would shift every later line.
static void put_name(std::string& out, std::string name)
{
  std::replace(name.begin(), name.end(), '\r', ' ');
  std::replace(name.begin(), name.end(), '\n', ' ');
  put_line(out, name);
}

static void put_reverb(std::string& out, const ReverbParams& p)
{
  put_single(out, p.kreverb1);
  put_single(out, p.kreverb2);
  put_single(out, p.Treverb1);
  put_single(out, p.Treverb2);
}

static void put_bands(std::string& out, const ToneBands& b)
{
  put_bare_int(out, b.lowf);
  put_bare_int(out, b.highf);
  put_single(out, b.lowg);
  put_single(out, b.midg);
  put_single(out, b.highg);
  put_bare_int(out, b.order);
}

std::string format_settings()
{
  preset_bank = std::clamp(preset_bank, 0, 1);
  if (preset_factory_mark != 0) preset_bank = 0;
  if (preset_user_mark != 0) preset_bank = 1;

  std::string out;
  out.reserve(kSettingsLines * 8);
  put_int(out, piano_sound);
  put_int(out, window_x);
  put_int(out, window_y);
  put_int(out, velo_mode);
  put_int(out, keyvol_on);
  for (auto& row : keyvol_table)
    for (auto& entry : row) put_single(out, entry.load(std::memory_order_relaxed));
  out += "finlist\r\n";
  put_line(out, real_text(note_off_delay, 16));
  put_int(out, autovol_mode);
  put_int(out, reverb_mode);
  put_reverb(out, reverb3_params);
  put_reverb(out, reverb2_params);
  put_int(out, equalizer_on);
  put_bands(out, eq_bands);
  put_int(out, keytone_mode);
  put_bands(out, keytone_bands);
  put_int(out, keyrev_on);
  put_reverb(out, keyrev_params);
  put_single(out, master_level);
  put_int(out, full_view);
  put_int(out, midi_in_port);
  put_int(out, buffer_size);
  put_int(out, type_offset);
  put_int(out, thru_port);
  put_int(out, transpose);
  put_int(out, midi_in2_port);
  put_int(out, midi_in3_port);
  put_int(out, autovolmidi);
  put_name(out, preset_name);
  put_int(out, preset_bank);
  for (const auto& port : midi_in_port_name) put_name(out, port);
  put_name(out, thru_port_name);
  put_int(out, resample_mode);
  put_int(out, velocity_layers);
  put_int(out, pedal_mode);
  return out;
}

bool write_settings(const char* path)
{
  if (!path || !*path) return false;
  return replace_file(path, format_settings());
}

// ---- Preset files ---------------------------------------------------------------------

std::string preset_file_name(const std::string& path) { return file_name_part(path); }

int check_preset_name(const std::string& chosen, std::string& out)
{
  return check_file_name(chosen, ".preset", &out);
}

bool save_preset_file(const char* path)
{
  if (!write_settings(path)) return false;
  preset_name = preset_file_name(path);
  return true;
}

bool load_preset_file(const char* path)
{
  FILE* f = open_regular_file(path);
  if (!f) return false;
  // A preset carries the sound, not the machine's ports, buffer or view.
  read_settings_file(f, true);
  fclose(f);
  preset_name = preset_file_name(path);
  return true;
}

// Left to right on the thumbnail row.
static const char* const kFactoryPresets[5] = {"granpiano1", "granpiano2", "granpiano", "upright", "epiano"};
static const char* const kUserPresets[5] = {"user1", "user2", "user3", "user4", "user5"};

const char* preset_slot_name(int bank, int slot)
{
  if (slot < 0 || slot > 4) return nullptr;
  if (bank == 0) return kFactoryPresets[slot];
  if (bank == 1) return kUserPresets[slot];
  return nullptr;
}

std::string thumbnail_preset_path(int bank, int slot)
{
  const char* name = preset_slot_name(bank, slot);
  if (!name) return std::string();
  return (bank == 0 ? data_folder() + "bmp/" : user_data_folder() + "save/user/") + name + ".preset";
}
