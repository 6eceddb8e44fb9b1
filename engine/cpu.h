// SPDX-License-Identifier: GPL-3.0-or-later
// Processor features and clock, detected once by CPUID and the time-stamp
// counter. The exported queries (ISSSE2, MHZ, ...) are in kernels.h.
#pragma once
#include <cstdint>

// Feature flags, 0 or 1. cpuid: the CPUID instruction exists. avx2: the
// processor and the operating system both support AVX2 (used only to choose
// kernel variants; not one of the exported queries).
struct CpuFeatures {
  int32_t cpuid;
  int32_t fpu, tsc, cmov, mmx, mmx2, sse, sse2, amd3dnow, amd3dnow2;
  int32_t avx2;
};

// Detected on first use (at process start, through kernel selection) and
// fixed from then on. Thread-safe.
const CpuFeatures& cpu_features(void);
// Clock estimate in MHz, measured once on first use (about 20 ms).
int32_t cpu_mhz(void);
// Seconds of the monotonic clock.
double cpu_seconds(void);
