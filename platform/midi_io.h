// SPDX-License-Identifier: GPL-3.0-or-later
// MIDI ports of the host, shaped like the classic multimedia MIDI calls: count
// the devices, name them, open an input with a handler, open an output and
// send short messages to it. Two back ends behind the same calls:
//  - system: the host's ports, once the program installed them
//    (midi_rtmidi.h: RtMidi on the ALSA sequencer when the machine has one,
//    else JACK); until then it has no devices;
//  - loopback: in-process virtual devices for tests, with a wire that feeds
//    what an output sends back into an input (scripted through
//    midi_loopback.h).
// Device d (0-based) is port d of the selected back end. Handles are positive
// integers; 0 means "not open". Every call returns 1 for success, 0 for failure.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Message kind of a short message delivered to an input handler (one to three
// bytes packed into param1: byte 0 status, byte 1 and 2 the data bytes).
constexpr uint32_t kMidiShortMessage = 0x3C3;
// The handler's kind at the end of each cycle of a port that has cycles (a
// JACK port), messages or none, on the same thread: param1 and param2 are 0.
constexpr uint32_t kMidiCycleEnd = 0x7C3;
// The most devices of each direction the program lists.
constexpr int kMaxMidiDevices = 30;

// Where a message lies on its JACK server's frame clock: the first frame of
// the cycle that carried it plus its offset in that cycle, the server's
// period in that cycle, and its rate. The clock is 32 bits and wraps.
// `cycle`: that cycle's first frame. `ordered`: the server runs the port's
// client before the audio output's client in every cycle, so what is done
// in this cycle is mixed in this cycle's block.
struct MidiFrameTime {
  uint32_t frame;
  uint32_t period;
  uint32_t rate;
  uint32_t cycle = 0;
  bool ordered = false;
};

// Input handler: handle of the input, message kind, the instance value given
// at open, param1 (the packed message) and param2 (milliseconds since start).
// Runs on the back end's delivery thread; calls for one input never overlap,
// calls for different inputs may.
typedef void (*MidiInHandler)(int handle, uint32_t kind, uintptr_t instance,
                              uintptr_t param1, uintptr_t param2);

enum MidiBackend { MIDI_BACKEND_SYSTEM = 0, MIDI_BACKEND_LOOPBACK = 1 };

// Selects the back end for the calls that follow. Only while no port is open;
// returns 0 otherwise. The system back end is the default.
int midi_io_select_backend(int backend);
int midi_io_backend();

int midi_in_count();
int midi_out_count();
// Device name with blanks trimmed at both ends, as of the last count; 0 when
// the device is unknown.
int midi_in_name(int device, std::string* name);
int midi_out_name(int device, std::string* name);

// Opens input `device`; messages reach `handler` only between start and stop.
int midi_in_open(int* handle, int device, MidiInHandler handler, uintptr_t instance);
int midi_in_start(int handle);
// After stop returns no handler call for this input is running or will run.
int midi_in_stop(int handle);
int midi_in_close(int handle);
// Inside a handler call for input `handle`, on its delivery thread: the
// place of the message being handed over on its server's clock. False for
// a message that has none (the ALSA sequencer, the loopback devices).
bool midi_in_message_time(int handle, MidiFrameTime* time);

// 0 once an open port can carry nothing more: its device went away, or on
// JACK its server did. It is then only good for closing. Main thread (the
// output's form is safe while the MIDI thread may close it).
int midi_in_alive(int handle);
int midi_out_alive(int handle);
// Lists the devices of both directions in one look at the system and gives
// their counts; midi_in_name / midi_out_name then answer from it. A device
// that is gone may keep its number without a name (0 from the name calls).
// Main thread.
void midi_scan_ports(int* inputs, int* outputs);
// Grows whenever the back end learns that the system's ports changed (on
// JACK, through the clients of our open ports): a sign to list them again
// without waiting. Any thread.
unsigned midi_ports_changes();

int midi_out_open(int* handle, int device);
// Sends the packed short message (status in byte 0). The number of bytes sent
// follows from the status; a message with a data byte in the status place or
// a system-exclusive status is not sent (returns 0).
int midi_out_short_msg(int handle, uint32_t message);
// midi_out_short_msg to be played at `frame` of the server's clock (see
// MidiFrameTime): on JACK it goes out at that frame's offset in the cycle
// that covers it; on the other ports as midi_out_short_msg.
int midi_out_short_msg_at(int handle, uint32_t message, uint32_t frame);
// Safe to call from the input handler (the thru port is closed there on a loop).
int midi_out_close(int handle);

// True when two device names stand for the same port: equal, or equal but
// for the client and port numbers the ALSA sequencer appends (" 20:0"),
// which change when a device is plugged in again.
bool midi_port_names_match(const std::string& a, const std::string& b);

// Opens an input port that other programs connect to (system tests): on JACK
// "client_name:port_name". Started and closed like any input.
int midi_in_open_virtual(int* handle, const char* client_name, const char* port_name,
                         MidiInHandler handler, uintptr_t instance);
// Opens an output port that other programs connect to (keyboard tools and
// system tests); on JACK the port is "client_name:port_name". Returns 1 with
// the handle, which midi_out_short_msg and midi_out_close take.
int midi_out_open_virtual(int* handle, const char* client_name, const char* port_name);
// Sends raw bytes (any message, system exclusive included) on an output.
int midi_out_send_bytes(int handle, const uint8_t* bytes, size_t count);

// Byte stream to short messages, as a driver does it: running status for
// channel messages, real-time bytes (0xF8..0xFF) delivered at once even inside
// another message, system exclusive skipped to its end, a status byte cutting
// short an unfinished message, stray data bytes dropped.
struct MidiParser {
  uint8_t running_status;  // last channel status, 0 when none
  uint8_t bytes[3];        // message being collected
  int count;               // bytes collected, 0 when none
  int needed;              // bytes the message has in all
  int in_sysex;            // 1 inside a system-exclusive message
};
void midi_parser_reset(MidiParser* parser);
// Feeds bytes; calls emit(packed, user) for every complete short message.
void midi_parser_feed(MidiParser* parser, const uint8_t* bytes, size_t count,
                      void (*emit)(uint32_t packed, void* user), void* user);
// Data bytes that follow a status byte (0..2); -1 for 0xF0 and 0xF7.
int midi_data_length(uint8_t status);
