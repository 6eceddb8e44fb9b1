// SPDX-License-Identifier: GPL-3.0-or-later
// Scripting of the dialogs under the headless window back end, for tests:
// answers given in advance and a record of what was asked.
#pragma once
#include <string>
#include <vector>

#include "platform/dialogs.h"

// Headless back end: the next answer of confirm() ("yes"/"no") or
// file_dialog() (a path, "" for cancel), first in first out. Without a
// scripted answer confirm() gives "no" and file_dialog() "".
void dialog_script_answer(const std::string& answer);
// Headless back end: what the dialogs were asked, for tests.
struct DialogRecord {
  std::string kind;   // "notice", "confirm" or "file"
  std::string title;
  std::string text;   // notice/confirm text, or the file dialog's start folder
  bool save;          // file dialog: save rather than open
  std::vector<FileFilter> filters;
};
const std::vector<DialogRecord>& dialog_history();
// Forgets the history and any answers not yet taken.
void dialog_clear_history();
