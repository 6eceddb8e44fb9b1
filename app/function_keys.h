// SPDX-License-Identifier: GPL-3.0-or-later
// Function-key notes: F1..F12 form a one-octave keyboard from a base key
// (48 at start); Shift + F1..F8 silences every voice and moves the base to
// 12, 24, ..., 96. Notes play with velocity 127 on MIDI channel 16.
//
// Threads: main thread only.
#pragma once

// Run on every pass of the main loop; sets *key_code to 0 while a function
// key is held and when it is a function key's own code: neither is a command.
void function_key_notes(int* key_code);
