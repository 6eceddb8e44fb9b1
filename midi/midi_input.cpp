// SPDX-License-Identifier: GPL-3.0-or-later
// MIDI input: opening the ports, the thru port and its loop detection, and
// midi_input_handler, which runs on the MIDI driver's thread.
#include "midi/midi_input.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "core/clock.h"
#include "core/settings_values.h"
#include "core/shared_state.h"
#include "core/text_number.h"
#include "engine/fbs.h"
#include "midi/pedals.h"
#include "midi/take_queue.h"
#include "midi/voices.h"
#include "platform/dialogs.h"
#include "platform/midi_io.h"

// 127 everywhere but the drum channel until the first controller 7.
std::atomic<int> channel_volume[16] = {127, 127, 127, 127, 127, 127, 127, 127,
                                       127, 0,   127, 127, 127, 127, 127, 127};
std::atomic<float> voice_divisor_factor{1.2f};
std::atomic<int> pedal_down{0};

// The program clock starts near 0 when the program starts, so the start
// values of the three handler clocks must lie far in the past: with 0, the
// first messages would find the rate gate shut and the thru budget spent,
// and a program change 127 in the first 4 s would count as a returned probe.
constexpr double kLongAgo = -1.0e9;
std::atomic<double> rate_gate_time{kLongAgo};
double thru_credit_time = kLongAgo;
std::atomic<double> probe_time{kLongAgo};
std::mutex handler_guard;

std::atomic<int> midi_in_handle[3];
std::atomic<int> thru_handle{0};
std::atomic<int> midi_input_devices{0};
std::atomic<int> midi_output_devices{0};

namespace {

// Device names, 1-based. Written by the main thread when the ports open,
// read by the MIDI thread for its loop messages.
std::mutex names_mutex;
std::string input_names[kMaxMidiDevices + 1];
std::string output_names[kMaxMidiDevices + 1];

// Probe sent on the thru port: program change on channel 10 to program 127,
// then back to program 0. Its return on an input means a MIDI loop.
constexpr uint32_t kProbeMessage = 0x7FC9;
constexpr uint32_t kProbeEndMessage = 0x00C9;

// What waits to be played, per input: a ring with one writer (the input's
// thread) and one reader at a time (whoever holds handler_guard and the
// voices). `order` is the message's place among all inputs' messages.
// `at`: the frame it is heard on when played in its own cycle by a thread
// the server runs before the output (`cycle`), else `late_at`; the two are
// the same for a message that never had its own frame.
struct Waiting {
  uint32_t message;
  double now;
  int64_t at;
  uint64_t order;
  int64_t late_at = kAtOnce;
  uint32_t cycle = 0;
};
constexpr uint32_t kWaitingSize = 512;  // a power of two
struct WaitingRing {
  Waiting items[kWaitingSize];
  std::atomic<uint32_t> written{0};  // by the input's thread
  std::atomic<uint32_t> read{0};     // by the reader
};
WaitingRing waiting[kMidiInputs];
std::atomic<uint64_t> arrival_order{0};
// Messages that had their own frame but were played after their cycle (the
// voices were busy), so one period after it.
std::atomic<uint64_t> frame_fallbacks{0};

bool waiting_push(int slot, const Waiting& item) {
  WaitingRing& ring = waiting[slot];
  uint32_t w = ring.written.load(std::memory_order_relaxed);
  if (w - ring.read.load(std::memory_order_acquire) >= kWaitingSize) return false;
  ring.items[w % kWaitingSize] = item;
  ring.written.store(w + 1, std::memory_order_release);
  return true;
}

bool nothing_waits() {
  for (WaitingRing& ring : waiting)
    if (ring.read.load(std::memory_order_relaxed) != ring.written.load(std::memory_order_acquire)) return false;
  return true;
}

void play_waiting(bool may_wait, const MidiFrameTime* cycle);

// A loop seen on a MIDI thread, for the main thread to act on: 0 none,
// else which (kLoopSuspected, kLoopDetected).
constexpr int kLoopSuspected = 1;
constexpr int kLoopDetected = 2;
std::atomic<int> loop_seen{0};

// The names the inputs and the thru port have open, as listed when they
// opened; "" when closed. Main thread.
std::string open_names[kMidiInputs];
std::string thru_open_name;
// Set by a MIDI thread when it closes the thru port on a loop; the port then
// stays closed until the ports are opened again.
std::atomic<int> thru_closed_on_loop{0};

// What each input holds down, for the release when it goes: per channel the
// keys whose last message was a note-on, and per pedal (sustain, sostenuto,
// soft) the channel on which it holds it down (-1 none). The sustain holds
// at 127 in pedal mode 0, at any value but 0 in mode 1; the other two hold
// from 64 on in mode 1 only. Under handler_guard.
constexpr int kPedals = 3;
const int kPedalControllers[kPedals] = {64, 66, 67};
uint8_t held_keys[kMidiInputs][16][128];
int held_pedal[kMidiInputs][kPedals] = {{-1, -1, -1}, {-1, -1, -1}, {-1, -1, -1}};

void track_held(int slot, uint32_t message) {
  if (slot < 0 || slot >= kMidiInputs) return;
  int status = message & 0xFF, data1 = (message >> 8) & 0x7F, data2 = (message >> 16) & 0x7F;
  int channel = status & 0x0F;
  switch (status >> 4) {
    case 0x8: held_keys[slot][channel][data1] = 0; break;
    case 0x9: held_keys[slot][channel][data1] = data2 > 0; break;
    case 0xB: {
      bool piano = pedal_mode.load() == 1;
      for (int p = 0; p < kPedals; p++) {
        if (data1 != kPedalControllers[p] || (p > 0 && !piano)) continue;
        bool holds = p == 0 ? (piano ? data2 > 0 : data2 == 127) : data2 >= 64;
        held_pedal[slot][p] = holds ? channel : -1;
      }
      break;
    }
    default: break;
  }
}

void forget_held(int slot) {
  std::memset(held_keys[slot], 0, sizeof held_keys[slot]);
  for (int& channel : held_pedal[slot]) channel = -1;
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void add_auxvar() {
  double value = auxvar.load();
  while (!auxvar.compare_exchange_weak(value, value + 1.0)) {
  }
}

// The input ports' numbers, by slot.
int* const input_port[kMidiInputs] = {&midi_in_port, &midi_in2_port, &midi_in3_port};

// Opens and starts input `slot` on port `port`; 0 when it runs, else 1 when
// it did not open, 2 when it did not start. The handler gets the slot as its
// instance value (its take queue, what it holds). The port's name is kept,
// and remembered when no name was.
int start_input(int slot, int port) {
  {
    std::lock_guard<std::mutex> lock(handler_guard);
    forget_held(slot);
  }
  int handle = 0;
  if (!midi_in_open(&handle, port - 1, midi_input_handler, (uintptr_t)slot)) return 1;
  if (!midi_in_start(handle)) {
    midi_in_close(handle);
    return 2;
  }
  open_names[slot] = input_name(port);
  if (midi_in_port_name[slot].empty()) midi_in_port_name[slot] = open_names[slot];
  midi_in_handle[slot].store(handle);
  return 0;
}

// Opens and starts one input; shows the notice of its failure.
void open_input(int slot, int port, const std::string& open_error, const std::string& start_error) {
  int failed = start_input(slot, port);
  if (failed == 1) notice(open_error);
  if (failed == 2) notice(start_error + "\r" + input_name(port));
}

// The 1-based port of the listed name, or 0.
int find_port(const std::string* names, int count, const std::string& name) {
  if (name.empty()) return 0;
  std::lock_guard<std::mutex> lock(names_mutex);
  for (int d = 1; d <= count; d++)
    if (midi_port_names_match(names[d], name)) return d;
  return 0;
}

// Counts the devices of one direction (at most 30) into *devices and takes
// their names (a device whose name cannot be read keeps the old one). With no
// device at all it shows `none_notice` and returns 0.
int list_devices(int (*count)(), int (*name_of)(int, std::string*), std::string* names,
                 std::atomic<int>* devices, const char* none_notice) {
  int n = count();
  if (n == 0) {
    devices->store(0);
    notice(none_notice);
    return 0;
  }
  n = std::min(kMaxMidiDevices, n);
  devices->store(n);
  for (int d = 0; d < n; d++) {
    std::string name;
    if (name_of(d, &name)) {
      std::lock_guard<std::mutex> lock(names_mutex);
      names[d + 1] = name;
    }
  }
  return n;
}

// Whoever takes the handle first closes the thru port. True for that one.
// Main thread (and the closing thread at the end).
bool close_thru() {
  int handle = thru_handle.exchange(0);
  if (!handle) return false;
  midi_out_close(handle);
  return true;
}

// A loop shows: nothing more goes out on the thru port, which stays closed
// until the ports open again (the mark comes first, so the port watch never
// sees it closed unmarked), and the main thread is asked to close it and
// say so (serve_midi_on_main_thread). Nothing else: this runs on a MIDI
// thread, which never closes a port.
void close_thru_on_loop(int which) {
  thru_closed_on_loop.store(1);
  int none = 0;
  loop_seen.compare_exchange_strong(none, which);
}

// Key number after transposition, folded once each way into 1..125.
int transposed_key(int data1) {
  int k = data1 + transpose.load();
  if (k < 1) k += 12;
  if (k > 125) k -= 12;
  return k;
}

void channel_volume_changed(int channel, int value) {
  channel_volume[channel].store(value);
  channel_volume[9].store(0);  // the drum channel never counts
  float v = 10.0f;
  for (int i = 0; i < 16; i++) v = std::max(v, (float)channel_volume[i].load());
  target_level.store(v * 1.7f / 127.0f);
  float divisor = v * voice_divisor_factor.load();
  voice_divisor.store(divisor);
  voice_divisor_ref.store(divisor);
}

// A message from a JACK port arrives in its cycle c, no later than the
// output mixes the block after c; the output's last block began in c or in
// the cycle before. Its frame one period on then lies one to three periods
// after that block's first frame. Any other distance means the output does
// not run on the same server's clock (the file device, a desktop sound
// server): the message is heard from the next block.
constexpr uint32_t kPeriodsAfterOutput = 3;

bool on_output_clock(const MidiFrameTime& time) {
  uint32_t block = 0;
  if (!FBS_GET_PLUGCLOCK(&block)) return false;
  uint32_t after = time.frame + time.period - block;
  return after <= kPeriodsAfterOutput * time.period;
}

// `at`: the frame the message is heard on, or kAtOnce.
void short_message(uint32_t message, double now, int64_t at) {
  // Thru, with the loop suspicion: a sustained 500 messages a second for
  // about a second means the output feeds an input. A message with a frame
  // goes out on the frame it is heard on, at its own offset (a thru client
  // the server ran before the input sends it one period later, at the same
  // offset: platform/jack_midi_ports.cpp).
  if (thru_port.load() > 0 && !thru_closed_on_loop.load()) {
    int handle = thru_handle.load();
    if (handle) {
      double credit = std::max(now - 1.0, std::min(now + 5.0, thru_credit_time + 0.002));
      thru_credit_time = credit;
      if (now > credit) {
        if (at == kAtOnce)
          midi_out_short_msg(handle, message);
        else
          midi_out_short_msg_at(handle, message, (uint32_t)at);
      } else {
        close_thru_on_loop(kLoopSuspected);
      }
    }
  }

  midi_dispatch(message, now, at);
}

}  // namespace

std::string input_name(int port) {
  std::lock_guard<std::mutex> lock(names_mutex);
  if (port < 1 || port > kMaxMidiDevices) return std::string();
  return input_names[port];
}

std::string output_name(int port) {
  std::lock_guard<std::mutex> lock(names_mutex);
  if (port < 1 || port > kMaxMidiDevices) return std::string();
  return output_names[port];
}

void reset_midi_timing() {
  rate_gate_time.store(kLongAgo);
  thru_credit_time = kLongAgo;
  probe_time.store(kLongAgo);
}

void reset_channel_volumes() {
  for (int i = 0; i < 16; i++) channel_volume[i].store(127);
  channel_volume[9].store(0);
  voice_divisor_factor.store(1.2f);
  voice_divisor.store(127.0f * 1.2f);
  voice_divisor_ref.store(127.0f * 1.2f);
}

bool no_input_at_open = false;

void open_midi_inputs() {
  int n = list_devices(midi_in_count, midi_in_name, input_names, &midi_input_devices,
                       "error: sorry no MIDI input on this system!");
  no_input_at_open = n == 0;
  if (n == 0) return;
  // A remembered name decides over the number; an absent one leaves it.
  for (int slot = 0; slot < kMidiInputs; slot++)
    if (int port = find_input_port(midi_in_port_name[slot])) *input_port[slot] = port;

  midi_in_port = clamp_int(midi_in_port, 0, n);
  if (midi_in_port >= 1) {
    std::string port = std::to_string(midi_in_port);
    open_input(0, midi_in_port, "error can't open MIDI input " + port + " !",
               "error can't start MIDI input " + port + " !");
  }

  midi_in2_port = clamp_int(midi_in2_port, 0, n);
  if (midi_in2_port == midi_in_port) midi_in2_port = 0;
  if (midi_in2_port >= 1) {
    std::string port = std::to_string(midi_in2_port);
    open_input(1, midi_in2_port, "error can't open MIDI input2 " + port + " !",
               "error can't start MIDI input2 " + port + " !");
  }

  if (midi_in3_port == midi_in_port || midi_in3_port == midi_in2_port || midi_in3_port < 0 ||
      midi_in3_port > n)
    midi_in3_port = 0;
  if (midi_in3_port >= 1) {
    std::string port = std::to_string(midi_in3_port);
    open_input(2, midi_in3_port, "error can't open MIDI input3 (" + port + ") !",
               "error can't start MIDI input3 (" + port + ") !");
  }
}

void open_thru_port() {
  int m = list_devices(midi_out_count, midi_out_name, output_names, &midi_output_devices,
                       "error: sorry no MIDI output on this system!");
  if (m == 0) return;

  if (int named = find_output_port(thru_port_name)) thru_port.store(named);
  int port = clamp_int(thru_port.load(), 0, m);
  thru_port.store(port);
  if (port == 0) return;
  if (!reopen_thru(port))
    notice("error can't open MIDI output " + std::to_string(port) + " !\r" + output_name(port));
}

bool reopen_thru(int port) {
  int handle = 0;
  if (!midi_out_open(&handle, port - 1)) return false;
  thru_open_name = output_name(port);
  if (thru_port_name.empty()) thru_port_name = thru_open_name;
  thru_port.store(port);
  loop_seen.store(0);
  thru_closed_on_loop.store(0);
  thru_handle.store(handle);

  probe_time.store(program_clock());
  midi_out_short_msg(handle, kProbeMessage);
  sleep_ms(200);
  // The probe's return may have closed the port meanwhile.
  handle = thru_handle.load();
  if (handle) midi_out_short_msg(handle, kProbeEndMessage);
  return true;
}

void close_midi_ports() {
  for (int i = 0; i < kMidiInputs; i++) {
    int handle = midi_in_handle[i].exchange(0);
    if (handle) {
      midi_in_stop(handle);
      midi_in_close(handle);
    }
    open_names[i].clear();
  }
  // What the inputs left unplayed goes with them: the voices are silenced
  // and their sounds may be made anew before the ports open again.
  {
    std::lock_guard<std::mutex> guard(handler_guard);
    for (WaitingRing& ring : waiting) ring.read.store(ring.written.load(std::memory_order_acquire));
  }
  close_thru();
  thru_open_name.clear();
}

// ---- Ports that come and go ----

std::string open_input_name(int slot) {
  return slot >= 0 && slot < kMidiInputs ? open_names[slot] : std::string();
}
std::string open_thru_name() { return thru_open_name; }
bool thru_closed_by_loop() { return thru_closed_on_loop.load() != 0; }

void rescan_midi_ports() {
  int inputs = 0, outputs = 0;
  midi_scan_ports(&inputs, &outputs);
  inputs = std::min(kMaxMidiDevices, inputs);
  outputs = std::min(kMaxMidiDevices, outputs);
  std::lock_guard<std::mutex> lock(names_mutex);
  for (int d = 0; d < kMaxMidiDevices; d++) {
    std::string name;
    input_names[d + 1] = d < inputs && midi_in_name(d, &name) ? name : "";
    name.clear();
    output_names[d + 1] = d < outputs && midi_out_name(d, &name) ? name : "";
  }
  midi_input_devices.store(inputs);
  midi_output_devices.store(outputs);
}

int find_input_port(const std::string& name) {
  return find_port(input_names, midi_input_devices.load(), name);
}
int find_output_port(const std::string& name) {
  return find_port(output_names, midi_output_devices.load(), name);
}

bool reopen_input(int slot, int port) {
  if (slot < 0 || slot >= kMidiInputs || port < 1 || midi_in_handle[slot].load()) return false;
  if (start_input(slot, port) != 0) return false;
  *input_port[slot] = port;
  return true;
}

void close_input_releasing(int slot) {
  if (slot < 0 || slot >= kMidiInputs) return;
  int handle = midi_in_handle[slot].exchange(0);
  if (handle) {
    midi_in_stop(handle);
    midi_in_close(handle);
  }
  open_names[slot].clear();
  // Nothing of the input arrives any more: what it sent is played first,
  // then its keys come up and its pedal goes up, as if played, through the
  // thru port and the voices.
  play_waiting(true, nullptr);
  std::lock_guard<std::mutex> guard(handler_guard);
  double now = program_clock();
  for (int channel = 0; channel < 16; channel++)
    for (int key = 0; key < 128; key++)
      if (held_keys[slot][channel][key]) short_message(0x80 | channel | key << 8, now, kAtOnce);
  for (int p = 0; p < kPedals; p++)
    if (held_pedal[slot][p] >= 0) short_message(0xB0 | held_pedal[slot][p] | kPedalControllers[p] << 8, now, kAtOnce);
  forget_held(slot);
}

bool close_thru_port() {
  thru_open_name.clear();
  return close_thru();
}

void midi_dispatch(uint32_t message, double now, int64_t at) {
  int status = message & 0xFF;
  int data1 = (message >> 8) & 0xFF;
  int data2 = (message >> 16) & 0xFF;
  if (status < 0x80 || ((data1 | data2) & 0x80)) return;  // not a well-formed message
  int channel = status & 0x0F;
  switch (status >> 4) {
    case 0x8:
      voice_note_off(channel, transposed_key(data1), at);
      break;
    case 0x9:
      if (data2 == 0)
        voice_note_off(channel, transposed_key(data1), at);
      else
        voice_note_on(channel, transposed_key(data1), soft_velocity(data2), at);
      break;
    case 0xB:
      if (piano_pedal(data1, data2, at)) break;
      if (data1 == 64) {
        if (data2 == 127)
          pedal_down.store(1);
        else
          voice_pedal_release(at);
      }
      if (data1 == 123 && data2 == 0) voice_all_notes_off(channel, at);
      if (data1 == 7) channel_volume_changed(channel, data2);
      if (data1 == 14 && channel == 15) post_pending_key("i");
      if (data1 == 15 && channel == 15) post_pending_key("o");
      break;
    case 0xC:
      // Our own probe came back: the thru port is wired to an input. Only
      // while a thru port is chosen (with none, no probe was ever sent).
      if (data1 == 127 && thru_port.load() > 0 && std::abs(now - probe_time.load()) < 4.0) {
        thru_credit_time = now + 5.0;
        close_thru_on_loop(kLoopDetected);
      }
      break;
    default:
      break;
  }
}

namespace {

// Plays what the inputs' rings hold, oldest first across the inputs, with
// handler_guard and the voices held (a thread that holds the voices already
// holds them here too). `may_wait`: the caller may wait for them (the main
// thread, a thread of the system's sequencer); a JACK process thread never
// does: with either taken, what waits stays for the next message, the next
// cycle or the main thread's pass, in its order and with its frame.
// `cycle`: the caller's cycle when it is a JACK thread the server runs before
// the output, null otherwise: only such a thread plays a message of its own
// cycle on its own frame; any other play comes a period after it.
void play_waiting(bool may_wait, const MidiFrameTime* cycle) {
  if (nothing_waits()) return;
  std::unique_lock<std::mutex> guard(handler_guard, std::defer_lock);
  if (may_wait)
    guard.lock();
  else if (!guard.try_lock())
    return;
  VoiceTryLock tried;
  if (!tried.owns() && !may_wait) return;
  VoiceLock voices;  // takes nothing when tried holds them
  for (;;) {
    int first = -1;
    uint64_t order = 0;
    for (int slot = 0; slot < kMidiInputs; slot++) {
      WaitingRing& ring = waiting[slot];
      uint32_t r = ring.read.load(std::memory_order_relaxed);
      if (r == ring.written.load(std::memory_order_acquire)) continue;
      uint64_t o = ring.items[r % kWaitingSize].order;
      if (first < 0 || o < order) {
        first = slot;
        order = o;
      }
    }
    if (first < 0) return;
    WaitingRing& ring = waiting[first];
    uint32_t r = ring.read.load(std::memory_order_relaxed);
    Waiting item = ring.items[r % kWaitingSize];
    ring.read.store(r + 1, std::memory_order_release);
    track_held(first, item.message);
    int64_t at = item.at;
    if (at != item.late_at && !(cycle && cycle->cycle == item.cycle)) {
      at = item.late_at;
      frame_fallbacks.fetch_add(1, std::memory_order_relaxed);
    }
    short_message(item.message, item.now, at);
  }
}

}  // namespace

void serve_midi_on_main_thread() {
  if (int which = loop_seen.exchange(0)) {
    std::string text = which == kLoopDetected ? "warning midiout loop detected" : "midiout loop suspected";
    text += "\r" + output_name(thru_port.load()) + " closed";
    close_thru();
    post_pending_message(text.c_str());
  }
  play_waiting(true, nullptr);
}

uint64_t midi_frame_fallbacks() { return frame_fallbacks.load(); }

void midi_input_handler(int handle, uint32_t kind, uintptr_t instance, uintptr_t param1, uintptr_t) {
  // The end of a JACK cycle: what still waits is played if the locks are free.
  if (kind == kMidiCycleEnd) {
    MidiFrameTime time;
    bool ordered = midi_in_message_time(handle, &time) && time.ordered;
    play_waiting(false, ordered ? &time : nullptr);
    return;
  }
  if (kind != kMidiShortMessage) return;
  double now = program_clock();
  int slot = instance < (uintptr_t)kMidiInputs ? (int)instance : 0;
  // A message with a place on the JACK server's clock is heard on its own
  // frame when the server runs this input's client before the output's in
  // every cycle and the message is played in its cycle: the output then
  // mixes that cycle after it. Otherwise (no such order, or played later)
  // it is heard exactly one period after it, on the output's frame of the
  // same clock, wherever it fell in its cycle and whichever client the
  // server runs first: the output mixes a cycle's frames no earlier than
  // that cycle, in which the message has arrived. Messages without a place
  // are heard from the next block.
  MidiFrameTime time;
  bool timed = midi_in_message_time(handle, &time);
  bool placed = timed && on_output_clock(time);
  int64_t late_at = placed ? (int64_t)(uint32_t)(time.frame + time.period) : kAtOnce;
  int64_t at = placed && time.ordered ? (int64_t)time.frame : late_at;
  // A take keeps what was played, before the gate decides.
  take_queue_push(slot, now, (uint32_t)param1, timed ? &time : nullptr);

  // Rate gate: a burst of about 50 messages passes, then on average one per
  // 2 ms for all inputs together. A dropped message lets the next one pass.
  // Reading and moving the gate is one step, so inputs on several threads
  // cannot both take the same slot.
  double gate = rate_gate_time.load();
  for (;;) {
    if (now < gate) {
      if (rate_gate_time.compare_exchange_weak(gate, now - 0.00001)) return;
    } else if (rate_gate_time.compare_exchange_weak(gate, std::max(gate + 0.002, now - 0.1))) {
      break;
    }
  }

  // The message waits in its input's ring and is played at once when the
  // guard and the voices are free. A full ring drops it, counted in auxvar.
  if (!waiting_push(slot, Waiting{(uint32_t)param1, now, at, arrival_order.fetch_add(1) + 1, late_at, time.cycle})) {
    add_auxvar();
    return;
  }
  play_waiting(!timed, placed && time.ordered ? &time : nullptr);
}
