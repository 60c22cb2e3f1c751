// The plot picture: layout of the windows and labels, particles, ellipses,
// status panel and envelope on a recording canvas; the step viewer driven
// by scripted answers; bad graph.cfg files.
#include <gtest/gtest.h>

#include <omp.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <vector>

#include "beam/phase_groups.hpp"
#include "beam/plots.hpp"
#include "beam/recording_canvas.hpp"
#include "common/constants.hpp"
#include "run/sim.hpp"
#include "control/velmo_main.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::DrawOp;
using testing::RecordingCanvas;
using testing::TempDir;

constexpr double kAmu = 931494.32;  // keV
constexpr double kW = 1000.0;       // keV/u

// World ranges: window 1 x -0.5..0.5 cm, x' -0.01..0.01 rad; window 2 the
// same; window 3 phase -90..90 deg, dW/W -0.02..0.02; window 4 0..2 cm.
const std::string kGraphCfg =
    "&WINS TITLE='test picture', IX=0,394,674,75, IY=4*92, JX=4*0, JY=4*0, LX=4*1, LY=4*1,\n"
    " XMIN=-0.5,-0.5,-90.0,0.0, XMAX=0.5,0.5,90.0,0.0,\n"
    " YMIN=-0.01,-0.01,-0.02,0.0, YMAX=0.01,0.01,0.02,2.0 /\n";

struct Lattice {
  std::vector<std::pair<std::string, double>> lines;  // keyword, end position (cm)
};

class PlotFixture {
 public:
  explicit PlotFixture(const std::string& graph_cfg = kGraphCfg,
                       const Lattice& lat = {{{"drift", 10.0}, {"drift", 30.0}}}) {
    Sim& s = *sim;
    set_start_values(s);
    s.screen.redirect(screen);
    s.units.set_directory(dir.path());
    testing::write_file(dir / "graph.cfg", graph_cfg);
    s.config.iel_first = 1;
    s.config.iel_last = static_cast<int>(lat.lines.size());
    for (std::size_t n = 0; n < lat.lines.size(); ++n) {
      s.elements.elem_name[n + 1] = lat.lines[n].first;
      s.elements.elem_pos[n + 1] = lat.lines[n].second;
    }
    s.ref.s_entry = 0.0;
    s.ref.amu_kev = kAmu;
    s.ref.w_origin = kW;
    s.ref.phase_origin = 0.0;
    s.ref.FREQB = 80.5e6;
    s.config.NQTOT = 2;
    s.config.nqtot0 = 1;
    s.config.nqtot1 = 2;
    s.config.QQ[1] = 7.0;
    s.config.QQ[2] = 8.0;
    s.config.IFLAG_ELL = 0;
    s.config.IFLAG_RMS = 1;
    s.config.IFLAG_DIS = 1;
    s.state.view_count = 1;
    s.state.ipos = 0;
    s.ref.nstep = 1;
    s.viewer.redirect(no_input, false);
    auto c = std::make_unique<RecordingCanvas>();
    canvas = c.get();
    s.plots.canvas = std::move(c);
  }
  // Particle slot i of state iq at (x, x', y, y'), phase 0, energy kW.
  void place(int iq, int i, double x, double xp, double y = 0.0, double yp = 0.0) {
    ParticleArrays& p = sim->particles;
    p.x[iq][i] = x, p.xp[iq][i] = xp, p.y[iq][i] = y, p.yp[iq][i] = yp;
    p.phase[iq][i] = 0.0;
    p.beta[iq][i] = speed_of_energy(kW, kAmu);
    p.status[iq][i] = 0;
    sim->config.NPAT[static_cast<std::size_t>(iq)] = std::max(sim->config.NPAT[static_cast<std::size_t>(iq)], i);
  }
  const PlotLayout& layout() const { return sim->plots.layout; }
  std::array<int, 4> window(int k) const {
    const PlotLayout& l = layout();
    return {l.IX[k], l.IY[k], l.JX[k], l.JY[k]};
  }
  std::vector<Dot> dots(int k) const {
    std::vector<Dot> all;
    for (const auto& op : canvas->in_clip(DrawOp::Pixels, window(k))) all.insert(all.end(), op.dots.begin(), op.dots.end());
    return all;
  }
  // Texts drawn at (x, y).
  std::vector<DrawOp> texts_at(double x, double y) const {
    std::vector<DrawOp> r;
    for (const auto& op : canvas->texts())
      if (op.x1 == x && op.y1 == y) r.push_back(op);
    return r;
  }

  TempDir dir;
  std::unique_ptr<Sim> sim = make_sim();
  std::ostringstream screen;
  std::istringstream no_input;
  RecordingCanvas* canvas = nullptr;
};

TEST(PlotLayout, FixedGeometryWinsOverGraphCfgAndWorldPointsMapToPixelsRoundingHalvesOutward) {
  PlotFixture f("&WINS TITLE='t', IX=0,0,0,0, XMIN=-104,-0.5,-90,0, XMAX=104,0.5,90,0,"
                " YMIN=-104,-0.01,-0.02,0, YMAX=104,0.01,0.02,2 /\n");
  plot_windows_setup(*f.sim);
  const PlotLayout& l = f.layout();
  EXPECT_EQ(l.IX[1], 114);
  EXPECT_EQ(l.IY[1], 92);
  EXPECT_EQ(l.TITLE, "t");
  // Window 1 spans 208 pixels over 208 cm: a point 2.5 pixels from the
  // range's start is half a pixel between two columns.
  struct Case { int k; double world; double px; bool column; };
  const Case cases[] = {
      {1, 104.0, 322, true},    {1, -104.0, 114, true},  {1, -101.5, 117, true}, {1, -106.5, 111, true},
      {1, -104.0, 300, false},  {1, 104.0, 92, false},   {1, -101.5, 297, false}, {1, -106.5, 303, false},
      {2, 0.5, 602, true},      {3, -0.02, 300, false},  {4, 30.0, 1200, true},  {4, 0.0, 75, true},
  };
  for (const Case& c : cases) {
    const double got = c.column ? world_to_px_x(l, c.k, c.world) : world_to_px_y(l, c.k, c.world);
    EXPECT_EQ(got, c.px) << "window " << c.k << " world " << c.world << (c.column ? " x" : " y");
  }
  // Window 4 spans the lattice, 0..30 cm.
  EXPECT_EQ(l.XMIN[4], 0.0);
  EXPECT_EQ(l.XMAX[4], 30.0);
}

TEST(PlotLayout, AxisLabelsAtEverySecondGridLine) {
  PlotFixture f;
  plot_windows_setup(*f.sim);
  const std::vector<std::pair<double, std::string>> window1{{94, "  -0.500"}, {198, "   0.000"}, {302, "   0.500"}};
  for (const auto& [x, text] : window1) {
    const auto t = f.texts_at(x, 310);
    ASSERT_EQ(t.size(), 1u) << x;
    EXPECT_EQ(t[0].text, text);
    EXPECT_EQ(t[0].font, "t'Arial'h12w4");
  }
  int window3 = 0;
  for (const auto& op : f.canvas->texts())
    if (op.y1 == 310 && op.x1 >= 674 - 20 && op.x1 <= 882) ++window3;
  EXPECT_EQ(window3, 5);
  // Vertical labels of window 1: YMAX at the top, in steps of two grid lines.
  EXPECT_EQ(f.texts_at(74, 86).at(0).text, "   0.010");
  EXPECT_EQ(f.texts_at(74, 92 + 2 * 26 - 6).at(0).text, "   0.005");
}

TEST(PlotLayout, ElementStripMarksNamedElementsOtherThanDrifts) {
  {
    PlotFixture f;
    plot_windows_setup(*f.sim);
    for (const auto& op : f.canvas->ops)
      EXPECT_FALSE(op.kind == DrawOp::Rect && op.y1 == 459 - 59) << "marker at x " << op.x1;
  }
  PlotFixture f(kGraphCfg, {{{"drift", 10.0}, {"cav", 25.0}, {"drift", 30.0}}});
  plot_windows_setup(*f.sim);
  const PlotLayout& l = f.layout();
  std::vector<DrawOp> markers;
  for (const auto& op : f.canvas->ops)
    if (op.kind == DrawOp::Rect && op.y1 == 459 - 59) markers.push_back(op);
  ASSERT_EQ(markers.size(), 1u);
  EXPECT_EQ(markers[0].x1, world_to_px_x(l, 4, 10.0));
  EXPECT_EQ(markers[0].x2, world_to_px_x(l, 4, 25.0));
  EXPECT_EQ(markers[0].y2, 459 - 9);
  const std::string letters = "cav  ";
  for (int c = 0; c < 5; ++c) {
    const auto t = f.texts_at(markers[0].x1 + 2, 459 - 59 + 10 * c);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].text, letters.substr(static_cast<std::size_t>(c), 1));
    EXPECT_EQ(t[0].color, (Rgb{255, 0, 255}));
  }
}

TEST(PlotStep, ParticlesOfTheStateRangeInTheirColourAndNothingFarOutside) {
  PlotFixture f;
  plot_windows_setup(*f.sim);
  f.place(1, 1, 0.1, 0.002);
  f.place(2, 1, 0.25, -0.004, 0.005, 0.001);
  f.place(2, 2, 1e5, 0.0);  // far outside: a 16-bit pixel would wrap into the window
  f.sim->config.nqtot0 = 2;
  f.sim->config.nqtot1 = 2;
  plot_step(*f.sim, 0.0);
  const PlotLayout& l = f.layout();
  const auto w1 = f.dots(1);
  // Slot 0 (the reference, at the origin) and slot 1 of state 2 only.
  ASSERT_EQ(w1.size(), 2u);
  for (const Dot& d : w1) EXPECT_EQ(d.c, (Rgb{240, 0, 0}));
  EXPECT_EQ(w1[1].x, world_to_px_x(l, 1, 0.25));
  EXPECT_EQ(w1[1].y, world_to_px_y(l, 1, -0.004));
  // The charge list shows state 2 alone, at x0 + 24.
  const int x0 = 882 + 100;
  const auto q = f.texts_at(x0 + 24, 92);
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].text, "    8");
  EXPECT_EQ(q[0].color, (Rgb{240, 0, 0}));
  EXPECT_TRUE(f.texts_at(x0, 92).empty());

  // IFLAG_DIS = 51: window 1 shows y against x.
  f.sim->config.IFLAG_DIS = 51;
  f.canvas->ops.clear();
  f.sim->state.view_count = 5;
  plot_step(*f.sim, 0.0);
  const auto w1b = f.dots(1);
  ASSERT_EQ(w1b.size(), 2u);
  EXPECT_EQ(w1b[1].y, world_to_px_y(l, 1, 0.005));
}

// The particle loop decides inside or outside before it rounds; the dots
// it draws must be exactly those the window mapping gives, at the window's
// edges and at the half-pixel points in between. One pixel per cm in
// windows 1 and 2, so s = -0.5, 0.5 and width + 0.5 lie on exact world
// values; every coordinate is tried on them and one step of the last
// place to either side.
TEST(PlotStep, DotsAtTheWindowEdgesAreThoseOfTheMapping) {
  PlotFixture f("&WINS TITLE='t', XMIN=-104,-104,-90,0, XMAX=104,104,90,0,"
                " YMIN=-104,-104,-0.02,0, YMAX=104,104,0.02,2 /\n");
  plot_windows_setup(*f.sim);
  const PlotLayout& l = f.layout();
  std::vector<double> u;
  for (double edge : {-104.5, -103.5, 0.5, 103.5, 104.5})
    for (double v : {std::nextafter(edge, -1e9), edge, std::nextafter(edge, 1e9)}) u.push_back(v);
  int i = 0;
  for (double a : u)
    for (double b : u) f.place(1, i++, a, b, b, a);
  f.sim->config.nqtot1 = 1;
  plot_step(*f.sim, 0.0);
  for (int k = 1; k <= 2; ++k) {
    std::vector<std::array<double, 2>> expect;
    for (double a : u)
      for (double b : u) {
        const double px = world_to_px_x(l, k, k == 1 ? a : b), py = world_to_px_y(l, k, k == 1 ? b : a);
        if (px >= l.IX[k] && px <= l.JX[k] && py >= l.IY[k] && py <= l.JY[k]) expect.push_back({px, py});
      }
    const auto got = f.dots(k);
    ASSERT_EQ(got.size(), expect.size()) << "window " << k;
    for (std::size_t n = 0; n < got.size(); ++n) {
      EXPECT_EQ(got[n].x, expect[n][0]) << "window " << k << " dot " << n;
      EXPECT_EQ(got[n].y, expect[n][1]) << "window " << k << " dot " << n;
    }
  }
}

// The particle loop runs in fixed pieces of slots, four particles at a
// time, shared among threads. Whatever the thread count, the dots must be
// those of the scalar window mapping of every particle, in (state, slot)
// order: beams spanning several pieces with ragged ends, lost slots, points
// on and beyond the window edges, far outside and not a number, and phases
// that fold into the bunch period.
TEST(PlotStep, DotsOfManyParticlesAreThoseOfTheMappingInSlotOrderForAnyThreadCount) {
  PlotFixture f;
  plot_windows_setup(*f.sim);
  Sim& s = *f.sim;
  const PlotLayout& l = f.layout();
  s.config.nharm_sc = 1;
  s.ref.phase_origin = 0.3;
  s.config.nqtot0 = 1;
  s.config.nqtot1 = 2;
  const std::array<int, 3> last{0, 9002, 4097};  // slots 0..last per state
  ParticleArrays& p = s.particles;
  std::uint64_t seed = 12345;
  auto uniform = [&](double a, double b) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return a + (b - a) * static_cast<double>(seed >> 11) * 0x1.0p-53;
  };
  for (int iq = 1; iq <= 2; ++iq) {
    s.config.NPAT[static_cast<std::size_t>(iq)] = last[static_cast<std::size_t>(iq)];
    for (int i = 0; i <= last[static_cast<std::size_t>(iq)]; ++i) {
      // Coordinates up to 1.3 times the window's half range, phases over
      // three bunch periods, dW/W within +-0.03.
      p.x[iq][i] = uniform(-0.65, 0.65), p.xp[iq][i] = uniform(-0.013, 0.013);
      p.y[iq][i] = uniform(-0.65, 0.65), p.yp[iq][i] = uniform(-0.013, 0.013);
      p.phase[iq][i] = uniform(-3.0 * kPi, 3.0 * kPi);
      p.beta[iq][i] = speed_of_energy(kW * (1.0 + uniform(-0.03, 0.03)), kAmu);
      p.status[iq][i] = i % 17 == 5 ? -1 : 0;
      switch (i % 101) {
        case 7: p.x[iq][i] = 1e5; break;                                       // far outside
        case 8: p.yp[iq][i] = std::numeric_limits<double>::quiet_NaN(); break;  // not a number
        case 9: p.x[iq][i] = 0.5; p.xp[iq][i] = -0.01; break;                  // window corner
        case 10: p.x[iq][i] = 0.5 + 1.0 / 208.0; break;                        // one pixel beyond
        default: break;
      }
    }
  }
  std::array<std::vector<std::array<double, 2>>, 4> expect;
  std::array<std::vector<Rgb>, 4> colour;
  std::size_t live = 0;
  for (int iq = 1; iq <= 2; ++iq)
    for (int i = 0; i <= last[static_cast<std::size_t>(iq)]; ++i) {
      if (p.status[iq][i] < 0) continue;
      ++live;
      const double phase = phase_wrap_harm(p.phase[iq][i] - s.ref.phase_origin, 1);
      const double dww = (kinetic_energy_kev(p.beta[iq][i], kAmu, nullptr) - kW) / kW;
      const std::array<std::array<double, 2>, 4> world{
          {{0, 0}, {p.x[iq][i], p.xp[iq][i]}, {p.y[iq][i], p.yp[iq][i]}, {phase * l.scale_x[3], dww}}};
      for (int k = 1; k <= 3; ++k) {
        const double px = world_to_px_x(l, k, world[static_cast<std::size_t>(k)][0]);
        const double py = world_to_px_y(l, k, world[static_cast<std::size_t>(k)][1]);
        if (px >= l.IX[k] && px <= l.JX[k] && py >= l.IY[k] && py <= l.JY[k]) {
          expect[static_cast<std::size_t>(k)].push_back({px, py});
          colour[static_cast<std::size_t>(k)].push_back(kStateColour[static_cast<std::size_t>(iq)]);
        }
      }
    }
  const int saved = omp_get_max_threads();
  // Every build of the particle loop the processor runs: baseline, AVX2,
  // AVX-512.
  const std::array<bool, 4> runs{true, true, __builtin_cpu_supports("avx2") != 0,
                                 __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                                     __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw")};
  for (int build = 0; build <= 3; ++build) {
    if (!runs[static_cast<std::size_t>(build)]) continue;
    s.plots.dot_build = build;
    for (const int threads : {1, 4}) {
      omp_set_num_threads(threads);
      f.canvas->ops.clear();
      plot_step(s, 0.0);
      for (int k = 1; k <= 3; ++k) {
        const auto got = f.dots(k);
        const auto& want = expect[static_cast<std::size_t>(k)];
        ASSERT_EQ(got.size(), want.size()) << "window " << k << ", " << threads << " threads, build " << build;
        for (std::size_t n = 0; n < got.size(); ++n)
          ASSERT_TRUE(got[n].x == want[n][0] && got[n].y == want[n][1] &&
                      got[n].c == colour[static_cast<std::size_t>(k)][n])
              << "window " << k << " dot " << n << ", " << threads << " threads, build " << build;
      }
    }
  }
  omp_set_num_threads(saved);
  // The beam reaches beyond every window, and a good part lies inside (at
  // least a third of window 3: half the folded phases, two thirds of dW/W).
  for (int k = 1; k <= 3; ++k) {
    EXPECT_LT(expect[static_cast<std::size_t>(k)].size(), live) << "window " << k;
    EXPECT_GT(expect[static_cast<std::size_t>(k)].size(), live / 4) << "window " << k;
  }
}

TEST(PlotStep, EllipsePointsLieOnTheRmsEllipseWithinOnePixel) {
  PlotFixture f;
  plot_windows_setup(*f.sim);
  BeamMoments& bm = f.sim->beam_moments;
  const double alpha = -1.2, beta = 40.0, gamma = (1.0 + alpha * alpha) / beta, eps = 1.5e-4;
  bm.twiss_alpha[1] = alpha;
  bm.twiss_gamma[1] = gamma;
  bm.eps_rms[1] = eps;
  bm.eps_max[1] = 6.0 * eps;
  bm.centroid[1] = 0.05;
  bm.centroid[2] = -0.001;
  // Plane 2 degenerate (Twiss stored as 0): no ellipse.
  f.sim->config.IFLAG_ELL = 1;
  plot_step(*f.sim, 0.0);
  const PlotLayout& l = f.layout();
  const double hu = (l.XMAX[1] - l.XMIN[1]) / 208.0, hv = (l.YMAX[1] - l.YMIN[1]) / 208.0;
  auto check = [&](Rgb col, double E) {
    int n = 0;
    for (const auto& op : f.canvas->in_clip(DrawOp::Line, f.window(1))) {
      if (!(op.color == col)) continue;
      ++n;
      // World point of the pixel, about the centroid.
      const double u = l.XMIN[1] + (op.x2 - l.IX[1]) * hu - bm.centroid[1];
      const double v = l.YMIN[1] + (l.JY[1] - op.y2) * hv - bm.centroid[2];
      const double F = gamma * u * u + 2 * alpha * u * v + beta * v * v;
      // One pixel of displacement changes F by at most |dF/du| hu + |dF/dv| hv.
      const double tol = std::abs(2 * gamma * u + 2 * alpha * v) * hu + std::abs(2 * alpha * u + 2 * beta * v) * hv;
      EXPECT_NEAR(F, E, tol) << "point " << n;
    }
    EXPECT_EQ(n, 100);
  };
  check(Rgb{0, 0, 255}, 4.0 * eps);
  check(Rgb{255, 0, 0}, 6.0 * eps);
  EXPECT_TRUE(f.canvas->in_clip(DrawOp::Line, f.window(2)).empty());

  f.sim->config.IFLAG_ELL = 0;
  f.canvas->ops.clear();
  f.sim->state.view_count = 5;
  plot_step(*f.sim, 0.0);
  for (int k = 1; k <= 3; ++k) EXPECT_TRUE(f.canvas->in_clip(DrawOp::Line, f.window(k)).empty()) << k;
}

TEST(PlotStep, PanelShowsChargesEnergyAndMeshRatios) {
  const int x0 = 982, y0 = 92, xa = 932;
  struct ChargeCase { double q; int x; std::string text; };
  for (const ChargeCase& c : {ChargeCase{3.05, x0 + 24, "    3"}, ChargeCase{3.5, x0 + 32, "  3.5"}}) {
    PlotFixture f;
    plot_windows_setup(*f.sim);
    f.sim->config.QQ[2] = c.q;
    plot_step(*f.sim, 0.0);
    const auto t = f.texts_at(c.x, y0);
    ASSERT_EQ(t.size(), 1u) << c.q;
    EXPECT_EQ(t[0].text, c.text);
  }
  struct EnergyCase { double w; std::string value, unit; };
  for (const EnergyCase& c : {EnergyCase{0.5, "   500.000", "keV/u"}, EnergyCase{1.5, "     1.500", "MeV/u"}}) {
    PlotFixture f;
    plot_windows_setup(*f.sim);
    f.sim->stats.element_stats[0].w_mean = c.w;
    plot_step(*f.sim, 0.0);
    EXPECT_EQ(f.texts_at(x0, y0 + 20).at(0).text, c.value);
    EXPECT_EQ(f.texts_at(x0 + 75, y0 + 20).at(0).text, c.unit);
  }
  struct MeshCase { double ratio; Rgb colour; std::string text; };
  for (const MeshCase& c : {MeshCase{0.2, {0, 255, 0}, " 0.20"}, MeshCase{0.5, {0, 0, 0}, " 0.50"},
                            MeshCase{0.8, {255, 0, 0}, " 0.80"}, MeshCase{0.0, {0, 0, 0}, " 0.00"}}) {
    PlotFixture f;
    plot_windows_setup(*f.sim);
    f.sim->sc.NXGRD = 33;
    if (c.ratio > 0.0) {
      f.sim->sc_mesh.hx = c.ratio * 0.5;
      f.sim->sc_mesh.sx = 0.5;
    }
    plot_step(*f.sim, 0.0);
    const auto n = f.texts_at(xa + 22, y0 + 80);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0].text, " 33");
    EXPECT_EQ(n[0].color, c.colour) << c.ratio;
    EXPECT_EQ(f.texts_at(xa + 40, y0 + 100).at(0).text, c.text);
    EXPECT_TRUE(f.texts_at(xa + 146, y0 + 120).empty());  // no WARNING
  }
}

TEST(PlotStep, FirstPictureHasNoEnvelopeAndAnElementAddsOne) {
  PlotFixture f;
  plot_windows_setup(*f.sim);
  f.canvas->ops.clear();
  plot_step(*f.sim, 0.0);  // ipos = iel_first - 1
  EXPECT_TRUE(f.canvas->in_clip(DrawOp::Line, f.window(4)).empty());
  // After element 1 (10 cm, 2 steps): max |x| 0.5, 0.6, 0.7 cm per step.
  Sim& s = *f.sim;
  s.state.ipos = 1;
  s.ref.nstep = 2;
  s.ref.z_entry = 0.0;
  for (int k = 0; k <= 2; ++k) {
    s.ref_path(k, kRefS) = 5.0 * k;
    s.ref_path(k - 1, kRefBeamMax) = 0.5 + 0.1 * k;
  }
  s.state.view_count = 5;
  plot_step(s, 10.0);
  std::vector<DrawOp> blue;
  for (const auto& op : f.canvas->in_clip(DrawOp::Line, f.window(4)))
    if (op.color == (Rgb{0, 0, 255})) blue.push_back(op);
  // Two segments of max |x| (then two of rms x, IFLAG_RMS = 1).
  ASSERT_EQ(blue.size(), 4u);
  const PlotLayout& l = f.layout();
  EXPECT_EQ(blue[1].x2, world_to_px_x(l, 4, 10.0));
  EXPECT_EQ(blue[1].y2, world_to_px_y(l, 4, 0.7));
}

// Scripted answers: at which plot_step calls (1-based) the viewer asks,
// and how often.
struct ViewerCase {
  std::string name, input;
  bool terminal;
  std::vector<std::pair<int, int>> asks;  // call, prompts at that call
};

class Viewer : public ::testing::TestWithParam<ViewerCase> {};

TEST_P(Viewer, AnswersSetTheNextStop) {
  const ViewerCase& c = GetParam();
  PlotFixture f;
  plot_windows_setup(*f.sim);
  f.canvas->recording = false;
  std::istringstream in(c.input);
  std::ostringstream prompts;
  f.sim->viewer.redirect(in, c.terminal, &prompts);
  std::vector<std::pair<int, int>> asks;
  int before = 0;
  for (int call = 1; call <= 40; ++call) {
    const int writes = f.canvas->png_writes;
    plot_step(*f.sim, 0.0);
    const std::string p = prompts.str();
    int n = 0;
    for (std::size_t pos = p.find('>'); pos != std::string::npos; pos = p.find('>', pos + 1)) ++n;
    if (n > before) {
      asks.emplace_back(call, n - before);
      // The picture is on disk while the viewer waits.
      EXPECT_GT(f.canvas->png_writes, writes);
    }
    before = n;
  }
  EXPECT_EQ(asks, c.asks);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Viewer,
    ::testing::Values(ViewerCase{"count", "25\n", true, {{1, 1}, {26, 1}}},
                      ViewerCase{"next", "n\nn\ng\n", true, {{1, 1}, {2, 1}, {3, 1}}},
                      ViewerCase{"enter", "\n", true, {{1, 1}, {2, 1}}},
                      ViewerCase{"go", "g\n5\n", true, {{1, 1}}},
                      ViewerCase{"unreadable", "xyz\n3\n", true, {{1, 2}, {4, 1}}},
                      ViewerCase{"zero", "0\n", true, {{1, 1}, {2, 1}}},
                      ViewerCase{"negative", "-3\n", true, {{1, 1}, {2, 1}}},
                      ViewerCase{"end_of_input", "", true, {{1, 1}}},
                      ViewerCase{"no_terminal", "5\n", false, {}}),
    [](const auto& info) { return info.param.name; });

TEST(ViewerStops, GoNeverStopsAgainAndExitOrTextEndTheRunAsPlanned) {
  {
    PlotFixture f;
    plot_windows_setup(*f.sim);
    f.canvas->recording = false;
    std::istringstream in("g\n1\n");
    std::ostringstream prompts;
    f.sim->viewer.redirect(in, true, &prompts);
    for (int call = 1; call <= 20010; ++call) plot_step(*f.sim, 0.0);
    const std::string p = prompts.str();
    EXPECT_EQ(std::count(p.begin(), p.end(), '>'), 1);
  }
  for (const std::string answer : {"e\n", "t\n"}) {
    PlotFixture f;
    plot_windows_setup(*f.sim);
    std::istringstream in(answer);
    std::ostringstream prompts;
    f.sim->viewer.redirect(in, true, &prompts);
    f.sim->units.open(77, "probe.dat");
    const int status = run_guarded(*f.sim, [](ControlContext& s) { plot_step(s, 0.0); });
    EXPECT_EQ(status, 0) << answer;
    EXPECT_FALSE(f.sim->units.is_open(77));
    EXPECT_GE(f.canvas->png_writes, 2);  // at the stop and at the end
    const auto screen = f.screen.str();
    if (answer == "t\n") {
      EXPECT_NE(screen.find(" stop          -1\n"), std::string::npos) << screen;
      EXPECT_NE(screen.find(" text command dos't work now\n"), std::string::npos) << screen;
    } else {
      EXPECT_EQ(screen, "");
    }
  }
}

TEST(PlotStep, PictureFileAtMostOncePerClockSecondAndAfterAStop) {
  PlotFixture f;
  int second = 0;
  f.sim->clock.set_source([&second] { return LocalTime{2026, 1, 1, 10, 0, second}; });
  plot_windows_setup(*f.sim);
  f.sim->state.view_count = 1000;
  struct Step { int second; int writes_after; };
  // Three pictures in second 0 write once, the next second once more.
  for (const Step& st : {Step{0, 1}, Step{0, 1}, Step{0, 1}, Step{1, 2}, Step{1, 2}, Step{3, 3}}) {
    second = st.second;
    plot_step(*f.sim, 0.0);
    EXPECT_EQ(f.canvas->png_writes, st.writes_after) << "second " << st.second;
  }
  // A fatal stop later in the same second still leaves the picture on disk.
  const int status = run_guarded(*f.sim, [](ControlContext& s) {
    plot_step(s, 0.0);
    fatal(" a stop");
  });
  EXPECT_EQ(status, 1);
  EXPECT_EQ(f.canvas->png_writes, 4);
}

TEST(PlotStep, NothingWithoutWindows) {
  // An acceptance run calls plot_step with IGRAPH = 0: no windows exist.
  PlotFixture f;
  std::istringstream in("5\n");
  std::ostringstream prompts;
  f.sim->viewer.redirect(in, true, &prompts);
  plot_step(*f.sim, 0.0);
  EXPECT_TRUE(f.canvas->ops.empty());
  EXPECT_EQ(f.canvas->png_writes, 0);
  EXPECT_EQ(prompts.str(), "");
}

TEST(GraphCfg, BadFilesStopTheRunNamingFileMemberAndValue) {
  struct Case { std::string cfg; std::vector<std::string> words; };
  const Case cases[] = {
      {"", {"graph.cfg", "not found", "IGRAPH = 0"}},
      {"&WINS XMIN=0.5,-0.5,-90,0, XMAX=0.5,0.5,90,0, YMIN=4*-1, YMAX=4*1 /\n", {"graph.cfg", "XMIN(1) = 0.5", "XMAX(1) = 0.5"}},
      {"&WINS XMIN=-1,-1,-90,0, XMAX=1,1,90,0, YMIN=-1,-1,2,0, YMAX=1,1,1,1 /\n", {"graph.cfg", "YMIN(3) = 2", "YMAX(3) = 1"}},
      {"&WINS XMIN=-1,-1,-90,0, XMAX=1,1,90,0, YMIN=4*-1, YMAX=4*1, ZOOM=2 /\n", {"graph.cfg", "ZOOM"}},
  };
  for (const Case& c : cases) {
    PlotFixture f(c.cfg);
    if (c.cfg.empty()) std::filesystem::remove(f.dir / "graph.cfg");
    const int status = run_guarded(*f.sim, [](ControlContext& s) {
      plot_windows_setup(s);
      plot_step(s, 0.0);
    });
    EXPECT_EQ(status, 1);
    const std::string screen = f.screen.str();
    for (const auto& w : c.words) EXPECT_NE(screen.find(w), std::string::npos) << w << " in " << screen;
    EXPECT_EQ(f.canvas->png_writes, 0);
  }
}

}  // namespace
}  // namespace linac
