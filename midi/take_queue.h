// SPDX-License-Identifier: GPL-3.0-or-later
// The hand-over of a take from the MIDI inputs to the main loop: one bounded
// lock-free queue per input, filled by midi_input_handler with every message
// a take keeps as it arrives and emptied by the main loop, which writes the
// file.
// A MIDI thread never waits here: a full queue drops the message and counts it.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/midi_io.h"

// Queues, one per input slot (0..2, the slots of midi_in_handle).
constexpr int kTakeInputs = 3;
// Entries of each queue (a power of two): 24 bytes each, over a minute and a
// half of a keyboard's densest playing (controller streams included) while
// the main thread is held by a prompt or a sample pass.
constexpr uint32_t kTakeQueueSize = 16384;

// One message of a take: when it arrived (seconds of program_clock), the
// message packed as the handler gets it (status in byte 0), untransposed,
// and, for a message from a JACK port, its frame on the server's clock and
// the server's rate (0 for a message without one).
struct TakeEvent {
  double seconds;
  uint32_t message;
  uint32_t frame = 0;
  uint32_t rate = 0;
};

// 1 while a take runs. Written by the main thread, read by the MIDI threads.
extern std::atomic<int> take_recording;
// Messages a full queue dropped since the main thread last took the count.
// Written by the MIDI threads, taken by the main thread.
extern std::atomic<uint32_t> take_dropped;

// MIDI thread of input `slot` (one caller per slot at a time): queues the
// message, with its place on the server's clock when it has one, when a
// take runs and its file would keep the message (take_keeps), so a
// keyboard's active sensing fills neither the queue nor the take. Never
// blocks; a full queue counts a drop.
void take_queue_push(int slot, double seconds, uint32_t message, const MidiFrameTime* time);
// Main thread: moves up to `most` waiting messages of input `slot` into
// `out` in arrival order; returns how many.
int take_queue_drain(int slot, TakeEvent* out, int most);
