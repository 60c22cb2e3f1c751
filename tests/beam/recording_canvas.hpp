// A canvas that keeps every drawing operation with the state it was drawn
// in (colour, text colour, font, clip), for tests of the plot layout.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "platform/canvas.hpp"

namespace linac::testing {

struct DrawOp {
  enum Kind { Line, Rect, Text, Pixels, PutArea, Clear } kind = Clear;
  double x1 = 0, y1 = 0, x2 = 0, y2 = 0;  // line ends, rectangle corners, text position
  int mode = 0;                           // rectangle mode
  Rgb color;                              // line/rectangle colour, or text colour
  std::string text;                       // text, or the font of a text
  std::string font;
  std::array<int, 4> clip{};
  std::vector<Dot> dots;
};

class RecordingCanvas final : public Canvas {
 public:
  std::vector<DrawOp> ops;
  int png_writes = 0;
  bool recording = true;

  void set_font(std::string_view o) override { font_ = std::string(o); }
  void set_color(Rgb c) override { color_ = c; }
  void set_text_color(Rgb c) override { text_color_ = c; }
  void set_bk_color(Rgb) override {}
  void clear() override { add(make(DrawOp::Clear)); }
  void move_to(double x, double y) override {
    cx_ = x;
    cy_ = y;
  }
  void line_to(double x, double y) override {
    DrawOp op = make(DrawOp::Line);
    op.x1 = cx_, op.y1 = cy_, op.x2 = x, op.y2 = y, op.color = color_;
    add(std::move(op));
    cx_ = x;
    cy_ = y;
  }
  void rectangle(int mode, int x1, int y1, int x2, int y2) override {
    DrawOp op = make(DrawOp::Rect);
    op.x1 = x1, op.y1 = y1, op.x2 = x2, op.y2 = y2, op.mode = mode, op.color = color_;
    add(std::move(op));
  }
  // Text advances the current position by 6 pixels a character.
  void draw_text(std::string_view t) override {
    DrawOp op = make(DrawOp::Text);
    op.x1 = cx_, op.y1 = cy_, op.text = std::string(t), op.color = text_color_;
    add(std::move(op));
    cx_ += 6.0 * static_cast<double>(t.size());
  }
  void set_pixel(int x, int y, Rgb c) override { set_pixels(std::vector<Dot>{Dot{x, y, c}}); }
  void set_pixels(std::span<const Dot> d) override {
    DrawOp op = make(DrawOp::Pixels);
    // The dots drawn: a batch laid out by particle has empty places.
    for (const Dot& dot : d)
      if (dot.x != kNoDot) op.dots.push_back(dot);
    add(std::move(op));
  }
  void set_clip(int x1, int y1, int x2, int y2) override { clip_ = {x1, y1, x2, y2}; }
  void save_area(int, int, int, int, int) override {}
  void put_area(int slot, int x, int y) override {
    DrawOp op = make(DrawOp::PutArea);
    op.mode = slot, op.x1 = x, op.y1 = y;
    add(std::move(op));
  }
  bool write_png(const std::string&) override {
    ++png_writes;
    return true;
  }

  // Operations of one kind drawn with the clip set to the given rectangle.
  std::vector<DrawOp> in_clip(DrawOp::Kind kind, std::array<int, 4> clip) const {
    std::vector<DrawOp> r;
    for (const auto& op : ops)
      if (op.kind == kind && op.clip == clip) r.push_back(op);
    return r;
  }
  std::vector<DrawOp> texts() const {
    std::vector<DrawOp> r;
    for (const auto& op : ops)
      if (op.kind == DrawOp::Text) r.push_back(op);
    return r;
  }

 private:
  static DrawOp make(DrawOp::Kind k) {
    DrawOp op;
    op.kind = k;
    return op;
  }
  void add(DrawOp op) {
    if (!recording) return;
    op.clip = clip_;
    op.font = font_;
    ops.push_back(std::move(op));
  }
  Rgb color_{}, text_color_{};
  double cx_ = 0, cy_ = 0;
  std::array<int, 4> clip_{};
  std::string font_;
};

}  // namespace linac::testing
