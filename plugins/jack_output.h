// SPDX-License-Identifier: GPL-3.0-or-later
// The output plug-in's JACK path, on libjack itself. RtAudio closes a JACK
// stream from a thread of its own when the server goes away, while libjack
// cancels the thread that reported it: now and then the cancel lands inside
// RtAudio's report and the whole program aborts. Here the server's shutdown
// only sets a flag, and the caller closes the client on its own thread.
//
// The server owns the clock. The engine runs at the server's rate (any rate
// in kJackMinRate..kJackMaxRate; the engine converts its waves to it when it
// loads them), so every frame the engine mixes is one frame of the server's,
// in order. The period may change while the client runs (jack_bufsize, or
// PipeWire changing its quantum): each cycle is filled in engine blocks of
// at most the period the client opened with, so a longer period takes
// several blocks and a shorter one a shorter block, with no added latency.
// A rate that changes while the client runs cannot be served that way: the
// output reports itself lost, and the program opens it again at the new
// rate and loads its samples for it.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct FbsPlugRecord;

constexpr int kJackMinRate = 8000;
constexpr int kJackMaxRate = 192000;

// Where the output's ports go when the client starts.
struct JackConnect {
  bool connect = true;               // false: leave the ports unconnected
  std::vector<std::string> targets;  // the ports to connect to, in channel order;
                                     // empty: the first physical playback ports
};

// True when a server runs that can take the output: one with physical
// playback ports when `how` connects to them, any server otherwise.
bool jack_output_offered(const char* client_name, const JackConnect& how);
// Opens a client named `client_name` on the running server with one output
// port per channel of `rec` ("outport 0", "outport 1", ...). Fills the
// record as PLUG_INIT does (rate: the server's; frames: the server's period;
// buffers: 1). `last_block` gets the steady-clock nanoseconds of every cycle.
// False, with `why` set, when no server runs, its rate is outside
// kJackMinRate..kJackMaxRate, or `how` connects to physical playback ports
// and it has none; also while a client of ours of a server that went away
// is still open (core/jack_clients.h, which counts the output's client).
bool jack_output_open(FbsPlugRecord* rec, const char* client_name, const JackConnect& how,
                      std::atomic<int64_t>* last_block, std::string* why);
// Activates the client and connects its ports as the open's `how` says;
// false with `why` set. A target port that is missing or refuses leaves
// every port unconnected, with one line on standard error.
bool jack_output_start(std::string* why);
// Deactivates: once it returns, no fill call runs.
void jack_output_stop();
void jack_output_close();
bool jack_output_is_open();
// True once a client of ours heard that the client's server went away.
bool jack_output_gone();
// True once the server runs at another rate than the client opened at (a
// PipeWire graph moved to another rate): the engine's waves are made for
// the old one, so the output counts as lost and is opened again.
bool jack_output_rate_changed();
// Main thread: brings the record's frames up to the server's period when
// the server changed it (the buffer-size callback only notes the new one).
void jack_output_sync_period();
