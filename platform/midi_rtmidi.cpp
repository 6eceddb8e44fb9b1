// MIDI back end on the system's ports through RtMidi: the ALSA sequencer when
// the machine has one, else JACK. Implements the MidiBackendTable of
// midi_backend.h; every RtMidi call of the program is here. On JACK the
// outputs are jack_midi_out.h's: RtMidi's JACK output frees its message queue
// while its client's process thread may still be reading it.
#include <jack/jack.h>
#include <rtmidi/RtMidi.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "core/text_number.h"
#include "platform/midi_backend.h"
#include "platform/jack_midi_out.h"
#include "platform/midi_io.h"

namespace {

std::mutex api_mutex;
std::string system_api_name;

// The ports of the open slots; a slot's entry belongs to whoever holds the slot.
RtMidiIn* input_ports[kMaxOpenInputs];
std::atomic<int> in_callback[kMaxOpenInputs];  // callbacks running right now
struct OutputPort {
  RtMidiOut* rt = nullptr;    // on the ALSA sequencer
  JackMidiOut* jack = nullptr;  // on JACK
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

RtMidiIn* make_rt_in(const char* client = "quillon_darvo in") {
  try {
    RtMidiIn* in = new RtMidiIn(system_api(), client, 100);
    in->setErrorCallback(rt_error_quiet, nullptr);
    return in;
  } catch (...) {
    return nullptr;
  }
}

RtMidiOut* make_rt_out(const char* client) {
  try {
    RtMidiOut* out = new RtMidiOut(system_api(), client);
    out->setErrorCallback(rt_error_quiet, nullptr);
    return out;
  } catch (...) {
    return nullptr;
  }
}

void rt_input_callback(double, std::vector<unsigned char>* message, void* user) {
  int slot = (int)(intptr_t)user;
  // Counted before `started` is read, so that a stop which clears `started`
  // and then sees no callback running knows none will reach the handler.
  in_callback[slot].fetch_add(1);
  if (message && midi_io_input_started(slot)) midi_io_receive(slot, message->data(), message->size());
  in_callback[slot].fetch_sub(1);
}

// The system's port list is read once per count (one client for the whole
// scan); names are answered from that scan, like a driver's device table.
std::mutex scan_mutex;
std::vector<std::string> scanned_inputs;
std::vector<std::string> scanned_outputs;

template <typename Port>
int scan_ports(Port* port, std::vector<std::string>* names) {
  names->clear();
  if (!port) return 0;
  unsigned n = port->getPortCount();
  for (unsigned d = 0; d < n; d++) names->push_back(trim(port->getPortName(d)));
  delete port;
  return (int)n;
}

int rt_in_count() {
  std::lock_guard<std::mutex> lock(scan_mutex);
  return scan_ports(make_rt_in(), &scanned_inputs);
}

int rt_out_count() {
  std::lock_guard<std::mutex> lock(scan_mutex);
  return scan_ports(make_rt_out("quillon_darvo out"), &scanned_outputs);
}

int rt_in_name(int device, std::string* name) {
  std::lock_guard<std::mutex> lock(scan_mutex);
  if (device >= (int)scanned_inputs.size()) scan_ports(make_rt_in(), &scanned_inputs);
  if (device >= (int)scanned_inputs.size() || scanned_inputs[device].empty()) return 0;
  *name = scanned_inputs[device];
  return 1;
}

int rt_out_name(int device, std::string* name) {
  std::lock_guard<std::mutex> lock(scan_mutex);
  if (device >= (int)scanned_outputs.size()) scan_ports(make_rt_out("quillon_darvo out"), &scanned_outputs);
  if (device >= (int)scanned_outputs.size() || scanned_outputs[device].empty()) return 0;
  *name = scanned_outputs[device];
  return 1;
}

// JACK adds a new connection to the graph it runs at the start of a later
// cycle, after jack_connect has returned: a message sent in between goes out
// on a port that is not connected yet and is lost. The thru port's first
// message is the loop probe, so a port that connects to a device counts as
// open only once that connection runs (waited for at most this long).
constexpr double kConnectWaitSeconds = 1.0;

// The connections of JACK port `port` in the graph the server runs now.
std::vector<std::string> jack_connections(jack_client_t* client, const std::string& port) {
  std::vector<std::string> names;
  jack_port_t* p = jack_port_by_name(client, port.c_str());
  const char** list = p ? jack_port_get_all_connections(client, p) : nullptr;
  for (const char** c = list; c && *c; c++) names.push_back(*c);
  if (list) jack_free(list);
  return names;
}

// Runs `open`, which connects a new port of ours to `device_port`; on JACK it
// returns once the graph holds a connection of that port that it did not
// hold before.
template <typename Open>
bool open_connected(const std::string& device_port, Open open) {
  jack_client_t* client = on_jack() ? jack_client_open("quillon_darvo check", JackNoStartServer, nullptr) : nullptr;
  if (!client) return open();
  std::vector<std::string> before = jack_connections(client, device_port);
  bool ok = open();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kConnectWaitSeconds);
  while (ok && std::chrono::steady_clock::now() < deadline) {
    std::vector<std::string> now = jack_connections(client, device_port);
    bool added = std::any_of(now.begin(), now.end(), [&](const std::string& name) {
      return std::find(before.begin(), before.end(), name) == before.end();
    });
    if (added) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  jack_client_close(client);
  return ok;
}

int rt_in_open(int slot, int device, const char* virtual_client, const char* virtual_port) {
  input_ports[slot] = nullptr;
  RtMidiIn* in = virtual_client ? make_rt_in(virtual_client) : make_rt_in();
  bool ok = false;
  void* user = (void*)(intptr_t)slot;
  if (in && virtual_client) {
    in->ignoreTypes(true, false, false);
    in->setCallback(rt_input_callback, user);
    in->openVirtualPort(virtual_port ? virtual_port : "in");
    ok = true;
  } else if (in && device < (int)in->getPortCount()) {
    in->ignoreTypes(true, false, false);  // system exclusive never reaches the handler
    in->setCallback(rt_input_callback, user);
    ok = open_connected(in->getPortName(device), [&] {
      in->openPort(device, "in");
      return in->isPortOpen();
    });
  }
  if (!ok) {
    delete in;
    return 0;
  }
  input_ports[slot] = in;
  return 1;
}

int rt_in_start(int) { return 1; }

void rt_in_stop(int slot) {
  while (in_callback[slot].load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void rt_in_close(int slot) {
  RtMidiIn* in = input_ports[slot];
  input_ports[slot] = nullptr;
  if (!in) return;
  // The callback stays set: a message on its way meets a stopped slot, while
  // cancelling it would race the client's thread reading it. Closing the
  // client waits for that thread, so no call follows.
  in->closePort();
  delete in;
}

int rt_out_open(int slot, int device) {
  output_ports[slot] = OutputPort{};
  RtMidiOut* rt = make_rt_out("quillon_darvo thru");
  std::string target = rt && device < (int)rt->getPortCount() ? rt->getPortName(device) : "";
  bool ok = false;
  if (!target.empty() && on_jack()) {
    delete rt;  // it only listed the ports, under the name the thru client takes
    rt = nullptr;
    ok = open_connected(target, [&] {
      output_ports[slot].jack = jack_midi_out_open("quillon_darvo thru", "thru", target.c_str());
      return output_ports[slot].jack != nullptr;
    });
  } else if (!target.empty()) {
    ok = open_connected(target, [&] {
      rt->openPort(device, "thru");
      return rt->isPortOpen();
    });
  }
  if (rt && !ok) delete rt;
  if (rt && ok) output_ports[slot].rt = rt;
  return ok ? 1 : 0;
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

int rt_out_send(int slot, int, const uint8_t* bytes, size_t count) {
  OutputPort& out = output_ports[slot];
  if (out.jack) return jack_midi_out_send(out.jack, bytes, count) ? 1 : 0;
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
  if (out.rt) {
    out.rt->closePort();
    delete out.rt;
  }
}

}  // namespace

const MidiBackendTable midi_rtmidi_backend = {
    rt_in_count, rt_out_count, rt_in_name,  rt_out_name,
    rt_in_open,  rt_in_start,  rt_in_stop,  rt_in_close,
    rt_out_open, rt_out_open_virtual, rt_out_send, rt_out_close,
};

std::string midi_io_system_api() {
  std::lock_guard<std::mutex> lock(api_mutex);
  return system_api_name;
}
