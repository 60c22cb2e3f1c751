// Charge deposition on the space-charge grid: cloud-in-cell weights of every
// live beam particle (status 0, slots 0..NPAT of every charge state; test
// particles carry no charge), giving the source term rho/eps0 in V/cm^2.
//
// Bit-identical for any thread count, without atomics or per-thread grids:
// the particles are sorted, in slot order, by the unit of their lower cell
// corner: in 3-D its z slab and a block of y rows, in 2-D its y row. A unit
// writes only its own slab (row) and the next one, within its rows and the
// row after them, so units of even slab and even block are deposited in
// parallel, then even slab and odd block, then the odd slabs alike (and,
// for an odd number of periodic planes, the last slab after the others,
// since it wraps into plane 0). Every node thus sums its contributions in
// the same order whatever the number of threads; the many small units let
// the threads share even a bunch that fills only a few slabs.
#pragma once

namespace linac {

struct SpaceChargeContext;
struct ScGrid;

// 3-D: all nodes of sc_grid3d := 0.
void sc_clear_3d(ScGrid& g);

// 3-D: the box of sim.sc_grid (frame, half sizes, mesh steps) is set and the
// grid cleared; the box centre has the RF phase centre_phase (rad).
// Deposits and applies the boundary treatment: wall nodes 0, plane NZ-1 :=
// plane 0.
void sc_deposit_3d(SpaceChargeContext& sim, double centre_phase);

// 2-D: line charge of the continuous beam, (1 - Cneutr) qmacro FREQB /
// (betaz c) per particle. Clears the grid, deposits, zeroes the walls.
void sc_deposit_2d(SpaceChargeContext& sim);

}  // namespace linac
