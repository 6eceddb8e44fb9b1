// SPDX-License-Identifier: GPL-3.0-or-later
// Line reading, whole-file replacement and file name checks.
#include "core/text_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/files.h"
#include "core/text_number.h"

void line_reader_from_file(LineReader& r, FILE* file)
{
  r.file = file;
  r.data = r.chunk;
  r.size = 0;
  r.pos = 0;
}

void line_reader_from_text(LineReader& r, const char* text, size_t size)
{
  r.file = nullptr;
  r.data = text ? text : "";
  r.size = text ? size : 0;
  r.pos = 0;
}

bool line_reader_more(LineReader& r)
{
  if (r.pos < r.size) return true;
  if (!r.file) return false;
  size_t n = fread(r.chunk, 1, sizeof r.chunk, r.file);
  r.data = r.chunk;
  r.size = n;
  r.pos = 0;
  return n > 0;
}

void line_reader_next(LineReader& r, std::string& line)
{
  line.clear();
  while (line_reader_more(r)) {
    const char* p = r.data + r.pos;
    size_t avail = r.size - r.pos;
    const char* lf = static_cast<const char*>(memchr(p, '\n', avail));
    size_t take = lf ? static_cast<size_t>(lf - p) : avail;
    if (line.size() < kLineKeep) line.append(p, std::min(take, kLineKeep - line.size()));
    r.pos += take;
    if (lf) {
      r.pos++;
      break;
    }
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
}

FILE* open_regular_file(const char* path)
{
  if (!path) return nullptr;
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  FILE* f = nullptr;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) f = fdopen(fd, "rb");
  if (!f) close(fd);
  return f;
}

bool regular_file_exists(const std::string& path)
{
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool read_file_lines(const std::string& path, const std::function<void(LineReader&)>& read)
{
  FILE* f = open_regular_file(path.c_str());
  if (!f) return false;
  LineReader r;
  line_reader_from_file(r, f);
  read(r);
  fclose(f);
  return true;
}

static bool write_all(int fd, const std::string& text)
{
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

// Makes the rename itself durable; a failure here leaves a complete file
// either way, so it is not reported.
static void sync_folder_of(const std::string& path)
{
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

bool replace_file(const std::string& path, const std::string& text)
{
  if (path.empty()) return false;
  std::string temp;
  int fd = create_file_beside(path, &temp);
  if (fd < 0) return false;
  bool ok = write_all(fd, text) && fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (ok && rename(temp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    unlink(temp.c_str());
    return false;
  }
  sync_folder_of(path);
  return true;
}

std::string file_name_part(const std::string& path)
{
  size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

int check_file_name(const std::string& chosen, const std::string& extension, std::string* out)
{
  *out = trim_blanks(chosen);
  if (out->empty()) return 0;
  if (file_name_part(*out).find('.') == std::string::npos) *out += extension;
  if (out->size() < extension.size()) return -1;
  for (size_t i = 0; i < extension.size(); i++) {
    unsigned char c = static_cast<unsigned char>((*out)[out->size() - extension.size() + i]);
    if (tolower(c) != tolower(static_cast<unsigned char>(extension[i]))) return -1;
  }
  return 1;
}

bool read_int_line(LineReader& r, std::string& line, int* value)
{
  if (!line_reader_more(r)) return false;
  line_reader_next(r, line);
  *value = whole_number(leading_number(line));
  return true;
}

bool read_single_line(LineReader& r, std::string& line, float* value)
{
  if (!line_reader_more(r)) return false;
  line_reader_next(r, line);
  *value = single_number(leading_number(line));
  return true;
}
