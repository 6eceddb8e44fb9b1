// SPDX-License-Identifier: GPL-3.0-or-later
// The command table of the key loop, its handlers, and the D and M prompts.
#include "app/key_commands.h"

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/instrument_setup.h"
#include "app/key_source.h"
#include "app/loop_request.h"
#include "app/presets_menu.h"
#include "app/sample_sets.h"
#include "app/screen.h"
#include "app/settings.h"
#include "app/take.h"
#include "app/velocity_layers.h"
#include "core/paths.h"
#include "core/settings_ranges.h"
#include "core/shared_state.h"
#include "core/text_number.h"
#include "effects/autovol.h"
#include "effects/equalizer.h"
#include "effects/keyrev.h"
#include "effects/keytone.h"
#include "effects/master_chain.h"
#include "effects/reverb.h"
#include "effects/sample_pass.h"
#include "engine/fbs.h"
#include "midi/keyvol_editor.h"
#include "midi/midi_input.h"
#include "midi/pedals.h"
#include "midi/voices.h"
#include "platform/dialogs.h"
#include "platform/window.h"

extern char** environ;

namespace {

constexpr int kKeyClose = 256 + 107;  // the window's close button
constexpr int kExtendedKey = 256;     // an extended key's code: 256 + its scan code

// ---- Handlers ----

AfterCommand presets(char) {
  presets_menu();
  return AfterCommand::kRebuild;
}

AfterCommand type_offset_step(char key) {
  type_offset = key == 'i' ? std::min(13, type_offset.load() + 1) : std::max(-1, type_offset.load() - 1);
  build_speed_table(type_offset);
  silence_all_voices();
  return AfterCommand::kRedraw;
}

AfterCommand switch_keyvol(char) {
  keyvol_on = keyvol_on.load() == 1 ? 0 : 1;
  return AfterCommand::kRedraw;
}

// The key tone and the key reverb remake the samples: "[X]..." or "[Y]..."
// shows meanwhile.
AfterCommand switch_keytone(char) {
  keytone_mode = (keytone_mode + 1) % 3;
  win_locate(9, 21);
  win_print("[X]...      ");
  win_present();
  keytone_pass();
  return AfterCommand::kRedraw;
}

AfterCommand switch_keyrev(char) {
  keyrev_on = keyrev_on == 1 ? 0 : 1;
  win_locate(8, 1);
  win_print("[Y]...      ");
  win_present();
  keyreverb_pass();
  return AfterCommand::kRedraw;
}

// An editor opens only while its feature is on.
AfterCommand edit_keyvol(char) {
  if (keyvol_on.load() != 1) return AfterCommand::kNothing;
  keyvol_editor();
  return AfterCommand::kRedraw;
}

AfterCommand edit_keytone(char) {
  if (keytone_mode < 1) return AfterCommand::kNothing;
  keytone_editor();
  return AfterCommand::kRedraw;
}

AfterCommand edit_keyrev(char) {
  if (keyrev_on != 1) return AfterCommand::kNothing;
  keyrev_editor();
  return AfterCommand::kRedraw;
}

AfterCommand edit_reverb(char) {
  if (reverb_mode.load() != 3 && reverb_mode.load() != 2) return AfterCommand::kNothing;
  reverb_editor(reverb_mode.load());
  setup_reverb();
  return AfterCommand::kRedraw;
}

AfterCommand edit_equalizer(char) {
  if (equalizer_on.load() != 1) return AfterCommand::kNothing;
  equalizer_editor();
  return AfterCommand::kRedraw;
}

AfterCommand delay_prompt(char) {
  note_off_delay_prompt();
  return AfterCommand::kRedraw;
}

AfterCommand switch_autovol(char) {
  autovol_mode = (autovol_mode.load() + 1) % 6;
  if (autovol_mode.load() == 1) {
    restart_autovol_state(win_timer());
    restart_velocity_average();
  }
  update_effect_routing();
  return AfterCommand::kRedraw;
}

AfterCommand switch_reverb(char) {
  reverb_mode = (reverb_mode.load() + 1) % 4;
  setup_reverb();
  update_effect_routing();
  return AfterCommand::kRedraw;
}

AfterCommand switch_equalizer(char) {
  equalizer_on = (equalizer_on.load() + 1) % 2;
  update_effect_routing();
  return AfterCommand::kRedraw;
}

AfterCommand switch_resample(char) {
  resample_mode = (resample_mode + 1) % 3;
  FBS_SET_RESAMPLEMODE(resample_mode);
  return AfterCommand::kRedraw;
}

AfterCommand switch_velocity_curve(char) {
  velo_mode = (velo_mode + 1) % 4;
  build_velocity_curve(loaded_sound, velo_mode);
  return AfterCommand::kRedraw;
}

AfterCommand midi_prompts(char) {
  midi_settings_prompt();
  return AfterCommand::kRebuild;
}

// The help viewer is the desktop's own. The shell returns at once; the
// file's name reaches xdg-open as an argument, never as shell text.
AfterCommand open_help(char) {
  std::string readme = data_folder() + "readme.txt";
  const char* argv[] = {"sh", "-c", "xdg-open \"$1\" >/dev/null 2>&1 &", "sh", readme.c_str(), nullptr};
  pid_t pid;
  if (posix_spawnp(&pid, "sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) == 0)
    waitpid(pid, nullptr, 0);
  return AfterCommand::kNothing;
}

// Velocity layers on or off; a set whose layers are not loaded yet loads
// again with them.
AfterCommand switch_velocity_layers(char) {
  if (!toggle_velocity_layers(loaded_sound)) return AfterCommand::kRedraw;
  request_reload();
  return AfterCommand::kNothing;
}

AfterCommand start_or_end_take(char) {
  if (take_running())
    take_end();
  else
    take_start();
  return AfterCommand::kRedraw;
}

// B, N and the digits ask for their set; the main loop loads it once the
// key loop has ended.
AfterCommand select_set(char key) {
  if (key == 'b')
    request_set(previous_sample_set(piano_sound));
  else if (key == 'n')
    request_set(next_sample_set(piano_sound));
  else
    request_set(digit_sample_set(key - '0'));
  return AfterCommand::kNothing;
}

// clang-format off
const KeyCommand kKeyCommands[] = {
    // keys          ends   waits  handler
    {"pP",           false, false, presets},
    {"iIoO",         false, false, type_offset_step},
    {"kK",           false, false, switch_keyvol},
    {"eE",           false, false, edit_keyvol},
    {"xX",           false, true,  switch_keytone},
    {"sS",           false, true,  edit_keytone},
    {"yY",           false, true,  switch_keyrev},
    {"zZ",           false, true,  edit_keyrev},
    {"dD",           false, false, delay_prompt},
    {"aA",           false, false, switch_autovol},
    {"rR",           false, false, switch_reverb},
    {"tT",           false, false, edit_reverb},
    {"gG",           false, false, switch_equalizer},
    {"fF",           false, false, edit_equalizer},
    {"qQ",           false, false, switch_resample},
    {"vV",           false, false, switch_velocity_curve},
    {"hH",           false, false, open_help},
    {"lL",           false, true,  switch_velocity_layers},
    {"wW",           false, false, start_or_end_take},
    {"mM",           true,  true,  midi_prompts},
    {"bBnN0123456789", true, true, select_set},
    {" \x1b",        true,  false, nullptr},  // the program ends
};
// clang-format on

// The command kept while the output is lost.
bool command_kept = false;
int kept_code = 0;
std::string kept_text;

// ---- The M prompts' helper ----

// One question of the M prompts.
struct Question {
  const char* name;  // "midi input port"
  const char* hint;  // "initial=1" or "0=none"
  int lo, hi;
  bool whole;  // a whole number (0 keeps the last value), else a line (empty keeps it)
  const char* text = nullptr;  // the question's own line, in place of "NAME : enter a value (RANGE)"
};

// Asks one question: the question with its range, the hint with the last
// value and a blank line; reads the answer, then leaves `blank_lines` blank
// lines. Returns the value; *answered tells whether a line was typed.
int ask_value(const Question& q, int last, int blank_lines, bool* answered = nullptr) {
  std::string range = win_format_int(q.lo) + ".." + (q.lo < 0 && q.hi > 0 ? "+" : "") + win_format_int(q.hi);
  win_print(q.text ? std::string(q.text) : std::string(q.name) + " : enter a value (" + range + ")", true);
  win_print(std::string("     ") + q.hint + "   last=" + win_format_int(last), true);
  win_print("", true);
  int value;
  if (q.whole) {
    value = prompt_whole_answer(console_read_int(), last, q.lo, q.hi);
  } else {
    std::string line = console_read_line();
    if (answered) *answered = !line.empty();
    value = prompt_line_answer(line, last, q.lo, q.hi);
  }
  for (int i = 0; i < blank_lines; i++) win_print("", true);
  return value;
}

}  // namespace

const KeyCommand* find_key_command(const std::string& text) {
  if (text.size() != 1 || text[0] == '\0') return nullptr;
  for (const KeyCommand& c : kKeyCommands)
    if (std::strchr(c.keys, text[0])) return &c;
  return nullptr;
}

bool key_ends_key_loop(int code) {
  if (code == kKeyClose) return true;
  if (code <= 0 || code >= kExtendedKey) return false;
  const KeyCommand* c = find_key_command(std::string(1, static_cast<char>(code)));
  return c && c->ends_key_loop;
}

bool key_waits_for_output(const KeyCommand& command, int code) {
  // An extended key never stands for a key that ends the loop (see above).
  return command.waits_for_output && (code < kExtendedKey || !command.ends_key_loop);
}

std::string take_key_command(int* code, bool output_lost) {
  std::string text = key_text_for_code(*code);
  if (text.empty()) text = take_pending_key();
  const KeyCommand* command = find_key_command(text);
  if (command && output_lost && key_waits_for_output(*command, *code)) {
    command_kept = true;
    kept_code = *code;
    kept_text = text;
    *code = 0;
    return "";
  }
  if (*code == 0 && text.empty() && command_kept && !output_lost) {
    command_kept = false;
    *code = kept_code;
    text = kept_text;
  }
  return text;
}

AfterCommand run_key_command(const std::string& text) {
  const KeyCommand* c = find_key_command(text);
  if (c == nullptr || c->run == nullptr) return AfterCommand::kNothing;
  char key = text[0];
  if (key >= 'A' && key <= 'Z') key = static_cast<char>(key - 'A' + 'a');
  return c->run(key);
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

void note_off_delay_prompt() {
  win_clear();
  win_locate(2, 1);
  win_print("delay on noteoff: enter a value (50..1000)", true);
  win_print("     initial=80   last=" + win_format_double(note_off_delay.load() * 1000.0) + " ms", true);
  InputActiveScope typing;
  note_off_delay = note_off_delay_answer(console_read_int(), note_off_delay.load());
}

void midi_settings_prompt() {
  InputActiveScope typing;
  open_prompt_window();
  win_locate(2, 1);
  const char* status = FBS_GET_PLUGERROR();
  win_print(status ? status : "", true);

  int inputs = midi_input_devices.load();
  for (int i = 1; i <= inputs; i++) win_print(win_format_int(i) + "." + input_name(i), true);
  midi_in_port = ask_value({"midi input port", "initial=1", 1, inputs, true}, midi_in_port, 1);
  midi_in2_port = ask_value({"midi input2 port", "0=none", 0, inputs, false}, midi_in2_port, 1);
  midi_in3_port = ask_value({"midi input3 port", "0=none", 0, inputs, false}, midi_in3_port, 1);

  int outputs = midi_output_devices.load();
  for (int i = 1; i <= outputs; i++) win_print(win_format_int(i) + "." + output_name(i), true);
  thru_port = ask_value({"midiout(thru) port", "0=none", 0, outputs, false}, thru_port.load(), 2);
  // The ports chosen are remembered by name too (none: no name).
  int* ports[kMidiInputs] = {&midi_in_port, &midi_in2_port, &midi_in3_port};
  for (int slot = 0; slot < kMidiInputs; slot++)
    midi_in_port_name[slot] = *ports[slot] > 0 ? input_name(*ports[slot]) : "";
  thru_port_name = thru_port.load() > 0 ? output_name(thru_port.load()) : "";

  buffer_size = ask_value({"buffer size", "initial=1024", kBufferSizeMin, kBufferSizeMax, true}, buffer_size, 2);
  transpose = ask_value({"transpose", "initial=0", -12, 12, false}, transpose.load(), 2);

  bool answered = false;
  int level = ask_value({"autovolmidi", "0=none", 0, 127, false}, autovolmidi.load(), 2, &answered);
  if (answered) {
    autovolmidi = level;
    double now = win_timer();
    analysis_ref_time = now + 1.2;
    analysis_now_time = now;
    restart_velocity_average();
  }

  int pedals_before = pedal_mode.load();
  pedal_mode = ask_value({"pedals", "initial=0", 0, 1, false,
                          "pedals: 0 = switch (only 127 holds), 1 = piano (half-pedal, sostenuto, soft)"},
                         pedals_before, 0);
  // Pedals the new mode does not play must not stay down.
  if (pedal_mode.load() != pedals_before) piano_pedals_up();
}

bool set_prompt() {
  InputActiveScope typing;
  open_prompt_window();
  win_locate(2, 1);
  for (int s = 0; s < kSetCount; s++) win_print(set_prompt_line(s), true);
  win_print("", true);
  win_print("piano sound : enter a value (0..14)", true);
  win_print("     initial=0   last=" + win_format_int(piano_sound.load()), true);
  win_print("", true);
  std::string line = console_read_line();
  int chosen = set_prompt_answer(line.c_str(), piano_sound.load());
  if (chosen >= 0) request_set(chosen);
  request_window_rebuild();
  return chosen >= 0;
}
