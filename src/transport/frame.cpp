#include "transport/frame.hpp"

#include <cmath>

#include "transport/transport_context.hpp"

namespace linac {

void reset_element_frame(TransportContext& sim, double z_origin) {
  Frame f;
  f.origin = {0.0, 0.0, z_origin};
  f.axes = kUnitMatrix3;
  sim.frame.entry = f;
  sim.frame.exit = f;
}

void start_pass_frame(TransportContext& sim) {
  reset_element_frame(sim, sim.ref.frame_z0);
  sim.ref.z_offset = 0.0;
}

void place_element(TransportContext& sim, double dx, double dz, double c, double s) {
  Misalign& m = sim.transport.misalign;
  m.place_disp = {dx, 0.0, dz};
  m.place_rot = {{{c, 0.0, -s}, {0.0, 1.0, 0.0}, {s, 0.0, c}}};

  // The previous exit becomes this element's entrance.
  sim.frame.entry = sim.frame.exit;
  const Frame& a1 = sim.frame.entry;
  Frame& a2 = sim.frame.exit;
  for (int k = 0; k < 3; ++k)
    a2.origin[k] = a1.origin[k] + a1.axes[0][k] * dx + a1.axes[2][k] * dz;
  // A2 = R A1, from the entrance axes (not from partly updated ones).
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k)
      a2.axes[i][k] = m.place_rot[i][0] * a1.axes[0][k] + m.place_rot[i][1] * a1.axes[1][k] +
                      m.place_rot[i][2] * a1.axes[2][k];

  m.chord_len = std::sqrt(dx * dx + dz * dz);

  // Error amplitudes from the align amplitudes TE1..TE7 of the element type.
  m.err_amp.fill(0.0);
  if (m.chord_len < kMinChord) return;
  const int t = sim.state.itype;
  if (t < 0 || t > kElementTypes) return;
  const auto& te = sim.type_rec.type_errors;
  const double a = te[0][t];
  const double b = te[1][t];
  m.err_amp[1] = a;  // x offset, cm
  m.err_amp[2] = a;  // y offset, cm
  m.err_amp[3] = b;  // z offset, cm
  // Tilt bound: the angle that moves one end by the largest offset relative to the other.
  m.err_amp[4] = 2.0 * std::sqrt(2.0 * a * a + b * b) / m.chord_len;
  m.err_amp[5] = m.err_amp[4];
  m.err_amp[6] = te[2][t];   // roll about z, rad
  m.err_amp[7] = te[3][t];   // normal phase error, rad
  m.err_amp[8] = te[4][t];   // normal relative field error
  m.err_amp[9] = te[5][t];   // uniform phase error, rad
  m.err_amp[10] = te[6][t];  // uniform relative field error
}

std::array<double, 3> lab_direction(const Frame& f, const std::array<double, 3>& v) {
  std::array<double, 3> r{};
  for (int l = 0; l < 3; ++l) r[l] = v[0] * f.axes[0][l] + v[1] * f.axes[1][l] + v[2] * f.axes[2][l];
  return r;
}

std::array<double, 3> lab_point(const Frame& f, const std::array<double, 3>& v) {
  std::array<double, 3> r{};
  for (int l = 0; l < 3; ++l)
    r[l] = f.origin[l] + (v[0] * f.axes[0][l] + v[1] * f.axes[1][l] + v[2] * f.axes[2][l]);
  return r;
}

}  // namespace linac
