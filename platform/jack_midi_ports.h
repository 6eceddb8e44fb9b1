// MIDI ports on JACK, one client each, for the machines where MIDI runs on
// JACK. Closing a port closes its client without unregistering the port
// first, and frees its buffers only once the client's threads are stopped:
// unregistering races the client's notification thread walking its port
// list, and a freed queue could still be read by a late process cycle.
#pragma once

#include <cstddef>
#include <cstdint>

struct JackMidiOut;
struct JackMidiIn;

// Opens client `client_name` with output port `port_name` and, when `target`
// is set, connects it to that JACK port, returning once the server's graph
// runs the connection (at most a second). Null when the server refuses.
JackMidiOut* jack_midi_out_open(const char* client_name, const char* port_name, const char* target);

// Queues one message for the next cycle; false when the queue is full.
// One sender at a time.
bool jack_midi_out_send(JackMidiOut* out, const uint8_t* bytes, size_t count);

void jack_midi_out_close(JackMidiOut* out);

// Called on the client's process thread with each event of a cycle.
typedef void (*JackMidiReceive)(const uint8_t* bytes, size_t count, void* user);

// Opens client `client_name` with input port `port_name` and, when `source`
// is set, connects that JACK port to it, as jack_midi_out_open does.
JackMidiIn* jack_midi_in_open(const char* client_name, const char* port_name, const char* source,
                              JackMidiReceive receive, void* user);

// Returns once no call of `receive` runs or follows. The client's thread is
// stopped wherever it stands, so `receive` should already have nothing left
// to do (no lock held, nothing allocated) when this is called.
void jack_midi_in_close(JackMidiIn* in);
