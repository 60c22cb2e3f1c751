// The node of a uniform grid that a coordinate falls on, as an index that
// stays inside the grid for every value the coordinate can take.
#pragma once

namespace linac {

// The integer part of d (a coordinate in units of the grid step, measured
// from a node) kept within [lo, hi]. The limits are applied in double before
// the conversion, so an infinite or huge d (a grid step that underflowed, a
// particle far outside) cannot overflow the integer; a NaN takes hi. For
// finite d inside the limits the result is static_cast<int>(d), and outside
// them it is the limit, exactly as limiting the converted integer would give.
// Comparisons rather than calls: they compile to min/max instructions in the
// particle loops.
inline int clamped_index(double d, int lo, int hi) {
  const double h = static_cast<double>(hi);
  const double l = static_cast<double>(lo);
  d = d < h ? d : h;
  d = d > l ? d : l;
  return static_cast<int>(d);
}

}  // namespace linac
