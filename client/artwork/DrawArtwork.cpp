// velmora-artwork FOLDER: draws the client's pictures at build time, into
// FOLDER: the start-up splash (splash.jpg, 1024 x 768) and the notice
// popup's background (popup-background.png, 252 x 146). Both are the
// project's own drawings, with the program's main icon.
#include <cairo.h>
#include <gdk/gdk.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "host/MainIcon.h"

namespace {

struct Rgb {
  double r, g, b;
};

constexpr Rgb kDeepBlue{0.05, 0.23, 0.47};
constexpr Rgb kBlue{0.12, 0.44, 0.82};
constexpr Rgb kLightBlue{0.23, 0.56, 0.91};
constexpr Rgb kPaleBlue{0.93, 0.96, 1.0};
constexpr Rgb kBorderBlue{0.42, 0.62, 0.85};

void SetSource(cairo_t* cr, Rgb c, double alpha = 1) { cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha); }

void VerticalGradient(cairo_t* cr, double y0, double y1, Rgb top, Rgb bottom) {
  cairo_pattern_t* p = cairo_pattern_create_linear(0, y0, 0, y1);
  cairo_pattern_add_color_stop_rgb(p, 0, top.r, top.g, top.b);
  cairo_pattern_add_color_stop_rgb(p, 1, bottom.r, bottom.g, bottom.b);
  cairo_set_source(cr, p);
  cairo_pattern_destroy(p);
}

// The main icon at `size` pixels, with its top left corner at (x, y).
void PaintIcon(cairo_t* cr, int size, double x, double y) {
  GdkPixbuf* icon = host::icon::MainIconPixbuf(size);
  gdk_cairo_set_source_pixbuf(cr, icon, x, y);
  cairo_paint(cr);
  g_object_unref(icon);
}

void CenteredText(cairo_t* cr, const char* text, double cx, double baseline, double size, bool bold) {
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                         bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, size);
  cairo_text_extents_t e;
  cairo_text_extents(cr, text, &e);
  cairo_move_to(cr, cx - e.width / 2 - e.x_bearing, baseline);
  cairo_show_text(cr, text);
}

// The splash: a deep blue evening sky over a row of house roofs, the
// icon, the name and a row of dots that says the page is on its way.
void DrawSplash(cairo_t* cr, int w, int h) {
  VerticalGradient(cr, 0, h, kDeepBlue, kBlue);
  cairo_paint(cr);
  // Soft light from the upper left.
  cairo_pattern_t* glow = cairo_pattern_create_radial(w * 0.25, h * 0.2, 0, w * 0.25, h * 0.2, w * 0.7);
  cairo_pattern_add_color_stop_rgba(glow, 0, 1, 1, 1, 0.18);
  cairo_pattern_add_color_stop_rgba(glow, 1, 1, 1, 1, 0);
  cairo_set_source(cr, glow);
  cairo_paint(cr);
  cairo_pattern_destroy(glow);
  // Roofs along the bottom: houses of different widths, lighter in front.
  for (int row = 0; row < 2; ++row) {
    double base = h - 60 + row * 40, step = 150 - row * 40;
    SetSource(cr, kPaleBlue, 0.08 + 0.06 * row);
    cairo_move_to(cr, 0, h);
    for (double x = -40 + row * 55; x < w + step; x += step) {
      double peak = base - 70 - 25 * std::sin(x * 0.013 + row);
      cairo_line_to(cr, x, base);
      cairo_line_to(cr, x + step / 2, peak);
      cairo_line_to(cr, x + step, base);
    }
    cairo_line_to(cr, w, h);
    cairo_close_path(cr);
    cairo_fill(cr);
  }
  // The icon, the name and the dots, in the middle.
  PaintIcon(cr, 128, (w - 128) / 2.0, h * 0.26);
  cairo_set_source_rgb(cr, 1, 1, 1);
  CenteredText(cr, "Velmora", w / 2.0, h * 0.26 + 128 + 76, 60, true);
  for (int i = 0; i < 5; ++i) {
    cairo_set_source_rgba(cr, 1, 1, 1, 0.35 + 0.13 * i);
    cairo_arc(cr, w / 2.0 - 48 + 24 * i, h * 0.26 + 128 + 120, 5, 0, 2 * M_PI);
    cairo_fill(cr);
  }
}

// The popup's background: a pale box with a thin border, a blue title bar
// with the icon at its left (the title text is the page's) and a close
// mark in the close area at the top right (37 x 16).
void DrawPopupBackground(cairo_t* cr, int w, int h) {
  VerticalGradient(cr, 0, h, {1, 1, 1}, kPaleBlue);
  cairo_paint(cr);
  const double bar = 30;
  VerticalGradient(cr, 0, bar, kLightBlue, kBlue);
  cairo_rectangle(cr, 0, 0, w, bar);
  cairo_fill(cr);
  SetSource(cr, kBorderBlue);
  cairo_set_line_width(cr, 1);
  cairo_rectangle(cr, 0.5, 0.5, w - 1, h - 1);
  cairo_stroke(cr);
  PaintIcon(cr, 18, 6, 6);
  // The close mark.
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_set_line_width(cr, 1.6);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  double cx = w - 18.5, cy = 10, r = 3.5;
  cairo_move_to(cr, cx - r, cy - r);
  cairo_line_to(cr, cx + r, cy + r);
  cairo_move_to(cr, cx + r, cy - r);
  cairo_line_to(cr, cx - r, cy + r);
  cairo_stroke(cr);
}

bool Save(void (*draw)(cairo_t*, int, int), int w, int h, const std::string& path, const char* type) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
  cairo_t* cr = cairo_create(surface);
  draw(cr, w, h);
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  GdkPixbuf* pixbuf = gdk_pixbuf_get_from_surface(surface, 0, 0, w, h);
  cairo_surface_destroy(surface);
  GError* error = nullptr;
  bool ok = std::string(type) == "jpeg"
                ? gdk_pixbuf_save(pixbuf, path.c_str(), type, &error, "quality", "90", nullptr)
                : gdk_pixbuf_save(pixbuf, path.c_str(), type, &error, nullptr);
  if (!ok) std::fprintf(stderr, "velmora-artwork: %s: %s\n", path.c_str(), error ? error->message : "?");
  if (error) g_error_free(error);
  g_object_unref(pixbuf);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: velmora-artwork FOLDER\n");
    return 1;
  }
  std::string folder = argv[1];
  bool ok = Save(&DrawSplash, 1024, 768, folder + "/splash.jpg", "jpeg");
  ok = Save(&DrawPopupBackground, 252, 146, folder + "/popup-background.png", "png") && ok;
  return ok ? 0 : 1;
}
