#include "beam/plots.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <immintrin.h>
#include <cmath>
#include <optional>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "beam/phase_groups.hpp"
#include "beam/stats.hpp"
#include "common/constants.hpp"
#include "common/unit_numbers.hpp"
#include "beam/beam_context.hpp"
#include "platform/cairo_canvas.hpp"
#include "platform/fatal.hpp"
#include "platform/namelist.hpp"
#include "platform/units.hpp"

namespace linac {

namespace {

constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kPanelGrey{238, 238, 238};
constexpr Rgb kGrid{102, 102, 102};
constexpr Rgb kSeparator{204, 204, 204};
constexpr Rgb kBlue{0, 0, 255};
constexpr Rgb kRed{255, 0, 0};
constexpr Rgb kGreen{0, 255, 0};
constexpr Rgb kMagenta{255, 0, 255};

constexpr double kDeg = 0.017453292519943295;  // rad per degree
// Half-width of "integral" for a charge shown as an integer (the
// single-precision 0.1).
constexpr double kIntegralCharge = static_cast<double>(0.1f);

// The fixed pixel layout of windows 1..4.
constexpr std::array<std::int32_t, 5> kIX{0, 114, 394, 674, 75}, kIY{0, 92, 92, 92, 459},
    kJX{0, 322, 602, 882, 1200}, kJY{0, 300, 300, 300, 659}, kLX{0, 4, 4, 8, 1},
    kLY{0, 8, 8, 16, 5};

std::string fmt1(PlotWindows& pw, std::string_view layout, FmtItem v) {
  return pw.formats.get(layout).write({v}).at(0);
}

void text_at(Canvas& cv, int x, int y, std::string_view s) {
  cv.move_to(x, y);
  cv.draw_text(s);
}

void clip_window(Canvas& cv, const PlotLayout& l, int k) { cv.set_clip(l.IX[k], l.IY[k], l.JX[k], l.JY[k]); }

std::string wins_member(std::string_view name, int k) { return fmt::format("{}({})", name, k); }

void read_graph_cfg(BeamContext& sim, PlotLayout& l) {
  if (!file_exists(sim.units, "graph.cfg"))
    fatal(std::vector<std::string>{
        " graph.cfg not found in the working directory: IGRAPH = 1 draws the plot windows it lays out",
        " give graph.cfg (group WINS) or set IGRAPH = 0 to run without plots"});
  NamelistSchema s("WINS");
  s.add_text("TITLE", &l.TITLE, 50)
      .add("IX", &l.IX[1], 4)
      .add("IY", &l.IY[1], 4)
      .add("JX", &l.JX[1], 4)
      .add("JY", &l.JY[1], 4)
      .add("LX", &l.LX[1], 4)
      .add("LY", &l.LY[1], 4)
      .add("XMIN", &l.XMIN[1], 4)
      .add("XMAX", &l.XMAX[1], 4)
      .add("YMIN", &l.YMIN[1], 4)
      .add("YMAX", &l.YMAX[1], 4);
  NamelistReader reader(sim.units, "graph.cfg");
  reader.read_group(s);
  // Every window maps its world range onto its pixels: an empty or
  // reversed range has no mapping.
  for (int k = 1; k <= 4; ++k) {
    if (k <= 3 && !(l.XMIN[k] < l.XMAX[k]))
      fatal({fmt::format(" graph.cfg, group WINS: {} = {} is not below {} = {}", wins_member("XMIN", k),
                         l.XMIN[k], wins_member("XMAX", k), l.XMAX[k]),
             " each phase-space window needs XMIN < XMAX"});
    if (!(l.YMIN[k] < l.YMAX[k]))
      fatal({fmt::format(" graph.cfg, group WINS: {} = {} is not below {} = {}", wins_member("YMIN", k),
                         l.YMIN[k], wins_member("YMAX", k), l.YMAX[k]),
             " each window needs YMIN < YMAX"});
  }
  l.IX = kIX;
  l.IY = kIY;
  l.JX = kJX;
  l.JY = kJY;
  l.LX = kLX;
  l.LY = kLY;
}

// Frame, grid, labels and axis titles of phase-space window k.
void draw_phase_window(PlotWindows& pw, int k) {
  Canvas& cv = *pw.canvas;
  const PlotLayout& l = pw.layout;
  const int IX = l.IX[k], IY = l.IY[k], JX = l.JX[k], JY = l.JY[k], LX = l.LX[k], LY = l.LY[k];
  const int step_x = (JX - IX) / LX, step_y = (JY - IY) / LY;
  const double dx = l.XMAX[k] - l.XMIN[k], dy = l.YMAX[k] - l.YMIN[k];
  cv.set_color(kWhite);
  cv.rectangle(kRectFilled, IX, IY, JX, JY);
  cv.set_color(kGrid);
  for (int i = 1; i <= LX - 1; ++i) {
    cv.move_to(IX + i * step_x, IY);
    cv.line_to(IX + i * step_x, JY);
  }
  for (int i = 1; i <= LY - 1; ++i) {
    cv.move_to(IX, IY + i * step_y);
    cv.line_to(JX, IY + i * step_y);
  }
  cv.set_color(kBlack);
  for (int j = 0; j <= 2; ++j) {
    const int y = IY + j * (LY / 2) * step_y, x = IX + j * (LX / 2) * step_x;
    cv.move_to(IX, y);
    cv.line_to(JX, y);
    cv.move_to(x, IY);
    cv.line_to(x, JY);
  }
  cv.set_font("t'Arial'h12w4");
  cv.set_text_color(kBlack);
  for (int i = 0; i <= (LY + 2) / 2 - 1; ++i)
    text_at(cv, IX - 40, IY + 2 * i * step_y - 6, fmt1(pw, "(F8.3)", l.YMAX[k] - 2 * i * dy / LY));
  for (int i = 0; i <= (LX + 2) / 2 - 1; ++i)
    text_at(cv, IX + 2 * i * step_x - 20, JY + 10, fmt1(pw, "(F8.3)", l.XMIN[k] + 2 * i * dx / LX));
  const int cx = (IX + JX) / 2, cy = (IY + JY) / 2;
  if (k == 1 || k == 2) {
    text_at(cv, cx - 12, IY - 12, k == 1 ? "X',rad" : "Y',rad");
    text_at(cv, JX + 2, cy - 6, k == 1 ? "X,cm" : "Y,cm");
  } else {
    text_at(cv, cx - 12, IY - 14, "dE/E");
    cv.set_font("t'GreekC'h16w8");
    text_at(cv, JX + 4, cy - 6, "F");
    cv.set_font("t'Arial'h12w4");
    text_at(cv, JX + 10, cy - 2, ",deg");
  }
}

// Marker colour of an element type in the strip.
Rgb strip_colour(int t) {
  switch (t) {
    case 3: return kBlue;
    case 2: case 4: return kRed;
    case 5: case 6: return kMagenta;
    default: return kBlack;
  }
}

void draw_lattice_window(BeamContext& sim) {
  PlotWindows& pw = sim.plots;
  Canvas& cv = *pw.canvas;
  const PlotLayout& l = pw.layout;
  const RunConfig& c = sim.config;
  const ElementTable& e = sim.elements;
  const int IX = l.IX[4], IY = l.IY[4], JX = l.JX[4], JY = l.JY[4];
  const int step_y = (JY - IY) / l.LY[4];
  // Element strip: a framed marker with the keyword written downwards for
  // every named element type other than a drift.
  cv.set_font("t'Arial'h12w4");
  for (int n = c.iel_first; n <= c.iel_last; ++n) {
    const Keyword& name = e.elem_name[static_cast<std::size_t>(n)];
    int t = 0;
    for (int j = 1; j <= kElementTypes; ++j)
      if (sim.types.type_names[static_cast<std::size_t>(j)].view() == name.view()) {
        t = j;
        break;
      }
    if (t == 0 || name == "" || name == "drift") continue;
    const double x1 = world_to_px_x(l, 4, n >= 1 ? e.elem_pos[static_cast<std::size_t>(n - 1)] : 0.0);
    const double x2 = world_to_px_x(l, 4, e.elem_pos[static_cast<std::size_t>(n)]);
    // The lattice lies inside window 4's range, so these are window pixels.
    const int ix1 = static_cast<int>(x1), ix2 = static_cast<int>(x2);
    cv.set_color(kBlack);
    cv.rectangle(kRectBorder, ix1, IY - 59, ix2, IY - 9);
    cv.set_text_color(strip_colour(t));
    for (int k = 0; k < 5; ++k) text_at(cv, ix1 + 2, IY - 59 + 10 * k, name.view().substr(static_cast<std::size_t>(k), 1));
  }
  // Envelope window.
  cv.set_color(kWhite);
  cv.rectangle(kRectFilled, IX, IY, JX, JY);
  cv.set_color(kBlack);
  for (int i = 1; i <= l.LY[4] - 1; ++i) {
    cv.move_to(IX, IY + i * step_y);
    cv.line_to(JX, IY + i * step_y);
  }
  cv.set_color(kSeparator);
  for (int n = c.iel_first; n <= c.iel_last - 1; ++n) {
    const double x = world_to_px_x(l, 4, e.elem_pos[static_cast<std::size_t>(n)]);
    cv.move_to(x, IY);
    cv.line_to(x, JY);
  }
  cv.set_color(kBlack);
  cv.rectangle(kRectBorder, IX, IY, JX, JY);
  // Labels.
  cv.set_font("t'Arial'h12w4");
  cv.set_text_color(kBlack);
  const double dy = l.YMAX[4] - l.YMIN[4];
  for (int i = 0; i <= (l.LY[4] + 2) / 2 - 1; ++i)
    text_at(cv, IX - 40, IY + 2 * i * step_y - 6, fmt1(pw, "(F8.3)", l.YMAX[4] - 2 * i * dy / l.LY[4]));
  text_at(cv, IX - 40, IY - 16, "X,Y [cm]");
  text_at(cv, IX, JY + 10, "Zbeg=");
  cv.draw_text(fmt1(pw, "(F10.2)", sim.ref.s_entry));
  cv.draw_text(" cm");
  text_at(cv, JX - 70, JY + 10, "Zend=");
  cv.draw_text(fmt1(pw, "(F10.2)", e.elem_pos[static_cast<std::size_t>(c.iel_last)]));
  cv.draw_text(" cm");
  // Curve key.
  cv.set_font("t'Arial'h14w8");
  cv.set_color(kBlue);
  cv.move_to(IX + 300, IY + 10);
  cv.line_to(IX + 350, IY + 10);
  cv.set_text_color(kBlue);
  text_at(cv, IX + 355, IY + 4, "X");
  cv.set_color(kRed);
  cv.move_to(IX + 400, IY + 10);
  cv.line_to(IX + 450, IY + 10);
  cv.set_text_color(kRed);
  text_at(cv, IX + 455, IY + 4, "Y");
  // Step-viewer key: the key letters red, the rest black, each piece after
  // the one before.
  const int y = JY + 40;
  auto key = [&](int x, std::string_view letter, std::string_view rest1, std::string_view rest2) {
    cv.set_text_color(kRed);
    text_at(cv, x, y, letter);
    cv.set_text_color(kBlack);
    if (!rest1.empty()) cv.draw_text(rest1);
    if (!rest2.empty()) cv.draw_text(rest2);
  };
  key(IX + 30, "e", "xit", "");
  key(IX + 100, "g", "o", " - go to end");
  key(IX + 250, "n", "ext", " - go to next");
  key(IX + 400, "nn", "-number of step to go", "");
  key(IX + 630, "enter", "", "");
}

std::int64_t clock_second(const LocalTime& t) {
  return ((((static_cast<std::int64_t>(t.year) * 12 + t.month) * 31 + t.day) * 24 + t.hour) * 60 +
          t.minute) * 60 + t.second;
}

// Panel value colour of a mesh step against the rms beam size: fine mesh
// green, coarse red; black in between and while no solve has set them.
Rgb mesh_colour(double h, double s) {
  if (!(s > 0.0)) return kBlack;
  const double r = h / s;
  if (r < 0.25) return kGreen;
  if (r > 0.75) return kRed;
  return kBlack;
}
double mesh_ratio(double h, double s) { return s > 0.0 ? h / s : 0.0; }

void draw_panel(BeamContext& sim) {
  PlotWindows& pw = sim.plots;
  Canvas& cv = *pw.canvas;
  const PlotLayout& l = pw.layout;
  const RunConfig& c = sim.config;
  const StateRange range = statistics_range(c);
  const int x0 = l.JX[3] + 100, y0 = l.IY[3], xa = l.JX[3] + 50;
  cv.set_font("t'Arial'h14w6");
  // Charges.
  int w = 0;
  for (int iq = range.first; iq <= range.last; ++iq) {
    const double q = c.QQ[static_cast<std::size_t>(iq)];
    w += std::abs(nint(q) - q) <= kIntegralCharge ? 24 : 56;
  }
  w = std::max(w, 71);
  cv.set_clip(x0 - 25, y0, x0 + w, y0 + 10);
  cv.set_color(kWhite);
  cv.rectangle(kRectFilled, x0, y0, x0 + w, y0 + 10);
  cv.set_text_color(kBlack);
  text_at(cv, x0 - 18, y0, "Q=");
  for (int iq = range.first; iq <= range.last; ++iq) {
    const double q = c.QQ[static_cast<std::size_t>(iq)];
    cv.set_text_color(kStateColour[static_cast<std::size_t>(iq)]);
    if (std::abs(nint(q) - q) <= kIntegralCharge)
      text_at(cv, x0 + 24 * (iq - 1), y0, fmt1(pw, "(I5)", nint(q)));
    else
      text_at(cv, x0 + 32 * (iq - 1), y0, fmt1(pw, "(F5.1)", q));
  }
  // Energy.
  int y = y0 + 20;
  cv.set_clip(x0 - 20, y, x0 + 120, y + 10);
  cv.set_color(kWhite);
  cv.rectangle(kRectFilled, x0, y, x0 + 71, y + 10);
  cv.set_color(kPanelGrey);
  cv.rectangle(kRectFilled, x0 + 71, y, x0 + 120, y + 10);
  cv.set_text_color(kBlack);
  text_at(cv, x0 - 20, y, "W=");
  const double E = sim.stats.element_stats[static_cast<std::size_t>(sim.state.ipos)].w_mean;
  const bool kev = E < 1.0;
  cv.set_text_color(kRed);
  text_at(cv, x0, y, fmt1(pw, "(F10.3)", kev ? E * 1000.0 : E));
  cv.set_text_color(kBlack);
  text_at(cv, x0 + 75, y, kev ? "keV/u" : "MeV/u");
  // Current of the live beam.
  y = y0 + 40;
  cv.set_clip(x0 - 50, y, x0 + 91, y + 10);
  cv.set_color(kWhite);
  cv.rectangle(kRectFilled, x0, y, x0 + 71, y + 10);
  text_at(cv, x0 - 47, y, "current=");
  text_at(cv, x0 + 75, y, "mA");
  cv.set_text_color(kRed);
  text_at(cv, x0, y, fmt1(pw, "(F10.3)", sim.sc.sc_charge * sim.ref.FREQB * 1000.0));
  // Space-charge mesh.
  y = y0 + 60;
  cv.set_clip(x0 - 10, y, x0 + 101, y + 10);
  cv.set_text_color(kBlack);
  text_at(cv, x0, y, "SPACE CHARGE");
  const ScMeshReport& m = sim.sc_mesh;
  y = y0 + 80;
  cv.set_clip(xa, y, xa + 300, y + 12);
  cv.set_color(kPanelGrey);
  const std::array<std::string_view, 3> nlabel{"Nx=", "Ny=", "Nz="};
  const std::array<std::int32_t, 3> nval{sim.sc.NXGRD, sim.sc.NYGRD, sim.sc.NZGRD};
  const std::array<Rgb, 3> ncol{mesh_colour(m.hx, m.sx), mesh_colour(m.hy, m.sy), mesh_colour(m.hz, m.sz)};
  for (int j = 0; j < 3; ++j) {
    const int xs = xa + 50 * j;
    cv.set_color(kPanelGrey);
    cv.rectangle(kRectFilled, xs + 20, y, xs + 50, y + 12);
    cv.set_text_color(kBlack);
    text_at(cv, xs, y, nlabel[static_cast<std::size_t>(j)]);
    cv.set_text_color(ncol[static_cast<std::size_t>(j)]);
    text_at(cv, xs + 22, y, fmt1(pw, "(I3)", nval[static_cast<std::size_t>(j)]));
  }
  {
    const int xs = xa + 150;
    cv.set_color(kPanelGrey);
    cv.rectangle(kRectFilled, xs + 20, y, xs + 60, y + 12);
    cv.set_text_color(kBlack);
    text_at(cv, xs, y, "zlhSC=");
    cv.set_text_color(ncol[2]);
    text_at(cv, xs + 40, y, fmt1(pw, "(F5.1)", sim.sc.zlhSC));
  }
  y = y0 + 100;
  const std::array<int, 3> xsr{xa, xa + 74, xa + 146};
  const std::array<std::string_view, 3> hlabel{"hx/", "hy/", "hz/"}, plabel{"x=", "y=", "z="};
  const std::array<double, 3> ratio{mesh_ratio(m.hx, m.sx), mesh_ratio(m.hy, m.sy), mesh_ratio(m.hz, m.sz)};
  for (int j = 0; j < 3; ++j) {
    const int xs = xsr[static_cast<std::size_t>(j)];
    cv.set_clip(xs, y, xs + 300, y + 12);
    cv.set_color(kPanelGrey);
    cv.rectangle(kRectFilled, xs + 20, y, xs + 70, y + 12);
    cv.set_text_color(kBlack);
    text_at(cv, xs, y, hlabel[static_cast<std::size_t>(j)]);
    cv.set_font("t'GreekC'h14w8");
    cv.draw_text("s");
    cv.set_font("t'Arial'h14w6");
    cv.draw_text(plabel[static_cast<std::size_t>(j)]);
    text_at(cv, xs + 40, y, fmt1(pw, "(F5.2)", ratio[static_cast<std::size_t>(j)]));
  }
  y = y0 + 120;
  const int xw = xa + 146;
  cv.set_clip(xw - 10, y, xw + 101, y + 10);
  if (m.coarse_flag == -1) {
    cv.set_text_color(kRed);
    text_at(cv, xw, y, "WARNING");
  }
}

// rms.dat rows of the element just passed, one per step: z (cm), the rms
// x (cm), x' (mrad), y (cm), y' (mrad), phase (deg), dW/W (%) and the rms
// emittances x, y (cm*mrad) and longitudinal (deg*%). The first element
// after the file was opened starts at step 1 (its step 0 is the row the
// element before would have written), every later one at step 0.
void write_rms_rows(BeamContext& sim, const std::vector<double>& z) {
  RunConfig& c = sim.config;
  if (c.iwrite_rms == 0) return;
  const int first = c.iwrite_rms == 1 ? 1 : 0;
  c.iwrite_rms = 2;
  const FortranFormat& f = sim.plots.formats.get(kRmsRowFormat);
  for (int k = first; k <= sim.ref.nstep; ++k) {
    const auto& v = sim.stats.step_stats[static_cast<std::size_t>(k)].v;
    write_checked(sim, kUnitRms, f,
                    {z[static_cast<std::size_t>(k)], v[1], v[2] * 1000.0, v[3], v[4] * 1000.0, v[5] / kDeg,
                     v[6] * 100.0, v[7] * 1000.0, v[8] * 1000.0, v[9] / kDeg * 100.0});
  }
}

// The envelope of the element just passed in window 4, step by step.
void draw_envelope(BeamContext& sim, const std::vector<double>& z) {
  PlotWindows& pw = sim.plots;
  Canvas& cv = *pw.canvas;
  const PlotLayout& l = pw.layout;
  const RefPath& path = sim.ref_path;
  const int nstep = sim.ref.nstep;
  auto curve = [&](Rgb col, auto value) {
    cv.set_color(col);
    for (int k = 0; k <= nstep; ++k) {
      const double px = world_to_px_x(l, 4, z[static_cast<std::size_t>(k)]);
      const double py = world_to_px_y(l, 4, value(k));
      if (k == 0) cv.move_to(px, py); else cv.line_to(px, py);
    }
  };
  // Largest |x| and |y| of step k sit in the reference-path row before it.
  curve(kBlue, [&](int k) { return path(k - 1, kRefBeamMax + 0); });
  curve(kRed, [&](int k) { return path(k - 1, kRefBeamMax + 2); });
  clip_window(cv, l, 4);
  const auto& ss = sim.stats.step_stats;
  if (sim.config.IFLAG_RMS == 1) {
    curve(kBlue, [&](int k) { return ss[static_cast<std::size_t>(k)].v[1]; });
    curve(kRed, [&](int k) { return ss[static_cast<std::size_t>(k)].v[3]; });
    if (sim.config.IFLAG_FENV == 1)
      curve(kGreen, [&](int k) { return ss[static_cast<std::size_t>(k)].v[5] / kDeg; });
  }
}

// The step viewer: counts the pictures down and, at zero, waits for a
// typed command. Enter or "n" stops again after the next element, a number
// after that many elements (at least 1), "g" never again in this run, "e"
// ends the run, "t" ends it with its message; any other answer asks again.
// No terminal, or the end of the input, counts as "g".
void step_viewer(BeamContext& sim) {
  PlotWindows& pw = sim.plots;
  RunState& st = sim.state;
  if (pw.viewer_off) return;
  st.view_count = st.view_count - 1;
  if (st.view_count != 0) return;
  save_picture(sim);
  constexpr std::string_view kPrompt =
      " e - exit, g - go to end, n or Enter - go to next, nn - number of elements to go > ";
  for (;;) {
    const std::optional<std::string> line = sim.viewer.read_line(kPrompt);
    if (!line) {
      pw.viewer_off = true;
      st.view_count = 20000;
      return;
    }
    const std::string a = line->substr(0, std::min<std::size_t>(4, line->size()));
    const std::size_t first = a.find_first_not_of(' ');
    if (first == std::string::npos) {
      st.view_count = 1;
      return;
    }
    switch (a[first]) {
      case 'e':
        planned_stop();
      case 'n':
        st.view_count = 1;
        return;
      case 'g':
        pw.viewer_off = true;
        st.view_count = 20000;
        return;
      case 't':
        sim.screen.write_line(list_directed({std::string_view("stop"), std::int32_t{-1}}));
        sim.screen.write_line(" text command dos't work now");
        planned_stop();
      default:
        break;
    }
    // A count: an optional sign and digits, blanks around them.
    std::size_t i = first;
    bool neg = false;
    if (a[i] == '+' || a[i] == '-') neg = a[i++] == '-';
    const std::size_t digits_from = i;
    long v = 0;
    while (i < a.size() && a[i] >= '0' && a[i] <= '9') v = v * 10 + (a[i++] - '0');
    const bool blanks_after = a.find_first_not_of(' ', i) == std::string::npos;
    if (i > digits_from && blanks_after) {
      st.view_count = std::max<long>(1, neg ? -v : v);
      return;
    }
  }
}

}  // namespace

void window_setup(BeamContext&) {}

namespace {

// Nearest whole number, halves away from zero (std::round, inline): the
// fraction v - trunc(v) is exact, so the comparison with 0.5 decides as
// std::round does. Values beyond 2^52 are whole already (or not finite).
inline double round_half_away(double v) {
  if (!(std::abs(v) < 4503599627370496.0)) return v;
  const double t = static_cast<double>(static_cast<std::int64_t>(v));
  const double f = v - t;
  return t + static_cast<double>(f >= 0.5) - static_cast<double>(f <= -0.5);
}

// Pixels per world unit of window k, across and down.
inline double px_per_unit_x(const PlotLayout& l, int k) {
  return static_cast<double>(l.JX[k] - l.IX[k]) / (l.XMAX[k] - l.XMIN[k]);
}
inline double px_per_unit_y(const PlotLayout& l, int k) {
  return static_cast<double>(l.JY[k] - l.IY[k]) / (l.YMAX[k] - l.YMIN[k]);
}

// N doubles (or their comparison masks, or N pixel offsets) side by side:
// element-wise operations, each lane the arithmetic of the scalar code.
template <int N>
struct LaneTypes;
template <>
struct LaneTypes<4> {
  typedef double Lanes __attribute__((vector_size(4 * sizeof(double))));
  typedef std::int64_t LaneMask __attribute__((vector_size(4 * sizeof(std::int64_t))));
  typedef std::int32_t LanePixels __attribute__((vector_size(4 * sizeof(std::int32_t))));
};
template <>
struct LaneTypes<8> {
  typedef double Lanes __attribute__((vector_size(8 * sizeof(double))));
  typedef std::int64_t LaneMask __attribute__((vector_size(8 * sizeof(std::int64_t))));
  typedef std::int32_t LanePixels __attribute__((vector_size(8 * sizeof(std::int32_t))));
};

// The particle loop's form of the mapping of one phase-space window. A
// coordinate maps to the pixel offset n = round_half_away(s), s = (scale *
// coordinate - origin) * factor, counted from IX to the right or from JY
// upwards; the pixel lies in the window exactly when 0 <= n <= the window's
// width (height), that is when -0.5 < s < width + 0.5 (halves round away
// from zero), so the test needs no rounding and only the pixels drawn are
// rounded.
struct DotWindow {
  double scale_x = 1.0, scale_y = 1.0;  // world per coordinate
  double xmin = 0.0, ymin = 0.0;        // world origin
  double fx = 0.0, fy = 0.0;            // pixels per world unit
  double limit_x = 0.0, limit_y = 0.0;  // width or height + 0.5 (pixels)
  std::int32_t IX = 0, JY = 0;
};

// Everything the particle loop reads besides the particles.
struct DotMap {
  std::array<DotWindow, 3> win;
  bool y_vs_x = false;                        // window 1 shows y against x
  double rfq_shift = 0.0, phase_origin = 0.0;  // rad
  std::int32_t nharm = 0;
  double amu = 0.0, w_origin = 0.0;  // keV/u
};

DotWindow dot_window(const PlotLayout& l, int k) {
  DotWindow w;
  w.scale_x = l.scale_x[static_cast<std::size_t>(k)];
  w.scale_y = l.scale_y[static_cast<std::size_t>(k)];
  w.xmin = l.XMIN[k];
  w.ymin = l.YMIN[k];
  w.fx = static_cast<double>(l.JX[k] - l.IX[k]) / (l.XMAX[k] - l.XMIN[k]);
  w.fy = static_cast<double>(l.JY[k] - l.IY[k]) / (l.YMAX[k] - l.YMIN[k]);
  w.limit_x = l.JX[k] - l.IX[k] + 0.5;
  w.limit_y = l.JY[k] - l.IY[k] + 0.5;
  w.IX = l.IX[k];
  w.JY = l.JY[k];
  return w;
}

// round_half_away of the lanes drawn (the others give 0, so no lane far
// outside is ever converted to an integer): trunc t, fraction f = s - t
// exact, one step away from zero at |f| >= 0.5.
template <int N>
[[gnu::always_inline]] inline void round_lanes(const typename LaneTypes<N>::Lanes& value,
                                               const typename LaneTypes<N>::LaneMask& drawn,
                                               typename LaneTypes<N>::LanePixels& n) {
  using T = LaneTypes<N>;
  const typename T::Lanes s =
      reinterpret_cast<typename T::Lanes>(reinterpret_cast<typename T::LaneMask>(value) & drawn);
  const typename T::LanePixels t = __builtin_convertvector(s, typename T::LanePixels);
  const typename T::Lanes f = s - __builtin_convertvector(t, typename T::Lanes);
  n = t - __builtin_convertvector(f >= 0.5, typename T::LanePixels) +
      __builtin_convertvector(f <= -0.5, typename T::LanePixels);
}

// The colour of a dot as the word its bytes make (the padding byte 0).
inline std::int32_t colour_word(Rgb col) {
  static_assert(sizeof(Dot) == 3 * sizeof(std::int32_t) && offsetof(Dot, c) == 2 * sizeof(std::int32_t) &&
                sizeof(Rgb) == 3);
  std::int32_t w = 0;
  std::memcpy(&w, &col, sizeof col);
  return w;
}

// N dots (x, y, colour word) written at out.
template <int N>
[[gnu::always_inline]] inline void store_dots(const typename LaneTypes<N>::LanePixels& X,
                                              const typename LaneTypes<N>::LanePixels& Y, std::int32_t cw,
                                              Dot* out) {
  if constexpr (N == 8) {
    // Three rows of eight words: x0 y0 c x1 y1 c x2 y2 | c x3 y3 c x4 y4 c x5 | y5 c x6 y6 c x7 y7 c.
    typedef std::int32_t V8 __attribute__((vector_size(8 * sizeof(std::int32_t))));
    typedef std::int32_t I8 __attribute__((vector_size(8 * sizeof(std::int32_t))));
    const V8 C{cw, cw, cw, cw, cw, cw, cw, cw};
    const V8 r0 = __builtin_shuffle(__builtin_shuffle(X, Y, I8{0, 8, 0, 1, 9, 0, 2, 10}), C, I8{0, 1, 8, 3, 4, 8, 6, 7});
    const V8 r1 = __builtin_shuffle(__builtin_shuffle(X, Y, I8{0, 3, 11, 0, 4, 12, 0, 5}), C, I8{8, 1, 2, 8, 4, 5, 8, 7});
    const V8 r2 = __builtin_shuffle(__builtin_shuffle(X, Y, I8{13, 0, 6, 14, 0, 7, 15, 0}), C, I8{0, 8, 2, 3, 8, 5, 6, 8});
    unsigned char* o = reinterpret_cast<unsigned char*>(out);
    std::memcpy(o, &r0, sizeof r0);
    std::memcpy(o + sizeof r0, &r1, sizeof r1);
    std::memcpy(o + 2 * sizeof r0, &r2, sizeof r2);
  } else {
    for (int k = 0; k < N; ++k) {
      const std::int32_t w[3] = {X[k], Y[k], cw};
      std::memcpy(reinterpret_cast<unsigned char*>(out + k), w, sizeof w);
    }
  }
}

// The dots of N particles in one window, an empty place for each one not
// drawn.
template <int N>
[[gnu::always_inline]] inline void window_dots(const DotWindow& w, const typename LaneTypes<N>::Lanes& u,
                                               const typename LaneTypes<N>::Lanes& v,
                                               const typename LaneTypes<N>::LaneMask& live, std::int32_t cw,
                                               Dot* out) {
  using T = LaneTypes<N>;
  const typename T::Lanes sx = (u * w.scale_x - w.xmin) * w.fx;
  const typename T::Lanes sy = (v * w.scale_y - w.ymin) * w.fy;
  const typename T::LaneMask drawn = live & (sx > -0.5) & (sx < w.limit_x) & (sy > -0.5) & (sy < w.limit_y);
  typename T::LanePixels nx, ny;
  round_lanes<N>(sx, drawn, nx);
  round_lanes<N>(sy, drawn, ny);
  const typename T::LanePixels on = __builtin_convertvector(drawn, typename T::LanePixels);
  const typename T::LanePixels X = ((w.IX + nx) & on) | (kNoDot & ~on);
  const typename T::LanePixels Y = (w.JY - ny) & on;
  store_dots<N>(X, Y, cw, out);
}

// Lanes from cnt <= N values at a, zero beyond.
template <int N, class V, class E>
[[gnu::always_inline]] inline void load_lanes(const E* a, int cnt, V& v) {
  v = V{};
  if (cnt == N) std::memcpy(&v, a, sizeof v);
  else
    for (int k = 0; k < cnt; ++k) v[k] = a[k];
}

// energy_deviations eight particles per instruction (the packed square
// root and division are the same IEEE operations as the scalar ones).
[[gnu::target("avx512f")]] void energy_deviations_avx512(const double* beta, int n, double amu_kev,
                                                         double w_origin, double* dww) {
  const __m512d one = _mm512_set1_pd(1.0), amu = _mm512_set1_pd(amu_kev), w0 = _mm512_set1_pd(w_origin);
  int k = 0;
  for (; k + 7 < n; k += 8) {
    const __m512d b = _mm512_loadu_pd(beta + k);
    const __m512d gamma = _mm512_div_pd(one, _mm512_mask_sqrt_pd(one, 0xff, _mm512_sub_pd(one, _mm512_mul_pd(b, b))));
    const __m512d w = _mm512_mul_pd(_mm512_sub_pd(gamma, one), amu);
    _mm512_storeu_pd(dww + k, _mm512_div_pd(_mm512_sub_pd(w, w0), w0));
  }
  for (; k < n; ++k) dww[k] = (kinetic_energy_kev(beta[k], amu_kev) - w_origin) / w_origin;
}

// The dots of slots first .. first + n - 1 of charge state iq in the three
// windows, written at out[w][0 .. n-1], N slots at a time: the statistics
// coordinates (particle_coords6), the phase folded into one bunch period,
// dW/W.
template <int N>
[[gnu::always_inline]] inline void slot_dots(const DotMap& m, const ParticleArrays& p, int iq, int first, int n,
                                             Rgb col, Dot* out1, Dot* out2, Dot* out3) {
  using T = LaneTypes<N>;
  constexpr int kBlock = 256;
  static_assert(kBlock % N == 0);
  alignas(64) double dww[kBlock];
  const std::int32_t cw = colour_word(col);
  const std::int32_t* status = p.status[iq] + first;
  const double *px = p.x[iq] + first, *pxp = p.xp[iq] + first, *py = p.y[iq] + first,
               *pyp = p.yp[iq] + first, *pph = p.phase[iq] + first;
  const double period = kTwoPi * static_cast<double>(m.nharm), half = kPi * static_cast<double>(m.nharm);
  for (int b = 0; b < n; b += kBlock) {
    const int nb = std::min(kBlock, n - b);
    // The energy coordinates first, in a loop without branches.
    energy_deviations(p.beta[iq] + first + b, nb, m.amu, m.w_origin, dww);
    for (int k = 0; k < nb; k += N) {
      const int i = b + k, cnt = std::min(N, nb - k);
      typename T::LanePixels st;
      load_lanes<N>(status + i, cnt, st);
      // Lanes beyond cnt are not live.
      for (int l = cnt; l < N; ++l) st[l] = -1;
      const typename T::LaneMask live = __builtin_convertvector(st >= 0, typename T::LaneMask);
      typename T::Lanes x, xp, y, yp, ph, dw;
      load_lanes<N>(px + i, cnt, x);
      load_lanes<N>(pxp + i, cnt, xp);
      load_lanes<N>(py + i, cnt, y);
      load_lanes<N>(pyp + i, cnt, yp);
      load_lanes<N>(pph + i, cnt, ph);
      load_lanes<N>(dww + k, cnt, dw);
      ph = m.rfq_shift + (ph - m.phase_origin);
      if (m.nharm != 0) {
        // Folding changes only a phase outside [-pi h, pi h) (as summed).
        const typename T::Lanes t = ph + half;
        const typename T::LaneMask in = (t >= 0.0) & (t < period);
        bool all_in = true;
        for (int l = 0; l < N; ++l) all_in = all_in && in[l];
        if (!all_in)
          for (int l = 0; l < N; ++l) ph[l] = phase_wrap_harm(ph[l], m.nharm);
      }
      if (cnt == N) {
        window_dots<N>(m.win[0], x, m.y_vs_x ? y : xp, live, cw, out1 + i);
        window_dots<N>(m.win[1], y, yp, live, cw, out2 + i);
        window_dots<N>(m.win[2], ph, dw, live, cw, out3 + i);
      } else {
        // The last slots of the piece: N dots made, the first cnt kept.
        std::array<std::array<Dot, N>, 3> d;
        window_dots<N>(m.win[0], x, m.y_vs_x ? y : xp, live, cw, d[0].data());
        window_dots<N>(m.win[1], y, yp, live, cw, d[1].data());
        window_dots<N>(m.win[2], ph, dw, live, cw, d[2].data());
        std::copy_n(d[0].data(), cnt, out1 + i);
        std::copy_n(d[1].data(), cnt, out2 + i);
        std::copy_n(d[2].data(), cnt, out3 + i);
      }
    }
  }
}

#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512dq,avx512bw")

// window_dots of eight particles with the comparisons in mask registers:
// the same operations lane by lane (ordered comparisons, false for a NaN).
[[gnu::always_inline]] inline void window_dots8(const DotWindow& w, __m512d u, __m512d v, __mmask8 live,
                                                std::int32_t cw, Dot* out) {
  const __m512d sx = _mm512_mul_pd(_mm512_sub_pd(_mm512_mul_pd(u, _mm512_set1_pd(w.scale_x)), _mm512_set1_pd(w.xmin)),
                                   _mm512_set1_pd(w.fx));
  const __m512d sy = _mm512_mul_pd(_mm512_sub_pd(_mm512_mul_pd(v, _mm512_set1_pd(w.scale_y)), _mm512_set1_pd(w.ymin)),
                                   _mm512_set1_pd(w.fy));
  const __m512d low = _mm512_set1_pd(-0.5);
  __mmask8 drawn = _mm512_mask_cmp_pd_mask(live, sx, low, _CMP_GT_OQ);
  drawn = _mm512_mask_cmp_pd_mask(drawn, sx, _mm512_set1_pd(w.limit_x), _CMP_LT_OQ);
  drawn = _mm512_mask_cmp_pd_mask(drawn, sy, low, _CMP_GT_OQ);
  drawn = _mm512_mask_cmp_pd_mask(drawn, sy, _mm512_set1_pd(w.limit_y), _CMP_LT_OQ);
  // round_lanes: the lanes not drawn are 0.
  const __m256i one = _mm256_set1_epi32(1);
  auto round8 = [&](__m512d value) {
    const __m512d s = _mm512_maskz_mov_pd(drawn, value);
    const __m256i t = _mm512_mask_cvttpd_epi32(_mm256_setzero_si256(), 0xff, s);
    const __m512d f = _mm512_sub_pd(s, _mm512_mask_cvtepi32_pd(_mm512_setzero_pd(), 0xff, t));
    const __m256i up = _mm256_mask_add_epi32(t, _mm512_cmp_pd_mask(f, _mm512_set1_pd(0.5), _CMP_GE_OQ), t, one);
    return _mm256_mask_sub_epi32(up, _mm512_cmp_pd_mask(f, low, _CMP_LE_OQ), up, one);
  };
  const __m256i nx = round8(sx), ny = round8(sy);
  const __m256i X = _mm256_mask_add_epi32(_mm256_set1_epi32(kNoDot), drawn, _mm256_set1_epi32(w.IX), nx);
  const __m256i Y = _mm256_maskz_sub_epi32(drawn, _mm256_set1_epi32(w.JY), ny);
  typedef std::int32_t P8 __attribute__((vector_size(8 * sizeof(std::int32_t))));
  P8 x8, y8;
  std::memcpy(&x8, &X, sizeof x8);
  std::memcpy(&y8, &Y, sizeof y8);
  store_dots<8>(x8, y8, cw, out);
}

// slot_dots eight slots at a time in mask registers (see slot_dots).
void slot_dots8(const DotMap& m, const ParticleArrays& p, int iq, int first, int n, Rgb col, Dot* out1,
                Dot* out2, Dot* out3) {
  constexpr int kBlock = 256;
  alignas(64) double dww[kBlock];
  const std::int32_t cw = colour_word(col);
  const std::int32_t* status = p.status[iq] + first;
  const double *px = p.x[iq] + first, *pxp = p.xp[iq] + first, *py = p.y[iq] + first,
               *pyp = p.yp[iq] + first, *pph = p.phase[iq] + first;
  const __m512d period = _mm512_set1_pd(kTwoPi * static_cast<double>(m.nharm));
  const __m512d half = _mm512_set1_pd(kPi * static_cast<double>(m.nharm));
  const __m512d rfq_shift = _mm512_set1_pd(m.rfq_shift), phase_origin = _mm512_set1_pd(m.phase_origin);
  for (int b = 0; b < n; b += kBlock) {
    const int nb = std::min(kBlock, n - b);
    energy_deviations_avx512(p.beta[iq] + first + b, nb, m.amu, m.w_origin, dww);
    for (int k = 0; k < nb; k += 8) {
      const int i = b + k, cnt = std::min(8, nb - k);
      // Lanes beyond cnt are zero and not live.
      const __mmask8 in = static_cast<__mmask8>((1u << cnt) - 1u);
      const __mmask8 live =
          _mm256_mask_cmpge_epi32_mask(in, _mm256_maskz_loadu_epi32(in, status + i), _mm256_setzero_si256());
      const __m512d x = _mm512_maskz_loadu_pd(in, px + i), xp = _mm512_maskz_loadu_pd(in, pxp + i);
      const __m512d y = _mm512_maskz_loadu_pd(in, py + i), yp = _mm512_maskz_loadu_pd(in, pyp + i);
      const __m512d dw = _mm512_maskz_loadu_pd(in, dww + k);
      __m512d ph = _mm512_add_pd(rfq_shift, _mm512_sub_pd(_mm512_maskz_loadu_pd(in, pph + i), phase_origin));
      if (m.nharm != 0) {
        // Folding changes only a phase outside [-pi h, pi h) (as summed).
        const __m512d t = _mm512_add_pd(ph, half);
        const __mmask8 inside = _mm512_mask_cmp_pd_mask(_mm512_cmp_pd_mask(t, _mm512_setzero_pd(), _CMP_GE_OQ), t,
                                                        period, _CMP_LT_OQ);
        if (inside != 0xff) {
          alignas(64) double lanes[8];
          _mm512_store_pd(lanes, ph);
          for (int l = 0; l < 8; ++l) lanes[l] = phase_wrap_harm(lanes[l], m.nharm);
          ph = _mm512_load_pd(lanes);
        }
      }
      if (cnt == 8) {
        window_dots8(m.win[0], x, m.y_vs_x ? y : xp, live, cw, out1 + i);
        window_dots8(m.win[1], y, yp, live, cw, out2 + i);
        window_dots8(m.win[2], ph, dw, live, cw, out3 + i);
      } else {
        // The last slots of the piece: eight dots made, the first cnt kept.
        std::array<std::array<Dot, 8>, 3> d;
        window_dots8(m.win[0], x, m.y_vs_x ? y : xp, live, cw, d[0].data());
        window_dots8(m.win[1], y, yp, live, cw, d[1].data());
        window_dots8(m.win[2], ph, dw, live, cw, d[2].data());
        std::copy_n(d[0].data(), cnt, out1 + i);
        std::copy_n(d[1].data(), cnt, out2 + i);
        std::copy_n(d[2].data(), cnt, out3 + i);
      }
    }
  }
}

void item_dots_avx512(const DotMap& m, const ParticleArrays& p, const DotPiece& it, const std::array<Dot*, 3>& out) {
  slot_dots8(m, p, it.iq, it.first, it.n, kStateColour[static_cast<std::size_t>(it.iq)], out[0] + it.at,
             out[1] + it.at, out[2] + it.at);
}

#pragma GCC pop_options

[[gnu::target("avx2")]] void item_dots_avx2(const DotMap& m, const ParticleArrays& p, const DotPiece& it,
                                            const std::array<Dot*, 3>& out) {
  slot_dots<4>(m, p, it.iq, it.first, it.n, kStateColour[static_cast<std::size_t>(it.iq)], out[0] + it.at,
               out[1] + it.at, out[2] + it.at);
}

void item_dots(const DotMap& m, const ParticleArrays& p, const DotPiece& it, const std::array<Dot*, 3>& out) {
  slot_dots<4>(m, p, it.iq, it.first, it.n, kStateColour[static_cast<std::size_t>(it.iq)], out[0] + it.at,
               out[1] + it.at, out[2] + it.at);
}

}  // namespace

double world_to_px_x(const PlotLayout& l, int k, double x) {
  return l.IX[k] + round_half_away((x - l.XMIN[k]) * px_per_unit_x(l, k));
}

double world_to_px_y(const PlotLayout& l, int k, double y) {
  return l.JY[k] - round_half_away((y - l.YMIN[k]) * px_per_unit_y(l, k));
}


void plot_windows_setup(BeamContext& sim) {
  PlotWindows& pw = sim.plots;
  PlotLayout& l = pw.layout;
  read_graph_cfg(sim, l);
  // Window 4 spans the lattice; a lattice of zero length spans 1 cm.
  l.XMIN[4] = sim.ref.s_entry;
  l.XMAX[4] = sim.elements.elem_pos[static_cast<std::size_t>(sim.config.iel_last)];
  if (!(l.XMAX[4] > l.XMIN[4])) l.XMAX[4] = l.XMIN[4] + 1.0;
  if (!pw.canvas) pw.canvas = std::make_unique<CairoCanvas>();
  Canvas& cv = *pw.canvas;
  cv.set_clip(0, 0, kPictureWidth - 1, kPictureHeight - 1);
  cv.set_bk_color(kPanelGrey);
  cv.clear();
  cv.set_font("t'Arial'h20w8i");
  cv.set_text_color(kBlue);
  text_at(cv, 50, 3, l.TITLE);
  cv.set_font("t'Arial'h15w8i");
  text_at(cv, 1100, 3, date_time_string(sim.clock.now()));
  for (int k = 1; k <= 3; ++k) draw_phase_window(pw, k);
  for (int k = 1; k <= 3; ++k) cv.save_area(k - 1, l.IX[k], l.IY[k], l.JX[k], l.JY[k]);
  draw_lattice_window(sim);
  pw.ready = true;
  pw.viewer_off = false;
  pw.saved_second = -1;
}

void draw_rms_ellipse(BeamContext& sim, int k) {
  PlotWindows& pw = sim.plots;
  Canvas& cv = *pw.canvas;
  const PlotLayout& l = pw.layout;
  const BeamMoments& bm = sim.beam_moments;
  const double alpha = bm.twiss_alpha[static_cast<std::size_t>(k)];
  const double gamma = bm.twiss_gamma[static_cast<std::size_t>(k)];
  // A degenerate plane has its Twiss values stored as 0: no ellipse.
  if (!(gamma > 0.0) || !std::isfinite(alpha)) return;
  const double cx = bm.centroid[static_cast<std::size_t>(2 * k - 1)];
  const double cy = bm.centroid[static_cast<std::size_t>(2 * k)];
  const double sx = l.scale_x[static_cast<std::size_t>(k)], sy = l.scale_y[static_cast<std::size_t>(k)];
  const std::array<double, 2> E{l.ell_factor[static_cast<std::size_t>(k)] * bm.eps_rms[static_cast<std::size_t>(k)],
                                bm.eps_max[static_cast<std::size_t>(k)]};
  const std::array<Rgb, 2> col{kBlue, kRed};
  for (int e = 0; e < 2; ++e) {
    if (!(E[static_cast<std::size_t>(e)] > 0.0)) continue;
    // Points of gamma u^2 + 2 alpha u u' + beta u'^2 = E around the centroid.
    const double a = std::sqrt(E[static_cast<std::size_t>(e)] / gamma);
    const double b = std::sqrt(E[static_cast<std::size_t>(e)] * gamma);
    cv.set_color(col[static_cast<std::size_t>(e)]);
    cv.move_to(world_to_px_x(l, k, (cx + a) * sx), world_to_px_y(l, k, cy * sy));
    for (int i = 1; i <= 100; ++i) {
      const double t = i * 0.06283185307179587;
      cv.line_to(world_to_px_x(l, k, sx * (cx + a * (std::cos(t) - alpha * std::sin(t)))),
                 world_to_px_y(l, k, sy * (cy + b * std::sin(t))));
    }
  }
}

void plot_step(BeamContext& sim, double) {
  PlotWindows& pw = sim.plots;
  if (!pw.ready) return;
  Canvas& cv = *pw.canvas;
  const PlotLayout& l = pw.layout;
  const RunConfig& c = sim.config;
  // 1. Empty frames back in the phase-space windows.
  for (int k = 1; k <= 3; ++k) {
    clip_window(cv, l, k);
    cv.put_area(k - 1, l.IX[k], l.IY[k]);
  }
  // 2. Ellipses.
  if (c.IFLAG_ELL == 1)
    for (int k = 1; k <= 3; ++k) {
      clip_window(cv, l, k);
      draw_rms_ellipse(sim, k);
    }
  // 3. Particles: one dot (or an empty place) per slot of the state range
  //    in each window's buffer, laid out by (state, slot), so the buffer
  //    and the picture do not depend on how the slots are shared among
  //    threads; a pixel outside its window is dropped before it becomes an
  //    integer.
  const StateRange range = statistics_range(c);
  DotMap m;
  for (int k = 1; k <= 3; ++k) m.win[static_cast<std::size_t>(k - 1)] = dot_window(l, k);
  m.y_vs_x = c.IFLAG_DIS == 51;
  m.rfq_shift = kPi * sim.state.IRIARFQ;
  m.phase_origin = sim.ref.phase_origin;
  m.nharm = c.nharm_sc;
  m.amu = sim.ref.amu_kev;
  m.w_origin = sim.ref.w_origin;
  // Fixed pieces of kPieceSlots slots.
  constexpr int kPieceSlots = 4096;
  std::vector<DotPiece>& items = pw.dot_pieces;
  items.clear();
  std::size_t room = 0;
  for (int iq = range.first; iq <= range.last; ++iq) {
    const int slots = std::max(c.NPAT[static_cast<std::size_t>(iq)] + 1, 0);
    for (int first = 0; first < slots; first += kPieceSlots)
      items.push_back({iq, first, std::min(kPieceSlots, slots - first), room + static_cast<std::size_t>(first)});
    room += static_cast<std::size_t>(slots);
  }
  std::array<Dot*, 3> out{};
  for (std::size_t w = 0; w < 3; ++w) {
    // Grown, never shrunk: every place up to room is written below.
    if (pw.dots[w + 1].size() < room) pw.dots[w + 1].resize(room);
    out[w] = pw.dots[w + 1].data();
  }
  const bool has_avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                          __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
  const bool has_avx2 = __builtin_cpu_supports("avx2");
  const int build = pw.dot_build;
  const bool avx512 = has_avx512 && (build == 0 || build == 3);
  const bool avx2 = has_avx2 && (build == 0 || build == 2);
  const int nitems = static_cast<int>(items.size());
#pragma omp parallel for schedule(static) if (room >= 2 * kPieceSlots)
  for (int n = 0; n < nitems; ++n) {
    if (avx512) item_dots_avx512(m, sim.particles, items[static_cast<std::size_t>(n)], out);
    else if (avx2) item_dots_avx2(m, sim.particles, items[static_cast<std::size_t>(n)], out);
    else item_dots(m, sim.particles, items[static_cast<std::size_t>(n)], out);
  }
  for (int k = 1; k <= 3; ++k) {
    clip_window(cv, l, k);
    cv.set_pixels(std::span<const Dot>(pw.dots[static_cast<std::size_t>(k)].data(), room));
  }
  // 4. Date box.
  cv.set_font("t'Arial'h15w8i");
  cv.set_clip(1100, 25, 1255, 40);
  cv.set_color(kPanelGrey);
  cv.rectangle(kRectFilled, 1100, 25, 1255, 40);
  cv.set_text_color(kRed);
  text_at(cv, 1100, 25, date_time_string(sim.clock.now()));
  // 5. Status panel.
  draw_panel(sim);
  // 6. Position: the start of the element's last step.
  {
    const int IX = l.IX[4], JY = l.JY[4];
    cv.set_clip(IX + 485, JY + 10, IX + 600, JY + 20);
    cv.set_color(kWhite);
    cv.rectangle(kRectFilled, IX + 500, JY + 10, IX + 571, JY + 20);
    cv.set_font("t'Arial'h14w6");
    cv.set_text_color(kBlack);
    text_at(cv, IX + 485, JY + 10, "z=");
    text_at(cv, IX + 575, JY + 10, "cm");
    cv.set_text_color(kRed);
    const double zpos = sim.ref.z_entry + sim.ref_path(sim.ref.nstep - 1, kRefS);
    text_at(cv, IX + 500, JY + 10, fmt1(pw, "(F10.2)", zpos));
  }
  // 7.-10. After an element: its envelope (not for the first picture).
  if (sim.state.ipos != c.iel_first - 1) {
    clip_window(cv, l, 4);
    std::vector<double> z(static_cast<std::size_t>(sim.ref.nstep) + 1);
    for (int k = 0; k <= sim.ref.nstep; ++k)
      z[static_cast<std::size_t>(k)] = sim.ref.z_entry + sim.ref_path(k, kRefS);
    write_rms_rows(sim, z);
    draw_envelope(sim, z);
  }
  // The picture file, at most once per second of the run's clock.
  const std::int64_t now = clock_second(sim.clock.now());
  if (now != pw.saved_second) save_picture(sim);
  // 11. Step viewer.
  step_viewer(sim);
}

void save_picture(BeamContext& sim) {
  PlotWindows& pw = sim.plots;
  if (!pw.ready) return;
  const std::string path = sim.units.resolve(kPictureFile).string();
  if (!pw.canvas->write_png(path)) fatal(" the picture " + path + " cannot be written");
  pw.saved_second = clock_second(sim.clock.now());
}

void write_xxp_histogram(BeamContext& sim) {
  const BeamParams& b = sim.beam;
  auto check_bins = [](const char* name, std::int32_t n) {
    if (n < 1 || n > kHistMaxBins)
      fatal(fmt::format(" velmo.dat, group TRAN: {} = {}; the x-x' histogram needs 1..{} bins", name,
                        n, kHistMaxBins));
  };
  auto check_range = [](const char* name, double h, const char* unit) {
    if (!(h > 0.0) || !std::isfinite(h))
      fatal(fmt::format(" velmo.dat, group TRAN: {} = {}; the x-x' histogram needs a half range above 0 {}",
                        name, h, unit));
  };
  check_bins("NBINX", b.NBINX);
  check_bins("NBINY", b.NBINY);
  check_range("XHIST", b.XHIST, "mm");
  check_range("YHIST", b.YHIST, "mrad");
  const int nx = b.NBINX, ny = b.NBINY;
  const double hx = 2.0 * b.XHIST / nx, hy = 2.0 * b.YHIST / ny;  // cell sizes, mm and mrad
  // Cell of a coordinate, 0-based; -1 outside -h..h.
  auto cell = [](double v, double half, double width, int n) {
    if (!(v >= -half && v <= half)) return -1;
    const int i = static_cast<int>(std::floor((v + half) / width));
    return std::min(i, n - 1);
  };
  std::vector<std::int32_t> cells(static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny), 0);
  std::vector<double> xs, xps;  // the counted particles, mm and mrad
  const ParticleArrays& p = sim.particles;
  const RunConfig& c = sim.config;
  for (int iq = 1; iq <= c.NQTOT; ++iq) {
    for (int i = 0; i <= c.NPAT[static_cast<std::size_t>(iq)]; ++i) {
      if (p.status[iq][i] < 0) continue;
      const double X = 10.0 * p.x[iq][i];
      const double XP = 1000.0 * p.xp[iq][i];
      const int ix = cell(X, b.XHIST, hx, nx);
      const int iy = cell(XP, b.YHIST, hy, ny);
      if (ix < 0 || iy < 0) continue;
      ++cells[static_cast<std::size_t>(ix) * static_cast<std::size_t>(ny) + static_cast<std::size_t>(iy)];
      xs.push_back(X);
      xps.push_back(XP);
    }
  }
  std::vector<std::int32_t> proj_x(static_cast<std::size_t>(nx), 0), proj_xp(static_cast<std::size_t>(ny), 0);
  {
    TextOut out(sim.units, "hist.dat");
    const FortranFormat row("(2F12.4,I10)");
    for (int ix = 0; ix < nx; ++ix)
      for (int iy = 0; iy < ny; ++iy) {
        const std::int32_t n = cells[static_cast<std::size_t>(ix) * static_cast<std::size_t>(ny) +
                                     static_cast<std::size_t>(iy)];
        proj_x[static_cast<std::size_t>(ix)] += n;
        proj_xp[static_cast<std::size_t>(iy)] += n;
        write_checked(sim, out, row, {-b.XHIST + (ix + 0.5) * hx, -b.YHIST + (iy + 0.5) * hy, n});
      }
  }
  const FortranFormat row1("(F12.4,I10)");
  {
    TextOut out(sim.units, "hist1.dat");
    for (int ix = 0; ix < nx; ++ix)
      write_checked(sim, out, row1, {-b.XHIST + (ix + 0.5) * hx, proj_x[static_cast<std::size_t>(ix)]});
  }
  {
    TextOut out(sim.units, "hist2.dat");
    for (int iy = 0; iy < ny; ++iy)
      write_checked(sim, out, row1, {-b.YHIST + (iy + 0.5) * hy, proj_xp[static_cast<std::size_t>(iy)]});
  }
  // Means and rms Twiss values of the counted particles.
  const std::size_t n = xs.size();
  double mx = 0.0, mxp = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    mx += xs[k];
    mxp += xps[k];
  }
  if (n > 0) {
    mx /= static_cast<double>(n);
    mxp /= static_cast<double>(n);
  }
  double s11 = 0.0, s12 = 0.0, s22 = 0.0;
  if (n > 1) {
    for (std::size_t k = 0; k < n; ++k) {
      const double dx = xs[k] - mx, dxp = xps[k] - mxp;
      s11 += dx * dx;
      s12 += dx * dxp;
      s22 += dxp * dxp;
    }
    const double d = static_cast<double>(n - 1);
    s11 /= d;
    s12 /= d;
    s22 /= d;
  }
  const double det = s11 * s22 - s12 * s12;
  const double eps = det > kDegenerateDet * s11 * s22 ? std::sqrt(det) : 0.0;
  const double alpha = eps > 0.0 ? -s12 / eps : 0.0;
  const double beta = eps > 0.0 ? s11 / eps : 0.0;
  write_checked(sim, kUnitLog, "(A6,1PE14.6,A6,1PE14.6)",
                  {std::string_view(" Xavr="), mx, std::string_view(" Yavr="), mxp});
  write_checked(sim, kUnitLog, "(A8,1PE14.6,A8,1PE14.6,A8,1PE14.6)",
                  {std::string_view(" EpsRMS="), eps, std::string_view(" AlpRMS="), alpha,
                   std::string_view(" BetRMS="), beta});
}

}  // namespace linac
