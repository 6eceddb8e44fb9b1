// SPDX-License-Identifier: GPL-3.0-or-later
// The main loop's watch over the MIDI ports.
#include "midi/port_watch.h"

#include <algorithm>

#include "core/clock.h"
#include "core/jack_clients.h"
#include "core/settings_values.h"
#include "midi/midi_input.h"
#include "platform/midi_io.h"

namespace {

// The ports are listed about once a second, and soon after a change the back
// end told of; once more a little later, since a server may tell of a change
// before its list shows it (JACK's graph takes it on at a later cycle).
constexpr double kListSeconds = 1.0;
constexpr double kChangeSeconds = 0.05;
constexpr double kSecondLookSeconds = 0.25;
double next_list = 0.0;
bool second_look = false;
unsigned changes_seen = 0;

// The last port lost: its line and its slot (0..2, or -1 for the thru port).
std::string lost_line;
int lost_slot = 0;

std::string input_label(int slot) { return "MIDI input " + std::to_string(slot + 1); }

void lose_input(int slot, std::vector<std::string>* lines) {
  std::string name = open_input_name(slot);
  close_input_releasing(slot);
  lines->push_back(input_label(slot) + " lost: " + name);
  lost_line = lines->back();
  lost_slot = slot;
}

void lose_thru(std::vector<std::string>* lines) {
  std::string name = open_thru_name();
  if (!close_thru_port()) return;  // a loop closed it meanwhile
  lines->push_back("MIDI thru lost: " + name);
  lost_line = lines->back();
  lost_slot = -1;
}

// True when an input other than `slot` has the port of `name` open.
bool open_in_other_slot(int slot, const std::string& name) {
  for (int other = 0; other < kMidiInputs; other++)
    if (other != slot && midi_port_names_match(open_input_name(other), name)) return true;
  return false;
}

void found_input(int slot, int port, std::vector<std::string>* lines) {
  if (reopen_input(slot, port)) lines->push_back(input_label(slot) + " found: " + open_input_name(slot));
}

}  // namespace

std::vector<std::string> watch_midi_ports(double now, bool may_list) {
  std::vector<std::string> lines;
  // A port whose server went away closes at once, before anything opens a
  // client on a server started since.
  for (int slot = 0; slot < kMidiInputs; slot++) {
    int handle = midi_in_handle[slot].load();
    if (handle && !midi_in_alive(handle)) lose_input(slot, &lines);
  }
  int thru = thru_handle.load();
  if (thru && !midi_out_alive(thru)) lose_thru(&lines);
  // Nothing is listed or opened while a client of a JACK server that went
  // away is still open (the audio output's, until its watch closes it), nor
  // while the caller waits for the output's client to list through.
  if (!may_list || !jack_clients_may_open(&qd_jack_clients)) return lines;

  unsigned changes = midi_ports_changes();
  if (changes != changes_seen) {
    changes_seen = changes;
    next_list = std::min(next_list, now + kChangeSeconds);
    second_look = true;
  }
  if (before_deadline(now, next_list)) return lines;
  next_list = now + (second_look ? kSecondLookSeconds : kListSeconds);
  second_look = false;
  rescan_midi_ports();

  for (int slot = 0; slot < kMidiInputs; slot++)
    if (midi_in_handle[slot].load() && !find_input_port(open_input_name(slot))) lose_input(slot, &lines);
  if (thru_handle.load() && !find_output_port(open_thru_name())) lose_thru(&lines);

  // Every remembered name that is listed and not open opens, also in place
  // of a port that the number gave while the named one was absent.
  for (int slot = 0; slot < kMidiInputs; slot++) {
    const std::string& wanted = midi_in_port_name[slot];
    if (wanted.empty() || midi_port_names_match(open_input_name(slot), wanted)) continue;
    int port = find_input_port(wanted);
    if (!port || open_in_other_slot(slot, wanted)) continue;
    if (midi_in_handle[slot].load()) close_input_releasing(slot);
    found_input(slot, port, &lines);
  }
  // The first input to appear opens in slot 0, unless a remembered name
  // has just opened it (or another) in its own slot.
  if (no_input_at_open && midi_input_devices.load() > 0) {
    no_input_at_open = false;
    bool any_open = false;
    for (int slot = 0; slot < kMidiInputs; slot++) any_open = any_open || midi_in_handle[slot].load() != 0;
    if (!any_open) found_input(0, 1, &lines);
  }
  const std::string& thru_wanted = thru_port_name;
  if (!thru_wanted.empty() && !thru_handle.load() && !thru_closed_by_loop()) {
    int port = find_output_port(thru_wanted);
    if (port && reopen_thru(port)) lines.push_back("MIDI thru found: " + open_thru_name());
  }
  return lines;
}

std::string midi_ports_status_line() {
  if (lost_line.empty()) return "";
  bool back = lost_slot < 0 ? thru_handle.load() != 0 : midi_in_handle[lost_slot].load() != 0;
  return back ? "" : lost_line;
}

void reset_midi_port_watch() {
  next_list = 0.0;
  lost_line.clear();
}
