// SPDX-License-Identifier: GPL-3.0-or-later
// SoundFont preset layer: the RIFF walk, the nine tables of the "pdta"
// list, their cross-checks, and the zone rules that pick a key's samples.
#include "import/sf2_file.h"

#include <cstdio>
#include <algorithm>
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
  // The top-level lists: INFO, sdta (the samples, skipped) and pdta. A
  // list of odd size is followed by a pad byte, which some writers of
  // compressed fonts leave out: where the padded position holds no list
  // and the unpadded one does, that is where the next one starts.
  if (std::fseek(f.get(), 0, SEEK_END) != 0) return *error = "cannot be read", false;
  const long file_size = std::ftell(f.get());
  long pos = 12;
  auto list_at = [&](long at) {
    uint8_t id[4];
    return at + 8 <= file_size && std::fseek(f.get(), at, SEEK_SET) == 0 && std::fread(id, 1, 4, f.get()) == 4 &&
           std::memcmp(id, "LIST", 4) == 0;
  };
  for (;;) {
    uint8_t chunk[12];
    if (std::fseek(f.get(), pos, SEEK_SET) != 0 || std::fread(chunk, 1, 8, f.get()) != 8)
      return *error = "is not a SoundFont (no preset data)", false;
    const uint32_t body = le32(chunk + 4);
    if ((long)body > file_size - pos - 8) return *error = "is not a SoundFont (cut short)", false;
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
    const long next = pos + 8 + (long)body;
    pos = (body & 1) && !list_at(next + 1) && list_at(next) ? next : next + (long)(body & 1);
  }
}

int sf2_find_preset(const Sf2File& font, int bank, int program) {
  for (size_t i = 0; i + 1 < font.presets.size(); i++)
    if (font.presets[i].bank == bank && font.presets[i].program == program) return (int)i;
  return -1;
}

namespace {

// One zone with its global zone's generators under it.
struct Zone {
  ZoneValues values;
  int lokey, hikey;
};

Zone make_zone(const ZoneValues& values) {
  Zone z{values, 0, 127};
  if (values.set[kGenKeyRange]) {
    const uint16_t r = (uint16_t)values.value[kGenKeyRange];
    z.lokey = r & 0xFF;
    z.hikey = std::min(r >> 8, 127);
  }
  return z;
}

// The zones of one preset or instrument that name what they play (an
// instrument or a sample) and hold `velocity`, each over the global zone.
std::vector<Zone> zones_of(const std::vector<uint32_t>& bags, const std::vector<Sf2Generator>& gens, uint32_t first,
                           uint32_t end, uint16_t names, int velocity) {
  std::vector<Zone> zones;
  ZoneValues global, local;
  clear_values(&global);
  for (uint32_t z = first; z < end; z++) {
    if (is_global(gens, bags[z], bags[z + 1], names)) {
      if (z == first) add_generators(gens, bags[z], bags[z + 1], &global);
      continue;
    }
    local = global;
    add_generators(gens, bags[z], bags[z + 1], &local);
    if (in_range(local, kGenVelRange, velocity)) zones.push_back(make_zone(local));
  }
  return zones;
}

}  // namespace

std::vector<std::vector<Sf2Voice>> sf2_key_voices(const Sf2File& font, int preset, int velocity, size_t most,
                                                  std::vector<size_t>* crossings) {
  std::vector<std::vector<Sf2Voice>> voices(128);
  if (crossings) crossings->assign(128, 0);
  if (preset < 0 || preset + 1 >= (int)font.presets.size()) return voices;
  const std::vector<Zone> preset_zones =
      zones_of(font.preset_zones, font.preset_generators, font.presets[preset].first_zone,
               font.presets[preset + 1].first_zone, kGenInstrument, velocity);
  // Each instrument the preset names: its zones at the velocity, and for
  // each key the ones that hold it. Made once, however often it is named.
  struct Instrument {
    std::vector<Zone> zones;
    uint32_t key_start[129];     // the zones that hold key k: of_key[key_start[k] .. key_start[k + 1])
    std::vector<uint32_t> of_key;
    size_t count = 0;  // all its zones
  };
  std::vector<std::unique_ptr<Instrument>> instruments(font.instruments.size());
  for (const Zone& pz : preset_zones) {
    const int inst = (uint16_t)pz.values.value[kGenInstrument];
    if (inst + 1 >= (int)font.instruments.size() || instruments[inst]) continue;
    auto made = std::make_unique<Instrument>();
    const uint32_t first = font.instruments[inst].first_zone, end = font.instruments[inst + 1].first_zone;
    made->zones = zones_of(font.instrument_zones, font.instrument_generators, first, end, kGenSampleId, velocity);
    made->count = end - first;
    uint32_t counted[129] = {};
    for (const Zone& z : made->zones)
      for (int key = z.lokey; key <= z.hikey; key++) counted[key + 1]++;
    made->key_start[0] = 0;
    for (int k = 0; k < 128; k++) made->key_start[k + 1] = made->key_start[k] + counted[k + 1];
    made->of_key.resize(made->key_start[128]);
    uint32_t at[128];
    std::copy(made->key_start, made->key_start + 128, at);
    for (uint32_t z = 0; z < made->zones.size(); z++)
      for (int key = made->zones[z].lokey; key <= made->zones[z].hikey; key++) made->of_key[at[key]++] = z;
    instruments[inst] = std::move(made);
  }
  for (const Zone& pz : preset_zones) {
    const int inst = (uint16_t)pz.values.value[kGenInstrument];
    if (inst + 1 >= (int)font.instruments.size()) continue;
    const Instrument& in = *instruments[inst];
    for (int key = pz.lokey; key <= pz.hikey; key++) {
      if (crossings) (*crossings)[key] += in.count;
      for (uint32_t i = in.key_start[key]; i < in.key_start[key + 1] && voices[key].size() <= most; i++) {
        const uint32_t z = in.of_key[i];
        const ZoneValues& local = in.zones[z].values;
        const int sample = (uint16_t)local.value[kGenSampleId];
        if (sample >= (int)font.samples.size()) continue;
        // Preset generators add to the instrument's.
        auto both = [&](uint16_t oper, int fallback) {
          return value_or(local, oper, fallback) + value_or(pz.values, oper, 0);
        };
        const int root_key = value_or(local, kGenRootKey, -1);
        Sf2Voice v;
        v.sample = sample;
        v.root = root_key >= 0 && root_key <= 127 ? root_key : font.samples[sample].root;
        v.scale = both(kGenScaleTuning, 100);
        v.tune = both(kGenCoarseTune, 0) * 100 + both(kGenFineTune, 0) + font.samples[sample].correction;
        v.attenuation = both(kGenAttenuation, 0);
        voices[key].push_back(v);
      }
    }
  }
  return voices;
}
