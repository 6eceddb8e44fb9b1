// SPDX-License-Identifier: GPL-3.0-or-later
// Voices: which engine sound plays a key, how loud, the delayed release of
// notes through the note-off queue, the sustain pedal and bulk silencing.
//
// Every operation below takes voice_mutex for its whole run (VoiceLock), or
// runs inside a VoiceTryLock its thread already holds; the MIDI inputs'
// threads and the main thread call them. Nothing here runs on the audio
// thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

#include "core/key_samples.h"

constexpr int kSampleWaves = kSamplesPerSet;  // one wave per octave, w = 0..8
constexpr int kSoundsPerSample = 24;   // sounds made from each wave, j = 1..24
constexpr int kMidiChannels = 16;
constexpr int kNoteOffQueueSize = 1000;
constexpr int kKeyListSize = 128;      // keys_down / keys_up capacity
constexpr int kMaxVoices = 127;        // note-on is ignored at this many voices
// A voice ends, and a restarted key crossfades, over this much output (132
// frames at 44100 Hz), so the waveform never jumps to silence or to the
// sample's start: no click.
constexpr double kDeclickSeconds = 0.003;
// A frame of the output clock (engine/plug_record.h) on which a voice
// operation is heard, or kAtOnce: from the next block mixed, for what comes
// with no frame (the mouse, the function keys, the ALSA sequencer, the
// editors' test notes, the main loop's own releases).
constexpr int64_t kAtOnce = -1;

// The one lock of the voice state: tables, queue, registers, key lists.
extern std::mutex voice_mutex;

// voice_mutex for one scope, waiting for it: the operations below take it
// this way, unless their thread already holds it (then they take nothing).
class VoiceLock {
 public:
  VoiceLock();
  ~VoiceLock();
  VoiceLock(const VoiceLock&) = delete;
  VoiceLock& operator=(const VoiceLock&) = delete;

 private:
  bool took_;
};

// voice_mutex for one scope if it is free now, never waiting: the MIDI
// inputs' threads hold it so while they play what their queues hold
// (midi/midi_input.h), and the operations they call inside take nothing.
class VoiceTryLock {
 public:
  VoiceTryLock();
  ~VoiceTryLock();
  VoiceTryLock(const VoiceTryLock&) = delete;
  VoiceTryLock& operator=(const VoiceTryLock&) = delete;
  bool owns() const { return owns_; }

 private:
  bool owns_;
};

// A release placed on a frame goes from the note-off queue to the engine
// this long (seconds) before it is due, which holds it until its frame: more
// than the main loop's longest sleep between two services (20 ms), so the
// release lands on its frame at any period.
constexpr double kReleaseLead = 0.03;

// The sound table, indexed [w][j] with w = 0..8, j = 1..24 (entry 0 of
// each row is unused). voices_attach fills sound, sound_start and sound_end
// and voices_detach empties them, both while the MIDI inputs are closed.
extern int sound[kSampleWaves][kSoundsPerSample + 1];
extern void* sound_start[kSampleWaves][kSoundsPerSample + 1];
extern void* sound_end[kSampleWaves][kSoundsPerSample + 1];
// Key and channel a sound plays; -1 when free (a sound is free when its key
// is below 1). Under voice_mutex.
extern int voice_key[kSampleWaves][kSoundsPerSample + 1];
extern int voice_channel[kSampleWaves][kSoundsPerSample + 1];

// Sounds started and not yet released ("nbsounds="). Written under
// voice_mutex, read by the main loop without it.
extern std::atomic<int> voice_count;

// Voice registers: every voice operation takes its key, channel and velocity
// from here. Under voice_mutex; the locked entry points below load them.
extern int current_channel;
extern int current_key;
extern int current_velocity;

// Per key and channel, under voice_mutex.
extern int note_count[kKeyCount][kMidiChannels];      // note-ons not yet matched by note-offs
extern int held_by_pedal[kKeyCount][kMidiChannels];   // release held back by the sustain pedal
extern double note_on_time[kKeyCount][kMidiChannels]; // time of the last note-on
// Where the last note-on came in the order of all note-ons and note-offs
// (voice_order counts them): a queued note-off ends its note only when it
// came after it.
extern uint64_t note_on_order[kKeyCount][kMidiChannels];
extern uint64_t voice_order;

// Note-off queue: a ring over entries 0..999 (entry 1000 only takes part in
// the clock-reset rewrite). Under voice_mutex.
extern int queue_key[kNoteOffQueueSize + 1];
extern int queue_channel[kNoteOffQueueSize + 1];
extern double queue_time[kNoteOffQueueSize + 1];
// The frame the note-off was heard on, or kAtOnce: its release then falls
// note_off_delay later on the output clock.
extern int64_t queue_frame[kNoteOffQueueSize + 1];
extern uint64_t queue_order[kNoteOffQueueSize + 1];  // the note-off's place in voice_order
extern int queue_write;
extern int queue_read;
// When the queue service should run next (program clock seconds). Written by
// the service, read by the main loop for its sleep.
extern std::atomic<double> next_due_time;

// Velocity average of the autovolmidi normalisation. Under voice_mutex.
extern float velocity_average;
extern int note_counter;
extern int note_counter_mark;

// Key display lists, under voice_mutex: keys that went down / up since the
// displays last drained them, and whether all marks are to be cleared. They
// are filled whatever is on the screen; each holds at most 128 keys.
extern int keys_down[kKeyListSize];
extern int keys_down_count;
extern int keys_up[kKeyListSize];
extern int keys_up_count;
extern int clear_marks;

// ---- The sounds of a loaded set (main thread, MIDI inputs closed) ----

// Makes the 24 sounds of each of the nine waves (FBS_CREATE_SOUND), takes
// their start and end pointers and frees every voice (free_all_voices).
// Returns true; on a failure returns false with the wave w and sound j that
// could not be made (the sounds made so far stay; the caller ends the
// program after stopping the engine).
bool voices_attach(const int waves[kSampleWaves], int* failed_wave, int* failed_sound);
// Destroys every sound of the table (handles become -1). Silence the voices
// first, and give the mixer time to let them fade.
void voices_detach();

// ---- operations (each takes voice_mutex) ----
// Marks every sound free and sets voice_count to 0; clears the note counts and
// pedal marks. Note-offs still queued stay: being older than any note-on that
// follows, they end nothing. Main thread, after making the sounds.
void free_all_voices();
// Note-on of `key` (after transposition) on channel 0..15, velocity 1..127,
// heard on frame `at`.
void voice_note_on(int channel, int key, int velocity, int64_t at = kAtOnce);
// Note-off heard on frame `at`: queued for note_off_delay, or ended at once
// while input_active.
void voice_note_off(int channel, int key, int64_t at = kAtOnce);
// Ends one voice now unless the pedal holds it.
void voice_note_end(int key, int channel);
// Pedal went up on frame `at`: releases every voice the pedal held.
void voice_pedal_release(int64_t at = kAtOnce);
// The pedals' way into the voice state (midi/pedals.h): runs step(value,
// at) holding voice_mutex.
void run_with_voices(void (*step)(int value, int64_t at), int value, int64_t at);
// With voice_mutex held: the note of a key that is up ends as if the key had
// come up now, on frame `at` (after the note-off delay, unless a pedal holds
// it then or its key is down again). Nothing for a key that is down.
void voice_release_after_delay_locked(int key, int channel, int64_t at);
// Releases (or marks as held while the pedal is down) every voice of a
// channel, on frame `at`.
void voice_all_notes_off(int channel, int64_t at = kAtOnce);
// All notes off on channels 0..15 in turn.
void silence_all_voices();
// Main thread: releases the queued notes whose delay has passed, and hands
// those placed on a frame to the engine kReleaseLead before, and sets
// next_due_time. A note-off ends its note only when no note-on of the key
// came after it.
void serve_note_off_queue();
// Main loop sleep before the next service, in ms: (next_due_time - now) x
// 1000 clamped to 5..20, rounded down.
int note_off_sleep_ms(double now);
// The velocity average restarts (note_counter_mark = note_counter).
void restart_velocity_average();
// Both note counters to 0 (engine cycle start).
void clear_note_counters();

// Drains the key display lists into the caller's arrays (up to 128 keys each)
// and returns whether clear_marks was set. Keys down are always handed out
// (drawn first); when the marks are cleared the keys up are dropped and the
// caller redraws the clean piano instead.
int take_key_marks(int* down, int* down_count, int* up, int* up_count);
