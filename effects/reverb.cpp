// SPDX-License-Identifier: GPL-3.0-or-later
// Output reverb: the two-tap echo line run on every value of the output.
// The tap distances are clamped, so any mix of an old and a new distance
// reads inside the line.
//
// The line belongs to the mixer thread. setup_reverb, on the main thread,
// only asks for it to be cleared: from the step's next value on, what the
// line held before reads as silence, so no value of the line is ever written
// by two threads. A clear costs the step nothing at once: until the line has
// been written round once, each tap that would read a value from before the
// clear zeroes that one value first (3.3 MB zeroed in one step would take a
// period of its own).
#include "effects/reverb.h"

#include <cmath>

#include "core/settings_values.h"
#include "effects/echo_line.h"
#include "effects/master_chain.h"

std::atomic<float> reverb_gain1{0.0f};
std::atomic<float> reverb_gain2{0.0f};
std::atomic<int> reverb_delay1{kEchoMinDistance};
std::atomic<int> reverb_delay2{kEchoMinDistance};

namespace {

// reverb1 is not editable.
constexpr ReverbParams kReverb1 = {0.23f, 0.2f, 225.0f, 300.0f};

// Clears asked for by the main thread; the mixer counts those it made.
std::atomic<unsigned> reverb_clear_requests{0};
unsigned reverb_clears_done = 0;

float reverb_buffer[kEchoLineSize];
int reverb_pos = 0;
// Values written since the line was last cleared, up to its size.
int reverb_fresh = kEchoLineSize;

}  // namespace

void setup_reverb() {
  int mode = reverb_mode.load();
  if (mode <= 0) {
    // The write position stays where it is.
    reverb_clear_requests.fetch_add(1u);
    return;
  }
  const ReverbParams& p = mode == 1 ? kReverb1 : (mode == 2 ? reverb2_params : reverb3_params);
  int rate = plug_rate.load(), channels = plug_channels.load();
  reverb_gain1.store(p.kreverb1);
  reverb_gain2.store((1.0f - p.kreverb1) * p.kreverb2);
  reverb_delay1.store(echo_tap_distance(p.Treverb1, rate, channels));
  reverb_delay2.store(echo_tap_distance(p.Treverb2, rate, channels));
}

namespace {

void serve_clear_request() {
  unsigned requests = reverb_clear_requests.load(std::memory_order_relaxed);
  if (requests != reverb_clears_done) {
    reverb_fresh = 0;
    reverb_clears_done = requests;
  }
}

struct Taps {
  int delay1, delay2;
  float gain1, gain2;
};
Taps read_taps() {
  constexpr auto relaxed = std::memory_order_relaxed;
  return {reverb_delay1.load(relaxed), reverb_delay2.load(relaxed), reverb_gain1.load(relaxed),
          reverb_gain2.load(relaxed)};
}

// The values a tap `distance` behind the write position reads over the next
// `n` steps, zeroed first where they were written before the clear. They
// lie behind the write position, so none of those n steps writes them.
void forget_stale_run(int distance, int n) {
  int count = distance + 1 - reverb_fresh;
  if (count > n) count = n;
  int i = reverb_pos - distance - 1;
  if (i < 0) i += kEchoLineSize;
  for (; count > 0; count--) {
    reverb_buffer[i] = 0.0f;
    if (++i == kEchoLineSize) i = 0;
  }
}

// Until the line has been written round once since a clear, what the taps
// of the next n steps read from before it is zeroed first.
void forget_stale(const Taps& t, int n) {
  if (reverb_fresh >= kEchoLineSize) return;
  forget_stale_run(t.delay1, n);
  forget_stale_run(t.delay2, n);
  reverb_fresh = reverb_fresh + n < kEchoLineSize ? reverb_fresh + n : kEchoLineSize;
}

float step(const Taps& t, float x) {
  forget_stale(t, 1);
  float y = echo_line_step(reverb_buffer, reverb_pos, t.delay1, t.gain1, t.delay2, t.gain2, x);
  // A value that is no longer a finite number would come round again and
  // again: the line starts silent (the write position stays).
  if (!std::isfinite(y)) {
    reverb_buffer[reverb_pos == 0 ? kEchoLineSize - 1 : reverb_pos - 1] = 0.0f;
    reverb_fresh = 0;
    effect_state_resets.fetch_add(1u, std::memory_order_relaxed);
    return 0.0f;
  }
  return y;
}

}  // namespace

float reverb_step(float x) {
  if (plug_channels.load(std::memory_order_relaxed) < 1) return x;
  serve_clear_request();
  return step(read_taps(), x);
}

void reverb_block(const float* in, float* out, int n) {
  if (plug_channels.load(std::memory_order_relaxed) < 1) {
    for (int i = 0; i < n; i++) out[i] = in[i];
    return;
  }
  serve_clear_request();
  const Taps t = read_taps();
  const int start = reverb_pos, fresh = reverb_fresh;
  forget_stale(t, n);
  if (echo_line_block(reverb_buffer, kEchoLineSize, reverb_pos, t.delay1, t.gain1, t.delay2, t.gain2, in, out, n)) return;
  // A value no longer finite: the block again value by value from where it
  // started, which reads what it read before (no run reads where it writes)
  // and starts the line silent where that value is.
  reverb_pos = start;
  reverb_fresh = fresh;
  for (int i = 0; i < n; i++) out[i] = step(t, in[i]);
}
