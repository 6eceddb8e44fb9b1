// Three-band output equalizer: its coefficients, run inside the master chain,
// and its editor ([F]).
#pragma once

// Computes the filter coefficients from the equalizer settings (lowf, highf,
// the three gains, order). Main thread, while the master callback may run.
void compute_equalizer_coefficients();

// The equalizer editor ([F], while equalizer_on is 1). Main thread.
void equalizer_editor();
