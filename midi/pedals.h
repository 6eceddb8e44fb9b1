// SPDX-License-Identifier: GPL-3.0-or-later
// The piano pedals of pedal mode 1 (`pedal_mode`, core/settings_values.h):
// a continuous sustain pedal (controller 64) that half-pedals, the
// sostenuto (66) and the soft pedal (67). They act on every channel. In
// mode 0 none of this runs: 64 is a switch that holds at 127 only
// (midi_input.cpp), and 66 and 67 do nothing.
//
// The sustain's depth is 0 up to value 25, 1 from 95 on, and linear in
// between. A note whose key came up (its note-off delay past) is held at
// depth 1, ends at depth 0, and in between keeps sounding damped: it falls
// 60 dB in a time that grows with the depth on a log scale, from 0.1 s just
// above 0 to 20 s just below 1. Moving the pedal changes the damping of the
// notes it holds from the level they reached, so the sound never steps.
//
// The sostenuto holds the notes whose keys are down when it goes down, after
// their keys come up, until it comes up; they then end as if their keys had
// come up then (after the note-off delay, unless the sustain holds them or
// their key is down again). The soft pedal plays a note struck while it is
// down at 0.7 of its velocity.
//
// Entry points take voice_mutex (through run_with_voices and the voices'
// own entry points); the *_locked hooks expect it held.
#pragma once
#include <cstdint>

// The sustain's depth 0..1 for a controller-64 value.
double sustain_depth(int value);
// Seconds a note held at `depth` takes to fall 60 dB; 0 for no damping
// (depth 1 and more). Depth 0 ends the note, and is never asked.
double damping_seconds(double depth);
// The velocity a note struck now plays with: 0.7 of it, at least 1, while
// the soft pedal is down in pedal mode 1; else the velocity itself.
int soft_velocity(int velocity);

// Controllers 64, 66 and 67 in pedal mode 1, heard on frame `at` (kAtOnce
// for none). True when the controller was a pedal's and was played; false
// in mode 0 and for other controllers.
bool piano_pedal(int controller, int value, int64_t at);
// The sostenuto and the soft pedal up, whatever the mode: the sostenuto's
// notes end as when it comes up. For a change of pedal mode (the sustain is
// let up by the ports' closing) and a render's start.
void piano_pedals_up();

// ---- Hooks of the voices (voice_mutex held) ----
// A note whose key came up: true when the sostenuto holds it (it is then
// marked and ends when the sostenuto comes up).
bool sostenuto_holds_locked(int key, int channel);
// A note the sustain now holds: its sounds (its louder layers too) damped
// for the pedal's depth from frame
// `at` (kAtOnce: from the next block).
void damp_held_voice_locked(int w, int j, int64_t at);
