// SPDX-License-Identifier: GPL-3.0-or-later
// Notes of a SoundFont preset, played by libfluidsynth with the key held.
// The synthesiser plays the leading sample of a key at its own pitch and
// rate (its tuning table moves the key there), so that every change of
// pitch and rate is the engine's converter's (import/source_note.h).
#pragma once
#include <cstddef>
#include <string>

#include "import/source_note.h"

struct Sf2Source;

// Null with a one-line reason for a file that is not a SoundFont or lacks
// the program.
Sf2Source* open_sf2_source(const std::string& path, int bank, int program, std::string* error);
void close_sf2_source(Sf2Source* source);
bool sf2_source_has_key(Sf2Source* source, int key, int velocity);
bool sf2_source_note(Sf2Source* source, int play_key, int target_key, int velocity, size_t frames, SourceNote* note,
                     std::string* error);
