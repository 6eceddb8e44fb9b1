// SPDX-License-Identifier: GPL-3.0-or-later
// quillon_render IN.mid OUT.wav [--settings FILE] [--quiet]: renders a MIDI
// file through the instrument into a WAV file (see app/offline_render.h).
#include <cstdio>

#include "app/command_line.h"
#include "app/offline_render.h"
#include "app/program_folders.h"

namespace {

const char kUsage[] = "usage: quillon_render [OPTION]... IN.mid OUT.wav\n";

}  // namespace

int main(int argc, char** argv) {
  RenderOptions options;
  int usage = parse_render_arguments(argc, argv, &options);
  if (usage >= 0) return usage;
  if (options.help) {
    std::fputs(kUsage, stdout);
    std::printf(
        "Plays the MIDI file IN.mid through the instrument, with the settings and\n"
        "sample set of quillon_darvo, and writes the sound to the WAV file OUT.wav\n"
        "(44100 Hz, 16-bit stereo).\n"
        "  --settings FILE  the settings from FILE instead of quillon_darvo.ini\n"
        "  --quiet          no progress line\n"
        "  -h, --help       this text\n"
        "  -V, --version    the version and the licence\n"
        "Exit status: 0 written, 1 the render failed, 2 a usage error.\n");
    return 0;
  }
  if (options.version) {
    print_version("quillon_render");
    return 0;
  }
  std::string error = set_up_program_folders();
  if (!error.empty()) {
    std::fprintf(stderr, "quillon_render: %s\n", error.c_str());
    return 1;
  }
  return render_midi_file(options);
}
