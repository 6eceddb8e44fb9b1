// The folders of the program's files.
#include "core/paths.h"

#include <sys/stat.h>

#include <cerrno>

std::string data_folder() { return ""; }
std::string config_folder() { return ""; }
std::string user_data_folder() { return ""; }
std::string cache_folder() { return "cache/"; }
std::string scratch_folder() { return ""; }

bool make_folders(const std::string& folder)
{
  if (folder.empty()) return true;
  for (size_t slash = folder.find('/', 1); ; slash = folder.find('/', slash + 1)) {
    std::string part = folder.substr(0, slash);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos || slash + 1 >= folder.size()) break;
  }
  struct stat st;
  return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
