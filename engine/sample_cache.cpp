// SPDX-License-Identifier: GPL-3.0-or-later
// The decoded-sample cache: entry names, the header check, reading an entry
// back, writing one whole, and the size bound.
#include "engine/sample_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "engine/fbs.h"
#include "engine/wav_read.h"

static const char kMagic[8] = {'q', 'd', 's', 'a', 'm', 'p', 'l', 'e'};
static const char kEntrySuffix[] = ".wave";
static const char kTempMark[] = ".tmp";
// A temporary file this old belongs to a writer that died.
static const time_t kStaleTempSeconds = 3600;

// Main thread (fbs_set_sample_cache and the loaders).
static std::string g_folder;

extern "C" FBS_EXPORT void fbs_set_sample_cache(const char* folder) {
  g_folder = folder != nullptr ? folder : "";
  if (!g_folder.empty() && g_folder.back() != '/') g_folder += '/';
}

const std::string& sample_cache_folder() { return g_folder; }

int sample_cache_key_of(const char* file_name, int32_t rate, int32_t channels, int32_t bits,
                        const std::string& decoder, SampleCacheKey* key) {
  size_t length = 0;
  int fd = wav_open_regular(file_name, &length);
  if (fd < 0) return 0;
  struct stat st;
  int ok = fstat(fd, &st) == 0 && length > 0;
  close(fd);
  char* full = ok ? realpath(file_name, nullptr) : nullptr;
  if (full == nullptr) return 0;
  key->source = full;
  free(full);
  key->size = (uint64_t)st.st_size;
  key->mtime_ns = (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
  key->rate = rate;
  key->channels = channels;
  key->bits = bits;
  key->decoder = decoder;
  return 1;
}

// ---- Checksum: four independent multiply-rotate lanes over 8-byte words
// (fast enough that reading an entry costs little more than the read), then
// the tail and the length folded in and the bits mixed. ----

static const uint64_t kMul1 = 0x9E3779B97F4A7C15ull;  // 2^64 / golden ratio, odd
static const uint64_t kMul2 = 0xD6E8FEB86659FD93ull;
static const uint64_t kMul3 = 0xBF58476D1CE4E5B9ull;  // the two of a common 64-bit mixer
static const uint64_t kMul4 = 0x94D049BB133111EBull;

static inline uint64_t rotl(uint64_t v, int s) { return (v << s) | (v >> (64 - s)); }

static inline uint64_t lane(uint64_t acc, uint64_t word) {
  return rotl(acc + word * kMul2, 31) * kMul1;
}

static inline uint64_t mix(uint64_t h) {
  h = (h ^ (h >> 30)) * kMul3;
  h = (h ^ (h >> 27)) * kMul4;
  return h ^ (h >> 31);
}

uint64_t sample_cache_checksum(const void* bytes, size_t count, uint64_t seed) {
  const uint8_t* p = (const uint8_t*)bytes;
  uint64_t a[4] = {seed + kMul1, seed + kMul2, seed ^ kMul3, seed - kMul1};
  size_t i = 0;
  for (; i + 32 <= count; i += 32) {
    uint64_t w[4];
    memcpy(w, p + i, 32);
    a[0] = lane(a[0], w[0]);
    a[1] = lane(a[1], w[1]);
    a[2] = lane(a[2], w[2]);
    a[3] = lane(a[3], w[3]);
  }
  uint64_t h = rotl(a[0], 1) + rotl(a[1], 7) + rotl(a[2], 12) + rotl(a[3], 18);
  for (; i + 8 <= count; i += 8) {
    uint64_t w;
    memcpy(&w, p + i, 8);
    h = lane(h, w);
  }
  for (; i < count; ++i) h = lane(h, p[i]);
  return mix(h ^ (uint64_t)count);
}

// ---- Header fields ----

static void put_u32(uint8_t* p, uint32_t v) { memcpy(p, &v, 4); }
static void put_u64(uint8_t* p, uint64_t v) { memcpy(p, &v, 8); }
static uint32_t get_u32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}
static uint64_t get_u64(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}

enum : size_t {
  kAtLayout = 8, kAtHeaderBytes = 12, kAtSize = 16, kAtMtime = 24, kAtRate = 32,
  kAtChannels = 36, kAtBits = 40, kAtPathBytes = 44, kAtDecoderBytes = 48, kAtDataBytes = 52,
  kAtChecksum = 56,
};

// Header fixed part and texts of a key, with data_bytes and the checksum
// field left 0.
static std::vector<uint8_t> make_header(const SampleCacheKey& key, uint32_t data_bytes) {
  std::vector<uint8_t> h(kSampleCacheFixed + key.source.size() + key.decoder.size(), 0);
  memcpy(h.data(), kMagic, 8);
  put_u32(&h[kAtLayout], kSampleCacheLayout);
  put_u32(&h[kAtHeaderBytes], (uint32_t)h.size());
  put_u64(&h[kAtSize], key.size);
  put_u64(&h[kAtMtime], (uint64_t)key.mtime_ns);
  put_u32(&h[kAtRate], (uint32_t)key.rate);
  put_u32(&h[kAtChannels], (uint32_t)key.channels);
  put_u32(&h[kAtBits], (uint32_t)key.bits);
  put_u32(&h[kAtPathBytes], (uint32_t)key.source.size());
  put_u32(&h[kAtDecoderBytes], (uint32_t)key.decoder.size());
  put_u32(&h[kAtDataBytes], data_bytes);
  memcpy(&h[kSampleCacheFixed], key.source.data(), key.source.size());
  memcpy(&h[kSampleCacheFixed + key.source.size()], key.decoder.data(), key.decoder.size());
  return h;
}

// The checksum of a header (its checksum field skipped) and its data.
static uint64_t entry_checksum(const uint8_t* header, size_t header_bytes, const uint8_t* data,
                               uint32_t data_bytes) {
  uint64_t c = sample_cache_checksum(header, kAtChecksum, 0);
  c = sample_cache_checksum(header + kSampleCacheFixed, header_bytes - kSampleCacheFixed, c);
  return sample_cache_checksum(data, data_bytes, c);
}

static bool key_fits(const SampleCacheKey& key) {
  return !key.source.empty() && key.source.size() <= kSampleCacheMaxText &&
         key.decoder.size() <= kSampleCacheMaxText && key.rate > 0 && key.channels > 0 &&
         key.bits > 0 && key.bits % 8 == 0;
}

uint32_t sample_cache_check_header(const uint8_t* header, size_t header_bytes,
                                   uint64_t entry_length, const SampleCacheKey& key) {
  if (header == nullptr || header_bytes < kSampleCacheFixed || !key_fits(key)) return 0;
  const uint8_t* h = header;
  if (memcmp(h, kMagic, 8) != 0 || get_u32(h + kAtLayout) != kSampleCacheLayout) return 0;
  uint64_t path_bytes = get_u32(h + kAtPathBytes), decoder_bytes = get_u32(h + kAtDecoderBytes);
  if (path_bytes != key.source.size() || decoder_bytes != key.decoder.size()) return 0;
  uint64_t want_header = kSampleCacheFixed + path_bytes + decoder_bytes;
  if (get_u32(h + kAtHeaderBytes) != want_header || header_bytes != want_header) return 0;
  if (get_u64(h + kAtSize) != key.size || (int64_t)get_u64(h + kAtMtime) != key.mtime_ns ||
      get_u32(h + kAtRate) != (uint32_t)key.rate ||
      get_u32(h + kAtChannels) != (uint32_t)key.channels ||
      get_u32(h + kAtBits) != (uint32_t)key.bits)
    return 0;
  if (memcmp(h + kSampleCacheFixed, key.source.data(), path_bytes) != 0 ||
      memcmp(h + kSampleCacheFixed + path_bytes, key.decoder.data(), decoder_bytes) != 0)
    return 0;
  uint32_t data_bytes = get_u32(h + kAtDataBytes);
  uint32_t frame = (uint32_t)(key.bits / 8 * key.channels);
  if (data_bytes == 0 || want_header + data_bytes > kSampleCacheMostBytes || data_bytes % frame != 0) return 0;
  if (entry_length != want_header + data_bytes) return 0;
  return data_bytes;
}

// ---- Names ----

std::string sample_cache_entry(const std::string& folder, const SampleCacheKey& key) {
  std::string id = key.source + '\n' + std::to_string(key.rate) + ' ' +
                   std::to_string(key.channels) + ' ' + std::to_string(key.bits) + '\n' +
                   key.decoder;
  char name[17];
  snprintf(name, sizeof name, "%016llx",
           (unsigned long long)sample_cache_checksum(id.data(), id.size(), 0));
  return folder + name + kEntrySuffix;
}

// ---- Reading ----

static int read_at(int fd, uint8_t* into, size_t count, off_t at) {
  size_t got = 0;
  while (got < count) {
    ssize_t n = pread(fd, into + got, count - got, at + (off_t)got);
    if (n <= 0) return 0;
    got += (size_t)n;
  }
  return 1;
}

int sample_cache_read(const std::string& path, const SampleCacheKey& key, uint8_t** data,
                      uint32_t* size) {
  if (data == nullptr || size == nullptr || !key_fits(key)) return 0;
  size_t length = 0;
  int fd = wav_open_regular(path.c_str(), &length);
  if (fd < 0) return 0;
  size_t header_bytes = kSampleCacheFixed + key.source.size() + key.decoder.size();
  std::vector<uint8_t> header(header_bytes);
  uint8_t* block = nullptr;
  uint32_t data_bytes = 0;
  if (length > header_bytes && read_at(fd, header.data(), header_bytes, 0))
    data_bytes = sample_cache_check_header(header.data(), header_bytes, length, key);
  if (data_bytes > 0) block = (uint8_t*)malloc(data_bytes);
  bool ok = block != nullptr && read_at(fd, block, data_bytes, (off_t)header_bytes) &&
            entry_checksum(header.data(), header_bytes, block, data_bytes) ==
                get_u64(&header[kAtChecksum]);
  // Used now: the size bound removes it after entries not used since.
  if (ok) futimens(fd, nullptr);
  close(fd);
  if (!ok) {
    free(block);
    return 0;
  }
  *data = block;
  *size = data_bytes;
  return 1;
}

// ---- Writing ----

int sample_cache_write(const std::string& path, const SampleCacheKey& key, const uint8_t* data,
                       uint32_t size, uint64_t limit) {
  uint32_t frame = key.bits > 0 && key.channels > 0 ? (uint32_t)(key.bits / 8 * key.channels) : 0;
  if (data == nullptr || size == 0 || !key_fits(key) || size % frame != 0) return 0;
  std::vector<uint8_t> header = make_header(key, size);
  uint64_t entry_bytes = header.size() + (uint64_t)size;
  if (entry_bytes > limit || entry_bytes > kSampleCacheMostBytes) return 0;
  put_u64(&header[kAtChecksum], entry_checksum(header.data(), header.size(), data, size));

  std::string temp = path + kTempMark + "XXXXXX";
  int fd = mkstemp(&temp[0]);
  if (fd < 0) return 0;
  fchmod(fd, 0644);
  bool ok = write_whole(fd, header.data(), header.size()) && write_whole(fd, data, size);
  if (close(fd) != 0) ok = false;
  if (ok) ok = rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    unlink(temp.c_str());
    return 0;
  }
  size_t slash = path.rfind('/');
  sample_cache_trim(slash == std::string::npos ? "" : path.substr(0, slash + 1), limit);
  return 1;
}

// ---- The size bound ----

static bool ends_with(const std::string& s, const char* tail) {
  size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

void sample_cache_trim(const std::string& folder, uint64_t limit) {
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return;
  struct Entry {
    std::string path;
    struct timespec used;
    uint64_t bytes;
  };
  std::vector<Entry> entries;
  uint64_t total = 0;
  time_t now = time(nullptr);
  while (struct dirent* d = readdir(dir)) {
    std::string name = d->d_name;
    bool entry = ends_with(name, kEntrySuffix);
    bool temp = !entry && name.find(std::string(kEntrySuffix) + kTempMark) != std::string::npos;
    if (!entry && !temp) continue;
    std::string path = folder + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (temp) {
      if (now - st.st_mtime > kStaleTempSeconds) unlink(path.c_str());
      continue;
    }
    entries.push_back({path, st.st_mtim, (uint64_t)st.st_size});
    total += (uint64_t)st.st_size;
  }
  closedir(dir);
  if (total <= limit) return;
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.used.tv_sec != b.used.tv_sec) return a.used.tv_sec < b.used.tv_sec;
    return a.used.tv_nsec < b.used.tv_nsec;
  });
  for (const Entry& e : entries) {
    if (total <= limit) break;
    if (unlink(e.path.c_str()) == 0) total -= e.bytes;
  }
}
