// SPDX-License-Identifier: GPL-3.0-or-later
// The command lines of the installed programs, run for real: what each
// option answers, with which status and first line. The instrument runs with
// no display, so a command line it accepted would end in "no display" with
// status 1, never in the statuses checked here.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct Outcome {
  int status = -1;
  std::string first_line;
  std::string all;
};

Outcome run(const std::string& command_line) {
  Outcome o;
  std::string command = "cd /tmp && env -u DISPLAY -u WAYLAND_DISPLAY " + std::string(QD_RUN_DIR) + command_line + " 2>&1";
  FILE* p = popen(command.c_str(), "r");
  if (!p) return o;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) o.all.append(buf, n);
  int st = pclose(p);
  o.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  o.first_line = o.all.substr(0, o.all.find('\n'));
  return o;
}

TEST(CommandLine, EachOptionAnswersWithItsStatusAndFirstLine) {
  struct Case {
    const char* line;
    int status;
    const char* first_line;
  } cases[] = {
      {"quillon_darvo --help", 0, "usage: quillon_darvo [OPTION]..."},
      {"quillon_darvo -h", 0, "usage: quillon_darvo [OPTION]..."},
      {"quillon_darvo --version", 0, "quillon_darvo " QD_TEST_VERSION},
      {"quillon_darvo -V", 0, "quillon_darvo " QD_TEST_VERSION},
      {"quillon_darvo --no-such-option", 2, "quillon_darvo: unknown option '--no-such-option'"},
      {"quillon_darvo -x", 2, "quillon_darvo: unknown option '-x'"},
      {"quillon_darvo --help=yes", 2, "quillon_darvo: option '--help' takes no argument"},
      {"quillon_darvo --jack-name", 2, "quillon_darvo: option '--jack-name' needs an argument"},
      {"quillon_darvo --connect", 2, "quillon_darvo: option '--connect' needs an argument"},
      {"quillon_darvo --connect=", 2, "quillon_darvo: option '--connect' needs a port"},
      {"quillon_darvo --output midi", 2, "quillon_darvo: 'midi' is not an output (jack, pulse, alsa or file)"},
      {"quillon_darvo stray", 2, "quillon_darvo: unexpected argument 'stray'"},
      {"quillon_render --help", 0, "usage: quillon_render [OPTION]... IN.mid OUT.wav"},
      {"quillon_render in.mid out.wav -h", 0, "usage: quillon_render [OPTION]... IN.mid OUT.wav"},
      {"quillon_render -V", 0, "quillon_render " QD_TEST_VERSION},
      {"quillon_render", 2, "quillon_render: needs a MIDI file and a WAV file"},
      {"quillon_render in.mid", 2, "quillon_render: needs a MIDI file and a WAV file"},
      {"quillon_render a.mid b.wav c.wav", 2, "quillon_render: unexpected argument 'c.wav'"},
      {"quillon_render --loud a.mid b.wav", 2, "quillon_render: unknown option '--loud'"},
      {"quillon_render a.mid b.wav --settings", 2, "quillon_render: option '--settings' needs an argument"},
      {"quillon_render /nonexistent/a.mid /tmp/qd_never.wav --quiet", 1, nullptr},
      {"quillon_make_set --help", 0, "usage: quillon_make_set [OPTION]... SOURCE SET"},
      {"quillon_make_set -V", 0, "quillon_make_set " QD_TEST_VERSION},
      {"quillon_make_set a.sf2", 2, "quillon_make_set: needs a SOURCE and a SET"},
      {"quillon_make_set a.sf2 0 b.sf2", 2, "quillon_make_set: unexpected argument 'b.sf2'"},
      {"quillon_make_set a.sf2 0 --velocity 0", 2, "quillon_make_set: --velocity '0' is not a velocity (1..127)"},
      {"quillon_make_set a.sf2 0 --program x", 2, "quillon_make_set: --program 'x' is not a program number (0..127)"},
      {"quillon_make_set a.sf2 0 --mp3=yes", 2, "quillon_make_set: option '--mp3' takes no argument"},
      {"quillon_make_set /nonexistent/a.sf2 0 --into /tmp/qd_never", 1,
       "quillon_make_set: /nonexistent/a.sf2: cannot be read"},
  };
  for (const Case& c : cases) {
    Outcome o = run(c.line);
    EXPECT_EQ(o.status, c.status) << c.line << "\n" << o.all;
    if (c.first_line) {
      EXPECT_EQ(o.first_line, c.first_line) << c.line;
    }
    if (c.status == 2) {
      EXPECT_NE(o.all.find("--help' for more information."), std::string::npos) << c.line;
    }
    std::string line = c.line;
    if (line.find("-V") != std::string::npos || line.find("--version") != std::string::npos) {
      EXPECT_NE(o.all.find("License GPLv3+: GNU GPL version 3 or later"), std::string::npos) << c.line;
    }
  }
}

}  // namespace
