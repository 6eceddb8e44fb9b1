// SPDX-License-Identifier: GPL-3.0-or-later
// The command lines of the installed programs: one getopt_long parser each,
// the shared --version text and the shared way of refusing a usage error
// (one line naming the fault, the usage hint, status 2), all before the
// program opens anything.
#pragma once
#include <string>

#include "app/offline_render.h"

// Exit status of a command line the program does not understand.
constexpr int kUsageStatus = 2;

// The version, the copyright line and the licence, on standard output.
void print_version(const char* program);

// "PROGRAM: WHAT" and "Try 'PROGRAM --help' for more information." on
// standard error; returns kUsageStatus.
int usage_error(const char* program, const std::string& what);

// The line for an option getopt_long refused (it returned `c`, ':' or '?'),
// naming the option as it was given.
std::string getopt_fault(int c, char** argv);

// What quillon_darvo was started with. Settings are not changed by these.
struct InstrumentOptions {
  bool help = false;
  bool version = false;
  std::string jack_name = "quillon_darvo";  // --jack-name: the output's JACK client
  bool no_connect = false;                  // --no-connect: leave the output's ports alone
  std::string connect;                      // --connect PORT[,PORT]: empty for the first physical ones
  std::string output;                       // --output jack|pulse|alsa|file: empty for every kind in turn
};

// Reads quillon_darvo's arguments. Returns -1 when the program should go
// on, else the status to exit with after a usage error (already reported).
int parse_instrument_options(int argc, char** argv, InstrumentOptions* options);

// Reads `quillon_render IN.mid OUT.wav [--settings FILE] [--quiet]`, or
// -h/--help or -V/--version. Returns -1 when the render should go on, else
// the status to exit with after a usage error (already reported).
int parse_render_arguments(int argc, char** argv, RenderOptions* options);

// What quillon_make_set was started with: `SOURCE SET [--program N]
// [--bank N] [--velocity V] [--mp3] [--into FOLDER] [--allow-outside]
// [--layer-of BASE --zone FROM,TO]`. SET is kept as given (also "-1"): one
// outside 0..14 is bad input (status 1), not a usage error.
struct MakeSetOptions {
  bool help = false;
  bool version = false;
  std::string source;  // .sf2, .sf3 or .sfz
  std::string set;
  int program = 0;      // 0..127
  int bank = 0;         // 0..16383
  int velocity = 100;   // 1..127
  bool mp3 = false;
  std::string into;     // empty: the user's sounds folder
  bool allow_outside = false;  // SFZ samples may lie outside the .sfz file's folder
  // --layer-of BASE --zone FROM,TO (both or neither): the set made is the
  // loud layer of BASE over velocities FROM..TO. -1 without.
  int layer_of = -1;    // 0..14
  int zone_from = -1;   // 0 <= FROM <= TO <= 127
  int zone_to = -1;
};

// Reads quillon_make_set's arguments. Returns -1 when the program should go
// on, else the status to exit with after a usage error (already reported).
int parse_make_set_options(int argc, char** argv, MakeSetOptions* options);
