#include "beam/stats.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "beam/phase_groups.hpp"
#include "beam/beam_context.hpp"
#include "platform/fatal.hpp"

namespace linac {

namespace {

// Below this many particle slots one thread does the loops (thread start-up
// would cost more than it saves). The result is the same either way.
constexpr std::int64_t kParallelSlots = 32768;

// Index of the product v(m) v(j) (0-based m, j) in the upper triangle.
struct ProdIndex {
  std::array<std::array<int, 6>, 6> at{};
  constexpr ProdIndex() {
    int idx = 0;
    for (int m = 0; m < 6; ++m)
      for (int j = m; j < 6; ++j) {
        at[m][j] = idx;
        at[j][m] = idx;
        ++idx;
      }
  }
};
constexpr ProdIndex kProd;

// A run of slots [begin, end] of charge state iq.
struct WorkItem {
  int iq = 0;
  int begin = 0;
  int end = -1;
  std::int64_t flat = 0;    // index of slot begin among all slots of the range's items, in order
  bool count_only = false;  // a state outside the statistics range: live and beam counts only
};

using WorkItems = std::array<WorkItem, kMaxChargeStates * kChunksPerState>;

// Appends the chunks of slots 0..NPAT(iq) of state iq to items[n..].
void add_state_items(const RunConfig& c, int iq, bool count_only, WorkItems& items, int& n,
                     std::int64_t& slots) {
  const int last_slot = std::min(c.NPAT[iq], kMaxParticles);
  for (int b = 0; b <= last_slot; b += kStatChunk)
    items[static_cast<std::size_t>(n++)] =
        WorkItem{iq, b, std::min(b + kStatChunk - 1, last_slot), slots + b, count_only};
  slots += last_slot + 1;
}

// Chunks of slots 0..NPAT(iq) of the states first..last, in slot order.
int make_work_items(const RunConfig& c, StateRange r, WorkItems& items, std::int64_t& slots) {
  int n = 0;
  slots = 0;
  for (int iq = r.first; iq <= r.last; ++iq) add_state_items(c, iq, false, items, n, slots);
  return n;
}

// The chunks of the range (as make_work_items, slots counting the range's
// slots), followed by count-only chunks of the states 1..nq outside it.
int make_stat_items(const RunConfig& c, StateRange r, int nq, WorkItems& items, std::int64_t& slots,
                    std::int64_t& all_slots) {
  int n = make_work_items(c, r, items, slots);
  all_slots = slots;
  for (int iq = 1; iq <= nq; ++iq)
    if (iq < r.first || iq > r.last) add_state_items(c, iq, true, items, n, all_slots);
  return n;
}

// Values the particle loop of one statistics call reads.
struct LoopParams {
  double amu_kev = 0.0;
  double w_origin = 0.0;
  double phase_origin = 0.0;
  double dwwacc = 0.0;
  double dwwmax = 0.0;
  bool add_phase_origin = true;  // centroid phase absolute (false with iflag_t = 1)
};

// The coordinate arrays of one charge state, taken once per chunk so the
// particle loop indexes plain arrays.
// Particles whose energy deviations are taken in one go, a block that
// stays in the first-level cache.
constexpr int kCoordBlock = 256;

// The coordinate arrays of one charge state, taken once per chunk so the
// particle loop indexes plain arrays.
struct StateArrays {
  const double *x, *xp, *y, *yp, *phase, *beta;
  const std::int32_t* status;
  StateArrays(const ParticleArrays& p, int iq)
      : x(p.x[iq]), xp(p.xp[iq]), y(p.y[iq]), yp(p.yp[iq]), phase(p.phase[iq]), beta(p.beta[iq]),
        status(p.status[iq]) {}
  // The statistics coordinates of slot i given its dW/W (particle_coords6).
  void coords(int i, double phase_origin, double dww, Vec6& v) const {
    v[0] = x[i];
    v[1] = xp[i];
    v[2] = y[i];
    v[3] = yp[i];
    v[4] = phase[i] - phase_origin;
    v[5] = dww;
  }
};

// Where the dW/W of a run of slots come from: computed from the speeds
// about w_origin (and also written to keep[0..] when keep is set), or read
// from kept[0..], a copy an earlier pass over the same slots kept.
struct Deviations {
  double amu_kev = 0.0, w_origin = 0.0;
  double* keep = nullptr;
  const double* kept = nullptr;
};

// Calls f(i, v) for the live particles of slots begin..end in slot order
// with their statistics coordinates v (phase not wrapped).
template <class F>
inline void for_each_live(const StateArrays& a, int begin, int end, const Deviations& e, double phase_origin,
                          F&& f) {
  double block[kCoordBlock];
  for (int b = begin; b <= end; b += kCoordBlock) {
    const int nb = std::min(kCoordBlock, end - b + 1);
    const double* dww = block;
    if (e.kept) {
      dww = e.kept + (b - begin);
    } else {
      double* dst = e.keep ? e.keep + (b - begin) : block;
      energy_deviations(a.beta + b, nb, e.amu_kev, e.w_origin, dst);
      dww = dst;
    }
    for (int k = 0; k < nb; ++k) {
      const int i = b + k;
      if (a.status[i] < 0) continue;
      Vec6 v;
      a.coords(i, phase_origin, dww[k], v);
      f(i, v);
    }
  }
}

// Two doubles side by side: element-wise IEEE operations, each lane the
// arithmetic of the scalar code, so the sums keep their bits.
typedef double Pair __attribute__((vector_size(2 * sizeof(double))));
typedef std::int64_t PairMask __attribute__((vector_size(2 * sizeof(std::int64_t))));

inline Pair swap_lanes(Pair a) { return Pair{a[1], a[0]}; }
inline Pair abs_lanes(Pair a) {
  return reinterpret_cast<Pair>(reinterpret_cast<PairMask>(a) & PairMask{INT64_MAX, INT64_MAX});
}
// std::max(m, a) lane by lane: a where m < a, else m.
inline Pair max_lanes(Pair m, Pair a) { return m < a ? a : m; }

// The 21 products v(m) v(j), m <= j, as lane pairs: which product each lane
// of accumulator t holds (index into the upper triangle, row by row; -1 an
// unused lane).
constexpr std::array<std::array<int, 2>, 11> kPairProd{{
    {0, 6},     // (0,0) (1,1)
    {11, 15},   // (2,2) (3,3)
    {18, 20},   // (4,4) (5,5)
    {2, 8},     // (0,2) (1,3)
    {4, 10},    // (0,4) (1,5)
    {13, 17},   // (2,4) (3,5)
    {3, 7},     // (0,3) (1,2)
    {5, 9},     // (0,5) (1,4)
    {14, 16},   // (2,5) (3,4)
    {1, 12},    // (0,1) (2,3)
    {19, -1},   // (4,5)
}};

// The running sums of one chunk in lane pairs, each added in slot order
// exactly as one running sum would be.
struct ChunkAcc {
  std::int32_t live = 0, beam = 0;
  double n = 0.0;
  Pair s01{}, s23{}, s45{}, m01{}, m23{}, m45{}, ph_w{};
  std::array<Pair, 11> pr{};

  // One live particle of the given status with statistics coordinates v.
  [[gnu::always_inline]] inline void add(std::int32_t status, const Vec6& v, double mean_phase,
                                         const LoopParams& lp) {
    live += 1;
    beam += status == 0;
    const double adww = std::fabs(v[5]);
    const bool counted = adww < lp.dwwacc;  // inside the energy acceptance
    const bool in_max = adww < lp.dwwmax;   // inside the limit of the maxima
    if (!counted && !in_max) return;
    // Phase about the state's mean, wrapped into [-pi, pi).
    double d = v[4] - mean_phase;
    phase_wrap_2pi(d);
    const Pair v01{v[0], v[1]}, v23{v[2], v[3]}, v45{d, v[5]};
    if (counted) {
      n += 1.0;
      s01 += v01;
      s23 += v23;
      s45 += v45;
      pr[0] += v01 * v01;
      pr[1] += v23 * v23;
      pr[2] += v45 * v45;
      pr[3] += v01 * v23;
      pr[4] += v01 * v45;
      pr[5] += v23 * v45;
      pr[6] += v01 * swap_lanes(v23);
      pr[7] += v01 * swap_lanes(v45);
      pr[8] += v23 * swap_lanes(v45);
      pr[9] += Pair{v[0], v[2]} * Pair{v[1], v[3]};
      pr[10] += Pair{d, 0.0} * Pair{v[5], 0.0};
      const double ph = lp.add_phase_origin ? d + mean_phase + lp.phase_origin : d + mean_phase;
      ph_w += Pair{ph, (1.0 + v[5]) * lp.w_origin};
    }
    if (in_max) {
      m01 = max_lanes(m01, abs_lanes(v01));
      m23 = max_lanes(m23, abs_lanes(v23));
      m45 = max_lanes(m45, abs_lanes(v45));
    }
  }

  void finish(StatChunkSums& out) const {
    out = StatChunkSums{};
    out.n = n;
    out.live = live;
    out.beam = beam;
    out.sum = {s01[0], s01[1], s23[0], s23[1], s45[0], s45[1]};
    for (std::size_t t = 0; t < kPairProd.size(); ++t)
      for (int l = 0; l < 2; ++l)
        if (kPairProd[t][static_cast<std::size_t>(l)] >= 0)
          out.prod[static_cast<std::size_t>(kPairProd[t][static_cast<std::size_t>(l)])] = pr[t][l];
    out.phase_sum = ph_w[0];
    out.w_sum = ph_w[1];
    out.maxv = {m01[0], m01[1], m23[0], m23[1], m45[0], m45[1]};
  }

  // The same sums kept between two runs of slots (as plain numbers: the
  // lanes in order).
  void save(StepChunkSums& to) const {
    to.live = live;
    to.beam = beam;
    to.n = n;
    const std::array<const Pair*, 7> one{&s01, &s23, &s45, &m01, &m23, &m45, &ph_w};
    for (std::size_t j = 0; j < one.size(); ++j)
      for (int l = 0; l < 2; ++l) to.lanes[2 * j + static_cast<std::size_t>(l)] = (*one[j])[l];
    for (std::size_t t = 0; t < pr.size(); ++t)
      for (int l = 0; l < 2; ++l) to.lanes[14 + 2 * t + static_cast<std::size_t>(l)] = pr[t][l];
  }
  void load(const StepChunkSums& from) {
    live = from.live;
    beam = from.beam;
    n = from.n;
    const std::array<Pair*, 7> one{&s01, &s23, &s45, &m01, &m23, &m45, &ph_w};
    for (std::size_t j = 0; j < one.size(); ++j)
      *one[j] = Pair{from.lanes[2 * j], from.lanes[2 * j + 1]};
    for (std::size_t t = 0; t < pr.size(); ++t) pr[t] = Pair{from.lanes[14 + 2 * t], from.lanes[15 + 2 * t]};
  }
};
static_assert(std::tuple_size_v<decltype(StepChunkSums::lanes)> == 14 + 2 * 11);

// Sums of one chunk; with keep set the chunk's dW/W are kept there too.
void accumulate_chunk(const ParticleArrays& p, const WorkItem& w, double mean_phase, const LoopParams& lp,
                      double* keep, StatChunkSums& out) {
  const StateArrays a(p, w.iq);
  if (w.count_only) {
    std::int32_t live = 0, beam = 0;
    for (int i = w.begin; i <= w.end; ++i) {
      live += a.status[i] >= 0;
      beam += a.status[i] == 0;
    }
    out = StatChunkSums{};
    out.live = live;
    out.beam = beam;
    return;
  }
  ChunkAcc acc;
  const Deviations dev{lp.amu_kev, lp.w_origin, keep, nullptr};
  for_each_live(a, w.begin, w.end, dev, lp.phase_origin,
                [&](int i, Vec6& v) { acc.add(a.status[i], v, mean_phase, lp); });
  acc.finish(out);
}

void level_pass(BeamContext& sim, double T, LevelCurve* curve, const double* kept);

// Emittance and Twiss parameters of one plane from its moments.
struct PlaneTwiss {
  double eps = 0.0, alpha = 0.0, beta = 0.0, gamma = 0.0;
  bool degenerate = true;
};

// msq1, msq2: the mean squares of the two coordinates about the origin of
// the statistics coordinates, the scale of the rounding left in s11, s22.
PlaneTwiss plane_twiss(double s11, double s12, double s22, double msq1, double msq2) {
  PlaneTwiss t;
  const double det = s11 * s22 - s12 * s12;
  if (s11 > kRoundingSpread * msq1 && s22 > kRoundingSpread * msq2 && s11 > 0.0 && s22 > 0.0 &&
      det > kDegenerateDet * s11 * s22) {
    t.degenerate = false;
    t.eps = std::sqrt(det);
    t.beta = s11 / t.eps;
    t.alpha = -s12 / t.eps;
    t.gamma = s22 / t.eps;
  }
  return t;
}

// rms size of coordinate m of a plane: sqrt(eps * twiss) as a product of
// the plane's parameters; sqrt(|s_mm|) for a degenerate plane.
double rms_size(const PlaneTwiss& t, double twiss, double smm) {
  return t.degenerate ? std::sqrt(std::fabs(smm)) : std::sqrt(t.eps * twiss);
}

}  // namespace

StateRange statistics_range(const RunConfig& c) {
  StateRange r;
  r.first = std::max(c.nqtot0, 1);
  r.last = (c.nqtot1 <= 0 || c.nqtot1 > c.NQTOT) ? c.NQTOT : c.nqtot1;
  r.last = std::min(r.last, kMaxChargeStates);
  return r;
}

double energy_time_factor(double W, double FREQB, double harm) {
  const double den = kTwoPi * FREQB * harm;
  return den != 0.0 ? W * 1e9 / den : 0.0;
}

namespace {

// What a statistics call sets up before its pass over the particles: the
// chunks of slots and what the particle loop reads.
struct StatSetup {
  WorkItems items;
  int nitems = 0;
  int nrange = 0;  // the chunks of the statistics range come first
  std::int64_t slots = 0, all_slots = 0;
  LoopParams lp;
};

// Steps 1.-3. of the statistics at step k and the chunks of step 4; false
// when the mode gate leaves step k out.
bool stat_begin(BeamContext& sim, std::int32_t k, StatSetup& su) {
  RunState& st = sim.state;
  RunConfig& c = sim.config;
  ReferenceBlock& ref = sim.ref;
  QstatePhases& qp = sim.qphase;
  const int nstep = ref.nstep;

  // 1. Mode gate.
  if (st.istat_mode == 2) return false;
  if (st.istat_mode == 1 && k != 0 && k != nstep) return false;
  const int pos = st.ipos;
  if (k < 0 || k > kMaxSteps || pos < 0 || pos > kMaxElements)
    fatal(" STAT--> step " + std::to_string(k) + " or position " + std::to_string(pos) +
          " outside the records (steps 0.." + std::to_string(kMaxSteps) + ", positions 0.." +
          std::to_string(kMaxElements) + ")");

  // 2. Origins of the statistics coordinates.
  const int nq = std::min(c.NQTOT, kMaxChargeStates);
  RefPath& path = sim.ref_path;
  double w_origin = path(k, kRefW);
  if (k == 0) w_origin = sim.history.ref_W_in[pos];
  if (k == nstep) w_origin = sim.history.ref_W_out[pos];
  double phase_origin = path(k, kRefPhase);
  if (k == nstep && st.iflag_chain == 0) phase_origin = 0.0;
  ref.w_origin = w_origin;
  ref.phase_origin = phase_origin;

  // 3. Phase origins about which each state's phases are wrapped: 0 unless an
  //    RFQ set them; the states' mean phases in time mode.
  if (st.IRIARFQ == 0)
    for (int iq = 1; iq <= nq; ++iq) qp.qstate_phase_origin[iq] = 0.0;
  if (st.iflag_t == 1) avg_phase_by_q(sim, kPi / 2.0);

  // 4. The chunks of the pass over the slots 0..NPAT of every state: the
  //    sums of the statistics range, and of every state its live particles
  //    (test particles excluded) and its beam particles with status 0.
  const StateRange range = statistics_range(c);
  su.nitems = make_stat_items(c, range, nq, su.items, su.slots, su.all_slots);
  su.nrange = 0;
  while (su.nrange < su.nitems && !su.items[static_cast<std::size_t>(su.nrange)].count_only) ++su.nrange;
  LoopParams& lp = su.lp;
  lp.amu_kev = ref.amu_kev;
  lp.w_origin = w_origin;
  lp.phase_origin = phase_origin;
  lp.dwwacc = c.DWWACC;
  lp.dwwmax = c.DWWMAX;
  lp.add_phase_origin = st.iflag_t != 1;
  return true;
}

// Steps 5.-18. of the statistics at step k from the sums of the chunks in
// sim.stats.chunk.
void stat_end(BeamContext& sim, std::int32_t k, const StatSetup& su) {
  RunState& st = sim.state;
  RunConfig& c = sim.config;
  ReferenceBlock& ref = sim.ref;
  BeamStats& bs = sim.stats;
  BeamMoments& bm = sim.beam_moments;
  QstatePhases& qp = sim.qphase;
  const int nstep = ref.nstep;
  const int pos = st.ipos;
  const int nq = std::min(c.NQTOT, kMaxChargeStates);
  RefPath& path = sim.ref_path;
  const double w_origin = su.lp.w_origin;
  const StateRange range = statistics_range(c);
  const WorkItems& items = su.items;
  const int nitems = su.nitems, nrange = su.nrange;

  // 5. At least three live particles in all states; the beam particles of
  //    each state carry its macro-particle charge.
  std::int64_t live_all = 0;
  std::array<std::int64_t, kMaxChargeStates + 1> beam{};
  for (int w = 0; w < nitems; ++w) {
    const StatChunkSums& ch = bs.chunk[static_cast<std::size_t>(w)];
    live_all += ch.live;
    beam[static_cast<std::size_t>(items[static_cast<std::size_t>(w)].iq)] += ch.beam;
  }
  if (live_all < 3) fatal("STAT--> too low number of particles in VELMO");
  double sc_charge = 0.0;
  for (int iq = 1; iq <= nq; ++iq) sc_charge += static_cast<double>(beam[iq]) * sim.current.qmacro[iq];

  // 6. Clear the maxima of this step and the per-state records.
  for (int m = 0; m < 6; ++m) path(k - 1, kRefBeamMax + m) = 0.0;
  for (int iq = 1; iq <= nq; ++iq) {
    qp.qstate_count[iq] = 0.0;
    bs.qstate_centroids[iq].fill(0.0);
  }
  bm.centroid.fill(0.0);
  for (auto& row : bm.sigma) row.fill(0.0);

  // 7. Charge of the beam for space charge.
  sim.sc.sc_charge = sim.current.scur >= kScurMin ? sc_charge : 0.0;

  // Per-state sums, combined chunk by chunk in slot order.
  struct StateSums {
    double n = 0.0;
    std::array<double, 6> sum{};
    std::array<double, 21> prod{};
    double phase_sum = 0.0, w_sum = 0.0;
  };
  std::array<StateSums, kMaxChargeStates + 1> ss{};
  std::array<double, 6> maxv{};
  std::int32_t L = 0;
  for (int w = 0; w < nrange; ++w) {
    const StatChunkSums& ch = bs.chunk[static_cast<std::size_t>(w)];
    StateSums& s = ss[items[static_cast<std::size_t>(w)].iq];
    s.n += ch.n;
    for (int m = 0; m < 6; ++m) s.sum[m] += ch.sum[m];
    for (int q = 0; q < 21; ++q) s.prod[q] += ch.prod[q];
    s.phase_sum += ch.phase_sum;
    s.w_sum += ch.w_sum;
    for (int m = 0; m < 6; ++m) maxv[m] = std::max(maxv[m], ch.maxv[m]);
    L += ch.live;
  }
  for (int m = 0; m < 6; ++m) path(k - 1, kRefBeamMax + m) = maxv[m];
  double N = 0.0;
  for (int iq = range.first; iq <= range.last; ++iq) {
    qp.qstate_count[iq] = ss[iq].n;
    N += ss[iq].n;
    if (ss[iq].n > 0.0) {
      auto& cen = bs.qstate_centroids[iq];
      for (int m = 1; m <= 4; ++m) cen[m] = ss[iq].sum[m - 1] / ss[iq].n;
      cen[5] = ss[iq].phase_sum / ss[iq].n;
      cen[6] = ss[iq].w_sum / ss[iq].n;
    }
  }

  // 8. Whole-beam sums.
  for (int iq = range.first; iq <= range.last; ++iq) {
    for (int m = 1; m <= 6; ++m) bm.centroid[m] += ss[iq].sum[m - 1];
    for (int m = 1; m <= 6; ++m)
      for (int j = 1; j <= 6; ++j) bm.sigma[m][j] += ss[iq].prod[kProd.at[m - 1][j - 1]];
  }

  // 9. Step values of the error-seed statistics.
  if (c.IFLAG_CORR != 0) {
    bs.err_step.step_sum = bm.centroid;
    bs.err_step.step_sumsq = bm.sigma;
    bs.err_step.step_count = N;
  }

  // 10. Per-state means and covariances (n - 1 in the denominator).
  for (int iq = range.first; iq <= range.last; ++iq) {
    const double n = ss[iq].n;
    auto& mean = bs.q_mean[iq];
    auto& cov = bs.q_sigma[iq];
    for (int m = 1; m <= 6; ++m) mean[m] = n > 0.0 ? ss[iq].sum[m - 1] / n : 0.0;
    for (int m = 1; m <= 6; ++m)
      for (int j = 1; j <= 6; ++j)
        cov[m][j] = n >= 2.0 ? (ss[iq].prod[kProd.at[m - 1][j - 1]] - n * mean[m] * mean[j]) / (n - 1.0) : 0.0;
  }

  // 11. Whole beam. The mean squares about the origin first: the scale of
  //     the rounding that the central moments keep.
  std::array<double, 7> msq{};
  for (int m = 1; m <= 6; ++m) msq[m] = N > 0.0 ? bm.sigma[m][m] / N : 0.0;
  for (int m = 1; m <= 6; ++m) bm.centroid[m] = N > 0.0 ? bm.centroid[m] / N : 0.0;
  for (int m = 1; m <= 6; ++m)
    for (int j = 1; j <= 6; ++j)
      bm.sigma[m][j] = N >= 2.0 ? (bm.sigma[m][j] - N * bm.centroid[m] * bm.centroid[j]) / (N - 1.0) : 0.0;

  // 12. Phase centroid and mean energy of the position, whatever the mode.
  ElementStatsRow& row = bs.element_stats[static_cast<std::size_t>(pos)];
  row.phic = bm.centroid[5];
  row.w_mean = (bm.centroid[6] + 1.0) * w_origin * 0.001;
  if (st.istat_mode == 1) return;

  // 13. rms values, emittances and Twiss parameters of the step.
  StepStatsRow& srow = bs.step_stats[static_cast<std::size_t>(k)];
  for (int m = 1; m <= 6; ++m) srow.v[m] = std::sqrt(std::fabs(bm.sigma[m][m]));
  std::array<PlaneTwiss, 4> tw{};
  for (int pl = 1; pl <= 3; ++pl) {
    const int a = 2 * pl - 1, b = 2 * pl;
    tw[pl] = plane_twiss(bm.sigma[a][a], bm.sigma[a][b], bm.sigma[b][b], msq[a], msq[b]);
    bm.eps_rms[pl] = tw[pl].eps;
    bm.twiss_beta[pl] = tw[pl].beta;
    bm.twiss_alpha[pl] = tw[pl].alpha;
    bm.twiss_gamma[pl] = tw[pl].gamma;
    srow.v[6 + pl] = tw[pl].eps;
  }

  // 14. Only the exit call goes on.
  if (k < nstep) return;

  // 15. Counts at the exit of the position.
  PositionCounts& pc = bs.position_counts;
  // The first element counts its losses too: n_live(iel_first) holds the
  // entrance count, copied before the element ran.
  pc.n_lost[pos] = pos >= c.iel_first ? pc.n_live[pos] - L : 0;
  pc.n_live[pos] = L;

  // 16. Reference factors at the exit.
  const double W = sim.history.ref_W_out[pos];
  const double T = energy_time_factor(W, ref.FREQB, ref.harm);
  ref.gamma_s = W / ref.amu_kev + 1.0;
  ref.beta_s = std::sqrt(1.0 - 1.0 / (ref.gamma_s * ref.gamma_s));
  ref.betgam0 = ref.beta_s * ref.gamma_s;
  const double bg = ref.betgam0;

  // 17. Maximum and level emittances, and a level curve on request.
  if (c.IFLAG_LEV == 1) {
    LevelCurve curve;
    level_pass(sim, T, &curve, bs.level_dww.data());
    c.IFLAG_LEV = 0;
    write_emit_level(sim, curve);
  } else {
    level_pass(sim, T, nullptr, bs.level_dww.data());
  }

  // 18. The record of the position.
  row.exn_rms4 = 4.0 * bm.eps_rms[1] * bg;
  row.eyn_rms4 = 4.0 * bm.eps_rms[2] * bg;
  row.ezn_rms4 = 4.0 * bm.eps_rms[3] * T;
  row.exn_max = bm.eps_max[1] * bg;
  row.eyn_max = bm.eps_max[2] * bg;
  row.ezn_max = bm.eps_max[3] * T;
  row.x_rms = rms_size(tw[1], bm.twiss_beta[1], bm.sigma[1][1]);
  row.xp_rms = rms_size(tw[1], bm.twiss_gamma[1], bm.sigma[2][2]);
  row.y_rms = rms_size(tw[2], bm.twiss_beta[2], bm.sigma[3][3]);
  row.yp_rms = rms_size(tw[2], bm.twiss_gamma[2], bm.sigma[4][4]);
  row.phi_rms = rms_size(tw[3], bm.twiss_beta[3], bm.sigma[5][5]);
  row.dww_rms = rms_size(tw[3], bm.twiss_gamma[3], bm.sigma[6][6]);
  row.exn_level = bs.eps_level[1] * bg;
  row.eyn_level = bs.eps_level[2] * bg;
  row.ezn_level = bs.eps_level[3] * T;
  row.xc = bm.centroid[1];
  row.xpc = bm.centroid[2];
  row.yc = bm.centroid[3];
  row.ypc = bm.centroid[4];
  row.btgm = bg;
  row.beam_max[1] = path(nstep - 1, kRefBeamMax + 0);
  row.beam_max[2] = path(nstep - 1, kRefBeamMax + 2);
  row.beam_max[3] = path(nstep - 1, kRefBeamMax + 4);
  row.alpha_x = bm.twiss_alpha[1];
  row.beta_x = bm.twiss_beta[1];
  row.alpha_y = bm.twiss_alpha[2];
  row.beta_y = bm.twiss_beta[2];
  row.alpha_z = bm.twiss_alpha[3];
  row.beta_z = bm.twiss_beta[3];
}

}  // namespace

void stat(BeamContext& sim, std::int32_t k) {
  StatSetup su;
  if (!stat_begin(sim, k, su)) return;
  BeamStats& bs = sim.stats;
  const ParticleArrays& p = sim.particles;
  const QstatePhases& qp = sim.qphase;
  // 4. One pass over the slots, chunk by chunk.
  const bool parallel = su.all_slots >= kParallelSlots;
  // The exit call goes on to the level emittances, which read the same
  // particles' dW/W: this pass keeps them.
  const bool keep_dww = k >= sim.ref.nstep && sim.state.istat_mode == 0;
  if (keep_dww && bs.level_dww.size() < static_cast<std::size_t>(su.slots))
    bs.level_dww.resize(static_cast<std::size_t>(su.slots));
  double* const keep = keep_dww ? bs.level_dww.data() : nullptr;
  const WorkItems& items = su.items;
  const LoopParams& lp = su.lp;
#pragma omp parallel for schedule(static) if (parallel)
  for (int w = 0; w < su.nitems; ++w) {
    const WorkItem& it = items[static_cast<std::size_t>(w)];
    accumulate_chunk(p, it, qp.qstate_phase_origin[it.iq], lp, keep && !it.count_only ? keep + it.flat : nullptr,
                     bs.chunk[static_cast<std::size_t>(w)]);
  }
  stat_end(sim, k, su);
}

void level_emittances(BeamContext& sim, double T, LevelCurve* curve) { level_pass(sim, T, curve, nullptr); }

namespace {

// The level emittances; with kept set the dW/W of the statistics range's
// slots (in the order of the work items) are read from there.
void level_pass(BeamContext& sim, double T, LevelCurve* curve, const double* kept) {
  const RunConfig& c = sim.config;
  const ReferenceBlock& ref = sim.ref;
  const ParticleArrays& p = sim.particles;
  const QstatePhases& qp = sim.qphase;
  BeamMoments& bm = sim.beam_moments;
  BeamStats& bs = sim.stats;

  // Normalising factors of each plane: u = (q - a q') / bu, w = q' / bw.
  std::array<bool, 4> active{};
  std::array<double, 4> a{}, bu{}, bw{};
  for (int pl = 1; pl <= 3; ++pl) {
    const int i1 = 2 * pl - 1, i2 = 2 * pl;
    const double s12 = bm.sigma[i1][i2], s22 = bm.sigma[i2][i2];
    active[pl] = bm.eps_rms[pl] > 0.0;
    if (active[pl]) {
      a[pl] = s12 / s22;
      bu[pl] = bm.eps_rms[pl] / std::sqrt(s22);
      bw[pl] = std::sqrt(s22);
    }
  }

  const StateRange range = statistics_range(c);
  WorkItems items;
  std::int64_t slots = 0;
  const int nitems = make_work_items(c, range, items, slots);
  const bool parallel = slots >= kParallelSlots;
  const double amu = ref.amu_kev, w_origin = ref.w_origin, phase_origin = ref.phase_origin;
  const double dwwacc = c.DWWACC;
  auto& store = bs.level_r;
  if (store.size() < static_cast<std::size_t>(3 * slots)) store.resize(static_cast<std::size_t>(3 * slots));
  std::array<double, 7> cen{};
  for (int m = 1; m <= 6; ++m) cen[m] = bm.centroid[m];
  // The divisors as lane pairs (an inactive plane divides by 0; its r is
  // replaced by 0 afterwards).
  const Pair a12{a[1], a[2]}, bu12{bu[1], bu[2]}, bw12{bw[1], bw[2]}, div3{bu[3], bw[3]};

  // One team for both passes over the slots, which meet at a barrier where
  // the largest invariant is known.
  std::array<double, 4> rmax{1.0, 1.0, 1.0, 1.0};
  std::int64_t counted = 0;
  using Hist = std::array<std::array<std::int64_t, kLevelBins + 1>, 4>;
  Hist hist{};
#pragma omp parallel if (parallel)
  {
    // 1. Single-particle invariants r (in units of the rms emittance) of
    //    the counted particles about the beam centroid, three per slot (r
    //    of an inactive plane 0; a slot not counted holds -1), and the
    //    largest invariant, at least 1.
    std::array<double, 4> local{1.0, 1.0, 1.0, 1.0};
    std::int64_t n_local = 0;
#pragma omp for schedule(static) nowait
    for (int w = 0; w < nitems; ++w) {
      const WorkItem& it = items[static_cast<std::size_t>(w)];
      const StateArrays arr(p, it.iq);
      const double mean_phase = qp.qstate_phase_origin[it.iq];
      double* r = store.data() + 3 * it.flat;
      std::fill(r, r + 3 * (it.end - it.begin + 1), -1.0);
      const Deviations dev{amu, w_origin, nullptr, kept ? kept + it.flat : nullptr};
      for_each_live(arr, it.begin, it.end, dev, phase_origin, [&](int i, Vec6& v) {
        if (!(std::fabs(v[5]) < dwwacc)) return;
        double d = v[4] - mean_phase;
        phase_wrap_2pi(d);
        ++n_local;
        // u = (q - a q') / bu and w = q' / bw of the three planes, two
        // divisions per instruction: (u1, u2), (w1, w2), (u3, w3).
        const Pair q12{v[0] - cen[1], v[2] - cen[3]}, qp12{v[1] - cen[2], v[3] - cen[4]};
        const double q3 = d - cen[5], qp3 = v[5] - cen[6];
        const Pair u12 = (q12 - a12 * qp12) / bu12;
        const Pair w12 = qp12 / bw12;
        const Pair uw3 = Pair{q3 - a[3] * qp3, qp3} / div3;
        const Pair r12 = u12 * u12 + w12 * w12;
        const double r3 = uw3[0] * uw3[0] + uw3[1] * uw3[1];
        double* ri = r + 3 * (i - it.begin);
        ri[0] = active[1] ? r12[0] : 0.0;
        ri[1] = active[2] ? r12[1] : 0.0;
        ri[2] = active[3] ? r3 : 0.0;
        for (int pl = 1; pl <= 3; ++pl) local[pl] = std::max(local[pl], ri[pl - 1]);
      });
    }
    // The largest of the threads' maxima and the sum of their integer
    // counts: the same in any order.
#pragma omp critical
    {
      counted += n_local;
      for (int pl = 1; pl <= 3; ++pl) rmax[pl] = std::max(rmax[pl], local[pl]);
    }
#pragma omp barrier

    // 2.-3. Histogram of r / r_max in 1000 bins of width eps_max / 1000;
    //    the particle at r_max falls in bin 1001. Integer counts, so the
    //    merge of the threads' histograms is exact in any order.
    Hist mine{};
    const Pair rmax12{rmax[1], rmax[2]}, rmax3{rmax[3], 1.0};
#pragma omp for schedule(static) nowait
    for (int w = 0; w < nitems; ++w) {
      const WorkItem& it = items[static_cast<std::size_t>(w)];
      const double* r = store.data() + 3 * it.flat;
      for (int s = 0; s <= it.end - it.begin; ++s) {
        const double* ri = r + 3 * s;
        if (ri[0] < 0.0) continue;
        // 1000 (r / r_max) of the three planes, two divisions per instruction.
        const Pair t12 = 1000.0 * (Pair{ri[0], ri[1]} / rmax12);
        const Pair t3 = 1000.0 * (Pair{ri[2], 0.0} / rmax3);
        const std::array<double, 4> t{0.0, t12[0], t12[1], t3[0]};
        for (int pl = 1; pl <= 3; ++pl) {
          if (!active[pl]) continue;
          int j = t[pl] < 1000.0 ? static_cast<int>(t[pl]) + 1 : kLevelBins;
          j = std::clamp(j, 1, kLevelBins);
          ++mine[pl][static_cast<std::size_t>(j)];
        }
      }
    }
#pragma omp critical
    for (int pl = 1; pl <= 3; ++pl)
      for (int j = 1; j <= kLevelBins; ++j) hist[pl][j] += mine[pl][j];
  }

  // 4.-6. Cumulative fractions, level emittance and level curve.
  for (int pl = 1; pl <= 3; ++pl) {
    if (!active[pl] || counted == 0) {
      bm.eps_max[pl] = 0.0;
      bs.eps_level[pl] = 0.0;
      if (curve) {
        for (int i = 0; i < kLevelCurveRows; ++i) {
          curve->e[i][pl] = 0.0;
          curve->f[i][pl] = i == 0 ? 1.0 : 0.0;
        }
      }
      continue;
    }
    bm.eps_max[pl] = rmax[pl] * bm.eps_rms[pl];
    const double d = bm.eps_max[pl] / 1000.0;
    std::array<double, kLevelBins + 1> F{};
    std::int64_t cum = 0;
    for (int j = 1; j <= kLevelBins; ++j) {
      cum += hist[pl][j];
      F[j] = static_cast<double>(cum) / static_cast<double>(counted);
    }
    for (int j = 1; j <= kLevelBins; ++j) {
      if (F[j] > sim.PART) {
        bs.eps_level[pl] = (j - 0.5) * d;
        break;
      }
    }
    if (curve) {
      const double unit = pl < 3 ? ref.betgam0 * 1000.0 : T;
      for (int i = 0; i < kLevelCurveRows; ++i) {
        curve->e[i][pl] = 10.0 * i * d * unit;
        curve->f[i][pl] = i == 0 ? 1.0 : 1.0 - F[static_cast<std::size_t>(10 * i)];
      }
    }
  }
}

}  // namespace

void stat_copy_prev(BeamContext& sim, std::int32_t p) {
  if (p < 1 || p > kMaxElements) return;
  BeamStats& bs = sim.stats;
  bs.element_stats[static_cast<std::size_t>(p)] = bs.element_stats[static_cast<std::size_t>(p - 1)];
  bs.position_counts.n_live[p] = bs.position_counts.n_live[p - 1];
  bs.position_counts.n_lost[p] = bs.position_counts.n_lost[p - 1];
}

void stat_acceptance_exit(BeamContext& sim) {
  RefPath& path = sim.ref_path;
  for (int k = 0; k <= 1; ++k) {
    for (int m = 0; m < 6; ++m) path(k - 1, kRefBeamMax + m) = 0.0;
    for (int m = 1; m <= 6; ++m) sim.stats.step_stats[static_cast<std::size_t>(k)].v[m] = 0.0;
  }
  sim.ref.nstep = 1;
  const int pos = sim.state.ipos;
  sim.stats.element_stats[static_cast<std::size_t>(pos)].w_mean = sim.history.ref_W_out[pos] * 0.001;
  sim.ref.phase_origin = sim.state.iflag_chain == 1 ? sim.history.ref_phase_out[pos] : 0.0;
  sim.ref.w_origin = sim.history.ref_W_out[pos];
}

bool step_sums_possible(const BeamContext& sim) {
  if (sim.state.iflag_t == 1) return false;
  std::size_t chunks = 0;
  const int nq = std::min(sim.config.NQTOT, kMaxChargeStates);
  for (int iq = 1; iq <= nq; ++iq) {
    const int last = std::min(sim.config.NPAT[iq], kMaxParticles);
    chunks += static_cast<std::size_t>(last / kStatChunk + 1);
  }
  const std::size_t steps = static_cast<std::size_t>(std::max(sim.ref.nstep - 1, 0));
  return steps * chunks * sizeof(StepChunkSums) <= kStepSumsBytes;
}

void prepare_step_sums(BeamContext& sim) {
  StepSumsPlan& plan = sim.stats.step_sums;
  const RunState& st = sim.state;
  const RunConfig& c = sim.config;
  const int nstep = sim.ref.nstep;
  plan.steps = 0;
  plan.nitems = 0;
  // The mode gate of stat leaves every intermediate step out unless
  // istat_mode = 0.
  if (st.istat_mode != 0 || nstep < 2) return;
  const int nq = std::min(c.NQTOT, kMaxChargeStates);
  WorkItems items;
  std::int64_t slots = 0, all_slots = 0;
  plan.nitems = make_stat_items(c, statistics_range(c), nq, items, slots, all_slots);
  plan.first_item.fill(0);
  plan.last_slot.fill(-1);
  for (int w = plan.nitems - 1; w >= 0; --w) {
    const WorkItem& it = items[static_cast<std::size_t>(w)];
    plan.first_item[it.iq] = w;
    plan.last_slot[it.iq] = std::max(plan.last_slot[it.iq], it.end);
    plan.count_only[it.iq] = it.count_only;
  }
  // The per-state phase origins and the step origins stat_begin takes at each step.
  for (int iq = 1; iq <= nq; ++iq)
    plan.mean_phase[iq] = st.IRIARFQ == 0 ? 0.0 : sim.qphase.qstate_phase_origin[iq];
  const RefPath& path = sim.ref_path;
  plan.steps = nstep - 1;
  plan.w_origin.assign(static_cast<std::size_t>(nstep), 0.0);
  plan.phase_origin.assign(static_cast<std::size_t>(nstep), 0.0);
  for (int k = 1; k < nstep; ++k) {
    plan.w_origin[static_cast<std::size_t>(k)] = path(k, kRefW);
    plan.phase_origin[static_cast<std::size_t>(k)] = path(k, kRefPhase);
  }
  plan.amu_kev = sim.ref.amu_kev;
  plan.dwwacc = c.DWWACC;
  plan.dwwmax = c.DWWMAX;
  plan.add_phase_origin = st.iflag_t != 1;
  plan.sums.assign(static_cast<std::size_t>(plan.steps) * static_cast<std::size_t>(plan.nitems), StepChunkSums{});
}

void add_step_sums(BeamContext& sim, int k, int iq, const std::int32_t* slots, int n) {
  StepSumsPlan& plan = sim.stats.step_sums;
  if (k < 1 || k > plan.steps || iq < 1 || iq > kMaxChargeStates) return;
  // Test particles (after slot NPAT) are not counted.
  while (n > 0 && slots[n - 1] > plan.last_slot[iq]) --n;
  if (n == 0) return;
  StepChunkSums& to = plan.sums[static_cast<std::size_t>(k - 1) * static_cast<std::size_t>(plan.nitems) +
                                static_cast<std::size_t>(plan.first_item[iq] + slots[0] / kStatChunk)];
  const StateArrays a(sim.particles, iq);
  if (plan.count_only[iq]) {
    for (int j = 0; j < n; ++j) {
      to.live += 1;
      to.beam += a.status[slots[j]] == 0;
    }
    return;
  }
  LoopParams lp;
  lp.amu_kev = plan.amu_kev;
  lp.w_origin = plan.w_origin[static_cast<std::size_t>(k)];
  lp.phase_origin = plan.phase_origin[static_cast<std::size_t>(k)];
  lp.dwwacc = plan.dwwacc;
  lp.dwwmax = plan.dwwmax;
  lp.add_phase_origin = plan.add_phase_origin;
  const double mean_phase = plan.mean_phase[iq];
  ChunkAcc acc;
  acc.load(to);
  double beta[kCoordBlock], dww[kCoordBlock];
  for (int b = 0; b < n; b += kCoordBlock) {
    const int nb = std::min(kCoordBlock, n - b);
    for (int j = 0; j < nb; ++j) beta[j] = a.beta[slots[b + j]];
    energy_deviations(beta, nb, lp.amu_kev, lp.w_origin, dww);
    for (int j = 0; j < nb; ++j) {
      const int i = slots[b + j];
      Vec6 v;
      a.coords(i, lp.phase_origin, dww[j], v);
      acc.add(a.status[i], v, mean_phase, lp);
    }
  }
  acc.save(to);
}

void stat_from_step_sums(BeamContext& sim, std::int32_t k) {
  StatSetup su;
  if (!stat_begin(sim, k, su)) return;
  const StepSumsPlan& plan = sim.stats.step_sums;
  if (k < 1 || k > plan.steps || su.nitems != plan.nitems)
    fatal(" STAT--> the sums of step " + std::to_string(k) + " were not taken");
  for (int w = 0; w < su.nitems; ++w) {
    ChunkAcc acc;
    acc.load(plan.sums[static_cast<std::size_t>(k - 1) * static_cast<std::size_t>(plan.nitems) +
                       static_cast<std::size_t>(w)]);
    acc.finish(sim.stats.chunk[static_cast<std::size_t>(w)]);
  }
  stat_end(sim, k, su);
}

}  // namespace linac
