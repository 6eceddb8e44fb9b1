// SPDX-License-Identifier: GPL-3.0-or-later
// File system questions every layer asks.
#pragma once
#include <string>

// True when path names a regular file: a folder or a device of the same
// name would only make a loader or a dialog fail.
bool file_exists(const std::string& path);

// Creates a new empty file beside path for writing, named path.tmp and six
// random letters, exclusively: a file already there (another program's, a
// link planted under a name it guessed) is never opened or truncated. The
// permissions are those a plain create gives. Returns its descriptor with
// its name in *temp, or -1.
int create_file_beside(const std::string& path, std::string* temp);
