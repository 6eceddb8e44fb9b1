// quillon_render IN.mid OUT.wav [--settings FILE] [--quiet]: renders a MIDI
// file through the instrument into a WAV file (see app/offline_render.h).
#include <cstdio>

#include "app/offline_render.h"

int main(int argc, char** argv) {
  RenderOptions options;
  if (!parse_render_arguments(argc, argv, &options)) {
    std::fprintf(stderr, "usage: quillon_render IN.mid OUT.wav [--settings FILE] [--quiet]\n");
    return 1;
  }
  return render_midi_file(options);
}
