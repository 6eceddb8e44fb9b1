// SPDX-License-Identifier: GPL-3.0-or-later
// Replacing the files of a sample set as a whole. The new files are written
// beside the old ones under temporary names (".NAME.new", made exclusively,
// no link followed); a journal (".FIRST.journal", FIRST the set's first
// name) lists what is replaced; each old file gets a second name
// (".NAME.old", a hard link, so that the set is never missing a file); then
// the new files are renamed over the old ones. Once every rename is done the
// journal says so, and the second names and the set's files in its other
// form go. A failed rename puts every old file back; a run killed midway is
// put right by the next one: forward when its journal says every rename was
// done, back otherwise. The folder is synced after each step.
#pragma once
#include <string>
#include <vector>

// The temporary name of NAME's new file.
std::string new_file_name(const std::string& name);

// Puts right what a killed run left for the set whose first name is
// `first` (forward or back, as its journal says), and removes leftover new
// files of `names`. False with a one-line reason when it cannot.
bool recover_set_files(const std::string& folder, const std::string& first, const std::vector<std::string>& names,
                       std::string* error);

// How the files are renamed: std::rename, or a stand-in in a test.
using RenameFunction = int (*)(const char* from, const char* to);

// Puts the new files of `names` (complete and synced under new_file_name)
// in place of the old ones, then removes `removed` (the set's other form).
// On failure every old file is back, no new file is left, and *error says
// what failed.
bool replace_set_files(const std::string& folder, const std::vector<std::string>& names,
                       const std::vector<std::string>& removed, std::string* error,
                       RenameFunction rename_file = nullptr);
