// The element dispatcher: runs one lattice line by resetting the scalars of
// the current element, carrying the previous position's statistics
// forward, and calling the handler of the line's keyword.
//
// Handlers plug into a registry owned by the run context. A handler takes
// the lattice line n and returns nothing; it advances ipos by one on entry
// (the passive handlers excepted, see below), stores its results at ipos,
// and outside the error-drawing pass moves the beam and takes statistics.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string_view>

namespace linac {

struct ControlContext;

using ElementHandler = std::function<void(ControlContext&, std::int32_t& n)>;

// Every handler the dispatcher can call, one slot each.
enum class HandlerId : int {
  drift_element,
  enge_cmd,
  ascii_cmd,
  vary_cmd,
  fit_cmd,
  scrch_cmd,
  prmtr_cmd,
  swtch_cmd,
  align_cmd,
  ebfld_cmd,
  uds_element,
  cav_element,
  cdump_cmd,
  mon_element,
  corr_element,
  phcor_element,
  zero_element,
  sol_element,
  sol_matrix_element,
  sol3d_element,
  eh3d_element,
  quad_element,
  quad_matrix_element,
  equad_element,
  extrc_element,
  eq3d_element,
  ehex_element,
  m5_element,
  einz_element,
  deck_element,
  bunch_element,
  bmag_element,
  strip_element,
  strip_skip_element,
  mult_element,
  shrt_element,
  filtr_element,
  rfq_element,
  mhb_element,
  mhb4_element,
  slit_element,
  fhide_element,
  updat_cmd,
  matrx_cmd,
  comb_element,
  ecorr_element,
  count
};
inline constexpr int kHandlerCount = static_cast<int>(HandlerId::count);

// The handlers of a run. A slot left empty belongs to a part of the system
// not built yet: a lattice line that reaches it stops the run with a
// message naming the keyword and the line. The constructor fills every
// handler that exists.
struct HandlerRegistry {
  HandlerRegistry();
  std::array<ElementHandler, kHandlerCount> slot{};
  void set(HandlerId id, ElementHandler h) { slot[static_cast<std::size_t>(id)] = std::move(h); }
  const ElementHandler& get(HandlerId id) const { return slot[static_cast<std::size_t>(id)]; }
};

// Condition under which a keyword reaches its handler.
enum class DispatchCondition {
  always,
  cav_on,          // IFLAG_CAV = 1
  sol_table,       // elem_int(n, 15) = 1
  sol_matrix,      // elem_int(n, 15) = 0
  quad_field,      // elem_n(n) >= 0
  quad_matrix,     // elem_n(n) = -1
  halo_0,          // IFLAG_HALO = 0
  halo_2,          // IFLAG_HALO = 2
  halo_1,          // IFLAG_HALO = 1
};

// One entry of the keyword table.
struct DispatchEntry {
  std::string_view keyword;  // 5 characters, lower case, blank-filled
  DispatchCondition condition;
  HandlerId handler;  // HandlerId::count: no handler (the line is passed over)
  bool passive;       // the handler leaves ipos alone; the dispatcher advances it
  bool command;       // a lattice command (else an element), for messages
};

// The keyword table in the order of comparison.
const std::array<DispatchEntry, 48>& dispatch_table();

// The entry whose keyword and condition hold for line n, or nullptr.
const DispatchEntry* find_dispatch_entry(const ControlContext& sim, std::int32_t n);

// Runs lattice line n (iel_first <= n <= iel_last). The caller sets
// ipos := first line - 1 before the first line of a pass; after the call
// ipos = n.
void dispatch_element(ControlContext& sim, std::int32_t& n);

}  // namespace linac
