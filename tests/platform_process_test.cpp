// SPDX-License-Identifier: GPL-3.0-or-later
// Process set-up: the working folder follows the executable, a refused
// priority change is harmless, and no display variable means no display.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/process.h"

namespace {

TEST(Process, EntersTheExecutableFolder) {
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  exe[n] = 0;
  std::string folder(exe);
  folder.resize(folder.rfind('/'));

  ASSERT_EQ(chdir("/"), 0);
  ASSERT_TRUE(process_enter_exe_folder());
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(std::string(cwd), folder);
}

TEST(Process, PriorityNeverGetsLower) {
  errno = 0;
  int before = getpriority(PRIO_PROCESS, 0);
  process_raise_priority();
  int after = getpriority(PRIO_PROCESS, 0);
  EXPECT_LE(after, before);
}

TEST(Process, NoDisplayVariableMeansNoDisplay) {
  std::string x11 = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
  std::string wayland = std::getenv("WAYLAND_DISPLAY") ? std::getenv("WAYLAND_DISPLAY") : "";
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  EXPECT_FALSE(has_display());
  if (!x11.empty()) setenv("DISPLAY", x11.c_str(), 1);
  if (!wayland.empty()) setenv("WAYLAND_DISPLAY", wayland.c_str(), 1);
}

}  // namespace
