// The batch of particle dots on the cairo picture: a dot lands on its pixel
// in its colour exactly when it lies inside the clip rectangle (both edges
// included), an empty place or a pixel far outside draws nothing, a later
// dot covers an earlier one, and a clip outside the picture draws nothing.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "platform/cairo_canvas.hpp"

namespace linac {
namespace {

constexpr Rgb kBackground{238, 238, 238};

TEST(CairoCanvasDots, DrawnInsideTheClipOnlyLaterDotsCoverEarlierOnes) {
  CairoCanvas cv(40, 30);
  cv.set_bk_color(kBackground);
  cv.clear();
  cv.set_clip(5, 6, 20, 18);
  const Rgb red{240, 0, 0}, green{1, 200, 3}, blue{0, 0, 255}, odd{17, 34, 51};
  const std::vector<Dot> dots{
      {5, 6, red},    {20, 6, green},  {5, 18, blue},     {20, 18, odd},      // the four corners
      {4, 10, red},   {21, 10, red},   {10, 5, red},      {10, 19, red},      // one pixel outside each edge
      {kNoDot, 0, red}, {INT_MAX, 10, red}, {10, INT_MIN, red}, {-1, -1, red},  // empty, far outside
      {12, 12, red},  {12, 12, green}, {13, 12, blue},                          // the later dot covers
  };
  cv.set_pixels(dots);
  struct Expect {
    int x, y;
    Rgb c;
  } const expect[] = {
      {5, 6, red},          {20, 6, green},       {5, 18, blue},        {20, 18, odd},
      {4, 10, kBackground}, {21, 10, kBackground}, {10, 5, kBackground}, {10, 19, kBackground},
      {0, 0, kBackground},  {39, 10, kBackground}, {10, 0, kBackground},  {12, 12, green},
      {13, 12, blue},
  };
  for (const Expect& e : expect) EXPECT_EQ(cv.pixel(e.x, e.y), e.c) << "pixel (" << e.x << ", " << e.y << ")";
  // Nothing else changed: the drawn pixels are the six above.
  int changed = 0;
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) changed += !(cv.pixel(x, y) == kBackground);
  EXPECT_EQ(changed, 6);
}

TEST(CairoCanvasDots, ClipOutsideThePictureDrawsNothing) {
  CairoCanvas cv(40, 30);
  cv.set_bk_color(kBackground);
  cv.clear();
  cv.set_clip(50, 2, 60, 8);  // right of the picture: an empty clip
  const std::vector<Dot> dots{{39, 5, Rgb{255, 0, 0}}, {0, 5, Rgb{255, 0, 0}}, {55, 5, Rgb{255, 0, 0}}};
  cv.set_pixels(dots);
  int changed = 0;
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) changed += !(cv.pixel(x, y) == kBackground);
  EXPECT_EQ(changed, 0);
}

}  // namespace
}  // namespace linac
