// SPDX-License-Identifier: GPL-3.0-or-later
// Velocity layers: the weights of a zone, layers.txt with bad lines, a
// render whose tone brightens with velocity while its level follows the
// set alone, and quillon_make_set --layer-of.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/velocity_layers.h"
#include "core/settings_values.h"
#include "engine/fbs.h"
#include "engine/wav_read.h"
#include "tests/support/touch_measure.h"

namespace {

std::string temp_folder() {
  char tmpl[] = "/tmp/qd_layers_test.XXXXXX";
  return std::string(mkdtemp(tmpl)) + "/";
}

void write_text(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

std::string read_text(const std::string& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
  }
  return text;
}

// A one-second 16-bit stereo WAV at 44100 Hz: harmonics 1..`harmonics` of
// `hz`, the n-th at 1/n, at `level` of full scale.
void write_tone(const std::string& path, double hz, int harmonics, double level) {
  std::vector<int16_t> v(2 * 44100);
  for (size_t f = 0; f < v.size() / 2; f++) {
    double x = 0;
    for (int n = 1; n <= harmonics; n++) x += std::sin(2 * M_PI * hz * n * f / 44100) / n;
    v[2 * f] = v[2 * f + 1] = (int16_t)std::lrint(x * level * 16000);
  }
  uint8_t header[kWavHeaderBytes];
  wav_make_header(header, 2, 44100, 16, (uint32_t)(v.size() * 2));
  FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr) << path;
  std::fwrite(header, 1, sizeof header, file);
  std::fwrite(v.data(), 2, v.size(), file);
  std::fclose(file);
}

TEST(LayerZones, WeightsAtTheZonesEndsAndMiddle) {
  const LayerZone one[] = {{80, 120}};
  const LayerZone chain[] = {{40, 60}, {80, 100}};
  const float half = (float)std::sqrt(0.5);
  struct Case {
    const LayerZone* zones;
    int count, velocity, low, high;
    float low_weight, high_weight;
  } cases[] = {
      {one, 0, 127, 0, -1, 1, 0},     // no zone: the set alone
      {one, 1, 1, 0, -1, 1, 0},       {one, 1, 80, 0, -1, 1, 0},  // up to FROM the set alone
      {one, 1, 100, 0, 1, half, half},                            // the middle: equal power
      {one, 1, 120, 1, -1, 1, 0},     {one, 1, 127, 1, -1, 1, 0},  // from TO the loud layer alone
      {chain, 2, 50, 0, 1, half, half}, {chain, 2, 70, 1, -1, 1, 0}, {chain, 2, 90, 1, 2, half, half},
      {chain, 2, 100, 2, -1, 1, 0},
  };
  for (const Case& c : cases) {
    LayerMix m = layer_mix(c.velocity, c.zones, c.count);
    SCOPED_TRACE("velocity " + std::to_string(c.velocity) + ", zones " + std::to_string(c.count));
    EXPECT_EQ(m.low, c.low);
    EXPECT_EQ(m.high, c.high);
    EXPECT_NEAR(m.low_weight, c.low_weight, 1e-6);
    EXPECT_NEAR(m.high_weight, c.high_weight, 1e-6);
  }
  // In phase, the two halves add in amplitude: each gets half, times its gain.
  LayerMatch match = unmatched_layers();
  match.gain[1][4] = 0.5f;
  match.coherence[0][4] = 1.0f;
  float low = 0, high = 0;
  layer_factors(layer_mix(100, one, 1), match, 4, &low, &high);
  EXPECT_NEAR(low, 0.5f, 1e-6);
  EXPECT_NEAR(high, 0.25f, 1e-6);
  layer_factors(layer_mix(120, one, 1), match, 4, &low, &high);
  EXPECT_NEAR(low, 0.5f, 1e-6);  // the loud layer alone, at its gain
}

TEST(LayersFile, BadLinesAreNamedOnALineEachAndSkipped) {
  std::vector<std::string> bad;
  std::vector<LayerLine> pairs = parse_layers_text(
      "# BASE LOUD FROM TO\n\n0 5 80 120\r\n1 2 3\n0 7 1 2\n3 3 1 2\n4 5 90 80\n15 1 1 2\n6 7 1 128\n"
      "8 x 1 2\n2 6 10 20   # the last\n",
      "layers.txt", &bad);
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_EQ(pairs[0].base, 0);
  EXPECT_EQ(pairs[0].loud, 5);
  EXPECT_EQ(pairs[0].from, 80);
  EXPECT_EQ(pairs[0].to, 120);
  EXPECT_EQ(pairs[1].base, 2);
  EXPECT_EQ(pairs[1].to, 20);
  ASSERT_EQ(bad.size(), 7u);
  const int lines[] = {4, 5, 6, 7, 8, 9, 10};
  for (size_t i = 0; i < bad.size(); i++) {
    EXPECT_EQ(bad[i].rfind("layers.txt:" + std::to_string(lines[i]) + ": ", 0), 0u) << bad[i];
    EXPECT_EQ(bad[i].find('\n'), std::string::npos) << bad[i];
  }
}

// Set 0 a tone of two harmonics, set 5 the same tone with nine and louder,
// set 5 the loud layer of set 0 over 60..100.
class LayeredRender : public ::testing::Test {
 protected:
  std::string folder = temp_folder();
  void SetUp() override {
    for (int w = 0; w < kSamplesPerSet; w++) {
      double hz = 440.0 * std::pow(2.0, (sample_number(w) - 69) / 12.0);
      write_tone(sample_wav_name(0, sample_number(w), folder), hz, 2, 0.5);
      write_tone(sample_wav_name(5, sample_number(w), folder), hz, 9, 0.8);
    }
    write_text(folder + "layers.txt", "0 5 60 100\n");
  }
  void TearDown() override { std::system(("rm -rf '" + folder + "'").c_str()); }

  // Level and centroid of key 60 at every velocity; the sounds playing for
  // 100 notes at velocity 80.
  void curve(int layers, double* rms, double* centroid, int* sounds_of_100_notes) {
    set_default_settings();
    velocity_layers = layers;
    ASSERT_EQ(offline_start(SoundFolders(folder)), "");
    for (int v = 1; v <= 127; v++) {
      std::vector<double> s = touch_play({60}, v, 0.3);
      rms[v] = touch_rms_db(s, 0.3);
      centroid[v] = touch_centroid_hz(s, 0.1);
    }
    // A note in the zone plays two sounds, and the mixer takes them all.
    double start = offline_begin_block().start;
    for (int key = 10; key < 110; key++) offline_dispatch(0x90u | key << 8 | 80 << 16, start);
    std::vector<int16_t> block((size_t)offline_block_frames() * 2);
    offline_mix_block(block.data());
    offline_begin_block();
    offline_mix_block(block.data());
    *sounds_of_100_notes = FBS_GET_PLAYINGSOUNDS();
    offline_stop();
  }
};

TEST_F(LayeredRender, ToneBrightensWithVelocityWhileTheLevelFollowsTheSetAlone) {
  static double rms_on[128], rms_off[128], centroid_on[128], centroid_off[128];
  int sounds_on = 0, sounds_off = 0;
  curve(1, rms_on, centroid_on, &sounds_on);
  curve(0, rms_off, centroid_off, &sounds_off);
  EXPECT_EQ(sounds_on, 200);
  EXPECT_EQ(sounds_off, 100);
  // The 16-bit output's rounding noise lifts the centroid of soft notes, set
  // alone or layered alike: the tone is judged from velocity 30 (-30 dBFS).
  double range = centroid_on[127] - centroid_on[60];
  EXPECT_GT(range, 400.0);  // nine harmonics against one
  EXPECT_LT(std::fabs(centroid_off[127] - centroid_off[60]), 0.1 * range);
  for (int v = 2; v <= 127; v++) {
    SCOPED_TRACE("velocity " + std::to_string(v));
    EXPECT_GT(rms_on[v] - rms_on[v - 1], -0.2);
    EXPECT_NEAR(rms_on[v], rms_off[v], 1.5);
    if (v <= 60) {
      EXPECT_EQ(rms_on[v], rms_off[v]);  // below the zone: the set alone, as without layers
    }
    if (v > 30) {
      EXPECT_GT(centroid_on[v] - centroid_on[v - 1], -0.01 * range);
      EXPECT_LT(centroid_on[v] - centroid_on[v - 1], 0.15 * range);
    }
  }
}

// quillon_make_set run as the program; a layers.txt with a comment, another
// set's line and an earlier line for set 0.
TEST(MakeSetLayer, LayerOfReplacesTheLineForItsBase) {
  std::string work = temp_folder(), out = work + "sounds/", program = std::string(QD_RUN_DIR) + "quillon_make_set";
  ASSERT_EQ(std::system(("mkdir -p '" + out + "'").c_str()), 0);
  write_tone(work + "tone.wav", 261.63, 3, 0.5);
  write_text(work + "piano.sfz", "<region> sample=tone.wav lokey=0 hikey=127 pitch_keycenter=60\n");
  write_text(out + "layers.txt", "# mine\n1 2 10 20\n0 9 1 2\n");
  auto run = [&](const std::string& args) {
    int status = std::system((program + " " + work + "piano.sfz " + args + " --into " + out + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(run("7 --layer-of 0 --zone 80,120"), 0);
  EXPECT_EQ(read_text(out + "layers.txt"), "# mine\n1 2 10 20\n0 7 80 120\n");
  EXPECT_EQ(run("7 --layer-of 0 --zone 70,110"), 0);
  EXPECT_EQ(read_text(out + "layers.txt"), "# mine\n1 2 10 20\n0 7 70 110\n");
  // Usage errors change nothing.
  for (const char* args : {"7 --layer-of 0", "7 --zone 1,2", "7 --layer-of 0 --zone 120,80", "0 --layer-of 0 --zone 1,2",
                           "7 --layer-of 15 --zone 1,2"})
    EXPECT_EQ(run(args), 2) << args;
  EXPECT_EQ(read_text(out + "layers.txt"), "# mine\n1 2 10 20\n0 7 70 110\n");
  std::system(("rm -rf '" + work + "'").c_str());
}

}  // namespace
