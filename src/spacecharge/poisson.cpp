#include "spacecharge/poisson.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "common/constants.hpp"
#include "spacecharge/sc_context.hpp"

namespace linac {

namespace {

// Lines of one batch of the 2-D solve: enough to fill the transform lanes.
constexpr int kLineBatch = 8;

// Every thread of the coming parallel region has its own tables.
void ensure_thread_tables(ScGrid& g) {
  const auto nt = static_cast<std::size_t>(omp_get_max_threads());
  if (g.tables.size() < nt) g.tables.resize(nt, g.tables.front());
}

// Sine transforms along x (lines j = 1..NY-2) and then along y (lines
// i = 1..NX-2) of the interior of one plane.
void transverse_plane(const ScGrid& g, ScThreadTables& t, double* plane) {
  double* interior = plane + 1 + g.NX;
  t.sin_x.transform_lines(interior, 1, g.NX, g.ny2);
  t.sin_y.transform_lines(interior, g.NX, 1, g.nx2);
}

// Below this many grid nodes a solve runs on one thread: starting a team
// would cost more than the transforms. The result is the same either way.
constexpr std::size_t kMinParallelNodes = 32768;

}  // namespace

void sc_fft_init(ScGrid& g, int NX, int NY, int NZ, bool model_2d) {
  g.NX = NX;
  g.NY = NY;
  g.NZ = NZ;
  g.model_2d = model_2d;
  g.nx1 = NX - 1;
  g.nx2 = NX - 2;
  g.ny1 = NY - 1;
  g.ny2 = NY - 2;
  g.sc_norm = 4.0 * g.nx1 * g.ny1;
  ScThreadTables t;
  t.sin_x = SineTable(g.nx2);
  t.sin_y = SineTable(g.ny2);
  if (!model_2d) {
    g.nz1 = NZ - 1;
    g.nz2 = NZ - 2;
    t.fft_z = RealFftTable(g.nz1);
    g.sc_norm = g.nz1 * g.sc_norm;
  }
  g.tables.assign(static_cast<std::size_t>(std::max(omp_get_max_threads(), 1)), t);

  g.sc_sin_x.assign(static_cast<std::size_t>(NX), 0.0);
  g.sc_sin_y.assign(static_cast<std::size_t>(NY), 0.0);
  for (int i = 0; i < NX; ++i) g.sc_sin_x[i] = std::sin(0.5 * kPi * i / g.nx1);
  for (int j = 0; j < NY; ++j) g.sc_sin_y[j] = std::sin(0.5 * kPi * j / g.ny1);
  g.sc_kx2.assign(static_cast<std::size_t>(NX), 0.0);
  g.sc_ky2.assign(static_cast<std::size_t>(NY), 0.0);
  g.sc_xn.assign(static_cast<std::size_t>(NX), 0.0);
  g.sc_yn.assign(static_cast<std::size_t>(NY), 0.0);
  g.sc_grid2d.assign(static_cast<std::size_t>(NX) * NY, 0.0);
  if (!model_2d) {
    // Coefficient p of the real FFT belongs to frequency (p + 1) / 2: the
    // mean, then cosine and sine of each frequency, and for an even nz1
    // the highest frequency nz1/2 last. Node NZ-1 is not used by the solve.
    g.sc_sin_z.assign(static_cast<std::size_t>(NZ), 0.0);
    for (int p = 0; p < g.nz1; ++p) g.sc_sin_z[p] = std::sin(kPi * ((p + 1) / 2) / g.nz1);
    g.sc_sin_z[NZ - 1] = 0.0;
    g.sc_kz2.assign(static_cast<std::size_t>(NZ), 0.0);
    g.sc_zn.assign(static_cast<std::size_t>(NZ), 0.0);
    g.sc_grid3d.assign(static_cast<std::size_t>(NX) * NY * NZ, 0.0);
  } else {
    g.sc_grid3d.clear();
    g.sc_grid3d.shrink_to_fit();
  }
}

void sc_fft_init(SpaceChargeContext& sim) {
  sc_fft_init(sim.sc_grid, sim.sc.NXGRD, sim.sc.NYGRD, sim.sc.NZGRD, sim.config.IFLAG2D == 1);
}

void sc_grid_setup(ScGrid& g) {
  auto axis = [&](double half, int n, int n1, const std::vector<double>& sines, double& h,
                  double& o, std::vector<double>& nodes, std::vector<double>& k2) {
    h = 2.0 * half / n1;
    o = half - h * 0.5;
    for (int i = 0; i < n; ++i) {
      nodes[i] = i * h - half;
      const double s = 2.0 * sines[i] / h;
      k2[i] = s * s * g.sc_norm;
    }
  };
  axis(g.sc_half_x, g.NX, g.nx1, g.sc_sin_x, g.sc_hx, g.sc_x0, g.sc_xn, g.sc_kx2);
  axis(g.sc_half_y, g.NY, g.ny1, g.sc_sin_y, g.sc_hy, g.sc_y0, g.sc_yn, g.sc_ky2);
  if (!g.model_2d)
    axis(g.sc_half_z, g.NZ, g.nz1, g.sc_sin_z, g.sc_hz, g.sc_z0, g.sc_zn, g.sc_kz2);
  auto inverse = [](double h) { return h > 0.0 ? 1.0 / h : 0.0; };
  g.sc_inv_hx = inverse(g.sc_hx);
  g.sc_inv_hy = inverse(g.sc_hy);
  g.sc_inv_hz = g.model_2d ? 0.0 : inverse(g.sc_hz);
  g.sc_d1x = 0.5 * g.sc_inv_hx;
  g.sc_d1y = 0.5 * g.sc_inv_hy;
  g.sc_d1z = 0.5 * g.sc_inv_hz;
  g.sc_d2x = g.sc_inv_hx * g.sc_inv_hx;
  g.sc_d2y = g.sc_inv_hy * g.sc_inv_hy;
  g.sc_d2z = g.sc_inv_hz * g.sc_inv_hz;
  g.sc_dxy = 0.25 * g.sc_inv_hx * g.sc_inv_hy;
  g.sc_dxz = 0.25 * g.sc_inv_hx * g.sc_inv_hz;
  g.sc_dyz = 0.25 * g.sc_inv_hy * g.sc_inv_hz;
}

void sc_poisson_3d(ScGrid& g) {
  ensure_thread_tables(g);
  const std::ptrdiff_t NX = g.NX;
  const std::ptrdiff_t plane = NX * g.NY;
  double* u = g.sc_grid3d.data();
#pragma omp parallel if (g.sc_grid3d.size() >= kMinParallelNodes)
  {
    ScThreadTables& t = g.tables[static_cast<std::size_t>(omp_get_thread_num())];
#pragma omp for schedule(static)
    for (int l = 0; l < g.nz1; ++l) transverse_plane(g, t, u + l * plane);
    // Along z, line by line of x at each interior y: forward FFT, division
    // by the eigenvalues, backward FFT.
#pragma omp for schedule(static)
    for (int j = 1; j <= g.ny2; ++j) {
      double* row = u + 1 + j * NX;
      t.fft_z.forward_lines(row, plane, 1, g.nx2);
      const double ky2 = g.sc_ky2[j];
      for (int l = 0; l < g.nz1; ++l) {
        double* line = row + l * plane;
        const double kz2 = g.sc_kz2[l];
        for (int i = 0; i < g.nx2; ++i) line[i] = line[i] / (g.sc_kx2[i + 1] + ky2 + kz2);
      }
      t.fft_z.backward_lines(row, plane, 1, g.nx2);
    }
    // The sine transform is its own inverse up to the factor divided out.
#pragma omp for schedule(static)
    for (int l = 0; l < g.nz1; ++l) transverse_plane(g, t, u + l * plane);
  }
  std::copy(u, u + plane, u + (g.NZ - 1) * plane);
}

void sc_poisson_2d(ScGrid& g) {
  ensure_thread_tables(g);
  const int NX = g.NX;
  double* interior = g.sc_grid2d.data() + 1 + NX;
  const int xbatches = (g.ny2 + kLineBatch - 1) / kLineBatch;
  const int ybatches = (g.nx2 + kLineBatch - 1) / kLineBatch;
  // Lines along x (one per interior row j), in batches of rows; lines along
  // y (one per interior column i), in batches of columns.
  auto along_x = [&](ScThreadTables& t, int b) {
    const int first = b * kLineBatch;
    const int count = std::min(kLineBatch, g.ny2 - first);
    t.sin_x.transform_lines(interior + first * NX, 1, NX, count);
  };
  auto along_y = [&](ScThreadTables& t, int b) {
    const int first = b * kLineBatch;
    const int count = std::min(kLineBatch, g.nx2 - first);
    t.sin_y.transform_lines(interior + first, NX, 1, count);
  };
#pragma omp parallel if (g.sc_grid2d.size() >= kMinParallelNodes)
  {
    ScThreadTables& t = g.tables[static_cast<std::size_t>(omp_get_thread_num())];
#pragma omp for schedule(static)
    for (int b = 0; b < xbatches; ++b) along_x(t, b);
#pragma omp for schedule(static)
    for (int b = 0; b < ybatches; ++b) along_y(t, b);
#pragma omp for schedule(static)
    for (int j = 1; j <= g.ny2; ++j) {
      double* row = g.sc_grid2d.data() + j * NX;
      for (int i = 1; i <= g.nx2; ++i) row[i] = row[i] / (g.sc_ky2[j] + g.sc_kx2[i]);
    }
#pragma omp for schedule(static)
    for (int b = 0; b < xbatches; ++b) along_x(t, b);
#pragma omp for schedule(static)
    for (int b = 0; b < ybatches; ++b) along_y(t, b);
  }
}

}  // namespace linac
