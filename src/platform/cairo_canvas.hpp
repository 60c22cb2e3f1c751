// The plot picture drawn by cairo into an RGB image in memory, written out
// as PNG. Fonts are found through fontconfig by their face name ("Arial"
// resolves to a metric-compatible face such as Liberation Sans); the face
// "GreekC" draws F as phi and s as sigma.
#pragma once

#include <array>
#include <memory>

#include "platform/canvas.hpp"

namespace linac {

inline constexpr int kPictureWidth = 1366;
inline constexpr int kPictureHeight = 768;

class CairoCanvas final : public Canvas {
 public:
  CairoCanvas(int width = kPictureWidth, int height = kPictureHeight);
  ~CairoCanvas() override;
  CairoCanvas(const CairoCanvas&) = delete;
  CairoCanvas& operator=(const CairoCanvas&) = delete;

  void set_font(std::string_view option) override;
  void set_color(Rgb c) override { color_ = c; }
  void set_text_color(Rgb c) override { text_color_ = c; }
  void set_bk_color(Rgb c) override { bk_color_ = c; }
  void clear() override;
  void move_to(double x, double y) override;
  void line_to(double x, double y) override;
  void rectangle(int mode, int x1, int y1, int x2, int y2) override;
  void draw_text(std::string_view text) override;
  void set_pixel(int x, int y, Rgb c) override;
  void set_pixels(std::span<const Dot> dots) override;
  void set_clip(int x1, int y1, int x2, int y2) override;
  void save_area(int slot, int x1, int y1, int x2, int y2) override;
  void put_area(int slot, int x, int y) override;
  bool write_png(const std::string& path) override;

  int width() const { return width_; }
  int height() const { return height_; }
  // The colour of pixel (x, y) of the picture as it stands.
  Rgb pixel(int x, int y);

 private:
  struct Impl;
  struct Area {
    int w = 0, h = 0;
    std::vector<std::uint32_t> px;
  };
  bool inside_clip(int x, int y) const {
    return x >= clip_x1_ && x <= clip_x2_ && y >= clip_y1_ && y <= clip_y2_;
  }
  std::uint32_t* row(int y);

  std::unique_ptr<Impl> impl_;
  int width_, height_;
  Rgb color_{}, text_color_{}, bk_color_{255, 255, 255};
  double cur_x_ = 0.0, cur_y_ = 0.0;
  int clip_x1_ = 0, clip_y1_ = 0, clip_x2_ = 0, clip_y2_ = 0;
  bool greek_ = false;
  std::array<Area, kSavedAreas> areas_{};
};

}  // namespace linac
