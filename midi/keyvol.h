// Key volume map: the per-key volumes of each sample set, their undo history
// and the editor ([E]).
#pragma once

// Starts the undo history afresh from the current set's row of keyvol_table.
// Main thread, at every sample cycle.
void reset_keyvol_undo();

// The key volume editor ([E], while keyvol_on is 1). Main thread.
void keyvol_editor();
