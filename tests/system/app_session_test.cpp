// SPDX-License-Identifier: GPL-3.0-or-later
// The real program under a session manager that the test plays itself (an
// OSC server on a UDP port of its own), on a JACK server of the test's own
// (dummy driver) and the display ($DISPLAY, Xvfb): the announce, the open
// into a new folder, the ports named after the client id, no box at start,
// save, is_dirty after a key command, SIGTERM keeping the saved state, and a
// second start from the folder coming back with it, playing on when the
// manager goes away. Then a malformed
// NSM_URL, a manager that never answers, and an open into a folder that
// cannot be made. Needs jackd, jack_lsp, xdotool and the run folder's sets.
#include <gtest/gtest.h>
#include <lo/lo.h>
#include <signal.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "app/settings.h"
#include "core/settings_values.h"
#include "tests/support/audio_check.h"
#include "tests/support/child_process.h"
#include "tests/support/program_rig.h"

namespace {

using audiocheck::read_file;

// The manager: every message that arrives as "path arg|arg|...", answers
// going back to where the last one came from.
struct Manager {
  lo_server server = lo_server_new_with_proto(nullptr, LO_UDP, nullptr);
  lo_address client = nullptr;
  std::vector<std::string> heard;
  Manager() {
    lo_server_add_method(server, nullptr, nullptr, [](const char* path, const char* types, lo_arg** argv, int argc,
                                                      lo_message m, void* self) {
      auto* manager = static_cast<Manager*>(self);
      std::string line = std::string(path) + " ";
      for (int i = 0; i < argc; i++)
        line += (i ? "|" : "") + (types[i] == 's' ? std::string(&argv[i]->s) : std::to_string(argv[i]->i));
      manager->heard.push_back(line);
      char* url = lo_address_get_url(lo_message_get_source(m));
      if (manager->client) lo_address_free(manager->client);
      manager->client = lo_address_new_from_url(url);
      free(url);
      return 0;
    }, this);
  }
  ~Manager() { go_away(); }
  void go_away() {
    if (client) lo_address_free(client);
    if (server) lo_server_free(server);
    client = nullptr;
    server = nullptr;
  }
  std::string url() { return "osc.udp://127.0.0.1:" + std::to_string(lo_server_get_port(server)) + "/"; }
  // Waits up to `seconds` for a message starting with `start`; the message or "".
  std::string wait_for(const std::string& start, double seconds) {
    std::string found;
    poll_until(seconds, [&] {
      lo_server_recv_noblock(server, 10);
      for (const std::string& line : heard)
        if (line.compare(0, start.size(), start) == 0) found = line;
      return !found.empty();
    });
    heard.clear();
    return found;
  }
  void announce_reply_and_open(const std::string& folder) {
    lo_send_from(client, server, LO_TT_IMMEDIATE, "/reply", "ssss", "/nsm/server/announce", "hello", "test", ":");
    lo_send_from(client, server, LO_TT_IMMEDIATE, "/nsm/client/open", "sss", folder.c_str(), "Piano", "nTEST");
  }
  void send(const char* path) { lo_send_from(client, server, LO_TT_IMMEDIATE, path, ""); }
};

class Session : public ::testing::Test {
 protected:
  std::string work, run, server, session;
  pid_t jackd = 0, program = 0;

  void SetUp() override {
    std::string missing = program_rig_missing({"jackd", "jack_lsp", "xdotool"});
    if (!missing.empty()) GTEST_SKIP() << missing;
    ASSERT_EQ(copy_run_folder(QD_RUN_DIR, "qd_session", &work, &run), "");
    session = work + "/sessions/song/Piano.nTEST";
    server = "qd_session_" + std::to_string(getpid());
    setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
    jackd = spawn({"jackd", "--no-realtime", "-n", server, "-d", "dummy", "-r", "44100", "-p", "256"},
                  work + "/jackd.txt", work + "/jackd.txt");
    int status = 1;
    ASSERT_TRUE(poll_until(15.0, [&] { shell("jack_lsp", &status); return status == 0; })) << "no jackd";
  }
  void TearDown() override {
    if (HasFailure()) std::fprintf(stderr, "---- program errors\n%s\n", errors().c_str());
    stop_child(&program);
    stop_child(&jackd);
    unsetenv("NSM_URL");
    if (!work.empty()) shell("rm -rf '" + work + "'");
  }
  std::string errors() { return read_file(work + "/err.txt"); }
  void start_program(const std::string& nsm_url) {
    setenv("NSM_URL", nsm_url.c_str(), 1);
    program = spawn({run + "quillon_darvo"}, work + "/out.txt", work + "/err.txt");
  }
  bool ports_of(const std::string& client, double seconds) {
    return poll_until(seconds, [&] { return shell("jack_lsp").find(client + ":outport 0\n") != std::string::npos; });
  }
  void key(const char* k) {
    std::string win = shell("xdotool search --onlyvisible --pid " + std::to_string(program) + " --name '^quillon'");
    shell("xdotool key --window " + win.substr(0, win.find('\n')) + " " + k);
  }
  // A setting of the file the program saved in the session's folder.
  int saved_equalizer() {
    read_settings((session + "/quillon_darvo.ini").c_str());
    return equalizer_on.load();
  }
};

TEST_F(Session, OpensSavesTracksChangesAndComesBackFromItsFolder) {
  Manager manager;
  start_program(manager.url());
  std::string announce = manager.wait_for("/nsm/server/announce", 10.0);
  EXPECT_EQ(announce, "/nsm/server/announce Quillon Darvo|:dirty:|quillon_darvo|1|2|" + std::to_string(program));
  sleep_s(1.0);  // nothing opens or is written before the open
  for (const std::string& port : {std::string(":outport"), std::string("nTEST"), std::string("quillon")})
    EXPECT_EQ(shell("jack_lsp").find(port), std::string::npos) << port;
  EXPECT_NE(access((work + "/sessions").c_str(), F_OK), 0);
  manager.announce_reply_and_open(session);
  EXPECT_NE(manager.wait_for("/reply /nsm/client/open|", 5.0), "");
  ASSERT_TRUE(ports_of("nTEST", 60.0)) << "no output named after the client id";
  EXPECT_FALSE(ports_of("quillon_darvo", 0.0));
  ASSERT_TRUE(poll_until(60.0, [&] { return read_file(work + "/out.txt").find("[M]midi") != std::string::npos; }));
  // The start's notice (no MIDI input here) went to standard error, not a box.
  EXPECT_NE(errors().find("sorry no MIDI input"), std::string::npos);
  EXPECT_EQ(shell("pgrep -P " + std::to_string(program) + " zenity"), "");

  manager.send("/nsm/client/save");
  EXPECT_NE(manager.wait_for("/reply /nsm/client/save|", 5.0), "");
  EXPECT_EQ(count_of(read_file(session + "/quillon_darvo.ini"), "\n"), (size_t)kSettingsLines);
  EXPECT_EQ(saved_equalizer(), 0);
  EXPECT_EQ(manager.wait_for("/nsm/client/is_dirty", 1.5), "") << "dirty without a change";
  key("g");  // the equalizer on
  EXPECT_NE(manager.wait_for("/nsm/client/is_dirty", 5.0), "");
  manager.send("/nsm/client/save");
  EXPECT_NE(manager.wait_for("/nsm/client/is_clean", 5.0), "");
  EXPECT_EQ(saved_equalizer(), 1);
  key("g");  // off again, never saved
  EXPECT_NE(manager.wait_for("/nsm/client/is_dirty", 5.0), "");

  kill(program, SIGTERM);
  double sent = now_s();
  EXPECT_EQ(wait_exit(program, 2.0), 0) << "not ended within 2 s of SIGTERM";
  std::printf("ended %.0f ms after SIGTERM\n", (now_s() - sent) * 1000);
  program = 0;
  EXPECT_EQ(saved_equalizer(), 1) << "the end wrote the settings";
  EXPECT_NE(access((run + "quillon_darvo.ini").c_str(), F_OK), 0) << "the user's settings were written";

  start_program(manager.url());
  ASSERT_NE(manager.wait_for("/nsm/server/announce", 10.0), "");
  manager.announce_reply_and_open(session);
  ASSERT_TRUE(ports_of("nTEST", 60.0));
  ASSERT_TRUE(poll_until(60.0, [&] { return count_of(read_file(work + "/out.txt"), "[M]midi") > 0; }));
  shell("rm -f '" + session + "/quillon_darvo.ini'");
  manager.send("/nsm/client/save");
  EXPECT_NE(manager.wait_for("/reply /nsm/client/save|", 5.0), "");
  EXPECT_EQ(saved_equalizer(), 1) << "the second start did not come back with the saved setting";

  // The manager goes away: the program plays on and ends as usual.
  manager.go_away();
  key("g");
  EXPECT_EQ(wait_exit(program, 1.5), -1);
  key("Escape");
  EXPECT_EQ(wait_exit(program, 10.0), 0);
  program = 0;
  EXPECT_EQ(saved_equalizer(), 1) << "Esc wrote the settings";
}

TEST_F(Session, MalformedUrlSilentManagerAndAnUnmakeableFolder) {
  Manager silent;
  // A malformed NSM_URL or a manager that never answers: one line on
  // standard error and the program as outside a session.
  for (const auto& [url, line] : std::vector<std::pair<std::string, std::string>>{
           {"osc.udp://nowhere/", "NSM_URL 'osc.udp://nowhere/' is not an OSC address"},
           {silent.url(), "no answer from the session manager at " + silent.url() + " within 5 s"}}) {
    SCOPED_TRACE(url);
    start_program(url);
    ASSERT_TRUE(ports_of("quillon_darvo", 60.0));
    EXPECT_NE(errors().find(line), std::string::npos);
    kill(program, SIGTERM);
    EXPECT_EQ(wait_exit(program, 2.0), 0);
    program = 0;
    EXPECT_EQ(count_of(read_file(run + "quillon_darvo.ini"), "\n"), (size_t)kSettingsLines) << "not saved as outside a session";
    shell("rm -f '" + run + "'quillon_darvo*.ini");
  }
  // An open into a folder below a file: the manager's error, the end.
  Manager manager;
  shell("touch '" + work + "/file'");
  start_program(manager.url());
  ASSERT_NE(manager.wait_for("/nsm/server/announce", 10.0), "");
  manager.announce_reply_and_open(work + "/file/Piano.nTEST");
  EXPECT_NE(manager.wait_for("/error /nsm/client/open|-10|", 5.0), "");
  EXPECT_EQ(wait_exit(program, 5.0), 1);
  program = 0;
}

}  // namespace
