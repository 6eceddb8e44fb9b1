// SPDX-License-Identifier: GPL-3.0-or-later
// One pass of the watch over the audio output and the MIDI ports, the same
// in every loop that waits: the key loop, and through platform/wait_pass.h
// the editors, the prompts, the boxes and the presets menu, so a device that
// comes back while one of them is open plays at once.
//
// Threads: main thread only.
#pragma once

// The seven MIDI values as they were when the ports were last opened. The
// port cycle sets them, the M key compares with them, and the watch takes
// the port numbers that changed under it.
struct MidiValues {
  int midi_in_port;
  int midi_in2_port;
  int thru_port;
  int transpose;
  int midi_in3_port;
  int autovolmidi;
  int pedal_mode;
};
bool operator==(const MidiValues& a, const MidiValues& b);
extern MidiValues applied_midi;

// The watch runs from the end of the port cycle (ports open, engine
// started) until the key loop ends: it opens and closes ports itself, which
// the cycles around it do too.
void set_devices_watched(bool on);

// One pass: the output first (a device whose server went away closes before
// the port watch may open a client), then the ports. Their lines go to rows
// 2 and 7 when the status screen is shown (`status_screen`); otherwise to
// standard output only, and the status screen shows them when drawn again.
void watch_devices(bool status_screen);

// Installs the pass (with the status screen covered) as the wait pass of
// the boxes, prompts and editors. At start-up.
void install_device_watch();
