// The drawing surface of the plot windows: a raster picture with pixel
// coordinates x to the right and y downwards from the top left corner.
// Lines are 1 pixel wide through pixel centres, both ends drawn; rectangles
// include both corners; a clip rectangle (inclusive) replaces the previous
// one and limits every drawing operation; text is placed by its top left
// corner and moves the current position to its end.
#pragma once

#include <climits>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace linac {

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

// One particle dot of a batch: pixel (x, y) in colour c. A batch laid out
// by particle keeps a place for every particle: x = kNoDot marks a place
// whose particle draws nothing (lost, or outside the window).
inline constexpr std::int32_t kNoDot = INT32_MIN;
struct Dot {
  std::int32_t x = 0, y = 0;
  Rgb c;
};

// Rectangle modes.
inline constexpr int kRectBorder = 2;
inline constexpr int kRectFilled = 3;

// Saved areas of the picture, restored in replace mode.
inline constexpr int kSavedAreas = 3;

class Canvas {
 public:
  virtual ~Canvas() = default;
  // Font by an option text: t'face' h height and w mean width in pixels,
  // a trailing i for italic, e.g. "t'Arial'h14w6".
  virtual void set_font(std::string_view option) = 0;
  virtual void set_color(Rgb c) = 0;       // lines and rectangles
  virtual void set_text_color(Rgb c) = 0;  // text
  virtual void set_bk_color(Rgb c) = 0;    // clear
  virtual void clear() = 0;                // whole picture in the background colour
  // Pixel coordinates of line ends as real numbers holding whole values, so
  // that a point far outside the picture (a stray particle, a huge ellipse)
  // needs no integer conversion; the part inside the clip is drawn.
  virtual void move_to(double x, double y) = 0;
  virtual void line_to(double x, double y) = 0;
  virtual void rectangle(int mode, int x1, int y1, int x2, int y2) = 0;
  virtual void draw_text(std::string_view text) = 0;
  virtual void set_pixel(int x, int y, Rgb c) = 0;
  // A batch of dots, drawn in order (a later dot covers an earlier one);
  // dots outside the clip, and empty places (x = kNoDot), draw nothing.
  virtual void set_pixels(std::span<const Dot> dots) = 0;
  virtual void set_clip(int x1, int y1, int x2, int y2) = 0;
  // Saves the area (x1, y1)-(x2, y2) in slot 0..kSavedAreas-1, and puts a
  // saved area back with its top left corner at (x, y), replacing what is there.
  virtual void save_area(int slot, int x1, int y1, int x2, int y2) = 0;
  virtual void put_area(int slot, int x, int y) = 0;
  // Writes the picture as a PNG file: first under a temporary name beside
  // path, then renamed, so no reader ever sees half a file. Returns false
  // when the file cannot be written.
  virtual bool write_png(const std::string& path) = 0;
};

}  // namespace linac
