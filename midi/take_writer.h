// SPDX-License-Identifier: GPL-3.0-or-later
// A take as a Standard MIDI File: format 0, one track, the first message at
// tick 0, a tick being one frame of the output's clock (ticks per quarter
// note and tempo chosen so, the tempo near 500000 µs) or one millisecond.
// Any thread; works in memory.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "midi/take_queue.h"

// Ticks of a millisecond: the tick rate of a take with no frames, and of
// one too long for its frames to fit 32-bit ticks.
constexpr uint32_t kTakeMillisecondTicks = 1000;
// Most messages a take keeps: at seven bytes each at most (a four-byte delta
// and three message bytes) the file stays within what the MIDI file reader
// takes (kMidiFileMaxBytes).
constexpr size_t kTakeMostEvents = 2000000;

// True for a message a take file can hold: a channel message (status 0x80 to
// 0xEF) with data bytes below 0x80. The others (system messages, broken
// ones) have no effect on the instrument and are left out.
bool take_keeps(uint32_t message);

// The file's bytes for `events` (any order; equal times keep their order),
// each at its time after the earliest, rounded to the nearest tick of
// 1 / ticks_per_second s. A rate that no tempo and division of the file
// give exactly, or whose ticks would not hold the take, gives millisecond
// ticks. Empty when no event is kept. At most kTakeMostEvents are written.
std::vector<uint8_t> take_file_bytes(std::vector<TakeEvent> events,
                                     uint32_t ticks_per_second = kTakeMillisecondTicks);
