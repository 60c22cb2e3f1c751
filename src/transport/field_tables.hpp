// Field tables: the 3-D tables of E and B on a rectangular grid (static
// tables eh_EMS.#NN, RF tables eh_MWS.#NN), the 2-D (u, z) tables of a
// lens in the text form of eh_EMS.#NN, the on-axis solenoid tables
// solenoid.#NN, and the one cache through which every table is loaded.
//
// Tables are immutable once read and shared: the run context keeps the table
// each kind of element uses now (field3d, the two 2-D slots, the axis table,
// the ebfld table) as shared pointers, and a cache keyed by the resolved file
// name, its size and modification time and what is read from it, so a file
// is read from disk once however many elements use it and however many
// passes run. A load that finds its table in the cache repeats every effect
// a read has on the run (APER/NCELLS, table_kind, IAXIAL, the solenoid
// listing, fort.137); a file replaced on disk is read again.
//
// The field routines here are pure functions of (table, scalars, point): they
// return E in V/cm and B in G for unit scale factors, and say whether the
// point was inside the aperture. Element scale factors, RF time dependence
// and the unit conversion of the equations of motion are applied by the
// field sources (transport/table_fields.hpp) and FieldAt.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/constants.hpp"
#include "transport/field_at.hpp"

namespace linac {

struct TransportContext;

// ---------------------------------------------------------------- 3-D tables

inline constexpr int kTableNx = 25;   // x nodes of a 3-D table
inline constexpr int kTableNy = 25;   // y nodes
inline constexpr int kTableNz = 201;  // z nodes
inline constexpr int kTableNodes = kTableNx * kTableNy * kTableNz;

// What every table file must give, checked when it is read (a file that
// breaks a rule stops the run naming the file, the record or line and the
// value):
// - grid nodes (3-D x, y, z; 2-D u and z) finite, within
//   |node| <= kTableMaxNodeCoordinate, strictly increasing with one
//   spacing h = node_2 - node_1 >= kTableMinNodeSpacing, every node k
//   within kTableNodeTolerance * max(h, |node_k|) of node_1 + (k - 1) h:
//   the interpolation places node k there, so a node off that point would
//   carry its field to the wrong place;
// - field values finite with |value| <= kTableMaxFieldValue (V/cm, G or the
//   table's own unit before the element's scale factor), also at nodes no
//   particle reaches.
// The bounds lie far outside any real map: 100 m of grid, 10 nm between
// nodes (offsets (x - x_1)/h of a point inside 1e4 cm stay below 1e10,
// where node numbers convert to integers exactly), fields 1e9 times the
// strongest of any accelerator. The node tolerance is seven orders above
// the rounding of nodes written as first + (last - first) k/(n - 1) in
// double precision, which stays below 1e-13 of the coordinate over 200
// steps.
inline constexpr double kTableMaxNodeCoordinate = 1e4;  // cm
inline constexpr double kTableMinNodeSpacing = 1e-6;    // cm
inline constexpr double kTableNodeTolerance = 1e-6;     // relative to max(h, |node|)
inline constexpr double kTableMaxFieldValue = 1e15;     // V/cm or G

// The first rule a run of grid nodes breaks: which node (0-based), its
// value and the rule as text; no fault when why is empty.
struct GridFault {
  int node = -1;
  double value = 0.0;
  std::string why;
  explicit operator bool() const { return !why.empty(); }
};
GridFault grid_fault(const double* nodes, int n);

// True when v is a field value a table may hold.
inline bool table_value_ok(double v) { return v >= -kTableMaxFieldValue && v <= kTableMaxFieldValue; }

// What a 3-D table holds: 0 E only, 1 B only, 2 E and B (table_kind).
inline constexpr int kKindE = 0;
inline constexpr int kKindB = 1;
inline constexpr int kKindEB = 2;

// One 3-D table. Nodes are equally spaced; z is measured from the middle of
// the element (or of the ebfld region). The node values are interleaved,
// [z][y][x][component], so the 19 nodes of one interpolation stencil cover
// about 20 cache lines for all components together. A table read as E only
// or B only holds those three components (ncomp = 3, first_comp 0 or 3).
struct Table3D {
  double head_1 = 0.0;       // first value of record 1 (not used)
  double head_2 = 0.0;       // second value of record 1: RF aperture radius, cm
  std::int32_t head_int = 0;  // integer of record 1: cells (RF) or the E+B flag (static)
  std::array<std::int32_t, 3> sym{};  // sym_x, sym_y, sym_z; 1 = mirrored half
  std::array<double, kTableNx> x{};   // cm
  std::array<double, kTableNy> y{};   // cm
  std::array<double, kTableNz> z{};   // cm, from the middle
  int ncomp = 6;       // components held per node: 3 or 6
  int first_comp = 0;  // component number of the first held: 0 (Ex) or 3 (Bx)
  std::vector<double> nodes;  // kTableNodes * ncomp values, V/cm and G
  // Spacings and their inverses, from the first two nodes, cm and 1/cm.
  double hx = 0.0, hy = 0.0, hz = 0.0;
  double inv_hx = 0.0, inv_hy = 0.0, inv_hz = 0.0;

  // Value of component c (0..5: Ex, Ey, Ez, Bx, By, Bz) at node (i, j, k),
  // 0-based; 0 for a component the table does not hold.
  double node(int c, int i, int j, int k) const;
  bool holds_e() const { return first_comp == 0; }
  bool holds_b() const { return first_comp + ncomp == 6; }
  // Sets the spacings from the node coordinates.
  void set_spacings();
};

// Sign changes of the mirrored components: sign[axis][component] for a
// point whose coordinate on that axis (x, y, dz) is negative while the
// table's flag for the axis is 1.
struct MirrorRules {
  std::array<std::array<double, 6>, 3> sign{};
  // The same as bit masks for the lockstep evaluation: flip[c][axis] is all
  // ones where sign[axis][c] < 0, else 0.
  std::array<std::array<long, 3>, 6> flip{};
};
// Rules of the static tables by (table_kind, table_sym); none for kind 2.
MirrorRules static_mirror_rules(int table_kind, int table_sym);

// Interpolation at a point in table coordinates (mirrored, z from the
// middle) by the 19-point second-order formula, which reproduces any
// quadratic of (x, y, z) exactly, also outside the grid. Writes E for kind
// 0, B for 1, both for 2, nothing for other kinds; components the table
// does not hold are 0.
void table_interp3d(const Table3D& t, int kind, double x, double y, double z, Vec3& E, Vec3& B);

// Outcome of a table evaluation.
enum class TableHit : int {
  outside = 0,  // outside the table's or the element's z range: no field, loss flag untouched
  inside = 1,   // inside the aperture (the loss flag of the run is cleared)
  lost = 2,     // outside the aperture: zero field
};

// What a static 3-D table evaluation needs besides the table.
struct StaticTableGeometry {
  double L = 0.0;       // element length, cm
  double aper_x = 0.0;  // aperture half sizes, cm: aper_y < 0 ellipse, > 0 rectangle, 0 none
  double aper_y = 0.0;
  int kind = kKindEB;   // table_kind
  MirrorRules mirror;
};

// The static table at (x, y, z) of the element frame (z from the entrance),
// unscaled.
TableHit field_table_a(const Table3D& t, const StaticTableGeometry& g, double x, double y,
                       double z, Vec3& E, Vec3& B);

// The RF table at (x, y, z): circular aperture aperture_r (a point on the
// circle is outside), RF mirror rules, both fields, unscaled.
TableHit rf_table_field(const Table3D& t, double L, double aperture_r, double x, double y,
                        double z, Vec3& E, Vec3& B);

// ---------------------------------------------------------------- 2-D tables

inline constexpr int kTable2DMaxNodes = 1000;     // nodes per coordinate
inline constexpr int kTable2DValues = 150000;     // values of both slots together

// A 2-D table: the transverse and the longitudinal component on a grid of
// one transverse coordinate u and z; z measured from the first row, which
// lies at the element's entrance.
struct Table2D {
  double u1 = 0.0, du = 0.0, u_last = 0.0;  // cm
  double z1 = 0.0, hz = 0.0, z_last = 0.0;  // cm
  int nu = 0, nz = 0;
  int coord = 3;       // transverse coordinate: 1 x, 2 y, 3 r
  int field_kind = 1;  // 1 electric (V/cm), 2 magnetic (G)
  // Component c (0 transverse, 1 longitudinal) at node (a, b), 0-based:
  // values[c * nu * nz + b * nu + a].
  std::vector<double> values;
  double at(int c, int a, int b) const {
    return values[static_cast<std::size_t>(c) * nu * nz + static_cast<std::size_t>(b) * nu + a];
  }
  int footprint() const { return 2 * nu * nz; }  // values it takes of the shared capacity
};

// The transverse (f1) and longitudinal (f2) value at (z, u).
void table2d_interp(const Table2D& t, double z, double u, double& f1, double& f2);

// The 2-D table at (x, y, z) of the element frame: zero outside 0 <= z <=
// L; outside the aperture radius lost; outside the table's range no field.
TableHit table2d_field(const Table2D& t, double L, double aperture_r, double x, double y,
                       double z, Vec3& E, Vec3& B);

// ---------------------------------------------------------------- solenoid

inline constexpr int kAxisSamples = 800;  // samples of an on-axis table
inline constexpr int kAxisHarmonics = 29;  // harmonics of the derivative columns

// An on-axis solenoid table prepared for the element length L: samples at
// z_i = (i - 1) L/(nbz - 1), and at each the field and its first four z
// derivatives from the Fourier series of the samples.
struct AxisTable {
  double L = 0.0;  // element length the table was prepared for, cm
  int nbz = 0;     // samples (odd after preparation)
  std::vector<double> samples;  // as read, or resampled when the count was even
  std::array<std::vector<double>, 5> col;  // B, B', B'', B''', B'''' per sample (per cm^k)
  double Bmax = 0.0;     // the sample of largest magnitude, with its sign
  double heff_B1 = 0.0;  // |integral of B| / Bmax, cm
  double heff_B2 = 0.0;  // integral of B^2 / Bmax^2, cm
  double a0 = 0.0;
  std::vector<double> a, b;  // cosine and sine coefficients of harmonics 1..(nbz-1)/2
};

// Prepares the series and the columns from t.samples and t.L (an even
// count is resampled to one more; the raw samples are returned in
// `raw_even` for fort.137).
void solenoid_table_derivs(TransportContext& sim, AxisTable& t, std::vector<double>& raw_even);

// The solenoid field (unit scale) at (x, y, z) by the paraxial expansion to
// fourth order in r, interpolated linearly between samples; zero outside
// the closed interval 0 <= z <= L, lost at r >= aperture_r.
TableHit sol_field(const AxisTable& t, double L, double aperture_r, double x, double y, double z,
                   Vec3& B);

// Not called by the run. The Fourier series of a prepared table at z (cm
// from the entrance) with all its (nbz - 1)/2 harmonics: B(z) = a0 + sum
// (a_k cos(w_k z) + b_k sin(w_k z)), w_k = 2 pi k / P, P = nbz L/(nbz - 1);
// it passes through every sample and repeats with the period P.
double solenoid_series_field(const AxisTable& t, double z);

// ---------------------------------------------------------------- ebfld

// The superimposed field of the ebfld command.
struct EbfldGeom {
  double ebfld_escale = 0.0;  // factor on E
  double ebfld_bscale = 0.0;  // factor on B
  double ebfld_len = 0.0;     // length of the region, cm
  double ebfld_radius = 0.0;  // radius of the region, cm
  double ebfld_z0 = 0.0;      // lab z where the region starts, cm
};

// The superimposed field at (x, y) and distance zz from the region's start,
// unscaled: zero outside 0 <= zz <= len, r < radius and the table's z range.
void ebfld_field(const Table3D& t, const EbfldGeom& g, double x, double y, double zz, Vec3& E,
                 Vec3& B);

// ---------------------------------------------------------------- the run's tables

// One file read into the cache.
struct CachedTable {
  std::uintmax_t size = 0;
  std::filesystem::file_time_type mtime{};
  std::shared_ptr<const Table3D> t3;
  std::shared_ptr<const Table2D> t2;
  std::shared_ptr<const AxisTable> axis;
  std::vector<double> raw_even;  // solenoid samples of an even count (fort.137)
  // A table of a reader outside this file (the r-z table of a
  // multi-harmonic buncher), held as that reader built it.
  std::shared_ptr<const void> other;
};

// What an element type's table number names (table_cache): the number and
// the tables it loaded.
struct TypeTable {
  std::int32_t number = 0;
  double L = 0.0;  // element length of a solenoid table, cm
  std::int32_t iaxial = 0;
  std::shared_ptr<const Table3D> t3;
  std::shared_ptr<const Table2D> t2;
  std::shared_ptr<const AxisTable> axis;
};

struct FieldTables {
  std::shared_ptr<const Table3D> field3d;                 // the main 3-D table: last loaded
  std::array<std::shared_ptr<const Table2D>, 3> table2d;  // 2-D slots 1 and 2
  std::shared_ptr<const AxisTable> axis_table;            // on-axis solenoid table
  std::shared_ptr<const Table3D> ebfld_table;             // the superimposed table
  EbfldGeom ebfld_geom;
  std::array<TypeTable, kElementTypes + 1> by_type;       // table_cache with its tables
  std::map<std::string, CachedTable> cache;               // by file, size, time and what is read
  std::int64_t disk_reads = 0;   // files read from disk
  std::int64_t bytes_read = 0;   // their bytes
};

// The readers. Each builds the file name from its stem and the two digits of
// n (0..99) with the TABLE_DIR prefix, opens it read-only (a missing file is
// named, never created) and loads it through the cache; a file that breaks
// the rules of every table (above) stops the run before any of it is used.

// eh_MWS.#NN into field3d; APER(n) and NCELLS(n) from its header.
void read_eh_MWS(TransportContext& sim, std::int32_t n);
// eh_EMS.#NN: the 2-D text form into slot 1 with IAXIAL := 1, otherwise the
// components of table_kind (raised to 2 by the file's flag) into field3d.
void read_eh_EMS(TransportContext& sim, std::int32_t n);
// The 2-D text table eh_EMS.#NN into slot m (1 or 2).
void read_2Dtable(TransportContext& sim, std::int32_t n, std::int32_t m);
// solenoid.#NN prepared for length L into the axis table.
void read_solenoid_table(TransportContext& sim, double L, std::int32_t n);
// eh_EMS.#NN from the working directory, all six components, for ebfld
// (NN the digits of |n|).
std::shared_ptr<const Table3D> read_ebfld_table(TransportContext& sim, std::int32_t n);

// table_cache of element type itype: true when n (> 0) is the number the
// type loaded last (and, for a solenoid, for the same length L); the tables
// it loaded then are made current again. Otherwise false: the caller loads
// and calls remember_type_table.
bool recall_type_table(TransportContext& sim, int itype, std::int32_t n, double L = 0.0);
// table_cache(itype) := n with the tables loaded now.
void remember_type_table(TransportContext& sim, int itype, std::int32_t n, double L = 0.0);

// A table of a reader outside this file through the cache: the table read
// before from this very file under the same key `what`, else read() stored
// as read from disk now. `name` is opened as given (a missing file is named,
// never created).
std::shared_ptr<const void> load_through_cache(
    TransportContext& sim, const std::string& name, const std::string& what,
    const std::function<std::shared_ptr<const void>()>& read);

// The name of table n with stem ("eh_EMS.#") and the TABLE_DIR prefix.
std::string table_file_name(const TransportContext& sim, const char* stem, std::int32_t n);

}  // namespace linac
