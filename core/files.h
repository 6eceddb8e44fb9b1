// SPDX-License-Identifier: GPL-3.0-or-later
// File system questions every layer asks.
#pragma once
#include <string>

// True when path names a regular file: a folder or a device of the same
// name would only make a loader or a dialog fail.
bool file_exists(const std::string& path);
