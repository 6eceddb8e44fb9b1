// SPDX-License-Identifier: GPL-3.0-or-later
// The portable part of the window layer: the framebuffer and what is drawn
// into it (text cells, lines, boxes, circles, images), number formatting
// and the key queue. A display back end (window_backend.h: the real one in
// window_sdl.cpp, the headless one in window_headless.cpp) only presents the
// framebuffer and turns events into input; pictures are read by bmp.cpp.
#include "platform/window.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <thread>

#include "core/clock.h"
#include "platform/window_backend.h"

namespace {

// All of the following is owned by the main thread.
bool headless = false;
const WindowDisplayTable* display = nullptr;  // null: no real window
bool window_open = false;
bool real_window = false;  // the SDL window exists for the current framebuffer
int fb_width = 0;
int fb_height = 0;
std::vector<uint32_t> framebuffer;
bool framebuffer_dirty = false;

int text_rows = 0;
int text_columns = 0;
std::vector<char> cells;  // text_rows * text_columns, row by row
int cursor_row = 1;
int cursor_column = 1;
uint32_t foreground = 0xFFFFFF;
uint32_t background = 0x000000;

// Clip rectangle, inclusive, always inside the window.
int clip_x1 = 0, clip_y1 = 0, clip_x2 = -1, clip_y2 = -1;

std::string title = "quillon_darvo";
constexpr size_t kTitleMax = 127;

std::deque<DisplayKey> key_queue;
int wheel_position = 0;

// The window's position as last set: what it reports when its back end
// keeps none (the headless one) or there is no back end.
int kept_x = 100, kept_y = 100;

// The back end in use: the headless one while selected, else the installed
// one (null: none).
const WindowDisplayTable* active_display() { return headless ? win_headless_display() : display; }

// A surface to draw on: the window (with its clip rectangle) or an image.
struct Target {
  uint32_t* pixels;
  int width;
  int x1, y1, x2, y2;  // inclusive drawable area
};

Target screen_target() {
  framebuffer_dirty = true;
  return Target{framebuffer.data(), fb_width, clip_x1, clip_y1, clip_x2, clip_y2};
}

Target image_target(WinImage* image) {
  return Target{image->pixels.data(), image->width, 0, 0, image->width - 1, image->height - 1};
}

inline void put(const Target& t, int x, int y, uint32_t color) {
  if (x < t.x1 || x > t.x2 || y < t.y1 || y > t.y2) return;
  t.pixels[(size_t)y * t.width + x] = color & 0xFFFFFF;
}

void hspan(const Target& t, int xa, int xb, int y, uint32_t color) {
  if (xa > xb) std::swap(xa, xb);
  if (y < t.y1 || y > t.y2) return;
  xa = std::max(xa, t.x1);
  xb = std::min(xb, t.x2);
  for (int x = xa; x <= xb; x++) t.pixels[(size_t)y * t.width + x] = color & 0xFFFFFF;
}

void draw_line(const Target& t, int x1, int y1, int x2, int y2, uint32_t color) {
  // Bresenham; coordinates may lie far outside, so step in 64-bit.
  long long dx = std::llabs((long long)x2 - x1), dy = -std::llabs((long long)y2 - y1);
  int sx = x1 < x2 ? 1 : -1, sy = y1 < y2 ? 1 : -1;
  long long err = dx + dy;
  long long x = x1, y = y1;
  // Bound the walk so a wild coordinate cannot make it endless in practice.
  for (long long steps = 0; steps < 1000000; steps++) {
    if (x >= INT32_MIN && x <= INT32_MAX && y >= INT32_MIN && y <= INT32_MAX) put(t, (int)x, (int)y, color);
    if (x == x2 && y == y2) break;
    long long e2 = 2 * err;
    if (e2 >= dy) { err += dy; x += sx; }
    if (e2 <= dx) { err += dx; y += sy; }
  }
}

void draw_rect(const Target& t, int x1, int y1, int x2, int y2, uint32_t color, WinLineMode mode) {
  if (mode == kWinLine) { draw_line(t, x1, y1, x2, y2, color); return; }
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
  if (mode == kWinFilledBox) {
    int ya = std::max(y1, t.y1), yb = std::min(y2, t.y2);
    for (int y = ya; y <= yb; y++) hspan(t, x1, x2, y, color);
    return;
  }
  hspan(t, x1, x2, y1, color);
  hspan(t, x1, x2, y2, color);
  int ya = std::max(y1, t.y1), yb = std::min(y2, t.y2);
  for (int y = ya; y <= yb; y++) { put(t, x1, y, color); put(t, x2, y, color); }
}

void draw_circle(const Target& t, int cx, int cy, int r, uint32_t color, bool filled) {
  if (r < 0 || r > 100000) return;
  // Midpoint circle: (x, y) walks the first octant; the eight mirrors give
  // the outline, the horizontal spans between mirrors fill it.
  int x = r, y = 0, err = 1 - r;
  while (x >= y) {
    if (filled) {
      hspan(t, cx - x, cx + x, cy + y, color);
      hspan(t, cx - x, cx + x, cy - y, color);
      hspan(t, cx - y, cx + y, cy + x, color);
      hspan(t, cx - y, cx + y, cy - x, color);
    } else {
      put(t, cx + x, cy + y, color); put(t, cx - x, cy + y, color);
      put(t, cx + x, cy - y, color); put(t, cx - x, cy - y, color);
      put(t, cx + y, cy + x, color); put(t, cx - y, cy + x, color);
      put(t, cx + y, cy - x, color); put(t, cx - y, cy - x, color);
    }
    y++;
    if (err < 0) {
      err += 2 * y + 1;
    } else {
      x--;
      err += 2 * (y - x) + 1;
    }
  }
}

bool cell_touches_clip(int row, int column) {
  if (clip_x1 > clip_x2 || clip_y1 > clip_y2) return false;
  int x0 = (column - 1) * 8, y0 = (row - 1) * 8;
  return x0 + 7 >= clip_x1 && x0 <= clip_x2 && y0 + 7 >= clip_y1 && y0 <= clip_y2;
}

void draw_cell(int row, int column, unsigned char c) {
  Target t = screen_target();
  const uint8_t* glyph = font8x8_glyph(c);
  int x0 = (column - 1) * 8, y0 = (row - 1) * 8;
  for (int gy = 0; gy < 8; gy++) {
    for (int gx = 0; gx < 8; gx++) {
      put(t, x0 + gx, y0 + gy, (glyph[gy] & (0x80 >> gx)) ? foreground : background);
    }
  }
  if (cell_touches_clip(row, column)) cells[(size_t)(row - 1) * text_columns + (column - 1)] = (char)c;
}

// Moves every text row up by one; the last row is cleared.
void scroll_up() {
  if (text_rows < 1) return;
  int grid_h = text_rows * 8;
  for (int y = 0; y + 8 < grid_h; y++) {
    std::memcpy(&framebuffer[(size_t)y * fb_width], &framebuffer[(size_t)(y + 8) * fb_width],
                sizeof(uint32_t) * fb_width);
  }
  std::memmove(cells.data(), cells.data() + text_columns, (size_t)(text_rows - 1) * text_columns);
  std::fill(cells.end() - text_columns, cells.end(), ' ');
  Target t = screen_target();
  for (int y = grid_h - 8; y < grid_h; y++) hspan(t, 0, fb_width - 1, y, background);
}

void next_line() {
  cursor_column = 1;
  if (cursor_row >= text_rows) scroll_up();
  else cursor_row++;
}

void pump_input() {
  if (real_window) {
    bool expose = active_display()->pump(&key_queue, &wheel_position);
    if (expose) framebuffer_dirty = true;
  }
  if (framebuffer_dirty) win_present();
}

// Shortest decimal digits of a value: the fewest significant digits (up to
// max_digits) whose text reads back as the same value. Gives the digit
// string without trailing zeros and the decimal exponent of its first digit.
void shortest_digits(double value, bool single, int max_digits, std::string* digits, int* exponent) {
  char buf[64];
  for (int p = 1; p <= max_digits; p++) {
    std::snprintf(buf, sizeof buf, "%.*e", p - 1, value);
    double back = std::strtod(buf, nullptr);
    bool same = single ? (float)back == (float)value : back == value;
    if (same || p == max_digits) break;
  }
  // buf is "d.ddde+XX" (no sign: callers pass a positive value)
  std::string mantissa;
  const char* e = std::strchr(buf, 'e');
  for (const char* s = buf; s < e; s++) if (*s >= '0' && *s <= '9') mantissa += *s;
  while (mantissa.size() > 1 && mantissa.back() == '0') mantissa.pop_back();
  *digits = mantissa;
  *exponent = std::atoi(e + 1);
}

std::string format_float(double value, bool single) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  if (value == 0) return "0";
  int max_digits = single ? 7 : 16;
  std::string sign = value < 0 ? "-" : "";
  std::string digits;
  int exponent = 0;
  shortest_digits(std::fabs(value), single, max_digits, &digits, &exponent);
  std::string out = sign;
  if (exponent >= max_digits || exponent < -5) {
    // Exponent form, as C writes it: 1e+20, 1.5e-07.
    out += digits[0];
    if (digits.size() > 1) out += "." + digits.substr(1);
    char ebuf[16];
    std::snprintf(ebuf, sizeof ebuf, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    return out + ebuf;
  }
  if (exponent < 0) return out + "0." + std::string(-exponent - 1, '0') + digits;
  if ((int)digits.size() <= exponent + 1) return out + digits + std::string(exponent + 1 - digits.size(), '0');
  return out + digits.substr(0, exponent + 1) + "." + digits.substr(exponent + 1);
}

}  // namespace

// ---------------------------------------------------------------------------
// Back end and screen

void win_use_headless(bool on) {
  if (on != headless && window_open) win_close();
  headless = on;
}

bool win_is_headless() { return headless; }

void win_install_display(const WindowDisplayTable* table) {
  if (table != display && window_open) win_close();
  display = table;
}

const WindowDisplayTable* win_display() { return display; }

WinScreenInfo win_screen_info() {
  WinScreenInfo info{1280, 1024, 24, 0, 0};
  const WindowDisplayTable* d = active_display();
  if (d) {
    int w, h, depth;
    if (d->desktop_info(&w, &h, &depth)) { info.desktop_width = w; info.desktop_height = h; info.depth = depth; }
  }
  if (window_open) { info.window_width = fb_width; info.window_height = fb_height; }
  return info;
}

bool win_open(int width, int height) {
  width = std::clamp(width, 8, 16384);
  height = std::clamp(height, 8, 16384);
  fb_width = width;
  fb_height = height;
  framebuffer.assign((size_t)width * height, 0);
  text_columns = width / 8;
  text_rows = height / 8;
  cells.assign((size_t)text_rows * text_columns, ' ');
  cursor_row = 1;
  cursor_column = 1;
  foreground = 0xFFFFFF;
  background = 0x000000;
  win_reset_clip();
  window_open = true;
  const WindowDisplayTable* d = active_display();
  real_window = d && d->open(width, height, title.c_str());
  framebuffer_dirty = true;
  win_present();
  return real_window;
}

void win_close() {
  if (real_window) active_display()->close();
  real_window = false;
  window_open = false;
  framebuffer.clear();
  cells.clear();
  fb_width = fb_height = text_rows = text_columns = 0;
  win_reset_clip();  // nothing is drawable without a window
  key_queue.clear();
}

bool win_is_open() { return window_open; }
int win_width() { return fb_width; }
int win_height() { return fb_height; }
int win_text_columns() { return text_columns; }
int win_text_rows() { return text_rows; }

void win_set_title(const char* text) {
  title = text ? text : "";
  if (title.size() > kTitleMax) title.resize(kTitleMax);
  if (real_window) active_display()->set_title(title.c_str());
}

std::string win_get_title() { return title; }

void win_get_position(int* x, int* y) {
  int px = kept_x, py = kept_y;
  if (real_window) active_display()->get_position(&px, &py);
  if (x) *x = px;
  if (y) *y = py;
}

void win_set_position(int x, int y) {
  kept_x = x;
  kept_y = y;
  if (real_window) active_display()->set_position(x, y);
}

void* win_native_handle() { return real_window ? active_display()->handle() : nullptr; }

void win_present() {
  if (real_window && !framebuffer.empty()) active_display()->present(framebuffer.data(), fb_width, fb_height);
  framebuffer_dirty = false;
}

// ---------------------------------------------------------------------------
// Text

void win_clear() {
  if (!window_open) return;
  Target t = screen_target();
  for (int y = clip_y1; y <= clip_y2; y++) hspan(t, clip_x1, clip_x2, y, background);
  for (int r = 1; r <= text_rows; r++) {
    for (int c = 1; c <= text_columns; c++) {
      if (cell_touches_clip(r, c)) cells[(size_t)(r - 1) * text_columns + (c - 1)] = ' ';
    }
  }
  cursor_row = 1;
  cursor_column = 1;
}

void win_locate(int row, int column) {
  cursor_row = std::clamp(row, 1, std::max(1, text_rows));
  cursor_column = std::clamp(column, 1, std::max(1, text_columns));
}

int win_cursor_row() { return cursor_row; }
int win_cursor_column() { return cursor_column; }

void win_color(uint32_t fg, uint32_t bg) {
  foreground = fg & 0xFFFFFF;
  background = bg & 0xFFFFFF;
}

uint32_t win_foreground() { return foreground; }
uint32_t win_background() { return background; }

void win_print(const char* text, bool newline) {
  if (!window_open || text_rows < 1 || text_columns < 1) return;
  for (const char* s = text ? text : ""; *s; s++) {
    if (*s == '\n') { next_line(); continue; }
    if (cursor_column > text_columns) next_line();
    draw_cell(cursor_row, cursor_column, (unsigned char)*s);
    cursor_column++;
  }
  if (newline) next_line();
}

void win_print(const std::string& text, bool newline) { win_print(text.c_str(), newline); }

std::string win_format_int(long long value) { return std::to_string(value); }
std::string win_format_single(float value) { return format_float(value, true); }
std::string win_format_double(double value) { return format_float(value, false); }

void win_print_int(long long value, bool newline) {
  win_print((value >= 0 ? " " : "") + win_format_int(value), newline);
}

void win_print_single(float value, bool newline) { win_print(win_format_single(value), newline); }
void win_print_double(double value, bool newline) { win_print(win_format_double(value), newline); }

std::string win_format_using(const char* picture, double value) {
  std::string pic = picture ? picture : "";
  size_t start = pic.find_first_of("#.");
  if (start == std::string::npos) return pic;
  size_t end = pic.find_first_not_of("#.", start);
  if (end == std::string::npos) end = pic.size();
  std::string field = pic.substr(start, end - start);
  int decimals = 0;
  size_t point = field.find('.');
  if (point != std::string::npos) decimals = (int)std::count(field.begin() + point, field.end(), '#');
  char buf[512];
  if (std::isfinite(value) && std::fabs(value) < 1e300) {
    std::snprintf(buf, sizeof buf, "%.*f", std::min(decimals, 30), value);
  } else {
    std::snprintf(buf, sizeof buf, "%s", format_float(value, false).c_str());
  }
  std::string number = buf;
  // "-0.000" after rounding a tiny negative value reads as 0.
  if (number[0] == '-' && number.find_first_of("123456789") == std::string::npos) number.erase(0, 1);
  return pic.substr(0, start) + number + pic.substr(end);
}

void win_print_using(const char* picture, double value, bool newline) {
  win_print(win_format_using(picture, value), newline);
}

// ---------------------------------------------------------------------------
// Drawing

void win_pixel(int x, int y, uint32_t color) {
  if (window_open) put(screen_target(), x, y, color);
}

void win_line(int x1, int y1, int x2, int y2, uint32_t color, WinLineMode mode) {
  if (window_open) draw_rect(screen_target(), x1, y1, x2, y2, color, mode);
}

void win_circle(int x, int y, int radius, uint32_t color, bool filled) {
  if (window_open) draw_circle(screen_target(), x, y, radius, color, filled);
}

void win_set_clip(int x1, int y1, int x2, int y2) {
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
  clip_x1 = std::max(x1, 0);
  clip_y1 = std::max(y1, 0);
  clip_x2 = std::min(x2, fb_width - 1);
  clip_y2 = std::min(y2, fb_height - 1);
  // A rectangle wholly outside the window leaves nothing drawable.
}

void win_reset_clip() {
  clip_x1 = 0;
  clip_y1 = 0;
  clip_x2 = fb_width - 1;
  clip_y2 = fb_height - 1;
}

void win_draw_string(int x, int y, const char* text, uint32_t color) {
  if (!window_open || !text) return;
  Target t = screen_target();
  for (const char* s = text; *s; s++, x += 8) {
    const uint8_t* glyph = font8x8_glyph((unsigned char)*s);
    for (int gy = 0; gy < 8; gy++)
      for (int gx = 0; gx < 8; gx++)
        if (glyph[gy] & (0x80 >> gx)) put(t, x + gx, y + gy, color);
  }
}

uint32_t win_read_pixel(int x, int y) {
  if (x < 0 || y < 0 || x >= fb_width || y >= fb_height) return 0;
  return framebuffer[(size_t)y * fb_width + x];
}

std::vector<uint32_t> win_read_framebuffer() { return framebuffer; }

char win_cell_char(int row, int column) {
  if (row < 1 || column < 1 || row > text_rows || column > text_columns) return 0;
  return cells[(size_t)(row - 1) * text_columns + (column - 1)];
}

std::string win_row_text(int row) {
  if (row < 1 || row > text_rows) return "";
  return std::string(cells.begin() + (size_t)(row - 1) * text_columns, cells.begin() + (size_t)row * text_columns);
}

// ---------------------------------------------------------------------------
// Images

WinImage* win_image_create(int width, int height) {
  if (width < 1 || height < 1 || width > 16384 || height > 16384) return nullptr;
  WinImage* image = new WinImage;
  image->width = width;
  image->height = height;
  image->pixels.assign((size_t)width * height, 0);
  return image;
}

void win_image_destroy(WinImage* image) { delete image; }

void win_put_image_part(int x, int y, const WinImage* image, int sx, int sy, int w, int h) {
  if (!window_open || !image) return;
  // Limit the source part to the image, then the destination to the clip.
  if (sx < 0) { x -= sx; w += sx; sx = 0; }
  if (sy < 0) { y -= sy; h += sy; sy = 0; }
  w = std::min(w, image->width - sx);
  h = std::min(h, image->height - sy);
  Target t = screen_target();
  for (int row = 0; row < h; row++) {
    long long dy = (long long)y + row;
    if (dy < t.y1 || dy > t.y2) continue;
    for (int col = 0; col < w; col++) {
      long long dx = (long long)x + col;
      if (dx < t.x1 || dx > t.x2) continue;
      t.pixels[(size_t)dy * t.width + dx] = image->pixels[(size_t)(sy + row) * image->width + sx + col];
    }
  }
}

void win_put_image(int x, int y, const WinImage* image) {
  if (image) win_put_image_part(x, y, image, 0, 0, image->width, image->height);
}

void win_image_pixel(WinImage* image, int x, int y, uint32_t color) {
  if (image) put(image_target(image), x, y, color);
}

void win_image_line(WinImage* image, int x1, int y1, int x2, int y2, uint32_t color, WinLineMode mode) {
  if (image) draw_rect(image_target(image), x1, y1, x2, y2, color, mode);
}

void win_image_circle(WinImage* image, int x, int y, int radius, uint32_t color, bool filled) {
  if (image) draw_circle(image_target(image), x, y, radius, color, filled);
}

// ---------------------------------------------------------------------------
// Input

std::string win_poll_key() {
  pump_input();
  while (!key_queue.empty()) {
    DisplayKey key = key_queue.front();
    key_queue.pop_front();
    if (!key.repeat) return key.code;
  }
  return "";
}

std::string win_poll_typed_key() {
  pump_input();
  if (key_queue.empty()) return "";
  std::string code = key_queue.front().code;
  key_queue.pop_front();
  return code;
}

int win_poll_key_code() {
  std::string code = win_poll_key();
  if (code.empty()) return 0;
  if (code.size() >= 2 && (unsigned char)code[0] == 255) return 256 + (unsigned char)code[1];
  return (unsigned char)code[0];
}

void win_push_key(const std::string& code, bool repeat) {
  if (!code.empty()) key_queue.push_back(DisplayKey{code, repeat});
}

bool win_key_down(int scan_code) {
  if (scan_code < 0 || scan_code > 255) return false;
  pump_input();
  // The headless back end's held keys need no window: a test may hold them
  // while none is open.
  const WindowDisplayTable* d = active_display();
  return d && (real_window || headless) && d->key_down(scan_code);
}

bool win_mouse(int* x, int* y, int* wheel, int* buttons) {
  int mx = -1, my = -1, mb = -1;
  bool ok = false;
  if (real_window) {
    pump_input();
    ok = active_display()->mouse(&mx, &my, &mb) && mx >= 0 && my >= 0 && mx < fb_width && my < fb_height;
  }
  if (x) *x = ok ? mx : -1;
  if (y) *y = ok ? my : -1;
  if (wheel) *wheel = ok ? wheel_position : -1;
  if (buttons) *buttons = ok ? mb : -1;
  return ok;
}

void win_sleep_ms(int milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

double win_timer() { return steady_seconds(); }
