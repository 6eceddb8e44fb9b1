// SPDX-License-Identifier: GPL-3.0-or-later
// The soak: the live program played for minutes through a JACK server of
// its own while the rig misbehaves. A player plays MIDI files on a JACK port
// in a loop; meanwhile the soak switches the sample set every 20 s, opens
// and leaves an editor every 30 s, unplugs the player's port for 3 s every
// 90 s, and kills the JACK server (kill -9 of the one it started) and starts
// it again every 2 minutes. At the end, after all notes off on every channel:
// the voice count on the screen is 0, the output is silent 1.5 s after the
// last note-off, the resident size grew by less than 5 MB after the first
// minute, and Esc ends the program with status 0 and its settings written.
// Prints what happened and the figures; exit status 0 when every check held.
//
// usage: quillon_soak RUN_DIR MINUTES FILE.mid...   (scripts/soak runs it)
// Needs $DISPLAY, jackd, jack_lsp, xdotool and ImageMagick's import.
#include <jack/jack.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/settings.h"
#include "midi/midi_file.h"
#include "platform/midi_io.h"
#include "platform/midi_rtmidi.h"
#include "platform/window_backend.h"
#include "tests/support/child_process.h"
#include "tests/support/jack_capture.h"

namespace {

constexpr const char* kPlayer = "qd_soak_player";
constexpr const char* kListener = "qd_soak_listener";
constexpr double kSilentAfter = 1.5;  // the output is silent this long after the last note-off
constexpr long kMaxGrowthKb = 5 * 1024;
constexpr double kBackWithin = 2.0;  // the output and the player's port, after the server is started again

int failures = 0;
void fail(const std::string& what) {
  std::printf("FAIL: %s\n", what.c_str());
  std::fflush(stdout);
  failures++;
}
void note(const std::string& what) {
  std::printf("%s\n", what.c_str());
  std::fflush(stdout);
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

long resident_kb(pid_t pid) {
  std::string status = read_text("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

// ---- the player ----
// Plays the files one after the other, again and again, on its port while
// the port is wanted; events due while it is not are skipped, as a keyboard
// unplugged plays nothing.
struct Player {
  std::vector<MidiFile> files;
  std::atomic<bool> wanted{true}, open{false}, stop{false};
  std::atomic<long> sent{0};
  int port = 0;
  std::thread thread;

  void run() {
    size_t f = 0, e = 0;
    double start = now_s();
    while (!stop.load()) {
      if (wanted.load() != open.load()) {
        if (wanted.load()) {
          if (midi_out_open_virtual(&port, kPlayer, "keys")) open = true;
        } else {
          midi_out_close(port);
          open = false;
        }
      }
      const MidiFile& file = files[f];
      if (e >= file.events.size()) {
        f = (f + 1) % files.size();
        e = 0;
        start = now_s() + 0.5;
        continue;
      }
      double due = start + file.events[e].seconds;
      if (due > now_s()) {
        sleep_s(std::min(0.01, due - now_s()));
        continue;
      }
      if (open.load() && midi_out_short_msg(port, file.events[e].message)) sent++;
      e++;
    }
  }
  // Until the port is as wanted (the player thread opens and closes it).
  bool set_open(bool want) {
    wanted = want;
    for (int i = 0; i < 500 && open.load() != want; i++) sleep_s(0.01);
    return open.load() == want;
  }
  void send(uint32_t message) {
    if (open.load()) midi_out_short_msg(port, message);
  }
  // All notes off and the pedal up on every channel: the last note-offs.
  void all_notes_off() {
    for (int ch = 0; ch < 16; ch++) {
      midi_out_short_msg(port, 0xB0 | ch | 64 << 8);
      midi_out_short_msg(port, 0xB0 | ch | 123 << 8);
    }
  }
};

// ---- the soak ----
struct Soak {
  std::string run, work, server;
  pid_t jackd = 0, program = 0;
  int listener = 0;
  Player player;
  int notices = 0;

  std::string output() { return read_text(work + "/out.txt"); }
  bool running() { return program > 0 && waitpid(program, nullptr, WNOHANG) == 0; }

  std::string windows(const std::string& name) {
    return shell("xdotool search --all --onlyvisible --pid " + std::to_string(program) + " --name '^" + name + "$'");
  }
  // Notice boxes are a fault on stage: each one counts, and is answered.
  void answer_notices() {
    std::istringstream ids(windows("notice"));
    for (std::string w; ids >> w;) {
      notices++;
      std::string out = output();
      size_t at = out.rfind("notice: ");
      fail("a notice box: " + (at == std::string::npos ? std::string("?") : out.substr(at)));
      shell("xdotool windowfocus --sync " + w + " key Return");
    }
  }
  std::string window() {
    std::istringstream ids(windows("quillon_darvo.*"));
    std::string w;
    ids >> w;
    return w;
  }
  void press(const std::string& key) {
    std::string w = window();
    if (!w.empty()) shell("xdotool windowfocus --sync " + w + " key " + key);
  }
  // Until `text` shows in the program's output after `from`; false after `seconds`.
  bool wait_output(const std::string& text, size_t from, double seconds) {
    for (double end = now_s() + seconds; now_s() < end; sleep_s(0.05)) {
      if (output().find(text, from) != std::string::npos) return true;
      if (!running()) return false;
      answer_notices();
    }
    return false;
  }

  bool start_jack() {
    jackd = spawn({"jackd", "--no-realtime", "-n", server, "-d", "dummy", "-r", "44100", "-p", "256"},
                  work + "/jackd.txt", work + "/jackd.txt");
    for (int i = 0; i < 150; i++) {
      int status = 1;
      shell("jack_lsp", &status);
      if (status == 0) return true;
      sleep_s(0.1);
    }
    return false;
  }
  bool open_listener() {
    return midi_in_open_virtual(&listener, kListener, "thru", [](int, uint32_t, uintptr_t, uintptr_t, uintptr_t) {},
                                0) && midi_in_start(listener);
  }
  void close_listener() {
    if (listener) midi_in_close(listener);
    listener = 0;
  }

  // The JACK server goes (kill -9) under the playing program and comes back;
  // the program's output and its input must follow by themselves, each
  // within kBackWithin of the server's start.
  void restart_jack(std::vector<double>* output_back, std::vector<double>* input_back) {
    player.set_open(false);
    close_listener();
    size_t from = output().size();
    kill(-jackd, SIGKILL);
    wait_exit(jackd, 5.0);
    if (!wait_output("audio output lost, retrying every 2 s", from, 10.0)) fail("the lost output was not told");
    sleep_s(1.0);
    double started = now_s();
    if (!start_jack()) {
      fail("the JACK server did not start again");
      return;
    }
    if (!open_listener()) fail("the listener did not open again");
    player.set_open(true);
    double up = now_s() - started;
    if (wait_output("plugout=JACK output", from, 20.0))
      output_back->push_back(now_s() - started);
    else
      fail("the output did not come back after the JACK server did");
    if (wait_output("MIDI input 1 found: " + std::string(kPlayer) + ":keys", from, 20.0))
      input_back->push_back(now_s() - started);
    else
      fail("the player's port was not found again after the JACK server came back");
    if (output_back->empty() || input_back->empty()) return;
    std::printf("restart %zu: server up in %.2f s, output back in %.2f s, player found again in %.2f s\n",
                output_back->size(), up, output_back->back(), input_back->back());
    std::fflush(stdout);
    if (output_back->back() > kBackWithin || input_back->back() > kBackWithin)
      fail("a restart took more than " + std::to_string(kBackWithin).substr(0, 3) + " s");
  }

  // The text of `cells` cells of a row from a column, as the window shows
  // it: each 8 x 8 cell matched against the font's glyphs ('?' for none).
  std::string screen_cells(int row, int column, int cells) {
    std::string w = window();
    std::string crop = std::to_string(cells * 8) + "x8+" + std::to_string((column - 1) * 8) + "+" +
                       std::to_string((row - 1) * 8);
    std::string rgb = shell("import -window " + w + " -crop " + crop + " +repage -depth 8 rgb:-");
    if (rgb.size() < (size_t)cells * 64 * 3) return "";
    std::string text;
    for (int c = 0; c < cells; c++) {
      uint8_t bits[8] = {};
      for (int y = 0; y < 8; y++)
        for (int x = 0; x < 8; x++) {
          size_t p = ((size_t)y * cells * 8 + c * 8 + x) * 3;
          uint32_t pixel = (uint8_t)rgb[p] << 16 | (uint8_t)rgb[p + 1] << 8 | (uint8_t)rgb[p + 2];
          if (pixel == 0x9BFFFF) bits[y] |= 0x80 >> x;
        }
      char found = '?';
      for (int ch = 32; ch < 127 && found == '?'; ch++)
        if (std::equal(bits, bits + 8, font8x8_glyph((unsigned char)ch))) found = (char)ch;
      text += found;
    }
    return text;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: quillon_soak RUN_DIR MINUTES FILE.mid...\n");
    return 2;
  }
  midi_install_system_ports();
  std::string run_src = argv[1];
  double minutes = std::atof(argv[2]);
  Soak soak;
  for (int i = 3; i < argc; i++) {
    std::string bytes = read_text(argv[i]);
    MidiFile file;
    std::string why = read_midi_file((const uint8_t*)bytes.data(), bytes.size(), &file);
    if (!why.empty() || file.events.empty()) {
      std::fprintf(stderr, "quillon_soak: %s: %s\n", argv[i], why.empty() ? "no events" : why.c_str());
      return 2;
    }
    soak.player.files.push_back(file);
  }
  char tmpl[] = "/tmp/qd_soak.XXXXXX";
  if (!mkdtemp(tmpl)) return 2;
  soak.work = tmpl;
  soak.run = soak.work + "/run/";
  soak.server = "qd_soak_" + std::to_string(getpid());
  shell("cp -r '" + run_src + "/.' '" + soak.run + "'");
  shell("rm -f '" + soak.run + "'quillon_darvo*.ini '" + soak.run + "recording.wav'");

  // The rig: the player as input 1 and the listener as the thru port, by
  // name; the three editors of the soak in use (equalizer, key volume, key
  // tone, whose pass runs at every set change); no reverb tail at the end.
  set_default_settings();
  buffer_size = 256;
  midi_in_port_name[0] = std::string(kPlayer) + ":keys";
  thru_port = 1;
  thru_port_name = std::string(kListener) + ":thru";
  equalizer_on = 1;
  keyvol_on = 1;
  keytone_mode = 1;
  write_settings((soak.run + "quillon_darvo.ini").c_str());
  struct stat before;
  stat((soak.run + "quillon_darvo.ini").c_str(), &before);

  // The JACK library's complaints when the server it knew is killed.
  jack_set_error_function([](const char*) {});
  jack_set_info_function([](const char*) {});
  setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
  setenv("JACK_NO_START_SERVER", "1", 1);
  setenv("JACK_DEFAULT_SERVER", soak.server.c_str(), 1);
  if (!soak.start_jack() || !soak.open_listener()) {
    std::fprintf(stderr, "quillon_soak: no JACK server of its own\n");
    return 2;
  }
  soak.player.thread = std::thread([&] { soak.player.run(); });
  soak.player.set_open(true);
  soak.program = spawn({soak.run + "quillon_darvo"}, soak.work + "/out.txt", soak.work + "/err.txt");
  if (!soak.wait_output("[M]midi", 0, 60.0)) fail("the program did not start");

  std::vector<double> output_back, input_back;
  int switches = 0, editors = 0, unplugs = 0, restarts = 0;
  long rss_first = -1, rss_end = -1;
  const char* const kEditors[] = {"f", "e", "s"};
  double t0 = now_s(), end = t0 + minutes * 60.0;
  // Out of step with each other, so a short soak has each of them.
  double next_switch = t0 + 20, next_editor = t0 + 25, next_unplug = t0 + 45, next_restart = t0 + 75;
  note("soak: " + std::to_string(minutes) + " minutes, " + std::to_string(soak.player.files.size()) + " files");
  while (now_s() < end && soak.running()) {
    double now = now_s();
    if (now >= next_restart) {
      soak.restart_jack(&output_back, &input_back);
      restarts++;
      next_restart += 120;
    } else if (now >= next_unplug) {
      soak.player.set_open(false);
      sleep_s(3.0);
      soak.player.set_open(true);
      unplugs++;
      next_unplug += 90;
    } else if (now >= next_switch) {
      soak.press("n");
      switches++;
      next_switch += 20;
    } else if (now >= next_editor) {
      soak.press(kEditors[editors % 3]);
      sleep_s(1.5);
      soak.press("j");  // no command of an editor's or of the main loop's
      editors++;
      next_editor += 30;
    }
    if (rss_first < 0 && now >= t0 + 60) rss_first = resident_kb(soak.program);
    soak.answer_notices();
    sleep_s(0.2);
  }
  if (!soak.running()) fail("the program ended during the soak");

  // The end: everything off; the screen's voice count, the output's silence.
  soak.player.stop = true;
  soak.player.thread.join();
  JackCapture capture;
  if (!capture.open("quillon_darvo")) fail("cannot record the program's output");
  sleep_s(0.5);
  // The loudest value of the recording from a frame on.
  auto loudest_from = [&](size_t from) {
    audiocheck::Recording rec = capture.recording();
    float most = 0;
    for (size_t f = from; f < rec.left.size(); f++) most = std::max({most, std::fabs(rec.left[f]), std::fabs(rec.right[f])});
    return most;
  };
  // After all that, a key still plays; all notes off ends it with the rest.
  size_t key_frame = capture.frames();
  soak.player.send(0x90 | 60 << 8 | 100 << 16);
  sleep_s(0.5);
  float key_peak = loudest_from(key_frame);
  if (key_peak < 300) fail("a key played at the end is not heard: " + std::to_string(key_peak));
  soak.player.all_notes_off();
  size_t silent_from = capture.frames() + (size_t)(kSilentAfter * 44100);
  sleep_s(kSilentAfter + 1.0);
  if (capture.frames() < silent_from + 22050) fail("the output ran too little to judge its silence");
  float loudest = loudest_from(silent_from);
  capture.close();
  if (loudest > 4) fail("the output still sounds " + std::to_string(kSilentAfter) + " s after all notes off: " +
                        std::to_string(loudest));
  std::string count = soak.screen_cells(5, 11, 12);
  if (count.compare(0, 10, "nbsounds=0") != 0 || (count.size() > 10 && count[10] != ' '))
    fail("the voice count after all notes off reads \"" + count + "\"");
  rss_end = resident_kb(soak.program);
  if (rss_first > 0 && rss_end - rss_first >= kMaxGrowthKb)
    fail("the resident size grew by " + std::to_string(rss_end - rss_first) + " kB after the first minute");

  soak.press("Escape");
  int status = wait_exit(soak.program, 30.0);
  if (status != 0) fail("Esc ended the program with status " + std::to_string(status));
  soak.program = 0;
  struct stat after;
  if (stat((soak.run + "quillon_darvo.ini").c_str(), &after) != 0 || after.st_mtime < before.st_mtime ||
      count_of(read_text(soak.run + "quillon_darvo.ini"), "\n") < (size_t)kSettingsLines)
    fail("the settings were not written at the end");

  std::string out = read_text(soak.work + "/out.txt");
  auto list = [](const std::vector<double>& v) {
    std::string s;
    for (double x : v) s += (s.empty() ? "" : " ") + std::to_string(x).substr(0, 4);
    return s.empty() ? std::string("-") : s;
  };
  std::printf("soak figures: %.1f min; %ld MIDI messages played; %d set switches, %d editors, %d unplugs, "
              "%d JACK restarts\n", (now_s() - t0) / 60, soak.player.sent.load(), switches, editors, unplugs,
              restarts);
  std::printf("soak figures: output back after a restart in %s s; player found again in %s s\n",
              list(output_back).c_str(), list(input_back).c_str());
  std::printf("soak figures: lines: %zu \"output lost\", %zu \"plugout=\", %zu \"MIDI input 1 lost\", "
              "%zu \"MIDI input 1 found\", %zu \"MIDI thru found\", %d notice boxes\n",
              count_of(out, "audio output lost"), count_of(out, "plugout="), count_of(out, "MIDI input 1 lost"),
              count_of(out, "MIDI input 1 found"), count_of(out, "MIDI thru found"), soak.notices);
  std::printf("soak figures: resident %ld kB after the first minute, %ld kB at the end (%+ld kB); "
              "key at the end peaks at %.0f; loudest value %.1f s after all notes off: %.0f; "
              "voice count \"%s\"\n",
              rss_first, rss_end, rss_end - rss_first, key_peak, kSilentAfter, loudest, count.c_str());
  soak.close_listener();
  stop_child(&soak.program);
  stop_child(&soak.jackd);
  if (failures == 0) shell("rm -rf '" + soak.work + "'");
  else std::printf("soak: the program's output and the server's log are in %s\n", soak.work.c_str());
  std::printf("soak: %s\n", failures == 0 ? "PASS" : "FAIL");
  return failures == 0 ? 0 : 1;
}
