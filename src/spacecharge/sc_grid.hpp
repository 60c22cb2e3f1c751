// The space-charge record: the box of the current integration step, the
// node grids (source term rho/eps0 in V/cm^2 after the deposition, the
// potential in V after the solve), the transform tables of the Poisson
// solver with one workspace per thread, and the mesh-check state.
//
// Nodes are counted from 0 here: node 0 lies on the lower face of the box,
// node N-1 on the upper face. The 3-D grid is stored x fastest, then y,
// then z; the 2-D grid x fastest. Both are sized to the node counts by
// sc_fft_init.
#pragma once

#include <cstdint>
#include <vector>

#include "numerics/fft.hpp"
#include "numerics/sine_transform.hpp"

namespace linac {

// Transform tables of one thread: their scratch is single-user, so every
// thread of a solve works with its own copy.
struct ScThreadTables {
  SineTable sin_x;    // nx2 points
  SineTable sin_y;    // ny2 points
  RealFftTable fft_z; // nz1 points (3-D only)
};

// One located particle as the deposition reads it.
struct ScDepositRecord {
  double ax, ay, az;  // fractions in the cell, 0 <= a < 1
  double charge;      // source term per unit weight, V/cm^2
  std::int32_t cell;  // linear index of the lower corner
  std::int32_t key;   // deposition unit of the cell, -1: not deposited
};

// Per-particle scratch of the deposition, reused from step to step: every
// particle slot located (cell, fractions, unit), and the deposited ones
// sorted by unit. A unit is a z slab (lower-corner plane) and a block of y
// rows of it in 3-D, a y row in 2-D.
struct ScDepositScratch {
  std::vector<ScDepositRecord> located;  // by flat slot index
  std::vector<ScDepositRecord> sorted;   // by unit, slot order within a unit
  std::vector<std::int32_t> start;  // first entry of each unit in sorted, one past the end last
  std::vector<std::int32_t> chunk_counts;  // counts, then offsets, per (chunk, unit)
};

struct ScGrid {
  // Node counts the tables and grids were built for, and the model.
  int NX = 0, NY = 0, NZ = 0;
  int nx1 = 0, ny1 = 0, nz1 = 0;  // cells per direction
  int nx2 = 0, ny2 = 0, nz2 = 0;  // interior nodes per direction
  bool model_2d = false;

  // Frame of the current step (3-D).
  double gamma_sc = 1.0, beta_sc = 0.0;
  // Box: half sizes, mesh steps and interpolation offsets, cm (z in the
  // rest frame).
  double sc_half_x = 0.0, sc_half_y = 0.0, sc_half_z = 0.0;
  double sc_hx = 0.0, sc_hy = 0.0, sc_hz = 0.0;
  double sc_x0 = 0.0, sc_y0 = 0.0, sc_z0 = 0.0;
  // Reciprocal mesh steps (1/cm) and the coefficients of the central
  // differences of the interpolation: 1/(2h) (1/cm), 1/h^2 and the mixed
  // 1/(4 h_a h_b) (1/cm^2). Set with the mesh steps, so that no particle
  // loop divides.
  double sc_inv_hx = 0.0, sc_inv_hy = 0.0, sc_inv_hz = 0.0;
  double sc_d1x = 0.0, sc_d1y = 0.0, sc_d1z = 0.0;
  double sc_d2x = 0.0, sc_d2y = 0.0, sc_d2z = 0.0;
  double sc_dxy = 0.0, sc_dxz = 0.0, sc_dyz = 0.0;
  // True when the box spans whole bunch periods (not cut to zlhSC rms
  // phase spreads): particles are then wrapped into it by the box length.
  bool full_period = true;
  std::vector<double> sc_xn, sc_yn, sc_zn;  // node coordinates, cm
  // Rms beam sizes of the mesh check, cm (z in the rest frame).
  double sc_rms_x = 0.0, sc_rms_y = 0.0, sc_rms_z = 0.0;

  std::vector<double> sc_grid3d;  // NX NY NZ values
  std::vector<double> sc_grid2d;  // NX NY values

  // Mesh class of the last check: -1 coarse, 0 normal, 1 fine; and -1 once
  // any check found a coarse mesh.
  std::int32_t sc_mesh_state = 0;
  std::int32_t sc_coarse_seen = 0;
  double sc_z_step = 0.0;  // lab path position of the start of the step, cm

  // Transform tables: sines of the modes, the normalisation of the
  // unnormalised transforms, and the eigenvalues times the normalisation.
  std::vector<double> sc_sin_x, sc_sin_y, sc_sin_z;
  double sc_norm = 0.0;
  std::vector<double> sc_kx2, sc_ky2, sc_kz2;
  std::vector<ScThreadTables> tables;  // one per thread of the solve

  double c_axe_rest = 0.0;  // rest-frame third semi-axis of the ellipsoid comparison, cm

  ScDepositScratch deposit;
};

}  // namespace linac
