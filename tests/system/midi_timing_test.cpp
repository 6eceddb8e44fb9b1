// SPDX-License-Identifier: GPL-3.0-or-later
// Every note on the frame it was played. On a JACK server of the test's own
// (dummy driver) at periods of 64 and 256 frames, the program plays a set
// whose tones start at full level on their first frame through its JACK
// output, and tools/midi_onset_probe sends it note-ons at offsets spread over
// the period and finds each onset in that output. From each sent event to
// its onset: a spread (jitter) of at most 2 frames whatever the offset, and
// a median of at most 2 frames: the program's MIDI input runs before its
// output in each cycle, so a note sounds on its own frame. A run in which the server
// reported a late cycle while the notes were played is played again, unless
// only clients of ours were late: the program's JACK threads never wait, so
// that fails the test.
// Needs $DISPLAY (Xvfb), jackd and the run folder (scripts/make-assets).
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/settings.h"
#include "tests/support/audio_check.h"
#include "tests/support/child_process.h"
#include "tests/support/jack_log.h"

namespace {

constexpr int kSyntheticSet = 14;  // a set number the factory sets leave free
constexpr int kTries = 3;          // runs a late client may spoil

struct Figures {
  int period = 0, notes = 0, heard = 0, median = 0, min = 0, max = 0, jitter = 0, late = 0;
};

// The probe's last line: "period P rate R notes N heard H median M min A max
// B jitter J late L".
bool read_figures(const std::string& text, Figures* f) {
  size_t at = text.rfind("period ");
  unsigned rate = 0;
  return at != std::string::npos &&
         std::sscanf(text.c_str() + at, "period %d rate %u notes %d heard %d median %d min %d max %d jitter %d late %d",
                     &f->period, &rate, &f->notes, &f->heard, &f->median, &f->min, &f->max, &f->jitter,
                     &f->late) == 9;
}

class MidiTiming : public ::testing::TestWithParam<int> {
 protected:
  std::string work, run;
  pid_t jackd = 0, program = 0, probe = 0;

  void SetUp() override {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs a display ($DISPLAY)";
    if (!have_program("jackd")) GTEST_SKIP() << "needs jackd";
    if (access("/dev/snd/seq", F_OK) == 0) GTEST_SKIP() << "MIDI goes through the ALSA sequencer here";
    char tmpl[] = "/tmp/qd_midi_timing.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    work = tmpl;
    run = work + "/run/";
    // The run folder with its JACK output and the synthetic set; effects
    // off, the shortest note-off delay.
    int status = 1;
    shell("sh -c 'mkdir \"$1\" \"$1sounds\" && cd " QD_RUN_DIR " && for f in *; do case $f in cache|sounds) ;; "
          "*) cp -r \"$f\" \"$1\" || exit 1;; esac; done' - '" + run + "' && " QD_TOOLS_DIR "synthetic_set '" +
          run + "sounds' " + std::to_string(kSyntheticSet), &status);
    ASSERT_EQ(status, 0) << "cannot make the run folder";
    set_default_settings();
    piano_sound = kSyntheticSet;
    midi_in_port = 1;
    thru_port = 0;
    note_off_delay = 0.05;
    ASSERT_TRUE(write_settings((run + "quillon_darvo.ini").c_str()));
  }

  void TearDown() override {
    stop();
    if (!work.empty()) shell("rm -rf '" + work + "'");
  }

  void stop() {
    stop_child(&probe);
    stop_child(&program);
    stop_child(&jackd);
  }

  // A server of the test's own at `period` frames, in real time where that
  // is allowed (as root in CI), as on a musician's machine.
  void start_server(int period) {
    std::string name = "qd_timing_" + std::to_string(getpid());
    setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
    struct rlimit rt;
    bool realtime = geteuid() == 0 || (getrlimit(RLIMIT_RTPRIO, &rt) == 0 && rt.rlim_cur > 0);
    jackd = spawn({"jackd", realtime ? "--realtime" : "--no-realtime", "-n", name, "-d", "dummy", "-r", "44100",
                   "-p", std::to_string(period)},
                  work + "/jackd.txt", work + "/jackd.txt");
    double deadline = now_s() + 15.0;
    int status = 1;
    while (shell("jack_lsp", &status), status != 0 && now_s() < deadline) sleep_s(0.1);
    ASSERT_EQ(status, 0) << "jackd did not start";
  }

  // One probe of the program: the probe waits for the program's input to
  // connect to it and for the program's output port.
  void measure(Figures* figures) {
    probe = spawn({QD_TOOLS_DIR "midi_onset_probe", "--audio", "quillon_darvo:outport 0", "--notes", "12"},
                  work + "/probe.txt", work + "/probe.txt");
    program = spawn({run + "quillon_darvo"}, work + "/out.txt", work + "/err.txt");
    int status = wait_exit(probe, 90.0);
    probe = status == -1 ? probe : 0;
    std::string told = audiocheck::read_file(work + "/probe.txt");
    ASSERT_EQ(status, 0) << told << audiocheck::read_file(work + "/err.txt");
    ASSERT_TRUE(read_figures(told, figures)) << told;
    stop_child(&program);
  }
};

TEST_P(MidiTiming, EveryNoteSoundsOnItsOwnFrame) {
  const int period = GetParam();
  ASSERT_NO_FATAL_FAILURE(start_server(period));
  for (int i = 0; i < kTries; i++) {
    Figures f;
    const int log_from = jacklog::lines_of(work + "/jackd.txt");
    ASSERT_NO_FATAL_FAILURE(measure(&f));
    if (f.late > 0) {
      // Ours alone late: a fault of ours. Others too, or the driver itself:
      // the machine stalled them all and disturbed the run.
      EXPECT_FALSE(jacklog::only_ours_late(work + "/jackd.txt", log_from) &&
                   jacklog::clock_slips(work + "/jackd.txt", log_from) == 0)
          << "only clients of ours were late:\n" << audiocheck::read_file(work + "/jackd.txt");
      if (::testing::Test::HasFailure()) return;
      continue;
    }
    EXPECT_EQ(f.period, period);
    EXPECT_LE(f.jitter, 2) << "min " << f.min << ", max " << f.max;
    EXPECT_LE(f.median, 2);
    EXPECT_GE(f.min, 0);
    return;
  }
  GTEST_SKIP() << "the server reported late cycles in every run";
}

INSTANTIATE_TEST_SUITE_P(Periods, MidiTiming, ::testing::Values(64, 256));

}  // namespace
