// SPDX-License-Identifier: GPL-3.0-or-later
// Notes of an SFZ instrument: its regions' WAV or FLAC samples, read with
// libsndfile, each moved to the key by the engine's converter and summed.
#pragma once
#include <cstddef>
#include <string>

#include "import/source_note.h"

struct SfzSource;

// Null with a one-line reason when the file cannot be read, has a value
// that does not read, or has no region. Its samples and the files it
// #includes (relative to its folder, 8 deep and 1024 at most) must lie
// inside the folder of the .sfz file (symbolic links followed) unless
// `allow_outside`.
SfzSource* open_sfz_source(const std::string& path, bool allow_outside, std::string* error);
void close_sfz_source(SfzSource* source);
bool sfz_source_has_key(SfzSource* source, int key, int velocity);
bool sfz_source_note(SfzSource* source, int play_key, int target_key, int velocity, size_t frames, SourceNote* note,
                     std::string* error);
