#include "spacecharge/deposit.hpp"

#include <omp.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "common/sim.hpp"
#include "spacecharge/sc_constants.hpp"

namespace linac {

namespace {

// Fixed chunks of the counting sort: the order they produce depends on the
// particle indices only.
constexpr int kSortChunks = 64;

// Slot offsets of the charge states in the flat particle index, and the
// total count of slots 0..NPAT(iq).
struct FlatIndex {
  std::array<std::int64_t, kMaxChargeStates + 2> first{};
  std::int64_t total = 0;
};

FlatIndex flat_index(const Sim& sim) {
  FlatIndex f;
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    f.first[iq] = f.total;
    f.total += std::max(sim.config.NPAT[iq], -1) + 1;
  }
  f.first[sim.config.NQTOT + 1] = f.total;
  return f;
}

void size_scratch(ScDepositScratch& d, std::size_t n, int slabs) {
  if (d.cell.size() < n) {
    d.cell.resize(n);
    d.ax.resize(n);
    d.ay.resize(n);
    d.az.resize(n);
    d.charge.resize(n);
    d.slab.resize(n);
    d.sorted.resize(n);
  }
  d.start.assign(static_cast<std::size_t>(slabs) + 1, 0);
  d.chunk_counts.assign(static_cast<std::size_t>(kSortChunks) * slabs, 0);
}

// Counting sort of the deposited particles by slab, stable in the flat
// index: sorted[start[s] .. start[s+1]) are the particles of slab s, copied
// so that the slab pass reads them in sequence. Called
// by every thread of a team (or by one thread alone): the chunks are shared
// by omp for, the prefix sums run once.
void sort_by_slab(ScDepositScratch& d, std::int64_t n, int slabs) {
  std::int32_t* counts = d.chunk_counts.data();
  auto chunk_begin = [n](int c) { return n * c / kSortChunks; };
#pragma omp for schedule(static)
  for (int c = 0; c < kSortChunks; ++c)
    for (std::int64_t p = chunk_begin(c); p < chunk_begin(c + 1); ++p)
      if (d.cell[p] >= 0) ++counts[c * slabs + d.slab[p]];
#pragma omp single
  {
    std::int32_t running = 0;
    for (int s = 0; s < slabs; ++s) {
      d.start[s] = running;
      for (int c = 0; c < kSortChunks; ++c) {
        const std::int32_t k = counts[c * slabs + s];
        counts[c * slabs + s] = running;
        running += k;
      }
    }
    d.start[slabs] = running;
  }
#pragma omp for schedule(static)
  for (int c = 0; c < kSortChunks; ++c)
    for (std::int64_t p = chunk_begin(c); p < chunk_begin(c + 1); ++p)
      if (d.cell[p] >= 0)
        d.sorted[counts[c * slabs + d.slab[p]]++] = {d.ax[p], d.ay[p], d.az[p], d.charge[p], d.cell[p]};
}

// Deposits the particles of slabs first, first + 2, ... below end, shared
// among the team; deposit_slab(s) must write only the planes (rows) s and
// s + 1.
template <class Fn>
void slab_phase(int first, int end, Fn&& deposit_slab) {
#pragma omp for schedule(static, 1)
  for (int s = first; s < end; s += 2) deposit_slab(s);
}

// Below this many particle slots, or grid nodes, the deposition runs on one
// thread: starting a team would cost more than the work. The result is the
// same either way.
constexpr std::int64_t kMinParallelSlots = 4096;
constexpr std::size_t kMinParallelNodes = 32768;

bool worth_a_team(std::int64_t slots, std::size_t nodes) {
  return slots >= kMinParallelSlots || nodes >= kMinParallelNodes;
}

}  // namespace

void sc_clear_3d(ScGrid& g) {
  const std::ptrdiff_t nodes = static_cast<std::ptrdiff_t>(g.sc_grid3d.size());
  double* u = g.sc_grid3d.data();
#pragma omp parallel for schedule(static) if (static_cast<std::size_t>(nodes) >= kMinParallelNodes)
  for (std::ptrdiff_t k = 0; k < nodes; ++k) u[k] = 0.0;
}

void sc_deposit_3d(Sim& sim, double centre_phase) {
  ScGrid& g = sim.sc_grid;
  ScDepositScratch& d = g.deposit;
  const FlatIndex fi = flat_index(sim);
  size_scratch(d, static_cast<std::size_t>(fi.total), g.nz1);
  const std::ptrdiff_t NX = g.NX;
  const std::ptrdiff_t plane = NX * g.NY;
  double* u = g.sc_grid3d.data();

  const double half_z = g.sc_half_z;
  const double L = 2.0 * half_z;
  const double to_rest = sim.ref.wavelength_2pi * g.gamma_sc;  // cm per rad of phase and unit beta
  const double period = kTwoPi * sim.config.nharm_sc;         // rad
  const double cell_volume = g.sc_hx * g.sc_hy * g.sc_hz;
  const ParticleArrays& pa = sim.particles;

  // Cell and fractions of one particle; the rest-frame distance from the box
  // centre is brought into the box in the same frame.
  auto locate = [&](int iq, int i) {
    const std::int64_t p = fi.first[iq] + i;
    d.cell[p] = -1;
    if (pa.status[iq][i] != kLive) return;
    const double dphi = pa.phase[iq][i] - centre_phase;
    const double b = pa.beta[iq][i];
    double fz;
    if (g.full_period) {
      double zr = -dphi * b * to_rest;
      zr = zr - L * std::round(zr / L);
      fz = (half_z + zr) / g.sc_hz;
      if (fz >= g.nz1) fz = fz - g.nz1;
      if (fz < 0.0) fz = fz + g.nz1;
    } else {
      fz = -1.0;
      for (const int m : kImageOrder) {
        const double zr = -(period * m + dphi) * b * to_rest;
        if (std::abs(zr) < half_z) {
          fz = (half_z + zr) / g.sc_hz;
          break;
        }
      }
    }
    const double fx = (pa.x[iq][i] + g.sc_half_x) / g.sc_hx;
    const double fy = (pa.y[iq][i] + g.sc_half_y) / g.sc_hy;
    if (!(fx >= 0.0 && fx < g.nx1 && fy >= 0.0 && fy < g.ny1 && fz >= 0.0 && fz < g.nz1)) return;
    const int ix = static_cast<int>(fx);
    const int jy = static_cast<int>(fy);
    const int lz = static_cast<int>(fz);
    d.cell[p] = static_cast<std::int32_t>(ix + jy * NX + lz * plane);
    d.slab[p] = lz;
    d.ax[p] = fx - ix;
    d.ay[p] = fy - jy;
    d.az[p] = fz - lz;
    d.charge[p] = sim.current.qmacro[iq] / cell_volume / kEps0;
  };

  auto deposit_slab = [&](int s) {
    // The plane above slab nz1 - 1 is plane 0 (periodic).
    const std::ptrdiff_t up = (s + 1 == g.nz1) ? -s * plane : plane;
    for (std::int32_t e = d.start[s]; e < d.start[s + 1]; ++e) {
      const ScDepositRecord& r = d.sorted[e];
      const double ax = r.ax, ay = r.ay, az = r.az, f = r.charge;
      double* c = u + r.cell;
      double* cu = c + up;
      c[0] += f * ((1.0 - ax) * (1.0 - ay) * (1.0 - az));
      c[1] += f * (ax * (1.0 - ay) * (1.0 - az));
      c[1 + NX] += f * (ax * ay * (1.0 - az));
      c[NX] += f * ((1.0 - ax) * ay * (1.0 - az));
      cu[0] += f * ((1.0 - ax) * (1.0 - ay) * az);
      cu[1] += f * (ax * (1.0 - ay) * az);
      cu[1 + NX] += f * (ax * ay * az);
      cu[NX] += f * ((1.0 - ax) * ay * az);
    }
  };
  // With an odd number of periodic planes the last slab (even) shares plane
  // 0 with slab 0: it goes alone after the others.
  const int paired = (g.nz1 % 2 == 0) ? g.nz1 : g.nz1 - 1;

#pragma omp parallel if (worth_a_team(fi.total, g.sc_grid3d.size()))
  {
    for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
#pragma omp for schedule(static) nowait
      for (int i = 0; i <= sim.config.NPAT[iq]; ++i) locate(iq, i);
    }
#pragma omp barrier
    sort_by_slab(d, fi.total, g.nz1);
    slab_phase(0, paired, deposit_slab);
    slab_phase(1, paired, deposit_slab);
#pragma omp single
    if (paired < g.nz1) deposit_slab(paired);
    // Conducting walls: the charge on them is dropped.
#pragma omp for schedule(static)
    for (int l = 0; l < g.nz1; ++l) {
      double* pl = u + l * plane;
      for (int i = 0; i < g.NX; ++i) {
        pl[i] = 0.0;
        pl[i + (g.NY - 1) * NX] = 0.0;
      }
      for (int j = 0; j < g.NY; ++j) {
        pl[j * NX] = 0.0;
        pl[j * NX + g.NX - 1] = 0.0;
      }
    }
  }
  // The top plane is plane 0 of the next period.
  std::copy(u, u + plane, u + (g.NZ - 1) * plane);
}

void sc_deposit_2d(Sim& sim) {
  ScGrid& g = sim.sc_grid;
  ScDepositScratch& d = g.deposit;
  const FlatIndex fi = flat_index(sim);
  size_scratch(d, static_cast<std::size_t>(fi.total), g.ny1);
  const int NX = g.NX;
  double* u = g.sc_grid2d.data();
  const ParticleArrays& pa = sim.particles;
  const double cell_area = g.sc_hx * g.sc_hy;

  auto locate = [&](int iq, int i) {
    const std::int64_t p = fi.first[iq] + i;
    d.cell[p] = -1;
    if (pa.status[iq][i] != kLive) return;
    const double fx = (pa.x[iq][i] + g.sc_half_x) / g.sc_hx;
    const double fy = (pa.y[iq][i] + g.sc_half_y) / g.sc_hy;
    if (!(fx >= 0.0 && fx < g.nx1 && fy >= 0.0 && fy < g.ny1)) return;
    const double xp = pa.xp[iq][i], yp = pa.yp[iq][i];
    const double betaz = pa.beta[iq][i] / std::sqrt(1.0 + xp * xp + yp * yp);
    const int ix = static_cast<int>(fx);
    const int jy = static_cast<int>(fy);
    d.cell[p] = ix + jy * NX;
    d.slab[p] = jy;
    d.ax[p] = fx - ix;
    d.ay[p] = fy - jy;
    d.az[p] = 0.0;
    // Line charge over eps0 per unit cell area, V/cm^2.
    const double f = (1.0 - sim.current.Cneutr) * sim.ref.FREQB * sim.current.qmacro[iq] / cell_area /
                     kSpeedOfLightCm / kEps0;
    d.charge[p] = f / betaz;
  };
  auto deposit_row = [&](int s) {
    for (std::int32_t e = d.start[s]; e < d.start[s + 1]; ++e) {
      const ScDepositRecord& r = d.sorted[e];
      const double ax = r.ax, ay = r.ay, f = r.charge;
      double* c = u + r.cell;
      c[0] += f * ((1.0 - ax) * (1.0 - ay));
      c[1] += f * (ax * (1.0 - ay));
      c[1 + NX] += f * (ax * ay);
      c[NX] += f * ((1.0 - ax) * ay);
    }
  };
  std::fill(g.sc_grid2d.begin(), g.sc_grid2d.end(), 0.0);
#pragma omp parallel if (worth_a_team(fi.total, 0))
  {
    for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
#pragma omp for schedule(static) nowait
      for (int i = 0; i <= sim.config.NPAT[iq]; ++i) locate(iq, i);
    }
#pragma omp barrier
    sort_by_slab(d, fi.total, g.ny1);
    slab_phase(0, g.ny1, deposit_row);
    slab_phase(1, g.ny1, deposit_row);
  }
  for (int i = 0; i < g.NX; ++i) {
    u[i] = 0.0;
    u[i + (g.NY - 1) * NX] = 0.0;
  }
  for (int j = 0; j < g.NY; ++j) {
    u[j * NX] = 0.0;
    u[j * NX + g.NX - 1] = 0.0;
  }
}

}  // namespace linac
