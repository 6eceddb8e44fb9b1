// SPDX-License-Identifier: GPL-3.0-or-later
// The mixer: fbs_fill renders one output block on the plug-in's thread. It
// takes the stream's block, renders every playing sound into its own mix
// buffer, sums the blocks with saturation, applies the master volume and
// hands the block to the master callback. It never allocates, locks or waits.
#include <algorithm>
#include <cmath>
#include <thread>

#include "engine/engine_state.h"
#include "engine/kernel_table.h"
#include "engine/kernels.h"
#include "engine/kernels_resample.h"
#include "engine/mixer_test_hook.h"

// Blocks one fill may sum: the stream's plus one per channel at the highest
// channel limit (256).
constexpr int kBlockListSize = 257;


// A short wait inside a spin, easing the core for the writer it waits on.
static inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Block routines for the output channel count, installed by FBS_INIT while
// output is stopped and read by the mixer.
static std::atomic<FbsCopyRightFn> copy_right{COPYRIGHT32};
static std::atomic<FbsMoveRightFn> move_right{MOVERIGHT32};
static std::atomic<int32_t> slice_unit{4};  // bytes a speed-stepped sound steps over
static std::atomic<int32_t> pan_on{1};  // mono output skips panning

// Null but in tests (mixer_test_hook.h).
static std::atomic<FbsGuardReadHook> guard_read_hook{nullptr};

void fbs_set_guard_read_hook(FbsGuardReadHook hook) { guard_read_hook.store(hook); }

// Fill calls begun plus fill calls ended: odd while a fill runs. Lets other
// threads wait until memory they detached is no longer in use.
static std::atomic<uint32_t> fill_seq{0};

void fbs_install_routines(int32_t channels) {
  bool mono = channels == 1;
  copy_right.store(mono ? COPYRIGHT16 : COPYRIGHT32);
  move_right.store(mono ? MOVERIGHT16 : MOVERIGHT32);
  slice_unit.store(mono ? 2 : 4);
  pan_on.store(mono ? 0 : 1);
}

void fbs_fill_quiesce(void) {
  uint32_t seq = fill_seq.load();
  if ((seq & 1u) == 0) return;
  while (fill_seq.load() == seq) std::this_thread::yield();
}

// The stream file replaces this when it is linked in: no stream, no block.
__attribute__((weak)) int fbs_stream_fill_step(int32_t size, uint8_t** block) {
  (void)size;
  *block = nullptr;
  return 0;
}

static bool slot_playing(const FbsSound& s) {
  return s.loops.load(std::memory_order_relaxed) >= 1 &&
         s.wave_begin.load(std::memory_order_relaxed) != nullptr &&
         s.mix.load(std::memory_order_relaxed) != nullptr &&
         s.paused.load(std::memory_order_relaxed) == 0;
}

// A slot's ramps (engine_state.h), copied with its position and written back
// with it.
struct SlotRamps {
  int32_t fade_left, fade_step;
  uint8_t* tail_play;
  uint32_t tail_phase;
  int32_t tail_loops, tail_left, tail_step;
  float tail_volume, heard_volume;
};

static SlotRamps read_ramps(const FbsSound& s) {
  const auto o = std::memory_order_seq_cst;
  return SlotRamps{s.fade_left.load(o),  s.fade_step.load(o),   s.tail_play.load(o),
                   s.tail_phase.load(o), s.tail_loops.load(o),  s.tail_left.load(o),
                   s.tail_step.load(o),  s.tail_volume.load(o), s.heard_volume.load(o)};
}

static void write_ramps(FbsSound& s, const SlotRamps& r) {
  const auto o = std::memory_order_relaxed;
  s.fade_left.store(r.fade_left, o);
  s.fade_step.store(r.fade_step, o);
  s.tail_play.store(r.tail_play, o);
  s.tail_phase.store(r.tail_phase, o);
  s.tail_loops.store(r.tail_loops, o);
  s.tail_left.store(r.tail_left, o);
  s.heard_volume.store(r.heard_volume, o);
}

// A routine that stopped a sound leaves the position where its last step
// took it, which may lie outside the wave: a sound given loops again from
// there goes on from the edge of the loop it had passed. A forward position
// at or past the loop end has finished its pass; the routine would read the
// sample at `end` first, which may lie past the wave. A position moved here
// starts with no fraction.
static void resume_position(uint8_t** play, uint32_t* phase, int32_t* loops, uint8_t* begin,
                            uint8_t* wave_end, uint8_t* start, uint8_t* end, float speed) {
  uint8_t* was = *play;
  if (*play > wave_end) *play = end;
  if (*play < begin) *play = start;
  if (speed > 0.0f && *play >= end) {
    *play = start;
    (*loops)--;
  }
  if (*play != was) *phase = 0;
}

// Renders bytes from the position: at speed 1 a copy, else the family's
// kernels (or, with dest null, only the position's move).
static void play_into(uint8_t* dest, uint8_t* start, uint8_t** play, uint32_t* phase, uint8_t* end,
                      int32_t* loops, float speed, int32_t bytes, int family) {
  if (speed == 1.0f) {
    if (dest)
      copy_right.load(std::memory_order_relaxed)(dest, start, play, end, loops, bytes);
    else
      move_right.load(std::memory_order_relaxed)(start, play, end, loops, bytes);
  } else {
    play_resampled(dest, start, play, end, loops, speed, bytes, phase, family,
                   slice_unit.load(std::memory_order_relaxed));
  }
}

// The sound's volume, then its pan on stereo output.
static void shape_block(const FbsSound& s, uint8_t* block, float volume, int32_t channels,
                        int32_t bytes) {
  if (volume != 1.0f) SCALE16(block, block, volume, bytes);
  float pan = s.pan.load(std::memory_order_relaxed);
  if (channels == 2 && pan_on.load(std::memory_order_relaxed) && std::fabs(pan) > kFbsPanThreshold)
    PAN16(block, block, s.left_gain.load(std::memory_order_relaxed),
          s.right_gain.load(std::memory_order_relaxed), bytes);
}

// Applies a slot's ramps to the block just rendered (null when the sound is
// muted): first the crossfade, whose falling waveform is rendered into
// scratch, then the ramped end, which ends the sound after its last frame.
// Returns the block the slot adds, or null.
static uint8_t* apply_ramps(const FbsSound& s, SlotRamps& r, uint8_t* block, uint8_t* scratch,
                            uint8_t* begin, uint8_t* wave_end, uint8_t* start, uint8_t* end,
                            float speed, int32_t size, int32_t channels, uint8_t** play,
                            uint32_t* phase, int32_t* loops, int family) {
  const int32_t framesize = 2 * channels;
  const int32_t frames = size / framesize;
  if (r.tail_left > 0) {
    int32_t m = std::min(frames, r.tail_left);
    if (block) {
      resume_position(&r.tail_play, &r.tail_phase, &r.tail_loops, begin, wave_end, start, end,
                      speed);
      if (r.tail_loops >= 1) {
        play_into(scratch, start, &r.tail_play, &r.tail_phase, end, &r.tail_loops, speed,
                  m * framesize, family);
        shape_block(s, scratch, r.tail_volume, channels, m * framesize);
      } else {
        ZERO(scratch, m * framesize);
      }
      kernels()->xfade16(block, scratch, r.tail_left, r.tail_step, channels, (size_t)m);
    }
    r.tail_left -= m;
  }
  if (r.fade_step > 0) {
    int32_t m = std::min(frames, r.fade_left);
    if (block && m > 0) kernels()->fade16(block, r.fade_left, r.fade_step, channels, (size_t)m);
    r.fade_left -= m;
    if (r.fade_left == 0) {
      // The ramp is over: the sound ends as one whose position reached its end.
      *loops = 0;
      *play = start;
      *phase = 0;
      if (block && m == 0)
        block = nullptr;
      else if (block && m < frames)
        ZERO(block + m * framesize, (frames - m) * framesize);
    }
  }
  return block;
}

// Renders (or, muted, only advances) one playing slot; returns its mix
// buffer when it adds a block, else null. Works on a consistent copy of the
// position fields and writes the new position back only when no entry point
// moved the sound meanwhile (see the guard in sounds.cpp). Its reads are
// sequentially consistent: after the fill's opening count they must see what
// a thread detached before fbs_fill_quiesce found no fill running (on x86
// they cost what acquire reads cost). Scratch is a block of size bytes the
// slot may use meanwhile.
static uint8_t* render_slot(FbsSound& s, int32_t size, int32_t channels, uint8_t* scratch,
                            int family) {
  // An entry point writing the position holds `moved` odd for a handful of
  // stores: read again a bounded number of times before the sound sits out
  // this block, which would be a gap in a sounding voice.
  uint32_t seen = 0;
  uint8_t* play = nullptr;
  uint32_t phase = 0;
  int32_t loops = 0;
  uint8_t* start = nullptr;
  uint8_t* end = nullptr;
  SlotRamps ramps{};
  FbsGuardReadHook hook = guard_read_hook.load(std::memory_order_relaxed);
  for (int tries = 0;; tries++) {
    if (tries == kFbsGuardReads) return nullptr;  // still being written: skip one block
    if (tries > 0) cpu_pause();
    if (hook) hook(static_cast<int32_t>(&s - fbs_sounds), tries);
    seen = s.moved.load(std::memory_order_seq_cst);
    if (seen & 1u) continue;
    play = s.play.load(std::memory_order_seq_cst);
    phase = s.phase.load(std::memory_order_seq_cst);
    loops = s.loops.load(std::memory_order_seq_cst);
    start = s.start.load(std::memory_order_seq_cst);
    end = s.end.load(std::memory_order_seq_cst);
    ramps = read_ramps(s);
    if (s.moved.load(std::memory_order_seq_cst) == seen) break;
  }
  uint8_t* begin = s.wave_begin.load(std::memory_order_seq_cst);
  uint8_t* wave_end = s.wave_end.load(std::memory_order_seq_cst);
  uint8_t* mix = s.mix.load(std::memory_order_seq_cst);
  int32_t capacity = s.mix_capacity.load(std::memory_order_seq_cst);
  float speed = s.speed.load(std::memory_order_relaxed);
  bool muted = s.muted.load(std::memory_order_relaxed) != 0;
  // Pointers outside the wave (a sound torn down meanwhile) are never read.
  if (!begin || !mix || loops < 1 || start < begin || end > wave_end) return nullptr;
  if (start >= end)
    loops = 0;  // an empty loop region has nothing to play: the sound ends, as one with no data does
  else
    resume_position(&play, &phase, &loops, begin, wave_end, start, end, speed);
  uint8_t* block = nullptr;
  if (loops >= 1) {
    if (!muted) {
      if (capacity < size) return nullptr;
      play_into(mix, start, &play, &phase, end, &loops, speed, size, family);
      float volume = s.volume.load(std::memory_order_relaxed);
      shape_block(s, mix, volume, channels, size);
      ramps.heard_volume = volume;
      block = mix;
    } else {
      play_into(nullptr, start, &play, &phase, end, &loops, speed, size, family);
    }
    if (ramps.fade_step > 0 || ramps.tail_left > 0)
      block = apply_ramps(s, ramps, block, scratch, begin, wave_end, start, end, speed, size,
                          channels, &play, &phase, &loops, family);
  }
  if (loops < 1) ramps.fade_left = ramps.fade_step = ramps.tail_left = 0;
  if (s.moved.compare_exchange_strong(seen, seen + 1u, std::memory_order_acquire)) {
    s.play.store(play, std::memory_order_relaxed);
    s.phase.store(phase, std::memory_order_relaxed);
    s.loops.store(loops, std::memory_order_relaxed);
    write_ramps(s, ramps);
    s.moved.store(seen + 2u, std::memory_order_release);
  }
  return block;
}

extern "C" void FBS_CALL fbs_fill(FbsPlugRecord* record) {
  if (!record || !record->buffer || record->buffersize < 4) return;
  fill_seq.fetch_add(1u);
  uint8_t* out = static_cast<uint8_t*>(record->buffer);
  int32_t size = record->buffersize;
  int32_t channels = record->channels;
  // A shorter block when the plug-in asks for one (its device's period
  // changed); never a longer one than the buffers were sized for.
  if (channels > 0 && record->block_bytes >= 4 && record->block_bytes < size &&
      record->block_bytes % (2 * channels) == 0)
    size = record->block_bytes;
  fbs_played_bytes.fetch_add(size, std::memory_order_relaxed);

  uint8_t* blocks[kBlockListSize];
  int count = 0;
  uint8_t* stream_block = nullptr;
  int32_t streams = fbs_stream_fill_step(size, &stream_block);
  if (stream_block) blocks[count++] = stream_block;

  int32_t slots = fbs_sound_count.load();
  int32_t playing = 0;
  if (fbs_wave_count.load() > 0 && slots > 0) {
    for (int32_t i = 0; i < slots; i++)
      if (slot_playing(fbs_sounds[i])) playing++;
  }
  fbs_playing_sounds.store(playing, std::memory_order_relaxed);
  fbs_playing_streams.store(streams, std::memory_order_relaxed);

  if (playing > 0) {
    const int family = fbs_resample_mode.load(std::memory_order_relaxed);
    int32_t limit = fbs_max_channels.load(std::memory_order_relaxed);
    if (limit < 1) limit = 1;
    if (limit > kBlockListSize - 1) limit = kBlockListSize - 1;
    for (int32_t i = 0; i < slots; i++) {
      FbsSound& s = fbs_sounds[i];
      if (slot_playing(s)) {
        // The output block is free until the blocks are summed into it.
        uint8_t* block = render_slot(s, size, channels, out, family);
        if (block) blocks[count++] = block;
      }
      // An unkept sound that has ended gives its slot back (its mix buffer
      // stays for the next sound placed there). Read in the reverse order of
      // a slot's set-up (keep 1, loops 0, wave begin; then loops, and keep 0
      // for an unkept sound): a wave begin that is set means the keep read
      // after it is the new sound's, and a keep of 0 means the loops read
      // after it are the unkept sound's own. Read the other way round, a
      // sound being made on the slot of an ended unkept one could be freed.
      if (s.wave_begin.load() != nullptr && s.keep.load() == 0 && s.loops.load() < 1) {
        s.wave_begin.store(nullptr);
        s.claimed.store(0);
      }
      if (count >= limit) break;
    }
  }

  if (count == 0) {
    ZERO(out, size);
  } else if (count == 1) {
    COPY(out, blocks[0], size);
  } else {
    MIX16(out, blocks[0], blocks[1], size);
    for (int k = 2; k < count; k++) MIX16(out, out, blocks[k], size);
  }
  float master = fbs_master_volume.load(std::memory_order_relaxed);
  if (master != 1.0f) SCALE16(out, out, master, size);
  FbsBlockCallback callback = fbs_master_callback.load();
  if (callback && fbs_master_callback_on.load())
    callback(reinterpret_cast<int16_t*>(out), channels, size >> channels);
  fill_seq.fetch_add(1u);
}
