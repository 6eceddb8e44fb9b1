// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up, the engine / sample / port restart cycles, the key loop with its
// command table and prompts, and shutdown (also after a quit signal).
#include "app/main_loop.h"

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "app/device_watch.h"
#include "app/editor_host.h"
#include "app/function_keys.h"
#include "app/key_display.h"
#include "app/level_meter.h"
#include "app/master_level_slider.h"
#include "app/mouse_handler.h"
#include "app/mouse_keyboard.h"
#include "app/output_watch.h"
#include "app/piano_picture.h"
#include "app/presets_menu.h"
#include "app/program_folders.h"
#include "app/sample_sets.h"
#include "app/screen.h"
#include "app/settings.h"
#include "app/take.h"
#include "core/bounded_call.h"
#include "core/clock.h"
#include "core/paths.h"
#include "core/shared_state.h"
#include "core/text_number.h"
#include "effects/autovol.h"
#include "effects/equalizer.h"
#include "effects/keyrev.h"
#include "effects/keytone.h"
#include "effects/sample_pass.h"
#include "effects/master_chain.h"
#include "effects/reverb.h"
#include "engine/fbs.h"
#include "engine/wav_text.h"
#include "midi/keyvol_editor.h"
#include "midi/midi_input.h"
#include "midi/port_watch.h"
#include "midi/voices.h"
#include "platform/dialogs.h"
#include "platform/process.h"
#include "platform/window.h"

extern char** environ;

int reload_request = 0;
std::string key_text;
int last_key_code = 0;
std::string base_title;
MidiValues applied_midi = {0, 0, 0, 0, 0, 0};
int applied_buffer_size = 0;

int white_key_number[kWhiteKeys];
int white_key_index[kWhiteKeyIndexSize];

// Key codes of the key loop (FBS_GET_KEYCODE).
enum : int {
  kKeySpace = 32,
  kKeyEsc = 27,
  kKeyClose = 256 + 107,  // the window's close button
};

bool operator==(const MidiValues& a, const MidiValues& b) {
  return a.midi_in_port == b.midi_in_port && a.midi_in2_port == b.midi_in2_port &&
         a.thru_port == b.thru_port && a.transpose == b.transpose &&
         a.midi_in3_port == b.midi_in3_port && a.autovolmidi == b.autovolmidi;
}

namespace {

MidiValues current_midi_values() {
  return {midi_in_port, midi_in2_port, thru_port.load(), transpose.load(), midi_in3_port,
          autovolmidi.load()};
}

// ---- Keyboard as the engine's key source ----

// The rest of the last window key code: an extended key is handed out as 255
// and then its scan code.
std::string key_source_rest;

int window_key_source() {
  if (key_source_rest.empty()) key_source_rest = win_poll_key();
  if (key_source_rest.empty()) return 0;
  unsigned char c = static_cast<unsigned char>(key_source_rest[0]);
  key_source_rest.erase(0, 1);
  return c;
}

void engine_text_line(const char* line) { print_line(line ? line : ""); }

// Reads and discards every key still waiting.
void discard_waiting_keys() {
  while (FBS_GET_KEYCODE() != 0) {
  }
}

// One fatal notice: the text on a line of its own, then one waiting key is
// discarded and the keyboard polled every 100 ms until a key arrives.
void fatal_notice(const std::string& text) {
  print_line(text);
  win_present();
  FBS_GET_KEYCODE();
  while (FBS_GET_KEYCODE() == 0 && quit_signal.load() == 0) win_sleep_ms(100);
}

// A fatal start-up error: its notice, and a second one when there is a second
// text, each waiting for its own key. Returns the process status 1.
int fatal_start_up_error(const std::string& text, const std::string& second_notice = "") {
  fatal_notice(text);
  if (!second_notice.empty()) fatal_notice(second_notice);
  return 1;
}

// The line shown while a set loads; the keys play once it is in (a first
// load at a new rate converts every sample). The line then tells how many
// samples are in and, at the pace so far, about how long the rest takes.
void show_loading_line(int loaded, int total) {
  static double started = 0.0;
  static int row = 1;
  if (loaded == 0) {
    started = win_timer();
    print_line("loading sound files...");
    row = std::max(1, win_cursor_row() - 1);
  } else {
    const double spent = win_timer() - started;
    char text[96];
    if (loaded < total)
      std::snprintf(text, sizeof text, "loading sound files... %d/%d, %.1f s left", loaded, total,
                    spent / loaded * (total - loaded));
    else
      std::snprintf(text, sizeof text, "loading sound files... %d/%d, %.1f s", loaded, total, spent);
    std::string line = text;
    line.resize(40, ' ');  // over the longer text before
    const int at_row = win_cursor_row(), at_column = win_cursor_column();
    win_locate(row, 1);
    win_print(line);
    win_locate(at_row, at_column);
  }
  win_present();
}

// ---- Help ----

void open_help() {
  // The help viewer is the desktop's own. The shell returns at once; the
  // file's name reaches xdg-open as an argument, never as shell text.
  std::string readme = data_folder() + "readme.txt";
  const char* argv[] = {"sh", "-c", "xdg-open \"$1\" >/dev/null 2>&1 &", "sh", readme.c_str(), nullptr};
  pid_t pid;
  if (posix_spawnp(&pid, "sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) == 0) {
    waitpid(pid, nullptr, 0);
  }
}

// ---- The cycles ----

// Engine cycle: starts the engine (three attempts) and shows its output.
// Returns 0, or 1 after a fatal error.
int engine_cycle() {
  applied_midi = current_midi_values();
  clear_note_counters();
  win_clear();
  buffer_size = clamp_buffer_size(buffer_size);
  applied_buffer_size = buffer_size;
  int attempt = start_output(kOutputAttempts, buffer_size);
  if (!attempt) {
    const char* error = FBS_GET_PLUGERROR();
    return fatal_start_up_error("No free playback driver found!", error ? error : "");
  }
  output_started(attempt, buffer_size);
  print_line(plugout_line());
  read_block_factor();
  return 0;
}

void stop_engine() {
  FBS_DISABLE_MASTERCALLBACK();
  FBS_STOP();
  FBS_EXIT();
}

// The sample pass could not make its buffers (the key tone or the key
// reverb switched on for the first time): the fatal notice, then the end.
[[noreturn]] void sample_pass_fatal(const std::string& text) {
  fatal_notice(text);
  close_midi_ports();
  stop_engine();
  win_close();
  std::exit(1);
}

// Sample cycle: the instrument's set-up for the set (loaded when it changed),
// then the key markers and the key-volume undo history. Returns 0, or 1 after
// a fatal error.
int sample_cycle() {
  std::string failure = set_up_sample_set(program_sound_folders(), win_timer(), show_loading_line);
  if (!failure.empty()) {
    int status = fatal_start_up_error(failure);
    stop_engine();
    return status;
  }
  if (marker_white == nullptr) make_key_markers();
  reset_keyvol_undo();
  return 0;
}

// Port cycle: opens the MIDI ports and draws the status screen.
void port_cycle() {
  open_midi_inputs();
  open_thru_port();
  reset_midi_port_watch();
  fill_white_key_tables();
  load_key_picture_and_geometry();
  if (base_title.empty()) {
    base_title = trim_blanks(win_get_title(), " ");
    if (base_title.size() > 100) base_title.resize(100);
  }
  draw_status_screen();
  key_text.clear();
  last_key_code = 0;
  set_devices_watched(true);
}

// One pass of the key loop: waits up to 1 s for a key while serving the
// note-off queue, the mouse and the displays, then runs the command.
void key_loop_pass() {
  static int mouse_x = -1, mouse_y = -1;
  static double meter_time = 0.0;

  last_key_code = FBS_GET_KEYCODE();
  double deadline = win_timer() + 1.0;
  for (;;) {
    double now = win_timer();
    if (!(now < deadline && now > deadline - 99.0 && last_key_code == 0) || quit_signal.load()) break;
    last_key_code = FBS_GET_KEYCODE();
    display_keys_down();
    now = win_timer();
    if (now >= meter_time + 0.1 || now < meter_time - 99.0) {
      draw_level_meter();
      meter_time = now;
    }
    win_sleep_ms(note_off_sleep_ms(program_clock()));  // the clock of the note-off queue
    std::string message = take_pending_message();
    if (!message.empty()) notice(message, "notice");
    serve_note_off_queue();
    take_serve();
    watch_devices(true);

    int x = -1, y = -1, wheel = 0, buttons = 0;
    if (!win_mouse(&x, &y, &wheel, &buttons)) {
      buttons = 0;
      x = -1;
    }
    if (x != mouse_x || y != mouse_y || buttons == 1) {
      mouse_x = x;
      mouse_y = y;
      mouse_handler(x, y, buttons, &deadline);
    }
    if (buttons == 1) master_level_slider(x, y, buttons);
    if (full_view_shown) mouse_keyboard(x, y, buttons);
    if (buttons == 2) {
      full_view = full_view.load() == 0 ? 1 : 0;  // any other value shows the full view too
      build_window();
      draw_status_screen();
      win_sleep_ms(500);
      mouse_x = mouse_y = -1;  // forget the state: the next pass sees a change
    }
    function_key_notes(&last_key_code);
    display_keys_up();
  }
  if (quit_signal.load()) {
    // A quit signal ends the loop as the close button does.
    last_key_code = kKeyClose;
    key_text.clear();
    return;
  }
  display_keys_down();
  function_key_notes(&last_key_code);
  draw_level_meter();
  display_keys_up();

  key_text = key_text_for_code(last_key_code);
  double aux = auxvar.load();
  if (std::fabs(aux) > 0.00001) {
    win_locate(4, win_cursor_column());
    win_print("auxvar=" + win_format_double(aux) + " ", true);
  }
  if (key_text.empty()) key_text = take_pending_key();
  if (keep_while_output_lost(last_key_code, key_text)) {
    last_key_code = 0;
    key_text.clear();
  } else if (last_key_code == 0 && key_text.empty()) {
    take_waiting_command(&last_key_code, &key_text);
  }
  if (!key_text.empty()) {
    run_command();
    discard_waiting_keys();
    // A preset loaded while the output is lost: its set waits for the output.
    if (keep_while_output_lost(0, key_text)) key_text.clear();
  }
  if (voice_count.load() > 60 && FBS_GET_PLAYINGSOUNDS() == 0) silence_all_voices();
  win_color(kTextForeground, kTextBackground);
  win_locate(5, 11);
  win_print("nbsounds=" + win_format_int(voice_count.load()) + "  ");
}

// Tears the sounds down before a set change, an engine restart or the end.
void tear_down_sounds() {
  FBS_DISABLE_MASTERCALLBACK();
  silence_all_voices();
  win_sleep_ms(700);
  voices_detach();
  if (!(reload_request && piano_sound == loaded_sound)) {
    for (int w = 0; w < kSamplesPerSet; w++) FBS_DESTROY_WAVE(&wave[w]);
    // Without waves the next sample cycle must load, even when it falls back
    // to the set that was loaded (an incomplete set from a preset becomes 0).
    loaded_sound = -1;
  }
}

// Writes the settings into the settings folder. A file that cannot be
// written gets a notice; the one there before stays whole.
void save_settings_file(const char* name) {
  std::string path = config_folder() + name;
  make_folders(config_folder());
  if (!write_settings(path.c_str())) notice("not saved :" + path, "notice");
}

int program_end() {
  take_end();
  int x = 0, y = 0;
  win_get_position(&x, &y);
  window_x = full_view_shown ? x - kTextAreaWidth / 2 + kFullWidth / 2 : x;
  window_y = y;
  save_settings_file("quillon_darvo.ini");
  win_sleep_ms(100);
  save_settings_file("quillon_darvo_backup.ini");
  destroy_pictures();
  destroy_key_markers();
  return 0;
}

// The end after SIGTERM or SIGINT, within 2 s whatever the devices do: the
// settings are written first; then a helper thread closes the ports and the
// output, waited for at most kCloseWaitSeconds, since a JACK server that
// went away at the same moment may hold a close in libjack for good. One
// left behind there is not waited for: the process ends around it.
int end_after_quit_signal() {
  int status = program_end();
  if (run_at_most(kCloseWaitSeconds, [] {
        close_midi_ports();
        stop_engine();
      }))
    return status;
  std::fputs("quillon_darvo: a device did not close within a second; ending without it\n", stderr);
  win_close();
  remove_private_scratch_folder();
  std::fflush(nullptr);
  std::_Exit(status);
}

}  // namespace

// ---- Pieces ----

std::string key_text_for_code(int code) {
  if (code == 0 || code == kKeyClose) return "";
  char c = static_cast<char>(code & 0xFF);
  if (c == '\0') return "";
  return std::string(1, c);
}

bool key_ends_key_loop(int code, const std::string& text) {
  if (text == "reload") return true;
  switch (code) {
    case kKeySpace: case kKeyEsc: case kKeyClose:
    case 'b': case 'B': case 'n': case 'N': case 'm': case 'M':
      return true;
    default:
      return code >= '0' && code <= '9';
  }
}

double note_off_delay_answer(int n, double old_delay) {
  if (n == 0) return old_delay;
  double d = n / 1000.0;
  return d < 0.05 ? 0.05 : (d > 1.0 ? 1.0 : d);
}

int prompt_whole_answer(int n, int last, int lo, int hi) {
  if (n == 0) return last;
  if (hi < lo) return lo;
  return clamp_int(n, lo, hi);
}

int prompt_line_answer(const std::string& line, int last, int lo, int hi) {
  if (line.empty()) return last;
  if (hi < lo) return lo;
  double v = finite_leading_number(line);
  if (std::isnan(v)) v = 0.0;
  v = std::nearbyint(v);  // halves to even
  if (v < lo) return lo;
  if (v > hi) return hi;
  return static_cast<int>(v);
}

void fill_white_key_tables() {
  static const int kSteps[7] = {2, 1, 2, 2, 1, 2, 2};  // 9, 11, 12, 14, 16, 17, 19, 21, ...
  for (int k = 0; k < kWhiteKeyIndexSize; k++) white_key_index[k] = -1;
  int key = 9;
  for (int b = 0; b < kWhiteKeys; b++) {
    white_key_number[b] = key;
    if (key < kWhiteKeyIndexSize) white_key_index[key] = b;
    key += kSteps[b % 7];
  }
}

void install_key_source() { fbs_set_key_source(window_key_source); }

void run_command() {
  if (key_text.size() != 1) return;
  char c = key_text[0];
  if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  switch (c) {
    case 'p':
      presets_menu();
      if (key_text != "reload") key_text.clear();
      build_window();
      draw_status_screen();
      break;
    case 'i':
      type_offset = std::min(13, type_offset.load() + 1);
      build_speed_table(type_offset);
      silence_all_voices();
      draw_status_screen();
      break;
    case 'o':
      type_offset = std::max(-1, type_offset.load() - 1);
      build_speed_table(type_offset);
      silence_all_voices();
      draw_status_screen();
      break;
    case 'k':
      keyvol_on = keyvol_on.load() == 1 ? 0 : 1;
      key_text.clear();
      draw_status_screen();
      break;
    case 'x':
      keytone_mode = (keytone_mode + 1) % 3;
      win_locate(9, 21);
      win_print("[X]...      ");
      win_present();
      keytone_pass();
      key_text.clear();
      draw_status_screen();
      break;
    case 'y':
      keyrev_on = keyrev_on == 1 ? 0 : 1;
      win_locate(8, 1);
      win_print("[Y]...      ");
      win_present();
      keyreverb_pass();
      key_text.clear();
      draw_status_screen();
      break;
    case 'e':
      if (keyvol_on.load() == 1) {
        keyvol_editor();
        draw_status_screen();
      }
      key_text.clear();
      break;
    case 's':
      if (keytone_mode >= 1) {
        keytone_editor();
        draw_status_screen();
      }
      key_text.clear();
      break;
    case 'z':
      if (keyrev_on == 1) {
        keyrev_editor();
        draw_status_screen();
      }
      key_text.clear();
      break;
    case 'd':
      note_off_delay_prompt();
      draw_status_screen();
      key_text.clear();
      break;
    case 'a':
      autovol_mode = (autovol_mode.load() + 1) % 6;
      if (autovol_mode.load() == 1) {
        restart_autovol_state(win_timer());
        restart_velocity_average();
      }
      update_effect_routing();
      draw_status_screen();
      key_text.clear();
      break;
    case 'r':
      reverb_mode = (reverb_mode.load() + 1) % 4;
      setup_reverb();
      update_effect_routing();
      draw_status_screen();
      key_text.clear();
      break;
    case 't':
      if (reverb_mode.load() == 3 || reverb_mode.load() == 2) {
        reverb_editor(reverb_mode.load());
        setup_reverb();
        draw_status_screen();
      }
      key_text.clear();
      break;
    case 'g':
      equalizer_on = (equalizer_on.load() + 1) % 2;
      update_effect_routing();
      draw_status_screen();
      key_text.clear();
      break;
    case 'f':
      if (equalizer_on.load() == 1) {
        equalizer_editor();
        draw_status_screen();
      }
      key_text.clear();
      break;
    case 'q':
      resample_mode = (resample_mode + 1) % 3;
      FBS_SET_RESAMPLEMODE(resample_mode);
      draw_status_screen();
      key_text.clear();
      break;
    case 'v':
      velo_mode = (velo_mode + 1) % 4;
      build_velocity_curve(loaded_sound, velo_mode);
      draw_status_screen();
      key_text.clear();
      break;
    case 'm':
      midi_settings_prompt();
      break;
    case 'h':
      open_help();
      key_text.clear();
      break;
    case 'w':
      if (take_running())
        take_end();
      else
        take_start();
      draw_status_screen();
      key_text.clear();
      break;
    default:
      break;
  }
}

void note_off_delay_prompt() {
  win_clear();
  win_locate(2, 1);
  win_print("delay on noteoff: enter a value (50..1000)", true);
  win_print("     initial=80   last=" + win_format_double(note_off_delay.load() * 1000.0) + " ms", true);
  input_active = 1;
  int n = console_read_int();
  input_active = 0;
  note_off_delay = note_off_delay_answer(n, note_off_delay.load());
}

void midi_settings_prompt() {
  input_active = 1;
  open_prompt_window();
  win_locate(2, 1);
  const char* status = FBS_GET_PLUGERROR();
  win_print(status ? status : "", true);

  int inputs = midi_input_devices.load();
  for (int i = 1; i <= inputs; i++) win_print(win_format_int(i) + "." + input_name(i), true);
  win_print("midi input port : enter a value (1.." + win_format_int(inputs) + ")", true);
  win_print("     initial=1   last=" + win_format_int(midi_in_port), true);
  win_print("", true);
  midi_in_port = prompt_whole_answer(console_read_int(), midi_in_port, 1, inputs);
  win_print("", true);

  win_print("midi input2 port : enter a value (0.." + win_format_int(inputs) + ")", true);
  win_print("     0=none   last=" + win_format_int(midi_in2_port), true);
  win_print("", true);
  midi_in2_port = prompt_line_answer(console_read_line(), midi_in2_port, 0, inputs);
  win_print("", true);

  win_print("midi input3 port : enter a value (0.." + win_format_int(inputs) + ")", true);
  win_print("     0=none   last=" + win_format_int(midi_in3_port), true);
  win_print("", true);
  midi_in3_port = prompt_line_answer(console_read_line(), midi_in3_port, 0, inputs);
  win_print("", true);

  int outputs = midi_output_devices.load();
  for (int i = 1; i <= outputs; i++) win_print(win_format_int(i) + "." + output_name(i), true);
  win_print("midiout(thru) port : enter a value (0.." + win_format_int(outputs) + ")", true);
  win_print("     0=none   last=" + win_format_int(thru_port.load()), true);
  win_print("", true);
  thru_port = prompt_line_answer(console_read_line(), thru_port.load(), 0, outputs);
  // The ports chosen are remembered by name too (none: no name).
  int* ports[kMidiInputs] = {&midi_in_port, &midi_in2_port, &midi_in3_port};
  for (int slot = 0; slot < kMidiInputs; slot++)
    midi_in_port_name[slot] = *ports[slot] > 0 ? input_name(*ports[slot]) : "";
  thru_port_name = thru_port.load() > 0 ? output_name(thru_port.load()) : "";
  win_print("", true);
  win_print("", true);

  win_print("buffer size : enter a value (" + win_format_int(100) + "..2048)", true);
  win_print("     initial=1024   last=" + win_format_int(buffer_size), true);
  win_print("", true);
  buffer_size = prompt_whole_answer(console_read_int(), buffer_size, 100, 2048);
  win_print("", true);
  win_print("", true);

  win_print("transpose : enter a value (-12..+12)", true);
  win_print("     initial=0   last=" + win_format_int(transpose.load()), true);
  win_print("", true);
  transpose = prompt_line_answer(console_read_line(), transpose.load(), -12, 12);
  win_print("", true);
  win_print("", true);

  win_print("autovolmidi : enter a value (0..127)", true);
  win_print("     0=none   last=" + win_format_int(autovolmidi.load()), true);
  win_print("", true);
  std::string line = console_read_line();
  if (!line.empty()) {
    autovolmidi = prompt_line_answer(line, autovolmidi.load(), 0, 127);
    double now = win_timer();
    analysis_ref_time = now + 1.2;
    analysis_now_time = now;
    restart_velocity_average();
  }

  build_window();
  draw_status_screen();
  input_active = 0;
}

void select_set_after_key_loop(int code, const std::string& text) {
  if (code == 'b' || code == 'B') {
    piano_sound = previous_sample_set(piano_sound);
    reload_request = 1;
  } else if (code == 'n' || code == 'N') {
    piano_sound = next_sample_set(piano_sound);
    reload_request = 1;
  } else if (code >= '0' && code <= '9') {
    piano_sound = digit_sample_set(code - '0');
    reload_request = 1;
  } else if (text == "reload") {
    reload_request = 1;
  }
}

NextCycle plan_after_midi_prompt(const MidiValues& current, MidiValues* applied, int buffer_size_now,
                                 int* applied_buffer) {
  if (current == *applied) {
    // Confirming every prompt unchanged asks for a fresh engine.
    *applied_buffer = -1;
  } else {
    *applied = current;
  }
  return buffer_size_now == *applied_buffer ? kPortCycle : kEngineCycle;
}

NextCycle plan_after_teardown(bool reload, bool key_was_m, int buffer_size_now, int applied_buffer) {
  if (reload) return kSampleCycle;
  if (key_was_m && buffer_size_now != applied_buffer) return kEngineCycle;
  return kProgramEnd;
}

// ---- The program ----

int run_main_loop() {
  set_default_settings();  // also the equalizer and key tone defaults
  process_raise_priority();
  read_settings((config_folder() + "quillon_darvo.ini").c_str());
  read_desktop_size();
  install_key_source();
  install_editor_host();
  install_device_watch();
  fbs_set_text_sink(engine_text_line);
  set_sample_pass_fatal(sample_pass_fatal);
  build_window();
  make_user_folders();
  reset_channel_volumes();

  NextCycle next = kEngineCycle;
  for (;;) {
    if (next == kEngineCycle) {
      if (engine_cycle() != 0) return 1;
      next = kSampleCycle;
    }
    if (next == kSampleCycle) {
      if (sample_cycle() != 0) return 1;
    }
    port_cycle();
    while (!key_ends_key_loop(last_key_code, key_text)) key_loop_pass();
    set_devices_watched(false);
    if (quit_signal.load()) return end_after_quit_signal();

    int code = last_key_code;
    bool key_was_m = code == 'm' || code == 'M';
    select_set_after_key_loop(code, key_text);
    close_midi_ports();
    if (key_was_m &&
        plan_after_midi_prompt(current_midi_values(), &applied_midi, buffer_size, &applied_buffer_size) ==
            kPortCycle) {
      win_sleep_ms(1000);
      next = kPortCycle;
      continue;
    }
    tear_down_sounds();
    next = plan_after_teardown(reload_request != 0, key_was_m, buffer_size, applied_buffer_size);
    if (next == kSampleCycle) {
      reload_request = 0;
      win_sleep_ms(400);
      continue;
    }
    win_sleep_ms(100);
    FBS_STOP();
    FBS_EXIT();
    if (next == kEngineCycle) {
      win_clear();
      win_locate(1, 1);
      applied_buffer_size = buffer_size;
      loaded_sound = -1;
      win_sleep_ms(1000);
      continue;
    }
    return program_end();
  }
}
