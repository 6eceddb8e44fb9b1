// Playing a wave region into a block: forward at speed 1 (COPYRIGHT), stepped
// by a 16.16 speed forward or backward (COPYSLICE...), and the same position
// and loop arithmetic without output for muted sounds (MOVE...). "16" members
// step over 2-byte samples, "32" members over 4-byte stereo frames.
//
// The loop is the region [start, end) with end rounded down to a whole unit.
// Passing its end (forward) or its start (backward) costs one loop; the pass
// that brings loops to 0 stops the sound and fills the rest of the block with
// zeros. Every sample read lies inside the region or at the caller's position,
// whatever the speed or the loop length: an overshoot longer than the loop
// wraps as many times as it covers, each wrap costing a loop.
#include <cmath>
#include <cstring>

#include "engine/kernel_table.h"
#include "engine/kernels.h"

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

// Stepped forward (backward = 0) or backward (backward = 1); dest null: move
// only. The fraction starts at 0 on every call.
__attribute__((always_inline)) static inline void play_slice(uint8_t* dest, uint8_t* start,
                                                             uint8_t** position, uint8_t* end,
                                                             int32_t* loops, float speed, size_t n,
                                                             uintptr_t unit, int backward) {
  if (n == 0) return;
  const PlayRegion r = play_region(start, end, unit);
  const uint64_t step = speed_step(speed);
  uintptr_t p = (uintptr_t)*position & ~(unit - 1);
  int32_t k = *loops;
  int playing = 1;
  if (p >= r.high) {
    // At or past the end: forward playing wraps first; backward playing starts
    // with the last whole unit of the region.
    if (!backward)
      playing = wrap_forward(r, &p, &k);
    else if (r.high >= r.low + unit)
      p = r.high - unit;
    else
      playing = 0, k = 0;
  }
  uint64_t fraction = 0;
  size_t i = 0;
  for (; playing && i < n; i++) {
    if (dest) std::memcpy(dest + i * unit, (const void*)p, unit);
    fraction += step;
    const uint64_t advance = fraction >> 16;
    fraction &= 0xFFFF;
    if (advance == 0) continue;
    if (!backward) {
      p += (uintptr_t)advance * unit;
      if (p >= r.high) playing = wrap_forward(r, &p, &k);
    } else {
      const uintptr_t back = (uintptr_t)advance * unit;
      if (p >= r.low + back)
        p -= back;
      else
        playing = wrap_backward(r, r.low + back - p, &p, &k);
    }
  }
  if (!playing && dest && i < n) kernels()->zero(dest + i * unit, (n - i) * unit);
  *position = (uint8_t*)p;
  *loops = k;
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
  play_slice((uint8_t*)dest, start, position, end, loops, speed, (size_t)bytes / 2, 2, 0);
}

void FBS_CALL COPYSLICERIGHT32(void* dest, uint8_t* start, uint8_t** position, uint8_t* end,
                               int32_t* loops, float speed, int32_t bytes) {
  if (bytes <= 3 || (bytes % 4) || !(speed > 0.0f) || !dest ||
      !play_args_ok(start, position, end, loops))
    return;
  play_slice((uint8_t*)dest, start, position, end, loops, speed, (size_t)bytes / 4, 4, 0);
}

void FBS_CALL COPYSLICELEFT16(void* dest, uint8_t* start, uint8_t** position, uint8_t* end,
                              int32_t* loops, float speed, int32_t bytes) {
  if (bytes <= 1 || (bytes % 2) || !(speed < 0.0f) || !dest ||
      !play_args_ok(start, position, end, loops))
    return;
  play_slice((uint8_t*)dest, start, position, end, loops, speed, (size_t)bytes / 2, 2, 1);
}

void FBS_CALL COPYSLICELEFT32(void* dest, uint8_t* start, uint8_t** position, uint8_t* end,
                              int32_t* loops, float speed, int32_t bytes) {
  if (bytes <= 3 || (bytes % 4) || !(speed < 0.0f) || !dest ||
      !play_args_ok(start, position, end, loops))
    return;
  play_slice((uint8_t*)dest, start, position, end, loops, speed, (size_t)bytes / 4, 4, 1);
}

void FBS_CALL MOVESLICERIGHT16(uint8_t* start, uint8_t** position, uint8_t* end, int32_t* loops,
                               float speed, int32_t bytes) {
  if (bytes <= 1 || (bytes % 2) || !(speed > 0.0f) || !play_args_ok(start, position, end, loops))
    return;
  play_slice(nullptr, start, position, end, loops, speed, (size_t)bytes / 2, 2, 0);
}

void FBS_CALL MOVESLICERIGHT32(uint8_t* start, uint8_t** position, uint8_t* end, int32_t* loops,
                               float speed, int32_t bytes) {
  if (bytes <= 3 || (bytes % 4) || !(speed > 0.0f) || !play_args_ok(start, position, end, loops))
    return;
  play_slice(nullptr, start, position, end, loops, speed, (size_t)bytes / 4, 4, 0);
}

void FBS_CALL MOVESLICELEFT16(uint8_t* start, uint8_t** position, uint8_t* end, int32_t* loops,
                              float speed, int32_t bytes) {
  if (bytes <= 1 || (bytes % 2) || !(speed < 0.0f) || !play_args_ok(start, position, end, loops))
    return;
  play_slice(nullptr, start, position, end, loops, speed, (size_t)bytes / 2, 2, 1);
}

void FBS_CALL MOVESLICELEFT32(uint8_t* start, uint8_t** position, uint8_t* end, int32_t* loops,
                              float speed, int32_t bytes) {
  if (bytes <= 3 || (bytes % 4) || !(speed < 0.0f) || !play_args_ok(start, position, end, loops))
    return;
  play_slice(nullptr, start, position, end, loops, speed, (size_t)bytes / 4, 4, 1);
}

}  // extern "C"
