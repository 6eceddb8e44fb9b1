// SPDX-License-Identifier: GPL-3.0-or-later
// Presets: the presets menu of the P key (save and load through the file
// dialog), loading a preset file, and the thumbnail presets of the full view.
//
// Threads: main thread only.
#pragma once
#include <string>

// The menu: "[L]load     [S]save", any other key leaves. Returns the key
// that closed it, or "" after a save or a load (a load asks for the set to
// be loaded again, app/loop_request.h). The device watch runs while it
// waits; a quit signal leaves it.
std::string presets_menu();
// Save preset and Load preset dialog, as the menu's S and L run them: true
// when a preset was saved or loaded.
bool save_preset();
bool load_preset_dialog();
// Loads a preset file (keeping the view, the MIDI ports, the buffer size and
// the transpose), asks for the set to be loaded again and shows the window
// title. A missing file changes nothing; returns whether the preset was
// loaded.
bool load_preset(const std::string& path);
// The preset of a thumbnail slot (bank 0 factory, 1 user; slot 0..4 left to
// right): loaded without asking; preset_bank becomes the bank.
bool load_thumbnail_preset(int bank, int slot);
