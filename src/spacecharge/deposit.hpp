// Charge deposition on the space-charge grid: cloud-in-cell weights of every
// live beam particle (status 0, slots 0..NPAT of every charge state; test
// particles carry no charge), giving the source term rho/eps0 in V/cm^2.
//
// Bit-identical for any thread count, without atomics or per-thread grids:
// the particles are sorted by the slab of their lower cell corner (z plane
// in 3-D, y row in 2-D) in slot order; a slab writes only its own plane and
// the next one, so the even slabs are deposited in parallel, then the odd
// ones (and, for an odd number of periodic planes, the last slab alone,
// since it wraps into plane 0). Every node thus sums its contributions in
// the same order whatever the number of threads.
#pragma once

namespace linac {

struct Sim;
struct ScGrid;

// 3-D: all nodes of sc_grid3d := 0.
void sc_clear_3d(ScGrid& g);

// 3-D: the box of sim.sc_grid (frame, half sizes, mesh steps) is set and the
// grid cleared; the box centre has the RF phase centre_phase (rad).
// Deposits and applies the boundary treatment: wall nodes 0, plane NZ-1 :=
// plane 0.
void sc_deposit_3d(Sim& sim, double centre_phase);

// 2-D: line charge of the continuous beam, (1 - Cneutr) qmacro FREQB /
// (betaz c) per particle. Clears the grid, deposits, zeroes the walls.
void sc_deposit_2d(Sim& sim);

}  // namespace linac
