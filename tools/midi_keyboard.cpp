// SPDX-License-Identifier: GPL-3.0-or-later
// A keyboard on the command line: opens a virtual MIDI output (a JACK port
// "client:port" where the machine has no ALSA sequencer) and plays a phrase
// on it, so the instrument can be driven without a real keyboard.
//
//   midi_keyboard [--client NAME] [--port NAME] [--channel 1..16]
//                 [--wait SECONDS] [--go FILE] [--gap MS] [--hold SECONDS] PHRASE...
//
// PHRASE tokens, played in order:
//   60          key 60, velocity 100, held 250 ms
//   60/90:400   velocity 90, held 400 ms
//   60+64+67    a chord (all three keys), same options after the last key
//   r:200       rest 200 ms
//   ped+ ped-   sustain pedal down (127) / up (0)
//   cc:7:100    controller 7 to 100
// --wait: seconds between opening the port and the first note, so the
// instrument can connect; with --go the phrase starts as soon as FILE exists
// (a script creates it once it sees the connection), --wait then being the
// longest wait for it; --gap: silence after every note; --hold: seconds
// the port stays open after the phrase.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/midi_io.h"
#include "platform/midi_rtmidi.h"

namespace {

void sleep_ms(double ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::microseconds((long long)(ms * 1000.0)));
}

int usage() {
  std::fprintf(stderr,
               "usage: midi_keyboard [--client NAME] [--port NAME] [--channel 1..16] [--wait S]\n"
               "                     [--go FILE] [--gap MS] [--hold S] PHRASE...\n"
               "  tokens: 60  60/90:400  60+64+67/80:500  r:200  ped+  ped-  cc:7:100\n");
  return 2;
}

int clamp7(long value) { return value < 0 ? 0 : (value > 127 ? 127 : (int)value); }

}  // namespace

int main(int argc, char** argv) {
  std::string client = "midi_keyboard";
  std::string port = "keys";
  std::string go_file;
  int channel = 0;
  double wait_s = 2.0, gap_ms = 50.0, hold_s = 1.0;
  std::vector<std::string> phrase;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    bool has_value = i + 1 < argc;
    if (arg == "--client" && has_value) client = argv[++i];
    else if (arg == "--port" && has_value) port = argv[++i];
    else if (arg == "--channel" && has_value) channel = std::atoi(argv[++i]) - 1;
    else if (arg == "--wait" && has_value) wait_s = std::atof(argv[++i]);
    else if (arg == "--gap" && has_value) gap_ms = std::atof(argv[++i]);
    else if (arg == "--go" && has_value) go_file = argv[++i];
    else if (arg == "--hold" && has_value) hold_s = std::atof(argv[++i]);
    else if (arg == "--help" || arg == "-h") return usage();
    else phrase.push_back(arg);
  }
  if (channel < 0 || channel > 15 || phrase.empty()) return usage();
  midi_install_system_ports();

  int out = 0;
  if (!midi_out_open_virtual(&out, client.c_str(), port.c_str())) {
    std::fprintf(stderr, "midi_keyboard: cannot open a virtual MIDI output\n");
    return 1;
  }
  std::printf("%s:%s\n", client.c_str(), port.c_str());
  std::fflush(stdout);
  if (go_file.empty()) {
    sleep_ms(wait_s * 1000.0);
  } else {
    auto start = std::chrono::steady_clock::now();
    while (access(go_file.c_str(), F_OK) != 0) {
      if (std::chrono::steady_clock::now() - start > std::chrono::duration<double>(wait_s)) {
        std::fprintf(stderr, "midi_keyboard: %s did not appear\n", go_file.c_str());
        midi_out_close(out);
        return 1;
      }
      sleep_ms(20);
    }
  }

  auto send = [&](int status, int data1, int data2) {
    midi_out_short_msg(out, (uint32_t)status | ((uint32_t)data1 << 8) | ((uint32_t)data2 << 16));
  };
  int sent_notes = 0;
  for (const std::string& token : phrase) {
    if (token == "ped+" || token == "ped-") {
      send(0xB0 | channel, 64, token == "ped+" ? 127 : 0);
      continue;
    }
    if (token.compare(0, 2, "r:") == 0) {
      sleep_ms(std::atof(token.c_str() + 2));
      continue;
    }
    if (token.compare(0, 3, "cc:") == 0) {
      char* rest = nullptr;
      long number = std::strtol(token.c_str() + 3, &rest, 10);
      long value = (rest && *rest == ':') ? std::strtol(rest + 1, nullptr, 10) : 0;
      send(0xB0 | channel, clamp7(number), clamp7(value));
      continue;
    }
    // keys[/velocity][:ms]
    std::vector<int> keys;
    const char* p = token.c_str();
    char* end = nullptr;
    for (;;) {
      long key = std::strtol(p, &end, 10);
      if (end == p) break;
      keys.push_back(clamp7(key));
      p = end;
      if (*p != '+') break;
      p++;
    }
    if (keys.empty()) {
      std::fprintf(stderr, "midi_keyboard: skipping \"%s\"\n", token.c_str());
      continue;
    }
    int velocity = 100;
    double held_ms = 250.0;
    if (*p == '/') {
      velocity = clamp7(std::strtol(p + 1, &end, 10));
      p = end;
    }
    if (*p == ':') held_ms = std::atof(p + 1);
    for (int key : keys) send(0x90 | channel, key, velocity);
    sleep_ms(held_ms);
    for (int key : keys) send(0x80 | channel, key, 0);
    sent_notes += (int)keys.size();
    sleep_ms(gap_ms);
  }
  sleep_ms(hold_s * 1000.0);
  midi_out_close(out);
  std::printf("played %d notes\n", sent_notes);
  return 0;
}
