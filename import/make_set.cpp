// SPDX-License-Identifier: GPL-3.0-or-later
#include "import/make_set.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/paths.h"
#include "import/piano_source.h"
#include "import/set_files.h"

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

}  // namespace

std::string make_sample_set(const MakeSetRequest& request, FILE* out, bool bar) {
  std::string error;
  PianoSource* source = open_piano_source(request.source, request.bank, request.program, &error);
  if (!source) return request.source + ": " + error;
  std::vector<SourceNote> notes(kSamplesPerSet);
  std::vector<std::string> lines(kSamplesPerSet);
  progress(out, bar, 0, "");
  for (int w = 0; w < kSamplesPerSet && error.empty(); w++) {
    const int key = sample_number(w);
    // Sample 12 lies below most pianos: it comes from their lowest sample.
    const int play = w == 0 ? source_lowest_key(source, request.velocity) : key;
    if (play < 0 || !source_has_key(source, play, request.velocity)) {
      error = request.source + ": no region for key " + std::to_string(key) + " at velocity " +
              std::to_string(request.velocity);
      break;
    }
    if (!source_note(source, play, key, request.velocity, kRenderFrames, &notes[w], &error)) {
      error = request.source + ": " + error;
      break;
    }
    if (peak_of(notes[w]) <= 0) {
      error = request.source + ": key " + std::to_string(key) + " is silent at velocity " +
              std::to_string(request.velocity);
      break;
    }
    trim(&notes[w]);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, ", %.1f s", (double)notes[w].left.size() / kSetRate);
    lines[w] = request.names[w] + ": " + origin(notes[w], key, w == 0) + seconds;
    progress(out, bar, w + 1, lines[w]);
  }
  close_piano_source(source);
  if (!error.empty()) {
    if (bar) progress(out, false, kSamplesPerSet, "");
    return error;
  }
  const double gain = set_gain(notes);
  if (gain <= 0) return request.source + ": the notes are silent";

  // Every file under a temporary name first; the set changes only when all
  // nine are complete.
  if (!make_folders(request.folder)) return "cannot make the folder " + request.folder;
  std::vector<std::string> parts;
  for (int w = 0; w < kSamplesPerSet && error.empty(); w++) {
    const std::string part = request.folder + request.names[w] + ".part";
    std::vector<int16_t> pcm = pcm_of(notes[w], gain);
    if (request.mp3 ? write_mp3_file(part, pcm) : write_wav_file(part, pcm)) parts.push_back(part);
    else error = "cannot write " + part;
  }
  for (int w = 0; w < (int)parts.size() && error.empty(); w++)
    if (std::rename(parts[w].c_str(), (request.folder + request.names[w]).c_str()) != 0)
      error = "cannot write " + request.folder + request.names[w];
  for (const std::string& part : parts) std::remove(part.c_str());
  if (!error.empty()) return error;
  // The other form would be found first (MP3) or left behind (WAV).
  for (const std::string& other : request.others)
    if (!other.empty()) std::remove((request.folder + other).c_str());
  return "";
}
