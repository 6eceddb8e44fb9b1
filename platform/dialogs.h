// SPDX-License-Identifier: GPL-3.0-or-later
// The program's dialogs: the notice box, the OK/Cancel box, the file dialog,
// and the console line input that the value prompts read from the window.
//
// Notice and confirm run zenity (the display's own message box where there
// is no zenity); the file dialog runs zenity, or, without zenity, asks for
// the file name in the window. While a zenity box or a line input waits,
// the wait pass (platform/wait_pass.h) runs; a quit signal closes the box
// (its process killed and reaped) or gives up the line, and answers as a
// box closed unanswered: a confirm "no", a file dialog "".
// With no display at all a notice goes to standard error and a confirm
// answers "no". Under the headless window back end the answers come from
// dialog_script_answer() and nothing is shown.
//
// Threads: main thread only.
#pragma once
#include <string>
#include <vector>

// A message box with an OK button. Every notice of the program uses the
// title "notice".
void notice(const std::string& text, const std::string& title = "notice");
// While a sink is set, a notice goes to it instead of a box (its line on
// standard output stays): a program started by a session manager shows no
// box at start. Null (the default) shows boxes again.
void set_notice_sink(void (*sink)(const std::string& text));

// A message box with OK and Cancel: "yes" for OK, "no" otherwise. When the
// desktop can show no box at all, the question is asked on the window's
// text screen (an answer starting with "y" is OK).
std::string confirm(const std::string& text, const std::string& title);

// Open or save dialog (save when the title contains "save"). The pattern is
// "folder/mask list" (either slash works): the masks are "pattern,description"
// items separated by ";". Returns the chosen path, or "" when cancelled.
std::string file_dialog(const std::string& title, const std::string& pattern);

// The pieces file_dialog() builds from a pattern: the start folder (with its
// trailing slash, "" for the current folder) and the filter list as
// (description, pattern) pairs, the last being ("All  (*.*)", "*.*").
// Returns false when the list is longer than the dialog accepts (200
// characters), in which case file_dialog() answers "".
struct FileFilter {
  std::string description;
  std::string pattern;
};
bool file_dialog_parse(const std::string& pattern, std::string* folder, std::vector<FileFilter>* filters);

// Reads one line from the window's keyboard at the text cursor, echoing it:
// printable characters are added, Backspace removes the last one, Enter (or
// the close button) ends it; the cursor then moves to the next line. Without
// an open window the line is read from standard input.
std::string console_read_line();
// Reads a line and gives its whole number: 0 for an empty or non-numeric
// line; a number with decimals is rounded to nearest.
int console_read_int();
