// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the decoded-sample cache: the input is a cache entry. It is read
// for a fixed key from a scratch file, and checked in memory: an entry that
// is taken gives exactly the bytes behind its header, anything else is
// refused, and nothing is read outside the entry. One input in eight also
// replaces the real entry of an MP3 file (twenty silent frames made here)
// before FBS_LOAD_MP3FILE loads it: the load must give the decoded wave
// and leave a good entry behind, which the next load uses.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/fbs.h"
#include "engine/sample_cache.h"
#include "tests/fuzz/scratch_file.h"
#include "tests/support/engine_test_output.h"

static const SampleCacheKey kKey = {"/sounds/piano_60.mp3", 2822400, 1700000000123456789, 44100, 2, 16,
                                    "fuzz"};

static std::vector<int16_t> load(const std::string& mp3, const std::string& temp) {
  int32_t wave = -1;
  if (FBS_LOAD_MP3FILE(mp3.c_str(), &wave, temp.c_str()) != 1) return {};
  void *begin = nullptr, *end = nullptr;
  FBS_GET_WAVEPOINTERS(wave, &begin, &end, nullptr);
  std::vector<int16_t> samples((int16_t*)begin, (int16_t*)end);
  FBS_DESTROY_WAVE(&wave);
  return samples;
}

// The loader over a real file whose entry is the input.
struct LoaderCase {
  std::string folder, mp3, entry, temp, no_temp;
  std::vector<int16_t> reference;
  LoaderCase() {
    folder = scratch_path("fuzz_engine_sample_cache", "_cache/");
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    mp3 = scratch_path("fuzz_engine_sample_cache", ".mp3");
    temp = scratch_path("fuzz_engine_sample_cache", ".wav");
    no_temp = folder + "missing/t.wav";
    // MPEG-1 layer III, 128 kbit/s, 44100 Hz, stereo: 417 bytes a frame;
    // nothing behind the header decodes as silence.
    std::vector<uint8_t> file;
    for (int i = 0; i < 20; i++) {
      uint8_t frame[417] = {0xFF, 0xFB, 0x90, 0x00};
      file.insert(file.end(), frame, frame + sizeof frame);
    }
    FILE* f = fopen(mp3.c_str(), "wb");
    fwrite(file.data(), 1, file.size(), f);
    fclose(f);
    reference = load(mp3, temp);
    fbs_set_sample_cache(folder.c_str());
    load(mp3, temp);
    fbs_set_sample_cache(nullptr);
    for (const auto& e : std::filesystem::directory_iterator(folder)) entry = e.path().string();
    if (reference.empty() || entry.empty()) abort();
  }
  ~LoaderCase() {
    std::filesystem::remove_all(folder);
    remove(mp3.c_str());
  }
  void run(const uint8_t* data, size_t size) const {
    FILE* f = fopen(entry.c_str(), "wb");
    fwrite(data, 1, size, f);
    fclose(f);
    fbs_set_sample_cache(folder.c_str());
    // The input cannot hold the scratch file's modification time: refused.
    if (load(mp3, no_temp).size() != 0) abort();
    if (load(mp3, temp) != reference) abort();
    if (load(mp3, no_temp) != reference) abort();  // rebuilt
    fbs_set_sample_cache(nullptr);
  }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const ScratchFile entry("fuzz_engine_sample_cache", ".wave");
  enginetest::use_output(44100, 2, 512);
  if (!entry.write(data, size)) return 0;

  uint8_t* back = nullptr;
  uint32_t bytes = 0;
  size_t header = kSampleCacheFixed + kKey.source.size() + kKey.decoder.size();
  int taken = sample_cache_read(entry.path, kKey, &back, &bytes);
  uint32_t checked = size >= header ? sample_cache_check_header(data, header, size, kKey) : 0;
  if (taken) {
    if (checked == 0 || bytes != checked || size != header + bytes) abort();
    if (memcmp(back, data + header, bytes) != 0) abort();
    free(back);
  }

  if ((size & 7) == 3) {
    static const LoaderCase loader;
    loader.run(data, size);
  }
  return 0;
}
