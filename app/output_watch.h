// SPDX-License-Identifier: GPL-3.0-or-later
// The audio output while the program runs: started with the engine cycle's
// attempts, watched by the key loop, silenced when its device stops under
// the program and opened again by itself, with no modal notice. While it is
// lost the commands that need the engine's samples wait for it.
//
// Threads: main thread only.
#pragma once
#include <string>

// The engine cycle's output attempts in order, all asking for 44100 Hz
// stereo (a JACK server grants its own rate and period): 12 buffers of
// `frames` on device 0, 3 buffers of 1024 frames on device 0, 3 buffers of
// 2048 frames on device -1 (the file device's only one). Tries the first
// `attempts` of them; returns the number (1..3) of the one that started the
// engine, or 0.
constexpr int kOutputAttempts = 3;
int start_output(int attempts, int frames);

// "plugout=" with the plug-in, its device, the rate, the buffers and the
// frames of the output in use.
std::string plugout_line();

// The engine cycle started the output with attempt `attempt` and `frames`:
// a lost output is retried with that attempt and the ones before it, so a
// real device never gives way to the file device. Clears a lost state.
void output_started(int attempt, int frames);

// Once per pass of the key loop's wait, at program clock `now`. When the
// plug-in reports its device lost: every note ends (the pedal's too) and the
// key dots go, the lost line shows at row 2 and on standard output, and the
// output is tried again at once (on JACK: as soon as every client of ours
// of the server that went away is closed, core/jack_clients.h) and then
// every 2 s with the start's arguments. When it opens: the "plugout=" line
// replaces the lost line and playing goes on with the sounds, effects and samples as they were; when
// it opens at another rate than the samples were made for, the set is
// loaded again (request_reload, app/loop_request.h, which no MIDI message
// can overwrite). While the output runs, a period its
// server changed shows on a new "plugout=" line, and the level analysis
// takes the new block size.
void watch_output(double now);
bool output_lost();
// True while a JACK output is lost: its server went away or changed, and the
// output's client, through which the MIDI ports are listed, is not back yet.
bool output_waits_for_jack();
// The line the status screen shows at row 2: the lost line, or "".
std::string output_status_line();
