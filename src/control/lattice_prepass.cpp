#include "control/lattice_prepass.hpp"

#include <fmt/format.h>

#include <vector>

#include "control/control_context.hpp"
#include "common/text_utils.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "platform/freeformat.hpp"
#include "platform/units.hpp"

namespace linac {

namespace {

constexpr const char* kSclinac = "sclinac.dat";
constexpr const char* kFiIn = "fi_in.dat";
constexpr const char* kLinac = "linac.dat";

// Items of a line: words between blanks, each at most 25 characters, at
// most 25 of them.
constexpr std::size_t kMaxItems = 25;
constexpr std::size_t kMaxItemLen = 25;

// The completed cavity record (67 characters) and its fields.
constexpr const char* kCavityFormat = "(I2,2X,A5,F12.5,F8.2,E15.5,F10.3,F8.2,I5)";
struct CavityField {
  const char* name;
  std::size_t col, width;  // 0-based first column, width
};
constexpr CavityField kCavityFields[] = {
    {"cavity number n (I2, -9..99)", 0, 2}, {"first number (F12.5)", 9, 12},
    {"second number (F8.2)", 21, 8},        {"third number (E15.5)", 29, 15},
    {"fourth number (F10.3)", 44, 10},      {"RF phase from fi_in.dat (F8.2)", 54, 8},
    {"step count (I5)", 62, 5},
};

bool is_blank_char(char ch) { return ch == ' ' || ch == '\t' || ch == '\b' || ch == '\n' || ch == '\r'; }

// Non-blank text behind column 132 of a raw line.
bool has_text_beyond_record(std::string_view raw) {
  for (std::size_t j = kLatticeRecord; j < raw.size(); ++j)
    if (!is_blank_char(raw[j])) return true;
  return false;
}

// A line copied into linac.dat: one blank, then its first 131 characters.
std::string copied_record(const std::string& rec) {
  std::string out(1, ' ');
  out.append(rec, 0, kLatticeRecord - 1);
  return out;
}

std::vector<std::string> items_of(std::string_view line) {
  std::vector<std::string> items;
  std::size_t p = 0;
  while (p < line.size() && items.size() < kMaxItems) {
    while (p < line.size() && is_blank_char(line[p])) ++p;
    if (p >= line.size()) break;
    std::size_t e = p;
    while (e < line.size() && !is_blank_char(line[e])) ++e;
    items.emplace_back(line.substr(p, std::min(e - p, kMaxItemLen)));
    p = e;
  }
  return items;
}

[[noreturn]] void wrong_string(std::string_view line) {
  fatal({list_directed({line}), " wrong string in sclinac.dat"});
}

// Reads a cavity line and writes its completed 67-character record.
std::string complete_cavity(ControlContext& sim, const std::string& rec, const LatticeSplit& sp, int line_no,
                            FreeStream& phases) {
  if (sp.k != 4 && sp.k != 5)
    fatal(fmt::format(" {} line {}: a cav line takes 4 numbers, or 5 with its step count; this one "
                      "has {}: '{}'",
                      kSclinac, line_no, sp.k, trimmed(rec)));
  FreeLine in(rec, kSclinac, line_no);
  const std::int32_t n = in.read_int();
  const std::string word = in.read_text(5);
  double x[4];
  for (double& v : x) v = in.read_real();
  const std::int32_t steps = sp.k == 5 ? in.read_int() : sim.config.NSTEP_CAV;
  const std::optional<double> phase = phases.next_line_first_real();
  if (!phase)
    fatal(fmt::format(" end of file {}: no RF phase left for the cavity of {} line {} (one phase "
                      "in deg per cav line, in lattice order)",
                      kFiIn, kSclinac, line_no));
  const Keyword kw(word);
  const std::vector<std::string> out = format_records(
      kCavityFormat, {n, kw.view(), x[0], x[1], x[2], x[3], *phase, steps});
  const std::string& record = out.at(0);
  for (const auto& f : kCavityFields)
    if (record.substr(f.col, f.width).find('*') != std::string::npos)
      fatal(fmt::format(" {} line {}: the {} does not fit its field in {}: '{}'", kSclinac, line_no,
                        f.name, kLinac, trimmed(rec)));
  return record;
}

void restart_scan(ControlContext& sim) {
  TextIn in(sim.units, kSclinac);
  std::string raw;
  while (in.next_line(raw)) {
    const std::string rec = lattice_record(raw);
    if (is_stop_line(rec)) break;
    if (!is_restart_candidate(rec)) continue;
    FreeLine line(rec, kSclinac, in.line_number());
    const std::int32_t n = line.read_int();
    (void)line.read_text(5);
    if (n > 0) {
      sim.state.iscrch = n;
      break;
    }
  }
}

}  // namespace

std::string lattice_record(std::string_view raw) {
  std::string rec(raw.substr(0, std::min<std::size_t>(raw.size(), kLatticeRecord)));
  rec.resize(kLatticeRecord, ' ');
  return rec;
}

bool is_comment_line(std::string_view line) { return index_nocase(line, "!") > 0; }
bool is_stop_line(std::string_view line) {
  return index_nocase(line, "stop") > 0 && !is_comment_line(line);
}
bool is_restart_candidate(std::string_view line) {
  return index_nocase(line, "scrch") > 0 && !is_comment_line(line);
}
bool is_cavity_line(std::string_view line) {
  return index_nocase(line, "cav") > 0 && index_nocase(line, "align") == 0 &&
         !is_comment_line(line);
}

std::int32_t icheck_sclinac(std::string& line) {
  std::int32_t blanks = 0;
  for (std::size_t j = 0; j < line.size(); ++j) {
    const unsigned char ch = static_cast<unsigned char>(line[j]);
    const bool kept = (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == ' ' ||
                      ch == '+' || ch == '-' || ch == '=' || ch == '_' || ch == '.' || ch == '!' ||
                      ch == '&';
    if (ch >= 'A' && ch <= 'Z') {
      line[j] = static_cast<char>(ch + 32);
    } else if (ch == 8 || ch == 9 || ch == 10 || ch == 13) {
      line[j] = ' ';
    } else if (!kept) {
      const std::string symbol(1, static_cast<char>(ch));
      std::vector<std::string> lines;
      lines.push_back(list_directed({std::string_view("WARNING: wrong ASCII symbol in sclinac.dat")}));
      for (auto& r : format_records("(A4,I4,A15,A1)", {std::string_view(" j= "),
                                                      static_cast<std::int32_t>(ch),
                                                      std::string_view("  ASCII(jchar)="),
                                                      std::string_view(symbol)}))
        lines.push_back(std::move(r));
      lines.push_back(line);
      lines.push_back("stop  in subroutine \"icheck_sclinac\" ");
      fatal(std::move(lines));
    }
    if (line[j] == ' ') ++blanks;
  }
  return blanks;
}

LatticeSplit split_lattice_line(const TypeTables& types, std::string& line, std::string_view file,
                                int line_no) {
  for (char& ch : line)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
  LatticeSplit sp;
  const std::vector<std::string> items = items_of(line);
  const auto m = static_cast<std::int32_t>(items.size());
  const std::string name(file);

  for (std::int32_t p = 0; p < m; ++p) {
    if (items[p].find('&') != std::string::npos) {
      sp.a = (p + 1) - 2;
      sp.n = FreeLine(line, name, line_no).read_int();
      sp.word = "comb ";
      sp.k = m;
      return sp;
    }
  }
  sp.k = m - 2;
  if (sp.k < 0) wrong_string(line);
  if (index_nocase(items[1], "comb") > 0) return sp;
  sp.n = FreeLine(line, name, line_no).read_int();
  sp.word = items[1];
  if (index_nocase(sp.word.view(), "align") > 0 || index_nocase(sp.word.view(), "enge") > 0) {
    const Keyword type_item(m >= 3 ? std::string_view(items[2]) : std::string_view());
    sp.t = 0;
    for (int slot = 1; slot <= kElementTypes; ++slot) {
      if (compare_nocase(types.type_names[slot].view(), type_item.view()) == 0) {
        sp.t = slot;
        break;
      }
    }
    if (sp.t == 0) wrong_string(line);
    sp.k -= 1;
  }
  return sp;
}

void make_linac_dat(ControlContext& sim) {
  restart_scan(sim);

  TextIn in(sim.units, kSclinac);
  if (!file_exists(sim.units, kFiIn)) TextOut create_empty(sim.units, kFiIn);
  FreeStream phases(sim.units, kFiIn);
  TextOut out(sim.units, kLinac);

  std::string raw;
  bool stopped = false;
  while (in.next_line(raw)) {
    const int line_no = in.line_number();
    std::string rec = lattice_record(raw);
    const std::int32_t blanks = icheck_sclinac(rec);
    if (is_stop_line(rec)) {
      stopped = true;
      break;
    }
    if (is_comment_line(rec)) {
      out.write(copied_record(rec));
      continue;
    }
    if (has_text_beyond_record(raw))
      fatal(fmt::format(" {} line {} holds text beyond column {}, which would be lost: lattice "
                        "lines hold at most {} characters: '{}'",
                        kSclinac, line_no, kLatticeRecord, kLatticeRecord - 1, trimmed(rec)));
    if (blanks == kLatticeRecord) continue;
    if (is_cavity_line(rec)) {
      std::string work = rec;
      const LatticeSplit sp = split_lattice_line(sim.types, work, kSclinac, line_no);
      if (sp.word.view().substr(0, 3) == "cav") {
        out.write(complete_cavity(sim, rec, sp, line_no, phases));
        continue;
      }
    }
    if (rec[kLatticeRecord - 1] != ' ')
      fatal(fmt::format(" {} line {} holds text in column {}, which would be lost in {}: lattice "
                        "lines hold at most {} characters: '{}'",
                        kSclinac, line_no, kLatticeRecord, kLinac, kLatticeRecord - 1, trimmed(rec)));
    out.write(copied_record(rec));
  }
  // A lattice ends with its stop line: a file without one is empty or cut
  // short, and running what is left would end as if the lattice were whole.
  if (!stopped)
    fatal(fmt::format(" {}: no stop line; the lattice must end with a line holding \"stop\" (the "
                      "file is empty or cut short after line {})",
                      kSclinac, in.line_number()));
}

}  // namespace linac
