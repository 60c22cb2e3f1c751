#include "platform/cairo_canvas.hpp"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace linac {

struct CairoCanvas::Impl {
  cairo_surface_t* surface = nullptr;
  cairo_t* cr = nullptr;
  double ascent = 0.0;  // of the current font, pixels
};

namespace {

std::uint32_t pack(Rgb c) {
  return (std::uint32_t{c.r} << 16) | (std::uint32_t{c.g} << 8) | std::uint32_t{c.b};
}

// pack of a dot's colour from one load of the word its three bytes begin
// (the fourth byte, padding, is masked out).
inline std::uint32_t pack_word(const Dot& d) {
  static_assert(sizeof(Dot) == 12 && offsetof(Dot, c) == 8 && sizeof(Rgb) == 3);
  std::uint32_t v = 0;
  std::memcpy(&v, reinterpret_cast<const unsigned char*>(&d) + offsetof(Dot, c), sizeof v);
  return ((v & 0xffu) << 16) | (v & 0xff00u) | ((v >> 16) & 0xffu);
}

void source(cairo_t* cr, Rgb c) { cairo_set_source_rgb(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0); }

// Liang-Barsky: cuts the segment (x0, y0)-(x1, y1) to the box; false when
// nothing of it lies inside.
bool cut_segment(double& x0, double& y0, double& x1, double& y1, double bx1, double by1,
                 double bx2, double by2) {
  const double dx = x1 - x0, dy = y1 - y0;
  double t0 = 0.0, t1 = 1.0;
  const double p[4] = {-dx, dx, -dy, dy};
  const double q[4] = {x0 - bx1, bx2 - x0, y0 - by1, by2 - y0};
  for (int i = 0; i < 4; ++i) {
    if (p[i] == 0.0) {
      if (q[i] < 0.0) return false;
      continue;
    }
    const double t = q[i] / p[i];
    if (p[i] < 0.0) {
      if (t > t1) return false;
      t0 = std::max(t0, t);
    } else {
      if (t < t0) return false;
      t1 = std::min(t1, t);
    }
  }
  const double ax = x0 + t0 * dx, ay = y0 + t0 * dy;
  x1 = x0 + t1 * dx;
  y1 = y0 + t1 * dy;
  x0 = ax;
  y0 = ay;
  return true;
}

}  // namespace

CairoCanvas::CairoCanvas(int width, int height)
    : impl_(std::make_unique<Impl>()), width_(width), height_(height) {
  impl_->surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  impl_->cr = cairo_create(impl_->surface);
  cairo_t* cr = impl_->cr;
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
  cairo_set_line_width(cr, 1.0);
  // Square caps draw both end pixels of a line through pixel centres.
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_SQUARE);
  cairo_font_options_t* fo = cairo_font_options_create();
  cairo_font_options_set_antialias(fo, CAIRO_ANTIALIAS_NONE);
  cairo_font_options_set_hint_style(fo, CAIRO_HINT_STYLE_FULL);
  cairo_set_font_options(cr, fo);
  cairo_font_options_destroy(fo);
  set_clip(0, 0, width - 1, height - 1);
  set_font("t'Arial'h14w6");
}

CairoCanvas::~CairoCanvas() {
  cairo_destroy(impl_->cr);
  cairo_surface_destroy(impl_->surface);
}

std::uint32_t* CairoCanvas::row(int y) {
  unsigned char* data = cairo_image_surface_get_data(impl_->surface);
  const int stride = cairo_image_surface_get_stride(impl_->surface);
  return reinterpret_cast<std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
}

void CairoCanvas::set_font(std::string_view option) {
  // t'face'hNNwNN[i]
  std::string face = "Arial";
  double h = 14.0, w = 6.0;
  bool italic = false;
  std::size_t i = 0;
  while (i < option.size()) {
    const char c = option[i];
    if ((c == 't' || c == 'T') && i + 1 < option.size() && option[i + 1] == '\'') {
      const std::size_t end = option.find('\'', i + 2);
      if (end == std::string_view::npos) break;
      face = std::string(option.substr(i + 2, end - i - 2));
      i = end + 1;
    } else if (c == 'h' || c == 'H' || c == 'w' || c == 'W') {
      std::size_t j = i + 1;
      double v = 0.0;
      while (j < option.size() && option[j] >= '0' && option[j] <= '9') v = v * 10.0 + (option[j++] - '0');
      if (c == 'h' || c == 'H') h = v; else w = v;
      i = j;
    } else {
      if (c == 'i' || c == 'I') italic = true;
      ++i;
    }
  }
  greek_ = face == "GreekC";
  const char* family = greek_ ? "Arial" : face.c_str();
  cairo_t* cr = impl_->cr;
  cairo_select_font_face(cr, family, italic ? CAIRO_FONT_SLANT_ITALIC : CAIRO_FONT_SLANT_NORMAL,
                         CAIRO_FONT_WEIGHT_NORMAL);
  // A font of cell height h has an em of about 0.87 h; its digits are about
  // 0.55 em wide, so w pixels of mean width ask for an em of w / 0.55.
  cairo_matrix_t m;
  cairo_matrix_init_scale(&m, std::max(1.0, w) / 0.55, std::max(1.0, h) * 0.87);
  cairo_set_font_matrix(cr, &m);
  cairo_font_extents_t fe;
  cairo_font_extents(cr, &fe);
  impl_->ascent = std::round(fe.ascent);
}

void CairoCanvas::clear() {
  cairo_t* cr = impl_->cr;
  cairo_save(cr);
  cairo_reset_clip(cr);
  source(cr, bk_color_);
  cairo_paint(cr);
  cairo_restore(cr);
}

void CairoCanvas::move_to(double x, double y) {
  cur_x_ = x;
  cur_y_ = y;
}

void CairoCanvas::line_to(double x, double y) {
  double x0 = cur_x_, y0 = cur_y_, x1 = x, y1 = y;
  cur_x_ = x;
  cur_y_ = y;
  if (!cut_segment(x0, y0, x1, y1, clip_x1_ - 1.0, clip_y1_ - 1.0, clip_x2_ + 1.0, clip_y2_ + 1.0))
    return;
  cairo_t* cr = impl_->cr;
  source(cr, color_);
  cairo_move_to(cr, x0 + 0.5, y0 + 0.5);
  cairo_line_to(cr, x1 + 0.5, y1 + 0.5);
  cairo_stroke(cr);
}

void CairoCanvas::rectangle(int mode, int x1, int y1, int x2, int y2) {
  if (x2 < x1) std::swap(x1, x2);
  if (y2 < y1) std::swap(y1, y2);
  cairo_t* cr = impl_->cr;
  source(cr, color_);
  if (mode == kRectFilled) {
    cairo_rectangle(cr, x1, y1, x2 - x1 + 1, y2 - y1 + 1);
    cairo_fill(cr);
  } else {
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    cairo_rectangle(cr, x1 + 0.5, y1 + 0.5, x2 - x1, y2 - y1);
    cairo_stroke(cr);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_SQUARE);
  }
}

void CairoCanvas::draw_text(std::string_view text) {
  std::string s;
  for (const char c : text) {
    if (greek_ && c == 'F') s += "\xCF\x86";       // phi
    else if (greek_ && c == 's') s += "\xCF\x83";  // sigma
    else s += c;
  }
  cairo_t* cr = impl_->cr;
  source(cr, text_color_);
  cairo_move_to(cr, std::round(cur_x_), std::round(cur_y_) + impl_->ascent);
  cairo_text_extents_t te;
  cairo_text_extents(cr, s.c_str(), &te);
  cairo_show_text(cr, s.c_str());
  cairo_new_path(cr);
  cur_x_ = std::round(cur_x_ + te.x_advance);
}

void CairoCanvas::set_pixel(int x, int y, Rgb c) {
  if (!inside_clip(x, y)) return;
  cairo_surface_flush(impl_->surface);
  row(y)[x] = pack(c);
  cairo_surface_mark_dirty_rectangle(impl_->surface, x, y, 1, 1);
}

void CairoCanvas::set_pixels(std::span<const Dot> dots) {
  cairo_surface_flush(impl_->surface);
  unsigned char* data = cairo_image_surface_get_data(impl_->surface);
  const std::ptrdiff_t stride = cairo_image_surface_get_stride(impl_->surface);
  // The clip in locals: the pixel stores could otherwise alias it. With
  // x1 <= x2, x lies in [x1, x2] exactly when x - x1, taken modulo 2^32,
  // is at most x2 - x1 (an empty place, x = kNoDot, lies far outside).
  const int x1 = clip_x1_, x2 = clip_x2_, y1 = clip_y1_, y2 = clip_y2_;
  if (x1 <= x2 && y1 <= y2) {
    const std::uint32_t w = static_cast<std::uint32_t>(x2) - static_cast<std::uint32_t>(x1);
    const std::uint32_t h = static_cast<std::uint32_t>(y2) - static_cast<std::uint32_t>(y1);
    for (const Dot& d : dots)
      if (static_cast<std::uint32_t>(d.x) - static_cast<std::uint32_t>(x1) <= w &&
          static_cast<std::uint32_t>(d.y) - static_cast<std::uint32_t>(y1) <= h)
        reinterpret_cast<std::uint32_t*>(data + d.y * stride)[d.x] = pack_word(d);
  }
  cairo_surface_mark_dirty(impl_->surface);
}

void CairoCanvas::set_clip(int x1, int y1, int x2, int y2) {
  if (x2 < x1) std::swap(x1, x2);
  if (y2 < y1) std::swap(y1, y2);
  clip_x1_ = std::max(x1, 0);
  clip_y1_ = std::max(y1, 0);
  clip_x2_ = std::min(x2, width_ - 1);
  clip_y2_ = std::min(y2, height_ - 1);
  cairo_t* cr = impl_->cr;
  cairo_reset_clip(cr);
  cairo_new_path(cr);
  cairo_rectangle(cr, clip_x1_, clip_y1_, std::max(0, clip_x2_ - clip_x1_ + 1),
                  std::max(0, clip_y2_ - clip_y1_ + 1));
  cairo_clip(cr);
}

void CairoCanvas::save_area(int slot, int x1, int y1, int x2, int y2) {
  if (slot < 0 || slot >= kSavedAreas) return;
  Area& a = areas_[static_cast<std::size_t>(slot)];
  x1 = std::clamp(x1, 0, width_ - 1);
  x2 = std::clamp(x2, 0, width_ - 1);
  y1 = std::clamp(y1, 0, height_ - 1);
  y2 = std::clamp(y2, 0, height_ - 1);
  a.w = std::max(0, x2 - x1 + 1);
  a.h = std::max(0, y2 - y1 + 1);
  a.px.assign(static_cast<std::size_t>(a.w) * static_cast<std::size_t>(a.h), 0);
  cairo_surface_flush(impl_->surface);
  for (int j = 0; j < a.h; ++j)
    std::memcpy(a.px.data() + static_cast<std::size_t>(j) * static_cast<std::size_t>(a.w),
                row(y1 + j) + x1, static_cast<std::size_t>(a.w) * sizeof(std::uint32_t));
}

void CairoCanvas::put_area(int slot, int x, int y) {
  if (slot < 0 || slot >= kSavedAreas) return;
  const Area& a = areas_[static_cast<std::size_t>(slot)];
  cairo_surface_flush(impl_->surface);
  for (int j = 0; j < a.h; ++j) {
    const int py = y + j;
    if (py < clip_y1_ || py > clip_y2_) continue;
    const int i0 = std::max(0, clip_x1_ - x), i1 = std::min(a.w - 1, clip_x2_ - x);
    if (i1 < i0) continue;
    std::memcpy(row(py) + x + i0,
                a.px.data() + static_cast<std::size_t>(j) * static_cast<std::size_t>(a.w) +
                    static_cast<std::size_t>(i0),
                static_cast<std::size_t>(i1 - i0 + 1) * sizeof(std::uint32_t));
  }
  cairo_surface_mark_dirty(impl_->surface);
}

bool CairoCanvas::write_png(const std::string& path) {
  const std::string tmp = path + ".part";
  cairo_surface_flush(impl_->surface);
  if (cairo_surface_write_to_png(impl_->surface, tmp.c_str()) != CAIRO_STATUS_SUCCESS) {
    std::error_code ec;
    std::filesystem::remove(tmp, ec);
    return false;
  }
  std::error_code ec;
  std::filesystem::rename(tmp, path, ec);
  return !ec;
}

Rgb CairoCanvas::pixel(int x, int y) {
  cairo_surface_flush(impl_->surface);
  const std::uint32_t v = row(y)[x];
  return Rgb{static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
             static_cast<std::uint8_t>(v)};
}

}  // namespace linac
