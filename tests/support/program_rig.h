// SPDX-License-Identifier: GPL-3.0-or-later
// The set-up of the system tests that run the real program on a JACK server
// of their own and the display: what they need, and a copy of the run
// folder to run it from. Header-only, like child_process.h.
#pragma once
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <initializer_list>
#include <string>

#include "tests/support/child_process.h"

// Why such a test cannot run here ("" when it can): no display, one of
// `programs` missing, or MIDI through the ALSA sequencer instead of JACK.
inline std::string program_rig_missing(std::initializer_list<const char*> programs) {
  if (!std::getenv("DISPLAY")) return "needs a display ($DISPLAY)";
  for (const char* p : programs)
    if (!have_program(p)) return std::string("needs ") + p;
  if (access("/dev/snd/seq", F_OK) == 0) return "MIDI goes through the ALSA sequencer here";
  return "";
}

// A copy of `run_dir` (the build's run folder) without its settings, in a
// new folder /tmp/PREFIX.XXXXXX (*work; the copy is *run, ending in '/'),
// with JACK's own messages to this process silenced. "" when done, else
// what went wrong.
inline std::string copy_run_folder(const std::string& run_dir, const char* prefix, std::string* work,
                                   std::string* run) {
  if (access((run_dir + "sounds/piano1_60.wav").c_str(), R_OK) != 0)
    return "no sample sets in the run folder: run scripts/make-assets";
  for (const char* name : {"jack_set_error_function", "jack_set_info_function"})
    if (auto set = (void (*)(void (*)(const char*)))dlsym(RTLD_DEFAULT, name)) set([](const char*) {});
  std::string folder = std::string("/tmp/") + prefix + ".XXXXXX";
  if (!mkdtemp(&folder[0])) return "no temporary folder";
  *work = folder;
  *run = *work + "/run/";
  int status = 1;
  shell("cp -r '" + run_dir + ".' '" + *run + "'", &status);
  if (status != 0) return "the run folder could not be copied";
  shell("rm -f '" + *run + "'quillon_darvo*.ini");
  return "";
}
