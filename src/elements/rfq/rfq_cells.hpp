// The cells of an RFQ: one record per rfq line of the lattice, read from its
// cell file rfq.#NN while the lattice is read, with the cell chain's signs
// fixed, the higher multipole coefficients normalised, and the tables of
// modified Bessel functions that the field evaluation interpolates.
//
// Cell file: one line per cell, cell i on line i, no header; numbers c1..c14
// in free format (c2 length L cm, c4 mean aperture r0 cm, c5 modulation m,
// c6 cell type, c7..c14 coefficients), optionally followed by a token
// eh_EM.#dd naming the static 3-D table eh_EMS.#dd of the cell.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/constants.hpp"
#include "numerics/grid_index.hpp"

namespace linac {

struct ElementsContext;

inline constexpr int kRfqMaxCells = kRfqCells;  // cells of one RFQ
inline constexpr int kRfqMaxSteps = 800;        // integration steps of one cell
inline constexpr int kRfqMinSteps = 2;
inline constexpr int kRfqLineChars = 160;       // characters of a cell-file line
inline constexpr int kBesselNodes = 1001;       // last node of the Bessel grid

// Cell types of the chain.
inline constexpr int kCellRegular = 0;
inline constexpr int kCellFall = 1;        // +-1
inline constexpr int kCellTransCos3 = 2;   // +-2
inline constexpr int kCellQuad = 3;        // +-3
inline constexpr int kCellTransCos = 4;    // +-4
inline constexpr int kCellTypeLimit = 9;   // 5..9 and -5..-9: field-free cells

// The ranges a cell line's numbers never leave for a real RFQ (the reader
// refuses the line otherwise, naming file, line, column and value). They
// are generous: RFQ cells run from about 0.05 cm (GHz, slow ions) to tens
// of cm, apertures from about 0.1 cm to a few cm, modulations from 1 to
// about 3, coefficients below 2. Beyond them the field or the Bessel grid
// leaves the range of finite arithmetic.
inline constexpr double kRfqMinCellLength = 1e-4;  // cm: L, Dfall, d4, t4
inline constexpr double kRfqMaxCellLength = 1e3;   // cm: the same, and |z11|
inline constexpr double kRfqMinAperture = 1e-4;    // cm: r0 (0 allowed in field-free cells), R
inline constexpr double kRfqMaxAperture = 1e2;     // cm
inline constexpr double kRfqMinModulation = 0.1;   // m
inline constexpr double kRfqMaxModulation = 10.0;
inline constexpr double kRfqMaxCoefficient = 1e3;  // |A01| .. |A32| and the unused of c7..c14
inline constexpr double kRfqMaxIgnored = 1e15;     // |c1|, |c3| (read and not used)
inline constexpr double kRfqMaxVoltage = 1e4;      // kV: |V| of the rfq line (real ones below 1e3)
// The Bessel grid reaches 1.1 times the largest k (2R - a) and tabulates
// I_n up to three times that: I_0(y) overflows near y = 713, so k (2R - a)
// (pi times the aperture in cell lengths; about 1 to 5 in a real RFQ) is
// at most this.
inline constexpr double kRfqMaxBesselReach = 200.0;

// Tables of I_n(y)/q_n(y), q_n(y) = (y/2)^n/n!, at y = x, 2x, 3x on the grid
// x_j = j h, j = 0..1001: one row of 20 values per node (orders 0..5 at x,
// 0..7 at 2x, 0..5 at 3x), so one interpolation pass serves every order.
// Modified Bessel functions at x: B1(n) = I_n(x), B2(n) = I_n(2x), B3(n) = I_n(3x).
struct RfqBessel {
  std::array<double, 6> B1{};
  std::array<double, 8> B2{};
  std::array<double, 6> B3{};
};

struct RfqBesselTable {
  double h = 0.0;      // grid step of x (k r, dimensionless)
  double inv_h = 0.0;  // 1/h
  std::vector<std::array<double, 20>> rows;
  // A reference in place of the table: exact values by another routine
  // (checks of the field's derivatives, which the piecewise-linear table
  // cannot give); null in runs.
  RfqBessel (*exact)(double x, int mode) = nullptr;
};

// Node j (1..kBesselNodes) whose interval [x_(j-1), x_j] interpolates at
// x: limited in double before the conversion to an integer, so that every
// x stays inside the table (below the grid the first interval, beyond it
// the last one, which is then extrapolated); a NaN takes the last interval
// and gives NaN values.
inline int rfq_bessel_node(const RfqBesselTable& t, double x) {
  return clamped_index(x * t.inv_h, 0, kBesselNodes - 1) + 1;
}

// The values at x (>= 0) by linear interpolation in the table (beyond its
// last node the last interval is extrapolated linearly, below x = 0 the
// first one). mode 2 sets B1(0) and B1(1) only (the others stay 0); mode 8
// sets every order. The particle loops call it: it never stops the run; a
// non-finite x gives non-finite values, which the RFQ's particle loop and
// rfq_bessel_checked refuse.
RfqBessel rfq_bessel_interp(const RfqBesselTable& t, double x, int mode);

// rfq_bessel_interp outside the particle loops: a non-finite x stops the
// run naming what it was for.
RfqBessel rfq_bessel_checked(const RfqBesselTable& t, double x, int mode, const std::string& what);

// The two-term values at x >= 0 without the leading power: T0 = I_0(x) and
// T1 = I_1(x)/(x/2) (1 at x = 0), for fields that multiply by x themselves.
// Inline: the two-term cell calls it for every particle and stage.
inline void rfq_bessel_ratio01(const RfqBesselTable& t, double x, double& T0, double& T1) {
  if (t.exact != nullptr) {
    const RfqBessel b = t.exact(x, 2);
    T0 = b.B1[0];
    T1 = x > 0.0 ? b.B1[1] / (0.5 * x) : 1.0;
    return;
  }
  const int j = rfq_bessel_node(t, x);
  const double f = (x - (j - 1) * t.h) * t.inv_h;
  const auto& lo = t.rows[static_cast<std::size_t>(j - 1)];
  const auto& hi = t.rows[static_cast<std::size_t>(j)];
  T0 = lo[0] + f * (hi[0] - lo[0]);
  T1 = lo[1] + f * (hi[1] - lo[1]);
}

// Builds the table for the grid step h (> 0) with the library's I_n.
void build_bessel_table(ElementsContext& sim, double h, RfqBesselTable& t);

// One cell. Coefficients c[7..14] by type: regular A01 A10 A03 A12 A21 A23
// A30 A32 (A12..A32 normalised by the reader); fall cells A01, A03, z11 (c9,
// cm), Dfall (c10, cm), c13 listed as z11; transitions A01, A10 (+-4: d4 =
// c9, vane transition length t4 = c13, cm); quadrupole cells A01.
struct RfqCell {
  double len = 0.0;     // L, cm
  double volt = 0.0;    // V, inter-vane voltage, volt
  double r0 = 0.0;      // mean aperture, cm
  double mod = 0.0;     // modulation m
  double amin = 0.0;    // minimum aperture a = 2 r0/(m + 1), cm
  double zstart = 0.0;  // entrance from the RFQ entrance, cm
  std::int32_t type = 0;
  std::int32_t table = 0;  // number NN of the cell's table eh_EMS.#NN, 0 none
  std::array<double, 15> c{};  // c[7..14]
};

// Reference particle of every cell (energies keV/u, phases rad), the field
// along the requested line and the step apertures of the current cell.
struct RfqWork {
  std::vector<double> sync_W_in, sync_W_out, sync_ph_in, sync_ph_mid, sync_ph_out;  // 1..N
  // Rows 0..nstep: z in the cell, z from the RFQ entrance (cm), Ex, Ey, Ez (V/cm).
  std::vector<std::array<double, 5>> field_rec;
  std::vector<double> vane_apx, vane_apy;  // steps 1..nstep, cm
};

// The record of one rfq line.
struct RfqCellSet {
  std::int32_t line = 0;      // element line of the rfq line
  std::int32_t ncells = 0;    // N
  std::int32_t file_no = 1;   // NN
  double volt_kv = 0.0;       // P1, kV
  double R = 0.0;             // reference aperture radius, cm
  double phi0_deg = 0.0;      // P4 as written, deg
  double concave = 1.0;       // +1 or -1
  double length = 0.0;        // sum of the cell lengths, cm
  double pre_len = 0.0;       // fall and quadrupole cells before the regular section, cm
  std::int32_t n0 = 0;        // first cell of the accelerating section (entrance transition)
  std::int32_t ifirst = 0, ilast = 0;  // the regular section
  std::string file_name;      // the cell file as opened
  std::vector<RfqCell> cells; // 1..N (entry 0 unused)
  RfqBesselTable bessel;
  RfqWork work;
};

// Every RFQ of the lattice, by element line, and the one being run.
struct RfqLines {
  std::map<std::int32_t, RfqCellSet> by_line;
  std::int32_t current = 0;  // element line of the RFQ being run, 0 none
  std::int32_t rfq_mode = 2;  // 2 two-term cells, 8 all eight terms
};

// The cell file's line parsed: numbers c1..c14 (0 where the line holds
// none) and the table number of an eh_EM.#dd token (0 without one). A line
// over 160 characters, a token without two digits and a number that cannot
// be read stop the run naming file, line and text.
struct RfqCellLine {
  std::array<double, 15> c{};  // 1..14
  std::int32_t table = 0;
};
RfqCellLine parse_rfq_cell_line(const std::string& text, const std::string& file, int line_no);

// The derivations of a cell set whose cells are read (signs, normalisation,
// switches, positions, voltages, Bessel table). AijRFQ(1..6) multiply
// A03..A32 of the regular section. Degenerate cells stop the run naming the
// file and the cell.
void derive_rfq_cells(ElementsContext& sim, RfqCellSet& s, const std::array<double, 7>& AijRFQ);

// The current RFQ's record: a run that reaches here without one stops.
RfqCellSet& current_rfq(ElementsContext& sim);
const RfqCellSet& current_rfq(const ElementsContext& sim);

// The RFQ cell-file reader that the lattice reader calls for every rfq line.
// Reads rfq.#NN (NN = nn) from the table directory for the rfq line on
// element line `line`, whose values the lattice reader has just stored in
// sim.rfq (rfq_ncells, rfq_file_no, rfq_volt, rfq_R, rfq_phi0,
// rfq_concave), builds that line's own cell record and sets
// sim.rfq.rfq_length, the end of the last cell in cm.
void read_rfq_cells(ElementsContext& sim, std::int32_t line, std::int32_t nn);

}  // namespace linac
