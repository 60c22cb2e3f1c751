#include "elements/rfq/rfq_field.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "elements/elements_context.hpp"
#include "common/unit_numbers.hpp"
#include "transport/seams.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"

namespace linac {

namespace {

// Cos^3 transitions span sqrt(3)/2 of the cell.
constexpr double kCos3Zone = 0.8660254037844386;
// The A32 azimuthal term's factor (4 to five figures).
constexpr double kA32Factor = 1.33333;

// Multiple angles by products.
struct Angles {
  double C2, S2, C4, S4, C6, S6;
  explicit Angles(const RfqPolar& p) {
    C2 = p.c * p.c - p.s * p.s;
    S2 = 2.0 * p.s * p.c;
    C4 = C2 * C2 - S2 * S2;
    S4 = 2.0 * S2 * C2;
    C6 = C4 * C2 - S4 * S2;
    S6 = S4 * C2 + C4 * S2;
  }
};

}  // namespace

bool RfqRegular8::field(double x, double y, double z, Vec3& E) const {
  const RfqPolar p(x, y);
  const Angles a(p);
  const double Vh = 0.5 * V;
  const double r = p.r;
  const double kr = k * r;
  const RfqBessel b = rfq_bessel_interp(*bessel, kr, 8);
  double c1 = 0.0, s1 = 0.0;
  trig.at(k, z, c1, s1);
  const double c2 = c1 * c1 - s1 * s1;
  const double s2 = 2.0 * c1 * s1;
  const double c3 = c2 * c1 - s2 * s1;
  const double s3 = s2 * c1 + c2 * s1;
  const double r02 = r0 * r0;
  const double r5 = r * r * r * r * r;
  const double r06 = r02 * r02 * r02;
  const auto& B1 = b.B1;
  const auto& B2 = b.B2;
  const auto& B3 = b.B3;
  double Er = -V * A01 * r * a.C2 / r02;
  double Et = V * A01 * r * a.S2 / r02;
  double Ez = 0.0;
  // A10
  Er += -k * Vh * A10 * B1[1] * c1;
  Ez += k * Vh * A10 * B1[0] * s1;
  // A03
  Er += -6.0 * Vh * A03 * r5 * a.C6 / r06;
  Et += 6.0 * Vh * A03 * r5 * a.S6 / r06;
  // A12
  Er += -k * Vh * A12 * ((B1[3] + B1[5]) / 2.0) * a.C4 * c1;
  Et += 4.0 * k * Vh * A12 * (B1[4] / kr) * a.S4 * c1;
  Ez += k * Vh * A12 * B1[4] * a.C4 * s1;
  // A21
  Er += -2.0 * k * Vh * A21 * ((B2[1] + B2[3]) / 2.0) * a.C2 * c2;
  Et += 2.0 * k * Vh * A21 * (B2[2] / kr) * a.S2 * c2;
  Ez += 2.0 * k * Vh * A21 * B2[2] * a.C2 * s2;
  // A23
  Er += -2.0 * k * Vh * A23 * ((B2[5] + B2[7]) / 2.0) * a.C6 * c2;
  Et += 3.0 * 2.0 * k * Vh * A23 * (B2[6] / kr) * a.S6 * c2;
  Ez += 2.0 * k * Vh * A23 * B2[6] * a.C6 * s2;
  // A30
  Er += -3.0 * k * Vh * A30 * B3[1] * c3;
  Ez += 3.0 * k * Vh * A30 * B3[0] * s3;
  // A32
  Er += -3.0 * k * Vh * A32 * ((B3[3] + B3[5]) / 2.0) * a.C4 * c3;
  Et += kA32Factor * 3.0 * k * Vh * A32 * (B3[4] / kr) * a.S4 * c3;
  Ez += 3.0 * k * Vh * A32 * B3[4] * a.C4 * s3;
  p.to_xy(Er, Et, Ez, E);
  return true;
}

bool RfqFall::field(double x, double y, double z, Vec3& E) const {
  const RfqPolar p(x, y);
  const Angles a(p);
  const double Vh = 0.5 * V;
  const double zp = dir > 0 ? z : L - z;
  const double zend = std::min(L, zb + D);
  const double kappa = kPi / D;
  // Strength profile F and its derivatives F' .. F''''' in z'.
  double F[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  if (zp <= zb) {
    F[0] = 1.0;
  } else if (zp < zend) {
    const double phi = kappa * (zp - zb);
    const double c = std::cos(phi);
    const double s = std::sin(phi);
    const double k2 = kappa * kappa;
    F[0] = (1.0 + c) / 2.0;
    F[1] = -(kappa / 2.0) * s;
    F[2] = -(k2 / 2.0) * c;
    F[3] = (k2 * kappa / 2.0) * s;
    F[4] = (k2 * k2 / 2.0) * c;
    F[5] = -(k2 * k2 * kappa / 2.0) * s;
  }
  const double r = p.r;
  const double r2 = r * r;
  const double r4 = r2 * r2;
  const double Q = V * A01 * r / (r0 * r0);
  double Er = -Q * a.C2 * (F[0] - 2.0 * r2 * F[2] / 12.0 + 3.0 * r4 * F[4] / 384.0);
  double Et = Q * a.S2 * (F[0] - r2 * F[2] / 12.0 + r4 * F[4] / 384.0);
  double Ez = -(Q * r / 2.0) * a.C2 * (F[1] - r2 * F[3] / 12.0 + r4 * F[5] / 384.0);
  const double r02 = r0 * r0;
  const double P = 6.0 * Vh * A03 * r4 * r / (r02 * r02 * r02);
  Er += -P * F[0] * a.C6;
  Et += P * F[0] * a.S6;
  Ez += -(r / 6.0) * P * F[1] * a.C6;
  if (dir < 0) Ez = -Ez;
  p.to_xy(Er, Et, Ez, E);
  return true;
}

bool RfqTransCos3::field(double x, double y, double z, Vec3& E) const {
  const RfqPolar p(x, y);
  const double Vh = 0.5 * V;
  const double R2 = R * R;
  const double Lt = kCos3Zone * L;
  const double kappa = (kPi / 2.0) / Lt;
  const double d = dir < 0 ? L - z : z;
  const double Aout = dir < 0 ? A01 : A01n0;  // quadrupole beyond the zone
  if (d > Lt) {
    E = {-V * Aout * p.x / R2, V * Aout * p.y / R2, 0.0};
    return true;
  }
  const double k3 = 3.0 * kappa;
  const double g = 0.75 * std::cos(kappa * d) + 0.25 * std::cos(k3 * d);
  const double G1 = 0.75 * kappa * std::sin(kappa * d) + 0.25 * k3 * std::sin(k3 * d);
  const double G2 = 0.75 * kappa * kappa * std::cos(kappa * d) + 0.25 * k3 * k3 * std::cos(k3 * d);
  const double G3 =
      0.75 * kappa * kappa * kappa * std::sin(kappa * d) + 0.25 * k3 * k3 * k3 * std::sin(k3 * d);
  const double r2 = p.r * p.r;
  const double Aq = dir < 0 ? A01 : A01n0 + (A01 - A01n0) * g;
  const double ax = dir < 0 ? (V / 4.0) * A10 * G2 : -(V / 4.0) * A10 * G2;
  E[0] = -V * Aq * p.x / R2 + ax * p.x;
  E[1] = V * Aq * p.y / R2 + ax * p.y;
  E[2] = Vh * A10 * (G1 + (r2 / 4.0) * G3);
  return true;
}

bool RfqTransCos::field(double x, double y, double z, Vec3& E) const {
  const RfqPolar p(x, y);
  const double R2 = R * R;
  E = {-V * A01 * p.x / R2, V * A01 * p.y / R2, 0.0};
  const bool zone = dir < 0 ? z > L - d4 : z <= d4;
  if (!zone) return true;
  const double k4 = kPi / (2.0 * d4);
  const double zz = dir < 0 ? z - L + 2.0 * d4 : z;
  const RfqBessel b = rfq_bessel_interp(*bessel, k4 * p.r, 2);
  const double Vh = 0.5 * V;
  const double er = -k4 * Vh * A10 * b.B1[1] * std::cos(k4 * zz);
  E[0] += er * p.c;
  E[1] += er * p.s;
  E[2] = k4 * Vh * A10 * b.B1[0] * std::sin(k4 * zz);
  return true;
}

int rfq_cell_mode(const RfqCell& c) {
  if (c.type != kCellRegular) return 2;
  double sum = 0.0;
  for (int k = 9; k <= 14; ++k) sum += c.c[static_cast<std::size_t>(k)] * c.c[static_cast<std::size_t>(k)];
  return sum > 0.0 ? 8 : 2;
}

RfqCellKind make_cell_kind(const RfqCellSet& s, int i, int mode, const Table3D* table,
                           const StaticTableGeometry& geom) {
  const RfqCell& c = s.cells[static_cast<std::size_t>(i)];
  if (table != nullptr) return RfqTableCell{table, geom, c.volt};
  const int t = c.type;
  const int dir = t < 0 ? -1 : 1;
  const auto& A = c.c;
  switch (t) {
    case 0: {
      const double k = kPi / c.len;
      if (mode == 2) return RfqRegular2{k, c.volt, A[7], A[8], c.r0, &s.bessel, {}};
      return RfqRegular8{k, c.volt, c.r0, A[7], A[8], A[9], A[10], A[11], A[12], A[13], A[14], &s.bessel, {}};
    }
    case 1:
    case -1:
      return RfqFall{dir, c.len, c.volt, A[7], A[8], c.r0, A[9], A[10]};
    case 2:
    case -2:
      return RfqTransCos3{dir, c.len, c.volt, A[7], s.cells[static_cast<std::size_t>(s.n0)].c[7], A[8], s.R};
    case 4:
    case -4:
      return RfqTransCos{dir, c.len, c.volt, A[7], A[8], s.R, A[9], &s.bessel};
    case 3:
    case -3:
      return RfqQuad{c.volt, A[7], c.r0};
    default:
      return RfqFieldFree{};
  }
}

[[noreturn]] void rfq_z_out_of_range(ElementsContext& sim) {
  const char* text = " RFQerror->  z is out of range [0,d_elem] in RFQ_field(x,y,z)";
  sim.units.write(kUnitLog, list_directed({std::string_view(text)}));
  fatal(text);
}

[[noreturn]] void rfq_point_not_finite(const std::string& file, int i) {
  fatal({fmt::format(" {} cell {}: a particle's transverse coordinate is not a finite number; the "
                     "cell's field cannot be evaluated there",
                     file, i)},
        true);
}

bool rfq_field_at(ElementsContext& sim, double x, double y, double z, double t, Vec3& E, Vec3& B) {
  const RfqRunCell& rc = sim.rfq_run;
  if (!(rc.L > 0.0))
    fatal({fmt::format(" {}: the RFQ field is asked for while no RFQ cell is being run",
                       element_label(sim, sim.state.ipos))},
          true);
  std::atomic<bool> bad{false};
  const bool inside = std::visit(
      [&](const auto& k) {
        using K = std::decay_t<decltype(k)>;
        const FieldAt<RfqSource<K>> f{RfqSource<K>{k, rc.L, rc.ax, rc.ay, sim.ref.elem_phase, &bad}};
        return f(x, y, z, t, E, B);
      },
      rc.kind);
  if (bad.load()) rfq_z_out_of_range(sim);
  return inside;
}

}  // namespace linac
