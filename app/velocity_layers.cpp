// SPDX-License-Identifier: GPL-3.0-or-later
// layers.txt, the chains of louder sets, and their waves while loaded.
#include "app/velocity_layers.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "core/settings_values.h"
#include "core/text_file.h"
#include "effects/sample_pass.h"
#include "engine/fbs.h"
#include "midi/voice_layers.h"

namespace {

// Bytes of a layers file that are read: far more than 15 pairs need.
constexpr size_t kLayersFileMost = 1 << 16;

bool whole_field(const std::string& text, int lo, int hi, int* value) {
  if (text.empty() || text.size() > 4) return false;
  char* end = nullptr;
  long n = std::strtol(text.c_str(), &end, 10);
  if (*end != 0 || n < lo || n > hi) return false;
  *value = (int)n;
  return true;
}

// The text of a file, at most `most` bytes; empty when it cannot be read.
std::string file_text(const std::string& path, size_t most) {
  FILE* f = open_regular_file(path.c_str());
  if (!f) return "";
  std::string text(most, '\0');
  size_t n = std::fread(&text[0], 1, most, f);
  std::fclose(f);
  text.resize(n);
  return text;
}

// The line of `base` among the pairs, or null.
const LayerLine* line_of(const std::vector<LayerLine>& lines, int base) {
  for (const LayerLine& line : lines)
    if (line.base == base) return &line;
  return nullptr;
}

}  // namespace

std::vector<LayerLine> parse_layers_text(const std::string& text, const std::string& name,
                                         std::vector<std::string>* bad) {
  std::vector<LayerLine> pairs;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    number++;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t hash = line.find('#');
    std::istringstream fields(line.substr(0, hash));
    std::vector<std::string> words;
    std::string word;
    while (fields >> word && words.size() < 5) words.push_back(word);
    if (words.empty()) continue;  // blank or a comment
    std::string fault;
    LayerLine pair = {};
    if (words.size() != 4)
      fault = "not BASE LOUD FROM TO";
    else if (!whole_field(words[0], 0, kSetCount - 1, &pair.base) ||
             !whole_field(words[1], 0, kSetCount - 1, &pair.loud))
      fault = "a set is not 0..14";
    else if (pair.base == pair.loud)
      fault = "a set cannot be its own loud layer";
    else if (!whole_field(words[2], 0, 127, &pair.from) || !whole_field(words[3], 0, 127, &pair.to) ||
             pair.from > pair.to)
      fault = "the zone is not FROM TO with 0 <= FROM <= TO <= 127";
    else if (line_of(pairs, pair.base) != nullptr)
      fault = "set " + words[0] + " has a loud layer already";
    if (fault.empty()) {
      pairs.push_back(pair);
    } else if (bad != nullptr) {
      bad->push_back(name + ":" + std::to_string(number) + ": " + fault + ", line skipped");
    }
  }
  return pairs;
}

std::vector<LayerLine> read_layers_file(const std::string& folder) {
  std::string path = folder + kLayersFileName;
  std::vector<std::string> bad;
  std::vector<LayerLine> pairs = parse_layers_text(file_text(path, kLayersFileMost), path, &bad);
  for (const std::string& line : bad) std::fprintf(stderr, "quillon_darvo: %s\n", line.c_str());
  return pairs;
}

LayerChain layer_chain(int set, const SoundFolders& folders) {
  LayerChain chain;
  chain.sets[0] = set;
  std::vector<LayerLine> pairs = read_layers_file(folders.shipped);
  if (!folders.user.empty()) {
    // The user's lines replace the shipped ones of the same set.
    for (const LayerLine& line : read_layers_file(folders.user)) {
      bool replaced = false;
      for (LayerLine& shipped : pairs)
        if (shipped.base == line.base) shipped = line, replaced = true;
      if (!replaced) pairs.push_back(line);
    }
  }
  while (chain.count < kLayersMost) {
    const LayerLine* line = line_of(pairs, chain.sets[chain.count - 1]);
    if (line == nullptr || !sample_set_complete(line->loud, folders)) break;
    bool again = false;
    for (int l = 0; l < chain.count; l++) again = again || chain.sets[l] == line->loud;
    if (again) {
      std::fprintf(stderr, "quillon_darvo: layers.txt: set %d comes back in its own chain of layers\n",
                   line->loud);
      break;
    }
    if (chain.count >= 2 && line->from < chain.zones[chain.count - 2].to) {
      std::fprintf(stderr, "quillon_darvo: layers.txt: the zone of set %d overlaps the zone below it\n",
                   line->loud);
      break;
    }
    chain.sets[chain.count] = line->loud;
    chain.zones[chain.count - 1] = {line->from, line->to};
    chain.count++;
  }
  return chain;
}

std::string declare_loud_layer(const std::string& folder, int base, int loud, int from, int to) {
  std::string path = folder + kLayersFileName;
  std::string old = file_text(path, kLayersFileMost);
  std::string text;
  std::istringstream in(old);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> unused;
    std::string bare = line;
    if (!bare.empty() && bare.back() == '\r') bare.pop_back();
    // The earlier line for `base` goes; every other line stays as it was.
    std::vector<LayerLine> pair = parse_layers_text(bare, path, &unused);
    if (pair.size() == 1 && pair[0].base == base) continue;
    text += bare + "\n";
  }
  if (text.empty()) text = "# BASE LOUD FROM TO: set LOUD is the loud layer of set BASE, crossfaded over velocities FROM..TO\n";
  text += std::to_string(base) + " " + std::to_string(loud) + " " + std::to_string(from) + " " +
          std::to_string(to) + "\n";
  if (!replace_file(path, text)) return "cannot write " + path;
  return "";
}

// ---- Loaded layers ----

LayerChain loaded_layers;
int layer_waves[kLayersMost - 1][kSamplesPerSet] = {
    {-1, -1, -1, -1, -1, -1, -1, -1, -1},
    {-1, -1, -1, -1, -1, -1, -1, -1, -1},
    {-1, -1, -1, -1, -1, -1, -1, -1, -1},
};

void drop_layer_waves() {
  for (int l = 1; l < kLayersMost; l++) {
    for (int w = 0; w < kSamplesPerSet; w++)
      if (layer_waves[l - 1][w] >= 0) FBS_DESTROY_WAVE(&layer_waves[l - 1][w]);
    for (int w = 0; w < kSamplesPerSet; w++) layer_waves[l - 1][w] = -1;
    copy_unfiltered_layer(l, layer_waves[l - 1]);
  }
  loaded_layers = LayerChain();
}

void set_up_layers(int base, const int base_waves[kSamplesPerSet], const SoundFolders& folders) {
  LayerChain want;
  want.sets[0] = base;
  if (velocity_layers.load() == 1) want = layer_chain(base, folders);
  bool same = want.count == loaded_layers.count;
  for (int l = 0; l < want.count && same; l++) same = want.sets[l] == loaded_layers.sets[l];
  if (same) {
    want.match = loaded_layers.match;
    loaded_layers = want;  // the zones may have changed
    return;
  }
  drop_layer_waves();
  for (int l = 1; l < want.count; l++) {
    std::string failure = load_sample_set(want.sets[l], layer_waves[l - 1], folders);
    if (!failure.empty()) {
      std::fprintf(stderr, "quillon_darvo: %s: set %d plays without its loud layer %d\n", failure.c_str(),
                   want.sets[l - 1], want.sets[l]);
      want.count = l;
      break;
    }
    copy_unfiltered_layer(l, layer_waves[l - 1]);
  }
  int waves[kLayersMost][kSamplesPerSet];
  for (int w = 0; w < kSamplesPerSet; w++) waves[0][w] = base_waves[w];
  for (int l = 1; l < kLayersMost; l++)
    for (int w = 0; w < kSamplesPerSet; w++) waves[l][w] = layer_waves[l - 1][w];
  want.match = measure_layers(waves, want.count);
  loaded_layers = want;
}

namespace {

// The first 300 ms of a wave's values, or none.
bool wave_start(int wave, const int16_t** data, long* count) {
  void* begin = nullptr;
  void* end = nullptr;
  int32_t channels = 0;
  if (wave < 0 || !FBS_GET_WAVEPOINTERS(wave, &begin, &end, &channels) || channels < 1) return false;
  long values = (long)((char*)end - (char*)begin) / 2;
  long wanted = (long)(0.3 * FBS_GET_PLUGRATE()) * channels;
  *data = (const int16_t*)begin;
  *count = values < wanted ? values : wanted;
  return *count > 0;
}

}  // namespace

LayerMatch measure_layers(const int (*waves)[kSamplesPerSet], int count) {
  LayerMatch match = unmatched_layers();
  for (int l = 1; l < count && l < kLayersMost; l++) {
    for (int w = 0; w < kSamplesPerSet; w++) {
      const int16_t* soft = nullptr;
      const int16_t* loud = nullptr;
      long n_soft = 0, n_loud = 0;
      match.gain[l][w] = match.gain[l - 1][w];
      if (!wave_start(waves[l - 1][w], &soft, &n_soft) || !wave_start(waves[l][w], &loud, &n_loud)) continue;
      long n = n_soft < n_loud ? n_soft : n_loud;
      double ss = 0, ll = 0, sl = 0;
      for (long i = 0; i < n; i++) {
        ss += (double)soft[i] * soft[i];
        ll += (double)loud[i] * loud[i];
        sl += (double)soft[i] * loud[i];
      }
      if (ss <= 0 || ll <= 0) continue;
      match.gain[l][w] = (float)(match.gain[l - 1][w] * std::sqrt(ss / ll));
      // Held within -0.5..1, where the scale of layer_factors stays finite.
      double c = sl / std::sqrt(ss * ll);
      match.coherence[l - 1][w] = (float)(c < -0.5 ? -0.5 : (c > 1 ? 1 : c));
    }
  }
  return match;
}

std::string attach_layer_sounds() {
  int failed_layer = 0, failed_wave = 0, failed_sound = 0;
  if (voice_layers_attach(layer_waves, loaded_layers.zones, loaded_layers.match, loaded_layers.count - 1, &failed_layer,
                          &failed_wave, &failed_sound))
    return "";
  return "error create sound " + std::to_string(failed_layer) + "," + std::to_string(failed_wave) + "," +
         std::to_string(failed_sound);
}

std::string layered_set_name(int set) {
  std::string name = sample_set_prefix(set < 0 ? 0 : set);
  if (!voice_layers_playing() || loaded_layers.sets[0] != set) return name;
  for (int l = 1; l < loaded_layers.count; l++) name += "+" + std::to_string(loaded_layers.sets[l]);
  return name;
}

bool toggle_velocity_layers(int loaded_set) {
  velocity_layers = velocity_layers.load() == 1 ? 0 : 1;
  return velocity_layers.load() == 1 && loaded_set >= 0 && loaded_layers.count == 1 &&
         layer_chain(loaded_set).count > 1;
}
