// SPDX-License-Identifier: GPL-3.0-or-later
#include "import/sfz_source.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "core/text_file.h"
#include "import/sfz_file.h"

namespace {

// An SFZ file of more is no instrument description.
constexpr size_t kLargestSfz = 16 << 20;

struct Sample {
  std::vector<float> left, right;
  double rate = 0;
  int64_t loop_start = -1, loop_end = -1;  // the file's own loop, if it has one
};

}  // namespace

struct SfzSource {
  std::string folder;  // of the .sfz file, ending in "/"
  std::vector<SfzRegion> regions;
  std::map<std::string, Sample> samples;  // read once, by path
};

namespace {

bool read_sample(const std::string& path, Sample* s) {
  if (!regular_file_exists(path)) return false;
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return false;
  bool ok = info.channels >= 1 && info.frames > 0 && info.samplerate > 0;
  if (ok) {
    std::vector<float> all((size_t)info.frames * info.channels);
    const sf_count_t got = sf_readf_float(f, all.data(), info.frames);
    s->rate = info.samplerate;
    s->left.resize((size_t)got);
    s->right.resize((size_t)got);
    for (sf_count_t i = 0; i < got; i++) {
      s->left[i] = all[i * info.channels];
      s->right[i] = all[i * info.channels + (info.channels > 1 ? 1 : 0)];
    }
    SF_INSTRUMENT inst{};
    if (sf_command(f, SFC_GET_INSTRUMENT, &inst, sizeof inst) == SF_TRUE && inst.loop_count > 0) {
      s->loop_start = inst.loops[0].start;
      s->loop_end = inst.loops[0].end;
    }
    ok = got > 0;
  }
  sf_close(f);
  return ok;
}

}  // namespace

SfzSource* open_sfz_source(const std::string& path, std::string* error) {
  FILE* in = open_regular_file(path.c_str());
  if (!in) return *error = "cannot be read", nullptr;
  std::string text;
  char buf[65536];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, in)) > 0 && text.size() <= kLargestSfz) text.append(buf, got);
  std::fclose(in);
  if (text.size() > kLargestSfz) return *error = "is not an SFZ instrument (too large)", nullptr;
  SfzSource* s = new SfzSource;
  s->regions = parse_sfz(text);
  if (s->regions.empty()) {
    delete s;
    return *error = "is not an SFZ instrument (no region with a sample)", nullptr;
  }
  const size_t slash = path.rfind('/');
  s->folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  return s;
}

void close_sfz_source(SfzSource* s) { delete s; }

bool sfz_source_has_key(SfzSource* s, int key, int velocity) { return !sfz_regions(s->regions, key, velocity).empty(); }

bool sfz_source_note(SfzSource* s, int play_key, int target_key, int velocity, size_t frames, SourceNote* note,
                     std::string* error) {
  std::vector<const SfzRegion*> regions = sfz_regions(s->regions, play_key, velocity);
  if (regions.empty()) return *error = "no region for key " + std::to_string(play_key), false;
  note->left.assign(frames, 0.0f);
  note->right.assign(frames, 0.0f);
  double loudest = -1e9;
  for (const SfzRegion* r : regions) {
    std::string name = r->sample;
    std::replace(name.begin(), name.end(), '\\', '/');
    const std::string path = !name.empty() && name[0] == '/' ? name : s->folder + name;
    auto found = s->samples.find(path);
    if (found == s->samples.end()) {
      Sample sample;
      if (!read_sample(path, &sample)) return *error = "sample " + name + " is missing or cannot be read", false;
      found = s->samples.emplace(path, std::move(sample)).first;
    }
    const Sample& sample = found->second;
    const int64_t count = (int64_t)sample.left.size();
    const int64_t first = std::min(r->offset, count);
    const int64_t last = r->end >= 0 ? std::min(r->end + 1, count) : count;  // "end" is the last frame played
    if (last <= first) continue;
    const double cents = (double)r->keytrack * (target_key - r->keycenter) + 100.0 * r->transpose + r->tune;
    const double ratio = sample.rate / kSetRate * std::pow(2.0, cents / 1200.0);
    const float gain = (float)std::pow(10.0, r->volume / 20.0);
    // The region's frames, its loop repeated as long as the key is held.
    std::vector<float> l(sample.left.begin() + first, sample.left.begin() + last);
    std::vector<float> rr(sample.right.begin() + first, sample.right.begin() + last);
    const bool loops = r->loop_mode_set ? r->loop_mode == kSfzLoopContinuous : sample.loop_start >= 0;
    const int64_t loop_start = (r->loop_start >= 0 ? r->loop_start : sample.loop_start) - first;
    const int64_t loop_end = (r->loop_end >= 0 ? r->loop_end : sample.loop_end) + 1 - first;
    const size_t wanted = (size_t)std::ceil(frames * ratio) + 16;
    if (loops && loop_start >= 0 && loop_end > loop_start && loop_end <= (int64_t)l.size()) {
      l.resize((size_t)loop_end);
      rr.resize((size_t)loop_end);
      while (l.size() < wanted) {
        const size_t from = (size_t)loop_start, to = (size_t)loop_end;
        for (size_t i = from; i < to && l.size() < wanted; i++) l.push_back(l[i]), rr.push_back(rr[i]);
      }
    }
    for (size_t i = 0; i < l.size(); i++) l[i] *= gain, rr[i] *= gain;
    add_pitched(l.data(), rr.data(), l.size(), ratio, frames, note->left.data(), note->right.data());
    if (r->volume > loudest) {
      loudest = r->volume;
      note->sample = name;
      note->root = r->keycenter;
    }
  }
  return true;
}
