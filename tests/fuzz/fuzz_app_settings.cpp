// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary bytes as a settings file: the reader never crashes, clamped values
// stay in their ranges, every number is finite, and (for one input in eight)
// what it read writes back as 2102 lines that read again to the same whole
// numbers.
#include "app/settings.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

static void check(bool ok, const char* what)
{
  if (!ok) {
    fprintf(stderr, "settings invariant broken: %s\n", what);
    abort();
  }
}

static bool finite_keyvol()
{
  for (auto& row : keyvol_table)
    for (auto& entry : row)
      if (!std::isfinite(entry.load())) return false;
  return true;
}

static bool finite_reverb(const ReverbParams& p)
{
  return std::isfinite(p.kreverb1) && std::isfinite(p.kreverb2) && std::isfinite(p.Treverb1) &&
         std::isfinite(p.Treverb2);
}

static bool finite_bands(const ToneBands& b)
{
  return std::isfinite(b.lowg.load()) && std::isfinite(b.midg.load()) && std::isfinite(b.highg.load());
}

// The whole-number settings, in file order.
static std::string int_settings()
{
  int v[] = {piano_sound, window_x, window_y, velo_mode, keyvol_on, autovol_mode, reverb_mode,
             equalizer_on, eq_bands.lowf, eq_bands.highf, eq_bands.order, keytone_mode,
             keytone_bands.lowf, keytone_bands.highf, keytone_bands.order, keyrev_on, full_view,
             midi_in_port, buffer_size, type_offset, thru_port, transpose, midi_in2_port,
             midi_in3_port, autovolmidi, preset_bank, resample_mode};
  std::string s;
  for (int x : v) s += std::to_string(x) + ",";
  return s;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  read_settings_from_text(reinterpret_cast<const char*>(data), size);

  double delay = note_off_delay;
  check(delay >= 0.05 && delay <= 1.0, "note_off_delay in 0.05..1");
  float level = master_level;
  check(level >= 0.01f && level <= 1.0f, "master_level in 0.01..1");
  check(piano_sound >= 0 && piano_sound <= 14, "piano_sound in 0..14");
  check(transpose >= -12 && transpose <= 12, "transpose in -12..12");
  check(type_offset >= -1 && type_offset <= 13, "type_offset in -1..13");
  check(preset_bank == 0 || preset_bank == 1, "preset_bank 0 or 1");
  check(resample_mode >= 0 && resample_mode <= 2, "resample_mode in 0..2");
  check(velo_mode >= 0 && velo_mode <= 3 && autovol_mode >= 0 && autovol_mode <= 5 && reverb_mode >= 0 &&
            reverb_mode <= 3 && keytone_mode >= 0 && keytone_mode <= 2 && (full_view == 0 || full_view == 1),
        "modes in their ranges");
  check(thru_port_name.size() <= static_cast<size_t>(kPortNameMax), "port names bounded");
  check(preset_name.size() <= static_cast<size_t>(kPresetNameMax), "preset_name at most 100");
  check(preset_name.empty() || (preset_name.front() != ' ' && preset_name.back() != ' '),
        "preset_name trimmed");
  check(window_x >= -1000000000 && window_x <= 1000000000, "whole numbers bounded");
  check(finite_keyvol(), "key volumes finite");
  check(finite_reverb(reverb2_params) && finite_reverb(reverb3_params) && finite_reverb(keyrev_params),
        "reverb parameters finite");
  check(finite_bands(eq_bands) && finite_bands(keytone_bands), "band gains finite");

  // Writing and reading back 2102 lines costs several times what reading a
  // typical input does; the writer is checked on one input in eight, chosen
  // by length so that a run repeats.
  if (size % 8 != 0) return 0;
  std::string ints = int_settings();
  std::string text = format_settings();
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  check(lines == static_cast<size_t>(kSettingsLines), "writer gives 2102 lines");
  read_settings_from_text(text.data(), text.size());
  check(int_settings() == ints, "whole numbers survive a write and a read");
  return 0;
}
