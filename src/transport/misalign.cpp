#include "transport/misalign.hpp"

#include <cmath>
#include <optional>

#include <fmt/format.h>

#include "transport/transport_context.hpp"
#include "numerics/deviates.hpp"
#include "numerics/random.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "transport/push_z.hpp"
#include "transport/seams.hpp"

namespace linac {

namespace {

// Draws of the six offsets and rotations of one position before the
// rejection gives up: a draw inside the bounds has a probability of order
// one for any element whose amplitudes come from the align command.
constexpr long kMaxRedraws = 1000000;

// Below this many slots a charge state is moved by one thread.
constexpr int kMinParallelMoveSlots = 2048;

bool is_identity(const Misalign& m, bool entrance) {
  const auto& off = entrance ? m.off_in : m.off_out;
  const auto& rot = entrance ? m.rot_in : m.rot_out;
  return off[0] == 0.0 && off[1] == 0.0 && off[2] == 0.0 && rot == kUnitMatrix3;
}

// The offsets and rotations of the current position from the deviates
// u1..u6 of elem_err and the amplitudes, with the exit values.
void apply_offset_deviates(Misalign& m, const std::array<double, kElemErr + 1>& u) {
  for (int i = 0; i < 3; ++i) {
    m.off_in[i] = (1.0 - 2.0 * u[i + 1]) * m.err_amp[i + 1];
    m.ang_in[i] = (1.0 - 2.0 * u[i + 4]) * m.err_amp[i + 4];
  }
  const MisalignRotations r = misalign_rotations(m.off_in, m.ang_in, m.place_disp, m.place_rot);
  m.rot_in = r.rot_in;
  m.rot_out = r.rot_out;
  m.off_out = r.off_out;
  m.ang_out = r.ang_out;
}

// The listing of every repeated draw of the first seed, r_in.dat and
// r_out.dat (entrance and exit offsets in cm and rotations in mrad).
struct DrawListing {
  TextOut in;
  TextOut out;
  explicit DrawListing(const Units& units) : in(units, "r_in.dat"), out(units, "r_out.dat") {
    in.write(format_records("(6A15)", {"    Xin[cm]    ", "    Yin[cm]    ", "    Zin[cm]    ",
                                       "    RXin[mrad] ", "    RYin[mrad] ", "    RZin[mrad] "}));
    out.write(format_records("(6A15)", {"    Xout[cm]   ", "    Yout[cm]   ", "    Zout[cm]   ",
                                        "    RXout[mrad]", "    RYout[mrad]", "    RZout[mrad]"}));
  }
  void row(const Misalign& m) {
    in.write(format_records("(6D15.5)", {m.off_in[0], m.off_in[1], m.off_in[2], 1000.0 * m.ang_in[0],
                                         1000.0 * m.ang_in[1], 1000.0 * m.ang_in[2]}));
    out.write(format_records("(6D15.5)", {m.off_out[0], m.off_out[1], m.off_out[2], 1000.0 * m.ang_out[0],
                                          1000.0 * m.ang_out[1], 1000.0 * m.ang_out[2]}));
  }
};

// A draw whose exit point or exit roll leaves the amplitudes is redrawn.
bool outside_exit_bounds(const Misalign& m) {
  for (int i = 0; i < 3; ++i)
    if (m.err_amp[i + 1] > 0.0 && std::abs(m.off_out[i]) > m.err_amp[i + 1]) return true;
  return m.err_amp[6] > 0.0 && std::abs(m.ang_out[2]) > m.err_amp[6];
}

// Runs body(view, i) for every live slot (status >= 0, test particles
// included) of every charge state, OpenMP over the slots with a static
// schedule; each iteration touches its own slot only.
template <class Body>
void for_each_live_slot(TransportContext& sim, const Body& body) {
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    const SlotView v = slot_view(sim, iq);
    const std::int32_t* status = sim.particles.status[iq];
    const int last = last_slot(sim, iq);
#pragma omp parallel for schedule(static) if (last + 1 >= kMinParallelMoveSlots)
    for (int i = 0; i <= last; ++i)
      if (status[i] >= 0) body(v, i);
  }
}

}  // namespace

MisalignRotations misalign_rotations(const std::array<double, 3>& off_in,
                                     const std::array<double, 3>& ang_in,
                                     const std::array<double, 3>& place_disp,
                                     const Matrix3& place_rot) {
  MisalignRotations r;
  const double c1 = std::cos(ang_in[0]), s1 = std::sin(ang_in[0]);
  const double c2 = std::cos(ang_in[1]), s2 = std::sin(ang_in[1]);
  const double c3 = std::cos(ang_in[2]), s3 = std::sin(ang_in[2]);
  // Q: rotation about x by a1, then about y by a2, then about z by a3.
  Matrix3& Q = r.rot_in;
  Q[0] = {c2 * c3, c2 * s3, -s2};
  Q[1] = {s1 * s2 * c3 - c1 * s3, c1 * c3 + s1 * s2 * s3, s1 * c2};
  Q[2] = {s1 * s3 + c1 * s2 * c3, c1 * s2 * s3 - s1 * c3, c1 * c2};
  const Matrix3& R = place_rot;
  // P = R Q R^T: the same turn seen in the exit frame.
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double p = 0.0;
      for (int m = 0; m < 3; ++m)
        for (int n = 0; n < 3; ++n) p += R[i][m] * Q[m][n] * R[j][n];
      r.rot_out[i][j] = p;
    }
  // Exit point of the element turned by Q about its displaced entrance,
  // relative to the nominal exit point: v = e + (Q^T - I) D, then R v.
  std::array<double, 3> v{};
  for (int i = 0; i < 3; ++i) {
    double s = off_in[i];
    for (int m = 0; m < 3; ++m) s += (Q[m][i] - (m == i ? 1.0 : 0.0)) * place_disp[m];
    v[i] = s;
  }
  for (int i = 0; i < 3; ++i) r.off_out[i] = R[i][0] * v[0] + R[i][1] * v[1] + R[i][2] * v[2];
  const Matrix3& P = r.rot_out;
  r.ang_out[1] = -std::asin(P[0][2]);
  const double cb = std::cos(r.ang_out[1]);
  r.ang_out[0] = std::asin(P[1][2] / cb);
  r.ang_out[2] = std::asin(P[0][1] / cb);
  return r;
}

void misalign_identity(TransportContext& sim) {
  Misalign& m = sim.transport.misalign;
  m.off_in = {0.0, 0.0, 0.0};
  m.off_out = {0.0, 0.0, 0.0};
  m.ang_in = {0.0, 0.0, 0.0};
  m.ang_out = {0.0, 0.0, 0.0};
  m.rot_in = kUnitMatrix3;
  m.rot_out = kUnitMatrix3;
  m.phase_error = m.phase_err_unif = m.phase_err_norm = 0.0;
  m.rel_field_error = m.field_err_unif = m.field_err_norm = 0.0;
}

void misalign_reuse(TransportContext& sim) {
  misalign_identity(sim);
  Misalign& m = sim.transport.misalign;
  if (sim.state.ipass == 1 || sim.state.itype == 0 || m.chord_len < kMinChord) return;
  const auto& u = sim.elements.elem_err[static_cast<std::size_t>(sim.state.ipos)];
  apply_offset_deviates(m, u);
  m.phase_err_norm = m.err_amp[7] * u[7];
  m.field_err_norm = m.err_amp[8] * u[8];
  m.phase_err_unif = (1.0 - 2.0 * u[9]) * m.err_amp[9];
  m.field_err_unif = (1.0 - 2.0 * u[10]) * m.err_amp[10];
  m.phase_error = m.phase_err_unif + m.phase_err_norm;
  m.rel_field_error = m.field_err_unif + m.field_err_norm;
}

void misalign_draw(TransportContext& sim) {
  RunConfig& c = sim.config;
  Misalign& m = sim.transport.misalign;
  const std::int32_t pos = sim.state.ipos;
  auto& err = sim.elements.elem_err[static_cast<std::size_t>(pos)];
  // Repeated draws are listed in the first seed only; the listing files are
  // closed and the repetition count reset on every way out.
  std::optional<DrawListing> listing;
  if (sim.state.iseed == c.NRZ_MIN && c.ndraw > 1) listing.emplace(sim.units);
  struct ResetCount {
    std::int32_t& ndraw;
    ~ResetCount() {
      if (ndraw > 1) ndraw = 1;
    }
  } reset{c.ndraw};

  for (std::int32_t rep = 1; rep <= c.ndraw; ++rep) {
    // Normal pair within [-3, 3]; a rejected second deviate redraws both.
    for (;;) {
      double n7 = 0.0;
      do DRNNOA(sim, 1, &n7);
      while (std::abs(n7) > 3.0);
      err[7] = n7;
      double n8 = 0.0;
      DRNNOA(sim, 1, &n8);
      if (std::abs(n8) > 3.0) continue;
      err[8] = n8;
      break;
    }
    double u2[2];
    dRNUN(sim, 2, u2);
    err[9] = u2[0];
    err[10] = u2[1];
    // An element without length gets no offsets or tilts.
    if (m.chord_len < kMinChord) return;
    for (long draws = 0;; ++draws) {
      if (draws == kMaxRedraws)
        fatal({fmt::format(" {}: no misalignment keeps the exit within the amplitudes after {} draws",
                           element_label(sim, pos), kMaxRedraws),
               fmt::format(" offsets x, y {} cm, z {} cm; tilt bound {} rad; roll {} rad", m.err_amp[1],
                           m.err_amp[3], m.err_amp[4], m.err_amp[6])},
              true);
      double u6[6];
      dRNUN(sim, 6, u6);
      for (int k = 0; k < 6; ++k) err[k + 1] = u6[k];
      apply_offset_deviates(m, err);
      if (!outside_exit_bounds(m)) break;
    }
    if (listing) listing->row(m);
  }
}

void misalign_in(TransportContext& sim) {
  const Misalign& m = sim.transport.misalign;
  const bool move = sim.state.ipass == 2 && !is_identity(m, true);
  const Matrix3 Q = m.rot_in;
  const std::array<double, 3> e = m.off_in;
  const double wl = sim.ref.wavelength_2pi;
  for_each_live_slot(sim, [&](const SlotView& p, int i) {
    if (move) {
      const double X = p.x[i] - e[0];
      const double Y = p.y[i] - e[1];
      const double Z = -e[2];  // the particle stands at z = 0 of the nominal entrance
      const double xn = Q[0][0] * X + Q[0][1] * Y + Q[0][2] * Z;
      const double yn = Q[1][0] * X + Q[1][1] * Y + Q[1][2] * Z;
      const double zn = Q[2][0] * X + Q[2][1] * Y + Q[2][2] * Z;
      const double xp = p.xp[i], yp = p.yp[i];
      const double den = Q[2][0] * xp + Q[2][1] * yp + Q[2][2];
      const double xpn = (Q[0][0] * xp + Q[0][1] * yp + Q[0][2]) / den;
      const double ypn = (Q[1][0] * xp + Q[1][1] * yp + Q[1][2]) / den;
      // Along the straight line to the plane zn = 0: a move of -zn in z,
      // a path of -zn S, which the phase advances by.
      p.x[i] = xn - xpn * zn;
      p.y[i] = yn - ypn * zn;
      p.xp[i] = xpn;
      p.yp[i] = ypn;
      const double S = std::sqrt(1.0 + xpn * xpn + ypn * ypn);
      p.phase[i] = p.phase[i] - zn * S / (wl * p.beta[i]);
    }
    p.z[i] = 0.0;
  });
}

void misalign_out(TransportContext& sim) {
  const Misalign& m = sim.transport.misalign;
  const bool move = sim.state.ipass == 2 && !is_identity(m, false);
  const Matrix3 P = m.rot_out;
  const std::array<double, 3> w = m.off_out;
  const double wl = sim.ref.wavelength_2pi;
  const bool relative = sim.state.iflag_chain == 0;
  const double phase_out = sim.history.ref_phase_out[static_cast<std::size_t>(sim.state.ipos)];
  for_each_live_slot(sim, [&](const SlotView& p, int i) {
    if (move) {
      // The exit point (x, y, 0) of the misaligned element in the nominal
      // exit frame.
      const double x = p.x[i], y = p.y[i];
      const double xo = P[0][0] * x + P[1][0] * y + w[0];
      const double yo = P[0][1] * x + P[1][1] * y + w[1];
      const double zo = P[0][2] * x + P[1][2] * y + w[2];
      const double xp = p.xp[i], yp = p.yp[i];
      const double den = P[0][2] * xp + P[1][2] * yp + P[2][2];
      const double xpn = (P[0][0] * xp + P[1][0] * yp + P[2][0]) / den;
      const double ypn = (P[0][1] * xp + P[1][1] * yp + P[2][1]) / den;
      p.x[i] = xo - xpn * zo;
      p.y[i] = yo - ypn * zo;
      p.xp[i] = xpn;
      p.yp[i] = ypn;
      const double S = std::sqrt(1.0 + xpn * xpn + ypn * ypn);
      p.phase[i] = p.phase[i] - zo * S / (wl * p.beta[i]);
    }
    p.z[i] = 0.0;
    if (relative) p.phase[i] = p.phase[i] - phase_out;
  });
}

}  // namespace linac
