// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/jack_midi_ports.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "core/bounded_call.h"
#include "core/jack_clients.h"

// A client with its one port; what both directions share. `generation`:
// its server's number in the process's count of clients (core/jack_clients.h),
// 0 while it is not counted.
struct JackMidiPort {
  jack_client_t* client = nullptr;
  jack_port_t* port = nullptr;
  unsigned generation = 0;
  // An input's port connected to the audio output's client and to our MIDI
  // outputs' (an output's own, which our inputs connect to), whether such a
  // connection holds (its notification thread), and the audio output's
  // publication last connected to (main thread).
  jack_port_t* order = nullptr;
  std::atomic<bool> ordered{false};
  unsigned order_seen = 0;
};

struct JackMidiOut : JackMidiPort {
  // Messages, each a QueuedHeader and its bytes.
  jack_ringbuffer_t* queue = nullptr;
};

struct QueuedHeader {
  uint32_t length;
  uint32_t timed;  // 1 when `frame` places the message
  uint32_t frame;
};

struct JackMidiIn : JackMidiPort {
  JackMidiReceive receive = nullptr;
  void* user = nullptr;
};

namespace {

constexpr size_t kQueueBytes = 16384;

// The open clients of each direction, main thread: every input's order port
// goes to every output's, so that the server runs our inputs before our
// outputs and a message passed on in its own cycle goes out in it.
std::vector<JackMidiPort*> open_inputs, open_outputs;

bool port_alive(const JackMidiPort* p) { return p && jack_client_alive(&qd_jack_clients, p->generation); }

void order_before(JackMidiPort* in, JackMidiPort* out) {
  if (in->order && out->order && port_alive(in) && port_alive(out))
    jack_connect(in->client, jack_port_name(in->order), jack_port_name(out->order));
}

void forget(std::vector<JackMidiPort*>* list, JackMidiPort* p) {
  list->erase(std::remove(list->begin(), list->end(), p), list->end());
}

// JACK adds a new connection to the graph it runs at the start of a later
// cycle, after jack_connect has returned: a message sent in between goes out
// on a port that is not connected yet and is lost (the thru port's first
// message is the loop probe). A port that connects counts as open once its
// connection runs, waited for at most this long.
constexpr double kConnectWaitSeconds = 1.0;

std::atomic<unsigned> changes{0};

// Notifications, on the client's notification thread: a count, and the
// server's end in the count of clients.
void port_registered(jack_port_id_t, int, void*) { changes.fetch_add(1); }
void ports_connected(jack_port_id_t, jack_port_id_t, int, void* arg) {
  JackMidiPort* p = static_cast<JackMidiPort*>(arg);
  if (p->order) p->ordered.store(jack_port_connected(p->order) > 0);
  changes.fetch_add(1);
}
void server_gone(void* arg) {
  jack_server_gone(&qd_jack_clients, static_cast<JackMidiPort*>(arg)->generation);
  changes.fetch_add(1);
}


void close_client(JackMidiPort* p) {
  if (p->client) jack_client_close(p->client);
  if (p->generation) jack_client_closed(&qd_jack_clients);
}

// Opens the client and its port, runs `process` (given `arg`) on its cycles
// and, when `other` is set, connects the port with that JACK port (in the
// direction `flags` gives) and waits until the graph the server runs holds
// the connection. False when any step fails; the caller closes what opened.
// Opens nothing while a client of a server that went away is still open.
bool open_port(JackMidiPort* p, const char* client_name, const char* port_name, unsigned long flags,
               JackProcessCallback process, void* arg, const char* other) {
  p->generation = jack_client_opening(&qd_jack_clients);
  if (!p->generation) return false;
  p->client = jack_client_open(client_name, JackNoStartServer, nullptr);
  if (!p->client) return false;
  p->port = jack_port_register(p->client, port_name, JACK_DEFAULT_MIDI_TYPE, flags, 0);
  if (!p->port || jack_set_process_callback(p->client, process, arg) != 0) return false;
  const bool input = flags & JackPortIsInput;
  p->order = jack_port_register(p->client, kOrderPort, JACK_DEFAULT_MIDI_TYPE, input ? JackPortIsOutput : JackPortIsInput, 0);
  if (!p->order) return false;
  jack_on_shutdown(p->client, server_gone, p);
  jack_set_port_registration_callback(p->client, port_registered, nullptr);
  jack_set_port_connect_callback(p->client, ports_connected, p);
  if (jack_activate(p->client) != 0) return false;
  if (!other) return true;
  const char* ours = jack_port_name(p->port);
  bool output = flags & JackPortIsOutput;
  if (jack_connect(p->client, output ? ours : other, output ? other : ours) != 0) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kConnectWaitSeconds);
  while (jack_port_connected(p->port) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

// The client's process thread: what is queued goes out in this cycle, each
// message at its frame's offset, in order; the first one placed in a later
// cycle waits there with all behind it. A frame of the cycle before (this
// client ran before the input that passed it on) goes out one period after
// it, at its own offset; one further back at the start. No lock and no
// allocation, so stopping the thread anywhere leaves nothing held.
int process_out(jack_nframes_t frames, void* arg) {
  JackMidiOut* out = static_cast<JackMidiOut*>(arg);
  void* buffer = jack_port_get_buffer(out->port, frames);
  if (!buffer) return 0;
  jack_midi_clear_buffer(buffer);
  const jack_nframes_t cycle = jack_last_frame_time(out->client);
  const int32_t most_ahead = (int32_t)jack_get_sample_rate(out->client);
  jack_nframes_t last = 0;  // events of a cycle must not go back in time
  QueuedHeader head;
  while (jack_ringbuffer_peek(out->queue, (char*)&head, sizeof head) == sizeof head &&
         jack_ringbuffer_read_space(out->queue) >= sizeof head + head.length) {
    int32_t offset = head.timed ? (int32_t)(head.frame - cycle) : 0;
    if (offset < 0 && offset >= -(int32_t)frames) offset += (int32_t)frames;
    if (offset < 0 || offset > most_ahead) offset = 0;
    if (offset >= (int32_t)frames) break;
    if ((jack_nframes_t)offset > last) last = (jack_nframes_t)offset;
    jack_ringbuffer_read_advance(out->queue, sizeof head);
    jack_midi_data_t* event = jack_midi_event_reserve(buffer, last, head.length);
    if (event)
      jack_ringbuffer_read(out->queue, (char*)event, head.length);
    else
      jack_ringbuffer_read_advance(out->queue, head.length);
  }
  return 0;
}

int process_in(jack_nframes_t frames, void* arg) {
  JackMidiIn* in = static_cast<JackMidiIn*>(arg);
  void* buffer = jack_port_get_buffer(in->port, frames);
  if (!buffer) return 0;
  uint32_t count = jack_midi_get_event_count(buffer);
  MidiFrameTime time{jack_last_frame_time(in->client), frames, jack_get_sample_rate(in->client)};
  const uint32_t cycle = time.frame;
  time.cycle = cycle;
  time.ordered = in->ordered.load(std::memory_order_relaxed);
  // Nothing flows on the order port; its buffer is cleared as the server asks.
  if (void* order = jack_port_get_buffer(in->order, frames)) jack_midi_clear_buffer(order);
  for (uint32_t i = 0; i < count; i++) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, buffer, i) == 0 && event.size > 0) {
      time.frame = cycle + event.time;
      in->receive(event.buffer, event.size, time, in->user);
    }
  }
  // The cycle's end, with no bytes.
  time.frame = cycle;
  in->receive(nullptr, 0, time, in->user);
  return 0;
}

}  // namespace

JackMidiOut* jack_midi_out_open(const char* client_name, const char* port_name, const char* target) {
  JackMidiOut* out = new JackMidiOut;
  out->queue = jack_ringbuffer_create(kQueueBytes);
  if (!out->queue || !open_port(out, client_name, port_name, JackPortIsOutput, process_out, out, target)) {
    jack_midi_out_close(out);
    return nullptr;
  }
  for (JackMidiPort* in : open_inputs) order_before(in, out);
  open_outputs.push_back(out);
  return out;
}

bool jack_midi_out_send(JackMidiOut* out, const uint8_t* bytes, size_t count, const uint32_t* frame) {
  QueuedHeader head{(uint32_t)count, frame ? 1u : 0u, frame ? *frame : 0u};
  if (!out || count == 0 || jack_ringbuffer_write_space(out->queue) < sizeof head + count) return false;
  jack_ringbuffer_write(out->queue, (const char*)&head, sizeof head);
  jack_ringbuffer_write(out->queue, (const char*)bytes, count);
  return true;
}

// Closing the client joins its threads; only then what they use goes, so a
// close abandoned after kCloseWaitSeconds (its server went away at that
// moment) frees it whenever it returns, on its own thread.
void jack_midi_out_close(JackMidiOut* out) {
  if (!out) return;
  forget(&open_outputs, out);
  run_at_most(kCloseWaitSeconds, [out] {
    close_client(out);
    if (out->queue) jack_ringbuffer_free(out->queue);
    delete out;
  });
}

JackMidiIn* jack_midi_in_open(const char* client_name, const char* port_name, const char* source,
                              JackMidiReceive receive, void* user) {
  JackMidiIn* in = new JackMidiIn;
  in->receive = receive;
  in->user = user;
  if (!open_port(in, client_name, port_name, JackPortIsInput, process_in, in, source)) {
    jack_midi_in_close(in);
    return nullptr;
  }
  jack_midi_in_keep_order(in);
  for (JackMidiPort* out : open_outputs) order_before(in, out);
  open_inputs.push_back(in);
  return in;
}

void jack_midi_in_close(JackMidiIn* in) {
  if (!in) return;
  forget(&open_inputs, in);
  run_at_most(kCloseWaitSeconds, [in] {
    close_client(in);
    delete in;
  });
}

bool jack_midi_in_alive(const JackMidiIn* in) { return port_alive(in); }

void jack_midi_in_keep_order(JackMidiIn* in) {
  if (!port_alive(in) || !in->order) return;
  const unsigned published = qd_jack_clients.order_published.load();
  if (in->order_seen == published) return;
  in->order_seen = published;
  // Another server's output, or none: no such port, and the input keeps
  // the one-period rule.
  const char* target = qd_jack_clients.order_port.load();
  if (target && !jack_port_connected_to(in->order, target))
    jack_connect(in->client, jack_port_name(in->order), target);
}
bool jack_midi_out_alive(const JackMidiOut* out) { return port_alive(out); }

std::vector<std::string> jack_midi_port_names(JackMidiIn* in, unsigned long port_flags) {
  std::vector<std::string> names;
  if (!jack_midi_in_alive(in)) return names;
  const char** ports = jack_get_ports(in->client, nullptr, JACK_DEFAULT_MIDI_TYPE, port_flags);
  for (const char** p = ports; p && *p; p++)
    if (!jack_midi_is_order_port(*p)) names.push_back(*p);
  if (ports) jack_free(ports);
  return names;
}

bool jack_midi_is_order_port(const std::string& name) {
  const size_t colon = name.find(':');
  const std::string port = colon == std::string::npos ? name : name.substr(colon + 1);
  return port == kOrderPort || port == kOutputOrderPort;
}

unsigned jack_midi_changes() { return changes.load(); }
