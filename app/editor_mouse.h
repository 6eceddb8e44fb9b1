// The mouse read of the editors: notes can still be played on the piano
// picture while an editor is open, and clicks count only inside the text
// area (344 x 93) where the editors draw.
//
// Threads: main thread only.
#pragma once

// Reads the mouse into x, y and buttons (buttons 0 outside the text area).
// Returns false when the mouse could not be read (all three are then -1).
bool editor_mouse_read(int* x, int* y, int* buttons);
