// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/command_line.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

void print_version(const char* program) {
  std::printf(
      "%s %s\n"
      "Copyright (C) 2026 The quillon_darvo developers\n"
      "License GPLv3+: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>.\n"
      "This is free software: you are free to change and redistribute it.\n"
      "There is NO WARRANTY, to the extent permitted by law.\n",
      program, QD_VERSION);
}

int usage_error(const char* program, const std::string& what) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program, what.c_str(), program);
  return kUsageStatus;
}

// The line for what getopt_long refused: `c` is ':' for an option missing
// its argument, '?' for one it does not know (or a long option given an
// argument it takes none of). The faulty element is argv[optind - 1].
std::string getopt_fault(int c, char** argv) {
  std::string element = argv[optind - 1];
  bool long_option = element.compare(0, 2, "--") == 0;
  std::string name = long_option ? element.substr(0, element.find('=')) : std::string("-") + (char)optopt;
  if (c == ':') return "option '" + name + "' needs an argument";
  if (long_option && optopt) return "option '" + name + "' takes no argument";
  return "unknown option '" + name + "'";
}

int parse_instrument_options(int argc, char** argv, InstrumentOptions* options) {
  enum { kJackName = 256, kNoConnect, kConnect, kOutput };
  static const option kLong[] = {
      {"help", no_argument, nullptr, 'h'},          {"version", no_argument, nullptr, 'V'},
      {"jack-name", required_argument, nullptr, kJackName}, {"no-connect", no_argument, nullptr, kNoConnect},
      {"connect", required_argument, nullptr, kConnect},    {"output", required_argument, nullptr, kOutput},
      {nullptr, 0, nullptr, 0}};
  const char kShort[] = ":hV";
  const char* program = "quillon_darvo";
  optind = 0;  // a fresh scan, also for a second call in one process
  opterr = 0;
  for (;;) {
    int c = getopt_long(argc, argv, kShort, kLong, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'h': options->help = true; break;
      case 'V': options->version = true; break;
      case kJackName:
        if (!*optarg) return usage_error(program, "option '--jack-name' needs a name");
        options->jack_name = optarg;
        break;
      case kNoConnect: options->no_connect = true; break;
      case kConnect:
        if (!*optarg) return usage_error(program, "option '--connect' needs a port");
        options->connect = optarg;
        break;
      case kOutput:
        if (std::strcmp(optarg, "jack") && std::strcmp(optarg, "pulse") && std::strcmp(optarg, "alsa") &&
            std::strcmp(optarg, "file"))
          return usage_error(program, std::string("'") + optarg + "' is not an output (jack, pulse, alsa or file)");
        options->output = optarg;
        break;
      default: return usage_error(program, getopt_fault(c, argv));
    }
  }
  if (optind < argc) return usage_error(program, std::string("unexpected argument '") + argv[optind] + "'");
  if (options->no_connect && !options->connect.empty())
    return usage_error(program, "--no-connect and --connect exclude each other");
  return -1;
}

// The two operands after the options, or a usage error: `missing` when there
// are fewer, the first one too many when there are more.
static int two_operands(const char* program, int argc, char** argv, const char* missing, std::string* first,
                        std::string* second) {
  int operands = argc - optind;
  if (operands != 2)
    return usage_error(program,
                       operands < 2 ? missing : std::string("unexpected argument '") + argv[optind + 2] + "'");
  *first = argv[optind];
  *second = argv[optind + 1];
  return -1;
}

int parse_render_arguments(int argc, char** argv, RenderOptions* options) {
  enum { kSettings = 256, kQuiet };
  static const option kLong[] = {{"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {"settings", required_argument, nullptr, kSettings},
                                 {"quiet", no_argument, nullptr, kQuiet},
                                 {nullptr, 0, nullptr, 0}};
  const char* program = "quillon_render";
  optind = 0;  // a fresh scan, also for a second call in one process
  opterr = 0;
  for (;;) {
    int c = getopt_long(argc, argv, ":hV", kLong, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'h': options->help = true; break;
      case 'V': options->version = true; break;
      case kSettings: options->settings_path = optarg; break;
      case kQuiet: options->quiet = true; break;
      default: return usage_error(program, getopt_fault(c, argv));
    }
  }
  if (options->help || options->version) return -1;
  return two_operands(program, argc, argv, "needs a MIDI file and a WAV file", &options->midi_path,
                      &options->wav_path);
}

// A whole number within lo..hi, as the whole argument: digits only (no
// blank, no sign).
static bool whole_number(const char* text, int lo, int hi, int* value) {
  if (!*text || std::strlen(text) > 9 || std::strspn(text, "0123456789") != std::strlen(text)) return false;
  const long n = std::strtol(text, nullptr, 10);
  if (n < lo || n > hi) return false;
  *value = (int)n;
  return true;
}

// The arguments with every operand after a "--", so that an operand that
// looks like an option ("-1" as SET) is read as one. `valued` are the long
// options that take the next argument as their value.
static std::vector<char*> operands_last(int argc, char** argv, const std::vector<std::string>& valued) {
  std::vector<char*> options{argv[0]}, operands;
  bool rest = false;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    if (rest || a.size() < 2 || a[0] != '-' || (a[1] >= '0' && a[1] <= '9')) {
      operands.push_back(argv[i]);
    } else if (a == "--") {
      rest = true;
    } else {
      options.push_back(argv[i]);
      // --program 5, or --prog 5 (a long option may be shortened).
      if (a.compare(0, 2, "--") == 0 && a.size() > 2 && a.find('=') == std::string::npos && i + 1 < argc)
        for (const std::string& v : valued)
          if (v.compare(0, a.size() - 2, a, 2, std::string::npos) == 0) {
            options.push_back(argv[++i]);
            break;
          }
    }
  }
  static char dashes[] = "--";
  options.push_back(dashes);
  options.insert(options.end(), operands.begin(), operands.end());
  options.push_back(nullptr);
  return options;
}

int parse_make_set_options(int argc, char** argv, MakeSetOptions* options) {
  enum { kProgram = 256, kBank, kVelocity, kMp3, kInto, kAllowOutside, kLayerOf, kZone };
  static const option kLong[] = {{"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {"program", required_argument, nullptr, kProgram},
                                 {"bank", required_argument, nullptr, kBank},
                                 {"velocity", required_argument, nullptr, kVelocity},
                                 {"mp3", no_argument, nullptr, kMp3},
                                 {"into", required_argument, nullptr, kInto},
                                 {"allow-outside", no_argument, nullptr, kAllowOutside},
                                 {"layer-of", required_argument, nullptr, kLayerOf},
                                 {"zone", required_argument, nullptr, kZone},
                                 {nullptr, 0, nullptr, 0}};
  const char* program = "quillon_make_set";
  std::vector<char*> args = operands_last(argc, argv, {"program", "bank", "velocity", "into", "layer-of", "zone"});
  argc = (int)args.size() - 1;
  argv = args.data();
  optind = 0;  // a fresh scan, also for a second call in one process
  opterr = 0;
  for (;;) {
    int c = getopt_long(argc, argv, ":hV", kLong, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'h': options->help = true; break;
      case 'V': options->version = true; break;
      case kProgram:
        if (!whole_number(optarg, 0, 127, &options->program))
          return usage_error(program, std::string("--program '") + optarg + "' is not a program number (0..127)");
        break;
      case kBank:
        if (!whole_number(optarg, 0, 16383, &options->bank))
          return usage_error(program, std::string("--bank '") + optarg + "' is not a bank number (0..16383)");
        break;
      case kVelocity:
        if (!whole_number(optarg, 1, 127, &options->velocity))
          return usage_error(program, std::string("--velocity '") + optarg + "' is not a velocity (1..127)");
        break;
      case kMp3: options->mp3 = true; break;
      case kAllowOutside: options->allow_outside = true; break;
      case kInto:
        if (!*optarg) return usage_error(program, "option '--into' needs a folder");
        options->into = optarg;
        break;
      case kLayerOf:
        if (!whole_number(optarg, 0, 14, &options->layer_of))
          return usage_error(program, std::string("--layer-of '") + optarg + "' is not a set number (0..14)");
        break;
      case kZone: {
        std::string zone = optarg;
        size_t comma = zone.find(',');
        if (comma == std::string::npos || !whole_number(zone.substr(0, comma).c_str(), 0, 127, &options->zone_from) ||
            !whole_number(zone.substr(comma + 1).c_str(), 0, 127, &options->zone_to) ||
            options->zone_from > options->zone_to)
          return usage_error(program, std::string("--zone '") + optarg +
                                          "' is not FROM,TO with 0 <= FROM <= TO <= 127");
        break;
      }
      default: return usage_error(program, getopt_fault(c, argv));
    }
  }
  if (options->help || options->version) return -1;
  if ((options->layer_of >= 0) != (options->zone_from >= 0))
    return usage_error(program, "--layer-of and --zone go together");
  return two_operands(program, argc, argv, "needs a SOURCE and a SET", &options->source, &options->set);
}
