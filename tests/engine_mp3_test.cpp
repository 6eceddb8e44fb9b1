// SPDX-License-Identifier: GPL-3.0-or-later
// MP3 loading (through a temporary WAV file and through an in-memory image)
// and the MP3 stream, on MP3 files this test encodes itself with `lame` from
// WAV files it writes. Every result is compared with a plain libmad decode of
// the same file. The output is a record of our own in the engine's plug-in
// table; the test calls fbs_fill itself, as a plug-in's thread would.
#include <gtest/gtest.h>
#include <mad.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_state.h"
#include "engine/fbs.h"
#include "engine/mp3_decode.h"
#include "engine/mp3_gapless.h"
#include "tests/support/engine_test_output.h"
#include "plugins/plug_test_api.h"

namespace {

std::string g_dir;

using enginetest::put16;

// What the source WAV holds: a gliding tone (different in each channel), or
// one full-scale click at sample 0 followed by silence.
enum Signal { kTone, kClick };

void write_wav(const std::string& path, int rate, int channels, uint32_t frames,
               Signal signal) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  enginetest::put_wav_header(f, (uint32_t)rate, (uint16_t)channels, frames * 2 * channels);
  for (uint32_t i = 0; i < frames; ++i) {
    double t = (double)i / rate;
    for (int c = 0; c < channels; ++c) {
      double hz = 220.0 * (c + 1) + 300.0 * t;
      int16_t v = signal == kClick ? (i == 0 ? 32767 : 0)
                                   : (int16_t)(12000.0 * std::sin(2.0 * M_PI * hz * t));
      put16(f, (uint16_t)v);
    }
  }
  fclose(f);
}

// Encodes a WAV of the given format with lame and the given options (a
// constant bit rate by default; "-t" leaves out the information frame);
// returns the MP3 path, empty when lame failed.
std::string make_mp3(const std::string& name, int rate, int channels, uint32_t frames,
                     Signal signal = kTone, const std::string& options = "") {
  std::string wav = g_dir + "/" + name + ".wav";
  std::string mp3 = g_dir + "/" + name + ".mp3";
  write_wav(wav, rate, channels, frames, signal);
  std::string mode = options.find("-V") == std::string::npos
                         ? (rate == 44100 ? " -b 128" : " -b 64")
                         : "";
  char cmd[1024];
  snprintf(cmd, sizeof cmd, "lame --quiet -m %s%s %s --resample %g '%s' '%s'",
           channels == 2 ? "s" : "m", mode.c_str(), options.c_str(), rate / 1000.0,
           wav.c_str(), mp3.c_str());
  int status = std::system(cmd);
  remove(wav.c_str());
  return status == 0 ? mp3 : std::string();
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::vector<uint8_t> b;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return b;
  int c;
  while ((c = fgetc(f)) != EOF) b.push_back((uint8_t)c);
  fclose(f);
  return b;
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

// A plain libmad decode: every frame, converted by the engine's frame
// routines to 16-bit frames in the output channel count at the MP3's rate.
struct Decoded {
  int rate = 0;
  int channels = 0;  // output channels
  std::vector<int16_t> pcm;
};

Decoded reference_decode(const std::string& path) {
  Decoded d;
  Mp3Output out;
  mp3_output_for_engine(&out);
  d.channels = out.channels;
  std::vector<uint8_t> mp3 = read_file(path);
  mp3.resize(mp3.size() + MAD_BUFFER_GUARD, 0);
  struct mad_stream s;
  struct mad_frame fr;
  struct mad_synth sy;
  mad_stream_init(&s);
  mad_frame_init(&fr);
  mad_synth_init(&sy);
  mad_stream_buffer(&s, mp3.data(), mp3.size());
  std::vector<int16_t> frame(1152 * 2);
  for (;;) {
    if (mad_frame_decode(&fr, &s) != 0) {
      if (MAD_RECOVERABLE(s.error)) continue;
      break;
    }
    mad_synth_frame(&sy, &fr);
    if (d.rate == 0) d.rate = (int)sy.pcm.samplerate;
    uint32_t bytes = mp3_convert_frame(&out, frame.data(), sy.pcm.channels, sy.pcm.samples[0],
                                       sy.pcm.samples[1], sy.pcm.length);
    d.pcm.insert(d.pcm.end(), frame.begin(), frame.begin() + bytes / 2);
  }
  mad_frame_finish(&fr);
  mad_stream_finish(&s);
  return d;
}

std::vector<int16_t> wave_samples(int32_t wave) {
  void* begin = nullptr;
  void* end = nullptr;
  if (FBS_GET_WAVEPOINTERS(wave, &begin, &end, nullptr) != 1) return {};
  return std::vector<int16_t>((const int16_t*)begin, (const int16_t*)end);
}

// The wave FBS_LOAD_WAVFILE makes of every decoded frame: what the MP3
// loaders gave before they read the encoder's tag.
std::vector<int16_t> load_as_wav(const Decoded& d) {
  std::string path = g_dir + "/reference.wav";
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return {};
  enginetest::put_wav_header(f, (uint32_t)d.rate, (uint16_t)d.channels,
                             (uint32_t)(d.pcm.size() * 2));
  fwrite(d.pcm.data(), 2, d.pcm.size(), f);
  fclose(f);
  int32_t wave = -1;
  std::vector<int16_t> samples;
  if (FBS_LOAD_WAVFILE(path.c_str(), &wave) == 1) samples = wave_samples(wave);
  FBS_DESTROY_WAVE(&wave);
  remove(path.c_str());
  return samples;
}

// Models the loader's temporary-name counter: it counts every load of a
// readable, non-empty MP3 file.
int g_counter_model = 0;

int32_t load_mp3(const std::string& path, int32_t* wave, const char* temp = "") {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) g_counter_model++;
  return FBS_LOAD_MP3FILE(path.c_str(), wave, temp);
}

// Loads a file through both loaders, which must agree; returns the wave.
std::vector<int16_t> load_both_ways(const std::string& path) {
  int32_t a = -1, b = -1;
  EXPECT_EQ(load_mp3(path, &a), 1);
  EXPECT_EQ(FBS_LOAD_MP3FILE_SHORT(path.c_str(), &b, 100000000, 0), 1);
  std::vector<int16_t> via_file = wave_samples(a);
  EXPECT_EQ(via_file, wave_samples(b)) << "both loaders, sample by sample";
  FBS_DESTROY_WAVE(&a);
  FBS_DESTROY_WAVE(&b);
  return via_file;
}

// Where a wave made at the MP3's own rate lies in the plain decode: the
// first frame of the decode it starts at, or -1 when it is no run of it.
long find_run(const std::vector<int16_t>& wave, const Decoded& d) {
  std::vector<int16_t> all = load_as_wav(d);
  size_t ch = (size_t)d.channels;
  for (size_t k = 0; (k * ch) + wave.size() <= all.size(); ++k)
    if (std::equal(wave.begin(), wave.end(), all.begin() + k * ch)) return (long)k;
  return -1;
}

// Frame of the loudest sample of the first channel.
size_t loudest_frame(const std::vector<int16_t>& pcm, int channels) {
  size_t best = 0;
  for (size_t i = 0; i * channels < pcm.size(); ++i)
    if (std::abs(pcm[i * channels]) > std::abs(pcm[best * channels])) best = i;
  return best;
}

std::vector<std::string> g_lines;
void capture_line(const char* line) { g_lines.push_back(line); }

// Files without the information frame, encoded with -t.
struct Fixture {
  const char* name;
  int rate;
  int channels;
};
const Fixture kFixtures[] = {
    {"stereo44", 44100, 2}, {"mono44", 44100, 1}, {"stereo22", 22050, 2}, {"mono22", 22050, 1}};

// Files with the encoder's information frame, half a second long.
struct Tagged {
  std::string name;
  int rate;
  int channels;
  Signal signal;
  const char* options;
};
const uint32_t kTaggedFrames44 = 22050, kTaggedFrames22 = 11025;
std::vector<Tagged> tagged_fixtures() {
  std::vector<Tagged> list;
  for (Signal signal : {kClick, kTone})
    for (int rate : {44100, 22050})
      for (int channels : {1, 2})
        for (const char* options : {"", "-V 4"})
          list.push_back({std::string(signal == kClick ? "click" : "tone") +
                              (channels == 2 ? "_stereo" : "_mono") + std::to_string(rate) +
                              (options[0] ? "_vbr" : "_cbr"),
                          rate, channels, signal, options});
  return list;
}
uint32_t source_frames(int rate) { return rate == 44100 ? kTaggedFrames44 : kTaggedFrames22; }

class Mp3 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/qd_mp3_XXXXXX";
    g_dir = mkdtemp(tmpl);
    if (std::system("lame --version > /dev/null 2>&1") != 0) return;
    for (const Fixture& f : kFixtures)
      make_mp3(f.name, f.rate, f.channels, (uint32_t)(f.rate * 0.6), kTone, "-t");
    make_mp3("long", 44100, 2, 3 * 44100, kTone, "-t");
    for (const Tagged& t : tagged_fixtures())
      make_mp3(t.name, t.rate, t.channels, source_frames(t.rate), t.signal, t.options);
    make_mp3("short_click", 44100, 1, 2000, kClick);
  }
  static void TearDownTestSuite() { std::system(("rm -rf '" + g_dir + "'").c_str()); }
  void SetUp() override {
    if (read_file(path("stereo44")).empty() || read_file(path("short_click")).empty())
      GTEST_SKIP() << "lame could not encode fixtures";
    enginetest::use_output(44100, 2, 1024);
  }
  void TearDown() override { fbs_set_text_sink(nullptr); }
  static std::string path(const std::string& name) { return g_dir + "/" + name + ".mp3"; }
};

TEST_F(Mp3, FilesWithoutTheEncodersTagLoadAsEveryDecodedFrame) {
  for (int out_channels : {2, 1}) {
    enginetest::use_output(44100, out_channels, 1024);
    for (const Fixture& f : kFixtures) {
      SCOPED_TRACE(std::string(f.name) + " into " + std::to_string(out_channels) + " channels");
      std::vector<int16_t> wave = load_both_ways(path(f.name));
      Decoded d = reference_decode(path(f.name));
      ASSERT_EQ(d.rate, f.rate);
      EXPECT_EQ(wave, load_as_wav(d)) << "every frame, the last one too";
    }
  }
}

// The information frame, the encoder's delay and libmad's, and the padding
// are gone: a click at the source's first sample is the wave's first sample,
// and the wave is as long as the source. What remains is a run of the plain
// decode, converted as before.
TEST_F(Mp3, TaggedFilesHoldExactlyTheEncodedSamples) {
  for (const Tagged& t : tagged_fixtures()) {
    SCOPED_TRACE(t.name);
    enginetest::use_output(t.rate, t.channels, 1024);
    std::vector<int16_t> wave = load_both_ways(path(t.name));
    size_t frames = wave.size() / t.channels;
    EXPECT_NEAR((double)frames, (double)source_frames(t.rate), 2.0);
    Decoded d = reference_decode(path(t.name));
    long run = find_run(wave, d);
    EXPECT_GT(run, t.rate == 44100 ? 1152 : 576) << "the information frame is dropped";
    if (t.signal == kClick) {
      EXPECT_LE(loudest_frame(wave, t.channels), 2u);
      EXPECT_GT(std::abs(wave[0]) + std::abs(wave[t.channels]) + std::abs(wave[2 * t.channels]),
                4000);
    }
  }
}

// Values forged into the tag of a real file (its CRC made to fit again
// unless the case spoils it): honoured exactly, or the tag is ignored and
// the file loads as every decoded frame.
TEST_F(Mp3, ForgedTagsAreHonouredOnlyWhenTheyFitTheFile) {
  const std::string original = path("short_click");  // 2000 frames, mono
  const std::vector<uint8_t> file = read_file(original);
  // lame's layout for mono MPEG-1: "Info" behind 4 + 17 bytes of header and
  // side information, four fields, then the 36-byte extension.
  const size_t kMagic = 21, kFrameCount = kMagic + 11, kExtension = kMagic + 120;
  const size_t kDelayPadding = kExtension + 21, kCrc = kExtension + 34;
  ASSERT_GT(file.size(), kCrc + 2);
  ASSERT_EQ(memcmp(&file[kMagic], "Info", 4), 0);
  const int delay = (file[kDelayPadding] << 4) | (file[kDelayPadding + 1] >> 4);
  const int padding = ((file[kDelayPadding + 1] & 15) << 8) | file[kDelayPadding + 2];
  ASSERT_EQ(delay, 576);

  const int kKeep = -1;
  enum Spoil { kNothing, kCrcBit, kByteUnderCrc, kMagicText };
  struct Case {
    const char* name;
    int delay, padding, frame_count_change;
    Spoil spoil;
    long click_at;  // where the click lands; -1: the tag is ignored
    long extra;     // frames beyond the source's length
  } cases[] = {
      {"as encoded", kKeep, kKeep, 0, kNothing, 0, 0},
      {"delay 100 short", delay - 100, kKeep, 0, kNothing, 100, 100},
      {"padding 100 short", kKeep, padding - 100, 0, kNothing, 0, 100},
      {"padding 0", kKeep, 0, 0, kNothing, 0, padding - 529},
      {"CRC off by one bit", kKeep, kKeep, 0, kCrcBit, -1, 0},
      {"a changed byte under the CRC", kKeep, kKeep, 0, kByteUnderCrc, -1, 0},
      {"neither Info nor Xing", kKeep, kKeep, 0, kMagicText, -1, 0},
      {"delay and padding longer than the audio", 4095, 4095, 0, kNothing, -1, 0},
      {"delay longer than the audio", 4095, 0, 0, kNothing, -1, 0},
      {"frame count of a longer file", kKeep, kKeep, 1, kNothing, -1, 0},
      {"frame count of a shorter file", kKeep, kKeep, -1, kNothing, -1, 0},
  };
  enginetest::use_output(44100, 1, 1024);
  Decoded d = reference_decode(original);
  const std::string forged = g_dir + "/forged.mp3";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> f = file;
    int dl = c.delay == kKeep ? delay : c.delay, pd = c.padding == kKeep ? padding : c.padding;
    f[kDelayPadding] = (uint8_t)(dl >> 4);
    f[kDelayPadding + 1] = (uint8_t)((dl << 4) | (pd >> 8));
    f[kDelayPadding + 2] = (uint8_t)pd;
    f[kFrameCount] = (uint8_t)(f[kFrameCount] + c.frame_count_change);
    if (c.spoil == kMagicText) f[kMagic] = 'J';
    uint16_t crc = mp3_tag_crc(f.data(), kCrc);
    f[kCrc] = (uint8_t)(crc >> 8);
    f[kCrc + 1] = (uint8_t)(crc ^ (c.spoil == kCrcBit ? 1 : 0));
    if (c.spoil == kByteUnderCrc) f[kExtension + 5] ^= 0x40;
    write_file(forged, f);

    std::vector<int16_t> wave = load_both_ways(forged);
    if (c.click_at < 0) {
      EXPECT_EQ(wave, load_as_wav(d)) << "the tag is ignored";
      continue;
    }
    EXPECT_NEAR((double)wave.size(), 2000.0 + c.extra, 2.0);
    EXPECT_NEAR((double)loudest_frame(wave, 1), (double)c.click_at, 2.0);
    EXPECT_GE(find_run(wave, d), 0) << "a run of the plain decode";
  }
}

TEST_F(Mp3, TemporaryFileIsNamedByTheCounterAndAlwaysRemoved) {
  char old_cwd[4096];
  ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
  ASSERT_EQ(chdir(g_dir.c_str()), 0);
  // A file that already has the next generated name belongs to someone else
  // (another copy of the program loading in the same folder): it is left
  // alone and the loader takes the next counter, then removes its own file.
  std::string taken = "tmpfilemp3" + std::to_string(g_counter_model + 1) + ".wav";
  std::string own = "tmpfilemp3" + std::to_string(g_counter_model + 2) + ".wav";
  FILE* other = fopen(taken.c_str(), "wb");
  ASSERT_NE(other, nullptr);
  fputs("another load", other);
  fclose(other);
  int32_t w = -1;
  EXPECT_EQ(load_mp3(path("mono22"), &w), 1);
  g_counter_model++;  // the taken name used up one count
  struct stat st;
  ASSERT_EQ(stat(taken.c_str(), &st), 0) << "another program's file was removed";
  EXPECT_EQ(st.st_size, 12);
  EXPECT_NE(stat(own.c_str(), &st), 0) << own << " left behind";
  remove(taken.c_str());
  FBS_DESTROY_WAVE(&w);

  // A given name is used as it is, and removed after a failed load as well.
  std::string junk = g_dir + "/junk.mp3";
  FILE* f = fopen(junk.c_str(), "wb");
  for (int i = 0; i < 5000; ++i) fputc((i * 7919) & 0xFF, f);
  fclose(f);
  std::string given = g_dir + "/given.wav";
  EXPECT_EQ(load_mp3(junk, &w, given.c_str()), 0);
  EXPECT_EQ(w, -1);
  EXPECT_NE(stat(given.c_str(), &st), 0);
  EXPECT_EQ(load_mp3(path("stereo22"), &w, given.c_str()), 1);
  EXPECT_NE(stat(given.c_str(), &st), 0);
  FBS_DESTROY_WAVE(&w);
  EXPECT_EQ(chdir(old_cwd), 0);
}

TEST_F(Mp3, EmptyMissingAndJunkFilesFail) {
  std::string empty = g_dir + "/empty.mp3";
  fclose(fopen(empty.c_str(), "wb"));
  std::string junk = g_dir + "/junk2.mp3";
  FILE* f = fopen(junk.c_str(), "wb");
  for (int i = 0; i < 3000; ++i) fputc(0xFF, f);  // sync-looking but no frames
  fclose(f);
  std::string fifo = g_dir + "/fifo.mp3";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(FBS_CREATE_MP3STREAM(fifo.c_str()), 0) << "a FIFO fails instead of blocking";
  for (const std::string& p : {empty, junk, g_dir + "/missing.mp3", g_dir, fifo}) {
    SCOPED_TRACE(p);
    int32_t w = 9;
    EXPECT_EQ(load_mp3(p, &w, (g_dir + "/t.wav").c_str()), 0);
    EXPECT_EQ(w, -1);
    w = 9;
    EXPECT_EQ(FBS_LOAD_MP3FILE_SHORT(p.c_str(), &w, 0, 0), 0);
    EXPECT_EQ(w, -1);
  }
  EXPECT_EQ(FBS_LOAD_MP3FILE(path("mono44").c_str(), nullptr, ""), 0);
}

TEST_F(Mp3, SmallImageLoadsTruncatedWithAWarning) {
  fbs_set_text_sink(capture_line);
  g_lines.clear();
  std::string p = path("long");
  int32_t full = -1, cut = -1;
  ASSERT_EQ(FBS_LOAD_MP3FILE_SHORT(p.c_str(), &full, 100000000, 1), 1);
  ASSERT_EQ(g_lines.size(), 1u);
  EXPECT_EQ(g_lines[0].rfind("mp3short wav size=", 0), 0u) << g_lines[0];
  EXPECT_NE(g_lines[0].find("  " + p), std::string::npos);
  g_lines.clear();

  ASSERT_EQ(FBS_LOAD_MP3FILE_SHORT(p.c_str(), &cut, 0, 1), 1) << "size 0 means 100000 bytes";
  ASSERT_EQ(g_lines.size(), 2u);
  EXPECT_EQ(g_lines[0], "mp3short wav size=100000  " + p);
  EXPECT_EQ(g_lines[1], "warning mp3 file truncated :" + p);
  std::vector<int16_t> a = wave_samples(full);
  std::vector<int16_t> b = wave_samples(cut);
  ASSERT_GT(b.size(), 0u);
  EXPECT_LE(b.size() * 2, 100000u - 52u);
  EXPECT_LT(b.size(), a.size());
  // The frames that fitted are whole; only the zeroed tail of the image differs.
  size_t same = 0;
  while (same < b.size() && a[same] == b[same]) same++;
  EXPECT_GT(same, b.size() - 1152 * 2 * 2);
  for (size_t i = same; i < b.size(); ++i) ASSERT_EQ(b[i], 0) << i;
  FBS_DESTROY_WAVE(&full);
  FBS_DESTROY_WAVE(&cut);
}

int g_stream_blocks = 0;
void FBS_CALL count_stream_block(int16_t*, int32_t, int32_t) { g_stream_blocks++; }

// Plays the stream created from path through fbs_fill until it ends by
// itself; returns the blocks the stream contributed, concatenated. With
// `frames`, the calls fill blocks of these sizes in turn (block_bytes), as
// a plug-in does whose device changed its period.
std::vector<int16_t> play_stream_to_end(FbsPlugRecord* record, bool* ended, const std::vector<int>& frames = {}) {
  std::vector<int16_t> block(record->buffersize / 2);
  std::vector<int16_t> heard;
  record->buffer = block.data();
  g_stream_blocks = 0;
  EXPECT_EQ(FBS_SET_STREAMCALLBACK(count_stream_block), 1);
  EXPECT_EQ(FBS_ENABLE_STREAMCALLBACK(), 1);
  EXPECT_EQ(FBS_PLAY_MP3STREAM(1.0f, 0.0f), 1);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  float volume;
  *ended = false;
  for (size_t call = 0; std::chrono::steady_clock::now() < deadline; call++) {
    int before = g_stream_blocks;
    record->block_bytes = frames.empty() ? 0 : frames[call % frames.size()] * record->framesize;
    fbs_fill(record);
    size_t samples = record->block_bytes > 0 ? record->block_bytes / 2 : block.size();
    if (g_stream_blocks != before) heard.insert(heard.end(), block.begin(), block.begin() + samples);
    if (FBS_GET_STREAMVOLUME(&volume) == 0) {
      *ended = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  record->buffer = nullptr;
  record->block_bytes = 0;
  return heard;
}

TEST_F(Mp3, StreamPlaysToItsEndAndCompletesTheLastBlockWithZeros) {
  FbsPlugRecord* record = enginetest::use_output(44100, 2, 1000);  // 4000-byte blocks
  std::string p = path("stereo44");
  ASSERT_EQ(FBS_CREATE_MP3STREAM(p.c_str()), 1);
  EXPECT_EQ(FBS_CREATE_MP3STREAM(p.c_str()), 0) << "one stream at a time";
  bool ended = false;
  std::vector<int16_t> heard = play_stream_to_end(record, &ended);
  ASSERT_TRUE(ended) << "the stream ends by itself once drained";

  Decoded d = reference_decode(p);
  size_t block_samples = record->buffersize / 2;
  size_t blocks = (d.pcm.size() + block_samples - 1) / block_samples;
  ASSERT_NE(d.pcm.size() % block_samples, 0u) << "fixture should end inside a block";
  ASSERT_EQ(heard.size(), blocks * block_samples);
  EXPECT_TRUE(std::equal(d.pcm.begin(), d.pcm.end(), heard.begin())) << "bit-exact frames";
  for (size_t i = d.pcm.size(); i < heard.size(); ++i) ASSERT_EQ(heard[i], 0) << i;
  EXPECT_EQ(FBS_END_MP3STREAM(), 1);
}

TEST_F(Mp3, StreamResamplesAMonoStreamToTheOutput) {
  FbsPlugRecord* record = enginetest::use_output(44100, 2, 1024);
  std::string p = path("mono22");
  ASSERT_EQ(FBS_CREATE_MP3STREAM(p.c_str()), 1);
  bool ended = false;
  std::vector<int16_t> heard = play_stream_to_end(record, &ended);
  ASSERT_TRUE(ended);
  Decoded d = reference_decode(p);
  // Every 22050 Hz frame twice: whole frames of the doubled length.
  size_t want = d.pcm.size() * 2;
  size_t block_samples = record->buffersize / 2;
  ASSERT_EQ(heard.size(), (want + block_samples - 1) / block_samples * block_samples);
  for (size_t i = 0; i + 1 < want; i += 2) ASSERT_EQ(heard[i], heard[i + 1]) << "mono in both";
  for (size_t i = 0; i < 200; ++i) EXPECT_EQ(heard[2 * i], d.pcm[2 * (i / 2)]) << i;
}

// Blocks so small that a decoded frame is larger than the ring's room: the
// decoder writes the frame in pieces instead of waiting for room that can
// never come, at the output rate and resampled.
TEST_F(Mp3, StreamWithBlocksSmallerThanAFramePlaysToItsEnd) {
  FbsPlugRecord* record = enginetest::use_output(44100, 2, 64);  // a 768-byte ring
  std::string p = path("stereo44");
  ASSERT_EQ(FBS_CREATE_MP3STREAM(p.c_str()), 1);
  bool ended = false;
  std::vector<int16_t> heard = play_stream_to_end(record, &ended);
  ASSERT_TRUE(ended) << "the stream ends by itself once drained";
  Decoded d = reference_decode(p);
  ASSERT_GE(heard.size(), d.pcm.size());
  EXPECT_TRUE(std::equal(d.pcm.begin(), d.pcm.end(), heard.begin())) << "bit-exact frames";
  EXPECT_EQ(FBS_END_MP3STREAM(), 1);

  p = path("mono22");
  ASSERT_EQ(FBS_CREATE_MP3STREAM(p.c_str()), 1);
  heard = play_stream_to_end(record, &ended);
  ASSERT_TRUE(ended);
  d = reference_decode(p);
  ASSERT_GE(heard.size(), d.pcm.size() * 2);
  for (size_t i = 0; i < d.pcm.size(); ++i) ASSERT_EQ(heard[2 * i], d.pcm[2 * (i / 2)]) << i;
  EXPECT_EQ(FBS_END_MP3STREAM(), 1);
}

// Blocks of other sizes than the stream was made for, which do not tile its
// ring (a JACK server changed its period): every frame plays once, in order,
// and the stream still ends by itself.
TEST_F(Mp3, StreamServedInBlocksOfOtherSizesPlaysEveryFrameAndEnds) {
  FbsPlugRecord* record = enginetest::use_output(44100, 2, 256);
  std::string p = path("stereo44");
  ASSERT_EQ(FBS_CREATE_MP3STREAM(p.c_str()), 1);
  bool ended = false;
  std::vector<int16_t> heard = play_stream_to_end(record, &ended, {96, 160, 200, 256});
  ASSERT_TRUE(ended) << "the stream ends by itself once drained";
  Decoded d = reference_decode(p);
  ASSERT_GE(heard.size(), d.pcm.size());
  EXPECT_TRUE(std::equal(d.pcm.begin(), d.pcm.end(), heard.begin())) << "bit-exact frames";
  for (size_t i = d.pcm.size(); i < heard.size(); ++i) ASSERT_EQ(heard[i], 0) << i;
  EXPECT_EQ(FBS_END_MP3STREAM(), 1);
}

// Mono output whose block is an odd number of frames: the ring is not a
// whole number of 4-byte units, and what the decoder writes must still line
// up with what the mixer reads, lap after lap.
TEST_F(Mp3, MonoStreamWithAnOddFrameCountStaysInStep) {
  FbsPlugRecord* record = enginetest::use_output(44100, 1, 1001);  // 2002-byte blocks
  std::string p = path("mono44");
  ASSERT_EQ(FBS_CREATE_MP3STREAM(p.c_str()), 1);
  bool ended = false;
  std::vector<int16_t> heard = play_stream_to_end(record, &ended);
  ASSERT_TRUE(ended);
  Decoded d = reference_decode(p);
  ASSERT_GE(heard.size(), d.pcm.size());
  for (size_t i = 0; i < d.pcm.size(); ++i) ASSERT_EQ(heard[i], d.pcm[i]) << i;
  EXPECT_EQ(FBS_END_MP3STREAM(), 1);
}

// The stream trims as the loaders do: it plays the run of the plain decode
// that the loader keeps, then the zeros that complete the last block.
TEST_F(Mp3, StreamPlaysExactlyTheEncodedSamples) {
  for (const Tagged& t : tagged_fixtures()) {
    if (t.signal != kClick) continue;
    SCOPED_TRACE(t.name);
    FbsPlugRecord* record = enginetest::use_output(t.rate, t.channels, 1000);
    int32_t wave = -1;
    ASSERT_EQ(load_mp3(path(t.name), &wave), 1);
    std::vector<int16_t> loaded = wave_samples(wave);
    FBS_DESTROY_WAVE(&wave);
    Decoded d = reference_decode(path(t.name));
    long run = find_run(loaded, d);
    ASSERT_GE(run, 0);
    size_t samples = loaded.size(), block = record->buffersize / 2;

    ASSERT_EQ(FBS_CREATE_MP3STREAM(path(t.name).c_str()), 1);
    bool ended = false;
    std::vector<int16_t> heard = play_stream_to_end(record, &ended);
    ASSERT_TRUE(ended);
    ASSERT_EQ(heard.size(), (samples + block - 1) / block * block);
    EXPECT_TRUE(std::equal(heard.begin(), heard.begin() + samples, d.pcm.begin() + run * t.channels));
    for (size_t i = samples; i < heard.size(); ++i) ASSERT_EQ(heard[i], 0) << i;
    EXPECT_LE(loudest_frame(heard, t.channels), 2u);
  }
}

TEST_F(Mp3, StreamEntryPointsWithoutAStream) {
  float v;
  void* block;
  EXPECT_EQ(FBS_END_MP3STREAM(), 1);
  EXPECT_EQ(FBS_PLAY_MP3STREAM(1.0f, 0.0f), 0);
  EXPECT_EQ(FBS_GET_STREAMVOLUME(&v), 0);
  EXPECT_EQ(FBS_SET_STREAMPAN(0.5f), 0);
  EXPECT_EQ(FBS_GET_STREAMBUFFER(&block, nullptr, nullptr), 0);
  EXPECT_EQ(FBS_CREATE_MP3STREAM((g_dir + "/missing.mp3").c_str()), 0);

  // Created, never played, ended: the next stream can be made.
  ASSERT_EQ(FBS_CREATE_MP3STREAM(path("mono44").c_str()), 1);
  EXPECT_EQ(FBS_SET_STREAMVOLUME(5.0f), 1);
  ASSERT_EQ(FBS_GET_STREAMVOLUME(&v), 1);
  EXPECT_EQ(v, 2.0f);
  EXPECT_EQ(FBS_SET_STREAMVOLUME(0.00005f), 1);
  ASSERT_EQ(FBS_GET_STREAMVOLUME(&v), 1);
  EXPECT_EQ(v, 0.0f);
  // The stream's pan is limited as a sound's is, NaN to the left edge.
  const struct { float set, stored; } pans[] = {
      {-3.0f, -1.0f}, {3.0f, 1.0f}, {0.25f, 0.25f}, {NAN, -1.0f}, {-INFINITY, -1.0f}, {INFINITY, 1.0f}};
  for (const auto& p : pans) {
    EXPECT_EQ(FBS_SET_STREAMPAN(p.set), 1);
    ASSERT_EQ(FBS_GET_STREAMPAN(&v), 1);
    EXPECT_EQ(v, p.stored) << p.set;
  }
  EXPECT_EQ(FBS_SET_STREAMCALLBACK(nullptr), 1);
  EXPECT_EQ(FBS_ENABLE_STREAMCALLBACK(), 0) << "no callback stored";
  EXPECT_EQ(FBS_DISABLE_STREAMCALLBACK(), 0);
  int32_t channels = 0, frames = 0;
  ASSERT_EQ(FBS_GET_STREAMBUFFER(&block, &channels, &frames), 1);
  EXPECT_EQ(channels, 2);
  EXPECT_EQ(frames, 1024);
  EXPECT_EQ(FBS_END_MP3STREAM(), 1);
  EXPECT_EQ(FBS_GET_STREAMVOLUME(&v), 0);
  ASSERT_EQ(FBS_CREATE_MP3STREAM(path("mono44").c_str()), 1);
  EXPECT_EQ(FBS_END_MP3STREAM(), 1);
}

TEST_F(Mp3, EndingAPlayingStreamStopsItsDecoder) {
  FbsPlugRecord* record = enginetest::use_output(44100, 2, 1024);
  ASSERT_EQ(FBS_CREATE_MP3STREAM(path("long").c_str()), 1);
  ASSERT_EQ(FBS_PLAY_MP3STREAM(0.5f, 0.3f), 1);
  EXPECT_EQ(FBS_PLAY_MP3STREAM(1.0f, 0.0f), 0) << "the decoder runs once per stream";
  std::vector<int16_t> block(record->buffersize / 2);
  record->buffer = block.data();
  for (int i = 0; i < 5; ++i) fbs_fill(record);
  record->buffer = nullptr;
  // The ring is full and nobody reads it: the decoder waits, and must stop.
  EXPECT_EQ(FBS_END_MP3STREAM(), 1);
  float v;
  EXPECT_EQ(FBS_GET_STREAMVOLUME(&v), 0);
}

TEST_F(Mp3, StreamThroughTheTestPlugInEndsByItself) {
  // The real start-up path: the test plug-in under a built-in name.
  free(fbs_plugs);
  fbs_plugs = nullptr;
  fbs_numofplugouts = 0;
  fbs_current_plug.store(-1);
  fbs_initialised.store(0);
  std::string dir = plugtest::make_plug_folder({{plugtest::built("plug_test.so"), "plug-rtaudio.so"}});
  plugtest::Copy copy = plugtest::open_copy(dir + "plug-rtaudio.so");
  ASSERT_NE(copy.fill, nullptr);
  FBS_SET_PLUGPATH(dir.c_str());
  ASSERT_EQ(FBS_INIT(44100, 2, 3, 512, 0), 1);

  int32_t wave = -1;
  ASSERT_EQ(load_mp3(path("stereo22"), &wave, (dir + "t.wav").c_str()), 1);
  ASSERT_EQ(FBS_CREATE_MP3STREAM(path("stereo44").c_str()), 1);
  ASSERT_EQ(FBS_PLAY_MP3STREAM(1.0f, 0.0f), 1);
  int playing_blocks = 0;
  float volume;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (FBS_GET_STREAMVOLUME(&volume) == 1 && std::chrono::steady_clock::now() < deadline) {
    copy.fill(1);
    if (FBS_GET_PLAYINGSTREAMS() == 1) playing_blocks++;
    std::this_thread::sleep_for(std::chrono::microseconds(300));
  }
  EXPECT_EQ(FBS_GET_STREAMVOLUME(&volume), 0) << "the stream ended by itself";
  Decoded d = reference_decode(path("stereo44"));
  EXPECT_GE(playing_blocks, (int)(d.pcm.size() * 2 / 2048)) << "played through";
  copy.fill(1);
  EXPECT_EQ(FBS_GET_PLAYINGSTREAMS(), 0);
  FBS_DESTROY_WAVE(&wave);
  FBS_EXIT();
  dlclose(copy.module);
  std::filesystem::remove_all(dir);
}

}  // namespace
