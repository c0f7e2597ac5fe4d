#include "host/MainIcon.h"

#include <cairo.h>
#include <gdk/gdk.h>

#include <cmath>

namespace host::icon {

namespace {

// Draws the icon into a new ARGB32 surface of size x size.
cairo_surface_t* Draw(int size) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
  cairo_t* cr = cairo_create(surface);
  cairo_scale(cr, size / 64.0, size / 64.0);

  // The tile: a rounded square with a top-to-bottom blue gradient.
  const double r = 12;
  cairo_new_sub_path(cr);
  cairo_arc(cr, 64 - r - 2, r + 2, r, -M_PI / 2, 0);
  cairo_arc(cr, 64 - r - 2, 64 - r - 2, r, 0, M_PI / 2);
  cairo_arc(cr, r + 2, 64 - r - 2, r, M_PI / 2, M_PI);
  cairo_arc(cr, r + 2, r + 2, r, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
  cairo_pattern_t* fill = cairo_pattern_create_linear(0, 0, 0, 64);
  cairo_pattern_add_color_stop_rgb(fill, 0, 0.20, 0.55, 0.95);
  cairo_pattern_add_color_stop_rgb(fill, 1, 0.05, 0.30, 0.70);
  cairo_set_source(cr, fill);
  cairo_fill(cr);
  cairo_pattern_destroy(fill);

  // The house: a roof and a body with a door cut out.
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_set_line_width(cr, 5);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_move_to(cr, 13, 32);
  cairo_line_to(cr, 32, 15);
  cairo_line_to(cr, 51, 32);
  cairo_stroke(cr);
  cairo_rectangle(cr, 19, 31, 26, 20);
  cairo_rectangle(cr, 36, 37, -8, 14);  // the door, wound the other way
  cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
  cairo_fill(cr);

  cairo_destroy(cr);
  cairo_surface_flush(surface);
  return surface;
}

}  // namespace

GdkPixbuf* MainIconPixbuf(int size) {
  cairo_surface_t* surface = Draw(size);
  GdkPixbuf* pixbuf = gdk_pixbuf_get_from_surface(surface, 0, 0, size, size);
  cairo_surface_destroy(surface);
  return pixbuf;
}

std::vector<std::uint8_t> MainIconArgb(int size) {
  cairo_surface_t* surface = Draw(size);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  int stride = cairo_image_surface_get_stride(surface);
  std::vector<std::uint8_t> out;
  out.reserve(static_cast<std::size_t>(size) * size * 4);
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      // Cairo keeps native-endian premultiplied ARGB; hosts want plain
      // big-endian ARGB.
      std::uint32_t p;
      __builtin_memcpy(&p, data + y * stride + x * 4, 4);
      std::uint8_t a = p >> 24, rr = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
      if (a && a != 255) {
        rr = static_cast<std::uint8_t>(rr * 255 / a);
        g = static_cast<std::uint8_t>(g * 255 / a);
        b = static_cast<std::uint8_t>(b * 255 / a);
      }
      out.insert(out.end(), {a, rr, g, b});
    }
  }
  cairo_surface_destroy(surface);
  return out;
}

}  // namespace host::icon
