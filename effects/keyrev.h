// Key reverb: echoes baked into each key's sample, and its editor ([Z]).
#pragma once

// Rewrites the nine waves with (keyrev_on 1) or without the echoes. Main thread.
void run_keyrev_pass(const int waves[9]);

// The key reverb editor ([Z], while keyrev_on is 1). Main thread.
void keyrev_editor();
