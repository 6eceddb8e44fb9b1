// SPDX-License-Identifier: GPL-3.0-or-later
// Our JACK clients, counted for the whole process. Once a client of ours
// hears that its server went away, libjack closes and frees every client of
// ours still open by itself as soon as any client opens (one that fails to
// open too), and closing one of those afterwards frees it twice. So no
// client opens while a client of a server that went away is still open: the
// MIDI ports, the port listing and the audio output plug-in count their
// clients here and ask before they open one.
//
// A client counts as open from just before jack_client_open until its
// jack_client_close has returned. A close that is given up on (it did not
// return in time) keeps its client counted, and so refuses every later
// open: the close still runs inside libjack, which would free the same
// client again under it (and holds its lock for opens meanwhile).
//
// Header-only but for the one count, `qd_jack_clients`: the output plug-in
// is a library of its own and finds the program's count by that name.
#pragma once
#include <atomic>

struct JackClients {
  // Clients counted open. Counted up on the main thread, down on the thread
  // whose close returned.
  std::atomic<int> open{0};
  // Our clients' server, numbered: a new number begins with the first client
  // that opens after every client of a server that went away has closed.
  // Main thread.
  std::atomic<unsigned> generation{1};
  // The number of the last server that went away, 0 for none. Written on
  // the notification thread of the client that heard it.
  std::atomic<unsigned> gone{0};
  // The audio output's client (a jack_client_t*) while it is open, null
  // otherwise: the MIDI ports are listed through it rather than through a
  // client opened for a moment each time. Main thread.
  std::atomic<void*> lister{nullptr};
  // The full name of the audio output's "midi order" port while its client
  // is open, null otherwise, and a count moved each time it is published.
  // Each JACK MIDI input client connects a port of its own to it, so that
  // the server runs the input before the output in every cycle and a
  // message can be heard on its own frame (midi/midi_input.cpp). Main
  // thread.
  std::atomic<const char*> order_port{nullptr};
  std::atomic<unsigned> order_published{0};
};

// The program's count (core/jack_clients.cpp), exported from the program.
extern "C" JackClients qd_jack_clients;

// True unless a client of a server that went away is still open. Any thread.
inline bool jack_clients_may_open(const JackClients* c) {
  return c->gone.load() != c->generation.load() || c->open.load() == 0;
}

// Main thread, just before jack_client_open: the number of the server the
// client joins (keep it with the client), or 0 when nothing may open now.
inline unsigned jack_client_opening(JackClients* c) {
  if (!jack_clients_may_open(c)) return 0;
  if (c->gone.load() == c->generation.load()) c->generation.fetch_add(1);
  c->open.fetch_add(1);
  return c->generation.load();
}

// Once jack_client_close has returned, or jack_client_open gave no client.
inline void jack_client_closed(JackClients* c) { c->open.fetch_sub(1); }

// A client of server `generation` heard that it went away (its shutdown
// callback, on its notification thread).
inline void jack_server_gone(JackClients* c, unsigned generation) { c->gone.store(generation); }

// The client to list the ports through, or null when there is none or its
// server went away. Main thread.
inline void* jack_clients_lister(const JackClients* c) {
  return c->gone.load() == c->generation.load() ? nullptr : c->lister.load();
}

// False once any client of ours heard that server `generation` went away:
// every client of it is then only good for closing. Any thread.
inline bool jack_client_alive(const JackClients* c, unsigned generation) {
  return c->gone.load() != generation;
}
