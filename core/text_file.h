// SPDX-License-Identifier: GPL-3.0-or-later
// Text files of the settings and the feature files: lines read from a file
// or from memory whatever their length, a file replaced only once its new
// text is complete on disk, and the check of a file name chosen in a file
// dialog. Main thread.
#pragma once
#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

// Bytes of a line that are kept; the rest of a longer line is skipped, so a
// huge file without line ends cannot exhaust memory. Far more than any value needs.
constexpr size_t kLineKeep = 4096;

// Lines from a file (read in chunks) or from text in memory. Lines end in
// LF or CR LF; the last line may lack its end.
struct LineReader {
  FILE* file = nullptr;        // null when reading from memory
  const char* data = nullptr;  // current chunk (or the whole text)
  size_t size = 0;
  size_t pos = 0;
  char chunk[16384];
};
void line_reader_from_file(LineReader& r, FILE* file);
void line_reader_from_text(LineReader& r, const char* text, size_t size);
// True while bytes remain (refills the chunk from the file when needed).
bool line_reader_more(LineReader& r);
// The next line without its LF or CR LF ending ("" at the end of the text).
void line_reader_next(LineReader& r, std::string& line);

// Opens a regular file for reading; anything else (a missing file, a folder,
// a FIFO, a device) gives null. The open itself never blocks: on a FIFO it
// would wait for a writer.
FILE* open_regular_file(const char* path);
bool regular_file_exists(const std::string& path);
// Opens path as open_regular_file does and hands its lines to `read`.
// Returns false (without calling `read`) when it is no regular file.
bool read_file_lines(const std::string& path, const std::function<void(LineReader&)>& read);

// Writes text as the whole new content of path: into a temporary file in the
// same folder, flushed to disk, and only then renamed over path, so a failed
// write leaves the previous file intact. Returns true on success.
bool replace_file(const std::string& path, const std::string& text);

// The part of a path after its last "/" or "\" (the whole path if neither).
std::string file_name_part(const std::string& path);

// Checks a name chosen in a file dialog for files ending in `extension`
// (".preset", ".equ", ...): blanks trimmed, the extension appended when the
// file name has no "." (a point in a folder's name does not count). Returns
// 1 with the name in *out when it ends in the extension (any case), 0 when
// it is empty (the dialog was cancelled) and -1 when it has another
// extension (the caller shows "bad name " + *out).
int check_file_name(const std::string& chosen, const std::string& extension, std::string* out);

// The next line read as a number (its leading number, 0 when it has none)
// when the text has one more line; false at its end, *value unchanged.
// Whole numbers are rounded (halves to even) and bounded by whole_number,
// singles bounded to the float range by single_number: never NaN or inf.
bool read_int_line(LineReader& r, std::string& line, int* value);
bool read_single_line(LineReader& r, std::string& line, float* value);

// The same into a plain or an atomic value.
template <typename Value>
void read_int_value(LineReader& r, std::string& line, Value& value)
{
  int v = value;
  if (read_int_line(r, line, &v)) value = v;
}
template <typename Value>
void read_single_value(LineReader& r, std::string& line, Value& value)
{
  float v = value;
  if (read_single_line(r, line, &v)) value = v;
}
