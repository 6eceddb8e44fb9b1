// SPDX-License-Identifier: GPL-3.0-or-later
// File system questions.
#include "core/files.h"

#include <sys/stat.h>

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
