// SPDX-License-Identifier: GPL-3.0-or-later
// The folders of the program's files, portable or installed.
#include "core/paths.h"

#include <dirent.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {

constexpr const char* kName = "quillon_darvo";

// Written once at start-up (choose_layout, use_portable_layout); the
// scratch folder at its first use, on the main thread.
bool installed = false;
std::string data, plugins, config, user_data, scratch, user_sounds, runtime;
std::string cache = "cache/";
std::string session;
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

// A folder only this user may enter: the user's own with mode 0700. A
// runtime folder left root-owned by an earlier `sudo -E` run, or one others
// may write, is not.
bool private_folder(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & 07777) == 0700;
}

// Whether the program's folder may hold the user's files: the user's own
// folder, writable by its owner, on a file system that can be written.
// Ownership decides, not access() alone: root may write anywhere and would
// otherwise leave root-owned files in another user's copy. The owner's write
// bit counts for root too, so a copy made read-only (chmod a-w) is left alone
// by everyone. Any other copy is used read-only, with the user's files in the
// XDG folders.
bool users_own_folder(const std::string& folder) {
  struct stat st;
  return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & S_IWUSR) != 0 && access(folder.c_str(), W_OK | X_OK) == 0;
}

// Where private scratch folders are made: $TMPDIR when absolute, else /tmp.
std::string temporary_folder() {
  const char* tmp = std::getenv("TMPDIR");
  return with_slash(tmp && tmp[0] == '/' ? tmp : "/tmp");
}

// A private scratch folder is named quillon_darvo.<pid>.XXXXXX, so that one
// a crashed process left can be told from one in use.
constexpr const char kPrivatePrefix[] = "quillon_darvo.";

// The process that made the private scratch folder: a forked child that
// exits through exit() leaves it alone.
pid_t scratch_owner = 0;

// An installed folder: its path relative to the executable's folder (as
// the install rules lay the program out) resolved against exe_folder.
std::string installed_folder(const std::string& exe_folder, const char* from_bin) {
  return with_slash(std::filesystem::path(exe_folder + from_bin).lexically_normal().string());
}

}  // namespace

std::string data_folder() { return data; }
std::string plugin_folder() { return plugins; }
std::string config_folder() { return session.empty() ? config : session; }
std::string user_data_folder() { return user_data; }
std::string cache_folder() { return cache; }
std::string user_sounds_folder() { return user_sounds; }
std::string shipped_sounds_folder() { return data + "sounds/"; }
bool installed_layout() { return installed; }
std::string takes_folder() { return session.empty() ? user_data + "save/takes/" : session + "takes/"; }
std::string recording_folder() { return session.empty() ? user_data : session; }
void use_session_folder(const std::string& folder) { session = with_slash(folder); }
std::string session_folder() { return session; }

std::string scratch_folder() {
  if (!installed || !scratch.empty()) return scratch;
  std::string own = runtime + kName + "/";
  if (!runtime.empty() && private_folder(runtime) && (mkdir(own.c_str(), 0700) == 0 || errno == EEXIST) &&
      private_folder(own)) {
    scratch = own;
    return scratch;
  }
  // Otherwise a folder of our own in the temporary folder, so no other user
  // can put a file where ours is looked for.
  std::string pattern = temporary_folder() + kPrivatePrefix + std::to_string((long)getpid()) + ".XXXXXX";
  if (mkdtemp(&pattern[0])) {
    scratch = pattern + "/";
    scratch_is_private = true;
    scratch_owner = getpid();
    static bool at_exit = false;
    if (!at_exit) at_exit = std::atexit(remove_private_scratch_folder) == 0;
  }
  return scratch;
}

void remove_private_scratch_folder() {
  if (!scratch_is_private || scratch_owner != getpid()) return;
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
  scratch.clear();
  scratch_is_private = false;
}

void remove_stale_scratch_folders() {
  std::string folder = temporary_folder();
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  const size_t skip = sizeof kPrivatePrefix - 1;
  while (const dirent* d = readdir(dir)) {
    std::string name = d->d_name;
    if (name.compare(0, skip, kPrivatePrefix) != 0) continue;
    char* end = nullptr;
    long pid = std::strtol(name.c_str() + skip, &end, 10);
    if (end == name.c_str() + skip || *end != '.' || pid <= 0 || pid == (long)getpid()) continue;
    // Only a folder of this user's whose process is gone.
    if (!private_folder(folder + name) || kill((pid_t)pid, 0) == 0 || errno != ESRCH) continue;
    std::error_code ignored;
    std::filesystem::remove_all(folder + name, ignored);
  }
  closedir(dir);
}

void use_portable_layout(const std::string& folder) {
  installed = false;
  data = plugins = config = user_data = scratch = with_slash(folder);
  cache = data + "cache/";
  user_sounds.clear();
  runtime.clear();
  scratch_is_private = false;
}

std::string choose_layout(const std::string& exe_folder) {
  std::string exe = with_slash(exe_folder);
  bool ships_here = is_folder(exe + "sounds");
  if (ships_here && users_own_folder(exe)) {
    use_portable_layout(exe);
    return "";
  }
  installed = true;
  data = ships_here ? exe : installed_folder(exe, QD_DATA_FROM_BIN);
  plugins = ships_here ? exe : installed_folder(exe, QD_PLUGINS_FROM_BIN);
  config = xdg_folder("XDG_CONFIG_HOME", ".config/") + kName + "/";
  user_data = xdg_folder("XDG_DATA_HOME", ".local/share/") + kName + "/";
  cache = xdg_folder("XDG_CACHE_HOME", ".cache/") + kName + "/";
  user_sounds = user_data + "sounds/";
  const char* runtime_variable = std::getenv("XDG_RUNTIME_DIR");
  runtime = runtime_variable && runtime_variable[0] == '/' ? with_slash(runtime_variable) : std::string();
  scratch.clear();
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
