// SPDX-License-Identifier: GPL-3.0-or-later
// Standard MIDI Files (formats 0 and 1). The reader gives the short messages
// of every track, merged in time order and placed in seconds by the file's
// tempo map; system-exclusive and meta events are skipped (tempo and end of
// track are read). The writer makes files for the tools, the tests and the
// benchmarks. Both work on bytes in memory; any thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Largest file the reader takes: far above any real performance, and it
// bounds the event table (an event takes at least two bytes of the file).
constexpr size_t kMidiFileMaxBytes = 16u << 20;

// One short message at its time.
struct MidiFileEvent {
  double seconds;    // from the start of the file
  uint32_t message;  // packed as the input handler gets it: status in byte 0
};

struct MidiFile {
  int format = 0;
  int tracks = 0;
  // In time order; events at the same time keep the order of their tracks,
  // and within a track the order of the file.
  std::vector<MidiFileEvent> events;
  // Time of the last event of any kind (an end-of-track mark included).
  double end_seconds = 0.0;
};

// Reads a file held in memory. Returns an empty text on success, else one
// line saying what is wrong (truncated chunks or events, a division of 0, a
// tempo of 0, a delta time of more than four bytes, a data byte without a
// status, format 2, more than kMidiFileMaxBytes); `out` is then empty.
std::string read_midi_file(const uint8_t* data, size_t size, MidiFile* out);

// One event of a track to write: its absolute tick and its bytes as they
// stand in the file after the delta time (a status byte first; meta events
// as 0xFF, type, length, data).
struct MidiTrackEvent {
  uint32_t tick;
  std::vector<uint8_t> bytes;
};

// A file of the given format and ticks per quarter note with one track
// chunk per entry of `tracks`, each in tick order (the order of equal ticks
// kept). Every message is written with its status byte; a track that does
// not end with an end-of-track mark gets one at its last tick.
std::vector<uint8_t> write_midi_file(int format, int ticks_per_quarter,
                                     std::vector<std::vector<MidiTrackEvent>> tracks);

// The tempo meta event: microseconds per quarter note (1..2^24 - 1).
std::vector<uint8_t> midi_tempo_event(uint32_t microseconds);
