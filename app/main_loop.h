// SPDX-License-Identifier: GPL-3.0-or-later
// The program's control flow on the main thread: start-up, the three restart
// cycles (engine, sample set, MIDI ports), the key loop (its wait, then the
// key's command from app/key_commands.h and the requests of
// app/loop_request.h), and shutdown with the settings written twice. The
// main loop alone rebuilds the window and redraws the status screen after
// input.
//
// Threads: everything here belongs to the main thread.
#pragma once
#include <string>

#include "app/device_watch.h"
#include "app/instrument_setup.h"

// ---- Run-time state of the main loop ----

// buffer_size with which the engine was last started; -1 forces a restart.
extern int applied_buffer_size;

// ---- The program ----

// Runs start-up, the main loop and shutdown. Returns the process status: 0
// after a normal end, 1 after a fatal start-up error.
int run_main_loop();

// ---- Pieces of the loop, separately callable ----

// Runs the command of a key's text (app/key_commands.h) and redraws what
// it asks for.
void run_command(const std::string& text);

// The main loop's mouse step: the handler of the status screen and the
// thumbnails, then what their clicks ask for (a thumbnail's preset, the set
// prompt), and a window rebuild asked for.
void mouse_step(int x, int y, int buttons);
// Rebuilds the window and redraws the status screen when a widget asked.
void serve_window_request();

// Where the main loop goes after the key loop has ended and the MIDI ports
// are closed.
enum NextCycle { kEngineCycle, kSampleCycle, kPortCycle, kProgramEnd };

// The M key's decision before the sounds are torn down: with all seven MIDI
// values unchanged the engine restarts (applied_buffer_size becomes -1);
// otherwise applied_midi takes the new values. Returns kPortCycle when only
// the ports are to be reopened (buffer size unchanged), else kEngineCycle
// (meaning: go on and tear down).
NextCycle plan_after_midi_prompt(const MidiValues& current, MidiValues* applied,
                                 int buffer_size, int* applied_buffer);

// After the sounds are torn down: the sample cycle when a reload is asked,
// the engine cycle after M with a changed buffer size, else the program ends.
NextCycle plan_after_teardown(bool reload, bool key_was_m, int buffer_size, int applied_buffer);
