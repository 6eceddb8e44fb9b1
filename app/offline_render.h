// The offline renderer: a MIDI file played through the instrument into a WAV
// file, with no window, sound device, MIDI port or JACK. It is a second
// program (quillon_render) built from the instrument's own libraries.
// Threads: everything runs on the caller's thread, the mixing included.
#pragma once
#include <string>

struct RenderOptions {
  std::string midi_path;      // IN.mid
  std::string wav_path;       // OUT.wav
  std::string settings_path;  // empty: quillon_darvo.ini in the settings folder (core/paths.h)
  bool quiet = false;         // no progress line
  bool help = false;          // --help: the usage, nothing rendered
  bool version = false;       // --version
};

// Reads `quillon_render IN.mid OUT.wav [--settings FILE] [--quiet]`, or
// --help or --version alone. Returns false when the arguments do not fit.
bool parse_render_arguments(int argc, const char* const* argv, RenderOptions* options);

// Plays the file through the instrument in blocks of buffer_size frames at
// 44100 Hz stereo on a virtual clock and writes 16-bit samples to the WAV
// file, which appears only when complete. The settings and sample sets come
// from the folders of core/paths.h. The render ends when the last
// event has passed, every voice has ended and the output has stayed silent
// for 0.5 s, or 10 s after the last event. Returns 0, or 1 after one line on
// standard error.
int render_midi_file(const RenderOptions& options);
