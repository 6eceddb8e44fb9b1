// SPDX-License-Identifier: GPL-3.0-or-later
// A set's files replaced as a whole: with the third rename failing, or the
// run killed after the third, the earlier set is whole again (at once, or
// after the next run's recovery) and nothing is left behind; with every
// rename done the new set is whole and its other form gone.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "import/set_replace.h"

namespace {

std::string read_all(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return f ? s.str() : "(none)";
}

std::set<std::string> listing(const std::string& folder) {
  std::set<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.insert(e->d_name);
    closedir(d);
  }
  return names;
}

// The renames of one replacement: the n-th (from 1) fails, or ends the
// process as a kill would, or none does.
int fail_at = 0, kill_at = 0, renames = 0;
int stand_in_rename(const char* from, const char* to) {
  renames++;
  if (renames == kill_at) _exit(0);
  if (renames == fail_at) return -1;
  return std::rename(from, to);
}

TEST(SetReplace, AFailedOrKilledRenameKeepsTheEarlierSetWhole) {
  const std::vector<std::string> names = {"p_12.wav", "p_24.wav", "p_36.wav", "p_48.wav"};
  struct Case {
    const char* what;
    int fail, kill;
  } cases[] = {{"third rename fails", 3, 0}, {"killed at the third rename", 0, 3}, {"every rename done", 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    char tmpl[] = "/tmp/qd_set_replace_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string folder = std::string(tmpl) + "/";
    // The earlier set: three of the four names, and one file of the other form.
    for (size_t i = 0; i < 3; i++) std::ofstream(folder + names[i]) << "old " << i;
    std::ofstream(folder + "p_60.mp3") << "other form";
    for (size_t i = 0; i < names.size(); i++) std::ofstream(folder + new_file_name(names[i])) << "new " << i;
    const std::set<std::string> before = {"p_12.wav", "p_24.wav", "p_36.wav", "p_60.mp3"};

    fail_at = c.fail, kill_at = c.kill, renames = 0;
    std::string error;
    bool done = false;
    if (c.kill) {
      const pid_t child = fork();
      if (child == 0) {
        replace_set_files(folder, names, {"p_60.mp3"}, &error, stand_in_rename);
        _exit(1);
      }
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      EXPECT_EQ(read_all(folder + names[0]), "new 0");  // half replaced until the next run
      ASSERT_TRUE(recover_set_files(folder, names[0], names, &error)) << error;
    } else {
      done = replace_set_files(folder, names, {"p_60.mp3"}, &error, stand_in_rename);
      EXPECT_EQ(done, c.fail == 0) << error;
      if (!done) {
        EXPECT_NE(error.find("cannot write " + folder + names[2]), std::string::npos) << error;
      }
    }
    if (done) {
      EXPECT_EQ(listing(folder), std::set<std::string>(names.begin(), names.end()));
      for (size_t i = 0; i < names.size(); i++) EXPECT_EQ(read_all(folder + names[i]), "new " + std::to_string(i));
    } else {
      EXPECT_EQ(listing(folder), before);
      for (size_t i = 0; i < 3; i++) EXPECT_EQ(read_all(folder + names[i]), "old " + std::to_string(i));
    }
    std::system(("rm -rf '" + folder + "'").c_str());
  }
}

}  // namespace
