// SPDX-License-Identifier: GPL-3.0-or-later
// The key commands of the key loop, one table entry a command: its keys,
// whether the key loop ends after it, whether it waits while the output is
// lost, and its handler. Also the D prompt (note-off delay), the M prompts
// (MIDI and audio settings), which go through one prompt helper, and the
// set prompt that a click on the set name opens.
//
// To add a command: one entry in kKeyCommands (key_commands.cpp) and its
// handler, which returns what the main loop is to redraw. To add an M
// question: one ask_value call in midi_settings_prompt.
//
// Threads: main thread only.
#pragma once
#include <string>

// What the main loop does after a command: nothing, draw the status screen
// again, or rebuild the window and draw it (after a screen that covered it).
enum class AfterCommand { kNothing, kRedraw, kRebuild };

struct KeyCommand {
  const char* keys;       // the characters that run it, both cases: "kK"
  bool ends_key_loop;     // the key loop ends after it; the cycles act on it
  bool waits_for_output;  // needs the engine's samples: kept while the output is lost
  AfterCommand (*run)(char key);  // nullptr: nothing runs in the loop
};

// The command of a key's text ("" and unknown keys: nullptr).
const KeyCommand* find_key_command(const std::string& text);

// True when the key loop ends after the key of this code: Space, Esc, the
// close button, B, N, M or a digit. An extended key that stands for one of
// them (256 + its character) runs its command but does not end the loop.
bool key_ends_key_loop(int code);

// True when the command of this key code is kept while the output is lost
// (B, N, M, a digit, and the sample passes X, Y, S, Z, also as extended keys).
bool key_waits_for_output(const KeyCommand& command, int code);

// The command text after the key loop's wait, for key code *code: the
// key's (key_text_for_code), else the MIDI keyboard's I or O (the mailbox
// of core/shared_state.h). While the output is lost a command that needs the
// samples is kept (the last one wins; *code becomes 0 and the text "") and
// handed out, with its code, in the first pass without a key once the
// output is back.
std::string take_key_command(int* code, bool output_lost);

// Runs the command of the text's key; returns what to redraw.
AfterCommand run_key_command(const std::string& text);

// ---- Prompts ----

// Note-off delay after the D prompt's answer n (milliseconds): 0 keeps the
// old value, anything else is n / 1000 clamped to 0.05..1.0 seconds.
double note_off_delay_answer(int n, double old_delay);

// M prompt answers. A whole-number answer (0 keeps `last`) clamped to lo..hi,
// and a line answer (empty keeps `last`, else its value rounded) clamped to
// lo..hi. When hi < lo the result is lo.
int prompt_whole_answer(int n, int last, int lo, int hi);
int prompt_line_answer(const std::string& line, int last, int lo, int hi);

// The D prompt (note-off delay) and the M prompts (MIDI and audio settings).
void note_off_delay_prompt();
void midi_settings_prompt();

// The "piano sound" prompt, opened by a click on the set name in the full
// view: lists the sets and reads a number in the prompt window. A new
// complete set is asked for (request_set, app/loop_request.h) and the result
// is true. Either way the window is to be rebuilt (request_window_rebuild).
// Main thread.
bool set_prompt();

