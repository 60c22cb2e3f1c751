#include "spacecharge/deposit.hpp"

#include <omp.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "spacecharge/sc_context.hpp"
#include "spacecharge/interpolate.hpp"
#include "spacecharge/sc_constants.hpp"

namespace linac {

namespace {

// Fixed chunks of the flat particle index for the counting sort: the order
// it produces depends on the particle indices only, never on the threads.
constexpr int kSortChunks = 32;
// Largest number of 3-D deposition units (slabs times blocks of y rows):
// enough small units to share a short bunch among the threads, few enough
// that the per-chunk counts stay in cache.
constexpr int kMaxUnits = 4096;
// Units per block of the offset passes.
constexpr int kUnitBlock = 64;

// Slot offsets of the charge states in the flat particle index, and the
// total count of slots 0..NPAT(iq).
struct FlatIndex {
  std::array<std::int64_t, kMaxChargeStates + 2> first{};
  std::int64_t total = 0;
};

FlatIndex flat_index(const SpaceChargeContext& sim) {
  FlatIndex f;
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    f.first[iq] = f.total;
    f.total += std::max(sim.config.NPAT[iq], -1) + 1;
  }
  f.first[sim.config.NQTOT + 1] = f.total;
  return f;
}

void size_scratch(ScDepositScratch& d, std::size_t n, int units) {
  if (d.located.size() < n) {
    d.located.resize(n);
    d.sorted.resize(n);
  }
  d.start.assign(static_cast<std::size_t>(units) + 1, 0);
  d.chunk_counts.resize(static_cast<std::size_t>(kSortChunks) * units);
}

// Locates every particle slot (locate(iq, i, record) is false for a slot
// that deposits nothing) and sorts the deposited ones by unit with a
// counting sort that is stable in the flat index: sorted[start[u] ..
// start[u+1]) are the particles of unit u in slot order, copied so that
// the deposition reads them in sequence. Called by every
// thread of a team (or by one thread alone); each fixed chunk counts its own
// units, and the offsets combine the chunks in index order.
template <class Locate>
void locate_and_sort(ScDepositScratch& d, const FlatIndex& fi, int nq, int units, Locate&& locate) {
  const std::int64_t n = fi.total;
  std::int32_t* counts = d.chunk_counts.data();
  std::int32_t* start = d.start.data();
  // The slots p of chunk c, as (charge state, slot in it, flat index).
  auto for_chunk = [&](int c, auto&& fn) {
    const std::int64_t b = n * c / kSortChunks, e = n * (c + 1) / kSortChunks;
    for (int iq = 1; iq <= nq; ++iq) {
      const std::int64_t lo = std::max(b, fi.first[iq]), hi = std::min(e, fi.first[iq + 1]);
      for (std::int64_t p = lo; p < hi; ++p) fn(iq, static_cast<int>(p - fi.first[iq]), p);
    }
  };
#pragma omp for schedule(static)
  for (int c = 0; c < kSortChunks; ++c) {
    std::int32_t* cc = counts + static_cast<std::ptrdiff_t>(c) * units;
    std::fill(cc, cc + units, 0);
    for_chunk(c, [&](int iq, int i, std::int64_t p) {
      ScDepositRecord& r = d.located[p];
      if (locate(iq, i, r))
        ++cc[r.key];
      else
        r.key = -1;
    });
  }
  // Totals per unit, their running sum, then the first entry of each
  // (chunk, unit) pair: chunks of a unit in index order. Units go in
  // blocks, so that every pass reads the counts of a chunk in sequence.
  const int unit_blocks = (units + kUnitBlock - 1) / kUnitBlock;
#pragma omp for schedule(static)
  for (int ub = 0; ub < unit_blocks; ++ub) {
    const int u0 = ub * kUnitBlock, u1 = std::min(units, u0 + kUnitBlock);
    std::fill(start + u0 + 1, start + u1 + 1, 0);
    for (int c = 0; c < kSortChunks; ++c) {
      const std::int32_t* cc = counts + static_cast<std::ptrdiff_t>(c) * units;
      for (int u = u0; u < u1; ++u) start[u + 1] += cc[u];
    }
  }
#pragma omp single
  for (int u = 0; u < units; ++u) start[u + 1] += start[u];
#pragma omp for schedule(static)
  for (int ub = 0; ub < unit_blocks; ++ub) {
    const int u0 = ub * kUnitBlock, u1 = std::min(units, u0 + kUnitBlock);
    std::int32_t running[kUnitBlock];
    for (int u = u0; u < u1; ++u) running[u - u0] = start[u];
    for (int c = 0; c < kSortChunks; ++c) {
      std::int32_t* cc = counts + static_cast<std::ptrdiff_t>(c) * units;
      for (int u = u0; u < u1; ++u) {
        const std::int32_t m = cc[u];
        cc[u] = running[u - u0];
        running[u - u0] += m;
      }
    }
  }
#pragma omp for schedule(static)
  for (int c = 0; c < kSortChunks; ++c) {
    std::int32_t* cc = counts + static_cast<std::ptrdiff_t>(c) * units;
    for_chunk(c, [&](int, int, std::int64_t p) {
      const ScDepositRecord& r = d.located[p];
      if (r.key >= 0) d.sorted[cc[r.key]++] = r;
    });
  }
}

// Deposits the units (s, b) of the slabs s = first, first + 2, ... below
// end and the blocks b = parity, parity + 2, ... below blocks, shared among
// the team; deposit_unit(unit, s) must write only the planes s and s + 1 and
// the rows of block b and the first row after it, so units of one phase
// never share a node and the threads may take any of them. Each thread
// takes the units whose particle counts fall, by their middle, into its
// equal share of the phase's particles: a short bunch that fills a few
// slabs is spread over the threads too.
template <class Fn>
void unit_phase(const std::int32_t* start, int first, int end, int parity, int blocks, Fn&& deposit_unit) {
  const int slabs = (end - first + 1) / 2;
  const int per_slab = (blocks - parity + 1) / 2;
  if (slabs <= 0 || per_slab <= 0) return;
  const int count = slabs * per_slab;
  // Unit k of the phase, block by block.
  auto unit = [&](int k) { return (first + 2 * (k % slabs)) * blocks + parity + 2 * (k / slabs); };
  std::int64_t total = 0;
  for (int k = 0; k < count; ++k) total += start[unit(k) + 1] - start[unit(k)];
  const std::int64_t threads = omp_get_num_threads(), me = omp_get_thread_num();
  std::int64_t before = 0;
  for (int k = 0; k < count && total > 0; ++k) {
    const int u = unit(k);
    const std::int64_t w = start[u + 1] - start[u];
    if (w > 0 && std::min(threads - 1, (2 * before + w) * threads / (2 * total)) == me)
      deposit_unit(u, first + 2 * (k % slabs));
    before += w;
  }
#pragma omp barrier
}

// Every unit in the four phases of slab and block parity; with an odd
// number of periodic slabs the last one (even) shares plane 0 with slab 0
// and follows alone. The order of the phases fixes the order in which a
// node sums its contributions, whatever the number of threads.
template <class Fn>
void deposit_units(const std::int32_t* start, int slabs, bool periodic, int blocks, Fn&& deposit_unit) {
  const int paired = (!periodic || slabs % 2 == 0) ? slabs : slabs - 1;
  for (int ps = 0; ps < 2; ++ps)
    for (int pb = 0; pb < 2; ++pb) unit_phase(start, ps, paired, pb, blocks, deposit_unit);
  for (int pb = 0; pb < 2; ++pb) unit_phase(start, paired, slabs, pb, blocks, deposit_unit);
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

void sc_deposit_3d(SpaceChargeContext& sim, double centre_phase) {
  ScGrid& g = sim.sc_grid;
  ScDepositScratch& d = g.deposit;
  const FlatIndex fi = flat_index(sim);
  // Blocks of rows per slab: single rows while the units stay few enough.
  const int rows = std::max(1, (g.ny1 * g.nz1 + kMaxUnits - 1) / kMaxUnits);
  const int blocks = (g.ny1 + rows - 1) / rows;
  const int units = g.nz1 * blocks;
  size_scratch(d, static_cast<std::size_t>(fi.total), units);
  const std::ptrdiff_t NX = g.NX;
  const std::ptrdiff_t plane = NX * g.NY;
  double* u = g.sc_grid3d.data();

  const double half_z = g.sc_half_z;
  const double L = 2.0 * half_z;
  const double inv_L = 1.0 / L;
  const double to_rest = sim.ref.wavelength_2pi * g.gamma_sc;  // cm per rad of phase and unit beta
  const double period = kTwoPi * sim.config.nharm_sc;         // rad
  const double cell_volume = g.sc_hx * g.sc_hy * g.sc_hz;
  std::array<double, kMaxChargeStates + 2> charge{};
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) charge[iq] = sim.current.qmacro[iq] / cell_volume / kEps0;
  const ParticleArrays& pa = sim.particles;

  // Cell and fractions of one particle; the rest-frame distance from the box
  // centre is brought into the box in the same frame.
  auto locate = [&](int iq, int i, ScDepositRecord& r) {
    if (pa.status[iq][i] != kLive) return false;
    const double dphi = pa.phase[iq][i] - centre_phase;
    const double b = pa.beta[iq][i];
    double fz;
    if (g.full_period) {
      double zr = -dphi * b * to_rest;
      zr = zr - L * sc_detail::round_half_away(zr * inv_L);
      fz = (half_z + zr) * g.sc_inv_hz;
      if (fz >= g.nz1) fz = fz - g.nz1;
      if (fz < 0.0) fz = fz + g.nz1;
    } else {
      fz = -1.0;
      for (const int m : kImageOrder) {
        const double zr = -(period * m + dphi) * b * to_rest;
        if (std::abs(zr) < half_z) {
          fz = (half_z + zr) * g.sc_inv_hz;
          break;
        }
      }
    }
    const double fx = (pa.x[iq][i] + g.sc_half_x) * g.sc_inv_hx;
    const double fy = (pa.y[iq][i] + g.sc_half_y) * g.sc_inv_hy;
    if (!(fx >= 0.0 && fx < g.nx1 && fy >= 0.0 && fy < g.ny1 && fz >= 0.0 && fz < g.nz1)) return false;
    const int ix = static_cast<int>(fx);
    const int jy = static_cast<int>(fy);
    const int lz = static_cast<int>(fz);
    r.cell = static_cast<std::int32_t>(ix + jy * NX + lz * plane);
    r.key = lz * blocks + jy / rows;
    r.ax = fx - ix;
    r.ay = fy - jy;
    r.az = fz - lz;
    r.charge = charge[iq];
    return true;
  };

  auto deposit_unit = [&](int unit, int s) {
    // The plane above slab nz1 - 1 is plane 0 (periodic).
    const std::ptrdiff_t up = (s + 1 == g.nz1) ? -s * plane : plane;
    for (std::int32_t e = d.start[unit]; e < d.start[unit + 1]; ++e) {
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

#pragma omp parallel if (worth_a_team(fi.total, g.sc_grid3d.size()))
  {
    locate_and_sort(d, fi, sim.config.NQTOT, units, locate);
    deposit_units(d.start.data(), g.nz1, true, blocks, deposit_unit);
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

void sc_deposit_2d(SpaceChargeContext& sim) {
  ScGrid& g = sim.sc_grid;
  ScDepositScratch& d = g.deposit;
  const FlatIndex fi = flat_index(sim);
  size_scratch(d, static_cast<std::size_t>(fi.total), g.ny1);
  const int NX = g.NX;
  double* u = g.sc_grid2d.data();
  const ParticleArrays& pa = sim.particles;
  const double cell_area = g.sc_hx * g.sc_hy;
  // Line charge over eps0 per unit cell area at betaz = 1, V/cm^2.
  std::array<double, kMaxChargeStates + 2> line{};
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq)
    line[iq] = (1.0 - sim.current.Cneutr) * sim.ref.FREQB * sim.current.qmacro[iq] / cell_area /
               kSpeedOfLightCm / kEps0;

  auto locate = [&](int iq, int i, ScDepositRecord& r) {
    if (pa.status[iq][i] != kLive) return false;
    const double fx = (pa.x[iq][i] + g.sc_half_x) * g.sc_inv_hx;
    const double fy = (pa.y[iq][i] + g.sc_half_y) * g.sc_inv_hy;
    if (!(fx >= 0.0 && fx < g.nx1 && fy >= 0.0 && fy < g.ny1)) return false;
    const double xp = pa.xp[iq][i], yp = pa.yp[iq][i];
    const double betaz = pa.beta[iq][i] / std::sqrt(1.0 + xp * xp + yp * yp);
    const int ix = static_cast<int>(fx);
    const int jy = static_cast<int>(fy);
    r.cell = ix + jy * NX;
    r.key = jy;
    r.ax = fx - ix;
    r.ay = fy - jy;
    r.az = 0.0;
    r.charge = line[iq] / betaz;
    return true;
  };
  auto deposit_row = [&](int unit, int) {
    for (std::int32_t e = d.start[unit]; e < d.start[unit + 1]; ++e) {
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
    locate_and_sort(d, fi, sim.config.NQTOT, g.ny1, locate);
    // Rows are the slabs here, one block each, and nothing wraps.
    deposit_units(d.start.data(), g.ny1, false, 1, deposit_row);
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
