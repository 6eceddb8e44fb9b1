// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary bytes as a MIDI file: the reader never crashes, and what it
// accepts is a time-ordered list of well-formed short messages at finite,
// non-negative times, all within the file's length.
#include "midi/midi_file.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

static void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "MIDI file invariant broken: %s\n", what);
    std::abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MidiFile file;
  std::string error = read_midi_file(data, size, &file);
  if (!error.empty()) {
    check(file.events.empty(), "events kept after an error");
    check(error.find('\n') == std::string::npos, "error of more than one line");
    return 0;
  }
  check(file.format == 0 || file.format == 1, "format");
  check(file.tracks >= 1, "track count");
  check(file.events.size() <= size / 2, "more events than the bytes allow");
  double previous = 0.0;
  for (const MidiFileEvent& e : file.events) {
    check(std::isfinite(e.seconds) && e.seconds >= previous, "event times out of order");
    previous = e.seconds;
    uint32_t status = e.message & 0xFF;
    check(status >= 0x80 && status < 0xF0, "not a channel message");
    check(((e.message >> 8) & 0x80) == 0 && ((e.message >> 16) & 0x80) == 0 && (e.message >> 24) == 0,
          "data byte out of range");
  }
  check(std::isfinite(file.end_seconds) && file.end_seconds >= previous, "length before the last event");
  return 0;
}
