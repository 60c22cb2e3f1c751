#include "elements/rfq/rfq_element.hpp"

#include <atomic>
#include <cmath>

#include <fmt/format.h>

#include "beam/out_tables.hpp"
#include "beam/phase_groups.hpp"
#include "beam/stats.hpp"
#include "elements/elements_context.hpp"
#include "common/text_utils.hpp"
#include "common/unit_numbers.hpp"
#include "beam/beam_state.hpp"
#include "elements/rfq/rfq_aperture.hpp"
#include "elements/rfq/rfq_field.hpp"
#include "elements/rfq/rfq_listings.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "spacecharge/space_charge.hpp"
#include "transport/frame.hpp"
#include "transport/reference.hpp"
#include "transport/stepping.hpp"

namespace linac {

namespace {

constexpr int kRfqType = 9;
// A harmonic within 1 % (single precision) of the current one is kept.
constexpr double kHarmUp = 1.0099999904632568;
constexpr double kHarmDown = 0.9900000095367432;

// Applies f(phase) to every live slot 0..NPAT + ntest of every charge state.
template <class F>
void for_live_phases(ElementsContext& sim, F&& f) {
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    const int last = sim.config.NPAT[iq] + sim.npat.ntest[iq];
    double* ph = sim.particles.phase[iq];
    const std::int32_t* st = sim.particles.status[iq];
    for (int i = 0; i <= last; ++i)
      if (st[i] >= 0) ph[i] = f(ph[i]);
  }
}

}  // namespace

void rfq_prepare_beam(ElementsContext& sim, const RfqCellSet& cs, double P5, double phi0) {
  RunState& s = sim.state;
  ReferenceBlock& r = sim.ref;
  if (s.iflag_t == 0) {
    const char* text = "RFQerror -> command \"1 prmtr iflag_t=1\" is omitted";
    sim.units.write(kUnitLog, list_directed({std::string_view(text)}));
    fatal(text);
  }
  s.iflag_t = 0;
  const long ratio = std::lround(P5 / r.harm);
  if (ratio == 0)
    fatal({fmt::format(" {}: harmonic P5 = {} is less than half the harmonic {} in use; the bunch "
                       "period would vanish",
                       element_label(sim, cs.line), P5, r.harm)},
          true);
  sim.config.nharm_sc *= static_cast<std::int32_t>(ratio);
  if (P5 > r.harm * kHarmUp || P5 < r.harm * kHarmDown) {
    const double f = P5 / r.harm;
    for_live_phases(sim, [f](double ph) { return ph * f; });
    r.harm = P5;
    r.wavelength_2pi = r.wavelength / P5 / (2.0 * kPi);
  }
  r.gamma_s = r.w0 / r.amu_kev + 1.0;
  r.beta_s = std::sqrt(1.0 - 1.0 / (r.gamma_s * r.gamma_s));
  r.elem_phase = phi0 - cs.pre_len / (r.beta_s * r.wavelength_2pi);

  group_charge_states(sim, r.QDESIGN);
  avg_phase_by_q(sim, kPi / 2.0);
  const ChargeGroups& g = sim.charge_groups;
  const auto& gp = sim.qphase.group_mean_phase;
  const double lo = gp[static_cast<std::size_t>(g.group_lo)];
  if (g.group_hi != 0) {
    const long m = std::lround((gp[static_cast<std::size_t>(g.group_hi)] - lo) / kPi);
    s.IRIARFQ = static_cast<std::int32_t>(m / 2);
  } else {
    s.IRIARFQ = static_cast<std::int32_t>(std::lround(-lo / kPi));
  }
  // Each state's phase origin: the whole RF periods between its group's
  // bunch and the bunch of group_lo (0 unless the groups lie periods
  // apart); the statistics wrap every state's phases about it.
  auto& origin = sim.qphase.qstate_phase_origin;
  double phi_ref = lo;
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    origin[static_cast<std::size_t>(iq)] = 0.0;
    if (s.IRIARFQ != 0) {
      const double ph = gp[static_cast<std::size_t>(g.group_of_state[static_cast<std::size_t>(iq)])];
      origin[static_cast<std::size_t>(iq)] = 2.0 * kPi * std::round((ph - lo) / (2.0 * kPi));
    }
  }
  if (s.IRIARFQ != 0 && g.group_hi != 0)
    phi_ref = (lo + gp[static_cast<std::size_t>(g.group_hi)] - 2.0 * kPi * s.IRIARFQ) / 2.0;
  for_live_phases(sim, [&](double ph) { return phase_wrap_harm(sim, ph - phi_ref); });
}

namespace {

// The cell's own table, loaded through the table cache every time the cell
// runs, and checked to span the cell and the aperture.
struct CellTable {
  std::shared_ptr<const Table3D> table;
  double ax = 0.0, ay = 0.0;  // last x and y nodes, cm
};

CellTable load_cell_table(ElementsContext& sim, const RfqCell& c, int i) {
  CellTable ct;
  if (c.table <= 0) return ct;
  sim.state.table_sym = 2;
  sim.state.table_kind = kKindE;
  read_eh_EMS(sim, c.table);
  ct.table = sim.field_tables.field3d;
  const Table3D& t = *ct.table;
  ct.ax = t.x[kTableNx - 1];
  ct.ay = t.y[kTableNy - 1];
  const ReferenceBlock& r = sim.ref;
  if (t.z[kTableNz - 1] - t.z[0] < r.elem_len || ct.ax < r.aper_x || ct.ay < r.aper_y) {
    sim.units.write(kUnitLog, format_records("(A50,I4,A10)", {std::string_view("RFQerror -> 3D field table for cell #"), i,
                                                               std::string_view("is wrong")}));
    fatal({"RFQerror -> 3D field table for cell is wrong",
           fmt::format(" eh_EMS.#{:02d} of cell {} spans {} cm in z and reaches x = {} cm, y = {} cm; the cell is {} "
                       "cm long and its aperture {} cm by {} cm",
                       c.table, i, t.z[kTableNz - 1] - t.z[0], ct.ax, ct.ay, r.elem_len, r.aper_x, r.aper_y)});
  }
  sim.ref.aperture_r = std::min(ct.ax, ct.ay);
  return ct;
}

// Steps 1..nstep of the current cell in the field kind K: the step's vane
// aperture, the field row of the request, space charge, and the particles.
template <class K>
void run_cell_steps(ElementsContext& sim, std::int32_t n, RfqCellSet& cs, const K& kind, const RfqDevRequest& req) {
  ReferenceBlock& r = sim.ref;
  const RefPath& path = sim.ref_path;
  StepGeometry& g = sim.transport.step;
  RfqWork& w = cs.work;
  const int i = sim.rfq.rfq_cur;
  const double zstart = cs.cells[static_cast<std::size_t>(i)].zstart;
  const double aperRFQ = sim.rfq.aperRFQ;
  std::atomic<bool> z_bad{false};
  std::atomic<bool> xy_bad{false};
  RfqSource<K> src{kind, r.elem_len, r.aper_x, r.aper_y, r.elem_phase, &z_bad, &xy_bad};
  auto probe = [&](double z, std::array<double, 5>& row, double zin) {
    Vec3 E{0.0, 0.0, 0.0};
    const double u = req.x / src.ax;
    const double v = req.y / src.ay;
    if (!(u * u + v * v >= 1.0)) kind.field(req.x, req.y, z, E);
    row = {zin, zstart + zin, E[0], E[1], E[2]};
  };
  w.field_rec.assign(static_cast<std::size_t>(r.nstep) + 1, {});
  probe(0.0, w.field_rec[0], 0.0);
  check_added_fields(sim);
  // Start z of the current step as the push in z accumulates it.
  double z_start = 0.0;
  for (int k = 1; k <= r.nstep; ++k) {
    g.zref = path(k, kRefZ);
    const double s_prev = path(k - 1, kRefS);
    g.bend_invR = 0.0;
    double ax = w.vane_apx[static_cast<std::size_t>(k)];
    double ay = w.vane_apy[static_cast<std::size_t>(k)];
    if (aperRFQ > 0.0) {
      ax *= aperRFQ;
      ay *= aperRFQ;
    }
    src.ax = r.aper_x = sim.rfq_run.ax = ax;
    src.ay = r.aper_y = sim.rfq_run.ay = ay;
    probe(k * r.step_len, w.field_rec[static_cast<std::size_t>(k)], k * r.step_len);
    if (sim.current.scur >= kScurMin) {
      space_charge(sim, k);
      sc_kick(sim, r.step_len);
    }
    src.prepare_step(z_start, r.step_len);
    z_start = z_start + r.step_len;
    const auto field = with_added_fields(sim, FieldAt<RfqSource<K>>{src});
    for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
      push_charge_state(sim, field, iq, r.step_len);
      if (z_bad.load()) rfq_z_out_of_range(sim);
      if (xy_bad.load()) rfq_point_not_finite(cs.file_name, i);
      record_step_losses(sim, n, iq, s_prev);
    }
    if (sim.config.IGRAPH == 1 && k < r.nstep) stat(sim, k);
  }
}

// One cell: its table, apertures, reference particle and steps.
void run_cell(ElementsContext& sim, std::int32_t n, RfqCellSet& cs, int i, double z0, const RfqDevRequest& req) {
  ReferenceBlock& r = sim.ref;
  const RfqCell& c = cs.cells[static_cast<std::size_t>(i)];
  sim.rfq.rfq_cur = i;
  r.elem_len = c.len;
  sim.rfq_lines.rfq_mode = rfq_cell_mode(c);
  r.z_entry = z0 + c.zstart;
  r.step_len = r.elem_len / r.nstep;

  const CellTable ct = load_cell_table(sim, c, i);
  StaticTableGeometry geom;
  if (ct.table) {
    geom.L = c.len;
    geom.aper_x = ct.ax;
    geom.aper_y = ct.ay;
    geom.kind = kKindE;
    geom.mirror = static_mirror_rules(kKindE, 2);
  }
  const RfqCellKind kind = make_cell_kind(cs, i, sim.rfq_lines.rfq_mode, ct.table.get(), geom);
  RfqTableLimit limit;
  if (ct.table) limit = RfqTableLimit{&kind, ct.ax, ct.ay};
  rfq_vane_aperture(cs, i, r.nstep, r.step_len, sim.rfq.aperRFQ, limit, cs.work.vane_apx, cs.work.vane_apy);

  // The reference particle sees the aperture R.
  ref_path_straight(sim, r.elem_len);
  sim.rfq_run = RfqRunCell{kind, r.elem_len, cs.R, cs.R};
  const int ipos = sim.state.ipos;
  sim.history.ref_W_in[static_cast<std::size_t>(ipos)] = r.w0;
  std::visit(
      [&](const auto& k) {
        using K = std::decay_t<decltype(k)>;
        std::atomic<bool> bad{false};
        const FieldAt<RfqSource<K>> f{RfqSource<K>{k, r.elem_len, cs.R, cs.R, r.elem_phase, &bad}};
        ref_particle_element(sim, f);
        if (bad.load()) rfq_z_out_of_range(sim);
      },
      kind);
  stat(sim, 0);

  const RefPath& path = sim.ref_path;
  RfqWork& w = cs.work;
  const auto u = static_cast<std::size_t>(i);
  w.sync_W_in[u] = path(0, kRefW);
  w.sync_ph_in[u] = path(0, kRefPhase);
  w.sync_W_out[u] = path(r.nstep, kRefW);
  w.sync_ph_out[u] = path(r.nstep, kRefPhase);
  w.sync_ph_mid[u] = path(r.nstep / 2, kRefPhase);
  r.aper_x = r.aper_y = cs.R;

  std::visit([&](const auto& k) { run_cell_steps(sim, n, cs, k, req); }, kind);
}

}  // namespace

void rfq_element(ElementsContext& sim, std::int32_t& n) {
  RunState& s = sim.state;
  ReferenceBlock& r = sim.ref;
  ReferenceHistory& h = sim.history;
  s.ipos += 1;
  s.itype = kRfqType;
  sim.rfq_lines.current = n;
  RfqCellSet& cs = current_rfq(sim);
  const auto& P = sim.elements.elem_par[static_cast<std::size_t>(n)];
  const auto& I = sim.elements.elem_int[static_cast<std::size_t>(n)];
  const double phi0 = P[4] * kDegToRad;
  const int N = cs.ncells;
  RfqFlags& q = sim.rfq;
  q.rfq_volt = P[1];
  q.rfq_R = P[3];
  q.rfq_phi0 = P[4];
  q.rfq_ncells = N;
  q.rfq_file_no = cs.file_no;
  q.rfq_concave = cs.concave;
  q.rfq_length = cs.length;
  r.nstep = I[11];
  r.aper_x = r.aper_y = cs.R;

  RfqDevRequest req;
  if (s.dev_field > 0) {
    const auto d = static_cast<std::size_t>(s.dev_field);
    sim.elements.elem_int[d][15] = -1;
    req.line = s.dev_field;
    req.x = sim.elements.elem_par[d][1];
    req.y = sim.elements.elem_par[d][2];
    req.n_val = sim.elements.elem_int[d][12];
    req.code = static_cast<int>(std::lround(sim.elements.elem_par[d][3]));
    if (req.code < -1 || req.code > N) req.code = kRfqNoRequest;
  }

  // Save (k_s < 0: after cell -k_s) or resume (k_s > 0: after cell k_s).
  int k_s = 0;
  if (s.iscrch != 0 && s.iscrch_elem > 0) {
    k_s = static_cast<int>(std::lround(sim.elements.elem_par[static_cast<std::size_t>(s.iscrch_elem)][1]));
    if (s.iscrch < 0) k_s = -k_s;
    s.iscrch_elem = 0;
  }

  s.iflag_chain = 1;
  place_element(sim, 0.0, cs.length, 1.0, 0.0);
  if (s.idraw == 1) {
    misalign_draw(sim);
    return;
  }
  if (k_s <= 0) rfq_prepare_beam(sim, cs, P[5], phi0);

  const auto ipos = static_cast<std::size_t>(s.ipos);
  h.elem_rf_phase[ipos] = r.elem_phase;
  h.ref_phase_out[ipos] = 0.0;
  int k0 = 1;
  if (k_s > 0) {
    k0 = k_s + 1;
    if (req.code < k0) req.code = kRfqNoRequest;
    r.elem_phase = r.rfq_resume_phase;
    h.elem_rf_phase[ipos] = r.rfq_resume_phase;
    h.ref_phase_out[ipos] = r.rfq_resume_exit_phase;
  }
  const double z0 = r.z_entry;
  // The RFQ has no misalignment of its own: none is carried over from the
  // element before it.
  misalign_identity(sim);
  misalign_in(sim);
  for (auto* v : {&cs.work.sync_W_in, &cs.work.sync_W_out, &cs.work.sync_ph_in, &cs.work.sync_ph_mid,
                  &cs.work.sync_ph_out})
    v->assign(static_cast<std::size_t>(N) + 1, 0.0);

  for (int i = k0; i <= N; ++i) {
    run_cell(sim, n, cs, i, z0, req);
    misalign_out(sim);
    stat(sim, r.nstep);
    write_rfq_output(sim, i, s.ipos, "rfq  ", r.z_entry + r.elem_len);
    if (sim.config.IACCEP == 1) {
      // One acceptance exit, after the last cell.
      if (i == N) {
        stat_acceptance_exit(sim);
        plot_step(sim, r.elem_len);
      }
    } else {
      s.imoved = 1;
      if (sim.config.IGRAPH == 1) plot_step(sim, r.elem_len);
    }
    rfq_cell_listing(sim, cs, i, r.nstep, r.step_len, req);
    if (i == -k_s) State(sim, numbered_name("scratch.#", -s.iscrch, 2), "write");
  }

  s.iflag_chain = 0;
  s.dev_field = 0;
  misalign_out(sim);
  rfq_sync_table(sim, cs, phi0);
}

}  // namespace linac
