// SPDX-License-Identifier: GPL-3.0-or-later
// The watch over the devices, once for every loop that waits.
#include "app/device_watch.h"

#include "app/output_watch.h"
#include "app/session.h"
#include "app/text_area.h"
#include "core/clock.h"
#include "core/settings_values.h"
#include "midi/midi_input.h"
#include "midi/port_watch.h"
#include "platform/wait_pass.h"

MidiValues applied_midi = {0, 0, 0, 0, 0, 0, 0};

bool operator==(const MidiValues& a, const MidiValues& b) {
  return a.midi_in_port == b.midi_in_port && a.midi_in2_port == b.midi_in2_port &&
         a.thru_port == b.thru_port && a.transpose == b.transpose &&
         a.midi_in3_port == b.midi_in3_port && a.autovolmidi == b.autovolmidi &&
         a.pedal_mode == b.pedal_mode;
}

namespace {

bool watched = false;
bool watching = false;  // a notice the watch shows runs the wait pass again

void watch_behind_other_screen() { watch_devices(false); }

}  // namespace

void set_devices_watched(bool on) { watched = on; }

void watch_devices(bool status_screen) {
  // What the MIDI threads left to the main thread: a loop to close, and
  // messages that found the voices busy.
  serve_midi_on_main_thread();
  if (!watched || watching) return;
  watching = true;
  hide_status_lines(!status_screen);
  serve_session();
  // The output first: when a JACK server went away, its client closes here
  // and the ports' clients in the port watch, in this pass; nothing opens
  // before all have (core/jack_clients.h).
  watch_output(program_clock());
  // The ports that come and go: each event on a line of row 7, and the port
  // numbers that changed count as the ones last opened. While a lost JACK
  // output is not back, the ports wait for its client rather than open one
  // of their own to list the new server's ports.
  std::vector<std::string> lines = watch_midi_ports(program_clock(), !output_waits_for_jack());
  for (const std::string& line : lines) show_status_line(7, line);
  if (!lines.empty()) {
    applied_midi.midi_in_port = midi_in_port;
    applied_midi.midi_in2_port = midi_in2_port;
    applied_midi.midi_in3_port = midi_in3_port;
    applied_midi.thru_port = thru_port.load();
  }
  hide_status_lines(false);
  watching = false;
}

void install_device_watch() { set_wait_pass(watch_behind_other_screen); }
