#include "transport/filter.hpp"

#include <cmath>
#include <vector>

#include <fmt/format.h>

#include "beam/phase_groups.hpp"
#include "beam/stats.hpp"
#include "transport/transport_context.hpp"
#include "common/unit_numbers.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "transport/point_elements.hpp"
#include "transport/reference.hpp"
#include "transport/seams.hpp"

namespace linac {

namespace {

// Removes the beam particles (slot 0 and the beam, not the test particles)
// whose |W - w0| / w0 exceeds the acceptance; counts the live and removed
// ones per charge state into the filter memory.
void energy_cut(TransportContext& sim, double acceptance) {
  FilterMemory& fm = sim.filter_memory;
  const double w0 = sim.ref.w0;
  const double amu = sim.ref.amu_kev;
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    std::int32_t* status = sim.particles.status[iq];
    const double* beta = sim.particles.beta[iq];
    const int last = std::min(sim.config.NPAT[iq], kMaxParticles);
    int live = 0;
    int cut = 0;
#pragma omp parallel for schedule(static) reduction(+ : live, cut) if (last + 1 >= kMinParallelSlots)
    for (int i = 0; i <= last; ++i) {
      if (status[i] < 0) continue;
      ++live;
      const double gamma = 1.0 / std::sqrt(1.0 - beta[i] * beta[i]);
      if (std::abs(((gamma - 1.0) * amu - w0) / w0) > acceptance) {
        status[i] = kLost;
        ++cut;
      }
    }
    fm.live[static_cast<std::size_t>(iq)] = live;
    fm.cut[static_cast<std::size_t>(iq)] = cut;
  }
}

[[noreturn]] void no_counted_particle(const TransportContext& sim, std::int32_t n, double qnew) {
  fatal({fmt::format(" {}: no counted particle in the charge states around the new design charge {}",
                     element_label(sim, n), qnew),
         " the filter cannot choose a design energy; check P1 and P2 of its line"},
        true);
}

// New design energy Wn and phase centre ph from the per-state statistics of
// the charge states around qnew (group_lo, group_hi). Only states with
// counted particles take part.
void choose_design(TransportContext& sim, std::int32_t n, double qnew) {
  FilterMemory& fm = sim.filter_memory;
  const StateRange range = statistics_range(sim.config);
  const auto& count = sim.qphase.qstate_count;
  const auto& cen = sim.stats.qstate_centroids;
  const ChargeGroups& g = sim.charge_groups;
  auto P = [&](int iq) { return cen[static_cast<std::size_t>(iq)][5]; };
  auto W = [&](int iq) { return cen[static_cast<std::size_t>(iq)][6]; };
  if (g.group_hi == 0) {
    // qnew outside the charges of the beam: the energy of the first state
    // with counted particles, and the mean of the states' mean phases, each
    // moved by whole turns to within pi of that state's.
    int first = 0;
    for (int iq = range.first; iq <= range.last && first == 0; ++iq)
      if (count[iq] > 0.0) first = iq;
    if (first == 0) no_counted_particle(sim, n, qnew);
    double sum = 0.0;
    int states = 0;
    for (int iq = first; iq <= range.last; ++iq) {
      if (!(count[iq] > 0.0)) continue;
      sum += P(iq) - kTwoPi * nint((P(iq) - P(first)) / kTwoPi);
      ++states;
    }
    fm.Wn = W(first);
    fm.ph = sum / states;
    return;
  }
  // Count-weighted means over the two bracketing groups (the same states
  // twice for a match).
  double S1 = 0.0, F1 = 0.0, E1 = 0.0, S2 = 0.0, F2 = 0.0, E2 = 0.0;
  for (int iq = range.first; iq <= range.last; ++iq) {
    const std::int32_t grp = g.group_of_state[static_cast<std::size_t>(iq)];
    if (grp == g.group_lo) {
      S1 += count[iq];
      F1 += count[iq] * P(iq);
      E1 += count[iq] * W(iq);
    }
    if (grp == g.group_hi) {
      S2 += count[iq];
      F2 += count[iq] * P(iq);
      E2 += count[iq] * W(iq);
    }
  }
  if (S1 > 0.0 && S2 > 0.0) {
    fm.Wn = (E1 + E2) / (S1 + S2);
    const double p1 = F1 / S1;
    const double p2 = F2 / S2;
    fm.ph = (p1 + p2 - kTwoPi * nint((p2 - p1) / kTwoPi)) / 2.0;
  } else if (S1 > 0.0) {
    fm.Wn = E1 / S1;
    fm.ph = F1 / S1;
  } else if (S2 > 0.0) {
    fm.Wn = E2 / S2;
    fm.ph = F2 / S2;
  } else {
    no_counted_particle(sim, n, qnew);
  }
}

void write_report(TransportContext& sim, double q_old, double w_old) {
  const FilterMemory& fm = sim.filter_memory;
  const RunConfig& c = sim.config;
  const int nq = std::min(c.NQTOT, kMaxChargeStates);
  write_checked(sim, kUnitLog, "(A10,F12.4,A8)", {std::string_view("QdesignOld= "), q_old});
  write_checked(sim, kUnitLog, "(A10,F12.4,A8)", {std::string_view("QdesignNew= "), sim.ref.QDESIGN});
  write_checked(sim, kUnitLog, "(A10,F12.4,A8)",
                  {std::string_view("   WtmpOld= "), w_old, std::string_view(" Kev/u")});
  write_checked(sim, kUnitLog, "(A10,F12.4,A8)",
                  {std::string_view("   WtmpNew= "), sim.ref.w0, std::string_view(" Kev/u")});
  // One row per quantity, one column per charge state.
  auto row = [&](std::string_view fmt, std::string_view title, auto value) {
    std::vector<FmtItem> items{title};
    for (int iq = 1; iq <= nq; ++iq) items.push_back(value(static_cast<std::size_t>(iq)));
    write_checked(sim, kUnitLog, fmt, std::span<const FmtItem>(items));
  };
  // Current per live particle; a state emptied by a stripper (NPAT + 1 = 0)
  // carries none.
  auto current_of = [&](std::size_t iq, std::int32_t particles) -> double {
    const std::int32_t slots = c.NPAT[iq] + 1;
    return slots > 0 ? sim.current.CURRENT[iq] * particles / slots : 0.0;
  };
  row("(A30,6F8.1)", "  CHARGES  iq=1,nqtot        ", [&](std::size_t iq) -> FmtItem { return c.QQ[iq]; });
  row("(A30,6I8)", "  NPAT     initial           ", [&](std::size_t iq) -> FmtItem { return c.NPAT[iq]; });
  row("(A30,6I8)", "  LOSSES   before the filter ",
      [&](std::size_t iq) -> FmtItem { return c.NPAT[iq] + 1 - fm.live[iq]; });
  row("(A30,6I8)", "  LOSSES   in the filter     ", [&](std::size_t iq) -> FmtItem { return fm.cut[iq]; });
  row("(A30,6I8)", "  NPAT     after the filter  ",
      [&](std::size_t iq) -> FmtItem { return fm.live[iq] - fm.cut[iq]; });
  row("(A30,6F8.2)", "  CURRENT  before filter, mA ",
      [&](std::size_t iq) -> FmtItem { return current_of(iq, fm.live[iq]); });
  row("(A30,6F8.2)", "  CURRENT  after  filter, mA ",
      [&](std::size_t iq) -> FmtItem { return current_of(iq, fm.live[iq] - fm.cut[iq]); });
}

}  // namespace

void filtr_element(TransportContext& sim, std::int32_t n) {
  RunState& s = sim.state;
  RunConfig& c = sim.config;
  ReferenceBlock& r = sim.ref;
  const auto& P = sim.elements.elem_par[n];
  sim.units.write(kUnitLog, list_directed({kFilterMark}));
  s.ipos += 1;
  if (s.idraw == 1) return;
  c.DWWACC = P[1];
  double qnew = P[2];
  const std::int32_t mode = nint(P[3]);

  energy_cut(sim, c.DWWACC);
  sim.history.ref_W_out[s.ipos] = r.w0;
  stat(sim, r.nstep);

  if (qnew == 0.0) qnew = r.QDESIGN;
  group_charge_states(sim, qnew);
  choose_design(sim, n, qnew);

  // Phases re-centred on ph about each state's origin, wrapped at the
  // bunch period.
  const FilterMemory& fm = sim.filter_memory;
  const double ph = fm.ph;
  const std::int32_t nharm = c.nharm_sc;
  auto& origin = sim.qphase.qstate_phase_origin;
  ParticleArrays& p = sim.particles;
  for_each_live_slot(sim, [&](int iq, int i) {
    const double O = origin[static_cast<std::size_t>(iq)];
    p.phase[iq][i] = O + phase_wrap_harm(p.phase[iq][i] - ph - O, nharm);
  });
  if (mode == 1) {
    // A new section: one bunch period, phases into [-pi, pi), origins 0.
    c.nharm_sc = 1;
    s.IRIARFQ = 0;
    for_each_live_slot(sim, [&](int iq, int i) {
      double d = p.phase[iq][i] - origin[static_cast<std::size_t>(iq)];
      p.phase[iq][i] = phase_wrap_2pi(d);
    });
    for (int iq = 1; iq <= c.NQTOT; ++iq) origin[static_cast<std::size_t>(iq)] = 0.0;
  }

  const double q_old = r.QDESIGN;
  const double w_old = r.w0;
  r.QDESIGN = qnew;
  r.w0 = fm.Wn;
  zero_length_reference(sim);
  stat(sim, r.nstep);
  if (c.IGRAPH == 1) plot_step(sim, r.elem_len);
  write_report(sim, q_old, w_old);
}

}  // namespace linac
