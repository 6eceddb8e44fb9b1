// SPDX-License-Identifier: GPL-3.0-or-later
// The program's control flow on the main thread: start-up, the three restart
// cycles (engine, sample set, MIDI ports), the key loop with its command
// table and prompts, and shutdown with the settings written twice.
//
// Threads: everything here belongs to the main thread.
#pragma once
#include <string>

#include "app/instrument_setup.h"

// ---- Run-time state of the main loop ----

// Set when the sample set is to be changed or reloaded.
extern int reload_request;
// Command text of the last key: "", one character, or "reload".
extern std::string key_text;
// Last key code of the key loop: 0 none, 1..255 a character, 256 + second
// byte for an extended key (363 is the close button).
extern int last_key_code;
// The window's own title as read once at start; the title shown is
// base_title, four blanks and preset_name.
extern std::string base_title;

// The six MIDI values as they were when the ports were last opened.
struct MidiValues {
  int midi_in_port;
  int midi_in2_port;
  int thru_port;
  int transpose;
  int midi_in3_port;
  int autovolmidi;
  int pedal_mode;
};
bool operator==(const MidiValues& a, const MidiValues& b);
extern MidiValues applied_midi;
// buffer_size with which the engine was last started; -1 forces a restart.
extern int applied_buffer_size;

// White keys: white_key_number[b] is the key number of white key b (0..69,
// 9, 11, 12, 14, ...); white_key_index[k] is b for a white key number k
// (0..120) and -1 for a black key or one outside the table.
constexpr int kWhiteKeys = 70;
constexpr int kWhiteKeyIndexSize = 121;
extern int white_key_number[kWhiteKeys];
extern int white_key_index[kWhiteKeyIndexSize];
void fill_white_key_tables();

// ---- The program ----

// Runs start-up, the main loop and shutdown. Returns the process status: 0
// after a normal end, 1 after a fatal start-up error.
int run_main_loop();

// Installs the window's keyboard as the engine's key source, so that
// FBS_GET_KEYCODE reads the window (an extended key arrives as 255 and then
// its scan code).
void install_key_source();

// ---- Pieces of the loop, separately callable ----

// Command text of a key code: "" for 0 and the close button (363), else the
// character of the code's low byte (an extended key stands for the character
// of its second byte).
std::string key_text_for_code(int code);

// True when the key loop ends after this key: Space, Esc, close button, B, N,
// M, a digit, or the command text "reload".
bool key_ends_key_loop(int code, const std::string& text);

// Note-off delay after the D prompt's answer n (milliseconds): 0 keeps the
// old value, anything else is n / 1000 clamped to 0.05..1.0 seconds.
double note_off_delay_answer(int n, double old_delay);

// M prompt answers. A whole-number answer (0 keeps `last`) clamped to lo..hi,
// and a line answer (empty keeps `last`, else its value rounded) clamped to
// lo..hi. When hi < lo the result is lo.
int prompt_whole_answer(int n, int last, int lo, int hi);
int prompt_line_answer(const std::string& line, int last, int lo, int hi);

// Runs the command of key_text (command table). Commands compare key_text
// with their lower- and upper-case letter.
void run_command();

// The D prompt (note-off delay) and the M prompts (MIDI and audio settings).
void note_off_delay_prompt();
void midi_settings_prompt();

// After the key loop: set selection for B, N, digits and "reload" (sets
// piano_sound and reload_request).
void select_set_after_key_loop(int code, const std::string& text);

// Where the main loop goes after the key loop has ended and the MIDI ports
// are closed.
enum NextCycle { kEngineCycle, kSampleCycle, kPortCycle, kProgramEnd };

// The M key's decision before the sounds are torn down: with all seven MIDI
// values unchanged the engine restarts (applied_buffer_size becomes -1);
// otherwise applied_midi takes the new values. Returns kPortCycle when only
// the ports are to be reopened (buffer size unchanged), else kEngineCycle
// (meaning: go on and tear down).
NextCycle plan_after_midi_prompt(const MidiValues& current, MidiValues* applied,
                                 int buffer_size, int* applied_buffer);

// After the sounds are torn down: the sample cycle when a reload is asked,
// the engine cycle after M with a changed buffer size, else the program ends.
NextCycle plan_after_teardown(bool reload, bool key_was_m, int buffer_size, int applied_buffer);
