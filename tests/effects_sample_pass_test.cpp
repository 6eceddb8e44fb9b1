// SPDX-License-Identifier: GPL-3.0-or-later
// The sample pass on real engine waves: the write-back with both stages off,
// the buffers made on first use, the key tone filters, the key reverb, and
// absurd settings. The output is a
// record of our own in the engine's plug-in table (no device); the waves are
// made with FBS_CREATE_WAVE and filled by the tests (tests/support/pass_waves.h).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "app/settings.h"
#include "effects/keyrev.h"
#include "effects/keytone.h"
#include "effects/master_chain.h"
#include "effects/sample_clamp.h"
#include "effects/sample_pass.h"
#include "engine/fbs.h"
#include "tests/support/pass_waves.h"

namespace {

constexpr float kRate = 44100.0f;

// Nine engine waves of the output format; the pass is pointed at them.
class SamplePass : public ::testing::Test, public PassWaves {
 protected:
  void SetUp() override { use(2); }
  void TearDown() override { destroy(); }
};

// A fixed noise in -20000..20000, different for each seed.
int16_t noise(unsigned seed, int j) {
  uint32_t x = (uint32_t)j * 2654435761u + seed * 40503u + 12345u;
  x ^= x >> 13;
  x *= 0x5bd1e995u;
  x ^= x >> 15;
  return (int16_t)((int)(x % 40001u) - 20000);
}

// ---- Write-back with both stages off ----

TEST_F(SamplePass, BothStagesOffKeepEveryValueButMinus32768) {
  make_all(20000, [](int w, int j) { return j % 3 == 0 ? (int16_t)-32768 : noise(w, j); });
  copy();
  keytone_pass();
  for (int w = 0; w < kSamplesPerSet; w++)
    for (int j = 0; j < 20000; j++)
      ASSERT_EQ(data[w][j], j % 3 == 0 ? -32767 : noise(w, j)) << "wave " << w << " value " << j;
}

TEST_F(SamplePass, PassLengthIsSixteenSecondsAtMostTheWave) {
  struct Case {
    int channels, count, n, rate = 44100;
  } cases[] = {
      {2, kPassValues + 2000, kPassValues},        // a longer wave keeps its tail
      {2, 1000, 1000},                             // a shorter one is processed over its length
      {1, kPassMonoValues + 1000, kPassMonoValues},
      {1, 999, 999},
      {2, 1536000 + 2000, 1536000, 48000},         // 16 s at the output's rate
      {1, 3072000 + 10, 3072000, 192000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("channels " + std::to_string(c.channels) + ", " + std::to_string(c.count) + " values at " +
                 std::to_string(c.rate));
    use(c.channels);
    plug_rate = c.rate;
    make_all(c.channels * 8, [](int, int) { return (int16_t)0; });
    make(3, c.count, [](int) { return (int16_t)-32768; });
    copy();
    EXPECT_EQ(pass_length(3), c.n);
    keytone_pass();
    int changed = 0;
    while (changed < c.count && data[3][changed] == -32767) changed++;
    EXPECT_EQ(changed, c.n);
    for (int j = c.n; j < c.count; j++) ASSERT_EQ(data[3][j], -32768) << "tail value " << j;
  }
}

TEST_F(SamplePass, MissingWavesAreSkipped) {
  make(4, 1000, [](int j) { return noise(4, j); });
  copy();
  keytone_pass();
  EXPECT_EQ(pass_length(0), 0);
  EXPECT_EQ(pass_length(9), 0);
  for (int j = 0; j < 1000; j++) ASSERT_EQ(data[4][j], noise(4, j));
}

// ---- Buffers made on first use ----
//
// Each case runs in a process of its own (a death test that starts the test
// program anew), where no pass has made the buffers yet; it exits with
// status 0, or 1 after writing what went wrong.

int first_use_case(const std::function<std::string()>& body) {
  std::string failure = body();
  std::fputs(failure.c_str(), stderr);
  std::fflush(stderr);
  std::_Exit(failure.empty() ? 0 : 1);
}

class SamplePassFirstUse : public SamplePass {
 protected:
  void SetUp() override {
    SamplePass::SetUp();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
  }
  // The waves' values, wave after wave.
  std::vector<int16_t> all_values() const {
    std::vector<int16_t> v;
    for (int w = 0; w < kSamplesPerSet; w++) v.insert(v.end(), data[w], data[w] + values[w]);
    return v;
  }
};

// Both stages off: no buffers, the waves as loaded. The key reverb switched
// on later makes them, and the result is what the pass gives with buffers
// made at the start (run again once they are there).
TEST_F(SamplePassFirstUse, BuffersWaitForTheFirstStageSwitchedOn) {
  EXPECT_EXIT(first_use_case([&]() -> std::string {
                make_all(30000, [](int w, int j) { return noise(w, j); });
                std::vector<int16_t> loaded = all_values();
                copy();
                keytone_pass();
                if (unfiltered_samples) return "both stages off made the unfiltered copy";
                if (all_values() != loaded) return "both stages off changed a value";
                keyrev_on = 1;
                keyreverb_pass();
                if (!unfiltered_samples) return "the key reverb made no unfiltered copy";
                std::vector<int16_t> lazy = all_values();
                if (lazy == loaded) return "the key reverb changed nothing";
                keytone_pass();
                if (all_values() != lazy) return "not the result of buffers made at the start";
                return "";
              }),
              ::testing::ExitedWithCode(0), "");
}

// -32768 becomes -32767 in the waves, but the key tone switched on later
// still filters the loaded values: the unfiltered copy is taken before the
// first change.
TEST_F(SamplePassFirstUse, UnfilteredCopyKeepsMinus32768) {
  EXPECT_EXIT(first_use_case([&]() -> std::string {
                make_all(30000, [](int w, int j) { return w == 3 && j % 1000 == 7 ? (int16_t)-32768 : noise(w, j); });
                std::vector<int16_t> loaded = all_values();
                copy();
                keytone_pass();
                if (data[3][7] != -32767 || data[3][1007] != -32767) return "-32768 was not changed";
                for (int w = 0; w < kSamplesPerSet; w++)
                  if (!std::equal(data[w], data[w] + values[w], loaded.begin() + w * 30000, [](int16_t a, int16_t b) {
                        return a == (b == -32768 ? -32767 : b);
                      }))
                    return "both stages off changed a value other than -32768";
                keytone_mode = 1;
                keytone_pass();
                for (int w = 0; w < kSamplesPerSet; w++)
                  if (!std::equal(unfiltered_samples[w], unfiltered_samples[w] + 30000, loaded.begin() + w * 30000))
                    return "the unfiltered copy is not the loaded wave " + std::to_string(w);
                return "";
              }),
              ::testing::ExitedWithCode(0), "");
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Memory that cannot be had: the fatal text, status 1.
TEST_F(SamplePassFirstUse, BuffersThatCannotBeMadeEndTheProgram) {
  EXPECT_EXIT(
      {
        make_all(1000, [](int w, int j) { return noise(w, j); });
        copy();
        // Room for 16 MB more than now: less than either buffer.
        std::FILE* f = std::fopen("/proc/self/statm", "r");
        long pages = 0;
        if (f == nullptr || std::fscanf(f, "%ld", &pages) != 1) std::_Exit(2);
        std::fclose(f);
        rlimit limit = {};
        limit.rlim_cur = limit.rlim_max = (rlim_t)pages * sysconf(_SC_PAGESIZE) + (16 << 20);
        if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(2);
        keytone_mode = 1;
        keytone_pass();
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(1), "^not enough memory for the sample pass\n$");
}
#endif

// One wave value by value, as the pass was first written: the key tone's
// plain step on set L or R by parity (*tone_finite false when a value
// left it no finite number), then the key reverb's line one value
// at a time from silence, clamped.
std::vector<int16_t> wave_value_by_value(const int16_t* in, int n, int w, bool stereo, bool* tone_finite = nullptr) {
  KeyToneWave k = keytone_setup(w);
  KeyReverbWave r = keyreverb_setup(w);
  std::vector<float> line(kEchoLineSize, 0.0f);
  int pos = 0;
  std::vector<int16_t> out(n);
  for (int j = 0; j < n; j++) {
    ThreeBandFilter& set = stereo && j % 2 ? k.right : k.left;
    float x = in[j];
    if (keytone_mode > 0) {
      switch (k.order) {
        case 1: x = keytone_step<1>(set, x); break;
        case 2: x = keytone_step<2>(set, x); break;
        case 3: x = keytone_step<3>(set, x); break;
        case 4: x = keytone_step<4>(set, x); break;
        case 5: x = keytone_step<5>(set, x); break;
        default: break;
      }
    }
    if (tone_finite != nullptr && !std::isfinite(x)) *tone_finite = false;
    if (keyrev_on == 1 && r.channels > 0) x = echo_line_step(line.data(), pos, r.delay1, r.gain1, r.delay2, r.gain2, x);
    out[j] = clamp_to_sample(x);
  }
  return out;
}

// ---- Key tone ----

// Mode 1, all gains 1, order N: each channel comes out as its own input N - 1
// of its values later (stereo: two sets that never share state).
TEST_F(SamplePass, KeyToneWithUnityGainsDelaysEachChannelByOrderLessOne) {
  for (int channels : {1, 2}) {
    for (int order = 1; order <= 5; order++) {
      SCOPED_TRACE("channels " + std::to_string(channels) + ", order " + std::to_string(order));
      use(channels);
      keytone_mode = 1;
      keytone_bands.lowg = 1.0f;
      keytone_bands.midg = 1.0f;
      keytone_bands.highg = 1.0f;
      keytone_bands.order = order;
      make_all(6000, [](int w, int j) { return noise(w * 2 + j % 2, j / 2); });
      copy();
      keytone_pass();
      for (int w = 0; w < kSamplesPerSet; w++) {
        int shift = (order - 1) * channels;
        for (int j = 0; j < 6000; j++)
          ASSERT_EQ(data[w][j], j < shift ? 0 : noise(w * 2 + (j - shift) % 2, (j - shift) / 2))
              << "wave " << w << " value " << j;
      }
    }
  }
}

TEST_F(SamplePass, KeyToneOrderOutsideOneToFivePassesValuesThrough) {
  keytone_mode = 1;
  for (int order : {0, 6, 9, -1}) {
    keytone_bands.order = order;
    make_all(4000, [](int w, int j) { return noise(w, j); });
    copy();
    keytone_pass();
    for (int w = 0; w < kSamplesPerSet; w++)
      for (int j = 0; j < 4000; j++) ASSERT_EQ(data[w][j], noise(w, j)) << "order " << order;
  }
}

TEST_F(SamplePass, KeyToneSplitsFollowTheOctaveOfTheWave) {
  keytone_mode = 1;
  keytone_bands.order = 0;  // no filter runs: the splits are seen as made, before the response bound
  EXPECT_FLOAT_EQ(keytone_scale(5), 0.9f);
  EXPECT_FLOAT_EQ(keytone_scale(8), 7.2f);
  EXPECT_FLOAT_EQ(keytone_scale(0), 0.028125f);
  auto coef = [](double hz) { return (float)(2.0 * std::sin(3.1416 * hz / 44100.0)); };
  EXPECT_FLOAT_EQ(keytone_setup(8).left.low_coef, coef(1440.0));  // lowf 200 x 7.2
  EXPECT_FLOAT_EQ(keytone_setup(0).left.low_coef, coef(5.625));
  EXPECT_FLOAT_EQ(keytone_setup(0).right.low_coef, coef(5.625));

  // highf 8000 reaches the limit 12971 Hz (44100 / 3.4) from wave 6 (14400 Hz) up,
  // where the high band takes the mid gain; lowf 4499 from wave 7 (16196 Hz) up.
  keytone_bands.lowf = 4499;
  keytone_bands.midg = 0.5f;
  for (int w = 0; w < kSamplesPerSet; w++) {
    SCOPED_TRACE("wave " + std::to_string(w));
    ThreeBandFilter left = keytone_setup(w).left;
    bool high_limited = w >= 6, low_limited = w >= 7;
    float s = keytone_scale(w);
    EXPECT_FLOAT_EQ(left.high_coef, high_limited ? coef(12971.0) : coef(8000.0 * s));
    EXPECT_FLOAT_EQ(left.high_gain, high_limited ? 0.5f : 1.2f);
    EXPECT_FLOAT_EQ(left.low_coef, low_limited ? coef(12971.0) : coef(4499.0 * s));
    EXPECT_FLOAT_EQ(left.low_gain, low_limited ? 0.5f : 2.0f);
  }
}

TEST_F(SamplePass, KeyToneModeTwoInvertsTheOuterBands) {
  keytone_mode = 2;
  KeyToneWave k = keytone_setup(2);
  EXPECT_FLOAT_EQ(k.left.low_gain, -1.64f);
  EXPECT_FLOAT_EQ(k.left.mid_gain, 0.82f);
  EXPECT_FLOAT_EQ(k.left.high_gain, -0.984f);
  EXPECT_FLOAT_EQ(k.right.high_gain, -0.984f);
  k = keytone_setup(7);  // the high band at its limit takes the mid gain, unscaled
  EXPECT_FLOAT_EQ(k.left.high_gain, 1.0f);
  EXPECT_FLOAT_EQ(k.left.low_gain, -1.64f);
}

TEST_F(SamplePass, KeyToneFirstOrderFiltersLikeItsBands) {
  // A steady tone far below the low split comes out with the low gain, one far
  // above the high split (held at its limit) with the mid gain.
  keytone_mode = 1;
  keytone_bands.lowf = 4000;  // 3600 Hz on wave 5
  keytone_bands.highf = 10000;
  keytone_bands.lowg = 3.0f;
  keytone_bands.midg = 0.5f;
  auto tone = [](double hz) {
    return [hz](int w, int j) {
      (void)w;
      return (int16_t)std::lrint(4000.0 * std::sin(2.0 * M_PI * hz * (j / 2) / 44100.0));
    };
  };
  auto level = [&](int w) {
    double peak = 0;
    for (int j = 20000; j < 40000; j++) peak = std::max(peak, std::fabs((double)data[w][j]));
    return peak / 4000.0;
  };
  make_all(40000, tone(50.0));
  copy();
  keytone_pass();
  EXPECT_NEAR(level(5), 3.0, 0.1);
  make_all(40000, tone(15000.0));  // above the limit on wave 8: the mid gain
  copy();
  keytone_pass();
  EXPECT_NEAR(level(8), 0.5, 0.15);
}

// ---- Key reverb ----

TEST_F(SamplePass, KeyReverbTapDistancesFollowTheWave) {
  struct Case {
    float ms;
    int wave, channels, distance;
  } cases[] = {
      {225, 4, 2, 19844},   // floor(9922.5) x 2
      {225, 0, 2, 50006},   // floor(225 x 2.5198421 x 44.1) x 2
      {225, 4, 1, 9922},
      {300, 8, 2, 10500},   // floor(300 x 0.39685 x 44.1) x 2
      {5000, 4, 2, 191996}, // the line's size less 4
      {1000, 0, 2, 191996},
      {0, 4, 2, 2},
      {-50, 4, 2, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.ms) + " ms, wave " + std::to_string(c.wave));
    plug_channels = c.channels;
    keyrev_params.Treverb1 = c.ms;
    EXPECT_EQ(keyreverb_setup(c.wave).delay1, c.distance);
  }
  EXPECT_FLOAT_EQ(keyreverb_scale(4), 1.0f);
  EXPECT_NEAR(keyreverb_scale(0), 2.5198421, 1e-6);
  EXPECT_NEAR(keyreverb_scale(8), 0.3968503, 1e-6);
}

TEST_F(SamplePass, KeyReverbEchoesAnImpulseAtBothTaps) {
  keyrev_on = 1;
  // 225 ms and 300 ms on wave 4: 19844 and 26460 values; a tap reads the
  // value written its distance + 1 before.
  make_all(60000, [](int w, int j) { return (int16_t)(w == 4 && j == 10 ? 20000 : 0); });
  copy();
  keytone_pass();
  const int16_t* out = data[4];
  float gain2 = (1.0f - 0.55f) * 0.34f;
  std::vector<int> loud;
  for (int j = 0; j < 60000; j++)
    if (out[j] != 0) loud.push_back(j);
  ASSERT_GE(loud.size(), 4u);
  EXPECT_EQ(loud[0], 10);
  EXPECT_EQ(out[10], 20000);
  EXPECT_EQ(loud[1], 10 + 19845);
  EXPECT_EQ(out[10 + 19845], std::lrint(20000 * 0.55f));
  EXPECT_EQ(loud[2], 10 + 26461);
  EXPECT_EQ(out[10 + 26461], std::lrint(20000 * gain2));
  EXPECT_EQ(loud[3], 10 + 2 * 19845);  // the first echo echoed again
  // With key reverb off the same waves keep no echo.
  keyrev_on = 0;
  keyreverb_pass();
  for (int j = 11; j < 60000; j++) ASSERT_EQ(out[j], 0) << j;
}

TEST_F(SamplePass, KeyReverbLineIsClearedForEveryWave) {
  keyrev_on = 1;
  // Wave 8 is processed first and is loud up to its end; wave 7, silent,
  // must carry none of its echoes (nor any other wave).
  make_all(30000, [](int w, int j) { return (int16_t)(w == 8 ? 30000 - (j % 200) * 100 : 0); });
  copy();
  keytone_pass();
  for (int w = 0; w < 8; w++)
    for (int j = 0; j < 30000; j++) ASSERT_EQ(data[w][j], 0) << "wave " << w << " value " << j;
}

TEST_F(SamplePass, KeyReverbWithZeroGainsAddsOnlyItsOffset) {
  keyrev_on = 1;
  keyrev_params.kreverb1 = 0.0f;
  keyrev_params.kreverb2 = 0.0f;
  make_all(30000, [](int w, int j) { return noise(w, j); });
  copy();
  keytone_pass();
  for (int w = 0; w < kSamplesPerSet; w++)
    for (int j = 0; j < 30000; j++) ASSERT_EQ(data[w][j], noise(w, j));
}

TEST_F(SamplePass, KeyReverbAloneReusesTheKeyToneResult) {
  keytone_mode = 1;
  keytone_bands.lowg = 5.0f;
  make_all(8000, [](int w, int j) { return noise(w, j); });
  copy();
  keytone_pass();
  std::vector<int16_t> filtered(data[6], data[6] + 8000);
  keyrev_on = 1;
  keyrev_params.kreverb1 = 0.0f;
  keyrev_params.kreverb2 = 0.0f;
  keytone_bands.lowg = 1.0f;  // not applied until the next key tone pass
  keyreverb_pass();
  EXPECT_EQ(std::vector<int16_t>(data[6], data[6] + 8000), filtered);
}

// ---- Absurd settings ----

TEST_F(SamplePass, AbsurdSettingsGiveFiniteValuesInRange) {
  struct Case {
    const char* what;
    std::function<void()> set;
  } cases[] = {
      {"order 0", [] { keytone_bands.order = 0; }},
      {"order 9", [] { keytone_bands.order = 9; }},
      {"frequencies 0", [] { keytone_bands.lowf = 0; keytone_bands.highf = 0; }},
      {"frequencies 1e9", [] { keytone_bands.lowf = 1000000000; keytone_bands.highf = 1000000000; }},
      {"gains 1000, order 5", [] {
         keytone_bands.lowg = 1000.0f; keytone_bands.midg = 1000.0f; keytone_bands.highg = 1000.0f;
         keytone_bands.order = 5; }},
      {"negative gains", [] {
         keytone_bands.lowg = -7.0f; keytone_bands.midg = -1.0f; keytone_bands.highg = -1000.0f; }},
      {"key reverb 5000 ms", [] { keyrev_params.Treverb1 = 5000.0f; keyrev_params.Treverb2 = 5000.0f; }},
      {"key reverb gains 1000", [] { keyrev_params.kreverb1 = 1000.0f; keyrev_params.kreverb2 = -1000.0f; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    set_default_settings();
    keytone_mode = 1;
    keyrev_on = 1;
    c.set();
    make_all(50000, [](int w, int j) { return (int16_t)((j / (20 + w)) % 2 ? 32767 : -32768); });
    copy();
    keytone_pass();
    for (int w = 0; w < kSamplesPerSet; w++) {
      bool tone_finite = true;
      std::vector<int16_t> want = wave_value_by_value(unfiltered_samples[w], 50000, w, true, &tone_finite);
      ASSERT_TRUE(tone_finite) << "wave " << w;
      for (int j = 0; j < 50000; j++) {
        ASSERT_EQ(data[w][j], want[j]) << "wave " << w << " value " << j;
        ASSERT_GE(data[w][j], -32767);
      }
    }
  }
}


// ---- Workers ----

// Random settings, formats and wave lengths (some odd, one longer than the
// key reverb's line, one wave missing): the pass on one worker and on
// several gives the same waves, and both what the value-by-value stages give.
TEST_F(SamplePass, WorkersGiveTheValueByValueResultWhateverTheirNumber) {
  std::mt19937 rng(40);
  auto pick = [&rng](int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); };
  auto real = [&rng](float low, float high) { return std::uniform_real_distribution<float>(low, high)(rng); };
  for (int trial = 0; trial < 6; trial++) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    int channels = trial % 3 == 2 ? 1 : 2;
    use(channels);
    keytone_mode = pick(0, 2);
    keytone_bands.order = pick(0, 6);
    keytone_bands.lowf = pick(20, 2000);
    keytone_bands.highf = pick(1000, 20000);
    keytone_bands.lowg = real(0.0f, 4.0f);
    keytone_bands.midg = real(0.0f, 4.0f);
    keytone_bands.highg = real(0.0f, 4.0f);
    keyrev_on = trial == 0 ? 1 : pick(0, 1);
    keyrev_params = {real(0.0f, 0.7f), real(0.0f, 0.9f), real(0.0f, 300.0f), real(0.0f, 3000.0f)};
    for (int w = 0; w < kSamplesPerSet; w++) {
      if (w == trial + 1) continue;  // no wave there
      int n = trial == 0 && w == 0 ? kEchoLineSize + 5001 : pick(1, 60001);
      make(w, std::max(n / channels * channels, channels), [w](int j) { return noise(w, j); });
    }
    copy();
    std::vector<std::vector<int16_t>> expected(kSamplesPerSet);
    for (int w = 0; w < kSamplesPerSet; w++)
      if (waves[w] >= 0) expected[w] = wave_value_by_value(data[w], pass_length(w), w, channels == 2);
    for (int workers : {1, 4, 0}) {
      SCOPED_TRACE(std::to_string(workers) + " workers");
      set_sample_pass_workers(workers);
      if (workers != 1) mark_unwritten();  // the first pass still takes the unfiltered copy
      keytone_pass();
      for (int w = 0; w < kSamplesPerSet; w++) {
        if (waves[w] < 0) continue;
        auto miss = std::mismatch(expected[w].begin(), expected[w].end(), data[w]);
        ASSERT_TRUE(miss.first == expected[w].end())
            << "wave " << w << " value " << (miss.first - expected[w].begin()) << ": " << *miss.first
            << " expected, " << *miss.second << " written";
      }
    }
    // Then both stages off give the loaded values back, and the key reverb
    // alone ([Y]) echoes them.
    for (int step = 0; step < 2; step++) {
      SCOPED_TRACE(step == 0 ? "both stages off" : "key reverb alone");
      keytone_mode = 0;
      keyrev_on = step;
      step == 0 ? keytone_pass() : keyreverb_pass();
      for (int w = 0; w < kSamplesPerSet; w++) {
        if (waves[w] < 0) continue;
        std::vector<int16_t> want = wave_value_by_value(unfiltered_samples[w], pass_length(w), w, channels == 2);
        ASSERT_TRUE(std::equal(want.begin(), want.end(), data[w])) << "wave " << w;
      }
    }
    set_sample_pass_workers(0);
  }
}

}  // namespace
