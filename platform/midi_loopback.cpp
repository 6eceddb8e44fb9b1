// SPDX-License-Identifier: GPL-3.0-or-later
// MIDI back end of in-process devices for tests: inputs that deliver queued
// bytes on a thread of their own, outputs that log what they send, and a
// wire from an output back into an input. Implements the MidiBackendTable of
// midi_backend.h and the scripting of midi_loopback.h.
#include "platform/midi_loopback.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "core/text_number.h"
#include "platform/midi_backend.h"
#include "platform/midi_io.h"

namespace {

constexpr int kMaxLoopDevices = 32;
// Output log: enough for every test, bounded for a flood.
constexpr size_t kMaxLoggedMessages = 1 << 20;

struct LoopInput {
  std::string name;
  bool exists = false;
  bool unplugged = false;
  bool refuse_start = false;
  int in_delivery = 0;  // packets taken but not yet handed over
};
struct LoopOutput {
  std::string name;
  bool exists = false;
  bool unplugged = false;
  int wire_to = -1;
  bool is_open = false;
  std::vector<uint32_t> sent;
};
std::mutex loop_mutex;  // every field of the loopback tables and of the slot tables below
std::condition_variable loop_changed;
LoopInput loop_inputs[kMaxLoopDevices];
LoopOutput loop_outputs[kMaxLoopDevices];
int loop_input_count = 0;
int loop_output_count = 0;
std::atomic<unsigned> loop_changes{0};  // devices added, unplugged or plugged back

// Per open slot: the device it has open (-1 none), the packets waiting for
// its delivery and, for a started input, its delivery thread. As on a real
// system, a device may be open in several slots, and each gets every packet.
int input_device[kMaxOpenInputs] = {-1, -1, -1, -1, -1, -1, -1, -1};
std::deque<std::vector<uint8_t>> slot_queue[kMaxOpenInputs];
int output_device[kMaxOpenOutputs] = {-1, -1, -1, -1, -1, -1, -1, -1};
std::thread delivery[kMaxOpenInputs];
std::atomic<int> stop_request[kMaxOpenInputs];
std::atomic<int> timed_delivery{0};
std::atomic<uint32_t> timed_frame{0};

std::string trim(const std::string& text) { return trim_blanks(text, " \t\r\n"); }

// Delivery thread of one started input: hands queued packets to the layer,
// one packet at a time, until stopped.
void loop_delivery(int slot) {
  std::vector<uint8_t> packet;
  for (;;) {
    int device;
    {
      std::unique_lock<std::mutex> lock(loop_mutex);
      device = input_device[slot];
      std::deque<std::vector<uint8_t>>& queue = slot_queue[slot];
      loop_changed.wait(lock, [&] { return stop_request[slot].load() || !queue.empty(); });
      if (stop_request[slot].load()) return;
      packet.swap(queue.front());
      queue.pop_front();
      loop_inputs[device].in_delivery++;
    }
    if (timed_delivery.load()) {
      const MidiFrameTime time{timed_frame.fetch_add(64), 256, 44100};
      midi_io_receive(slot, packet.data(), packet.size(), &time);
      midi_io_receive(slot, nullptr, 0, &time);  // the cycle's end
    } else {
      midi_io_receive(slot, packet.data(), packet.size(), nullptr);
    }
    {
      std::lock_guard<std::mutex> lock(loop_mutex);
      loop_inputs[device].in_delivery--;
    }
    loop_changed.notify_all();
  }
}

// Queues a packet for every slot that has input `device` open; with none,
// the packet is lost. Caller holds loop_mutex.
void queue_for_slots(int device, const uint8_t* bytes, size_t count) {
  for (int slot = 0; slot < kMaxOpenInputs; slot++)
    if (input_device[slot] == device) slot_queue[slot].emplace_back(bytes, bytes + count);
}

void loop_record_output(int device, uint32_t message) {
  // Caller holds loop_mutex.
  LoopOutput* out = &loop_outputs[device];
  if (out->sent.size() < kMaxLoggedMessages) out->sent.push_back(message);
  int target = out->wire_to;
  if (target >= 0 && target < loop_input_count && !loop_inputs[target].unplugged) {
    uint8_t bytes[3] = {(uint8_t)(message & 0xFF), (uint8_t)((message >> 8) & 0xFF),
                        (uint8_t)((message >> 16) & 0xFF)};
    queue_for_slots(target, bytes, (size_t)(1 + midi_data_length(bytes[0])));
  }
}

int loop_in_count() {
  std::lock_guard<std::mutex> lock(loop_mutex);
  return loop_input_count;
}

int loop_out_count() {
  std::lock_guard<std::mutex> lock(loop_mutex);
  return loop_output_count;
}

// An unplugged device keeps its number but is not listed by name.
int loop_in_name(int device, std::string* name) {
  std::lock_guard<std::mutex> lock(loop_mutex);
  if (device >= loop_input_count || loop_inputs[device].unplugged) return 0;
  *name = trim(loop_inputs[device].name);
  return 1;
}

int loop_out_name(int device, std::string* name) {
  std::lock_guard<std::mutex> lock(loop_mutex);
  if (device >= loop_output_count || loop_outputs[device].unplugged) return 0;
  *name = trim(loop_outputs[device].name);
  return 1;
}

int loop_in_open(int slot, int device, const char* virtual_client, const char* virtual_port) {
  if (virtual_client) device = midi_loop_add_input(virtual_port ? virtual_port : "virtual");
  if (device < 0) return 0;
  std::lock_guard<std::mutex> lock(loop_mutex);
  if (device >= loop_input_count || loop_inputs[device].unplugged) return 0;
  slot_queue[slot].clear();  // bytes sent to a closed port are lost
  input_device[slot] = device;
  return 1;
}

int loop_in_start(int slot) {
  {
    std::lock_guard<std::mutex> lock(loop_mutex);
    int device = input_device[slot];
    if (loop_inputs[device].unplugged || loop_inputs[device].refuse_start) return 0;
  }
  stop_request[slot].store(0);
  delivery[slot] = std::thread(loop_delivery, slot);
  return 1;
}

void loop_in_stop(int slot) {
  if (!delivery[slot].joinable()) return;
  {
    std::lock_guard<std::mutex> lock(loop_mutex);
    stop_request[slot].store(1);
  }
  loop_changed.notify_all();
  delivery[slot].join();
  stop_request[slot].store(0);
}

void loop_in_close(int slot) {
  {
    std::lock_guard<std::mutex> lock(loop_mutex);
    slot_queue[slot].clear();
    input_device[slot] = -1;
  }
  loop_changed.notify_all();
}

int loop_out_open(int slot, int device) {
  std::lock_guard<std::mutex> lock(loop_mutex);
  if (device >= loop_output_count || loop_outputs[device].unplugged || loop_outputs[device].is_open) return 0;
  loop_outputs[device].is_open = true;
  output_device[slot] = device;
  return 1;
}

int loop_out_open_virtual(int slot, const char*, const char* port_name, int* device) {
  int d = midi_loop_add_output(port_name ? port_name : "virtual");
  if (d < 0) return 0;
  std::lock_guard<std::mutex> lock(loop_mutex);
  loop_outputs[d].is_open = true;
  output_device[slot] = d;
  *device = d;
  return 1;
}

int loop_out_send(int, int device, const uint8_t* bytes, size_t count, const uint32_t*) {
  // Parse so the wire and the log see the same messages a port would carry.
  struct Sink {
    int device;
  } sink{device};
  {
    std::lock_guard<std::mutex> loop_lock(loop_mutex);
    if (loop_outputs[device].unplugged) return 0;
    MidiParser parser;
    midi_parser_reset(&parser);
    midi_parser_feed(&parser, bytes, count,
                     [](uint32_t packed, void* user) {
                       loop_record_output(static_cast<Sink*>(user)->device, packed);
                     },
                     &sink);
  }
  loop_changed.notify_all();
  return 1;
}

void loop_out_close(int slot, int device) {
  std::lock_guard<std::mutex> lock(loop_mutex);
  if (device >= 0 && device < kMaxLoopDevices) loop_outputs[device].is_open = false;
  output_device[slot] = -1;
}

int loop_in_alive(int slot) {
  std::lock_guard<std::mutex> lock(loop_mutex);
  int device = input_device[slot];
  return device >= 0 && !loop_inputs[device].unplugged;
}

int loop_out_alive(int slot) {
  std::lock_guard<std::mutex> lock(loop_mutex);
  int device = output_device[slot];
  return device >= 0 && !loop_outputs[device].unplugged;
}

unsigned loop_changes_seen() { return loop_changes.load(); }

void loop_scan(int* inputs, int* outputs) {
  std::lock_guard<std::mutex> lock(loop_mutex);
  *inputs = loop_input_count;
  *outputs = loop_output_count;
}

void set_unplugged(bool input, int device, bool unplugged) {
  {
    std::lock_guard<std::mutex> lock(loop_mutex);
    if (input && device >= 0 && device < loop_input_count) {
      loop_inputs[device].unplugged = unplugged;
      for (int slot = 0; slot < kMaxOpenInputs; slot++)
        if (input_device[slot] == device) slot_queue[slot].clear();
    } else if (!input && device >= 0 && device < loop_output_count) {
      loop_outputs[device].unplugged = unplugged;
    }
  }
  loop_changes.fetch_add(1);
  loop_changed.notify_all();
}

}  // namespace

const MidiBackendTable midi_loopback_backend = {
    loop_in_count, loop_out_count, loop_in_name,  loop_out_name,
    loop_in_open,  loop_in_start,  loop_in_stop,  loop_in_close,
    loop_out_open, loop_out_open_virtual, loop_out_send, loop_out_close,
    loop_in_alive, loop_out_alive, loop_changes_seen, loop_scan,
};

// ---- scripting ----

void midi_loop_reset() {
  timed_delivery.store(0);
  for (int i = 0; i < kMaxOpenInputs; i++) {
    bool open;
    {
      std::lock_guard<std::mutex> lock(loop_mutex);
      open = input_device[i] >= 0;
    }
    if (open) midi_in_close(i + 1);
  }
  for (int i = 0; i < kMaxOpenOutputs; i++) {
    bool open;
    {
      std::lock_guard<std::mutex> lock(loop_mutex);
      open = output_device[i] >= 0;
    }
    if (open) midi_out_close(i + 1);
  }
  std::lock_guard<std::mutex> lock(loop_mutex);
  for (int i = 0; i < kMaxLoopDevices; i++) {
    loop_inputs[i] = LoopInput();
    loop_outputs[i] = LoopOutput();
  }
  loop_input_count = 0;
  loop_output_count = 0;
}

int midi_loop_add_input(const char* name) {
  std::lock_guard<std::mutex> lock(loop_mutex);
  if (loop_input_count >= kMaxLoopDevices) return -1;
  LoopInput* device = &loop_inputs[loop_input_count];
  *device = LoopInput();
  device->name = name ? name : "";
  device->exists = true;
  loop_changes.fetch_add(1);
  return loop_input_count++;
}

int midi_loop_add_output(const char* name) {
  std::lock_guard<std::mutex> lock(loop_mutex);
  if (loop_output_count >= kMaxLoopDevices) return -1;
  LoopOutput* device = &loop_outputs[loop_output_count];
  *device = LoopOutput();
  device->name = name ? name : "";
  device->exists = true;
  loop_changes.fetch_add(1);
  return loop_output_count++;
}

void midi_loop_wire(int out_device, int in_device) {
  std::lock_guard<std::mutex> lock(loop_mutex);
  if (out_device < 0 || out_device >= loop_output_count) return;
  loop_outputs[out_device].wire_to = in_device;
}

void midi_loop_send(int device, const uint8_t* bytes, size_t count) {
  if (!bytes || count == 0) return;
  {
    std::lock_guard<std::mutex> lock(loop_mutex);
    if (device < 0 || device >= loop_input_count || loop_inputs[device].unplugged) return;
    queue_for_slots(device, bytes, count);
  }
  loop_changed.notify_all();
}

void midi_loop_send_short(int device, uint32_t packed) {
  uint8_t bytes[3] = {(uint8_t)(packed & 0xFF), (uint8_t)((packed >> 8) & 0xFF),
                      (uint8_t)((packed >> 16) & 0xFF)};
  int data = midi_data_length(bytes[0]);
  midi_loop_send(device, bytes, 1 + (size_t)(data < 0 ? 0 : data));
}

void midi_loop_unplug(int device) { set_unplugged(true, device, true); }
void midi_loop_replug(int device) { set_unplugged(true, device, false); }
void midi_loop_unplug_output(int device) { set_unplugged(false, device, true); }
void midi_loop_replug_output(int device) { set_unplugged(false, device, false); }

void midi_loop_set_timed(int on) { timed_delivery.store(on); }

void midi_loop_refuse_start(int device, int refuse) {
  std::lock_guard<std::mutex> lock(loop_mutex);
  if (device >= 0 && device < loop_input_count) loop_inputs[device].refuse_start = refuse != 0;
}

int midi_loop_flush(double timeout_s) {
  std::unique_lock<std::mutex> lock(loop_mutex);
  auto idle = [] {
    for (int i = 0; i < loop_input_count; i++)
      if (loop_inputs[i].in_delivery > 0) return false;
    // Queued bytes count only while an input is started to deliver them.
    for (int slot = 0; slot < kMaxOpenInputs; slot++)
      if (!slot_queue[slot].empty() && midi_io_input_started(slot)) return false;
    return true;
  };
  return loop_changed.wait_for(lock, std::chrono::duration<double>(timeout_s), idle) ? 1 : 0;
}

int midi_loop_sent_count(int device) {
  std::lock_guard<std::mutex> lock(loop_mutex);
  if (device < 0 || device >= loop_output_count) return 0;
  return (int)loop_outputs[device].sent.size();
}

uint32_t midi_loop_sent(int device, int index) {
  std::lock_guard<std::mutex> lock(loop_mutex);
  if (device < 0 || device >= loop_output_count) return 0;
  if (index < 0 || index >= (int)loop_outputs[device].sent.size()) return 0;
  return loop_outputs[device].sent[index];
}

int midi_loop_output_open(int device) {
  std::lock_guard<std::mutex> lock(loop_mutex);
  if (device < 0 || device >= loop_output_count) return 0;
  return loop_outputs[device].is_open ? 1 : 0;
}
