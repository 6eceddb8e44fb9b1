// The reader and writer of the 2096-line settings format (settings file,
// backup and presets).
#include "app/settings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/text_number.h"

// ---- Reading lines ------------------------------------------------------------------

// Bytes of a line that are kept; the rest of a longer line is skipped, so a
// huge file without line ends cannot exhaust memory. Far more than any value needs.
constexpr size_t kLineKeep = 4096;

// Lines from a file (read in chunks) or from text in memory.
struct LineReader {
  FILE* file;          // null when reading from memory
  const char* data;    // current chunk (or the whole text)
  size_t size;
  size_t pos;
  char chunk[16384];
};

// True when bytes remain; refills the chunk from the file when needed.
static bool has_bytes(LineReader& r)
{
  if (r.pos < r.size) return true;
  if (!r.file) return false;
  size_t n = fread(r.chunk, 1, sizeof r.chunk, r.file);
  r.data = r.chunk;
  r.size = n;
  r.pos = 0;
  return n > 0;
}

// The next line without its LF or CR LF ending (the last line may lack one).
static void read_line(LineReader& r, std::string& line)
{
  line.clear();
  while (has_bytes(r)) {
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

// Reads the next line when one is available. Returns false at the end of
// the file, leaving the setting at its default.
static bool next_value(LineReader& r, std::string& line, double& value)
{
  if (!has_bytes(r)) return false;
  read_line(r, line);
  value = leading_number(line);
  return true;
}

// For plain and atomic settings alike.
template <typename Setting>
static void read_int(LineReader& r, std::string& line, Setting& setting)
{
  double v;
  if (next_value(r, line, v)) setting = whole_number(v);
}

template <typename Setting>
static void read_single(LineReader& r, std::string& line, Setting& setting)
{
  double v;
  if (next_value(r, line, v)) setting = single_number(v);
}

// A machine value's line: read, but stored only when not kept. A kept value
// is never written, not even for a moment, since the MIDI thread reads
// thru_port and transpose while a preset loads.
template <typename Setting>
static void read_machine_int(LineReader& r, std::string& line, Setting& setting, bool keep, int lo = INT_MIN,
                             int hi = INT_MAX)
{
  int value = setting;
  read_int(r, line, value);
  if (!keep) setting = std::clamp(value, lo, hi);
}

static void read_reverb(LineReader& r, std::string& line, ReverbParams& p)
{
  read_single(r, line, p.kreverb1);
  read_single(r, line, p.kreverb2);
  read_single(r, line, p.Treverb1);
  read_single(r, line, p.Treverb2);
}

static void read_bands(LineReader& r, std::string& line, ToneBands& b)
{
  read_int(r, line, b.lowf);
  read_int(r, line, b.highf);
  read_single(r, line, b.lowg);
  read_single(r, line, b.midg);
  read_single(r, line, b.highg);
  read_int(r, line, b.order);
}

// The key volume map: rows of 128 lines until the end mark. Rows beyond the
// sixteenth all land in the last row; an end mark inside a row leaves the rest
// of that row as it was; a file that ends inside a row repeats its last value
// to the end of the row. `line` holds the last line read before the map.
static void read_keyvol(LineReader& r, std::string& line)
{
  int row = -1;
  while (has_bytes(r) && line != "finlist") {
    if (row < kKeyvolRows - 1) row++;
    for (int key = 0; key < kKeyvolKeys; key++) {
      if (has_bytes(r) && line != "finlist") read_line(r, line);
      if (line != "finlist")
        keyvol_table[row][key].store(single_number(leading_number(line)), std::memory_order_relaxed);
    }
  }
  line.clear();
}

// With keep_machine (a preset) the view, the ports, the buffer size and the
// transpose keep their values.
static void read_all(LineReader& r, bool keep_machine)
{
  // Every setting starts at its default; each available line then replaces one.
  if (keep_machine)
    set_default_sound_settings();
  else
    set_default_settings();
  std::string line;
  double v;

  read_int(r, line, piano_sound);
  // Only sets 0..14 exist; the row of the key volume map must stay in range.
  if (piano_sound < 0 || piano_sound > 14) piano_sound = 0;
  read_int(r, line, window_x);
  read_int(r, line, window_y);
  read_int(r, line, velo_mode);
  read_int(r, line, keyvol_on);

  read_keyvol(r, line);

  if (next_value(r, line, v)) note_off_delay = std::clamp(v, 0.05, 1.0);
  read_int(r, line, autovol_mode);
  read_int(r, line, reverb_mode);
  read_reverb(r, line, reverb3_params);
  read_reverb(r, line, reverb2_params);
  read_int(r, line, equalizer_on);
  read_bands(r, line, eq_bands);
  read_int(r, line, keytone_mode);
  read_bands(r, line, keytone_bands);
  read_int(r, line, keyrev_on);
  read_reverb(r, line, keyrev_params);
  if (next_value(r, line, v)) master_level = std::clamp(single_number(v), 0.01f, 1.0f);
  read_machine_int(r, line, full_view, keep_machine);
  read_machine_int(r, line, midi_in_port, keep_machine);
  read_machine_int(r, line, buffer_size, keep_machine);
  read_int(r, line, type_offset);
  // Keys are shifted by these two before they index the per-key tables.
  type_offset = std::clamp(type_offset.load(), -1, 13);
  read_machine_int(r, line, thru_port, keep_machine);
  read_machine_int(r, line, transpose, keep_machine, -12, 12);
  read_machine_int(r, line, midi_in2_port, keep_machine);
  read_machine_int(r, line, midi_in3_port, keep_machine);
  read_int(r, line, autovolmidi);
  preset_name.clear();
  if (has_bytes(r)) {
    read_line(r, line);
    // Cut first, then trim: a cut inside a run of blanks leaves none at the end.
    preset_name = trim_blanks(line.substr(0, kPresetNameMax));
  }
  read_int(r, line, preset_bank);
  // The bank selects one of two thumbnail rows.
  preset_bank = std::clamp(preset_bank, 0, 1);
}

static void read_settings_file(FILE* f, bool keep_machine)
{
  LineReader r;
  r.file = f;
  r.data = r.chunk;
  r.size = 0;
  r.pos = 0;
  read_all(r, keep_machine);
}

// Opens a regular file for reading; anything else (a folder, a FIFO, a
// device) gives null. The open itself never blocks: on a FIFO it would wait
// for a writer.
static FILE* open_regular_file(const char* path)
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

void read_settings(const char* path)
{
  FILE* f = open_regular_file(path);
  if (!f) {
    set_default_settings();
    return;
  }
  read_settings_file(f, false);
  fclose(f);
}

void read_settings_from_text(const char* text, size_t size)
{
  LineReader r;
  r.file = nullptr;
  r.data = text ? text : "";
  r.size = text ? size : 0;
  r.pos = 0;
  read_all(r, false);
}

// ---- Writing ----------------------------------------------------------------------------

// One value a line, each line CR LF ended.
static void put_line(std::string& out, const std::string& text)
{
  out += text;
  out += "\r\n";
}

// Whole numbers: a blank before a non-negative number, a minus sign before a negative one.
static void put_int(std::string& out, int v) { put_line(out, signed_int_text(v)); }
// The split frequencies and the order of a filter set have no leading blank.
static void put_bare_int(std::string& out, int v) { put_line(out, std::to_string(v)); }
static void put_single(std::string& out, float v) { put_line(out, real_text(v, 7)); }

static void put_reverb(std::string& out, const ReverbParams& p)
{
  put_single(out, p.kreverb1);
  put_single(out, p.kreverb2);
  put_single(out, p.Treverb1);
  put_single(out, p.Treverb2);
}

static void put_bands(std::string& out, const ToneBands& b)
{
  put_bare_int(out, b.lowf);
  put_bare_int(out, b.highf);
  put_single(out, b.lowg);
  put_single(out, b.midg);
  put_single(out, b.highg);
  put_bare_int(out, b.order);
}

std::string format_settings()
{
  preset_bank = std::clamp(preset_bank, 0, 1);
  if (preset_factory_mark != 0) preset_bank = 0;
  if (preset_user_mark != 0) preset_bank = 1;

  std::string out;
  out.reserve(kSettingsLines * 8);
  put_int(out, piano_sound);
  put_int(out, window_x);
  put_int(out, window_y);
  put_int(out, velo_mode);
  put_int(out, keyvol_on);
  for (auto& row : keyvol_table)
    for (auto& entry : row) put_single(out, entry.load(std::memory_order_relaxed));
  out += "finlist\r\n";
  put_line(out, real_text(note_off_delay, 16));
  put_int(out, autovol_mode);
  put_int(out, reverb_mode);
  put_reverb(out, reverb3_params);
  put_reverb(out, reverb2_params);
  put_int(out, equalizer_on);
  put_bands(out, eq_bands);
  put_int(out, keytone_mode);
  put_bands(out, keytone_bands);
  put_int(out, keyrev_on);
  put_reverb(out, keyrev_params);
  put_single(out, master_level);
  put_int(out, full_view);
  put_int(out, midi_in_port);
  put_int(out, buffer_size);
  put_int(out, type_offset);
  put_int(out, thru_port);
  put_int(out, transpose);
  put_int(out, midi_in2_port);
  put_int(out, midi_in3_port);
  put_int(out, autovolmidi);
  // A line break inside the name would shift every later line.
  std::string name = preset_name;
  std::replace(name.begin(), name.end(), '\r', ' ');
  std::replace(name.begin(), name.end(), '\n', ' ');
  out += name;
  out += "\r\n";
  put_int(out, preset_bank);
  return out;
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

bool write_settings(const char* path)
{
  if (!path || !*path) return false;
  std::string text = format_settings();
  std::string target = path;
  std::string temp = target + ".tmp" + std::to_string(static_cast<long>(getpid()));
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = write_all(fd, text) && fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (ok && rename(temp.c_str(), target.c_str()) != 0) ok = false;
  if (!ok) {
    unlink(temp.c_str());
    return false;
  }
  sync_folder_of(target);
  return true;
}

// ---- Preset files ---------------------------------------------------------------------

std::string preset_file_name(const std::string& path)
{
  size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

int check_preset_name(const std::string& chosen, std::string& out)
{
  out = trim_blanks(chosen);
  if (out.empty()) return 0;
  // Only the file name counts: a folder with a point in its name must not
  // stop ".preset" from being added.
  if (preset_file_name(out).find('.') == std::string::npos) out += ".preset";
  static const char kExt[] = ".preset";
  const size_t ext_len = sizeof kExt - 1;
  if (out.size() < ext_len) return -1;
  for (size_t i = 0; i < ext_len; i++) {
    char c = static_cast<char>(tolower(static_cast<unsigned char>(out[out.size() - ext_len + i])));
    if (c != kExt[i]) return -1;
  }
  return 1;
}

bool save_preset_file(const char* path)
{
  if (!write_settings(path)) return false;
  preset_name = preset_file_name(path);
  return true;
}

bool load_preset_file(const char* path)
{
  FILE* f = open_regular_file(path);
  if (!f) return false;
  // A preset carries the sound, not the machine's ports, buffer or view.
  read_settings_file(f, true);
  fclose(f);
  preset_name = preset_file_name(path);
  return true;
}

// Left to right on the thumbnail row.
static const char* const kFactoryPresets[5] = {"granpiano1", "granpiano2", "granpiano", "upright", "epiano"};
static const char* const kUserPresets[5] = {"user1", "user2", "user3", "user4", "user5"};

const char* preset_slot_name(int bank, int slot)
{
  if (slot < 0 || slot > 4) return nullptr;
  if (bank == 0) return kFactoryPresets[slot];
  if (bank == 1) return kUserPresets[slot];
  return nullptr;
}

std::string thumbnail_preset_path(const std::string& program_dir, int bank, int slot)
{
  const char* name = preset_slot_name(bank, slot);
  if (!name) return std::string();
  return program_dir + (bank == 0 ? "bmp/" : "save/user/") + name + ".preset";
}
