#include "transport/ecorr.hpp"

#include "transport/transport_context.hpp"

namespace linac {

namespace {

double trial_kick(const std::array<double, kCorrectorKicks>& trial, std::int32_t tag) {
  return (tag >= 0 && tag < kCorrectorKicks) ? trial[static_cast<std::size_t>(tag)] : 0.0;
}

}  // namespace

EcorrSource ecorr_source(const TransportContext& sim, const CorrectorKicks& k) {
  const StaticTableSource table = static_table_source(sim);
  EcorrSource s;
  s.table = table.table;
  s.geom = table.geom;
  s.kick_x = sim.fieldmap.kick_x;
  s.kick_y = sim.fieldmap.kick_y;
  s.base_x = k.base_x;
  s.base_y = k.base_y;
  s.tag_x = k.tag_x;
  s.tag_y = k.tag_y;
  s.trial_x = trial_kick(k.trial, k.tag_x);
  s.trial_y = trial_kick(k.trial, k.tag_y);
  return s;
}

bool ecorr_field_at(TransportContext& sim, double x, double y, double z, double t, Vec3& E, Vec3& B) {
  const CorrectorKicks none{0.0, 0.0, -1, -1, sim.corr.kicks};
  const FieldAt<EcorrSource> field{ecorr_source(sim, none)};
  if (z >= 0.0 && z <= sim.ref.elem_len) sim.state.ilost = 0;
  return field(x, y, z, t, E, B);
}

}  // namespace linac
