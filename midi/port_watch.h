// SPDX-License-Identifier: GPL-3.0-or-later
// MIDI ports that come and go while the program runs: the main loop lists
// the system's ports about once a second (at once when the back end tells of
// a change) and
//  - closes an input or the thru port whose port is gone, the input's held
//    keys and pedal released as if played;
//  - opens again an input or the thru port whose remembered name is listed
//    and not open (a port that came back, or one absent when the ports
//    opened), the thru port with a new loop probe; never a thru port that a
//    loop closed;
//  - with no input at all when the ports opened, opens the first input that
//    appears, without a notice.
// Never on a MIDI or audio thread.
//
// Threads: main thread only, while the ports' cycle is not running.
#pragma once
#include <string>
#include <vector>

// Once per pass of the key loop, at program clock `now`. Returns one line for
// each port lost or found ("MIDI input 2 lost: <name>", "MIDI thru found:
// <name>"), none when nothing changed. With `may_list` false it only closes
// the ports whose server went away (the caller waits for the audio output's
// JACK client, through which the ports are listed).
std::vector<std::string> watch_midi_ports(double now, bool may_list = true);

// The last "lost" line while a port it names is still missing, else "".
std::string midi_ports_status_line();

// Forgets the watch's timing (a new port cycle lists at once on its first look).
void reset_midi_port_watch();
