// Scratch files for fuzz targets whose entry points take a file name. They
// live in memory (/dev/shm) where the machine has it: creating and removing
// a file on disk for every input costs more than most of the parsing.
#pragma once
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

// A path of this process: the folder, name, process id and ext.
inline std::string scratch_path(const char* name, const char* ext) {
  const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/";
  return dir + std::string(name) + "_" + std::to_string(getpid()) + ext;
}

// The input as the whole file; false when it could not be written.
inline bool write_scratch(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = fwrite(data, 1, size, f) == size;
  return fclose(f) == 0 && ok;
}
