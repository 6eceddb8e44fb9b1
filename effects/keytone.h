// Key tone filters: the sample pass that rewrites the loaded samples through
// per-octave filters, the unfiltered copy it starts from, and its editor ([S]).
#pragma once

// Keeps a copy of the freshly loaded, unfiltered sample data of the nine
// waves, which every later pass starts from. Main thread, after a set load.
void take_unfiltered_copy(const int waves[9]);

// Rewrites the nine waves for keytone_mode (0 restores the unfiltered data).
// Main thread.
void run_keytone_pass(const int waves[9]);

// The key tone editor ([S], while keytone_mode is 1 or 2). Main thread.
void keytone_editor();
