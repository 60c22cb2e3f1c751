#include "run/sim.hpp"

#include <gtest/gtest.h>

namespace linac {
namespace {

TEST(StartValues, ListedValuesAndWidenedConstants) {
  auto sim = make_sim();
  set_start_values(*sim);
  set_remaining_defaults(*sim);
  const Sim& s = *sim;
  EXPECT_EQ(s.ref.amu_kev, 931494.3200000001);
  EXPECT_EQ(s.ref.amu_ev, 931494320.0);
  EXPECT_EQ(s.ref.amu_mev, 931.4943199999999);
  EXPECT_EQ(s.config.DWWACC, 0.20000000298023224);
  EXPECT_EQ(s.PART, 0.9950000047683716);
  EXPECT_EQ(s.config.nharm_sc, 1);
  EXPECT_EQ(s.config.ndraw, 1);
  EXPECT_EQ(s.state.ipass, 1);
  EXPECT_EQ(s.state.view_count, 1);
  EXPECT_EQ(s.state.ifirst_stat, -1);
  EXPECT_EQ(s.state.ifirst_out, -1);
  EXPECT_EQ(s.state.ifirst_matrx, -1);
  EXPECT_EQ(s.state.ifirst_dev_field, -1);
  EXPECT_EQ(s.bend.delta1, 0.45);
  EXPECT_EQ(s.bend.delta2, 3.0);
  for (int k = 1; k <= 6; ++k) EXPECT_EQ(s.rfq.AijRFQ[k], 1.0);
  EXPECT_EQ(s.corr_limits.W_LIM, 0.2);
  EXPECT_EQ(s.corr_limits.A_LIM, 0.5);
  EXPECT_EQ(s.corr_limits.TE00_STEP, 1.0);
  EXPECT_EQ(s.corr_limits.PHDEV_STEP, 1.0);
  EXPECT_EQ(s.scan.factor, 1.0);
  EXPECT_EQ(s.sc.NXGRD, 33);
  EXPECT_EQ(s.sc.NYGRD, 33);
  EXPECT_EQ(s.sc.NZGRD, 65);
  EXPECT_EQ(s.sc.zlhSC, 1000.0);
  EXPECT_EQ(s.matrx.eps, 1e-6);
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) EXPECT_EQ(s.matrx.mtot[i][j], i == j ? 1.0 : 0.0);
  EXPECT_EQ(s.tables.WORK_DIR, "empty");
  // Group INDEX defaults.
  EXPECT_EQ(s.config.IGRAPH, 1);
  EXPECT_EQ(s.config.IINT, 50);
  EXPECT_EQ(s.config.IFLAG_CAV, 1);
  EXPECT_EQ(s.config.NSTEP_CAV, 50);
  EXPECT_EQ(s.config.IFLAG_DIS, 1);
  EXPECT_EQ(s.config.NRZ_MIN, 1);
}

TEST(StartValues, TypeNamesAndAttributes) {
  auto sim = make_sim();
  set_start_values(*sim);
  const auto& t = sim->types;
  struct Slot {
    int k;
    const char* name;
    int attr;
  };
  const Slot named[] = {{1, "drift", 0}, {2, "sol  ", 1}, {5, "bunch", 3}, {6, "cav  ", 3},
                        {9, "rfq  ", 2}, {12, "slit ", 0}, {22, "uds  ", 2}, {25, "eh3d ", 1},
                        {31, "mhb4 ", 2}, {32, "ecorr", 1}};
  for (const auto& s : named) {
    EXPECT_EQ(t.type_names[s.k].view(), s.name);
    EXPECT_EQ(t.type_attr[s.k], s.attr);
  }
  int named_count = 0;
  for (int k = 1; k <= kElementTypes; ++k)
    if (t.type_names[k].view() != "*****") ++named_count;
  EXPECT_EQ(named_count, 25);
  for (int k : {14, 19, 20, 23, 24, 27, 33, 40}) {
    EXPECT_EQ(t.type_names[k].view(), "*****");
    EXPECT_EQ(t.type_attr[k], 0);
  }
}

TEST(RunContext, TwoRunsAreIndependent) {
  auto a = make_sim();
  auto b = make_sim();
  set_start_values(*a);
  a->particles.x[3][100] = 1.5;
  a->elements.elem_par[7][2] = 4.0;
  a->config.NQTOT = 3;
  EXPECT_EQ(b->particles.x[3][100], 0.0);
  EXPECT_EQ(b->elements.elem_par[7][2], 0.0);
  EXPECT_EQ(b->config.NQTOT, 0);
  EXPECT_EQ(b->ref.amu_kev, 0.0);  // every record is zero before the start values
  // The last slot of the last charge state is addressable and distinct.
  a->particles.status[6][kParticleSlots - 1] = -1;
  EXPECT_EQ(a->particles.status[6][kParticleSlots - 2], 0);
  EXPECT_EQ(b->particles.status[6][kParticleSlots - 1], 0);
}

}  // namespace
}  // namespace linac
