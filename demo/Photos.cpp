#include "Photos.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace demo {

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;

struct Rgb {
  std::uint8_t r, g, b;
};

Rgb Mix(Rgb a, Rgb b, double t) {
  auto m = [t](std::uint8_t x, std::uint8_t y) { return static_cast<std::uint8_t>(std::lround(x + (y - x) * t)); };
  return {m(a.r, b.r), m(a.g, b.g), m(a.b, b.b)};
}

// An RGB picture with the few shapes the photos are made of.
class Canvas {
 public:
  Canvas() : pixels_(kWidth * kHeight) {}

  void Rect(int x0, int y0, int x1, int y1, Rgb c) {
    for (int y = std::max(0, y0); y < std::min(kHeight, y1); ++y)
      for (int x = std::max(0, x0); x < std::min(kWidth, x1); ++x) At(x, y) = c;
  }
  // Top to bottom from one colour to the other.
  void Gradient(int y0, int y1, Rgb top, Rgb bottom) {
    for (int y = std::max(0, y0); y < std::min(kHeight, y1); ++y)
      Rect(0, y, kWidth, y + 1, Mix(top, bottom, static_cast<double>(y - y0) / std::max(1, y1 - y0 - 1)));
  }
  void Circle(int cx, int cy, int radius, Rgb c) {
    for (int y = cy - radius; y <= cy + radius; ++y)
      for (int x = cx - radius; x <= cx + radius; ++x)
        if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius && Inside(x, y)) At(x, y) = c;
  }
  // A roof: a triangle with a horizontal base from (x0, base) to (x1, base) and its top at (apexX, apexY).
  void Roof(int x0, int x1, int base, int apexX, int apexY, Rgb c) {
    for (int y = apexY; y <= base; ++y) {
      double t = static_cast<double>(y - apexY) / std::max(1, base - apexY);
      Rect(static_cast<int>(apexX + (x0 - apexX) * t), y, static_cast<int>(apexX + (x1 - apexX) * t) + 1, y + 1, c);
    }
  }
  // A grid of windows inside a facade; lit(column, row) picks the lit ones.
  template <class Lit>
  void Windows(int x0, int y0, int cols, int rows, int w, int h, int gap, Rgb on, Rgb off, Lit lit) {
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c) {
        int x = x0 + c * (w + gap), y = y0 + r * (h + gap);
        Rect(x, y, x + w, y + h, lit(c, r) ? on : off);
      }
  }

  // PNG: one IHDR, one IDAT of stored (uncompressed) deflate blocks, IEND.
  std::string Png() const {
    std::string raw;
    raw.reserve(kHeight * (1 + kWidth * 3));
    for (int y = 0; y < kHeight; ++y) {
      raw += '\0';  // filter: none
      for (int x = 0; x < kWidth; ++x) {
        const Rgb& p = pixels_[y * kWidth + x];
        raw += static_cast<char>(p.r);
        raw += static_cast<char>(p.g);
        raw += static_cast<char>(p.b);
      }
    }
    std::string png = "\x89PNG\r\n\x1a\n";
    std::string header;
    Put32(&header, kWidth);
    Put32(&header, kHeight);
    header += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter set, no interlace
    Chunk(&png, "IHDR", header);
    Chunk(&png, "IDAT", Zlib(raw));
    Chunk(&png, "IEND", "");
    return png;
  }

 private:
  static bool Inside(int x, int y) { return x >= 0 && y >= 0 && x < kWidth && y < kHeight; }
  Rgb& At(int x, int y) { return pixels_[y * kWidth + x]; }

  static void Put32(std::string* out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) *out += static_cast<char>((v >> shift) & 0xFF);
  }
  static std::uint32_t Crc32(const std::string& data) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : data) {
      crc ^= byte;
      for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
  }
  static void Chunk(std::string* png, const char* type, const std::string& data) {
    Put32(png, static_cast<std::uint32_t>(data.size()));
    std::string body = std::string(type) + data;
    *png += body;
    Put32(png, Crc32(body));
  }
  // A zlib stream of stored blocks (at most 65535 bytes each) and its Adler-32.
  static std::string Zlib(const std::string& raw) {
    std::string out = "\x78\x01";
    std::size_t at = 0;
    do {
      std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
      bool last = at + n == raw.size();
      out += static_cast<char>(last ? 1 : 0);
      out += static_cast<char>(n & 0xFF);
      out += static_cast<char>(n >> 8);
      out += static_cast<char>(~n & 0xFF);
      out += static_cast<char>((~n >> 8) & 0xFF);
      out.append(raw, at, n);
      at += n;
    } while (at < raw.size());
    std::uint32_t a = 1, b = 0;
    for (unsigned char byte : raw) {
      a = (a + byte) % 65521;
      b = (b + a) % 65521;
    }
    Put32(&out, (b << 16) | a);
    return out;
  }

  std::vector<Rgb> pixels_;
};

// A block of flats on a sunny day, a tree beside it.
Canvas Outside() {
  Canvas c;
  c.Gradient(0, 170, {120, 180, 235}, {215, 235, 250});
  c.Circle(265, 45, 22, {255, 215, 90});
  c.Rect(0, 170, kWidth, kHeight, {110, 170, 90});
  c.Rect(0, 200, kWidth, 214, {190, 190, 185});  // the path
  c.Rect(70, 60, 210, 185, {235, 225, 205});
  c.Roof(62, 218, 60, 140, 28, {170, 80, 60});
  c.Windows(82, 72, 5, 4, 18, 16, 8, {120, 160, 200}, {120, 160, 200}, [](int, int) { return true; });
  c.Rect(128, 160, 152, 185, {120, 80, 50});  // the door
  c.Rect(252, 130, 260, 180, {110, 75, 45});
  c.Circle(256, 118, 26, {60, 130, 60});
  return c;
}

// A living room: a window onto the sky, a sofa, a lamp.
Canvas LivingRoom() {
  Canvas c;
  c.Rect(0, 0, kWidth, 170, {240, 228, 205});
  for (int x = 0; x < kWidth; x += 40) c.Rect(x, 170, x + 39, kHeight, {190, 140, 95});  // floor boards
  c.Rect(0, 170, kWidth, 172, {150, 110, 75});
  c.Rect(40, 30, 150, 120, {250, 250, 250});  // window frame
  c.Gradient(36, 116, {140, 195, 240}, {210, 235, 250});
  c.Rect(40, 30, 150, 36, {250, 250, 250});
  c.Rect(40, 114, 150, 120, {250, 250, 250});
  c.Rect(40, 30, 46, 120, {250, 250, 250});
  c.Rect(144, 30, 150, 120, {250, 250, 250});
  c.Rect(92, 30, 98, 120, {250, 250, 250});
  c.Rect(170, 120, 300, 175, {80, 110, 150});  // sofa
  c.Rect(165, 105, 305, 130, {70, 98, 135});
  c.Rect(160, 125, 178, 180, {70, 98, 135});
  c.Rect(292, 125, 310, 180, {70, 98, 135});
  c.Rect(62, 150, 66, 200, {60, 60, 60});  // lamp
  c.Roof(44, 84, 150, 64, 128, {250, 220, 140});
  c.Rect(30, 200, 130, 206, {120, 90, 60});  // low table
  return c;
}

// The city from the balcony at night, some windows lit.
Canvas NightView() {
  Canvas c;
  c.Gradient(0, kHeight, {20, 25, 60}, {90, 60, 110});
  c.Circle(60, 45, 16, {245, 240, 210});
  c.Circle(66, 41, 14, {30, 34, 72});  // the moon's shadow: a crescent
  const int towers[][3] = {{10, 60, 140}, {70, 45, 95}, {115, 55, 120}, {170, 40, 70}, {210, 65, 110}, {275, 45, 150}};
  for (const auto& t : towers) {
    c.Rect(t[0], t[2], t[0] + t[1], kHeight, {35, 35, 50});
    c.Windows(t[0] + 5, t[2] + 8, t[1] / 12, (kHeight - t[2]) / 14, 6, 7, 6, {250, 210, 110}, {55, 55, 75},
              [&](int col, int row) { return (col * 7 + row * 3 + t[0]) % 5 < 2; });
  }
  c.Rect(0, 205, kWidth, 210, {200, 200, 210});  // balcony rail
  for (int x = 4; x < kWidth; x += 22) c.Rect(x, 210, x + 4, kHeight, {200, 200, 210});
  return c;
}

}  // namespace

const std::array<Photo, 3>& SamplePhotos() {
  static const std::array<Photo, 3> photos = {
      Photo{"outside.png", Outside().Png()},
      Photo{"living-room.png", LivingRoom().Png()},
      Photo{"night-view.png", NightView().Png()},
  };
  return photos;
}

}  // namespace demo
