// SPDX-License-Identifier: GPL-3.0-or-later
// The real program while it waits for the user, on a JACK server of the
// test's own (dummy driver) and the display ($DISPLAY, Xvfb):
//  - the server killed and started again while the equalizer editor is
//    open: the output's ports come back on the new server within a few
//    seconds, the keyboard's notes sound again, and the editor stays open;
//    SIGTERM then ends the program from the editor with its settings written;
//  - SIGTERM while the start's notice box ("no MIDI input") is open ends the
//    program within 2 s, its settings written and the box's process gone.
// Needs jackd, jack_lsp, xdotool, zenity and the run folder's sample sets.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>

#include "app/settings.h"
#include "core/settings_values.h"
#include "platform/midi_io.h"
#include "platform/midi_rtmidi.h"
#include "tests/support/audio_check.h"
#include "tests/support/child_process.h"
#include "tests/support/jack_capture.h"
#include "tests/support/program_rig.h"

namespace {

using audiocheck::read_file;

class Waits : public ::testing::Test {
 protected:
  std::string work, run, server;
  pid_t jackd = 0, program = 0;
  int keyboard = 0;
  JackCapture recorder;

  void SetUp() override {
    std::string missing = program_rig_missing({"jackd", "jack_lsp", "xdotool", "zenity"});
    if (!missing.empty()) GTEST_SKIP() << missing;
    ASSERT_EQ(copy_run_folder(QD_RUN_DIR, "qd_waits", &work, &run), "");
    server = "qd_waits_" + std::to_string(getpid());
    setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
  }

  void TearDown() override {
    if (HasFailure())
      std::fprintf(stderr, "---- program output\n%s\n---- program errors\n%s\n", output().c_str(),
                   read_file(work + "/err.txt").c_str());
    stop_child(&program);
    close_clients();
    stop_child(&jackd);
    if (!work.empty()) shell("rm -rf '" + work + "'");
  }

  std::string output() { return read_file(work + "/out.txt"); }

  void start_server() {
    jackd = spawn({"jackd", "--no-realtime", "-n", server, "-d", "dummy", "-r", "44100", "-p", "256"},
                  work + "/jackd.txt", work + "/jackd.txt");
    int status = 1;
    ASSERT_TRUE(poll_until(15.0, [&] {
      shell("jack_lsp", &status);
      return status == 0;
    })) << "jackd did not start";
  }
  // The test's keyboard and recorder on the running server.
  void open_clients() {
    midi_install_system_ports();
    ASSERT_TRUE(midi_out_open_virtual(&keyboard, "qd_keyboard", "keys"));
    ASSERT_TRUE(recorder.open(""));
  }
  void close_clients() {
    if (keyboard) midi_out_close(keyboard);
    keyboard = 0;
    recorder.close();
  }
  bool keyboard_connected() { return shell("jack_lsp -c qd_keyboard:keys").find("\n   ") != std::string::npos; }

  void start_program() { program = spawn({run + "quillon_darvo"}, work + "/out.txt", work + "/err.txt"); }

  // SIGTERM to the program alone; its exit status, or -1 when it still runs
  // 2 s later.
  int terminate_within_2s() {
    kill(program, SIGTERM);
    double sent = now_s();
    int status = wait_exit(program, 2.0);
    std::printf("ended %.0f ms after SIGTERM\n", (now_s() - sent) * 1000);
    if (status != -1) program = 0;
    return status;
  }

  // The settings file the program wrote at its end, whole.
  std::string settings_written() {
    std::string text = read_file(run + "quillon_darvo.ini");
    return count_of(text, "\n") == 2102 ? text : "";
  }
};

TEST_F(Waits, SigtermWhileTheStartNoticeIsOpenEndsWithTheSettingsWritten) {
  ASSERT_NO_FATAL_FAILURE(start_server());
  start_program();
  std::string box;
  ASSERT_TRUE(poll_until(30.0, [&] {
    box = shell("pgrep -P " + std::to_string(program) + " zenity");
    return !box.empty() && !shell("xdotool search --onlyvisible --pid " + box.substr(0, box.find('\n')) +
                                  " --name '^notice$'").empty();
  })) << "no notice box";
  EXPECT_NE(output().find("sorry no MIDI input on this system!"), std::string::npos);
  ASSERT_EQ(terminate_within_2s(), 0);
  EXPECT_NE(settings_written(), "");
  EXPECT_NE(kill(std::stoi(box), 0), 0) << "the notice box's process is still there";
}

TEST_F(Waits, ServerRestartWithTheEditorOpenPlaysAgainAndTheEditorStays) {
  set_default_settings();
  piano_sound = 1;  // WAV set: loads at once
  midi_in_port = 1;
  thru_port = 0;
  reverb_mode = 0;
  equalizer_on = 1;
  ASSERT_TRUE(write_settings((run + "quillon_darvo.ini").c_str()));
  ASSERT_NO_FATAL_FAILURE(start_server());
  ASSERT_NO_FATAL_FAILURE(open_clients());
  start_program();
  std::string win;
  ASSERT_TRUE(poll_until(60.0, [&] {
    win = shell("xdotool search --onlyvisible --pid " + std::to_string(program) + " --name '^quillon_darvo'");
    return !win.empty() && keyboard_connected() && output().find("[M]midi") != std::string::npos;
  })) << "the program did not get ready";
  shell("xdotool key --window " + win.substr(0, win.find('\n')) + " f");
  sleep_s(1.0);
  const size_t status_draws = count_of(output(), "[P]presets  [M]midi");

  close_clients();
  stop_child(&jackd);
  ASSERT_NO_FATAL_FAILURE(start_server());
  double started = now_s();
  ASSERT_TRUE(poll_until(8.0, [&] { return shell("jack_lsp").find("quillon_darvo:outport 0\n") != std::string::npos; }))
      << "the output's ports are not on the new server";
  std::printf("output ports on the new server %.0f ms after it started\n", (now_s() - started) * 1000);
  ASSERT_NO_FATAL_FAILURE(open_clients());
  ASSERT_TRUE(recorder.connect("quillon_darvo"));
  ASSERT_TRUE(poll_until(5.0, [&] { return keyboard_connected(); })) << "the MIDI input did not come back";

  size_t from = recorder.frames();
  const uint8_t on[] = {0x90, 60, 100}, off[] = {0x80, 60, 0};
  midi_out_send_bytes(keyboard, on, 3);
  sleep_s(0.6);
  midi_out_send_bytes(keyboard, off, 3);
  sleep_s(0.2);
  audiocheck::Recording rec = recorder.recording();
  float loudest = 0;
  for (size_t f = from; f < rec.mono.size(); f++) loudest = std::max(loudest, std::fabs(rec.mono[f]));
  EXPECT_GT(loudest, 1000) << "no sound after the server came back";
  EXPECT_EQ(count_of(output(), "[P]presets  [M]midi"), status_draws) << "the editor was left";
  EXPECT_EQ(count_of(output(), "plugout=JACK output"), 2u);

  ASSERT_EQ(terminate_within_2s(), 0);
  EXPECT_NE(settings_written(), "");
}

}  // namespace
