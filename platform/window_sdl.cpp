// SPDX-License-Identifier: GPL-3.0-or-later
// SDL2 back end of the window layer. Implements: the real window, whose
// surface receives the framebuffer (no renderer, so no GL library is
// loaded), the window title and position, desktop information, key codes
// from keyboard and text events (extended keys as 255 + PC set-1 scan code),
// key-down states by scan code, the mouse and message boxes. Pictures are
// decoded by the portable layer (bmp.cpp).
// Threads: main thread only.
#include <SDL.h>
#include <SDL_syswm.h>

#include <algorithm>
#include <cstdlib>

#include "platform/window_backend.h"
#include "platform/window_sdl.h"

namespace {

SDL_Window* window = nullptr;  // owned by the main thread

// Only the drivers that show a window on the desktop: failing those, SDL
// would take its offscreen driver and the program would run unseen, waiting
// for keys nobody can type. A display that refuses the connection for a
// moment (a busy server) gets a few more tries. A driver the user names in
// SDL_VIDEODRIVER is taken as named.
constexpr int kVideoTries = 5;
constexpr int kVideoRetryMs = 200;

bool video_ready() {
  if (SDL_WasInit(SDL_INIT_VIDEO)) return true;
  if (!std::getenv("SDL_VIDEODRIVER")) {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    bool on_x11 = x11 && *x11, on_wayland = wayland && *wayland;
    SDL_SetHint(SDL_HINT_VIDEODRIVER, on_x11 == on_wayland ? "x11,wayland" : on_x11 ? "x11" : "wayland");
  }
  for (int attempt = 0; attempt < kVideoTries; attempt++) {
    if (attempt > 0) SDL_Delay(kVideoRetryMs);
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) == 0) return true;
  }
  return false;
}

// PC set-1 scan codes of the SDL scancodes; keys without one are absent.
struct ScanPair {
  SDL_Scancode sdl;
  int set1;
};
const ScanPair kScanTable[] = {
    {SDL_SCANCODE_ESCAPE, 1},     {SDL_SCANCODE_1, 2},          {SDL_SCANCODE_2, 3},
    {SDL_SCANCODE_3, 4},          {SDL_SCANCODE_4, 5},          {SDL_SCANCODE_5, 6},
    {SDL_SCANCODE_6, 7},          {SDL_SCANCODE_7, 8},          {SDL_SCANCODE_8, 9},
    {SDL_SCANCODE_9, 10},         {SDL_SCANCODE_0, 11},         {SDL_SCANCODE_MINUS, 12},
    {SDL_SCANCODE_EQUALS, 13},    {SDL_SCANCODE_BACKSPACE, 14}, {SDL_SCANCODE_TAB, 15},
    {SDL_SCANCODE_Q, 16},         {SDL_SCANCODE_W, 17},         {SDL_SCANCODE_E, 18},
    {SDL_SCANCODE_R, 19},         {SDL_SCANCODE_T, 20},         {SDL_SCANCODE_Y, 21},
    {SDL_SCANCODE_U, 22},         {SDL_SCANCODE_I, 23},         {SDL_SCANCODE_O, 24},
    {SDL_SCANCODE_P, 25},         {SDL_SCANCODE_LEFTBRACKET, 26}, {SDL_SCANCODE_RIGHTBRACKET, 27},
    {SDL_SCANCODE_RETURN, 28},    {SDL_SCANCODE_KP_ENTER, 28},  {SDL_SCANCODE_LCTRL, 29},
    {SDL_SCANCODE_RCTRL, 29},     {SDL_SCANCODE_A, 30},         {SDL_SCANCODE_S, 31},
    {SDL_SCANCODE_D, 32},         {SDL_SCANCODE_F, 33},         {SDL_SCANCODE_G, 34},
    {SDL_SCANCODE_H, 35},         {SDL_SCANCODE_J, 36},         {SDL_SCANCODE_K, 37},
    {SDL_SCANCODE_L, 38},         {SDL_SCANCODE_SEMICOLON, 39}, {SDL_SCANCODE_APOSTROPHE, 40},
    {SDL_SCANCODE_GRAVE, 41},     {SDL_SCANCODE_LSHIFT, 42},    {SDL_SCANCODE_BACKSLASH, 43},
    {SDL_SCANCODE_Z, 44},         {SDL_SCANCODE_X, 45},         {SDL_SCANCODE_C, 46},
    {SDL_SCANCODE_V, 47},         {SDL_SCANCODE_B, 48},         {SDL_SCANCODE_N, 49},
    {SDL_SCANCODE_M, 50},         {SDL_SCANCODE_COMMA, 51},     {SDL_SCANCODE_PERIOD, 52},
    {SDL_SCANCODE_SLASH, 53},     {SDL_SCANCODE_RSHIFT, 54},    {SDL_SCANCODE_KP_MULTIPLY, 55},
    {SDL_SCANCODE_LALT, 56},      {SDL_SCANCODE_RALT, 56},      {SDL_SCANCODE_SPACE, 57},
    {SDL_SCANCODE_CAPSLOCK, 58},  {SDL_SCANCODE_F1, 59},        {SDL_SCANCODE_F2, 60},
    {SDL_SCANCODE_F3, 61},        {SDL_SCANCODE_F4, 62},        {SDL_SCANCODE_F5, 63},
    {SDL_SCANCODE_F6, 64},        {SDL_SCANCODE_F7, 65},        {SDL_SCANCODE_F8, 66},
    {SDL_SCANCODE_F9, 67},        {SDL_SCANCODE_F10, 68},       {SDL_SCANCODE_NUMLOCKCLEAR, 69},
    {SDL_SCANCODE_SCROLLLOCK, 70}, {SDL_SCANCODE_HOME, 71},     {SDL_SCANCODE_KP_7, 71},
    {SDL_SCANCODE_UP, 72},        {SDL_SCANCODE_KP_8, 72},      {SDL_SCANCODE_PAGEUP, 73},
    {SDL_SCANCODE_KP_9, 73},      {SDL_SCANCODE_KP_MINUS, 74},  {SDL_SCANCODE_LEFT, 75},
    {SDL_SCANCODE_KP_4, 75},      {SDL_SCANCODE_KP_5, 76},      {SDL_SCANCODE_RIGHT, 77},
    {SDL_SCANCODE_KP_6, 77},      {SDL_SCANCODE_KP_PLUS, 78},   {SDL_SCANCODE_END, 79},
    {SDL_SCANCODE_KP_1, 79},      {SDL_SCANCODE_DOWN, 80},      {SDL_SCANCODE_KP_2, 80},
    {SDL_SCANCODE_PAGEDOWN, 81},  {SDL_SCANCODE_KP_3, 81},      {SDL_SCANCODE_INSERT, 82},
    {SDL_SCANCODE_KP_0, 82},      {SDL_SCANCODE_DELETE, 83},    {SDL_SCANCODE_KP_PERIOD, 83},
    {SDL_SCANCODE_F11, 87},       {SDL_SCANCODE_F12, 88},
};

// Keys that arrive as 255 + scan code (keypad keys come as text instead).
const SDL_Scancode kExtendedKeys[] = {
    SDL_SCANCODE_F1, SDL_SCANCODE_F2, SDL_SCANCODE_F3, SDL_SCANCODE_F4, SDL_SCANCODE_F5,
    SDL_SCANCODE_F6, SDL_SCANCODE_F7, SDL_SCANCODE_F8, SDL_SCANCODE_F9, SDL_SCANCODE_F10,
    SDL_SCANCODE_F11, SDL_SCANCODE_F12, SDL_SCANCODE_UP, SDL_SCANCODE_DOWN, SDL_SCANCODE_LEFT,
    SDL_SCANCODE_RIGHT, SDL_SCANCODE_HOME, SDL_SCANCODE_END, SDL_SCANCODE_PAGEUP,
    SDL_SCANCODE_PAGEDOWN, SDL_SCANCODE_INSERT, SDL_SCANCODE_DELETE,
};

std::string extended(int scan) { return std::string(1, (char)255) + (char)scan; }

// One character from UTF-8 text: ASCII and Latin-1 map to their code; 255
// is kept for the extended-key prefix, so it and anything wider are dropped.
std::string text_to_key(const char* text) {
  const unsigned char* s = (const unsigned char*)text;
  if (s[0] >= 32 && s[0] < 0x80) return std::string(1, (char)s[0]);
  if ((s[0] & 0xE0) == 0xC0 && (s[1] & 0xC0) == 0x80) {
    int cp = ((s[0] & 0x1F) << 6) | (s[1] & 0x3F);
    if (cp >= 0xA0 && cp < 255) return std::string(1, (char)cp);
  }
  return "";
}

}  // namespace

int sdl_scancode_to_set1(int sdl_scancode) {
  for (const ScanPair& p : kScanTable) if (p.sdl == sdl_scancode) return p.set1;
  return 0;
}

std::string sdl_event_key_code(const SDL_Event* e) {
  switch (e->type) {
    case SDL_QUIT:
      // The close button of the only window (and Ctrl+C in the terminal):
      // the main loop treats it as a request to quit.
      return extended(107);
    case SDL_TEXTINPUT:
      return text_to_key(e->text.text);
    case SDL_KEYDOWN: {
      SDL_Keycode sym = e->key.keysym.sym;
      SDL_Scancode sc = e->key.keysym.scancode;
      if (sym == SDLK_RETURN || sym == SDLK_KP_ENTER) return "\r";
      if (sym == SDLK_ESCAPE) return "\x1b";
      if (sym == SDLK_BACKSPACE) return "\b";
      if (sym == SDLK_TAB) return "\t";
      if ((e->key.keysym.mod & KMOD_CTRL) && sym >= SDLK_a && sym <= SDLK_z) {
        return std::string(1, (char)(sym - SDLK_a + 1));
      }
      for (SDL_Scancode x : kExtendedKeys) if (x == sc) return extended(sdl_scancode_to_set1(sc));
      return "";
    }
    default:
      return "";
  }
}

namespace {

void sdl_window_close();

bool sdl_desktop_info(int* width, int* height, int* depth) {
  if (!video_ready()) return false;
  SDL_DisplayMode mode;
  if (SDL_GetDesktopDisplayMode(0, &mode) != 0) return false;
  *width = mode.w;
  *height = mode.h;
  *depth = SDL_BITSPERPIXEL(mode.format);
  return true;
}

bool sdl_window_open(int width, int height, const char* title) {
  if (!video_ready()) return false;
  if (!window) {
    // The window surface stays a plain shared-memory image: SDL would
    // otherwise back it with a GL texture and map a software GL library on a
    // desktop without a GPU. Read when the first surface is made.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    window = SDL_CreateWindow(title, SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, width, height, SDL_WINDOW_SHOWN);
    if (!window) return false;
    if (!SDL_GetWindowSurface(window)) { sdl_window_close(); return false; }
    SDL_StartTextInput();
  } else {
    SDL_SetWindowSize(window, width, height);  // the surface is made anew at the next present
  }
  return true;
}

void sdl_window_close() {
  if (window) SDL_DestroyWindow(window);
  window = nullptr;
}

void sdl_window_present(const uint32_t* pixels, int width, int height) {
  SDL_Surface* surface = window ? SDL_GetWindowSurface(window) : nullptr;
  if (!surface) return;
  // Until the desktop has applied a new size the surface may still have the
  // old one: the overlap is shown, the rest follows with the next present.
  int w = std::min(width, surface->w), h = std::min(height, surface->h);
  if (SDL_MUSTLOCK(surface) && SDL_LockSurface(surface) != 0) return;
  // RGB888 is 0x00RRGGBB in a 32-bit word: the framebuffer's own layout.
  SDL_ConvertPixels(w, h, SDL_PIXELFORMAT_RGB888, pixels, width * 4, surface->format->format,
                    surface->pixels, surface->pitch);
  if (SDL_MUSTLOCK(surface)) SDL_UnlockSurface(surface);
  SDL_UpdateWindowSurface(window);
}

void sdl_window_set_title(const char* title) {
  if (window) SDL_SetWindowTitle(window, title);
}

bool sdl_window_get_position(int* x, int* y) {
  if (!window) return false;
  SDL_GetWindowPosition(window, x, y);
  return true;
}

void sdl_window_set_position(int x, int y) {
  if (window) SDL_SetWindowPosition(window, x, y);
}

void* sdl_window_handle() { return window; }

bool sdl_window_pump(std::deque<DisplayKey>* keys, int* wheel) {
  bool redraw = false;
  // A held key's repeat comes as a key event marked so, then the text event
  // of the same key, which carries no mark of its own.
  static bool repeating = false;
  SDL_Event e;
  while (SDL_PollEvent(&e)) {
    if (e.type == SDL_MOUSEWHEEL) {
      *wheel += e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED ? -e.wheel.y : e.wheel.y;
      continue;
    }
    if (e.type == SDL_WINDOWEVENT &&
        (e.window.event == SDL_WINDOWEVENT_EXPOSED || e.window.event == SDL_WINDOWEVENT_SIZE_CHANGED)) {
      redraw = true;
      continue;
    }
    if (e.type == SDL_KEYDOWN) repeating = e.key.repeat != 0;
    if (e.type == SDL_KEYUP) repeating = false;
    std::string code = sdl_event_key_code(&e);
    if (!code.empty()) keys->push_back(DisplayKey{code, e.type != SDL_QUIT && repeating});
  }
  return redraw;
}

bool sdl_window_key_down(int scan_code) {
  int count = 0;
  const Uint8* state = SDL_GetKeyboardState(&count);
  for (const ScanPair& p : kScanTable) {
    if (p.set1 == scan_code && p.sdl < count && state[p.sdl]) return true;
  }
  return false;
}

bool sdl_window_mouse(int* x, int* y, int* buttons) {
  if (!window || SDL_GetMouseFocus() != window) return false;
  Uint32 b = SDL_GetMouseState(x, y);
  *buttons = ((b & SDL_BUTTON_LMASK) ? 1 : 0) | ((b & SDL_BUTTON_RMASK) ? 2 : 0) | ((b & SDL_BUTTON_MMASK) ? 4 : 0);
  return true;
}

int sdl_message_box(void* parent, const char* text, const char* title, bool with_cancel) {
  SDL_MessageBoxButtonData buttons[2] = {
      {SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT, 1, "OK"},
      {SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT, 0, "Cancel"},
  };
  if (!with_cancel) buttons[0].flags |= SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT;
  SDL_MessageBoxData data{};
  data.flags = SDL_MESSAGEBOX_INFORMATION;
  data.window = (SDL_Window*)parent;
  data.title = title;
  data.message = text;
  data.numbuttons = with_cancel ? 2 : 1;
  data.buttons = buttons;
  int pressed = -1;
  if (SDL_ShowMessageBox(&data, &pressed) != 0) return -1;
  return pressed;
}

unsigned long sdl_window_x11_id(void* handle) {
  if (!handle) return 0;
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (!SDL_GetWindowWMInfo((SDL_Window*)handle, &info) || info.subsystem != SDL_SYSWM_X11) return 0;
  return (unsigned long)info.info.x11.window;
}

// In the order of WindowDisplayTable's fields.
const WindowDisplayTable kSdlDisplay = {
    sdl_window_open,         sdl_window_close,        sdl_window_present, sdl_window_set_title,
    sdl_window_get_position, sdl_window_set_position, sdl_window_handle,  sdl_desktop_info,
    sdl_window_pump,         sdl_window_key_down,     sdl_window_mouse,   sdl_message_box,
    sdl_window_x11_id,       video_ready,
};

}  // namespace

void win_install_sdl_display() { win_install_display(&kSdlDisplay); }
