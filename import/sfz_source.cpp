// SPDX-License-Identifier: GPL-3.0-or-later
#include "import/sfz_source.h"

#include <sndfile.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "core/text_file.h"
#include "import/sfz_file.h"

namespace {

// An SFZ file of more is no instrument description.
constexpr size_t kLargestSfz = 16 << 20;
// A sample of more frames (6 min at 44.1 kHz) is no piano note; the frames
// are read as they decode, so a header that claims more costs nothing.
constexpr int64_t kMostSampleFrames = 1 << 24;
// The samples kept read at once, in bytes; past it the earlier ones are
// read again when needed.
constexpr size_t kMostKeptBytes = 256u << 20;

struct Sample {
  std::vector<float> left, right;
  double rate = 0;
  int root = -1;                           // the key the file says it was recorded at, if it says
  int64_t loop_start = -1, loop_end = -1;  // the file's own loop, end exclusive, if it has one
};

}  // namespace

struct SfzSource {
  std::string folder;  // of the .sfz file, ending in "/"
  std::string real_folder;  // the same with every link followed, ending in "/"
  bool allow_outside = false;
  std::vector<SfzRegion> regions;
  std::map<std::string, Sample> samples;  // read once, by path
  size_t kept_bytes = 0;
  int64_t work_left = kMostRenderWork;
  // The keys some region starts at `covered_velocity`, found once.
  int covered_velocity = -1;
  bool covered[128] = {};
};

namespace {

// False with the reason after the sample's name.
bool read_sample(const std::string& path, Sample* s, std::string* why) {
  if (!regular_file_exists(path)) return *why = "is missing or cannot be read", false;
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return *why = "is missing or cannot be read", false;
  if (info.channels < 1 || info.samplerate < 1000 || info.samplerate > 384000) {
    sf_close(f);
    return *why = "is not a sound file this reads (channels or rate)", false;
  }
  if (info.frames > kMostSampleFrames) {
    sf_close(f);
    return *why = "is longer than " + std::to_string(kMostSampleFrames) + " frames", false;
  }
  s->rate = info.samplerate;
  constexpr sf_count_t kBlock = 4096;
  std::vector<float> block((size_t)(kBlock * info.channels));
  sf_count_t got;
  while ((got = sf_readf_float(f, block.data(), kBlock)) > 0) {
    for (sf_count_t i = 0; i < got; i++) {
      s->left.push_back(block[(size_t)(i * info.channels)]);
      s->right.push_back(block[(size_t)(i * info.channels + (info.channels > 1 ? 1 : 0))]);
    }
    if ((int64_t)s->left.size() > kMostSampleFrames) {
      sf_close(f);
      return *why = "is longer than " + std::to_string(kMostSampleFrames) + " frames", false;
    }
  }
  SF_INSTRUMENT inst{};
  if (sf_command(f, SFC_GET_INSTRUMENT, &inst, sizeof inst) == SF_TRUE) {
    const int root = (unsigned char)inst.basenote;
    if (root <= 127) s->root = root;
    // libsndfile gives the end one past the loop's last frame.
    if (inst.loop_count > 0) s->loop_start = inst.loops[0].start, s->loop_end = inst.loops[0].end;
  }
  sf_close(f);
  if (s->left.empty()) return *why = "has no sound", false;
  return true;
}

// Whether `path` lies inside the folder tree `real_folder`, every link
// followed.
bool inside(const std::string& path, const std::string& real_folder) {
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return false;
  const std::string r = real;
  std::free(real);
  return r.compare(0, real_folder.size(), real_folder) == 0;
}

}  // namespace

namespace {

// A file's text, up to one byte past `most`; false when it cannot be read.
bool read_text(const std::string& path, size_t most, std::string* text) {
  FILE* in = open_regular_file(path.c_str());
  if (!in) return false;
  char buf[65536];
  size_t got;
  text->clear();
  while (text->size() <= most && (got = std::fread(buf, 1, sizeof buf, in)) > 0) text->append(buf, got);
  std::fclose(in);
  return true;
}

// Appends `text` to *out with each line `#include "FILE"` replaced by
// FILE's text, its own #includes put in too. FILE is relative to the
// instrument's folder and must lie inside it unless allow_outside. False
// with the reason; *includes counts the files put in.
bool put_in_includes(const SfzSource* s, const std::string& text, int depth, int* includes, std::string* out,
                     std::string* error) {
  // Deeper or more is a loop of files including each other.
  constexpr int kDeepest = 8, kMostIncludes = 1024;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    const size_t b = text.find_first_not_of(" \t", at);
    if (b < end && text.compare(b, 8, "#include") == 0) {
      const size_t q1 = text.find('"', b + 8), q2 = q1 < end ? text.find('"', q1 + 1) : std::string::npos;
      if (q2 >= end) return *error = "#include needs a \"FILE\"", false;
      std::string name = text.substr(q1 + 1, q2 - q1 - 1);
      std::replace(name.begin(), name.end(), '\\', '/');
      const bool absolute = !name.empty() && name[0] == '/';
      const std::string path = absolute ? name : s->folder + name;
      if (depth >= kDeepest || ++*includes > kMostIncludes)
        return *error = "#include " + name + ": files include each other too often", false;
      if (!s->allow_outside && (absolute || (regular_file_exists(path) && !inside(path, s->real_folder))))
        return *error = "#include " + name + " lies outside the instrument's folder (--allow-outside allows it)", false;
      std::string included;
      if (!read_text(path, kLargestSfz, &included)) return *error = "#include " + name + " cannot be read", false;
      if (!put_in_includes(s, included, depth + 1, includes, out, error)) return false;
      out->push_back('\n');
    } else {
      out->append(text, at, end - at);
    }
    if (out->size() > kLargestSfz) return *error = "is not an SFZ instrument (too large with its #includes)", false;
    at = end;
  }
  return true;
}

}  // namespace

SfzSource* open_sfz_source(const std::string& path, bool allow_outside, std::string* error) {
  std::string text;
  if (!read_text(path, kLargestSfz, &text)) return *error = "cannot be read", nullptr;
  if (text.size() > kLargestSfz) return *error = "is not an SFZ instrument (too large)", nullptr;
  SfzSource* s = new SfzSource;
  const size_t slash = path.rfind('/');
  s->folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  char* real = realpath(s->folder.empty() ? "." : s->folder.c_str(), nullptr);
  if (!real) {
    delete s;
    return *error = "its folder cannot be read", nullptr;
  }
  s->real_folder = real;
  std::free(real);
  if (s->real_folder.back() != '/') s->real_folder += '/';
  s->allow_outside = allow_outside;
  // The files it includes put in, then read as one text (a line number in
  // a reason counts the lines put in).
  std::string whole;
  int includes = 0;
  if (!put_in_includes(s, text, 0, &includes, &whole, error) || !parse_sfz(whole, &s->regions, error)) {
    delete s;
    return nullptr;
  }
  if (s->regions.empty()) {
    delete s;
    return *error = "is not an SFZ instrument (no region with a sample)", nullptr;
  }
  return s;
}

void close_sfz_source(SfzSource* s) { delete s; }

bool sfz_source_has_key(SfzSource* s, int key, int velocity) {
  if (key < 0 || key > 127) return false;
  if (s->covered_velocity != velocity) {
    // Where ranges start and end, then summed along the keys: one pass
    // however many regions.
    int starts[129] = {};
    for (const SfzRegion& r : s->regions)
      if (r.on_attack && velocity >= r.lovel && velocity <= r.hivel && r.lokey <= r.hikey && r.hikey >= 0) {
        starts[std::max(r.lokey, 0)]++;
        starts[r.hikey + 1]--;
      }
    int open = 0;
    for (int k = 0; k < 128; k++) s->covered[k] = (open += starts[k]) > 0;
    s->covered_velocity = velocity;
  }
  return s->covered[key];
}

bool sfz_source_note(SfzSource* s, int play_key, int target_key, int velocity, size_t frames, SourceNote* note,
                     std::string* error) {
  // More is no piano's layering, and each costs a pass over the note.
  constexpr size_t kMostRegions = 32;
  std::vector<const SfzRegion*> regions = sfz_regions(s->regions, play_key, velocity);
  if (regions.empty()) return *error = "no region for key " + std::to_string(play_key), false;
  if (regions.size() > kMostRegions)
    return *error = "key " + std::to_string(play_key) + " starts more than " + std::to_string(kMostRegions) +
                    " regions",
           false;
  note->left.assign(frames, 0.0f);
  note->right.assign(frames, 0.0f);
  double loudest = -1e9;
  for (const SfzRegion* r : regions) {
    std::string name = r->sample;
    std::replace(name.begin(), name.end(), '\\', '/');
    const bool absolute = !name.empty() && name[0] == '/';
    const std::string path = absolute ? name : s->folder + name;
    if (!s->allow_outside && (absolute || (regular_file_exists(path) && !inside(path, s->real_folder))))
      return *error = "sample " + name + " lies outside the instrument's folder (--allow-outside allows it)", false;
    auto found = s->samples.find(path);
    if (found == s->samples.end()) {
      Sample sample;
      std::string why;
      if (!read_sample(path, &sample, &why)) return *error = "sample " + name + " " + why, false;
      const size_t bytes = sample.left.size() * 2 * sizeof(float);
      if (s->kept_bytes + bytes > kMostKeptBytes) s->samples.clear(), s->kept_bytes = 0;
      s->kept_bytes += bytes;
      found = s->samples.emplace(path, std::move(sample)).first;
    }
    const Sample& sample = found->second;
    const int center = r->keycenter_from_sample && sample.root >= 0 ? sample.root
                       : r->keycenter_from_sample                  ? 60
                                                                   : r->keycenter;
    const double cents = (double)r->keytrack * (target_key - center) + 100.0 * r->transpose + r->tune;
    const double ratio = sample.rate / kSetRate * std::pow(2.0, cents / 1200.0);
    if (!ratio_allowed(ratio, target_key, name, error)) return false;
    const int64_t count = (int64_t)sample.left.size();
    const int64_t first = std::min(r->offset, count);
    const int64_t last = r->end >= 0 ? std::min(r->end + 1, count) : count;  // "end" is the last frame played
    if (last <= first) continue;
    const float gain = (float)std::pow(10.0, r->volume / 20.0);
    const int64_t wanted = (int64_t)std::ceil((double)frames * ratio) + 16;
    if (!spend_render_work(&s->work_left, wanted, target_key, error)) return false;
    // The region's frames, its loop repeated as long as the key is held.
    // The opcode names the loop's last frame; the file's loop ends one past.
    const bool loops = r->loop_mode_set ? r->loop_mode == kSfzLoopContinuous : sample.loop_start >= 0;
    const int64_t loop_start = (r->loop_start >= 0 ? r->loop_start : sample.loop_start) - first;
    const int64_t loop_end = (r->loop_end >= 0 ? r->loop_end + 1 : sample.loop_end) - first;
    const bool looped = loops && loop_start >= 0 && loop_end > loop_start && loop_end <= last - first;
    const int64_t head = std::min(looped ? loop_end : last - first, wanted);
    std::vector<float> l(sample.left.begin() + first, sample.left.begin() + first + head);
    std::vector<float> rr(sample.right.begin() + first, sample.right.begin() + first + head);
    if (looped) {
      const size_t from = (size_t)loop_start, to = (size_t)loop_end;
      while ((int64_t)l.size() < wanted)
        for (size_t i = from; i < to && (int64_t)l.size() < wanted; i++) l.push_back(l[i]), rr.push_back(rr[i]);
    }
    for (size_t i = 0; i < l.size(); i++) l[i] *= gain, rr[i] *= gain;
    add_pitched(l.data(), rr.data(), l.size(), ratio, frames, note->left.data(), note->right.data());
    if (r->volume > loudest) {
      loudest = r->volume;
      note->sample = name;
      note->root = center;
    }
  }
  return true;
}
