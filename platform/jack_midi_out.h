// A MIDI output port of its own JACK client, for the machines where MIDI runs
// on JACK. Closing stops the client before its buffers go, so the client's
// process thread never reads a freed message queue, however late its last
// cycle runs.
#pragma once

#include <cstddef>
#include <cstdint>

struct JackMidiOut;

// Opens client `client_name` with output port `port_name` and, when `target`
// is set, connects it to that JACK port. Null when the server refuses.
JackMidiOut* jack_midi_out_open(const char* client_name, const char* port_name, const char* target);

// Queues one message for the next cycle; false when the queue is full.
// One sender at a time.
bool jack_midi_out_send(JackMidiOut* out, const uint8_t* bytes, size_t count);

void jack_midi_out_close(JackMidiOut* out);
