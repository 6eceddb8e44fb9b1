// SPDX-License-Identifier: GPL-3.0-or-later
// The MIDI file reader against files written here: timing by the tempo map
// and the division, the merge of tracks, running status, skipped events, and
// a clear error for every kind of damage.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "midi/midi_file.h"

namespace {

typedef std::vector<uint8_t> Bytes;

MidiFile read_ok(const Bytes& data) {
  MidiFile file;
  std::string error = read_midi_file(data.data(), data.size(), &file);
  EXPECT_EQ(error, "");
  return file;
}

std::string read_error(const Bytes& data) {
  MidiFile file;
  std::string error = read_midi_file(data.data(), data.size(), &file);
  EXPECT_TRUE(file.events.empty());
  return error;
}

// A header and raw track chunks.
Bytes raw_file(int format, int tracks, int division, const std::vector<Bytes>& chunks) {
  Bytes out = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, (uint8_t)format, (uint8_t)(tracks >> 8), (uint8_t)tracks,
               (uint8_t)(division >> 8), (uint8_t)division};
  for (const Bytes& c : chunks) {
    out.insert(out.end(), {'M', 'T', 'r', 'k', 0, 0, (uint8_t)(c.size() >> 8), (uint8_t)c.size()});
    out.insert(out.end(), c.begin(), c.end());
  }
  return out;
}

TEST(MidiFile, TempoChangesPlaceEventsByTheTempoMap) {
  // 480 ticks a quarter: 0.5 s a quarter, from tick 960 on 0.25 s.
  MidiFile f = read_ok(write_midi_file(
      1, 480,
      {{{0, midi_tempo_event(500000)}, {960, midi_tempo_event(250000)}},
       {{0, {0x90, 60, 100}}, {960, {0x80, 60, 0}}, {1440, {0x90, 62, 100}}, {2400, {0x80, 62, 0}}}}));
  ASSERT_EQ(f.events.size(), 4u);
  EXPECT_DOUBLE_EQ(f.events[0].seconds, 0.0);
  EXPECT_DOUBLE_EQ(f.events[1].seconds, 1.0);
  EXPECT_DOUBLE_EQ(f.events[2].seconds, 1.25);
  EXPECT_DOUBLE_EQ(f.events[3].seconds, 1.75);
  EXPECT_EQ(f.events[2].message, 0x643C90u + 0x0200u);
  EXPECT_DOUBLE_EQ(f.end_seconds, 1.75);
}

TEST(MidiFile, TracksMergeInTimeOrderKeepingTrackOrderAtEqualTimes) {
  MidiFile f = read_ok(write_midi_file(1, 96,
                                       {{{0, {0x90, 40, 1}}, {96, {0x90, 41, 1}}},
                                        {{48, {0x91, 50, 1}}, {96, {0x91, 51, 1}}},
                                        {{0, {0x92, 60, 1}}, {200, {0x82, 60, 0}}, {300, {0xFF, 0x2F, 0}}}}));
  std::vector<int> keys;
  for (const MidiFileEvent& e : f.events) keys.push_back((e.message >> 8) & 0x7F);
  EXPECT_EQ(keys, (std::vector<int>{40, 60, 50, 41, 51, 60}));
  EXPECT_EQ(f.tracks, 3);
  EXPECT_DOUBLE_EQ(f.end_seconds, 300 * 0.5 / 96);  // the end-of-track mark counts
}

TEST(MidiFile, RunningStatusAndSkippedEvents) {
  // Running status across a note and a program change; SysEx, a text meta
  // event and an unknown chunk are passed over; SMPTE 25 fps x 40 ticks.
  Bytes track = {0x00, 0xF0, 0x02, 0x7E, 0xF7, 0x00, 0x90, 60, 100, 0x00, 64, 100, 0x00, 0xFF, 0x01, 0x02, 'h',
                 'i', 100, 60, 0,    0x00, 0xC3, 5,    0x0A, 7,    0x00, 0xFF, 0x2F, 0x00};
  Bytes data = raw_file(0, 1, 0xE728, {track});
  data.insert(data.begin() + 14, {'X', 'Y', 'Z', 'W', 0, 0, 0, 1, 9});
  MidiFile f = read_ok(data);
  ASSERT_EQ(f.events.size(), 5u);
  EXPECT_EQ(f.events[1].message, 0x644090u);
  EXPECT_EQ(f.events[2].message, 0x003C90u);
  EXPECT_DOUBLE_EQ(f.events[2].seconds, 0.1);
  EXPECT_EQ(f.events[4].message, 0x07C3u);
  EXPECT_DOUBLE_EQ(f.events[4].seconds, 0.11);
}

TEST(MidiFile, DamageGivesAClearError) {
  Bytes good = write_midi_file(0, 96, {{{0, {0x90, 60, 100}}, {96, {0x80, 60, 0}}}});
  Bytes truncated(good.begin(), good.end() - 3);
  Bytes long_chunk = good;
  long_chunk[21] += 10;  // the track's length runs past the end
  Bytes five_byte_delta = raw_file(0, 1, 96, {{0x81, 0x80, 0x80, 0x80, 0x00, 0x90, 60, 100}});
  Bytes many_tracks = raw_file(1, 65535, 96, {{0x00, 0x90, 60, 100}});
  struct Case {
    const char* what;
    Bytes data;
    std::string error;
  } cases[] = {
      {"empty", {}, "not a MIDI file"},
      {"truncated", truncated, "chunk length past the end of the file"},
      {"chunk length past the end", long_chunk, "chunk length past the end of the file"},
      {"event cut by its chunk", raw_file(0, 1, 96, {{0x00, 0x90, 60}}), "truncated event in track 1"},
      {"zero division", raw_file(0, 1, 0, {{0x00, 0x90, 60, 1}}), "division of 0 ticks per quarter note"},
      {"zero SMPTE resolution", raw_file(0, 1, 0xE700, {{0x00, 0x90, 60, 1}}), "division of 0 ticks per frame"},
      {"tempo of 0", raw_file(0, 1, 96, {{0x00, 0xFF, 0x51, 0x03, 0, 0, 0}}), "tempo of 0 in track 1"},
      {"delta time of 2^28", five_byte_delta, "delta time longer than four bytes in track 1"},
      {"data byte first", raw_file(0, 1, 96, {{0x00, 60, 100}}), "data byte without a status in track 1"},
      {"status inside a message", raw_file(0, 1, 96, {{0x00, 0x90, 60, 0x80}}), "status byte inside a message in track 1"},
      {"system common", raw_file(0, 1, 96, {{0x00, 0xF2, 0, 0}}), "unexpected status byte 0xF2 in track 1"},
      {"format 2", raw_file(2, 1, 96, {{0x00, 0x90, 60, 1}}), "format 2 is not supported"},
      {"fewer tracks than the header names", many_tracks, "holds 1 of the 65535 tracks its header names"},
  };
  for (const Case& c : cases) EXPECT_EQ(read_error(c.data), c.error) << c.what;
}

TEST(MidiFile, ManyTracksAndUnmatchedNotesRead) {
  // 65535 tracks (the most a header can name), one note-on without its
  // note-off and a note-off without a note-on: read as they stand.
  std::vector<std::vector<MidiTrackEvent>> tracks(65535);
  tracks[0] = {{0, {0x90, 60, 100}}};
  tracks[65534] = {{10, {0x80, 61, 0}}};
  MidiFile f = read_ok(write_midi_file(1, 96, tracks));
  EXPECT_EQ(f.tracks, 65535);
  ASSERT_EQ(f.events.size(), 2u);
  EXPECT_EQ(f.events[1].message, 0x3D80u);
}

}  // namespace
