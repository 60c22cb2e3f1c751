#include "control/dispatcher.hpp"

#include <string>

#include "beam/stats.hpp"
#include "control/control_context.hpp"
#include "elements/bend.hpp"
#include "elements/buncher.hpp"
#include "elements/cavity.hpp"
#include "elements/mhb.hpp"
#include "elements/rfq/rfq_element.hpp"
#include "elements/stripper.hpp"
#include "control/state_commands.hpp"
#include "platform/fatal.hpp"
#include "transport/drift.hpp"
#include "transport/ebfld.hpp"
#include "transport/fieldmap.hpp"
#include "beam/particle_dump.hpp"
#include "control/prmtr.hpp"
#include "transport/filter.hpp"
#include "transport/matrix_elements.hpp"
#include "transport/point_elements.hpp"
#include "matrices/matrx.hpp"

namespace linac {

namespace {

using C = DispatchCondition;
using H = HandlerId;

constexpr H kNone = H::count;

// Keyword, condition, handler, passive (the dispatcher advances ipos),
// command. The first entry whose keyword and condition hold is taken.
constexpr std::array<DispatchEntry, 48> kTable = {{
    {"drift", C::always, H::drift_element, false, false},
    {"tdstr", C::always, kNone, true, true},
    {"enge ", C::always, H::enge_cmd, false, true},
    {"ascii", C::always, H::ascii_cmd, false, true},
    {"vary ", C::always, H::vary_cmd, true, true},
    {"fit  ", C::always, H::fit_cmd, true, true},
    {"scrch", C::always, H::scrch_cmd, false, true},
    {"prmtr", C::always, H::prmtr_cmd, false, true},
    {"swtch", C::always, H::swtch_cmd, false, true},
    {"align", C::always, H::align_cmd, false, true},
    {"ebfld", C::always, H::ebfld_cmd, false, true},
    {"uds  ", C::always, H::uds_element, false, false},
    {"cav  ", C::cav_on, H::cav_element, false, false},
    {"cdump", C::always, H::cdump_cmd, false, true},
    {"mon  ", C::always, H::mon_element, false, false},
    {"corr ", C::always, H::corr_element, false, false},
    {"phcor", C::always, H::phcor_element, false, false},
    {"zero ", C::always, H::zero_element, false, false},
    {"sol  ", C::sol_table, H::sol_element, false, false},
    {"sol  ", C::sol_matrix, H::sol_matrix_element, false, false},
    {"sol3d", C::always, H::sol3d_element, false, false},
    {"eh3d ", C::always, H::eh3d_element, false, false},
    {"quad ", C::quad_field, H::quad_element, false, false},
    {"quad ", C::quad_matrix, H::quad_matrix_element, false, false},
    {"equad", C::always, H::equad_element, false, false},
    {"extrc", C::always, H::extrc_element, false, false},
    {"eq3d ", C::always, H::eq3d_element, false, false},
    {"ehex ", C::always, H::ehex_element, false, false},
    {"m5   ", C::always, H::m5_element, false, false},
    {"einz ", C::always, H::einz_element, false, false},
    {"deck ", C::always, H::deck_element, false, false},
    {"bunch", C::always, H::bunch_element, false, false},
    {"bmag ", C::always, H::bmag_element, false, false},
    {"strip", C::halo_0, H::strip_element, false, false},
    {"strip", C::halo_2, H::strip_element, false, false},
    {"strip", C::halo_1, H::strip_skip_element, true, false},
    {"mult ", C::always, H::mult_element, false, false},
    {"shrt ", C::always, H::shrt_element, false, false},
    {"filtr", C::always, H::filtr_element, false, false},
    {"rfq  ", C::always, H::rfq_element, false, false},
    {"mhb  ", C::always, H::mhb_element, false, false},
    {"mhb4 ", C::always, H::mhb4_element, false, false},
    {"slit ", C::always, H::slit_element, false, false},
    {"fhide", C::always, H::fhide_element, true, false},
    {"updat", C::always, H::updat_cmd, false, true},
    {"matrx", C::always, H::matrx_cmd, false, true},
    {"comb ", C::always, H::comb_element, false, false},
    {"ecorr", C::always, H::ecorr_element, false, false},
}};

bool condition_holds(const ControlContext& sim, DispatchCondition c, std::int32_t n) {
  const auto& ints = sim.elements.elem_int[static_cast<std::size_t>(n)];
  switch (c) {
    case C::always:
      return true;
    case C::cav_on:
      return sim.config.IFLAG_CAV == 1;
    case C::sol_table:
      return ints[15] == 1;
    case C::sol_matrix:
      return ints[15] == 0;
    case C::quad_field:
      return ints[kElemN] >= 0;
    case C::quad_matrix:
      return ints[kElemN] == -1;
    case C::halo_0:
      return sim.state.IFLAG_HALO == 0;
    case C::halo_2:
      return sim.state.IFLAG_HALO == 2;
    case C::halo_1:
      return sim.state.IFLAG_HALO == 1;
  }
  return false;
}

// The handlers without action: the line only takes its position.
void no_action(ControlContext&, std::int32_t&) {}

}  // namespace

HandlerRegistry::HandlerRegistry() {
  set(H::vary_cmd, vary_cmd);
  set(H::fit_cmd, fit_cmd);
  set(H::drift_element, drift_element);
  set(H::prmtr_cmd, prmtr_cmd);
  set(H::ascii_cmd, ascii_cmd);
  set(H::fhide_element, no_action);
  set(H::rfq_element, rfq_element);
  set(H::strip_skip_element, no_action);
  set(H::quad_element, quad_element);
  set(H::equad_element, equad_element);
  set(H::mult_element, mult_element);
  set(H::m5_element, m5_element);
  set(H::strip_element, strip_element);
  set(H::slit_element, slit_element);
  set(H::zero_element, zero_element);
  set(H::phcor_element, phcor_element);
  set(H::mon_element, mon_element);
  set(H::corr_element, corr_element);
  set(H::sol_matrix_element, sol_matrix_element);
  set(H::quad_matrix_element, quad_matrix_element);
  set(H::shrt_element, shrt_element);
  set(H::filtr_element, filtr_element);
  set(H::ebfld_cmd, ebfld_cmd);
  set(H::align_cmd, align_cmd);
  set(H::enge_cmd, enge_cmd);
  set(H::swtch_cmd, swtch_cmd);
  set(H::cdump_cmd, cdump_cmd);
  set(H::scrch_cmd, scrch_cmd);
  set(H::bmag_element, bmag_element);
  set(H::updat_cmd, updat_cmd);
  set(H::matrx_cmd, matrx_cmd);
  set(H::uds_element, uds_element);
  set(H::sol_element, sol_element);
  set(H::comb_element, comb_element);
  set(H::einz_element, einz_element);
  set(H::eq3d_element, eq3d_element);
  set(H::ehex_element, ehex_element);
  set(H::sol3d_element, sol3d_element);
  set(H::eh3d_element, eh3d_element);
  set(H::deck_element, deck_element);
  set(H::ecorr_element, ecorr_element);
  set(H::extrc_element, extrc_element);
  set(H::cav_element, cav_element);
  set(H::bunch_element, bunch_element);
  set(H::mhb_element, mhb_element);
  set(H::mhb4_element, mhb4_element);
  // The other element drivers, special elements and lattice commands
  // register here as they are built.
}

const std::array<DispatchEntry, 48>& dispatch_table() { return kTable; }

const DispatchEntry* find_dispatch_entry(const ControlContext& sim, std::int32_t n) {
  const std::string_view name = sim.elements.elem_name[static_cast<std::size_t>(n)].view();
  for (const auto& e : kTable)
    if (e.keyword == name && condition_holds(sim, e.condition, n)) return &e;
  return nullptr;
}

void dispatch_element(ControlContext& sim, std::int32_t& n) {
  if (n < 1 || n > kMaxElements)
    fatal(" lattice line " + std::to_string(n) + " outside the element table (1.." +
          std::to_string(kMaxElements) + ")");
  ReferenceBlock& ref = sim.ref;
  RunState& st = sim.state;

  // 1. Per-element resets. ipos still names the previous position here, so
  //    the entrance of this element is the end of the previous one.
  ref.nstep = 1;
  ref.elem_len = 0.0;
  st.itype = 0;
  ref.elem_phase = 0.0;
  st.imoved = 0;
  st.IAXIAL = 0;
  if (st.ipos >= 0 && st.ipos <= kMaxElements)
    ref.z_entry = ref.z_offset + sim.elements.elem_pos[static_cast<std::size_t>(st.ipos)];
  st.table_kind = 2;
  st.table_sym = -1;
  st.bmag_region = 2;
  ref.aper_x = 1000.0;
  ref.aper_y = 1000.0;

  // 2. A line that does not move the beam shows the previous statistics.
  stat_copy_prev(sim, n);

  // 3. The first entry whose keyword and condition hold.
  const std::int32_t line = n;
  const DispatchEntry* e = find_dispatch_entry(sim, n);
  const bool has_handler = e != nullptr && e->handler != H::count;
  if (has_handler) {
    const ElementHandler& h = sim.handlers.get(e->handler);
    if (!h)
      fatal(std::string(e->command ? " command '" : " element '") + std::string(e->keyword) +
            "' at lattice line " + std::to_string(line) + " is not available yet");
    h(sim, n);
  }

  // 4. Position index: lines passed over and passive handlers take their
  //    position here; every other handler took it on entry.
  if (!has_handler || e->passive) st.ipos += 1;
  if (st.ipos != line)
    fatal(" lattice line " + std::to_string(line) + " ('" + sim.elements.elem_name[static_cast<std::size_t>(line)].str() +
          "') left the position index at " + std::to_string(st.ipos));
}

}  // namespace linac
