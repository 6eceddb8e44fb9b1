// SPDX-License-Identifier: GPL-3.0-or-later
// The instrument on a desktop's sound server: a headless PipeWire session
// (scripts/services.sh start_pipewire: pipewire, wireplumber, pipewire-pulse
// and the null sink qdsink) and the RtAudio plug-in of the run folder, which
// takes the PulseAudio path when no JACK server answers. The program's own
// first start attempt (12 buffers) gets two blocks from the plug-in, and the
// server grants no more than that; notes played through the instrument and
// recorded from the sink's monitor with parecord are at pitch and length,
// with no block dropped.
//
// Prints the latency the server grants ("node.latency") at buffer_size 256
// and 1024. Needs pipewire, wireplumber, pipewire-pulse, pactl and parecord
// (scripts/install-deps test) and the run folder's sample sets.
//
// The program also runs on PipeWire's own JACK library (pw-jack), at the
// server's 48 kHz with the quantum forced to 256 and then to 128 while it
// plays, and then with the graph moved to 44.1 kHz: each note (a function
// key typed into its window) is recorded at pitch, and the new period or
// rate shows on a "plugout=" line. That run needs
// pipewire-jack, pw-metadata, $DISPLAY and xdotool.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/instrument_setup.h"
#include "app/output_watch.h"
#include "app/settings.h"
#include "core/clock.h"
#include "core/settings_values.h"
#include "engine/fbs.h"
#include "midi/midi_input.h"
#include "midi/voices.h"
#include "tests/support/audio_check.h"
#include "tests/support/child_process.h"

using namespace audiocheck;

namespace {

const std::string kServices = std::string(QD_SOURCE_DIR) + "scripts/services.sh";
constexpr double kHold = 0.5;     // seconds a key is held
constexpr double kPeriod = 1.0;   // from one note-on to the next
constexpr int kKeys[] = {60, 67, 72};
constexpr int kTakes = 3;

// How late a thread of ours woke up at worst while it ran: a machine that
// stalled the sound server's own (not real-time) thread for longer than the
// buffer it was granted drops a block, whatever the program does. Such a
// take is played again, not judged.
class StallProbe {
 public:
  StallProbe() : thread_([this] {
    while (!stop_.load()) {
      double before = now_s();
      sleep_s(0.001);
      worst_ = std::max(worst_.load(), now_s() - before - 0.001);
    }
  }) {}
  ~StallProbe() { stop(); }
  // Ends the probe; the worst lateness in seconds.
  double stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return worst_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<double> worst_{0};
  std::thread thread_;
};

// The session's runtime folder and process ids, empty when none runs; what
// the start said when it failed.
std::string runtime, pids, start_error;

class PipeWire : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* p : {"pipewire", "wireplumber", "pipewire-pulse", "pactl", "parecord"})
      if (!have_program(p)) return;
    // The session outlives the shell that starts it; its folder and process
    // ids come back on the shell's output.
    std::string out = "/tmp/qd_pipewire_start." + std::to_string(getpid());
    std::string start = ". " + kServices + " && start_pipewire && echo \"$QD_PW_RUNTIME\" && echo \"$QD_PW_PIDS\"";
    pid_t starter = spawn({"bash", "-c", start}, out, out + ".err");
    bool started = wait_exit(starter, 60) == 0;
    std::istringstream lines(read_file(out));
    if (started) {
      std::getline(lines, runtime);
      std::getline(lines, pids);
    } else {
      start_error = read_file(out + ".err");
    }
    std::remove(out.c_str());
    std::remove((out + ".err").c_str());
    if (runtime.empty()) return;
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + runtime + "/bus").c_str(), 1);
    // No JACK server for the plug-in: it goes on to the PulseAudio path.
    setenv("JACK_DEFAULT_SERVER", "qd_no_jack_here", 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
  }
  static void TearDownTestSuite() {
    if (runtime.empty()) return;
    shell("bash -c '. " + kServices + " && QD_PW_RUNTIME=" + runtime + " QD_PW_PIDS=\"" + pids +
          "\" && stop_pipewire'");
    runtime.clear();
  }
  void SetUp() override {
    if (runtime.empty() && start_error.empty()) GTEST_SKIP() << "no PipeWire (scripts/install-deps test)";
    ASSERT_FALSE(runtime.empty()) << "the PipeWire session did not start:\n" << start_error;
    ASSERT_EQ(access((std::string(QD_RUN_DIR) + "sounds/piano1_60.wav").c_str(), R_OK), 0)
        << "no sample sets in the run folder: run scripts/make-assets";
    work_ = runtime + "/test/";
    mkdir(work_.c_str(), 0755);
  }
  void TearDown() override { stop_instrument(); }

  void stop_instrument() {
    stop_child(&recorder_);
    FBS_DISABLE_MASTERCALLBACK();
    silence_all_voices();
    voices_detach();
    for (int w = 0; w < kSamplesPerSet; w++)
      if (wave[w] >= 0) FBS_DESTROY_WAVE(&wave[w]);
    loaded_sound = -1;
    FBS_EXIT();
  }

  // The engine started as the program starts it, with set 1 set up on it.
  void start_instrument(int frames) {
    set_default_settings();
    piano_sound = 1;
    buffer_size = frames;
    reset_midi_timing();
    reset_channel_volumes();
    clear_note_counters();
    FBS_SET_PLUGPATH(QD_RUN_DIR);
    ASSERT_EQ(start_output(1, frames), 1) << FBS_GET_PLUGERROR();
    read_block_factor();
    ASSERT_EQ(set_up_sample_set(SoundFolders(std::string(QD_RUN_DIR) + "sounds/"), program_clock(), nullptr), "");
  }

  // node.latency of the program's stream as the server reports it, in
  // frames at 44100 Hz; -1 when not found.
  int granted_latency() {
    std::string list = shell("pactl list sink-inputs");
    size_t app = list.find("application.name = \"quillon_darvo\"");
    size_t start = app == std::string::npos ? std::string::npos : list.rfind("Sink Input #", app);
    if (start == std::string::npos) return -1;
    size_t at = list.find("node.latency = \"", start);
    if (at == std::string::npos) return -1;
    int frames = 0, rate = 0;
    if (std::sscanf(list.c_str() + at, "node.latency = \"%d/%d\"", &frames, &rate) != 2 || rate <= 0) return -1;
    return (int)std::lround(frames * 44100.0 / rate);
  }

  // Records the sink's monitor into `path` until stop_child(&recorder_).
  void start_recording(const std::string& path) {
    // Small fragments: what the server still holds when parecord ends is lost.
    recorder_ = spawn({"parecord", "--device=qdsink.monitor", "--rate=44100", "--channels=2", "--format=s16le",
                       "--latency-msec=20", "--file-format=wav", path},
                      work_ + "parecord.txt", work_ + "parecord.txt");
    bool connected = false;
    for (int i = 0; i < 100 && !connected; i++) {
      connected = !shell("pactl list short source-outputs").empty();
      if (!connected) sleep_s(0.05);
    }
    ASSERT_TRUE(connected) << "parecord did not connect";
    sleep_s(0.3);
  }

  // Plays the keys, each held kHold, kPeriod apart, serving the note-off
  // queue as the main loop does.
  void play_keys() {
    for (int key : kKeys) {
      midi_dispatch(0x90 | key << 8 | 100 << 16, program_clock());
      sleep_s(kHold);
      midi_dispatch(0x80 | key << 8, program_clock());
      double until = now_s() + kPeriod - kHold;
      while (now_s() < until) {
        serve_note_off_queue();
        sleep_s(0.005);
      }
    }
    sleep_s(0.3);
  }

  // The notes in the recording: each at its key's pitch, sounding for the
  // hold and the note-off delay, and never broken by a dropped block. What
  // is wrong with them, one line each; empty when they are right.
  std::string note_faults(const std::string& path) {
    Recording rec;
    std::string why;
    if (!read_recording(path, &rec, &why) || rec.rate != 44100) return "the recording: " + why + "\n";
    const size_t period = (size_t)(kPeriod * rec.rate);
    Span first = sounding_span(rec, 0, rec.mono.size());
    if (first.onset >= rec.mono.size()) return "nothing was recorded\n";
    std::string faults;
    char line[200];
    for (size_t i = 0; i < sizeof kKeys / sizeof kKeys[0]; i++) {
      size_t from = first.onset + i * period - period / 10;
      Span span = sounding_span(rec, from, from + period);
      double onset = (double)(span.onset - first.onset) / rec.rate - i * kPeriod;
      double length = (double)(span.end - span.onset) / rec.rate;
      double expected = key_frequency(kKeys[i]);
      double pitch = measured_pitch(rec, span.onset + rec.rate / 10, 8192, expected) / expected;
      // A dropped block is a stretch of silence inside the note.
      size_t quiet = 0, longest = 0;
      for (size_t f = span.onset; f + rec.rate / 50 < span.end; f++) {
        quiet = std::fabs(rec.mono[f]) < 2 ? quiet + 1 : 0;
        longest = std::max(longest, quiet);
      }
      if (std::fabs(onset) > 0.05 || std::fabs(length - kHold - note_off_delay.load()) > 0.06 ||
          std::fabs(pitch - 1) > 0.005 || longest >= 64) {
        std::snprintf(line, sizeof line, "key %d: onset %+.3f s, %.3f s long, pitch x %.4f, %zu frames of silence\n",
                      kKeys[i], onset, length, pitch, longest);
        faults += line;
      }
    }
    return faults;
  }

  std::string work_;
  pid_t recorder_ = 0;
};

TEST_F(PipeWire, TheServerGrantsAtMostTwoBlocksAndTheLineShowsThem) {
  for (int frames : {256, 1024}) {
    SCOPED_TRACE("buffer_size " + std::to_string(frames));
    start_instrument(frames);
    if (HasFatalFailure()) return;
    std::string line = plugout_line();
    EXPECT_EQ(line.rfind("plugout=RtAudio output (PulseAudio) /qdsink", 0), 0u) << line;
    EXPECT_EQ(line.substr(line.rfind(" / ")), " / 44100 2*" + std::to_string(frames)) << line;
    int granted = granted_latency();
    std::printf("buffer_size %d: %s, the server grants node.latency %d frames (%.1f ms)\n", frames,
                line.c_str(), granted, granted / 44.1);
    EXPECT_GT(granted, 0);
    EXPECT_LE(granted, 2 * frames);
    stop_instrument();
  }
}

// A take is played again when the machine stalled a thread of ours for half
// the granted buffer (the server's own thread may then have missed it), and
// once more after faults it showed: the test fails when every take that the
// machine did not disturb has them.
TEST_F(PipeWire, NotesRecordedFromTheSinkAreAtPitchAndLengthWithNothingDropped) {
  int judged = 0;
  for (int frames : {256, 1024}) {
    const double granted = 2.0 * frames / 44100;
    std::string faults;
    for (int take = 1; take <= kTakes; take++) {
      start_instrument(frames);
      if (HasFatalFailure()) return;
      std::string path = work_ + "notes" + std::to_string(frames) + ".wav";
      start_recording(path);
      if (HasFatalFailure()) return;
      StallProbe probe;
      play_keys();
      double stall = probe.stop();
      stop_child(&recorder_);
      stop_instrument();
      std::string found = note_faults(path);
      if (found.empty()) {
        faults.clear();
        judged++;
        break;
      }
      if (stall > granted / 2) {
        std::printf("buffer_size %d, take %d of %d disturbed (a thread woke %.1f ms late), played again:\n%s",
                    frames, take, kTakes, stall * 1000, found.c_str());
        continue;
      }
      std::printf("buffer_size %d, take %d of %d:\n%s", frames, take, kTakes, found.c_str());
      faults = found;
      judged++;
    }
    EXPECT_EQ(faults, "") << "buffer_size " << frames;
  }
  if (judged == 0) GTEST_SKIP() << "every take was disturbed: the machine is too busy";
}

}  // namespace

namespace {

// Windows on the display whose name begins with `name`, newest last.
std::vector<std::string> windows_named(const std::string& name) {
  std::vector<std::string> found;
  std::istringstream ids(shell("xdotool search --name '^" + name + "'"));
  std::string id;
  while (ids >> id) found.push_back(id);
  return found;
}

}  // namespace

TEST_F(PipeWire, OnPipeWiresJackTheProgramPlaysAtPitchAndFollowsTheQuantumAndTheRate) {
  for (const char* p : {"pw-jack", "pw-metadata", "xdotool"})
    if (!have_program(p)) GTEST_SKIP() << "needs " << p;
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs a display ($DISPLAY)";
  std::string run = work_ + "run/";
  int status = 1;
  shell("cp -r '" + std::string(QD_RUN_DIR) + ".' '" + run + "'", &status);
  ASSERT_EQ(status, 0);
  shell("rm -f '" + run + "'quillon_darvo*.ini");
  set_default_settings();
  piano_sound = 1;
  reverb_mode = 0;
  ASSERT_TRUE(write_settings((run + "quillon_darvo.ini").c_str()));
  shell("pw-metadata -n settings 0 clock.force-quantum 256");
  // The session's JACK library finds the session by XDG_RUNTIME_DIR; the
  // server name set for the other tests would name another.
  pid_t program = spawn({"env", "-u", "JACK_DEFAULT_SERVER", "pw-jack", run + "quillon_darvo", "--output", "jack"},
                        work_ + "out.txt", work_ + "err.txt");
  auto output = [&] { return read_file(work_ + "out.txt"); };
  auto running = [&] { return waitpid(program, nullptr, WNOHANG) == 0; };
  // No MIDI ports in this session: the two notices that say so (at every
  // set load) are answered, until the ports' line is shown after `from`.
  auto settle = [&](size_t from) {
    for (double until = now_s() + 60; now_s() < until && running();) {
      for (const std::string& w : windows_named("notice$")) shell("xdotool windowfocus --sync " + w + " key Return");
      if (output().find("MIDI input port(", from) != std::string::npos && windows_named("notice$").empty()) return;
      sleep_s(0.2);
    }
  };
  settle(0);
  ASSERT_TRUE(running()) << output() << read_file(work_ + "err.txt");
  std::vector<std::string> window = windows_named("quillon_darvo");
  ASSERT_FALSE(window.empty());
  EXPECT_NE(output().find("plugout=JACK output /qdsink"), std::string::npos) << output();
  EXPECT_NE(output().find(" / 48000 1*256\n"), std::string::npos) << output();
  // The quantum forced to 128, then the graph moved to 44.1 kHz: the output
  // is opened again at that rate and the set loaded again for it.
  struct Step {
    const char* setting;
    int value;
    const char* line;
    bool reloads;  // the set is loaded again (and the notices come again)
  } steps[] = {{"", 0, "", false},
               {"clock.force-quantum", 128, " / 48000 1*128\n", false},
               {"clock.force-rate", 44100, " / 44100 1*128\n", true}};
  for (const Step& step : steps) {
    SCOPED_TRACE(std::string(step.setting) + " " + std::to_string(step.value));
    if (step.value) {
      size_t from = output().size();
      double asked = now_s();
      shell(std::string("pw-metadata -n settings 0 ") + step.setting + " " + std::to_string(step.value));
      while (output().find(step.line, from) == std::string::npos && now_s() < asked + 5.0) sleep_s(0.01);
      EXPECT_NE(output().find(step.line, from), std::string::npos) << "no plugout line" << step.line;
      std::printf("pw-jack: %s %d shown %.0f ms after it was set\n", step.setting, step.value, (now_s() - asked) * 1000);
      if (step.reloads) settle(output().find(step.line, from));
    }
    // F8 plays key 55 (the function keys' octave starts at key 48).
    std::string path = work_ + "pwjack" + std::to_string(step.value) + ".wav";
    recorder_ = spawn({"parecord", "--device=qdsink.monitor", "--rate=48000", "--channels=2", "--format=s16le",
                       "--latency-msec=20", "--file-format=wav", path},
                      work_ + "parecord.txt", work_ + "parecord.txt");
    sleep_s(0.5);
    shell("xdotool windowfocus --sync " + window[0] + " keydown F8");
    sleep_s(0.7);
    shell("xdotool keyup F8");
    sleep_s(0.4);
    stop_child(&recorder_);
    Recording rec;
    std::string why;
    ASSERT_TRUE(read_recording(path, &rec, &why)) << why;
    Span span = sounding_span(rec, 0, rec.mono.size());
    ASSERT_LT(span.onset + rec.rate / 10 + 8192, rec.mono.size()) << "the note did not sound";
    const double expected = key_frequency(55);
    const double pitch = measured_pitch(rec, span.onset + rec.rate / 10, 8192, expected) / expected;
    std::printf("pw-jack, %s %d: key 55 at pitch x %.4f\n", step.setting, step.value, pitch);
    EXPECT_NEAR(pitch, 1.0, 0.005);
  }
  shell("pw-metadata -n settings 0 clock.force-quantum 0");
  shell("pw-metadata -n settings 0 clock.force-rate 0");
  stop_child(&program);
}
