// SPDX-License-Identifier: GPL-3.0-or-later
// Entry point of the instrument: reads its command line (a usage error ends
// it with status 2 before anything opens), finds its folders, needs a
// display, and ends with the main loop's status (0 normal end, 1 fatal
// start-up error).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/command_line.h"
#include "app/main_loop.h"
#include "app/program_folders.h"
#include "app/session.h"
#include "core/paths.h"
#include "platform/midi_rtmidi.h"
#include "platform/process.h"
#include "platform/window.h"
#include "platform/window_sdl.h"

namespace {

void print_help() {
  std::printf(
      "usage: quillon_darvo [OPTION]...\n"
      "A sampled piano for MIDI keyboards: piano sample sets, per-key volume, tone\n"
      "and reverb, an equalizer, reverb and automatic volume. Keys in its window\n"
      "switch the features; H shows the help text.\n"
      "\n"
      "  -h, --help             this text\n"
      "  -V, --version          the version and the licence\n"
      "      --jack-name NAME   the JACK client name of the sound output (quillon_darvo)\n"
      "      --no-connect       leave the output's JACK ports unconnected\n"
      "      --connect PORT[,PORT]  connect the output's JACK ports to these\n"
      "      --output KIND      use only this sound output: jack, pulse, alsa or file\n"
      "\n"
      "Its folders here:\n"
      "  sample sets, pictures, factory presets  %s\n"
      "  settings (quillon_darvo.ini)            %s\n"
      "  saves, presets, recording.wav           %s\n"
      "  sample sets of your own                 %s\n"
      "Under a session manager (NSM_URL set) the settings, the takes and\n"
      "recording.wav go to the session's folder.\n",
      data_folder().c_str(), config_folder().c_str(), user_data_folder().c_str(),
      (installed_layout() ? user_sounds_folder() : shipped_sounds_folder()).c_str());
}

// The output plug-ins read the output's options from the environment
// (plugins/plug-rtaudio.cpp, plugins/plug-wav.cpp); the MIDI clients' names
// follow the output's.
void apply_output_options(const InstrumentOptions& options) {
  setenv("QD_JACK_NAME", options.jack_name.c_str(), 1);
  if (options.no_connect)
    setenv("QD_JACK_CONNECT", "", 1);
  else if (!options.connect.empty())
    setenv("QD_JACK_CONNECT", options.connect.c_str(), 1);
  else
    unsetenv("QD_JACK_CONNECT");
  setenv("QD_OUTPUT", options.output.c_str(), 1);
  midi_io_set_client_name(options.jack_name);
}

}  // namespace

int main(int argc, char** argv) {
  InstrumentOptions options;
  int usage = parse_instrument_options(argc, argv, &options);
  if (usage >= 0) return usage;
  if (options.help) {
    choose_layout(process_exe_folder());
    print_help();
    return 0;
  }
  if (options.version) {
    print_version("quillon_darvo");
    return 0;
  }
  // Before the display starts: SDL leaves a handler that is there alone.
  process_catch_quit_signals();
  // Under a session manager: its folder and client id, before anything opens.
  int session_end = join_session("quillon_darvo", &options.jack_name);
  if (session_end >= 0) return session_end;
  apply_output_options(options);
  std::string error = set_up_program_folders();
  if (!error.empty()) {
    std::fprintf(stderr, "quillon_darvo: %s\n", error.c_str());
    return 1;
  }
  // The portable program works in its own folder, where all its files are.
  if (!installed_layout()) process_enter_exe_folder();
  win_install_sdl_display();
  midi_install_system_ports();
  if (!has_display()) {
    std::fputs("quillon_darvo: no display to open the window on (is DISPLAY set?)\n", stderr);
    return 1;
  }
  int status = run_main_loop();
  win_close();
  return status;
}
