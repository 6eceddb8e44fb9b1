// SPDX-License-Identifier: GPL-3.0-or-later
// A keyboard plays the real instrument, end to end. On a JACK server of the
// test's own (dummy driver), this test opens a virtual MIDI output (the
// keyboard) and a MIDI input (a second client listening to the thru port),
// writes a settings file into a copy of the run folder without the device
// plug-in (so the engine records into recording.wav through plug-wav), starts
// the program in its window on $DISPLAY and plays a phrase with the sustain
// pedal and a flood of malformed bytes. Then:
//  - the recording holds every note at its pitch (within 1 %), starting when
//    it was played and silent within note_off_delay, the 3 ms end ramp and
//    two device blocks after its release (the pedal note: after the pedal
//    went up), without a click at its end;
//  - a dozen notes across the keyboard end without a click, and a key
//    struck again while it sounds restarts without one;
//  - the listener received every message unchanged, in order (the loop
//    probe aside; of the flood, what the rate gate let through);
//  - the same phrase written into a MIDI file at the recording's times and
//    rendered by quillon_render with the same settings gives the same notes:
//    pitches, lengths and levels (within 0.5 dB);
//  - a take (W ... W) holds every message as sent, untransposed, within 2 ms,
//    and quillon_render plays it as the program did: starts within a block,
//    levels within 0.5 dB;
//  - the full view shows a red dot on each held key and takes it away after
//    the release (and the time from note-on to dot is printed);
//  - with the thru port chosen as the program's own input, the probe comes
//    back, the notice "warning midiout loop detected" is shown, the thru port
//    leaves the JACK graph and the program plays on;
//  - the output effects shape what is recorded: reverb1 echoes each note's
//    end at its two tap delays, the equalizer tilts a note towards its low
//    partials, master_level 0.5 lowers it by 6 dB, and automatic volume
//    brings a soft phrase up towards its aim.
// Needs $DISPLAY (Xvfb), jackd, jack_lsp, xdotool and the run folder's
// sample sets (scripts/make-assets).
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "app/settings.h"
#include "midi/midi_file.h"
#include "midi/voices.h"
#include "platform/midi_io.h"
#include "platform/midi_rtmidi.h"
#include "tests/support/audio_check.h"
#include "tests/support/child_process.h"
#include "tests/support/jack_capture.h"
#include "tests/support/jack_log.h"

namespace {

constexpr double kNoteOffDelay = 0.08;  // the default note_off_delay
constexpr int kBlockFrames = 2048;      // engine buffer, one block of the file device
constexpr uint32_t kProbe = 0x7FC9;     // the program's loop probe and its end
constexpr uint32_t kProbeEnd = 0x00C9;

// The JACK library reports every late cycle of the dummy server on standard
// error; the test process does not need that in its log.
void quiet_jack_messages() {
  using SetFunction = void (*)(void (*)(const char*));
  for (const char* name : {"jack_set_error_function", "jack_set_info_function"})
    if (auto set = (SetFunction)dlsym(RTLD_DEFAULT, name)) set([](const char*) {});
}

// Polls `done` every 20 ms up to `seconds`; `each` runs on every poll.
bool poll_until(double seconds, const std::function<bool()>& done,
                const std::function<void()>& each = [] {}) {
  double deadline = now_s() + seconds;
  for (;;) {
    each();
    if (done()) return true;
    if (now_s() > deadline) return false;
    sleep_s(0.02);
  }
}

// ---- the listener on the thru port ----
std::mutex heard_mutex;
std::vector<uint32_t> heard;

void listener_handler(int, uint32_t kind, uintptr_t, uintptr_t param1, uintptr_t) {
  if (kind != kMidiShortMessage) return;
  std::lock_guard<std::mutex> lock(heard_mutex);
  heard.push_back((uint32_t)param1);
}
std::vector<uint32_t> heard_copy() {
  std::lock_guard<std::mutex> lock(heard_mutex);
  return heard;
}

// ---- what the keyboard played ----
struct Sent {
  double time;
  std::vector<uint8_t> bytes;  // one event as sent
};

// A note of the phrase and what the recording must show of it.
struct NoteCheck {
  int key;
  double on;       // note-on sent
  double release;  // note-off sent, or pedal up for a note held by the pedal
  double sounds_on;  // least time it sounds after `release`: the delay, 0 after the pedal
};

// ---- the recording ----
using audiocheck::Recording;
using audiocheck::key_frequency;
using audiocheck::measured_pitch;
using audiocheck::read_file;
using audiocheck::read_recording;
using audiocheck::hann_window;
using audiocheck::line_power;
using audiocheck::sounding_span;

// Sum of |a - b| over `n` frames of the recording at `a` and at `b`.
double difference(const Recording& rec, size_t a, size_t b, size_t n) {
  double sum = 0;
  for (size_t t = 0; t < n; t++) sum += std::fabs(rec.mono[a + t] - rec.mono[b + t]);
  return sum;
}

// The frame near `guess` (within `search` frames) where `n` frames of the
// recording best match those at `ref`: a note of the same key, speed and
// volume has the same values there.
size_t align(const Recording& rec, size_t ref, size_t guess, size_t n, size_t search) {
  size_t best = guess;
  double best_diff = -1;
  for (size_t b = guess > search ? guess - search : 0; b <= guess + search && b + n <= rec.mono.size(); b++) {
    double d = difference(rec, ref, b, n);
    if (best_diff < 0 || d < best_diff) {
      best_diff = d;
      best = b;
    }
  }
  return best;
}
using audiocheck::strongest_line;

// ---- the window's pixels ----
// Reads pixels of the program's window straight from the X server, fast
// enough to time when a dot appears. libX11 is loaded at run time (the
// program's window library brings it).
class WindowPixels {
 public:
  explicit WindowPixels(unsigned long window) : window_(window) {
    lib_ = dlopen("libX11.so.6", RTLD_NOW);
    if (!lib_) return;
    open_ = (Display * (*)(const char*)) dlsym(lib_, "XOpenDisplay");
    close_ = (int (*)(Display*))dlsym(lib_, "XCloseDisplay");
    get_image_ = (XImage * (*)(Display*, Drawable, int, int, unsigned, unsigned, unsigned long, int))
        dlsym(lib_, "XGetImage");
    if (open_ && close_ && get_image_) display_ = open_(nullptr);
  }
  ~WindowPixels() {
    if (display_) close_(display_);
  }
  bool ok() const { return display_ != nullptr; }
  // 0xRRGGBB of window pixel (x, y); 0xFFFFFFFF when it cannot be read.
  uint32_t at(int x, int y) {
    XImage* image = get_image_(display_, window_, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image) return 0xFFFFFFFF;
    uint32_t pixel = (uint32_t)XGetPixel(image, 0, 0) & 0xFFFFFF;
    XDestroyImage(image);
    return pixel;
  }

 private:
  unsigned long window_;
  void* lib_ = nullptr;
  Display* display_ = nullptr;
  Display* (*open_)(const char*) = nullptr;
  int (*close_)(Display*) = nullptr;
  XImage* (*get_image_)(Display*, Drawable, int, int, unsigned, unsigned, unsigned long, int) = nullptr;
};

// Where the full view shows key k's dot: the piano picture at y 94, white
// keys' dots at picture y 127 on 52 keys over x 29..668, black keys' at
// y 97 on 88 key columns over x 29..665.
void key_dot(int key, int* x, int* y) {
  static const int steps[7] = {2, 1, 2, 2, 1, 2, 2};
  int b = 0;
  for (int k = 9; k < key; b++) k += steps[b % 7];
  bool black = key % 12 == 1 || key % 12 == 3 || key % 12 == 6 || key % 12 == 8 || key % 12 == 10;
  *x = black ? (int)std::lround(29 + (key - 9 + 0.5) * 636 / 88) : (int)std::lround(29 + (b + 0.5) * 639 / 52);
  *y = 94 + (black ? 97 : 127);
}

class MidiEndToEnd : public ::testing::Test {
 protected:
  std::string work, run;
  pid_t jackd_pid = 0, prog_pid = 0;
  int keyboard = 0, listener = 0;
  std::vector<Sent> sent;
  std::vector<std::string> notices_seen;  // notice windows answered, as "pid:window"

  void SetUp() override {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs a display ($DISPLAY)";
    midi_install_system_ports();
    for (const char* p : {"jackd", "jack_lsp", "xdotool"})
      if (!have_program(p)) GTEST_SKIP() << "needs " << p;
    // With an ALSA sequencer the program's ports are not the JACK ports below.
    if (access("/dev/snd/seq", F_OK) == 0) GTEST_SKIP() << "MIDI goes through the ALSA sequencer here";
    std::string src = QD_RUN_DIR;
    ASSERT_EQ(access((src + "quillon_darvo").c_str(), X_OK), 0) << "program not built in " << src;
    ASSERT_EQ(access((src + "sounds/piano1_60.wav").c_str(), R_OK), 0)
        << "no WAV sample set in " << src << "sounds (run scripts/make-assets)";
    char tmpl[] = "/tmp/qd_midi_e2e.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    work = tmpl;
    run = work + "/run/";
  }

  void TearDown() override {
    stop_watching();
    if (HasFailure()) dump_logs();
    stop_child(&prog_pid);
    close_ports();
    stop_child(&jackd_pid);
    if (!work.empty()) shell("rm -rf '" + work + "'");
  }

  void dump_logs() {
    std::fprintf(stderr, "---- program output\n%s\n---- program errors\n%s\n---- jackd\n%s\n",
                 read_file(work + "/out.txt").c_str(), read_file(work + "/err.txt").c_str(),
                 read_file(work + "/jackd.txt").c_str());
    std::fprintf(stderr, "---- JACK graph\n%s\n", shell("jack_lsp -c").c_str());
  }

  void close_ports() {
    if (listener) {
      midi_in_stop(listener);
      midi_in_close(listener);
      listener = 0;
    }
    if (keyboard) {
      midi_out_close(keyboard);
      keyboard = 0;
    }
  }

  // A JACK server of our own: its MIDI port list holds only the ports of
  // this test and of the program, in the order they were made.
  // `period`: frames of a JACK cycle, which carries MIDI from port to port.
  // Shorter cycles come late more often on a busy machine: the server and
  // the test's own clients (made after this) then run at the priority the
  // program asks for itself.
  void start_jack(const std::string& name, int period = 256) {
    quiet_jack_messages();
    setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
    std::vector<std::string> server = {"jackd", "--no-realtime", "-n", name, "-d", "dummy", "-r", "44100", "-p", std::to_string(period)};
    if (period < 256) {
      setpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid), -10);
      server.insert(server.begin(), {"nice", "-n", "-10"});
      // Where real-time scheduling is allowed (root), the server and its
      // clients' process threads take it, as on a musician's machine.
      struct rlimit rt;
      if (geteuid() == 0 || (getrlimit(RLIMIT_RTPRIO, &rt) == 0 && rt.rlim_cur > 0)) server[4] = "--realtime";
    }
    jackd_pid = spawn(server,
                      work + "/jackd.txt", work + "/jackd.txt");
    int status = 1;
    ASSERT_TRUE(poll_until(15.0, [&] {
      shell("jack_lsp", &status);
      return status == 0;
    })) << "private jackd did not start";
  }

  // The keyboard (a JACK MIDI output) and the listener (a JACK MIDI input,
  // made before the program's input, so it is output device 1 for it).
  void open_ports() {
    {
      std::lock_guard<std::mutex> lock(heard_mutex);
      heard.clear();
    }
    ASSERT_TRUE(midi_out_open_virtual(&keyboard, "qd_e2e_keyboard", "keys"));
    ASSERT_TRUE(midi_in_open_virtual(&listener, "qd_e2e_listener", "thru", listener_handler, 0));
    ASSERT_TRUE(midi_in_start(listener));
    ASSERT_EQ(midi_io_system_api(), "jack");
    ASSERT_TRUE(poll_until(10.0, [] {
      std::string ports = shell("jack_lsp");
      return ports.find("qd_e2e_keyboard:keys") != std::string::npos &&
             ports.find("qd_e2e_listener:thru") != std::string::npos;
    }));
  }

  // The run folder copy with the settings: WAV set 1 (no MP3 start delay),
  // 2048-frame blocks, input 1, the given thru port.
  // With `device` the program plays through JACK (the RtAudio plug-in)
  // instead of recording.
  bool device = false;
  void make_run_folder(int thru, const std::function<void()>& more_settings = [] {}) {
    std::string src = QD_RUN_DIR;
    shell("rm -rf '" + run + "'");
    int status = 1;
    shell("cp -r '" + src + ".' '" + run + "'", &status);
    ASSERT_EQ(status, 0);
    if (!device) shell("rm -f '" + run + "plug-rtaudio.so'");
    shell("rm -f '" + run + "recording.wav' '" + run + "'quillon_darvo*.ini");
    set_default_settings();
    piano_sound = 1;
    buffer_size = kBlockFrames;
    midi_in_port = 1;
    midi_in2_port = 0;
    midi_in3_port = 0;
    thru_port = thru;
    note_off_delay = kNoteOffDelay;
    reverb_mode = 0;  // no tail after a note ends
    more_settings();
    ASSERT_TRUE(write_settings((run + "quillon_darvo.ini").c_str()));
  }

  std::string output() { return read_file(work + "/out.txt"); }

  // Windows on the display named `name` exactly (or starting with it) that
  // belong to the program or a helper it started. xdotool's search ignores
  // the name when a pid is given, so the owner is checked here.
  std::vector<std::string> program_windows(const std::string& name, bool prefix) {
    std::vector<std::string> found;
    if (prog_pid <= 0) return found;
    std::istringstream owners(std::to_string(prog_pid) + " " + shell("pgrep -P " + std::to_string(prog_pid)));
    std::vector<std::string> pids;
    std::string pid, w;
    while (owners >> pid) pids.push_back(pid);
    std::istringstream windows(shell("xdotool search --onlyvisible --name '^" + name + (prefix ? "'" : "$'")));
    while (windows >> w) {
      std::string title = shell("xdotool getwindowname " + w);
      while (!title.empty() && title.back() == '\n') title.pop_back();
      if (prefix ? title.compare(0, name.size(), name) != 0 : title != name) continue;
      std::string owner = shell("xdotool getwindowpid " + w);
      while (!owner.empty() && owner.back() == '\n') owner.pop_back();
      if (std::find(pids.begin(), pids.end(), owner) != pids.end()) found.push_back(owner + ":" + w);
    }
    return found;
  }
  // The program's notice boxes (its own or a helper's it started) on screen.
  std::vector<std::string> notice_windows() { return program_windows("notice", false); }

  // Answers the notice boxes with Enter, as a user would. A key sent while a
  // box is still being set up can be lost: a box still there half a second
  // after its answer is answered again.
  double last_answer = 0;
  void answer_notices() {
    if (now_s() - last_answer < 0.5) return;
    for (const std::string& id : notice_windows()) {
      shell("xdotool windowfocus --sync " + id.substr(id.find(':') + 1) + " key Return");
      last_answer = now_s();
      if (std::find(notices_seen.begin(), notices_seen.end(), id) == notices_seen.end())
        notices_seen.push_back(id);
    }
  }
  // Until no notice box is left (the main loop runs again).
  bool settle_notices(double seconds) {
    return poll_until(seconds, [&] { return notice_windows().empty(); }, [&] { answer_notices(); });
  }

  bool running() { return prog_pid > 0 && waitpid(prog_pid, nullptr, WNOHANG) == 0; }

  void start_program() {
    notices_seen.clear();
    prog_pid = spawn({run + "quillon_darvo"}, work + "/out.txt", work + "/err.txt");
    ASSERT_GT(prog_pid, 0);
    // Ready when the input is connected to the keyboard and the status
    // screen is drawn (after the ports cycle, the probe included).
    bool ready = poll_until(
        60.0,
        [&] {
          return !running() || (shell("jack_lsp -c qd_e2e_keyboard:keys").find("\n   ") != std::string::npos &&
                                output().find("plugout=") != std::string::npos &&
                                output().find("[M]midi") != std::string::npos);
        },
        [&] { answer_notices(); });
    ASSERT_TRUE(running()) << "the program ended during start-up";
    ASSERT_TRUE(ready) << "the program did not get ready";
    if (device) {
      ASSERT_NE(output().find("plugout=JACK output"), std::string::npos) << "the engine does not play through JACK";
    } else {
      ASSERT_NE(output().find("recording.wav"), std::string::npos) << "the engine does not record into recording.wav";
    }
  }

  // Until the program's standard output holds `text` after position `from`
  // (notice boxes answered meanwhile); where it starts.
  size_t wait_for_output(const std::string& text, size_t from, double seconds) {
    size_t at = std::string::npos;
    poll_until(seconds, [&] {
      at = output().find(text, from);
      return at != std::string::npos || !running();
    }, [&] { answer_notices(); });
    return at;
  }

  // Esc ends the program with status 0 (and writes the settings). The key
  // goes to the window with the focus; it is sent again should it be lost,
  // from the second time on also straight to the program's window.
  void end_program() {
    int status = -1, sent_keys = 0;
    double last_key = 0;
    std::string tried;  // what each attempt found, for the log
    poll_until(30.0, [&] {
      status = wait_exit(prog_pid, 0.0);
      return status != -1;
    }, [&] {
      answer_notices();
      if (now_s() - last_key < 3.0) return;
      last_key = now_s();
      std::vector<std::string> notices = notice_windows(), windows = program_windows("quillon_darvo", true);
      tried += "  " + std::to_string(notices.size()) + " notices, " + std::to_string(windows.size()) +
               " program windows, focus " + shell("xdotool getwindowfocus");
      if (!notices.empty() || windows.empty()) return;
      std::string win = windows[0].substr(windows[0].find(':') + 1);
      shell("xdotool windowfocus --sync " + win + " key Escape");
      if (++sent_keys > 1) shell("xdotool key --window " + win + " Escape");
    });
    if (status == -1) {
      std::fprintf(stderr, "Esc attempts:\n%s", tried.c_str());
      if (have_program("gdb"))  // where it hangs, for the log
        std::fprintf(stderr, "%s\n",
                     shell("gdb -p " + std::to_string(prog_pid) + " -batch -ex 'thread apply all bt'").c_str());
    }
    ASSERT_NE(status, -1) << "the program did not end after Esc";
    prog_pid = 0;
    ASSERT_EQ(status, 0);
  }

  // Types one key into the program's window (xdotool key name).
  void press(const std::string& key) {
    std::vector<std::string> windows = program_windows("quillon_darvo", true);
    ASSERT_FALSE(windows.empty()) << "no program window";
    shell("xdotool windowfocus --sync " + windows[0].substr(windows[0].find(':') + 1) + " key " + key);
  }

  // Ends the program, which must have shown no notice, and reads its recording.
  void end_and_read(Recording* rec) {
    stop_watching();
    ASSERT_NO_FATAL_FAILURE(end_program());
    EXPECT_EQ(output().find("notice: "), std::string::npos) << "unexpected notice:\n" << output();
    std::string why;
    ASSERT_TRUE(read_recording(run + "recording.wav", rec, &why)) << why;
    ASSERT_EQ(rec->rate, 44100);
  }

  // ---- the keyboard ----
  void send(std::vector<uint8_t> bytes) {
    sent.push_back(Sent{now_s(), bytes});
    ASSERT_TRUE(midi_out_send_bytes(keyboard, bytes.data(), bytes.size()));
  }
  // A note held `hold` seconds; its note-on and note-off times.
  void note(int key, double hold, double* on, double* off, uint8_t velocity = 100) {
    send({0x90, (uint8_t)key, velocity});
    *on = sent.back().time;
    sleep_s(hold);
    send({0x80, (uint8_t)key, 0});
    *off = sent.back().time;
  }

  // The short messages the thru port must carry for events sent[from..to).
  std::vector<uint32_t> expected_thru(size_t from, size_t to) {
    std::vector<uint32_t> out;
    MidiParser parser;
    midi_parser_reset(&parser);
    for (size_t i = from; i < to; i++) {
      midi_parser_feed(&parser, sent[i].bytes.data(), sent[i].bytes.size(),
                       [](uint32_t packed, void* user) { static_cast<std::vector<uint32_t>*>(user)->push_back(packed); },
                       &out);
      parser.count = 0;  // one event is one message: a cut one does not go on
    }
    return out;
  }

  // ---- the recording's clock ----
  // The file device writes a block whenever its clock says one is due, and
  // catches up in a burst after a stall, so recording time drifts from the
  // wall clock on a busy machine. The test watches the file grow while the
  // keyboard plays: the block that holds an event sent at time t is the
  // first one written after t. Each look at the file is known to lie
  // between two clock readings, so the recording time at t lies between
  // recorded_by(t) and recorded_by_next(t), the looks before and after t.
  struct Look {
    double from, to;  // the look happened between these times
    long long size;   // file size it saw
  };
  std::vector<Look> growth;
  std::thread watcher;
  std::atomic<int> watching{0};

  void watch_recording() {
    growth.clear();
    late_clients_from = jacklog::late_clients(work + "/jackd.txt");
    late_clients_to = -1;
    watching = 1;
    std::string path = run + "recording.wav";
    // As prompt as the program it watches, which asks for the same.
    watcher = std::thread([this, path] {
      setpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid), -10);
      while (watching.load()) {
        struct stat st;
        double from = now_s();
        if (stat(path.c_str(), &st) == 0) growth.push_back({from, now_s(), (long long)st.st_size});
        sleep_s(0.002);
      }
    });
  }
  void stop_watching() {
    if (watching.exchange(0)) late_clients_to = jacklog::late_clients(work + "/jackd.txt");
    if (watcher.joinable()) watcher.join();
  }
  // Bytes of the file surely written by wall time t, and the most that can
  // have been (what the first look after t saw).
  long long written_by(double t) {
    long long size = 0;
    for (const Look& g : growth)
      if (g.to <= t) size = g.size;
    return size;
  }
  long long written_by_next(double t) {
    for (const Look& g : growth)
      if (g.from >= t) return g.size;
    return growth.empty() ? 0 : growth.back().size;
  }
  // The same in recording time (seconds of sound).
  double recorded_seconds(const Recording& rec, long long size) {
    double frames = (double)std::max(0LL, size - (long long)rec.data_offset) / (double)rec.frame_bytes;
    return frames / rec.rate;
  }
  double recorded_by(const Recording& rec, double t) { return recorded_seconds(rec, written_by(t)); }
  double recorded_by_next(const Recording& rec, double t) { return recorded_seconds(rec, written_by_next(t)); }

  // ---- takes the machine disturbed ----
  // A take whose times the machine shifted is played again, not judged: the
  // JACK server reported a late client (a message may have come late or not
  // at all) while the recording was watched (or, in a take that never
  // watched it, from the program's start on: clients that start or stop
  // are often late once, and their cycles carry nothing to judge); the
  // recording time at an event, or when its note-off was due, is known only
  // to more than a block (the watcher or the file device stalled there); or
  // the recording fell behind the clock by more than a block between an
  // event and its note-off (the note-off, due on the clock, then lands
  // early in the recording). The reason, or "" for a take that can be
  // judged. Only the first `timed_events` events sent count.
  static constexpr int kTakes = 3;
  int late_clients_from = 0, late_clients_to = -1;  // -1: up to now
  std::string disturbance;

  // The take ends: the program quits, and its recording is read and judged.
  void end_take(Recording* rec) {
    stop_watching();
    ASSERT_NO_FATAL_FAILURE(end_program());
    std::string why;
    ASSERT_TRUE(read_recording(run + "recording.wav", rec, &why)) << why;
    judge_take();
  }

  void judge_take(size_t timed_events = SIZE_MAX) {
    disturbance.clear();
    int late = (late_clients_to >= 0 ? late_clients_to : jacklog::late_clients(work + "/jackd.txt")) - late_clients_from;
    if (late > 0) disturbance = "the JACK server reported " + std::to_string(late) + " late clients";
    const long long block_bytes = (long long)kBlockFrames * 4;
    for (size_t i = 0; i < sent.size() && i < timed_events; i++) {
      const Sent& e = sent[i];
      for (double t : {e.time, e.time + kNoteOffDelay}) {
        if (growth.empty() || t < growth.front().to || t > growth.back().from) continue;
        long long unsure = written_by_next(t) - written_by(t);
        if (unsure > block_bytes && disturbance.empty())
          disturbance = "the recording position " + std::to_string(t - e.time) + " s after an event is unsure by " +
                        std::to_string(unsure / block_bytes) + " blocks";
      }
      double due = e.time + kNoteOffDelay;
      if (growth.empty() || e.time < growth.front().to || due > growth.back().from) continue;
      long long most = written_by_next(due) - written_by(e.time), clock = std::llround(kNoteOffDelay * 44100) * 4;
      if (most + block_bytes < clock && disturbance.empty())
        disturbance = "the recording fell " + std::to_string((clock - most) / block_bytes) +
                      " blocks behind the clock before a note-off was due";
    }
  }

  // Runs `take` (which starts the program, plays and ends it, and judges the
  // take) until one can be judged; false when none of kTakes could.
  bool undisturbed_take(const std::function<void()>& take) {
    for (int i = 1; i <= kTakes; i++) {
      disturbance.clear();
      sent.clear();
      {
        std::lock_guard<std::mutex> lock(heard_mutex);
        heard.clear();
      }
      late_clients_from = jacklog::late_clients(work + "/jackd.txt");
      late_clients_to = -1;
      take();
      if (HasFatalFailure() || disturbance.empty()) return true;
      std::printf("take %d of %d disturbed, played again: %s\n", i, kTakes, disturbance.c_str());
      stop_watching();
      stop_child(&prog_pid);
    }
    return false;
  }

  // Every played note in the recording, against the recording time at which
  // its events were sent: it starts with its note-on, sounds at its pitch,
  // goes on for `sounds_on` after its release and is silent within the
  // note-off delay, the end ramp and two blocks after that, and it ends
  // without a click; nothing sounds before the first note. span_ends: when
  // the next sound was played after each note.
  void check_notes(const Recording& rec, const std::vector<NoteCheck>& notes,
                   const std::vector<double>& span_ends) {
    const double block = (double)kBlockFrames / rec.rate;
    const double slack = 0.01;  // the watcher's sampling, the MIDI transport
    const float on_level = 300, quiet_level = 40;
    size_t total = rec.mono.size();
    auto frame = [&](double seconds) { return (size_t)std::clamp(seconds * rec.rate, 0.0, (double)total); };
    auto at = [&](double t) { return recorded_by(rec, t); };
    auto at_most = [&](double t) { return recorded_by_next(rec, t); };
    ASSERT_FALSE(growth.empty()) << "the recording did not grow while the keyboard played";

    size_t first = frame(at(notes[0].on) - slack);
    for (size_t f = 0; f < first; f++)
      ASSERT_LT(std::fabs(rec.mono[f]), quiet_level) << "sound before the first note at frame " << f;

    for (size_t i = 0; i < notes.size(); i++) {
      const NoteCheck& n = notes[i];
      SCOPED_TRACE("key " + std::to_string(n.key));
      size_t lo = frame(at(n.on) - slack), hi = frame(at(span_ends[i]) - slack);
      size_t onset = lo;
      while (onset < hi && std::fabs(rec.mono[onset]) < on_level) onset++;
      ASSERT_LT(onset, hi) << "the note is missing";
      size_t end = hi;
      while (end > onset && std::fabs(rec.mono[end - 1]) < quiet_level) end--;
      double t_on = (double)onset / rec.rate, t_end = (double)end / rec.rate;
      // In the first or second block written after the note-on (the
      // message may reach the program while a block is being mixed).
      EXPECT_LE(t_on, at_most(n.on) + 2 * block + slack) << "the note started late";
      // Still sounding `sounds_on` after the release (the note-off delay,
      // or nothing after the pedal went up); silent within the delay plus
      // two blocks after that.
      EXPECT_GE(t_end, at(n.release + n.sounds_on) - slack) << "the note ended too early";
      EXPECT_LE(t_end, at_most(n.release + kNoteOffDelay) + kDeclickSeconds + 2 * block + slack)
          << "the note sounds on after its release";
      // No click: the last frame that is not silent is a small part of the
      // note's level over its last 50 ms (cut off, it would be anything up
      // to that level).
      size_t last = hi;
      while (last > onset && rec.mono[last - 1] == 0) last--;
      ASSERT_GT(last, onset);
      float tail_peak = 0;
      for (size_t f = last - std::min(last - onset, frame(0.05)); f < last; f++)
        tail_peak = std::max(tail_peak, std::fabs(rec.mono[f]));
      EXPECT_LT(std::fabs(rec.mono[last - 1]), 0.05f * tail_peak) << "a click at the note's end";
      // Pitch, from the steady part after the attack.
      size_t start = onset + frame(0.05);
      size_t length = std::min<size_t>(8192, end > start + frame(0.02) ? end - start - frame(0.02) : 0);
      ASSERT_GE(length, 4096u) << "note too short to measure";
      double f = measured_pitch(rec, start, length, key_frequency(n.key));
      EXPECT_NEAR(f / key_frequency(n.key), 1.0, 0.01) << "measured " << f << " Hz";
      std::printf("key %d: starts %.3f s after its note-on, ends %.3f s after its release, %.2f Hz (%.2f)\n",
                  n.key, t_on - at(n.on), t_end - at(n.release), f, key_frequency(n.key));
    }
  }

  // Keys held on the keyboard show red dots in the full view, which go when
  // they are released; prints how long a dot takes to appear after its
  // note-on.
  void check_key_dots() {
    std::vector<std::string> windows = program_windows("quillon_darvo", true);
    ASSERT_FALSE(windows.empty()) << "no program window";
    WindowPixels pixels(std::stoul(windows[0].substr(windows[0].find(':') + 1)));
    ASSERT_TRUE(pixels.ok()) << "cannot read the window's pixels";
    const uint32_t red = 0xFF0000;
    auto dot_is = [&](int key, bool want_red) {
      int x, y;
      key_dot(key, &x, &y);
      return (pixels.at(x, y) == red) == want_red;
    };
    std::vector<double> delays;
    int i = 0;
    for (int key : {48, 55, 66, 72, 79, 50, 57, 63, 70, 77}) {
      ASSERT_TRUE(dot_is(key, false)) << "key " << key << " shows a dot before it is played";
      // Not in step with the program's main loop, whose passes the polling
      // above has just followed.
      sleep_s(0.003 * (i++ * 7 % 10));
      send({0x90, (uint8_t)key, 100});
      double on = sent.back().time;
      while (!dot_is(key, true) && now_s() < on + 2.0) sleep_s(0.001);
      ASSERT_TRUE(dot_is(key, true)) << "no red dot on key " << key;
      delays.push_back(now_s() - on);
      sleep_s(0.1);
      send({0x80, (uint8_t)key, 0});
      ASSERT_TRUE(poll_until(2.0, [&] { return dot_is(key, false); })) << "the dot of key " << key << " stays";
    }
    // A chord (its notes a little apart, as the rate gate wants them): every
    // held key has its dot at once.
    const int chord[] = {60, 61, 64, 68};
    for (int key : chord) {
      send({0x90, (uint8_t)key, 100});
      sleep_s(0.01);
    }
    sleep_s(0.3);
    for (int key : chord) EXPECT_TRUE(dot_is(key, true)) << "no red dot on held key " << key;
    EXPECT_TRUE(dot_is(62, false)) << "a dot on a key not held";
    for (int key : chord) {
      send({0x80, (uint8_t)key, 0});
      sleep_s(0.01);
    }
    sleep_s(0.3);
    for (int key : chord) EXPECT_TRUE(dot_is(key, false)) << "the dot of released key " << key << " stays";
    std::sort(delays.begin(), delays.end());
    std::printf("note-on to red dot: %.1f ms median, %.1f .. %.1f ms (the screen is polled every ms)\n",
                delays[delays.size() / 2] * 1000, delays.front() * 1000, delays.back() * 1000);
  }

  // The loudest sample between two recording times (seconds).
  float loudest_between(const Recording& rec, double from, double to) {
    size_t a = (size_t)std::max(0.0, from * rec.rate), b = (size_t)std::max(0.0, to * rec.rate);
    float loudest = 0;
    for (size_t f = a; f < b && f < rec.mono.size(); f++) loudest = std::max(loudest, std::fabs(rec.mono[f]));
    return loudest;
  }

  // ---- takes of the effect tests ----
  // One run of the program with the settings that `effects` makes, playing
  // the same script every time: key 48 at velocity 100 for 0.6 s, 1.2 s for
  // its tail, then a soft phrase of eight notes at velocity 20. The notes'
  // times are kept in recording time.
  struct Take {
    Recording rec;
    std::vector<double> on, release;  // seconds of the recording
  };
  void record_take(const std::function<void()>& effects, Take* take) {
    ASSERT_NO_FATAL_FAILURE(make_run_folder(0, effects));
    ASSERT_NO_FATAL_FAILURE(start_program());
    watch_recording();
    sleep_s(0.5);
    std::vector<std::pair<double, double>> times(1);
    note(48, 0.6, &times[0].first, &times[0].second);
    sleep_s(1.2);
    for (int i = 0; i < 8; i++) {
      times.emplace_back();
      note(60 + 4 * (i % 4), 0.4, &times.back().first, &times.back().second, 20);
      sleep_s(0.25);
    }
    sleep_s(0.3);
    stop_watching();
    ASSERT_NO_FATAL_FAILURE(end_program());
    std::string why;
    ASSERT_TRUE(read_recording(run + "recording.wav", &take->rec, &why)) << why;
    for (const auto& t : times) {
      take->on.push_back(recorded_by(take->rec, t.first));
      take->release.push_back(recorded_by(take->rec, t.second));
    }
  }

  // The notes of a live recording against the same notes rendered offline,
  // each given by its span in both: started at the same time after the first
  // (within `start_within`), as long (within `length_within`), at the pitch
  // of its sounding key and at the same level over its first quarter second
  // (within 0.5 dB).
  void compare_with_render(const Recording& live, const std::vector<audiocheck::Span>& live_spans,
                           const Recording& offline, const std::vector<audiocheck::Span>& offline_spans,
                           const std::vector<int>& keys, double start_within, double length_within) {
    for (size_t n = 0; n < keys.size(); n++) {
      SCOPED_TRACE("key " + std::to_string(keys[n]));
      audiocheck::Span a = live_spans[n], b = offline_spans[n];
      ASSERT_LT(a.onset, a.end) << "missing live";
      ASSERT_LT(b.onset, b.end) << "missing from the render";
      double start_live = (double)(a.onset - live_spans[0].onset) / live.rate;
      double start_render = (double)(b.onset - offline_spans[0].onset) / offline.rate;
      EXPECT_NEAR(start_render, start_live, start_within) << "starts elsewhere";
      EXPECT_NEAR((double)(b.end - b.onset) / offline.rate, (double)(a.end - a.onset) / live.rate, length_within)
          << "lasts otherwise";
      double expected = key_frequency(keys[n]);
      size_t settle = (size_t)(0.05 * live.rate);
      double pitch_live = measured_pitch(live, a.onset + settle, 8192, expected);
      EXPECT_NEAR(pitch_live / expected, 1.0, 0.01) << "live at " << pitch_live << " Hz";
      EXPECT_NEAR(measured_pitch(offline, b.onset + settle, 8192, expected) / pitch_live, 1.0, 0.01);
      size_t quarter = (size_t)(0.25 * live.rate);
      double level_live = audiocheck::level_db(live, a.onset, a.onset + quarter);
      double level_render = audiocheck::level_db(offline, b.onset, b.onset + quarter);
      EXPECT_NEAR(level_render, level_live, 0.5);
      std::printf("key %d: live %.3f s for %.3f s at %.2f dB; render %.3f s for %.3f s at %.2f dB\n", keys[n],
                  (double)a.onset / live.rate, (double)(a.end - a.onset) / live.rate, level_live,
                  (double)b.onset / offline.rate, (double)(b.end - b.onset) / offline.rate, level_render);
    }
  }

  // Renders `midi` with quillon_render and the settings the program left.
  void render(const std::string& midi, Recording* offline) {
    int status = 1;
    std::string err = shell(run + "quillon_render '" + midi + "' " + work + "/render.wav --quiet", &status);
    ASSERT_EQ(status, 0) << err;
    std::string why;
    ASSERT_TRUE(read_recording(work + "/render.wav", offline, &why)) << why;
  }

  // The first frame of note i louder than 100.
  static size_t onset(const Take& take, size_t i) {
    size_t from = (size_t)std::max(0.0, (take.on[i] - 0.01) * take.rec.rate);
    return audiocheck::sounding_span(take.rec, from, take.rec.mono.size(), 100).onset;
  }
};

TEST_F(MidiEndToEnd, PhraseWithPedalIsRecordedAtPitchAndEchoedOnTheThruPort) {
  ASSERT_NO_FATAL_FAILURE(start_jack("qd_e2e_" + std::to_string(getpid()) + "_a"));
  ASSERT_NO_FATAL_FAILURE(open_ports());
  std::vector<NoteCheck> notes;
  size_t flood_from = 0, flood_to = 0;
  double flood_start = 0, all_off = 0;
  std::vector<uint32_t> h;
  Recording rec;
  bool judged = undisturbed_take([&] {
    notes.clear();
    ASSERT_NO_FATAL_FAILURE(make_run_folder(1));
    ASSERT_NO_FATAL_FAILURE(start_program());
    poll_until(10.0, [] {  // a probe that is missing is judged with the take
      std::vector<uint32_t> h = heard_copy();
      return std::find(h.begin(), h.end(), kProbeEnd) != h.end();
    });
    watch_recording();
    sleep_s(0.5);  // silence in the recording before the first note

    double on, off;
    // Keys whose samples are played faster: 57 and 69 (A) from sample 48 and
    // 60, 64 from 60, 76 from 72.
    const double gap = 0.4;
    note(57, 0.4, &on, &off);
    notes.push_back({57, on, off, kNoteOffDelay});
    sleep_s(gap);
    note(64, 0.4, &on, &off);
    notes.push_back({64, on, off, kNoteOffDelay});
    sleep_s(gap);
    send({0xB0, 64, 127});  // pedal down: 69 sounds on after its key is up
    note(69, 0.3, &on, &off);
    sleep_s(0.4);
    send({0xB0, 64, 0});
    notes.push_back({69, on, sent.back().time, 0.0});
    sleep_s(gap);
    note(76, 0.4, &on, &off);
    notes.push_back({76, on, off, kNoteOffDelay});
    sleep_s(gap);

    // Bad input: running status, real-time bytes inside messages, stray data
    // bytes, an undefined status, system exclusive, drum-channel notes, a
    // message cut short at the end of its event, each event a burst.
    flood_from = sent.size();
    flood_start = now_s();
    for (int burst = 0; burst < 4; burst++) {
      std::vector<uint8_t> b = {0x90};
      for (int k = 40; k < 80; k++) {
        b.push_back((uint8_t)k);
        b.push_back(k % 2 ? 90 : 0);
        if (k % 7 == 0) b.push_back(0xF8);
        if (k % 11 == 0) b.push_back(0xFE);
      }
      b.insert(b.end(), {0xF4, 12, 34, 0xB0, 7, 127, 1, 2, 0xF0, 1, 2, 3, 0x90, 0xF7, 5, 0x99, 36, 100, 38, 100});
      b.insert(b.end(), {0xE0, 0, 64, 0xD0, 100, 0xA0, 60, 10, 0xC0, 5, 0x80, 45, 0, 0x90, 61});
      send(b);
      send({0x85, 0xB5, 99, 1, 2, 3});
      sleep_s(0.005);
    }
    sleep_s(0.3);
    send({0xB0, 123, 0});  // all notes off: whatever the gate let through ends now
    all_off = sent.back().time;
    flood_to = sent.size();
    sleep_s(0.5);
    note(62, 0.4, &on, &off);
    notes.push_back({62, on, off, kNoteOffDelay});
    sleep_s(0.6);
    size_t timed = sent.size();
    ASSERT_NO_FATAL_FAILURE(check_key_dots());
    sleep_s(0.3);  // the last releases reach the thru port
    ASSERT_TRUE(running()) << "the program ended during the phrase";
    h = heard_copy();
    ASSERT_NO_FATAL_FAILURE(end_and_read(&rec));
    judge_take(timed);
  });
  if (HasFatalFailure()) return;
  if (!judged) GTEST_SKIP() << "every take was disturbed; the last: " << disturbance;

  // The thru port: the probe, then every message as played; of the flood a
  // part, each message unchanged and in order.
  ASSERT_GE(h.size(), 2u);
  EXPECT_EQ(h[0], kProbe);
  EXPECT_EQ(h[1], kProbeEnd);
  h.erase(h.begin(), h.begin() + 2);
  std::vector<uint32_t> before = expected_thru(0, flood_from);
  std::vector<uint32_t> flood = expected_thru(flood_from, flood_to - 1);
  std::vector<uint32_t> after = expected_thru(flood_to - 1, sent.size());
  ASSERT_GE(h.size(), before.size() + after.size());
  EXPECT_TRUE(std::equal(before.begin(), before.end(), h.begin())) << "the phrase before the flood changed on the thru port";
  EXPECT_TRUE(std::equal(after.begin(), after.end(), h.end() - after.size())) << "the phrase after the flood changed on the thru port";
  size_t matched = 0;
  for (size_t i = before.size(); i < h.size() - after.size(); i++) {
    while (matched < flood.size() && flood[matched] != h[i]) matched++;
    ASSERT_LT(matched, flood.size()) << "thru message " << std::hex << h[i] << " is not one that was sent";
    matched++;
  }
  size_t flood_heard = h.size() - after.size() - before.size();
  std::printf("flood: %zu messages sent, %zu passed to the thru port\n", flood.size(), flood_heard);
  EXPECT_GT(flood_heard, 40u);  // the rate gate lets a burst through

  // Each note's span in the recording ends before the next sound was played.
  std::vector<double> ends;
  for (size_t i = 0; i + 1 < notes.size(); i++) ends.push_back(i == 3 ? flood_start : notes[i + 1].on);
  ends.push_back(notes.back().release + 0.5);
  ASSERT_NO_FATAL_FAILURE(check_notes(rec, notes, ends));

  // After the all-notes-off the flood's notes are silent, as after a release.
  const double block = (double)kBlockFrames / rec.rate;
  double quiet_from = recorded_by_next(rec, all_off + kNoteOffDelay) + 2 * block;
  double quiet_to = recorded_by(rec, notes.back().on) - 0.01;
  ASSERT_LT(quiet_from, quiet_to);
  EXPECT_LT(loudest_between(rec, quiet_from, quiet_to), 40) << "the flood left notes sounding";
}

TEST_F(MidiEndToEnd, NotesEndAndRestartWithoutAClick) {
  ASSERT_NO_FATAL_FAILURE(start_jack("qd_e2e_" + std::to_string(getpid()) + "_d"));
  ASSERT_NO_FATAL_FAILURE(open_ports());
  std::vector<NoteCheck> notes;
  double on = 0, again = 0;
  Recording rec;
  bool judged = undisturbed_take([&] {
    notes.clear();
    ASSERT_NO_FATAL_FAILURE(make_run_folder(0));
    ASSERT_NO_FATAL_FAILURE(start_program());
    watch_recording();
    sleep_s(0.5);
    // A dozen notes over all nine samples, each released on its own.
    double off;
    for (int key : {31, 38, 45, 50, 57, 62, 67, 72, 77, 81, 86, 89}) {
      note(key, 0.25, &on, &off);
      notes.push_back({key, on, off, kNoteOffDelay});
      sleep_s(0.35);
    }
    // A key struck again while it sounds: the same sound restarts.
    send({0x90, 60, 100});
    on = sent.back().time;
    sleep_s(0.3);
    send({0x90, 60, 100});
    again = sent.back().time;
    sleep_s(0.3);
    send({0x80, 60, 0});
    notes.push_back({60, on, sent.back().time, kNoteOffDelay});
    sleep_s(0.6);
    ASSERT_TRUE(running()) << "the program ended while playing";
    end_take(&rec);
  });
  if (HasFatalFailure()) return;
  if (!judged) GTEST_SKIP() << "every take was disturbed; the last: " << disturbance;

  std::vector<double> ends;
  for (size_t i = 0; i + 1 < notes.size(); i++) ends.push_back(notes[i + 1].on);
  ends.push_back(notes.back().release + 0.5);
  ASSERT_NO_FATAL_FAILURE(check_notes(rec, notes, ends));

  // The restart lies in the first or second block written after the second
  // note-on: no step there larger than the note's own largest step before.
  const double block = (double)kBlockFrames / rec.rate, slack = 0.01;
  auto frame = [&](double t) { return (size_t)std::clamp(t * rec.rate, 0.0, (double)rec.mono.size()); };
  auto largest_step = [&](size_t from, size_t to) {
    float step = 0;
    for (size_t f = from + 1; f < to; f++) step = std::max(step, std::fabs(rec.mono[f] - rec.mono[f - 1]));
    return step;
  };
  size_t restart_from = frame(recorded_by(rec, again) - slack);
  size_t restart_to = frame(recorded_by_next(rec, again) + 2 * block + slack);
  float before = largest_step(frame(recorded_by(rec, on) - slack), restart_from);
  float at_restart = largest_step(restart_from, restart_to);
  std::printf("restart: largest step %.0f, before it %.0f\n", at_restart, before);
  EXPECT_GT(before, 0);
  EXPECT_LE(at_restart, before) << "a click at the restart";
}

TEST_F(MidiEndToEnd, LiveProgramAndOfflineRendererAgree) {
  ASSERT_EQ(access((std::string(QD_RUN_DIR) + "quillon_render").c_str(), X_OK), 0) << "quillon_render not built";
  ASSERT_NO_FATAL_FAILURE(start_jack("qd_e2e_" + std::to_string(getpid()) + "_c"));
  ASSERT_NO_FATAL_FAILURE(open_ports());
  Recording live;
  std::string why;
  bool judged = undisturbed_take([&] {
    ASSERT_NO_FATAL_FAILURE(make_run_folder(0));
    ASSERT_NO_FATAL_FAILURE(start_program());
    watch_recording();
    sleep_s(0.5);
    // Two plain notes, one held by the pedal, a chord.
    double on, off;
    note(57, 0.4, &on, &off);
    sleep_s(0.4);
    send({0xB0, 64, 127});
    note(64, 0.3, &on, &off);
    sleep_s(0.4);
    send({0xB0, 64, 0});
    sleep_s(0.4);
    send({0x90, 60, 90});
    send({0x90, 76, 70});
    sleep_s(0.5);
    send({0x80, 60, 0});
    send({0x80, 76, 0});
    sleep_s(0.6);
    end_take(&live);
  });
  if (HasFatalFailure()) return;
  if (!judged) GTEST_SKIP() << "every take was disturbed; the last: " << disturbance;

  // Note by note (the chord as one), each from its first event: where it
  // sounds live.
  struct Expect {
    int key;
    size_t from;  // its first event
  };
  const std::vector<Expect> notes = {{57, 0}, {64, 3}, {60, 6}};
  auto frames = [&](const Recording& r, double t) { return (size_t)std::clamp(t * r.rate, 0.0, (double)r.mono.size()); };
  auto window = [&](const Recording& r, size_t n) {
    double from = recorded_by(live, sent[notes[n].from].time) - 0.01;
    double to = n + 1 < notes.size() ? recorded_by(live, sent[notes[n + 1].from].time) - 0.01 : 1e9;
    return audiocheck::sounding_span(r, frames(r, from), frames(r, to));
  };
  std::vector<audiocheck::Span> heard_live;
  for (size_t n = 0; n < notes.size(); n++) {
    heard_live.push_back(window(live, n));
    ASSERT_LT(heard_live[n].onset, heard_live[n].end) << "key " << notes[n].key << " is missing live";
  }

  // The file (tempo 500000, 22050 ticks a quarter: a tick a frame): each
  // event where it took effect live. The file device has no clock of the
  // JACK server's, so live a message takes effect at the start of the next
  // block, and the renderer starts a note on its own frame. A note-on comes
  // at the start of the block its note starts in. A note-off waits
  // note_off_delay on the clock and ends its note in the block mixed once
  // it is due, whatever the recording did meanwhile: in the file it comes
  // that long before the recording position at that moment. The others come
  // at the recording position when they were sent, as watching the
  // recording grow tells (live, up to a block later).
  const double block = (double)kBlockFrames / live.rate;
  std::vector<MidiTrackEvent> track = {{0, midi_tempo_event(500000)}};
  uint32_t tick = 0;
  for (size_t i = 0, n = 0; i < sent.size(); i++) {
    if (n + 1 < notes.size() && i >= notes[n + 1].from) n++;
    const std::vector<uint8_t>& e = sent[i].bytes;
    bool note_on = (e[0] & 0xF0) == 0x90 && e.size() == 3 && e[2] > 0;
    bool note_off = e.size() == 3 && ((e[0] & 0xF0) == 0x80 || ((e[0] & 0xF0) == 0x90 && e[2] == 0));
    double carried = note_on    ? std::floor((double)heard_live[n].onset / kBlockFrames) * block
                     : note_off ? recorded_by(live, sent[i].time + kNoteOffDelay) - kNoteOffDelay
                                : recorded_by(live, sent[i].time);
    tick = std::max(tick, (uint32_t)std::lround(std::max(0.0, carried) * live.rate));
    track.push_back({tick, e});
  }
  std::vector<uint8_t> bytes = write_midi_file(0, live.rate / 2, {track});
  std::ofstream(work + "/phrase.mid", std::ios::binary).write((const char*)bytes.data(), (std::streamsize)bytes.size());
  Recording offline;
  ASSERT_NO_FATAL_FAILURE(render(work + "/phrase.mid", &offline));
  // Started on the same frame, a note is the same from its first frame; a
  // release's block is known from watching the recording: a block either way.
  std::vector<audiocheck::Span> heard_render;
  for (size_t n = 0; n < notes.size(); n++) heard_render.push_back(window(offline, n));
  EXPECT_NEAR((double)heard_render[0].onset / offline.rate, (double)heard_live[0].onset / live.rate, 0.002);
  ASSERT_NO_FATAL_FAILURE(compare_with_render(live, heard_live, offline, heard_render, {57, 64, 60}, 0.002, block + 0.01));
}

// W starts a take and W ends it, with transpose 2: a phrase on three
// channels with the pedal. The file holds every message as sent,
// untransposed, each within 2 ms of when it was sent after the first (the
// JACK cycle that carries MIDI is 64 frames, 1.5 ms, here; the file places
// the messages by their frames, so a take in which the server's clock fell
// behind the wall clock is played again). quillon_render plays the take with the settings the program left as the
// program played it: every note's start within a block of the live one
// (both are mixed in blocks, the take in its own time), its level within
// 0.5 dB.
TEST_F(MidiEndToEnd, ATakeHoldsWhatWasPlayedAndRendersAsItSounded) {
  ASSERT_EQ(access((std::string(QD_RUN_DIR) + "quillon_render").c_str(), X_OK), 0) << "quillon_render not built";
  ASSERT_NO_FATAL_FAILURE(start_jack("qd_e2e_" + std::to_string(getpid()) + "_t", 64));
  ASSERT_NO_FATAL_FAILURE(open_ports());
  Recording live;
  std::string take;
  std::vector<double> starts;  // when each note's first event was sent
  size_t midi_events = 0;
  bool judged = undisturbed_take([&] {
    starts.clear();
    ASSERT_NO_FATAL_FAILURE(make_run_folder(0, [] { transpose = 2; }));
    ASSERT_NO_FATAL_FAILURE(start_program());
    watch_recording();
    ASSERT_NO_FATAL_FAILURE(press("w"));
    ASSERT_TRUE(poll_until(5.0, [&] { return output().find("[W]rec") != std::string::npos; })) << "no [W]rec";
    sleep_s(0.3);
    late_clients_from = jacklog::late_clients(work + "/jackd.txt");
    int slips_from = jacklog::clock_slips(work + "/jackd.txt");
    double on, off;
    note(57, 0.4, &on, &off);
    starts.push_back(on);
    sleep_s(0.4);
    send({0xB1, 64, 127});  // the pedal holds 64 after its key is up
    send({0x91, 64, 60});
    starts.push_back(sent.back().time);
    sleep_s(0.3);
    send({0x81, 64, 0});
    sleep_s(0.4);
    send({0xB1, 64, 0});
    sleep_s(0.4);
    send({0x92, 60, 90});
    starts.push_back(sent.back().time);
    send({0x90, 76, 70});
    sleep_s(0.5);
    send({0x82, 60, 0});
    send({0x90, 76, 0});
    midi_events = sent.size();
    sleep_s(0.1);
    // Late JACK cycles count while the keyboard plays (64-frame cycles are
    // often late on a busy machine): the file device and the window carry
    // the rest.
    int late_while_playing = jacklog::late_clients(work + "/jackd.txt");
    int slips = jacklog::clock_slips(work + "/jackd.txt") - slips_from;
    sleep_s(0.5);
    ASSERT_NO_FATAL_FAILURE(press("w"));
    ASSERT_TRUE(poll_until(5.0, [&] { return output().find("take-") != std::string::npos; })) << "no take name";
    take = output().substr(output().find("take-"));
    take = take.substr(0, take.find('\n'));
    sleep_s(0.3);
    stop_watching();
    late_clients_to = late_while_playing;
    ASSERT_NO_FATAL_FAILURE(end_program());
    std::string why;
    ASSERT_TRUE(read_recording(run + "recording.wav", &live, &why)) << why;
    judge_take(midi_events);
    if (slips > 0 && disturbance.empty()) disturbance = "the JACK server's clock slipped " + std::to_string(slips) + " times";
  });
  if (HasFatalFailure()) return;
  if (!judged) GTEST_SKIP() << "every take was disturbed; the last: " << disturbance;

  // The file: the messages in order, each at its time.
  std::string path = run + "save/takes/" + take;
  std::string bytes = read_file(path);
  MidiFile file;
  ASSERT_EQ(read_midi_file((const uint8_t*)bytes.data(), bytes.size(), &file), "") << path;
  std::vector<uint32_t> kept;
  for (const MidiFileEvent& e : file.events) kept.push_back(e.message);
  ASSERT_EQ(kept, expected_thru(0, midi_events));
  double worst = 0;
  for (size_t i = 0; i < midi_events; i++) {
    double error = file.events[i].seconds - (sent[i].time - sent[0].time);
    EXPECT_NEAR(error, 0.0, 0.002) << "message " << i;
    worst = std::max(worst, std::fabs(error));
  }
  std::printf("take: %zu messages, times within %.2f ms of when they were sent\n", midi_events, worst * 1000);

  // The take rendered against the live recording, note by note: live from
  // where its first event was sent, in the render (whose time starts with
  // the first message) from a block before that.
  Recording offline;
  ASSERT_NO_FATAL_FAILURE(render(path, &offline));
  const double block = (double)kBlockFrames / live.rate;
  auto frames = [&](const Recording& r, double t) { return (size_t)std::clamp(t * r.rate, 0.0, (double)r.mono.size()); };
  std::vector<audiocheck::Span> heard_live, heard_render;
  for (size_t n = 0; n < starts.size(); n++) {
    double next = n + 1 < starts.size() ? starts[n + 1] : starts[n] + 10.0;
    heard_live.push_back(audiocheck::sounding_span(live, frames(live, recorded_by(live, starts[n]) - 0.01),
                                                   frames(live, recorded_by(live, next) - 0.01)));
    heard_render.push_back(audiocheck::sounding_span(offline, frames(offline, starts[n] - sent[0].time - block - 0.01),
                                                     frames(offline, next - sent[0].time - block - 0.01)));
  }
  // Sounding keys: transposed by 2.
  ASSERT_NO_FATAL_FAILURE(
      compare_with_render(live, heard_live, offline, heard_render, {59, 66, 62}, block + 0.002, 2 * block + 0.01));
}

TEST_F(MidiEndToEnd, ThruWiredBackToTheInputIsDetectedAndClosed) {
  ASSERT_NO_FATAL_FAILURE(start_jack("qd_e2e_" + std::to_string(getpid()) + "_b"));
  ASSERT_NO_FATAL_FAILURE(open_ports());
  const std::string want = "notice: warning midiout loop detected ";
  std::vector<NoteCheck> notes;
  Recording rec;
  bool judged = undisturbed_take([&] {
    notes.clear();
    notices_seen.clear();
    // Output device 2 is the program's own input port: the thru output is
    // wired straight back to the input.
    ASSERT_NO_FATAL_FAILURE(make_run_folder(2));
    prog_pid = spawn({run + "quillon_darvo"}, work + "/out.txt", work + "/err.txt");
    ASSERT_GT(prog_pid, 0);
    // The probe comes back while the ports open, or within its 4 s.
    double ports_open = 0;
    ASSERT_TRUE(poll_until(60.0, [&] {
      if (!running() || output().find(want) != std::string::npos) return true;
      if (ports_open == 0 && output().find("[M]midi") != std::string::npos) ports_open = now_s();
      return ports_open > 0 && now_s() > ports_open + 4.5;
    })) << "the program did not get ready";
    ASSERT_TRUE(running());
    std::string out = output();
    if (out.find(want) == std::string::npos) {
      judge_take();
      ASSERT_FALSE(disturbance.empty()) << "no loop notice";
      return;
    }
    std::string line = out.substr(out.find(want));
    line = line.substr(0, line.find('\n'));
    EXPECT_EQ(line, want + "quillon_darvo in:in closed");
    // The box is answered; the thru port has left the JACK graph.
    ASSERT_TRUE(poll_until(30.0, [&] { return !notices_seen.empty() && notice_windows().empty(); },
                           [&] { answer_notices(); }))
        << "no notice box, or it stays open";
    ASSERT_TRUE(poll_until(10.0, [&] { return shell("jack_lsp").find("quillon_darvo thru") == std::string::npos; }))
        << "the thru port is still open";
    ASSERT_TRUE(poll_until(60.0, [&] { return !running() || output().find("[M]midi") != std::string::npos; },
                           [&] { answer_notices(); }));
    ASSERT_TRUE(running());

    // The program plays on.
    watch_recording();
    sleep_s(0.5);
    double on, off;
    note(64, 0.4, &on, &off);
    notes.push_back({64, on, off, kNoteOffDelay});
    sleep_s(0.6);
    stop_watching();
    ASSERT_NO_FATAL_FAILURE(end_program());
    out = output();
    int loop_notices = 0;
    for (size_t at = out.find(want); at != std::string::npos; at = out.find(want, at + 1)) loop_notices++;
    EXPECT_EQ(loop_notices, 1);
    std::string why;
    ASSERT_TRUE(read_recording(run + "recording.wav", &rec, &why)) << why;
    judge_take();
  });
  if (HasFatalFailure()) return;
  if (!judged) GTEST_SKIP() << "every take was disturbed; the last: " << disturbance;
  ASSERT_NO_FATAL_FAILURE(check_notes(rec, notes, {notes[0].release + 0.5}));
}

// The sample pass bakes the key reverb and the key tone into the samples. Key
// 60 plays its own sample (wave 4) at speed 1: recorded plain, after [Y]
// (key reverb on), after [Y] again (off) and after [X] (key tone mode 1 with
// lowg 10, highg 0.1). The mixer gives equal values for equal wave data, so
// the notes are compared value by value.
TEST_F(MidiEndToEnd, KeyReverbAndKeyToneAreBakedIntoTheNotes) {
  ASSERT_NO_FATAL_FAILURE(start_jack("qd_e2e_" + std::to_string(getpid()) + "_c"));
  ASSERT_NO_FATAL_FAILURE(open_ports());
  ASSERT_NO_FATAL_FAILURE(make_run_folder(0, [] {
    keytone_bands.lowg = 10.0f;
    keytone_bands.highg = 0.1f;
  }));
  ASSERT_NO_FATAL_FAILURE(start_program());
  watch_recording();
  sleep_s(0.5);
  const double hold = 1.0, pass_time = 2.5;  // the pass takes a small part of that
  double on[4], off[4];
  const char* before[4] = {nullptr, "y", "y", "x"};
  for (int i = 0; i < 4; i++) {
    if (before[i]) {
      ASSERT_NO_FATAL_FAILURE(press(before[i]));
      sleep_s(pass_time);
    }
    note(60, hold, &on[i], &off[i]);
    sleep_s(0.5);
  }
  ASSERT_TRUE(running()) << "the program ended while the passes ran";
  Recording rec;
  ASSERT_NO_FATAL_FAILURE(end_and_read(&rec));
  auto frame = [&](double t) { return (size_t)std::clamp(t * rec.rate, 0.0, (double)rec.mono.size()); };
  size_t start[4];
  for (int i = 0; i < 4; i++) {
    size_t end = frame(recorded_by(rec, off[i]));
    start[i] = sounding_span(rec, frame(recorded_by(rec, on[i]) - 0.01), end).onset;
    ASSERT_LT(start[i], end) << "note " << i << " is missing";
  }
  const size_t span = frame(0.9);  // every note sounds this long
  ASSERT_LE(start[3] + span, rec.mono.size());

  // Key reverb off again: the note is the plain one, value for value.
  size_t plain2 = align(rec, start[0], start[2], frame(0.2), 2048);
  float most = 0;
  for (size_t t = 0; t < span; t++) most = std::max(most, std::fabs(rec.mono[plain2 + t] - rec.mono[start[0] + t]));
  EXPECT_LE(most, 1.0f) << "after the key reverb was switched off the note differs from the plain one";

  // Key reverb on: the same values up to the first tap (225 ms, 19844
  // stereo values, 9922.5 frames); from there on the difference is the plain
  // note again, delayed by the tap: a correlation peak at that lag.
  size_t echo = align(rec, start[0], start[1], frame(0.2), 2048);
  std::vector<double> residue(span), plain(span);
  for (size_t t = 0; t < span; t++) {
    residue[t] = rec.mono[echo + t] - rec.mono[start[0] + t];
    plain[t] = rec.mono[start[0] + t];
  }
  float early = 0;
  for (size_t t = 0; t < frame(0.2); t++) early = std::max(early, (float)std::fabs(residue[t]));
  EXPECT_LE(early, 1.0f) << "the key reverb note differs before its first echo";
  double residue_energy = 0, plain_energy = 0;
  for (size_t t = 0; t < span; t++) {
    residue_energy += residue[t] * residue[t];
    plain_energy += plain[t] * plain[t];
  }
  ASSERT_GT(residue_energy, 0.0) << "the key reverb left the note unchanged";
  size_t best_lag = 0;
  double best = 0;
  for (size_t lag = frame(0.15); lag < frame(0.35); lag++) {
    double c = 0;
    for (size_t t = lag; t < span; t++) c += residue[t] * plain[t - lag];
    c /= std::sqrt(residue_energy * plain_energy);
    if (c > best) {
      best = c;
      best_lag = lag;
    }
  }
  std::printf("key reverb: correlation %.3f at %zu frames (%.1f ms)\n", best, best_lag, 1000.0 * best_lag / rec.rate);
  EXPECT_NEAR((double)best_lag, 9922.5, 3.0) << "the echo is not at the first tap of wave 4";
  EXPECT_GT(best, 0.5);

  // Key tone: the low partials gain against the high ones.
  auto tilt = [&](size_t from) {
    std::vector<double> x = hann_window(rec, from + frame(0.05), 16384);
    double f0 = key_frequency(60), low = 0, high = 0;
    for (int k = 1; k <= 2; k++) low += line_power(x, k * f0, rec.rate);
    for (int k = 8; k <= 14; k++) high += line_power(x, k * f0, rec.rate);
    return low / high;
  };
  double plain_tilt = tilt(start[0]), tone_tilt = tilt(start[3]);
  std::printf("key tone: low / high partials %.2f plain, %.2f filtered\n", plain_tilt, tone_tilt);
  EXPECT_GT(tone_tilt, 4.0 * plain_tilt) << "the key tone did not tilt the note towards its low partials";
}

TEST_F(MidiEndToEnd, MasterLevelHalvesANoteAndTheEqualizerTiltsItTowardsItsLowPartials) {
  ASSERT_NO_FATAL_FAILURE(start_jack("qd_e2e_" + std::to_string(getpid()) + "_f"));
  ASSERT_NO_FATAL_FAILURE(open_ports());
  auto equalizer = [](float lowg, float midg, float highg, float level) {
    return [=] {
      equalizer_on = 1;
      eq_bands.lowg = lowg;
      eq_bands.midg = midg;
      eq_bands.highg = highg;
      eq_bands.order = 1;
      master_level = level;
    };
  };
  Take plain, half, tilted;
  ASSERT_NO_FATAL_FAILURE(record_take(equalizer(1, 1, 1, 1.0f), &plain));  // unity: the plain note
  ASSERT_NO_FATAL_FAILURE(record_take(equalizer(1, 1, 1, 0.5f), &half));
  ASSERT_NO_FATAL_FAILURE(record_take(equalizer(10, 0.1f, 0.1f, 0.1f), &tilted));

  // The steady part of key 48, 0.05 s after its attack, in each take.
  const size_t n = 16384;
  auto start = [](const Take& t) { return onset(t, 0) + (size_t)(0.05 * t.rec.rate); };
  for (const Take* t : {&plain, &half, &tilted}) ASSERT_LT(start(*t) + n, t->rec.mono.size()) << "key 48 is missing";
  double db = audiocheck::level_db(half.rec, start(half), start(half) + n) -
              audiocheck::level_db(plain.rec, start(plain), start(plain) + n);
  std::printf("master_level 0.5: %.2f dB\n", db);
  EXPECT_NEAR(db, -6.02, 0.5);

  // The fundamental (below the 200 Hz split) against the eighth partial (in
  // the mid band): their gains over the plain take differ by more than 10 dB.
  double f0 = key_frequency(48);
  auto gain = [&](double f) {
    return strongest_line(tilted.rec, start(tilted), n, f, 0.98, 1.04).power /
           strongest_line(plain.rec, start(plain), n, f, 0.98, 1.04).power;
  };
  double tilt_db = 10 * std::log10(gain(f0) / gain(8 * f0));
  std::printf("equalizer 10 / 0.1 / 0.1: fundamental %.1f dB above the eighth partial\n", tilt_db);
  EXPECT_GT(tilt_db, 10.0);
}

TEST_F(MidiEndToEnd, ReverbOneEchoesTheEndOfANoteAtItsTwoTapDelays) {
  ASSERT_NO_FATAL_FAILURE(start_jack("qd_e2e_" + std::to_string(getpid()) + "_g"));
  ASSERT_NO_FATAL_FAILURE(open_ports());
  Take echo;
  ASSERT_NO_FATAL_FAILURE(record_take([] { reverb_mode = 1; }, &echo));
  const Recording& rec = echo.rec;

  // After key 48 has ended (where a plain take is silent) every value is the
  // sum of two earlier output values of the other channel, 225 ms and 300 ms
  // back: 9922.5 and 13230 frames, the line holding both channels in turn.
  const double block = (double)kBlockFrames / rec.rate;
  size_t from = (size_t)((echo.release[0] + kNoteOffDelay + 2 * block + 0.01) * rec.rate);
  size_t n = (size_t)(0.25 * rec.rate);
  ASSERT_LT(from + n, (size_t)(echo.on[1] * rec.rate));
  double tail_db = audiocheck::level_db(rec, from, from + n);
  std::printf("reverb1: tail level %.1f dB\n", tail_db);
  EXPECT_GT(tail_db, -50.0) << "no echo after the note's end";
  struct Fit {
    const std::vector<float>& y;
    const std::vector<float>& other;
    size_t lag1, lag2;
  } fits[] = {{rec.left, rec.right, 9923, 13231}, {rec.right, rec.left, 9922, 13230}};
  for (const Fit& fit : fits) {
    // Least squares: y[t] = a other[t - lag1] + b other[t - lag2].
    double uu = 0, uv = 0, vv = 0, uy = 0, vy = 0, yy = 0;
    for (size_t t = from; t < from + n; t++) {
      double y = fit.y[t], u = fit.other[t - fit.lag1], v = fit.other[t - fit.lag2];
      uu += u * u, uv += u * v, vv += v * v, uy += u * y, vy += v * y, yy += y * y;
    }
    double det = uu * vv - uv * uv;
    ASSERT_GT(det, 0.0);
    double a = (uy * vv - vy * uv) / det, b = (vy * uu - uy * uv) / det;
    double residual = yy - a * uy - b * vy;
    std::printf("reverb1: taps %.4f and %.4f, %.5f of the tail unexplained\n", a, b, residual / yy);
    EXPECT_NEAR(a, 0.23, 0.01);
    EXPECT_NEAR(b, 0.77 * 0.2, 0.01);
    EXPECT_LT(residual / yy, 0.01);
  }
}

TEST_F(MidiEndToEnd, AutomaticVolumeBringsASoftPhraseUpTowardsItsAim) {
  ASSERT_NO_FATAL_FAILURE(start_jack("qd_e2e_" + std::to_string(getpid()) + "_h"));
  ASSERT_NO_FATAL_FAILURE(open_ports());
  Take plain, automatic;
  ASSERT_NO_FATAL_FAILURE(record_take([] {}, &plain));
  ASSERT_NO_FATAL_FAILURE(record_take([] { autovol_mode = 1; }, &automatic));
  auto peak = [](const Take& t, size_t i) {
    float most = 0;
    size_t a = (size_t)(t.on[i] * t.rec.rate), b = (size_t)((t.release[i] + kNoteOffDelay) * t.rec.rate);
    for (size_t f = a; f < b && f < t.rec.mono.size(); f++)
      most = std::max({most, std::fabs(t.rec.left[f]), std::fabs(t.rec.right[f])});
    return most;
  };
  const float aim = 0.5f * 1.7f * 32768;  // half of target_level, of full scale
  for (size_t i = 1; i < plain.on.size(); i++)
    std::printf("soft note %zu: peak %.0f plain, %.0f with automatic volume\n", i, peak(plain, i), peak(automatic, i));
  // Once the analysis has followed the phrase down, its last notes come out
  // at least twice as loud, but not beyond the aim.
  for (size_t i = plain.on.size() - 3; i < plain.on.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_GT(peak(automatic, i), 2 * peak(plain, i));
    EXPECT_LT(peak(automatic, i), 1.1f * aim);
  }
}

TEST_F(MidiEndToEnd, KeyboardThatGoesWithAKeyHeldEndsItsNoteAndPlaysWhenItComesBack) {
  ASSERT_NO_FATAL_FAILURE(start_jack("qd_e2e_" + std::to_string(getpid()) + "_u"));
  ASSERT_NO_FATAL_FAILURE(open_ports());
  const std::string lost_line = "MIDI input 1 lost: qd_e2e_keyboard:keys";
  std::vector<NoteCheck> notes;
  Recording rec;
  bool judged = undisturbed_take([&] {
    notes.clear();
    if (!keyboard) {
      ASSERT_TRUE(midi_out_open_virtual(&keyboard, "qd_e2e_keyboard", "keys"));
    }
    ASSERT_NO_FATAL_FAILURE(make_run_folder(0));
    ASSERT_NO_FATAL_FAILURE(start_program());
    watch_recording();
    sleep_s(0.5);
    send({0x90, 60, 100});
    double on = sent.back().time;
    sleep_s(0.6);
    // The keyboard's client goes away with the key down. The server reports
    // the test's own clients late while one goes and comes: that churn does
    // not count against the take.
    int late_before = jacklog::late_clients(work + "/jackd.txt") - late_clients_from;
    midi_out_close(keyboard);
    keyboard = 0;
    double gone = now_s();
    size_t lost = wait_for_output(lost_line, 0, 5.0);
    ASSERT_NE(lost, std::string::npos) << "the program did not see the keyboard go";
    double seen = now_s();
    std::printf("keyboard gone: seen after %.0f ms\n", (seen - gone) * 1000);
    // It ends no sooner than the note-off delay after the keyboard went and
    // within the delay after the program said so.
    notes.push_back({60, on, seen, gone + kNoteOffDelay - seen});
    sleep_s(0.5);
    ASSERT_TRUE(midi_out_open_virtual(&keyboard, "qd_e2e_keyboard", "keys"));
    ASSERT_NE(wait_for_output("MIDI input 1 found: qd_e2e_keyboard:keys", lost, 5.0), std::string::npos)
        << "the program did not find the keyboard again";
    sleep_s(0.5);  // a client that starts is often late once
    late_clients_from = jacklog::late_clients(work + "/jackd.txt") - late_before;
    double off;
    note(64, 0.4, &on, &off);
    notes.push_back({64, on, off, kNoteOffDelay});
    sleep_s(0.6);
    ASSERT_TRUE(running()) << "the program ended";
    end_take(&rec);
  });
  if (HasFatalFailure()) return;
  if (!judged) GTEST_SKIP() << "every take was disturbed; the last: " << disturbance;
  ASSERT_NO_FATAL_FAILURE(check_notes(rec, notes, {notes[1].on, notes[1].release + 0.5}));
}

TEST_F(MidiEndToEnd, JackServerKilledUnderAPlayingProgramAndStartedAgainPlaysOnAtPitch) {
  const std::string server = "qd_e2e_" + std::to_string(getpid()) + "_k";
  ASSERT_NO_FATAL_FAILURE(start_jack(server));
  ASSERT_NO_FATAL_FAILURE(open_ports());
  device = true;
  ASSERT_NO_FATAL_FAILURE(make_run_folder(0));
  ASSERT_NO_FATAL_FAILURE(start_program());
  send({0x90, 60, 100});  // a key down while the server goes
  sleep_s(0.5);
  kill(-jackd_pid, SIGKILL);
  wait_exit(jackd_pid, 5.0);
  jackd_pid = 0;
  size_t lost = wait_for_output("audio output lost, retrying every 2 s", 0, 10.0);
  ASSERT_NE(lost, std::string::npos) << "the program did not tell of the lost output";
  EXPECT_NE(wait_for_output("MIDI input 1 lost: qd_e2e_keyboard:keys", 0, 5.0), std::string::npos);
  ASSERT_TRUE(running()) << "the program ended with the server";

  // The keyboard and the listener went with the server; all come back.
  close_ports();
  sleep_s(1.0);
  double started = now_s();
  ASSERT_NO_FATAL_FAILURE(start_jack(server));
  ASSERT_NO_FATAL_FAILURE(open_ports());
  ASSERT_NE(wait_for_output("plugout=JACK output", lost, 15.0), std::string::npos)
      << "the output did not come back";
  ASSERT_NE(wait_for_output("MIDI input 1 found: qd_e2e_keyboard:keys", lost, 10.0), std::string::npos)
      << "the keyboard was not found again";
  EXPECT_LT(now_s() - started, 2.0) << "the output and the keyboard came back late after the server did";

  JackCapture capture;
  ASSERT_TRUE(capture.open("quillon_darvo")) << "cannot record the program's output";
  sleep_s(0.3);
  size_t from = capture.frames();
  double on, off;
  note(69, 1.0, &on, &off);
  sleep_s(0.3);
  Recording rec = capture.recording();
  capture.close();
  ASSERT_TRUE(running()) << "the program ended";
  ASSERT_NO_FATAL_FAILURE(end_program());
  EXPECT_EQ(access((run + "quillon_darvo.ini").c_str(), R_OK), 0) << "no settings written";

  audiocheck::Span span = sounding_span(rec, from, rec.mono.size());
  ASSERT_LT(span.onset + (size_t)(0.3 * rec.rate), span.end) << "the note after the restart is missing";
  double expected = key_frequency(69);
  double f = measured_pitch(rec, span.onset + (size_t)(0.05 * rec.rate), 8192, expected);
  std::printf("after the restart: key 69 at %.2f Hz (%.2f), %.2f s long\n", f, expected,
              (double)(span.end - span.onset) / rec.rate);
  EXPECT_NEAR(f / expected, 1.0, 0.01);
}

}  // namespace
