// The sample pass: the single route by which the loaded samples are
// rewritten. An untouched copy of the nine waves is kept; the key tone stage
// filters it into tone_buffer, the key reverb stage adds the echoes, and the
// result is written back, clamped to +-32767, into the engine's own wave data.
//
// Threads: everything here runs on the main thread. The mixer thread may be
// playing the waves while a pass rewrites them (see store_sample in
// sample_pass.cpp, and core/threads.md).
#pragma once
#include <cstdint>

#include "core/key_samples.h"

constexpr int kPassValues = 1411200;    // 16 s of 44100 Hz stereo, in values
constexpr int kPassMonoValues = kPassValues / 2;

// The waves as loaded, before any key tone or key reverb: row w holds the
// first (up to) 1411200 values of wave w, the rest 0. Made once for the
// program's life, like tone_buffer.
extern int16_t unfiltered_samples[kSamplesPerSet][kPassValues + 1];
// The key tone stage's output, the key reverb stage's input.
extern float tone_buffer[kSamplesPerSet][kPassValues];

// Fills unfiltered_samples from the nine waves just loaded (handles, -1 for
// none) and keeps the handles: every later pass rewrites these waves. Called
// after each set load.
void copy_unfiltered_samples(const int waves[kSamplesPerSet]);

// Values of wave w the pass works on: 705600 for mono output, 1411200 for
// stereo, at most the wave's length; 0 when the wave is not there.
int pass_length(int wave);

// The key tone stage for all nine waves (8 down to 0), then keyreverb_pass.
// After every set load, on [X], and from the key tone editor.
void keytone_pass();

// The key reverb stage (when keyrev_on is 1) and the write-back for all nine
// waves, from tone_buffer. After keytone_pass, on [Y], and from the key
// reverb editor. The first pass_length(w) values of every wave are rewritten
// even with both stages off (-32768 then becomes -32767).
void keyreverb_pass();
