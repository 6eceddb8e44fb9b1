// SPDX-License-Identifier: GPL-3.0-or-later
// Loading the generated sample sets of the run folder (scripts/make-assets)
// through the real engine: nine waves of the right length from MP3 and from
// WAV files, the 24 sounds per wave that the main loop makes, and the pitch
// of a key played from a neighbouring sample at its table speed.
//
// Output goes through the test plug-in, copied into a temporary plug path
// under the first built-in name; the test fills blocks on its own thread, so
// the rendered audio is exact and needs no device.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/sample_sets.h"
#include "app/settings.h"
#include "engine/fbs.h"

namespace {

const std::string kSounds = std::string(QD_RUN_DIR) + "sounds/";
constexpr int kRate = 44100;
constexpr int kFrames = 1024;
constexpr int kSoundsPerSample = 24;

std::string plug_dir;
void* plug = nullptr;
int32_t (*fill_blocks)(int32_t) = nullptr;
const int16_t* (*last_block)(void) = nullptr;
bool engine_ready = false;

class SampleLoad : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/qd_load_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    plug_dir = std::string(tmpl) + "/";
    std::string copy = "cp '" QD_TEST_PLUGIN_DIR "plug_test.so' '" + plug_dir + "plug-rtaudio.so'";
    if (std::system(copy.c_str()) != 0) return;
    // The MP3 loader decodes into "tmpfilemp3<n>.wav" in the current folder;
    // test processes run side by side, so each works in its own folder.
    if (chdir(plug_dir.c_str()) != 0) return;
    FBS_SET_PLUGPATH(plug_dir.c_str());
    if (FBS_INIT(kRate, 2, 3, kFrames, 0) != 1) return;
    plug = dlopen((plug_dir + "plug-rtaudio.so").c_str(), RTLD_NOW);
    if (plug == nullptr) return;
    fill_blocks = (int32_t(*)(int32_t))dlsym(plug, "plug_test_fill");
    last_block = (const int16_t* (*)(void))dlsym(plug, "plug_test_block");
    engine_ready = fill_blocks != nullptr && last_block != nullptr;
  }
  static void TearDownTestSuite() {
    FBS_EXIT();
    if (plug) dlclose(plug);
    if (!plug_dir.empty() && chdir("/") == 0) std::system(("rm -rf '" + plug_dir + "'").c_str());
  }
  void SetUp() override {
    ASSERT_TRUE(engine_ready) << "engine with the test plug-in did not start";
    ASSERT_EQ(access((kSounds + "piano_12.mp3").c_str(), R_OK), 0)
        << "no sample sets in " << kSounds << ": run scripts/make-assets first";
    for (int& w : waves) w = -1;
  }
  void TearDown() override {
    for (int& w : waves)
      if (w >= 0) FBS_DESTROY_WAVE(&w);
  }
  int waves[kSamplesPerSet];
};

// Frames of a wave in the output format (16-bit stereo).
long wave_frames(int wave) {
  void *begin = nullptr, *end = nullptr;
  int32_t channels = 0;
  if (FBS_GET_WAVEPOINTERS(wave, &begin, &end, &channels) != 1 || channels != 2) return -1;
  return ((char*)end - (char*)begin) / 4;
}

// Plays one sound of a wave at a speed and returns the left channel of the
// first `seconds` of output, rendered block by block by the test plug-in.
std::vector<float> render(int wave, float speed, double seconds) {
  int sound = -1;
  std::vector<float> left;
  if (FBS_CREATE_SOUND(wave, &sound) != 1) return left;
  FBS_SET_SOUNDSPEED(sound, speed);
  FBS_SET_SOUNDVOLUME(sound, 1.0f);
  FBS_PLAY_SOUND(sound, 1);
  int blocks = (int)(seconds * kRate / kFrames) + 1;
  for (int b = 0; b < blocks; b++) {
    if (fill_blocks(1) != 1) break;
    const int16_t* block = last_block();
    for (int i = 0; i < kFrames; i++) left.push_back(block[2 * i]);
  }
  FBS_DESTROY_SOUND(&sound);
  return left;
}

// Power of one frequency in a Hann-windowed stretch of the signal.
double power_at(const std::vector<float>& x, size_t from, size_t length, double hz) {
  double re = 0, im = 0, step = 2 * M_PI * hz / kRate;
  for (size_t n = 0; n < length; n++) {
    double v = x[from + n] * (0.5 - 0.5 * std::cos(2 * M_PI * n / (length - 1)));
    re += v * std::cos(step * n);
    im += v * std::sin(step * n);
  }
  return re * re + im * im;
}

// Fundamental of a steady stretch of a tone: the strongest spectral peak
// between 300 and 700 Hz, found in 1 Hz steps and refined in 0.05 Hz steps.
// (An autocorrelation peak is pulled sharp by the piano's stretched upper
// partials; the spectral peak of the fundamental is not.)
double fundamental(const std::vector<float>& x, size_t from, size_t length) {
  double best = 300, best_power = -1;
  for (double hz = 300; hz <= 700; hz += 1) {
    double p = power_at(x, from, length, hz);
    if (p > best_power) best_power = p, best = hz;
  }
  double centre = best;
  for (double hz = centre - 1; hz <= centre + 1; hz += 0.05) {
    double p = power_at(x, from, length, hz);
    if (p > best_power) best_power = p, best = hz;
  }
  return best;
}

// The encoder's delay and padding are dropped: as long as the WAV samples.
// Set 2 is rendered at 16 s a note (set 0's notes end with their decay).
TEST_F(SampleLoad, Mp3SetGivesNineWavesOfSixteenSeconds) {
  ASSERT_EQ(load_sample_set(2, waves, kSounds), "");
  for (int w = 0; w < kSamplesPerSet; w++)
    EXPECT_NEAR(wave_frames(waves[w]), 16L * kRate, 2) << "sample " << sample_number(w);
}

// A note starts in the block it is played in, from the MP3 set as from the
// WAV set: its attack reaches -40 dB of the note's peak within 2 ms after
// the 2 ms of lead-in that the sample files keep ahead of the attack.
TEST_F(SampleLoad, NotesOfBothSetFormsStartWithTheirNoteOnBlock) {
  const size_t lead_in = kRate * 2 / 1000, allowed = kRate * 2 / 1000;
  for (int set : {0, 1}) {
    ASSERT_EQ(load_sample_set(set, waves, kSounds), "");
    for (int w : {1, 4, 7}) {
      std::vector<float> out = render(waves[w], 1.0f, 0.2);
      float peak = 0;
      for (float v : out) peak = std::max(peak, std::fabs(v));
      size_t attack = 0;
      while (attack < out.size() && std::fabs(out[attack]) < 0.01f * peak) attack++;
      EXPECT_LE(attack, lead_in + allowed) << "set " << set << " sample " << sample_number(w);
    }
    for (int& w : waves) FBS_DESTROY_WAVE(&w);
  }
}

TEST_F(SampleLoad, WavSetGivesNineWavesOfExactlySixteenSeconds) {
  ASSERT_EQ(access((kSounds + "piano1_12.wav").c_str(), R_OK), 0);
  ASSERT_EQ(sample_set_complete(1, kSounds), 1);
  ASSERT_EQ(load_sample_set(1, waves, kSounds), "");
  for (int w = 0; w < kSamplesPerSet; w++) EXPECT_EQ(wave_frames(waves[w]), 16L * kRate) << sample_number(w);
}

TEST_F(SampleLoad, TwentyFourSoundsPerWaveCoverTheWholeWave) {
  ASSERT_EQ(load_sample_set(0, waves, kSounds), "");
  std::vector<int> sounds;
  for (int w = 0; w < kSamplesPerSet; w++) {
    void *begin = nullptr, *end = nullptr;
    ASSERT_EQ(FBS_GET_WAVEPOINTERS(waves[w], &begin, &end, nullptr), 1);
    for (int j = 1; j <= kSoundsPerSample; j++) {
      int sound = -1;
      ASSERT_EQ(FBS_CREATE_SOUND(waves[w], &sound), 1) << w << "," << j;
      void *start = nullptr, *stop = nullptr;
      ASSERT_EQ(FBS_GET_SOUNDPOINTERS(sound, &start, nullptr, &stop), 1);
      EXPECT_EQ(start, begin);
      EXPECT_EQ(stop, end);
      sounds.push_back(sound);
    }
  }
  ASSERT_EQ(sounds.size(), 216u);
  std::vector<int> sorted = sounds;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end()) << "a handle was given twice";
  for (int& s : sounds) FBS_DESTROY_SOUND(&s);
}

TEST_F(SampleLoad, KeyPlaysAtItsPitchFromTheNeighbouringSample) {
  ASSERT_EQ(load_sample_set(0, waves, kSounds), "");
  build_speed_table(6);
  ASSERT_EQ(key_sample(69, 6), 5);  // A4 from the sample of C5 (72)
  const float speed = speed_table[69];
  EXPECT_NEAR(speed, std::pow(2.0, -3 / 12.0), 1e-6);

  // Measured well after the attack, over half a second.
  std::vector<float> own = render(waves[5], 1.0f, 1.0);
  std::vector<float> key = render(waves[5], speed, 1.0);
  ASSERT_GE(own.size(), (size_t)kRate);
  ASSERT_GE(key.size(), (size_t)kRate);
  double f72 = fundamental(own, kRate / 4, kRate / 2);
  double f69 = fundamental(key, kRate / 4, kRate / 2);
  EXPECT_NEAR(f72, 523.25, 523.25 * 0.01) << "the sample of 72 is not a C5";
  EXPECT_NEAR(f69, 440.0, 440.0 * 0.01) << "key 69 does not sound as A4";
  EXPECT_NEAR(f69 / f72, std::pow(2.0, -3 / 12.0), 0.01 * std::pow(2.0, -3 / 12.0));
}

// The factory presets behind the thumbnails name sets that make-assets
// renders, so a click never falls back to set 0, and they differ.
TEST(FactoryPresets, EachNamesAGeneratedSetAndTheyDiffer) {
  const char* names[] = {"granpiano", "granpiano1", "granpiano2", "upright", "epiano"};
  std::vector<std::string> texts;
  for (const char* name : names) {
    std::string path = std::string(QD_RUN_DIR) + "bmp/" + name + ".preset";
    ASSERT_EQ(access(path.c_str(), R_OK), 0) << path << ": run scripts/make-assets first";
    read_settings(path.c_str());
    EXPECT_EQ(preset_name, std::string(name) + ".preset");
    int set = piano_sound.load();
    EXPECT_EQ(sample_set_complete(set, kSounds), 1) << name << " uses set " << set;
    preset_name.clear();  // compare the sounds, not the names
    texts.push_back(format_settings());
  }
  set_default_settings();
  for (size_t i = 0; i < texts.size(); i++)
    for (size_t j = i + 1; j < texts.size(); j++) EXPECT_NE(texts[i], texts[j]) << names[i] << " = " << names[j];
}

// A 24-bit BMP of the run folder: width, height and pixels (0xRRGGBB, row 0
// at the top); width 0 when the file is missing or not such a BMP.
struct Picture {
  int width = 0, height = 0;
  std::vector<uint32_t> px;
  uint32_t at(int x, int y) const { return px[(size_t)y * width + x]; }
};

Picture read_bmp(const std::string& path) {
  Picture p;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return p;
  std::vector<unsigned char> d;
  unsigned char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) d.insert(d.end(), buf, buf + n);
  std::fclose(f);
  auto le32 = [&](size_t at) { return (int32_t)(d[at] | d[at + 1] << 8 | d[at + 2] << 16 | (uint32_t)d[at + 3] << 24); };
  if (d.size() < 54 || d[0] != 'B' || d[1] != 'M' || d[28] != 24 || le32(30) != 0) return p;
  int w = le32(18), h = le32(22), offset = le32(10), row = (w * 3 + 3) & ~3;
  if (w <= 0 || h <= 0 || (size_t)offset + (size_t)row * h > d.size()) return p;
  p.width = w;
  p.height = h;
  p.px.resize((size_t)w * h);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      const unsigned char* q = &d[offset + (size_t)(h - 1 - y) * row + (size_t)x * 3];
      p.px[(size_t)y * w + x] = (uint32_t)q[2] << 16 | q[1] << 8 | q[0];
    }
  return p;
}

int brightness(uint32_t c) { return (int)(((c >> 16) & 255) + ((c >> 8) & 255) + (c & 255)) / 3; }

// The keyboard picture is drawn to the screen's key geometry: every one of
// the 88 key dots (white keys at y 127, black keys at y 97) lands on a key
// of its own colour, and the thumbnails have the size the thumbnail row uses.
TEST(RunFolderPictures, KeyDotsLandOnTheirKeysAndThumbnailsFit) {
  const std::string bmp = std::string(QD_RUN_DIR) + "bmp/";
  Picture piano = read_bmp(bmp + "piano.bmp");
  ASSERT_EQ(piano.width, 700) << "run scripts/make-assets first";
  ASSERT_EQ(piano.height, 148);
  static const int steps[7] = {2, 1, 2, 2, 1, 2, 2};
  int white_of_key[128];
  for (int& w : white_of_key) w = -1;
  for (int b = 0, k = 9; b < 52; k += steps[b % 7], b++) white_of_key[k] = b;
  for (int a = 0; a < 88; a++) {
    int key = a + 9;
    if (white_of_key[key] >= 0) {
      int x = (int)std::lround(29 + (white_of_key[key] + 0.5) * 639 / 52);
      EXPECT_GT(brightness(piano.at(x, 127)), 200) << "white key " << key;
    } else {
      int x = (int)std::lround(29 + (a + 0.5) * 636 / 88);
      EXPECT_LT(brightness(piano.at(x, 97)), 80) << "black key " << key;
    }
  }
  const char* thumbs[] = {"granpiano", "granpiano1", "granpiano2", "upright", "epiano",
                          "user1", "user2", "user3", "user4", "user5"};
  for (const char* name : thumbs) {
    Picture t = read_bmp(bmp + name + ".bmp");
    EXPECT_EQ(t.width, 64) << name;
    EXPECT_EQ(t.height, 67) << name;
  }
}

}  // namespace
