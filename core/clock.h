// SPDX-License-Identifier: GPL-3.0-or-later
// The program clock: monotonic seconds as a double. Every timed rule (rate
// gate, thru budget, loop probe, note-off queue) reads program_clock(); the
// rules that keep times treat a jump back of more than 99 s as a reset.
#pragma once

// Seconds of the steady clock since the first call in this process. Any thread.
double steady_seconds();

// The clock the timed rules read; steady_seconds unless a test replaces it to
// step time (set it only while no MIDI input is open). Any thread.
extern double (*program_clock)();
