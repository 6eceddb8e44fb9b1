// SPDX-License-Identifier: GPL-3.0-or-later
// Sounds: playing instances that point into a wave, with position, loops,
// speed, volume, pan and flags; the entry points that create, play, change
// and destroy them, and the wave and sound tables they live in.
//
// Threads: the entry points run on the main and MIDI threads while the mixer
// reads the same slots on the plug-in's thread. Position and loops are
// written under the slot's write-back guard (below); every other field is a
// single atomic store.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "engine/engine_state.h"
#include "engine/kernel_table.h"
#include "engine/sound_motion.h"

FbsWave fbs_waves[kFbsMaxWaves];
std::atomic<int32_t> fbs_wave_count{0};
FbsSound fbs_sounds[kFbsMaxSounds];
std::atomic<int32_t> fbs_sound_count{0};
std::atomic<uint32_t> fbs_timed_starts{0};

// Write guards: an odd value means someone is writing what the guard
// covers; writers take turns. `moved` covers a sound's position and loops.
// The mixer never waits for it: it skips a slot being written and drops its
// own write-back when the value changed while it rendered, so a restart or
// stop from another thread is never lost. Entry points wait only for the
// mixer's two stores. `timed_guard` covers the timed requests, which the
// mixer only reads.
static void take_guard(std::atomic<uint32_t>& guard) {
  uint32_t g = guard.load(std::memory_order_relaxed);
  for (;;) {
    if (g & 1u) {
      std::this_thread::yield();
      g = guard.load(std::memory_order_relaxed);
      continue;
    }
    if (guard.compare_exchange_weak(g, g + 1u, std::memory_order_acquire)) return;
  }
}

static void leave_guard(std::atomic<uint32_t>& guard) { guard.fetch_add(1u, std::memory_order_release); }

static void guard_enter(FbsSound& s) { take_guard(s.moved); }
static void guard_leave(FbsSound& s) { leave_guard(s.moved); }
static void timed_enter(FbsSound& s) { take_guard(s.timed_guard); }
static void timed_leave(FbsSound& s) { leave_guard(s.timed_guard); }

// Ids of timed requests, never 0, shared by all sounds.
static std::atomic<uint32_t> next_timed_id{0};
static uint32_t new_timed_id() {
  uint32_t id;
  do id = next_timed_id.fetch_add(1u) + 1u;
  while (id == 0);
  return id;
}

// A start or an end still waiting for its frame is dropped by a call that
// starts, ends or moves the sound at once, which comes after it.
static void drop_timed(FbsSound& s) {
  timed_enter(s);
  s.start_id.store(0);
  s.end_id.store(0);
  timed_leave(s);
}

// Drops a ramped end and a crossfade, and what waits for a frame. Every call
// that sets the position or the loops does so under the guard, so what it
// sets is heard as it was before ramps existed.
static void cancel_ramps(FbsSound& s) {
  s.fade_left.store(0);
  s.fade_step.store(0);
  s.tail_left.store(0);
  drop_timed(s);
}

// A start asked for drops a damping change still waiting (the mixer plays
// the start undamped).
static void undamp(FbsSound& s) { s.damp_next.store(0); }

// ---- Waves ----

int fbs_wave_valid(int32_t wave) {
  if (!fbs_initialised.load()) return 0;
  int32_t count = fbs_wave_count.load();
  if (count <= 0 || wave < 0 || wave >= count) return 0;
  return fbs_waves[wave].data.load() != nullptr && fbs_waves[wave].size.load() > 0;
}

int32_t fbs_wave_store(uint8_t* data, uint32_t size) {
  int32_t count = fbs_wave_count.load();
  for (int32_t w = 0; w < kFbsMaxWaves; w++) {
    if (w < count && fbs_waves[w].data.load() != nullptr) continue;
    fbs_waves[w].size.store(size);
    fbs_waves[w].data.store(data);
    if (w >= count) fbs_wave_count.store(w + 1);
    return w;
  }
  return -1;
}

int32_t fbs_wave_store_copy(const void* samples, uint32_t bytes) {
  if (!samples || bytes == 0) return -1;
  uint8_t* data = static_cast<uint8_t*>(std::malloc(bytes));
  if (!data) return -1;
  std::memcpy(data, samples, bytes);
  int32_t w = fbs_wave_store(data, bytes);
  if (w < 0) std::free(data);
  return w;
}

// ---- Slots ----

int fbs_sound_valid(int32_t sound) {
  if (!fbs_initialised.load() || fbs_wave_count.load() <= 0) return 0;
  if (sound < 0 || sound >= fbs_sound_count.load()) return 0;
  const FbsSound& s = fbs_sounds[sound];
  return s.wave_begin.load() != nullptr && s.mix.load() != nullptr;
}

// Bytes a mix buffer needs for the current block size.
static int32_t mix_bytes_needed(void) {
  int32_t size = fbs_out_buffersize();
  return (size > 0 ? size : 0) + kFbsMixSlack;
}

// Gives a slot a zeroed mix buffer of at least `need` bytes. Returns 0 when
// memory runs out.
static int fit_mix_buffer(FbsSound& s, int32_t need) {
  if (s.mix_alloc.load() != nullptr && s.mix_capacity.load() >= need) return 1;
  uint8_t* fresh = static_cast<uint8_t*>(std::calloc(1, static_cast<size_t>(need)));
  if (!fresh) return 0;
  uint8_t* old = s.mix_alloc.load();
  s.mix_capacity.store(0);
  s.mix.store(nullptr);
  s.mix_alloc.store(fresh);
  s.mix.store(fresh);
  s.mix_capacity.store(need);
  if (old) {
    fbs_fill_quiesce();  // a fill that listed the old buffer may still sum it
    std::free(old);
  }
  return 1;
}

void fbs_sounds_fit_buffers(void) {
  int32_t need = mix_bytes_needed();
  int32_t count = fbs_sound_count.load();
  for (int32_t i = 0; i < count; i++) {
    FbsSound& s = fbs_sounds[i];
    if (s.mix_alloc.load() != nullptr) fit_mix_buffer(s, need);
  }
}

// Takes the first free slot, else the next one after the table's end, by
// compare-and-swap on `claimed`. -1 when the table is full.
static int32_t claim_slot(void) {
  for (int32_t i = 0; i < kFbsMaxSounds; i++) {
    FbsSound& s = fbs_sounds[i];
    if (s.claimed.load(std::memory_order_relaxed) != 0) continue;
    int32_t expected = 0;
    if (!s.claimed.compare_exchange_strong(expected, 1)) continue;
    int32_t count = fbs_sound_count.load();
    while (count < i + 1 && !fbs_sound_count.compare_exchange_weak(count, i + 1)) {
    }
    return i;
  }
  return -1;
}

int fbs_sound_free(int32_t sound) {
  FbsSound& s = fbs_sounds[sound];
  guard_enter(s);
  if (s.loops.load() > 0) s.paused.store(1);
  s.loops.store(0);
  guard_leave(s);
  s.wave_begin.store(nullptr);
  uint8_t* alloc = s.mix_alloc.load();
  int own = alloc != nullptr && alloc == s.mix.load();
  if (own) {
    s.mix_capacity.store(0);
    s.mix.store(nullptr);
    s.mix_alloc.store(nullptr);
    fbs_fill_quiesce();
    std::free(alloc);
  }
  s.claimed.store(0);
  return own;
}

static void store_pan(FbsSound& s, float pan) {
  pan = fbs_limit_pan(pan);
  s.pan.store(pan);
  s.right_gain.store(fbs_pan_right_gain(pan));
  s.left_gain.store(fbs_pan_left_gain(pan));
}

// Speed limits: a speed too small to step flips its sign (so it still moves
// by one sample per call), |speed| is capped where the 16.16 step still fits.
static float limit_speed(float speed) {
  const float kSmallest = 1.5258e-06f;
  const float kLargest = 16383.0f;
  if (std::isnan(speed)) return 1.0f;
  if (speed > 0.0f) {
    if (speed < kSmallest) speed = -kSmallest;
    else if (speed > kLargest) speed = kLargest;
  }
  if (speed < 0.0f) {
    if (speed > -kSmallest) speed = kSmallest;
    else if (speed < -kLargest) speed = -kLargest;
  }
  if (speed == 0.0f) speed = 1.0f;
  return speed;
}

static float limit_volume(float volume) {
  if (volume > 2.0f) volume = 2.0f;
  if (!(volume >= 0.0001f)) volume = 0.0f;  // also silences NaN
  return volume;
}

// Sets up a claimed slot on a wave. The slot stays kept and not playing
// until the caller has set everything, so the mixer neither plays nor frees
// it half-made.
static int setup_slot(int32_t slot, int32_t wave) {
  FbsSound& s = fbs_sounds[slot];
  s.keep.store(1);
  guard_enter(s);
  s.loops.store(0);
  guard_leave(s);
  if (!fit_mix_buffer(s, mix_bytes_needed())) return 0;
  uint8_t* data = fbs_waves[wave].data.load();
  uint8_t* data_end = data + fbs_waves[wave].size.load();
  guard_enter(s);
  s.play.store(data);
  s.phase.store(0);
  s.start.store(data);
  s.end.store(data_end);
  s.wave_end.store(data_end);
  cancel_ramps(s);
  s.heard_volume.store(-1.0f);
  s.heard_speed.store(1.0f);
  s.tail_speed.store(1.0f);
  guard_leave(s);
  s.callback.store(nullptr);
  s.callback_enabled.store(0);
  s.speed.store(1.0f);
  s.volume.store(1.0f);
  s.damp_next.store(0);
  s.damp_rate.store(1.0f);
  s.damp_gain.store(1.0f);
  s.paused.store(0);
  s.muted.store(0);
  store_pan(s, 0.0f);
  s.wave_begin.store(data);
  return 1;
}

// ---- Entry points ----

extern "C" int32_t FBS_CALL FBS_CREATE_SOUND(int32_t wave, int32_t* sound) {
  if (!sound || !fbs_wave_valid(wave)) return 0;
  int32_t slot = claim_slot();
  if (slot < 0) return 0;
  if (!setup_slot(slot, wave)) fbs_fatal_wait_key();
  FbsSound& s = fbs_sounds[slot];
  s.owner.store(sound);
  *sound = slot;
  return 1;
}

extern "C" int32_t FBS_CALL FBS_PLAY_WAVE(int32_t wave, int32_t loops, float speed, float volume,
                                          float pan, int32_t* sound) {
  if (!fbs_wave_valid(wave)) return 0;
  int32_t slot = claim_slot();
  if (slot < 0) return 0;
  if (!setup_slot(slot, wave)) fbs_fatal_wait_key();
  FbsSound& s = fbs_sounds[slot];
  s.speed.store(limit_speed(speed));
  s.volume.store(std::isnan(volume) ? 0.0f : volume);
  store_pan(s, pan);
  s.owner.store(sound);
  if (sound) *sound = slot;
  guard_enter(s);
  s.loops.store(loops < 1 ? 2147483647 : loops);
  guard_leave(s);
  // Last, after loops: the mixer frees an unkept slot once loops is 0.
  if (!sound) s.keep.store(0);
  return 1;
}

extern "C" int32_t FBS_CALL FBS_PLAY_SOUND(int32_t sound, int32_t loops) {
  if (!fbs_sound_valid(sound)) return 0;
  FbsSound& s = fbs_sounds[sound];
  guard_enter(s);
  s.play.store(s.wave_begin.load());
  s.phase.store(0);
  s.loops.store(loops < 1 ? 2147483647 : loops);
  cancel_ramps(s);
  s.heard_volume.store(-1.0f);
  guard_leave(s);
  undamp(s);
  return 1;
}

// Ramp lengths are held to 0..one second of output.
static int32_t limit_ramp(int32_t frames) {
  int32_t rate = fbs_out_rate();
  if (frames > rate) frames = rate;
  return frames > 0 ? frames : 0;
}

extern "C" int32_t FBS_CALL FBS_END_SOUND_RAMPED(int32_t sound, int32_t frames) {
  if (!fbs_sound_valid(sound)) return 0;
  FbsSound& s = fbs_sounds[sound];
  frames = limit_ramp(frames);
  guard_enter(s);
  // A start still waiting is ended before it is heard.
  int waited = fbs_start_waits(s);
  drop_timed(s);
  FbsMotion m = fbs_read_motion(s);
  int playing = s.paused.load() == 0 && fbs_motion_end(&m, frames);
  if (playing) fbs_write_motion(s, m);
  guard_leave(s);
  return playing || waited;
}

extern "C" int32_t FBS_CALL FBS_PLAY_SOUND_RAMPED(int32_t sound, int32_t loops, int32_t frames) {
  if (!fbs_sound_valid(sound)) return 0;
  FbsSound& s = fbs_sounds[sound];
  frames = limit_ramp(frames);
  undamp(s);
  guard_enter(s);
  drop_timed(s);
  FbsMotion m = fbs_read_motion(s);
  fbs_motion_restart(&m, s.wave_begin.load(), loops, frames,
                     s.paused.load() == 0 && s.muted.load() == 0);
  fbs_write_motion(s, m);
  guard_leave(s);
  return 1;
}

// A request's frame is compared with another's on the wrapping 32-bit clock.
static bool frame_before(uint32_t a, uint32_t b) { return (int32_t)(a - b) < 0; }

extern "C" int32_t FBS_CALL FBS_PLAY_SOUND_AT(int32_t sound, int32_t loops, int32_t frames,
                                              uint32_t at, float volume, float speed) {
  if (!fbs_sound_valid(sound)) return 0;
  FbsSound& s = fbs_sounds[sound];
  frames = limit_ramp(frames);
  undamp(s);
  timed_enter(s);
  // An end waiting for a frame from this one on belongs to what this start
  // replaces; one before it still comes first.
  uint32_t end = s.end_id.load();
  if (end != 0 && end != s.ended_id.load() && !frame_before(s.end_at.load(), at)) s.end_id.store(0);
  s.start_at.store(at);
  s.start_loops.store(loops < 1 ? 2147483647 : loops);
  s.start_ramp.store(frames);
  s.start_volume.store(volume < 0.0f ? -1.0f : limit_volume(volume));
  s.start_speed.store(speed == 0.0f || std::isnan(speed) ? 0.0f : limit_speed(speed));
  s.start_id.store(new_timed_id());
  timed_leave(s);
  fbs_timed_starts.fetch_add(1u, std::memory_order_release);
  return 1;
}

extern "C" int32_t FBS_CALL FBS_END_SOUND_AT(int32_t sound, int32_t frames, uint32_t at) {
  if (!fbs_sound_valid(sound)) return 0;
  FbsSound& s = fbs_sounds[sound];
  frames = limit_ramp(frames);
  timed_enter(s);
  bool start_waits = fbs_start_waits(s);
  bool plays = s.loops.load() >= 1 && s.paused.load() == 0;
  if (!plays && !start_waits) {
    timed_leave(s);
    return 0;
  }
  uint32_t end = s.end_id.load();
  bool end_waits = end != 0 && end != s.ended_id.load();
  // The end of what a waiting start begins comes after that start. An end
  // already waiting for the same sounding stays, as a running ramp does;
  // one of the sounding the start replaces gives way.
  if (start_waits && frame_before(at, s.start_at.load())) at = s.start_at.load();
  if (end_waits && start_waits && frame_before(s.end_at.load(), s.start_at.load())) end_waits = false;
  if (!end_waits) {
    s.end_at.store(at);
    s.end_ramp.store(frames);
    s.end_id.store(new_timed_id());
  }
  timed_leave(s);
  return 1;
}

extern "C" int32_t FBS_CALL FBS_DESTROY_SOUND(int32_t* sound) {
  if (!sound || !fbs_sound_valid(*sound)) return 0;
  fbs_sound_free(*sound);
  *sound = -1;
  return 1;
}

extern "C" int32_t FBS_CALL FBS_SET_SOUNDSPEED(int32_t sound, float speed) {
  if (!fbs_sound_valid(sound)) return 0;
  fbs_sounds[sound].speed.store(limit_speed(speed));
  return 1;
}

extern "C" int32_t FBS_CALL FBS_SET_SOUNDVOLUME(int32_t sound, float volume) {
  if (!fbs_sound_valid(sound)) return 0;
  fbs_sounds[sound].volume.store(limit_volume(volume));
  return 1;
}

// A damping change for the mixer (damp_next): the per-frame gain's float
// bits above the frame, the sign bit of the gain (always positive) set for
// a change at once.
static int32_t ask_damping(int32_t sound, float seconds, uint32_t at, bool at_once) {
  if (!fbs_sound_valid(sound)) return 0;
  int32_t rate = fbs_out_rate();
  float step = 1.0f;
  // 60 dB in `seconds`: 10^(-3 / frames) a frame.
  if (seconds > 0.0f && rate > 0) step = (float)std::pow(10.0, -3.0 / ((double)seconds * rate));
  uint32_t bits;
  std::memcpy(&bits, &step, sizeof bits);
  if (at_once) bits |= 0x80000000u;
  fbs_sounds[sound].damp_next.store((uint64_t)bits << 32 | at);
  return 1;
}

extern "C" int32_t FBS_CALL FBS_SET_SOUNDDAMPING(int32_t sound, float seconds) {
  return ask_damping(sound, seconds, 0, true);
}

extern "C" int32_t FBS_CALL FBS_SET_SOUNDDAMPING_AT(int32_t sound, float seconds, uint32_t at) {
  return ask_damping(sound, seconds, at, false);
}

extern "C" int32_t FBS_CALL FBS_SET_SOUNDPAN(int32_t sound, float pan) {
  if (!fbs_sound_valid(sound)) return 0;
  store_pan(fbs_sounds[sound], pan);
  return 1;
}

extern "C" int32_t FBS_CALL FBS_SET_SOUNDLOOPS(int32_t sound, int32_t loops) {
  if (!fbs_sound_valid(sound)) return 0;
  FbsSound& s = fbs_sounds[sound];
  guard_enter(s);
  s.loops.store(loops < 0 ? 2147483647 : loops);
  cancel_ramps(s);
  guard_leave(s);
  return 1;
}

extern "C" int32_t FBS_CALL FBS_SET_SOUNDMUTED(int32_t sound, int32_t muted) {
  if (!fbs_sound_valid(sound)) return 0;
  fbs_sounds[sound].muted.store(muted);
  return 1;
}

extern "C" int32_t FBS_CALL FBS_SET_SOUNDPAUSED(int32_t sound, int32_t paused) {
  if (!fbs_sound_valid(sound)) return 0;
  fbs_sounds[sound].paused.store(paused);
  return 1;
}

extern "C" int32_t FBS_CALL FBS_GET_SOUNDSPEED(int32_t sound, float* speed) {
  if (!speed || !fbs_sound_valid(sound)) return 0;
  *speed = fbs_sounds[sound].speed.load();
  return 1;
}

extern "C" int32_t FBS_CALL FBS_GET_SOUNDVOLUME(int32_t sound, float* volume) {
  if (!volume || !fbs_sound_valid(sound)) return 0;
  *volume = fbs_sounds[sound].volume.load();
  return 1;
}

extern "C" int32_t FBS_CALL FBS_GET_SOUNDPAN(int32_t sound, float* pan) {
  if (!pan || !fbs_sound_valid(sound)) return 0;
  *pan = fbs_sounds[sound].pan.load();
  return 1;
}

extern "C" int32_t FBS_CALL FBS_GET_SOUNDLOOPS(int32_t sound, int32_t* loops) {
  if (!loops || !fbs_sound_valid(sound)) return 0;
  *loops = fbs_sounds[sound].loops.load();
  return 1;
}

extern "C" int32_t FBS_CALL FBS_GET_SOUNDMUTED(int32_t sound, int32_t* muted) {
  if (!muted || !fbs_sound_valid(sound)) return 0;
  *muted = fbs_sounds[sound].muted.load();
  return 1;
}

extern "C" int32_t FBS_CALL FBS_GET_SOUNDPAUSED(int32_t sound, int32_t* paused) {
  if (!paused || !fbs_sound_valid(sound)) return 0;
  *paused = fbs_sounds[sound].paused.load();
  return 1;
}

extern "C" int32_t FBS_CALL FBS_GET_SOUNDPOINTERS(int32_t sound, void** start, void** play,
                                                  void** end) {
  if (!fbs_sound_valid(sound)) return 0;
  const FbsSound& s = fbs_sounds[sound];
  if (start) *start = s.start.load();
  if (play) *play = s.play.load();
  if (end) *end = s.end.load();
  return 1;
}

// Keeps start and end inside the wave with 4 bytes between the edges. A wave
// shorter than 8 bytes cannot give those margins; its pointers are then
// held to the wave's own bounds so no kernel ever reads outside it.
extern "C" int32_t FBS_CALL FBS_SET_SOUNDPOINTERS(int32_t sound, void* start, void* play,
                                                  void* end) {
  if (!fbs_sound_valid(sound)) return 0;
  FbsSound& s = fbs_sounds[sound];
  uint8_t* begin = s.wave_begin.load();
  uint8_t* wave_end = s.wave_end.load();
  uint8_t* sp = static_cast<uint8_t*>(start);
  uint8_t* pp = static_cast<uint8_t*>(play);
  uint8_t* ep = static_cast<uint8_t*>(end);
  guard_enter(s);
  uint8_t* new_start = s.start.load();
  uint8_t* new_end = s.end.load();
  uint8_t* new_play = s.play.load();
  if (sp) {
    if (sp < begin) new_start = begin;
    else if (sp >= wave_end) new_start = wave_end - 4;
    else new_start = sp;
    if (new_start < begin) new_start = begin;
  }
  if (ep) {
    if (ep <= begin) new_end = begin + 4;
    else if (ep > wave_end) new_end = wave_end;
    else new_end = ep;
    if (new_end > wave_end) new_end = wave_end;
  }
  if (new_start > new_end) {
    uint8_t* t = new_start;
    new_start = new_end;
    new_end = t;
  }
  if (pp) {
    if (pp <= new_start) new_play = new_start;
    else if (pp > new_end) new_play = new_end;
    else new_play = pp;
  } else if (new_play >= new_end) {
    new_play = new_start;
  }
  s.start.store(new_start);
  s.end.store(new_end);
  if (new_play != s.play.load()) s.phase.store(0);
  s.play.store(new_play);
  cancel_ramps(s);
  guard_leave(s);
  return 1;
}

// Milliseconds left in the loop region at the sound's speed, times the loops
// when more than one. A speed too small to give a whole frame per second
// reports the longest length, as does a product beyond 32 bits.
extern "C" int32_t FBS_CALL FBS_GET_SOUNDLENGTH(int32_t sound, int32_t* milliseconds) {
  if (!milliseconds || !fbs_sound_valid(sound)) return 0;
  const FbsSound& s = fbs_sounds[sound];
  int32_t framesize = fbs_out_framesize();
  int32_t rate = fbs_out_rate();
  if (framesize <= 0) return 0;
  int64_t frames = (s.end.load() - s.start.load()) / framesize;
  int64_t divisor = static_cast<int64_t>(std::floor(static_cast<double>(s.speed.load()) * rate));
  int64_t ms = divisor == 0 ? INT32_MAX : frames * 1000 / divisor;
  int32_t loops = s.loops.load();
  // Held to 32 bits before the loops multiply it, so the product fits 64.
  if (ms > INT32_MAX) ms = INT32_MAX;
  if (ms < INT32_MIN) ms = INT32_MIN;
  if (loops > 1) ms *= loops;
  if (ms > INT32_MAX) ms = INT32_MAX;
  if (ms < INT32_MIN) ms = INT32_MIN;
  *milliseconds = static_cast<int32_t>(ms);
  return 1;
}

extern "C" int32_t FBS_CALL FBS_SET_SOUNDCALLBACK(int32_t sound, FbsBlockCallback callback) {
  if (!fbs_sound_valid(sound)) return 0;
  FbsSound& s = fbs_sounds[sound];
  s.callback_enabled.store(0);
  s.callback.store(callback);
  return 1;
}

extern "C" int32_t FBS_CALL FBS_ENABLE_SOUNDCALLBACK(int32_t sound) {
  if (!fbs_sound_valid(sound) || !fbs_sounds[sound].callback.load()) return 0;
  fbs_sounds[sound].callback_enabled.store(1);
  return 1;
}

extern "C" int32_t FBS_CALL FBS_DISABLE_SOUNDCALLBACK(int32_t sound) {
  if (!fbs_sound_valid(sound) || !fbs_sounds[sound].callback.load()) return 0;
  fbs_sounds[sound].callback_enabled.store(0);
  return 1;
}

// ---- Master callback ----

std::atomic<FbsBlockCallback> fbs_master_callback{nullptr};
std::atomic<int32_t> fbs_master_callback_on{0};

extern "C" int32_t FBS_CALL FBS_SET_MASTERCALLBACK(FbsBlockCallback callback) {
  if (!fbs_initialised.load()) return 0;
  fbs_master_callback_on.store(0);
  fbs_master_callback.store(callback);
  return 1;
}

extern "C" int32_t FBS_CALL FBS_ENABLE_MASTERCALLBACK(void) {
  if (!fbs_initialised.load()) {
    fbs_master_callback_on.store(0);
    return 0;
  }
  fbs_master_callback_on.store(1);
  return 1;
}

extern "C" int32_t FBS_CALL FBS_DISABLE_MASTERCALLBACK(void) {
  fbs_master_callback_on.store(0);
  return fbs_initialised.load() && fbs_master_callback.load() != nullptr ? 1 : 0;
}
