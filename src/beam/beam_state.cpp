#include "beam/beam_state.hpp"

#include <fmt/format.h>

#include <type_traits>

#include <cmath>

#include "common/constants.hpp"
#include "common/input_ranges.hpp"
#include "beam/beam_context.hpp"
#include "common/text_utils.hpp"
#include "platform/fatal.hpp"
#include "platform/unformatted.hpp"

namespace linac {

namespace {

// The file layout, described once and walked by both the writer and the
// reader, so that the two directions cannot disagree. Each walker calls f
// on the fields in file order; S is the context or its const form.

// Record 1: the run scalars (7 + 1 + 2 reals, 10 + 4 + 12 integers).
template <class S, class F>
void for_each_scalar(S& sim, F&& f) {
  auto& c = sim.config;
  auto& s = sim.state;
  auto& r = sim.ref;
  auto& g = sim.charge_groups;
  f(r.QDESIGN), f(r.ADESIGN), f(r.w0), f(r.harm), f(r.wavelength_2pi);
  f(sim.current.scur), f(sim.current.Cneutr);
  f(c.ISOL), f(c.IFLAG2D), f(c.NQTOT), f(c.nqtot0), f(c.nqtot1), f(c.IFLAG_QQ);
  f(s.IRIARFQ), f(s.iflag_t), f(c.iflag_dudt), f(s.iflag_chain);
  f(sim.bend.delta1);
  f(c.IFLAG_LEV), f(s.IFLAG_LOG), f(c.ndraw), f(sim.corr.MONERR);
  f(sim.sc.zlhSC), f(sim.bend.delta2);
  f(c.nharm_sc), f(c.IFLAG_UPD), f(sim.sc.NXGRD), f(sim.sc.NYGRD), f(sim.sc.NZGRD);
  f(s.outSC), f(s.iflag_accep), f(s.dev_field), f(c.iflag_ebfld);
  f(g.n_groups), f(g.group_lo), f(g.group_hi);
}

// Records 4..11: one array per record, over the charge states 1..NQTOT
// (the group charges over the groups 1..n_groups). Record 1 sizes them.
template <class S, class F>
void for_each_state_array(S& sim, F&& f) {
  auto& c = sim.config;
  auto& g = sim.charge_groups;
  auto states = [&](auto& a) { return std::span(&a[1], static_cast<std::size_t>(c.NQTOT)); };
  f(states(c.NPAT));
  f(states(c.QQ));
  f(states(c.AMASS));
  f(states(sim.current.CURRENT));
  f(states(sim.current.qmacro));
  f(states(sim.qphase.qstate_phase_origin));
  f(std::span(&g.q_group[1], static_cast<std::size_t>(g.n_groups)));
  f(states(g.group_of_state));
}

// One record per particle slot 0..NPAT(iq) of each state.
template <class P, class F>
void for_each_particle_value(P& p, std::int32_t iq, std::int32_t i, F&& f) {
  f(p.x[iq][i]), f(p.xp[iq][i]), f(p.y[iq][i]), f(p.yp[iq][i]);
  f(p.phase[iq][i]), f(p.beta[iq][i]), f(p.status[iq][i]), f(p.qa[iq][i]);
}

void take(RecordIn& rec, double& v) { v = rec.get_double(); }
void take(RecordIn& rec, std::int32_t& v) { v = rec.get_int(); }

void write_state(const BeamContext& sim, std::string_view name) {
  UnformattedOut out(sim.units, name);
  auto put = [](RecordOut& rec) { return [&rec](const auto& v) { rec.put(v); }; };

  RecordOut r1;
  for_each_scalar(sim, put(r1));
  out.write(r1);

  // The phases of the element being run (an RFQ resumes from them).
  RecordOut r2;
  r2.put(sim.ref.elem_phase).put(sim.history.ref_phase_out[sim.state.ipos]);
  out.write(r2);

  RecordOut r3;
  r3.put(std::span<const double>(&sim.rfq.AijRFQ[1], 6));
  out.write(r3);

  for_each_state_array(sim, [&](auto values) {
    RecordOut rec;
    rec.put(values);
    out.write(rec);
  });

  const ParticleArrays& p = sim.particles;
  for (std::int32_t iq = 1; iq <= sim.config.NQTOT; ++iq)
    for (std::int32_t i = 0; i <= sim.config.NPAT[iq]; ++i) {
      RecordOut rp;
      for_each_particle_value(p, iq, i, put(rp));
      out.write(rp);
    }
  out.close();
}

void check_count(std::string_view file, std::string_view what, std::int32_t v, std::int32_t lo,
                 std::int32_t hi) {
  if (v < lo || v > hi)
    fatal(fmt::format(" beam-state file {}: {} = {} is outside {}..{}", file, what, v, lo, hi));
}

void check_finite(std::string_view file, long record, double v) {
  if (!std::isfinite(v))
    fatal(fmt::format(" beam-state file {}, record {}: value {}; every value must be a finite number",
                      file, record, v));
}

void check_positive(std::string_view file, std::string_view what, double v, double hi) {
  if (!(std::isfinite(v) && v > 0.0 && v <= hi))
    fatal(fmt::format(" beam-state file {}: {} = {}; allowed range (0, {}]", file, what, v, hi));
}

void read_state(BeamContext& sim, std::string_view name) {
  RunConfig& c = sim.config;
  UnformattedIn in(sim.units, name);

  // The counts of record 1 size the later records: they are checked first.
  RecordIn r1 = in.read();
  for_each_scalar(sim, [&](auto& v) { take(r1, v); });
  check_count(name, "NQTOT", c.NQTOT, 0, kMaxChargeStates);
  check_count(name, "n_groups", sim.charge_groups.n_groups, 0, kMaxChargeStates);
  // Indices into the charge states and groups, and the design values every
  // element divides by.
  check_count(name, "nqtot0", c.nqtot0, 0, c.NQTOT);
  check_count(name, "nqtot1", c.nqtot1, 0, c.NQTOT);
  check_count(name, "IFLAG_QQ", c.IFLAG_QQ, 0, kMaxChargeStates);
  check_count(name, "group_lo", sim.charge_groups.group_lo, 0, sim.charge_groups.n_groups);
  check_count(name, "group_hi", sim.charge_groups.group_hi, 0, sim.charge_groups.n_groups);
  for_each_scalar(sim, [&](auto& v) {
    if constexpr (std::is_same_v<std::decay_t<decltype(v)>, double>) check_finite(name, 1, v);
  });
  check_positive(name, "w0 (keV/u)", sim.ref.w0, input_range::kMaxEnergy);
  // The reduced RF wavelength of the run, within the frequencies a linac
  // runs at (every phase and time scales with it).
  const double lambda_lo = kSpeedOfLightCm / (kTwoPi * input_range::kMaxFrequency);
  const double lambda_hi = kSpeedOfLightCm / (kTwoPi * input_range::kMinFrequency);
  if (!input_range::within(sim.ref.wavelength_2pi, lambda_lo, lambda_hi))
    fatal(fmt::format(" beam-state file {}: wavelength_2pi = {} cm; the RF wavelength over 2 pi "
                      "must lie in {:g}..{:g} cm",
                      name, sim.ref.wavelength_2pi, lambda_lo, lambda_hi));
  check_positive(name, "harm", sim.ref.harm, 1e6);
  // The space-charge grid sizes the solver's storage; the model picks it.
  for (const std::string& fault : {sc_grid_size_fault(sim.sc.NXGRD, sim.sc.NYGRD, sim.sc.NZGRD),
                                   sc_model_fault(c.IFLAG2D)})
    if (!fault.empty()) fatal(fmt::format(" beam-state file {}: {}", name, fault));
  input_range::check_charge_number(name, 1, "QDESIGN", sim.ref.QDESIGN);
  input_range::check_mass_number(name, 1, "ADESIGN", sim.ref.ADESIGN);

  // Record 2 holds the phases an RFQ resumes from, not the element's own.
  RecordIn r2 = in.read();
  sim.ref.rfq_resume_phase = r2.get_double();
  sim.ref.rfq_resume_exit_phase = r2.get_double();
  check_finite(name, 2, sim.ref.rfq_resume_phase);
  check_finite(name, 2, sim.ref.rfq_resume_exit_phase);

  in.read().get(std::span<double>(&sim.rfq.AijRFQ[1], 6));
  for (int j = 1; j <= 6; ++j) check_finite(name, 3, sim.rfq.AijRFQ[j]);

  long record = 3;
  for_each_state_array(sim, [&](auto values) {
    in.read().get(values);
    ++record;
    for (const auto v : values)
      if constexpr (std::is_same_v<std::decay_t<decltype(v)>, double>) check_finite(name, record, v);
  });
  for (std::int32_t iq = 1; iq <= c.NQTOT; ++iq) {
    check_count(name, fmt::format("NPAT({})", iq), c.NPAT[iq], 0, kMaxParticles);
    input_range::check_charge_number(name, 5, fmt::format("QQ({})", iq), c.QQ[iq]);
    input_range::check_mass_number(name, 6, fmt::format("AMASS({})", iq), c.AMASS[iq]);
    check_count(name, fmt::format("group of charge state {}", iq),
                sim.charge_groups.group_of_state[iq], 0, sim.charge_groups.n_groups);
  }

  ParticleArrays& p = sim.particles;
  for (std::int32_t iq = 1; iq <= c.NQTOT; ++iq)
    for (std::int32_t i = 0; i <= c.NPAT[iq]; ++i) {
      RecordIn rp = in.read();
      ++record;
      for_each_particle_value(p, iq, i, [&](auto& v) { take(rp, v); });
      check_finite(name, record, p.qa[iq][i]);
      input_range::check_particle_record(
          name, record, iq, i,
          {p.x[iq][i], p.xp[iq][i], p.y[iq][i], p.yp[iq][i], p.phase[iq][i], p.beta[iq][i], p.status[iq][i]});
    }
}

}  // namespace

void State(BeamContext& sim, std::string_view name, std::string_view mode) {
  if (index_nocase(mode, "read") > 0)
    read_state(sim, name);
  else if (index_nocase(mode, "write") > 0)
    write_state(sim, name);
  else
    fatal(" Wrong argument in subroutine State ");
}

}  // namespace linac
