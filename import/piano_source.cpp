// SPDX-License-Identifier: GPL-3.0-or-later
#include "import/piano_source.h"

#include <strings.h>

#include "import/sf2_source.h"
#include "import/sfz_source.h"

struct PianoSource {
  Sf2Source* sf2 = nullptr;
  SfzSource* sfz = nullptr;
};

PianoSource* open_piano_source(const std::string& path, int bank, int program, bool allow_outside, std::string* error) {
  PianoSource* s = new PianoSource;
  const bool sfz = path.size() >= 4 && strcasecmp(path.c_str() + path.size() - 4, ".sfz") == 0;
  if (sfz) s->sfz = open_sfz_source(path, allow_outside, error);
  else s->sf2 = open_sf2_source(path, bank, program, error);
  if (!s->sf2 && !s->sfz) {
    if (!sfz && error->compare(0, 18, "is not a SoundFont") == 0)
      *error = "is not a SoundFont (.sf2, .sf3) or an SFZ instrument (.sfz)";
    delete s;
    return nullptr;
  }
  return s;
}

void close_piano_source(PianoSource* s) {
  if (!s) return;
  close_sf2_source(s->sf2);
  close_sfz_source(s->sfz);
  delete s;
}

bool source_has_key(PianoSource* s, int key, int velocity) {
  return s->sf2 ? sf2_source_has_key(s->sf2, key, velocity) : sfz_source_has_key(s->sfz, key, velocity);
}

int source_lowest_key(PianoSource* s, int velocity) {
  for (int key = 0; key < 128; key++)
    if (source_has_key(s, key, velocity)) return key;
  return -1;
}

bool source_note(PianoSource* s, int play_key, int target_key, int velocity, size_t frames, SourceNote* note,
                 std::string* error) {
  return s->sf2 ? sf2_source_note(s->sf2, play_key, target_key, velocity, frames, note, error)
                : sfz_source_note(s->sfz, play_key, target_key, velocity, frames, note, error);
}
