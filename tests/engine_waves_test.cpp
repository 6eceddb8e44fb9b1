// SPDX-License-Identifier: GPL-3.0-or-later
// Waves and WAV loading: the byte-wise header scan, the conversion to the
// output format (channels, rate, 8/16-bit), empty waves, slot reuse and
// destroying a wave under its sounds. The output is a record of our own put
// in the engine's plug-in table, so no device or plug-in file is needed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine_state.h"
#include "engine/fbs.h"
#include "tests/support/engine_test_output.h"

namespace {

void put16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back((uint8_t)v);
  b.push_back((uint8_t)(v >> 8));
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
  put16(b, (uint16_t)v);
  put16(b, (uint16_t)(v >> 16));
}
void tag(std::vector<uint8_t>& b, const char* t) { b.insert(b.end(), t, t + 4); }

struct WavLayout {
  uint16_t format = 1;
  uint16_t channels = 1;
  uint32_t rate = 44100;
  uint16_t bits = 16;
  std::vector<uint8_t> samples;
  bool list_chunk = false;    // a "LIST" chunk between "fmt " and "data"
  uint32_t fmt_extra = 0;     // bytes beyond the 16 of a plain fmt chunk
  int64_t data_size = -1;     // the size field; -1: the real sample bytes
  uint16_t frame_pad = 0;     // block align beyond the frame's samples
};

std::vector<uint8_t> wav_bytes(const WavLayout& s) {
  std::vector<uint8_t> b;
  uint16_t align = (uint16_t)(s.channels * (s.bits / 8) + s.frame_pad);
  tag(b, "RIFF");
  put32(b, 36 + (uint32_t)s.samples.size());
  tag(b, "WAVE");
  tag(b, "fmt ");
  put32(b, 16 + s.fmt_extra);
  put16(b, s.format);
  put16(b, s.channels);
  put32(b, s.rate);
  put32(b, s.rate * align);
  put16(b, align);
  put16(b, s.bits);
  for (uint32_t i = 0; i < s.fmt_extra; ++i) b.push_back(0);
  if (s.list_chunk) {
    tag(b, "LIST");
    put32(b, 12);
    tag(b, "INFO");
    tag(b, "ISFT");
    put32(b, 0);
  }
  tag(b, "data");
  put32(b, s.data_size < 0 ? (uint32_t)s.samples.size() : (uint32_t)s.data_size);
  b.insert(b.end(), s.samples.begin(), s.samples.end());
  return b;
}

// The in-memory WAV image of a file's bytes: write offset, end offset, then
// the file, whose 44-byte header puts the samples at byte 52.
std::vector<uint8_t> image_of(const std::vector<uint8_t>& wav) {
  std::vector<uint8_t> image;
  put32(image, 8 + (uint32_t)wav.size());
  put32(image, 8 + (uint32_t)wav.size());
  image.insert(image.end(), wav.begin(), wav.end());
  return image;
}

std::vector<uint8_t> samples16(const std::vector<int16_t>& v) {
  std::vector<uint8_t> b;
  for (int16_t s : v) put16(b, (uint16_t)s);
  return b;
}

std::string write_file(const std::string& name, const std::vector<uint8_t>& bytes) {
  std::string path = std::string("/tmp/qd_waves_") + std::to_string(getpid()) + "_" + name;
  FILE* f = fopen(path.c_str(), "wb");
  if (f) {
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
  }
  return path;
}

// Loads a WAV file; returns its 16-bit samples (empty when the load failed).
std::vector<int16_t> load(const std::vector<uint8_t>& bytes, int32_t* handle_out = nullptr) {
  std::string path = write_file("load.wav", bytes);
  int32_t h = 12345;
  int32_t ok = FBS_LOAD_WAVFILE(path.c_str(), &h);
  remove(path.c_str());
  if (handle_out) *handle_out = h;
  if (!ok) {
    EXPECT_EQ(h, -1);
    return {};
  }
  void* begin = nullptr;
  void* end = nullptr;
  EXPECT_EQ(FBS_GET_WAVEPOINTERS(h, &begin, &end, nullptr), 1);
  std::vector<int16_t> out((const int16_t*)begin, (const int16_t*)end);
  if (!handle_out) FBS_DESTROY_WAVE(&h);
  return out;
}

int32_t nearest(double x) { return (int32_t)std::nearbyint(x); }

class Waves : public ::testing::Test {
 protected:
  void SetUp() override { enginetest::use_output(44100, 2, 256); }
};

TEST_F(Waves, HeadersThatFailToLoad) {
  WavLayout ok;
  ok.samples = samples16({1, 2, 3, 4});
  std::vector<uint8_t> good = wav_bytes(ok);
  ASSERT_FALSE(load(good).empty());

  std::vector<uint8_t> exactly44(good.begin(), good.begin() + 44);
  EXPECT_TRUE(load(exactly44).empty()) << "a file must be longer than 44 bytes";

  WavLayout flt = ok;
  flt.format = 3;
  EXPECT_TRUE(load(wav_bytes(flt)).empty()) << "format tag 3 (float)";

  std::vector<uint8_t> no_riff = good;
  memcpy(no_riff.data(), "RIFX", 4);
  EXPECT_TRUE(load(no_riff).empty());

  std::vector<uint8_t> no_data = good;
  memcpy(no_data.data() + 36, "dat_", 4);
  EXPECT_TRUE(load(no_data).empty());

  WavLayout empty = ok;
  empty.data_size = 0;
  EXPECT_TRUE(load(wav_bytes(empty)).empty()) << "data size 0";

  std::vector<uint8_t> short_fmt = good;
  short_fmt[16] = 15;  // fmt size below 16
  EXPECT_TRUE(load(short_fmt).empty());

  std::vector<uint8_t> zero_align = good;
  zero_align[32] = 0;
  zero_align[33] = 0;
  EXPECT_TRUE(load(zero_align).empty()) << "block align 0 has no frames";

  int32_t h = 7;
  EXPECT_EQ(FBS_LOAD_WAVFILE("/nonexistent/file.wav", &h), 0);
  EXPECT_EQ(h, -1);
  EXPECT_EQ(FBS_LOAD_WAVFILE("/tmp", nullptr), 0);
  EXPECT_EQ(FBS_LOAD_WAVFILE("/tmp", &h), 0) << "a folder";
  std::string fifo = "/tmp/qd_waves_fifo_" + std::to_string(getpid());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(FBS_LOAD_WAVFILE(fifo.c_str(), &h), 0) << "a FIFO fails instead of blocking";
  unlink(fifo.c_str());
}

TEST_F(Waves, ScanPassesOverLongerFmtAndListChunks) {
  WavLayout s;
  s.samples = samples16({1000, -1000, 2000, -2000});
  s.list_chunk = true;
  s.fmt_extra = 2;
  std::vector<int16_t> out = load(wav_bytes(s));
  ASSERT_EQ(out.size(), 8u);  // 4 mono frames into stereo
  EXPECT_EQ(out[0], nearest(32767.0 * (float)(1000 * 1.5259254723787308e-05)));
  EXPECT_EQ(out[6], out[7]);
}

TEST_F(Waves, MonoAt22050BecomesStereoAt44100WithEveryFrameTwice) {
  WavLayout s;
  s.rate = 22050;
  std::vector<int16_t> src = {0, 1, -1, 3, 32767, -32768, 12345, -777, 100};
  s.samples = samples16(src);
  std::vector<int16_t> out = load(wav_bytes(s));
  ASSERT_EQ(out.size(), src.size() * 2 * 2);
  for (size_t i = 0; i < src.size(); ++i) {
    // About half the source value: 32767 x s / 65534, within one step.
    int32_t expect = nearest(32767.0 * src[i] / 65534.0);
    for (int k = 0; k < 4; ++k) {
      int16_t v = out[4 * i + k];
      EXPECT_NEAR(v, expect, 1) << "frame " << i;
      EXPECT_EQ(v, out[4 * i]) << "both channels, both copies of frame " << i;
    }
  }
}

TEST_F(Waves, DownsamplingPicksFramesAndLeavesTheLastOneZero) {
  WavLayout s;
  s.rate = 48000;
  s.channels = 2;
  std::vector<int16_t> src;
  const int n = 480;
  for (int i = 0; i < n; ++i) {
    src.push_back((int16_t)(2 * (i + 1)));  // left: the frame number, doubled
    src.push_back((int16_t)(-2 * (i + 1)));
  }
  s.samples = samples16(src);
  std::vector<int16_t> out = load(wav_bytes(s));
  const int m = nearest(n * (44100.0 / 48000.0));
  ASSERT_EQ((int)out.size(), 2 * m);
  EXPECT_EQ(out[2 * (m - 1)], 0);
  EXPECT_EQ(out[2 * (m - 1) + 1], 0);
  int previous = 0;
  for (int j = 0; j < m - 1; ++j) {
    // 32767 x 2k / 65534 = k exactly: the output tells which frame was picked.
    int picked = out[2 * j];
    EXPECT_EQ(out[2 * j + 1], -picked);
    EXPECT_GT(picked, previous) << "frames are picked in order, none twice";
    double first = j * 48000.0 / 44100.0;
    EXPECT_GE(picked - 1, (int)std::floor(first) - 1) << "output frame " << j;
    EXPECT_LE(picked - 1, (int)std::ceil(first) + 1) << "output frame " << j;
    previous = picked;
  }
}

// The band-limited converter: a 1 kHz tone comes out as the same tone at
// the output rate (half its level, as every 16-bit source), nearest(N x
// out / in) frames long, with whatever rounding and the kernel leave below
// -70 dB; the edges (where the taps meet silence) are not judged.
TEST_F(Waves, BandLimitedConversionKeepsATonesPitchAndLevelAtEveryRate) {
  struct Case {
    int32_t in_rate, out_rate, in_channels, out_channels;
  } cases[] = {{44100, 48000, 2, 2}, {44100, 96000, 1, 2}, {48000, 44100, 2, 2},
               {44100, 22050, 2, 1}, {22050, 192000, 1, 1}, {44100, 44100, 2, 2}};
  const double tone = 1000.0, amplitude = 20000.0;
  ASSERT_EQ(FBS_SET_WAVECONVERTER(2), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.in_rate) + " -> " + std::to_string(c.out_rate));
    enginetest::use_output(c.out_rate, c.out_channels, 256);
    WavLayout s;
    s.rate = (uint32_t)c.in_rate;
    s.channels = (uint16_t)c.in_channels;
    const int n = c.in_rate / 4;
    std::vector<int16_t> src;
    for (int i = 0; i < n; i++)
      for (int ch = 0; ch < c.in_channels; ch++)
        src.push_back((int16_t)std::lrint(amplitude * std::sin(2 * M_PI * tone * i / c.in_rate)));
    s.samples = samples16(src);
    ASSERT_EQ(FBS_SET_WAVECONVERTER(1), 1);
    std::vector<int16_t> out = load(wav_bytes(s));
    FBS_SET_WAVECONVERTER(0);
    const size_t m = (size_t)nearest((double)n * c.out_rate / c.in_rate);
    ASSERT_EQ(out.size(), m * c.out_channels);
    double error = 0, power = 0;
    for (size_t f = m / 8; f < m - m / 8; f++) {
      const double want = 32767.0 / 65534.0 * amplitude * std::sin(2 * M_PI * tone * f / c.out_rate);
      for (int ch = 0; ch < c.out_channels; ch++) {
        const double got = out[f * c.out_channels + ch];
        error += (got - want) * (got - want);
        power += want * want;
      }
    }
    EXPECT_LT(10 * std::log10(error / power), -70.0);
  }
  enginetest::use_output(44100, 2, 256);
}

TEST_F(Waves, EightBitSamplesAreUnsigned) {
  WavLayout s;
  s.bits = 8;
  s.samples = {255, 128, 0, 129};
  std::vector<int16_t> out = load(wav_bytes(s));
  ASSERT_EQ(out.size(), 8u);
  EXPECT_EQ(out[0], 16256);  // nearest(32767 x 127 / 256)
  EXPECT_EQ(out[1], 16256);
  EXPECT_EQ(out[2], 0);
  EXPECT_EQ(out[4], -16384);  // 32767 x -0.5 = -16383.5, ties to even
  EXPECT_EQ(out[6], 128);     // nearest(32767 / 256)
}

TEST_F(Waves, MonoOutputSumsBothChannels) {
  enginetest::use_output(44100, 1, 256);
  WavLayout s;
  s.channels = 2;
  s.samples = samples16({1000, -1000, 20000, 20000});
  std::vector<int16_t> out = load(wav_bytes(s));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], 0);
  float l = (float)(20000 * 1.5259254723787308e-05);
  EXPECT_EQ(out[1], nearest(16383.0 * l + 16383.0 * l));

  // Downsampling writes mono with a half step more gain: 16383.5.
  WavLayout down;
  down.rate = 88200;
  down.samples = samples16({20000, 20000, 20000, 20000, 20000, 20000});
  out = load(wav_bytes(down));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0], nearest(16383.5 * l + 16383.5 * l));
  EXPECT_EQ(out[2], 0);
}

TEST_F(Waves, DataSizeBeyondTheFileIsLimitedToTheBytesPresent) {
  WavLayout s;
  s.samples = samples16({100, 200, 300});
  s.data_size = 1000000;
  std::vector<int16_t> out = load(wav_bytes(s));
  ASSERT_EQ(out.size(), 6u);
  EXPECT_EQ(out[4], nearest(32767.0 * (float)(300 * 1.5259254723787308e-05)));

  s.data_size = 0xFFFFFFFFu;  // a streaming writer's "unknown"
  EXPECT_EQ(load(wav_bytes(s)).size(), 6u);
}

TEST_F(Waves, InMemoryImageLoadsWithoutCheckingTags) {
  WavLayout s;
  s.rate = 22050;
  s.samples = samples16({4000, -4000});
  std::vector<uint8_t> wav = wav_bytes(s);
  memcpy(wav.data(), "JUNK", 4);  // tags are not compared for an image
  std::vector<uint8_t> image = image_of(wav);
  int32_t h = -5;
  ASSERT_EQ(FBS_LOAD_WAVFILE_SHORT(image.data(), &h), 1);
  int32_t ms = 0;
  ASSERT_EQ(FBS_GET_WAVELENGTH(h, &ms), 1);
  void* begin = nullptr;
  void* end = nullptr;
  ASSERT_EQ(FBS_GET_WAVEPOINTERS(h, &begin, &end, nullptr), 1);
  ASSERT_EQ((uint8_t*)end - (uint8_t*)begin, 16);  // 4 stereo frames
  EXPECT_EQ(((int16_t*)begin)[4], nearest(32767.0 * (float)(-4000 * 1.5259254723787308e-05)));
  FBS_DESTROY_WAVE(&h);

  // A header counting more samples than the image holds reads only the image.
  uint32_t huge = 50000000;
  memcpy(image.data() + 8 + 40, &huge, 4);
  ASSERT_EQ(FBS_LOAD_WAVFILE_SHORT(image.data(), &h), 1);
  ASSERT_EQ(FBS_GET_WAVEPOINTERS(h, &begin, &end, nullptr), 1);
  EXPECT_EQ((uint8_t*)end - (uint8_t*)begin, 16);
  FBS_DESTROY_WAVE(&h);

  EXPECT_EQ(FBS_LOAD_WAVFILE_SHORT(nullptr, &h), 0);
  EXPECT_EQ(h, -1);
}

// A file's samples are converted over the file's own bytes where the output
// is no larger (16-bit at the output rate); an image's go to a block of their
// own. Both give the same wave for every layout, and where the output is
// each sample's own conversion, every sample is the formula's.
TEST_F(Waves, FilesConvertedInPlaceMatchImagesAndTheFormula) {
  struct Case {
    const char* name;
    uint16_t channels, bits, frame_pad;
    uint32_t rate;
    int32_t out_channels;
    double gain;  // each output sample nearest(gain x L); 0: no such rule
  } cases[] = {
      {"stereo into stereo", 2, 16, 0, 44100, 2, 32767.0},
      {"mono into mono", 1, 16, 0, 44100, 1, 2 * 16383.0},
      {"stereo with padded frames", 2, 16, 2, 44100, 2, 32767.0},
      {"mono with padded frames into mono", 1, 16, 6, 44100, 1, 2 * 16383.0},
      {"stereo into mono", 2, 16, 0, 44100, 1, 0},
      {"mono into stereo", 1, 16, 0, 44100, 2, 0},
      {"8-bit stereo", 2, 8, 0, 44100, 2, 0},
      {"22050 Hz stereo", 2, 16, 0, 22050, 2, 0},
      {"48000 Hz mono into mono", 1, 16, 0, 48000, 1, 0},
  };
  uint32_t seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    enginetest::use_output(44100, c.out_channels, 256);
    WavLayout s;
    s.channels = c.channels;
    s.bits = c.bits;
    s.frame_pad = c.frame_pad;
    s.rate = c.rate;
    const size_t frames = 5001, sample_bytes = c.bits / 8;
    std::vector<int16_t> values;  // the samples, each frame's padding skipped
    for (size_t f = 0; f < frames; ++f) {
      for (int ch = 0; ch < c.channels; ++ch) {
        seed = seed * 1103515245u + 12345u;
        // Both limits, then pseudo-random values over the whole range.
        uint16_t raw = f == 0 ? 0x8000 : f == 1 ? 0x7FFF : (uint16_t)(seed >> 16);
        values.push_back((int16_t)raw);
        for (size_t k = 0; k < sample_bytes; ++k) s.samples.push_back((uint8_t)(raw >> (8 * k)));
      }
      s.samples.insert(s.samples.end(), c.frame_pad, 0xA5);
    }
    std::vector<uint8_t> wav = wav_bytes(s);
    std::vector<int16_t> from_file = load(wav);
    ASSERT_FALSE(from_file.empty());

    std::vector<uint8_t> image = image_of(wav);
    int32_t h = -1;
    ASSERT_EQ(FBS_LOAD_WAVFILE_SHORT(image.data(), &h), 1);
    void* begin = nullptr;
    void* end = nullptr;
    ASSERT_EQ(FBS_GET_WAVEPOINTERS(h, &begin, &end, nullptr), 1);
    EXPECT_EQ(from_file, std::vector<int16_t>((int16_t*)begin, (int16_t*)end));
    FBS_DESTROY_WAVE(&h);

    if (c.gain == 0) continue;
    ASSERT_EQ(from_file.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i)
      ASSERT_EQ(from_file[i], nearest(c.gain * (float)(values[i] * 1.5259254723787308e-05)))
          << "sample " << i << " of value " << values[i];
  }
}

TEST_F(Waves, CreateWaveAllocatesZeroedFrames) {
  int32_t h = -1;
  void* data = nullptr;
  ASSERT_EQ(FBS_CREATE_WAVE(100, &h, &data), 1);
  void* begin = nullptr;
  void* end = nullptr;
  int32_t channels = 0;
  ASSERT_EQ(FBS_GET_WAVEPOINTERS(h, &begin, &end, &channels), 1);
  EXPECT_EQ(begin, data);
  EXPECT_EQ((uint8_t*)end - (uint8_t*)begin, 400);
  EXPECT_EQ(channels, 2);
  for (int i = 0; i < 400; ++i) ASSERT_EQ(((uint8_t*)data)[i], 0);
  int32_t ms = -1;
  ASSERT_EQ(FBS_GET_WAVELENGTH(h, &ms), 1);
  EXPECT_EQ(ms, 2);  // 100 frames at 44100 Hz
  EXPECT_EQ(FBS_GET_WAVELENGTH(h, nullptr), 0);
  EXPECT_EQ(FBS_DESTROY_WAVE(&h), 1);
  EXPECT_EQ(h, -1);

  EXPECT_EQ(FBS_CREATE_WAVE(0, &h, &data), 0);
  EXPECT_EQ(h, -1);
  EXPECT_EQ(FBS_CREATE_WAVE(100, nullptr, &data), 0);
  EXPECT_EQ(FBS_CREATE_WAVE(0x40000000, &h, &data), 0) << "more than 32-bit sizes";
  EXPECT_EQ(h, -1);
}

TEST_F(Waves, DestroyFreesTheSlotForTheNextWave) {
  int32_t a = -1, b = -1, c = -1;
  void* data = nullptr;
  ASSERT_EQ(FBS_CREATE_WAVE(10, &a, &data), 1);
  ASSERT_EQ(FBS_CREATE_WAVE(10, &b, &data), 1);
  ASSERT_NE(a, b);
  int32_t old_a = a;
  ASSERT_EQ(FBS_DESTROY_WAVE(&a), 1);
  EXPECT_EQ(a, -1);
  EXPECT_EQ(FBS_DESTROY_WAVE(&a), 0) << "-1 is no wave";
  int32_t stale = old_a;
  EXPECT_EQ(FBS_GET_WAVELENGTH(stale, &c), 0);
  WavLayout s;
  s.samples = samples16({1, 2});
  std::vector<int16_t> out = load(wav_bytes(s), &c);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(c, old_a) << "the freed slot is reused";
  FBS_DESTROY_WAVE(&c);
  FBS_DESTROY_WAVE(&b);
}

TEST_F(Waves, DestroyStopsAndFreesEverySoundOnTheWave) {
  int32_t w = -1, other = -1;
  void* data = nullptr;
  ASSERT_EQ(FBS_CREATE_WAVE(1000, &w, &data), 1);
  ASSERT_EQ(FBS_CREATE_WAVE(1000, &other, &data), 1);
  int32_t s1 = -1, s2 = -1, keep = -1;
  ASSERT_EQ(FBS_CREATE_SOUND(w, &s1), 1);
  ASSERT_EQ(FBS_PLAY_WAVE(w, 5, 1.0f, 1.0f, 0.0f, &s2), 1);
  ASSERT_EQ(FBS_CREATE_SOUND(other, &keep), 1);
  ASSERT_EQ(FBS_PLAY_SOUND(s1, 3), 1);
  ASSERT_EQ(FBS_DESTROY_WAVE(&w), 1);
  EXPECT_EQ(fbs_sounds[s1].wave_begin.load(), nullptr);
  EXPECT_EQ(fbs_sounds[s2].wave_begin.load(), nullptr);
  EXPECT_EQ(fbs_sounds[s1].loops.load(), 0);
  EXPECT_EQ(FBS_PLAY_SOUND(s1, 1), 0) << "the sound went with its wave";
  EXPECT_EQ(FBS_PLAY_SOUND(keep, 1), 1) << "a sound on another wave stays";
  FBS_DESTROY_SOUND(&keep);
  FBS_DESTROY_WAVE(&other);
}

TEST(WavesUninitialised, LoadsFailWithHandleMinusOne) {
  fbs_initialised.store(0);
  fbs_current_plug.store(-1);
  int32_t h = 3;
  void* data = nullptr;
  EXPECT_EQ(FBS_CREATE_WAVE(10, &h, &data), 0);
  EXPECT_EQ(h, -1);
  h = 3;
  EXPECT_EQ(FBS_LOAD_WAVFILE("/tmp/whatever.wav", &h), 0);
  EXPECT_EQ(h, -1);
}

}  // namespace
