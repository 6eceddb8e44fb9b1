// SPDX-License-Identifier: GPL-3.0-or-later
// Scratch files for fuzz targets whose entry points take a file name. They
// live in memory (/dev/shm) where the machine has it, and each stays open for
// the whole run: rewriting it in place costs two calls per input, where
// creating and removing a file costs more than most of the parsing.
#pragma once
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

// A path of this process: the folder, name, process id and ext.
inline std::string scratch_path(const char* name, const char* ext) {
  const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/";
  return dir + std::string(name) + "_" + std::to_string(getpid()) + ext;
}

// One scratch file, removed when the process ends normally.
struct ScratchFile {
  std::string path;
  int fd;
  ScratchFile(const char* name, const char* ext)
      : path(scratch_path(name, ext)),
        fd(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)) {}
  ~ScratchFile() {
    if (fd >= 0) close(fd);
    remove(path.c_str());
  }
  // The input as the whole file; false when it could not be written.
  bool write(const uint8_t* data, size_t size) const {
    return fd >= 0 && pwrite(fd, data, size, 0) == (ssize_t)size && ftruncate(fd, (off_t)size) == 0;
  }
};
