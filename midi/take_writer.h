// SPDX-License-Identifier: GPL-3.0-or-later
// A take as a Standard MIDI File: format 0, one tick per millisecond (tempo
// 500000 µs, 500 ticks per quarter note), the first message at tick 0. Any
// thread; works in memory.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "midi/take_queue.h"

constexpr int kTakeTicksPerQuarter = 500;
constexpr uint32_t kTakeTempo = 500000;  // µs per quarter note: 500 ticks of 1 ms
// Most messages a take keeps: at seven bytes each at most (a four-byte delta
// and three message bytes) the file stays within what the MIDI file reader
// takes (kMidiFileMaxBytes).
constexpr size_t kTakeMostEvents = 2000000;

// True for a message a take file can hold: a channel message (status 0x80 to
// 0xEF) with data bytes below 0x80. The others (system messages, broken
// ones) have no effect on the instrument and are left out.
bool take_keeps(uint32_t message);

// The file's bytes for `events` (any order; equal times keep their order),
// each at its time after the earliest, rounded to the millisecond. Empty
// when no event is kept. At most kTakeMostEvents are written.
std::vector<uint8_t> take_file_bytes(std::vector<TakeEvent> events);
