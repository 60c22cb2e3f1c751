#include "elements/rfq/rfq_aperture.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace linac {

namespace {

constexpr double kCos3Zone = 0.8660254037844386;
// The fall cell's aperture follows r0/sqrt(F) up to 12/13 of the fall.
constexpr double kFallPlateau = 0.9230769230769231;

}  // namespace

void rfq_vane_aperture(const RfqCellSet& s, int i, int nstep, double step_len, double aperRFQ,
                       const RfqTableLimit& table, std::vector<double>& apx, std::vector<double>& apy) {
  const RfqCell& c = s.cells[static_cast<std::size_t>(i)];
  apx.assign(static_cast<std::size_t>(nstep) + 1, 0.0);
  apy.assign(static_cast<std::size_t>(nstep) + 1, 0.0);
  const double L = c.len;
  const double r0 = c.r0;
  const double a = c.amin;
  const double ma = c.mod * c.amin;
  const double R = s.R;
  const double A10 = c.c[8];
  const bool has_table = table.table_field != nullptr;
  for (int j = 1; j <= nstep; ++j) {
    const double zc = (j - 0.5) * step_len;
    double ax = R;
    double ay = R;
    switch (c.type) {
      case 0: {
        const double cz = std::cos(kPi / L * zc);
        ax = r0 + (ma - r0) * cz;
        ay = r0 + (a - r0) * cz;
        if (A10 > 0.0) std::swap(ax, ay);
        if (aperRFQ == 0.0) ax = ay = a;
        break;
      }
      case -2:
      case 2: {
        const double Lt = kCos3Zone * L;
        const double kappa = kPi / (2.0 * Lt);
        auto g = [&](double d) { return 0.75 * std::cos(kappa * d) + 0.25 * std::cos(3.0 * kappa * d); };
        if (c.type == -2) {
          const double d = L - zc;
          if (d < Lt) {
            ax = R + (ma - R) * g(d);
            ay = R + (a - R) * g(d);
          }
        } else if (zc <= Lt) {
          ax = R + (a - R) * g(zc);
          ay = R + (ma - R) * g(zc);
        }
        if (A10 < 0.0) std::swap(ax, ay);
        break;
      }
      case -4:
      case 4: {
        const double t4 = c.c[13];
        if (c.type == -4) {
          const double zs = L - t4;
          if (zc >= zs) {
            const double cz = std::cos(kPi * (zc - zs + t4) / (2.0 * t4));
            ax = R + (ma - R) * cz;
            ay = R + (a - R) * cz;
          }
        } else if (zc < t4) {
          const double cz = std::cos(kPi * zc / (2.0 * t4));
          ax = R + (a - R) * cz;
          ay = R + (ma - R) * cz;
        }
        if (A10 < 0.0) std::swap(ax, ay);
        break;
      }
      case -1:
      case 1: {
        if (has_table) {
          // The aperture where the table's quadrupole gradient puts the
          // vane potential; |V A01| keeps it real for either polarity.
          const double xp = R / 4.0;
          Vec3 E;
          rfq_kind_field(*table.table_field, xp, 0.0, zc, E);
          double at = std::sqrt(std::abs(c.volt * c.c[7]) * xp / (std::abs(E[0]) + 1e-12));
          at = std::min({at, table.ax, table.ay});
          ax = ay = at;
        } else {
          const double zb = c.c[9];
          const double D = c.c[10];
          const double zm = zb + kFallPlateau * D;
          const double zp = c.type > 0 ? zc : L - zc;
          if (zp <= zb) {
            ax = ay = r0;
          } else if (zp < zm) {
            ax = ay = r0 / std::cos(kPi * (zp - zb) / (2.0 * D));
          } else {
            ax = ay = r0 / std::cos(kPi * (zm - zb) / (2.0 * D));
          }
        }
        break;
      }
      case -3:
      case 3:
        ax = ay = r0;
        break;
      default:
        break;  // field-free: the circle of radius R
    }
    const int t = c.type;
    if (has_table && (t == 0 || std::abs(t) == 2 || std::abs(t) == 4)) {
      ax = std::min(ax, table.ax);
      ay = std::min(ay, table.ay);
    }
    apx[static_cast<std::size_t>(j)] = ax;
    apy[static_cast<std::size_t>(j)] = ay;
  }
}

}  // namespace linac
