// SPDX-License-Identifier: GPL-3.0-or-later
// Open Sound Control messages over UDP with one peer (the session manager):
// a socket of the program's own on a free port, messages sent to the peer
// from that socket (so the peer's answers come back to it), and the messages
// that arrive, taken without blocking. Only string and 32-bit integer
// arguments are sent; others that arrive read as '?'. The thin layer over
// liblo: nothing else includes its headers.
//
// Threads: main thread only.
#pragma once
#include <string>
#include <vector>

struct OscArg {
  char type = '?';   // 's' text, 'i' integer, '?' any other
  std::string text;  // of an 's'
  int number = 0;    // of an 'i'
};
OscArg osc_text(const std::string& text);
OscArg osc_int(int number);

struct OscMessage {
  std::string path;
  std::vector<OscArg> args;
};

// True when url has the form osc.udp://HOST:PORT/ (the path may be empty),
// with a port number of 1..65535.
bool osc_url_valid(const std::string& url);

// Opens the socket and sets the peer to url. Returns "" or what went wrong
// (a malformed url, no socket). Opening again closes the link first.
std::string osc_open(const std::string& url);
// Closes the socket; messages waiting in it are lost. Harmless when closed.
void osc_close();
bool osc_is_open();

// Sends one message to the peer from the socket. False when the link is
// closed or the message could not go out (a peer that went away is not
// seen: UDP delivers nothing either way).
bool osc_send(const std::string& path, const std::vector<OscArg>& args = {});

// Takes the next message that arrived, waiting at most timeout_ms for one
// (0: only one already there). False when none came.
bool osc_receive(OscMessage* message, int timeout_ms);
