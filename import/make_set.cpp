// SPDX-License-Identifier: GPL-3.0-or-later
#include "import/make_set.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/paths.h"
#include "import/piano_source.h"
#include "import/set_files.h"
#include "import/set_replace.h"

namespace {

constexpr size_t kMaxFrames = 16 * kSetRate;    // a file holds 16 s at most
constexpr size_t kRenderFrames = 17 * kSetRate;  // a second more, for what precedes the onset
constexpr double kOnsetLevel = 0.01;            // -40 dB of the peak: the note has begun
constexpr size_t kLeadFrames = kSetRate / 2000;  // 0.5 ms kept before it, faded in
constexpr double kTailLevel = 3.1623e-5;        // -90 dB of the peak: the note has ended
constexpr size_t kShortFade = kSetRate / 100;   // 10 ms to close a note that has faded out
constexpr size_t kLongFade = kSetRate / 2;      // 0.5 s to close one cut at 16 s
constexpr double kTargetRms = 0.125;  // -18 dBFS mean power over the first second of samples 36..84
constexpr double kPeakCeiling = 0.944;  // -0.5 dBFS: the loudest sample of the set stays below this

double peak_of(const SourceNote& n) {
  double p = 0;
  for (size_t i = 0; i < n.left.size(); i++) p = std::max(p, (double)std::max(std::fabs(n.left[i]), std::fabs(n.right[i])));
  return p;
}

// Starts the note at its onset (0.5 ms before it reaches -40 dB of its peak,
// faded in from silence) and ends it where it has faded below -90 dB or at
// 16 s, faded out. Returns whether it was cut at 16 s.
bool trim(SourceNote* n) {
  const double peak = peak_of(*n);
  auto loud = [&](size_t i, double level) {
    return std::fabs(n->left[i]) >= level * peak || std::fabs(n->right[i]) >= level * peak;
  };
  size_t onset = 0;
  while (onset < n->left.size() && !loud(onset, kOnsetLevel)) onset++;
  const size_t start = onset > kLeadFrames ? onset - kLeadFrames : 0;
  size_t end = n->left.size();
  while (end > start && !loud(end - 1, kTailLevel)) end--;
  const bool cut = end - start > kMaxFrames;
  end = std::min(end, start + kMaxFrames);
  n->left.assign(n->left.begin() + (long)start, n->left.begin() + (long)end);
  n->right.assign(n->right.begin() + (long)start, n->right.begin() + (long)end);
  const size_t frames = n->left.size();
  auto ramp = [](size_t i, size_t length) { return 0.5 - 0.5 * std::cos(M_PI * (i + 0.5) / length); };
  const size_t in = std::min(onset - start, frames);
  for (size_t i = 0; i < in; i++) n->left[i] *= (float)ramp(i, in), n->right[i] *= (float)ramp(i, in);
  const size_t out = std::min(cut ? kLongFade : kShortFade, frames / 4);
  for (size_t i = 0; i < out; i++) {
    const float g = (float)ramp(i, out);
    n->left[frames - 1 - i] *= g;
    n->right[frames - 1 - i] *= g;
  }
  return cut;
}

// One gain for the set: its middle samples' first second at a common mean
// power, unless that would take its loudest sample above the ceiling.
double set_gain(const std::vector<SourceNote>& notes) {
  double power = 0, peak = 0;
  size_t count = 0;
  for (int w = 2; w <= 6; w++) {
    const SourceNote& n = notes[w];
    const size_t frames = std::min(n.left.size(), (size_t)kSetRate);
    for (size_t i = 0; i < frames; i++) power += n.left[i] * n.left[i] + n.right[i] * n.right[i];
    count += 2 * frames;
  }
  for (const SourceNote& n : notes) peak = std::max(peak, peak_of(n));
  const double rms = std::sqrt(power / (double)std::max<size_t>(count, 1));
  if (peak <= 0) return 0;
  return rms > 0 ? std::min(kTargetRms / rms, kPeakCeiling / peak) : kPeakCeiling / peak;
}

std::vector<int16_t> pcm_of(const SourceNote& n, double gain) {
  std::vector<int16_t> pcm(2 * n.left.size());
  for (size_t i = 0; i < n.left.size(); i++) {
    const float* ch[2] = {n.left.data(), n.right.data()};
    for (int c = 0; c < 2; c++) {
      const long s = std::lrint(ch[c][i] * gain * 32767.0);
      pcm[2 * i + c] = (int16_t)std::clamp(s, -32768L, 32767L);
    }
  }
  return pcm;
}

bool folder_exists(const std::string& folder) {
  struct stat st;
  return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// What the line of one file says about where its note comes from.
std::string origin(const SourceNote& n, int key, bool lowest) {
  std::string text = "key " + std::to_string(key);
  if (lowest) text += " (below most pianos) from the lowest sample, ";
  else text += " from ";
  text += n.sample + " (root " + std::to_string(n.root);
  const int move = key - n.root;
  if (move != 0) text += ", pitched " + std::string(move > 0 ? "+" : "") + std::to_string(move);
  return text + ")";
}

void progress(FILE* out, bool bar, int done, const std::string& line) {
  if (bar) std::fputs("\r\033[K", out);
  if (!line.empty()) std::fprintf(out, "%s\n", line.c_str());
  if (bar && done < kSamplesPerSet)
    std::fprintf(out, "[%s%s] %d/%d", std::string(done, '#').c_str(), std::string(kSamplesPerSet - done, '.').c_str(),
                 done, kSamplesPerSet);
  std::fflush(out);
}

// The keys to play for `key`, nearest first: the key itself, then outward,
// the one nearer the middle of the keyboard first.
std::vector<int> keys_near(int key) {
  std::vector<int> keys{key};
  for (int d = 1; d < 128; d++)
    for (int k : {key > 60 ? key - d : key + d, key > 60 ? key + d : key - d})
      if (k >= 0 && k < 128) keys.push_back(k);
  return keys;
}

// Renders the note for sample w into *note: the key itself, or where the
// source leaves it silent or plays no note there, the nearest key that
// sounds, moved to the key's pitch. *why says which stood in and why. False
// with the reason when no key near it sounds or the source cannot play it.
bool render_key(PianoSource* source, int w, int velocity, SourceNote* note, std::string* why, std::string* error) {
  // Silent keys tried before giving up; each costs one note's render.
  constexpr int kMostSilent = 8;
  const int key = sample_number(w);
  std::vector<int> keys = keys_near(key);
  // Sample 12 lies below most pianos: it comes from their lowest sample.
  if (w == 0) {
    const int lowest = source_lowest_key(source, velocity);
    if (lowest >= 0) keys.insert(keys.begin(), lowest);
  }
  bool own_silent = false;
  int silent = 0;
  for (int play : keys) {
    if (!source_has_key(source, play, velocity)) continue;
    if (!source_note(source, play, key, velocity, kRenderFrames, note, error)) return false;
    if (peak_of(*note) > 0) {
      why->clear();
      if (play != key && !(w == 0 && play == keys[0]))
        *why = ", played by key " + std::to_string(play) + ": the source " +
               (own_silent ? "is silent at key " + std::to_string(key)
                           : "has no key " + std::to_string(key)) +
               " at velocity " + std::to_string(velocity);
      return true;
    }
    own_silent = own_silent || play == key;
    if (++silent >= kMostSilent) break;
  }
  *error = "no key near " + std::to_string(key) + " sounds at velocity " + std::to_string(velocity);
  return false;
}

}  // namespace

std::string make_sample_set(const MakeSetRequest& request, FILE* out, bool bar) {
  std::vector<std::string> names(request.names, request.names + kSamplesPerSet), others;
  for (const std::string& other : request.others)
    if (!other.empty()) others.push_back(other);
  // A run killed while it replaced the set is put right first, whatever
  // this one does.
  std::string error;
  if (folder_exists(request.folder) &&
      (!recover_set_files(request.folder, names[0], names, &error) ||
       (!others.empty() && !recover_set_files(request.folder, others[0], others, &error))))
    return error;
  PianoSource* source =
      open_piano_source(request.source, request.bank, request.program, request.allow_outside, &error);
  if (!source) return request.source + ": " + error;
  std::vector<SourceNote> notes(kSamplesPerSet);
  std::vector<std::string> lines(kSamplesPerSet);
  progress(out, bar, 0, "");
  for (int w = 0; w < kSamplesPerSet && error.empty(); w++) {
    const int key = sample_number(w);
    std::string why;
    if (!render_key(source, w, request.velocity, &notes[w], &why, &error)) {
      error = request.source + ": " + error;
      break;
    }
    trim(&notes[w]);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, ", %.1f s", (double)notes[w].left.size() / kSetRate);
    lines[w] = request.names[w] + ": " + origin(notes[w], key, w == 0) + why + seconds;
    progress(out, bar, w + 1, lines[w]);
  }
  close_piano_source(source);
  if (!error.empty()) return error;
  const double gain = set_gain(notes);
  if (gain <= 0) return request.source + ": the notes are silent";

  // Every file under a temporary name first; the set changes as a whole
  // only when all nine are complete.
  if (!make_folders(request.folder)) return "cannot make the folder " + request.folder;
  for (int w = 0; w < kSamplesPerSet && error.empty(); w++) {
    const std::string part = request.folder + new_file_name(request.names[w]);
    std::vector<int16_t> pcm = pcm_of(notes[w], gain);
    if (!(request.mp3 ? write_mp3_file(part, pcm) : write_wav_file(part, pcm))) error = "cannot write " + part;
  }
  if (!error.empty()) {
    for (const std::string& name : names) unlink((request.folder + new_file_name(name)).c_str());
    return error;
  }
  // The other form would be found first (MP3) or left behind (WAV).
  if (!replace_set_files(request.folder, names, others, &error)) return error;
  return "";
}
