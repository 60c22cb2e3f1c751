// The user's reference of the inputs (docs/inputs.md) against the tables of
// the code that hold the same facts: the members of the velmo.dat groups
// with their types, array sizes, defaults and allowed ranges, the lattice
// keywords of the reader and the dispatcher, and the prmtr parameter names
// and codes. Each side changed alone makes a test here fail. The links of
// the README files into the documents are checked too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/input_ranges.hpp"
#include "control/dispatcher.hpp"
#include "control/lattice_reader.hpp"
#include "control/parameter_file.hpp"
#include "platform/namelist.hpp"
#include "platform/units.hpp"
#include "run/sim.hpp"
#include "transport/field_tables.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

namespace fs = std::filesystem;

fs::path repo_root() { return fs::path(LINAC_TEST_DATA_DIR).parent_path(); }

std::string trim(std::string s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  const auto e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// A cell without its code quotes: `NPAT(1..6)` -> NPAT(1..6).
std::string plain(const std::string& cell) {
  std::string s;
  for (char c : cell)
    if (c != '`') s += c;
  return trim(s);
}

// One markdown table: the header cells and the rows of cells.
struct Table {
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;
};

std::vector<std::string> split_row(const std::string& line) {
  std::vector<std::string> cells;
  std::string t = trim(line);
  if (t.size() < 2 || t.front() != '|' || t.back() != '|') return cells;
  t = t.substr(1, t.size() - 2);
  std::string cell;
  for (char c : t) {
    if (c == '|') {
      cells.push_back(trim(cell));
      cell.clear();
    } else {
      cell += c;
    }
  }
  cells.push_back(trim(cell));
  return cells;
}

// The first table after the heading line `heading` (exact text), before the
// next heading of the same or a higher level.
Table table_after(const std::string& doc, const std::string& heading) {
  std::istringstream in(doc);
  std::string line;
  bool found = false;
  const std::size_t level = heading.find(' ');
  Table t;
  bool in_table = false;
  while (std::getline(in, line)) {
    if (!found) {
      found = line == heading;
      continue;
    }
    if (!in_table && line.rfind('#', 0) == 0 && line.find(' ') <= level) break;
    const auto cells = split_row(line);
    if (cells.empty()) {
      if (in_table) break;
      continue;
    }
    if (!in_table) {
      t.header = cells;
      in_table = true;
      continue;
    }
    if (!cells.empty() && cells[0].find_first_not_of("-: ") == std::string::npos) continue;
    t.rows.push_back(cells);
  }
  EXPECT_TRUE(found) << "heading '" << heading << "' not found";
  EXPECT_FALSE(t.rows.empty()) << "no table under '" << heading << "'";
  return t;
}

const std::string& inputs_doc() {
  static const std::string doc = testing::read_file(repo_root() / "docs" / "inputs.md");
  return doc;
}

// ------------------------------------------------------------------ velmo.dat

// A documented member: its name, array size (1 for a scalar) and cells.
struct DocMember {
  std::string name;
  int count = 1;
  std::string type, unit, dflt, allowed;
};

std::vector<DocMember> documented_members(const std::string& group) {
  const Table t = table_after(inputs_doc(), "### Group " + group);
  const std::vector<std::string> want = {"Member", "Type", "Unit", "Default", "Allowed", "Meaning"};
  EXPECT_EQ(t.header, want) << "group " << group;
  std::vector<DocMember> out;
  for (const auto& r : t.rows) {
    if (r.size() != want.size()) {
      ADD_FAILURE() << "group " << group << ": a row of " << r.size() << " cells";
      continue;
    }
    DocMember m;
    // An array is written NAME(1..N).
    const std::string name = plain(r[0]);
    const auto open = name.find("(1..");
    if (open != std::string::npos && name.back() == ')') {
      m.name = name.substr(0, open);
      m.count = std::stoi(name.substr(open + 4, name.size() - open - 5));
    } else {
      m.name = name;
    }
    m.type = r[1];
    m.unit = r[2];
    m.dflt = r[3];
    m.allowed = r[4];
    out.push_back(m);
  }
  return out;
}

struct Group {
  const char* name;
  NamelistSchema (*schema)(ControlContext&);
};
const Group kGroups[] = {{"TRAN", tran_schema},
                         {"INDEX", index_schema},
                         {"CORRECT", correct_schema},
                         {"OTHER", other_schema}};

const char* kind_name(NamelistSchema::Kind k) {
  switch (k) {
    case NamelistSchema::Kind::Int:
      return "integer";
    case NamelistSchema::Kind::Real:
      return "real";
    case NamelistSchema::Kind::Text:
      return "text";
  }
  return "?";
}

// Every member the reader binds is documented with its type and array size,
// and the document lists no member the reader does not know.
TEST(InputsDocument, VelmoMembersAreTheSchemaMembers) {
  auto sim = make_sim();
  for (const Group& g : kGroups) {
    const NamelistSchema s = g.schema(*sim);
    std::map<std::string, const NamelistSchema::Member*> code;
    for (const auto& m : s.members()) code[m.name] = &m;
    std::set<std::string> doc;
    for (const DocMember& d : documented_members(g.name)) {
      doc.insert(d.name);
      const auto it = code.find(d.name);
      if (it == code.end()) {
        ADD_FAILURE() << "group " << g.name << ": documented member " << d.name
                      << " is not a member of the group";
        continue;
      }
      EXPECT_EQ(d.count, it->second->count) << g.name << " " << d.name << ": array size";
      EXPECT_EQ(d.type, kind_name(it->second->kind)) << g.name << " " << d.name << ": type";
    }
    for (const auto& [name, m] : code)
      EXPECT_TRUE(doc.count(name)) << "group " << g.name << ": member " << name
                                   << " is not documented in docs/inputs.md";
  }
}

// The documented defaults are the values a run gives the members before
// velmo.dat is read (every element of an array the same).
TEST(InputsDocument, VelmoDefaultsAreTheStartValues) {
  auto sim = make_sim();
  set_start_values(*sim);
  set_remaining_defaults(*sim);
  for (const Group& g : kGroups) {
    const NamelistSchema s = g.schema(*sim);
    std::map<std::string, const NamelistSchema::Member*> code;
    for (const auto& m : s.members()) code[m.name] = &m;
    for (const DocMember& d : documented_members(g.name)) {
      const auto it = code.find(d.name);
      if (it == code.end()) continue;  // reported by the member test
      const NamelistSchema::Member& m = *it->second;
      const std::string where = std::string(g.name) + " " + d.name;
      if (m.kind == NamelistSchema::Kind::Text) {
        const std::string& v = *static_cast<const std::string*>(m.field);
        if (d.dflt == "blank") {
          EXPECT_EQ(trim(v), "") << where;
        } else {
          EXPECT_EQ("'" + v + "'", d.dflt) << where;
        }
        continue;
      }
      char* end = nullptr;
      const double want = std::strtod(d.dflt.c_str(), &end);
      ASSERT_TRUE(end != d.dflt.c_str() && *end == '\0') << where << ": default '" << d.dflt << "'";
      for (int e = 0; e < m.count; ++e) {
        const double v = m.kind == NamelistSchema::Kind::Int
                             ? static_cast<const std::int32_t*>(m.field)[e]
                             : static_cast<const double*>(m.field)[e];
        // Single-precision defaults (the member PART = 0.995, DWWACC = 0.2) agree to their
        // 24-bit mantissa, 6e-8 relative.
        EXPECT_NEAR(v, want, 1e-7 * std::abs(want)) << where << " element " << e + 1;
      }
    }
  }
}

// One clause of the Allowed column: a range with its scope.
struct Clause {
  std::string scope;  // "", "error study", "states in use", "other states"
  double lo = 0, hi = 0;
  bool lo_open = false, hi_open = false, zero_too = false;
};

std::string show(const Clause& c) {
  std::ostringstream o;
  o << (c.scope.empty() ? "" : c.scope + ": ") << (c.zero_too ? "0 or " : "") << (c.lo_open ? "(" : "[")
    << c.lo << ", " << c.hi << (c.hi_open ? ")" : "]");
  return o.str();
}

// "finite; error study: (0, 100]" -> two clauses; nullopt when a clause
// does not parse.
std::optional<std::vector<Clause>> parse_allowed(const std::string& cell) {
  std::vector<Clause> out;
  if (cell == "-" || cell == "see text") return out;
  std::stringstream ss(cell);
  std::string part;
  while (std::getline(ss, part, ';')) {
    part = trim(part);
    Clause c;
    for (const char* scope : {"error study", "states in use", "other states"}) {
      const std::string p = std::string(scope) + ":";
      if (part.rfind(p, 0) == 0) {
        c.scope = scope;
        part = trim(part.substr(p.size()));
      }
    }
    const double inf = std::numeric_limits<double>::infinity();
    if (part == "finite") {
      c.lo = -inf;
      c.hi = inf;
      out.push_back(c);
      continue;
    }
    // [(] lo , hi [)], possibly after "0 or ".
    if (part.rfind("0 or ", 0) == 0) {
      c.zero_too = true;
      part = part.substr(5);
    }
    const auto comma = part.find(',');
    if (part.size() < 5 || comma == std::string::npos || (part.front() != '[' && part.front() != '(') ||
        (part.back() != ']' && part.back() != ')'))
      return std::nullopt;
    c.lo_open = part.front() == '(';
    c.hi_open = part.back() == ')';
    const std::string lo = trim(part.substr(1, comma - 1));
    const std::string hi = trim(part.substr(comma + 1, part.size() - comma - 2));
    char* end = nullptr;
    c.lo = std::strtod(lo.c_str(), &end);
    if (lo.empty() || *end != '\0') return std::nullopt;
    c.hi = std::strtod(hi.c_str(), &end);
    if (hi.empty() || *end != '\0') return std::nullopt;
    out.push_back(c);
  }
  return out;
}

Clause clause_of(const MemberRangeRule& r) {
  Clause c;
  switch (r.scope) {
    case MemberRangeRule::Scope::always:
      break;
    case MemberRangeRule::Scope::states_in_use:
      c.scope = "states in use";
      break;
    case MemberRangeRule::Scope::other_states:
      c.scope = "other states";
      break;
    case MemberRangeRule::Scope::error_study:
      c.scope = "error study";
      break;
  }
  c.lo = r.lo;
  c.hi = r.hi;
  c.lo_open = r.lo_open;
  c.hi_open = r.hi_open;
  c.zero_too = r.zero_too;
  return c;
}

bool same(const Clause& a, const Clause& b) {
  auto close = [](double x, double y) {
    if (std::isinf(x) || std::isinf(y)) return x == y;
    return std::abs(x - y) <= 1e-12 * std::max(std::abs(x), std::abs(y));
  };
  return a.scope == b.scope && close(a.lo, b.lo) && close(a.hi, b.hi) && a.lo_open == b.lo_open &&
         a.hi_open == b.hi_open && a.zero_too == b.zero_too;
}

// The documented ranges are exactly the ranges the checks after each group
// enforce (the range rules of velmo.dat and the grid limits of the
// space-charge solver), in the units the file is written in.
TEST(InputsDocument, VelmoRangesAreTheEnforcedRanges) {
  std::map<std::string, std::vector<Clause>> code;  // "GROUP MEMBER"
  std::map<std::string, double> scale;
  for (const MemberRangeRule& r : velmo_member_ranges()) {
    const std::string key = std::string(r.group) + " " + r.member;
    code[key].push_back(clause_of(r));
    if (r.scale != 1.0) {
      EXPECT_TRUE(!scale.count(key) || scale[key] == r.scale) << key << ": two conversions";
      scale[key] = r.scale;
    }
  }
  for (const GridLimit& g : kScGridLimits)
    code[std::string("INDEX ") + g.member].push_back(Clause{"", static_cast<double>(g.lo),
                                                            static_cast<double>(g.hi)});
  std::set<std::string> seen;
  for (const Group& g : kGroups) {
    for (const DocMember& d : documented_members(g.name)) {
      const std::string key = std::string(g.name) + " " + d.name;
      seen.insert(key);
      const std::vector<Clause> want = code.count(key) ? code[key] : std::vector<Clause>{};
      auto parsed = parse_allowed(d.allowed);
      ASSERT_TRUE(parsed.has_value()) << key << ": cannot read the range '" << d.allowed << "'";
      std::vector<Clause> doc = *parsed;
      // The document gives a converted member's range in file units.
      if (scale.count(key))
        for (Clause& c : doc)
          if (c.scope == "error study") {
            c.lo *= scale[key];
            c.hi *= scale[key];
          }
      std::vector<bool> matched(want.size(), false);
      for (const Clause& c : doc) {
        bool found = false;
        for (std::size_t i = 0; i < want.size() && !found; ++i)
          if (!matched[i] && same(c, want[i])) matched[i] = found = true;
        EXPECT_TRUE(found) << key << ": documented range " << show(c) << " is not enforced";
      }
      for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_TRUE(matched[i]) << key << ": enforced range " << show(want[i])
                                << " is not documented (column Allowed: '" << d.allowed << "')";
    }
  }
  for (const auto& [key, clauses] : code)
    EXPECT_TRUE(seen.count(key)) << key << ": a range rule for a member that is not documented";
}

// --------------------------------------------------------------- the lattice

std::string unpadded(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return std::string(s);
}

// The documented keywords and kinds agree with the keywords the lattice
// reader accepts and with the handlers of the dispatcher: an element or a
// command has a handler of that kind, a line without action has none, and
// a keyword the dispatcher knows but the reader refuses is documented as not
// accepted.
TEST(InputsDocument, LatticeKeywordsAreTheReaderAndDispatcherKeywords) {
  const Table t = table_after(inputs_doc(), "### Keywords");
  ASSERT_EQ(t.header, (std::vector<std::string>{"Keyword", "Kind", "Length", "Entry"}));
  std::set<std::string> reader;
  for (std::string_view w : lattice_keywords()) reader.insert(unpadded(w));
  // Per keyword: the kinds of its entries that act (a handler that takes
  // the line's position).
  std::map<std::string, std::set<bool>> acting;  // keyword -> {command?}
  std::set<std::string> dispatched;
  for (const DispatchEntry& e : dispatch_table()) {
    const std::string k = unpadded(e.keyword);
    dispatched.insert(k);
    if (!e.passive && e.handler != HandlerId::count) acting[k].insert(e.command);
  }
  std::set<std::string> doc;
  for (const auto& r : t.rows) {
    ASSERT_EQ(r.size(), 4u);
    const std::string k = plain(r[0]);
    const std::string kind = r[1];
    EXPECT_TRUE(doc.insert(k).second) << k << " documented twice";
    if (kind == "not accepted") {
      EXPECT_FALSE(reader.count(k)) << k << ": the lattice reader accepts it";
      EXPECT_TRUE(dispatched.count(k)) << k << ": neither reader nor dispatcher knows it";
      continue;
    }
    EXPECT_TRUE(reader.count(k)) << k << ": documented, but the lattice reader refuses it";
    if (kind == "end") {
      EXPECT_FALSE(dispatched.count(k)) << k;
      continue;
    }
    // "element (as cav)": run by the handler of another keyword.
    std::string runs_as = k;
    std::string base = kind;
    const std::string as = "element (as ";
    if (kind.rfind(as, 0) == 0 && kind.back() == ')') {
      runs_as = kind.substr(as.size(), kind.size() - as.size() - 1);
      base = "element";
    }
    const auto a = acting.find(runs_as);
    if (base == "no action") {
      EXPECT_TRUE(a == acting.end()) << k << ": documented without action, but it has a handler";
    } else if (base == "element" || base == "command") {
      ASSERT_TRUE(a != acting.end()) << k << ": documented as " << kind << ", but no handler runs it";
      EXPECT_EQ(a->second, std::set<bool>{base == "command"}) << k << ": documented as " << kind;
    } else {
      ADD_FAILURE() << k << ": unknown kind '" << kind << "'";
    }
  }
  for (const std::string& k : reader)
    EXPECT_TRUE(doc.count(k)) << "keyword " << k << " is not documented in docs/inputs.md";
  for (const std::string& k : dispatched)
    EXPECT_TRUE(doc.count(k)) << "keyword " << k << " of the dispatcher is not documented";
}

// The documented prmtr names and codes are the parameter table, and each
// documented name, written alone, is read as its own code.
TEST(InputsDocument, PrmtrNamesAndCodesAreTheParameterTable) {
  const Table t = table_after(inputs_doc(), "### prmtr lines");
  ASSERT_EQ(t.header, (std::vector<std::string>{"Name", "Code", "Values", "Action"}));
  std::map<std::string, int> doc;
  for (const auto& r : t.rows) {
    ASSERT_EQ(r.size(), 4u);
    EXPECT_TRUE(doc.emplace(plain(r[0]), std::stoi(r[1])).second) << r[0] << " documented twice";
  }
  std::map<std::string, int> code;
  for (const PrmtrParameter& p : prmtr_parameters()) code[p.name] = p.code;
  for (const auto& [name, c] : code) {
    const auto it = doc.find(name);
    if (it == doc.end())
      ADD_FAILURE() << "prmtr parameter " << name << " (code " << c << ") is not documented";
    else
      EXPECT_EQ(it->second, c) << "prmtr parameter " << name << ": documented code";
  }
  for (const auto& [name, c] : doc)
    EXPECT_TRUE(code.count(name)) << "documented prmtr parameter " << name << " is not in the parameter table";
  for (const auto& [name, c] : doc) EXPECT_EQ(prmtr_code(" " + name + " "), c) << name;
}

// ------------------------------------------------------------ field tables

// The bounds of the rules every table obeys are the readers' constants: the
// number in each Bound cell (before any unit) is the constant of its row.
TEST(InputsDocument, TableRulesAreTheReadersBounds) {
  const Table t = table_after(inputs_doc(), "### What every table must give");
  const std::vector<std::string> want = {"Rule", "Bound", "Unit"};
  EXPECT_EQ(t.header, want);
  const std::map<std::string, double> bound = {
      {"node coordinate, every axis", kTableMaxNodeCoordinate},
      {"node spacing h (node 2 - node 1)", kTableMinNodeSpacing},
      {"node k against node 1 + (k - 1) h", kTableNodeTolerance},
      {"field value or sample", kTableMaxFieldValue},
  };
  std::set<std::string> seen;
  for (const auto& r : t.rows) {
    ASSERT_EQ(r.size(), want.size());
    const std::string rule = plain(r[0]);
    const auto it = bound.find(rule);
    if (it == bound.end()) {
      ADD_FAILURE() << "documented table rule '" << rule << "' has no bound in the readers";
      continue;
    }
    seen.insert(rule);
    // The first number of the cell after its comparison or "within".
    const std::string cell = plain(r[1]);
    std::size_t at = cell.find("<=");
    at = at == std::string::npos ? cell.find(">=") : at;
    at = at == std::string::npos ? cell.find("within") + 6 : at + 2;
    EXPECT_EQ(std::strtod(cell.c_str() + at, nullptr), it->second) << rule << ": " << cell;
  }
  EXPECT_EQ(seen.size(), bound.size());
}

// ------------------------------------------------------------------- links

// The anchors of a markdown file: explicit <a id="..."> marks.
std::set<std::string> anchors_of(const fs::path& file) {
  std::set<std::string> ids;
  const std::string text = testing::read_file(file);
  const std::string open = "<a id=\"";
  for (auto p = text.find(open); p != std::string::npos; p = text.find(open, p + 1)) {
    const auto q = text.find('"', p + open.size());
    if (q != std::string::npos) ids.insert(text.substr(p + open.size(), q - p - open.size()));
  }
  return ids;
}

// Every relative link of the README files and the documents names an
// existing file, and its anchor an existing mark; every example links the
// reference.
// The documented line bound is the readers' bound.
TEST(InputsDocument, LineBoundIsTheReadersBound) {
  EXPECT_NE(inputs_doc().find("may hold at most\n" + std::to_string(kMaxLineBytes) + " bytes (1 MiB)"),
            std::string::npos);
  EXPECT_EQ(kMaxLineBytes, std::size_t{1} << 20);
}

TEST(InputsDocument, ReadmeAndDocumentLinksResolve) {
  const fs::path root = repo_root();
  std::vector<fs::path> files = {root / "README.md", root / "docs" / "inputs.md",
                                 root / "docs" / "outputs.md"};
  for (const auto& e : fs::directory_iterator(root / "examples"))
    if (fs::exists(e.path() / "README")) files.push_back(e.path() / "README");
  for (const fs::path& f : files) {
    ASSERT_TRUE(fs::exists(f)) << f;
    const std::string text = testing::read_file(f);
    int doc_links = 0;
    // Markdown links: ](target) or ](target#anchor).
    for (auto p = text.find("]("); p != std::string::npos; p = text.find("](", p + 2)) {
      const auto close = text.find(')', p + 2);
      if (close == std::string::npos) break;
      const std::string ref = text.substr(p + 2, close - p - 2);
      if (ref.find("://") != std::string::npos || ref.find(' ') != std::string::npos) continue;
      const auto hash = ref.find('#');
      const std::string target = ref.substr(0, hash);
      const fs::path file = target.empty() ? f : f.parent_path() / target;
      ASSERT_TRUE(fs::exists(file)) << f << ": link to missing " << target;
      if (file.filename() == "inputs.md" || file.filename() == "outputs.md") ++doc_links;
      if (hash != std::string::npos) {
        const std::string anchor = ref.substr(hash + 1);
        EXPECT_TRUE(anchors_of(file).count(anchor)) << f << ": no anchor #" << anchor << " in " << file;
      }
    }
    if (f.filename() == "README") {
      EXPECT_GT(doc_links, 0) << f << " links no entry of the reference";
    }
  }
}

}  // namespace
}  // namespace linac
