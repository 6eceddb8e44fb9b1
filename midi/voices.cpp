// SPDX-License-Identifier: GPL-3.0-or-later
// Voices: note-on with its level, the note-off queue, the sustain pedal and
// bulk silencing. Every entry point holds voice_mutex for its whole run; the
// *_locked helpers expect it held and read the voice registers.
#include "midi/voices.h"

#include <algorithm>
#include <cmath>

#include "core/clock.h"
#include "core/key_samples.h"
#include "core/settings_values.h"
#include "core/shared_state.h"
#include "engine/fbs.h"
#include "midi/midi_input.h"
#include "midi/pedals.h"
#include "midi/voice_layers.h"

std::mutex voice_mutex;
thread_local bool voice_lock_here = false;

VoiceLock::VoiceLock() : took_(!voice_lock_here) {
  if (took_) {
    voice_mutex.lock();
    voice_lock_here = true;
  }
}

VoiceLock::~VoiceLock() {
  if (took_) {
    voice_lock_here = false;
    voice_mutex.unlock();
  }
}

VoiceTryLock::VoiceTryLock() : owns_(!voice_lock_here && voice_mutex.try_lock()) {
  if (owns_) voice_lock_here = true;
}

VoiceTryLock::~VoiceTryLock() {
  if (owns_) {
    voice_lock_here = false;
    voice_mutex.unlock();
  }
}

int sound[kSampleWaves][kSoundsPerSample + 1];
void* sound_start[kSampleWaves][kSoundsPerSample + 1];
void* sound_end[kSampleWaves][kSoundsPerSample + 1];
int voice_key[kSampleWaves][kSoundsPerSample + 1];
int voice_channel[kSampleWaves][kSoundsPerSample + 1];
std::atomic<int> voice_count{0};

int current_channel = 0;
int current_key = 0;
int current_velocity = 0;

int note_count[kKeyCount][kMidiChannels];
int held_by_pedal[kKeyCount][kMidiChannels];
double note_on_time[kKeyCount][kMidiChannels];
uint64_t note_on_order[kKeyCount][kMidiChannels];
uint64_t voice_order = 0;
int64_t ending_frame[kSampleWaves][kSoundsPerSample + 1];
int ending_key[kSampleWaves][kSoundsPerSample + 1];
int ending_channel[kSampleWaves][kSoundsPerSample + 1];

int queue_key[kNoteOffQueueSize + 1];
int queue_channel[kNoteOffQueueSize + 1];
double queue_time[kNoteOffQueueSize + 1];
int64_t queue_frame[kNoteOffQueueSize + 1];
uint64_t queue_order[kNoteOffQueueSize + 1];
int queue_write = 0;
int queue_read = 0;
std::atomic<double> next_due_time{0.0};

float velocity_average = 0.0f;
int note_counter = 0;
int note_counter_mark = 0;

int keys_down[kKeyListSize];
int keys_down_count = 0;
int keys_up[kKeyListSize];
int keys_up_count = 0;
int clear_marks = 0;

namespace {

int next_queue_index(int i) { return i + 1 >= kNoteOffQueueSize ? 0 : i + 1; }

// Frames of the de-click ramp at the output rate.
int declick_frames() { return (int)(FBS_GET_PLUGRATE() * kDeclickSeconds); }

// True while the end asked of sound [w][j] at a frame has not come yet: the
// sound still plays what it played. False once the output's last block
// began on or after that frame, and for a sound with no such end.
bool end_waits(int w, int j) {
  if (ending_frame[w][j] == kAtOnce) return false;
  uint32_t block = 0;
  if (!FBS_GET_PLUGCLOCK(&block)) return false;
  if ((int32_t)((uint32_t)ending_frame[w][j] - block) > 0) return true;
  ending_frame[w][j] = kAtOnce;
  return false;
}

// Release of one sounding voice: the mixer ramps it down from frame `at`
// and ends it. Until that frame the sound remembers whose end waits, so a
// re-strike of the same key takes it back (and the start drops the end),
// and another key takes it only when no other sound is free.
void release_voice(int w, int j, int64_t at) {
  int k = voice_key[w][j];
  int ch = voice_channel[w][j];
  if (voice_count.load() > 0) voice_count.store(voice_count.load() - 1);
  ending_frame[w][j] = at;
  ending_key[w][j] = k;
  ending_channel[w][j] = ch;
  if (at == kAtOnce)
    FBS_END_SOUND_RAMPED(sound[w][j], declick_frames());
  else
    FBS_END_SOUND_AT(sound[w][j], declick_frames(), (uint32_t)at);
  end_voice_layers(w, j, at, declick_frames());
  if (k >= 0 && k < kKeyCount && ch >= 0 && ch < kMidiChannels) {
    note_count[k][ch] = 0;
    held_by_pedal[k][ch] = 0;
  }
  voice_key[w][j] = -1;
  voice_channel[w][j] = -1;
}

// After the last voice went silent the level analysis restarts its quiet
// period; `restart_average` also restarts the velocity average.
void after_release(bool restart_average) {
  if (voice_count.load() > 0) return;
  analysis_ref_time.store(analysis_now_time.load() + 1.2);
  if (restart_average)
    note_counter_mark = note_counter;
  else
    voice_divisor.store(voice_divisor_ref.load());
}

void note_end_locked(int k, int ch, int64_t at) {
  int w = key_sample(k, type_offset.load());
  if (w < 0 || ch == 9 || ch < 0 || ch > 15) return;
  for (int j = 1; j <= kSoundsPerSample; j++) {
    if (voice_key[w][j] == k && voice_channel[w][j] == ch) {
      if (sostenuto_holds_locked(k, ch)) break;
      if (pedal_down.load()) {
        held_by_pedal[k][ch] = 1;
        damp_held_voice_locked(w, j, at);
      } else {
        release_voice(w, j, at);
      }
      break;
    }
  }
  after_release(false);
}

void note_on_locked(int64_t at) {
  int ch = current_channel;
  int k = current_key;
  int v = current_velocity;
  if (ch == 9 || ch < 0 || ch > 15 || v < 1 || v > 127) return;
  if (voice_count.load() >= kMaxVoices) return;
  int w = key_sample(k, type_offset.load());
  if (w < 0) return;

  // The same key still sounding on this channel restarts, also one whose
  // release waits for its frame; else a free sound whose sounding is over,
  // else any free sound; else the note is dropped (no stealing).
  int j = 1;
  for (; j <= kSoundsPerSample; j++)
    if (voice_key[w][j] == k && voice_channel[w][j] == ch) break;
  const bool restart = j <= kSoundsPerSample;
  if (!restart) {
    int own = 0, ended = 0, other = 0;
    for (int i = 1; i <= kSoundsPerSample && !own; i++) {
      if (voice_key[w][i] >= 1) continue;
      if (!end_waits(w, i)) {
        if (!ended) ended = i;
      } else if (ending_key[w][i] == k && ending_channel[w][i] == ch) {
        own = i;  // its own release still waits: taken back
      } else if (!other) {
        other = i;
      }
    }
    j = own ? own : ended ? ended : other;
    if (!j) return;
    voice_count.store(voice_count.load() + 1);
  }
  ending_frame[w][j] = kAtOnce;

  float curve = velocity_curve[v].load();
  float volume = (float)channel_volume[ch].load();
  float level;
  if (autovol_mode.load() >= 1)
    level = volume / voice_divisor.load() * curve;
  else
    level = volume / 127.0f * curve;
  if (keyvol_on.load() == 1) {
    int row = std::min(std::max(piano_sound.load(), 0), kKeyvolRows - 1);
    level = keyvol_table[row][k].load() / 127.0f * level;
  }
  int target = autovolmidi.load();
  if (target >= 1) {
    // Velocity normalisation: the 19 notes after a restart adapt the average
    // fast, later ones slowly; a note far above the average lifts it at once.
    float x = 127.0f * level;
    note_counter++;
    if (note_counter < note_counter_mark + 20)
      velocity_average = (velocity_average * 5.0f + x) / 6.0f;
    else
      velocity_average = (velocity_average * 170.0f + x) / 171.0f;
    float floor_average = 0.9f * x + 0.01f;
    if (!(velocity_average > floor_average)) velocity_average = floor_average;
    float r = std::floor(x * (float)target / velocity_average + 1.0f);
    r = std::min(127.0f, r);
    level = r / 127.0f;
  }
  level = std::min(level, 2.0f);
  const float speed = speed_table[k].load();

  if (voice_layers_playing()) {
    play_voice_layers(w, j, k, v, level, at, declick_frames());
  } else {
    // From the sample's first frame. A sound still heard, the restarted key
    // or a released one still ramping down, crossfades into it, at its own
    // level and speed. A start at a frame takes its level and speed with it:
    // until that frame the sound plays on as it was.
    if (at == kAtOnce) {
      FBS_SET_SOUNDVOLUME(sound[w][j], level);
      FBS_SET_SOUNDSPEED(sound[w][j], speed);
      FBS_PLAY_SOUND_RAMPED(sound[w][j], 1, declick_frames());
    } else {
      FBS_PLAY_SOUND_AT(sound[w][j], 1, declick_frames(), (uint32_t)at, level, speed);
    }
    // A louder layer an earlier note of this voice left sounding (layers
    // since switched off) ends with the restart.
    if (restart) end_voice_layers(w, j, at, declick_frames());
  }

  note_count[k][ch] += 1;
  held_by_pedal[k][ch] = 0;
  voice_key[w][j] = k;
  voice_channel[w][j] = ch;
  note_on_time[k][ch] = program_clock();
  note_on_order[k][ch] = ++voice_order;
  if (keys_down_count < kKeyListSize) keys_down[keys_down_count++] = k;
}

// The frame note_off_delay after `at`, or kAtOnce.
int64_t delayed_frame(int64_t at) {
  if (at == kAtOnce) return kAtOnce;
  return (uint32_t)(at + std::llround(note_off_delay.load() * FBS_GET_PLUGRATE()));
}

// Queue entry i is served: it ends its note unless a note-on of that key
// came after it (in the order the messages arrived, whatever their clock
// values: a note-off and a note-on of one key on the same frame leave the
// new note sounding).
void end_queued(int i) {
  int k = queue_key[i];
  int ch = queue_channel[i];
  if (queue_order[i] > note_on_order[k][ch]) note_end_locked(k, ch, delayed_frame(queue_frame[i]));
}

void note_off_locked(int64_t at) {
  int ch = current_channel;
  int k = current_key;
  if (!(7 < k && k < 110) || ch == 9 || ch < 0 || ch > 15) return;
  if (keys_up_count < kKeyListSize) keys_up[keys_up_count++] = k;
  if (input_active.load() == 1) {
    // The main thread is held by a prompt and does not serve the queue.
    note_end_locked(k, ch, at);
    return;
  }
  int next = next_queue_index(queue_write);
  if (next == queue_read) {
    // Full ring: the oldest note-off is served now rather than overwritten,
    // which would empty the ring and leave its notes sounding.
    int oldest = next_queue_index(queue_read);
    queue_read = oldest;
    end_queued(oldest);
  }
  queue_write = next;
  queue_time[queue_write] = program_clock();
  queue_key[queue_write] = k;
  queue_channel[queue_write] = ch;
  queue_frame[queue_write] = at;
  queue_order[queue_write] = ++voice_order;
  note_count[k][ch] -= 1;
  if (note_count[k][ch] <= 0) note_count[k][ch] = 0;
}

void all_notes_off_locked(int64_t at) {
  int ch = current_channel;
  if (ch == 9 || ch < 0 || ch > 15) return;
  for (int w = 0; w < kSampleWaves; w++) {
    for (int j = 1; j <= kSoundsPerSample; j++) {
      int k = voice_key[w][j];
      if (k > 0 && voice_channel[w][j] == ch) {
        if (pedal_down.load()) {
          held_by_pedal[k][ch] = 1;
          damp_held_voice_locked(w, j, at);
        } else {
          release_voice(w, j, at);
        }
      }
    }
  }
  after_release(true);
  clear_marks = 1;
}

}  // namespace

bool voices_attach(const int waves[kSampleWaves], int* failed_wave, int* failed_sound) {
  for (int w = 0; w < kSampleWaves; w++) {
    for (int j = 1; j <= kSoundsPerSample; j++) {
      if (!FBS_CREATE_SOUND(waves[w], &sound[w][j])) {
        if (failed_wave) *failed_wave = w;
        if (failed_sound) *failed_sound = j;
        return false;
      }
      void* play = nullptr;
      FBS_GET_SOUNDPOINTERS(sound[w][j], &sound_start[w][j], &play, &sound_end[w][j]);
    }
  }
  free_all_voices();
  return true;
}

void voices_detach() {
  voice_layers_detach();
  for (int w = 0; w < kSampleWaves; w++)
    for (int j = 1; j <= kSoundsPerSample; j++) FBS_DESTROY_SOUND(&sound[w][j]);
}

void free_all_voices() {
  VoiceLock lock;
  for (int w = 0; w < kSampleWaves; w++) {
    for (int j = 1; j <= kSoundsPerSample; j++) {
      voice_key[w][j] = -1;
      voice_channel[w][j] = -1;
      ending_frame[w][j] = kAtOnce;
    }
  }
  for (int k = 0; k < kKeyCount; k++) {
    for (int ch = 0; ch < kMidiChannels; ch++) {
      note_count[k][ch] = 0;
      held_by_pedal[k][ch] = 0;
    }
  }
  voice_count.store(0);
}

void voice_note_on(int channel, int key, int velocity, int64_t at) {
  VoiceLock lock;
  current_channel = channel;
  current_key = key;
  current_velocity = velocity;
  note_on_locked(at);
}

void voice_note_off(int channel, int key, int64_t at) {
  VoiceLock lock;
  current_channel = channel;
  current_key = key;
  note_off_locked(at);
}

void voice_note_end(int key, int channel) {
  VoiceLock lock;
  note_end_locked(key, channel, kAtOnce);
}

void voice_pedal_release(int64_t at) {
  VoiceLock lock;
  pedal_down.store(0);
  for (int w = 0; w < kSampleWaves; w++) {
    for (int j = 1; j <= kSoundsPerSample; j++) {
      int k = voice_key[w][j];
      int ch = voice_channel[w][j];
      if (k > 0 && k < kKeyCount && ch >= 0 && ch < kMidiChannels && held_by_pedal[k][ch] == 1) release_voice(w, j, at);
    }
  }
  after_release(true);
}

void run_with_voices(void (*step)(int value, int64_t at), int value, int64_t at) {
  VoiceLock lock;
  step(value, at);
}

void voice_release_after_delay_locked(int key, int channel, int64_t at) {
  if (key < 0 || key >= kKeyCount || channel < 0 || channel >= kMidiChannels || note_count[key][channel] > 0) return;
  // The ordinary note-off path, which takes back one note-on.
  note_count[key][channel] = 1;
  current_channel = channel;
  current_key = key;
  note_off_locked(at);
}

void voice_all_notes_off(int channel, int64_t at) {
  VoiceLock lock;
  current_channel = channel;
  all_notes_off_locked(at);
}

void silence_all_voices() {
  VoiceLock lock;
  for (int ch = 0; ch < kMidiChannels; ch++) {
    current_channel = ch;
    all_notes_off_locked(kAtOnce);
  }
}

void serve_note_off_queue() {
  VoiceLock lock;
  double now = program_clock();
  double delay = note_off_delay.load();
  double next_due = now + 0.04;
  int i = queue_read;
  while (i != queue_write) {
    i = next_queue_index(i);
    if (now < queue_time[i] - 99.0) {
      // The clock went back: everything waiting is dropped and ends no note.
      queue_read = queue_write;
      break;
    }
    // A release placed on a frame goes to the engine kReleaseLead ahead of
    // its time, which holds it until that frame (a re-strike before then
    // takes the sound back); one without a frame is served when due.
    double due = queue_time[i] + delay;
    double serve_at = queue_frame[i] == kAtOnce ? due : due - kReleaseLead;
    if (now < serve_at) {
      next_due = serve_at;
      break;
    }
    queue_read = i;
    end_queued(i);
  }
  next_due_time.store(next_due);
}

int note_off_sleep_ms(double now) {
  double ms = (next_due_time.load() - now) * 1000.0;
  ms = std::min(20.0, std::max(5.0, ms));
  return (int)std::floor(ms);
}

void restart_velocity_average() {
  VoiceLock lock;
  note_counter_mark = note_counter;
}

void clear_note_counters() {
  VoiceLock lock;
  note_counter = 0;
  note_counter_mark = 0;
}

int take_key_marks(int* down, int* down_count, int* up, int* up_count) {
  VoiceLock lock;
  int cleared = clear_marks;
  if (cleared) {
    clear_marks = 0;
    keys_up_count = 0;
  }
  int nd = 0, nu = 0;
  for (int i = 0; i < keys_down_count; i++)
    if (down) down[nd++] = keys_down[i];
  for (int i = 0; i < keys_up_count; i++)
    if (up) up[nu++] = keys_up[i];
  keys_down_count = 0;
  keys_up_count = 0;
  if (down_count) *down_count = nd;
  if (up_count) *up_count = nu;
  return cleared;
}
