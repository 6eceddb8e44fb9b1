// SPDX-License-Identifier: GPL-3.0-or-later
#include "import/set_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// A journal of more is none of ours.
constexpr size_t kLargestJournal = 64 << 10;

std::string old_file_name(const std::string& name) { return "." + name + ".old"; }
std::string journal_name(const std::string& first) { return "." + first + ".journal"; }

bool sync_folder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

bool gone(const std::string& path) { return unlink(path.c_str()) == 0 || errno == ENOENT; }

bool write_fd(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += (size_t)n;
  }
  return fsync(fd) == 0;
}

// What one journal lists: the names replaced (and whether each had an old
// file), the names removed after, whether all its steps began ("ready")
// and whether every rename was done ("commit").
struct Journal {
  std::vector<std::string> names, removed;
  std::vector<bool> had;
  bool ready = false, committed = false;
};

std::string journal_text(const Journal& j) {
  std::string text = "quillon_make_set journal 1\n";
  for (size_t i = 0; i < j.names.size(); i++) text += std::string("replace ") + (j.had[i] ? "1 " : "0 ") + j.names[i] + "\n";
  for (const std::string& name : j.removed) text += "remove " + name + "\n";
  return text + "ready\n";
}

// False when there is none or it cannot be read; a torn last line is not read.
bool read_journal(const std::string& path, Journal* j) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text;
  char buf[4096];
  ssize_t n;
  while (text.size() <= kLargestJournal && (n = read(fd, buf, sizeof buf)) > 0) text.append(buf, (size_t)n);
  close(fd);
  size_t at = 0;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = text.substr(at, end - at);
    auto safe = [](const std::string& name) { return !name.empty() && name.find('/') == std::string::npos; };
    if (line.compare(0, 8, "replace ") == 0 && line.size() > 10 && safe(line.substr(10))) {
      j->had.push_back(line[8] == '1');
      j->names.push_back(line.substr(10));
    } else if (line.compare(0, 7, "remove ") == 0 && safe(line.substr(7))) {
      j->removed.push_back(line.substr(7));
    } else if (line == "ready") {
      j->ready = true;
    } else if (line == "commit") {
      j->committed = true;
    }
  }
  return true;
}

// Every old file back (its second name renamed over the new one), every
// new one gone.
bool roll_back(const std::string& folder, const Journal& j) {
  bool ok = true;
  for (size_t i = 0; i < j.names.size(); i++) {
    const std::string name = folder + j.names[i], old = folder + old_file_name(j.names[i]);
    if (j.had[i]) {
      struct stat st;
      // Without its second name the old file was never moved.
      if (lstat(old.c_str(), &st) == 0) ok = std::rename(old.c_str(), name.c_str()) == 0 && ok;
      ok = gone(old) && ok;  // a rename between two names of one file leaves both
    } else {
      ok = gone(name) && ok;
    }
    ok = gone(folder + new_file_name(j.names[i])) && ok;
  }
  return ok;
}

// The second names of the old files, and the other form, gone.
bool roll_forward(const std::string& folder, const Journal& j) {
  bool ok = true;
  for (const std::string& name : j.names) ok = gone(folder + old_file_name(name)) && gone(folder + new_file_name(name)) && ok;
  for (const std::string& name : j.removed) ok = gone(folder + name) && ok;
  return ok;
}

}  // namespace

std::string new_file_name(const std::string& name) { return "." + name + ".new"; }

bool recover_set_files(const std::string& folder, const std::string& first, const std::vector<std::string>& names,
                       std::string* error) {
  const std::string path = folder + journal_name(first);
  Journal j;
  bool ok = true;
  if (read_journal(path, &j)) {
    if (j.committed) ok = roll_forward(folder, j);
    else if (j.ready) ok = roll_back(folder, j);
    ok = ok && sync_folder(folder) && gone(path);
  }
  for (const std::string& name : names) ok = gone(folder + new_file_name(name)) && ok;
  if (!ok || !sync_folder(folder)) return *error = "cannot put right what an earlier run left in " + folder, false;
  return true;
}

bool replace_set_files(const std::string& folder, const std::vector<std::string>& names,
                       const std::vector<std::string>& removed, std::string* error, RenameFunction rename_file) {
  if (!rename_file) rename_file = std::rename;
  if (names.empty()) return true;
  Journal j;
  j.names = names;
  j.removed = removed;
  for (const std::string& name : names) {
    struct stat st;
    const bool had = lstat((folder + name).c_str(), &st) == 0;
    if (had && S_ISDIR(st.st_mode)) {
      for (const std::string& n : names) gone(folder + new_file_name(n));
      return *error = "cannot write " + folder + name + " (a folder)", false;
    }
    j.had.push_back(had);
  }
  const std::string journal = folder + journal_name(names[0]);
  const int fd = open(journal.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  std::string failed;
  int fault = 0;
  auto fail = [&](const std::string& path) {
    fault = errno;
    failed = path;
    return false;
  };
  bool ok = (fd >= 0 && write_fd(fd, journal_text(j))) || fail(journal);
  ok = ok && (sync_folder(folder) || fail(folder));
  // Each old file's second name, then the new files over the old.
  for (size_t i = 0; ok && i < names.size(); i++) {
    const std::string old = folder + old_file_name(names[i]);
    if (j.had[i] && !(gone(old) && link((folder + names[i]).c_str(), old.c_str()) == 0)) ok = fail(old);
  }
  ok = ok && (sync_folder(folder) || fail(folder));
  for (size_t i = 0; ok && i < names.size(); i++)
    if (rename_file((folder + new_file_name(names[i])).c_str(), (folder + names[i]).c_str()) != 0)
      ok = fail(folder + names[i]);
  ok = ok && (sync_folder(folder) || fail(folder)) && (write_fd(fd, "commit\n") || fail(journal));
  if (fd >= 0) close(fd);
  if (!ok) {
    if (fd >= 0) {
      roll_back(folder, j);
      gone(journal);
    } else {
      for (const std::string& name : names) gone(folder + new_file_name(name));
    }
    sync_folder(folder);
    return *error = "cannot write " + failed + " (" + std::strerror(fault) + "); the earlier set is kept", false;
  }
  ok = roll_forward(folder, j) && sync_folder(folder) && gone(journal) && sync_folder(folder);
  // The new set is in; what is left behind goes on the next run.
  if (!ok) return *error = "the set is made, but " + folder + " keeps files of the earlier one", false;
  return true;
}
