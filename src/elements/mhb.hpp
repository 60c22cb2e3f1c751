// Multi-harmonic bunchers: one static electric field shape multiplied by a
// time factor built from several harmonics of the base frequency. mhb (type
// 10) has two harmonics and a cosine law, mhb4 (type 31) four, each with its
// own phase, and a sine law. The shape comes from the static 3-D table
// eh_EMS.#NN (IFLAG_MHB = 0) or, for mhb, from the r-z table MHBrz.#0N of
// E_r and E_z (IFLAG_MHB not 0); an mhb4 then has no field at all.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

#include "elements/rf_records.hpp"
#include "transport/field_tables.hpp"

namespace linac {

struct ElementsContext;

// The time factor of the harmonics at RF phase rf_phase + t (rad):
// cosine law (mhb)  sum_k amp_k cos(harm_k phi),
// sine law (mhb4)   sum_k amp_k sin(harm_k (hphase_k + phi)).
struct MhbHarmonics {
  int count = 0;  // 2 (mhb) or 4 (mhb4)
  bool sine = false;
  std::array<double, 4> amp{};
  std::array<double, 4> harm{};    // harmonic numbers as floating point
  std::array<double, 4> hphase{};  // rad
  double rf_phase = 0.0;           // rad

  double factor(double t) const {
    const double phi = rf_phase + t;
    double f = 0.0;
    for (int k = 0; k < count; ++k)
      f += sine ? amp[k] * std::sin(harm[k] * (hphase[k] + phi)) : amp[k] * std::cos(harm[k] * phi);
    return f;
  }
};

// The harmonics of the current element (itype 10 or 31) from mhb_data at the
// RF phase ref.elem_phase.
MhbHarmonics mhb_harmonics(const ElementsContext& sim);

// The r-z field (V/cm at unit amplitude) at (x, y, z) of the element frame,
// z from the entrance: zero outside 0 <= z <= L (nothing lost); lost at r >=
// aperture_r; otherwise the bilinear interpolation of the cell holding (z,
// r), the cell index clamped to the table so that z = L and r up to rmax
// read no node beyond it. E_r is split along x/r and y/r off the axis.
TableHit mhb_field_rz(const MhbRzTable& t, double L, double aperture_r, double rmax, double x,
                      double y, double z, Vec3& E);

// Field sources (see transport/field_at.hpp). B is 0 in all of them.
struct MhbRzSource {
  const MhbRzTable* table = nullptr;
  double L = 0.0, aperture_r = 0.0, rmax = 0.0;  // cm
  MhbHarmonics h;
  bool element_field(double x, double y, double z, double t, Vec3& E, Vec3& B) const {
    const TableHit hit = mhb_field_rz(*table, L, aperture_r, rmax, x, y, z, E);
    const double f = h.factor(t);
    for (int k = 0; k < 3; ++k) E[k] = f * E[k];
    B = {0.0, 0.0, 0.0};
    return hit != TableHit::lost;
  }
};

struct MhbTableSource {
  const Table3D* table = nullptr;
  StaticTableGeometry geom;
  MhbHarmonics h;
  bool element_field(double x, double y, double z, double t, Vec3& E, Vec3& B) const {
    const TableHit hit = field_table_a(*table, geom, x, y, z, E, B);
    const double f = h.factor(t);
    for (int k = 0; k < 3; ++k) E[k] = f * E[k];
    B = {0.0, 0.0, 0.0};
    return hit != TableHit::lost;
  }
};

// field_at of types 10 and 31: the field of the current multi-harmonic
// buncher (E, B as FieldAt gives them) and whether the point was inside.
bool mhb_field_at(ElementsContext& sim, double x, double y, double z, double t, Vec3& E, Vec3& B);

// MHBrz.#0N (N = n, 0..9) from the working directory, through the table
// cache, for the sizes mhb_nz x mhb_nr of mhb_data: pairs (E_r, E_z), z node
// outermost; numbers after the last pair are ignored. A file with fewer
// numbers stops the run naming the file and both counts.
void read_mhb_rz(ElementsContext& sim, std::int32_t n);

// On-axis variant of the buncher field, kept beside the r-z table though no
// lattice line selects it: MHB.#0N (N = n, 0..9) holds mhb_axis_n pairs (z,
// E_z on the axis) at equidistant points over the element length
// ref.elem_len. The reader takes the real Fourier series of the E_z values
// and rebuilds E and dE/dz at every point from harmonics 1..(n+1)/2 - 1 of
// the period P = n L/(n - 1) (an even count drops the Nyquist term); the
// result goes to mhb_data.axis through the table cache.
void read_mhb_axis(ElementsContext& sim, std::int32_t n);

// The paraxial field of an on-axis table at (x, y, z), z from the entrance:
// E_z the linear interpolation of E(z), E_r = -(r/2) times the linear
// interpolation of dE/dz (so that div E = 0 to first order in r), split
// along x/r and y/r. Lost outside 0 <= z <= L or at r >= aperture_r, with
// zero field.
TableHit mhb_field_axis(const MhbAxisTable& t, double aperture_r, double x, double y, double z,
                        Vec3& E);

// The drivers of an mhb and an mhb4 line (element line n).
void mhb_element(ElementsContext& sim, std::int32_t n);
void mhb4_element(ElementsContext& sim, std::int32_t n);

}  // namespace linac
