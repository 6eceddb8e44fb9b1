// SPDX-License-Identifier: GPL-3.0-or-later
// Main loop pieces that run without a real window or audio device: key codes
// and command texts, when the key loop ends, set selection by key, the D and
// M prompts, the restart decisions, and the tables made at start-up.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "app/key_source.h"
#include "app/main_loop.h"
#include "app/piano_picture.h"
#include "app/function_keys.h"
#include "app/key_commands.h"
#include "app/loop_request.h"
#include "app/screen.h"
#include "app/settings.h"
#include "core/clock.h"
#include "core/shared_state.h"
#include "engine/fbs.h"
#include "midi/midi_input.h"
#include "midi/voices.h"
#include "platform/window.h"
#include "platform/window_headless.h"

namespace fs = std::filesystem;

namespace {

class MainLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    win_use_headless(true);
    win_open(kTextAreaWidth, kTextAreaHeight);
    while (!win_poll_key().empty()) {
    }
    set_default_settings();
    cancel_set_request();
    take_window_rebuild_request();
    full_view_shown = 0;
  }
  void TearDown() override { win_close(); }

  void type(const std::string& keys) {
    for (char c : keys) win_push_key(std::string(1, c));
  }

  // Runs each character of `keys` as the command of one key.
  void commands(const std::string& keys) {
    for (char c : keys) {
      run_command(std::string(1, c));
    }
  }
};

// A folder with sounds/ in which the listed sets are complete (empty files
// are enough for the completeness test); the test works inside it.
class SetFolder {
 public:
  explicit SetFolder(std::initializer_list<int> sets) {
    dir_ = fs::temp_directory_path() / ("qd_main_loop_" + std::to_string(getpid()));
    fs::create_directories(dir_ / "sounds");
    for (int s : sets)
      for (int n = 12; n <= 108; n += 12)
        std::fclose(std::fopen((dir_ / "sounds" / ("piano" + std::to_string(s) + "_" +
                                                     std::to_string(n) + ".wav")).c_str(), "w"));
    old_ = fs::current_path();
    fs::current_path(dir_);
  }
  ~SetFolder() {
    fs::current_path(old_);
    fs::remove_all(dir_);
  }

 private:
  fs::path dir_, old_;
};

}  // namespace

TEST_F(MainLoop, KeyTextIsTheLowByteOfTheCode) {
  EXPECT_EQ(key_text_for_code(0), "");
  EXPECT_EQ(key_text_for_code(363), "");  // close button
  EXPECT_EQ(key_text_for_code('a'), "a");
  EXPECT_EQ(key_text_for_code('A'), "A");
  EXPECT_EQ(key_text_for_code(256 + 72), "H");  // Up arrow stands for H
  EXPECT_EQ(key_text_for_code(256 + 0), "");
}

TEST_F(MainLoop, ExtendedKeyReachesTheLoopAs256PlusScanCode) {
  install_key_source();
  win_push_key(std::string("\xff") + char(72));
  win_push_key("k");
  EXPECT_EQ(FBS_GET_KEYCODE(), 256 + 72);
  EXPECT_EQ(FBS_GET_KEYCODE(), 'k');
  EXPECT_EQ(FBS_GET_KEYCODE(), 0);
  win_push_key(std::string("\xff") + char(kScanClose));
  EXPECT_EQ(FBS_GET_KEYCODE(), 363);
}

TEST_F(MainLoop, KeysThatEndTheKeyLoop) {
  for (int code : std::initializer_list<int>{32, 27, 363, 'b', 'B', 'n', 'N', 'm', 'M', '0', '5', '9'})
    EXPECT_TRUE(key_ends_key_loop(code)) << code;
  for (int code : std::initializer_list<int>{0, 'a', 'h', 'x', '/', ':', 256 + 'b', 256 + 'M', 256 + '0'})
    EXPECT_FALSE(key_ends_key_loop(code)) << code;
}

TEST_F(MainLoop, CommandsTakeBothCases) {
  keyvol_on = 0;
  run_command("k");
  EXPECT_EQ(keyvol_on.load(), 1);
  run_command("K");
  EXPECT_EQ(keyvol_on.load(), 0);

  velo_mode = 3;
  run_command("V");
  EXPECT_EQ(velo_mode, 0);
}

TEST_F(MainLoop, ACommandThatNeedsTheSamplesWaitsForTheOutput) {
  // While the output is lost a command that needs the samples is kept (the
  // last one wins) and handed out in the first pass without a key once the
  // output plays; the others run at once, the keyboard's I and O too.
  post_pending_key("i");
  struct Step {
    int code;
    bool lost;
    int code_after;
    const char* text;
  } steps[] = {{0, true, 0, "i"},         {'a', true, 'a', "a"},  {'x', true, 0, ""},
               {'B', true, 0, ""},        {256 + 'S', true, 0, ""},  // Delete stands for S
               {'N', true, 0, ""},        {256 + 'M', true, 256 + 'M', "M"},  // never ends the loop
               {0, true, 0, ""},          {'k', false, 'k', "k"}, {0, false, 'N', "N"},
               {0, false, 0, ""}};
  for (const Step& s : steps) {
    int code = s.code;
    EXPECT_EQ(take_key_command(&code, s.lost), s.text) << s.code;
    EXPECT_EQ(code, s.code_after) << s.code;
  }
}

TEST_F(MainLoop, TypeOffsetStaysWithinItsRange) {
  type_offset = 12;
  commands("iii");
  EXPECT_EQ(type_offset.load(), 13);
  type_offset = 0;
  commands("OOO");
  EXPECT_EQ(type_offset.load(), -1);
}

TEST_F(MainLoop, FeatureKeysCycleAndTheStatusScreenFollows) {
  commands("a");
  EXPECT_EQ(autovol_mode.load(), 1);
  commands("AAAAA");
  EXPECT_EQ(autovol_mode.load(), 0);
  commands("rrg");
  EXPECT_EQ(reverb_mode.load(), 2);
  EXPECT_EQ(equalizer_on.load(), 1);
  std::string screen = status_screen_text();
  EXPECT_NE(screen.find("[R]reverb2  [T]edit"), std::string::npos) << screen;
  EXPECT_NE(screen.find("[G]equal  [F]edit"), std::string::npos) << screen;
  EXPECT_NE(screen.find("[A]noautovol"), std::string::npos) << screen;
  EXPECT_NE(screen.find("[P]presets  [M]midi"), std::string::npos) << screen;
  commands("grr");
  EXPECT_EQ(reverb_mode.load(), 0);
  EXPECT_EQ(equalizer_on.load(), 0);
  // Q: the resampling family, in the engine at once, at row 6 column 11.
  const char* const resample[3] = {"[Q]resample0", "[Q]cubic", "[Q]sinc"};
  for (int mode : {1, 2, 0}) {
    commands("q");
    EXPECT_EQ(resample_mode, mode);
    EXPECT_EQ(FBS_GET_RESAMPLEMODE(), mode);
    EXPECT_EQ(win_row_text(6).substr(10, 12).rfind(resample[mode], 0), 0u) << win_row_text(6);
  }
}

TEST_F(MainLoop, FunctionKeysAndKeyRepeatsAreNoCommands) {
  int code = 256 + 65;  // F7, whose scan code is the letter A
  win_headless_set_key_down(65, true);
  function_key_notes(&code);
  EXPECT_EQ(code, 0);
  win_headless_set_key_down(65, false);
  code = 256 + 65;  // F7 pressed and up again before the loop looked
  function_key_notes(&code);
  EXPECT_EQ(code, 0);
  code = 'a';
  function_key_notes(&code);
  EXPECT_EQ(code, 'a');
  // A held key's repeats reach a typed line, never the commands.
  install_key_source();
  win_push_key("a", true);
  win_push_key(std::string(1, (char)255) + 'X', true);
  EXPECT_EQ(FBS_GET_KEYCODE(), 0);
  win_push_key("a", true);
  EXPECT_EQ(win_poll_typed_key(), "a");
}

TEST_F(MainLoop, DigitsBAndNSelectCompleteSets) {
  SetFolder folder({3, 4});
  // Each key asks for its set; the main loop switches once the key loop ends.
  struct Case {
    char key;
    int from, set;
  } cases[] = {{'5', 0, 4}, {'3', 4, 3}, {'2', 3, 0}, {'0', 0, 0},
               {'b', 0, 4},  // from 0 back to the highest
               {'N', 4, 0},  // past the last, round to 0
               {'n', 0, 3}};
  for (const Case& c : cases) {
    piano_sound = c.from;
    commands(std::string(1, c.key));
    EXPECT_EQ(piano_sound.load(), c.from) << c.key;
    EXPECT_EQ(take_set_request(piano_sound), c.set) << c.key;
  }
  // A reload asks for the set as it is; keys that are no set key ask nothing.
  piano_sound = 3;
  request_reload();
  EXPECT_EQ(take_set_request(piano_sound), 3);
  commands("\x1b ak");
  EXPECT_FALSE(set_change_requested());
}

TEST_F(MainLoop, WithOnlySetZeroEveryKeySelectsIt) {
  SetFolder folder({});
  for (char key : std::string("bN059")) {
    piano_sound = 0;
    commands(std::string(1, key));
    EXPECT_EQ(take_set_request(piano_sound), 0) << key;
  }
}

TEST_F(MainLoop, NoteOffDelayPromptClampsAndKeeps) {
  note_off_delay = 0.08;
  type("2000\r");
  note_off_delay_prompt();
  EXPECT_DOUBLE_EQ(note_off_delay.load(), 1.0);
  EXPECT_EQ(win_row_text(2).rfind("delay on noteoff: enter a value (50..1000)", 0), 0u);
  EXPECT_EQ(win_row_text(3).rfind("     initial=80   last=80 ms", 0), 0u) << win_row_text(3);

  type("30\r");
  note_off_delay_prompt();
  EXPECT_DOUBLE_EQ(note_off_delay.load(), 0.05);
  type("250\r");
  note_off_delay_prompt();
  EXPECT_DOUBLE_EQ(note_off_delay.load(), 0.25);
  type("\r");
  note_off_delay_prompt();
  EXPECT_DOUBLE_EQ(note_off_delay.load(), 0.25);
  type("abc\r");
  note_off_delay_prompt();
  EXPECT_DOUBLE_EQ(note_off_delay.load(), 0.25);
}

TEST_F(MainLoop, BufferSizeIsClampedToTheEngineRange) {
  EXPECT_EQ(clamp_buffer_size(50), 100);
  EXPECT_EQ(clamp_buffer_size(5000), 2048);
  EXPECT_EQ(clamp_buffer_size(512), 512);
  EXPECT_EQ(clamp_buffer_size(-3), 100);
}

TEST_F(MainLoop, PromptAnswers) {
  EXPECT_EQ(prompt_whole_answer(0, 7, 1, 4), 7);
  EXPECT_EQ(prompt_whole_answer(9, 1, 1, 4), 4);
  EXPECT_EQ(prompt_whole_answer(-2, 3, 1, 4), 1);
  EXPECT_EQ(prompt_whole_answer(3, 1, 1, 0), 1);  // no device: never above the range's start
  EXPECT_EQ(prompt_line_answer("", -5, -12, 12), -5);
  EXPECT_EQ(prompt_line_answer("0", 3, 0, 5), 0);  // a line of 0 switches off
  EXPECT_EQ(prompt_line_answer("2.5", 0, 0, 5), 2);  // halves to even
  EXPECT_EQ(prompt_line_answer("3.5", 0, 0, 5), 4);
  EXPECT_EQ(prompt_line_answer("-20", 0, -12, 12), -12);
  EXPECT_EQ(prompt_line_answer("1e30", 0, -12, 12), 12);
  EXPECT_EQ(prompt_line_answer("x", 4, 0, 5), 0);
}

TEST_F(MainLoop, MidiPromptWithEnterEverywhereChangesNothing) {
  midi_input_devices = 2;
  midi_output_devices = 1;
  midi_in_port = 2;
  midi_in2_port = 1;
  midi_in3_port = 0;
  thru_port = 1;
  buffer_size = 512;
  transpose = -3;
  autovolmidi = 40;
  pedal_mode = 1;
  type("\r\r\r\r\r\r\r\r");
  midi_settings_prompt();
  EXPECT_EQ(midi_in_port, 2);
  EXPECT_EQ(midi_in2_port, 1);
  EXPECT_EQ(midi_in3_port, 0);
  EXPECT_EQ(thru_port.load(), 1);
  EXPECT_EQ(buffer_size, 512);
  EXPECT_EQ(transpose.load(), -3);
  EXPECT_EQ(autovolmidi.load(), 40);
  EXPECT_EQ(pedal_mode.load(), 1);
  EXPECT_EQ(input_active.load(), 0);
}

TEST_F(MainLoop, MidiPromptClampsEveryAnswer) {
  midi_input_devices = 2;
  midi_output_devices = 1;
  type("9\r7\r0\r5\r50\r+20\r300\r4\r");
  midi_settings_prompt();
  EXPECT_EQ(midi_in_port, 2);
  EXPECT_EQ(midi_in2_port, 2);
  EXPECT_EQ(midi_in3_port, 0);
  EXPECT_EQ(thru_port.load(), 1);
  EXPECT_EQ(buffer_size, 100);
  EXPECT_EQ(transpose.load(), 12);
  EXPECT_EQ(autovolmidi.load(), 127);
  EXPECT_EQ(pedal_mode.load(), 1);

  type("\r\r\r\r5000\r\r\r-1\r");
  midi_settings_prompt();
  EXPECT_EQ(buffer_size, 2048);
  EXPECT_EQ(pedal_mode.load(), 0);
}

TEST_F(MainLoop, MidiPromptRestartsTheEngineOrReopensThePorts) {
  MidiValues applied = {1, 0, 0, 0, 0, 0, 0};
  int applied_buffer = 1024;

  // Every prompt confirmed unchanged: a fresh engine (and a sample reload).
  EXPECT_EQ(plan_after_midi_prompt(applied, &applied, 1024, &applied_buffer), kEngineCycle);
  EXPECT_EQ(plan_after_teardown(false, true, 1024, applied_buffer), kEngineCycle);

  // Only the thru port changed: the ports are reopened, the engine stays.
  applied_buffer = 1024;
  MidiValues thru = applied;
  thru.thru_port = 2;
  EXPECT_EQ(plan_after_midi_prompt(thru, &applied, 1024, &applied_buffer), kPortCycle);
  EXPECT_TRUE(applied == thru);
  EXPECT_EQ(applied_buffer, 1024);

  // A new buffer size: the engine restarts.
  MidiValues same = applied;
  EXPECT_EQ(plan_after_midi_prompt(same, &applied, 256, &applied_buffer), kEngineCycle);
  MidiValues transposed = applied;
  transposed.transpose = 5;
  applied_buffer = 1024;
  EXPECT_EQ(plan_after_midi_prompt(transposed, &applied, 256, &applied_buffer), kEngineCycle);
  EXPECT_EQ(plan_after_teardown(false, true, 256, applied_buffer), kEngineCycle);
}

TEST_F(MainLoop, AfterTeardownReloadOrEnd) {
  EXPECT_EQ(plan_after_teardown(true, false, 1024, 1024), kSampleCycle);
  EXPECT_EQ(plan_after_teardown(false, false, 1024, 1024), kProgramEnd);
  EXPECT_EQ(plan_after_teardown(false, false, 512, 1024), kProgramEnd);  // only M restarts
}

TEST_F(MainLoop, WhiteKeyTables) {
  fill_white_key_tables();
  const int first[8] = {9, 11, 12, 14, 16, 17, 19, 21};
  for (int b = 0; b < 8; b++) EXPECT_EQ(white_key_number[b], first[b]);
  EXPECT_EQ(white_key_number[51], 96);   // the 88-key piano ends on key 96
  EXPECT_EQ(white_key_number[69], 127);  // 70 entries in all
  int whites = 0;
  for (int k = 0; k < kWhiteKeyIndexSize; k++) {
    if (white_key_index[k] >= 0) {
      EXPECT_EQ(white_key_number[white_key_index[k]], k);
      whites++;
    }
  }
  EXPECT_EQ(white_key_index[10], -1);
  EXPECT_EQ(white_key_index[8], -1);
  EXPECT_EQ(white_key_index[60], 30);
  EXPECT_EQ(whites, 66);  // white keys 9..120
}

TEST_F(MainLoop, StatusScreenShowsPortsSetAndTranspose) {
  midi_in_port = 2;
  midi_in2_port = 3;
  midi_in3_port = 0;
  transpose = -4;
  autovolmidi = 64;
  type_offset = 6;
  loaded_sound = 0;
  draw_status_screen();
  EXPECT_EQ(win_row_text(1).rfind("MIDI input port(2)(3)", 0), 0u) << win_row_text(1);
  EXPECT_EQ(win_row_text(1).substr(26, 13), "transp-4 auto") << win_row_text(1);
  EXPECT_EQ(win_row_text(3).rfind("[B]prev [N]next piano  / [I][O]type=0", 0), 0u) << win_row_text(3);
  EXPECT_EQ(win_row_text(10).rfind("[V]velo2  [D]delay  [K]nokeyvol", 0), 0u) << win_row_text(10);
}

// ---- Whole runs of the main loop on the headless window ----

#include <fstream>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/dialogs.h"
#include "platform/dialogs_headless.h"
#include "platform/midi_io.h"
#include "platform/midi_loopback.h"
#include "tests/plugins/plug_test_api.h"
#include "app/output_watch.h"
#include "effects/master_chain.h"

namespace {

// A short stereo 16-bit WAV file at 44100 Hz.
void write_wav(const fs::path& path, int frames) {
  std::ofstream f(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
  f.write("RIFF", 4);
  u32(36 + frames * 4);
  f.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(2);
  u32(44100);
  u32(44100 * 4);
  u16(4);
  u16(16);
  f.write("data", 4);
  u32(frames * 4);
  for (int i = 0; i < frames * 2; i++) u16(static_cast<uint16_t>((i * 37) & 0x3FFF));
}

std::vector<std::string> read_lines(const fs::path& path) {
  std::ifstream f(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(f, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// A program folder with set 0 as WAV files (or none) and the test output
// plug-in under both built-in names; the test runs inside it.
class ProgramFolder {
 public:
  explicit ProgramFolder(bool with_samples) {
    dir_ = fs::temp_directory_path() / ("qd_main_run_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "sounds");
    fs::create_directories(dir_ / "save" / "user");
    if (with_samples)
      for (int n = 12; n <= 108; n += 12)
        write_wav(dir_ / "sounds" / ("piano" + std::to_string(n) + ".wav"), 2000);
    plug_dir_ = plugtest::make_plug_folder({{plugtest::built("plug_test.so"), "plug-rtaudio.so"},
                                            {plugtest::built("plug_test.so"), "plug-wav.so"}});
    FBS_SET_PLUGPATH(plug_dir_.c_str());
    old_ = fs::current_path();
    fs::current_path(dir_);
  }
  ~ProgramFolder() {
    fs::current_path(old_);
    fs::remove_all(dir_);
    fs::remove_all(plug_dir_);
  }
  fs::path path(const char* name) const { return dir_ / name; }
  std::string plug(const char* name) const { return plug_dir_ + name; }

 private:
  fs::path dir_, old_;
  std::string plug_dir_;
};

// Ends the test program when a run hangs (a fatal error waiting for a key
// that never comes), so the failure shows instead of a stuck test.
class Watchdog {
 public:
  explicit Watchdog(int seconds)
      : thread_([this, seconds] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
            std::fprintf(stderr, "main loop run did not end within %d s\n", seconds);
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

class MainLoopRun : public MainLoop {
 protected:
  void SetUp() override {
    MainLoop::SetUp();
    midi_io_select_backend(MIDI_BACKEND_LOOPBACK);
    dialog_clear_history();
    // The state of a fresh process: nothing loaded, the window's first title.
    loaded_sound = -1;
    for (int& w : wave) w = -1;
    base_title.clear();
    win_set_title("quillon_darvo");
  }

  // One whole run with its standard output kept in out.
  int run() {
    testing::internal::CaptureStdout();
    int status;
    {
      Watchdog watchdog(60);
      status = run_main_loop();
    }
    out = testing::internal::GetCapturedStdout();
    return status;
  }
  std::string out;
};

}  // namespace

TEST_F(MainLoopRun, EscAfterStartUpSavesTheSettingsTwice) {
  ProgramFolder folder(true);
  // A buffer size outside the engine's range in the settings file.
  set_default_settings();
  buffer_size = 50;
  ASSERT_TRUE(write_settings("quillon_darvo.ini"));
  set_default_settings();

  win_push_key("\x1b");
  int status = run();
  EXPECT_EQ(status, 0);

  EXPECT_NE(out.find("plugout=test plug-rtaudio.so /"), std::string::npos) << out;
  EXPECT_NE(out.find("loading sound files..."), std::string::npos) << out;
  EXPECT_NE(out.find("[B]prev [N]next piano  / [I][O]type=0"), std::string::npos) << out;
  EXPECT_EQ(win_get_title(), "quillon_darvo    ");

  std::vector<std::string> ini = read_lines(folder.path("quillon_darvo.ini"));
  std::vector<std::string> backup = read_lines(folder.path("quillon_darvo_backup.ini"));
  ASSERT_EQ(ini.size(), static_cast<size_t>(kSettingsLines));
  EXPECT_EQ(ini, backup);
  EXPECT_EQ(ini[2053], "finlist");
  EXPECT_EQ(ini[2087], " 100");  // buffer_size raised to the engine's minimum
  EXPECT_EQ(wave[0], -1);        // the waves were destroyed at the end
  EXPECT_EQ(sound[0][1], -1);
}

TEST_F(MainLoopRun, BufferSizeAboveTheRangeIsLowered) {
  ProgramFolder folder(true);
  set_default_settings();
  buffer_size = 5000;
  ASSERT_TRUE(write_settings("quillon_darvo.ini"));
  win_push_key(" ");
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(read_lines(folder.path("quillon_darvo.ini"))[2087], " 2048");
}

TEST_F(MainLoopRun, NoOutputDeviceIsFatalAfterAKey) {
  ProgramFolder folder(true);
  plugtest::Copy a = plugtest::open_copy(folder.plug("plug-rtaudio.so"));
  plugtest::Copy b = plugtest::open_copy(folder.plug("plug-wav.so"));
  ASSERT_TRUE(a.set && b.set);
  a.set("init", 0);
  b.set("init", 0);
  // The first key, already waiting, is discarded; the second one ends.
  win_push_key("a");
  win_push_key("b");
  int status = run();
  a.set("init", 1);
  b.set("init", 1);
  EXPECT_EQ(status, 1);
  EXPECT_NE(out.find("No free playback driver found!"), std::string::npos) << out;
  EXPECT_EQ(win_poll_key(), "");
  EXPECT_FALSE(fs::exists(folder.path("quillon_darvo.ini")));
}

TEST_F(MainLoopRun, DeviceThatWillNotStartGivesTwoNoticesEachWaitingForAKey) {
  ProgramFolder folder(true);
  plugtest::Copy a = plugtest::open_copy(folder.plug("plug-rtaudio.so"));
  plugtest::Copy b = plugtest::open_copy(folder.plug("plug-wav.so"));
  ASSERT_TRUE(a.set && b.set);
  a.set("start", 0);  // selected, so its error text is there to show
  b.set("start", 0);
  // For each notice the first key, already waiting, is discarded and the
  // second one ends it.
  for (const char* key : {"a", "b", "c", "d"}) win_push_key(key);
  int status = run();
  a.set("start", 1);
  b.set("start", 1);
  EXPECT_EQ(status, 1);
  size_t first = out.find("No free playback driver found!");
  ASSERT_NE(first, std::string::npos) << out;
  EXPECT_NE(out.find("test plug-in error", first), std::string::npos) << out;
  EXPECT_EQ(win_poll_key(), "");
  EXPECT_FALSE(fs::exists(folder.path("quillon_darvo.ini")));
}

TEST_F(MainLoopRun, MissingSampleIsFatalAfterAKey) {
  ProgramFolder folder(false);
  win_push_key("a");
  win_push_key("b");
  int status = run();
  EXPECT_EQ(status, 1);
  EXPECT_NE(out.find("error loading wav sounds/piano12.wav"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(folder.path("quillon_darvo.ini")));
}

namespace {

// Steps of a scripted run, driven from the note-off queue service, which the
// key loop's wait calls on the main thread on every pass.
int script_stage = 0;
double script_time = 0.0;

double reload_incomplete_set_clock() {
  double now = steady_seconds();
  if (script_stage == 0) {
    // As a preset naming a set that is not on disk would: the set changes
    // and the main loop is asked to reload.
    piano_sound = 3;
    request_reload();
    script_time = now;
    script_stage = 1;
  } else if (script_stage == 1 && now > script_time + 1.2) {
    // Past the pass that took "reload": this is the next key loop.
    win_push_key("\x1b");
    script_stage = 2;
  }
  return now;
}

}  // namespace

TEST_F(MainLoopRun, ReloadOfAnIncompleteSetFallsBackToSetZeroAndLoadsIt) {
  ProgramFolder folder(true);
  script_stage = 0;
  program_clock = reload_incomplete_set_clock;
  int status = run();
  program_clock = steady_seconds;
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(script_stage, 2);
  EXPECT_EQ(piano_sound.load(), 0);
  size_t first = out.find("loading sound files...");
  ASSERT_NE(first, std::string::npos) << out;
  EXPECT_NE(out.find("loading sound files...", first + 1), std::string::npos) << out;
  EXPECT_EQ(out.find("error create sound"), std::string::npos) << out;
}

namespace {

// A key script for a whole run: each step's keys are typed once `after`
// seconds have passed since the previous step, checked on every pass of the
// key loop's wait (through the note-off queue's clock, on the main thread).
struct ScriptStep {
  double after;
  std::vector<std::string> keys;
  void (*action)() = nullptr;  // also run at that moment (mouse changes)
};
std::vector<ScriptStep> key_script;
size_t key_script_next = 0;
double key_script_time = -1.0;

std::thread::id key_script_thread;  // the main loop's; MIDI threads read the clock too

double key_script_clock() {
  double now = steady_seconds();
  if (std::this_thread::get_id() != key_script_thread) return now;
  if (key_script_time < 0) key_script_time = now;
  if (key_script_next < key_script.size() &&
      now >= key_script_time + key_script[key_script_next].after) {
    for (const std::string& key : key_script[key_script_next].keys) win_push_key(key);
    if (key_script[key_script_next].action) key_script[key_script_next].action();
    key_script_time = now;
    key_script_next++;
  }
  return now;
}

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

class MainLoopScript : public MainLoopRun {
 protected:
  // Types the steps, then Esc; returns the run's status.
  int run_script(std::vector<ScriptStep> steps) {
    steps.push_back({1.5, {"\x1b", "\x1b"}, nullptr});  // the second Esc ends a fatal wait
    key_script = steps;
    key_script_next = 0;
    key_script_time = -1.0;
    key_script_thread = std::this_thread::get_id();
    program_clock = key_script_clock;
    int status = run();
    program_clock = steady_seconds;
    EXPECT_EQ(key_script_next, key_script.size()) << "the run ended before its script";
    return status;
  }
};

const std::vector<std::string> kEightEnters = {"\r", "\r", "\r", "\r", "\r", "\r", "\r", "\r"};

std::vector<std::string> keys_then(std::vector<std::string> keys, const std::vector<std::string>& more) {
  keys.insert(keys.end(), more.begin(), more.end());
  return keys;
}

}  // namespace

TEST_F(MainLoopScript, BWithOnlySetZeroKeepsTheWavesAndRemakesTheSounds) {
  ProgramFolder folder(true);
  EXPECT_EQ(run_script({{0.0, {"b"}}}), 0) << out;
  EXPECT_EQ(count_of(out, "loading sound files..."), 1u) << out;
  EXPECT_EQ(count_of(out, "MIDI input port("), 2u) << out;  // the status screen, after each port cycle
  EXPECT_EQ(count_of(out, "plugout="), 1u) << out;
}

TEST_F(MainLoopScript, MWithEnterEverywhereRestartsTheEngineAndReloads) {
  ProgramFolder folder(true);
  EXPECT_EQ(run_script({{0.0, keys_then({"m"}, kEightEnters)}}), 0) << out;
  EXPECT_EQ(count_of(out, "plugout="), 2u) << out;
  EXPECT_EQ(count_of(out, "loading sound files..."), 2u) << out;
}

TEST_F(MainLoopScript, MChangingOnlyTheThruPortReopensThePorts) {
  ProgramFolder folder(true);
  midi_loop_reset();
  midi_loop_add_input("keys");
  int thru = midi_loop_add_output("thru out");
  // Inputs 1, 2, 3 kept; thru port 1; buffer size, transpose, autovolmidi kept.
  EXPECT_EQ(run_script({{0.0, {"m", "\r", "\r", "\r", "1", "\r", "\r", "\r", "\r", "\r"}}}), 0) << out;
  EXPECT_EQ(count_of(out, "plugout="), 1u) << out;
  EXPECT_EQ(count_of(out, "loading sound files..."), 1u) << out;
  EXPECT_EQ(count_of(out, "MIDI input port("), 3u) << out;  // start, after the prompt, after the reopening
  // The reopened thru port got the loop probe: program 127, then 0, on channel 10.
  ASSERT_GE(midi_loop_sent_count(thru), 2);
  EXPECT_EQ(midi_loop_sent(thru, 0), 0x7FC9u);
  EXPECT_EQ(midi_loop_sent(thru, 1), 0x00C9u);
  EXPECT_EQ(read_lines(folder.path("quillon_darvo.ini"))[2089], " 1");
  midi_loop_reset();
}

TEST_F(MainLoopScript, MChangingTheBufferSizeRestartsTheEngine) {
  ProgramFolder folder(true);
  EXPECT_EQ(run_script({{0.0, {"m", "\r", "\r", "\r", "\r", "5", "1", "2", "\r", "\r", "\r", "\r"}}}), 0) << out;
  EXPECT_EQ(count_of(out, "plugout="), 2u) << out;
  EXPECT_EQ(count_of(out, "loading sound files..."), 2u) << out;
  EXPECT_EQ(read_lines(folder.path("quillon_darvo.ini"))[2087], " 512");
}

TEST_F(MainLoopRun, SpaceAndTheCloseButtonEndAndSaveToo) {
  for (std::string key : {std::string(" "), std::string("\xff") + char(kScanClose)}) {
    ProgramFolder folder(true);
    win_push_key(key);
    EXPECT_EQ(run(), 0) << out;
    EXPECT_EQ(read_lines(folder.path("quillon_darvo.ini")).size(), static_cast<size_t>(kSettingsLines));
    EXPECT_EQ(read_lines(folder.path("quillon_darvo_backup.ini")).size(), static_cast<size_t>(kSettingsLines));
  }
}

TEST_F(MainLoopRun, SettingsFileThatCannotBeWrittenIsToldAndTheBackupIsStillWritten) {
  ProgramFolder folder(true);
  // A folder where the settings file belongs: read as no file, never replaced.
  fs::create_directories(folder.path("quillon_darvo.ini") / "kept");
  win_push_key("\x1b");
  EXPECT_EQ(run(), 0) << out;
  std::vector<std::string> told;
  for (const DialogRecord& r : dialog_history()) told.push_back(r.text);
  EXPECT_NE(std::find(told.begin(), told.end(), "not saved :quillon_darvo.ini"), told.end());
  EXPECT_TRUE(fs::is_directory(folder.path("quillon_darvo.ini") / "kept"));
  EXPECT_EQ(read_lines(folder.path("quillon_darvo_backup.ini")).size(), static_cast<size_t>(kSettingsLines));
}

TEST_F(MainLoopScript, RightClickSwitchesTheViewAndKeepsThePosition) {
  ProgramFolder folder(true);
  win_headless_set_mouse(-1, -1, 0, 0);
  EXPECT_EQ(full_view.load(), 1);
  int status = run_script({{0.0, {}, [] { win_headless_set_mouse(100, 50, 0, 2); }},
                           {0.05, {}, [] { win_headless_set_mouse(100, 50, 0, 0); }}});
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(full_view.load(), 0);
  EXPECT_EQ(win_width(), kTextAreaWidth);
  EXPECT_EQ(win_height(), kTextAreaHeight);
  std::vector<std::string> ini = read_lines(folder.path("quillon_darvo.ini"));
  EXPECT_EQ(ini[1], " 400");  // window_x of the compact view
  EXPECT_EQ(ini[2], " 300");
  EXPECT_EQ(ini[2085], " 0");  // full_view
  win_headless_remove_mouse();
}

TEST_F(MainLoopScript, RightClickLeavesAFullViewValueOutsideZeroAndOne) {
  // A settings file may hold any number for full_view; anything but 0 shows
  // the full view, and a right click must still switch to the compact one.
  ProgramFolder folder(true);
  set_default_settings();
  full_view = 2;
  ASSERT_TRUE(write_settings("quillon_darvo.ini"));
  set_default_settings();
  win_headless_set_mouse(-1, -1, 0, 0);
  int status = run_script({{0.0, {}, [] { win_headless_set_mouse(100, 50, 0, 2); }},
                           {0.05, {}, [] { win_headless_set_mouse(100, 50, 0, 0); }}});
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(full_view.load(), 0);
  EXPECT_EQ(win_width(), kTextAreaWidth);
  EXPECT_EQ(read_lines(folder.path("quillon_darvo.ini"))[2085], " 0");
  win_headless_remove_mouse();
}

namespace {

int vanished_set_wave_before = -2;
int vanished_set_wave_after = -2;

double vanished_set_clock() {
  double now = steady_seconds();
  if (script_stage == 0) {
    // Set 1 is loaded; its files go away, then the same set is reloaded (as
    // a preset naming set 1 would ask): the kept waves give way to set 0's.
    vanished_set_wave_before = wave[0];
    for (int n = 12; n <= 108; n += 12) fs::remove("sounds/piano1_" + std::to_string(n) + ".wav");
    request_reload();
    script_time = now;
    script_stage = 1;
  } else if (script_stage == 1 && now > script_time + 1.2) {
    vanished_set_wave_after = wave[0];
    win_push_key("\x1b");
    script_stage = 2;
  }
  return now;
}

}  // namespace

TEST_F(MainLoopRun, ReloadOfASetWhoseFilesVanishedFreesItsWavesBeforeLoadingSetZero) {
  ProgramFolder folder(true);
  for (int n = 12; n <= 108; n += 12)
    write_wav(folder.path("sounds") / ("piano1_" + std::to_string(n) + ".wav"), 2000);
  set_default_settings();
  piano_sound = 1;
  ASSERT_TRUE(write_settings("quillon_darvo.ini"));
  set_default_settings();
  script_stage = 0;
  program_clock = vanished_set_clock;
  int status = run();
  program_clock = steady_seconds;
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(script_stage, 2);
  EXPECT_EQ(piano_sound.load(), 0);
  EXPECT_EQ(count_of(out, "loading sound files..."), 2u) << out;
  // The engine hands out the lowest free wave slot: set 0 takes the slots
  // of set 1's waves only when those were destroyed.
  EXPECT_EQ(vanished_set_wave_before, 0);
  EXPECT_EQ(vanished_set_wave_after, 0);
}

// ---- Takes ----

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <regex>

#include "app/take.h"
#include "midi/midi_file.h"

namespace {

int take_keyboard = 0;  // the loopback input the takes are played on

// Not waiting for the delivery: the script runs inside the clock, which
// the main thread may read holding the voice lock.
void send_to_take(std::vector<uint8_t> bytes) { midi_loop_send(take_keyboard, bytes.data(), bytes.size()); }

// A phrase of two steps 0.2 s apart: a note and the pedal from the keyboard
// and F1 held, then all of them let go.
const ScriptStep kPhraseDown = {0.2, {}, [] {
                                  send_to_take({0x90, 60, 100});
                                  send_to_take({0xB0, 64, 127});
                                  win_headless_set_key_down(kScanF1, true);
                                }};
const ScriptStep kPhraseUp = {0.2, {}, [] {
                                send_to_take({0x80, 60, 0});
                                send_to_take({0xB0, 64, 0});
                                win_headless_set_key_down(kScanF1, false);
                              }};

void limit_file_size(rlim_t bytes) {
  rlimit limit;
  getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = bytes;
  setrlimit(RLIMIT_FSIZE, &limit);
}

class Takes : public MainLoopScript {
 protected:
  void SetUp() override {
    MainLoopScript::SetUp();
    midi_loop_reset();
    take_keyboard = midi_loop_add_input("keys");
    midi_loop_add_output("module");
  }
  void TearDown() override {
    midi_loop_reset();
    MainLoopScript::TearDown();
  }
  // The files in save/takes (none when the folder is missing).
  static std::vector<std::string> takes() {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("save/takes", error)) names.push_back(entry.path().filename());
    return names;
  }
};

}  // namespace

TEST_F(Takes, WStartsAndEndsATakeOfTheKeyboardAndTheFunctionKeysUntransposed) {
  ProgramFolder folder(true);
  set_default_settings();
  transpose = 2;
  ASSERT_TRUE(write_settings("quillon_darvo.ini"));
  set_default_settings();
  // A take of the phrase, then one of nothing, which leaves no file.
  ASSERT_EQ(run_script({{0.0, {"w"}}, kPhraseDown, kPhraseUp, {0.2, {"W"}}, {0.2, {"w"}}, {0.2, {"w"}}}), 0) << out;

  EXPECT_NE(out.find("[W]rec"), std::string::npos) << out;
  std::vector<std::string> names = takes();
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(std::regex_match(names[0], std::regex("take-[0-9]{8}-[0-9]{6}\\.mid"))) << names[0];
  EXPECT_NE(out.find(names[0]), std::string::npos) << "the status screen does not show the name\n" << out;

  std::ifstream f(fs::path("save/takes") / names[0], std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  MidiFile take;
  ASSERT_EQ(read_midi_file(bytes.data(), bytes.size(), &take), "");
  EXPECT_EQ(take.format, 0);
  // Key 60 as played (sounding as 62); F1 plays key 48 on channel 16, kept as
  // the 46 that a keyboard would send for it.
  std::vector<uint32_t> down, up;
  for (const MidiFileEvent& e : take.events) (e.seconds < 0.1 ? down : up).push_back(e.message);
  std::sort(down.begin(), down.end());
  std::sort(up.begin(), up.end());
  EXPECT_EQ(down, (std::vector<uint32_t>{0x643C90, 0x7F2E9F, 0x7F40B0}));
  EXPECT_EQ(up, (std::vector<uint32_t>{0x002E8F, 0x003C80, 0x0040B0}));
  EXPECT_EQ(take.events[0].seconds, 0.0);
  EXPECT_NEAR(take.events.back().seconds, 0.2, 0.06);
}

// A take that cannot be written (the disk is full, or save/takes is in the
// way) ends with a notice naming the folder and leaves nothing there; the
// program plays on, and ending it ends the take that runs then.
TEST_F(Takes, ATakeThatCannotBeWrittenIsToldAndPlayingGoesOn) {
  signal(SIGXFSZ, SIG_IGN);  // a file past the size limit fails to grow instead
  struct Case {
    const char* what;
    std::vector<ScriptStep> steps;
    size_t files;
  } cases[] = {
      {"disk full, then a take ended by Esc",
       {{0.0, {"w"}}, kPhraseDown, kPhraseUp, {0.2, {"w"}, [] { limit_file_size(20); }},
        {0.3, {"w"}, [] { limit_file_size(RLIM_INFINITY); }}, kPhraseDown, kPhraseUp},
       1},
      {"save/takes is a file",
       {{0.0, {"w"}, [] { std::ofstream("save/takes") << "in the way"; }}, kPhraseDown, kPhraseUp, {0.2, {"w"}}},
       0},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProgramFolder folder(true);
    dialog_clear_history();
    EXPECT_EQ(run_script(c.steps), 0) << out;
    limit_file_size(RLIM_INFINITY);
    EXPECT_EQ(takes().size(), c.files);
    std::vector<std::string> notices;
    for (const DialogRecord& d : dialog_history()) notices.push_back(d.text);
    EXPECT_EQ(notices, std::vector<std::string>{"error can't save the take in save/takes/ !"});
    EXPECT_EQ(read_lines(folder.path("quillon_darvo.ini")).size(), static_cast<size_t>(kSettingsLines));
  }
}

namespace {

// The two plug-in copies of a run whose device goes away and comes back.
plugtest::Copy lost_device, lost_file_device;
int voices_after_loss = -1;

// A key played and released with the pedal down, so the pedal holds it.
// (Script steps run inside the program clock, which the voices read under
// their lock: notes come from the keyboard's own thread.)
void pedal_held_note() {
  for (uint32_t m : {0x7F40B0u, 0x643C90u, 0x003C80u}) midi_loop_send_short(0, m);
}

void device_goes_away() {
  lost_device.set("init", 0);
  lost_file_device.set("init", 0);
  lost_device.set("lost", 1);
}

void device_comes_back() {
  voices_after_loss = voice_count.load();
  lost_device.set("lost", 0);
  lost_device.set("init", 1);
  lost_file_device.set("init", 1);
}

}  // namespace

TEST_F(MainLoopScript, LostOutputIsSilencedRetriedEveryTwoSecondsAndFoundAgain) {
  ProgramFolder folder(true);
  lost_device = plugtest::open_copy(folder.plug("plug-rtaudio.so"));
  lost_file_device = plugtest::open_copy(folder.plug("plug-wav.so"));
  ASSERT_TRUE(lost_device.set && lost_file_device.set);
  midi_loop_reset();
  midi_loop_add_input("keys");
  plugtest::take_log();
  voices_after_loss = -1;
  int status = run_script({{0.3, {}, pedal_held_note},
                           {0.3, {}, device_goes_away},
                           // A preset's reload while the output is lost waits
                           // for it: the set cannot load without a device.
                           {0.3, {}, request_reload},
                           {4.3, {}, device_comes_back},
                           {2.5, {}, nullptr}});
  std::vector<std::string> log = plugtest::take_log();
  lost_device.set("init", 1);
  lost_file_device.set("init", 1);
  lost_device.set("lost", 0);
  EXPECT_EQ(status, 0) << out;
  midi_loop_reset();
  EXPECT_EQ(voices_after_loss, 0);
  size_t lost_line = out.find("audio output lost, retrying every 2 s");
  ASSERT_NE(lost_line, std::string::npos) << out;
  size_t found_again = out.find("plugout=test plug-rtaudio.so /", lost_line);
  ASSERT_NE(found_again, std::string::npos) << out;
  // The reload ran once the output was back (a port cycle draws the status
  // screen again), and no sample failed to load.
  EXPECT_NE(out.find("MIDI input port(", found_again), std::string::npos) << out;
  EXPECT_EQ(out.find("error loading"), std::string::npos) << out;
  // Attempts while lost: at once, then every 2 s, only the start's first
  // attempt (device 0), never the file device's -1.
  int attempts = 0;
  for (const std::string& line : log) {
    EXPECT_EQ(line.find("init -1"), std::string::npos) << line;
    if (line == "plug-rtaudio.so init 0") attempts++;
  }
  EXPECT_GE(attempts, 1 + 3);  // the start, the loss, every 2 s over 4.3 s, the return
  EXPECT_LE(attempts, 1 + 4 + 1);  // and the reload's sample cycle starts no engine
}

// The output back at another rate than the samples were made for asks for
// the set to be loaded again. A controller 14 or 15 on channel 16 (the I and
// O keys from a keyboard, which a MIDI thread posts as a key) that arrives
// before the main loop acts on it no longer replaces that reload.
TEST_F(MainLoopRun, ReloadAfterARateMoveOutlivesAControllerKey) {
  ProgramFolder folder(true);
  plugtest::Copy device = plugtest::open_copy(folder.plug("plug-rtaudio.so"));
  ASSERT_TRUE(device.set);
  ASSERT_EQ(start_output(1, 1024), 1);
  output_started(1, 1024);
  plug_rate = 48000;  // the set was loaded for a 48 kHz server
  loaded_sound = 0;
  device.set("lost", 1);
  watch_output(10.0);  // lost, and opened again at once (at 44.1 kHz)
  device.set("lost", 0);
  watch_output(10.1);
  EXPECT_FALSE(output_lost());
  post_pending_key("i");  // controller 14 on channel 16
  EXPECT_EQ(take_pending_key(), "i");
  EXPECT_EQ(take_set_request(piano_sound), piano_sound.load());
  EXPECT_EQ(loaded_sound, -1);  // the waves are loaded anew, not kept
  FBS_STOP();
  FBS_EXIT();
  plug_rate = 44100;
}

// A lost display ends the process from inside the window library (exit):
// the take that runs then is written all the same.
TEST_F(Takes, ATakeRunningWhenTheProcessExitsIsWritten) {
  ProgramFolder folder(false);
  EXPECT_EXIT(
      {
        take_start();
        take_screen_note(15, 48, 127);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(takes().size(), 1u);
}
