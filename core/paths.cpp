// SPDX-License-Identifier: GPL-3.0-or-later
// The folders of the program's files, portable or installed.
#include "core/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace {

constexpr const char* kName = "quillon_darvo";

// Written once at start-up (choose_layout, use_portable_layout); the
// private scratch folder at its first use, on the main thread.
bool installed = false;
std::string data, plugins, config, user_data, scratch, user_sounds;
std::string cache = "cache/";
bool scratch_is_private = false;

bool is_folder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string with_slash(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

std::string home_folder() {
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return with_slash(home);
  const passwd* pw = getpwuid(getuid());
  if (pw && pw->pw_dir && pw->pw_dir[0] == '/') return with_slash(pw->pw_dir);
  return "/";
}

// An XDG base folder: the variable when it holds an absolute path (relative
// ones are to be ignored), else the default below the home folder.
std::string xdg_folder(const char* variable, const char* fallback_in_home) {
  const char* value = std::getenv(variable);
  if (value && value[0] == '/') return with_slash(value);
  return home_folder() + fallback_in_home;
}

// An installed folder: its path relative to the executable's folder (as
// the install rules lay the program out) resolved against exe_folder.
std::string installed_folder(const std::string& exe_folder, const char* from_bin) {
  return with_slash(std::filesystem::path(exe_folder + from_bin).lexically_normal().string());
}

}  // namespace

std::string data_folder() { return data; }
std::string plugin_folder() { return plugins; }
std::string config_folder() { return config; }
std::string user_data_folder() { return user_data; }
std::string cache_folder() { return cache; }
std::string user_sounds_folder() { return user_sounds; }
std::string shipped_sounds_folder() { return data + "sounds/"; }
bool installed_layout() { return installed; }

std::string scratch_folder() {
  if (installed && scratch.empty()) {
    // No runtime folder: a folder of our own in the temporary folder, so no
    // other user can put a file where ours is looked for.
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = with_slash(tmp && tmp[0] == '/' ? tmp : "/tmp") + kName + ".XXXXXX";
    if (mkdtemp(&pattern[0])) {
      scratch = pattern + "/";
      scratch_is_private = true;
    }
  }
  return scratch;
}

void remove_private_scratch_folder() {
  if (!scratch_is_private) return;
  rmdir(scratch.c_str());
  scratch.clear();
  scratch_is_private = false;
}

void use_portable_layout(const std::string& folder) {
  installed = false;
  data = plugins = config = user_data = scratch = with_slash(folder);
  cache = data + "cache/";
  user_sounds.clear();
  scratch_is_private = false;
}

std::string choose_layout(const std::string& exe_folder) {
  std::string exe = with_slash(exe_folder);
  if (is_folder(exe + "sounds") && access(exe.c_str(), W_OK) == 0) {
    use_portable_layout(exe);
    return "";
  }
  installed = true;
  data = installed_folder(exe, QD_DATA_FROM_BIN);
  plugins = installed_folder(exe, QD_PLUGINS_FROM_BIN);
  config = xdg_folder("XDG_CONFIG_HOME", ".config/") + kName + "/";
  user_data = xdg_folder("XDG_DATA_HOME", ".local/share/") + kName + "/";
  cache = xdg_folder("XDG_CACHE_HOME", ".cache/") + kName + "/";
  user_sounds = user_data + "sounds/";
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  scratch = runtime && runtime[0] == '/' ? with_slash(runtime) + kName + "/" : std::string();
  scratch_is_private = false;
  if (!is_folder(data + "sounds"))
    return "missing " + data + "sounds/: the program's data is not installed";
  return "";
}

bool make_folders(const std::string& folder)
{
  if (folder.empty()) return true;
  for (size_t slash = folder.find('/', 1); ; slash = folder.find('/', slash + 1)) {
    std::string part = folder.substr(0, slash);
    // Only the user reads the user's folders.
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos || slash + 1 >= folder.size()) break;
  }
  return is_folder(folder);
}

bool folder_writable(const std::string& folder) {
  std::string f = folder.empty() ? "." : folder;
  return is_folder(f) && access(f.c_str(), W_OK | X_OK) == 0;
}
