// SPDX-License-Identifier: GPL-3.0-or-later
// Presets: the presets menu of the P key (save and load through the file
// dialog), loading a preset file, and the thumbnail presets of the full view.
//
// Threads: main thread only.
#pragma once
#include <string>

// The menu: "[L]load     [S]save", any other key leaves. Ends with key_text
// " " after a save, "reload" after a load, else the key that closed it.
// The device watch runs while it waits; a quit signal leaves it.
void presets_menu();
// Save preset and Load preset dialog, as the menu's S and L run them.
void save_preset();
void load_preset_dialog();
// Loads a preset file (keeping the view, the MIDI ports, the buffer size and
// the transpose), sets key_text to "reload" and the window title. A missing
// file changes nothing; returns whether the preset was loaded.
bool load_preset(const std::string& path);
// The preset of a thumbnail slot (bank 0 factory, 1 user; slot 0..4 left to
// right): loaded without asking; preset_bank becomes the bank. When it
// loaded, "reload" is passed to the main loop through pending_key and the
// result is true.
bool load_thumbnail_preset(int bank, int slot);
