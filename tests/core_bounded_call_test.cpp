// SPDX-License-Identifier: GPL-3.0-or-later
// A call waited for a bounded time: one that returns in time is reported
// done; one that hangs is abandoned after the bound and finishes on its own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "core/bounded_call.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(BoundedCall, AQuickCallIsWaitedForAndAHangingOneAbandonedAtTheBound) {
  auto start = std::chrono::steady_clock::now();
  bool ran = false;
  EXPECT_TRUE(run_at_most(kCloseWaitSeconds, [&ran] { ran = true; }));
  EXPECT_TRUE(ran);
  EXPECT_LT(seconds_since(start), 0.5);

  auto finished = std::make_shared<std::atomic<bool>>(false);
  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(run_at_most(0.2, [finished] {
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    finished->store(true);
  }));
  EXPECT_NEAR(seconds_since(start), 0.2, 0.15);
  EXPECT_FALSE(finished->load());
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  EXPECT_TRUE(finished->load()) << "the abandoned call goes on by itself";
}

}  // namespace
