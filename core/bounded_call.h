// SPDX-License-Identifier: GPL-3.0-or-later
// A call that may hang for good, waited for a bounded time: closing a JACK
// client whose server went away at the same moment can block inside libjack
// for ever, and the program must still end (with its settings written) or
// play on. Header only, so the output plug-ins use it too.
//
// Threads: any caller; `work` runs on a detached thread of its own.
#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

// The longest a close is waited for before it is abandoned.
constexpr double kCloseWaitSeconds = 1.0;

// Runs `work` on a detached thread and waits at most `seconds` for it.
// Returns true when it finished in time; false when it was abandoned: it
// then finishes (or hangs) on its own, so it must own everything it touches
// (free what it closes itself, after the close). Without a thread to be had
// it runs on the caller's.
inline bool run_at_most(double seconds, std::function<void()> work) {
  struct Done {
    std::mutex mutex;
    std::condition_variable signal;
    bool done = false;
  };
  auto state = std::make_shared<Done>();
  try {
    std::thread([state, work] {
      work();
      std::lock_guard<std::mutex> lock(state->mutex);
      state->done = true;
      state->signal.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    work();
    return true;
  }
  std::unique_lock<std::mutex> lock(state->mutex);
  return state->signal.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return state->done; });
}
