// SPDX-License-Identifier: GPL-3.0-or-later
// The mixer: fbs_fill renders one output block on the plug-in's thread. It
// takes the stream's block, renders every playing sound into its own mix
// buffer, sums the blocks with saturation, applies the master volume and
// hands the block to the master callback. It never allocates, locks or waits.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

#include "engine/engine_state.h"
#include "engine/kernel_table.h"
#include "engine/kernels.h"
#include "engine/kernels_resample.h"
#include "engine/mixer_test_hook.h"
#include "engine/sound_motion.h"

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

// A slot that does not play yet but has a start waiting for its frame.
static bool slot_waiting(const FbsSound& s) {
  return s.loops.load(std::memory_order_relaxed) < 1 && fbs_start_waits(s) &&
         s.wave_begin.load(std::memory_order_relaxed) != nullptr &&
         s.mix.load(std::memory_order_relaxed) != nullptr &&
         s.paused.load(std::memory_order_relaxed) == 0;
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
static void play_into(uint8_t* dest, uint8_t* begin, uint8_t* start, uint8_t** play, uint32_t* phase,
                      uint8_t* end, int32_t* loops, float speed, int32_t bytes, int family) {
  if (speed == 1.0f) {
    if (dest)
      copy_right.load(std::memory_order_relaxed)(dest, start, play, end, loops, bytes);
    else
      move_right.load(std::memory_order_relaxed)(start, play, end, loops, bytes);
  } else {
    play_resampled(dest, begin, start, play, end, loops, speed, bytes, phase, family,
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

// Below this a damped sound is under half a step of 16 bits at full volume
// (2^-16): it ends.
constexpr float kDampedSilent = 1.0f / 65536.0f;

// Scales the block's frames by a gain that starts at `gain` and is
// multiplied by `rate` every frame, with saturation; returns the gain after
// the last frame. On a null block only the gain moves.
static float scale_damped(uint8_t* block, float gain, float rate, int32_t channels, int32_t frames) {
  int16_t* p = reinterpret_cast<int16_t*>(block);
  for (int32_t f = 0; f < frames; f++) {
    if (p) {
      for (int32_t c = 0; c < channels; c++, p++) {
        long x = std::lrint((float)*p * gain);
        *p = (int16_t)std::max(-32768L, std::min(32767L, x));
      }
    }
    gain *= rate;
  }
  return gain;
}

static int32_t block_offset(uint32_t at, uint32_t clock, int32_t most_ahead);

// A sound's damping (FBS_SET_SOUNDDAMPING) over frames [from, to) of the
// block, just rendered into `block` (null when nothing of them is heard). A
// sound started again (`fresh`: not heard before this part) starts undamped
// at full gain; a change waiting for a frame of the part takes effect there;
// a sound damped out of hearing ends as one whose position reached its end.
static void damp_part(FbsSound& s, FbsMotion& m, bool fresh, uint8_t* block, uint8_t* start,
                      int32_t channels, int32_t from, int32_t to) {
  float rate = fresh ? 1.0f : s.damp_rate.load(std::memory_order_relaxed);
  float gain = fresh ? 1.0f : s.damp_gain.load(std::memory_order_relaxed);
  const uint64_t next = s.damp_next.load(std::memory_order_acquire);
  const bool at_once = (next >> 63) != 0;
  int32_t cut = to;
  if (at_once) {
    cut = from;
  } else if (next != 0) {
    int32_t at = block_offset((uint32_t)next, fbs_block_clock.load(std::memory_order_relaxed), fbs_out_rate());
    if (at < to) cut = std::max(at, from);
  }
  if (rate == 1.0f && gain == 1.0f && cut == to) {
    if (fresh) {
      s.damp_rate.store(1.0f, std::memory_order_relaxed);
      s.damp_gain.store(1.0f, std::memory_order_relaxed);
    }
    return;
  }
  const int32_t framesize = 2 * channels;
  gain = scale_damped(block, gain, rate, channels, cut - from);
  uint64_t taken = next;
  if (cut < to && s.damp_next.compare_exchange_strong(taken, 0)) {
    uint32_t bits = (uint32_t)(next >> 32) & 0x7FFFFFFFu;
    std::memcpy(&rate, &bits, sizeof rate);
  }
  gain = scale_damped(block ? block + (cut - from) * framesize : nullptr, gain, rate, channels, to - cut);
  s.damp_rate.store(rate, std::memory_order_relaxed);
  s.damp_gain.store(gain, std::memory_order_relaxed);
  // A restart's tail carries on at the level last heard.
  if (block) m.heard_volume *= gain;
  if (gain < kDampedSilent && m.loops >= 1) {
    m.loops = 0;
    m.play = start;
    m.phase = 0;
  }
}

// The timed requests of a slot as the mixer last read them.
struct TimedRequests {
  uint32_t start_id, start_at, end_id, end_at;
  int32_t start_loops, start_ramp, end_ramp;
  float start_volume, start_speed;
};

// Reads a slot's requests while no entry point writes them, a bounded number
// of times; none when they are still being written (they are then new, and
// wait for the next block).
static TimedRequests read_requests(const FbsSound& s) {
  for (int tries = 0; tries < kFbsGuardReads; tries++) {
    if (tries > 0) cpu_pause();
    uint32_t g = s.timed_guard.load(std::memory_order_seq_cst);
    if (g & 1u) continue;
    TimedRequests r{s.start_id.load(), s.start_at.load(), s.end_id.load(), s.end_at.load(),
                    s.start_loops.load(), s.start_ramp.load(), s.end_ramp.load(),
                    s.start_volume.load(), s.start_speed.load()};
    if (s.timed_guard.load(std::memory_order_seq_cst) == g) return r;
  }
  return TimedRequests{};
}

// Where frame `at` of the output clock falls in the block that begins at
// `clock`: 0 for a frame already past, and for one more than `most_ahead`
// frames ahead (a clock that is not the output's); the block's frame count
// or more for a later block.
static int32_t block_offset(uint32_t at, uint32_t clock, int32_t most_ahead) {
  int32_t d = (int32_t)(at - clock);
  return d < 0 || d > most_ahead ? 0 : d;
}

// One block of a slot and where it is cut: the slot's copy of its motion,
// its bounds, and the block it renders into.
struct SlotBlock {
  FbsSound* s;
  FbsMotion m;
  uint8_t *begin, *wave_end, *start, *end, *mix, *scratch;
  float speed, volume;
  bool muted;
  int32_t channels, framesize;
  int family;
};

// Applies the slot's ramps to the `frames` frames just rendered into block
// (null when the sound is muted): first the crossfade, whose falling
// waveform is rendered into the slot's scratch, then the ramped end, which
// ends the sound after its last frame. Returns the block the slot adds, or
// null.
static uint8_t* apply_ramps(SlotBlock& b, uint8_t* block, int32_t frames) {
  FbsMotion& r = b.m;
  const int32_t framesize = b.framesize;
  if (r.tail_left > 0) {
    int32_t m = std::min(frames, r.tail_left);
    if (block) {
      // The falling waveform goes on at the speed it was heard with, which
      // a sound taken over by another key no longer has.
      const float tail_speed = r.tail_speed != 0.0f ? r.tail_speed : b.speed;
      resume_position(&r.tail_play, &r.tail_phase, &r.tail_loops, b.begin, b.wave_end, b.start, b.end,
                      tail_speed);
      if (r.tail_loops >= 1) {
        play_into(b.scratch, b.begin, b.start, &r.tail_play, &r.tail_phase, b.end, &r.tail_loops, tail_speed,
                  m * framesize, b.family);
        shape_block(*b.s, b.scratch, r.tail_volume, b.channels, m * framesize);
      } else {
        ZERO(b.scratch, m * framesize);
      }
      kernels()->xfade16(block, b.scratch, r.tail_left, r.tail_step, b.channels, (size_t)m);
    }
    r.tail_left -= m;
  }
  if (r.fade_step > 0) {
    int32_t m = std::min(frames, r.fade_left);
    if (block && m > 0) kernels()->fade16(block, r.fade_left, r.fade_step, b.channels, (size_t)m);
    r.fade_left -= m;
    if (r.fade_left == 0) {
      // The ramp is over: the sound ends as one whose position reached its end.
      r.loops = 0;
      r.play = b.start;
      r.phase = 0;
      if (block && m == 0)
        block = nullptr;
      else if (block && m < frames)
        ZERO(block + m * framesize, (frames - m) * framesize);
    }
  }
  return block;
}

// Renders frames [from, to) of the block (or, muted, only advances over
// them); a part where nothing is heard is zeroed. True when something of it
// is heard.
static bool render_part(SlotBlock& b, int32_t from, int32_t to) {
  if (to <= from) return false;
  FbsMotion& m = b.m;
  const int32_t frames = to - from;
  int32_t bytes = frames * b.framesize;
  uint8_t* dest = b.mix ? b.mix + from * b.framesize : nullptr;
  uint8_t* heard = nullptr;
  if (m.loops >= 1) {
    if (b.start >= b.end)
      m.loops = 0;  // an empty loop region has nothing to play: the sound ends, as one with no data does
    else
      resume_position(&m.play, &m.phase, &m.loops, b.begin, b.wave_end, b.start, b.end, b.speed);
  }
  if (m.loops >= 1) {
    const bool fresh = m.heard_volume < 0.0f;
    if (!b.muted) {
      play_into(dest, b.begin, b.start, &m.play, &m.phase, b.end, &m.loops, b.speed, bytes, b.family);
      shape_block(*b.s, dest, b.volume, b.channels, bytes);
      m.heard_volume = b.volume;
      m.heard_speed = b.speed;
      heard = dest;
    } else {
      play_into(nullptr, b.begin, b.start, &m.play, &m.phase, b.end, &m.loops, b.speed, bytes, b.family);
    }
    damp_part(*b.s, m, fresh, heard, b.start, b.channels, from, to);
    if (m.fade_step > 0 || m.tail_left > 0)
      heard = apply_ramps(b, heard, frames);
  }
  if (m.loops < 1) m.fade_left = m.fade_step = m.tail_left = 0;
  if (!heard && dest) ZERO(dest, bytes);
  return heard != nullptr;
}

// Renders (or, muted, only advances) one slot that plays or has a start
// waiting; returns its mix buffer when it adds a block, else null. A start
// or an end asked for at a frame inside the block cuts it there: the part
// before plays as the slot stood, the part after as the request left it.
// Works on a consistent copy of the position fields and writes the new
// position back only when no entry point moved the sound meanwhile (see the
// guard in sounds.cpp). Its reads are sequentially consistent: after the
// fill's opening count they must see what a thread detached before
// fbs_fill_quiesce found no fill running (on x86 they cost what acquire
// reads cost). Scratch is a block of size bytes the slot may use meanwhile.
static uint8_t* render_slot(FbsSound& s, int32_t size, int32_t channels, uint8_t* scratch,
                            int family, uint32_t clock, int32_t most_ahead) {
  // An entry point writing the position holds `moved` odd for a handful of
  // stores: read again a bounded number of times before the sound sits out
  // this block, which would be a gap in a sounding voice.
  uint32_t seen = 0;
  SlotBlock b{};
  b.s = &s;
  FbsGuardReadHook hook = guard_read_hook.load(std::memory_order_relaxed);
  for (int tries = 0;; tries++) {
    if (tries == kFbsGuardReads) return nullptr;  // still being written: skip one block
    if (tries > 0) cpu_pause();
    if (hook) hook(static_cast<int32_t>(&s - fbs_sounds), tries);
    seen = s.moved.load(std::memory_order_seq_cst);
    if (seen & 1u) continue;
    b.m = fbs_read_motion(s);
    b.start = s.start.load(std::memory_order_seq_cst);
    b.end = s.end.load(std::memory_order_seq_cst);
    if (s.moved.load(std::memory_order_seq_cst) == seen) break;
  }
  // Most blocks of most slots find no request: two loads tell.
  TimedRequests r{};
  uint32_t start_id = s.start_id.load(std::memory_order_relaxed);
  uint32_t end_id = s.end_id.load(std::memory_order_relaxed);
  if ((start_id != 0 && start_id != b.m.started_id) || (end_id != 0 && end_id != b.m.ended_id))
    r = read_requests(s);
  b.begin = s.wave_begin.load(std::memory_order_seq_cst);
  b.wave_end = s.wave_end.load(std::memory_order_seq_cst);
  uint8_t* mix = s.mix.load(std::memory_order_seq_cst);
  int32_t capacity = s.mix_capacity.load(std::memory_order_seq_cst);
  b.speed = s.speed.load(std::memory_order_relaxed);
  b.volume = s.volume.load(std::memory_order_relaxed);
  b.muted = s.muted.load(std::memory_order_relaxed) != 0;
  b.channels = channels;
  b.framesize = 2 * channels;
  b.family = family;
  b.scratch = scratch;
  const int32_t frames = size / b.framesize;

  // The requests due in this block, in the order of their frames: an end
  // asked for while a start waited falls on or after that start; an end
  // before a start that waits for a later block waits too.
  bool start_due = r.start_id != 0 && r.start_id != b.m.started_id;
  bool end_due = r.end_id != 0 && r.end_id != b.m.ended_id;
  bool end_first = end_due && (!start_due || (int32_t)(r.end_at - r.start_at) < 0);
  int32_t start_cut = start_due ? block_offset(r.start_at, clock, most_ahead) : frames;
  int32_t end_cut = end_due ? block_offset(r.end_at, clock, most_ahead) : frames;
  if (start_due && start_cut >= frames) {
    start_due = false;
    if (!end_first) end_due = false;
  }
  if (end_due && end_cut >= frames) end_due = false;
  if (start_due && end_due) {
    if (end_first)
      start_cut = std::max(start_cut, end_cut);
    else
      end_cut = std::max(end_cut, start_cut);
  }

  // Pointers outside the wave (a sound torn down meanwhile) are never read.
  if (!b.begin || !mix || b.start < b.begin || b.end > b.wave_end) return nullptr;
  if (b.m.loops < 1 && !start_due) return nullptr;
  if (!b.muted && capacity < size) return nullptr;
  b.mix = b.muted ? nullptr : mix;

  // At most two cuts, in order.
  struct Cut {
    int32_t at;
    bool start;
  } cuts[2];
  int count = 0;
  if (end_due && end_first) cuts[count++] = {end_cut, false};
  if (start_due) cuts[count++] = {start_cut, true};
  if (end_due && !end_first) cuts[count++] = {end_cut, false};
  bool heard = false;
  bool started = false;
  int32_t at = 0;
  for (int i = 0; i < count; i++) {
    heard |= render_part(b, at, cuts[i].at);
    at = cuts[i].at;
    if (cuts[i].start) {
      // The old sounding keeps its own volume and speed up to the cut and
      // in its falling tail; the new one plays with the start's from here.
      fbs_motion_restart(&b.m, b.begin, r.start_loops, r.start_ramp, !b.muted);
      b.m.started_id = r.start_id;
      if (r.start_volume >= 0.0f) b.volume = r.start_volume;
      if (r.start_speed != 0.0f) b.speed = r.start_speed;
      started = true;
    } else {
      fbs_motion_end(&b.m, r.end_ramp);
      b.m.ended_id = r.end_id;
    }
  }
  heard |= render_part(b, at, frames);

  if (s.moved.compare_exchange_strong(seen, seen + 1u, std::memory_order_acquire)) {
    fbs_write_motion(s, b.m);
    if (started) {
      s.volume.store(b.volume, std::memory_order_relaxed);
      s.speed.store(b.speed, std::memory_order_relaxed);
    }
    s.moved.store(seen + 2u, std::memory_order_release);
  }
  return heard && b.mix ? mix : nullptr;
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

  // The output clock's frame at the block's first frame: the device's own
  // clock when its plug-in sets one before the call, else the frames mixed
  // since FBS_INIT (advanced below).
  const uint32_t clock = static_cast<uint32_t>(record->clock_frame);
  const int32_t frames = size / (2 * channels);
  fbs_block_clock.store(clock, std::memory_order_relaxed);
  fbs_block_clock_known.store(1, std::memory_order_relaxed);
  // A frame more than a second ahead is on another clock than the output's.
  const int32_t most_ahead = record->rate;

  // Slots with a start waiting for its frame are looked for only while one
  // may wait: a start was asked for since the last block, or one waited then.
  // Mixer thread only.
  static uint32_t starts_seen = 0;
  static bool starts_waited = false;
  const uint32_t starts = fbs_timed_starts.load(std::memory_order_acquire);
  const bool look = starts != starts_seen || starts_waited;
  starts_seen = starts;

  int32_t slots = fbs_sound_count.load();
  int32_t playing = 0, waiting = 0;
  bool waited = false;
  if (fbs_wave_count.load() > 0 && slots > 0) {
    for (int32_t i = 0; i < slots; i++) {
      const FbsSound& s = fbs_sounds[i];
      if (slot_playing(s)) playing++;
      if (!look || !fbs_start_waits(s)) continue;
      waited = true;
      if (slot_waiting(s)) waiting++;
    }
  }
  starts_waited = waited;
  fbs_playing_sounds.store(playing, std::memory_order_relaxed);
  fbs_playing_streams.store(streams, std::memory_order_relaxed);

  if (playing > 0 || waiting > 0) {
    const int family = fbs_resample_mode.load(std::memory_order_relaxed);
    int32_t limit = fbs_max_channels.load(std::memory_order_relaxed);
    if (limit < 1) limit = 1;
    if (limit > kBlockListSize - 1) limit = kBlockListSize - 1;
    for (int32_t i = 0; i < slots; i++) {
      FbsSound& s = fbs_sounds[i];
      if (slot_playing(s) || (look && slot_waiting(s))) {
        // The output block is free until the blocks are summed into it.
        uint8_t* block = render_slot(s, size, channels, out, family, clock, most_ahead);
        if (block) blocks[count++] = block;
      }
      // An unkept sound that has ended gives its slot back (its mix buffer
      // stays for the next sound placed there). Read in the reverse order of
      // a slot's set-up (keep 1, loops 0, wave begin; then loops, and keep 0
      // for an unkept sound): a wave begin that is set means the keep read
      // after it is the new sound's, and a keep of 0 means the loops read
      // after it are the unkept sound's own. Read the other way round, a
      // sound being made on the slot of an ended unkept one could be freed.
      if (s.wave_begin.load() != nullptr && s.keep.load() == 0 && s.loops.load() < 1 &&
          !(look && fbs_start_waits(s))) {
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
  record->clock_frame = static_cast<int32_t>(clock + static_cast<uint32_t>(frames));
  fill_seq.fetch_add(1u);
}
