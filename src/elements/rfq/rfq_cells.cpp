#include "elements/rfq/rfq_cells.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "elements/elements_context.hpp"
#include "common/input_ranges.hpp"
#include "common/text_utils.hpp"
#include "common/unit_numbers.hpp"
#include "elements/rfq/rfq_cells.hpp"
#include "numerics/special_functions.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "platform/freeformat.hpp"
#include "platform/units.hpp"
#include "transport/seams.hpp"

namespace linac {

namespace {

// The grid reaches 1.1 (single precision) times the largest k (2R - a).
constexpr double kGridReach = 1.100000023841858;

[[noreturn]] void refuse_cell(const RfqCellSet& s, int i, const std::string& what) {
  fatal({fmt::format(" {} cell {} (line {}): {}", s.file_name, i, i, what)}, true);
}

// q_n(y) = (y/2)^n/n!, n = 0..count-1.
template <std::size_t N>
void leading_powers(double y, std::array<double, N>& q) {
  q[0] = 1.0;
  for (std::size_t n = 1; n < N; ++n) q[n] = q[n - 1] * (y * 0.5) / static_cast<double>(n);
}

}  // namespace

// ---------------------------------------------------------------- Bessel tables

void build_bessel_table(ElementsContext& sim, double h, RfqBesselTable& t) {
  t.h = h;
  t.inv_h = 1.0 / h;
  t.rows.assign(kBesselNodes + 1, {});
  t.rows[0].fill(1.0);
  std::array<double, 8> bsi{};
  std::array<double, 8> q{};
  for (int j = 1; j <= kBesselNodes; ++j) {
    const double x = j * h;
    auto& row = t.rows[static_cast<std::size_t>(j)];
    const double ys[3] = {x, 2.0 * x, 3.0 * x};
    const int counts[3] = {6, 8, 6};
    int col = 0;
    for (int g = 0; g < 3; ++g) {
      DBSINS(sim, ys[g], counts[g], bsi);
      leading_powers(ys[g], q);
      for (int n = 0; n < counts[g]; ++n) row[static_cast<std::size_t>(col++)] = bsi[n] / q[n];
    }
  }
}

RfqBessel rfq_bessel_interp(const RfqBesselTable& t, double x, int mode) {
  if (t.exact != nullptr) return t.exact(x, mode);
  RfqBessel b;
  const int j = rfq_bessel_node(t, x);
  const double f = (x - (j - 1) * t.h) * t.inv_h;
  const auto& lo = t.rows[static_cast<std::size_t>(j - 1)];
  const auto& hi = t.rows[static_cast<std::size_t>(j)];
  auto at = [&](int c) { return lo[c] + f * (hi[c] - lo[c]); };
  b.B1[0] = at(0);
  b.B1[1] = at(1) * x * 0.5;
  if (mode == 2) return b;
  std::array<double, 8> q{};
  leading_powers(x, q);
  double p2 = 1.0;
  double p3 = 1.0;
  for (int n = 0; n < 8; ++n) {
    if (n < 6) {
      b.B1[n] = at(n) * q[n];
      b.B3[n] = at(14 + n) * q[n] * p3;
    }
    b.B2[n] = at(6 + n) * q[n] * p2;
    p2 *= 2.0;
    p3 *= 3.0;
  }
  return b;
}

RfqBessel rfq_bessel_checked(const RfqBesselTable& t, double x, int mode, const std::string& what) {
  if (!std::isfinite(x))
    fatal({fmt::format(" {}: the modified Bessel functions are asked for at k r = {}; the argument "
                       "must be a finite number",
                       what, x)},
          true);
  return rfq_bessel_interp(t, x, mode);
}

// ---------------------------------------------------------------- the cell file

namespace {

// The name of column c (7..14) of a cell of the given type, as the listing
// prints it.
const char* coefficient_name(int type, int c) {
  static constexpr const char* kRegular[] = {"A01", "A10", "A03", "A12", "A21", "A23", "A30", "A32"};
  const int a = type < 0 ? -type : type;
  if (type == kCellRegular) return kRegular[c - 7];
  if (c == 7) return "A01";
  if (c == 8 && (a == kCellFall || a == kCellQuad)) return "A03";
  if (c == 8 && (a == kCellTransCos3 || a == kCellTransCos)) return "A10";
  return "coefficient";
}

// Every number of cell line i inside its range (see the constants in the
// header); the type is checked first, since the meaning of c7..c14
// depends on it.
void check_cell_line(const std::string& file, int i, const RfqCellLine& cl) {
  auto refuse = [&](const std::string& what, double v, const char* unit, int column,
                    const std::string& rule) {
    fatal({fmt::format(" {} cell {} (line {}): {} = {}{} (column {}); it must be {}", file, i, i, what,
                       v, unit, column, rule)},
          true);
  };
  auto range = [](double lo, double hi, const char* unit) {
    return fmt::format("within {} .. {}{}", lo, hi, unit);
  };
  const auto& c = cl.c;
  const double t = c[6];
  if (!(std::abs(t) < kCellTypeLimit + 0.5))
    refuse("cell type", t, "", 6,
           fmt::format("a number whose nearest integer is within -{0} .. {0} (0 regular, +-1 fall, "
                       "+-2 and +-4 transition, +-3 quadrupole, 5 .. 9 and -5 .. -9 field-free)",
                       kCellTypeLimit));
  const int type = static_cast<int>(std::lround(t));
  const int a = std::abs(type);
  const bool field_free = a > kCellTransCos;
  for (int k : {1, 3})
    if (!input_range::within(c[static_cast<std::size_t>(k)], -kRfqMaxIgnored, kRfqMaxIgnored))
      refuse(fmt::format("c{} (not used)", k), c[static_cast<std::size_t>(k)], "", k,
             range(-kRfqMaxIgnored, kRfqMaxIgnored, ""));
  if (!input_range::within(c[2], kRfqMinCellLength, kRfqMaxCellLength))
    refuse("length L", c[2], " cm", 2, range(kRfqMinCellLength, kRfqMaxCellLength, " cm"));
  const double r0 = c[4];
  if (!(input_range::within(r0, kRfqMinAperture, kRfqMaxAperture) || (field_free && r0 == 0.0)))
    refuse("mean aperture r0", r0, " cm", 4,
           range(kRfqMinAperture, kRfqMaxAperture, field_free ? " cm, or 0 in a field-free cell" : " cm"));
  if (!input_range::within(c[5], kRfqMinModulation, kRfqMaxModulation))
    refuse("modulation m", c[5], "", 5, range(kRfqMinModulation, kRfqMaxModulation, ""));
  for (int k = 7; k <= 14; ++k) {
    const double v = c[static_cast<std::size_t>(k)];
    if (a == kCellFall && k == 10) {
      if (!input_range::within(v, kRfqMinCellLength, kRfqMaxCellLength))
        refuse("fall length Dfall", v, " cm", k, range(kRfqMinCellLength, kRfqMaxCellLength, " cm"));
    } else if (a == kCellTransCos && k == 9) {
      if (!input_range::within(v, kRfqMinCellLength, kRfqMaxCellLength))
        refuse("axial transition length d4", v, " cm", k, range(kRfqMinCellLength, kRfqMaxCellLength, " cm"));
    } else if (a == kCellTransCos && k == 13) {
      if (!input_range::within(v, kRfqMinCellLength, kRfqMaxCellLength))
        refuse("vane transition length t4", v, " cm", k, range(kRfqMinCellLength, kRfqMaxCellLength, " cm"));
    } else if (a == kCellFall && (k == 9 || k == 13)) {
      if (!input_range::within(v, -kRfqMaxCellLength, kRfqMaxCellLength))
        refuse("start of the fall z11", v, " cm", k, range(-kRfqMaxCellLength, kRfqMaxCellLength, " cm"));
    } else if (!input_range::within(v, -kRfqMaxCoefficient, kRfqMaxCoefficient)) {
      refuse(coefficient_name(type, k), v, "", k, range(-kRfqMaxCoefficient, kRfqMaxCoefficient, ""));
    }
  }
}

}  // namespace


RfqCellLine parse_rfq_cell_line(const std::string& text, const std::string& file, int line_no) {
  RfqCellLine out;
  if (static_cast<int>(text.size()) > kRfqLineChars)
    fatal({fmt::format(" {} line {}: {} characters; a cell line holds at most {}", file, line_no,
                       text.size(), kRfqLineChars)},
          true);
  std::string numbers = text;
  const std::int32_t at = index_nocase(text, "eh_EM.#");
  if (at > 0) {
    const std::size_t d = static_cast<std::size_t>(at - 1) + 7;
    auto digit = [&](std::size_t p) -> int {
      if (p >= text.size() || text[p] == ' ') return 0;
      if (text[p] < '0' || text[p] > '9')
        fatal({fmt::format(" {} line {}: table token \"{}\" is not followed by two digits", file,
                           line_no, text.substr(static_cast<std::size_t>(at - 1)))},
              true);
      return text[p] - '0';
    };
    if (d >= text.size())
      fatal({fmt::format(" {} line {}: table token without its two digits", file, line_no)}, true);
    out.table = 10 * digit(d) + digit(d + 1);
    numbers = text.substr(0, static_cast<std::size_t>(at - 1));
  }
  FreeLine fl(numbers, file, line_no);
  const int n = static_cast<int>(std::min<std::size_t>(fl.items_left(), 14));
  for (int k = 1; k <= n; ++k) out.c[static_cast<std::size_t>(k)] = fl.read_real();
  return out;
}

void read_rfq_cells(ElementsContext& sim, std::int32_t line, std::int32_t nn) {
  const RfqFlags& q = sim.rfq;
  RfqCellSet s;
  s.line = line;
  s.ncells = q.rfq_ncells;
  s.file_no = nn;
  s.volt_kv = q.rfq_volt;
  s.R = q.rfq_R;
  s.phi0_deg = q.rfq_phi0;
  s.concave = q.rfq_concave;
  s.file_name = table_dir_name(sim.tables.TABLE_DIR, numbered_name("rfq.#", nn, 2));
  s.cells.assign(static_cast<std::size_t>(s.ncells) + 1, RfqCell{});
  {
    TextIn in(sim.units, s.file_name);
    std::string text;
    for (int i = 1; i <= s.ncells; ++i) {
      if (!in.next_line(text))
        fatal({fmt::format(" {}: {} lines, but the rfq line of element {} asks for {} cells",
                           s.file_name, i - 1, line, s.ncells)},
              true);
      const RfqCellLine cl = parse_rfq_cell_line(text, s.file_name, i);
      check_cell_line(s.file_name, i, cl);
      RfqCell& c = s.cells[static_cast<std::size_t>(i)];
      c.len = cl.c[2];
      c.r0 = cl.c[4];
      c.mod = cl.c[5];
      c.amin = 2.0 * cl.c[4] / (cl.c[5] + 1.0);
      c.type = static_cast<std::int32_t>(std::lround(cl.c[6]));
      c.table = cl.table;
      for (int k = 7; k <= 14; ++k) c.c[static_cast<std::size_t>(k)] = cl.c[static_cast<std::size_t>(k)];
    }
  }
  derive_rfq_cells(sim, s, q.AijRFQ);
  sim.rfq.rfq_length = s.length;
  sim.rfq_lines.by_line[line] = std::move(s);
}

namespace {

bool uses_r0_and_m(int type) {
  const int a = std::abs(type);
  return type == kCellRegular || a == kCellTransCos3 || a == kCellTransCos;
}

void check_cells(const RfqCellSet& s) {
  for (int i = 1; i <= s.ncells; ++i) {
    const RfqCell& c = s.cells[static_cast<std::size_t>(i)];
    if (c.type < -kCellTypeLimit || c.type > kCellTypeLimit)
      refuse_cell(s, i, fmt::format("cell type {}; it must be within -{} .. {}", c.type, kCellTypeLimit,
                                    kCellTypeLimit));
    const int a = std::abs(c.type);
    if (!(c.len > 0.0)) refuse_cell(s, i, fmt::format("length L = {} cm; it must be above 0", c.len));
    const bool known = c.type == kCellRegular || (a >= 1 && a <= 4);
    if (known && !(c.r0 > 0.0))
      refuse_cell(s, i, fmt::format("mean aperture r0 = {} cm; it must be above 0", c.r0));
    if (uses_r0_and_m(c.type) && !(c.mod > -1.0))
      refuse_cell(s, i, fmt::format("modulation m = {}; it must be above -1", c.mod));
    if (a == kCellFall && !(c.c[10] > 0.0))
      refuse_cell(s, i, fmt::format("fall length Dfall = {} cm; it must be above 0", c.c[10]));
    if (a == kCellTransCos && !(c.c[9] > 0.0))
      refuse_cell(s, i, fmt::format("axial transition length d4 = {} cm; it must be above 0", c.c[9]));
    if (a == kCellTransCos && !(c.c[13] > 0.0))
      refuse_cell(s, i, fmt::format("vane transition length t4 = {} cm; it must be above 0", c.c[13]));
  }
}

}  // namespace

void derive_rfq_cells(ElementsContext& sim, RfqCellSet& s, const std::array<double, 7>& AijRFQ) {
  auto cell = [&](int i) -> RfqCell& { return s.cells[static_cast<std::size_t>(i)]; };
  const int N = s.ncells;
  // The regular section: the first unbroken run of type-0 cells.
  int ifirst = 0;
  for (int i = 1; i <= N && ifirst == 0; ++i)
    if (cell(i).type == kCellRegular) ifirst = i;
  if (ifirst == 0) {
    sim.units.write(kUnitLog, format_records("(A75)", {std::string_view(s.file_name)}));
    sim.units.write(kUnitLog, list_directed({std::string_view(" RFQ file must contain at least 1 reg. cell ")}));
    fatal(" RFQ file must contain at least 1 reg. cell ");
  }
  int ilast = ifirst;
  while (ilast < N && cell(ilast + 1).type == kCellRegular) ++ilast;
  s.ifirst = ifirst;
  s.ilast = ilast;
  check_cells(s);

  // Bessel grid over k (2R - a) of the regular section and k4 (2R - a) of
  // the cosine transitions.
  double kmax = 0.0;
  for (int j = ifirst; j <= ilast; ++j)
    kmax = std::max(kmax, (2.0 * s.R - cell(j).amin) * kPi / cell(j).len);
  if (!(kmax > 0.0))
    fatal({fmt::format(" {}: 2R = {} cm does not exceed the minimum aperture a of any regular cell "
                       "(cells {}..{}); the field cannot be tabulated",
                       s.file_name, 2.0 * s.R, ifirst, ilast)},
          true);
  for (int j = 1; j <= N; ++j)
    if (std::abs(cell(j).type) == kCellTransCos)
      kmax = std::max(kmax, (2.0 * s.R - cell(j).amin) * kPi / (2.0 * cell(j).c[9]));
  if (!(kmax <= kRfqMaxBesselReach))
    fatal({fmt::format(" {}: k (2R - a) = {} with R = {} cm: a cell far shorter than its aperture; the "
                       "field's Bessel functions are tabulated for k (2R - a) up to {}",
                       s.file_name, kmax, s.R, kRfqMaxBesselReach)},
          true);
  build_bessel_table(sim, kmax * kGridReach / 1000.0, s.bessel);

  // Sign chain: the odd-kz terms alternate from cell to cell.
  double sg = -s.concave;
  for (int j = ifirst; j <= ilast; ++j) {
    for (int k : {8, 10, 13, 14}) cell(j).c[k] *= sg;
    sg = -sg;
  }
  if (ilast < N && (cell(ilast + 1).type == 2 || cell(ilast + 1).type == 4)) cell(ilast + 1).c[8] *= sg;
  if (ifirst > 1 && (cell(ifirst - 1).type == -2 || cell(ifirst - 1).type == -4))
    cell(ifirst - 1).c[8] *= s.concave;

  // Higher terms given relative to the Bessel function at r0.
  for (int j = ifirst; j <= ilast; ++j) {
    RfqCell& c = cell(j);
    const double k = kPi / c.len;
    const RfqBessel b = rfq_bessel_checked(s.bessel, k * c.r0, 8, fmt::format("{} cell {}", s.file_name, j));
    c.c[10] /= b.B1[4];
    c.c[11] /= b.B2[2];
    c.c[12] /= b.B2[6];
    c.c[13] /= b.B3[0];
    c.c[14] /= b.B3[4];
    for (int m = 1; m <= 6; ++m) c.c[static_cast<std::size_t>(8 + m)] *= AijRFQ[static_cast<std::size_t>(m)];
  }

  cell(1).zstart = 0.0;
  for (int i = 1; i < N; ++i) cell(i + 1).zstart = cell(i).zstart + cell(i).len;
  s.length = cell(N).zstart + cell(N).len;
  s.pre_len = 0.0;
  for (int i = 1; i <= ifirst; ++i)
    if (cell(i).type == -1 || cell(i).type == -3) s.pre_len += cell(i).len;
  s.n0 = (ifirst > 1 && (cell(ifirst - 1).type == -2 || cell(ifirst - 1).type == -4)) ? ifirst - 1 : ifirst;
  for (int i = 1; i <= N; ++i) cell(i).volt = 1000.0 * s.volt_kv;
  s.work.sync_W_in.assign(static_cast<std::size_t>(N) + 1, 0.0);
  s.work.sync_W_out = s.work.sync_ph_in = s.work.sync_ph_mid = s.work.sync_ph_out = s.work.sync_W_in;
}

RfqCellSet& current_rfq(ElementsContext& sim) {
  auto it = sim.rfq_lines.by_line.find(sim.rfq_lines.current);
  if (it == sim.rfq_lines.by_line.end())
    fatal({fmt::format(" {}: no RFQ cells were read for it", element_label(sim, sim.rfq_lines.current))}, true);
  return it->second;
}

const RfqCellSet& current_rfq(const ElementsContext& sim) {
  auto it = sim.rfq_lines.by_line.find(sim.rfq_lines.current);
  if (it == sim.rfq_lines.by_line.end())
    fatal({fmt::format(" {}: no RFQ cells were read for it", element_label(sim, sim.rfq_lines.current))}, true);
  return it->second;
}

}  // namespace linac
