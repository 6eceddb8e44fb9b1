// SPDX-License-Identifier: GPL-3.0-or-later
// The take queues: single-producer, single-consumer rings. The producer
// writes an entry and then publishes the new write count; the consumer reads
// entries up to it and then publishes its read count, so neither side ever
// touches an entry the other may be using.
#include "midi/take_queue.h"

#include "midi/take_writer.h"

std::atomic<int> take_recording{0};
std::atomic<uint32_t> take_dropped{0};

namespace {

static_assert((kTakeQueueSize & (kTakeQueueSize - 1)) == 0, "the queue size must be a power of two");

struct TakeQueue {
  std::atomic<uint32_t> written{0};  // entries ever written (the MIDI thread's)
  std::atomic<uint32_t> read{0};     // entries ever read (the main thread's)
  TakeEvent entries[kTakeQueueSize];
};

TakeQueue queues[kTakeInputs];

}  // namespace

void take_queue_push(int slot, double seconds, uint32_t message, const MidiFrameTime* time) {
  if (slot < 0 || slot >= kTakeInputs || !take_recording.load(std::memory_order_relaxed)) return;
  // What the file would leave out (the clock, active sensing) takes no room.
  if (!take_keeps(message)) return;
  TakeQueue& q = queues[slot];
  uint32_t w = q.written.load(std::memory_order_relaxed);
  if (w - q.read.load(std::memory_order_acquire) >= kTakeQueueSize) {
    take_dropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  q.entries[w & (kTakeQueueSize - 1)] = {seconds, message, time ? time->frame : 0u, time ? time->rate : 0u};
  q.written.store(w + 1, std::memory_order_release);
}

int take_queue_drain(int slot, TakeEvent* out, int most) {
  if (slot < 0 || slot >= kTakeInputs || most <= 0) return 0;
  TakeQueue& q = queues[slot];
  uint32_t r = q.read.load(std::memory_order_relaxed);
  uint32_t available = q.written.load(std::memory_order_acquire) - r;
  int n = available < (uint32_t)most ? (int)available : most;
  for (int i = 0; i < n; i++) out[i] = q.entries[(r + i) & (kTakeQueueSize - 1)];
  q.read.store(r + n, std::memory_order_release);
  return n;
}
