// SPDX-License-Identifier: GPL-3.0-or-later
// The output plug-in's JACK path, on libjack itself. RtAudio closes a JACK
// stream from a thread of its own when the server goes away, while libjack
// cancels the thread that reported it: now and then the cancel lands inside
// RtAudio's report and the whole program aborts. Here the server's shutdown
// only sets a flag, and the caller closes the client on its own thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

struct FbsPlugRecord;

// True when a server runs that has playback ports.
bool jack_output_offered(const char* client_name);
// Opens a client named `client_name` on the running server with one output
// port per channel of `rec`, for the server's physical playback ports. Fills
// the record as PLUG_INIT does (frames: the server's period; buffers: 1).
// `last_block` gets the steady-clock nanoseconds of every cycle. False, with
// `why` set, when no server runs, its rate differs or it has no playback.
bool jack_output_open(FbsPlugRecord* rec, const char* client_name, std::atomic<int64_t>* last_block,
                      std::string* why);
// Activates the client and connects its ports; false with `why` set.
bool jack_output_start(std::string* why);
// Deactivates: once it returns, no fill call runs.
void jack_output_stop();
void jack_output_close();
bool jack_output_is_open();
// True once the server has shut the client down.
bool jack_output_gone();
