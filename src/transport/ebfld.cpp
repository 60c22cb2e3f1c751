#include "transport/ebfld.hpp"

#include "beam/stats.hpp"
#include "transport/transport_context.hpp"

namespace linac {

void ebfld_cmd(TransportContext& sim, std::int32_t& n) {
  RunState& s = sim.state;
  ReferenceBlock& r = sim.ref;
  s.ipos += 1;
  if (s.idraw == 1) return;
  const auto& P = sim.elements.elem_par[static_cast<std::size_t>(n)];
  FieldTables& ft = sim.field_tables;
  ft.ebfld_table = read_ebfld_table(sim, sim.elements.elem_int[static_cast<std::size_t>(n)][kElemN]);
  EbfldGeom& g = ft.ebfld_geom;
  g.ebfld_escale = P[1];
  g.ebfld_bscale = P[2];
  g.ebfld_len = P[3];
  g.ebfld_radius = P[4];
  g.ebfld_z0 = r.z_entry;
  sim.config.iflag_ebfld = 1;
  ReferenceHistory& h = sim.history;
  const int p = s.ipos;
  if (s.ipass == 1) {
    h.ref_W_in[p] = r.w0;
    h.ref_W_out[p] = r.w0;
    h.elem_rf_phase[p] = 0.0;
    h.ref_phase_out[p] = 0.0;
  }
  r.w0 = h.ref_W_out[p];
  stat_copy_prev(sim, p);
}

}  // namespace linac
