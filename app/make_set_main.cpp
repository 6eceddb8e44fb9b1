// SPDX-License-Identifier: GPL-3.0-or-later
// quillon_make_set SOURCE SET [--program N] [--bank N] [--velocity V] [--mp3]
// [--into FOLDER] [--allow-outside] [--layer-of BASE --zone FROM,TO]: makes the nine
// files of a piano sample set from a
// SoundFont or an SFZ instrument (see import/make_set.h).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

#include "app/command_line.h"
#include "app/sample_sets.h"
#include "app/velocity_layers.h"
#include "core/paths.h"
#include "import/make_set.h"
#include "platform/process.h"

namespace {

const char kProgram[] = "quillon_make_set";

void print_help() {
  std::printf(
      "usage: quillon_make_set [OPTION]... SOURCE SET\n"
      "Makes piano sample set SET (0..14) of quillon_darvo from a SoundFont (.sf2,\n"
      ".sf3) or an SFZ instrument (.sfz): for each C from key 12 to key 108 the note\n"
      "the source plays, 16-bit 44.1 kHz stereo WAV (or MP3), started at its onset,\n"
      "up to 16 s long, levelled as one set.\n"
      "  --program N    the SoundFont's program (0..127, default 0)\n"
      "  --bank N       the SoundFont's bank (default 0)\n"
      "  --velocity V   the velocity the notes are played at (1..127, default 100)\n"
      "  --mp3          MP3 files instead of WAV\n"
      "  --into FOLDER  the folder for the files (default %s)\n"
      "  --allow-outside  an SFZ's samples may lie outside its folder (by absolute\n"
      "                 paths, \"../\" or links); without it such a sample is refused\n"
      "  --layer-of BASE --zone FROM,TO\n"
      "                 declare the set the loud layer of set BASE in the folder's\n"
      "                 layers.txt: up to velocity FROM BASE plays alone, from TO\n"
      "                 this set, in between both, crossfaded (0 <= FROM <= TO <= 127)\n"
      "  -h, --help     this text\n"
      "  -V, --version  the version and the licence\n"
      "A key the source leaves silent or plays no note for is made from the\n"
      "nearest key that sounds; its line says so. The earlier set is replaced\n"
      "as a whole, or not at all.\n"
      "Exit status: 0 made, 1 bad input (nothing written), 2 a usage error.\n",
      (installed_layout() ? user_sounds_folder() : shipped_sounds_folder()).c_str());
}

// SET as given, when it is a set number: one or two digits, nothing else.
bool set_number(const std::string& text, int* set) {
  if (text.empty() || text.size() > 2 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const int n = std::atoi(text.c_str());
  if (n > 14) return false;
  *set = n;
  return true;
}

std::string file_part(const std::string& path) { return path.substr(path.rfind('/') + 1); }

int make_set(int argc, char** argv, bool bar) {
  MakeSetOptions options;
  int usage = parse_make_set_options(argc, argv, &options);
  if (usage >= 0) return usage;
  // Folders as the instrument finds them, for the default of --into; a
  // missing installed data folder does not matter here.
  choose_layout(process_exe_folder());
  if (options.help) {
    print_help();
    return 0;
  }
  if (options.version) {
    print_version(kProgram);
    return 0;
  }
  int set = 0;
  if (!set_number(options.set, &set)) {
    std::fprintf(stderr, "%s: '%s' is not a set number (0..14)\n", kProgram, options.set.c_str());
    return 1;
  }
  if (options.layer_of == set) {
    std::fprintf(stderr, "%s: set %d cannot be its own loud layer\n", kProgram, set);
    return 2;
  }
  MakeSetRequest request;
  request.source = options.source;
  request.bank = options.bank;
  request.program = options.program;
  request.velocity = options.velocity;
  request.mp3 = options.mp3;
  request.allow_outside = options.allow_outside;
  std::string folder = options.into;
  if (folder.empty()) folder = installed_layout() ? user_sounds_folder() : shipped_sounds_folder();
  if (folder.back() != '/') folder += '/';
  request.folder = folder;
  for (int w = 0; w < kSamplesPerSet; w++) {
    const std::string mp3 = file_part(sample_mp3_name(set, sample_number(w), folder));
    const std::string wav = file_part(sample_wav_name(set, sample_number(w), folder));
    request.names[w] = options.mp3 ? mp3 : wav;
    request.others[w] = options.mp3 ? wav : mp3;
  }
  std::string error = make_sample_set(request, stdout, bar);
  if (!error.empty()) {
    if (bar) std::fputs("\r\033[K", stdout);  // the progress bar's line
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    return 1;
  }
  std::printf("set %d: %d samples in %s\n", set, kSamplesPerSet, folder.c_str());
  if (options.layer_of >= 0) {
    error = declare_loud_layer(folder, options.layer_of, set, options.zone_from, options.zone_to);
    if (!error.empty()) {
      std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
      return 1;
    }
    std::printf("set %d: the loud layer of set %d over velocities %d..%d (%s%s)\n", set, options.layer_of,
                options.zone_from, options.zone_to, folder.c_str(), kLayersFileName);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool bar = isatty(STDOUT_FILENO) == 1;
  try {
    return make_set(argc, argv, bar);
  } catch (const std::exception& e) {
    // Out of memory, most likely: a source that asks for more than this
    // machine has. The earlier set is whole (a replacement cut short is
    // put back by the next run).
    if (bar) std::fputs("\r\033[K", stdout);
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", kProgram,
                 dynamic_cast<const std::bad_alloc*>(&e) ? "out of memory; the earlier set is kept" : e.what());
    return 1;
  }
}
