// Reports of the steering: the detailed report of a steered section of the
// first seed, and the rms strengths and correlations of the correctors over
// all seeds read back from co_monitor.dat.
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "corrections/corrections_context.hpp"
#include "common/text_utils.hpp"
#include "common/unit_numbers.hpp"
#include "common/unit_numbers.hpp"
#include "corrections/correction_service.hpp"
#include "corrections/correction_steps.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "platform/freeformat.hpp"
#include "platform/units.hpp"

namespace linac {

namespace {

using Row = std::array<double, kMaxSteerCorrectors + 1>;
using Square = std::array<Row, kMaxSteerCorrectors + 1>;

// Sample covariance of n draws from the sums of the values and of their
// products; a variance that rounding makes negative is 0.
double covariance(double prod, double sum1, double sum2, double n, bool diagonal) {
  const double v = (prod - sum1 * sum2 / n) / (n - 1.0);
  return diagonal && v < 0.0 ? 0.0 : v;
}

// Row t of the rms and correlation table of n correctors: rms on the
// diagonal, correlation coefficients elsewhere (0 where an rms is 0).
Square rms_and_correlations(const Row& sum, const Square& prod, int n, double draws) {
  Square out{};
  Row rms{};
  for (int t = 1; t <= n; ++t) rms[t] = std::sqrt(covariance(prod[t][t], sum[t], sum[t], draws, true));
  for (int t = 1; t <= n; ++t)
    for (int t2 = 1; t2 <= n; ++t2) {
      if (t == t2) {
        out[t][t] = rms[t];
      } else {
        const double den = rms[t] * rms[t2];
        out[t][t2] = den > 0.0 ? covariance(prod[t][t2], sum[t], sum[t2], draws, false) / den : 0.0;
      }
    }
  return out;
}

std::string corrector_label(int t, int n_x) {
  return (t <= n_x ? " corrX #" : " corrY #") + int_to_2digits(t <= n_x ? t : t - n_x);
}

void correlation_table(CorrectionsContext& sim, std::int32_t s, const Square& v, int n, int n_x, std::string_view rms_label) {
  Units& u = sim.units;
  u.write(kUnitBpMonitor, list_directed({std::string_view("!**Correlation matrix for correctors")}));
  write_checked(sim, kUnitBpMonitor, "(13X,A14,A20,A30)",
                  {std::string_view(" CorrLim,mrad "), rms_label, std::string_view(" correlation coefficients ")});
  const std::string f = fmt::format("(A12,F14.6,F17.6,{}F12.4)", n);
  for (int t = 1; t <= n; ++t) {
    const std::string name = corrector_label(t, n_x);
    std::vector<FmtItem> items{std::string_view(name), sim.corr_study.corr_limit[s][t], v[t][t]};
    for (int t2 = 1; t2 <= n; ++t2) items.emplace_back(v[t][t2]);
    write_checked(sim, kUnitBpMonitor, f, items);
  }
}

void section_header(CorrectionsContext& sim, std::int32_t s, std::int32_t cdump) {
  write_checked(sim, kUnitBpMonitor, "(2X,A8,I3,13X,A30,I3)",
                  {std::string_view("SECTION#"), s, std::string_view(" correction for CDUMP#"), cdump});
}

}  // namespace

void write_correction_report(CorrectionsContext& sim, std::int32_t s) {
  CorrStudy& cs = sim.corr_study;
  Units& u = sim.units;
  const int n = sim.corr.ncorr, nx = cs.n_x;
  const auto ss = static_cast<std::size_t>(s);
  auto text = [&](std::string_view t) { u.write(kUnitBpMonitor, list_directed({t})); };
  auto empty = [&] { u.write(kUnitBpMonitor, list_directed({})); };
  const std::string stars = std::string(28, ' ') + std::string(14, '*');

  // 1-3. Seed, section and counts.
  text(stars);
  write_checked(sim, kUnitBpMonitor, "(28X,A8,I5,A2)", {std::string_view("* Seed#"), sim.state.iseed, std::string_view(" *")});
  text(stars);
  section_header(sim, s, sim.scan.cur_cdump);
  if (sim.scan.cur_cdump == 0) return;
  write_checked(sim, kUnitBpMonitor, "(3(A15,I2))",
                  {std::string_view("No. of XCorr= "), cs.n_x, std::string_view("No. of YCorr= "), cs.n_y,
                   std::string_view("No. of Mon="), cs.n_mon});

  // 4-5. The equations of the last fit.
  empty();
  text(" !** Equation Ax=b  matrix A   and   vector b");
  const std::string eqf = fmt::format("({}F15.8,8X,F15.8)", n);
  for (int j = 1; j <= cs.n_eq; ++j) {
    std::vector<FmtItem> items;
    for (int t = 1; t <= n; ++t) items.emplace_back(cs.resp[j][t]);
    items.emplace_back(-cs.rhs[j]);
    write_checked(sim, kUnitBpMonitor, eqf, items);
  }

  // 6-9. Transfer functions per mrad of kick.
  empty();
  text("!** Transfer functions   ");
  auto transfer = [&](int t_first, int t_last, std::initializer_list<FmtItem> heads, std::string_view due) {
    write_checked(sim, kUnitBpMonitor, "(30X,4A13)", heads);
    for (int m = 1; m <= cs.n_mon; ++m)
      for (int t = t_first; t <= t_last; ++t) {
        const auto& r = cs.mon_read_t[1][m][t];
        const double lim = cs.corr_limit[ss][t];
        write_checked(sim, kUnitBpMonitor, "(A8,I2,A10,A10,4F13.4)",
                        {std::string_view(" Mon#"), m, due, std::string_view(cs.corr_name[t]), r[1] / lim,
                         r[2] / lim * 1000.0, r[3] / lim, r[4] / lim * 1000.0});
      }
  };
  transfer(1, nx,
           {std::string_view(" R12[cm/mrad] "), std::string_view("       R22[ ]   "),
            std::string_view(" R32[cm/mrad] "), std::string_view("       R42[ ]   ")},
           " due to ");
  transfer(nx + 1, n,
           {std::string_view(" R14[cm/mrad] "), std::string_view("       R24[ ]   "),
            std::string_view(" R34[cm/mrad] "), std::string_view("       R44[ ]   ")},
           " due to  ");
  empty();

  // 10-11. Spread of the corrected monitor readings over the fits.
  const double reps = sim.corr.MONERR;
  text("!** unnormalized RMS emittances of the beam and monitors");
  write_checked(sim, kUnitBpMonitor, "(10X,4A18)",
                  {std::string_view("   ex_beam,mm*mrad"), std::string_view("   ey_beam,mm*mrad"),
                   std::string_view("    ex_mon,mm*mrad"), std::string_view("    ey_mon,mm*mrad")});
  for (int m = 1; m <= cs.n_mon; ++m) {
    auto& sum = cs.mon_sum[m];
    auto& prod = cs.mon_prod[m];
    auto V = [&](int a, int b) { return covariance(prod[a][b], sum[a], sum[b], reps, a == b); };
    auto emit = [](double a, double b, double c) { return std::sqrt(std::max(0.0, a * b - c * c)); };
    const double ex = emit(V(1, 1), V(2, 2), V(1, 2));
    const double ey = emit(V(3, 3), V(4, 4), V(3, 4));
    const std::string label = " mon #" + int_to_2digits(m) + "  ";
    write_checked(sim, kUnitBpMonitor, "(A10,4D18.5)",
                    {std::string_view(label), sim.beam_moments.eps_rms[1] * 1000.0,
                     sim.beam_moments.eps_rms[2] * 1000.0, ex * 1000.0, ey * 1000.0});
  }
  empty();

  // 13-14. Spread of the strengths over the fits.
  const Square v = rms_and_correlations(cs.corr_sum[ss], cs.corr_prod[ss], n, reps);
  correlation_table(sim, s, v, n, nx, "  rmsCorrErr,mrad");

  // 15-16. Monitors before and after.
  auto monitors = [&](std::string_view title, const auto& read) {
    empty();
    text(title);
    write_checked(sim, kUnitBpMonitor, "(10X,A51)",
                    {std::string_view("       X[cm]    X'[mrad]       Y[cm]    Y'[mrad]   ")});
    for (int m = 1; m <= cs.n_mon; ++m) {
      const std::string label = " mon #" + int_to_2digits(m) + "  ";
      const auto& r = read(m);
      write_checked(sim, kUnitBpMonitor, "(A10,4F12.4)",
                      {std::string_view(label), r[1], r[2] * 1000.0, r[3], r[4] * 1000.0});
    }
  };
  monitors("!**Monitors Before Correction ", [&](int m) -> const std::array<double, 5>& { return cs.mon_read0[1][m]; });
  monitors("!**Monitors After Correction ", [&](int m) -> const std::array<double, 5>& { return cs.mon_after[m]; });

  // 17. Strengths.
  empty();
  text("!**Strengths of the Correctors ");
  write_checked(sim, kUnitBpMonitor, "(12X,2A17)", {std::string_view("    CorrLim[mrad]"), std::string_view("    CorrStr[mrad]")});
  for (int t = 1; t <= n; ++t)
    write_checked(sim, kUnitBpMonitor, "(A12,2F17.4)",
                    {std::string_view(cs.corr_name[t]), cs.corr_limit[ss][t], cs.corr_value[t]});

  // 18. Closing lines.
  for (int i = 0; i < 2; ++i)
    write_checked(sim, kUnitBpMonitor, "(A60)", {std::string_view("*****************************************")});
  for (int i = 0; i < 3; ++i) write_checked(sim, kUnitBpMonitor, "(A50)", {std::string_view("")});
  write_checked(sim, kUnitBpMonitor, "(A50)", {std::string_view("   !* OUTPUT FOR ALL SEEDS *! ")});
  write_checked(sim, kUnitBpMonitor, "(A50)", {std::string_view("")});
}

void corrector_statistics(CorrectionsContext& sim) {
  CorrStudy& cs = sim.corr_study;
  Units& u = sim.units;
  for (auto& r : cs.corr_sum) r.fill(0.0);
  for (auto& sq : cs.corr_prod)
    for (auto& r : sq) r.fill(0.0);
  bool any = false;
  for (int s = 1; s <= cs.n_sections; ++s) any = any || cs.corr_section[s][kCsSteered] == 1;
  if (!any) return;

  // Read every seed's block back; a block cut short voids the statistics.
  auto refuse = [&](const std::string& why) {
    const std::string line = " corrector statistics not written: " + why;
    u.write(kUnitBpMonitor, line);
    u.write(kUnitLog, line);
  };
  if (u.is_open(kUnitCoMonitor)) u.flush(kUnitCoMonitor);
  int nseed = 0;
  {
    TextIn in(u, "co_monitor.dat");
    std::string line;
    auto next = [&]() -> std::optional<FreeLine> {
      while (in.next_line(line)) {
        FreeLine fl(line, "co_monitor.dat", in.line_number());
        if (!fl.at_end()) return fl;
      }
      return std::nullopt;
    };
    for (;;) {
      auto seed = next();
      if (!seed) break;
      const std::int32_t seed_no = seed->read_int();
      for (int s = 1; s <= cs.n_sections; ++s) {
        auto sec = next();
        if (!sec) {
          refuse(fmt::format("co_monitor.dat ends inside the block of seed {} (section {} missing)", seed_no, s));
          return;
        }
        const std::int32_t sp = sec->read_int();
        if (sp < 1 || sp > cs.n_sections) {
          refuse(fmt::format("co_monitor.dat line {}: section {} outside 1..{}", in.line_number(), sp, cs.n_sections));
          return;
        }
        const auto& row = cs.corr_section[static_cast<std::size_t>(sp)];
        if (row[kCsSteered] != 1) continue;
        const int n = row[kCsNx] + row[kCsNy];
        auto vals = next();
        if (!vals || static_cast<int>(vals->items_left()) < n) {
          refuse(fmt::format("co_monitor.dat ends inside the block of seed {} (strengths of section {} missing)",
                             seed_no, sp));
          return;
        }
        Row x{};
        for (int t = 1; t <= n; ++t) x[t] = vals->read_real();
        for (int t = 1; t <= n; ++t) {
          cs.corr_sum[sp][t] += x[t];
          for (int t2 = 1; t2 <= n; ++t2) cs.corr_prod[sp][t][t2] += x[t] * x[t2];
        }
      }
      ++nseed;
    }
  }
  if (nseed < 2) {
    refuse(fmt::format("{} seed(s) in co_monitor.dat; an rms over seeds needs at least 2", nseed));
    return;
  }

  for (int s = 1; s <= cs.n_sections; ++s) {
    const auto& row = cs.corr_section[static_cast<std::size_t>(s)];
    if (row[kCsSteered] != 1) continue;
    sim.scan.cur_cdump = row[kCsCdump];
    const int nx = row[kCsNx], n = nx + row[kCsNy];
    const Square v = rms_and_correlations(cs.corr_sum[s], cs.corr_prod[s], n, nseed);
    section_header(sim, s, sim.scan.cur_cdump);
    u.write(kUnitBpMonitor, list_directed({std::string_view(" ")}));
    correlation_table(sim, s, v, n, nx, " rmsCorrStr,mrad");
    u.write(kUnitBpMonitor, list_directed({std::string_view(" ")}));
  }
}

}  // namespace linac
