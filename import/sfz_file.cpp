// SPDX-License-Identifier: GPL-3.0-or-later
#include "import/sfz_file.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <map>
#include <utility>

namespace {

// A #define'd value, or a name or value once they are put in, longer than
// this is no instrument's (and stops definitions that double themselves).
constexpr size_t kLongestValue = 4096;
// All that the #defines add to a file, together: past it a small file would
// take more memory than a large one may.
constexpr size_t kMostPutIn = 16 << 20;

// Comments ("//" to the line's end, "/* */") become blanks; lines stay where
// they were.
std::string without_comments(const std::string& text) {
  std::string out = text;
  for (size_t i = 0; i + 1 < out.size(); i++) {
    if (out[i] == '/' && out[i + 1] == '/') {
      while (i < out.size() && out[i] != '\n') out[i++] = ' ';
    } else if (out[i] == '/' && out[i + 1] == '*') {
      size_t e = out.find("*/", i + 2);
      e = e == std::string::npos ? out.size() : e + 2;
      for (; i < e; i++)
        if (out[i] != '\n') out[i] = ' ';
      i--;
    }
  }
  return out;
}

bool name_char(char c) { return std::isalnum((unsigned char)c) || c == '_' || c == '$'; }

std::string trimmed(const std::string& v) {
  size_t a = 0, b = v.size();
  while (a < b && std::isspace((unsigned char)v[a])) a++;
  while (b > a && std::isspace((unsigned char)v[b - 1])) b--;
  return v.substr(a, b - a);
}

// A whole number, or a decimal with no fraction ("64.0").
bool whole(const std::string& v, long long* n) {
  if (v.empty()) return false;
  char* end = nullptr;
  const double d = std::strtod(v.c_str(), &end);
  if (*end != 0 || !std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 1e15) return false;
  *n = (long long)d;
  return true;
}

// A key: a number or a note name with octave (c4 = 60).
bool read_key(const std::string& v, int lo, int* key) {
  long long n;
  if (whole(v, &n)) {
    if (n < lo || n > 127) return false;
    *key = (int)n;
    return true;
  }
  static const int kSteps[7] = {9, 11, 0, 2, 4, 5, 7};  // a b c d e f g
  if (v.empty()) return false;
  const char letter = (char)std::tolower((unsigned char)v[0]);
  if (letter < 'a' || letter > 'g') return false;
  int k = kSteps[letter - 'a'];
  size_t i = 1;
  if (i < v.size() && v[i] == '#') k++, i++;
  else if (i < v.size() && v[i] == 'b') k--, i++;
  char* end = nullptr;
  long octave = std::strtol(v.c_str() + i, &end, 10);
  if (end == v.c_str() + i || *end != 0 || octave < -1 || octave > 9) return false;
  n = k + 12 * (octave + 1);
  if (n < lo || n > 127) return false;
  *key = (int)n;
  return true;
}

std::string range_text(double lo, double hi) {
  auto text = [](double x) {
    char b[32];
    std::snprintf(b, sizeof b, "%g", x);
    return std::string(b);
  };
  return text(lo) + ".." + text(hi);
}

bool read_int(const std::string& v, int* x, int lo, int hi, std::string* why) {
  long long n;
  if (!whole(v, &n) || n < lo || n > hi) return *why = "is not a whole number in " + range_text(lo, hi), false;
  *x = (int)n;
  return true;
}
bool read_frames(const std::string& v, int64_t* x, std::string* why) {
  long long n;
  if (!whole(v, &n) || n < 0) return *why = "is not a frame number (0 or more)", false;
  *x = n;
  return true;
}
bool read_double(const std::string& v, double* x, double lo, double hi, std::string* why) {
  char* end = nullptr;
  const double n = std::strtod(v.c_str(), &end);
  if (v.empty() || *end != 0 || !(n >= lo && n <= hi)) return *why = "is not a number in " + range_text(lo, hi), false;
  *x = n;
  return true;
}
bool key_value(const std::string& v, int lo, int* key, std::string* why) {
  if (read_key(v, lo, key)) return true;
  *why = "is not a key (" + std::to_string(lo) + "..127 or a note name such as c4)";
  return false;
}

// Gives region `r` the opcode; false with why the value does not read.
bool apply(const std::string& name, const std::string& v, SfzRegion* r, std::string* why) {
  int key = 0;
  double x = 0;
  if (name == "sample") {
    r->sample = v;
  } else if (name == "lokey" || name == "hikey") {
    if (!key_value(v, -1, &key, why)) return false;
    (name == "lokey" ? r->lokey : r->hikey) = key;
  } else if (name == "key") {
    if (!key_value(v, -1, &key, why)) return false;
    r->lokey = r->hikey = key;
    if (key >= 0) r->keycenter = key, r->keycenter_from_sample = false;
  } else if (name == "pitch_keycenter") {
    if (v == "sample") return r->keycenter_from_sample = true;
    if (!key_value(v, 0, &r->keycenter, why)) return false;
    r->keycenter_from_sample = false;
  } else if (name == "pitch_keytrack") {
    return read_int(v, &r->keytrack, -1200, 1200, why);
  } else if (name == "lovel") {
    return read_int(v, &r->lovel, 0, 127, why);
  } else if (name == "hivel") {
    return read_int(v, &r->hivel, 0, 127, why);
  } else if (name == "tune") {
    return read_double(v, &r->tune, -9600, 9600, why);
  } else if (name == "transpose") {
    return read_int(v, &r->transpose, -127, 127, why);
  } else if (name == "volume") {
    return read_double(v, &r->volume, -144, 48, why);
  } else if (name == "offset") {
    return read_frames(v, &r->offset, why);
  } else if (name == "end") {
    if (v == "-1") return r->on_attack = false, true;  // a region that does not sound
    return read_frames(v, &r->end, why);
  } else if (name == "loop_start" || name == "loopstart") {
    return read_frames(v, &r->loop_start, why);
  } else if (name == "loop_end" || name == "loopend") {
    return read_frames(v, &r->loop_end, why);
  } else if (name == "loop_mode" || name == "loopmode") {
    // The key is held for the whole note, so a loop that lasts while it is
    // held loops throughout.
    if (v == "loop_continuous" || v == "loop_sustain") r->loop_mode = kSfzLoopContinuous;
    else if (v == "no_loop" || v == "one_shot") r->loop_mode = kSfzNoLoop;
    else return *why = "is not a loop mode (no_loop, one_shot, loop_continuous, loop_sustain)", false;
    r->loop_mode_set = true;
  } else if (name == "trigger") {
    if (v == "attack" || v == "first") r->on_attack = true;
    else if (v == "release" || v == "legato" || v == "release_key") r->on_attack = false;
    else return *why = "is not a trigger (attack, release, first, legato, release_key)", false;
  } else if (name.compare(0, 7, "on_locc") == 0 || name.compare(0, 7, "on_hicc") == 0) {
    r->on_attack = false;  // started by a controller, not by the key
  } else if (name.compare(0, 4, "locc") == 0) {
    // Every controller rests at 0: a region that needs one raised (a pedal
    // down) is not what the key alone plays.
    if (!read_double(v, &x, 0, 127, why)) return false;
    if (x > 0) r->on_attack = false;
  } else if (name == "seq_position") {
    if (!read_int(v, &key, 1, 100, why)) return false;
    if (key != 1) r->on_attack = false;  // the first of a round of alternatives
  } else if (name == "lorand") {
    if (!read_double(v, &x, 0, 1, why)) return false;
    if (x > 0) r->on_attack = false;  // the alternative a random draw of 0 picks
  }
  return true;
}

// The text with every $NAME replaced by its definition; false when a name
// is not defined, the text grows past kLongestValue, or what definitions
// added (counted in *added) past kMostPutIn.
bool put_in(const std::map<std::string, std::string>& defines, const std::string& text, std::string* out,
            size_t* added, std::string* why) {
  if (text.find('$') == std::string::npos) return *out = text, true;
  out->clear();
  for (size_t i = 0; i < text.size();) {
    if (text[i] != '$') {
      out->push_back(text[i++]);
      continue;
    }
    size_t e = i + 1;
    while (e < text.size() && (std::isalnum((unsigned char)text[e]) || text[e] == '_')) e++;
    const std::string name = text.substr(i, e - i);
    auto found = defines.find(name);
    if (found == defines.end()) return *why = name + " is not defined", false;
    out->append(found->second);
    *added += found->second.size();
    if (out->size() > kLongestValue) return *why = "is too long once " + name + " is put in", false;
    if (*added > kMostPutIn) return *why = "the #defines add more than 16 MB to the file", false;
    i = e;
  }
  return true;
}

}  // namespace

bool parse_sfz(const std::string& source, std::vector<SfzRegion>* regions, std::string* error) {
  regions->clear();
  std::string text = without_comments(source);
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.replace(0, 3, "   ");
  const size_t n = text.size();
  // Where a fault lies, as the line that holds it.
  auto fail = [&](size_t at, const std::string& what) {
    size_t line = 1;
    for (size_t k = 0; k < at && k < n; k++) line += text[k] == '\n';
    *error = "line " + std::to_string(line) + ": " + what;
    regions->clear();
    return false;
  };
  std::map<std::string, std::string> defines;
  size_t added = 0;
  std::string default_path;
  // Each header's opcodes are given to a region of its own as they are read,
  // the levels below it starting from it; a region starts from its group's.
  enum Level { kNone, kControl, kGlobal, kMaster, kGroup, kRegion };
  SfzRegion levels[kRegion + 1];
  Level level = kNone;
  bool in_region = false;
  auto finish_region = [&]() {
    if (in_region && !levels[kRegion].sample.empty()) {
      regions->push_back(levels[kRegion]);
      regions->back().sample = default_path + regions->back().sample;
    }
    in_region = false;
  };
  size_t i = 0;
  while (i < n) {
    const unsigned char c = (unsigned char)text[i];
    if (std::isspace(c)) {
      i++;
    } else if (c == '<') {
      const size_t close = text.find('>', i);
      if (close == std::string::npos) break;
      const std::string header = text.substr(i + 1, close - i - 1);
      i = close + 1;
      finish_region();
      if (header == "region") level = kRegion, levels[kRegion] = levels[kGroup], in_region = true;
      else if (header == "group") level = kGroup, levels[kGroup] = levels[kMaster];
      else if (header == "master") level = kMaster, levels[kMaster] = levels[kGroup] = levels[kGlobal];
      else if (header == "global")
        level = kGlobal, levels[kGlobal] = levels[kMaster] = levels[kGroup] = SfzRegion();
      else if (header == "control") level = kControl, default_path.clear();
      else level = kNone;  // <curve>, <effect>, ...: not about the regions
    } else if (c == '#') {
      const size_t start = i;
      size_t e = i;
      while (e < n && text[e] != '\n') e++;
      const std::string line = text.substr(i, e - i);
      i = e;
      if (line.compare(0, 8, "#include") == 0) return fail(start, "#include is not followed");
      if (line.compare(0, 7, "#define") != 0) continue;
      size_t a = 7;
      while (a < line.size() && std::isspace((unsigned char)line[a])) a++;
      size_t b = a;
      while (b < line.size() && !std::isspace((unsigned char)line[b])) b++;
      const std::string name = line.substr(a, b - a);
      bool good = name.size() > 1 && name[0] == '$';
      for (size_t k = 1; k < name.size(); k++) good = good && (std::isalnum((unsigned char)name[k]) || name[k] == '_');
      if (!good) return fail(start, "#define needs a $NAME and a value");
      std::string value, why;
      if (!put_in(defines, trimmed(line.substr(b)), &value, &added, &why)) return fail(start, "#define " + name + ": " + why);
      defines[name] = value;
    } else {
      // name=value; a value runs to the line's end, a header, or the blank
      // before the next name= (sample paths may hold blanks).
      size_t name_end = i;
      while (name_end < n && !std::isspace((unsigned char)text[name_end]) && text[name_end] != '=' &&
             text[name_end] != '<')
        name_end++;
      if (name_end >= n || text[name_end] != '=' || name_end == i) {
        i = name_end > i ? name_end : i + 1;  // not an opcode: passed over
        continue;
      }
      const size_t at = i;
      size_t e = name_end + 1;
      size_t value_end = e;
      while (e < n && text[e] != '\n' && text[e] != '\r' && text[e] != '<') {
        if (text[e] == ' ' || text[e] == '\t') {
          size_t w = e;
          while (w < n && (text[w] == ' ' || text[w] == '\t')) w++;
          size_t k = w;
          while (k < n && name_char(text[k])) k++;
          if (k > w && k < n && text[k] == '=') break;
          e = w;
          continue;
        }
        value_end = ++e;
      }
      std::string name, value, why;
      i = e;
      if (!put_in(defines, text.substr(at, name_end - at), &name, &added, &why) ||
          !put_in(defines, text.substr(name_end + 1, value_end - name_end - 1), &value, &added, &why))
        return fail(at, why);
      if (level == kControl) {
        if (name == "default_path") default_path = value;
      } else if (level != kNone) {
        // The levels below this one have no opcodes of their own yet: they
        // take it too.
        for (int l = level; l <= (level == kRegion ? kRegion : kGroup); l++)
          if (!apply(name, value, &levels[l], &why)) return fail(at, name + "=" + value + " " + why);
      }
    }
  }
  finish_region();
  return true;
}

std::vector<const SfzRegion*> sfz_regions(const std::vector<SfzRegion>& regions, int key, int velocity) {
  std::vector<const SfzRegion*> out;
  for (const SfzRegion& r : regions)
    if (r.on_attack && key >= r.lokey && key <= r.hikey && velocity >= r.lovel && velocity <= r.hivel)
      out.push_back(&r);
  return out;
}
