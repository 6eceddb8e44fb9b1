// Output reverb (three kinds) run inside the master chain, its set-up and the
// reverb2 / reverb3 editors ([T]).
#pragma once

// Sets the reverb up for reverb_mode and the reverb2 / reverb3 parameters.
// Main thread.
void setup_reverb();

// The reverb editors: which = 2 edits the reverb2 parameters, 3 the reverb3
// ones. Main thread.
void reverb_editor(int which);
