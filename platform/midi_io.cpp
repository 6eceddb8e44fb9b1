// SPDX-License-Identifier: GPL-3.0-or-later
// MIDI port layer: handles of open ports, the byte stream parser and the
// delivery of messages to the input handlers. The ports themselves are the
// back ends' (midi_backend.h). See midi_io.h for the contract.
#include "platform/midi_io.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <mutex>

#include "platform/midi_backend.h"

namespace {

double seconds_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::atomic<int> backend{MIDI_BACKEND_SYSTEM};

// The system back end before the host's ports are installed: no devices,
// nothing opens.
int no_count() { return 0; }
int no_name(int, std::string*) { return 0; }
int no_in_open(int, int, const char*, const char*) { return 0; }
int no_slot(int) { return 0; }
void no_slot_end(int) {}
int no_out_open(int, int) { return 0; }
int no_out_open_virtual(int, const char*, const char*, int*) { return 0; }
int no_out_send(int, int, const uint8_t*, size_t, const uint32_t*) { return 0; }
void no_out_close(int, int) {}
unsigned no_changes() { return 0; }
void no_scan(int* inputs, int* outputs) { *inputs = *outputs = 0; }
const MidiBackendTable kNoPorts = {
    no_count,    no_count,           no_name,     no_name,
    no_in_open,  no_slot,            no_slot_end, no_slot_end,
    no_out_open, no_out_open_virtual, no_out_send, no_out_close,
    no_slot,     no_slot,            no_changes,  no_scan,
};
// Written once at start by the main thread (midi_io_install_system_backend).
std::atomic<const MidiBackendTable*> system_table{&kNoPorts};

const MidiBackendTable* table_of(int which) {
  return which == MIDI_BACKEND_LOOPBACK ? &midi_loopback_backend : system_table.load();
}
const MidiBackendTable* current_table() { return table_of(backend.load()); }

// ---- open ports ----
struct InputSlot {
  bool used = false;
  const MidiBackendTable* table = nullptr;
  MidiInHandler handler = nullptr;
  uintptr_t instance = 0;
  std::atomic<int> started{0};
  std::atomic<double> start_time{0.0};
  MidiParser parser{};
  // The packet being handed over: its place on the clock, if it has one.
  // Written and read on the slot's delivery thread only.
  bool timed = false;
  MidiFrameTime time{};
};
struct OutputSlot {
  bool used = false;
  const MidiBackendTable* table = nullptr;
  int device = -1;
};
std::mutex slots_mutex;   // used flags and fields of both slot tables
std::mutex output_mutex;  // held while sending or closing an output
InputSlot inputs[kMaxOpenInputs];
OutputSlot outputs[kMaxOpenOutputs];

struct EmitContext {
  InputSlot* slot;
  int handle;
};
void emit_to_handler(uint32_t packed, void* user) {
  EmitContext* context = static_cast<EmitContext*>(user);
  InputSlot* slot = context->slot;
  double ms = (seconds_now() - slot->start_time.load()) * 1000.0;
  slot->handler(context->handle, kMidiShortMessage, slot->instance, packed, ms > 0 ? (uintptr_t)ms : 0);
}

// The open input of a handle, or null.
InputSlot* input_slot(int handle) {
  if (handle < 1 || handle > kMaxOpenInputs) return nullptr;
  std::lock_guard<std::mutex> lock(slots_mutex);
  InputSlot* slot = &inputs[handle - 1];
  return slot->used ? slot : nullptr;
}

void stop_input(InputSlot* slot) {
  slot->started.store(0);
  slot->table->in_stop((int)(slot - inputs));
}

}  // namespace

void midi_io_receive(int slot_index, const uint8_t* bytes, size_t count, const MidiFrameTime* time) {
  if (slot_index < 0 || slot_index >= kMaxOpenInputs) return;
  InputSlot* slot = &inputs[slot_index];
  if (count == 0) {
    // A port's cycle ended; the handler may ask which.
    slot->timed = time != nullptr;
    if (time) slot->time = *time;
    slot->handler(slot_index + 1, kMidiCycleEnd, slot->instance, 0, 0);
    return;
  }
  slot->timed = time != nullptr;
  if (time) slot->time = *time;
  EmitContext context{slot, slot_index + 1};
  midi_parser_feed(&slot->parser, bytes, count, emit_to_handler, &context);
  // One driver event is one message: an unfinished one does not continue
  // into the next event.
  slot->parser.count = 0;
}

int midi_io_input_started(int slot) {
  if (slot < 0 || slot >= kMaxOpenInputs) return 0;
  return inputs[slot].started.load();
}

// ---- byte stream parser ----

int midi_data_length(uint8_t status) {
  if (status < 0x80) return 0;
  if (status < 0xF0) {
    int high = status >> 4;
    return (high == 0xC || high == 0xD) ? 1 : 2;
  }
  switch (status) {
    case 0xF0:
    case 0xF7:
      return -1;
    case 0xF1:
    case 0xF3:
      return 1;
    case 0xF2:
      return 2;
    default:
      return 0;
  }
}

void midi_parser_reset(MidiParser* parser) { *parser = MidiParser{}; }

void midi_parser_feed(MidiParser* parser, const uint8_t* bytes, size_t count,
                      void (*emit)(uint32_t packed, void* user), void* user) {
  if (!parser || !bytes) return;
  for (size_t i = 0; i < count; i++) {
    uint8_t b = bytes[i];
    if (b >= 0xF8) {  // real time: at once, without disturbing the message around it
      emit(b, user);
      continue;
    }
    if (b == 0xF0) {
      parser->in_sysex = 1;
      parser->running_status = 0;
      parser->count = 0;
      continue;
    }
    if (b == 0xF7) {
      parser->in_sysex = 0;
      parser->count = 0;
      continue;
    }
    if (b >= 0x80) {
      parser->in_sysex = 0;
      parser->running_status = b < 0xF0 ? b : 0;
      parser->bytes[0] = b;
      parser->count = 1;
      parser->needed = 1 + midi_data_length(b);
    } else {
      if (parser->in_sysex) continue;
      if (parser->count == 0) {
        if (parser->running_status == 0) continue;  // stray data byte
        parser->bytes[0] = parser->running_status;
        parser->count = 1;
        parser->needed = 1 + midi_data_length(parser->running_status);
      }
      parser->bytes[parser->count++] = b;
    }
    if (parser->count >= parser->needed) {
      uint32_t packed = parser->bytes[0];
      if (parser->needed > 1) packed |= (uint32_t)parser->bytes[1] << 8;
      if (parser->needed > 2) packed |= (uint32_t)parser->bytes[2] << 16;
      parser->count = 0;
      emit(packed, user);
    }
  }
}

// ---- back end choice ----

int midi_io_select_backend(int which) {
  if (which != MIDI_BACKEND_SYSTEM && which != MIDI_BACKEND_LOOPBACK) return 0;
  std::lock_guard<std::mutex> lock(slots_mutex);
  for (int i = 0; i < kMaxOpenInputs; i++)
    if (inputs[i].used) return 0;
  for (int i = 0; i < kMaxOpenOutputs; i++)
    if (outputs[i].used) return 0;
  backend.store(which);
  return 1;
}

int midi_io_backend() { return backend.load(); }

void midi_io_install_system_backend(const MidiBackendTable* table) { system_table.store(table); }

// ---- devices ----

int midi_in_count() { return current_table()->in_count(); }
int midi_out_count() { return current_table()->out_count(); }

int midi_in_name(int device, std::string* name) {
  if (!name || device < 0) return 0;
  return current_table()->in_name(device, name);
}

int midi_out_name(int device, std::string* name) {
  if (!name || device < 0) return 0;
  return current_table()->out_name(device, name);
}

// A name without the " client:port" numbers the ALSA sequencer ends it with.
static std::string without_sequencer_numbers(const std::string& name) {
  size_t blank = name.rfind(' ');
  if (blank == std::string::npos) return name;
  std::string tail = name.substr(blank + 1);
  size_t colon = tail.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == tail.size()) return name;
  for (size_t i = 0; i < tail.size(); i++)
    if (i != colon && !std::isdigit((unsigned char)tail[i])) return name;
  return name.substr(0, blank);
}

bool midi_port_names_match(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  return a == b || without_sequencer_numbers(a) == without_sequencer_numbers(b);
}

// ---- inputs ----

// Opens input `device`, or with `virtual_client` set a new virtual port of
// that client.
static int open_input(int* handle, int device, MidiInHandler handler, uintptr_t instance,
                      const char* virtual_client, const char* virtual_port) {
  if (!handle || !handler) return 0;
  if (device < 0) return 0;
  const MidiBackendTable* table = current_table();
  int index = -1;
  {
    std::lock_guard<std::mutex> lock(slots_mutex);
    for (int i = 0; i < kMaxOpenInputs; i++) {
      if (!inputs[i].used) {
        index = i;
        break;
      }
    }
    if (index < 0) return 0;
    inputs[index].used = true;  // reserved while the port opens
  }
  InputSlot* slot = &inputs[index];
  slot->table = table;
  slot->handler = handler;
  slot->instance = instance;
  slot->started.store(0);
  midi_parser_reset(&slot->parser);
  if (!table->in_open(index, device, virtual_client, virtual_port)) {
    std::lock_guard<std::mutex> lock(slots_mutex);
    slot->used = false;
    return 0;
  }
  *handle = index + 1;
  return 1;
}

int midi_in_open(int* handle, int device, MidiInHandler handler, uintptr_t instance) {
  return open_input(handle, device, handler, instance, nullptr, nullptr);
}

int midi_in_open_virtual(int* handle, const char* client_name, const char* port_name,
                         MidiInHandler handler, uintptr_t instance) {
  return open_input(handle, 0, handler, instance, client_name ? client_name : "quillon_darvo",
                    port_name);
}

int midi_in_start(int handle) {
  InputSlot* slot = input_slot(handle);
  if (!slot) return 0;
  if (slot->started.load()) return 1;
  slot->start_time.store(seconds_now());
  slot->started.store(1);
  if (!slot->table->in_start(handle - 1)) {
    slot->started.store(0);
    return 0;
  }
  return 1;
}

int midi_in_stop(int handle) {
  InputSlot* slot = input_slot(handle);
  if (!slot) return 0;
  stop_input(slot);
  return 1;
}

int midi_in_close(int handle) {
  InputSlot* slot = input_slot(handle);
  if (!slot) return 0;
  stop_input(slot);
  slot->table->in_close(handle - 1);
  std::lock_guard<std::mutex> lock(slots_mutex);
  slot->used = false;
  return 1;
}

bool midi_in_message_time(int handle, MidiFrameTime* time) {
  if (handle < 1 || handle > kMaxOpenInputs || !time) return false;
  const InputSlot& slot = inputs[handle - 1];
  if (!slot.timed) return false;
  *time = slot.time;
  return true;
}

int midi_in_alive(int handle) {
  InputSlot* slot = input_slot(handle);
  return slot && slot->table->in_alive(handle - 1) ? 1 : 0;
}

void midi_scan_ports(int* inputs, int* outputs) {
  int in = 0, out = 0;
  current_table()->scan(&in, &out);
  if (inputs) *inputs = in;
  if (outputs) *outputs = out;
}

unsigned midi_ports_changes() { return current_table()->changes(); }

// ---- outputs ----

static int reserve_output() {
  std::lock_guard<std::mutex> lock(slots_mutex);
  for (int i = 0; i < kMaxOpenOutputs; i++) {
    if (!outputs[i].used) {
      outputs[i].used = true;
      outputs[i].device = -1;
      return i;
    }
  }
  return -1;
}

static void release_output(int index) {
  std::lock_guard<std::mutex> lock(slots_mutex);
  outputs[index].used = false;
}

int midi_out_open(int* handle, int device) {
  if (!handle || device < 0) return 0;
  int index = reserve_output();
  if (index < 0) return 0;
  const MidiBackendTable* table = current_table();
  if (!table->out_open(index, device)) {
    release_output(index);
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(output_mutex);
    outputs[index].table = table;
    outputs[index].device = device;
  }
  *handle = index + 1;
  return 1;
}

int midi_out_open_virtual(int* handle, const char* client_name, const char* port_name) {
  if (!handle) return 0;
  int index = reserve_output();
  if (index < 0) return 0;
  const MidiBackendTable* table = current_table();
  int device = -1;
  if (!table->out_open_virtual(index, client_name, port_name, &device) || device < 0) {
    release_output(index);
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(output_mutex);
    outputs[index].table = table;
    outputs[index].device = device;
  }
  *handle = index + 1;
  return 1;
}

static int send_bytes(int handle, const uint8_t* bytes, size_t count, const uint32_t* frame) {
  if (handle < 1 || handle > kMaxOpenOutputs || !bytes || count == 0) return 0;
  std::lock_guard<std::mutex> lock(output_mutex);
  OutputSlot* slot = &outputs[handle - 1];
  if (slot->device < 0) return 0;
  return slot->table->out_send(handle - 1, slot->device, bytes, count, frame);
}

int midi_out_send_bytes(int handle, const uint8_t* bytes, size_t count) {
  return send_bytes(handle, bytes, count, nullptr);
}

static int send_short(int handle, uint32_t message, const uint32_t* frame) {
  uint8_t bytes[3] = {(uint8_t)(message & 0xFF), (uint8_t)((message >> 8) & 0xFF),
                      (uint8_t)((message >> 16) & 0xFF)};
  int data = midi_data_length(bytes[0]);
  if (bytes[0] < 0x80 || data < 0) return 0;
  for (int i = 1; i <= data; i++)
    if (bytes[i] >= 0x80) return 0;
  return send_bytes(handle, bytes, 1 + (size_t)data, frame);
}

int midi_out_short_msg(int handle, uint32_t message) { return send_short(handle, message, nullptr); }

int midi_out_short_msg_at(int handle, uint32_t message, uint32_t frame) {
  return send_short(handle, message, &frame);
}

int midi_out_alive(int handle) {
  if (handle < 1 || handle > kMaxOpenOutputs) return 0;
  std::lock_guard<std::mutex> lock(output_mutex);
  OutputSlot* slot = &outputs[handle - 1];
  return slot->device >= 0 && slot->table->out_alive(handle - 1) ? 1 : 0;
}

int midi_out_close(int handle) {
  if (handle < 1 || handle > kMaxOpenOutputs) return 0;
  const MidiBackendTable* table = nullptr;
  int device = -1;
  {
    std::lock_guard<std::mutex> lock(output_mutex);
    OutputSlot* slot = &outputs[handle - 1];
    if (slot->device < 0) return 0;
    table = slot->table;
    device = slot->device;
    slot->device = -1;
  }
  // No send reaches the port any more; the slot stays reserved until the
  // back end has closed it.
  table->out_close(handle - 1, device);
  release_output(handle - 1);
  return 1;
}
