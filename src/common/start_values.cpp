#include "common/start_values.hpp"

#include "common/context.hpp"

namespace linac {

namespace {

struct NamedType {
  int slot;
  const char* name;
  int attr;
};

// Element-type table: slot, blank-filled name, attribute (0 no field,
// 1 static field, 2 special, 3 RF).
constexpr NamedType kNamedTypes[] = {
    {1, "drift", 0}, {2, "sol", 1},    {3, "bmag", 1},   {4, "quad", 1},   {5, "bunch", 3},
    {6, "cav", 3},   {7, "corr", 1},   {8, "mult", 1},   {9, "rfq", 2},    {10, "mhb", 1},
    {11, "deck", 1}, {12, "slit", 0},  {13, "fhide", 0}, {16, "einz", 1},  {17, "equad", 1},
    {18, "sol3d", 1}, {21, "extrc", 1}, {22, "uds", 2},   {25, "eh3d", 1},  {26, "phcor", 0},
    {28, "ehex", 1}, {29, "m5", 1},    {30, "comb", 1},  {31, "mhb4", 2},  {32, "ecorr", 1},
};

}  // namespace

void set_start_values(CommonContext& sim) {
  ReferenceBlock& r = sim.ref;
  // Mass units and limits.
  r.amu_ev = kAmuEv;
  r.amu_kev = kAmuKev;
  r.amu_mev = kAmuMev;
  r.z_offset = 0.0;
  r.frame_z0 = 0.0;
  sim.corr_limits.W_LIM = 0.2;
  sim.corr_limits.A_LIM = 0.5;
  sim.corr_limits.TE00_LIM = 0.0;
  sim.corr_limits.PHDEV_LIM = 0.0;
  sim.corr_limits.TE00_STEP = 1.0;
  sim.corr_limits.PHDEV_STEP = 1.0;
  sim.bend.delta1 = 0.45;
  sim.bend.delta2 = 3.0;
  // Enge sources.
  for (auto& e : sim.type_rec.enge_src) e = {0, 0, 0};
  // RFQ arrays and flags.
  for (int k = 1; k <= 6; ++k) sim.rfq.AijRFQ[k] = 1.0;
  sim.rfq.aperRFQ = 0.0;
  // Run switches and group INDEX defaults.
  RunConfig& c = sim.config;
  RunState& s = sim.state;
  c.nharm_sc = 1;
  c.ndraw = 1;
  c.DWWACC = widen(0.2f);
  c.DWWMAX = 0.0;
  sim.PART = widen(0.995f);
  s.ipass = 1;
  s.view_count = 1;
  c.IGRAPH = 1;
  c.IINT = 50;
  c.IFLAG_ENV = 1;
  c.IFLAG_CAV = 1;
  c.IFLAG_ELL = 1;
  c.NSTEP_CAV = 50;
  c.IFLAG_DIS = 1;
  c.IFLAG_RMS = 1;
  c.NRZ_MIN = 1;
  sim.beam.NP_SET = 1.0;
  sim.corr.MONERR = 1;
  sim.corr.PARTCORR = 1.0;
  // Per-type tables.
  for (auto& row : sim.type_rec.type_errors) row.fill(0.0);
  sim.type_rec.table_cache.fill(0);
  // Type names and attributes.
  for (int k = 0; k <= kElementTypes; ++k) {
    sim.types.type_names[k] = "*****";
    sim.types.type_attr[k] = 0;
  }
  for (const auto& t : kNamedTypes) {
    sim.types.type_names[t.slot] = t.name;
    sim.types.type_attr[t.slot] = t.attr;
  }
  // Transfer-matrix start values.
  sim.matrx.eps = 1e-6;
  sim.matrx.mode1 = 1;
  sim.matrx.mode2 = 1;
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) sim.matrx.mtot[i][j] = (i == j) ? 1.0 : 0.0;
  // One-shot field factor.
  sim.scan.factor = 1.0;
  // First-call flags.
  s.ifirst_stat = -1;
  s.ifirst_out = -1;
  s.ifirst_matrx = -1;
  s.ifirst_dev_field = -1;
}

void set_remaining_defaults(CommonContext& sim) {
  sim.beam.PHI0 = 0.0;
  for (int k = 1; k <= kFieldTables; ++k) {
    sim.tables.APER[k] = 0.0;
    sim.tables.DCAV[k] = 0.0;
    sim.tables.SFAS[k] = 0.0;
    sim.tables.SERF[k] = 0.0;
    sim.tables.N_TT[k] = 0;
    sim.tables.NCELLS[k] = 0;
  }
  for (int iq = 1; iq <= kMaxChargeStates; ++iq) {
    sim.offsets.X00[iq] = sim.offsets.XP00[iq] = sim.offsets.Y00[iq] = 0.0;
    sim.offsets.YP00[iq] = sim.offsets.PH00[iq] = sim.offsets.DWW00[iq] = 0.0;
    sim.current.CURRENT[iq] = 0.0;
    sim.current.qmacro[iq] = 0.0;
  }
  sim.ref.WIN = 0.0;
  sim.ref.UDESIGN = 0.0;
  sim.ref.QDESIGN = 0.0;
  sim.ref.ADESIGN = 0.0;
  sim.sc.NXGRD = 33;
  sim.sc.NYGRD = 33;
  sim.sc.NZGRD = 65;
  sim.sc.zlhSC = 1000.0;
  sim.tables.TABLE_DIR.clear();
  sim.tables.WORK_DIR = "empty";
}

}  // namespace linac
