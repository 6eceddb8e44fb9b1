// SPDX-License-Identifier: GPL-3.0-or-later
#include "plugins/jack_output.h"

#include <dlfcn.h>
#include <jack/jack.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "core/bounded_call.h"
#include "core/jack_clients.h"
#include "engine/plug_record.h"

namespace {

constexpr int kMaxChannels = 64;

// Written by the main thread while the client is inactive; read by the
// client's process thread between activation and deactivation.
jack_client_t* client = nullptr;
jack_port_t* ports[kMaxChannels] = {};
int channels = 0;
// The MIDI port our JACK MIDI input clients feed: with that connection the
// server runs them before this client in every cycle (core/jack_clients.h).
// Nothing flows on it; its name lives in order_name while published.
jack_port_t* order_in = nullptr;
std::string order_name;
// The record the process thread fills; null from the close on, so that a
// cycle of a client whose deactivation was given up on fills nothing.
std::atomic<FbsPlugRecord*> record{nullptr};
std::vector<int16_t> block;  // the engine's interleaved block
int block_frames = 0;        // its capacity: the period the client opened with
std::atomic<int64_t>* cycle_clock = nullptr;
JackConnect connect_how;       // where the ports go when the client starts
std::string playback_client;  // the physical device whose playback ports we feed
// The client's server's number in the count of clients (core/jack_clients.h),
// 0 while no client is counted. Main thread.
unsigned generation = 0;
// The server's period, noted by the buffer-size callback; the main thread
// brings the record's frames up to it (jack_output_sync_period).
std::atomic<int> server_period{0};
// The rate the client opened at, and the server's as its sample-rate
// callback last told (PipeWire may move its graph to another rate).
int opened_rate = 0;
std::atomic<int> server_rate{0};

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The program's count of JACK clients, found by name, so that the output's
// client and the MIDI ports' order their opens by one count; a host without
// one leaves the output a count of its own.
JackClients* clients() {
  static JackClients own;
  static JackClients* found = static_cast<JackClients*>(dlsym(RTLD_DEFAULT, "qd_jack_clients"));
  return found ? found : &own;
}

void server_shut_us_down(jack_status_t, const char*, void*) { jack_server_gone(clients(), generation); }

// Every client of the output opens here: only when the count allows, and
// counted.
jack_client_t* open_client(const char* client_name) {
  generation = jack_client_opening(clients());
  if (!generation) return nullptr;
  jack_client_t* opened = jack_client_open(client_name, JackNoStartServer, nullptr);
  if (!opened) {
    jack_client_closed(clients());
    generation = 0;
  }
  return opened;
}

int period_changed(jack_nframes_t frames, void*) {
  server_period.store((int)frames);
  return 0;
}

int rate_changed(jack_nframes_t rate, void*) {
  server_rate.store((int)rate);
  return 0;
}

// The physical playback ports, in the server's order.
std::vector<std::string> playback_ports() {
  std::vector<std::string> names;
  const char** found = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsInput);
  for (const char** p = found; p && *p; p++) names.push_back(*p);
  if (found) jack_free(found);
  return names;
}

// The process thread: the engine fills the period in blocks of at most
// block_frames, each going out as one float buffer per channel.
int process(jack_nframes_t frames, void* arg) {
  jack_client_t* own = static_cast<jack_client_t*>(arg);
  FbsPlugRecord* r = record.load(std::memory_order_acquire);
  if (!r) return 0;
  cycle_clock->store(now_ns(), std::memory_order_relaxed);
  float* out[kMaxChannels];
  for (int c = 0; c < channels; c++) out[c] = static_cast<float*>(jack_port_get_buffer(ports[c], frames));
  for (jack_nframes_t done = 0; done < frames;) {
    const jack_nframes_t n = std::min<jack_nframes_t>(frames - done, (jack_nframes_t)block_frames);
    r->block_bytes = (int32_t)n * r->framesize;
    r->buffer = block.data();
    // The server's frame clock, shared by all its clients: MIDI taken in by
    // another client is placed on it (engine/plug_record.h).
    r->clock_frame = (int32_t)(jack_last_frame_time(own) + done);
    r->fill(r);
    const int16_t* in = block.data();
    for (jack_nframes_t f = done; f < done + n; f++)
      for (int c = 0; c < channels; c++) out[c][f] = *in++ * (1.0f / 32768.0f);
    done += n;
  }
  return 0;
}

// The client part of a full port name.
std::string client_of(const std::string& port) { return port.substr(0, port.find(':')); }

bool needs_playback(const JackConnect& how) { return how.connect && how.targets.empty(); }

}  // namespace

bool jack_output_open(FbsPlugRecord* rec, const char* client_name, const JackConnect& how,
                      std::atomic<int64_t>* last_block, std::string* why) {
  jack_output_close();
  if (rec->channels > kMaxChannels) {
    *why = "too many channels";
    return false;
  }
  client = open_client(client_name);
  if (!client) {
    *why = jack_clients_may_open(clients()) ? "no server runs" : "a client of a server that went away is still open";
    return false;
  }
  const int rate = (int)jack_get_sample_rate(client);
  const int period = (int)jack_get_buffer_size(client);
  std::vector<std::string> playback = playback_ports();
  if (rate < kJackMinRate || rate > kJackMaxRate) {
    *why = "the server runs at " + std::to_string(rate) + " Hz, outside " + std::to_string(kJackMinRate) + ".." +
           std::to_string(kJackMaxRate) + " Hz";
  } else if (period < 1) {
    *why = "the server reports no period";
  } else if (playback.empty() && needs_playback(how)) {
    *why = "the server has no playback ports";
  } else {
    why->clear();
  }
  channels = rec->channels;
  for (int c = 0; c < channels && why->empty(); c++) {
    std::string name = "outport " + std::to_string(c);
    ports[c] = jack_port_register(client, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    if (!ports[c]) *why = "cannot register its ports";
  }
  if (why->empty()) {
    order_in = jack_port_register(client, "midi order", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (!order_in) *why = "cannot register its ports";
  }
  if (why->empty() && (jack_set_process_callback(client, process, client) != 0 ||
                       jack_set_buffer_size_callback(client, period_changed, nullptr) != 0 ||
                       jack_set_sample_rate_callback(client, rate_changed, nullptr) != 0))
    *why = "cannot run a process callback";
  if (!why->empty()) {
    jack_output_close();
    return false;
  }
  jack_on_info_shutdown(client, server_shut_us_down, nullptr);
  clients()->lister.store(client);
  server_period.store(period);
  opened_rate = rate;
  server_rate.store(rate);
  cycle_clock = last_block;
  connect_how = how;
  rec->rate = rate;
  rec->frames = period;
  rec->buffers = 1;  // the server asks for one period at a time
  rec->framesize = 2 * rec->channels;
  rec->buffersize = rec->frames * rec->framesize;
  rec->block_bytes = 0;
  rec->is_signed = 1;
  block_frames = period;
  block.assign((size_t)period * rec->channels, 0);
  record.store(rec, std::memory_order_release);
  playback_client = playback.empty() ? "" : client_of(playback[0]);
  // The device: where the ports go.
  std::string device = !how.connect         ? "unconnected"
                       : how.targets.empty() ? playback_client
                                             : client_of(how.targets[0]);
  std::snprintf(rec->name, sizeof(rec->name), "JACK output");
  std::snprintf(rec->device, sizeof(rec->device), "%s", device.c_str());
  return true;
}

// The order port is offered to the MIDI inputs only while the client runs.
static void publish_order_port(bool on) {
  if (on && order_in) {
    order_name = jack_port_name(order_in);
    clients()->order_port.store(order_name.c_str());
  } else {
    clients()->order_port.store(nullptr);
  }
  clients()->order_published.fetch_add(1);
}

bool jack_output_start(std::string* why) {
  if (!client || jack_activate(client) != 0) {
    *why = "cannot activate";
    return false;
  }
  publish_order_port(true);
  if (!connect_how.connect) return true;
  // Channel c to the c-th target, as far as there are targets: the ones
  // named, else the playback ports of the first physical device.
  std::vector<std::string> targets = connect_how.targets;
  if (targets.empty())
    for (const std::string& port : playback_ports())
      if (client_of(port) == playback_client) targets.push_back(port);
  std::string refused;
  for (size_t c = 0; c < targets.size() && c < (size_t)channels && refused.empty(); c++) {
    if (!jack_port_by_name(client, targets[c].c_str()))
      refused = "no JACK port " + targets[c];
    else if (jack_connect(client, jack_port_name(ports[c]), targets[c].c_str()) != 0)
      refused = "cannot connect to " + targets[c];
  }
  if (refused.empty()) return true;
  // A port the user named that is not there (or refuses) is reported, and
  // the output plays on unconnected for a patchbay to connect.
  for (int c = 0; c < channels; c++) jack_port_disconnect(client, ports[c]);
  std::fprintf(stderr, "%s: %s; the output's ports stay unconnected\n", jack_get_client_name(client),
               refused.c_str());
  return true;
}

// A deactivation or close that has not returned within kCloseWaitSeconds
// (its server went away at that moment) is abandoned: the client is
// forgotten and the program goes on; its cycles fill nothing from then on.
// A client whose deactivation was abandoned is closed, and counted closed,
// by the deactivation's own thread once the deactivation returns (never by
// the main thread too: libjack would then work on it from two threads).
void jack_output_stop() {
  jack_client_t* c = client;
  if (!c) return;
  publish_order_port(false);
  // 1: the deactivation returned; 2: the main thread gave up on it. Whoever
  // comes second knows what the other did.
  auto outcome = std::make_shared<std::atomic<int>>(0);
  auto* count = clients();
  bool back = run_at_most(kCloseWaitSeconds, [c, count, outcome] {
    jack_deactivate(c);
    if (outcome->exchange(1) == 2) {
      jack_client_close(c);
      jack_client_closed(count);
    }
  });
  if (back || outcome->exchange(2) == 1) return;
  if (clients()->lister.load() == c) clients()->lister.store(nullptr);
  record.store(nullptr, std::memory_order_release);
  client = nullptr;
  generation = 0;
  channels = 0;
}

void jack_output_close() {
  if (client) {
    if (clients()->order_port.load()) publish_order_port(false);
    order_in = nullptr;
    if (clients()->lister.load() == client) clients()->lister.store(nullptr);
    // Joins the client's threads; counted closed only once that returned.
    jack_client_t* c = client;
    auto* count = clients();
    run_at_most(kCloseWaitSeconds, [c, count] {
      jack_client_close(c);
      jack_client_closed(count);
    });
  }
  record.store(nullptr, std::memory_order_release);
  client = nullptr;
  generation = 0;
  channels = 0;
}

bool jack_output_offered(const char* client_name, const JackConnect& how) {
  if (client) return true;
  client = open_client(client_name);
  if (!client) return false;
  bool offered = !needs_playback(how) || !playback_ports().empty();
  jack_output_close();
  return offered;
}

bool jack_output_is_open() { return client != nullptr; }

bool jack_output_gone() { return client != nullptr && !jack_client_alive(clients(), generation); }

bool jack_output_rate_changed() { return client != nullptr && server_rate.load() != opened_rate; }

void jack_output_sync_period() {
  const int period = server_period.load();
  FbsPlugRecord* r = record.load();
  if (r && period > 0) r->frames = period;
}
