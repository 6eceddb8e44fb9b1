// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up, the engine / sample / port restart cycles, the key loop's wait
// and its step, and shutdown (also after a quit signal).
#include "app/main_loop.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "app/device_watch.h"
#include "app/editor_host.h"
#include "app/function_keys.h"
#include "app/key_commands.h"
#include "app/key_display.h"
#include "app/key_source.h"
#include "app/level_meter.h"
#include "app/loop_request.h"
#include "app/master_level_slider.h"
#include "app/mouse_handler.h"
#include "app/mouse_keyboard.h"
#include "app/output_watch.h"
#include "app/piano_picture.h"
#include "app/presets_menu.h"
#include "app/program_end.h"
#include "app/program_folders.h"
#include "app/sample_sets.h"
#include "app/screen.h"
#include "app/session.h"
#include "app/settings.h"
#include "app/take.h"
#include "app/velocity_layers.h"
#include "core/clock.h"
#include "core/shared_state.h"
#include "effects/sample_pass.h"
#include "engine/fbs.h"
#include "midi/keyvol_editor.h"
#include "midi/midi_input.h"
#include "midi/port_watch.h"
#include "midi/voices.h"
#include "platform/dialogs.h"
#include "platform/process.h"
#include "platform/window.h"

int applied_buffer_size = 0;

namespace {

// Last key code of the key loop: 0 none, 1..255 a character, 256 + second
// byte for an extended key (363 is the close button).
int last_key_code = 0;

// Key codes of the key loop (FBS_GET_KEYCODE).
enum : int {
  kKeySpace = 32,
  kKeyEsc = 27,
  kKeyClose = 256 + 107,  // the window's close button
};

MidiValues current_midi_values() {
  return {midi_in_port, midi_in2_port, thru_port.load(), transpose.load(), midi_in3_port,
          autovolmidi.load(), pedal_mode.load()};
}


void engine_text_line(const char* line) { print_line(line ? line : ""); }



// A set change asked for, acted on once the output plays (until then it
// waits, as the keys that need the samples do).
bool set_change_due() { return set_change_requested() && !output_lost(); }

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
  read_base_title();
  draw_status_screen();
  last_key_code = 0;
  set_devices_watched(true);
}

// The services of one turn of the wait: the level meter (ten times a
// second), a sleep until the next note-off is due, a MIDI thread's notice,
// the note-off queue, the take and the device watch.
void serve_while_waiting() {
  static double meter_time = 0.0;
  double now = win_timer();
  if (now >= meter_time + 0.1 || clock_went_back(now, meter_time)) {
    draw_level_meter();
    meter_time = now;
  }
  win_sleep_ms(note_off_sleep_ms(program_clock()));  // the clock of the note-off queue
  std::string message = take_pending_message();
  if (!message.empty()) notice(message, "notice");
  serve_note_off_queue();
  take_serve();
  watch_devices(true);
}

// The mouse in one turn of the wait: its step when it moved or the left
// button is down, the master-level slider, the mouse keyboard, and the right
// button, which switches the view.
void serve_mouse() {
  static int mouse_x = -1, mouse_y = -1;
  int x = -1, y = -1, wheel = 0, buttons = 0;
  if (!win_mouse(&x, &y, &wheel, &buttons)) {
    buttons = 0;
    x = -1;
  }
  if (x != mouse_x || y != mouse_y || buttons == 1) {
    mouse_x = x;
    mouse_y = y;
    mouse_step(x, y, buttons);
  }
  if (buttons == 1) master_level_slider(x, y, buttons);
  if (full_view_shown) mouse_keyboard(x, y, buttons);
  if (buttons == 2) {
    full_view = full_view.load() == 0 ? 1 : 0;  // any other value shows the full view too
    build_window();
    draw_status_screen();
    win_sleep_ms(500);
    mouse_x = mouse_y = -1;  // forget the state: the next turn sees a change
  }
}

// One pass of the key loop: waits up to 1 s for a key (or a set change
// asked for) while serving the queues, the devices and the mouse, then runs
// the key's command.
void key_loop_pass() {
  last_key_code = FBS_GET_KEYCODE();
  double deadline = win_timer() + 1.0;
  for (;;) {
    double now = win_timer();
    if (!before_deadline(now, deadline) || last_key_code != 0 || quit_signal.load()) break;
    if (set_change_due()) break;  // a preset or the set prompt asked for a set
    last_key_code = FBS_GET_KEYCODE();
    display_keys_down();
    serve_while_waiting();
    serve_mouse();
    function_key_notes(&last_key_code);
    display_keys_up();
  }
  if (quit_signal.load()) {
    // A quit signal ends the loop as the close button does.
    last_key_code = kKeyClose;
    return;
  }
  display_keys_down();
  function_key_notes(&last_key_code);
  draw_level_meter();
  display_keys_up();

  double aux = auxvar.load();
  if (std::fabs(aux) > 0.00001) {
    win_locate(4, win_cursor_column());
    win_print("auxvar=" + win_format_double(aux) + " ", true);
  }
  std::string key_text = take_key_command(&last_key_code, output_lost());
  if (!key_text.empty()) {
    run_command(key_text);
    discard_waiting_keys();
  }
  // A sweep for voices the engine no longer plays.
  if (voice_count.load() > 60 && FBS_GET_PLAYINGSOUNDS() == 0) silence_all_voices();
  win_color(kTextForeground, kTextBackground);
  win_locate(5, 11);
  win_print("nbsounds=" + win_format_int(voice_count.load()) + "  ");
}

// Tears the sounds down before a set change, an engine restart or the end.
void tear_down_sounds(bool reload) {
  FBS_DISABLE_MASTERCALLBACK();
  silence_all_voices();
  win_sleep_ms(700);
  voices_detach();
  if (!(reload && piano_sound == loaded_sound)) {
    for (int w = 0; w < kSamplesPerSet; w++) FBS_DESTROY_WAVE(&wave[w]);
    drop_layer_waves();
    // Without waves the next sample cycle must load, even when it falls back
    // to the set that was loaded (an incomplete set from a preset becomes 0).
    loaded_sound = -1;
  }
}



}  // namespace

// ---- Pieces ----



void run_command(const std::string& text) {
  switch (run_key_command(text)) {
    case AfterCommand::kRebuild:
      build_window();
      draw_status_screen();
      break;
    case AfterCommand::kRedraw:
      draw_status_screen();
      break;
    case AfterCommand::kNothing:
      break;
  }
}

void mouse_step(int x, int y, int buttons) {
  MouseClicks clicks = mouse_handler(x, y, buttons);
  if (clicks.thumbnail_slot >= 0) load_thumbnail_preset(clicks.thumbnail_bank, clicks.thumbnail_slot);
  if (clicks.set_name) set_prompt();
  serve_window_request();
}

void serve_window_request() {
  if (!take_window_rebuild_request()) return;
  build_window();
  draw_status_screen();
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
    while (!key_ends_key_loop(last_key_code) && !set_change_due()) key_loop_pass();
    set_devices_watched(false);
    if (quit_signal.load()) return end_after_quit_signal();

    int code = last_key_code;
    bool key_was_m = code == 'm' || code == 'M';
    bool end_key = code == kKeySpace || code == kKeyEsc || code == kKeyClose;
    // After M a set change asked for meanwhile waits for the next key loop.
    int set = key_was_m || end_key ? -1 : take_set_request(piano_sound);
    bool reload = set >= 0;
    if (reload) piano_sound = set;
    close_midi_ports();
    if (key_was_m &&
        plan_after_midi_prompt(current_midi_values(), &applied_midi, buffer_size, &applied_buffer_size) ==
            kPortCycle) {
      win_sleep_ms(1000);
      next = kPortCycle;
      continue;
    }
    tear_down_sounds(reload);
    next = plan_after_teardown(reload, key_was_m, buffer_size, applied_buffer_size);
    if (next == kSampleCycle) {
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
