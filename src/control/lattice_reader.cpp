#include "control/lattice_reader.hpp"

#include <fmt/format.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "beam/particle_dump.hpp"
#include "common/input_ranges.hpp"
#include "control/control_context.hpp"
#include "control/lattice_prepass.hpp"
#include "elements/rfq/rfq_cells.hpp"
#include "elements/rfq/rfq_cells.hpp"
#include "common/text_utils.hpp"
#include "control/velmo_main.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "platform/freeformat.hpp"
#include "platform/units.hpp"

namespace linac {

namespace {

constexpr const char* kLinac = "linac.dat";

// Prmtr parameter names and codes, in table order (ascending code).
constexpr PrmtrParameter kParams[] = {
    {"Qdesign", 1},      {"Adesign", 2},      {"harm", 3},         {"scur", 4},
    {"isol", 5},         {"iflag2D", 6},      {"iflag_qq", 7},     {"nqtot", 8},
    {"nqtot0", 9},       {"nqtot1", 10},      {"outQ", 11},        {"iflag_t", 12},
    {"iflag_dudt", 13},  {"iflag_ebfld", 14}, {"iflag_chain", 15}, {"iflag_lev", 17},
    {"iflag_log", 19},   {"msln_dstr", 20},   {"MonErr", 21},      {"zlhSC", 22},
    {"current", 23},     {"delta2", 24},      {"gridSC", 25},      {"outSC", 26},
    {"AijRFQ", 27},      {"iflag_accep", 28}, {"dev_field", 29},   {"delta1", 30},
    {"aperRFQ", 31},     {"init_COSY", 32},   {"Cneutr", 33},      {"trace", 34},
    {"mhb", 35},         {"write_ascii", 36}, {"iwrite_rms", 50},
};
constexpr std::int32_t kCodeHarm = kPrmtrCodeHarm;
constexpr std::int32_t kCodeIflagT = 12;
constexpr std::int32_t kCodeAijRFQ = 27;
constexpr std::int32_t kCodeIflagLog = 19;
constexpr std::int32_t kCodeMslnDstr = 20;
constexpr std::int32_t kCodeMonErr = 21;
constexpr std::int32_t kCodeMhb = 35;

// The quad runs as a matrix model when its two gradients differ by less
// than this fraction (a single-precision constant).
constexpr double kQuadMatrixTolerance = static_cast<double>(0.05f);

// The line being read and the slot it fills.
struct Row {
  ControlContext& sim;
  std::int32_t i;
  LatticeSplit sp;
  std::string line;  // the 132-character record, lower case
  int line_no;
  TextIn& in;
  double length = 0.0;  // cm, added to the end position of the previous slot

  double& P(int j) { return sim.elements.elem_par[i][j]; }
  std::int32_t& I(int j) { return sim.elements.elem_int[i][j]; }
  std::int32_t& elem_n() { return sim.elements.elem_int[i][kElemN]; }

  // The line's items behind the leading integer and the keyword.
  FreeLine numbers() const {
    FreeLine fl(line, kLinac, line_no);
    (void)fl.read_int();
    (void)fl.read_text(5);
    return fl;
  }
  void read_P(FreeLine& fl, int from, int to) {
    for (int j = from; j <= to; ++j) P(j) = fl.read_real();
  }
  std::string where() const {
    return fmt::format("{} line {} '{}'", kLinac, line_no, trimmed(line));
  }
  // A keyword whose numbers count is not one it takes stores nothing; the
  // line is kept (existing lattices rely on it) with a warning.
  void warn_count(const char* accepted) {
    const std::string text =
        fmt::format(" WARNING: {}: {} takes {} numbers, this line has {}; its numbers are not "
                    "stored",
                    where(), trimmed(keyword), accepted, sp.k);
    sim.units.write(kScreenUnit, text);
    sim.units.write(kUnitLog, text);
  }
  // Rows that store all k numbers of the line.
  void check_stored(int most) {
    if (sp.k > most)
      fatal(fmt::format(" {}: {} numbers, but a {} line stores at most {}", where(), sp.k,
                        trimmed(keyword), most));
  }
  void read_all_P() {
    check_stored(kElemPar);
    FreeLine fl = numbers();
    read_P(fl, 1, sp.k);
  }

  std::string keyword;
};

using RowFn = void (*)(Row&);

// align and enge: the element type behind the keyword, then the numbers,
// stored only for a switched-on line (n > 0).
void row_enge(Row& r) {
  r.I(15) = r.sp.t;
  if (r.sp.n > 0) {
    r.check_stored(kElemPar);
    FreeLine fl = r.numbers();
    (void)fl.read_text(5);  // type name
    r.read_P(fl, 1, r.sp.k);
  }
}

void row_align(Row& r) {
  // A cavity align line names its field table 1..99 (or -99..-1 off).
  if (r.sp.t == 6 && (r.sp.n == 0 || std::abs(r.sp.n) > 99))
    fatal(std::vector<std::string>{list_directed({std::string_view(r.line)}),
                                   " wrong 'align' element"});
  row_enge(r);
}

void row_fit(Row& r) {
  FreeLine fl = r.numbers();
  r.I(11) = fl.read_int();
  r.I(12) = fl.read_int();
  r.read_P(fl, 1, 2);
}

void row_vary(Row& r) {
  constexpr int kMaxVary = kElemInt - 10;  // integers I11..I16
  if (r.sp.k > kMaxVary)
    fatal(fmt::format(" {}: {} element numbers, but a vary line takes at most {}", r.where(), r.sp.k,
                      kMaxVary));
  FreeLine fl = r.numbers();
  for (int j = 1; j <= r.sp.k; ++j) {
    r.I(10 + j) = fl.read_int();
    r.P(j) = 1.313e14;
  }
  r.elem_n() = r.sp.k;
}

void row_any(Row& r) { r.read_all_P(); }

void row_ascii(Row& r) {
  // The line number names the file ascii.#NNN: three digits at most.
  if (r.sp.n > kMaxDumpNumber)
    fatal(fmt::format(" {}: ascii number {}; the dump file ascii.#NNN takes numbers up to {}",
                      r.where(), r.sp.n, kMaxDumpNumber));
  // Without numbers: the live beam (mode 0) in the nominal run.
  if (r.sp.k == 0) return;
  if (r.sp.k != 1 && r.sp.k != 2) return r.warn_count("1 or 2");
  FreeLine fl = r.numbers();
  r.I(11) = fl.read_int();
  r.I(12) = r.sp.k == 2 ? fl.read_int() : 0;
}

template <int N>
void row_P(Row& r) {
  FreeLine fl = r.numbers();
  r.read_P(fl, 1, N);
}

void row_scrch(Row& r) {
  if (r.sp.n == 0) fatal(list_directed({std::string_view(" n can't be equal 0  in 'n scrch' ")}));
  // The number names the restart file scratch.#NN by two digits.
  if (std::abs(r.sp.n) > 99)
    fatal(fmt::format(" {}: scrch number {}; the restart file scratch.#NN takes -99..99", r.where(), r.sp.n));
  if (r.sp.k > 0) {
    r.read_all_P();
    r.I(11) = r.i;
  }
}

void row_nothing(Row&) {}

void row_drift(Row& r) {
  if (r.sp.k != 3 && r.sp.k != 4) return r.warn_count("3 or 4");
  FreeLine fl = r.numbers();
  r.I(11) = 0;
  r.read_P(fl, 1, 3);
  if (r.sp.k == 4) r.I(11) = fl.read_int();
  r.length = r.P(1);
}

void row_tdstr(Row& r) {
  if (r.sp.k != 4 && r.sp.k != 5) return r.warn_count("4 or 5");
  FreeLine fl = r.numbers();
  r.I(12) = -1;
  r.read_P(fl, 1, 3);
  r.I(11) = fl.read_int();
  if (r.sp.k == 5) r.I(12) = fl.read_int();
  r.length = r.P(1);
}

// n numbers P1..P(n-1) then an integer into I11; length P(len_par).
template <int N, int Len>
void row_P_then_int(Row& r) {
  FreeLine fl = r.numbers();
  r.read_P(fl, 1, N - 1);
  r.I(11) = fl.read_int();
  if (Len > 0) r.length = r.P(Len);
}

// equad and m5 lines may end with their aperture radius before the step
// count (5 and 9 items); the shorter forms (4 and 7 items) leave it 0, which
// the lens drivers refuse.
void row_equad(Row& r) {
  if (r.sp.k == 5) return row_P_then_int<5, 2>(r);
  row_P_then_int<4, 2>(r);
}

void row_m5(Row& r) {
  if (r.sp.k == 9) return row_P_then_int<9, 1>(r);
  row_P_then_int<7, 1>(r);
}

void row_cav(Row& r) {
  FreeLine fl = r.numbers();
  r.read_P(fl, 1, 5);
  r.I(11) = fl.read_int();
  // The corrector cavity runs as a cavity with its own flag.
  const bool corrector = r.keyword != "cav  ";
  r.I(15) = corrector ? 1 : 0;
  r.sim.elements.elem_name[r.i] = "cav  ";
  r.length = r.P(1);
}

void row_uds(Row& r) {
  FreeLine fl = r.numbers();
  r.read_P(fl, 1, 4);
  r.I(11) = fl.read_int();
  const std::int32_t m = fl.read_int();
  r.I(12) = m;
  if (m > 5) fatal(" bed defined element UDS");
  // The m further numbers follow on the next lines, which take no slot.
  int got = 0;
  std::string raw;
  while (got < m) {
    if (!r.in.next_line(raw))
      fatal(fmt::format(" end of file {}: the uds line {} expects {} further numbers, found {}",
                        kLinac, r.line_no, m, got));
    FreeLine more(raw, kLinac, r.in.line_number());
    while (got < m && !more.at_end()) r.P(5 + got++) = more.read_real();
  }
  // The element takes its field table (P1) and the field-free extension
  // behind it (P4): the driver places and steps it over both.
  r.length = r.P(1) + r.P(4);
}

void row_phcor(Row& r) {
  r.P(1) = 0.0;
  r.P(2) = 0.0;
  r.P(3) = 1.0;
  r.P(4) = 1.0;
  r.read_all_P();
}

void row_mon(Row& r) {
  r.read_all_P();
  if (r.P(4) == 0.0) r.P(4) = r.P(2);
  if (r.P(5) == 0.0) r.P(5) = r.P(3);
  if (r.P(4) == 0.0 || r.P(5) == 0.0) {
    std::vector<std::string> lines = format_records(
        "(A6,I4,A)", {std::string_view("  ne="), r.i, std::string_view(r.line).substr(0, 79)});
    lines.push_back(" wrongly defined device");
    fatal(std::move(lines));
  }
}

// Steering correctors: the integer code sits at position c; the two kicks
// follow it, and a zero kick takes its default from P2 or P3.
template <int C>
void row_corrector(Row& r) {
  r.read_all_P();
  r.I(11) = nint(r.P(C), fmt::format("{} line {}: corrector code", kLinac, r.line_no));
  r.P(C) = r.P(C + 1);
  r.P(C + 1) = r.P(C + 2);
  if (std::fabs(r.P(C)) <= 1e-7) r.P(8) = r.P(2);
  if (std::fabs(r.P(C + 1)) <= 1e-7) r.P(9) = r.P(3);
  r.length = r.P(1);
}

void row_sol(Row& r) {
  if (r.sp.k == 4 || r.sp.k == 5) {
    FreeLine fl = r.numbers();
    r.read_P(fl, 1, 4);
  } else if (r.sp.k == 6) {
    FreeLine fl = r.numbers();
    r.read_P(fl, 1, 5);
    r.I(11) = fl.read_int();
  } else {
    r.warn_count("4, 5 or 6");
  }
  r.I(15) = (r.sp.n != 0 && r.sim.config.ISOL != 0) ? 1 : 0;
  r.length = r.P(2);
}

void row_mult(Row& r) {
  if (r.sp.k != 7 && r.sp.k != 8) return r.warn_count("7 or 8");
  FreeLine fl = r.numbers();
  r.read_P(fl, 1, 6);
  if (r.sp.k == 7) {
    r.I(11) = fl.read_int();
    r.I(12) = 0;
  } else {
    r.I(12) = fl.read_int();
    r.I(11) = fl.read_int();
  }
  r.length = r.P(1);
}

void row_quad(Row& r) {
  if (r.sp.k == 4 || r.sp.k == 5 || r.sp.k == 6) {
    FreeLine fl = r.numbers();
    r.I(11) = 0;
    r.read_P(fl, 1, 4);
    if (r.sp.k == 5) r.I(11) = fl.read_int();
    if (r.sp.k == 6) {
      r.I(12) = fl.read_int();
      r.I(11) = fl.read_int();
    }
  } else {
    r.warn_count("4, 5 or 6");
  }
  // Matrix model without a step count or with nearly equal gradients.
  if (r.I(11) == 0 || std::fabs((r.P(2) - r.P(3)) / r.P(2)) < kQuadMatrixTolerance) r.elem_n() = -1;
  r.length = r.P(2);
}

// The numbers of an rfq line that the cells and the driver rely on: the
// cell count within the record's capacity, a step count the per-cell
// records hold, a reference radius, voltage and phase in their ranges and a
// positive harmonic.
void check_rfq_line(Row& r) {
  auto refuse = [&](const std::string& what) { fatal(fmt::format(" {}: {}", r.where(), what)); };
  if (r.sp.n < 1 || r.sp.n > kRfqMaxCells)
    refuse(fmt::format("{} cells; an RFQ holds 1..{}", r.sp.n, kRfqMaxCells));
  if (r.I(11) < kRfqMinSteps || r.I(11) > kRfqMaxSteps)
    refuse(fmt::format("{} steps per cell (made even); a cell takes {}..{}", r.I(11), kRfqMinSteps,
                       kRfqMaxSteps));
  if (!input_range::within(r.P(3), kRfqMinAperture, kRfqMaxAperture))
    refuse(fmt::format("aperture radius R = {} cm; it must be within {} .. {} cm", r.P(3), kRfqMinAperture,
                       kRfqMaxAperture));
  if (!input_range::within(r.P(1), -kRfqMaxVoltage, kRfqMaxVoltage))
    refuse(fmt::format("inter-vane voltage V = {} kV; it must be within -{} .. {} kV", r.P(1), kRfqMaxVoltage,
                       kRfqMaxVoltage));
  if (!input_range::within(r.P(4), -input_range::kMaxPhaseDeg, input_range::kMaxPhaseDeg))
    refuse(fmt::format("phase phi = {} deg; it must be within -{} .. {} deg", r.P(4), input_range::kMaxPhaseDeg,
                       input_range::kMaxPhaseDeg));
  if (!(r.P(5) > 0.0)) refuse(fmt::format("harmonic P5 = {}; it must be above 0", r.P(5)));
  if (r.I(12) < 0 || r.I(12) > 99) refuse(fmt::format("cell file number {}; it takes 0..99", r.I(12)));
}

void row_rfq(Row& r) {
  r.I(12) = 1;
  r.I(13) = 1;
  if (r.sp.k >= 6 && r.sp.k <= 8) {
    FreeLine fl = r.numbers();
    r.read_P(fl, 1, 5);
    r.I(11) = fl.read_int();
    if (r.sp.k >= 7) r.I(12) = fl.read_int();
    if (r.sp.k == 8) {
      r.I(13) = fl.read_int();
      if (r.I(13) != 1 && r.I(13) != -1)
        fatal(list_directed({std::string_view("parameter \"concave\" must be equal to +1 or -1")}));
    }
  } else {
    r.warn_count("6, 7 or 8");
  }
  // An even number of steps per cell.
  if (r.I(11) % 2 != 0) r.I(11) += 1;
  check_rfq_line(r);
  RfqFlags& q = r.sim.rfq;
  q.rfq_ncells = r.sp.n;
  q.rfq_file_no = r.I(12);
  q.rfq_volt = r.P(1);
  q.rfq_R = r.P(3);
  q.rfq_phi0 = r.P(4);
  q.rfq_concave = static_cast<double>(r.I(13));
  if (r.I(13) == -1) r.P(4) += 180.0;
  read_rfq_cells(r.sim, r.i, r.I(12));
  r.length = q.rfq_length;
}

void row_mhb(Row& r) {
  if (r.sp.k != 9 && r.sp.k != 10) return r.warn_count("9 or 10");
  FreeLine fl = r.numbers();
  r.I(11) = r.sim.config.IINT;
  r.read_P(fl, 1, 5);
  for (int j = 12; j <= 15; ++j) r.I(j) = fl.read_int();
  if (r.sp.k == 10) r.I(11) = fl.read_int();
  r.length = r.P(3);
}

void row_mhb4(Row& r) {
  if (r.sp.k != 15 && r.sp.k != 16) return r.warn_count("15 or 16");
  FreeLine fl = r.numbers();
  r.read_P(fl, 1, 3);
  r.I(11) = fl.read_int();
  // Three harmonics, each two numbers and an integer.
  for (int h = 0; h < 3; ++h) {
    r.read_P(fl, 4 + 2 * h, 5 + 2 * h);
    r.I(12 + h) = fl.read_int();
  }
  r.read_P(fl, 10, 11);
  r.I(15) = r.sp.k == 16 ? fl.read_int() : r.sim.config.IINT;
  r.length = r.P(1);
}

void row_comb(Row& r) {
  const int a = r.sp.a;
  if (a < 1 || a > kElemPar - 1)
    fatal(fmt::format(" {}: the first item holding '&' is item {}; in a comb line it must be item 3 "
                      "to {}",
                      r.where(), a + 2, kElemPar + 1));
  FreeLine fl = r.numbers();
  r.read_P(fl, 1, a - 1);
  (void)fl.read_text(5);
  r.P(a) = fl.read_real();
  (void)fl.read_text(5);
  r.P(a + 1) = fl.read_real();
  r.I(13) = a;
  r.length = r.P(2);
}

// A prmtr line holds up to nine values after "=".
constexpr int kPrmtrValues = 9;

const char* prmtr_name(std::int32_t code) {
  for (const auto& p : kParams)
    if (p.code == code) return p.name;
  return "?";
}

// Values of a prmtr line: the items after "=" up to the ninth are all
// numbers (an item that is not, such as NaN, Inf or a word, would end the
// list and leave the parameter at 0 unseen); a parameter that acts on a
// value has at least one; mhb takes one value or three.
void check_prmtr_values(const Row& r, std::int32_t code, FreeLine& values, int count) {
  const char* name = prmtr_name(code);
  if (count < kPrmtrValues && !values.at_end()) {
    const std::string item = values.read_text(std::string::npos);
    fatal(fmt::format(" {} line {} (prmtr {}): value {} '{}' is not a finite number; prmtr values are "
                      "decimal numbers such as 2, -0.5 or 1.5e-3",
                      kLinac, r.line_no, name, count + 1, item.substr(0, 40)));
  }
  const bool needs_value = code != kCodeIflagLog && code != kCodeMslnDstr && code != kCodeMonErr;
  if (needs_value && count == 0)
    fatal(fmt::format(" {} line {} (prmtr {}): no value after '='; this parameter takes a number", kLinac,
                      r.line_no, name));
  if (code == kCodeMhb && count != 1 && count != 3)
    fatal(fmt::format(" {} line {} (prmtr mhb): {} values; mhb takes one value (the harmonic analysis) "
                      "or three (a ring of test particles)",
                      kLinac, r.line_no, count));
}

void row_prmtr(Row& r) {
  const std::int32_t p = index_nocase(r.line, "prmtr");
  const std::int32_t q = index_nocase(r.line, "=");
  if (q == 0) fatal("wrong name of the parameter");
  // Name field: columns p+6 .. q-1.
  const std::int32_t len = q - p - 6;
  const std::string field = len > 0 ? r.line.substr(p + 5, len) : std::string();
  const std::int32_t code = prmtr_code(field);
  if (code == 0) fatal("wrong name of the parameter");
  FreeLine values(std::string_view(r.line).substr(q), kLinac, r.line_no);
  const int count = values.read_reals_counting(&r.P(1), kPrmtrValues);
  check_prmtr_values(r, code, values, count);
  r.elem_n() = r.sp.n;
  r.I(11) = code;
  r.I(12) = count;
  if (code == kCodeIflagT && r.sim.state.iscrch_elem > 0) r.P(1) = 0.0;
  if (code == kCodeAijRFQ) {
    for (int j = 1; j <= 6; ++j) {
      const std::int32_t v = nint(r.P(j), fmt::format("{} line {}: AijRFQ value {}", kLinac, r.line_no, j));
      if (v != 0 && v != 1)
        fatal(list_directed({std::string_view(" AijRFQ must be equal 0 or 1")}));
      r.sim.rfq.AijRFQ[j] = r.P(j);
    }
  }
}

struct KeywordRow {
  const char* keyword;
  RowFn fn;
};

// Keyword table. The comparison is exact on five blank-filled characters.
constexpr KeywordRow kRows[] = {
    {"align", row_align},
    {"enge", row_enge},
    {"fit", row_fit},
    {"vary", row_vary},
    {"fblck", row_any},
    {"ascii", row_ascii},
    {"shrt", row_P<3>},
    {"filtr", row_any},
    {"scrch", row_scrch},
    {"encor", row_nothing},
    {"drift", row_drift},
    {"tdstr", row_tdstr},
    {"bunch", row_P_then_int<5, 1>},
    {"cav", row_cav},
    {"cavcr", row_cav},
    {"cavc", row_cav},
    {"uds", row_uds},
    {"bmag", row_P_then_int<10, 1>},
    {"strip", row_P<4>},
    {"cdump", row_nothing},
    {"trace", row_nothing},
    {"zero", row_P<2>},
    {"phcor", row_phcor},
    {"mon", row_mon},
    {"updat", row_any},
    {"matrx", row_any},
    {"corr", row_corrector<5>},
    {"fper", row_nothing},
    {"ecorr", row_corrector<6>},
    {"sol", row_sol},
    {"mult", row_mult},
    {"quad", row_quad},
    {"equad", row_equad},
    {"eq3d", row_P_then_int<4, 2>},
    {"ehex", row_P_then_int<4, 2>},
    {"sol3d", row_P_then_int<4, 2>},
    {"einz", row_P_then_int<4, 2>},
    {"extrc", row_P_then_int<4, 2>},
    {"m5", row_m5},
    {"ebfld", row_P<4>},
    {"rfq", row_rfq},
    {"mhb", row_mhb},
    {"mhb4", row_mhb4},
    {"fhide", row_P<2>},
    {"deck", row_P_then_int<4, 2>},
    {"comb", row_comb},
    {"slit", row_P<2>},
    {"prmtr", row_prmtr},
    {"swtch", row_P<1>},
};

const KeywordRow* find_row(const Keyword& word) {
  for (const auto& row : kRows)
    if (word == row.keyword) return &row;
  return nullptr;
}

[[noreturn]] void unknown_command(ControlContext& sim, const std::string& line) {
  const std::string text = "From ReadElements: ERROR--unknown command";
  sim.units.write(kUnitLog, line);
  sim.units.write(kUnitLog, list_directed({std::string_view(text)}));
  fatal(std::vector<std::string>{line, text});
}

}  // namespace

std::span<const PrmtrParameter> prmtr_parameters() { return kParams; }

std::vector<std::string_view> lattice_keywords() {
  std::vector<std::string_view> words;
  for (const auto& row : kRows) words.emplace_back(row.keyword);
  // The stop line ends the lattice before any row is looked up.
  words.emplace_back("stop");
  return words;
}

std::int32_t prmtr_code(std::string_view name_field) {
  std::int32_t code = 0;
  for (const auto& p : kParams)
    if (index_nocase(name_field, p.name) > 0) code = p.code;
  return code;
}

// The items of each keyword that are lengths or aperture sizes (cm). Each
// is 0 (which keeps its documented meaning: no aperture, the table's, or a
// value the element's driver refuses) or at least kMinLatticeSize in size:
// a length or aperture of 1e-320 cm would make a step or a grid spacing
// underflow and its inverse infinite.
struct SizeItem {
  const char* keyword;
  int item;
  const char* what;
};
constexpr SizeItem kSizeItems[] = {
    {"drift", 1, "length L"},          {"drift", 2, "aperture ax"},       {"drift", 3, "aperture ay"},
    {"tdstr", 1, "length L"},          {"quad", 2, "length L"},           {"quad", 3, "effective length Lf"},
    {"quad", 4, "aperture radius a"},  {"sol", 2, "length L"},            {"sol", 3, "effective length Lf"},
    {"sol", 4, "aperture radius a"},   {"mult", 1, "length L"},           {"mult", 2, "effective length Lf"},
    {"mult", 6, "aperture radius a"},  {"m5", 1, "length L"},             {"m5", 2, "effective length Lf"},
    {"m5", 8, "aperture radius a"},    {"equad", 2, "length L"},          {"equad", 3, "effective length Lf"},
    {"equad", 4, "aperture radius a"}, {"einz", 2, "length L"},           {"einz", 3, "aperture a"},
    {"deck", 2, "length L"},           {"deck", 3, "aperture a"},         {"eq3d", 2, "length L"},
    {"eq3d", 3, "aperture a"},         {"ehex", 2, "length L"},           {"ehex", 3, "aperture a"},
    {"sol3d", 2, "length L"},          {"sol3d", 3, "aperture a"},        {"extrc", 2, "length L"},
    {"extrc", 3, "aperture a"},        {"ecorr", 1, "length L"},          {"ecorr", 4, "aperture ax"},
    {"ecorr", 5, "aperture ay"},       {"corr", 1, "length L"},           {"comb", 2, "length L"},
    {"comb", 3, "aperture radius a"},  {"uds", 1, "table length Lt"},     {"uds", 3, "aperture a"},
    {"uds", 4, "extension Lx"},        {"bmag", 1, "path length L"},      {"bmag", 2, "radius R"},
    {"bmag", 4, "gap g"},              {"bmag", 5, "width w"},            {"cav", 1, "length L"},
    {"cav", 4, "aperture radius a"},   {"cavc", 1, "length L"},           {"cavc", 4, "aperture radius a"},
    {"cavcr", 1, "length L"},          {"cavcr", 4, "aperture radius a"}, {"bunch", 1, "length L"},
    {"mhb", 3, "length L"},            {"mhb", 4, "aperture radius a"},   {"mhb4", 1, "length L"},
    {"mhb4", 2, "aperture radius a"},  {"rfq", 3, "aperture radius R"},   {"slit", 1, "aperture ax"},
    {"slit", 2, "aperture ay"},        {"ebfld", 3, "length Lr"},         {"ebfld", 4, "radius r"},
};

// Every number of a lattice line is finite and within kMaxLatticeNumber,
// and an element is at most kMaxLatticeLength long (see
// common/input_ranges.hpp): a typed 1e300 would otherwise turn into NaN
// positions and phases with no message.
void check_line_numbers(const Row& r) {
  using namespace input_range;
  for (int j = 1; j <= kElemPar; ++j) {
    const double v = r.sim.elements.elem_par[r.i][j];
    if (!within(v, -kMaxLatticeNumber, kMaxLatticeNumber))
      fatal(fmt::format(" {} line {}: number P{} = {}; lattice numbers must be finite and within "
                        "[-{}, {}]",
                        kLinac, r.line_no, j, v, kMaxLatticeNumber, kMaxLatticeNumber));
  }
  for (const SizeItem& z : kSizeItems) {
    if (!(r.sp.word == z.keyword)) continue;
    // A comb line's items from its '&' on are the second table's.
    if (r.sp.word == "comb" && z.item >= r.sim.elements.elem_int[r.i][13]) continue;
    const double v = r.sim.elements.elem_par[r.i][z.item];
    if (v != 0.0 && !(std::fabs(v) >= kMinLatticeSize))
      fatal(fmt::format(" {} line {}: {} {} (item {}) = {} cm; lengths and apertures are 0 or at "
                        "least {} cm in size",
                        kLinac, r.line_no, trimmed(r.keyword), z.what, z.item, v, kMinLatticeSize));
  }
  if (!within(r.length, -kMaxLatticeLength, kMaxLatticeLength) ||
      (r.length != 0.0 && std::fabs(r.length) < kMinLatticeSize))
    fatal(fmt::format(" {} line {}: element length {} cm; allowed 0 or a size within [{}, {}]", kLinac,
                      r.line_no, r.length, kMinLatticeSize, kMaxLatticeLength));
}

std::int32_t ReadElements(ControlContext& sim) {
  ElementTable& e = sim.elements;
  RunConfig& c = sim.config;
  std::int32_t nel = 0;
  c.iel_first = 1;
  sim.ref.s_entry = 0.0;
  for (int i = 0; i <= kMaxElements; ++i) {
    e.elem_name[i] = "";
    e.elem_pos[i] = 0.0;
    e.elem_int[i].fill(0);
    e.elem_par[i].fill(0.0);
  }
  bool start_found = false;

  TextIn in(sim.units, kLinac);
  std::string raw;
  while (in.next_line(raw)) {
    std::string line = lattice_record(raw);
    if (is_comment_line(line)) continue;
    const int line_no = in.line_number();
    const LatticeSplit sp = split_lattice_line(sim.types, line, kLinac, line_no);
    if (sp.word == "stop") break;
    if (nel == kMaxElements)
      fatal(fmt::format(" {} line {}: more than {} element lines; the lattice holds at most {}",
                        kLinac, line_no, kMaxElements, kMaxElements));
    const std::int32_t i = ++nel;
    e.elem_int[i][kElemN] = sp.n;
    e.elem_name[i] = sp.word;
    const KeywordRow* row = find_row(sp.word);
    if (row == nullptr) unknown_command(sim, line);

    Row r{sim, i, sp, line, line_no, in, 0.0, sp.word.str()};
    row->fn(r);
    check_line_numbers(r);
    e.elem_pos[i] = e.elem_pos[i - 1] + r.length;

    // The first scrch or encor line with a positive number starts the run.
    const bool scrch = sp.word == "scrch";
    if (!start_found && (scrch || sp.word == "encor") && sp.n > 0) {
      if (!scrch && sim.state.iscrch > 0)
        fatal(fmt::format(" {} line {}: the run would start at this encor line, before the "
                          "restart line {} scrch whose beam state it reads; a restarted run starts "
                          "at its scrch line",
                          kLinac, line_no, sim.state.iscrch));
      start_found = true;
      c.iel_first = i;
      sim.ref.s_entry = e.elem_pos[i - 1];
      if (scrch) {
        sim.state.iscrch = sp.n;
        sim.state.iscrch_elem = e.elem_int[i][11];
      }
    }
  }
  c.iel_last = nel;
  return nel;
}

}  // namespace linac
