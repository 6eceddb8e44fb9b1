// SPDX-License-Identifier: GPL-3.0-or-later
// Contract between the portable part of the MIDI layer (midi_io.cpp: handles,
// the parser, delivery to the handler) and its back ends: midi_rtmidi.cpp
// (the system's ports) and midi_loopback.cpp (in-process devices for tests).
// A back end fills one table of functions; slots are the 0-based indices of
// the open-port tables that midi_io.cpp keeps (handle = slot + 1).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/midi_io.h"

constexpr int kMaxOpenInputs = 8;
constexpr int kMaxOpenOutputs = 8;

struct MidiBackendTable {
  int (*in_count)();
  int (*out_count)();
  // Trimmed device name as of the last count; 0 when unknown.
  int (*in_name)(int device, std::string* name);
  int (*out_name)(int device, std::string* name);
  // Opens input `device` for `slot`, or with virtual_client set a new port
  // that other programs connect to. Received bytes go to midi_io_receive.
  int (*in_open)(int slot, int device, const char* virtual_client, const char* virtual_port);
  // Delivery begins (midi_io has set the slot started); 0 refuses.
  int (*in_start)(int slot);
  // Delivery ends: called after the slot's started flag is cleared; on return
  // no midi_io_receive call for the slot runs or will run.
  void (*in_stop)(int slot);
  void (*in_close)(int slot);
  // Opens output `device` for `slot`; 1 on success.
  int (*out_open)(int slot, int device);
  // Opens a virtual output; gives the device number it stands for.
  int (*out_open_virtual)(int slot, const char* client_name, const char* port_name, int* device);
  // Sends bytes (under the layer's output lock, so never during out_close's
  // detach), at `frame` of the server's clock when given and the port has
  // one (midi_out_short_msg_at).
  int (*out_send)(int slot, int device, const uint8_t* bytes, size_t count, const uint32_t* frame);
  // Closes the output; no send for the slot runs any more.
  void (*out_close)(int slot, int device);
  // 0 once the port of an open slot can carry nothing more (its device, or
  // the server it belonged to, went away); it is then only good for closing.
  // out_alive runs under the layer's output lock.
  int (*in_alive)(int slot);
  int (*out_alive)(int slot);
  // Grows whenever the back end learns that the system's ports changed.
  unsigned (*changes)();
  // Lists both directions in one look; the names are then answered from it.
  void (*scan)(int* inputs, int* outputs);
};

// The system back end's table (midi_rtmidi.cpp installs its own); until a
// program installs one, the system back end has no ports. Main thread, at
// start, before any port opens.
void midi_io_install_system_backend(const MidiBackendTable* table);
extern const MidiBackendTable midi_loopback_backend;

// Back end to layer: one driver packet of bytes arrived on input `slot`,
// with its place on the server's clock when the port has one (else null).
// The bytes are parsed and every complete message handed to the handler; a
// message cut short at the packet's end is dropped.
void midi_io_receive(int slot, const uint8_t* bytes, size_t count, const MidiFrameTime* time);
// 1 while input `slot` is open and started.
int midi_io_input_started(int slot);
