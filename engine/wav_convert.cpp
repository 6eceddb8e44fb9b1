// Conversion of WAV samples to the output format: 16-bit signed, the output
// channel count and rate. Rates change by repeating (up) or picking (down)
// whole source frames, without interpolation.
#include "engine/wav_read.h"

#include <cmath>
#include <cstdlib>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Rounds to the nearest integer, ties to even (the default rounding mode).
static inline int32_t nearest(double x) {
#if defined(__SSE2__)
  return _mm_cvtsd_si32(_mm_set_sd(x));
#else
  return (int32_t)std::nearbyint(x);
#endif
}

// 8-bit samples are unsigned around 128; dividing by 256 and by 65534 puts
// both source formats at about -0.5..+0.5.
static const double kScale8 = 0.00390625;
static const double kScale16 = 1.5259254723787308e-05;
// A stereo output sample is 32767 x L; a mono one K x L + K x R, with K one
// half step apart between the two rate paths.
static const double kStereoGain = 32767.0;
static const double kMonoGainUp = 16383.0;
static const double kMonoGainDown = 16383.5;

// A stereo output sample depends on one source sample only: tables give
// nearest(32767 x L) for every 8-bit and 16-bit value, built once.
struct StereoTables {
  int16_t from8[256];
  int16_t from16[65536];
  StereoTables() {
    for (int v = 0; v < 256; ++v) from8[v] = (int16_t)nearest(kStereoGain * (float)((v + (-128.0)) * kScale8));
    for (int v = 0; v < 65536; ++v)
      from16[v] = (int16_t)nearest(kStereoGain * (float)((int16_t)v * kScale16));
  }
};

static const StereoTables& stereo_tables() {
  static const StereoTables tables;
  return tables;
}

// Floor of the non-negative rate accumulator.
static inline int64_t whole(double a) { return (int64_t)a; }

struct FrameReader {
  const uint8_t* samples;
  uint32_t size;
  uint32_t block_align;
  bool eight_bit;
  bool stereo;
  const int16_t* table;  // stereo output values by raw sample
};

// A raw sample: the byte of an 8-bit one, the bits of a 16-bit one. Bytes a
// block align too small for the format would miss read as silence.
static inline uint16_t raw_sample(const FrameReader& r, size_t off) {
  if (r.eight_bit) return off + 1 > r.size ? 128 : r.samples[off];
  if (off + 2 > r.size) return 0;
  return (uint16_t)(r.samples[off] | (r.samples[off + 1] << 8));
}

static inline float to_float(const FrameReader& r, uint16_t raw) {
  if (r.eight_bit) return (float)((raw + (-128.0)) * kScale8);
  return (float)((int16_t)raw * kScale16);
}

// Reads source frame `frame` as raw left and right (right = left for mono).
static inline void read_frame(const FrameReader& r, uint32_t frame, uint16_t* L, uint16_t* R) {
  size_t off = (size_t)frame * r.block_align;
  *L = raw_sample(r, off);
  *R = r.stereo ? raw_sample(r, off + (r.eight_bit ? 1 : 2)) : *L;
}

static inline void write_frame(const FrameReader& r, int16_t* out, int32_t channels,
                               double mono_gain, size_t frame, uint16_t L, uint16_t R) {
  if (channels == 1) {
    out[frame] = (int16_t)nearest(mono_gain * to_float(r, L) + mono_gain * to_float(r, R));
  } else {
    out[2 * frame] = r.table[L];
    out[2 * frame + 1] = r.table[R];
  }
}

int wav_convert(const WavSource* src, const uint8_t* samples, int32_t out_rate,
                int32_t out_channels, uint8_t** data, uint32_t* size) {
  if (src == nullptr || samples == nullptr || data == nullptr || size == nullptr)
    return 0;
  if (src->block_align <= 0 || src->rate <= 0 || out_rate <= 0) return 0;
  if (out_channels != 1 && out_channels != 2) return 0;
  uint32_t n = src->data_size / (uint32_t)src->block_align;
  if (n == 0) return 0;
  double f = (double)src->rate / (double)out_rate;
  double m_exact = std::nearbyint((double)n * (1.0 / f));
  // The wave's byte count is a 32-bit value.
  if (!(m_exact >= 1.0) || m_exact * 2.0 * out_channels > 2147483647.0) return 0;
  uint32_t m = (uint32_t)m_exact;
  size_t bytes = (size_t)2 * m * (size_t)out_channels;
  int16_t* out = (int16_t*)calloc(bytes, 1);
  if (out == nullptr) return 0;

  const StereoTables& tables = stereo_tables();
  FrameReader r = {samples, src->data_size, (uint32_t)src->block_align, src->bits == 8,
                   src->channels == 2, src->bits == 8 ? tables.from8 : tables.from16};
  uint16_t L = 0, R = 0;
  double a = 0.0;
  if (n <= m) {
    // Up (or equal): every output frame, reading the next source frame
    // whenever the accumulator enters a new whole number.
    int64_t last = -1;
    uint32_t next = 0;
    for (uint32_t i = 0; i < m; ++i) {
      int64_t idx = whole(a);
      if (idx != last) {
        read_frame(r, next++, &L, &R);
        last = idx;
      }
      write_frame(r, out, out_channels, kMonoGainUp, i, L, R);
      a += f;
      if (whole(a) >= (int64_t)n) break;
    }
  } else {
    // Down: every source frame, written where the accumulator enters a new
    // whole number. Stops one frame short, so the last output frame is zero.
    double step = 1.0 / f;
    int64_t last = -1;
    for (uint32_t i = 0; i < n; ++i) {
      read_frame(r, i, &L, &R);
      int64_t idx = whole(a);
      if (idx != last) {
        write_frame(r, out, out_channels, kMonoGainDown, (size_t)idx, L, R);
        last = idx;
      }
      a += step;
      if (whole(a) >= (int64_t)m - 1) break;
    }
  }
  *data = (uint8_t*)out;
  *size = (uint32_t)bytes;
  return 1;
}
