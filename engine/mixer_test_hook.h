// SPDX-License-Identifier: GPL-3.0-or-later
// Test entry point of the mixer: a function called before each read of a
// sound's write guard (`moved`, engine_state.h), so that a test can play the
// writer on the mixer's own thread: hold the guard odd for a given number of
// reads, change the position meanwhile, release it, and see what the block
// holds. Not for the program: with no hook set the mixer pays one branch per
// read.
#pragma once
#include <cstdint>

// Called on the thread that runs fbs_fill with the sound's handle and the
// number of the read about to be made (0 for the first of the block, at most
// kFbsGuardReads - 1). It must not lock, allocate or wait.
using FbsGuardReadHook = void (*)(int32_t sound, int32_t read);

// Sets the hook, or removes it with null. Only while no fill runs.
void fbs_set_guard_read_hook(FbsGuardReadHook hook);
