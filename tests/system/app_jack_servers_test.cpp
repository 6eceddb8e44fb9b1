// SPDX-License-Identifier: GPL-3.0-or-later
// The instrument on the JACK set-ups musicians run, one table row each: a
// JACK server of the test's own (dummy driver) at 44.1, 48 or 96 kHz, the
// program started on it with the output's command-line options, a JACK
// keyboard of the test's playing it and a recorder of the test's taking
// what it plays. Each row checks:
//  - the "plugout=" line shows the server's rate and period;
//  - the output's ports and the MIDI input's client carry the name asked
//    for, and `jack_lsp -c` shows the ports connected as the options say
//    (the first physical ports, the ports named, or none; a port that is
//    not there gives one line on standard error and no connection);
//  - a note played from the keyboard is recorded within 0.5 % of its pitch;
//  - where the row says so, the server's period changed under the playing
//    program (jack_bufsize 128, then 1024) shows on a new "plugout=" line
//    and the next note sounds at pitch. The time from the change to that
//    line is printed.
// Needs $DISPLAY (Xvfb), jackd, jack_lsp, jack_bufsize and the run folder's
// sample sets (scripts/make-assets).
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "app/settings.h"
#include "core/settings_values.h"
#include "platform/midi_io.h"
#include "platform/midi_rtmidi.h"
#include "tests/support/audio_check.h"
#include "tests/support/child_process.h"
#include "tests/support/jack_capture.h"
#include "tests/support/jack_log.h"
#include "tests/support/program_rig.h"

namespace {

using audiocheck::read_file;

struct ServerRow {
  const char* what;
  int rate, period;
  std::vector<std::string> args;
  std::string client;   // the output's client name
  std::string device;   // what the "plugout=" line names as its device
  std::string wired;    // what its first port is connected to ("": nothing)
  bool period_changes;  // jack_bufsize 128, then 1024, under the playing program
  std::string error;    // a line the program must print on standard error
};

constexpr int kKey = 67;  // G4

// The ports `port` is connected to, as `jack_lsp -c` lists them (each port
// on a line of its own, its connections indented below it).
std::vector<std::string> connections(const std::string& port) {
  std::vector<std::string> found;
  std::string list = "\n" + shell("jack_lsp -c");
  size_t at = list.find("\n" + port + "\n");
  if (at == std::string::npos) return {"(no port " + port + ")"};
  for (size_t line = at + port.size() + 2; list.compare(line, 3, "   ") == 0;) {
    size_t end = list.find('\n', line);
    found.push_back(list.substr(line + 3, end - line - 3));
    line = end + 1;
  }
  return found;
}

class JackServers : public ::testing::Test {
 protected:
  std::string work, run;
  pid_t jackd = 0, program = 0;
  int keyboard = 0;
  JackCapture recorder;

  void SetUp() override {
    std::string missing = program_rig_missing({"jackd", "jack_lsp", "jack_bufsize"});
    if (!missing.empty()) GTEST_SKIP() << missing;
    ASSERT_EQ(copy_run_folder(QD_RUN_DIR, "qd_jack_servers", &work, &run), "");
    // WAV set 1, the keyboard as input 1, no thru port and no reverb tail;
    // the default (nearest) family, whose pitch must not follow the period.
    set_default_settings();
    piano_sound = 1;
    midi_in_port = 1;
    thru_port = 0;
    reverb_mode = 0;
    ASSERT_TRUE(write_settings((run + "quillon_darvo.ini").c_str()));
  }

  void TearDown() override {
    if (HasFailure())
      std::fprintf(stderr, "---- program output\n%s\n---- program errors\n%s\n", output().c_str(),
                   read_file(work + "/err.txt").c_str());
    stop_row();
    if (!work.empty()) shell("rm -rf '" + work + "'");
  }

  std::string output() { return read_file(work + "/out.txt"); }

  // The server, the keyboard and the recorder (not yet connected).
  void start_server(const ServerRow& row, int index) {
    std::string name = "qd_servers_" + std::to_string(getpid()) + "_" + std::to_string(index);
    setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
    jackd = spawn({"jackd", "--no-realtime", "-n", name, "-d", "dummy", "-r", std::to_string(row.rate), "-p",
                   std::to_string(row.period)},
                  work + "/jackd.txt", work + "/jackd.txt");
    int status = 1;
    ASSERT_TRUE(poll_until(15.0, [&] {
      shell("jack_lsp", &status);
      return status == 0;
    })) << "jackd did not start";
    midi_install_system_ports();
    ASSERT_TRUE(midi_out_open_virtual(&keyboard, "qd_keyboard", "keys"));
    ASSERT_TRUE(recorder.open(""));
  }

  void start_program(const ServerRow& row) {
    std::vector<std::string> argv = {run + "quillon_darvo"};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    program = spawn(argv, work + "/out.txt", work + "/err.txt");
    bool ready = poll_until(60.0, [&] {
      return waitpid(program, nullptr, WNOHANG) != 0 ||
             (connections("qd_keyboard:keys").size() == 1 && output().find("[M]midi") != std::string::npos);
    });
    ASSERT_EQ(waitpid(program, nullptr, WNOHANG), 0) << "the program ended during start-up";
    ASSERT_TRUE(ready) << "the program did not get ready";
  }

  void stop_row() {
    stop_child(&program);
    if (keyboard) midi_out_close(keyboard);
    keyboard = 0;
    recorder.close();
    stop_child(&jackd);
  }

  // Plays kKey from the keyboard; the pitch it was recorded at, as a share
  // of the key's (0 when nothing sounded). A note during which the server
  // reported a late client (a cycle of ours it did not wait for: a gap in
  // the recording) is played again, twice at most.
  double played_pitch(int rate) {
    double pitch = 0;
    for (int take = 0; take < 3; take++) {
      int late = jacklog::late_clients(work + "/jackd.txt");
      pitch = played_pitch_once(rate);
      if (jacklog::late_clients(work + "/jackd.txt") == late) break;
    }
    return pitch;
  }
  double played_pitch_once(int rate) {
    size_t from = recorder.frames();
    const uint8_t on[] = {0x90, kKey, 100}, off[] = {0x80, kKey, 0};
    midi_out_send_bytes(keyboard, on, 3);
    sleep_s(0.6);
    midi_out_send_bytes(keyboard, off, 3);
    sleep_s(0.3);
    audiocheck::Recording rec = recorder.recording();
    audiocheck::Span span = audiocheck::sounding_span(rec, from, rec.mono.size());
    if (span.onset + rate / 10 + 8192 > rec.mono.size()) return 0;
    const double expected = audiocheck::key_frequency(kKey);
    return audiocheck::measured_pitch(rec, span.onset + rate / 10, 8192, expected) / expected;
  }
};

TEST_F(JackServers, EachSetUpPlaysAtPitchOnThePortsItWasToldOf) {
  const ServerRow rows[] = {
      {"44.1 kHz, the default ports", 44100, 256, {}, "quillon_darvo", "system", "system:playback_1", false, ""},
      {"48 kHz, named, connected to the recorder, period changed", 48000, 256,
       {"--jack-name", "qd keys", "--connect", "qd_capture:left,qd_capture:right"}, "qd keys", "qd_capture",
       "qd_capture:left", true, ""},
      {"96 kHz, unconnected", 96000, 512, {"--no-connect"}, "quillon_darvo", "unconnected", "", false, ""},
      {"48 kHz, a port that is not there", 48000, 256, {"--connect", "nosuch:port"}, "quillon_darvo", "nosuch", "",
       false, "quillon_darvo: no JACK port nosuch:port; the output's ports stay unconnected"},
  };
  int index = 0;
  for (const ServerRow& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_NO_FATAL_FAILURE(start_server(row, index++));
    ASSERT_NO_FATAL_FAILURE(start_program(row));
    std::string out = output();
    char line[160];
    std::snprintf(line, sizeof line, "plugout=JACK output /%s / %d 1*%d\n", row.device.c_str(), row.rate,
                  row.period);
    EXPECT_NE(out.find(line), std::string::npos) << line;
    EXPECT_NE(shell("jack_lsp").find(row.client + " in:in\n"), std::string::npos) << "the MIDI input's client";
    EXPECT_EQ(connections(row.client + ":outport 0"),
              row.wired.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.wired});
    if (!row.error.empty()) {
      EXPECT_NE(read_file(work + "/err.txt").find(row.error + "\n"), std::string::npos);
    }
    ASSERT_TRUE(recorder.connect(row.client));
    const double pitch = played_pitch(row.rate);
    std::printf("%s: key %d at pitch x %.4f\n", row.what, kKey, pitch);
    EXPECT_NEAR(pitch, 1.0, 0.005);
    for (int period : row.period_changes ? std::vector<int>{128, 1024} : std::vector<int>{}) {
      size_t from = output().size();
      double asked = now_s();
      shell("jack_bufsize " + std::to_string(period));
      std::snprintf(line, sizeof line, " / %d 1*%d\n", row.rate, period);
      EXPECT_TRUE(poll_until(1.0, [&] { return output().find(line, from) != std::string::npos; }))
          << "no plugout line for period " << period;
      std::printf("%s: period %d shown %.0f ms after jack_bufsize\n", row.what, period, (now_s() - asked) * 1000);
      EXPECT_NEAR(played_pitch(row.rate), 1.0, 0.005) << "after the period became " << period;
    }
    stop_row();
    if (HasFatalFailure()) return;
  }
}

}  // namespace
