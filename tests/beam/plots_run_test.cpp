// Whole runs with IGRAPH = 1: the program draws graphic3.png unattended,
// and the picture does not depend on the number of threads.
#include <gtest/gtest.h>
#include <omp.h>

#include <cairo.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>

#include "run/sim.hpp"
#include "control/velmo_main.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::read_file;
using testing::TempDir;

const std::string kExample = std::string(LINAC_TEST_DATA_DIR) + "/../examples/drift_channel/";

// The example lattice with 2000 particles per charge state.
void copy_example(const TempDir& dir) {
  for (const char* f : {"sclinac.dat", "graph.cfg"}) std::filesystem::copy_file(kExample + f, dir / f);
  std::string velmo = read_file(kExample + "velmo.dat");
  const std::string npat = "NPAT = 12000, 12000, 12000";
  const auto at = velmo.find(npat);
  if (at != std::string::npos) velmo.replace(at, npat.size(), "NPAT = 2000, 2000, 2000");
  testing::write_file(dir / "velmo.dat", velmo);
}

struct Png {
  int w = 0, h = 0;
  std::vector<Rgb> px;
  Rgb at(int x, int y) const { return px[static_cast<std::size_t>(y * w + x)]; }
};

Png load_png(const std::filesystem::path& p) {
  Png r;
  cairo_surface_t* s = cairo_image_surface_create_from_png(p.string().c_str());
  if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) {
    r.w = cairo_image_surface_get_width(s);
    r.h = cairo_image_surface_get_height(s);
    const unsigned char* d = cairo_image_surface_get_data(s);
    const int stride = cairo_image_surface_get_stride(s);
    for (int y = 0; y < r.h; ++y)
      for (int x = 0; x < r.w; ++x) {
        const auto v = *reinterpret_cast<const std::uint32_t*>(d + y * stride + 4 * x);
        r.px.push_back(Rgb{static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
                           static_cast<std::uint8_t>(v)});
      }
  }
  cairo_surface_destroy(s);
  return r;
}

TEST(PlotRun, ProgramDrawsThePictureUnattended) {
  TempDir dir;
  copy_example(dir);
  const std::string cmd = "cd '" + dir.path().string() + "' && '" LINAC_PROGRAM "' < /dev/null > screen.txt";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << read_file(dir / "screen.txt");
  EXPECT_FALSE(std::filesystem::exists(dir / "graphic3.png.part"));
  const Png png = load_png(dir / "graphic3.png");
  ASSERT_EQ(png.w, 1366);
  ASSERT_EQ(png.h, 768);
  EXPECT_EQ(png.at(5, 760), (Rgb{238, 238, 238}));  // background
  for (const auto& [x, y] : std::vector<std::pair<int, int>>{{116, 94}, {396, 94}, {676, 94}, {77, 461}})
    EXPECT_EQ(png.at(x, y), (Rgb{255, 255, 255})) << x << "," << y;  // window interiors
  std::set<std::tuple<int, int, int>> colours;
  for (int y = 93; y < 300; ++y)
    for (int x = 115; x < 322; ++x) {
      const Rgb c = png.at(x, y);
      colours.insert({c.r, c.g, c.b});
    }
  for (const Rgb c : {Rgb{0, 0, 240}, Rgb{240, 0, 0}, Rgb{0, 240, 0}})
    EXPECT_TRUE(colours.count({c.r, c.g, c.b})) << int(c.r) << "," << int(c.g) << "," << int(c.b);
}

TEST(PlotRun, PictureIsTheSameForAnyThreadCount) {
  std::vector<std::string> pictures;
  const int saved = omp_get_max_threads();
  for (const int threads : {1, 4}) {
    TempDir dir;
    copy_example(dir);
    auto sim = make_sim();
    std::ostringstream screen;
    sim->screen.redirect(screen);
    sim->units.set_directory(dir.path());
    sim->clock.set_source([] { return LocalTime{2026, 5, 4, 12, 30, 0}; });
    std::istringstream none;
    sim->viewer.redirect(none, false);
    omp_set_num_threads(threads);
    ASSERT_EQ(run_program(*sim), 0) << screen.str();
    pictures.push_back(read_file(dir / "graphic3.png"));
  }
  omp_set_num_threads(saved);
  ASSERT_FALSE(pictures[0].empty());
  EXPECT_TRUE(pictures[0] == pictures[1]);
}

}  // namespace
}  // namespace linac
