// SPDX-License-Identifier: GPL-3.0-or-later
// Decoded MP3 samples, and WAV samples converted to another rate, kept on
// disk between runs, so that a sample loaded before is read back instead of
// decoded or converted again. One entry per source file and output format
// (so one per output rate), in a folder the application names
// (fbs_set_sample_cache); a folder that cannot be read or written just means
// decoding as without one.
//
// An entry file: a fixed header (little-endian), the source path and the
// decoder text, then the wave's bytes exactly as the loader made them:
//   0  8  "qdsample"        magic
//   8  4  kSampleCacheLayout
//  12  4  header bytes      kSampleCacheFixed + path bytes + decoder bytes
//  16  8  source size       bytes
//  24  8  source mtime      nanoseconds since the epoch
//  32  4  rate, 36 channels, 40 bits   the output format
//  44  4  path bytes        at most kSampleCacheMaxText
//  48  4  decoder bytes     at most kSampleCacheMaxText
//  52  4  data bytes        whole frames; the entry at most kSampleCacheMostBytes
//  56  8  checksum          sample_cache_checksum of bytes 0..55, the two
//                           texts and the data, in that order
// An entry whose key differs (stale), whose length is not the header plus
// the data (truncated) or whose checksum fails (corrupt) is not used; the
// loader decodes and writes it anew.
//
// Entries are written to a temporary file and renamed into place, so a
// program loading at the same moment as another writes (the live program
// and a render) sees the old entry or the new one, never a part. A crash
// before the data reached the disk leaves an entry the checksum rejects.
//
// Threads: main thread (the wave loaders).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint32_t kSampleCacheLayout = 1;
constexpr uint32_t kSampleCacheFixed = 64;
constexpr uint32_t kSampleCacheMaxText = 4096;
// The folder is kept below this many bytes of entries; the least recently
// used go first.
constexpr uint64_t kSampleCacheLimit = 1ull << 30;
// The largest entry file: what the engine's 32-bit sizes can read back.
constexpr uint64_t kSampleCacheMostBytes = 0x7FFFFFFF;

// What an entry must match to be used.
struct SampleCacheKey {
  std::string source;   // the source file's full path (symbolic links resolved)
  uint64_t size;        // its size in bytes
  int64_t mtime_ns;     // its modification time
  int32_t rate;         // the output format the wave was made for
  int32_t channels;
  int32_t bits;
  std::string decoder;  // what made the wave (decoder version and revision)
};

// The cache folder set by fbs_set_sample_cache ("" for none).
const std::string& sample_cache_folder();

// The key of file_name for an output format and what makes its wave.
// Returns 0 when the file cannot have an entry: it does not open, is empty,
// or its full path cannot be found.
int sample_cache_key_of(const char* file_name, int32_t rate, int32_t channels, int32_t bits,
                        const std::string& decoder, SampleCacheKey* key);

// 64-bit checksum of count bytes, continuing from seed (0 to start).
uint64_t sample_cache_checksum(const void* bytes, size_t count, uint64_t seed);

// The entry file of a key in folder: named after the source path, the
// output format and the decoder, so a changed source replaces its old entry.
std::string sample_cache_entry(const std::string& folder, const SampleCacheKey& key);

// Checks an entry's header: the fixed part and the two texts (header_bytes
// of them at header) against the key and the entry's whole length. Returns
// the data bytes, or 0 when the entry is not the key's or is cut short. The
// checksum is not looked at (sample_cache_read does that with the data).
uint32_t sample_cache_check_header(const uint8_t* header, size_t header_bytes,
                                   uint64_t entry_length, const SampleCacheKey& key);

// Reads the key's entry from path into a new malloc'ed block. Returns 1 with
// *data and *size set, or 0 (nothing allocated) when there is no usable
// entry. A used entry counts as just used for the size bound.
int sample_cache_read(const std::string& path, const SampleCacheKey& key, uint8_t** data,
                      uint32_t* size);

// Writes the key's entry to path whole (temporary file, then rename); then
// keeps the folder under limit. An entry larger than limit (or than
// kSampleCacheMostBytes) is not written: it would only push out every other
// entry and then itself. Returns 1 when the entry is in place; any failure
// leaves no file behind and is otherwise silent.
int sample_cache_write(const std::string& path, const SampleCacheKey& key, const uint8_t* data,
                       uint32_t size, uint64_t limit = kSampleCacheLimit);

// Removes the least recently used entries of folder until the rest take at
// most limit bytes, and temporary files a crashed writer left (an hour old).
void sample_cache_trim(const std::string& folder, uint64_t limit);
