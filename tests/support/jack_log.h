// SPDX-License-Identifier: GPL-3.0-or-later
// Late cycles of a JACK server, read from its log. A server that is not real
// time, on a busy machine, moves on when a client has not finished its cycle
// in time ("JackEngine::XRun: client = ... was not finished"), and the MIDI of
// that cycle can be lost or held back for that client. Tests that check MIDI
// message by message, or the time a message took effect, count these lines
// around a run: a run the server disturbed so is played again, not judged.
// Header-only: tests/support/*.cpp go into every test program, this only
// into those that include it.
#pragma once
#include <cstdlib>
#include <fstream>
#include <string>

namespace jacklog {

// Lines of the log at `path` that report a late client; 0 when it cannot be
// read.
inline int late_clients(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  int n = 0;
  while (std::getline(in, line))
    if (line.find("JackEngine::XRun: client") != std::string::npos) n++;
  return n;
}

// Lines of the log at `path`, from line `from` on, that report a late client
// whose name begins with `prefix` ("quillon_darvo": the output's client and
// our MIDI ports' clients); 0 when it cannot be read.
inline int late_clients_named(const std::string& path, const std::string& prefix, int from = 0) {
  std::ifstream in(path);
  std::string line;
  const std::string mark = "JackEngine::XRun: client = " + prefix;
  int n = 0;
  for (int i = 0; std::getline(in, line); i++)
    if (i >= from && line.find(mark) != std::string::npos) n++;
  return n;
}

// Whether late clients from line `from` on are a fault of ours: a client of
// ours (named from `ours_prefix`) was late while no other client was (where
// the others are late too, the machine stalled them all).
inline bool only_ours_late(const std::string& path, int from, const std::string& ours_prefix = "quillon_darvo") {
  const int ours = late_clients_named(path, ours_prefix, from);
  return ours > 0 && late_clients_named(path, "", from) == ours;
}

// Lines in the log at `path`; 0 when it cannot be read.
inline int lines_of(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) n++;
  return n;
}

// Lines of the log at `path` that report a cycle of the dummy driver itself
// as late ("JackTimedDriver::Process XRun"): the driver then starts its
// timing afresh, and the server's frame clock falls behind the wall clock
// by the time lost. From line `from` on; 0 when it cannot be read.
inline int clock_slips(const std::string& path, int from = 0) {
  std::ifstream in(path);
  std::string line;
  int n = 0;
  for (int i = 0; std::getline(in, line); i++)
    if (i >= from && line.find("JackTimedDriver::Process XRun") != std::string::npos) n++;
  return n;
}

// The log of the server that scripts/services.sh started ("" when the tests
// run against a server of someone else's, whose late cycles are unknown).
inline std::string services_log() {
  const char* path = std::getenv("QD_JACKD_LOG");
  return path ? path : "";
}

}  // namespace jacklog
