#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/sim.hpp"
#include "control/dispatcher.hpp"
#include "platform/fatal.hpp"

namespace linac {
namespace {

bool is_passive(HandlerId id) {
  return id == HandlerId::vary_cmd || id == HandlerId::fit_cmd || id == HandlerId::fhide_element ||
         id == HandlerId::strip_skip_element;
}

// Spy handlers: each records its slot and line; the active ones advance
// ipos as every real handler does on entry.
struct Spy {
  struct Call {
    HandlerId id;
    int n;
  };
  std::vector<Call> calls;
  void install(Sim& sim) {
    for (int k = 0; k < kHandlerCount; ++k) {
      const auto id = static_cast<HandlerId>(k);
      sim.handlers.set(id, [this, id](ControlContext& s, std::int32_t& n) {
        calls.push_back({id, n});
        if (!is_passive(id)) s.state.ipos += 1;
      });
    }
  }
};

struct Line {
  const char* keyword;
  int elem_n = 0;
  int i15 = 0;
};

std::unique_ptr<Sim> lattice(const std::vector<Line>& lines) {
  auto sim = make_sim();
  set_start_values(*sim);
  Sim& s = *sim;
  s.config.iel_first = 1;
  s.config.iel_last = static_cast<int>(lines.size());
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const std::size_t n = k + 1;
    s.elements.elem_name[n] = lines[k].keyword;
    s.elements.elem_int[n][kElemN] = lines[k].elem_n;
    s.elements.elem_int[n][15] = lines[k].i15;
    s.elements.elem_pos[n] = 10.0 * static_cast<double>(n);
  }
  s.state.ipos = 0;
  return sim;
}

void run_pass(Sim& s) {
  s.state.ipos = s.config.iel_first - 1;
  for (std::int32_t n = s.config.iel_first; n <= s.config.iel_last; ++n) {
    dispatch_element(s, n);
    ASSERT_EQ(s.state.ipos, n) << "position rule after line " << n;
  }
}

TEST(Dispatcher, KeywordOrderOfTheTable) {
  // The comparison order, keyword by keyword.
  const char* order[48] = {"drift", "tdstr", "enge ", "ascii", "vary ", "fit  ", "scrch", "prmtr",
                           "swtch", "align", "ebfld", "uds  ", "cav  ", "cdump", "mon  ", "corr ",
                           "phcor", "zero ", "sol  ", "sol  ", "sol3d", "eh3d ", "quad ", "quad ",
                           "equad", "extrc", "eq3d ", "ehex ", "m5   ", "einz ", "deck ", "bunch",
                           "bmag ", "strip", "strip", "strip", "mult ", "shrt ", "filtr", "rfq  ",
                           "mhb  ", "mhb4 ", "slit ", "fhide", "updat", "matrx", "comb ", "ecorr"};
  const auto& t = dispatch_table();
  for (int k = 0; k < 48; ++k) EXPECT_EQ(t[static_cast<std::size_t>(k)].keyword, order[k]) << k;
  // Every handler slot is reached by some entry.
  for (int h = 0; h < kHandlerCount; ++h) {
    bool found = false;
    for (const auto& e : t) found = found || static_cast<int>(e.handler) == h;
    EXPECT_TRUE(found) << h;
  }
}

TEST(Dispatcher, EachKeywordReachesItsHandler) {
  struct Case {
    Line line;
    int iflag_cav;
    int halo;
    HandlerId expect;  // HandlerId::count: passed over
  };
  using H = HandlerId;
  const Case cases[] = {
      {{"drift"}, 1, 0, H::drift_element},
      {{"enge "}, 1, 0, H::enge_cmd},
      {{"ascii"}, 1, 0, H::ascii_cmd},
      {{"vary "}, 1, 0, H::vary_cmd},
      {{"fit  "}, 1, 0, H::fit_cmd},
      {{"scrch"}, 1, 0, H::scrch_cmd},
      {{"prmtr"}, 1, 0, H::prmtr_cmd},
      {{"swtch"}, 1, 0, H::swtch_cmd},
      {{"align"}, 1, 0, H::align_cmd},
      {{"ebfld"}, 1, 0, H::ebfld_cmd},
      {{"uds  "}, 1, 0, H::uds_element},
      {{"cav  "}, 1, 0, H::cav_element},
      {{"cav  "}, 0, 0, H::count},
      {{"cav  "}, 2, 0, H::count},
      {{"cdump"}, 1, 0, H::cdump_cmd},
      {{"mon  "}, 1, 0, H::mon_element},
      {{"corr "}, 1, 0, H::corr_element},
      {{"phcor"}, 1, 0, H::phcor_element},
      {{"zero "}, 1, 0, H::zero_element},
      {{"sol  ", 0, 1}, 1, 0, H::sol_element},
      {{"sol  ", 0, 0}, 1, 0, H::sol_matrix_element},
      {{"sol  ", 0, 2}, 1, 0, H::count},
      {{"sol3d"}, 1, 0, H::sol3d_element},
      {{"eh3d "}, 1, 0, H::eh3d_element},
      {{"quad ", 0}, 1, 0, H::quad_element},
      {{"quad ", 7}, 1, 0, H::quad_element},
      {{"quad ", -1}, 1, 0, H::quad_matrix_element},
      {{"quad ", -2}, 1, 0, H::count},
      {{"equad"}, 1, 0, H::equad_element},
      {{"extrc"}, 1, 0, H::extrc_element},
      {{"eq3d "}, 1, 0, H::eq3d_element},
      {{"ehex "}, 1, 0, H::ehex_element},
      {{"m5   "}, 1, 0, H::m5_element},
      {{"einz "}, 1, 0, H::einz_element},
      {{"deck "}, 1, 0, H::deck_element},
      {{"bunch"}, 1, 0, H::bunch_element},
      {{"bmag "}, 1, 0, H::bmag_element},
      {{"strip"}, 1, 0, H::strip_element},
      {{"strip"}, 1, 1, H::strip_skip_element},
      {{"strip"}, 1, 2, H::strip_element},
      {{"strip"}, 1, 3, H::count},
      {{"strip"}, 1, -1, H::count},
      {{"mult "}, 1, 0, H::mult_element},
      {{"shrt "}, 1, 0, H::shrt_element},
      {{"filtr"}, 1, 0, H::filtr_element},
      {{"rfq  "}, 1, 0, H::rfq_element},
      {{"mhb  "}, 1, 0, H::mhb_element},
      {{"mhb4 "}, 1, 0, H::mhb4_element},
      {{"slit "}, 1, 0, H::slit_element},
      {{"fhide"}, 1, 0, H::fhide_element},
      {{"updat"}, 1, 0, H::updat_cmd},
      {{"matrx"}, 1, 0, H::matrx_cmd},
      {{"comb "}, 1, 0, H::comb_element},
      {{"ecorr"}, 1, 0, H::ecorr_element},
      {{"tdstr"}, 1, 0, H::count},
      {{"DRIFT"}, 1, 0, H::count},  // upper case never matches
      {{"drif "}, 1, 0, H::count},
      {{"trace"}, 1, 0, H::count},  // a keyword the table does not hold
  };
  for (const auto& c : cases) {
    // The line sits third, between two passed-over lines, so ipos is checked
    // on both sides of it.
    auto sim = lattice({{"tdstr"}, {"vary "}, c.line, {"fit  "}});
    sim->config.IFLAG_CAV = c.iflag_cav;
    sim->state.IFLAG_HALO = c.halo;
    Spy spy;
    spy.install(*sim);
    run_pass(*sim);
    std::vector<Spy::Call> at3;
    for (const auto& call : spy.calls)
      if (call.n == 3) at3.push_back(call);
    const std::string what = std::string(c.line.keyword) + " cav " + std::to_string(c.iflag_cav) + " halo " +
                             std::to_string(c.halo) + " elem_n " + std::to_string(c.line.elem_n) + " I15 " +
                             std::to_string(c.line.i15);
    if (c.expect == H::count) {
      EXPECT_TRUE(at3.empty()) << what;
    } else {
      ASSERT_EQ(at3.size(), 1u) << what;
      EXPECT_EQ(at3[0].id, c.expect) << what;
    }
  }
}

TEST(Dispatcher, ResetsBeforeTheHandler) {
  auto sim = lattice({{"drift"}, {"quad ", 1}});
  Sim& s = *sim;
  s.ref.z_offset = 2.5;
  bool checked = false;
  s.handlers.set(HandlerId::drift_element, [](ControlContext& x, std::int32_t&) { x.state.ipos += 1; });
  s.handlers.set(HandlerId::quad_element, [&checked](ControlContext& x, std::int32_t& n) {
    EXPECT_EQ(n, 2);
    EXPECT_EQ(x.ref.nstep, 1);
    EXPECT_EQ(x.ref.elem_len, 0.0);
    EXPECT_EQ(x.state.itype, 0);
    EXPECT_EQ(x.ref.elem_phase, 0.0);
    EXPECT_EQ(x.state.imoved, 0);
    EXPECT_EQ(x.state.IAXIAL, 0);
    EXPECT_EQ(x.ref.z_entry, 2.5 + 10.0) << "end of the previous line";
    EXPECT_EQ(x.state.table_kind, 2);
    EXPECT_EQ(x.state.table_sym, -1);
    EXPECT_EQ(x.state.bmag_region, 2);
    EXPECT_EQ(x.ref.aper_x, 1000.0);
    EXPECT_EQ(x.ref.aper_y, 1000.0);
    EXPECT_EQ(x.state.ipos, 1) << "the handler takes its position itself";
    checked = true;
    x.state.ipos += 1;
  });
  s.state.ipos = 0;
  std::int32_t n = 1;
  dispatch_element(s, n);
  // Leave values behind that the next dispatch must reset.
  s.ref.nstep = 40;
  s.ref.elem_len = 3.0;
  s.state.itype = 4;
  s.ref.elem_phase = 0.3;
  s.state.imoved = 1;
  s.state.IAXIAL = 1;
  s.state.table_kind = 7;
  s.state.table_sym = 3;
  s.state.bmag_region = 0;
  s.ref.aper_x = s.ref.aper_y = 2.0;
  n = 2;
  dispatch_element(s, n);
  EXPECT_TRUE(checked);
}

TEST(Dispatcher, PassedOverLinesRepeatThePreviousStatistics) {
  // drift, fit, drift: after fit ipos = 2 and position 2 shows the first
  // drift's statistics; the second drift writes position 3.
  auto sim = lattice({{"drift"}, {"fit  "}, {"drift"}, {"cav  "}});
  Sim& s = *sim;
  s.config.IFLAG_CAV = 0;
  s.handlers.set(HandlerId::drift_element, [](ControlContext& x, std::int32_t&) {
    x.state.ipos += 1;
    x.stats.element_stats[static_cast<std::size_t>(x.state.ipos)].x_rms = 10.0 * x.state.ipos;
    x.stats.position_counts.n_lost[static_cast<std::size_t>(x.state.ipos)] = x.state.ipos;
  });
  run_pass(s);
  EXPECT_EQ(s.stats.element_stats[1].x_rms, 10.0);
  EXPECT_EQ(s.stats.element_stats[2].x_rms, 10.0);
  EXPECT_EQ(s.stats.position_counts.n_lost[2], 1) << "lost count repeated";
  EXPECT_EQ(s.stats.element_stats[3].x_rms, 30.0);
  EXPECT_EQ(s.stats.element_stats[4].x_rms, 30.0) << "cav passed over with IFLAG_CAV = 0";
  EXPECT_EQ(s.history.ref_W_out[4], 0.0) << "no reference values for a passed-over line";
}

TEST(Dispatcher, UnbuiltHandlerStopsNamingKeywordAndLine) {
  struct Case {
    const char* keyword;
    const char* message;
  };
  const Case cases[] = {
      // An rfq line whose cell file was never read (no lattice file here).
      {"rfq  ", " element 3 (rfq): no RFQ cells were read for it"},
  };
  for (const auto& c : cases) {
    auto sim = lattice({{"vary "}, {"fhide"}, {c.keyword, 1}});
    try {
      run_pass(*sim);
      FAIL() << c.keyword << " passed silently";
    } catch (const FatalStop& e) {
      EXPECT_EQ(e.lines().at(0), c.message);
    }
  }
  // The no-action lines need no registration.
  auto sim = lattice({{"vary "}, {"fit  "}, {"fhide"}, {"tdstr"}, {"strip"}});
  sim->state.IFLAG_HALO = 1;
  EXPECT_NO_THROW(run_pass(*sim));
}

TEST(Dispatcher, HandlerThatBreaksThePositionRuleStops) {
  auto sim = lattice({{"mon  "}});
  sim->handlers.set(HandlerId::mon_element, [](ControlContext&, std::int32_t&) {});
  sim->state.ipos = 0;
  std::int32_t n = 1;
  EXPECT_THROW(dispatch_element(*sim, n), FatalStop);
}

}  // namespace
}  // namespace linac
