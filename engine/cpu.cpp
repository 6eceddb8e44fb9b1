// SPDX-License-Identifier: GPL-3.0-or-later
// CPU feature detection (CPUID) and the clock estimate (time-stamp counter
// against the monotonic clock), plus the exported queries over them.
#include "engine/cpu.h"

#include <chrono>
#include <cmath>

#include "engine/kernels.h"

#if defined(__x86_64__) || defined(__i386__)
#define QD_X86 1
#include <cpuid.h>
#include <x86intrin.h>
#else
#define QD_X86 0
#endif

// Length of the clock measurement. Long enough that the steady clock's
// granularity is far below the measured error, short enough to go unnoticed.
static const double kMhzInterval = 0.02;
// Decrements timed when there is no time-stamp counter: 400000000 / 9
// rounded; at one decrement per 2.25 cycles this takes 100 / MHz seconds.
static const int32_t kMhzLoopCount = 44444444;

double cpu_seconds(void) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

#if QD_X86
// 1 when the operating system saves the YMM registers (XCR0 bits 1 and 2).
static int os_saves_ymm(void) {
  uint32_t lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (lo & 6u) == 6u;
}
#endif

static CpuFeatures cpu_detect(void) {
  CpuFeatures f = {};
  f.fpu = 1;
#if QD_X86
  // __get_cpuid_max toggles flag bit 21 on 32-bit processors to see whether
  // CPUID exists at all; 0 means it does not.
  unsigned max_leaf = __get_cpuid_max(0, nullptr);
  if (max_leaf == 0) return f;
  f.cpuid = 1;
  unsigned a = 0, b = 0, c = 0, d = 0;
  __cpuid(1, a, b, c, d);
  f.tsc = (d >> 4) & 1;
  f.cmov = (d >> 15) & 1;
  f.mmx = (d >> 23) & 1;
  f.sse = (d >> 25) & 1;
  f.sse2 = (d >> 26) & 1;
  const int osxsave = (c >> 27) & 1, avx = (c >> 28) & 1;
  if (max_leaf >= 7 && osxsave && avx && os_saves_ymm()) {
    unsigned a7 = 0, b7 = 0, c7 = 0, d7 = 0;
    __cpuid_count(7, 0, a7, b7, c7, d7);
    f.avx2 = (b7 >> 5) & 1;
  }
  // Extended leaves exist when leaf 0x80000000 answers with the top bit set
  // and a nonzero low byte.
  unsigned ext = __get_cpuid_max(0x80000000u, nullptr);
  if ((ext & 0x80000000u) && (ext & 0xFFu)) {
    __cpuid(0x80000001u, a, b, c, d);
    f.mmx2 = (d >> 22) & 1;
    f.amd3dnow = (d >> 31) & 1;
    f.amd3dnow2 = (d >> 30) & 1;
  }
#endif
  return f;
}

const CpuFeatures& cpu_features(void) {
  static const CpuFeatures features = cpu_detect();
  return features;
}

static int32_t measure_mhz(void) {
#if QD_X86
  if (cpu_features().tsc) {
    const double t0 = cpu_seconds();
    const uint64_t c0 = __rdtsc();
    double t1 = t0;
    while (t1 - t0 < kMhzInterval) t1 = cpu_seconds();
    const uint64_t c1 = __rdtsc();
    // Cycles per microsecond, rounded to nearest (ties to even). Computed in
    // double rather than whole megacycles: over 20 ms those would lose ~2 %.
    return (int32_t)std::nearbyint((double)(c1 - c0) / 1000000.0 / (t1 - t0));
  }
#endif
  volatile int32_t n = kMhzLoopCount;
  const double t0 = cpu_seconds();
  while (n > 0) n = n - 1;
  const double elapsed = cpu_seconds() - t0;
  if (elapsed <= 0.0) return 1;
  return (int32_t)std::floor(100.0 / elapsed);
}

int32_t cpu_mhz(void) {
  static const int32_t mhz = measure_mhz();
  return mhz;
}

// ---- Exported queries ----

extern "C" {

int32_t FBS_CALL ISFPU(void) { return cpu_features().fpu; }
int32_t FBS_CALL ISTSC(void) { return cpu_features().tsc; }
int32_t FBS_CALL ISCMOV(void) { return cpu_features().cmov; }
int32_t FBS_CALL ISMMX(void) { return cpu_features().mmx; }
int32_t FBS_CALL ISMMX2(void) { return cpu_features().mmx2; }
int32_t FBS_CALL ISSSE(void) { return cpu_features().sse; }
int32_t FBS_CALL ISSSE2(void) { return cpu_features().sse2; }
int32_t FBS_CALL IS3DNOW(void) { return cpu_features().amd3dnow; }
int32_t FBS_CALL IS3DNOW2(void) { return cpu_features().amd3dnow2; }
int32_t FBS_CALL MHZ(void) { return cpu_mhz(); }

uint64_t FBS_CALL CPUCOUNTER(void) {
#if QD_X86
  if (cpu_features().tsc) return __rdtsc();
#endif
  // Timer-based counter: MHz x microseconds of the monotonic clock.
  return (uint64_t)std::llrint((double)cpu_mhz() * cpu_seconds() * 1000000.0);
}

}  // extern "C"
