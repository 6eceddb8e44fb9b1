// SPDX-License-Identifier: GPL-3.0-or-later
// Where the program's files live: the portable and the installed layout
// chosen from the executable's folder (and a copy in a folder not the user's
// to write), the XDG folders with and without their variables, the scratch
// folder (a runtime folder that is not private is passed over; those of
// crashed runs are removed), the user's sample sets over the shipped ones,
// the thumbnail presets, and the user's folders made at start with a notice
// for each that cannot be written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "app/program_folders.h"
#include "app/sample_sets.h"
#include "app/settings.h"
#include "core/paths.h"
#include "platform/dialogs.h"
#include "platform/dialogs_headless.h"
#include "platform/window.h"

namespace fs = std::filesystem;

namespace {

const char* const kVariables[] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR",
                                  "TMPDIR"};

// A temporary tree; the environment's folder variables are put back and the
// layout is portable in the current folder again afterwards.
class Layouts : public ::testing::Test {
 protected:
  void SetUp() override {
    win_use_headless(true);
    root_ = fs::temp_directory_path() / ("qd_paths_" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    for (const char* v : kVariables) {
      const char* value = std::getenv(v);
      saved_.push_back(value ? value : "");
      was_set_.push_back(value != nullptr);
      unsetenv(v);
    }
  }
  void TearDown() override {
    remove_private_scratch_folder();
    use_portable_layout("");
    for (size_t i = 0; i < saved_.size(); i++) {
      if (was_set_[i])
        setenv(kVariables[i], saved_[i].c_str(), 1);
      else
        unsetenv(kVariables[i]);
    }
    fs::remove_all(root_);
  }
  // A folder below the tree, made, as a path ending in "/".
  std::string folder(const std::string& name) {
    fs::create_directories(root_ / name);
    return (root_ / name).string() + "/";
  }
  void touch(const std::string& path) { std::ofstream(path) << "x"; }
  // The nine files of a set in a folder (their contents do not matter here).
  void put_set(const std::string& sounds, int set) {
    for (int n = 12; n <= 108; n += 12) touch(sample_mp3_name(set, n, sounds));
  }

  fs::path root_;
  std::vector<std::string> saved_;
  std::vector<bool> was_set_;
};

TEST_F(Layouts, PortableWhenTheProgramFolderHoldsSoundsElseInstalled) {
  std::string portable = folder("run");
  folder("run/sounds");
  ASSERT_EQ(choose_layout(portable), "");
  EXPECT_FALSE(installed_layout());
  for (const std::string& f : {data_folder(), plugin_folder(), config_folder(), user_data_folder(), scratch_folder()})
    EXPECT_EQ(f, portable);
  EXPECT_EQ(cache_folder(), portable + "cache/");
  EXPECT_EQ(user_sounds_folder(), "");
  EXPECT_EQ(thumbnail_preset_path(1, 0), portable + "save/user/user1.preset");

  std::string prefix = folder("usr");
  std::string home = folder("home");
  std::string runtime = folder("runtime");
  chmod(runtime.c_str(), 0700);
  // Runtime folders passed over for a private one: others may enter it, or
  // (as root, who can make one of another user's) it is not the user's own,
  // as a `sudo -E` run leaves it.
  std::string open_runtime = folder("open_runtime");
  chmod(open_runtime.c_str(), 0755);
  std::string theirs = folder("theirs/quillon_darvo");
  chmod((root_ / "theirs").c_str(), 0700);
  bool root = geteuid() == 0 && chown(theirs.c_str(), 65534, 65534) == 0;
  if (!root) std::cout << "not root: no folders of another user are tried\n";
  folder("usr/share/quillon_darvo/sounds");
  std::string bin = folder("usr/bin");
  struct Case {
    const char* what;
    std::vector<std::pair<const char*, std::string>> env;
    std::string config, data, cache, scratch;
  };
  std::vector<Case> cases = {
      {"defaults below the home folder", {{"HOME", home}},
       home + ".config/", home + ".local/share/", home + ".cache/", ""},
      {"the variables", {{"HOME", home}, {"XDG_CONFIG_HOME", runtime + "c"}, {"XDG_DATA_HOME", runtime + "d/"},
                         {"XDG_CACHE_HOME", runtime + "k"}, {"XDG_RUNTIME_DIR", runtime}},
       runtime + "c/", runtime + "d/", runtime + "k/", runtime},
      {"relative variables are ignored", {{"HOME", home}, {"XDG_CONFIG_HOME", "rel"}, {"XDG_DATA_HOME", "rel"},
                                          {"XDG_CACHE_HOME", ""}, {"XDG_RUNTIME_DIR", "run"}},
       home + ".config/", home + ".local/share/", home + ".cache/", ""},
      {"a runtime folder others may enter", {{"HOME", home}, {"XDG_RUNTIME_DIR", open_runtime}},
       home + ".config/", home + ".local/share/", home + ".cache/", ""},
  };
  if (root)
    cases.push_back({"a runtime folder of another user", {{"HOME", home}, {"XDG_RUNTIME_DIR", root_.string() + "/theirs"}},
                     home + ".config/", home + ".local/share/", home + ".cache/", ""});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* v : kVariables) unsetenv(v);
    for (const auto& [name, value] : c.env) setenv(name, value.c_str(), 1);
    setenv("TMPDIR", root_.c_str(), 1);
    ASSERT_EQ(choose_layout(bin), "");
    EXPECT_TRUE(installed_layout());
    EXPECT_EQ(data_folder(), prefix + "share/quillon_darvo/");
    // lib/ or lib/<multiarch>/, as the build was configured.
    EXPECT_EQ(plugin_folder().rfind(prefix + "lib/", 0), 0u) << plugin_folder();
    EXPECT_EQ(plugin_folder().substr(plugin_folder().size() - 14), "quillon_darvo/");
    EXPECT_EQ(config_folder(), c.config + "quillon_darvo/");
    EXPECT_EQ(user_data_folder(), c.data + "quillon_darvo/");
    EXPECT_EQ(cache_folder(), c.cache + "quillon_darvo/");
    EXPECT_EQ(user_sounds_folder(), c.data + "quillon_darvo/sounds/");
    EXPECT_EQ(thumbnail_preset_path(0, 1), prefix + "share/quillon_darvo/bmp/granpiano2.preset");
    EXPECT_EQ(thumbnail_preset_path(1, 1), c.data + "quillon_darvo/save/user/user2.preset");
    std::string scratch = scratch_folder();
    if (!c.scratch.empty()) {
      EXPECT_EQ(scratch, c.scratch + "quillon_darvo/");
    } else {
      // A private folder of the user's own, named after the process, gone
      // at the end.
      ASSERT_EQ(scratch.rfind(root_.string() + "/quillon_darvo." + std::to_string(getpid()) + ".", 0), 0u) << scratch;
      struct stat st;
      ASSERT_EQ(stat(scratch.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0700u);
      EXPECT_EQ(scratch_folder(), scratch);
      remove_private_scratch_folder();
      EXPECT_FALSE(fs::exists(scratch));
    }
    // Choosing reads the folders only: nothing was made in the home folder.
    EXPECT_TRUE(fs::is_empty(home));
  }

  // An installed program whose share/ is missing.
  std::string lonely = folder("opt/bin");
  std::string error = choose_layout(lonely);
  EXPECT_NE(error.find(root_.string() + "/opt/share/quillon_darvo/sounds/"), std::string::npos) << error;
  // A copy with sounds/ in a folder its owner cannot write (root's write
  // bypass notwithstanding) reads its data there and keeps the user's files
  // in the XDG folders; as root, so does a copy of another user's.
  std::string shared = folder("ro");
  folder("ro/sounds");
  std::string others = folder("others");
  folder("others/sounds");
  chmod(shared.c_str(), 0555);
  for (const std::string& copy : {shared, others}) {
    if (copy == others && (!root || chown(others.c_str(), 65534, 65534) != 0)) continue;
    SCOPED_TRACE(copy);
    ASSERT_EQ(choose_layout(copy), "");
    EXPECT_TRUE(installed_layout());
    EXPECT_EQ(data_folder(), copy);
    EXPECT_EQ(plugin_folder(), copy);
    EXPECT_EQ(config_folder(), home + ".config/quillon_darvo/");
    EXPECT_EQ(cache_folder(), home + ".cache/quillon_darvo/");
  }
  chmod(shared.c_str(), 0755);
}

// At start, the private scratch folders of processes that no longer run (a
// crash) go with what they hold; one whose process runs stays.
TEST_F(Layouts, ScratchFoldersOfEndedProcessesAreRemovedAtStart) {
  pid_t ended = fork();
  if (ended == 0) _exit(0);
  ASSERT_GT(ended, 0);
  waitpid(ended, nullptr, 0);
  setenv("TMPDIR", root_.c_str(), 1);
  std::string stale = folder("quillon_darvo." + std::to_string(ended) + ".aBcDeF");
  std::string running = folder("quillon_darvo." + std::to_string(getppid()) + ".gHiJkL");
  for (const std::string& f : {stale, running}) chmod(f.c_str(), 0700);
  touch(stale + "tmpfilemp31.wav");
  remove_stale_scratch_folders();
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(running));
}

TEST_F(Layouts, TheUsersSetsOverrideAndAddToTheShippedOnesByNumber) {
  setenv("HOME", folder("home").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", folder("runtime").c_str(), 1);
  std::string shipped = folder("usr/share/quillon_darvo/sounds");
  ASSERT_EQ(choose_layout(folder("usr/bin")), "");
  std::string own = folder("home/.local/share/quillon_darvo/sounds");
  ASSERT_EQ(user_sounds_folder(), own);
  put_set(shipped, 0);
  put_set(shipped, 2);
  put_set(own, 2);
  put_set(own, 5);
  for (int n = 12; n <= 96; n += 12) touch(sample_mp3_name(7, n, own));  // eight of nine: not a set

  EXPECT_EQ(sample_set_folder(0), shipped);
  EXPECT_EQ(sample_set_folder(2), own);
  EXPECT_EQ(sample_set_folder(5), own);
  EXPECT_EQ(sample_set_folder(7), shipped);
  EXPECT_EQ(next_sample_set(0), 2);
  EXPECT_EQ(next_sample_set(2), 5);
  EXPECT_EQ(next_sample_set(5), 0);
  EXPECT_EQ(digit_sample_set(9), 5);
  EXPECT_EQ(set_prompt_line(7), " 7 ->");
  // A set 0 of the user's own replaces the shipped one whole.
  put_set(own, 0);
  EXPECT_EQ(sample_set_folder(0), own);
}

TEST_F(Layouts, UserFoldersAreMadeAtStartAndAnUnwritableOneIsNamed) {
  std::string home = folder("home");
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_RUNTIME_DIR", folder("runtime").c_str(), 1);
  chmod((root_ / "runtime").c_str(), 0700);
  folder("usr/share/quillon_darvo/sounds");
  ASSERT_EQ(choose_layout(folder("usr/bin")), "");
  dialog_clear_history();
  make_user_folders();
  EXPECT_TRUE(dialog_history().empty());
  EXPECT_TRUE(fs::is_directory(home + ".config/quillon_darvo"));
  EXPECT_TRUE(fs::is_directory(home + ".local/share/quillon_darvo/save/user"));
  EXPECT_TRUE(fs::is_directory(root_ / "runtime/quillon_darvo"));
  struct stat st;
  ASSERT_EQ(stat((home + ".config/quillon_darvo").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // A settings folder whose place is taken by a file: named, and the settings
  // file there is not written either (reported when saved).
  touch(root_.string() + "/blocked");
  setenv("XDG_CONFIG_HOME", (root_.string() + "/blocked").c_str(), 1);
  ASSERT_EQ(choose_layout(root_.string() + "/usr/bin/"), "");
  make_user_folders();
  ASSERT_EQ(dialog_history().size(), 1u);
  EXPECT_EQ(dialog_history()[0].text, "cannot write to " + root_.string() + "/blocked/quillon_darvo/");
  EXPECT_FALSE(write_settings((config_folder() + "quillon_darvo.ini").c_str()));
  dialog_clear_history();
}

}  // namespace
