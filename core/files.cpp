// SPDX-License-Identifier: GPL-3.0-or-later
// File system questions.
#include "core/files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <random>

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int create_file_beside(const std::string& path, std::string* temp) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device random;
  // 62^6 names: a clash with a file already there is rare, a run of them is
  // someone filling the folder.
  for (int attempt = 0; attempt < 100; attempt++) {
    std::string name = path + ".tmp";
    for (int i = 0; i < 6; i++) name += kLetters[random() % (sizeof kLetters - 1)];
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      *temp = name;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}
