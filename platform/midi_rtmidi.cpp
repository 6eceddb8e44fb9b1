// SPDX-License-Identifier: GPL-3.0-or-later
// MIDI back end on the system's ports through RtMidi: the ALSA sequencer when
// the machine has one, else JACK. Implements the MidiBackendTable of
// midi_backend.h; every RtMidi call of the program is here. On JACK the
// ports are listed by a passive JACK client and opened as jack_midi_ports.h's
// ports, which close without the races of RtMidi's JACK ports. A port's
// client opens with as few other clients of ours about as can be: JACK's
// client library keeps one wake-up table for all clients of a process, fed
// by each client's notifications, and a client that opens while another of
// ours still maps a gone client's entry under its number waits on the wrong
// word and never runs.
#include <jack/jack.h>
#include <rtmidi/RtMidi.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "core/bounded_call.h"
#include "core/jack_clients.h"
#include "core/text_number.h"
#include "platform/midi_backend.h"
#include "platform/jack_midi_ports.h"
#include "platform/midi_io.h"
#include "platform/midi_rtmidi.h"

namespace {

std::mutex api_mutex;
std::string system_api_name;
// What our clients' names begin with; main thread.
std::string client_base = "quillon_darvo";
std::string client_named(const char* role) { return client_base + " " + role; }

// The ports of the open slots; a slot's entry belongs to whoever holds the slot.
// RtMidi's on the ALSA sequencer, jack_midi_ports.h's on JACK.
struct InputPort {
  RtMidiIn* rt = nullptr;
  JackMidiIn* jack = nullptr;
};
InputPort input_ports[kMaxOpenInputs];
std::atomic<int> in_callback[kMaxOpenInputs];  // callbacks running right now
struct OutputPort {
  RtMidiOut* rt = nullptr;
  JackMidiOut* jack = nullptr;
};
OutputPort output_ports[kMaxOpenOutputs];

// Device names keep no surrounding blanks or line ends.
std::string trim(const std::string& text) { return trim_blanks(text, " \t\r\n"); }

void rt_error_quiet(RtMidiError::Type, const std::string&, void*) {}

RtMidi::Api system_api() {
  // ALSA needs the sequencer device; machines without it use JACK.
  RtMidi::Api api = access("/dev/snd/seq", R_OK | W_OK) == 0 ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
  {
    std::lock_guard<std::mutex> lock(api_mutex);
    system_api_name = api == RtMidi::LINUX_ALSA ? "alsa" : "jack";
  }
  return api;
}

bool on_jack() { return system_api() == RtMidi::UNIX_JACK; }

RtMidiIn* make_rt_in(const std::string& client = client_named("in")) {
  try {
    RtMidiIn* in = new RtMidiIn(system_api(), client, 100);
    in->setErrorCallback(rt_error_quiet, nullptr);
    return in;
  } catch (...) {
    return nullptr;
  }
}

RtMidiOut* make_rt_out(const std::string& client) {
  try {
    RtMidiOut* out = new RtMidiOut(system_api(), client);
    out->setErrorCallback(rt_error_quiet, nullptr);
    return out;
  } catch (...) {
    return nullptr;
  }
}

// Every message of an input, on the input's own thread; on JACK with its
// place on the server's clock.
void input_received(int slot, const uint8_t* bytes, size_t count, const MidiFrameTime* time) {
  // Counted before `started` is read, so that a stop which clears `started`
  // and then sees no callback running knows none will reach the handler.
  in_callback[slot].fetch_add(1);
  if (midi_io_input_started(slot)) midi_io_receive(slot, bytes, count, time);
  in_callback[slot].fetch_sub(1);
}

void rt_input_callback(double, std::vector<unsigned char>* message, void* user) {
  if (message) input_received((int)(intptr_t)user, message->data(), message->size(), nullptr);
}

void jack_input_callback(const uint8_t* bytes, size_t count, const MidiFrameTime& time, void* user) {
  input_received((int)(intptr_t)user, bytes, count, &time);
}

// The system's port list is read once per count (one client for the whole
// scan); names are answered from that scan, like a driver's device table.
std::mutex scan_mutex;
std::vector<std::string> scanned_inputs;
std::vector<std::string> scanned_outputs;

template <typename Port>
void rt_port_names(Port* port, std::vector<std::string>* names) {
  if (!port) return;
  unsigned n = port->getPortCount();
  for (unsigned d = 0; d < n; d++) names->push_back(port->getPortName(d));
  delete port;
}

unsigned long jack_flags(bool for_inputs) { return for_inputs ? JackPortIsOutput : JackPortIsInput; }

// An open input's port on JACK whose server still runs, or null. Inputs are
// opened and closed on the main thread only, which also lists.
JackMidiIn* live_jack_input() {
  for (InputPort& in : input_ports)
    if (in.jack && jack_midi_in_alive(in.jack)) return in.jack;
  return nullptr;
}

// The server's MIDI ports for one or both directions, asked through `client`.
void names_through(jack_client_t* client, std::vector<std::string>* inputs, std::vector<std::string>* outputs) {
  for (bool for_inputs : {true, false}) {
    std::vector<std::string>* names = for_inputs ? inputs : outputs;
    if (!names) continue;
    const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, jack_flags(for_inputs));
    for (const char** p = ports; p && *p; p++)
      if (!jack_midi_is_order_port(*p)) names->push_back(*p);
    if (ports) jack_free(ports);
  }
}

// The system's MIDI ports that our inputs (or outputs) can connect to, in
// device order, for one or both directions. On JACK a client of ours that
// is open anyway asks the server (the program lists about once a second
// while it runs): an open input's, else the audio output's. Without one, a
// client that never activates lists them: it joins no graph, so closing it
// waits for no cycle and stops no thread mid-cycle. Like every client of
// ours it opens only when core/jack_clients.h allows. Such short-lived
// clients are best avoided: in a process with several JACK clients (a test
// rig, a patchbay), JACK's client library keeps the wake-up word of a
// client it learnt of while one of its own opened; the next client of that
// process given the same number after ours closed never runs, and the
// server's graph, waiting for it, holds up every request to the server.
void list_ports(std::vector<std::string>* inputs, std::vector<std::string>* outputs) {
  if (!on_jack()) {
    if (inputs) rt_port_names(make_rt_in(), inputs);
    if (outputs) rt_port_names(make_rt_out(client_named("out")), outputs);
    return;
  }
  if (JackMidiIn* in = live_jack_input()) {
    if (inputs) *inputs = jack_midi_port_names(in, jack_flags(true));
    if (outputs) *outputs = jack_midi_port_names(in, jack_flags(false));
    return;
  }
  if (void* output = jack_clients_lister(&qd_jack_clients)) {
    names_through(static_cast<jack_client_t*>(output), inputs, outputs);
    return;
  }
  if (!jack_client_opening(&qd_jack_clients)) return;
  jack_client_t* client = jack_client_open(client_named("list").c_str(), JackNoStartServer, nullptr);
  if (!client) {
    jack_client_closed(&qd_jack_clients);
    return;
  }
  names_through(client, inputs, outputs);
  // Counted closed only once the close returned (core/jack_clients.h).
  run_at_most(kCloseWaitSeconds, [client] {
    jack_client_close(client);
    jack_client_closed(&qd_jack_clients);
  });
}

std::vector<std::string> list_ports(bool for_inputs) {
  std::vector<std::string> names;
  list_ports(for_inputs ? &names : nullptr, for_inputs ? nullptr : &names);
  return names;
}

void keep_trimmed(std::vector<std::string>* names) {
  for (std::string& name : *names) name = trim(name);
}

int scan_ports(bool for_inputs, std::vector<std::string>* names) {
  *names = list_ports(for_inputs);
  keep_trimmed(names);
  return (int)names->size();
}

void rt_scan(int* inputs, int* outputs) {
  std::lock_guard<std::mutex> lock(scan_mutex);
  scanned_inputs.clear();
  scanned_outputs.clear();
  list_ports(&scanned_inputs, &scanned_outputs);
  keep_trimmed(&scanned_inputs);
  keep_trimmed(&scanned_outputs);
  *inputs = (int)scanned_inputs.size();
  *outputs = (int)scanned_outputs.size();
}

int rt_in_count() {
  std::lock_guard<std::mutex> lock(scan_mutex);
  return scan_ports(true, &scanned_inputs);
}

int rt_out_count() {
  std::lock_guard<std::mutex> lock(scan_mutex);
  return scan_ports(false, &scanned_outputs);
}

int rt_in_name(int device, std::string* name) {
  std::lock_guard<std::mutex> lock(scan_mutex);
  if (device >= (int)scanned_inputs.size()) scan_ports(true, &scanned_inputs);
  if (device >= (int)scanned_inputs.size() || scanned_inputs[device].empty()) return 0;
  *name = scanned_inputs[device];
  return 1;
}

int rt_out_name(int device, std::string* name) {
  std::lock_guard<std::mutex> lock(scan_mutex);
  if (device >= (int)scanned_outputs.size()) scan_ports(false, &scanned_outputs);
  if (device >= (int)scanned_outputs.size() || scanned_outputs[device].empty()) return 0;
  *name = scanned_outputs[device];
  return 1;
}

// Port `device` of list_ports, or "".
std::string port_name(bool for_inputs, int device) {
  std::vector<std::string> names = list_ports(for_inputs);
  return device < (int)names.size() ? names[device] : "";
}

int rt_in_open(int slot, int device, const char* virtual_client, const char* virtual_port) {
  input_ports[slot] = InputPort{};
  void* user = (void*)(intptr_t)slot;
  if (on_jack()) {
    const char* port = virtual_port ? virtual_port : "in";
    if (virtual_client) {
      input_ports[slot].jack = jack_midi_in_open(virtual_client, port, nullptr, jack_input_callback, user);
      return input_ports[slot].jack ? 1 : 0;
    }
    std::string source = port_name(true, device);
    if (source.empty()) return 0;
    input_ports[slot].jack = jack_midi_in_open(client_named("in").c_str(), port, source.c_str(), jack_input_callback, user);
    return input_ports[slot].jack ? 1 : 0;
  }
  RtMidiIn* in = virtual_client ? make_rt_in(virtual_client) : make_rt_in();
  bool ok = false;
  if (in && virtual_client) {
    in->ignoreTypes(true, false, false);
    in->setCallback(rt_input_callback, user);
    in->openVirtualPort(virtual_port ? virtual_port : "in");
    ok = true;
  } else if (in && device < (int)in->getPortCount()) {
    in->ignoreTypes(true, false, false);  // system exclusive never reaches the handler
    in->setCallback(rt_input_callback, user);
    in->openPort(device, "in");
    ok = in->isPortOpen();
  }
  if (!ok) {
    delete in;
    return 0;
  }
  input_ports[slot].rt = in;
  return 1;
}

int rt_in_start(int) { return 1; }

void rt_in_stop(int slot) {
  while (in_callback[slot].load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Called stopped: no message reaches the handler any more.
void rt_in_close(int slot) {
  InputPort in = input_ports[slot];
  input_ports[slot] = InputPort{};
  jack_midi_in_close(in.jack);
  // The callback stays set: a message on its way meets a stopped slot, while
  // cancelling it would race the client's thread reading it. Deleting the
  // port closes it.
  delete in.rt;
}

int rt_out_open(int slot, int device) {
  output_ports[slot] = OutputPort{};
  if (on_jack()) {
    std::string target = port_name(false, device);
    if (target.empty()) return 0;
    output_ports[slot].jack = jack_midi_out_open(client_named("thru").c_str(), "thru", target.c_str());
    return output_ports[slot].jack ? 1 : 0;
  }
  RtMidiOut* rt = make_rt_out(client_named("thru"));
  if (rt && device < (int)rt->getPortCount()) rt->openPort(device, "thru");
  if (!rt || !rt->isPortOpen()) {
    delete rt;
    return 0;
  }
  output_ports[slot].rt = rt;
  return 1;
}

int rt_out_open_virtual(int slot, const char* client_name, const char* port_name, int* device) {
  output_ports[slot] = OutputPort{};
  const char* client = client_name ? client_name : "quillon_darvo";
  const char* port = port_name ? port_name : "out";
  if (on_jack()) {
    output_ports[slot].jack = jack_midi_out_open(client, port, nullptr);
    if (!output_ports[slot].jack) return 0;
  } else {
    RtMidiOut* rt = make_rt_out(client);
    if (!rt) return 0;
    // A virtual port counts as open once made (RtMidi reports it as not
    // connected); errors arrive through the quiet error callback.
    rt->openVirtualPort(port);
    output_ports[slot].rt = rt;
  }
  *device = 0;
  return 1;
}

int rt_out_send(int slot, int, const uint8_t* bytes, size_t count, const uint32_t* frame) {
  OutputPort& out = output_ports[slot];
  if (out.jack) return jack_midi_out_send(out.jack, bytes, count, frame) ? 1 : 0;
  if (!out.rt) return 0;
  try {
    out.rt->sendMessage(bytes, count);
  } catch (...) {
    return 0;
  }
  return 1;
}

void rt_out_close(int slot, int) {
  OutputPort out = output_ports[slot];
  output_ports[slot] = OutputPort{};
  jack_midi_out_close(out.jack);
  delete out.rt;
}

// RtMidi's ALSA ports tell nothing of a device that went: they count as
// alive, and the listing finds them gone.
int rt_in_alive(int slot) {
  const InputPort& in = input_ports[slot];
  if (in.jack) jack_midi_in_keep_order(in.jack);
  return in.jack ? jack_midi_in_alive(in.jack) : in.rt != nullptr;
}

int rt_out_alive(int slot) {
  const OutputPort& out = output_ports[slot];
  return out.jack ? jack_midi_out_alive(out.jack) : out.rt != nullptr;
}

unsigned rt_changes() { return jack_midi_changes(); }

const MidiBackendTable kRtMidiBackend = {
    rt_in_count, rt_out_count, rt_in_name,  rt_out_name,
    rt_in_open,  rt_in_start,  rt_in_stop,  rt_in_close,
    rt_out_open, rt_out_open_virtual, rt_out_send, rt_out_close,
    rt_in_alive, rt_out_alive, rt_changes, rt_scan,
};

}  // namespace

void midi_io_set_client_name(const std::string& name) { client_base = name; }
void midi_install_system_ports() { midi_io_install_system_backend(&kRtMidiBackend); }

std::string midi_io_system_api() {
  std::lock_guard<std::mutex> lock(api_mutex);
  return system_api_name;
}
