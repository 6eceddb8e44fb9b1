// SPDX-License-Identifier: GPL-3.0-or-later
// The ".equ"/".key" and ".rev"/".keyrev" files and the effect editors' save
// and load commands: the number forms written, what short, nonsense and
// out-of-range files read as, and each editor's titles, texts and extension.
// (The key tone and key reverb editors run their sample pass on no waves here.)
#include <gtest/gtest.h>

#include "effects/equalizer.h"
#include "effects/equalizer_editor.h"
#include "effects/keyrev.h"
#include "effects/keytone.h"
#include "effects/reverb.h"
#include "effects/reverb_editor.h"
#include "effects/reverb_params_file.h"
#include "effects/tone_bands_file.h"
#include "tests/support/editor_session.h"

using namespace editortest;

namespace {

TEST(FilterFile, DefaultsAreWrittenAsSixLines) {
  ToneBands b;
  EXPECT_EQ(format_tone_bands(b), " 200\r\n 8000\r\n2\r\n1\r\n1.2\r\n 1\r\n");
  b.lowf = -5;
  b.lowg = -0.5f;
  b.midg = 1e30f;
  b.order = 0;
  EXPECT_EQ(format_tone_bands(b), "-5\r\n 8000\r\n-0.5\r\n1e+30\r\n1.2\r\n 0\r\n");
}

TEST(FilterFile, ReaderTakesTheLinesThereAreClampedToTheirRanges) {
  const ToneBandRanges& eq = kEqualizerRanges;
  struct Case {
    const char* what;
    std::string text;
    const ToneBandRanges& ranges;
    int lowf, highf, order;
    float lowg, midg;
  } cases[] = {
      {"three lines change three fields", " 300\r\n 9000\r\n0.5\r\n", eq, 300, 9000, 1, 0.5f, 1.0f},
      {"halves round to even", "200.5\n201.5\n2\n1\n1\n3.5\n", eq, 200, 202, 4, 2.0f, 1.0f},
      {"nonsense reads as 0", "abc\n\nx1\n-\n.\n", eq, 20, 20, 1, 0.0f, 0.0f},
      {"the equalizer's ranges", "-5\n99999\n1e30\n-7\n1\n0\n", eq, 20, 20000, 1, 10.0f, 0.0f},
      {"the key tone's ranges", "-5\n99999\n1e30\n-7\n1\n9\n", kKeytoneRanges, 100, 10000, 5, 10.0f, 0.1f},
      {"infinities stay finite", "1e999\n-1e999\n1e999\n-1e999\n", eq, 20000, 20, 1, 10.0f, 0.0f},
      {"NaN texts read as 0", "nan\nNaN\ninf\n", eq, 20, 20, 1, 0.0f, 1.0f},
      {"an empty file changes nothing", "", eq, 200, 8000, 1, 2.0f, 1.0f},
  };
  for (const Case& c : cases) {
    ToneBands b;
    read_tone_bands_text(c.text.data(), c.text.size(), b, c.ranges);
    EXPECT_EQ(b.lowf, c.lowf) << c.what;
    EXPECT_EQ(b.highf, c.highf) << c.what;
    EXPECT_EQ(b.order, c.order) << c.what;
    EXPECT_EQ(b.lowg, c.lowg) << c.what;
    EXPECT_EQ(b.midg, c.midg) << c.what;
  }
}

TEST(ReverbFile, FourLinesWithABlankBeforeNonNegatives) {
  ReverbParams p = {0.55f, 0.34f, 225.0f, 300.0f};
  EXPECT_EQ(format_reverb_params(p), " 0.55\r\n 0.34\r\n 225\r\n 300\r\n");
  p = {-0.25f, 0.0f, -5.0f, 1e30f};
  EXPECT_EQ(format_reverb_params(p), "-0.25\r\n 0\r\n-5\r\n 1e+30\r\n");
  struct Case {
    const char* what;
    std::string text;
    ReverbParams expected;
  } cases[] = {
      {"two lines change two fields", " 0.1\r\n 0.2\r\n", {0.1f, 0.2f, 225.0f, 300.0f}},
      {"gains to 0..0.7, times to 10..1000", "-5\n7\n-5\n5000\n", {0.0f, 0.7f, 10.0f, 1000.0f}},
      {"times to whole milliseconds", " 0.5\n 0.5\n 224.6\n 10.4\n", {0.5f, 0.5f, 225.0f, 10.0f}},
      {"huge lines and numbers", std::string(100000, '7') + "\n" + std::string(400, '9') + "\n", {0.7f, 0.7f, 225.0f, 300.0f}},
  };
  for (const Case& c : cases) {
    ReverbParams q = {0.55f, 0.34f, 225.0f, 300.0f};
    read_reverb_params_text(c.text.data(), c.text.size(), q);
    EXPECT_EQ(q.kreverb1, c.expected.kreverb1) << c.what;
    EXPECT_EQ(q.kreverb2, c.expected.kreverb2) << c.what;
    EXPECT_EQ(q.Treverb1, c.expected.Treverb1) << c.what;
    EXPECT_EQ(q.Treverb2, c.expected.Treverb2) << c.what;
  }
}

// ---- the editors' file commands ----

struct EditorFiles {
  const char* feature;
  const char* extension;
  void (*editor)();
  std::string (*current)();  // the edited values as their file writes them
  void (*change)();          // changes the edited values
};

void edit_reverb() { reverb_editor(reverb_mode.load()); }

const EditorFiles kEditors[] = {
    {"equalizer", ".equ", equalizer_editor, [] { return format_tone_bands(eq_bands); },
     [] { eq_bands.lowf = 333; }},
    {"reverb", ".rev", edit_reverb, [] { return format_reverb_params(reverb3_params); },
     [] { reverb3_params.Treverb1 = 444.0f; }},
    {"keytone", ".key", keytone_editor, [] { return format_tone_bands(keytone_bands); },
     [] { keytone_bands.highf = 5555; }},
    {"keyreverb", ".keyrev", keyrev_editor, [] { return format_reverb_params(keyrev_params); },
     [] { keyrev_params.kreverb2 = 0.125f; }},
};

class EditorFileCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    set_default_settings();
    reverb_mode = 3;
    start();
  }
  void TearDown() override { finish(); }
  SaveFolder folder;
};

TEST_F(EditorFileCommands, SaveAndLoadUseTheFeaturesTitlesAndExtension) {
  for (const EditorFiles& e : kEditors) {
    std::string name = std::string("save/mine") + e.extension;
    dialog_clear_history();
    run(e.editor, {answers({"save/mine", "yes"}), key("s"), idle(), idle(), idle()});
    EXPECT_EQ(file_text(name), e.current()) << e.feature;
    std::string saved = e.current();
    ASSERT_GE(dialog_history().size(), 3u) << e.feature;
    EXPECT_EQ(dialog_history()[0].title, std::string("save ") + e.feature);
    EXPECT_EQ(dialog_history()[0].filters.at(0).pattern, std::string("*") + e.extension);
    EXPECT_EQ(dialog_history()[1].title, std::string("save ") + e.feature);
    EXPECT_EQ(dialog_history()[1].text, "save in " + name + " ?");
    EXPECT_EQ(dialog_history()[2].text, std::string(e.feature) + " saved as " + name);
    EXPECT_EQ(input_active.load(), 0);

    e.change();
    dialog_clear_history();
    run(e.editor, {answers({"save/mine", "no"}), key("l"), idle(), idle(), idle()});
    EXPECT_NE(e.current(), saved) << e.feature << ": a no reads nothing";
    run(e.editor, {answers({"save/mine.txt"}), key("l"), idle(), idle(), idle()});
    run(e.editor, {answers({"save/none"}), key("l"), idle(), idle(), idle()});
    EXPECT_NE(e.current(), saved) << e.feature;
    run(e.editor, {answers({"save/mine", "yes"}), key("L"), idle(), idle(), idle()});
    EXPECT_EQ(e.current(), saved) << e.feature << ": loaded";
    std::vector<std::string> notices = dialog_texts("notice");
    ASSERT_EQ(notices.size(), 2u) << e.feature;
    EXPECT_EQ(notices[0], "bad name save/mine.txt");
    EXPECT_EQ(notices[1], std::string("not found :save/none") + e.extension);
    EXPECT_EQ(dialog_texts("confirm").back(), "load " + name + " ?");
    EXPECT_EQ(dialog_history().back().title, std::string("load ") + e.feature);
  }
}

}  // namespace
