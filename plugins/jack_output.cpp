// SPDX-License-Identifier: GPL-3.0-or-later
#include "plugins/jack_output.h"

#include <jack/jack.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/plug_record.h"

namespace {

constexpr int kMaxChannels = 64;

// Written by the main thread while the client is inactive; read by the
// client's process thread between activation and deactivation.
jack_client_t* client = nullptr;
jack_port_t* ports[kMaxChannels] = {};
int channels = 0;
FbsPlugRecord* record = nullptr;
std::vector<int16_t> block;  // the engine's interleaved block, one period
std::atomic<int64_t>* cycle_clock = nullptr;
std::string playback_client;  // the client whose playback ports we feed
// Set on the client's notification thread when the server shuts it down.
std::atomic<bool> gone{false};

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void server_shut_us_down(jack_status_t, const char*, void*) { gone.store(true); }

// The physical playback ports, in the server's order.
std::vector<std::string> playback_ports() {
  std::vector<std::string> names;
  const char** found = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsInput);
  for (const char** p = found; p && *p; p++) names.push_back(*p);
  if (found) jack_free(found);
  return names;
}

// The process thread: the engine fills one period, which goes out as one
// float buffer per channel. A period the engine did not size (the server's
// block size changed) plays silence.
int process(jack_nframes_t frames, void*) {
  cycle_clock->store(now_ns(), std::memory_order_relaxed);
  float* out[kMaxChannels];
  for (int c = 0; c < channels; c++) out[c] = static_cast<float*>(jack_port_get_buffer(ports[c], frames));
  FbsPlugRecord* r = record;
  if ((int64_t)frames * r->framesize != r->buffersize || !r->fill) {
    for (int c = 0; c < channels; c++) std::memset(out[c], 0, frames * sizeof(float));
    return 0;
  }
  r->buffer = block.data();
  r->fill(r);
  const int16_t* in = block.data();
  for (jack_nframes_t f = 0; f < frames; f++)
    for (int c = 0; c < channels; c++) out[c][f] = *in++ * (1.0f / 32768.0f);
  return 0;
}

}  // namespace

bool jack_output_open(FbsPlugRecord* rec, const char* client_name, std::atomic<int64_t>* last_block,
                      std::string* why) {
  jack_output_close();
  if (rec->channels > kMaxChannels) {
    *why = "too many channels";
    return false;
  }
  client = jack_client_open(client_name, JackNoStartServer, nullptr);
  if (!client) {
    *why = "no server runs";
    return false;
  }
  std::vector<std::string> playback = playback_ports();
  if (playback.empty()) {
    *why = "the server has no playback ports";
  } else if ((int)jack_get_sample_rate(client) != rec->rate) {
    *why = "the server runs at another rate";
  } else {
    why->clear();
  }
  channels = rec->channels;
  for (int c = 0; c < channels && why->empty(); c++) {
    std::string name = "outport " + std::to_string(c);
    ports[c] = jack_port_register(client, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    if (!ports[c]) *why = "cannot register its ports";
  }
  if (why->empty() && (jack_set_process_callback(client, process, nullptr) != 0)) *why = "cannot run a process callback";
  if (!why->empty()) {
    jack_output_close();
    return false;
  }
  jack_on_info_shutdown(client, server_shut_us_down, nullptr);
  gone.store(false);
  cycle_clock = last_block;
  record = rec;
  rec->frames = (int32_t)jack_get_buffer_size(client);
  rec->buffers = 1;  // the server asks for one period at a time
  rec->framesize = 2 * rec->channels;
  rec->buffersize = rec->frames * rec->framesize;
  rec->is_signed = 1;
  block.assign((size_t)rec->frames * rec->channels, 0);
  playback_client = playback[0].substr(0, playback[0].find(':'));
  std::snprintf(rec->name, sizeof(rec->name), "JACK output");
  std::snprintf(rec->device, sizeof(rec->device), "%s", playback_client.c_str());
  return true;
}

bool jack_output_start(std::string* why) {
  if (!client || jack_activate(client) != 0) {
    *why = "cannot activate";
    return false;
  }
  // Channel c to the c-th playback port of the device, as far as it has ports.
  std::vector<std::string> playback = playback_ports();
  size_t c = 0;
  for (const std::string& target : playback) {
    if (c == (size_t)channels) break;
    if (target.compare(0, playback_client.size() + 1, playback_client + ":") != 0) continue;
    if (jack_connect(client, jack_port_name(ports[c]), target.c_str()) != 0) {
      *why = "cannot connect to " + target;
      jack_deactivate(client);
      return false;
    }
    c++;
  }
  return true;
}

void jack_output_stop() {
  if (client) jack_deactivate(client);
}

void jack_output_close() {
  if (client) jack_client_close(client);  // joins the client's threads
  client = nullptr;
  channels = 0;
  record = nullptr;
}

bool jack_output_offered(const char* client_name) {
  if (client) return true;
  client = jack_client_open(client_name, JackNoStartServer, nullptr);
  if (!client) return false;
  bool offered = !playback_ports().empty();
  jack_output_close();
  return offered;
}

bool jack_output_is_open() { return client != nullptr; }

bool jack_output_gone() { return gone.load(); }
