// SPDX-License-Identifier: GPL-3.0-or-later
// The master effect chain stage by stage on exact numbers: the equalizer, the
// reverb line, automatic volume with its level analysis and compressor, the
// clip and rounding of the chain, the A / R / G keys and the routing switch,
// and full-scale square waves through every mode after a settings file with
// values far out of range.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "app/main_loop.h"
#include "app/screen.h"
#include "app/settings.h"
#include "effects/autovol.h"
#include "effects/equalizer.h"
#include "effects/master_chain.h"
#include "effects/reverb.h"
#include "engine/engine_state.h"
#include "midi_test_support.h"
#include "platform/window.h"

namespace {

using Values = std::vector<int16_t>;

// Values of both signs up to `size`, the same for the same seed.
Values noise(size_t n, unsigned seed, int size = 30000) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> value(-size, size);
  Values v(n);
  for (int16_t& x : v) x = (int16_t)value(rng);
  return v;
}

Values interleave(const Values& left, const Values& right) {
  Values v;
  for (size_t i = 0; i < left.size(); i++) {
    v.push_back(left[i]);
    v.push_back(right[i]);
  }
  return v;
}

// The clock of the level analysis while a test steps it.
double chain_clock = 0.0;

// Runs the values through master_callback in blocks of `frames` frames.
Values chain(Values v, int channels, int frames = 1024) {
  size_t block = (size_t)frames * channels;
  for (size_t at = 0; at < v.size(); at += block) {
    size_t n = std::min(block, v.size() - at);
    master_callback(v.data() + at, channels, (int32_t)(n / channels));
  }
  return v;
}

// An impulse of `height` at value 0, then silence.
Values impulse(size_t n, int16_t height) {
  Values v(n, 0);
  v[0] = height;
  return v;
}

class Chain : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { engine_started = midi_test::start_test_engine(1024); }
  static inline bool engine_started = false;

  void SetUp() override {
    win_use_headless(true);
    win_open(kTextAreaWidth, kTextAreaHeight);
    set_default_settings();
    plug_bits = 16;
    plug_rate = 44100;
    plug_channels = 2;
    block_factor = 1.0f;
    target_level = 1.7f;
    voice_divisor = 152.4f;
    voice_divisor_ref = 152.4f;
    restart_autovol_state(100.0);
    release_weight = 400.0f;
    block_level = 0.0f;
    clip_count = 0.0f;
    comp_threshold = 0.0f;
    comp_ratio = 0.0f;
    comp_makeup = 1.0f;
    setup_reverb();  // reverb_mode 0: the line is silent when the reverb next runs
    compute_eq_coefficients();
  }
  void TearDown() override { win_close(); }

  void keys(const std::string& letters) {
    for (char c : letters) {
      run_command(std::string(1, c));
    }
  }
};

// ---- Equalizer ----

TEST_F(Chain, EqualizerAtUnityGainsDelaysEachChannelByOrderMinusOneFrames) {
  equalizer_on = 1;
  eq_bands.lowg = 1.0f;
  eq_bands.midg = 1.0f;
  eq_bands.highg = 1.0f;
  Values in = noise(2 * 3000, 1);
  for (auto split : {std::pair<int, int>{200, 8000}, {50, 15000}}) {
    for (int order = 1; order <= 4; order++) {
      SCOPED_TRACE("order " + std::to_string(order) + ", splits " + std::to_string(split.first));
      eq_bands.lowf = split.first;
      eq_bands.highf = split.second;
      eq_bands.order = order;
      compute_eq_coefficients();  // the previous order's state is not heard
      Values out = chain(in, 2);
      size_t delay = 2 * (size_t)(order - 1);
      for (size_t i = 0; i < in.size(); i++) ASSERT_NEAR(out[i], i >= delay ? in[i - delay] : 0, 1) << "value " << i;
    }
  }
}

TEST_F(Chain, EqualizerKeepsEachChannelApartAndMonoUsesTheLeftState) {
  equalizer_on = 1;
  eq_bands.order = 3;  // default gains 2, 1, 1.2
  Values left = noise(5000, 2, 8000), right = noise(5000, 3, 8000);
  plug_channels = 1;
  compute_eq_coefficients();
  Values mono_left = chain(left, 1);
  compute_eq_coefficients();
  Values mono_right = chain(right, 1);
  ASSERT_NE(mono_left, left);
  plug_channels = 2;
  compute_eq_coefficients();
  EXPECT_EQ(chain(interleave(left, right), 2), interleave(mono_left, mono_right));
}

TEST_F(Chain, EqualizerCoefficientsFollowTheSineBelowHalfTheRate) {
  struct Case {
    int hz, rate;
    double expected;  // 2 sin(3.1416 f / r), r clamped to 4000..192000
  } cases[] = {
      {200, 44100, 2 * std::sin(3.1416 * 200 / 44100)},
      {8000, 44100, 2 * std::sin(3.1416 * 8000 / 44100)},
      {25000, 44100, 2 * std::sin(3.1416 * 20000 / 44100)},  // held at the top split
      {20000, 32000, 2 * std::sin(3.1416 * 20000 / 44100)},  // the same share of a lower rate
      {-5, 44100, 2 * std::sin(3.1416 * 20 / 44100)},
      {1000, 3000, 2 * std::sin(3.1416 * 1000 / 4000)},
      {1000, 96000, 2 * std::sin(3.1416 * 1000 / 96000)},
      {1000, 200000, 2 * std::sin(3.1416 * 1000 / 192000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.hz) + " Hz at " + std::to_string(c.rate));
    plug_rate = c.rate;
    eq_bands.lowf = c.hz;
    eq_bands.highf = c.hz;
    eq_bands.lowg = eq_bands.midg = eq_bands.highg = 1.0f;  // a flat response, left as made
    compute_eq_coefficients();
    EXPECT_NEAR(eq_low_coef.load(), c.expected, 1e-5);
    EXPECT_NEAR(eq_high_coef.load(), c.expected, 1e-5);
  }
}

TEST_F(Chain, EqualizerOrderOutsideOneToFourPassesValuesUnchanged) {
  equalizer_on = 1;
  Values in = noise(2000, 4);
  for (int order : {0, 5, 9, -3}) {
    eq_bands.order = order;
    EXPECT_EQ(chain(in, 2), in) << "order " << order;
  }
}

// ---- Reverb ----

TEST_F(Chain, ReverbTapDistancesFollowTimeRateAndChannelsInsideTheLine) {
  struct Case {
    float ms;
    int rate, channels, values;
  } cases[] = {
      {225, 44100, 2, 19844},  // floor(9922.5) x 2
      {225, 44100, 1, 9922},
      {300, 44100, 2, 26460},
      {1000, 44100, 2, 88200},
      {10, 48000, 2, 960},
      {5000, 44100, 2, 191996},  // a loaded time beyond the line
      {1e30f, 44100, 2, 191996},
      {5000, 96000, 2, 417950},  // the same time at a higher rate
      {5000, 192000, 1, 835900},
      {0, 44100, 2, 2},
      {-300, 44100, 2, 2},
      {NAN, 44100, 2, 2},
  };
  reverb_mode = 3;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.ms) + " ms at " + std::to_string(c.rate) + " x " + std::to_string(c.channels));
    plug_rate = c.rate;
    plug_channels = c.channels;
    reverb3_params = {0.5f, 0.4f, c.ms, 225.0f};
    setup_reverb();
    EXPECT_EQ(reverb_delay1.load(), c.values);
    EXPECT_FLOAT_EQ(reverb_gain1.load(), 0.5f);
    EXPECT_FLOAT_EQ(reverb_gain2.load(), 0.2f);  // (1 - 0.5) x 0.4
  }
  // reverb1 has fixed values.
  plug_rate = 44100;
  plug_channels = 2;
  reverb_mode = 1;
  setup_reverb();
  EXPECT_EQ(reverb_delay1.load(), 19844);
  EXPECT_EQ(reverb_delay2.load(), 26460);
  EXPECT_FLOAT_EQ(reverb_gain1.load(), 0.23f);
  EXPECT_FLOAT_EQ(reverb_gain2.load(), 0.77f * 0.2f);
}

TEST_F(Chain, ReverbTapReadsTheValueWrittenDelayPlusOnePositionsBefore) {
  reverb2_params = {0.5f, 0.5f, 225.0f, 300.0f};  // tap gains 0.5 and 0.25
  reverb_mode = 2;
  struct Case {
    int channels;
    size_t first, second;  // where the two echoes of value 0 land
    size_t length;         // before the echoes come round again
  } cases[] = {{2, 19845, 26461, 30000}, {1, 9923, 13231, 19000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.channels) + " channels");
    plug_channels = c.channels;
    reverb_mode = 0;
    setup_reverb();
    reverb_mode = 2;
    setup_reverb();
    Values out = chain(impulse(c.length, 10000), c.channels);
    for (size_t i = 0; i < out.size(); i++) {
      int expected = i == 0 ? 10000 : i == c.first ? 5000 : i == c.second ? 2500 : 0;
      ASSERT_EQ(out[i], expected) << "value " << i;
    }
  }
}

TEST_F(Chain, ReverbKeyKeepsTheEchoesBetweenKindsAndSilencesTheLineThroughOff) {
  reverb2_params = {0.5f, 0.0f, 225.0f, 300.0f};
  reverb3_params = {0.55f, 0.0f, 225.0f, 300.0f};
  reverb_mode = 2;
  setup_reverb();
  chain(impulse(10000, 10000), 2);
  keys("r");  // reverb2 -> reverb3: the line goes on
  EXPECT_EQ(reverb_mode.load(), 3);
  Values rest = chain(Values(20000, 0), 2);
  EXPECT_EQ(rest[19845 - 10000], 5500) << "the echo of reverb2's line, at reverb3's gain";

  chain(impulse(10000, 10000), 2);
  keys("rr");  // reverb3 -> off -> reverb1
  EXPECT_EQ(reverb_mode.load(), 1);
  rest = chain(Values(20000, 0), 2);
  EXPECT_EQ(rest, Values(20000, 0)) << "reverb1 starts from a silent line";
}

// ---- Automatic volume ----

TEST_F(Chain, SilenceKeepsTheLevelAndMovesTheReferenceTimeAhead) {
  autovol_mode = 1;
  env_level = 0.3f;
  hold_level = 0.32f;
  for (double t : {100.1, 100.2, 130.0}) {
    SCOPED_TRACE(t);
    peak_hold = 1;
    level_analysis(t);
    EXPECT_FLOAT_EQ(env_level.load(), 0.3f);
    EXPECT_FLOAT_EQ(hold_level.load(), 0.32f);
    EXPECT_FLOAT_EQ(auto_gain.load(), 0.5f * 1.7f / 0.32f);
    EXPECT_DOUBLE_EQ(analysis_ref_time.load(), t + 1.2);
    EXPECT_DOUBLE_EQ(analysis_now_time.load(), t);
  }
  env_level = 0.004f;  // never below 0.01
  level_analysis(131.0);
  EXPECT_FLOAT_EQ(env_level.load(), 0.01f);
}

TEST_F(Chain, ReleaseWeightFollowsTheTimeBetweenAnalysesAndTheBlockSize) {
  struct Case {
    double ref, now;
    float factor, weight;
  } cases[] = {
      {98.0, 100.0, 1.0f, 30.0f},    // 60 / 2 s
      {90.0, 100.0, 1.0f, 10.0f},    // at least 10
      {99.9995, 100.0, 1.0f, 7.0f},  // no time passed
      {101.0, 100.0, 1.0f, 7.0f},    // just after a quiet analysis
      {300.0, 100.0, 1.0f, 7.0f},    // a reference 99 s ahead: the clock was reset
      {98.0, 100.0, 2.0f, 60.0f},    // 512-frame blocks
  };
  autovol_mode = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.now - c.ref) + " s, block factor " + std::to_string(c.factor));
    analysis_ref_time = c.ref;
    analysis_now_time = c.ref - 1.0;
    block_factor = c.factor;
    peak_hold = 1;
    level_analysis(c.now);
    EXPECT_FLOAT_EQ(release_weight, c.weight);
  }
}

TEST_F(Chain, LouderPeaksRaiseBothLevelsAtOnceAndSofterOnesSinkSlowly) {
  autovol_mode = 1;
  analysis_ref_time = 98.0;  // two seconds: weight 30
  analysis_now_time = 98.0;
  peak_hold = 16384;         // half of full scale
  level_analysis(100.0);
  EXPECT_FLOAT_EQ(env_level.load(), (0.5f + 30.0f * 0.8f) / 31.0f);
  EXPECT_FLOAT_EQ(hold_level.load(), 0.8f);  // within 12 % of env_level: held
  EXPECT_FLOAT_EQ(auto_gain.load(), 0.85f / 0.8f);
  EXPECT_EQ(peak_hold.load(), 1);

  peak_hold = 31130;  // 0.95
  level_analysis(100.1);
  EXPECT_FLOAT_EQ(env_level.load(), 31130.0f / 32768.0f);
  EXPECT_FLOAT_EQ(hold_level.load(), 31130.0f / 32768.0f);

  env_level = 0.1f;  // gain capped at 5 below a held level of 0.17
  hold_level = 0.1f;
  level_analysis(100.2);
  EXPECT_FLOAT_EQ(auto_gain.load(), 5.0f);
}

TEST_F(Chain, ClippedPeaksInTwoAnalysesRunningRaiseTheVoiceDivisor) {
  autovol_mode = 1;
  struct Step {
    int peak;
    float divisor;
  } steps[] = {
      {32765, 152.4f},                     // one clipped analysis: not yet
      {32765, 152.4f * 1.03f},             // the second in a row
      {32765, 152.4f * 1.03f * 1.03f},     // and every later one
      {32764, 152.4f * 1.03f * 1.03f},     // not clipped: the count drops by 1.4
      {32765, 152.4f * 1.03f * 1.03f},     // 0.6 + 1 is not 2 yet
      {32765, 152.4f * 1.03f * 1.03f * 1.03f},
  };
  double t = 100.0;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.peak);
    peak_hold = s.peak;
    level_analysis(t += 0.1);
    EXPECT_FLOAT_EQ(voice_divisor.load(), s.divisor);
  }
  // Not beyond three times the reference.
  voice_divisor = 3.0f * 152.4f - 0.5f;
  for (int i = 0; i < 3; i++) {
    peak_hold = 32768;
    level_analysis(t += 0.1);
  }
  EXPECT_FLOAT_EQ(voice_divisor.load(), (3.0f * 152.4f - 0.5f) * 1.03f);
  // A quiet enough passage lets it relax back by 1 % of the way.
  env_level = 0.3f;
  hold_level = 0.3f;
  float before = voice_divisor.load();
  peak_hold = 3000;
  level_analysis(t += 0.1);
  EXPECT_FLOAT_EQ(voice_divisor.load(), before + (152.4f - before) * 0.01f);
}

TEST_F(Chain, CompressorOfEachModeReachesTheAimAgain) {
  struct Case {
    int mode;
    float threshold, makeup;  // for target_level 1.7
  } cases[] = {
      {1, 19496.96f, 1.3158f},  // computed like mode 5, never applied
      {2, 23117.824f, 1.0808f},
      {3, 21446.656f, 1.1570f},
      {4, 20332.544f, 1.2413f},
      {5, 19496.96f, 1.3158f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    autovol_mode = c.mode;
    peak_hold = 20000;
    level_analysis(100.0);
    EXPECT_NEAR(comp_threshold, c.threshold, 0.01);
    EXPECT_NEAR(comp_makeup, c.makeup, 0.00005);
  }
}

TEST_F(Chain, ModeOneNeverCompressesAndTheOthersDo) {
  struct Case {
    int mode;
    int16_t in, out;
  } cases[] = {
      {1, 30000, 30000},  {1, -30000, -30000},
      {2, 30000, 29152},  {2, -30000, -29152},  // 30000 - (30000 - 23117.8) x 0.44, x 1.0808
      {5, 30000, 28418},  {5, 10000, 13158},    // below the threshold: make-up only
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.mode) + ": " + std::to_string(c.in));
    autovol_mode = c.mode;
    peak_hold = 20000;
    level_analysis(100.0);
    auto_gain = 1.0f;
    frames_since_analysis = 0;
    Values v{c.in};
    master_callback(v.data(), 1, 1);
    EXPECT_EQ(v[0], c.out);
  }
}

TEST_F(Chain, AnalysisRunsOnceMoreThan4400FramesHavePassed) {
  autovol_mode = 1;
  frames_since_analysis = 99999;  // as after a restart: the first block analyses
  Values block(2 * 1024, 1000);
  chain(block, 2);
  EXPECT_EQ(frames_since_analysis.load(), 0);
  EXPECT_EQ(peak_hold.load(), 1);
  for (int b = 1; b <= 4; b++) {
    chain(block, 2);
    EXPECT_EQ(frames_since_analysis.load(), 1024 * b);
    EXPECT_EQ(peak_hold.load(), 1000);
  }
  chain(block, 2);  // 5120 frames
  EXPECT_EQ(frames_since_analysis.load(), 0);
  EXPECT_EQ(peak_hold.load(), 1);
}

// ---- The chain ----

TEST_F(Chain, ValuesAreClippedSymmetricallyAndRoundedToEven) {
  struct Case {
    int16_t in;
    float gain, level;  // auto_gain (0: automatic volume off), master_level
    int16_t out;
  } cases[] = {
      {-32768, 0, 1.0f, -32767}, {32767, 0, 1.0f, 32767}, {0, 0, 1.0f, 0},
      {3, 0, 0.5f, 2},           {5, 0, 0.5f, 2},          {-3, 0, 0.5f, -2}, {7, 0, 0.5f, 4},
      {10000, 5, 1.0f, 32767},   {-10000, 5, 1.0f, -32767},
      {10000, 5, 0.1f, 5000},  // the clip comes after the master level
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.in) + " x " + std::to_string(c.gain) + " x " + std::to_string(c.level));
    autovol_mode = c.gain > 0 ? 1 : 0;
    auto_gain = c.gain;
    frames_since_analysis = 0;
    master_level = c.level;
    Values v{c.in};
    master_callback(v.data(), 1, 1);
    EXPECT_EQ(v[0], c.out);
  }
}

TEST_F(Chain, OnlyTheFirst18000ValuesOfABlockAreProcessed) {
  master_level = 0.5f;
  Values v = chain(Values(2 * 10000, 1000), 2, 10000);
  for (size_t i = 0; i < v.size(); i++) ASSERT_EQ(v[i], i < 18000 ? 500 : 1000) << i;
}

TEST_F(Chain, OutputOtherThan16BitsIsLeftAlone) {
  autovol_mode = 5;
  reverb_mode = 3;
  setup_reverb();
  equalizer_on = 1;
  master_level = 0.5f;
  frames_since_analysis = 99999;
  for (int bits : {8, 24}) {
    plug_bits = bits;
    Values in = noise(2048, 5);
    EXPECT_EQ(chain(in, 2), in);
    EXPECT_EQ(peak_hold.load(), 1);
    EXPECT_EQ(frames_since_analysis.load(), 99999);
  }
}

// ---- Keys and routing ----

TEST_F(Chain, KeyARestartsAutomaticVolumeOnlyWhenItIsSwitchedOn) {
  auto disturb = [] {
    auto_gain = 3.0f;
    env_level = 0.2f;
    hold_level = 0.2f;
    peak_hold = 500;
    frames_since_analysis = 10;
  };
  disturb();
  double now = win_timer();
  keys("a");
  EXPECT_EQ(autovol_mode.load(), 1);
  EXPECT_FLOAT_EQ(auto_gain.load(), 1.0f);
  EXPECT_FLOAT_EQ(env_level.load(), 0.8f);
  EXPECT_FLOAT_EQ(hold_level.load(), 0.8f);
  EXPECT_EQ(peak_hold.load(), 1);
  EXPECT_EQ(frames_since_analysis.load(), 99999);
  EXPECT_NEAR(analysis_ref_time.load(), now + 1.2, 0.5);
  EXPECT_NEAR(analysis_now_time.load(), now, 0.5);
  disturb();
  keys("A");  // to the first compressor: the state goes on
  EXPECT_EQ(autovol_mode.load(), 2);
  EXPECT_FLOAT_EQ(auto_gain.load(), 3.0f);
  EXPECT_EQ(peak_hold.load(), 500);
}

TEST_F(Chain, RoutingCallsTheChainWhileAnyEffectIsOn) {
  ASSERT_TRUE(engine_started);
  ASSERT_EQ(FBS_SET_MASTERCALLBACK(master_callback), 1);
  struct Case {
    int autovol, reverb, equalizer;
    int on;
    float volume;
  } cases[] = {
      {0, 0, 0, 0, 0.95f}, {1, 0, 0, 1, 1.0f}, {5, 0, 0, 1, 1.0f},
      {0, 3, 0, 1, 0.95f}, {0, 0, 1, 1, 0.95f}, {2, 1, 1, 1, 1.0f},
  };
  auto volume = [] {
    float v = 0;
    FBS_GET_MASTERVOLUME(&v);
    return v;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.autovol) + std::to_string(c.reverb) + std::to_string(c.equalizer));
    autovol_mode = c.autovol;
    reverb_mode = c.reverb;
    equalizer_on = c.equalizer;
    update_effect_routing();
    EXPECT_EQ(fbs_master_callback_on.load(), c.on);
    EXPECT_FLOAT_EQ(volume(), c.volume);
  }
  // Each key routes again.
  autovol_mode = reverb_mode = equalizer_on = 0;
  update_effect_routing();
  struct Key {
    const char* keys;
    int on;
    float volume;
  } steps[] = {{"g", 1, 0.95f}, {"g", 0, 0.95f}, {"a", 1, 1.0f}, {"aaaaa", 0, 0.95f}, {"r", 1, 0.95f}, {"rrr", 0, 0.95f}};
  for (const Key& k : steps) {
    keys(k.keys);
    EXPECT_EQ(fbs_master_callback_on.load(), k.on) << k.keys;
    EXPECT_FLOAT_EQ(volume(), k.volume) << k.keys;
  }
  FBS_DISABLE_MASTERCALLBACK();
}

// ---- The block chain against the value-by-value chain ----

// Random settings, output formats, block sizes and signals (noise at any
// level, full-scale squares, silence, now and then a value the stages can
// no longer keep finite): master_callback and its plain twin, each from the
// same fresh state, give the same blocks bit for bit and leave the same
// analysis behind.
TEST_F(Chain, BlockChainGivesWhatTheValueByValueChainGives) {
  std::mt19937 rng(40);
  auto pick = [&rng](int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); };
  auto real = [&rng](float low, float high) { return std::uniform_real_distribution<float>(low, high)(rng); };
  for (int trial = 0; trial < 48; trial++) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    int channels = pick(1, 4) == 1 ? 1 : 2;
    plug_channels = channels;
    plug_rate = pick(0, 1) ? 44100 : 48000;
    autovol_mode = pick(0, 5);
    reverb_mode = pick(0, 3);
    equalizer_on = pick(0, 2) ? 1 : 0;
    master_level = real(0.01f, 1.0f);
    reverb2_params = {real(0.0f, 0.7f), real(0.0f, 0.9f), real(10.0f, 1000.0f), real(10.0f, 2000.0f)};
    reverb3_params = {real(0.0f, 0.7f), real(0.0f, 0.9f), (float)pick(0, 3), real(10.0f, 2000.0f)};
    eq_bands.lowf = pick(20, 2000);
    eq_bands.highf = pick(1000, 25000);
    eq_bands.lowg = real(0.0f, 10.0f);
    eq_bands.midg = real(0.0f, 10.0f);
    eq_bands.highg = real(0.0f, 10.0f);
    eq_bands.order = pick(0, 5);  // 0 and 5 pass values through
    target_level = real(0.2f, 1.7f);
    std::vector<Values> blocks;
    for (int b = 0, count = pick(1, 40); b < count; b++) {
      int frames = pick(0, 3) == 0 ? pick(1, 9500) : (pick(0, 1) ? 64 : 1024);
      int kind = pick(0, 9), size = pick(1, 32767);
      Values v = noise((size_t)frames * channels, (unsigned)rng(), size);
      if (kind == 0) v.assign(v.size(), 0);
      if (kind == 1)
        for (size_t i = 0; i < v.size(); i++) v[i] = (i / 37) % 2 ? (int16_t)-32768 : (int16_t)32767;
      blocks.push_back(v);
    }
    // In a trial of eight the reverb and the equalizer are made to grow
    // without end, so their values stop being finite and they start again.
    bool runaway = trial % 8 == 7;
    if (runaway) {
      reverb_mode = 2;
      reverb2_params = {50.0f, 0.5f, 0.0f, 0.0f};
      equalizer_on = 1;
    }
    auto run = [&](void (*callback)(int16_t*, int32_t, int32_t)) {
      restart_autovol_state(100.0);
      release_weight = 400.0f;
      block_level = clip_count = comp_threshold = comp_ratio = 0.0f;
      comp_makeup = 1.0f;
      voice_divisor = 152.4f;
      int mode = reverb_mode;
      reverb_mode = 0;
      setup_reverb();  // the line silent before its next value
      reverb_mode = mode;
      setup_reverb();
      compute_eq_coefficients();
      if (runaway) eq_low_coef = 3.5f;
      program_clock = [] { return chain_clock; };
      chain_clock = 100.0;
      std::vector<Values> out;
      for (size_t b = 0; b < blocks.size(); b++) {
        Values v = blocks[b];
        chain_clock += 0.023;
        callback(v.data(), channels, (int32_t)(v.size() / channels));
        out.push_back(v);
      }
      out.push_back({(int16_t)peak_hold.load(), (int16_t)frames_since_analysis.load(),
                     (int16_t)(auto_gain.load() * 1000), (int16_t)(voice_divisor.load() * 10)});
      return out;
    };
    std::vector<Values> plain = run(master_callback_plain);
    unsigned resets = effect_state_resets.load();
    std::vector<Values> block = run(master_callback);
    if (runaway) {
      EXPECT_GT(effect_state_resets.load(), resets);
    }
    ASSERT_EQ(plain.size(), block.size());
    for (size_t b = 0; b < plain.size(); b++) ASSERT_EQ(plain[b], block[b]) << "block " << b;
  }
  program_clock = steady_seconds;
}

// ---- Bad input ----

// An equalizer state or reverb line that is no longer a finite number starts
// again at once: the chain then gives what fresh states give.
TEST_F(Chain, StatesNoLongerFiniteStartAgain) {
  equalizer_on = 1;
  reverb_mode = 3;
  setup_reverb();
  Values in = noise(4000, 7);
  Values fresh = chain(in, 2);
  unsigned resets = effect_state_resets.load();
  for (float poison : {NAN, INFINITY, -INFINITY}) {
    EXPECT_EQ(reverb_step(poison), 0.0f);
    EXPECT_EQ(equalizer_step(poison, 0), 0.0f);
    EXPECT_EQ(chain(in, 2), fresh) << poison;
  }
  EXPECT_EQ(effect_state_resets.load() - resets, 6u);
}

// A settings file with effect values far out of range is clamped at start-up;
// then four minutes of full-scale square waves and silence pass every mode
// and never leave the 16-bit range, nor leave the analysis anything but
// finite; the float stages, fed the loudest values the stages before them
// can give, stay finite.
TEST_F(Chain, OutOfRangeSettingsAndFullScaleSquaresStayInRangeInEveryMode) {
  reverb2_params = {100.0f, -1.0f, -300.0f, 1e9f};
  reverb3_params = {0.9f, 100.0f, 5000.0f, 0.0f};
  eq_bands.lowf = 0;
  eq_bands.highf = 1000000000;
  eq_bands.lowg = -5.0f;
  eq_bands.midg = 100.0f;
  eq_bands.highg = 1e9f;
  eq_bands.order = 9;
  std::string text = format_settings();
  read_settings_from_text(text.data(), text.size());
  clamp_reverb_params(&reverb2_params);
  clamp_reverb_params(&reverb3_params);
  clamp_eq_settings();
  EXPECT_FLOAT_EQ(reverb2_params.kreverb1, 0.7f);
  EXPECT_FLOAT_EQ(reverb2_params.kreverb2, 0.0f);
  EXPECT_FLOAT_EQ(reverb2_params.Treverb1, 10.0f);
  EXPECT_FLOAT_EQ(reverb3_params.Treverb1, 1000.0f);
  EXPECT_EQ(eq_bands.lowf.load(), 20);
  EXPECT_EQ(eq_bands.highf.load(), 20000);
  EXPECT_FLOAT_EQ(eq_bands.lowg.load(), 0.0f);
  EXPECT_FLOAT_EQ(eq_bands.highg.load(), 10.0f);
  EXPECT_EQ(eq_bands.order.load(), 4);
  compute_eq_coefficients();

  // One second of each: squares of 2 to 882 frames a period, at full scale
  // with -32768 as the low value, and silence.
  const int kFrames = 1024;
  auto square = [](int64_t frame, int period) {
    return (frame / (period / 2)) % 2 ? (int16_t)-32768 : (int16_t)32767;
  };
  const int periods[] = {2, 10, 100, 882, 0};
  for (int autovol = 0; autovol <= 5; autovol++) {
    for (int reverb = 0; reverb <= 3; reverb++) {
      for (int equalizer = 0; equalizer <= 1; equalizer++) {
        SCOPED_TRACE(std::to_string(autovol) + std::to_string(reverb) + std::to_string(equalizer));
        autovol_mode = autovol;
        reverb_mode = reverb;
        equalizer_on = equalizer;
        setup_reverb();
        int64_t frame = 0;
        for (int period : periods) {
          for (int b = 0; b < 44100 / kFrames; b++) {
            Values block(2 * kFrames);
            for (int f = 0; f < kFrames; f++, frame++)
              block[2 * f] = block[2 * f + 1] = period ? square(frame, period) : 0;
            master_callback(block.data(), 2, kFrames);
            for (int16_t v : block) ASSERT_GE(v, -32767);
          }
        }
      }
    }
  }
  for (float v : {env_level.load(), hold_level.load(), auto_gain.load(), comp_makeup, voice_divisor.load()})
    EXPECT_TRUE(std::isfinite(v));
  EXPECT_LE(voice_divisor.load(), 3.0f * 152.4f * 1.03f);

  // At most 5 x 1.32 of full scale leaves the automatic gain.
  reverb_mode = 3;
  setup_reverb();
  const float loudest = 32768.0f * 5.0f * 1.32f;
  for (int period : {2, 10, 882}) {
    for (int64_t i = 0; i < 10 * 44100; i++) {
      float r = reverb_step(square(i / 2, period) < 0 ? -loudest : loudest);
      float e = equalizer_step(r, (int)(i & 1));
      ASSERT_TRUE(std::isfinite(r) && std::isfinite(e)) << "period " << period << ", value " << i;
    }
  }
}

}  // namespace
