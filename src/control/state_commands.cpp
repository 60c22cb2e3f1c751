#include "control/state_commands.hpp"

#include <fmt/format.h>

#include "beam/stats.hpp"
#include "control/control_context.hpp"
#include "common/text_utils.hpp"
#include "common/unit_numbers.hpp"
#include "beam/beam_state.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"

namespace linac {

namespace {

constexpr double kDegToRad = 0.017453292519943295;

// Element type codes whose amplitudes the align command treats apart.
constexpr int kTypeSol = 2;
constexpr int kTypeCav = 6;
constexpr int kTypeSol3d = 18;

// In the nominal pass the position of a command carries the design energy
// with zero phases.
void nominal_reference(ControlContext& sim) {
  if (sim.state.ipass != 1) return;
  const auto p = static_cast<std::size_t>(sim.state.ipos);
  ReferenceHistory& h = sim.history;
  h.ref_W_in[p] = sim.ref.w0;
  h.elem_rf_phase[p] = 0.0;
  h.ref_phase_out[p] = 0.0;
  h.ref_W_out[p] = sim.ref.w0;
}

// In an error-study pass this restores the design energy of the place.
void design_energy_here(ControlContext& sim) {
  sim.ref.w0 = sim.history.ref_W_out[static_cast<std::size_t>(sim.state.ipos)];
}

void align_stores(ControlContext& sim, std::int32_t n) {
  const auto& P = sim.elements.elem_par[static_cast<std::size_t>(n)];
  const auto& I = sim.elements.elem_int[static_cast<std::size_t>(n)];
  const std::int32_t m = I[kElemN];
  if (m <= 0) return;
  const std::int32_t t = I[15];
  const std::array<double, 7> q{P[1], P[2], P[3] / 1000.0, P[4] * kDegToRad, P[5] / 100.0,
                                P[6] * kDegToRad, P[7] / 100.0};
  if (t == kTypeCav) {
    TableParams& tp = sim.tables;
    const auto k = static_cast<std::size_t>(m);  // 1..99, as the lattice reader requires
    tp.DCAV[k] = q[0];
    tp.dcav2[k] = q[1];
    tp.dcav3[k] = q[2];
    tp.SFAS[k] = q[3];
    tp.SERF[k] = q[4];
    tp.sfas2[k] = q[5];
    tp.serf2[k] = q[6];
  }
  auto& te = sim.type_rec.type_errors;
  for (int j = 0; j < 7; ++j) te[static_cast<std::size_t>(j)][static_cast<std::size_t>(t)] = q[static_cast<std::size_t>(j)];
  if (t == kTypeSol || t == kTypeSol3d)
    for (int j = 0; j < 5; ++j) {
      te[static_cast<std::size_t>(j)][kTypeSol] = q[static_cast<std::size_t>(j)];
      te[static_cast<std::size_t>(j)][kTypeSol3d] = q[static_cast<std::size_t>(j)];
    }
}

// log.dat: the fringe coefficients of both sides of type t now in force.
void enge_report(ControlContext& sim, std::int32_t t) {
  const auto& src = sim.type_rec.enge_src[static_cast<std::size_t>(t)];
  const std::string_view name = sim.types.type_names[static_cast<std::size_t>(t)].view();
  sim.units.write(kUnitLog, list_directed({std::string_view("          !* ENGE *! ")}));
  struct Side {
    int k;
    std::string_view internal, given;
  };
  for (const Side s : {Side{1, " entrance c0:c5  ", "entrance c0:c5="}, Side{2, " exit    c0:c5  ", "exit   c0:c5= "}}) {
    const std::int32_t slot = src[static_cast<std::size_t>(s.k)];
    if (slot == 0) {
      write_checked(sim, kUnitLog, "(A6,A20,A16)", {name, s.internal, std::string_view(" are internal")});
    } else {
      const auto& P = sim.elements.elem_par[static_cast<std::size_t>(slot)];
      write_checked(sim, kUnitLog, "(A6,A20,6F12.6)", {name, s.given, P[1], P[2], P[3], P[4], P[5], P[6]});
    }
  }
}

}  // namespace

void align_cmd(ControlContext& sim, std::int32_t& n) {
  sim.state.ipos += 1;
  align_stores(sim, n);
  if (sim.state.idraw == 1) return;
  nominal_reference(sim);
  stat_copy_prev(sim, sim.state.ipos);
}

void enge_cmd(ControlContext& sim, std::int32_t& n) {
  sim.state.ipos += 1;
  if (sim.state.idraw == 1) return;
  const auto& I = sim.elements.elem_int[static_cast<std::size_t>(n)];
  const std::int32_t k = I[kElemN];
  const std::int32_t t = I[15];
  auto& src = sim.type_rec.enge_src[static_cast<std::size_t>(t)];
  if (k > 2) fatal(" 'enge' command is defined bad");
  if (k == 1 || k == 2) src[static_cast<std::size_t>(k)] = n;
  if (k == 0) src[1] = src[2] = 0;
  nominal_reference(sim);
  if (k >= 0 && sim.state.ipass == 1) enge_report(sim, t);
  stat_copy_prev(sim, sim.state.ipos);
}

void swtch_cmd(ControlContext& sim, std::int32_t& n) {
  sim.state.ipos += 1;
  if (sim.state.idraw == 1) return;
  sim.scan.factor = sim.elements.elem_par[static_cast<std::size_t>(n)][1];
  sim.scan.elem = sim.elements.elem_int[static_cast<std::size_t>(n)][kElemN];
  nominal_reference(sim);
  design_energy_here(sim);
  stat_copy_prev(sim, sim.state.ipos);
}

void cdump_cmd(ControlContext& sim, std::int32_t& /*n*/) {
  sim.state.ipos += 1;
  if (sim.state.idraw == 1) return;
  nominal_reference(sim);
  stat_copy_prev(sim, sim.state.ipos);
}

void scrch_cmd(ControlContext& sim, std::int32_t& n) {
  RunState& st = sim.state;
  st.ipos += 1;
  if (st.idraw == 1) return;
  const auto& I = sim.elements.elem_int[static_cast<std::size_t>(n)];
  const std::int32_t m = I[kElemN];
  st.iscrch = m;
  st.iscrch_elem = I[11];
  nominal_reference(sim);
  design_energy_here(sim);
  if (st.ipass == 1 && st.iscrch_elem == 0 && m < 0) State(sim, numbered_name("scratch.#", -m, 2), "write");
  stat_copy_prev(sim, st.ipos);
}

}  // namespace linac
