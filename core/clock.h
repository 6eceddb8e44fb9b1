// SPDX-License-Identifier: GPL-3.0-or-later
// The program clock: monotonic seconds as a double. Every timed rule (rate
// gate, thru budget, loop probe, note-off queue) reads program_clock(); the
// rules that keep times treat a jump back of more than 99 s as a reset
// (clock_went_back, before_deadline below).
#pragma once

// Seconds of the steady clock since the first call in this process. Any thread.
double steady_seconds();

// The clock the timed rules read; steady_seconds unless a test replaces it to
// step time (set it only while no MIDI input is open). Any thread.
extern double (*program_clock)();

// The timed rules' reset: a clock that went more than 99 s back from a time
// a rule kept (a stepped clock, a test's) counts as a new start, so no rule
// waits for days.
constexpr double kClockJumpBack = 99.0;
// True when `now` lies more than 99 s before the kept time.
inline bool clock_went_back(double now, double kept) { return now < kept - kClockJumpBack; }
// True while `now` is before `deadline`, and not so far before it that the
// clock went back.
inline bool before_deadline(double now, double deadline) {
  return now < deadline && now > deadline - kClockJumpBack;
}
