// SPDX-License-Identifier: GPL-3.0-or-later
// Block kernels and CPU queries: fixed-point rounding and saturation, loop and
// end handling of looped playback, MP3 frame conversion, argument checks, and
// every fast variant against the plain one on random blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "engine/kernel_table.h"
#include "engine/kernels.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace {

typedef std::vector<int16_t> Samples;

// The wave 1, 2, ..., n in a buffer with sentinels around it, so a read
// outside [begin, end) shows up in the output.
struct Wave {
  std::vector<int16_t> data;
  int guard;
  Wave(int n, int guard_samples = 8) : data(n + 2 * guard_samples, -999), guard(guard_samples) {
    for (int i = 0; i < n; i++) data[guard + i] = (int16_t)(i + 1);
  }
  uint8_t* at(int sample) { return (uint8_t*)(data.data() + guard + sample); }
};

int sample_index(Wave& w, uint8_t* p) { return (int)((p - w.at(0)) / 2); }

// Scalar reference of the fixed-point scale, written out independently.
int16_t reference_scale(int16_t s, float gain) {
  const int64_t factor = (int64_t)std::nearbyint(65536.0 * gain);
  const int64_t product = (int64_t)s * factor;
  if (product > INT32_MAX) return 32767;
  if (product < INT32_MIN) return -32768;
  return (int16_t)(product >> 16);
}

// ---- MIX16 ----

TEST(Mix16, SaturatesAtBothLimits) {
  Samples a = {30000, -30000, 100, 32767, -32768, -1};
  Samples b = {10000, -10000, -300, 1, -1, 1};
  Samples out(6, 7);
  MIX16(out.data(), a.data(), b.data(), 12);
  EXPECT_EQ(out, (Samples{32767, -32768, -200, 32767, -32768, 0}));
}

TEST(Mix16, DestinationMayBeTheFirstBlock) {
  Samples a = {1, 2, 3, 4}, b = {10, 20, 30, 40};
  MIX16(a.data(), a.data(), b.data(), 8);
  EXPECT_EQ(a, (Samples{11, 22, 33, 44}));
}

// ---- SCALE16 ----

TEST(Scale16, ShiftRoundsTowardMinusInfinity) {
  Samples s = {1001, -1001, 1, -1, 0};
  SCALE16(s.data(), s.data(), 0.5f, 10);
  EXPECT_EQ(s, (Samples{500, -501, 0, -1, 0}));
}

TEST(Scale16, FactorTwoSaturatesExactlyAtTheLimits) {
  Samples s = {16384, -16384, 16383, -16383, 32767, -32768};
  Samples out(6);
  SCALE16(out.data(), s.data(), 2.0f, 12);
  EXPECT_EQ(out, (Samples{32767, -32768, 32766, -32766, 32767, -32768}));
}

TEST(Scale16, LargeAndNegativeFactors) {
  Samples s = {10000, 10923, -10923, 100, -32768};
  Samples out(5);
  SCALE16(out.data(), s.data(), 3.0f, 10);
  // 10923 x 196608 no longer fits in 32 bits: the limit of its sign.
  EXPECT_EQ(out, (Samples{30000, 32767, -32768, 300, -32768}));
  SCALE16(out.data(), s.data(), -1.0f, 10);
  EXPECT_EQ(out, (Samples{-10000, -10923, 10923, -100, 32767}));
}

TEST(Scale16, FactorIsRoundedToNearestEven) {
  EXPECT_EQ(kernel_fixed_factor(2.5f / 65536.0f), 2);
  EXPECT_EQ(kernel_fixed_factor(3.5f / 65536.0f), 4);
  EXPECT_EQ(kernel_fixed_factor(0.5f), 32768);
  EXPECT_EQ(kernel_fixed_factor(1e12f), INT32_MAX);
  EXPECT_EQ(kernel_fixed_factor(-1e12f), INT32_MIN);
}

// ---- PAN16 ----

TEST(Pan16, UnitGainsDoNothing) {
  Samples src = {1000, 2000}, out = {7, 7};
  PAN16(out.data(), src.data(), 1.0f, 1.0f, 4);
  EXPECT_EQ(out, (Samples{7, 7}));
}

TEST(Pan16, ScalesOnlyTheChannelWhoseGainIsBelowOne) {
  Samples src = {1000, 1000, -1001, -1001};
  Samples out(4);
  PAN16(out.data(), src.data(), 1.0f, 0.5f, 8);  // panned left: right scaled
  EXPECT_EQ(out, (Samples{1000, 500, -1001, -501}));
  PAN16(out.data(), src.data(), 0.5f, 1.0f, 8);  // panned right: left scaled
  EXPECT_EQ(out, (Samples{500, 1000, -501, -1001}));
  PAN16(src.data(), src.data(), 0.25f, 0.5f, 8);  // left not 1.0: left wins, in place
  EXPECT_EQ(src, (Samples{250, 1000, -251, -1001}));
}

// ---- COPYRIGHT16 / 32 ----

TEST(CopyRight, LastLoopEndsWithZerosInTheSameBlock) {
  Wave w(3);
  uint8_t* pos = w.at(0);
  int32_t loops = 1;
  Samples out(8, 99);
  COPYRIGHT16(out.data(), w.at(0), &pos, w.at(3), &loops, 16);
  EXPECT_EQ(out, (Samples{1, 2, 3, 0, 0, 0, 0, 0}));
  EXPECT_EQ(loops, 0);
}

TEST(CopyRight, TwoLoopsPlayTheWaveTwiceThenZeros) {
  Wave w(3);
  uint8_t* pos = w.at(0);
  int32_t loops = 2;
  Samples out(8, 99);
  COPYRIGHT16(out.data(), w.at(0), &pos, w.at(3), &loops, 16);
  EXPECT_EQ(out, (Samples{1, 2, 3, 1, 2, 3, 0, 0}));
  EXPECT_EQ(loops, 0);
}

TEST(CopyRight, LoopRegionAndPositionCarryAcrossBlocks) {
  Wave w(6);
  uint8_t* pos = w.at(0);
  int32_t loops = 100;
  Samples out(5);
  // Loop over samples 3..5 (start at index 2, end after index 4).
  COPYRIGHT16(out.data(), w.at(2), &pos, w.at(5), &loops, 10);
  EXPECT_EQ(out, (Samples{1, 2, 3, 4, 5}));
  EXPECT_EQ(loops, 99);  // reaching the end at the last sample counts at once
  EXPECT_EQ(sample_index(w, pos), 2);
  COPYRIGHT16(out.data(), w.at(2), &pos, w.at(5), &loops, 10);
  EXPECT_EQ(out, (Samples{3, 4, 5, 3, 4}));
  EXPECT_EQ(loops, 98);
  EXPECT_EQ(sample_index(w, pos), 4);
}

TEST(CopyRight, StereoFramesMoveAsOneUnit) {
  Wave w(4);  // frames (1,2) (3,4)
  uint8_t* pos = w.at(0);
  int32_t loops = 2;
  Samples out(10, 99);
  COPYRIGHT32(out.data(), w.at(0), &pos, w.at(4), &loops, 20);
  EXPECT_EQ(out, (Samples{1, 2, 3, 4, 1, 2, 3, 4, 0, 0}));
  EXPECT_EQ(loops, 0);
}

TEST(CopyRight, PositionAtTheEndWrapsBeforeReading) {
  Wave w(3);
  uint8_t* pos = w.at(3);  // as left by a play position set to the end
  int32_t loops = 5;
  Samples out(4, 99);
  COPYRIGHT16(out.data(), w.at(0), &pos, w.at(3), &loops, 8);
  EXPECT_EQ(out, (Samples{1, 2, 3, 1}));
  EXPECT_EQ(loops, 3);
}

// ---- Slices ----

TEST(CopySlice, HalfSpeedWritesEverySampleTwice) {
  Wave w(8);
  uint8_t* pos = w.at(0);
  int32_t loops = 3;
  Samples out(6);
  COPYSLICERIGHT16(out.data(), w.at(0), &pos, w.at(8), &loops, 0.5f, 12);
  EXPECT_EQ(out, (Samples{1, 1, 2, 2, 3, 3}));
  EXPECT_EQ(sample_index(w, pos), 3);
}

TEST(CopySlice, FractionRestartsOnEveryCall) {
  Wave w(8);
  uint8_t* pos = w.at(0);
  int32_t loops = 3;
  Samples out(3);
  COPYSLICERIGHT16(out.data(), w.at(0), &pos, w.at(8), &loops, 0.5f, 6);
  EXPECT_EQ(out, (Samples{1, 1, 2}));
  COPYSLICERIGHT16(out.data(), w.at(0), &pos, w.at(8), &loops, 0.5f, 6);
  EXPECT_EQ(out, (Samples{2, 2, 3}));
}

TEST(CopySlice, DoubleSpeedSkipsEverySecondSampleAndLoops) {
  Wave w(6);
  uint8_t* pos = w.at(0);
  int32_t loops = 2;
  Samples out(8, 99);
  COPYSLICERIGHT16(out.data(), w.at(0), &pos, w.at(6), &loops, 2.0f, 16);
  EXPECT_EQ(out, (Samples{1, 3, 5, 1, 3, 5, 0, 0}));
  EXPECT_EQ(loops, 0);
}

TEST(CopySlice, StereoAtHalfSpeed) {
  Wave w(4);
  uint8_t* pos = w.at(0);
  int32_t loops = 1;
  Samples out(8);
  COPYSLICERIGHT32(out.data(), w.at(0), &pos, w.at(4), &loops, 0.5f, 16);
  EXPECT_EQ(out, (Samples{1, 2, 1, 2, 3, 4, 3, 4}));
  EXPECT_EQ(loops, 0);  // the last step reached the end of the only pass
}

TEST(CopySlice, BackwardPlaysTheRegionInReverseIncludingItsFirstSample) {
  Wave w(4);
  uint8_t* pos = w.at(3);
  int32_t loops = 2;
  Samples out(10, 99);
  COPYSLICELEFT16(out.data(), w.at(0), &pos, w.at(4), &loops, -1.0f, 20);
  EXPECT_EQ(out, (Samples{4, 3, 2, 1, 4, 3, 2, 1, 0, 0}));
  EXPECT_EQ(loops, 0);
}

TEST(CopySlice, BackwardFromTheEndStartsWithTheLastSample) {
  Wave w(4);
  uint8_t* pos = w.at(4);  // one past the wave: must not be read
  int32_t loops = 9;
  Samples out(6);
  COPYSLICELEFT32(out.data(), w.at(0), &pos, w.at(4), &loops, -0.5f, 12);
  EXPECT_EQ(out, (Samples{3, 4, 3, 4, 1, 2}));
  EXPECT_EQ(loops, 9);
}

TEST(CopySlice, FastSpeedsOverShortLoopsNeverReadOutsideTheRegion) {
  const float speeds[] = {7.3f, 16383.0f, 2.0f, 3.0f};
  for (float speed : speeds) {
    for (int backward = 0; backward < 2; backward++) {
      Wave w(10);
      uint8_t* pos = w.at(1);
      int32_t loops = 2147483647;
      Samples out(64);
      for (int block = 0; block < 4; block++) {
        if (backward)
          COPYSLICELEFT16(out.data(), w.at(2), &pos, w.at(5), &loops, -speed, 128);
        else
          COPYSLICERIGHT16(out.data(), w.at(2), &pos, w.at(5), &loops, speed, 128);
        for (size_t i = 1; i < out.size(); i++) {
          ASSERT_GE(out[i], 3) << "speed " << speed << " backward " << backward;
          ASSERT_LE(out[i], 5) << "speed " << speed << " backward " << backward;
        }
      }
      EXPECT_GT(loops, 0);
      EXPECT_LT(loops, 2147483647);  // every pass over the loop was counted
    }
  }
}

TEST(CopySlice, EmptyLoopStopsTheSoundInsteadOfRunningOff) {
  Wave w(4);
  uint8_t* pos = w.at(0);
  int32_t loops = 50;
  Samples out(8, 99);
  COPYRIGHT16(out.data(), w.at(2), &pos, w.at(2), &loops, 16);
  EXPECT_EQ(out, (Samples{1, 2, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(loops, 0);
}

TEST(MoveRoutines, AdvanceExactlyLikeTheirCopyTwins) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 400; trial++) {
    const int unit = (trial & 1) ? 4 : 2;
    const int kind = (trial >> 1) % 3;  // 0 speed 1, 1 forward slice, 2 backward slice
    const int len = 2 + (int)(rng() % 40);
    Wave w(len * unit / 2 + 4);
    const int first = (int)(rng() % 3) * unit / 2;
    uint8_t* start = w.at(first);
    uint8_t* end = w.at(first + len * unit / 2);
    uint8_t* p1 = start + (rng() % len) * unit;
    uint8_t* p2 = p1;
    int32_t k1 = 1 + (int32_t)(rng() % 4), k2 = k1;
    const float speed = std::ldexp((float)(rng() % 4000) + 1.0f, -10);  // 0.001 .. 3.9
    const int32_t bytes = unit * (1 + (int32_t)(rng() % 100));
    Samples out(bytes / 2 + 2);
    if (kind == 0) {
      (unit == 2 ? COPYRIGHT16 : COPYRIGHT32)(out.data(), start, &p1, end, &k1, bytes);
      (unit == 2 ? MOVERIGHT16 : MOVERIGHT32)(start, &p2, end, &k2, bytes);
    } else if (kind == 1) {
      (unit == 2 ? COPYSLICERIGHT16 : COPYSLICERIGHT32)(out.data(), start, &p1, end, &k1, speed,
                                                        bytes);
      (unit == 2 ? MOVESLICERIGHT16 : MOVESLICERIGHT32)(start, &p2, end, &k2, speed, bytes);
    } else {
      (unit == 2 ? COPYSLICELEFT16 : COPYSLICELEFT32)(out.data(), start, &p1, end, &k1, -speed,
                                                      bytes);
      (unit == 2 ? MOVESLICELEFT16 : MOVESLICELEFT32)(start, &p2, end, &k2, -speed, bytes);
    }
    ASSERT_EQ(p1, p2) << "trial " << trial;
    ASSERT_EQ(k1, k2) << "trial " << trial;
  }
}

// ---- MP3 frames and the ring ----

TEST(Mp3Frames, ConversionHoldsTheLimitsOfPlusMinusOne) {
  const int32_t in[] = {0x10000000,  -0x10000000, 0x0FFFFFFF, INT32_MAX, INT32_MIN,
                        -0x10000001, 0x2000,      -1,         0x1FFF,    0};
  int16_t out[10];
  SCALEMP3FRAME_11_16(out, in, 10);
  const int16_t expect[] = {32767, -32768, 32767, 32767, -32768, -32768, 1, -1, 0, 0};
  EXPECT_EQ(0, std::memcmp(out, expect, sizeof out));
}

TEST(Mp3Frames, ChannelLayouts) {
  const int32_t left[] = {0x2000 * 100, 0x10000000};
  const int32_t right[] = {0x2000 * 7, 0x10000000};
  int16_t out[4];
  SCALEMP3FRAME_22_16(out, left, right, 2);
  EXPECT_EQ((Samples(out, out + 4)), (Samples{100, 7, 32767, 32767}));
  SCALEMP3FRAME_21_16(out, left, right, 2);  // a quarter of the sum
  EXPECT_EQ((Samples(out, out + 2)), (Samples{26, 16383}));
  SCALEMP3FRAME_12_16(out, left, 2);
  EXPECT_EQ((Samples(out, out + 4)), (Samples{100, 100, 32767, 32767}));
}

TEST(Mp3Ring, CopyWrapsAtTheRingEnd) {
  uint32_t ring[4] = {0, 0, 0, 0};
  const uint32_t src[3] = {11, 22, 33};
  uint8_t* rs = (uint8_t*)ring;
  uint8_t* pos = rs + 8;
  COPYMP3FRAME(rs, &pos, rs + 16, src, 12);
  EXPECT_EQ(ring[2], 11u);
  EXPECT_EQ(ring[3], 22u);
  EXPECT_EQ(ring[0], 33u);
  EXPECT_EQ(pos, rs + 4);
}

TEST(Mp3Ring, SliceResamplesByNearestNeighbour) {
  uint32_t ring[8] = {};
  const uint32_t src[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t* rs = (uint8_t*)ring;
  uint8_t* pos = rs;
  COPYSLICEMP3FRAME32(rs, &pos, rs + 32, src, 0.5f, 24);
  EXPECT_EQ((std::vector<uint32_t>(ring, ring + 6)), (std::vector<uint32_t>{1, 1, 2, 2, 3, 3}));
  COPYSLICEMP3FRAME32(rs, &pos, rs + 32, src, 2.0f, 16);  // wraps after two units
  EXPECT_EQ((std::vector<uint32_t>(ring, ring + 8)),
            (std::vector<uint32_t>{5, 7, 2, 2, 3, 3, 1, 3}));
  EXPECT_EQ(pos, rs + 8);
  uint16_t mono[4] = {};
  const uint16_t msrc[2] = {9, 8};
  uint8_t* mpos = (uint8_t*)mono;
  COPYSLICEMP3FRAME16((uint8_t*)mono, &mpos, (uint8_t*)(mono + 4), msrc, 0.5f, 8);
  EXPECT_EQ((std::vector<uint16_t>(mono, mono + 4)), (std::vector<uint16_t>{9, 9, 8, 8}));
}

TEST(Mp3Ring, ZeroBufferWrapsAndStoresThePosition) {
  uint8_t memory[24];
  std::memset(memory, 0x55, sizeof memory);
  uint8_t* ring = memory + 8;  // the ring is memory[8..16)
  uint8_t* pos = ring + 6;
  ZEROBUFFER(ring, &pos, ring + 8, 4);
  const uint8_t expect[8] = {0, 0, 0x55, 0x55, 0x55, 0x55, 0, 0};
  EXPECT_EQ(0, std::memcmp(ring, expect, 8));
  EXPECT_EQ(pos, ring + 2);
  pos = memory + 20;  // outside the ring: restarts at its start, writes nothing outside
  ZEROBUFFER(ring, &pos, ring + 8, 3);
  EXPECT_EQ(pos, ring + 3);
  for (int i = 0; i < 8; i++) EXPECT_EQ(memory[i], 0x55);
  for (int i = 16; i < 24; i++) EXPECT_EQ(memory[i], 0x55);
}

// ---- Argument checks ----

TEST(ArgumentChecks, FailedChecksChangeNothing) {
  Samples a = {1, 2, 3, 4}, b = {5, 6, 7, 8}, out = {9, 9, 9, 9};
  const Samples untouched = out;
  ZERO(out.data(), 1);
  ZERO(nullptr, 8);
  COPY(out.data(), a.data(), 1);
  COPY(out.data(), nullptr, 8);
  MIX16(out.data(), a.data(), b.data(), 7);
  MIX16(out.data(), nullptr, b.data(), 8);
  MIX16(out.data(), a.data(), b.data(), 0);
  SCALE16(out.data(), a.data(), 0.5f, 3);
  SCALE16(nullptr, a.data(), 0.5f, 8);
  PAN16(out.data(), a.data(), 0.5f, 1.0f, 0);
  PAN16(out.data(), a.data(), 0.5f, 1.0f, 5);
  PAN16(out.data(), nullptr, 0.5f, 1.0f, 8);
  EXPECT_EQ(out, untouched);

  Wave w(4);
  uint8_t* pos = w.at(1);
  int32_t loops = 3;
  COPYRIGHT16(out.data(), w.at(0), &pos, w.at(4), &loops, 0);
  COPYRIGHT16(nullptr, w.at(0), &pos, w.at(4), &loops, 8);
  COPYRIGHT16(out.data(), w.at(0), nullptr, w.at(4), &loops, 8);
  COPYRIGHT16(out.data(), w.at(0), &pos, w.at(4), nullptr, 8);
  MOVERIGHT16(w.at(0), &pos, w.at(4), &loops, 3);
  MOVERIGHT32(w.at(0), &pos, w.at(4), &loops, 6);
  COPYSLICERIGHT16(out.data(), w.at(0), &pos, w.at(4), &loops, -1.0f, 8);
  COPYSLICERIGHT16(out.data(), w.at(0), &pos, w.at(4), &loops, 0.0f, 8);
  COPYSLICERIGHT32(out.data(), w.at(0), &pos, w.at(4), &loops, 1.5f, 6);
  COPYSLICELEFT16(out.data(), w.at(0), &pos, w.at(4), &loops, 1.0f, 8);
  MOVESLICERIGHT16(w.at(0), &pos, w.at(4), &loops, 0.0f, 8);
  MOVESLICELEFT32(w.at(0), &pos, w.at(4), &loops, 1.0f, 8);
  EXPECT_EQ(out, untouched);
  EXPECT_EQ(pos, w.at(1));
  EXPECT_EQ(loops, 3);

  uint8_t ring[16] = {};
  uint8_t* rpos = ring;
  const int32_t src[4] = {1, 2, 3, 4};
  ZEROBUFFER(ring, &rpos, ring + 16, 0);
  ZEROBUFFER(nullptr, &rpos, ring + 16, 4);
  COPYMP3FRAME(ring, &rpos, ring + 16, nullptr, 8);
  COPYMP3FRAME(ring, nullptr, ring + 16, src, 8);
  COPYSLICEMP3FRAME32(ring, &rpos, ring + 16, src, 0.0f, 8);
  COPYSLICEMP3FRAME16(ring, &rpos, ring + 16, src, -1.0f, 8);
  SCALEMP3FRAME_11_16(nullptr, src, 4);
  SCALEMP3FRAME_22_16(out.data(), src, nullptr, 2);
  SCALEMP3FRAME_12_16(out.data(), src, 0);
  EXPECT_EQ(rpos, ring);
  EXPECT_EQ(out, untouched);
  for (uint8_t byte : ring) EXPECT_EQ(byte, 0);
}

// ---- CPU queries ----

TEST(CpuQueries, FlagsAgreeWithTheProcessor) {
  EXPECT_EQ(ISFPU(), 1);
  const int32_t flags[] = {ISTSC(), ISCMOV(), ISMMX(),   ISMMX2(),
                           ISSSE(), ISSSE2(), IS3DNOW(), IS3DNOW2()};
  for (int32_t f : flags) EXPECT_TRUE(f == 0 || f == 1);
#if defined(__x86_64__)
  EXPECT_EQ(ISSSE2(), 1);  // part of every 64-bit x86 processor
  EXPECT_EQ(ISTSC(), 1);
  unsigned a, b, c, d;
  const unsigned ext = __get_cpuid_max(0x80000000u, nullptr);
  int expect_mmx2 = 0;
  if ((ext & 0x80000000u) && (ext & 0xFFu) && __get_cpuid(0x80000001u, &a, &b, &c, &d))
    expect_mmx2 = (d >> 22) & 1;
  // The extensions flag comes from the extended leaf, not from the MMX bit.
  EXPECT_EQ(ISMMX2(), expect_mmx2);
#endif
}

TEST(CpuQueries, ClockAndCounter) {
  const int32_t mhz = MHZ();
  EXPECT_GT(mhz, 50);
  EXPECT_LT(mhz, 20000);
  EXPECT_EQ(MHZ(), mhz);  // measured once
  const uint64_t c0 = CPUCOUNTER();
  const uint64_t c1 = CPUCOUNTER();
  EXPECT_GE(c1, c0);
}

// ---- Variant selection and fast twins ----

TEST(Variants, SelectionIsOnceAndCanBeForced) {
  const int best = kernels_best_level();
  EXPECT_EQ(kernels_level(), best);  // chosen at process start
  EXPECT_EQ(kernels_use(kKernelsPlain), kKernelsPlain);
  kernels_select();  // already ran: leaves the forced set alone
  EXPECT_EQ(kernels_level(), kKernelsPlain);
  EXPECT_EQ(kernels_use(99), best);
#if defined(__x86_64__)
  EXPECT_GE(best, kKernelsSse2);
#endif
}

// Random blocks at every byte offset and odd length; every variant must match
// the plain one bit for bit, in place as well as between blocks.
TEST(Variants, FastTwinsMatchThePlainSetOnRandomBlocks) {
  std::mt19937 rng(12345);
  const float gains[] = {0.5f, 2.0f, -1.0f, 1.0f, 0.0f, 3.7f, -2.0f, 0.001f, 1.9999f, 16383.0f};
  const KernelTable* plain = kernels_table(kKernelsPlain);
  int compared = 0;
  for (int level = kKernelsSse2; level <= kKernelsAvx2; level++) {
    const KernelTable* fast = kernels_table(level);
    if (!fast) continue;
    for (int trial = 0; trial < 600; trial++) {
      const size_t count = rng() % 300;  // samples
      const size_t off_a = rng() % 32, off_b = rng() % 32, off_d = rng() % 32;
      std::vector<uint8_t> a(count * 2 + 64), b(count * 2 + 64), d1(count * 2 + 64);
      for (auto& x : a) x = (uint8_t)rng();
      for (auto& x : b) x = (uint8_t)rng();
      for (auto& x : d1) x = (uint8_t)rng();
      std::vector<uint8_t> d2 = d1;
      const float gain =
          (trial % 3) ? gains[rng() % 10] : (float)((int)(rng() % 80001) - 40000) / 10000.0f;
      const int32_t factor = kernel_fixed_factor(gain);
      const int first = (int)(rng() & 1);
      const size_t bytes = count * 2 + (rng() & 1);
      switch (trial % 6) {
        case 0:
          plain->zero(d1.data() + off_d, bytes);
          fast->zero(d2.data() + off_d, bytes);
          break;
        case 1:
          plain->copy(d1.data() + off_d, a.data() + off_a, bytes);
          fast->copy(d2.data() + off_d, a.data() + off_a, bytes);
          break;
        case 2:
          plain->mix16(d1.data() + off_d, a.data() + off_a, b.data() + off_b, count);
          fast->mix16(d2.data() + off_d, a.data() + off_a, b.data() + off_b, count);
          break;
        case 3:
          plain->scale16(d1.data() + off_d, a.data() + off_a, factor, count);
          fast->scale16(d2.data() + off_d, a.data() + off_a, factor, count);
          break;
        case 4:
          plain->pan16(d1.data() + off_d, a.data() + off_a, factor, first, count);
          fast->pan16(d2.data() + off_d, a.data() + off_a, factor, first, count);
          break;
        case 5: {  // in place: mix into A, scale over itself
          std::memcpy(d2.data(), d1.data(), d1.size());
          plain->mix16(d1.data() + off_d, d1.data() + off_d, b.data() + off_b, count);
          fast->mix16(d2.data() + off_d, d2.data() + off_d, b.data() + off_b, count);
          plain->scale16(d1.data() + off_d, d1.data() + off_d, factor, count);
          fast->scale16(d2.data() + off_d, d2.data() + off_d, factor, count);
          break;
        }
      }
      ASSERT_EQ(d1, d2) << fast->name << " trial " << trial << " count " << count;
      compared++;
    }
  }
#if defined(__x86_64__)
  EXPECT_GT(compared, 0);
#endif
}

// Fades at every byte offset, mono and stereo, with ramps of any length and
// any point within them: every variant matches the plain one bit for bit, and
// a crossfade never leaves the range of its two inputs.
TEST(Variants, FadeTwinsMatchThePlainOnesOnRandomBlocks) {
  std::mt19937 rng(4242);
  const KernelTable* plain = kernels_table(kKernelsPlain);
  int compared = 0;
  for (int level = kKernelsSse2; level <= kKernelsAvx2; level++) {
    const KernelTable* fast = kernels_table(level);
    if (!fast) continue;
    for (int trial = 0; trial < 800; trial++) {
      const int channels = 1 + (int)(rng() & 1);
      const int32_t ramp = 1 + (int32_t)(rng() % (trial % 4 ? 300 : 48000));
      const int32_t left = 1 + (int32_t)(rng() % ramp);
      // Mostly ramps from 1.0; some start lower, as a crossfade's tail may.
      const int32_t weight = trial % 3 ? kFadeUnit : (int32_t)(rng() % (kFadeUnit + 1));
      const int32_t step = trial % 3 ? kFadeFull / ramp : (int32_t)(((int64_t)weight << 16) / left);
      const size_t frames = rng() % ((size_t)left + 1);
      const size_t bytes = frames * channels * 2;
      const size_t off_d = rng() % 32, off_f = rng() % 32;
      std::vector<uint8_t> d1(bytes + 64), f(bytes + 64);
      for (auto& x : d1) x = (uint8_t)rng();
      for (auto& x : f) x = (uint8_t)rng();
      std::vector<uint8_t> d2 = d1, before = d1;
      if (trial % 2) {
        plain->fade16(d1.data() + off_d, left, step, channels, frames);
        fast->fade16(d2.data() + off_d, left, step, channels, frames);
      } else {
        plain->xfade16(d1.data() + off_d, f.data() + off_f, left, step, channels, frames);
        fast->xfade16(d2.data() + off_d, f.data() + off_f, left, step, channels, frames);
        for (size_t i = 0; i < frames * channels; i++) {
          int16_t a, b, r;
          std::memcpy(&a, before.data() + off_d + 2 * i, 2);
          std::memcpy(&b, f.data() + off_f + 2 * i, 2);
          std::memcpy(&r, d1.data() + off_d + 2 * i, 2);
          ASSERT_GE(r, std::min(a, b)) << i;
          ASSERT_LE(r, std::max(a, b)) << i;
        }
      }
      ASSERT_EQ(d1, d2) << fast->name << " trial " << trial << " frames " << frames;
      compared++;
    }
  }
#if defined(__x86_64__)
  EXPECT_GT(compared, 0);
#endif
}

// Every sample value against an independent reference, for each variant.
TEST(Variants, ScaleMatchesTheReferenceForEverySample) {
  std::vector<int16_t> all(65536);
  for (int i = 0; i < 65536; i++) all[i] = (int16_t)(i - 32768);
  const float gains[] = {0.5f, 2.0f, 1.5f, -0.75f, 3.0f, 0.0001f, -4.0f, 1.0f};
  for (int level = kKernelsPlain; level <= kKernelsAvx2; level++) {
    const KernelTable* t = kernels_table(level);
    if (!t) continue;
    for (float gain : gains) {
      std::vector<int16_t> out(65536);
      t->scale16(out.data(), all.data(), kernel_fixed_factor(gain), all.size());
      for (int i = 0; i < 65536; i++)
        ASSERT_EQ(out[i], reference_scale(all[i], gain))
            << t->name << " gain " << gain << " s " << all[i];
    }
  }
}

// The WAV loader's 16-bit conversion: every sample value, at both gains the
// loader uses, through every variant, into a block of its own and in place
// with the output up to 40 bytes before the source (as a file's samples are
// converted over its header): each result as the loader's formula gives it.
TEST(Variants, WavConversionMatchesTheFormulaForEverySampleInPlaceToo) {
  std::mt19937 rng(2024);
  std::vector<int16_t> all(65536);
  for (int i = 0; i < 65536; i++) all[i] = (int16_t)(i - 32768);
  std::shuffle(all.begin(), all.end(), rng);
  for (double gain : {32767.0, 32766.0}) {
    std::vector<int16_t> want(all.size());
    for (size_t i = 0; i < all.size(); i++)
      want[i] = (int16_t)std::nearbyint(gain * (double)(float)(all[i] * 1.5259254723787308e-05));
    for (int level = kKernelsPlain; level <= kKernelsAvx2; level++) {
      const KernelTable* t = kernels_table(level);
      if (!t) continue;
      for (int in_place = 0; in_place < 2; in_place++) {
        // Blocks of random lengths and byte offsets, so vector tails and
        // unaligned samples are covered.
        for (size_t done = 0; done < all.size();) {
          const size_t count = std::min<size_t>(1 + rng() % 200, all.size() - done);
          const size_t ahead = in_place ? rng() % 41 : 0, off = rng() % 16;
          std::vector<uint8_t> block(2 * count + 64), out(2 * count + 64);
          uint8_t* src = block.data() + off + ahead;
          std::memcpy(src, &all[done], 2 * count);
          uint8_t* dest = in_place ? block.data() + off : out.data() + off;
          t->wav16(dest, src, gain, count);
          for (size_t i = 0; i < count; i++) {
            int16_t v;
            std::memcpy(&v, dest + 2 * i, 2);
            ASSERT_EQ(v, want[done + i]) << t->name << " gain " << gain << " s "
                                         << all[done + i] << (in_place ? " in place" : "");
          }
          done += count;
        }
      }
    }
  }
}

TEST(Variants, ExportedRoutinesGiveTheSameBlockUnderEverySet) {
  std::mt19937 rng(99);
  std::vector<int16_t> a(1027), b(1027);
  for (auto& x : a) x = (int16_t)rng();
  for (auto& x : b) x = (int16_t)rng();
  std::vector<int16_t> reference;
  const int best = kernels_best_level();
  for (int level = kKernelsPlain; level <= best; level++) {
    kernels_use(level);
    std::vector<int16_t> out(1027);
    MIX16(out.data(), a.data(), b.data(), 2054);
    SCALE16(out.data(), out.data(), 1.37f, 2054);
    PAN16(out.data(), out.data(), 1.0f, 0.3f, 2052);
    if (level == kKernelsPlain)
      reference = out;
    else
      EXPECT_EQ(out, reference) << "level " << level;
  }
  kernels_use(best);
}

}  // namespace
