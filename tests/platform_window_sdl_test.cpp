// SPDX-License-Identifier: GPL-3.0-or-later
// The SDL back end and SDL as a reference: key codes from SDL events, and
// the window layer's own BMP decoder against SDL's loader on the pictures
// the program ships and on a picture of every kind it reads.
#include <SDL.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/bmp.h"
#include "platform/window.h"
#include "platform/window_sdl.h"
#include "tests/support/bmp_writer.h"

namespace {

std::string ext(int scan) { return std::string(1, (char)255) + (char)scan; }

SDL_Event key_event(SDL_Scancode sc, SDL_Keycode sym, Uint16 mod = 0) {
  SDL_Event e{};
  e.type = SDL_KEYDOWN;
  e.key.keysym.scancode = sc;
  e.key.keysym.sym = sym;
  e.key.keysym.mod = mod;
  return e;
}

SDL_Event text_event(const char* text) {
  SDL_Event e{};
  e.type = SDL_TEXTINPUT;
  std::snprintf(e.text.text, sizeof e.text.text, "%s", text);
  return e;
}

TEST(KeyCodes, ExtendedKeysAreByte255AndScanCode) {
  SDL_Event up = key_event(SDL_SCANCODE_UP, SDLK_UP);
  EXPECT_EQ(sdl_event_key_code(&up), ext(72));
  struct { SDL_Scancode sc; SDL_Keycode sym; int scan; } cases[] = {
      {SDL_SCANCODE_F1, SDLK_F1, 59},       {SDL_SCANCODE_F10, SDLK_F10, 68},
      {SDL_SCANCODE_F11, SDLK_F11, 87},     {SDL_SCANCODE_F12, SDLK_F12, 88},
      {SDL_SCANCODE_LEFT, SDLK_LEFT, 75},   {SDL_SCANCODE_RIGHT, SDLK_RIGHT, 77},
      {SDL_SCANCODE_DOWN, SDLK_DOWN, 80},   {SDL_SCANCODE_HOME, SDLK_HOME, 71},
      {SDL_SCANCODE_END, SDLK_END, 79},     {SDL_SCANCODE_PAGEUP, SDLK_PAGEUP, 73},
      {SDL_SCANCODE_PAGEDOWN, SDLK_PAGEDOWN, 81}, {SDL_SCANCODE_INSERT, SDLK_INSERT, 82},
      {SDL_SCANCODE_DELETE, SDLK_DELETE, 83},
  };
  for (const auto& c : cases) {
    SDL_Event e = key_event(c.sc, c.sym);
    EXPECT_EQ(sdl_event_key_code(&e), ext(c.scan)) << c.scan;
  }
}

TEST(KeyCodes, CloseButtonIs255And107) {
  SDL_Event quit{};
  quit.type = SDL_QUIT;
  EXPECT_EQ(sdl_event_key_code(&quit), ext(107));
  EXPECT_EQ(sdl_event_key_code(&quit)[1], 'k');
}

TEST(KeyCodes, OrdinaryKeysComeAsTyped) {
  SDL_Event a = text_event("a"), big_a = text_event("A"), e_acute = text_event("\xC3\xA9");
  EXPECT_EQ(sdl_event_key_code(&a), "a");
  EXPECT_EQ(sdl_event_key_code(&big_a), "A");
  EXPECT_EQ(sdl_event_key_code(&e_acute), std::string(1, (char)0xE9));
  SDL_Event y_diaeresis = text_event("\xC3\xBF"), euro = text_event("\xE2\x82\xAC");
  EXPECT_EQ(sdl_event_key_code(&y_diaeresis), "");  // 255 would read as an extended key
  EXPECT_EQ(sdl_event_key_code(&euro), "");

  SDL_Event enter = key_event(SDL_SCANCODE_RETURN, SDLK_RETURN);
  SDL_Event esc = key_event(SDL_SCANCODE_ESCAPE, SDLK_ESCAPE);
  SDL_Event back = key_event(SDL_SCANCODE_BACKSPACE, SDLK_BACKSPACE);
  SDL_Event tab = key_event(SDL_SCANCODE_TAB, SDLK_TAB);
  SDL_Event ctrl_c = key_event(SDL_SCANCODE_C, SDLK_c, KMOD_LCTRL);
  SDL_Event plain_c = key_event(SDL_SCANCODE_C, SDLK_c);
  EXPECT_EQ(sdl_event_key_code(&enter), "\r");
  EXPECT_EQ(sdl_event_key_code(&esc), "\x1b");
  EXPECT_EQ(sdl_event_key_code(&back), "\b");
  EXPECT_EQ(sdl_event_key_code(&tab), "\t");
  EXPECT_EQ(sdl_event_key_code(&ctrl_c), "\x03");
  EXPECT_EQ(sdl_event_key_code(&plain_c), "");  // its text event carries it
}

TEST(KeyCodes, KeyDownUsesSetOneScanCodes) {
  EXPECT_EQ(sdl_scancode_to_set1(SDL_SCANCODE_LSHIFT), 42);
  EXPECT_EQ(sdl_scancode_to_set1(SDL_SCANCODE_A), 30);
  EXPECT_EQ(sdl_scancode_to_set1(SDL_SCANCODE_Q), 16);
  EXPECT_EQ(sdl_scancode_to_set1(SDL_SCANCODE_M), 50);
  EXPECT_EQ(sdl_scancode_to_set1(SDL_SCANCODE_F12), 88);
  EXPECT_EQ(sdl_scancode_to_set1(SDL_SCANCODE_AUDIOPLAY), 0);
}

// ---------------------------------------------------------------------------
// Pictures

// A picture as SDL reads it, 0xRRGGBB row by row; empty when SDL refuses it.
std::vector<uint32_t> sdl_pixels(const std::vector<uint8_t>& file, int* width, int* height) {
  std::vector<uint32_t> out;
  SDL_Surface* loaded = SDL_LoadBMP_RW(SDL_RWFromConstMem(file.data(), (int)file.size()), 1);
  if (!loaded) return out;
  SDL_Surface* rgb = SDL_ConvertSurfaceFormat(loaded, SDL_PIXELFORMAT_RGB888, 0);
  SDL_FreeSurface(loaded);
  if (!rgb) return out;
  SDL_LockSurface(rgb);
  *width = rgb->w;
  *height = rgb->h;
  for (int y = 0; y < rgb->h; y++) {
    const uint32_t* row = (const uint32_t*)((const uint8_t*)rgb->pixels + (size_t)y * rgb->pitch);
    for (int x = 0; x < rgb->w; x++) out.push_back(row[x] & 0xFFFFFF);
  }
  SDL_UnlockSurface(rgb);
  SDL_FreeSurface(rgb);
  return out;
}

std::vector<uint8_t> read_bytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return bytes;
  int c;
  while ((c = std::fgetc(f)) != EOF) bytes.push_back((uint8_t)c);
  std::fclose(f);
  return bytes;
}

// Decodes the file with the window layer, from memory and from disk, and
// with SDL: the same size and the same pixels every way.
void expect_same_as_sdl(const std::vector<uint8_t>& file, const std::string& name) {
  SCOPED_TRACE(name);
  int w = 0, h = 0;
  std::vector<uint32_t> reference = sdl_pixels(file, &w, &h);
  ASSERT_FALSE(reference.empty()) << SDL_GetError();
  std::vector<uint32_t> ours(reference.size(), 0xABCDEF);
  ASSERT_TRUE(bmp_decode(file.data(), file.size(), ours.data(), w, h));
  EXPECT_EQ(ours, reference);

  std::string path = ::testing::TempDir() + "qd_bmp_sdl_" + std::to_string(getpid()) + ".bmp";
  ASSERT_TRUE(write_bytes(path, file));
  int fw = 0, fh = 0;
  ASSERT_TRUE(win_bmp_size(path.c_str(), &fw, &fh));
  EXPECT_EQ(fw, w);
  EXPECT_EQ(fh, h);
  WinImage* image = win_image_create(w, h);
  ASSERT_TRUE(win_image_load_bmp(image, path.c_str()));
  EXPECT_EQ(image->pixels, reference);
  win_image_destroy(image);
  std::remove(path.c_str());
}

TEST(Pictures, TheShippedPicturesDecodeAsSdlReadsThem) {
  std::string tool = std::string(QD_RUN_DIR) + "../tools/draw_pictures";
  if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << "draw_pictures not built";
  std::string dir = ::testing::TempDir() + "qd_bmp_sdl_pictures_" + std::to_string(getpid());
  ASSERT_EQ(std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "' && '" + tool + "' '" + dir + "'").c_str()), 0);
  const char* names[] = {"piano", "granpiano", "granpiano1", "granpiano2", "upright", "epiano",
                         "user1", "user2", "user3", "user4", "user5"};
  for (const char* name : names) expect_same_as_sdl(read_bytes(dir + "/" + name + ".bmp"), name);
  std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(Pictures, EveryKindDecodesAsSdlReadsIt) {
  // Widths whose rows need padding, and more colours than a palette holds.
  const int w = 37, h = 11;
  std::vector<uint32_t> pixels;
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) pixels.push_back((uint32_t)(x * 7 + y * 3) << 16 | (uint32_t)(x * y & 0xFF) << 8 | (uint32_t)(255 - x - y));
  const struct {
    BmpKind kind;
    const char* name;
  } kinds[] = {
      {BmpKind::kRgb24, "24-bit"},
      {BmpKind::kRgb24TopDown, "24-bit top-down"},
      {BmpKind::kRgb32, "32-bit"},
      {BmpKind::kBitfields32, "32-bit with masks"},
      {BmpKind::kV5Bitfields32TopDown, "32-bit with masks in the longest header, top-down"},
      {BmpKind::kPalette8, "8-bit"},
      {BmpKind::kCorePalette8, "8-bit, core header"},
      {BmpKind::kCoreRgb24, "24-bit, core header"},
  };
  for (const auto& k : kinds) expect_same_as_sdl(bmp_bytes(k.kind, w, h, pixels), k.name);
}

}  // namespace
