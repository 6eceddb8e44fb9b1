// SPDX-License-Identifier: GPL-3.0-or-later
// What moves as a sound plays: its position, loops and de-click ramps, and
// the ids of the timed requests carried out. The entry points change it
// under the sound's write guard (sounds.cpp); the mixer works on a copy and
// writes it back (mixer.cpp). Both start and end a sound through the two
// functions below, so a start or an end at a frame inside a block does what
// the same call does between blocks.
#pragma once
#include <cstdint>

#include "engine/engine_state.h"
#include "engine/kernel_table.h"

struct FbsMotion {
  uint8_t* play;
  uint32_t phase;
  int32_t loops;
  int32_t fade_left, fade_step;
  uint8_t* tail_play;
  uint32_t tail_phase;
  int32_t tail_loops, tail_left, tail_step;
  float tail_volume, heard_volume;
  float tail_speed, heard_speed;
  uint32_t started_id, ended_id;
};

// Sequentially consistent loads: the mixer's copy must see what a thread
// detached before fbs_fill_quiesce found no fill running.
inline FbsMotion fbs_read_motion(const FbsSound& s) {
  const auto o = std::memory_order_seq_cst;
  return FbsMotion{s.play.load(o),       s.phase.load(o),      s.loops.load(o),
                   s.fade_left.load(o),  s.fade_step.load(o),  s.tail_play.load(o),
                   s.tail_phase.load(o), s.tail_loops.load(o), s.tail_left.load(o),
                   s.tail_step.load(o),  s.tail_volume.load(o), s.heard_volume.load(o),
                   s.tail_speed.load(o), s.heard_speed.load(o),
                   s.started_id.load(o), s.ended_id.load(o)};
}

// Under the write guard (`moved` odd), which publishes the stores.
inline void fbs_write_motion(FbsSound& s, const FbsMotion& m) {
  const auto o = std::memory_order_relaxed;
  s.play.store(m.play, o);
  s.phase.store(m.phase, o);
  s.loops.store(m.loops, o);
  s.fade_left.store(m.fade_left, o);
  s.fade_step.store(m.fade_step, o);
  s.tail_play.store(m.tail_play, o);
  s.tail_phase.store(m.tail_phase, o);
  s.tail_loops.store(m.tail_loops, o);
  s.tail_left.store(m.tail_left, o);
  s.tail_step.store(m.tail_step, o);
  s.tail_volume.store(m.tail_volume, o);
  s.heard_volume.store(m.heard_volume, o);
  s.tail_speed.store(m.tail_speed, o);
  s.heard_speed.store(m.heard_speed, o);
  s.started_id.store(m.started_id, o);
  s.ended_id.store(m.ended_id, o);
}

// FBS_PLAY_SOUND_RAMPED on a motion: from the wave's first sample with
// `loops` passes; a sound being heard (`audible`: playing, not paused or
// muted) goes on fading out over `frames` frames at the volume and the speed
// it was heard with, or over what is left of a ramped end, under the new
// start: a sound taken over by another key or level keeps its own tail.
inline void fbs_motion_restart(FbsMotion* m, uint8_t* wave_begin, int32_t loops, int32_t frames,
                               bool audible) {
  int32_t tail_left = 0;
  audible = audible && frames > 0 && m->loops >= 1;
  if (audible && m->heard_volume < 0.0f) {
    // Restarted again before the mixer rendered the last start: nothing of
    // that start was heard, and the waveform falling since then goes on.
    tail_left = m->tail_left;
  } else if (audible) {
    // The weight the sound is heard with now: full, less a crossfade's
    // falling waveform (dropped: only the newer one goes on), times a
    // ramped end. The old waveform falls from there to 0 over the ramp, or
    // over what is left of a ramped end, which keeps its slope.
    int32_t weight = kFadeUnit;
    if (m->tail_left > 0) weight -= fade_weight(m->tail_left, m->tail_step);
    tail_left = frames;
    if (m->fade_step > 0) {
      tail_left = m->fade_left;
      weight = weight * fade_weight(tail_left, m->fade_step) / kFadeUnit;
    }
    if (weight > 0 && tail_left > 0) {
      m->tail_play = m->play;
      m->tail_phase = m->phase;
      m->tail_loops = m->loops;
      m->tail_step = (int32_t)(((int64_t)weight << 16) / tail_left);
      m->tail_volume = m->heard_volume;
      m->tail_speed = m->heard_speed;
    } else {
      tail_left = 0;
    }
  }
  m->play = wave_begin;
  m->phase = 0;
  m->loops = loops < 1 ? 2147483647 : loops;
  m->fade_left = m->fade_step = 0;
  m->tail_left = tail_left;
  m->heard_volume = -1.0f;
}

// FBS_END_SOUND_RAMPED on a motion: a playing sound falls to silence over
// `frames` frames and then ends; a ramp already running is left alone.
// False when the sound does not play.
inline bool fbs_motion_end(FbsMotion* m, int32_t frames) {
  if (m->loops < 1) return false;
  if (m->fade_step == 0) {
    m->fade_left = frames;
    // A ramp of 0 frames still needs a step to be marked as running.
    m->fade_step = frames > 0 ? kFadeFull / frames : 1;
  }
  return true;
}
