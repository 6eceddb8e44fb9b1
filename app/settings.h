// SPDX-License-Identifier: GPL-3.0-or-later
// The settings file: the 2102-line text file that stores the settings (the
// settings file, its backup and every preset share this layout), and the
// preset files. The settings themselves, with their defaults and ranges, are
// core/settings_values.h. Main thread only.
#pragma once
#include <cstddef>
#include <string>

#include "core/settings_values.h"

constexpr int kSettingsLines = 2102;   // lines of a settings file or preset
constexpr int kFinlistLine = 2054;     // 1-based line of the end mark "finlist"
constexpr int kPresetNameMax = 100;    // characters of `preset_name` kept by the reader
constexpr int kPortNameMax = 255;      // characters of a MIDI port name kept by the reader

// ---- Reading and writing -------------------------------------------------------------

// Fill the settings from a file; a missing or unreadable file, or one that is
// not a regular file, reads as an empty one (every setting takes its default).
// Lines may end in CR LF or LF alone.
void read_settings(const char* path);
// The same from a text already in memory (size bytes, need not end in a newline).
void read_settings_from_text(const char* text, size_t size);

// The 2102 lines of the current settings, CR LF ended. Settles `preset_bank`
// first, as the writer does.
std::string format_settings();
// Write all settings to path. The text goes to a temporary file in the same
// folder, is flushed to disk and only then renamed over path, so a failed
// write leaves the previous file intact. Returns true on success.
bool write_settings(const char* path);

// ---- Preset files ------------------------------------------------------------------

// The part of a path after its last "/" or "\" (the whole path if neither).
std::string preset_file_name(const std::string& path);

// Check a name chosen in the preset file dialog: blanks trimmed, ".preset"
// appended when the name has no ".". Returns 1 and the name in out when it
// ends in ".preset" (any case), 0 when it is empty (dialog cancelled), and −1
// when it has another extension (the caller shows "bad name " + out).
int check_preset_name(const std::string& chosen, std::string& out);

// Save: write_settings(path); on success `preset_name` becomes the file name.
bool save_preset_file(const char* path);
// Load: if the file exists (a regular file), read it as settings but keep `full_view`,
// `midi_in_port`, `buffer_size`, `midi_in2_port`, `midi_in3_port`,
// `thru_port`, `transpose` and the port names; `preset_name` becomes the file name. Returns
// false (changing nothing) when the file does not exist. The caller then asks
// the main loop to reload ("reload") and sets the window title.
bool load_preset_file(const char* path);

// Thumbnail presets, slot 0..4 left to right on the thumbnail row: bank 0
// factory (granpiano1, granpiano2, granpiano, upright, epiano under "bmp/"
// of the data folder), bank 1 user (user1..user5 under "save/user/" of the
// user's data folder). preset_slot_name gives the bare name (null for a bad
// bank or slot), which also names the slot's thumbnail picture;
// thumbnail_preset_path gives folder + name + ".preset" (empty for a bad bank
// or slot).
const char* preset_slot_name(int bank, int slot);
std::string thumbnail_preset_path(int bank, int slot);
