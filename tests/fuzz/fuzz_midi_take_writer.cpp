// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary message streams written as a take, in millisecond ticks and in
// ticks of a 44.1 kHz frame: our own MIDI file reader takes every file the
// take writer makes, and gives back each kept message in time order within
// half a tick of its time after the first (half a millisecond for a take
// too long for frame ticks).
// Seven bytes per message: its time (four bytes, half-milliseconds, in any
// order and with pauses of days), then status and data bytes as they came.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "midi/midi_file.h"
#include "midi/take_writer.h"

static void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "take file invariant broken: %s\n", what);
    std::abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<TakeEvent> events;
  for (size_t at = 0; at + 7 <= size; at += 7) {
    const uint8_t* p = data + at;
    uint32_t half_ms = (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
    events.push_back({half_ms * 0.0005, (uint32_t)p[4] | (uint32_t)p[5] << 8 | (uint32_t)p[6] << 16});
  }
  std::vector<TakeEvent> kept;
  for (const TakeEvent& e : events)
    if (take_keeps(e.message)) kept.push_back(e);
  std::stable_sort(kept.begin(), kept.end(), [](const TakeEvent& a, const TakeEvent& b) { return a.seconds < b.seconds; });

  for (uint32_t rate : {kTakeMillisecondTicks, 44100u}) {
    std::vector<uint8_t> bytes = take_file_bytes(events, rate);
    if (kept.empty()) {
      check(bytes.empty(), "a file with no message");
      continue;
    }
    if ((kept.back().seconds - kept[0].seconds) * rate >= 4294967295.0) rate = kTakeMillisecondTicks;
    MidiFile file;
    check(read_midi_file(bytes.data(), bytes.size(), &file).empty(), "the reader refuses the file");
    check(file.format == 0 && file.tracks == 1, "not a format 0 file of one track");
    check(file.events.size() == kept.size(), "messages lost or added");
    for (size_t i = 0; i < kept.size(); i++) {
      uint32_t message = kept[i].message;
      int kind = (message >> 4) & 0x0F;
      if (kind == 0xC || kind == 0xD) message &= 0xFFFF;  // one data byte
      check(file.events[i].message == message, "a message changed");
      double after_first = kept[i].seconds - kept[0].seconds;
      check(std::fabs(file.events[i].seconds - after_first) <= 0.5 / rate + after_first * 1e-9, "a message moved");
    }
  }
  return 0;
}
