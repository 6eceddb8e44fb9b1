// SPDX-License-Identifier: GPL-3.0-or-later
// The sample pass: the unfiltered copy, the key tone stage into tone_buffer,
// the key reverb stage and the write-back into the engine's waves.
#include "effects/sample_pass.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/settings_values.h"
#include "core/shared_state.h"
#include "effects/keyrev.h"
#include "effects/keytone.h"
#include "effects/sample_clamp.h"
#include "engine/fbs.h"

// ThreadSanitizer is told about the one intended race of the pass (below).
#if defined(__SANITIZE_THREAD__)
#define QD_TSAN_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QD_TSAN_BUILD 1
#endif
#endif
#ifdef QD_TSAN_BUILD
extern "C" void AnnotateIgnoreWritesBegin(const char* file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char* file, int line);
#endif

int16_t (*unfiltered_samples)[kPassRowValues + 1] = nullptr;
float (*tone_buffer)[kPassRowValues] = nullptr;

int pass_row_values() {
  int rate = plug_rate.load();
  rate = rate < kEffectRateMin ? kEffectRateMin : (rate > kEffectRateMax ? kEffectRateMax : rate);
  return (int)((int64_t)kPassValues * rate / 44100) & ~1;
}

namespace {

// The waves of the last copies, the ones every pass rewrites, one a row
// (-1: none).
struct PassWaves {
  int row[kPassRows];
  PassWaves() {
    for (int& w : row) w = -1;
  }
} pass_waves_of;
int* const pass_waves = pass_waves_of.row;

// Work put off while the buffers are not made. copy_pending[r]: the
// unfiltered copy of row r is still to be taken, and its wave holds its
// loaded values. tone_copy_pending: the last key tone pass ran with the key
// tone off, so tone_buffer's rows are to be the unfiltered rows.
bool copy_pending[kPassRows] = {};
bool tone_copy_pending = false;

bool any_copy_pending() {
  for (bool pending : copy_pending)
    if (pending) return true;
  return false;
}

[[noreturn]] void default_fatal(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::exit(1);
}
void (*pass_fatal)(const std::string& text) = default_fatal;

// A buffer of `bytes` zeroed bytes, or the fatal notice. Untouched pages of
// it take no memory.
void* make_buffer(size_t bytes) {
  void* block = std::calloc(1, bytes);
  if (block == nullptr) {
    pass_fatal("not enough memory for the sample pass");
    std::exit(1);  // a handler that returned
  }
  return block;
}

// Where the pass works on wave w: its first value, n(w) and whether the
// output is stereo. False when the wave is not there.
struct PassTarget {
  int16_t* data;
  int n;
  bool stereo;
};
bool pass_target(int w, PassTarget* t, long* whole_length = nullptr) {
  void* begin = nullptr;
  void* end = nullptr;
  int32_t channels = 0;
  if (!FBS_GET_WAVEPOINTERS(pass_waves[w], &begin, &end, &channels)) return false;
  long values = (static_cast<char*>(end) - static_cast<char*>(begin)) / 2;
  long n = channels == 1 ? pass_row_values() / 2 : pass_row_values();
  t->data = static_cast<int16_t*>(begin);
  t->n = static_cast<int>(values < n ? values : n);
  t->stereo = channels > 1;
  if (whole_length) *whole_length = values;
  return true;
}

// The key tone stage over one row: stereo rows alternate set L and set R.
// The sets are worked on as local copies so they stay in registers.
template <int N>
void filter_row(const int16_t* in, float* out, int n, bool stereo) {
  ThreeBandFilter left = keytone_left, right = keytone_right;
  int j = 0;
  if (stereo) {
    for (; j + 1 < n; j += 2) {
      out[j] = keytone_step<N>(left, in[j]);
      out[j + 1] = keytone_step<N>(right, in[j + 1]);
    }
  }
  for (; j < n; j++) out[j] = keytone_step<N>(left, in[j]);  // mono, or a last even index
  keytone_left = left;
  keytone_right = right;
}

void copy_row(const int16_t* in, float* out, int n) {
  for (int j = 0; j < n; j++) out[j] = in[j];
}

// Stores one value into a wave the mixer thread may be playing right now.
// Each value is stored whole (a relaxed atomic 16-bit store), so a sounding
// note hears old or new values for a moment, never a torn one, and never
// anything outside the wave, whose bounds the pass leaves alone. The mixer
// reads with plain loads: that race on the sample values is intended, and
// ThreadSanitizer is told to ignore these stores (write_back).
inline void store_sample(int16_t* at, int16_t v) { __atomic_store_n(at, v, __ATOMIC_RELAXED); }

void write_back(int w, int16_t* data, int n) {
  const float* in = tone_buffer[w];
#ifdef QD_TSAN_BUILD
  AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
  if (keyrev_on == 1) {
    for (int j = 0; j < n; j++) store_sample(data + j, clamp_to_sample(keyreverb_step(in[j])));
  } else {
    for (int j = 0; j < n; j++) store_sample(data + j, clamp_to_sample(in[j]));
  }
#ifdef QD_TSAN_BUILD
  AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
#endif
}

// The unfiltered copy, made and taken now if it was put off.
void make_unfiltered() {
  if (unfiltered_samples == nullptr)
    unfiltered_samples = static_cast<int16_t(*)[kPassRowValues + 1]>(make_buffer(kUnfilteredBytes));
  // Only the part of each row a pass reads: the rest of it stays untouched,
  // and so do the rows of layers not loaded.
  const long row = pass_row_values();
  for (int w = 0; w < kPassRows; w++) {
    if (!copy_pending[w]) continue;
    copy_pending[w] = false;
    if (w >= kSamplesPerSet && pass_waves[w] < 0) continue;
    std::memset(unfiltered_samples[w], 0, static_cast<size_t>(row + 1) * sizeof(int16_t));
    PassTarget t;
    long values = 0;
    if (!pass_target(w, &t, &values)) continue;
    long m = values < row ? values : row;
    std::memcpy(unfiltered_samples[w], t.data, static_cast<size_t>(m) * sizeof(int16_t));
  }
}

// Both buffers, tone_buffer holding what the last key tone pass left there.
void make_buffers() {
  make_unfiltered();
  if (tone_buffer == nullptr)
    tone_buffer = static_cast<float(*)[kPassRowValues]>(make_buffer(kToneBufferBytes));
  if (!tone_copy_pending) return;
  tone_copy_pending = false;
  for (int w = 0; w < kPassRows; w++) {
    PassTarget t;
    if (pass_target(w, &t)) copy_row(unfiltered_samples[w], tone_buffer[w], t.n);
  }
}

// The write-back with both stages off and no buffers: the values are
// already the loaded ones, so only -32768 changes, to -32767. Before the
// first change the unfiltered copy is taken, which must keep it.
void clamp_in_place(int16_t* data, int n) {
#ifdef QD_TSAN_BUILD
  AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
  for (int j = 0; j < n; j++) {
    if (data[j] != -32768) continue;
    if (any_copy_pending()) make_unfiltered();
    store_sample(data + j, -32767);
  }
#ifdef QD_TSAN_BUILD
  AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
#endif
}

}  // namespace

void set_sample_pass_fatal(void (*fatal)(const std::string& text)) {
  pass_fatal = fatal != nullptr ? fatal : default_fatal;
}

void copy_unfiltered_samples(const int waves[kSamplesPerSet]) { copy_unfiltered_layer(0, waves); }

void copy_unfiltered_layer(int layer, const int waves[kSamplesPerSet]) {
  if (layer < 0 || layer >= kLayersMost) return;
  for (int w = 0; w < kSamplesPerSet; w++) {
    pass_waves[layer * kSamplesPerSet + w] = waves[w];
    copy_pending[layer * kSamplesPerSet + w] = true;
  }
  if (unfiltered_samples != nullptr) make_unfiltered();
}

int pass_length(int w) {
  PassTarget t;
  return w >= 0 && w < kPassRows && pass_target(w, &t) ? t.n : 0;
}

void keytone_pass() {
  InputActiveScope busy;  // the queue is not served: note-offs end at once
  bool buffers = keytone_mode > 0 || keyrev_on == 1 || tone_buffer != nullptr;
  if (buffers) make_buffers();
  tone_copy_pending = !buffers;
  for (int w = kPassRows - 1; w >= 0; w--) {
    PassTarget t;
    if (w >= kSamplesPerSet && !pass_target(w, &t)) continue;  // a layer not loaded
    keytone_setup(w % kSamplesPerSet);
    if (!buffers || !pass_target(w, &t)) continue;
    const int16_t* in = unfiltered_samples[w];
    float* out = tone_buffer[w];
    if (keytone_mode <= 0) {
      copy_row(in, out, t.n);
      continue;
    }
    switch (keytone_order) {
      case 1: filter_row<1>(in, out, t.n, t.stereo); break;
      case 2: filter_row<2>(in, out, t.n, t.stereo); break;
      case 3: filter_row<3>(in, out, t.n, t.stereo); break;
      case 4: filter_row<4>(in, out, t.n, t.stereo); break;
      case 5: filter_row<5>(in, out, t.n, t.stereo); break;
      default: copy_row(in, out, t.n); break;  // an order outside 1..5 passes values through
    }
  }
  keyreverb_pass();
}

void keyreverb_pass() {
  InputActiveScope busy;  // the queue is not served: note-offs end at once
  if (keyrev_on == 1) make_buffers();
  for (int w = kPassRows - 1; w >= 0; w--) {
    PassTarget t;
    if (w >= kSamplesPerSet && !pass_target(w, &t)) continue;  // a layer not loaded
    keyreverb_setup(w % kSamplesPerSet);
    if (!pass_target(w, &t)) continue;
    if (tone_buffer != nullptr)
      write_back(w, t.data, t.n);
    else
      clamp_in_place(t.data, t.n);
  }
}
