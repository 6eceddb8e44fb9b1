// SPDX-License-Identifier: GPL-3.0-or-later
// A piano to make a sample set from: a SoundFont (.sf2, .sf3) preset or an
// SFZ instrument, opened once and asked for the note of each key.
#pragma once
#include <cstddef>
#include <string>

#include "import/source_note.h"

struct PianoSource;

// Opens a SoundFont on (bank, program), or an SFZ instrument (bank and
// program unused). Null with a one-line reason in *error for a file that is
// neither, or a program the SoundFont does not have.
PianoSource* open_piano_source(const std::string& path, int bank, int program, bool allow_outside, std::string* error);
void close_piano_source(PianoSource* source);

// Whether the source sounds `key` at `velocity`.
bool source_has_key(PianoSource* source, int key, int velocity);
// The lowest key it sounds at `velocity`, or -1.
int source_lowest_key(PianoSource* source, int velocity);

// The note that `play_key` sounds at `velocity`, at the pitch of
// `target_key`: `frames` frames at kSetRate, the key held throughout. False
// with a one-line reason (a missing or unreadable sample).
bool source_note(PianoSource* source, int play_key, int target_key, int velocity, size_t frames, SourceNote* note,
                 std::string* error);
