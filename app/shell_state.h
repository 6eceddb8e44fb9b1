// Values the main loop shares with the other threads: the command and the
// notice that the MIDI thread (or a mouse click) leaves for the main loop,
// the input-active flag and the auxiliary display value.
#pragma once
#include <atomic>
#include <string>

// Raised while a prompt, a file command or a sample pass holds the main
// thread. Written by the main thread, read by the MIDI thread.
extern std::atomic<int> input_active;

// Auxiliary display value shown by the main loop as "auxvar=" when its
// magnitude is above 0.00001. Written by editors and the MIDI thread.
extern std::atomic<double> auxvar;

// pending_key: a command text ("i", "o", "reload", ...) queued by another
// thread for the main loop. Posting replaces what is queued; taking clears it.
// Never blocks; safe from any thread.
void post_pending_key(const char* text);
std::string take_pending_key();

// pending_message: a notice text queued by the MIDI thread, shown by the main
// loop in a notice box. A message posted while another is waiting is dropped
// (the first one is shown). Never blocks; returns false when dropped.
bool post_pending_message(const char* text);
std::string take_pending_message();
