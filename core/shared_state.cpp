// SPDX-License-Identifier: GPL-3.0-or-later
// The shared working values, and the lock-free hand-over of commands and
// notices from other threads to the main loop.
#include "core/shared_state.h"

#include <cstring>

std::atomic<int> input_active{0};
std::atomic<int> quit_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may store only lock-free atomics");
std::atomic<double> auxvar{0.0};

std::atomic<float> target_level{1.7f};
std::atomic<float> voice_divisor{152.4f};
std::atomic<float> voice_divisor_ref{152.4f};
std::atomic<double> analysis_ref_time{0.0};
std::atomic<double> analysis_now_time{0.0};

std::atomic<float> velocity_curve[kVelocityCount];

namespace {

// A one-slot mailbox: state 0 empty, 1 being written or read, 2 full.
struct Mailbox {
  std::atomic<int> state{0};
  char text[256] = {};
};

Mailbox pending_key_box;
Mailbox pending_message_box;

bool post(Mailbox& box, const char* text, bool replace) {
  int expected = 0;
  if (!box.state.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
    if (!replace || expected != 2) return false;
    if (!box.state.compare_exchange_strong(expected, 1, std::memory_order_acquire)) return false;
  }
  std::strncpy(box.text, text ? text : "", sizeof box.text - 1);
  box.text[sizeof box.text - 1] = '\0';
  box.state.store(2, std::memory_order_release);
  return true;
}

std::string take(Mailbox& box) {
  int expected = 2;
  if (!box.state.compare_exchange_strong(expected, 1, std::memory_order_acquire)) return {};
  std::string text = box.text;
  box.state.store(0, std::memory_order_release);
  return text;
}

}  // namespace

void post_pending_key(const char* text) { post(pending_key_box, text, true); }
std::string take_pending_key() { return take(pending_key_box); }
bool post_pending_message(const char* text) { return post(pending_message_box, text, false); }
std::string take_pending_message() { return take(pending_message_box); }
