// SPDX-License-Identifier: GPL-3.0-or-later
// SoundFont preset layer: the RIFF walk, the nine tables of the "pdta"
// list, their cross-checks, and the zone rules that pick a key's samples.
#include "import/sf2_file.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "core/text_file.h"

namespace {

// Generator numbers of the SoundFont 2 format.
enum : uint16_t {
  kGenInstrument = 41,
  kGenKeyRange = 43,
  kGenVelRange = 44,
  kGenAttenuation = 48,
  kGenCoarseTune = 51,
  kGenFineTune = 52,
  kGenSampleId = 53,
  kGenScaleTuning = 56,
  kGenRootKey = 58,
  kGenCount = 61,
};

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
uint16_t le16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }

std::string record_name(const uint8_t* p) {
  size_t n = 0;
  while (n < 20 && p[n]) n++;
  return std::string((const char*)p, n);
}

struct Chunk {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// The sub-chunk `id` of a list body, or an empty chunk.
Chunk find_chunk(const uint8_t* data, size_t size, const char* id) {
  size_t pos = 0;
  while (size - pos >= 8) {
    size_t body = le32(data + pos + 4);
    if (body > size - pos - 8) return {};
    if (std::memcmp(data + pos, id, 4) == 0) return {data + pos + 8, body};
    pos += 8 + body + (body & 1);
    if (pos > size) return {};
  }
  return {};
}

// A table of fixed-size records: false unless the chunk holds a whole number
// of them, at least `least`.
bool table(const uint8_t* data, size_t size, const char* id, size_t record, size_t least, Chunk* out,
           size_t* count) {
  *out = find_chunk(data, size, id);
  if (out->data == nullptr || out->size % record != 0 || out->size / record < least) return false;
  *count = out->size / record;
  return true;
}

// Zone indices (bags) must rise to the table's end; generator indices of the
// bags likewise.
template <typename T>
bool rising(const std::vector<T>& v, uint32_t (*index)(const T&), size_t limit) {
  for (size_t i = 0; i < v.size(); i++) {
    if (index(v[i]) > limit) return false;
    if (i > 0 && index(v[i]) < index(v[i - 1])) return false;
  }
  return true;
}
uint32_t same(const uint32_t& x) { return x; }
uint32_t preset_zone(const Sf2Preset& p) { return p.first_zone; }
uint32_t instrument_zone(const Sf2Instrument& i) { return i.first_zone; }

// The generators of one zone, layered over a global zone.
struct ZoneValues {
  int16_t value[kGenCount];
  bool set[kGenCount];
};

void clear_values(ZoneValues* z) { std::memset(z, 0, sizeof *z); }

void add_generators(const std::vector<Sf2Generator>& gens, uint32_t first, uint32_t end, ZoneValues* z) {
  for (uint32_t g = first; g < end; g++) {
    if (gens[g].oper >= kGenCount) continue;
    z->value[gens[g].oper] = gens[g].amount;
    z->set[gens[g].oper] = true;
  }
}

int value_or(const ZoneValues& z, uint16_t oper, int fallback) { return z.set[oper] ? z.value[oper] : fallback; }

bool in_range(const ZoneValues& z, uint16_t oper, int x) {
  if (!z.set[oper]) return true;
  const uint16_t r = (uint16_t)z.value[oper];
  return x >= (r & 0xFF) && x <= (r >> 8);
}

// Whether a zone is global: the first zone of its preset or instrument when
// its last generator is not the one that names what it plays.
bool is_global(const std::vector<Sf2Generator>& gens, uint32_t first, uint32_t end, uint16_t names) {
  return first == end || gens[end - 1].oper != names;
}

}  // namespace

bool parse_sf2_pdta(const uint8_t* data, size_t size, Sf2File* font, std::string* error) {
  *font = Sf2File();
  Chunk c;
  size_t n;
  if (!table(data, size, "phdr", 38, 2, &c, &n)) return *error = "no preset headers", false;
  for (size_t i = 0; i < n; i++) {
    const uint8_t* r = c.data + 38 * i;
    font->presets.push_back({record_name(r), le16(r + 20), le16(r + 22), le16(r + 24)});
  }
  if (!table(data, size, "pbag", 4, 1, &c, &n)) return *error = "no preset zones", false;
  for (size_t i = 0; i < n; i++) font->preset_zones.push_back(le16(c.data + 4 * i));
  if (!table(data, size, "pgen", 4, 1, &c, &n)) return *error = "no preset generators", false;
  for (size_t i = 0; i < n; i++) font->preset_generators.push_back({le16(c.data + 4 * i), (int16_t)le16(c.data + 4 * i + 2)});
  if (!table(data, size, "inst", 22, 2, &c, &n)) return *error = "no instruments", false;
  for (size_t i = 0; i < n; i++) font->instruments.push_back({record_name(c.data + 22 * i), le16(c.data + 22 * i + 20)});
  if (!table(data, size, "ibag", 4, 1, &c, &n)) return *error = "no instrument zones", false;
  for (size_t i = 0; i < n; i++) font->instrument_zones.push_back(le16(c.data + 4 * i));
  if (!table(data, size, "igen", 4, 1, &c, &n)) return *error = "no instrument generators", false;
  for (size_t i = 0; i < n; i++)
    font->instrument_generators.push_back({le16(c.data + 4 * i), (int16_t)le16(c.data + 4 * i + 2)});
  if (!table(data, size, "shdr", 46, 1, &c, &n)) return *error = "no sample headers", false;
  for (size_t i = 0; i + 1 < n; i++) {  // the last is the terminal record
    const uint8_t* r = c.data + 46 * i;
    int root = r[40] <= 127 ? r[40] : 60;  // 255: unpitched, played as recorded at key 60
    font->samples.push_back({record_name(r), le32(r + 36), root, (int8_t)r[41]});
  }
  if (!rising(font->presets, preset_zone, font->preset_zones.size() - 1) ||
      !rising(font->preset_zones, same, font->preset_generators.size() - 1) ||
      !rising(font->instruments, instrument_zone, font->instrument_zones.size() - 1) ||
      !rising(font->instrument_zones, same, font->instrument_generators.size() - 1))
    return *error = "its zone tables do not fit together", false;
  return true;
}

bool read_sf2(const std::string& path, Sf2File* font, std::string* error) {
  // Only a regular file: opening a FIFO would wait for a writer.
  std::unique_ptr<FILE, int (*)(FILE*)> f(open_regular_file(path.c_str()), std::fclose);
  if (!f) return *error = "cannot be read", false;
  uint8_t head[12];
  if (std::fread(head, 1, 12, f.get()) != 12 || std::memcmp(head, "RIFF", 4) != 0 ||
      std::memcmp(head + 8, "sfbk", 4) != 0)
    return *error = "is not a SoundFont", false;
  // The top-level lists: INFO, sdta (the samples, skipped) and pdta.
  for (;;) {
    uint8_t chunk[12];
    if (std::fread(chunk, 1, 8, f.get()) != 8) return *error = "is not a SoundFont (no preset data)", false;
    const uint32_t body = le32(chunk + 4);
    bool list = std::memcmp(chunk, "LIST", 4) == 0;
    if (list && body >= 4 && std::fread(chunk + 8, 1, 4, f.get()) == 4 && std::memcmp(chunk + 8, "pdta", 4) == 0) {
      // The preset data of a large font is a few hundred kilobytes.
      if (body > (64u << 20)) return *error = "is not a SoundFont (preset data too large)", false;
      std::vector<uint8_t> pdta(body - 4);
      if (std::fread(pdta.data(), 1, pdta.size(), f.get()) != pdta.size())
        return *error = "is not a SoundFont (cut short)", false;
      std::string why;
      if (!parse_sf2_pdta(pdta.data(), pdta.size(), font, &why)) return *error = "is not a SoundFont (" + why + ")", false;
      return true;
    }
    const long skip = (long)body + (body & 1) - (list && body >= 4 ? 4 : 0);
    if (std::fseek(f.get(), skip, SEEK_CUR) != 0) return *error = "is not a SoundFont (cut short)", false;
  }
}

int sf2_find_preset(const Sf2File& font, int bank, int program) {
  for (size_t i = 0; i + 1 < font.presets.size(); i++)
    if (font.presets[i].bank == bank && font.presets[i].program == program) return (int)i;
  return -1;
}

std::vector<Sf2Voice> sf2_voices(const Sf2File& font, int preset, int key, int velocity) {
  std::vector<Sf2Voice> voices;
  if (preset < 0 || preset + 1 >= (int)font.presets.size()) return voices;
  const auto& pz = font.preset_zones;
  const auto& iz = font.instrument_zones;
  const auto& pgen = font.preset_generators;
  const auto& igen = font.instrument_generators;
  ZoneValues preset_global, zone;
  clear_values(&preset_global);
  for (uint32_t z = font.presets[preset].first_zone; z < font.presets[preset + 1].first_zone; z++) {
    if (is_global(pgen, pz[z], pz[z + 1], kGenInstrument)) {
      if (z == font.presets[preset].first_zone) add_generators(pgen, pz[z], pz[z + 1], &preset_global);
      continue;
    }
    zone = preset_global;
    add_generators(pgen, pz[z], pz[z + 1], &zone);
    const int inst = (uint16_t)zone.value[kGenInstrument];
    if (!in_range(zone, kGenKeyRange, key) || !in_range(zone, kGenVelRange, velocity) ||
        inst + 1 >= (int)font.instruments.size())
      continue;
    ZoneValues inst_global, local;
    clear_values(&inst_global);
    for (uint32_t y = font.instruments[inst].first_zone; y < font.instruments[inst + 1].first_zone; y++) {
      if (is_global(igen, iz[y], iz[y + 1], kGenSampleId)) {
        if (y == font.instruments[inst].first_zone) add_generators(igen, iz[y], iz[y + 1], &inst_global);
        continue;
      }
      local = inst_global;
      add_generators(igen, iz[y], iz[y + 1], &local);
      const int sample = (uint16_t)local.value[kGenSampleId];
      if (!in_range(local, kGenKeyRange, key) || !in_range(local, kGenVelRange, velocity) ||
          sample >= (int)font.samples.size())
        continue;
      // Preset generators add to the instrument's.
      auto both = [&](uint16_t oper, int fallback) {
        return value_or(local, oper, fallback) + value_or(zone, oper, 0);
      };
      const int root_key = value_or(local, kGenRootKey, -1);
      Sf2Voice v;
      v.sample = sample;
      v.root = root_key >= 0 && root_key <= 127 ? root_key : font.samples[sample].root;
      v.scale = both(kGenScaleTuning, 100);
      v.tune = both(kGenCoarseTune, 0) * 100 + both(kGenFineTune, 0) + font.samples[sample].correction;
      v.attenuation = both(kGenAttenuation, 0);
      voices.push_back(v);
    }
  }
  return voices;
}
