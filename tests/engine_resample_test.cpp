// SPDX-License-Identifier: GPL-3.0-or-later
// Resampling at speeds other than 1: the coefficient tables, the run kernels'
// fast twins against the plain ones on random data, positions that step as
// the nearest family's whatever the family, no read outside the wave (its
// pages fenced off), and what taps past a region's edge read.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "engine/fbs.h"
#include "engine/kernel_table.h"
#include "engine/kernels_resample.h"

namespace {

// Samples between two inaccessible pages: any read outside [begin, end) of
// a wave placed against either fence ends the test program.
struct FencedWave {
  uint8_t* base = nullptr;
  size_t page = 0, room = 0;
  explicit FencedWave(size_t bytes) {
    page = (size_t)sysconf(_SC_PAGESIZE);
    room = (bytes + page - 1) / page * page;
    base = (uint8_t*)mmap(nullptr, room + 2 * page, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    mprotect(base, page, PROT_NONE);
    mprotect(base + page + room, page, PROT_NONE);
  }
  ~FencedWave() { munmap(base, room + 2 * page); }
  // bytes of wave starting right after the lower fence, or ending right at
  // the upper one.
  uint8_t* at_low(size_t) { return base + page; }
  uint8_t* at_high(size_t bytes) { return base + page + room - bytes; }
};

const int kFamilies[] = {kResampleNearest, kResampleCubic, kResampleSinc};

float random_speed(std::mt19937& rng) {
  static const float extremes[] = {16383.0f, 1.5258e-06f, 2.0f, 0.5f, 1.0001f, 64.0f};
  float v;
  if (rng() % 5 == 0)
    v = extremes[rng() % 6];
  else
    v = std::exp((float)((int)(rng() % 6000) - 3000) / 1000.0f);  // 0.05..20
  return rng() & 1 ? v : -v;
}

TEST(ResampleTables, RowsSumToOneStayInRangeAndMeetAtTheirEnds) {
  const int16_t* cubic = cubic_rows();
  const int rows = (1 << kCubicPhaseBits) + 1;
  for (int r = 0; r < rows; r++) {
    int sum = 0;
    for (int j = 0; j < kCubicTaps; j++) sum += cubic[r * kCubicTaps + j];
    ASSERT_EQ(sum, 32768) << "cubic row " << r;
  }
  for (int k = 0; k < kSincTables; k++) {
    const int16_t* t = sinc_rows((uint64_t)std::lrint(65536.0 * std::pow(2.0, k / 12.0)));
    const int n = (1 << kSincPhaseBits) + 1;
    for (int r = 0; r < n; r++) {
      int sum = 0, absolute = 0;
      for (int j = 0; j < kSincTaps; j++) {
        const int c = t[r * kSincTaps + j];
        sum += c;
        absolute += std::abs(c);
        if (r + 1 < n) {
          ASSERT_LT(std::abs(t[(r + 1) * kSincTaps + j] - c), 8192);
        }
      }
      ASSERT_EQ(sum, 32768) << "table " << k << " row " << r;
      ASSERT_LT(absolute, 65536) << "table " << k << " row " << r;
    }
    // The row of fraction 1.0 is the row of 0 one tap on.
    for (int j = 1; j < kSincTaps; j++)
      ASSERT_EQ(t[(n - 1) * kSincTaps + sinc_tap_slot(j)], t[sinc_tap_slot(j - 1)])
          << "table " << k;
  }
  // A key's speed lands on its own semitone's table, faster ones on the last.
  EXPECT_EQ(sinc_rows(65536), sinc_rows(30000));
  EXPECT_EQ(sinc_rows((uint64_t)std::nearbyint(std::pow(2.0f, 5 / 12.0f) * 65536.0)),
            sinc_rows((uint64_t)std::lrint(65536.0 * std::pow(2.0, 5 / 12.0))));
  EXPECT_NE(sinc_rows(66200), sinc_rows(65536));
  EXPECT_EQ(sinc_rows(1u << 30), sinc_rows(4u << 16));
}

// Random sources, positions and steps, forward and backward, every count up
// to a few hundred: each fast twin writes exactly the plain one's bytes.
TEST(ResampleTables, FastRunKernelsMatchThePlainOnes) {
  std::mt19937 rng(2024);
  const KernelTable* plain = kernels_table(kKernelsPlain);
  const int16_t* rows[] = {cubic_rows(), sinc_rows(65536), sinc_rows(90000), sinc_rows(1u << 20)};
  int compared = 0;
  for (int level = kKernelsSse2; level <= kKernelsAvx2; level++) {
    const KernelTable* fast = kernels_table(level);
    if (!fast) continue;
    for (int trial = 0; trial < 3000; trial++) {
      const int unit = trial & 1 ? 4 : 2;
      const int kernel = (trial >> 1) % 3;  // nearest, cubic, sinc
      const size_t count = 1 + rng() % 300;
      // Units the run may step over, beyond its taps.
      const uint32_t span = 1 + rng() % 3000;
      const int32_t step = (int32_t)((uint64_t)span * 65536 / count) * (rng() & 1 ? 1 : -1);
      const uint32_t first = (uint32_t)(rng() % 65536) + (step < 0 ? (span + 1) << 16 : 0);
      std::vector<uint8_t> src((span + 2 + kSincTaps) * unit + 32);
      for (auto& x : src) x = (uint8_t)rng();
      std::vector<uint8_t> a(count * unit + 8, 0x55), b = a;
      const int16_t* r = kernel == 1 ? rows[0] : rows[1 + rng() % 3];
      const size_t off = rng() % 8;
      const uint8_t* s = src.data() + off;
      if (kernel == 0) {
        (unit == 2 ? plain->slice16 : plain->slice32)(a.data(), s, first, step, count);
        (unit == 2 ? fast->slice16 : fast->slice32)(b.data(), s, first, step, count);
      } else if (kernel == 1) {
        (unit == 2 ? plain->cubic16 : plain->cubic32)(a.data(), s, first, step, count, r);
        (unit == 2 ? fast->cubic16 : fast->cubic32)(b.data(), s, first, step, count, r);
      } else {
        (unit == 2 ? plain->sinc16 : plain->sinc32)(a.data(), s, first, step, count, r);
        (unit == 2 ? fast->sinc16 : fast->sinc32)(b.data(), s, first, step, count, r);
      }
      ASSERT_EQ(a, b) << fast->name << " kernel " << kernel << " unit " << unit << " count "
                      << count << " step " << step;
      compared++;
    }
  }
#if defined(__x86_64__)
  EXPECT_GT(compared, 0);
#endif
}

// Random regions (a unit to thousands), positions, loops and speeds, mono
// and stereo, forward and backward, the wave fenced on one side or the
// other: every family ends at the nearest family's position, loops and
// fraction, falls silent at the same output, and reads nothing outside the
// wave; every variant writes the same block.
TEST(ResampleFamilies, StepLikeTheNearestFamilyAndStayInsideTheWave) {
  std::mt19937 rng(77);
  for (int trial = 0; trial < 1500; trial++) {
    const int unit = trial & 1 ? 4 : 2;
    const size_t units = trial % 7 == 0 ? 1 + rng() % 4 : 1 + rng() % 3000;
    FencedWave fence(units * unit);
    uint8_t* begin = (trial >> 1) & 1 ? fence.at_low(units * unit) : fence.at_high(units * unit);
    // No sample is 0, so the nearest family's first 0 is where it stopped.
    for (size_t i = 0; i < units * unit / 2; i++) {
      const int16_t v = (int16_t)(1 + rng() % 30000) * (rng() & 1 ? 1 : -1);
      std::memcpy(begin + 2 * i, &v, 2);
    }
    uint8_t* end = begin + units * unit;
    uint8_t* start = begin + (rng() % 3 == 0 ? (rng() % units) * unit : 0);
    uint8_t* from = start + (rng() % ((end - start) / unit + 1)) * unit;
    const int32_t loops = 1 + (int32_t)(rng() % 4);
    const float speed = random_speed(rng);
    const uint32_t phase = (uint32_t)(rng() % 65536) | (rng() & 1 ? kPhaseWrapped : 0);
    const int32_t bytes = (int32_t)((1 + rng() % 700) * unit);

    uint8_t* near_pos = from;
    int32_t near_loops = loops;
    uint32_t near_phase = phase & kPhaseWrapped;  // every family from fraction 0
    std::vector<uint8_t> near(bytes);
    play_resampled(near.data(), start, start, &near_pos, end, &near_loops, speed, bytes, &near_phase,
                   kResampleNearest, unit);
    size_t silent = 0;  // outputs before the nearest family stopped
    while (silent < (size_t)bytes / unit && near[silent * unit] | near[silent * unit + 1]) silent++;

    for (int family : {kResampleCubic, kResampleSinc}) {
      std::vector<uint8_t> first;
      for (int level = kKernelsPlain; level <= kKernelsAvx2; level++) {
        if (!kernels_table(level)) continue;
        kernels_use(level);
        uint8_t* pos = from;
        int32_t left = loops;
        uint32_t ph = phase & kPhaseWrapped;
        std::vector<uint8_t> out(bytes, 0x55);
        play_resampled(out.data(), start, start, &pos, end, &left, speed, bytes, &ph, family, unit);
        ASSERT_EQ(pos, near_pos) << "family " << family << " trial " << trial;
        ASSERT_EQ(left, near_loops) << "family " << family << " trial " << trial;
        ASSERT_EQ(ph, near_phase) << "family " << family << " trial " << trial << " units " << units
                                  << " start " << (start - begin) / unit << " from "
                                  << (from - begin) / unit << " loops " << loops << " speed "
                                  << speed << " bytes " << bytes << " phase " << phase;
        for (size_t i = silent * unit; i < (size_t)bytes; i++)
          ASSERT_EQ(out[i], 0) << "family " << family << " trial " << trial;
        if (first.empty()) first = out;
        ASSERT_EQ(out, first) << kernels_table(level)->name << " family " << family << " trial "
                              << trial;
      }
      kernels_use(kernels_best_level());
      // The family's own fraction carried in: still inside the wave.
      uint8_t* pos = from;
      int32_t left = loops;
      uint32_t ph = phase;
      std::vector<uint8_t> out(bytes);
      play_resampled(out.data(), start, start, &pos, end, &left, speed, bytes, &ph, family, unit);
    }
  }
}

// A constant wave read by an interpolating family: a looping sound reads
// the loop's other end past both edges, so it stays exactly constant across
// its seams, either way; a one-shot reads silence outside, so its first and
// last outputs are not the constant.
TEST(ResampleFamilies, TapsPastTheEdgeReadTheLoopsOtherEndOrSilence) {
  for (int family : {kResampleCubic, kResampleSinc})
    for (int unit : {2, 4})
      for (float speed : {0.37f, 0.7071f, 1.3348f, 3.9f, -0.7071f, -1.3348f}) {
        std::vector<int16_t> wave(40 * unit / 2, 1000);
        uint8_t* begin = (uint8_t*)wave.data();
        uint8_t* end = begin + wave.size() * 2;
        uint8_t* pos = begin + 13 * unit;
        int32_t loops = 1000;
        uint32_t phase = 0x8000 | kPhaseWrapped;
        std::vector<int16_t> out(300 * unit / 2);
        play_resampled((uint8_t*)out.data(), begin, begin, &pos, end, &loops, speed,
                       (int32_t)out.size() * 2, &phase, family, unit);
        for (size_t i = 0; i < out.size(); i++)
          ASSERT_EQ(out[i], 1000) << "family " << family << " speed " << speed << " output " << i;

        // One pass from the first unit (backward: from the last).
        pos = speed > 0 ? begin : end - unit;
        loops = 1;
        phase = 0x4000;
        out.assign(400 * unit / 2, 7);
        play_resampled((uint8_t*)out.data(), begin, begin, &pos, end, &loops, speed,
                       (int32_t)out.size() * 2, &phase, family, unit);
        EXPECT_NE(out[0], 1000) << "family " << family << " speed " << speed;
        EXPECT_EQ(loops, 0);
        size_t last = 0;
        for (size_t i = 0; i < out.size(); i++)
          if (out[i] != 0) last = i;
        EXPECT_NE(out[last], 1000) << "family " << family << " speed " << speed;
      }
}

TEST(ResampleFamilies, TheExportTakesOnlyTheThreeFamilies) {
  const int32_t was = FBS_GET_RESAMPLEMODE();
  EXPECT_EQ(FBS_SET_RESAMPLEMODE(2), 1);
  EXPECT_EQ(FBS_GET_RESAMPLEMODE(), 2);
  EXPECT_EQ(FBS_SET_RESAMPLEMODE(3), 0);
  EXPECT_EQ(FBS_SET_RESAMPLEMODE(-1), 0);
  EXPECT_EQ(FBS_GET_RESAMPLEMODE(), 2);
  FBS_SET_RESAMPLEMODE(was);
}

}  // namespace
