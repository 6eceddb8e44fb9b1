// SPDX-License-Identifier: GPL-3.0-or-later
// MIDI input from up to three ports, the thru port with its loop detection,
// and the handler that turns incoming messages into voice operations.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "midi/voices.h"

// Last controller-7 value of each channel (index 0..15 = channels 1..16).
// Written by the MIDI thread (and the main thread at start), read by the voices.
extern std::atomic<int> channel_volume[16];
// Factor from the largest channel volume to voice_divisor (1.2, set at start).
extern std::atomic<float> voice_divisor_factor;
// Sustain pedal, 1 while controller 64 is at 127 (in pedal mode 1: while
// its depth is above 0, midi/pedals.h). Written by the MIDI thread.
extern std::atomic<int> pedal_down;

// The handler's guard: held while the waiting messages are played (thru,
// loop detection, voices), so the threads of several inputs take turns. A
// JACK process thread only tries for it (and for voice_mutex): a message
// that finds either taken waits in its input's ring, in order and with its
// frame, for the next message or cycle, or the main thread's pass.
extern std::mutex handler_guard;

// Handler timing, all in seconds of program_clock (core/clock.h).
// rate_gate_time: the earliest time the next message passes; written by the
// MIDI threads. probe_time: when the loop probe was last sent; written by the
// main thread. thru_credit_time: the thru budget clock; written under
// handler_guard (and by the main thread while the inputs are closed).
extern std::atomic<double> rate_gate_time;
extern double thru_credit_time;
extern std::atomic<double> probe_time;

// Open handles (0 when not open). Written by the main thread; the thru handle
// also by the MIDI thread, which takes it (exchange with 0) to close the port
// on a loop.
extern std::atomic<int> midi_in_handle[3];
extern std::atomic<int> thru_handle;

// Number of input / output devices (at most 30) found by the last open.
extern std::atomic<int> midi_input_devices;
extern std::atomic<int> midi_output_devices;
// Device names of the last open, 1-based port numbers (entry d + 1 is device
// d); "" when unknown. Safe from any thread.
std::string input_name(int port);
std::string output_name(int port);

// The three handler clocks back to their start values (a time long past).
void reset_midi_timing();
// Main thread, at start-up: all channel volumes to 127, channel 10 to 0,
// voice_divisor_factor to 1.2 and both voice divisors to 127 x 1.2 = 152.4.
void reset_channel_volumes();
// Main thread: opens up to three inputs from midi_in_port, midi_in2_port,
// midi_in3_port (clamping them) and shows a notice for every failure.
void open_midi_inputs();
// Main thread, right after the inputs: opens thru_port (clamped) and sends
// the loop probe (program change 127 on channel 10, 200 ms, then program 0).
void open_thru_port();
// Main thread: stops and closes every open input, then closes the thru port.
void close_midi_ports();

// ---- Ports that come and go (main thread; see midi/port_watch.h) ----
// The inputs' and the thru port's remembered names (midi_in_port_name,
// thru_port_name) decide over their numbers when the ports open; a port
// opened by number gives its name to an empty one.

// True when the inputs last opened found no input at all.
extern bool no_input_at_open;
// The names the input slots 0..2 and the thru port have open, as listed
// when they opened; "" when closed.
std::string open_input_name(int slot);
std::string open_thru_name();
// True once a MIDI thread saw a loop on the thru port (which the main thread
// then closes), until it opens again.
bool thru_closed_by_loop();
// Main thread, once every pass of its wait: closes the thru port after a
// MIDI thread saw a loop, and posts the message that says so; plays what
// the inputs' rings still hold, waiting for the locks.
void serve_midi_on_main_thread();
// Messages from a JACK port that would have been heard on their own frame
// but were played after their cycle (the voices were busy then), and so
// one period after it. Any thread.
uint64_t midi_frame_fallbacks();
// Looks at the system's ports again, both directions at once: the device
// counts and names (input_name, output_name) follow, a gone device's name is "".
void rescan_midi_ports();
// The 1-based port listed under `name`, or 0.
int find_input_port(const std::string& name);
int find_output_port(const std::string& name);
// Opens and starts input `slot` (0..2, closed) on `port`, without notices;
// its number follows. False when it does not run.
bool reopen_input(int slot, int port);
// Closes input `slot`; then the keys it held come up and its sustain pedal
// goes up, as if played: note-offs through the thru port and the voices.
void close_input_releasing(int slot);
// Opens the thru port on `port` without notices and sends the loop probe;
// its number follows. False when it does not open.
bool reopen_thru(int port);
// Closes the thru port; true when it was open.
bool close_thru_port();

// What one short message does (packed with the status in byte 0): notes
// through transpose to the voices, controllers 7, 64, 123 and the channel-16
// key commands, and a returned loop probe. The handler runs it after its rate
// gate, guard and thru; the offline renderer feeds a MIDI file's messages
// through it directly, with no input open. `now` is the program clock; `at`
// the output clock's frame on which its notes, releases and pedal are heard
// (kAtOnce: from the next block). Takes no lock of its own: call it under
// handler_guard or with every input closed.
void midi_dispatch(uint32_t message, double now, int64_t at = kAtOnce);

// The input handler registered for every input; its instance value is the
// input's slot (0..2), whose take queue (midi/take_queue.h) gets every short
// message while a take runs. On JACK it runs on the input's process thread,
// where it never waits: it also runs once at the end of every cycle
// (kMidiCycleEnd) to play what still waits.
void midi_input_handler(int handle, uint32_t kind, uintptr_t instance,
                        uintptr_t param1, uintptr_t param2);
