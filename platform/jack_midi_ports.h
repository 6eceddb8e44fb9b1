// SPDX-License-Identifier: GPL-3.0-or-later
// MIDI ports on JACK, one client each, for the machines where MIDI runs on
// JACK. Closing a port closes its client without unregistering the port
// first, and frees its buffers only once the client's threads are stopped:
// unregistering races the client's notification thread walking its port
// list, and a freed queue could still be read by a late process cycle. A
// close that has not returned within a second (its server went away at that
// moment) is abandoned: the caller goes on, and the buffers are freed when
// the close returns, if ever.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/midi_io.h"

struct JackMidiOut;
struct JackMidiIn;

// Opens client `client_name` with output port `port_name` and, when `target`
// is set, connects it to that JACK port, returning once the server's graph
// runs the connection (at most a second). Null when the server refuses, and
// while a client of a server that went away is still open (core/jack_clients.h).
JackMidiOut* jack_midi_out_open(const char* client_name, const char* port_name, const char* target);

// Queues one message; false when the queue is full. One sender at a time.
// With `frame` (a frame of the server's clock) it goes out at its offset in
// the cycle that covers that frame; a frame already past, or more than a
// second ahead, and a message without one, go out at the start of the next
// cycle. Messages keep their order.
bool jack_midi_out_send(JackMidiOut* out, const uint8_t* bytes, size_t count, const uint32_t* frame);

void jack_midi_out_close(JackMidiOut* out);

// Called on the client's process thread with each event of a cycle and its
// place on the server's clock, then once with no bytes (count 0) at the
// cycle's end.
typedef void (*JackMidiReceive)(const uint8_t* bytes, size_t count, const MidiFrameTime& time,
                                void* user);

// Opens client `client_name` with input port `port_name` and, when `source`
// is set, connects that JACK port to it, as jack_midi_out_open does.
JackMidiIn* jack_midi_in_open(const char* client_name, const char* port_name, const char* source,
                              JackMidiReceive receive, void* user);

// Returns once no call of `receive` runs or follows (or after a second, when
// the close is abandoned with its server gone). The client's thread is
// stopped wherever it stands, so `receive` should already have nothing left
// to do (no lock held, nothing allocated) when this is called.
void jack_midi_in_close(JackMidiIn* in);

// False once a client of ours heard that the port's server went away, or
// dropped that client (core/jack_clients.h): the port carries nothing any
// more and is only good for closing. Any thread.
bool jack_midi_in_alive(const JackMidiIn* in);
// Main thread: connects the input's "order" port to the audio output's
// client when that output has published its port since the last call
// (core/jack_clients.h), so the server runs the input first in each cycle.
void jack_midi_in_keep_order(JackMidiIn* in);
// The ports that only order our clients in the server's cycle: an input's
// and a MIDI output's "order", the audio output's "midi order". Nothing
// flows on them; the port lists leave them out.
constexpr const char* kOrderPort = "order";
constexpr const char* kOutputOrderPort = "midi order";
bool jack_midi_is_order_port(const std::string& name);
bool jack_midi_out_alive(const JackMidiOut* out);

// Full names of the server's MIDI ports with `port_flags` (JackPortIsOutput:
// the ports an input can read), asked through the live port's own client: a
// request to the server, no client opened. Main thread.
std::vector<std::string> jack_midi_port_names(JackMidiIn* in, unsigned long port_flags);

// How many times the clients of our ports were told that the server's ports
// changed (one registered or went, a connection was made or broken, the
// server went away). Only grows; any thread.
unsigned jack_midi_changes();
