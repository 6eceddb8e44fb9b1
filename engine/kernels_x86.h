// SPDX-License-Identifier: GPL-3.0-or-later
// Target attributes of the x86 kernel twins (kernels_x86.cpp,
// kernels_resample_x86.cpp): each vector function carries its own, so the
// files build without special flags and a set runs only where detection
// allows. x86 builds only.
#pragma once
#include <immintrin.h>

#if defined(__i386__)
#define QD_SSE2 __attribute__((target("sse2")))
#else
#define QD_SSE2
#endif
#define QD_AVX2 __attribute__((target("avx2")))
