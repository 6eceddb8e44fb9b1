// SPDX-License-Identifier: GPL-3.0-or-later
// The decoded-sample cache behind FBS_LOAD_MP3FILE, on MP3 files this test
// encodes with `lame`: a cached wave is the decoded one to the bit, entries
// that do not fit are rebuilt without a word, a folder that cannot be
// written changes nothing, the folder stays within its bound, and a reader
// never sees an entry being written.
//
// Whether a load was served by the cache shows by giving the loader a
// temporary file name it cannot create: decoding then fails, a cache hit
// does not need the file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/fbs.h"
#include "engine/sample_cache.h"
#include "tests/support/engine_test_output.h"

namespace {

namespace fs = std::filesystem;

std::string g_dir;
std::vector<std::string> g_lines;
void capture_line(const char* line) { g_lines.push_back(line); }

// Half a second of a gliding tone, encoded with lame's information frame.
std::string make_mp3(const std::string& name, int rate, int channels) {
  std::string wav = g_dir + name + ".wav", mp3 = g_dir + name + ".mp3";
  FILE* f = fopen(wav.c_str(), "wb");
  if (f == nullptr) return "";
  uint32_t frames = (uint32_t)rate / 2;
  enginetest::put_wav_header(f, (uint32_t)rate, (uint16_t)channels, frames * 2 * channels);
  for (uint32_t i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c) {
      double t = (double)i / rate;
      enginetest::put16(f, (uint16_t)(int16_t)(12000.0 * std::sin(2 * M_PI * (220.0 * (c + 1) + 300.0 * t) * t)));
    }
  fclose(f);
  std::string cmd = "lame --quiet -b 64 --resample " + std::to_string(rate / 1000.0) + " '" + wav + "' '" + mp3 + "'";
  int status = std::system(cmd.c_str());
  remove(wav.c_str());
  return status == 0 ? mp3 : "";
}

std::vector<int16_t> wave_samples(int32_t wave) {
  void *begin = nullptr, *end = nullptr;
  if (FBS_GET_WAVEPOINTERS(wave, &begin, &end, nullptr) != 1) return {};
  return std::vector<int16_t>((const int16_t*)begin, (const int16_t*)end);
}

// Loads a file and returns its wave (empty when the load failed). With
// `decoding` false the loader cannot decode, so only the cache can serve it.
std::vector<int16_t> load(const std::string& path, bool decoding = true) {
  std::string temp = decoding ? g_dir + "t.wav" : g_dir + "no/such/folder/t.wav";
  int32_t wave = -1;
  if (FBS_LOAD_MP3FILE(path.c_str(), &wave, temp.c_str()) != 1) return {};
  std::vector<int16_t> samples = wave_samples(wave);
  FBS_DESTROY_WAVE(&wave);
  return samples;
}

std::vector<fs::path> entries(const std::string& folder) {
  std::vector<fs::path> list;
  for (const auto& e : fs::directory_iterator(folder)) list.push_back(e.path());
  return list;
}

class SampleCache : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/qd_cache_XXXXXX";
    g_dir = std::string(mkdtemp(tmpl)) + "/";
    stereo = make_mp3("stereo", 44100, 2);
    mono22 = make_mp3("mono22", 22050, 1);
  }
  static void TearDownTestSuite() { fs::remove_all(g_dir); }
  void SetUp() override {
    if (stereo.empty() || mono22.empty()) GTEST_SKIP() << "lame could not encode the files";
    enginetest::use_output(44100, 2, 1024);
    cache = g_dir + "cache" + std::to_string(++folders) + "/";
    fs::create_directories(cache);
    fbs_set_sample_cache(cache.c_str());
    g_lines.clear();
    fbs_set_text_sink(capture_line);
  }
  void TearDown() override {
    fbs_set_sample_cache(nullptr);
    fbs_set_text_sink(nullptr);
  }
  // The file's wave decoded with no cache.
  std::vector<int16_t> decoded(const std::string& path) {
    fbs_set_sample_cache(nullptr);
    std::vector<int16_t> w = load(path);
    fbs_set_sample_cache(cache.c_str());
    return w;
  }
  static std::string stereo, mono22;
  static int folders;
  std::string cache;
};
std::string SampleCache::stereo, SampleCache::mono22;
int SampleCache::folders = 0;

TEST_F(SampleCache, CachedWaveIsTheDecodedWaveToTheBit) {
  for (int channels : {2, 1}) {
    enginetest::use_output(44100, channels, 1024);
    for (const std::string& path : {stereo, mono22}) {
      SCOPED_TRACE(path + " into " + std::to_string(channels) + " channels");
      std::vector<int16_t> reference = decoded(path);
      ASSERT_FALSE(reference.empty());
      EXPECT_TRUE(load(path, false).empty()) << "nothing cached yet";
      EXPECT_EQ(load(path), reference) << "first load, decoded and cached";
      EXPECT_EQ(load(path, false), reference) << "from the cache";
    }
  }
  // One entry per file and output format.
  EXPECT_EQ(entries(cache).size(), 4u);
  EXPECT_TRUE(g_lines.empty());
}

// A WAV file at another rate than the output's, converted band-limited, is
// kept once per output rate; at its own rate (nothing to convert) it is not.
TEST_F(SampleCache, WavFilesConvertedToAnotherRateAreKeptPerRate) {
  std::string wav = g_dir + "tone44.wav";
  FILE* f = fopen(wav.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  enginetest::put_wav_header(f, 44100, 2, 4410 * 4);
  for (int i = 0; i < 4410 * 2; ++i) enginetest::put16(f, (uint16_t)(int16_t)(9000.0 * std::sin(i * 0.05)));
  fclose(f);
  FBS_SET_WAVECONVERTER(1);
  struct Case {
    int rate;
    size_t entries;  // in the folder after the loads at this rate
  } cases[] = {{44100, 0}, {48000, 1}, {96000, 2}, {48000, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    enginetest::use_output(c.rate, 2, 1024);
    std::vector<int16_t> first, again;
    for (std::vector<int16_t>* into : {&first, &again}) {
      int32_t wave = -1;
      ASSERT_EQ(FBS_LOAD_WAVFILE(wav.c_str(), &wave), 1);
      *into = wave_samples(wave);
      FBS_DESTROY_WAVE(&wave);
    }
    EXPECT_EQ(first.size(), (size_t)(4410LL * c.rate / 44100 * 2));
    EXPECT_EQ(first, again);
    EXPECT_EQ(entries(cache).size(), c.entries);
  }
  FBS_SET_WAVECONVERTER(0);
}

// Each damage makes the entry unusable; the next load decodes, writes it
// anew, and the load after that is served by it again.
TEST_F(SampleCache, EntriesThatDoNotFitAreRebuiltSilently) {
  std::vector<int16_t> reference = decoded(stereo);
  auto entry = [&] { return entries(cache).at(0).string(); };
  auto flip = [](const std::string& p, long at) {
    FILE* f = fopen(p.c_str(), "r+b");
    fseek(f, at, at < 0 ? SEEK_END : SEEK_SET);
    int c = fgetc(f);
    fseek(f, -1, SEEK_CUR);
    fputc(c ^ 0x10, f);
    fclose(f);
  };
  struct Damage {
    const char* what;
    std::function<void()> apply;
  } damages[] = {
      {"the source file touched", [&] { fs::last_write_time(stereo, fs::last_write_time(stereo) + std::chrono::seconds(1)); }},
      {"the entry cut short", [&] { fs::resize_file(entry(), fs::file_size(entry()) - 2); }},
      {"the entry longer", [&] { FILE* f = fopen(entry().c_str(), "ab"); fputs("xx", f); fclose(f); }},
      {"a sample changed", [&] { flip(entry(), -1000); }},
      {"the format changed", [&] { flip(entry(), 36); }},
      {"the source path changed", [&] { flip(entry(), 64); }},
      {"the checksum changed", [&] { flip(entry(), 60); }},
      {"an empty entry", [&] { fs::resize_file(entry(), 0); }},
      {"the header only", [&] { fs::resize_file(entry(), 64); }},
  };
  ASSERT_EQ(load(stereo), reference);
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    ASSERT_EQ(load(stereo, false), reference) << "usable before";
    d.apply();
    EXPECT_TRUE(load(stereo, false).empty()) << "the damaged entry was used";
    EXPECT_EQ(load(stereo), reference);
    EXPECT_EQ(load(stereo, false), reference) << "not rebuilt";
    EXPECT_EQ(entries(cache).size(), 1u) << "the rebuilt entry replaces the old one";
  }
  EXPECT_TRUE(g_lines.empty());
}

TEST_F(SampleCache, FolderThatCannotBeWrittenMeansDecodingAsWithout) {
  std::vector<int16_t> reference = decoded(stereo);
  std::string file = g_dir + "plain_file";
  fclose(fopen(file.c_str(), "wb"));
  for (const std::string& folder : {file + "/cache/", g_dir + "missing/cache/"}) {
    fbs_set_sample_cache(folder.c_str());
    EXPECT_EQ(load(stereo), reference) << folder;
    EXPECT_EQ(load(stereo), reference) << folder;
  }
  EXPECT_TRUE(g_lines.empty());
}

// The least recently used entries go first; a temporary file of a writer
// that died goes after an hour; an entry over the bound is not written.
TEST_F(SampleCache, FolderIsKeptWithinItsBoundLeastRecentlyUsedFirst) {
  std::vector<uint8_t> data(4000, 1);
  auto key = [](int n) {
    return SampleCacheKey{"/sounds/" + std::to_string(n) + ".mp3", 1000, 5, 44100, 2, 16, "test"};
  };
  auto age = [](const std::string& p, int seconds) {
    fs::last_write_time(p, fs::file_time_type::clock::now() - std::chrono::seconds(seconds));
  };
  std::vector<std::string> paths;
  for (int n = 0; n < 4; n++) {
    paths.push_back(sample_cache_entry(cache, key(n)));
    ASSERT_EQ(sample_cache_write(paths[n], key(n), data.data(), (uint32_t)data.size()), 1);
    age(paths[n], 100 - n * 10);  // entry 0 the oldest
  }
  uint8_t* back = nullptr;
  uint32_t size = 0;
  ASSERT_EQ(sample_cache_read(paths[0], key(0), &back, &size), 1);  // entry 0 used now
  free(back);
  std::string dead = paths[1] + ".tmpAbCdEf", young = paths[2] + ".tmpGhIjKl";
  fclose(fopen(dead.c_str(), "wb"));
  fclose(fopen(young.c_str(), "wb"));
  age(dead, 4000);

  uint64_t entry_bytes = fs::file_size(paths[0]);
  sample_cache_trim(cache, 2 * entry_bytes);
  EXPECT_TRUE(fs::exists(paths[0])) << "used last";
  EXPECT_FALSE(fs::exists(paths[1]));
  EXPECT_FALSE(fs::exists(paths[2]));
  EXPECT_TRUE(fs::exists(paths[3]));
  EXPECT_FALSE(fs::exists(dead));
  EXPECT_TRUE(fs::exists(young)) << "a writer may still be at it";

  // An entry larger than the bound is not kept, and pushes out nothing.
  std::vector<uint8_t> big(3 * data.size(), 1);
  std::string big_path = sample_cache_entry(cache, key(9));
  EXPECT_EQ(sample_cache_write(big_path, key(9), big.data(), (uint32_t)big.size(), 2 * entry_bytes), 0);
  EXPECT_FALSE(fs::exists(big_path));
  EXPECT_TRUE(fs::exists(paths[0]));
  EXPECT_TRUE(fs::exists(paths[3]));
}

// The live program and a render at once: one writes the entry over and over,
// alternately with two contents, while the other reads it. Once the entry
// is there, every read gives one of the two whole, never a part or none.
TEST_F(SampleCache, ReaderNeverSeesAnEntryBeingWritten) {
  SampleCacheKey key{"/sounds/piano_60.mp3", 123456, 42, 44100, 2, 16, "test"};
  std::string path = sample_cache_entry(cache, key);
  std::vector<uint8_t> a(1 << 20), b(1 << 20);
  for (size_t i = 0; i < a.size(); i++) a[i] = (uint8_t)(i * 7 + (i >> 11)), b[i] = (uint8_t)~a[i];
  ASSERT_EQ(sample_cache_write(path, key, a.data(), (uint32_t)a.size()), 1);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 60; i++) {
      const std::vector<uint8_t>& data = i % 2 ? a : b;
      sample_cache_write(path, key, data.data(), (uint32_t)data.size());
    }
    done = true;
  });
  int whole = 0, other = 0;
  while (!done) {
    uint8_t* back = nullptr;
    uint32_t size = 0;
    bool read = sample_cache_read(path, key, &back, &size) == 1 && size == a.size();
    if (read && (std::equal(a.begin(), a.end(), back) || std::equal(b.begin(), b.end(), back)))
      whole++;
    else
      other++;
    free(back);
  }
  writer.join();
  EXPECT_EQ(other, 0);
  EXPECT_GT(whole, 0);
  for (const fs::path& p : entries(cache)) EXPECT_EQ(p.string(), path) << "a temporary file stayed";
}

}  // namespace
