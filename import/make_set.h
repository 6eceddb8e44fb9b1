// SPDX-License-Identifier: GPL-3.0-or-later
// Making a piano sample set from a SoundFont or an SFZ instrument: for each
// sample number 12, 24, ..., 108 the note the source plays for that key,
// pitched by the engine's converter where no sample is rooted at the key,
// started at its onset, ended where it fades below -90 dB (16 s at most),
// and one gain for the nine so that they keep the source's own balance.
#pragma once
#include <cstdio>
#include <string>

#include "core/key_samples.h"

struct MakeSetRequest {
  std::string source;    // .sf2, .sf3 or .sfz
  int bank = 0;
  int program = 0;
  int velocity = 100;
  bool mp3 = false;
  bool allow_outside = false;          // SFZ samples may lie outside the .sfz file's folder
  std::string folder;                  // where the files go, ending in "/"
  std::string names[kSamplesPerSet];   // their names in the folder, sample 12 first
  std::string others[kSamplesPerSet];  // the set's names in the other form, removed once the new files are in
};

// Makes the nine files, with one line per file on `out` as each note is
// made and, when `bar` is true, a progress bar below them (left on its line
// when this fails: the caller clears it). A key the source leaves silent or
// plays no note for is made from the nearest key that sounds, and its line
// says so. The files are written under temporary names and the set is
// replaced as a whole (import/set_replace.h) only when all nine are
// complete; on any failure the earlier set stays as it was. Returns an
// empty text, or the one line that says what failed.
std::string make_sample_set(const MakeSetRequest& request, FILE* out, bool bar);
