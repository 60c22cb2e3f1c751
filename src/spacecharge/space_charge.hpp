// The space-charge step of the element drivers: space_charge(k) builds the
// beam's self field of integration step k (box around the reference, charge
// deposition, Poisson solve, mesh check and the requested outputs), and
// sc_kick(ds) applies it over a step of length ds in the 3-D model. In the
// 2-D model the field enters every field evaluation instead (field_at).
#pragma once

namespace linac {

struct SpaceChargeContext;

void space_charge(SpaceChargeContext& sim, int k);
void sc_kick(SpaceChargeContext& sim, double ds);

// The rest-frame distance zr (cm) from the box centre brought into the box
// of half length half: with a box of whole bunch periods by the box length
// 2 half (always inside); otherwise by the first of the periodic images
// zr + 2 half m (m = 0, -1, 1, ... -5, 5) strictly inside. False when none
// lies inside.
bool sc_image_in_box(double zr, double half, bool full_period, double& z);

}  // namespace linac
