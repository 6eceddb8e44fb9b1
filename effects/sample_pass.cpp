// SPDX-License-Identifier: GPL-3.0-or-later
// The sample pass: the unfiltered copy, the key tone stage, the key reverb
// stage and the write-back into the engine's waves, run by run.
#include "effects/sample_pass.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

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

// Work put off while the unfiltered copy is not made: copy_pending[r], the
// copy of row r is still to be taken, and its wave holds its loaded values.
bool copy_pending[kPassRows] = {};

bool any_copy_pending() {
  for (bool pending : copy_pending)
    if (pending) return true;
  return false;
}
// The key tone of the last key tone pass: keytone_mode then (0 or less: the
// rows pass unfiltered) and each wave's filter as it started. Every later
// pass filters the unfiltered rows from these again, so the key reverb pass
// alone gives what it would give on that pass's result.
int tone_mode = 0;
KeyToneWave tone_filters[kPassRows];
// The waves hold their loaded values (-32768 perhaps made -32767): since the
// last load, no pass has written anything else into them.
bool waves_as_loaded = false;

[[noreturn]] void default_fatal(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::exit(1);
}
void (*pass_fatal)(const std::string& text) = default_fatal;

// A buffer of `bytes` zeroed bytes in rows of `row_bytes`, or the fatal
// notice. Untouched pages of it take no memory. A pass touches tens of
// megabytes at once, which in pages of 4 KiB costs more kernel time than
// the pass's own arithmetic: the whole huge pages (2 MiB) inside the first
// `used_bytes` of each row (what a pass at the present rate touches) are
// asked for as such, where the system gives them, and nothing outside, so
// the memory taken stays what the pass touches.
void* make_buffer(size_t bytes, size_t row_bytes, size_t used_bytes) {
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) {
    pass_fatal("not enough memory for the sample pass");
    std::exit(1);  // a handler that returned
  }
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  for (size_t at = 0; at + row_bytes <= bytes; at += row_bytes) {
    const uintptr_t row = reinterpret_cast<uintptr_t>(block) + at;
    const uintptr_t from = (row + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t to = (row + used_bytes) & ~(kHugePage - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
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

// The key tone stage over one row: stereo rows alternate set L and set R,
// both run at once (see ThreeBandPair); mono rows, and a last value of an
// odd stereo row, go through set L alone.
template <int N>
void filter_row(KeyToneWave& k, const int16_t* in, float* out, int n, bool stereo) {
  int j = 0;
  if (stereo) {
    ThreeBandPair p = three_band_pair(k.left, k.right);
    const ThreeBandLanes low = {k.left.low_gain, k.right.low_gain, 0.0f, 0.0f};
    const ThreeBandLanes mid = {k.left.mid_gain, k.right.mid_gain, 0.0f, 0.0f};
    const ThreeBandLanes high = {k.left.high_gain, k.right.high_gain, 0.0f, 0.0f};
    for (; j + 1 < n; j += 2) {
      const float l = in[j], r = in[j + 1];
      ThreeBandPairBands b = three_band_split_pair<N>(p, ThreeBandLanes{l, r, l, r});
      ThreeBandLanes y = b.low * low + b.mid * mid + b.high * high;
      out[j] = y[0];
      out[j + 1] = y[1];
    }
    three_band_unpair(p, k.left, k.right);
  }
  ThreeBandFilter left = k.left;  // a local copy stays in registers
  for (; j < n; j++) out[j] = keytone_step<N>(left, in[j]);
  k.left = left;
}

void copy_row(const int16_t* in, float* out, int n) {
  for (int j = 0; j < n; j++) out[j] = in[j];
}

// Two stereo rows at once, over the first n values of both (n even): the
// two filters' chains of dependent operations are independent, so in one
// loop the processor runs them side by side. Each row's values are those
// filter_row gives it.
template <int N>
void filter_two_rows(KeyToneWave& a, const int16_t* in_a, float* out_a, KeyToneWave& b, const int16_t* in_b,
                     float* out_b, int n) {
  ThreeBandPair pa = three_band_pair(a.left, a.right), pb = three_band_pair(b.left, b.right);
  const ThreeBandLanes low_a = {a.left.low_gain, a.right.low_gain, 0.0f, 0.0f};
  const ThreeBandLanes mid_a = {a.left.mid_gain, a.right.mid_gain, 0.0f, 0.0f};
  const ThreeBandLanes high_a = {a.left.high_gain, a.right.high_gain, 0.0f, 0.0f};
  const ThreeBandLanes low_b = {b.left.low_gain, b.right.low_gain, 0.0f, 0.0f};
  const ThreeBandLanes mid_b = {b.left.mid_gain, b.right.mid_gain, 0.0f, 0.0f};
  const ThreeBandLanes high_b = {b.left.high_gain, b.right.high_gain, 0.0f, 0.0f};
  for (int j = 0; j + 1 < n; j += 2) {
    const float la = in_a[j], ra = in_a[j + 1], lb = in_b[j], rb = in_b[j + 1];
    ThreeBandPairBands x = three_band_split_pair<N>(pa, ThreeBandLanes{la, ra, la, ra});
    ThreeBandPairBands y = three_band_split_pair<N>(pb, ThreeBandLanes{lb, rb, lb, rb});
    ThreeBandLanes ya = x.low * low_a + x.mid * mid_a + x.high * high_a;
    ThreeBandLanes yb = y.low * low_b + y.mid * mid_b + y.high * high_b;
    out_a[j] = ya[0];
    out_a[j + 1] = ya[1];
    out_b[j] = yb[0];
    out_b[j + 1] = yb[1];
  }
  three_band_unpair(pa, a.left, a.right);
  three_band_unpair(pb, b.left, b.right);
}

// One wave's row of the key tone stage.
struct ToneRow {
  KeyToneWave* filter;
  const int16_t* in;
  float* out;
  int n;
  bool stereo;
};

template <int N>
void filter_rows(ToneRow a, ToneRow* b) {
  if (b != nullptr && a.stereo && b->stereo) {
    const int both = (a.n < b->n ? a.n : b->n) & ~1;
    filter_two_rows<N>(*a.filter, a.in, a.out, *b->filter, b->in, b->out, both);
    filter_row<N>(*a.filter, a.in + both, a.out + both, a.n - both, true);
    filter_row<N>(*b->filter, b->in + both, b->out + both, b->n - both, true);
    return;
  }
  filter_row<N>(*a.filter, a.in, a.out, a.n, a.stereo);
  if (b != nullptr) filter_row<N>(*b->filter, b->in, b->out, b->n, b->stereo);
}

// The key tone stage over row a and, when b is not null, row b.
void tone_rows(ToneRow a, ToneRow* b) {
  const int order = tone_mode <= 0 ? 0 : a.filter->order;  // the same for every wave of a pass
  switch (order) {
    case 1: filter_rows<1>(a, b); break;
    case 2: filter_rows<2>(a, b); break;
    case 3: filter_rows<3>(a, b); break;
    case 4: filter_rows<4>(a, b); break;
    case 5: filter_rows<5>(a, b); break;
    default:  // key tone off, or an order outside 1..5: values pass through
      copy_row(a.in, a.out, a.n);
      if (b != nullptr) copy_row(b->in, b->out, b->n);
      break;
  }
}

// Stores one value into a wave the mixer thread may be playing right now.
// Each value is stored whole (a relaxed atomic 16-bit store), so a sounding
// note hears old or new values for a moment, never a torn one, and never
// anything outside the wave, whose bounds the pass leaves alone. The mixer
// reads with plain loads: that race on the sample values is intended, and
// ThreadSanitizer is told to ignore these stores (write_back).
inline void store_sample(int16_t* at, int16_t v) { __atomic_store_n(at, v, __ATOMIC_RELAXED); }

// Each worker's own key reverb lines, one for each of the two waves it works
// on at a time (untouched lines take no memory).
float pass_lines[kPassWorkers][2][kEchoLineSize];
// Workers asked for: 0 for one per core.
int pass_workers_asked = 0;

// One wave of a pass: its row, its key tone filter (a working copy of the
// one the pass started from), its key reverb taps and line.
struct PassWave {
  int wave;
  int16_t* data;
  int n;
  bool stereo;
  KeyToneWave tone;
  KeyReverbWave reverb;
  float* line;
  int pos;
};

// Values of a row the pass works on in one go, through every stage.
constexpr int kPassRun = 2048;

// The key reverb and the write-back of `len` key tone values from `at` on.
void write_back(PassWave& p, int at, const float* tone, int len) {
  float echoed[kPassRun];
  int16_t values[kPassRun];
  if (keyrev_on == 1) {
    keyreverb_run(p.reverb, p.line, &p.pos, tone, echoed, len);
    tone = echoed;
  }
  clamp_to_samples(tone, values, len);
#ifdef QD_TSAN_BUILD
  AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
  for (int j = 0; j < len; j++) store_sample(p.data + at + j, values[j]);
#ifdef QD_TSAN_BUILD
  AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
#endif
}

// Waves a and (when not null) b through every stage, run by run.
void run_waves(PassWave& a, PassWave* b) {
  float tone_a[kPassRun], tone_b[kPassRun];
  for (PassWave* p : {&a, b})
    if (p != nullptr && keyrev_on == 1) keyreverb_start(p->reverb, p->line, &p->pos);
  const int longest = b != nullptr && b->n > a.n ? b->n : a.n;
  for (int at = 0; at < longest; at += kPassRun) {
    auto run_of = [at](const PassWave& p) { return p.n - at < kPassRun ? (p.n - at > 0 ? p.n - at : 0) : kPassRun; };
    auto row = [at](PassWave& p, float* out, int len) {
      return ToneRow{&p.tone, unfiltered_samples[p.wave] + at, out, len, p.stereo};
    };
    const int len_a = run_of(a), len_b = b != nullptr ? run_of(*b) : 0;
    ToneRow second = len_b > 0 ? row(*b, tone_b, len_b) : ToneRow{};
    if (len_a > 0) {
      tone_rows(row(a, tone_a, len_a), len_b > 0 ? &second : nullptr);
      write_back(a, at, tone_a, len_a);
    } else if (len_b > 0) {
      tone_rows(second, nullptr);
    }
    if (len_b > 0) write_back(*b, at, tone_b, len_b);
  }
}

// The unfiltered copy, made and taken now if it was put off.
void make_unfiltered() {
  if (unfiltered_samples == nullptr)
    unfiltered_samples = static_cast<int16_t(*)[kPassRowValues + 1]>(
        make_buffer(kUnfilteredBytes, sizeof unfiltered_samples[0], pass_row_values() * sizeof(int16_t)));
  // Only the part of each row a pass reads: the rest of it stays untouched,
  // and so do the rows of layers not loaded.
  const long row = pass_row_values();
  for (int w = 0; w < kPassRows; w++) {
    if (!copy_pending[w]) continue;
    copy_pending[w] = false;
    if (w >= kSamplesPerSet && pass_waves[w] < 0) continue;
    PassTarget t;
    long values = 0;
    long m = pass_target(w, &t, &values) ? (values < row ? values : row) : 0;
    if (m > 0) std::memcpy(unfiltered_samples[w], t.data, static_cast<size_t>(m) * sizeof(int16_t));
    std::memset(unfiltered_samples[w] + m, 0, static_cast<size_t>(row + 1 - m) * sizeof(int16_t));
  }
}

// The write-back with both stages off and no buffers: the values are
// already the loaded ones, so only -32768 changes, to -32767. Before the
// first change the unfiltered copy is taken, which must keep it.
void clamp_in_place(int16_t* data, int n) {
#ifdef QD_TSAN_BUILD
  AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
  constexpr int kLook = 256;  // values looked at in one vectorised go
  for (int at = 0; at < n; at += kLook) {
    const int len = n - at < kLook ? n - at : kLook;
    int found = 0;
    for (int j = 0; j < len; j++) found |= data[at + j] == -32768;
    if (found == 0) continue;
    for (int j = at; j < at + len; j++) {
      if (data[j] != -32768) continue;
      if (any_copy_pending()) make_unfiltered();
      store_sample(data + j, -32767);
    }
  }
#ifdef QD_TSAN_BUILD
  AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
#endif
}

}  // namespace

void set_sample_pass_workers(int workers) {
  pass_workers_asked = workers < 0 ? 0 : (workers > kPassWorkers ? kPassWorkers : workers);
}

void set_sample_pass_fatal(void (*fatal)(const std::string& text)) {
  pass_fatal = fatal != nullptr ? fatal : default_fatal;
}

void copy_unfiltered_samples(const int waves[kSamplesPerSet]) {
  waves_as_loaded = true;
  copy_unfiltered_layer(0, waves);
}

// A louder layer loaded after a pass leaves waves_as_loaded as it is: the
// other rows hold what that pass wrote.
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

namespace {

// One pass over the waves present: the key tone of the last key tone pass,
// the key reverb stage and the write-back. The waves are shared out among up
// to kPassWorkers threads (the main thread one of them), each wave to one
// worker; a wave's arithmetic is the same whichever runs it. The settings,
// the targets and the copy are all taken on the main thread before the
// workers start.
void run_pass() {
  PassWave waves[kPassRows];
  int count = 0;
  for (int w = kPassRows - 1; w >= 0; w--) {
    PassTarget t;
    if (!pass_target(w, &t)) continue;
    PassWave& p = waves[count++];
    p.wave = w;
    p.data = t.data;
    p.n = t.n;
    p.stereo = t.stereo;
    p.tone = tone_filters[w];
    if (keyrev_on == 1) p.reverb = keyreverb_setup(w % kSamplesPerSet);
  }
  // A worker takes the waves two by two (see filter_two_rows).
  const int units = (count + 1) / 2;
  std::atomic<int> next{0};
  auto work = [&](int worker) {
    for (int u = next.fetch_add(1); u < units; u = next.fetch_add(1)) {
      PassWave& a = waves[2 * u];
      PassWave* b = 2 * u + 1 < count ? &waves[2 * u + 1] : nullptr;
      a.line = pass_lines[worker][0];
      if (b != nullptr) b->line = pass_lines[worker][1];
      run_waves(a, b);
    }
  };
  int workers = pass_workers_asked;
  if (workers < 1) {
    unsigned cores = std::thread::hardware_concurrency();
    workers = cores < 1 ? 1 : (cores > (unsigned)kPassWorkers ? kPassWorkers : (int)cores);
  }
  if (workers > units) workers = units;
  std::thread helpers[kPassWorkers - 1];
  int started = 0;
  for (; started < workers - 1; started++) {
    try {
      helpers[started] = std::thread(work, started + 1);
    } catch (const std::system_error&) {
      break;  // no thread to be had: the others take its waves
    }
  }
  work(0);
  for (int t = 0; t < started; t++) helpers[t].join();
}

// The write-back of a pass whose result is the loaded values, on waves that
// hold them.
void clamp_all_in_place() {
  for (int w = kPassRows - 1; w >= 0; w--) {
    PassTarget t;
    if (pass_target(w, &t)) clamp_in_place(t.data, t.n);
  }
}

}  // namespace

void keytone_pass() {
  InputActiveScope busy;  // the queue is not served: note-offs end at once
  tone_mode = keytone_mode;
  for (int w = kPassRows - 1; w >= 0; w--) {
    PassTarget t;
    if (w < kSamplesPerSet || pass_target(w, &t)) tone_filters[w] = keytone_setup(w % kSamplesPerSet);
  }
  // Both stages off: the result is the loaded values. Waves that hold them
  // already only lose -32768.
  if (keytone_mode <= 0 && keyrev_on != 1 && (unfiltered_samples == nullptr || waves_as_loaded)) {
    clamp_all_in_place();
    return;
  }
  make_unfiltered();
  run_pass();
  waves_as_loaded = false;
}

void keyreverb_pass() {
  InputActiveScope busy;  // the queue is not served: note-offs end at once
  if (keyrev_on != 1 && tone_mode <= 0 && (unfiltered_samples == nullptr || waves_as_loaded)) {
    clamp_all_in_place();
    return;
  }
  make_unfiltered();
  run_pass();
  waves_as_loaded = false;
}
