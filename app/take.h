// SPDX-License-Identifier: GPL-3.0-or-later
// Takes: W starts keeping what is played, W again writes it as a MIDI file
// to take-YYYYMMDD-HHMMSS.mid in the takes folder (core/paths.h). A take
// holds every channel message of the MIDI inputs as it arrived (untransposed),
// and the notes played with the mouse and the function keys, timed by the
// program clock. The file appears only when complete; a take with no message
// leaves none. quillon_render plays a take like any other MIDI file.
//
// Threads: main thread only. The MIDI threads hand their messages over
// through midi/take_queue.h.
#pragma once
#include <string>

bool take_running();
// Starts a take (nothing when one runs).
void take_start();
// Ends the take (nothing when none runs): writes its file, whose name the
// status screen then shows. A file that cannot be written, and messages a
// full queue dropped, are told in a notice. A take still running when the
// process exits is written then, with what would be a notice on standard
// error.
void take_end();
// Moves what the MIDI inputs delivered into the take; every pass of the main
// loop and of the editors' waits.
void take_serve();
// A note played on the screen (mouse keyboard, function keys): channel
// 0..15, key number after transposition, velocity (0 for the note-off).
void take_screen_note(int channel, int key, int velocity);
// The status screen's take cell: "[W]rec" while a take runs, the last take's
// file name after it ended, else "".
std::string take_status_text();
