// The plot picture of a run with IGRAPH = 1: three phase-space windows
// (x-x', y-y', phase-dW/W) redrawn after every element, a status panel, and
// a long window in which the envelope grows along the lattice under a strip
// of element markers; and the step viewer, which stops the run after a
// chosen number of elements and waits for a typed command. The picture is
// kept as graphic3.png in the working directory.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/canvas.hpp"
#include "platform/format.hpp"

namespace linac {

struct BeamContext;

// Geometry and world ranges of windows k = 1..4 (index 0 unused). Pixel
// corners (IX, IY)-(JX, JY) and grid intervals LX, LY come from a fixed
// layout; the world ranges of windows 1-3 and the vertical range of window
// 4 from graph.cfg, the horizontal range of window 4 is the lattice (cm).
struct PlotLayout {
  std::string TITLE;
  std::array<std::int32_t, 5> IX{}, IY{}, JX{}, JY{}, LX{}, LY{};
  std::array<double, 5> XMIN{}, XMAX{}, YMIN{}, YMAX{};
  // Windows 1..3: ellipse factor (times the rms emittance of the drawn rms
  // ellipse), horizontal and vertical scales (world := scale * coordinate;
  // window 3 shows the phase in degrees).
  std::array<double, 4> ell_factor{0.0, 4.0, 4.0, 4.0};
  std::array<double, 4> scale_x{0.0, 1.0, 1.0, 57.29577951308232};
  std::array<double, 4> scale_y{0.0, 1.0, 1.0, 1.0};
};

// Colour of the particles and the charge of charge state iq = 1..6.
inline constexpr std::array<Rgb, 7> kStateColour{
    Rgb{0, 0, 0},  Rgb{0, 0, 240}, Rgb{240, 0, 0}, Rgb{0, 240, 0},
    Rgb{0, 15, 0}, Rgb{0, 0, 15},  Rgb{15, 0, 0}};

inline constexpr const char* kPictureFile = "graphic3.png";

// A piece of the particle loop of the plots: n slots from slot `first` of
// charge state iq, whose dots go to place `at` of the window buffers.
struct DotPiece {
  int iq = 0, first = 0, n = 0;
  std::size_t at = 0;
};

// The picture and the viewer of a run. No window exists until
// plot_windows_setup: plot_step does nothing before that.
struct PlotWindows {
  PlotLayout layout;
  // The drawing surface; plot_windows_setup makes a cairo picture unless a
  // canvas was given beforehand (tests record the operations instead).
  std::unique_ptr<Canvas> canvas;
  bool ready = false;           // windows set up
  bool viewer_off = false;      // "g" answered (or no terminal): no more stops this run
  std::int64_t saved_second = -1;  // clock second of the last picture file written
  std::array<std::vector<Dot>, 4> dots;  // particle pixels per window 1..3, reused
  std::vector<DotPiece> dot_pieces;      // pieces of the particle loop, reused
  // Build of the particle loop: 0 the widest the processor runs, 1 the
  // baseline, 2 AVX2, 3 AVX-512 (the same dots; the tests run each one).
  int dot_build = 0;
  FormatCache formats;
};

// The main text window is standard output here: nothing to set up.
void window_setup(BeamContext& sim);

// Reads graph.cfg (group WINS), installs the fixed layout and draws the
// empty picture: title, date, framed phase-space windows (saved for the
// redraws), element strip, envelope window, labels and key legends.
void plot_windows_setup(BeamContext& sim);

// Pixel column IX + nint((x - XMIN) * (JX - IX) / (XMAX - XMIN)) of world
// x in window k, and pixel row JY - nint((y - YMIN) * (JY - IY) / (YMAX -
// YMIN)) of world y (YMAX at the top), halves rounded away from zero, as a
// real number: a point far outside the window gives a far pixel, never a
// wrapped one. The pixels-per-unit factor is taken first, so the particle
// loop can take it once per window and get the same pixels.
double world_to_px_x(const PlotLayout& l, int k, double x);
double world_to_px_y(const PlotLayout& l, int k, double y);

// The picture after an element (or the first picture before the first
// element): particles, ellipses, panel, position, envelope, rms.dat rows,
// and the step viewer. Does nothing when the windows were not set up.
void plot_step(BeamContext& sim, double L);

// The rms ellipse (ellipse factor times eps_rms, blue) and the maximum
// ellipse (eps_max, red) of plane k = 1..3 in window k; none for a
// degenerate plane. The caller sets the clip to window k.
void draw_rms_ellipse(BeamContext& sim, int k);

// Writes graphic3.png now (when the windows exist).
void save_picture(BeamContext& sim);

// Not called by the run. Histogram of the x-x' plane of every live beam
// particle (slots 0..NPAT of all charge states) in mm and mrad: NBINX x
// NBINY equal cells over -XHIST..XHIST mm and -YHIST..YHIST mrad (group
// TRAN), a point on the upper border in the last cell, points outside the
// window not counted. hist.dat: one record (2F12.4,I10) per cell, x cells
// outer, with the cell centre and its count; hist1.dat and hist2.dat: the
// projections on x and on x' (F12.4,I10), sums of the cells. log.dat: the
// mean x (mm) and x' (mrad) and the rms emittance (mm mrad), alpha and beta
// (mm/mrad) of the counted particles, second moments with denominator
// N - 1 (zero below two particles; alpha and beta zero for a plane without
// emittance). Bin counts outside 1..kHistMaxBins or a range that is not
// above 0 stop the run naming the member.
inline constexpr std::int32_t kHistMaxBins = 1000;
void write_xxp_histogram(BeamContext& sim);

}  // namespace linac
