// SPDX-License-Identifier: GPL-3.0-or-later
// Velocity layers: how a note's velocity shares its level between a set
// and its louder recordings. A set may have a loud layer, which may have
// one of its own (a chain); between two neighbouring layers lies a zone of
// velocities. Up to the zone's first velocity only the softer layer
// sounds, from its last only the louder; inside it both, with equal-power
// weights, since two recordings of one note are not in phase and equal
// amplitudes would dip by about 3 dB in the middle.
#pragma once
#include "core/key_samples.h"

// Layers a note can choose from: the set itself and up to three louder ones.
constexpr int kLayersMost = 4;
// A layer whose weight is below -40 dB is not started.
constexpr float kLayerSilentWeight = 0.01f;

// The zone between layer l - 1 and layer l: velocities 0..127, from <= to.
struct LayerZone {
  int from;
  int to;
};

// The one or two layers a velocity plays and their weights (the cosine and
// the sine of the position in the zone x pi/2). `high` is -1 and
// `high_weight` 0 when one layer plays alone with weight 1.
struct LayerMix {
  int low;
  int high;
  float low_weight;
  float high_weight;
};

// The mix of `velocity` over `zone_count` zones in rising order (zone i lies
// between layers i and i + 1, and no zone starts before the one below it
// ends). With no zone: layer 0 alone.
LayerMix layer_mix(int velocity, const LayerZone* zones, int zone_count);

// How the layers of a set compare, wave by wave (octave by octave), over
// the first 300 ms of their samples: gain[l][w] brings layer l to the level
// of the set itself (gain[0][w] is 1), and coherence[l - 1][w] is how alike
// layers l - 1 and l are there (the correlation of their samples, 0 for
// recordings out of phase, near 1 for ones in phase). Recordings of one
// piano started at their onsets are largely in phase, and two of them at
// cosine and sine weights would rise by up to 3 dB in the middle of a zone.
struct LayerMatch {
  float gain[kLayersMost][kSamplesPerSet];
  float coherence[kLayersMost - 1][kSamplesPerSet];
};
// Gains 1 and coherence 0: the weights alone.
LayerMatch unmatched_layers();

// The volume factors of the mix's two layers for wave w: each weight times
// its layer's gain, both scaled so that the sum of the two keeps the power
// of one layer alone at its coherence. A layer playing alone gets its gain.
// `high_factor` is 0 when mix.high is -1.
void layer_factors(const LayerMix& mix, const LayerMatch& match, int w, float* low_factor, float* high_factor);
