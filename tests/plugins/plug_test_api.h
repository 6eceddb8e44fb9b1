// SPDX-License-Identifier: GPL-3.0-or-later
// Test side of the test plug-in: a temporary plug path holding copies of the
// test plug-ins under the built-in names, and the plug-in's controls looked
// up in a given copy.
#pragma once
#include <dlfcn.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/plug_record.h"

namespace plugtest {

// Every plug-in call of every copy, in order, as "<file> <call>[ <value>]".
// Never destroyed: the engine's process-end hook may still call a plug-in
// after static objects are gone.
inline std::mutex& log_mutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}
inline std::vector<std::string>& log_lines() {
  static std::vector<std::string>* v = new std::vector<std::string>;
  return *v;
}

inline void log_line(const char* text) {
  std::lock_guard<std::mutex> lock(log_mutex());
  log_lines().push_back(text);
}

inline std::vector<std::string> take_log() {
  std::lock_guard<std::mutex> lock(log_mutex());
  std::vector<std::string> out;
  out.swap(log_lines());
  return out;
}

// Folders made by make_plug_folder, removed when the process ends (a loaded
// library may lose its file; its mapping stays).
inline std::vector<std::string>& made_folders() {
  static std::vector<std::string>* v = new std::vector<std::string>;
  return *v;
}
inline void remove_made_folders() {
  std::error_code ec;
  for (const std::string& f : made_folders()) std::filesystem::remove_all(f, ec);
}

// Makes a fresh folder and copies plug-ins into it: pairs of (built test
// plug-in file, name in the folder). Returns the folder with "/" appended.
inline std::string make_plug_folder(const std::vector<std::pair<std::string, std::string>>& files) {
  char tmpl[] = "/tmp/qd_plugtest_XXXXXX";
  char* dir = mkdtemp(tmpl);
  std::string folder = std::string(dir ? dir : "/tmp") + "/";
  if (dir) {
    if (made_folders().empty()) std::atexit(remove_made_folders);
    made_folders().push_back(dir);
  }
  for (const auto& f : files)
    std::filesystem::copy_file(f.first, folder + f.second,
                               std::filesystem::copy_options::overwrite_existing);
  return folder;
}

inline std::string built(const char* name) { return std::string(QD_TEST_PLUGIN_DIR) + name; }

// One loaded copy and its controls. Loading it before FBS_INIT lets a test
// set its results first; the engine's own load then shares this instance.
struct Copy {
  void* module = nullptr;
  void (*set)(const char*, int32_t) = nullptr;
  void (*set_logger)(void (*)(const char*)) = nullptr;
  int32_t (*fill)(int32_t) = nullptr;
  const int16_t* (*block)(void) = nullptr;
  FbsPlugRecord* (*record)(void) = nullptr;
};

inline Copy open_copy(const std::string& path) {
  Copy c;
  c.module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!c.module) return c;
  c.set = reinterpret_cast<void (*)(const char*, int32_t)>(dlsym(c.module, "plug_test_set"));
  c.set_logger =
      reinterpret_cast<void (*)(void (*)(const char*))>(dlsym(c.module, "plug_test_set_logger"));
  c.fill = reinterpret_cast<int32_t (*)(int32_t)>(dlsym(c.module, "plug_test_fill"));
  c.block = reinterpret_cast<const int16_t* (*)(void)>(dlsym(c.module, "plug_test_block"));
  c.record = reinterpret_cast<FbsPlugRecord* (*)(void)>(dlsym(c.module, "plug_test_record"));
  if (c.set_logger) c.set_logger(log_line);
  return c;
}

}  // namespace plugtest
