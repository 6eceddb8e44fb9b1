// SPDX-License-Identifier: GPL-3.0-or-later
// Draws the instrument's pictures as 24-bit BMP files: the piano keyboard
// across the bottom of the full view (700 x 148) and the ten 64 x 67 preset
// thumbnails (five factory instruments, five numbered user slots); and, when
// asked, the desktop icon as 48 x 48 and 256 x 256 PNG files with a
// transparent surround.
//
// The keyboard follows the screen's key geometry: 52 white keys share
// x 29..668 evenly, and each black key is centred where the screen puts its
// dot, 29 + (a + 0.5) * 636 / 88 for the a-th of the 88 keys, one key's
// share (636 / 88 pixels) wide, so a click on a drawn key plays that key.
// Key dots sit at y 97 (black) and y 127 (white): black keys end above
// the white-key dot row.
//
// usage: draw_pictures OUT_DIR [ICON_DIR]
// ICON_DIR receives quillon_darvo-48.png and quillon_darvo-256.png.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct Image {
  int w = 0, h = 0;
  std::vector<uint32_t> px;  // 0xRRGGBB, row 0 at the top
};

static Image make_image(int w, int h, uint32_t fill) {
  Image im;
  im.w = w;
  im.h = h;
  im.px.assign((size_t)w * h, fill);
  return im;
}

static void put(Image& im, int x, int y, uint32_t c) {
  if (x >= 0 && y >= 0 && x < im.w && y < im.h) im.px[(size_t)y * im.w + x] = c;
}

static uint32_t rgb(int r, int g, int b) {
  auto cl = [](int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); };
  return (uint32_t)(cl(r) << 16 | cl(g) << 8 | cl(b));
}

static uint32_t shade(uint32_t c, double f) {
  return rgb((int)std::lround(((c >> 16) & 255) * f), (int)std::lround(((c >> 8) & 255) * f),
             (int)std::lround((c & 255) * f));
}

static uint32_t mix(uint32_t a, uint32_t b, double t) {
  auto ch = [&](int s) { return (int)std::lround(((a >> s) & 255) * (1 - t) + ((b >> s) & 255) * t); };
  return rgb(ch(16), ch(8), ch(0));
}

// Filled box, both corners included.
static void box(Image& im, int x0, int y0, int x1, int y1, uint32_t c) {
  for (int y = y0; y <= y1; y++)
    for (int x = x0; x <= x1; x++) put(im, x, y, c);
}

// Box shaded from colour a at the top to colour b at the bottom.
static void vgradient(Image& im, int x0, int y0, int x1, int y1, uint32_t a, uint32_t b) {
  for (int y = y0; y <= y1; y++) {
    uint32_t c = mix(a, b, y1 > y0 ? (double)(y - y0) / (y1 - y0) : 0);
    for (int x = x0; x <= x1; x++) put(im, x, y, c);
  }
}

static void line(Image& im, int x0, int y0, int x1, int y1, uint32_t c) {
  int steps = std::max(std::abs(x1 - x0), std::abs(y1 - y0));
  for (int i = 0; i <= steps; i++) {
    double t = steps ? (double)i / steps : 0;
    put(im, (int)std::lround(x0 + (x1 - x0) * t), (int)std::lround(y0 + (y1 - y0) * t), c);
  }
}

// Filled polygon by the even-odd rule, tested at pixel centres.
static void polygon(Image& im, const std::vector<std::pair<double, double>>& p, uint32_t c) {
  for (int y = 0; y < im.h; y++) {
    for (int x = 0; x < im.w; x++) {
      double px = x + 0.5, py = y + 0.5;
      bool inside = false;
      for (size_t i = 0, j = p.size() - 1; i < p.size(); j = i++) {
        if ((p[i].second > py) != (p[j].second > py) &&
            px < (p[j].first - p[i].first) * (py - p[i].second) / (p[j].second - p[i].second) + p[i].first)
          inside = !inside;
      }
      if (inside) put(im, x, y, c);
    }
  }
}

static void ellipse(Image& im, double cx, double cy, double rx, double ry, uint32_t c) {
  for (int y = (int)(cy - ry) - 1; y <= (int)(cy + ry) + 1; y++)
    for (int x = (int)(cx - rx) - 1; x <= (int)(cx + rx) + 1; x++) {
      double dx = (x + 0.5 - cx) / rx, dy = (y + 0.5 - cy) / ry;
      if (dx * dx + dy * dy <= 1) put(im, x, y, c);
    }
}

// 5 x 7 glyphs, one row a byte, bit 4 the leftmost column.
struct Glyph {
  char ch;
  unsigned char rows[7];
};
static const Glyph kGlyphs[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'D', {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}}, {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'N', {0x11, 0x19, 0x15, 0x13, 0x11, 0x11, 0x11}}, {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}}, {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}}, {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'-', {0x00, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x00}},
    {' ', {0, 0, 0, 0, 0, 0, 0}},
};

static const unsigned char* glyph_rows(char ch) {
  for (const Glyph& g : kGlyphs)
    if (g.ch == ch) return g.rows;
  return kGlyphs[sizeof kGlyphs / sizeof kGlyphs[0] - 1].rows;
}

// Text at (x, y), each glyph cell 6 * scale wide (one column of spacing).
static void text(Image& im, int x, int y, const std::string& s, uint32_t c, int scale = 1) {
  for (size_t i = 0; i < s.size(); i++) {
    const unsigned char* rows = glyph_rows(s[i]);
    for (int r = 0; r < 7; r++)
      for (int col = 0; col < 5; col++)
        if (rows[r] & (0x10 >> col))
          box(im, x + (int)i * 6 * scale + col * scale, y + r * scale, x + (int)i * 6 * scale + col * scale + scale - 1,
              y + r * scale + scale - 1, c);
  }
}

static int text_width(const std::string& s, int scale = 1) { return (int)s.size() * 6 * scale - scale; }

static void centred_text(Image& im, int y, const std::string& s, uint32_t c, int scale = 1) {
  text(im, (im.w - text_width(s, scale)) / 2, y, s, c, scale);
}

// 24-bit bottom-up BMP, rows padded to four bytes; written under a temporary
// name and renamed when complete.
static bool write_bmp(const std::string& name, const Image& im) {
  int row = (im.w * 3 + 3) & ~3;
  uint32_t data = (uint32_t)row * im.h;
  unsigned char head[54] = {'B', 'M'};
  auto p32 = [&](int at, uint32_t v) {
    for (int i = 0; i < 4; i++) head[at + i] = (unsigned char)(v >> (8 * i));
  };
  p32(2, 54 + data);
  p32(10, 54);
  p32(14, 40);
  p32(18, (uint32_t)im.w);
  p32(22, (uint32_t)im.h);
  head[26] = 1;   // planes
  head[28] = 24;  // bits per pixel
  p32(34, data);
  p32(38, 2835);  // 72 dpi
  p32(42, 2835);
  std::string tmp = name + ".part";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(head, 1, 54, f) == 54;
  std::vector<unsigned char> line_bytes((size_t)row, 0);
  for (int y = im.h - 1; y >= 0 && ok; y--) {
    for (int x = 0; x < im.w; x++) {
      uint32_t c = im.px[(size_t)y * im.w + x];
      line_bytes[(size_t)x * 3] = c & 255;
      line_bytes[(size_t)x * 3 + 1] = (c >> 8) & 255;
      line_bytes[(size_t)x * 3 + 2] = (c >> 16) & 255;
    }
    ok = std::fwrite(line_bytes.data(), 1, line_bytes.size(), f) == line_bytes.size();
  }
  ok = (std::fclose(f) == 0) && ok;
  if (!ok || std::rename(tmp.c_str(), name.c_str()) != 0) {
    std::remove(tmp.c_str());
    std::fprintf(stderr, "draw_pictures: cannot write %s\n", name.c_str());
    return false;
  }
  return true;
}

static bool is_black_key(int key) {
  int n = key % 12;
  return n == 1 || n == 3 || n == 6 || n == 8 || n == 10;
}

// The keyboard picture. Keys run from y 46 to 140; the black keys end at
// y 108, between the black-key dot row (97) and the white-key dot row (127).
static Image draw_keyboard() {
  const int kKeyTop = 46, kWhiteBottom = 140, kBlackBottom = 108;
  Image im = make_image(700, 148, 0x0A0604);
  // Case: dark polished wood with a gold pinstripe and the red felt strip
  // along the back of the keys.
  vgradient(im, 0, 0, 699, 38, rgb(58, 34, 20), rgb(24, 14, 8));
  box(im, 0, 30, 699, 30, rgb(190, 150, 70));
  box(im, 0, 39, 699, 41, rgb(12, 8, 6));
  box(im, 20, 42, 679, 45, rgb(140, 20, 24));
  box(im, 0, 141, 699, 147, rgb(30, 18, 10));
  box(im, 0, 46, 26, 140, rgb(40, 24, 14));  // cheek blocks at both ends
  box(im, 671, 46, 699, 140, rgb(40, 24, 14));
  // White keys: 52 of them across x 29..668.
  for (int b = 0; b < 52; b++) {
    int x0 = (int)std::ceil(29 + b * 639.0 / 52);
    int x1 = (int)std::floor(29 + (b + 1) * 639.0 / 52) - 1;
    vgradient(im, x0, kKeyTop, x1, kWhiteBottom - 5, rgb(236, 233, 222), rgb(252, 250, 244));
    box(im, x0, kWhiteBottom - 4, x1, kWhiteBottom, rgb(214, 210, 198));  // front lip
    box(im, x1 + 1, kKeyTop, x1 + 1, kWhiteBottom, rgb(120, 116, 108));   // gap to the next key
  }
  box(im, 28, kKeyTop, 28, kWhiteBottom, rgb(120, 116, 108));
  // Black keys at the dot positions of the screen geometry.
  const double share = 636.0 / 88;
  for (int a = 0; a < 88; a++) {
    if (!is_black_key(a + 9)) continue;
    double cx = 29 + (a + 0.5) * share;
    int x0 = (int)std::lround(cx - share / 2 + 0.5), x1 = (int)std::lround(cx + share / 2 - 0.5);
    box(im, x0 - 1, kKeyTop, x1 + 1, kBlackBottom + 1, rgb(60, 58, 54));  // shadow on the white keys
    vgradient(im, x0, kKeyTop, x1, kBlackBottom - 7, rgb(20, 20, 22), rgb(36, 36, 40));
    vgradient(im, x0, kBlackBottom - 6, x1, kBlackBottom, rgb(70, 70, 76), rgb(24, 24, 26));  // front slope
    box(im, x0 + 1, kKeyTop + 2, x0 + 1, kBlackBottom - 9, rgb(64, 64, 70));               // highlight
  }
  return im;
}

// Grand piano seen from the side with its lid raised.
static Image draw_grand(uint32_t background, uint32_t body, uint32_t trim, const std::string& label) {
  Image im = make_image(64, 67, background);
  vgradient(im, 0, 0, 63, 57, shade(background, 1.25), background);
  ellipse(im, 32, 57, 28, 3, shade(background, 0.6));                                   // floor shadow
  polygon(im, {{8, 29}, {47, 5}, {51, 7}, {57, 29}}, body);                             // raised lid
  line(im, 9, 29, 47, 6, shade(body, 1.6));                                             // lid edge
  line(im, 40, 28, 42, 13, rgb(170, 150, 110));                                         // lid prop
  box(im, 6, 29, 58, 40, body);                                                         // case
  box(im, 6, 29, 58, 29, shade(body, 1.5));
  box(im, 6, 38, 58, 38, trim);
  box(im, 2, 30, 7, 33, rgb(245, 245, 240));                                            // keys
  box(im, 2, 30, 5, 31, rgb(20, 20, 20));
  box(im, 9, 41, 12, 56, body);                                                         // legs
  box(im, 51, 41, 54, 56, body);
  box(im, 30, 41, 32, 52, body);                                                        // pedal lyre
  box(im, 27, 53, 35, 54, rgb(210, 170, 60));                                           // pedals
  box(im, 0, 58, 63, 66, rgb(16, 16, 24));
  centred_text(im, 59, label, rgb(235, 235, 235));
  return im;
}

static Image draw_upright() {
  Image im = make_image(64, 67, rgb(34, 60, 40));
  vgradient(im, 0, 0, 63, 57, rgb(60, 96, 64), rgb(30, 54, 36));
  uint32_t wood = rgb(104, 58, 30);
  box(im, 10, 6, 53, 52, wood);                        // case
  box(im, 12, 8, 51, 30, shade(wood, 0.8));            // upper panel
  box(im, 14, 10, 49, 28, shade(wood, 0.7));
  box(im, 22, 24, 41, 29, rgb(230, 220, 190));         // music sheet on the desk
  box(im, 8, 31, 55, 33, shade(wood, 1.2));            // key slip
  box(im, 9, 34, 54, 39, rgb(245, 245, 240));          // keys
  for (int x = 9; x <= 54; x += 3) box(im, x, 34, x, 39, rgb(170, 170, 165));
  static const int black[] = {1, 1, 0, 1, 1, 1, 0, 1, 1, 0, 1, 1, 1, 0, 1};
  for (int i = 0; i < 15; i++)
    if (black[i]) box(im, 9 + 3 * i + 2, 34, 9 + 3 * i + 3, 36, rgb(20, 20, 20));
  box(im, 12, 40, 51, 50, shade(wood, 0.85));          // lower panel
  box(im, 10, 40, 12, 56, wood);                       // toe blocks
  box(im, 51, 40, 53, 56, wood);
  box(im, 28, 52, 35, 53, rgb(210, 170, 60));          // pedals
  box(im, 0, 58, 63, 66, rgb(16, 16, 24));
  centred_text(im, 59, "UPRIGHT", rgb(235, 235, 235));
  return im;
}

// A stage electric piano on an X stand.
static Image draw_epiano() {
  Image im = make_image(64, 67, rgb(40, 30, 60));
  vgradient(im, 0, 0, 63, 57, rgb(80, 60, 120), rgb(36, 26, 56));
  uint32_t lid = rgb(196, 40, 36);
  polygon(im, {{5, 20}, {59, 20}, {62, 27}, {2, 27}}, rgb(30, 30, 30));   // lid top
  box(im, 2, 27, 61, 36, lid);                                             // case front
  box(im, 2, 27, 61, 27, shade(lid, 1.4));
  box(im, 6, 22, 57, 25, rgb(245, 245, 240));                              // keys
  for (int x = 6; x <= 57; x += 3) box(im, x, 22, x, 25, rgb(160, 160, 160));
  for (int x = 8; x <= 55; x += 7) {
    box(im, x, 22, x + 1, 23, rgb(20, 20, 20));
    box(im, x + 3, 22, x + 4, 23, rgb(20, 20, 20));
  }
  for (int i = 0; i < 4; i++) ellipse(im, 10 + 6 * i, 31.5, 1.6, 1.6, rgb(230, 230, 230));  // knobs
  line(im, 14, 37, 48, 56, rgb(160, 160, 170));                            // X stand
  line(im, 15, 37, 49, 56, rgb(160, 160, 170));
  line(im, 48, 37, 14, 56, rgb(160, 160, 170));
  line(im, 49, 37, 15, 56, rgb(160, 160, 170));
  box(im, 0, 58, 63, 66, rgb(16, 16, 24));
  centred_text(im, 59, "E-PIANO", rgb(235, 235, 235));
  return im;
}

// A numbered user slot: a big digit on a coloured card.
static Image draw_user(int n) {
  static const uint32_t colours[5] = {0x2E6EB4, 0x2E9A6A, 0xB4782E, 0x8A3EA6, 0xB43E4E};
  uint32_t c = colours[(n - 1) % 5];
  Image im = make_image(64, 67, shade(c, 0.35));
  vgradient(im, 4, 4, 59, 54, shade(c, 1.2), shade(c, 0.8));
  box(im, 4, 4, 59, 4, shade(c, 1.5));
  std::string digit(1, (char)('0' + n));
  text(im, 32 - text_width(digit, 5) / 2, 12, digit, rgb(250, 250, 250), 5);
  box(im, 0, 58, 63, 66, rgb(16, 16, 24));
  centred_text(im, 59, "USER " + digit, rgb(235, 235, 235));
  return im;
}

// ---- The icon ----

// The icon is drawn on a 48-unit square at `kIconSamples` samples a pixel in
// each direction; the samples are averaged into colour and coverage. Pixels
// outside the drawn shapes hold kClear.
constexpr uint32_t kClear = 0xFF000000u;
constexpr int kIconSamples = 4;

// Rounded box in icon units, both edges included.
static void rounded_box(Image& im, double scale, double x0, double y0, double x1, double y1, double r,
                        uint32_t top, uint32_t bottom) {
  for (int y = 0; y < im.h; y++)
    for (int x = 0; x < im.w; x++) {
      double px = (x + 0.5) / scale, py = (y + 0.5) / scale;
      if (px < x0 || px > x1 || py < y0 || py > y1) continue;
      double dx = std::max({x0 + r - px, px - (x1 - r), 0.0}), dy = std::max({y0 + r - py, py - (y1 - r), 0.0});
      if (dx * dx + dy * dy > r * r) continue;
      put(im, x, y, mix(top, bottom, (py - y0) / (y1 - y0)));
    }
}

static void scaled_polygon(Image& im, double scale, std::vector<std::pair<double, double>> p, uint32_t c) {
  for (auto& q : p) q = {q.first * scale, q.second * scale};
  polygon(im, p, c);
}

// A grand piano's raised lid over a keyboard, on dark wood.
static Image draw_icon_samples(int size) {
  const double s = size * kIconSamples / 48.0;
  Image im = make_image(size * kIconSamples, size * kIconSamples, kClear);
  rounded_box(im, s, 2, 2, 46, 46, 8, rgb(70, 40, 24), rgb(26, 15, 9));
  scaled_polygon(im, s, {{7, 21}, {33, 6}, {37, 7}, {41, 21}}, rgb(14, 12, 12));  // the lid
  scaled_polygon(im, s, {{7, 21}, {33, 6}, {34, 7.2}, {9, 21}}, rgb(205, 165, 80));  // its gilded edge
  scaled_polygon(im, s, {{28, 21}, {29.5, 10}, {31, 10}, {30, 21}}, rgb(190, 150, 70));  // the prop
  rounded_box(im, s, 5, 21, 43, 24, 0.5, rgb(150, 22, 26), rgb(120, 16, 20));  // felt
  const int kWhite = 7;
  const double left = 6, width = 36.0 / kWhite;
  for (int k = 0; k < kWhite; k++)
    rounded_box(im, s, left + k * width + 0.35, 24, left + (k + 1) * width - 0.35, 42, 0.9, rgb(238, 235, 225),
                rgb(252, 250, 244));
  for (int k : {1, 2, 4, 5, 6})
    rounded_box(im, s, left + k * width - 1.6, 24, left + k * width + 1.6, 34, 0.5, rgb(22, 22, 24),
                rgb(52, 52, 58));
  return im;
}

// Averages each pixel's samples; colour weighted by coverage.
static std::vector<uint8_t> icon_rgba(int size) {
  Image big = draw_icon_samples(size);
  std::vector<uint8_t> out((size_t)size * size * 4, 0);
  for (int y = 0; y < size; y++)
    for (int x = 0; x < size; x++) {
      double r = 0, g = 0, b = 0;
      int covered = 0;
      for (int j = 0; j < kIconSamples; j++)
        for (int i = 0; i < kIconSamples; i++) {
          uint32_t c = big.px[(size_t)(y * kIconSamples + j) * big.w + x * kIconSamples + i];
          if (c == kClear) continue;
          covered++;
          r += (c >> 16) & 255;
          g += (c >> 8) & 255;
          b += c & 255;
        }
      uint8_t* p = &out[((size_t)y * size + x) * 4];
      if (covered == 0) continue;
      p[0] = (uint8_t)std::lround(r / covered);
      p[1] = (uint8_t)std::lround(g / covered);
      p[2] = (uint8_t)std::lround(b / covered);
      p[3] = (uint8_t)std::lround(255.0 * covered / (kIconSamples * kIconSamples));
    }
  return out;
}

static uint32_t crc32_of(const uint8_t* p, size_t n, uint32_t crc = 0) {
  crc = ~crc;
  for (size_t i = 0; i < n; i++) {
    crc ^= p[i];
    for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

static void put_be32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 3; i >= 0; i--) v.push_back((uint8_t)(x >> (8 * i)));
}

static void png_chunk(std::vector<uint8_t>& file, const char* type, const std::vector<uint8_t>& data) {
  put_be32(file, (uint32_t)data.size());
  size_t start = file.size();
  file.insert(file.end(), type, type + 4);
  file.insert(file.end(), data.begin(), data.end());
  put_be32(file, crc32_of(&file[start], file.size() - start));
}

// An 8-bit RGBA PNG. The image data is a zlib stream of stored (uncompressed)
// blocks: no compression library needed, and an icon stays small enough.
static bool write_png(const std::string& name, int size, const std::vector<uint8_t>& rgba) {
  std::vector<uint8_t> raw;
  for (int y = 0; y < size; y++) {
    raw.push_back(0);  // filter: none
    raw.insert(raw.end(), rgba.begin() + (size_t)y * size * 4, rgba.begin() + (size_t)(y + 1) * size * 4);
  }
  std::vector<uint8_t> z = {0x78, 0x01};
  for (size_t at = 0; at < raw.size(); at += 65535) {
    size_t n = std::min<size_t>(65535, raw.size() - at);
    z.push_back(at + n == raw.size() ? 1 : 0);
    z.push_back((uint8_t)n);
    z.push_back((uint8_t)(n >> 8));
    z.push_back((uint8_t)~n);
    z.push_back((uint8_t)(~n >> 8));
    z.insert(z.end(), raw.begin() + at, raw.begin() + at + n);
  }
  uint32_t a = 1, b = 0;  // Adler-32 of the raw data
  for (uint8_t c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  put_be32(z, b << 16 | a);
  std::vector<uint8_t> header;
  put_be32(header, (uint32_t)size);
  put_be32(header, (uint32_t)size);
  header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, no filter set, no interlace
  std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  png_chunk(file, "IHDR", header);
  png_chunk(file, "IDAT", z);
  png_chunk(file, "IEND", {});
  std::string tmp = name + ".part";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  bool ok = f != nullptr && std::fwrite(file.data(), 1, file.size(), f) == file.size();
  if (f != nullptr) ok = (std::fclose(f) == 0) && ok;
  if (!ok || std::rename(tmp.c_str(), name.c_str()) != 0) {
    std::remove(tmp.c_str());
    std::fprintf(stderr, "draw_pictures: cannot write %s\n", name.c_str());
    return false;
  }
  return true;
}

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: draw_pictures OUT_DIR [ICON_DIR]\n");
    return 2;
  }
  std::string dir = std::string(argv[1]) + "/";
  bool ok = write_bmp(dir + "piano.bmp", draw_keyboard());
  ok = write_bmp(dir + "granpiano.bmp", draw_grand(rgb(20, 40, 90), rgb(18, 18, 20), rgb(190, 150, 70), "GRAND")) && ok;
  ok = write_bmp(dir + "granpiano1.bmp", draw_grand(rgb(90, 30, 30), rgb(232, 230, 224), rgb(200, 170, 90), "GRAND 1")) && ok;
  ok = write_bmp(dir + "granpiano2.bmp", draw_grand(rgb(30, 70, 80), rgb(110, 60, 30), rgb(220, 180, 90), "GRAND 2")) && ok;
  ok = write_bmp(dir + "upright.bmp", draw_upright()) && ok;
  ok = write_bmp(dir + "epiano.bmp", draw_epiano()) && ok;
  for (int n = 1; n <= 5; n++) ok = write_bmp(dir + "user" + std::to_string(n) + ".bmp", draw_user(n)) && ok;
  if (argc == 3) {
    for (int size : {48, 256})
      ok = write_png(std::string(argv[2]) + "/quillon_darvo-" + std::to_string(size) + ".png", size, icon_rgba(size)) &&
           ok;
  }
  return ok ? 0 : 1;
}
