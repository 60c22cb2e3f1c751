#include "transport/table_writers.hpp"

#include <cmath>
#include <fmt/format.h>

#include "common/constants.hpp"
#include "platform/unformatted.hpp"
#include "platform/units.hpp"

namespace linac {

namespace {

template <std::size_t N>
void spread(std::array<double, N>& nodes, double max, bool half) {
  const double first = half ? 0.0 : -max;
  for (std::size_t i = 0; i < N; ++i) nodes[i] = first + (max - first) * static_cast<double>(i) / (N - 1);
}

}  // namespace

Table3DLayout table_layout(double xmax, double ymax, double zmax, std::array<std::int32_t, 3> sym) {
  Table3DLayout l;
  l.sym = sym;
  spread(l.x, xmax, sym[0] == 1);
  spread(l.y, ymax, sym[1] == 1);
  spread(l.z, zmax, sym[2] == 1);
  return l;
}

Table3D build_table3d(const Table3DLayout& l, int components, const FieldFunction& field) {
  Table3D t;
  t.head_1 = l.head_1;
  t.head_2 = l.head_2;
  t.head_int = l.head_int;
  t.sym = l.sym;
  t.x = l.x;
  t.y = l.y;
  t.z = l.z;
  t.set_spacings();
  t.first_comp = components == kKindB ? 3 : 0;
  t.ncomp = components == kKindEB ? 6 : 3;
  t.nodes.resize(static_cast<std::size_t>(kTableNodes) * t.ncomp);
  std::size_t n = 0;
  for (int k = 0; k < kTableNz; ++k)
    for (int j = 0; j < kTableNy; ++j)
      for (int i = 0; i < kTableNx; ++i, ++n) {
        Vec3 E{0.0, 0.0, 0.0}, B{0.0, 0.0, 0.0};
        field(l.x[i], l.y[j], l.z[k], E, B);
        for (int c = 0; c < t.ncomp; ++c) {
          const int comp = t.first_comp + c;
          t.nodes[n * t.ncomp + c] = comp < 3 ? E[comp] : B[comp - 3];
        }
      }
  return t;
}

void write_table3d(const Units& units, std::string_view name, const Table3DLayout& l,
                   int components, const FieldFunction& field) {
  UnformattedOut out(units, name);
  out.write(RecordOut().put(l.head_1).put(l.head_2).put(l.head_int));
  out.write(RecordOut().put(std::span<const std::int32_t>(l.sym)));
  out.write(RecordOut().put(std::span<const double>(l.x)));
  out.write(RecordOut().put(std::span<const double>(l.y)));
  out.write(RecordOut().put(std::span<const double>(l.z)));
  std::vector<double> values(static_cast<std::size_t>(kTableNodes) * 6);
  for (int k = 0; k < kTableNz; ++k)
    for (int j = 0; j < kTableNy; ++j)
      for (int i = 0; i < kTableNx; ++i) {
        Vec3 E{0.0, 0.0, 0.0}, B{0.0, 0.0, 0.0};
        field(l.x[i], l.y[j], l.z[k], E, B);
        const std::size_t n = (static_cast<std::size_t>(k) * kTableNy + j) * kTableNx + i;
        for (int c = 0; c < 3; ++c) {
          values[static_cast<std::size_t>(c) * kTableNodes + n] = E[c];
          values[static_cast<std::size_t>(c + 3) * kTableNodes + n] = B[c];
        }
      }
  const int first = components == kKindB ? 3 : 0;
  const int count = components == kKindEB ? 6 : 3;
  for (int c = first; c < first + count; ++c)
    out.write(RecordOut().put(std::span<const double>(values.data() + static_cast<std::size_t>(c) * kTableNodes,
                                                      kTableNodes)));
  out.write(RecordOut().put(std::int32_t{0}));
  out.close();
}

void write_2dtable(const Units& units, std::string_view name, std::string_view ukey, int nu,
                   int nz, std::string_view heading, double u0, double du, double z0, double dz,
                   const Field2DFunction& field) {
  TextOut out(units, name);
  out.write("2Dtable");
  out.write(fmt::format(" {} {} Nz= {}", ukey, nu, nz));
  out.write(heading);
  for (int b = 0; b < nz; ++b)
    for (int a = 0; a < nu; ++a) {
      const double u = u0 + a * du;
      const double z = z0 + b * dz;
      const auto [ft, fl] = field(u, z);
      out.write(fmt::format(" {:.17g} {:.17g} {:.17g} {:.17g}", u, z, ft, fl));
    }
}

void write_mhb_rz(const Units& units, std::string_view name, int nz, int nr, double L, double rmax,
                  const FieldRZFunction& field) {
  TextOut out(units, name);
  for (int j = 0; j < nz; ++j) {
    std::string line;
    for (int i = 0; i < nr; ++i) {
      const auto [er, ez] = field(i * rmax / (nr - 1), j * L / (nz - 1));
      line += fmt::format(" {:.17g} {:.17g}", er, ez);
    }
    out.write(line);
  }
}

void write_solenoid_table(const Units& units, std::string_view name,
                          const std::vector<double>& samples) {
  TextOut out(units, name);
  out.write(fmt::format(" {}", samples.size()));
  std::string line;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    line += fmt::format(" {:.17g}", samples[i]);
    if (i % 5 == 4 || i + 1 == samples.size()) {
      out.write(line);
      line.clear();
    }
  }
}

namespace analytic {

FieldFunction uniform(const Vec3& E0, const Vec3& B0) {
  return [E0, B0](double, double, double, Vec3& E, Vec3& B) {
    E = E0;
    B = B0;
  };
}

FieldFunction electric_quadrupole(double g) {
  return [g](double x, double y, double, Vec3& E, Vec3& B) {
    E = {g * x, -g * y, 0.0};
    B = {0.0, 0.0, 0.0};
  };
}

FieldFunction pillbox_tm010(double E0, double R) {
  const double k = 2.404825557695773 / R;
  // B_theta in G of E0/c for E0 in V/cm: E0 * 100 / c (T) * 1e4.
  const double b0 = E0 * 100.0 / kSpeedOfLightSi * kGaussPerTesla;
  return [=](double x, double y, double, Vec3& E, Vec3& B) {
    const double r = std::sqrt(x * x + y * y);
    E = {0.0, 0.0, E0 * std::cyl_bessel_j(0.0, k * r)};
    const double bt = b0 * std::cyl_bessel_j(1.0, k * r);
    B = {0.0, 0.0, 0.0};
    if (r > 0.0) B = {-bt * y / r, bt * x / r, 0.0};
  };
}

FieldFunction gaussian_gap(double E0, double sigma) {
  return [=](double x, double y, double dz, Vec3& E, Vec3& B) {
    const double ez = E0 * std::exp(-dz * dz / (2.0 * sigma * sigma));
    const double dez = -dz / (sigma * sigma) * ez;  // dEz/dz
    E = {-0.5 * x * dez, -0.5 * y * dez, ez};
    B = {0.0, 0.0, 0.0};
  };
}

double smooth_solenoid_axis(double B0, double L, double z) {
  if (z < 0.0 || z > L) return 0.0;
  const double s = std::sin(kPi * z / L);
  return B0 * s * s;
}

FieldFunction smooth_solenoid(double B0, double L) {
  return [=](double x, double y, double dz, Vec3& E, Vec3& B) {
    E = {0.0, 0.0, 0.0};
    B = {0.0, 0.0, 0.0};
    const double z = dz + 0.5 * L;
    if (z < 0.0 || z > L) return;
    // B0 sin^2(k z) = B0 (1 - cos 2kz)/2 with k = pi/L.
    const double w = 2.0 * kPi / L;
    const double b1 = 0.5 * B0 * w * std::sin(w * z);   // B'
    const double b2 = 0.5 * B0 * w * w * std::cos(w * z);  // B''
    const double r2 = x * x + y * y;
    B[2] = smooth_solenoid_axis(B0, L, z) - 0.25 * r2 * b2;
    B[0] = -0.5 * x * b1;
    B[1] = -0.5 * y * b1;
  };
}

double gaussian_solenoid_axis(double B0, double sigma, double dz) {
  return B0 * std::exp(-dz * dz / (2.0 * sigma * sigma));
}

FieldFunction gaussian_solenoid(double B0, double sigma) {
  return [=](double x, double y, double dz, Vec3& E, Vec3& B) {
    E = {0.0, 0.0, 0.0};
    const double s2 = sigma * sigma;
    const double b = gaussian_solenoid_axis(B0, sigma, dz);
    const double b1 = -dz / s2 * b;                      // B'
    const double b2 = (dz * dz / s2 - 1.0) / s2 * b;     // B''
    const double r2 = x * x + y * y;
    B = {-0.5 * x * b1, -0.5 * y * b1, b - 0.25 * r2 * b2};
  };
}

}  // namespace analytic

}  // namespace linac
