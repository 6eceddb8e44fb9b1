// SPDX-License-Identifier: GPL-3.0-or-later
// Playing a wave region into a block: forward at speed 1 (COPYRIGHT), stepped
// by a 16.16 speed forward or backward (COPYSLICE...), and the same position
// and loop arithmetic without output for muted sounds (MOVE...). "16" members
// step over 2-byte samples, "32" members over 4-byte stereo frames.
//
// The loop is the region [start, end) with end rounded down to a whole unit.
// Passing its end (forward) or its start (backward) costs one loop; the pass
// that brings loops to 0 stops the sound and fills the rest of the block with
// zeros. Every sample read lies inside the region, at the caller's position,
// or, before the first wrap, in the wave below the region's start, whatever
// the speed or the loop length: an overshoot longer than the loop
// wraps as many times as it covers, each wrap costing a loop.
#include <cmath>
#include <cstring>

#include "engine/kernel_table.h"
#include "engine/kernels.h"
#include "engine/kernels_resample.h"

// The largest speed step honoured (2^47 in 16.16: 2^31 units per sample);
// keeps position arithmetic far from overflow for absurd speeds.
static const double kMaxStep = 140737488355328.0;

// Loop bounds of one call, as integers so comparisons never form pointers
// outside the wave. Positions are kept on whole units (addresses that are
// multiples of the unit, 2 or 4 bytes, as every wave's data is): the end is
// rounded down, the start up, and a position between units moves back to the
// unit it lies in. Then a position below high always has a whole unit before
// end, so no read passes the end of the region.
struct PlayRegion {
  uintptr_t low;   // start: forward wraps continue here, backward wraps happen below it
  uintptr_t high;  // end: the first position not played
  uintptr_t unit;
};

static PlayRegion play_region(const uint8_t* start, const uint8_t* end, uintptr_t unit) {
  PlayRegion r;
  r.unit = unit;
  r.low = ((uintptr_t)start + unit - 1) & ~(unit - 1);
  r.high = (uintptr_t)end & ~(unit - 1);
  return r;
}

// p has reached or passed the end. Returns 0 when the sound stops (loops
// becomes 0), else wraps p back into [start, high) and takes one loop per wrap.
static int wrap_forward(const PlayRegion& r, uintptr_t* p, int32_t* loops) {
  if (r.high < r.low + r.unit) {  // no whole unit to loop over
    *loops = 0;
    return 0;
  }
  const uintptr_t length = r.high - r.low;
  const uintptr_t over = *p - r.high;
  const uintptr_t wraps = over / length + 1;
  if ((int64_t)*loops <= (int64_t)wraps) {
    *loops = 0;
    return 0;
  }
  *loops -= (int32_t)wraps;
  *p = r.low + over % length;
  return 1;
}

// The step back would take p under bytes below the start. As wrap_forward,
// continuing from the end: p lands in [low, high).
static int wrap_backward(const PlayRegion& r, uintptr_t under, uintptr_t* p, int32_t* loops) {
  if (r.high < r.low + r.unit) {
    *loops = 0;
    return 0;
  }
  const uintptr_t length = r.high - r.low;
  const uintptr_t wraps = (under + length - 1) / length;
  if ((int64_t)*loops <= (int64_t)wraps) {
    *loops = 0;
    *p = r.low - under;
    return 0;
  }
  *loops -= (int32_t)wraps;
  *p = r.low + (wraps * length - under);
  return 1;
}

// 16.16 step of a speed: nearest(|speed| x 65536), ties to even.
static uint64_t speed_step(float speed) {
  double x = std::fabs((double)speed) * 65536.0;
  if (x > kMaxStep) x = kMaxStep;
  return (uint64_t)std::nearbyint(x);
}

// Inlined into each entry so the unit and direction are constants in the
// per-sample loops (a third faster for the slices).

// Forward at speed 1: copies whole runs up to the loop end. dest null: move only.
__attribute__((always_inline)) static inline void play_right(uint8_t* dest, uint8_t* start,
                                                             uint8_t** position, uint8_t* end,
                                                             int32_t* loops, size_t n,
                                                             uintptr_t unit) {
  if (n == 0) return;
  const PlayRegion r = play_region(start, end, unit);
  uintptr_t p = (uintptr_t)*position & ~(unit - 1);
  int32_t k = *loops;
  size_t i = 0;
  int playing = p < r.high || wrap_forward(r, &p, &k);
  while (playing && i < n) {
    size_t run = (size_t)((r.high - p + unit - 1) / unit);
    if (run > n - i) run = n - i;
    if (dest) kernels()->copy(dest + i * unit, (const void*)p, run * unit);
    p += run * unit;
    i += run;
    if (p >= r.high) playing = wrap_forward(r, &p, &k);
  }
  if (!playing && dest && i < n) kernels()->zero(dest + i * unit, (n - i) * unit);
  *position = (uint8_t*)p;
  *loops = k;
}

// Speed-stepped playing. Output i stands at the virtual position p + w_i / 65536
// units (backward: p - w_i / 65536), w_i = fraction + i x step; the nearest
// family reads the unit at p + floor(w_i / 65536) (backward p - floor(...)),
// the others interpolate around the virtual position. Positions, loops and
// the end are those of stepping one output at a time: after each output the
// fraction takes the step, p moves by its whole units and wraps at the loop's
// edge. Outputs are made in runs of a run kernel, each run as long as every
// unit it reads lies in the region and no wrap falls inside it; the few
// outputs whose taps reach past the region's edge are made one at a time.

// Taps a family reads before and after the unit at or below a position.
struct FamilyTaps {
  uintptr_t before, after;
};

static inline FamilyTaps family_taps(int family) {
  if (family == kResampleCubic) return FamilyTaps{kCubicBefore, kCubicTaps - kCubicBefore - 1};
  if (family == kResampleSinc) return FamilyTaps{kSincBefore, kSincTaps - kSincBefore - 1};
  return FamilyTaps{0, 0};
}

// The w_i of a run's outputs stay at or below this, so a 32-bit lane holds
// every position a run kernel forms from them.
static const uint64_t kRunLimit = (1u << 31) - 65536;

// Outputs from (p, fraction) on whose units all lie in the region, at most
// `left`; 0 when the next output's taps reach past an edge. Forward playing
// that has not yet wrapped also reads the wave below the start, down to
// `floor` (its first unit): the nearest family at the position, the others
// around it.
static inline size_t run_length(const PlayRegion& r, uintptr_t floor, uintptr_t p, uint64_t fraction,
                                uint64_t step, size_t left, FamilyTaps taps, int backward) {
  uint64_t limit;  // w_i must stay below it
  if (!backward) {
    if (taps.before > 0 && (p < floor || p - floor < taps.before * r.unit)) return 0;
    const uint64_t units = (r.high - p) / r.unit;
    if (units <= taps.after) return 0;
    limit = (units - taps.after) << 16;
  } else if (taps.before == 0) {
    const uint64_t below = p >= r.low ? (p - r.low) / r.unit : 0;
    limit = (below + 1) << 16;
  } else {
    if (p < r.low) return 0;
    const uint64_t below = (p - r.low) / r.unit;
    // The first output's highest tap, and the last one's lowest.
    if (below + taps.after >= (r.high - r.low) / r.unit + (fraction > 0)) return 0;
    if (below < taps.before) return 0;
    limit = ((below - taps.before) << 16) + 1;
  }
  if (limit <= fraction) return 0;
  if (step == 0) return left;
  uint64_t n = (limit - fraction + step - 1) / step;
  const uint64_t fit = (kRunLimit - fraction) / step + 1;
  if (n > fit) n = fit;
  return n < left ? (size_t)n : left;
}

// Makes a run of n outputs with the variant's run kernel.
static inline void run_outputs(uint8_t* dest, uintptr_t p, uint64_t fraction, uint64_t step,
                               size_t n, uintptr_t unit, int backward, int family,
                               const int16_t* rows, FamilyTaps taps) {
  const KernelTable* kt = kernels();
  const int32_t dstep = n > 1 ? (int32_t)(backward ? -(int64_t)step : (int64_t)step) : 0;
  uint32_t acc = (uint32_t)fraction;
  const uint8_t* src = (const uint8_t*)(p - taps.before * unit);
  if (backward) {
    // Counted down from K units above src: acc_i = K x 65536 - w_i gives the
    // unit at or below the virtual position (interpolating) or, with 65535
    // more, the one the nearest family reads.
    const uint64_t last = fraction + (n - 1) * step;
    if (family == kResampleNearest) {
      const uint64_t k = last >> 16;
      acc = (uint32_t)((k << 16) + 65535 - fraction);
      src -= k * unit;
    } else {
      const uint64_t k = (last + 65535) >> 16;
      acc = (uint32_t)((k << 16) - fraction);
      src -= k * unit;
    }
  }
  if (family == kResampleNearest) {
    if (unit == 2)
      kt->slice16(dest, src, acc, dstep, n);
    else
      kt->slice32(dest, src, acc, dstep, n);
  } else if (family == kResampleCubic) {
    if (unit == 2)
      kt->cubic16(dest, src, acc, dstep, n, rows);
    else
      kt->cubic32(dest, src, acc, dstep, n, rows);
  } else {
    if (unit == 2)
      kt->sinc16(dest, src, acc, dstep, n, rows);
    else
      kt->sinc32(dest, src, acc, dstep, n, rows);
  }
}

// One interpolated output at unit `base` (counted from the region's start,
// possibly outside it) and fraction t, its taps gathered through the edge
// rule: a tap past the end the playing moves towards reads the loop's other
// end while loops remain after this one, a tap behind it does once a seam
// has been passed, and before that reads the wave itself down to `floor`;
// any other tap outside the region is silence.
static void edge_output(uint8_t* dest, const PlayRegion& r, uintptr_t floor, intptr_t base, uint32_t t,
                        int backward, int family, const int16_t* rows, FamilyTaps taps, int32_t loops,
                        uint32_t wrapped) {
  uint8_t gathered[kSincTaps * 4];
  const size_t unit = r.unit;
  const intptr_t length = (intptr_t)((r.high - r.low) / unit);
  const int count = (int)(taps.before + taps.after + 1);
  for (int j = 0; j < count; j++) {
    intptr_t q = base - (intptr_t)taps.before + j;
    if (q < 0 && !backward && !wrapped && (intptr_t)r.low + q * (intptr_t)unit >= (intptr_t)floor) {
      std::memcpy(gathered + j * unit, (const uint8_t*)(r.low + q * (intptr_t)unit), unit);
      continue;
    }
    if (q < 0 || q >= length) {
      const bool ahead = backward ? q < 0 : q >= length;
      if (length <= 0 || !(ahead ? loops > 1 : wrapped != 0)) {
        std::memset(gathered + j * unit, 0, unit);
        continue;
      }
      q %= length;
      if (q < 0) q += length;
    }
    std::memcpy(gathered + j * unit, (const uint8_t*)(r.low + (uintptr_t)q * unit), unit);
  }
  if (family == kResampleCubic) {
    if (unit == 2)
      kKernelTablePlain.cubic16(dest, gathered, t, 0, 1, rows);
    else
      kKernelTablePlain.cubic32(dest, gathered, t, 0, 1, rows);
  } else {
    if (unit == 2)
      kKernelTablePlain.sinc16(dest, gathered, t, 0, 1, rows);
    else
      kKernelTablePlain.sinc32(dest, gathered, t, 0, 1, rows);
  }
}

// Stepped forward (backward = 0) or backward (backward = 1) with a family;
// dest null: move only. phase: the carried fraction and seam flag, or null.
// floor: the wave's first byte, at or below start. Inlined into each entry
// so the unit and direction are constants.
__attribute__((always_inline)) static inline void play_slice(uint8_t* dest, uint8_t* floor, uint8_t* start,
                                                             uint8_t** position, uint8_t* end,
                                                             int32_t* loops, float speed, size_t n,
                                                             uintptr_t unit, int backward,
                                                             int family, uint32_t* phase) {
  if (n == 0) return;
  const PlayRegion r = play_region(start, end, unit);
  const uint64_t step = speed_step(speed);
  // Whole units only, and never above the region (a wave's data starts on a unit).
  uintptr_t lowest = ((uintptr_t)floor + unit - 1) & ~(unit - 1);
  if (lowest > r.low) lowest = r.low;
  uintptr_t p = (uintptr_t)*position & ~(unit - 1);
  int32_t k = *loops;
  uint64_t fraction = phase ? (*phase & 0xFFFF) : 0;
  uint32_t wrapped = phase ? (*phase & kPhaseWrapped) : 0;
  int playing = 1;
  if (p >= r.high) {
    // At or past the end: forward playing wraps first; backward playing starts
    // with the last whole unit of the region.
    if (!backward) {
      playing = wrap_forward(r, &p, &k);
      if (playing) wrapped = kPhaseWrapped;
    } else if (r.high >= r.low + unit) {
      p = r.high - unit;
    } else {
      playing = 0, k = 0;
    }
  }
  const FamilyTaps taps = family_taps(dest ? family : kResampleNearest);
  const int16_t* rows = family == kResampleCubic  ? cubic_rows()
                        : family == kResampleSinc ? sinc_rows(step)
                                                  : nullptr;
  size_t i = 0;
  while (playing && i < n) {
    // After a wrap, taps behind the start read the seam, not the wave.
    size_t count = run_length(r, wrapped ? r.low : lowest, p, fraction, step, n - i, taps, backward);
    if (count > 0) {
      if (dest)
        run_outputs(dest + i * unit, p, fraction, step, count, unit, backward, family, rows, taps);
    } else {
      count = 1;
      const intptr_t at = ((intptr_t)p - (intptr_t)r.low) / (intptr_t)unit;
      if (!backward || fraction == 0)
        edge_output(dest + i * unit, r, lowest, at, (uint32_t)(backward ? 0 : fraction), backward,
                    family, rows, taps, k, wrapped);
      else
        edge_output(dest + i * unit, r, lowest, at - 1, (uint32_t)(65536 - fraction), backward,
                    family, rows, taps, k, wrapped);
    }
    i += count;
    const uint64_t w = fraction + count * step;
    const uint64_t advance = w >> 16;
    fraction = w & 0xFFFF;
    if (advance == 0) continue;
    if (!backward) {
      p += (uintptr_t)advance * unit;
      if (p < r.high) continue;
      playing = wrap_forward(r, &p, &k);
    } else {
      const uintptr_t back = (uintptr_t)advance * unit;
      if (p >= r.low + back) {
        p -= back;
        continue;
      }
      playing = wrap_backward(r, r.low + back - p, &p, &k);
    }
    if (playing) wrapped = kPhaseWrapped;
  }
  if (!playing && dest && i < n) kernels()->zero(dest + i * unit, (n - i) * unit);
  *position = (uint8_t*)p;
  *loops = k;
  if (phase) *phase = (uint32_t)fraction | wrapped;
}

static inline int play_args_ok(uint8_t* start, uint8_t** position, uint8_t* end, int32_t* loops) {
  return start && position && *position && end && loops;
}

extern "C" {

void FBS_CALL COPYRIGHT16(void* dest, uint8_t* start, uint8_t** position, uint8_t* end,
                          int32_t* loops, int32_t bytes) {
  if (bytes <= 0 || !dest || !play_args_ok(start, position, end, loops)) return;
  play_right((uint8_t*)dest, start, position, end, loops, (size_t)bytes / 2, 2);
}

void FBS_CALL COPYRIGHT32(void* dest, uint8_t* start, uint8_t** position, uint8_t* end,
                          int32_t* loops, int32_t bytes) {
  if (bytes <= 0 || !dest || !play_args_ok(start, position, end, loops)) return;
  play_right((uint8_t*)dest, start, position, end, loops, (size_t)bytes / 4, 4);
}

void FBS_CALL MOVERIGHT16(uint8_t* start, uint8_t** position, uint8_t* end, int32_t* loops,
                          int32_t bytes) {
  if (bytes <= 1 || (bytes % 2) || !play_args_ok(start, position, end, loops)) return;
  play_right(nullptr, start, position, end, loops, (size_t)bytes / 2, 2);
}

void FBS_CALL MOVERIGHT32(uint8_t* start, uint8_t** position, uint8_t* end, int32_t* loops,
                          int32_t bytes) {
  if (bytes <= 1 || (bytes % 4) || !play_args_ok(start, position, end, loops)) return;
  play_right(nullptr, start, position, end, loops, (size_t)bytes / 4, 4);
}

void FBS_CALL COPYSLICERIGHT16(void* dest, uint8_t* start, uint8_t** position, uint8_t* end,
                               int32_t* loops, float speed, int32_t bytes) {
  if (bytes <= 1 || (bytes % 2) || !(speed > 0.0f) || !dest ||
      !play_args_ok(start, position, end, loops))
    return;
  play_slice((uint8_t*)dest, start, start, position, end, loops, speed, (size_t)bytes / 2, 2, 0,
             kResampleNearest, nullptr);
}

void FBS_CALL COPYSLICERIGHT32(void* dest, uint8_t* start, uint8_t** position, uint8_t* end,
                               int32_t* loops, float speed, int32_t bytes) {
  if (bytes <= 3 || (bytes % 4) || !(speed > 0.0f) || !dest ||
      !play_args_ok(start, position, end, loops))
    return;
  play_slice((uint8_t*)dest, start, start, position, end, loops, speed, (size_t)bytes / 4, 4, 0,
             kResampleNearest, nullptr);
}

void FBS_CALL COPYSLICELEFT16(void* dest, uint8_t* start, uint8_t** position, uint8_t* end,
                              int32_t* loops, float speed, int32_t bytes) {
  if (bytes <= 1 || (bytes % 2) || !(speed < 0.0f) || !dest ||
      !play_args_ok(start, position, end, loops))
    return;
  play_slice((uint8_t*)dest, start, start, position, end, loops, speed, (size_t)bytes / 2, 2, 1,
             kResampleNearest, nullptr);
}

void FBS_CALL COPYSLICELEFT32(void* dest, uint8_t* start, uint8_t** position, uint8_t* end,
                              int32_t* loops, float speed, int32_t bytes) {
  if (bytes <= 3 || (bytes % 4) || !(speed < 0.0f) || !dest ||
      !play_args_ok(start, position, end, loops))
    return;
  play_slice((uint8_t*)dest, start, start, position, end, loops, speed, (size_t)bytes / 4, 4, 1,
             kResampleNearest, nullptr);
}

void FBS_CALL MOVESLICERIGHT16(uint8_t* start, uint8_t** position, uint8_t* end, int32_t* loops,
                               float speed, int32_t bytes) {
  if (bytes <= 1 || (bytes % 2) || !(speed > 0.0f) || !play_args_ok(start, position, end, loops))
    return;
  play_slice(nullptr, start, start, position, end, loops, speed, (size_t)bytes / 2, 2, 0, kResampleNearest,
             nullptr);
}

void FBS_CALL MOVESLICERIGHT32(uint8_t* start, uint8_t** position, uint8_t* end, int32_t* loops,
                               float speed, int32_t bytes) {
  if (bytes <= 3 || (bytes % 4) || !(speed > 0.0f) || !play_args_ok(start, position, end, loops))
    return;
  play_slice(nullptr, start, start, position, end, loops, speed, (size_t)bytes / 4, 4, 0, kResampleNearest,
             nullptr);
}

void FBS_CALL MOVESLICELEFT16(uint8_t* start, uint8_t** position, uint8_t* end, int32_t* loops,
                              float speed, int32_t bytes) {
  if (bytes <= 1 || (bytes % 2) || !(speed < 0.0f) || !play_args_ok(start, position, end, loops))
    return;
  play_slice(nullptr, start, start, position, end, loops, speed, (size_t)bytes / 2, 2, 1, kResampleNearest,
             nullptr);
}

void FBS_CALL MOVESLICELEFT32(uint8_t* start, uint8_t** position, uint8_t* end, int32_t* loops,
                              float speed, int32_t bytes) {
  if (bytes <= 3 || (bytes % 4) || !(speed < 0.0f) || !play_args_ok(start, position, end, loops))
    return;
  play_slice(nullptr, start, start, position, end, loops, speed, (size_t)bytes / 4, 4, 1, kResampleNearest,
             nullptr);
}

}  // extern "C"

void play_resampled(uint8_t* dest, uint8_t* begin, uint8_t* start, uint8_t** position, uint8_t* end,
                    int32_t* loops, float speed, int32_t bytes, uint32_t* phase, int family, int unit) {
  if (bytes <= 0) return;
  const int backward = speed < 0.0f;
  if (unit == 2)
    play_slice(dest, begin, start, position, end, loops, speed, (size_t)bytes / 2, 2, backward,
               family, phase);
  else
    play_slice(dest, begin, start, position, end, loops, speed, (size_t)bytes / 4, 4, backward,
               family, phase);
}
