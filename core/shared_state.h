// SPDX-License-Identifier: GPL-3.0-or-later
// Working values of the instrument that cross folders: written in one part
// of the program and read in another, on more than one thread. Each says
// which thread writes it and which read it (see core/threads.md).
#pragma once
#include <atomic>
#include <string>

// ---- Main loop hand-over -------------------------------------------------------------

// Raised while a prompt, a file command or a sample pass holds the main
// thread. Written by the main thread, read by the MIDI threads (a note-off
// then ends its note at once, since nobody serves the queue).
extern std::atomic<int> input_active;
// Raises input_active while it lives and then puts back what it was, so
// scopes may nest (an editor's file command around a sample pass). Main thread.
struct InputActiveScope {
  int was = input_active.exchange(1);
  InputActiveScope() = default;
  InputActiveScope(const InputActiveScope&) = delete;
  InputActiveScope& operator=(const InputActiveScope&) = delete;
  ~InputActiveScope() { input_active.store(was); }
};

// Set once SIGTERM or SIGINT arrives (platform/process.h): every loop that
// waits (the key loop, the editors, the prompts, the boxes, the presets
// menu) ends, and the program ends with its settings written. Written by the
// signal handler on whichever thread takes the signal, read by the main
// thread.
extern std::atomic<int> quit_signal;

// Auxiliary display value shown by the main loop as "auxvar=" when its
// magnitude is above 0.00001: the MIDI threads count the messages their
// guard gave up on. Written by the MIDI threads and the editors, read by the
// main thread.
extern std::atomic<double> auxvar;

// pending_key: a key's command text ("i", "o") queued by a MIDI thread for
// the main loop. Posting replaces what is queued; taking clears it. Never
// blocks; safe from any thread. The main thread's own requests (a reload, a
// set change) go through app/loop_request.h, where no key replaces them.
void post_pending_key(const char* text);
std::string take_pending_key();

// pending_message: a notice text queued by a MIDI thread, shown by the main
// loop in a notice box. A message posted while another is waiting is dropped
// (the first one is shown). Never blocks; returns false when dropped.
bool post_pending_message(const char* text);
std::string take_pending_message();

// ---- Automatic volume ----------------------------------------------------------------

// Gain values set from the channel volumes. Written by the MIDI threads on
// every channel-volume controller (and by the main thread at start and when
// the MIDI ports reopen); read by the voices (note-on, MIDI and main thread)
// and the mixer thread. voice_divisor also goes back to voice_divisor_ref
// when the last voice ends, on whichever thread ended it.
extern std::atomic<float> target_level;        // 1.7 at start
extern std::atomic<float> voice_divisor;       // 152.4 = 127 x 1.2 at start
extern std::atomic<float> voice_divisor_ref;   // 152.4 at start

// Times of the level analysis, seconds of the program clock. Written by the
// mixer thread at every analysis, by the main thread when it restarts the
// analysis (start-up, [A], autovolmidi) and by the voices (MIDI and main
// thread) when the last voice ends, which restarts the quiet period.
extern std::atomic<double> analysis_ref_time;
extern std::atomic<double> analysis_now_time;

// ---- Note-on tables --------------------------------------------------------------------

constexpr int kVelocityCount = 128;  // velocities 0..127

// Velocity factor 0..1 of each velocity, curve[0] = 0, curve[127] = 1.
// Written by the main thread (set load, V key), read by the MIDI threads.
extern std::atomic<float> velocity_curve[kVelocityCount];
