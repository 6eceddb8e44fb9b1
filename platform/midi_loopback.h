// SPDX-License-Identifier: GPL-3.0-or-later
// The loopback MIDI back end's scripting, for tests: in-process devices that
// take bytes as if they arrived on a port, outputs that log what they send,
// and a wire from an output back into an input. Select the back end with
// midi_io_select_backend(MIDI_BACKEND_LOOPBACK).
#pragma once
#include <cstddef>
#include <cstdint>

// Removes every loopback device (closing what is open) and starts afresh.
void midi_loop_reset();
// Adds a device; returns its device number.
int midi_loop_add_input(const char* name);
int midi_loop_add_output(const char* name);
// What output `out_device` sends is fed into input `in_device` (-1 unwires).
void midi_loop_wire(int out_device, int in_device);
// Queues raw bytes as arriving on input `device`; they are parsed and handed
// to the handler on that input's delivery thread while it is started. Each
// call is one driver packet, as a real port delivers them: running status
// carries over to the next packet, a message cut short at its end is dropped.
// Bytes sent while the input is not open are lost.
void midi_loop_send(int device, const uint8_t* bytes, size_t count);
void midi_loop_send_short(int device, uint32_t packed);
// The device disappears: queued bytes are dropped, nothing more is delivered,
// opening it fails, it is listed without a name and its open port is no
// longer alive; open handles stay closable. Plugged back, it is listed and
// opens again.
void midi_loop_unplug(int device);
void midi_loop_replug(int device);
// The same for an output: it takes nothing more and is listed without a name.
void midi_loop_unplug_output(int device);
void midi_loop_replug_output(int device);
// While set, starting input `device` fails (a driver that opens but will
// not run).
void midi_loop_refuse_start(int device, int refuse);
// With `on`, every packet is delivered with a place on a made-up server
// clock (64 frames on per packet, a period of 256) and followed by the end
// of a cycle, as a JACK port delivers; midi_loop_reset turns it off.
void midi_loop_set_timed(int on);
// Waits until every queued byte has been delivered (or `timeout_s` passed).
// Returns 1 when everything was delivered.
int midi_loop_flush(double timeout_s);
// Number of short messages output `device` has sent since the reset, and the
// message number `index` of them (0 when out of range).
int midi_loop_sent_count(int device);
uint32_t midi_loop_sent(int device, int index);
// 1 while output `device` is open.
int midi_loop_output_open(int device);
