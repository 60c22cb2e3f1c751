#include "control/beam_state.hpp"

#include <fmt/format.h>

#include "common/sim.hpp"
#include "control/text_utils.hpp"
#include "platform/fatal.hpp"
#include "platform/unformatted.hpp"

namespace linac {

namespace {

void write_state(Sim& sim, std::string_view name) {
  const RunConfig& c = sim.config;
  const RunState& s = sim.state;
  const ReferenceBlock& r = sim.ref;
  const ChargeGroups& g = sim.charge_groups;
  const std::int32_t nq = c.NQTOT;
  UnformattedOut out(sim.units, name);

  RecordOut r1;
  r1.put(r.QDESIGN).put(r.ADESIGN).put(r.w0).put(r.harm).put(r.wavelength_2pi);
  r1.put(sim.current.scur).put(sim.current.Cneutr);
  r1.put(c.ISOL).put(c.IFLAG2D).put(c.NQTOT).put(c.nqtot0).put(c.nqtot1).put(c.IFLAG_QQ);
  r1.put(s.IRIARFQ).put(s.iflag_t).put(c.iflag_dudt).put(s.iflag_chain);
  r1.put(sim.bend.delta1);
  r1.put(c.IFLAG_LEV).put(s.IFLAG_LOG).put(c.ndraw).put(sim.corr.MONERR);
  r1.put(sim.sc.zlhSC).put(sim.bend.delta2);
  r1.put(c.nharm_sc).put(c.IFLAG_UPD).put(sim.sc.NXGRD).put(sim.sc.NYGRD).put(sim.sc.NZGRD);
  r1.put(s.outSC).put(s.iflag_accep).put(s.dev_field).put(c.iflag_ebfld);
  r1.put(g.n_groups).put(g.group_lo).put(g.group_hi);
  out.write(r1);

  // The phases of the element being run (an RFQ resumes from them).
  RecordOut r2;
  r2.put(r.elem_phase).put(sim.history.ref_phase_out[s.ipos]);
  out.write(r2);

  RecordOut r3;
  r3.put(std::span<const double>(&sim.rfq.AijRFQ[1], 6));
  out.write(r3);

  auto per_state = [nq](const auto& a) { return std::span(&a[1], static_cast<std::size_t>(nq)); };
  RecordOut r4, r5, r6, r7, r8, r9, r10, r11;
  r4.put(per_state(c.NPAT));
  r5.put(per_state(c.QQ));
  r6.put(per_state(c.AMASS));
  r7.put(per_state(sim.current.CURRENT));
  r8.put(per_state(sim.current.qmacro));
  r9.put(per_state(sim.qphase.qstate_mean_phase));
  r10.put(std::span(&g.q_group[1], static_cast<std::size_t>(g.n_groups)));
  r11.put(per_state(g.group_of_state));
  for (const RecordOut* rec : {&r4, &r5, &r6, &r7, &r8, &r9, &r10, &r11}) out.write(*rec);

  const ParticleArrays& p = sim.particles;
  for (std::int32_t iq = 1; iq <= nq; ++iq)
    for (std::int32_t i = 0; i <= c.NPAT[iq]; ++i) {
      RecordOut rp;
      rp.put(p.x[iq][i]).put(p.xp[iq][i]).put(p.y[iq][i]).put(p.yp[iq][i]);
      rp.put(p.phase[iq][i]).put(p.beta[iq][i]).put(p.status[iq][i]).put(p.qa[iq][i]);
      out.write(rp);
    }
}

void check_count(std::string_view file, const char* what, std::int32_t v, std::int32_t lo,
                 std::int32_t hi) {
  if (v < lo || v > hi)
    fatal(fmt::format(" beam-state file {}: {} = {} is outside {}..{}", file, what, v, lo, hi));
}

void read_state(Sim& sim, std::string_view name) {
  RunConfig& c = sim.config;
  RunState& s = sim.state;
  ReferenceBlock& r = sim.ref;
  ChargeGroups& g = sim.charge_groups;
  UnformattedIn in(sim.units, name);

  // Record 1 is taken into locals first: its counts size the later records.
  RecordIn r1 = in.read();
  double d[7];
  r1.get(std::span<double>(d, 7));
  std::int32_t a[10];
  r1.get(std::span<std::int32_t>(a, 10));
  const double delta1 = r1.get_double();
  std::int32_t b[4];
  r1.get(std::span<std::int32_t>(b, 4));
  const double zlh = r1.get_double();
  const double delta2 = r1.get_double();
  std::int32_t e[12];
  r1.get(std::span<std::int32_t>(e, 12));
  const std::int32_t nq = a[2];
  const std::int32_t ngroups = e[9];
  check_count(name, "NQTOT", nq, 0, kMaxChargeStates);
  check_count(name, "n_groups", ngroups, 0, kMaxChargeStates);

  r.QDESIGN = d[0];
  r.ADESIGN = d[1];
  r.w0 = d[2];
  r.harm = d[3];
  r.wavelength_2pi = d[4];
  sim.current.scur = d[5];
  sim.current.Cneutr = d[6];
  c.ISOL = a[0];
  c.IFLAG2D = a[1];
  c.NQTOT = a[2];
  c.nqtot0 = a[3];
  c.nqtot1 = a[4];
  c.IFLAG_QQ = a[5];
  s.IRIARFQ = a[6];
  s.iflag_t = a[7];
  c.iflag_dudt = a[8];
  s.iflag_chain = a[9];
  sim.bend.delta1 = delta1;
  c.IFLAG_LEV = b[0];
  s.IFLAG_LOG = b[1];
  c.ndraw = b[2];
  sim.corr.MONERR = b[3];
  sim.sc.zlhSC = zlh;
  sim.bend.delta2 = delta2;
  c.nharm_sc = e[0];
  c.IFLAG_UPD = e[1];
  sim.sc.NXGRD = e[2];
  sim.sc.NYGRD = e[3];
  sim.sc.NZGRD = e[4];
  s.outSC = e[5];
  s.iflag_accep = e[6];
  s.dev_field = e[7];
  c.iflag_ebfld = e[8];
  g.n_groups = e[9];
  g.group_lo = e[10];
  g.group_hi = e[11];

  RecordIn r2 = in.read();
  r.rfq_resume_phase = r2.get_double();
  r.rfq_resume_exit_phase = r2.get_double();

  in.read().get(std::span<double>(&sim.rfq.AijRFQ[1], 6));

  const auto n = static_cast<std::size_t>(nq);
  std::array<std::int32_t, kMaxChargeStates + 1> npat{};
  in.read().get(std::span<std::int32_t>(&npat[1], n));
  for (std::int32_t iq = 1; iq <= nq; ++iq)
    check_count(name, fmt::format("NPAT({})", iq).c_str(), npat[iq], 0, kMaxParticles);
  for (std::int32_t iq = 1; iq <= nq; ++iq) c.NPAT[iq] = npat[iq];
  in.read().get(std::span<double>(&c.QQ[1], n));
  in.read().get(std::span<double>(&c.AMASS[1], n));
  in.read().get(std::span<double>(&sim.current.CURRENT[1], n));
  in.read().get(std::span<double>(&sim.current.qmacro[1], n));
  in.read().get(std::span<double>(&sim.qphase.qstate_mean_phase[1], n));
  in.read().get(std::span<double>(&g.q_group[1], static_cast<std::size_t>(ngroups)));
  in.read().get(std::span<std::int32_t>(&g.group_of_state[1], n));

  ParticleArrays& p = sim.particles;
  for (std::int32_t iq = 1; iq <= nq; ++iq)
    for (std::int32_t i = 0; i <= c.NPAT[iq]; ++i) {
      RecordIn rp = in.read();
      p.x[iq][i] = rp.get_double();
      p.xp[iq][i] = rp.get_double();
      p.y[iq][i] = rp.get_double();
      p.yp[iq][i] = rp.get_double();
      p.phase[iq][i] = rp.get_double();
      p.beta[iq][i] = rp.get_double();
      p.status[iq][i] = rp.get_int();
      p.qa[iq][i] = rp.get_double();
    }
}

}  // namespace

void State(Sim& sim, std::string_view name, std::string_view mode) {
  if (index_nocase(mode, "read") > 0)
    read_state(sim, name);
  else if (index_nocase(mode, "write") > 0)
    write_state(sim, name);
  else
    fatal(" Wrong argument in subroutine State ");
}

}  // namespace linac
