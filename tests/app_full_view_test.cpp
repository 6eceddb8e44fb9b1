// SPDX-License-Identifier: GPL-3.0-or-later
// The full view on the headless window: the key geometry on the piano
// picture and the key display, the thumbnail row with its frames and marks,
// the bank arrows, the level meter and the slider, notes from the mouse and
// the function keys, the presets menu with scripted dialog answers, and
// pictures that are missing or broken.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/editor_host.h"
#include "app/function_keys.h"
#include "app/key_display.h"
#include "app/level_meter.h"
#include "app/loop_request.h"
#include "app/main_loop.h"
#include "app/master_level_slider.h"
#include "app/mouse_handler.h"
#include "app/mouse_keyboard.h"
#include "app/piano_picture.h"
#include "app/presets_menu.h"
#include "app/screen.h"
#include "app/thumbnails.h"
#include "core/paths.h"
#include "effects/autovol.h"
#include "midi_test_support.h"
#include "platform/editor_frame.h"
#include "tests/support/bmp_writer.h"

namespace fs = std::filesystem;
using namespace midi_test;

namespace {

constexpr uint32_t kPianoGrey = 0x505050;  // the made-up piano picture
// Made-up thumbnails: one colour per bank and slot.
uint32_t thumbnail_color(int bank, int slot) { return 0x102030 + 0x100000 * bank + 0x10 * slot; }

// A program folder with bmp/ (the made-up pictures, or the real piano
// picture when asked) and save/user/: the program's folder, in which the
// test works.
class PictureFolder {
 public:
  explicit PictureFolder(bool real_piano = false) {
    dir_ = fs::temp_directory_path() / ("qd_full_view_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "bmp");
    fs::create_directories(dir_ / "save" / "user");
    fs::create_directories(dir_ / "sounds");
    std::string real = std::string(QD_RUN_DIR) + "bmp/piano.bmp";
    if (real_piano && fs::exists(real)) {
      fs::copy_file(real, dir_ / "bmp" / "piano.bmp");
      has_real_piano_ = true;
    } else {
      write_bmp24_filled((dir_ / "bmp" / "piano.bmp").string(), kPianoWidth, kPianoHeight, kPianoGrey);
    }
    for (int bank = 0; bank < 2; bank++)
      for (int s = 0; s < kThumbnailSlots; s++)
        write_bmp24_filled((dir_ / "bmp" / (std::string(preset_slot_name(bank, s)) + ".bmp")).string(),
                           kThumbnailWidth, kThumbnailHeight, thumbnail_color(bank, s));
    old_ = fs::current_path();
    fs::current_path(dir_);
    use_portable_layout(dir_.string());  // as the program finds its folder
  }
  ~PictureFolder() {
    use_portable_layout("");
    fs::current_path(old_);
    fs::remove_all(dir_);
  }
  fs::path path(const std::string& name) const { return dir_ / name; }
  bool has_real_piano() const { return has_real_piano_; }

 private:
  fs::path dir_, old_;
  bool has_real_piano_ = false;
};

class FullView : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_midi_state();
    set_default_settings();
    win_headless_set_desktop(1280, 1024, 24);
    read_desktop_size();
    while (!win_poll_key().empty()) {
    }
    for (int scan = 0; scan < 256; scan++) win_headless_set_key_down(scan, false);
    win_headless_set_mouse(-1, -1, 0, 0);
    fill_white_key_tables();
    cancel_set_request();
    base_title = "quillon_darvo";
    loaded_sound = 0;
  }
  void TearDown() override {
    move_mouse(-1, -1, 0);  // no note left held by the mouse keyboard
    destroy_pictures();
    win_close();
    win_headless_remove_mouse();
  }

  // The window in the full view (pictures loaded anew from the folder).
  void open_full_view() {
    destroy_pictures();
    full_view = 1;
    build_window();
    load_key_picture_and_geometry();
    draw_status_screen();
  }

  // The main loop's mouse step: the handler, then the mouse keyboard.
  void move_mouse(int x, int y, int buttons) {
    win_headless_set_mouse(x, y, 0, buttons);
    mouse_step(x, y, buttons);
    if (full_view_shown) mouse_keyboard(x, y, buttons);
  }

  void type_keys(const std::string& keys) {
    for (char c : keys) win_push_key(std::string(1, c));
  }

  // Colour of the frame line around the slot at x (its top edge).
  uint32_t frame_color(int x) { return win_read_pixel(x + 10, kThumbnailTop - 1); }
  uint32_t screen_at_dot(int key) { return win_read_pixel(key_dot_x[key], key_dot_y[key] + kPianoTop); }

  std::vector<std::string> notices() {
    std::vector<std::string> texts;
    for (const DialogRecord& r : dialog_history())
      if (r.kind == "notice") texts.push_back(r.text);
    return texts;
  }
};

// ---- key geometry and key display ----

TEST_F(FullView, EveryKeyGetsADotOnAKeyOfItsColour) {
  PictureFolder folder(true);
  if (!folder.has_real_piano()) GTEST_SKIP() << "no piano picture in " << QD_RUN_DIR << "bmp (scripts/make-assets)";
  open_full_view();
  int black = 0;
  for (int key = kFirstPianoKey; key <= kLastPianoKey; key++) {
    SCOPED_TRACE("key " + std::to_string(key));
    // The clean picture on the screen, at the dot: light for a white key,
    // dark for a black one.
    uint32_t c = screen_at_dot(key);
    int brightness = ((c >> 16) & 0xFF) + ((c >> 8) & 0xFF) + (c & 0xFF);
    if (is_black_key(key)) {
      black++;
      EXPECT_LT(brightness, 3 * 90);
    } else {
      EXPECT_GT(brightness, 3 * 170);
    }
    mark_key_down(key);
    EXPECT_EQ(screen_at_dot(key), 0xFF0000u);
    mark_key_up(key);
    EXPECT_EQ(screen_at_dot(key), c);
  }
  EXPECT_EQ(black, 36);
}

TEST_F(FullView, ClicksOnTheTwoRowsFindTheirKeys) {
  struct Case {
    int x;
    bool white_row;
    int key;
  };
  // White row: floor(52 (x - 29) / 639) is the white key; black row:
  // floor(88 (x - 29) / 636) + 9 is the key.
  const Case cases[] = {
      {30, true, 9},     {41, true, 9},    {42, true, 11},   {54, true, 12},  {667, true, 96},
      {668, true, -1},   {29, true, -1},   {30, false, 9},   {36, false, 9},  {37, false, 10},
      {44, false, 11},   {352, false, 53}, {357, false, 54}, {664, false, 96}, {665, false, -1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(piano_key_at(c.x, c.white_row), c.key) << "x " << c.x << (c.white_row ? " white" : " black");
}

TEST_F(FullView, SoundingKeysShowRedDotsUntilReleasedOrSilenced) {
  PictureFolder folder;
  open_full_view();
  voice_note_on(0, 60, 100);
  voice_note_on(0, 61, 100);
  voice_note_on(0, 100, 100);  // beyond the picture: no dot, no fault
  display_keys_down();
  display_keys_up();
  EXPECT_EQ(screen_at_dot(60), 0xFF0000u);
  EXPECT_EQ(screen_at_dot(61), 0xFF0000u);
  voice_note_off(0, 60);
  display_keys_down();
  display_keys_up();
  EXPECT_EQ(screen_at_dot(60), kPianoGrey);
  EXPECT_EQ(screen_at_dot(61), 0xFF0000u);

  // Nothing is drawn while a prompt holds the screen.
  input_active = 1;
  voice_note_on(0, 64, 100);
  display_keys_down();
  display_keys_up();
  input_active = 0;
  EXPECT_EQ(screen_at_dot(64), kPianoGrey);

  silence_all_voices();
  display_keys_down();
  display_keys_up();
  EXPECT_EQ(screen_at_dot(61), kPianoGrey);
}

// ---- thumbnails, marks and bank arrows ----

TEST_F(FullView, SelectedPresetIsFramedInItsBankColour) {
  PictureFolder folder;
  preset_name = "upright.preset";
  open_full_view();
  EXPECT_EQ(preset_factory_mark, 560);
  EXPECT_EQ(frame_color(560), kFactoryFrame);
  EXPECT_EQ(win_read_pixel(560 + kThumbnailWidth, 40), kFactoryFrame);  // right edge
  EXPECT_EQ(win_read_pixel(570, 20), thumbnail_color(0, 3));
  EXPECT_EQ(frame_color(490), 0u);

  preset_bank = 1;
  open_full_view();
  EXPECT_EQ(frame_color(560), 0u);
  EXPECT_EQ(win_read_pixel(570, 20), thumbnail_color(1, 3));

  preset_name = "user3.preset";
  open_full_view();
  EXPECT_EQ(frame_color(490), kUserFrame);
  EXPECT_EQ(preset_factory_mark, 0);
  EXPECT_EQ(preset_user_mark, 490);

  // The writer takes the bank from the marks of the full view.
  preset_bank = 0;
  std::string text = format_settings();
  size_t bank_line = 0;   // line 2096
  for (int n = 1; n < 2096; n++) bank_line = text.find('\n', bank_line) + 1;
  EXPECT_EQ(text.substr(bank_line, 4), " 1\r\n");
  EXPECT_EQ(preset_bank, 1);
}

TEST_F(FullView, HoverFrameFollowsTheMouseAndKeepsTheSelection) {
  PictureFolder folder;
  preset_name = "upright.preset";
  open_full_view();
  move_mouse(495, 30, 0);
  EXPECT_EQ(frame_color(490), kHoverFrame);
  move_mouse(565, 30, 0);  // the selected slot keeps its own frame
  EXPECT_EQ(hovered_thumbnail_x, 560);
  EXPECT_EQ(frame_color(490), 0u);
  EXPECT_EQ(frame_color(560), kFactoryFrame);
  move_mouse(420, 30, 0);  // on the slot's edge: between slots
  EXPECT_EQ(hovered_thumbnail_x, 0);
  EXPECT_EQ(frame_color(560), kFactoryFrame);
  move_mouse(421, 30, 0);
  EXPECT_EQ(frame_color(420), kHoverFrame);
  move_mouse(421, 75, 0);  // below the row
  EXPECT_EQ(frame_color(420), 0u);
  EXPECT_EQ(frame_color(560), kFactoryFrame);
}

TEST_F(FullView, ThumbnailClickLoadsItsPresetAndAsksForAReload) {
  PictureFolder folder;
  set_default_settings();
  piano_sound = 3;
  reverb_mode = 2;
  full_view = 0;  // kept by the load
  ASSERT_TRUE(write_settings("bmp/granpiano2.preset"));
  set_default_settings();
  preset_bank = 0;
  open_full_view();
  move_mouse(425, 30, 1);
  EXPECT_EQ(piano_sound.load(), 3);
  EXPECT_EQ(take_set_request(piano_sound), 3);  // the preset's set, loaded again
  EXPECT_EQ(reverb_mode.load(), 2);
  EXPECT_EQ(full_view.load(), 1);
  EXPECT_EQ(preset_name, "granpiano2.preset");
  EXPECT_EQ(win_get_title(), "quillon_darvo    granpiano2.preset");
  EXPECT_EQ(preset_factory_mark, 420);
  EXPECT_EQ(frame_color(420), kFactoryFrame);

  // A user slot without its preset file: selected, nothing loaded.
  preset_bank = 1;
  open_full_view();
  move_mouse(355, 30, 1);
  EXPECT_FALSE(set_change_requested());
  EXPECT_EQ(preset_user_mark, 350);
  EXPECT_EQ(preset_factory_mark, 0);
  EXPECT_EQ(preset_bank, 1);
}

TEST_F(FullView, BankArrowsShowNearTheRowAndSwitchTheBank) {
  PictureFolder folder;
  preset_bank = 0;
  open_full_view();
  move_mouse(420, 60, 0);
  int help_pixels = 0;  // "[H]help" at (351, 85)
  for (int x = 351; x < 351 + 7 * 8; x++)
    for (int y = 85; y < 93; y++) help_pixels += win_read_pixel(x, y) == 0x00C800u;
  EXPECT_GT(help_pixels, 40);
  move_mouse(422, 90, 0);
  bool red = false, green = false;
  for (int x = 418; x < 434; x++)
    for (int y = 85; y < 93; y++) {
      red |= win_read_pixel(x, y) == 0xFA0000u && x < 426;
      green |= win_read_pixel(x, y) == 0x00FF00u && x >= 426;
    }
  EXPECT_TRUE(red && green) << "the arrow under the mouse in red, the other in green";
  move_mouse(430, 90, 1);
  EXPECT_EQ(preset_bank, 1);
  EXPECT_EQ(win_read_pixel(360, 20), thumbnail_color(1, 0));  // the window was rebuilt
  move_mouse(600, 200, 0);  // away: both arrows black again
  for (int x = 418; x < 434; x++)
    for (int y = 85; y < 93; y++) EXPECT_EQ(win_read_pixel(x, y), 0u);
}

TEST_F(FullView, SetNameLightsUnderTheMouseAndItsClickOpensTheSetPrompt) {
  PictureFolder folder;
  for (int n = 12; n <= 108; n += 12)
    std::ofstream(folder.path("sounds/piano2_" + std::to_string(n) + ".wav"));
  open_full_view();
  // "piano" at row 3, column 17: x 128..167, y 16..23; the mouse counts
  // from x 123 to 127 + 8 x 5 and y 10 to 24.
  move_mouse(130, 24, 0);
  EXPECT_EQ(win_read_pixel(128, 16), 0x46B4C8u);
  move_mouse(168, 24, 0);
  EXPECT_EQ(win_read_pixel(128, 16), kTextBackground);

  type_keys("2\r");
  piano_sound = 0;
  move_mouse(130, 12, 1);
  EXPECT_EQ(piano_sound.load(), 0);
  EXPECT_EQ(take_set_request(piano_sound), 2);  // the main loop then loads set 2
  EXPECT_EQ(input_active.load(), 0);
  EXPECT_EQ(win_width(), kFullWidth);  // rebuilt after the prompt window
  EXPECT_NE(status_screen_text().find("[P]presets  [M]midi"), std::string::npos);
}

// ---- level meter and slider ----

TEST_F(FullView, LevelMeterFollowsTheLogarithmOfThePeak) {
  open_full_view();
  struct Step {
    float peak;
    int length;
  };
  // Each bar is smoothed with the one before; the meter starts empty (no
  // other test of this program draws it). A peak of 0 gives 1 pixel.
  const Step steps[] = {{32767.0f, 59}, {32743.0f, 65}, {40000.0f, 66}, {256.0f * 8, 32},
                        {-5.0f, 4},     {0.0f, 1},      {0.0f, 1}};
  for (const Step& s : steps) {
    peak_hold = s.peak;
    draw_level_meter();
    EXPECT_EQ(level_meter_length(), s.length) << "peak " << s.peak;
    EXPECT_EQ(win_read_pixel(3 + s.length, 36), 0x00FF00u);
    if (s.length < 66) {
      EXPECT_EQ(win_read_pixel(4 + s.length, 36), 0x0000FAu);
    }
  }
  peak_hold = 1.0f;
}

TEST_F(FullView, SliderClickSetsTheMasterLevelNeverBelowTwoHundredths) {
  open_full_view();
  struct Click {
    int x, y, buttons;
    float level;
  };
  const Click clicks[] = {{205, 35, 1, 0.02f}, {333, 35, 1, 1.0f}, {269, 41, 1, 0.5f}, {250, 42, 1, 0.5f},
                          {204, 35, 1, 0.5f},  {300, 35, 0, 0.5f}, {300, 35, 3, 95.0f / 128}};
  for (const Click& c : clicks) {
    master_level_slider(c.x, c.y, c.buttons);
    EXPECT_FLOAT_EQ(master_level.load(), c.level) << c.x << "," << c.y << " buttons " << c.buttons;
  }
  EXPECT_EQ(win_read_pixel(206, 36), 0x00FF00u);
  EXPECT_EQ(win_read_pixel(320, 39), 0x000064u);
}

// ---- notes from the mouse and the function keys ----

TEST_F(FullView, ClickOnThePianoPlaysTheKeyUntilTheButtonIsUp) {
  PictureFolder folder;
  open_full_view();
  move_mouse(357, 180, 0);
  move_mouse(357, 180, 1);  // black row: key 54
  EXPECT_EQ(voices_of(54, 15), 1);
  EXPECT_EQ(win_read_pixel(key_dot_x[54], 190), 0xFF0000u);
  move_mouse(357, 180, 0);
  fake_now.store(fake_now.load() + 0.5);
  serve_note_off_queue();
  EXPECT_EQ(voices_of(54, 15), 0);
  EXPECT_EQ(win_read_pixel(key_dot_x[54], 190), kPianoGrey);

  move_mouse(667, 210, 1);  // the last white key, right of the black row's end
  EXPECT_EQ(voices_of(96, 15), 1);
  EXPECT_EQ(win_read_pixel(key_dot_x[96], 220), 0xFF0000u);
  move_mouse(667, 210, 0);
  move_mouse(100, 150, 1);  // above the keys
  EXPECT_EQ(voice_count.load(), 1);  // 96 still waits for its delayed release
  move_mouse(100, 150, 0);

  // An editor's mouse read plays notes too, and reports clicks only in the
  // text area.
  install_editor_host();
  int x, y, buttons;
  win_headless_set_mouse(54, 215, 0, 1);
  EXPECT_TRUE(editor_mouse_read(&x, &y, &buttons));
  EXPECT_EQ(buttons, 0);
  EXPECT_EQ(voices_of(white_key_number[2], 15), 1);
  win_headless_set_mouse(100, 50, 0, 1);
  EXPECT_TRUE(editor_mouse_read(&x, &y, &buttons));
  EXPECT_EQ(buttons, 1);
}

TEST_F(FullView, FunctionKeysPlayAnOctaveThatShiftMoves) {
  int code = 0;
  win_headless_set_key_down(kScanF1, true);
  function_key_notes(&code);
  EXPECT_EQ(voices_of(48, 15), 1);
  function_key_notes(&code);  // held: no second note-on
  EXPECT_EQ(voice_count.load(), 1);
  win_headless_set_key_down(kScanF1, false);
  function_key_notes(&code);
  fake_now.store(fake_now.load() + 0.5);
  serve_note_off_queue();
  EXPECT_EQ(voices_of(48, 15), 0);

  voice_note_on(0, 70, 100);
  win_headless_set_key_down(kScanLeftShift, true);
  win_headless_set_key_down(kScanF1 + 2, true);  // F3
  code = 'x';
  function_key_notes(&code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(voice_count.load(), 0);  // silenced
  win_headless_set_key_down(kScanLeftShift, false);
  function_key_notes(&code);  // F3 still held, now without Shift: base 36 + 2
  EXPECT_EQ(voices_of(38, 15), 1);
  win_headless_set_key_down(kScanF12, true);
  function_key_notes(&code);
  EXPECT_EQ(voices_of(47, 15), 1);
  win_headless_set_key_down(kScanF1 + 2, false);
  win_headless_set_key_down(kScanF12, false);
  function_key_notes(&code);
  silence_all_voices();
}

// ---- presets menu ----

TEST_F(FullView, PresetsMenuRefusesBadNamesAndMissingFiles) {
  PictureFolder folder;
  open_full_view();
  std::string save = folder.path("save").string();
  // The dialogs answer whole paths, as the file dialogs do.
  dialog_script_answer("notes.txt");         // S: a name with another extension
  dialog_script_answer(save + "/absent");    // L: no such preset
  dialog_script_answer(save + "/kept");      // S: answered "no"
  dialog_script_answer("no");
  dialog_script_answer("");           // L: dialog cancelled
  for (const char* key : {"s", "L", "S", "l", "q"}) win_push_key(key);
  EXPECT_EQ(presets_menu(), "q");
  EXPECT_EQ(notices(), (std::vector<std::string>{"bad name notes.txt", "not found :" + save + "/absent.preset"}));
  EXPECT_FALSE(fs::exists(folder.path("save/kept.preset")));
  EXPECT_EQ(input_active.load(), 0);
  // The dialogs open in the save folder with the preset pattern; the menu
  // texts and the cleared hint are on the screen.
  for (const DialogRecord& r : dialog_history())
    if (r.kind == "file") {
      EXPECT_EQ(r.filters[0].pattern, "*.preset");
    }
  EXPECT_EQ(win_row_text(4).substr(3, 19), "[L]load     [S]save");
  for (int x = 56 * 8; x < 86 * 8; x++)  // the hint's cells are blank
    for (int y = 88; y < kPianoTop; y++) ASSERT_EQ(win_read_pixel(x, y), 0u) << x << "," << y;
}

TEST_F(FullView, SavedPresetLoadsBackThroughTheMenu) {
  PictureFolder folder;
  open_full_view();
  std::string path = folder.path("save/mine.preset").string();
  reverb_mode = 3;
  window_x = 222;
  midi_in_port = 2;
  dialog_script_answer(folder.path("save/mine").string());
  dialog_script_answer("yes");
  win_push_key("S");
  EXPECT_EQ(presets_menu(), "");  // a save closes the menu
  EXPECT_FALSE(set_change_requested());
  EXPECT_EQ(notices(), std::vector<std::string>{"preset saved as " + path});
  EXPECT_EQ(dialog_history()[1].text, "save in " + path + " ?");
  EXPECT_EQ(win_get_title(), "quillon_darvo    mine.preset");
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), kSettingsLines);

  dialog_clear_history();
  reverb_mode = 0;
  window_x = 500;
  midi_in_port = 1;
  preset_name = "other.preset";
  dialog_script_answer(path);
  dialog_script_answer("yes");
  win_push_key("l");
  EXPECT_EQ(presets_menu(), "");
  EXPECT_EQ(take_set_request(piano_sound), piano_sound.load());  // a reload
  EXPECT_EQ(dialog_history()[1].text, "load " + path + " ?");
  EXPECT_EQ(reverb_mode.load(), 3);
  EXPECT_EQ(window_x, 222);
  EXPECT_EQ(midi_in_port, 1);  // the machine's own ports stay
  EXPECT_EQ(preset_name, "mine.preset");
  EXPECT_EQ(win_get_title(), "quillon_darvo    mine.preset");
}

TEST_F(FullView, PresetThatIsNoSettingsFileLoadsAsDefaults) {
  PictureFolder folder;
  {
    std::ofstream out(folder.path("save/text.preset"));
    out << "this is not\na settings file\n";
  }
  reverb_mode = 2;
  EXPECT_TRUE(load_preset("save/text.preset"));
  EXPECT_TRUE(set_change_requested());
  EXPECT_EQ(piano_sound.load(), 0);
  EXPECT_EQ(window_x, 0);
  EXPECT_EQ(reverb_mode.load(), 0);
  EXPECT_FLOAT_EQ(keyvol_table[0][0].load(), 127.0f);
  EXPECT_EQ(preset_name, "text.preset");
  cancel_set_request();
  EXPECT_FALSE(load_preset("save/none.preset"));
  EXPECT_FALSE(set_change_requested());
}

// ---- pictures that are missing or broken ----

TEST_F(FullView, BrokenPicturesLeaveTheirAreaBlack) {
  PictureFolder folder;
  auto text_file = [](const fs::path& p) { std::ofstream(p) << "not a picture\n"; };
  auto zero_bytes = [](const fs::path& p) { std::ofstream{p}; };
  auto tiny = [](const fs::path& p) { write_bmp24_filled(p.string(), 1, 1, 0xFFFFFF); };
  auto huge_header = [](const fs::path& p) {
    // A 5000 x 5000 BMP's header, the pixels cut off.
    std::vector<uint8_t> h(54, 0);
    h[0] = 'B', h[1] = 'M', h[14] = 40, h[18] = 0x88, h[19] = 0x13, h[22] = 0x88, h[23] = 0x13, h[26] = 1, h[28] = 24;
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(h.data()), h.size());
  };
  auto big = [](const fs::path& p) { write_bmp24_filled(p.string(), 800, 300, 0xFFFFFF); };
  auto absent = [](const fs::path& p) { fs::remove(p); };
  const std::vector<void (*)(const fs::path&)> breakers = {text_file, zero_bytes, tiny, huge_header, big, absent};
  for (size_t i = 0; i < breakers.size(); i++) {
    SCOPED_TRACE("case " + std::to_string(i));
    breakers[i](folder.path("bmp/piano.bmp"));
    breakers[i](folder.path("bmp/upright.bmp"));
    dialog_clear_history();
    open_full_view();
    EXPECT_EQ(win_read_pixel(0, kPianoTop), 0u);
    EXPECT_EQ(win_read_pixel(699, 240), 0u);
    EXPECT_EQ(win_read_pixel(560, 8), 0u);
    EXPECT_EQ(win_read_pixel(623, 74), 0u);
    EXPECT_EQ(win_read_pixel(630, 8), thumbnail_color(0, 4));
    EXPECT_TRUE(dialog_history().empty());
    // The key display still works on the black picture.
    mark_key_down(60);
    EXPECT_EQ(screen_at_dot(60), 0xFF0000u);
    mark_key_up(60);
    EXPECT_EQ(screen_at_dot(60), 0u);
  }
}

}  // namespace
