// Poisson solver of the space-charge grid. The potential is the exact
// solution of the discrete equation -Laplacian_h u = rho/eps0 with the
// 7-point (3-D) or 5-point (2-D) difference Laplacian, u = 0 on the four
// transverse walls and, in 3-D, periodic along z with nz1 planes: sine
// transforms along x and y, a real periodic FFT along z, division by the
// eigenvalues, and the inverse transforms.
//
// The transform lines are shared among threads in static, index-determined
// batches, each thread with its own tables; every line is computed by the
// same code whatever thread runs it, so the potential is bit-identical for
// any thread count.
#pragma once

#include "spacecharge/sc_grid.hpp"

namespace linac {

struct SpaceChargeContext;

// Builds the tables and sizes the grids for NX x NY (x NZ) nodes; the
// z tables only for the 3-D model. Node counts: NX, NY >= 4, NZ >= 2.
void sc_fft_init(ScGrid& g, int NX, int NY, int NZ, bool model_2d);
// The same for the run's node counts and model (NXGRD, NYGRD, NZGRD,
// IFLAG2D).
void sc_fft_init(SpaceChargeContext& sim);

// From the half sizes: mesh steps, interpolation offsets, node coordinates
// and scaled eigenvalues; the z quantities only in the 3-D model.
void sc_grid_setup(ScGrid& g);

// The source term in sc_grid3d (sc_grid2d) is replaced by the potential.
void sc_poisson_3d(ScGrid& g);
void sc_poisson_2d(ScGrid& g);

}  // namespace linac
