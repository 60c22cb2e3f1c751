#include "corrections/sections.hpp"

#include <array>
#include <vector>

#include <fmt/format.h>

#include "corrections/corrections_context.hpp"
#include "common/unit_numbers.hpp"
#include "numerics/linear_systems.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "platform/units.hpp"

namespace linac {

namespace {

bool is_bracket_number(const CorrStudy& cs, std::int32_t num) {
  for (int i = 1; i <= cs.n_sections; ++i)
    if (cs.corr_section[i][kCsCdump] == num) return true;
  return false;
}

[[noreturn]] void opened_brackets() { fatal(" opened CDUMP brackets"); }

// The three-line block of one section and an empty line.
RecordBlock section_block(const CorrectionsContext& sim, int i) {
  const auto& row = sim.corr_study.corr_section[i];
  const auto& e = sim.elements;
  RecordBlock out;
  if (row[kCsCdump] == 0)
    out.add(FortranFormat("(8X,A8,I2,25X,A21)"), {std::string_view("SECTION#"), i, std::string_view("no correction")});
  else
    out.add(FortranFormat("(8X,A8,I2,13X,A30,I3)"),
            {std::string_view("SECTION#"), i, std::string_view(" correction for CDUMP#"), row[kCsCdump]});
  out.add(FortranFormat("(3(A6,I4,1X))"), {std::string_view("ne1="), row[kCsFirst], std::string_view("ne2="),
                                           row[kCsLast], std::string_view("ne3="), row[kCsExtra]});
  std::vector<FmtItem> items;
  for (int c : {kCsFirst, kCsLast, kCsExtra}) {
    const auto k = static_cast<std::size_t>(row[c]);
    items.emplace_back(e.elem_int[k][kElemN]);
    items.emplace_back(e.elem_name[k].view());
  }
  out.add(FortranFormat("(3(I3,1X,A5,2X))"), items);
  out.add_line("");
  return out;
}

}  // namespace

std::int32_t find_element(const CorrectionsContext& sim, std::int32_t start, std::int32_t& num, std::string_view name) {
  const RunConfig& c = sim.config;
  const ElementTable& e = sim.elements;
  if (start > c.iel_last) return 0;
  for (std::int32_t k = start; k <= c.iel_last; ++k) {
    const auto kk = static_cast<std::size_t>(k);
    if (!(e.elem_name[kk] == name)) continue;
    const std::int32_t n = e.elem_int[kk][kElemN];
    if (num < 0) {
      if (is_bracket_number(sim.corr_study, n)) continue;
      num = n;
      return k;
    }
    if (n == num) return k;
  }
  return 0;
}

void setup_correction_sections(CorrectionsContext& sim) {
  CorrStudy& cs = sim.corr_study;
  const RunConfig& c = sim.config;
  const ElementTable& e = sim.elements;
  for (auto& row : cs.corr_section) row.fill(0);
  cs.n_sections = 0;
  sim.scan.cur_cdump = 0;

  std::int32_t k = c.iel_first;
  while (k < c.iel_last) {
    std::int32_t cdump = 0, last = 0, extra = 0;
    if (!(e.elem_name[static_cast<std::size_t>(k)] == "cdump")) {
      std::int32_t num = -1;
      std::int32_t next = find_element(sim, k, num, "cdump");
      const std::int32_t prev = cs.n_sections > 0 ? cs.corr_section[cs.n_sections][kCsCdump] : 0;
      if (prev == 0 && next == c.iel_last) opened_brackets();
      if (next == 0) next = c.iel_last;
      last = extra = next - 1;
    } else {
      cdump = e.elem_int[static_cast<std::size_t>(k)][kElemN];
      std::int32_t num = cdump;
      last = find_element(sim, k + 1, num, "cdump");
      if (last == 0) opened_brackets();
      extra = find_element(sim, last + 1, num, "cdump");
      if (extra == 0) extra = last;
    }
    if (cs.n_sections == kMaxSections)
      fatal(fmt::format(" correction section {} (element lines {}..{}): a lattice holds at most {} correction "
                        "sections",
                        kMaxSections + 1, k, last, kMaxSections));
    auto& row = cs.corr_section[static_cast<std::size_t>(++cs.n_sections)];
    row[kCsCdump] = cdump;
    row[kCsFirst] = k;
    row[kCsLast] = last;
    row[kCsExtra] = extra;
    sim.scan.cur_cdump = cdump;
    k = last + 1;
  }

  if (sim.state.IFLAG_UNIX == 0) {
    for (int i = 1; i <= cs.n_sections; ++i) {
      const RecordBlock block = section_block(sim, i);
      sim.units.write(kScreenUnit, block.records());
      for (int unit : {kUnitPhMonitor, kUnitBpMonitor}) write_checked(sim, unit, block);
    }
  }

  for (int i = 1; i <= cs.n_sections; ++i) {
    const auto& a = cs.corr_section[i];
    for (int j = i + 1; j <= cs.n_sections; ++j) {
      const auto& b = cs.corr_section[j];
      auto inside = [&](std::int32_t v) { return v >= a[kCsFirst] && v <= a[kCsLast]; };
      if (inside(b[kCsFirst]) || inside(b[kCsLast])) {
        sim.units.write(kScreenUnit, format_records("(A10,I3,A13,I3,A17)",
                                                    {std::string_view(" section#"), i,
                                                     std::string_view(" and section#"), j,
                                                     std::string_view(" is intersecting")}));
        fatal(std::vector<std::string>{});
      }
    }
  }
}

void normal_equation_strengths(CorrectionsContext& sim) {
  CorrStudy& cs = sim.corr_study;
  const int n = sim.corr.ncorr;
  const int m = cs.n_eq;
  constexpr int ld = kMaxEquations;
  // The response matrix by columns with leading dimension 25.
  std::array<double, ld * kMaxSteerCorrectors> a{};
  for (int j = 1; j <= m; ++j)
    for (int t = 1; t <= n; ++t) a[static_cast<std::size_t>((j - 1) + (t - 1) * ld)] = cs.resp[j][t];
  const double det = a[0] * a[1 + ld] - a[ld] * a[1];
  sim.units.write(kScreenUnit, list_directed({std::string_view("det"), det}));
  // Normal equations (A^T A) x = -A^T rhs.
  std::array<double, ld * ld> ata{};
  std::array<double, ld> atb{};
  for (int t = 0; t < n; ++t) {
    for (int u = 0; u < n; ++u) {
      double s = 0.0;
      for (int j = 0; j < m; ++j) s += a[static_cast<std::size_t>(j + t * ld)] * a[static_cast<std::size_t>(j + u * ld)];
      ata[static_cast<std::size_t>(t + u * ld)] = s;
    }
    double s = 0.0;
    for (int j = 0; j < m; ++j) s -= a[static_cast<std::size_t>(j + t * ld)] * cs.rhs[static_cast<std::size_t>(j + 1)];
    atb[static_cast<std::size_t>(t)] = s;
  }
  std::array<double, ld> x{};
  DLSARG(sim, n, ata, ld, std::span<const double>(atb.data(), static_cast<std::size_t>(n)), 1,
         std::span<double>(x.data(), static_cast<std::size_t>(n)));
  for (int t = 1; t <= n; ++t) cs.corr_value[static_cast<std::size_t>(t)] = x[static_cast<std::size_t>(t - 1)];
}

}  // namespace linac
