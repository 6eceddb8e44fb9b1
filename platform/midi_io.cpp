// MIDI port layer: the RtMidi back end for real ports and the in-process
// loopback back end for tests. See midi_io.h for the contract.
#include "platform/midi_io.h"

#include <rtmidi/RtMidi.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kMaxOpenInputs = 8;
constexpr int kMaxOpenOutputs = 8;
constexpr int kMaxLoopDevices = 32;
// Output log of the loopback: enough for every test, bounded for a flood.
constexpr size_t kMaxLoggedMessages = 1 << 20;

std::string trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

double seconds_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::atomic<int> backend{MIDI_BACKEND_SYSTEM};

// ---- loopback devices ----
struct LoopInput {
  std::string name;
  bool exists = false;
  bool unplugged = false;
  bool refuse_start = false;
  std::deque<std::vector<uint8_t>> queue;  // packets waiting for delivery
  int in_delivery = 0;                      // packets taken but not yet handed over
  int open_slot = -1;                       // input slot that has it open
};
struct LoopOutput {
  std::string name;
  bool exists = false;
  bool unplugged = false;
  int wire_to = -1;
  bool is_open = false;
  std::vector<uint32_t> sent;
};
std::mutex loop_mutex;  // every field of the loopback tables
std::condition_variable loop_changed;
LoopInput loop_inputs[kMaxLoopDevices];
LoopOutput loop_outputs[kMaxLoopDevices];
int loop_input_count = 0;
int loop_output_count = 0;

// ---- open ports ----
struct InputSlot {
  bool used = false;
  int backend = 0;
  int device = -1;
  MidiInHandler handler = nullptr;
  uintptr_t instance = 0;
  std::atomic<int> started{0};
  std::atomic<double> start_time{0.0};
  MidiParser parser{};
  RtMidiIn* rt = nullptr;
  std::thread delivery;          // loopback delivery thread while started
  std::atomic<int> stop_request{0};
  std::atomic<int> in_callback{0};  // RtMidi callbacks running right now
};
struct OutputSlot {
  bool used = false;
  int backend = 0;
  int device = -1;
  RtMidiOut* rt = nullptr;
};
std::mutex slots_mutex;   // used flags and fields of both slot tables
std::mutex output_mutex;  // held while sending or closing an output
InputSlot inputs[kMaxOpenInputs];
OutputSlot outputs[kMaxOpenOutputs];

std::string system_api_name;

void rt_error_quiet(RtMidiError::Type, const std::string&, void*) {}

RtMidi::Api system_api() {
  // ALSA needs the sequencer device; machines without it use JACK.
  RtMidi::Api api = access("/dev/snd/seq", R_OK | W_OK) == 0 ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
  {
    std::lock_guard<std::mutex> lock(slots_mutex);
    system_api_name = api == RtMidi::LINUX_ALSA ? "alsa" : "jack";
  }
  return api;
}

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

void deliver(InputSlot* slot, int handle, uint32_t packed) {
  double ms = (seconds_now() - slot->start_time.load()) * 1000.0;
  slot->handler(handle, kMidiShortMessage, slot->instance, packed, ms > 0 ? (uintptr_t)ms : 0);
}

struct EmitContext {
  InputSlot* slot;
  int handle;
};
void emit_to_handler(uint32_t packed, void* user) {
  EmitContext* context = static_cast<EmitContext*>(user);
  deliver(context->slot, context->handle, packed);
}

void rt_input_callback(double, std::vector<unsigned char>* message, void* user) {
  InputSlot* slot = static_cast<InputSlot*>(user);
  // Counted before `started` is read, so that a stop which clears `started`
  // and then sees no callback running knows none will reach the handler.
  slot->in_callback.fetch_add(1);
  if (message && slot->started.load()) {
    EmitContext context{slot, (int)(slot - inputs) + 1};
    midi_parser_feed(&slot->parser, message->data(), message->size(), emit_to_handler, &context);
    // One driver event is one message: an unfinished one does not continue
    // into the next event.
    slot->parser.count = 0;
  }
  slot->in_callback.fetch_sub(1);
}

// Loopback delivery thread of one started input: hands queued packets to the
// handler, one packet at a time, until stopped.
void loop_delivery(int slot_index) {
  InputSlot* slot = &inputs[slot_index];
  EmitContext context{slot, slot_index + 1};
  std::vector<uint8_t> packet;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(loop_mutex);
      LoopInput* device = &loop_inputs[slot->device];
      loop_changed.wait(lock, [&] { return slot->stop_request.load() || !device->queue.empty(); });
      if (slot->stop_request.load()) return;
      packet.swap(device->queue.front());
      device->queue.pop_front();
      device->in_delivery++;
    }
    midi_parser_feed(&slot->parser, packet.data(), packet.size(), emit_to_handler, &context);
    slot->parser.count = 0;
    {
      std::lock_guard<std::mutex> lock(loop_mutex);
      loop_inputs[slot->device].in_delivery--;
    }
    loop_changed.notify_all();
  }
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
  while (slot->in_callback.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (slot->delivery.joinable()) {
    {
      std::lock_guard<std::mutex> lock(loop_mutex);
      slot->stop_request.store(1);
    }
    loop_changed.notify_all();
    slot->delivery.join();
    slot->stop_request.store(0);
  }
}

void loop_record_output(int device, uint32_t message) {
  // Caller holds loop_mutex.
  LoopOutput* out = &loop_outputs[device];
  if (out->sent.size() < kMaxLoggedMessages) out->sent.push_back(message);
  int target = out->wire_to;
  if (target >= 0 && target < loop_input_count && !loop_inputs[target].unplugged &&
      loop_inputs[target].open_slot >= 0) {
    uint8_t bytes[3] = {(uint8_t)(message & 0xFF), (uint8_t)((message >> 8) & 0xFF),
                        (uint8_t)((message >> 16) & 0xFF)};
    int length = 1 + midi_data_length(bytes[0]);
    loop_inputs[target].queue.emplace_back(bytes, bytes + length);
  }
}

}  // namespace

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

std::string midi_io_system_api() {
  std::lock_guard<std::mutex> lock(slots_mutex);
  return system_api_name;
}

// ---- devices ----

// The system's port list is read once per count (one client for the whole
// scan); names are answered from that scan, like a driver's device table.
namespace {
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
}  // namespace

int midi_in_count() {
  if (backend.load() == MIDI_BACKEND_LOOPBACK) {
    std::lock_guard<std::mutex> lock(loop_mutex);
    return loop_input_count;
  }
  std::lock_guard<std::mutex> lock(scan_mutex);
  return scan_ports(make_rt_in(), &scanned_inputs);
}

int midi_out_count() {
  if (backend.load() == MIDI_BACKEND_LOOPBACK) {
    std::lock_guard<std::mutex> lock(loop_mutex);
    return loop_output_count;
  }
  std::lock_guard<std::mutex> lock(scan_mutex);
  return scan_ports(make_rt_out("quillon_darvo out"), &scanned_outputs);
}

int midi_in_name(int device, std::string* name) {
  if (!name || device < 0) return 0;
  if (backend.load() == MIDI_BACKEND_LOOPBACK) {
    std::lock_guard<std::mutex> lock(loop_mutex);
    if (device >= loop_input_count) return 0;
    *name = trim(loop_inputs[device].name);
    return 1;
  }
  std::lock_guard<std::mutex> lock(scan_mutex);
  if (device >= (int)scanned_inputs.size()) scan_ports(make_rt_in(), &scanned_inputs);
  if (device >= (int)scanned_inputs.size() || scanned_inputs[device].empty()) return 0;
  *name = scanned_inputs[device];
  return 1;
}

int midi_out_name(int device, std::string* name) {
  if (!name || device < 0) return 0;
  if (backend.load() == MIDI_BACKEND_LOOPBACK) {
    std::lock_guard<std::mutex> lock(loop_mutex);
    if (device >= loop_output_count) return 0;
    *name = trim(loop_outputs[device].name);
    return 1;
  }
  std::lock_guard<std::mutex> lock(scan_mutex);
  if (device >= (int)scanned_outputs.size()) scan_ports(make_rt_out("quillon_darvo out"), &scanned_outputs);
  if (device >= (int)scanned_outputs.size() || scanned_outputs[device].empty()) return 0;
  *name = scanned_outputs[device];
  return 1;
}

// ---- inputs ----

// Opens input `device`, or with `virtual_client` set a new virtual port of
// that client (device is then ignored for the system back end).
static int open_input(int* handle, int device, MidiInHandler handler, uintptr_t instance,
                      const char* virtual_client, const char* virtual_port) {
  if (!handle || !handler) return 0;
  if (virtual_client && backend.load() == MIDI_BACKEND_LOOPBACK)
    device = midi_loop_add_input(virtual_port ? virtual_port : "virtual");
  if (device < 0) return 0;
  int which = backend.load();
  int index = -1;
  {
    std::lock_guard<std::mutex> lock(slots_mutex);
    for (int i = 0; i < kMaxOpenInputs; i++) {
      if (!inputs[i].used && !inputs[i].delivery.joinable()) {
        index = i;
        break;
      }
    }
    if (index < 0) return 0;
    inputs[index].used = true;  // reserved while the port opens
  }
  InputSlot* slot = &inputs[index];
  slot->backend = which;
  slot->device = device;
  slot->handler = handler;
  slot->instance = instance;
  slot->started.store(0);
  slot->rt = nullptr;
  midi_parser_reset(&slot->parser);
  bool ok = false;
  if (which == MIDI_BACKEND_LOOPBACK) {
    std::lock_guard<std::mutex> lock(loop_mutex);
    if (device < loop_input_count && !loop_inputs[device].unplugged && loop_inputs[device].open_slot < 0) {
      loop_inputs[device].open_slot = index;
      loop_inputs[device].queue.clear();  // bytes sent to a closed port are lost
      ok = true;
    }
  } else {
    RtMidiIn* in = virtual_client ? make_rt_in(virtual_client) : make_rt_in();
    if (in && virtual_client) {
      in->ignoreTypes(true, false, false);
      in->setCallback(rt_input_callback, slot);
      in->openVirtualPort(virtual_port ? virtual_port : "in");
      slot->rt = in;
      ok = true;
    } else if (in && device < (int)in->getPortCount()) {
      in->ignoreTypes(true, false, false);  // system exclusive never reaches the handler
      in->setCallback(rt_input_callback, slot);
      in->openPort(device, "in");
      if (in->isPortOpen()) {
        slot->rt = in;
        ok = true;
      }
    }
    if (!ok) delete in;
  }
  if (!ok) {
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
  if (slot->backend == MIDI_BACKEND_LOOPBACK) {
    {
      std::lock_guard<std::mutex> lock(loop_mutex);
      if (loop_inputs[slot->device].unplugged || loop_inputs[slot->device].refuse_start) return 0;
    }
    slot->stop_request.store(0);
    slot->started.store(1);
    slot->delivery = std::thread(loop_delivery, handle - 1);
  } else {
    slot->started.store(1);
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
  if (slot->backend == MIDI_BACKEND_LOOPBACK) {
    std::lock_guard<std::mutex> lock(loop_mutex);
    if (slot->device < kMaxLoopDevices && loop_inputs[slot->device].open_slot == handle - 1) {
      loop_inputs[slot->device].open_slot = -1;
      loop_inputs[slot->device].queue.clear();
    }
  } else if (slot->rt) {
    // Closing the client waits for its callback thread, so no call follows.
    slot->rt->cancelCallback();
    slot->rt->closePort();
    delete slot->rt;
    slot->rt = nullptr;
  }
  loop_changed.notify_all();
  std::lock_guard<std::mutex> lock(slots_mutex);
  slot->used = false;
  return 1;
}

// ---- outputs ----

static int reserve_output() {
  std::lock_guard<std::mutex> lock(slots_mutex);
  for (int i = 0; i < kMaxOpenOutputs; i++) {
    if (!outputs[i].used) {
      outputs[i].used = true;
      outputs[i].rt = nullptr;
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
  OutputSlot* slot = &outputs[index];
  int which = backend.load();
  bool ok = false;
  RtMidiOut* rt = nullptr;
  if (which == MIDI_BACKEND_LOOPBACK) {
    std::lock_guard<std::mutex> lock(loop_mutex);
    if (device < loop_output_count && !loop_outputs[device].unplugged && !loop_outputs[device].is_open) {
      loop_outputs[device].is_open = true;
      ok = true;
    }
  } else {
    rt = make_rt_out("quillon_darvo thru");
    if (rt && device < (int)rt->getPortCount()) {
      rt->openPort(device, "thru");
      ok = rt->isPortOpen();
    }
    if (!ok) {
      delete rt;
      rt = nullptr;
    }
  }
  if (!ok) {
    release_output(index);
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(output_mutex);
    slot->backend = which;
    slot->device = device;
    slot->rt = rt;
  }
  *handle = index + 1;
  return 1;
}

int midi_out_open_virtual(int* handle, const char* client_name, const char* port_name) {
  if (!handle) return 0;
  int index = reserve_output();
  if (index < 0) return 0;
  int which = backend.load();
  int device = -1;
  RtMidiOut* rt = nullptr;
  if (which == MIDI_BACKEND_LOOPBACK) {
    device = midi_loop_add_output(port_name ? port_name : "virtual");
    std::lock_guard<std::mutex> lock(loop_mutex);
    if (device >= 0) loop_outputs[device].is_open = true;
  } else {
    rt = make_rt_out(client_name ? client_name : "quillon_darvo");
    if (rt) {
      // A virtual port counts as open once made (RtMidi reports it as not
      // connected); errors arrive through the quiet error callback.
      rt->openVirtualPort(port_name ? port_name : "out");
      device = 0;
    }
  }
  if (device < 0) {
    release_output(index);
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(output_mutex);
    outputs[index].backend = which;
    outputs[index].device = device;
    outputs[index].rt = rt;
  }
  *handle = index + 1;
  return 1;
}

int midi_out_send_bytes(int handle, const uint8_t* bytes, size_t count) {
  if (handle < 1 || handle > kMaxOpenOutputs || !bytes || count == 0) return 0;
  std::lock_guard<std::mutex> lock(output_mutex);
  OutputSlot* slot = &outputs[handle - 1];
  if (slot->device < 0) return 0;
  if (slot->backend == MIDI_BACKEND_LOOPBACK) {
    // Parse so the wire and the log see the same messages a port would carry.
    struct Sink {
      int device;
    } sink{slot->device};
    std::lock_guard<std::mutex> loop_lock(loop_mutex);
    if (loop_outputs[slot->device].unplugged) return 0;
    MidiParser parser;
    midi_parser_reset(&parser);
    midi_parser_feed(&parser, bytes, count,
                     [](uint32_t packed, void* user) {
                       loop_record_output(static_cast<Sink*>(user)->device, packed);
                     },
                     &sink);
    loop_changed.notify_all();
    return 1;
  }
  if (!slot->rt) return 0;
  try {
    slot->rt->sendMessage(bytes, count);
  } catch (...) {
    return 0;
  }
  return 1;
}

int midi_out_short_msg(int handle, uint32_t message) {
  uint8_t bytes[3] = {(uint8_t)(message & 0xFF), (uint8_t)((message >> 8) & 0xFF),
                      (uint8_t)((message >> 16) & 0xFF)};
  int data = midi_data_length(bytes[0]);
  if (bytes[0] < 0x80 || data < 0) return 0;
  for (int i = 1; i <= data; i++)
    if (bytes[i] >= 0x80) return 0;
  return midi_out_send_bytes(handle, bytes, 1 + (size_t)data);
}

int midi_out_close(int handle) {
  if (handle < 1 || handle > kMaxOpenOutputs) return 0;
  RtMidiOut* rt = nullptr;
  {
    std::lock_guard<std::mutex> lock(output_mutex);
    OutputSlot* slot = &outputs[handle - 1];
    if (slot->device < 0) return 0;
    if (slot->backend == MIDI_BACKEND_LOOPBACK) {
      std::lock_guard<std::mutex> loop_lock(loop_mutex);
      if (slot->device < kMaxLoopDevices) loop_outputs[slot->device].is_open = false;
    }
    rt = slot->rt;
    slot->rt = nullptr;
    slot->device = -1;
  }
  if (rt) {
    rt->closePort();
    delete rt;
  }
  release_output(handle - 1);
  return 1;
}

// ---- loopback ----

void midi_loop_reset() {
  for (int i = 0; i < kMaxOpenInputs; i++) {
    bool open;
    {
      std::lock_guard<std::mutex> lock(slots_mutex);
      open = inputs[i].used && inputs[i].backend == MIDI_BACKEND_LOOPBACK;
    }
    if (open) midi_in_close(i + 1);
  }
  for (int i = 0; i < kMaxOpenOutputs; i++) {
    bool open;
    {
      std::lock_guard<std::mutex> lock(output_mutex);
      open = outputs[i].device >= 0 && outputs[i].backend == MIDI_BACKEND_LOOPBACK;
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
  return loop_input_count++;
}

int midi_loop_add_output(const char* name) {
  std::lock_guard<std::mutex> lock(loop_mutex);
  if (loop_output_count >= kMaxLoopDevices) return -1;
  LoopOutput* device = &loop_outputs[loop_output_count];
  *device = LoopOutput();
  device->name = name ? name : "";
  device->exists = true;
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
    if (loop_inputs[device].open_slot < 0) return;  // nobody listens: the bytes are lost
    loop_inputs[device].queue.emplace_back(bytes, bytes + count);
  }
  loop_changed.notify_all();
}

void midi_loop_send_short(int device, uint32_t packed) {
  uint8_t bytes[3] = {(uint8_t)(packed & 0xFF), (uint8_t)((packed >> 8) & 0xFF),
                      (uint8_t)((packed >> 16) & 0xFF)};
  int data = midi_data_length(bytes[0]);
  midi_loop_send(device, bytes, 1 + (size_t)(data < 0 ? 0 : data));
}

void midi_loop_unplug(int device) {
  std::lock_guard<std::mutex> lock(loop_mutex);
  if (device >= 0 && device < loop_input_count) {
    loop_inputs[device].unplugged = true;
    loop_inputs[device].queue.clear();
  }
  loop_changed.notify_all();
}

void midi_loop_refuse_start(int device, int refuse) {
  std::lock_guard<std::mutex> lock(loop_mutex);
  if (device >= 0 && device < loop_input_count) loop_inputs[device].refuse_start = refuse != 0;
}

int midi_loop_flush(double timeout_s) {
  std::unique_lock<std::mutex> lock(loop_mutex);
  auto idle = [] {
    for (int i = 0; i < loop_input_count; i++) {
      const LoopInput& device = loop_inputs[i];
      if (device.in_delivery > 0) return false;
      // Queued bytes count only while an input is started to deliver them.
      if (!device.queue.empty() && device.open_slot >= 0 && inputs[device.open_slot].started.load()) return false;
    }
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
