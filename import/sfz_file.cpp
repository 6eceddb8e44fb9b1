// SPDX-License-Identifier: GPL-3.0-or-later
#include "import/sfz_file.h"

#include <cctype>
#include <cstdlib>
#include <utility>

namespace {

using Opcodes = std::vector<std::pair<std::string, std::string>>;

// Comments ("//" to the line's end, "/* */") become blanks.
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

// A key: a number or a note name with octave (c4 = 60).
bool read_key(const std::string& v, int* key) {
  char* end = nullptr;
  long n = std::strtol(v.c_str(), &end, 10);
  if (end != v.c_str() && *end == 0) {
    if (n < 0 || n > 127) return false;
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
  n = std::strtol(v.c_str() + i, &end, 10);
  if (end == v.c_str() + i || *end != 0 || n < -1 || n > 9) return false;
  n = k + 12 * (n + 1);
  if (n < 0 || n > 127) return false;
  *key = (int)n;
  return true;
}

void read_int(const std::string& v, int* x, int lo, int hi) {
  char* end = nullptr;
  long n = std::strtol(v.c_str(), &end, 10);
  if (end != v.c_str() && n >= lo && n <= hi) *x = (int)n;
}
void read_frames(const std::string& v, int64_t* x) {
  char* end = nullptr;
  long long n = std::strtoll(v.c_str(), &end, 10);
  if (end != v.c_str() && n >= 0) *x = n;
}
void read_double(const std::string& v, double* x, double lo, double hi) {
  char* end = nullptr;
  double n = std::strtod(v.c_str(), &end);
  if (end != v.c_str() && n >= lo && n <= hi) *x = n;
}

void apply(const std::string& name, const std::string& v, SfzRegion* r) {
  int key;
  if (name == "sample") r->sample = v;
  else if (name == "lokey") { if (read_key(v, &key)) r->lokey = key; }
  else if (name == "hikey") { if (read_key(v, &key)) r->hikey = key; }
  else if (name == "key") { if (read_key(v, &key)) r->lokey = r->hikey = r->keycenter = key; }
  else if (name == "pitch_keycenter") { if (read_key(v, &key)) r->keycenter = key; }
  else if (name == "pitch_keytrack") read_int(v, &r->keytrack, -1200, 1200);
  else if (name == "lovel") read_int(v, &r->lovel, 0, 127);
  else if (name == "hivel") read_int(v, &r->hivel, 0, 127);
  else if (name == "tune") read_double(v, &r->tune, -9600, 9600);
  else if (name == "transpose") read_int(v, &r->transpose, -127, 127);
  else if (name == "volume") read_double(v, &r->volume, -144, 48);
  else if (name == "offset") read_frames(v, &r->offset);
  else if (name == "end") read_frames(v, &r->end);
  else if (name == "loop_start" || name == "loopstart") read_frames(v, &r->loop_start);
  else if (name == "loop_end" || name == "loopend") read_frames(v, &r->loop_end);
  else if (name == "loop_mode" || name == "loopmode") {
    r->loop_mode_set = true;
    // The key is held for the whole note, so a loop that lasts while it is
    // held loops throughout.
    r->loop_mode = v == "loop_continuous" || v == "loop_sustain" ? kSfzLoopContinuous : kSfzNoLoop;
  } else if (name == "trigger") {
    r->on_attack = v == "attack" || v == "first";
  } else if (name.compare(0, 7, "on_locc") == 0 || name.compare(0, 7, "on_hicc") == 0) {
    r->on_attack = false;  // started by a controller, not by the key
  } else if (name.compare(0, 4, "locc") == 0) {
    // Every controller rests at 0: a region that needs one raised (a pedal
    // down) is not what the key alone plays.
    double lo = 0;
    read_double(v, &lo, 0, 127);
    if (lo > 0) r->on_attack = false;
  } else if (name == "seq_position") {
    int seq = 1;
    read_int(v, &seq, 1, 100);
    if (seq != 1) r->on_attack = false;  // the first of a round of alternatives
  } else if (name == "lorand") {
    double lo = 0;
    read_double(v, &lo, 0, 1);
    if (lo > 0) r->on_attack = false;  // the alternative a random draw of 0 picks
  }
}

}  // namespace

std::vector<SfzRegion> parse_sfz(const std::string& source) {
  const std::string text = without_comments(source);
  std::vector<SfzRegion> regions;
  std::string default_path;
  Opcodes control, global, master, group, region;
  Opcodes* level = nullptr;  // the header whose opcodes are being read
  bool in_region = false;
  auto finish_region = [&]() {
    if (!in_region) return;
    SfzRegion r;
    for (const Opcodes* ops : {&global, &master, &group, &region})
      for (const auto& op : *ops) {
        apply(op.first, op.second, &r);
      }
    if (!r.sample.empty()) regions.push_back(r), regions.back().sample = default_path + r.sample;
    in_region = false;
  };
  size_t i = 0;
  const size_t n = text.size();
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
      if (header == "region") level = &region, region.clear(), in_region = true;
      else if (header == "group") level = &group, group.clear();
      else if (header == "master") level = &master, master.clear(), group.clear();
      else if (header == "global") level = &global, global.clear(), master.clear(), group.clear();
      else if (header == "control") level = &control, default_path.clear();
      else level = nullptr;  // <curve>, <effect>, ...: not about the regions
    } else if (c == '#') {
      while (i < n && text[i] != '\n') i++;  // #define and #include are not followed
    } else {
      // name=value; a value runs to the line's end, a header, or the blank
      // before the next name= (sample paths may hold blanks).
      const size_t eq = text.find('=', i);
      size_t name_end = i;
      while (name_end < n && !std::isspace((unsigned char)text[name_end]) && text[name_end] != '=') name_end++;
      if (eq == std::string::npos || eq != name_end) {
        while (i < n && !std::isspace((unsigned char)text[i])) i++;
        continue;
      }
      const std::string name = text.substr(i, eq - i);
      size_t e = eq + 1;
      size_t value_end = e;
      while (e < n && text[e] != '\n' && text[e] != '\r' && text[e] != '<') {
        if (text[e] == ' ' || text[e] == '\t') {
          size_t w = e;
          while (w < n && (text[w] == ' ' || text[w] == '\t')) w++;
          size_t k = w;
          while (k < n && (std::isalnum((unsigned char)text[k]) || text[k] == '_')) k++;
          if (k > w && k < n && text[k] == '=') break;
          e = w;
          continue;
        }
        value_end = ++e;
      }
      const std::string value = text.substr(eq + 1, value_end - eq - 1);
      i = e;
      if (level == &control) {
        if (name == "default_path") default_path = value;
      } else if (level) {
        level->push_back({name, value});
      }
    }
  }
  finish_region();
  return regions;
}

std::vector<const SfzRegion*> sfz_regions(const std::vector<SfzRegion>& regions, int key, int velocity) {
  std::vector<const SfzRegion*> out;
  for (const SfzRegion& r : regions)
    if (r.on_attack && key >= r.lokey && key <= r.hikey && velocity >= r.lovel && velocity <= r.hivel)
      out.push_back(&r);
  return out;
}
