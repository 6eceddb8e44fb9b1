// SPDX-License-Identifier: GPL-3.0-or-later
// The host's MIDI ports (library qd_platform_midi, the only part of the
// program that links RtMidi and JACK for MIDI). A program that plays from
// MIDI devices installs them once at start as the MIDI layer's system back
// end; without them that back end has no devices, and the program links
// neither library.
// Threads: main thread, before any port opens.
#pragma once
#include <string>

void midi_install_system_ports();

// The name the system back end's clients begin with ("quillon_darvo": its
// ports are "quillon_darvo in", "quillon_darvo thru"). Main thread, before
// any port opens.
void midi_io_set_client_name(const std::string& name);

// Name of the RtMidi interface the system back end uses ("alsa", "jack", or
// "" before the first call needed one).
std::string midi_io_system_api();
