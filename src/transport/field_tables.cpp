// The table readers and the one table cache of the run.
#include "transport/field_tables.hpp"

#include <algorithm>
#include <cmath>
#include <fmt/format.h>

#include "transport/transport_context.hpp"
#include "common/input_ranges.hpp"
#include "common/text_utils.hpp"
#include "common/unit_numbers.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "platform/freeformat.hpp"
#include "platform/unformatted.hpp"
#include "platform/units.hpp"
#include "transport/seams.hpp"
#include "numerics/spline.hpp"

namespace linac {

std::string table_file_name(const TransportContext& sim, const char* stem, std::int32_t n) {
  return table_dir_name(sim.tables.TABLE_DIR, numbered_name(stem, n, 2));
}

GridFault grid_fault(const double* nodes, int n) {
  for (int k = 0; k < n; ++k)
    if (!(std::abs(nodes[k]) <= kTableMaxNodeCoordinate))
      return {k, nodes[k], fmt::format("is not a finite coordinate within +-{:g} cm", kTableMaxNodeCoordinate)};
  const double h = nodes[1] - nodes[0];
  if (!(h >= kTableMinNodeSpacing))
    return {1, nodes[1],
            fmt::format("does not exceed node 1 = {} cm by the least spacing of {:g} cm", nodes[0],
                        kTableMinNodeSpacing)};
  // Node k against first + k h (0-based k) of a grid starting at node `from`.
  auto off_grid = [&](int from, double step, int k) {
    const double want = nodes[from] + static_cast<double>(k - from) * step;
    return !(std::abs(nodes[k] - want) <= kTableNodeTolerance * std::max(step, std::abs(nodes[k])));
  };
  for (int k = 2; k < n; ++k) {
    if (!(nodes[k] > nodes[k - 1]))
      return {k, nodes[k], fmt::format("does not exceed node {} = {} cm", k, nodes[k - 1])};
    if (!off_grid(0, h, k)) continue;
    // A first node moved alone: the others form the grid without it.
    const double h2 = nodes[2] - nodes[1];
    bool rest_uniform = k == 2 && n > 3 && h2 >= kTableMinNodeSpacing;
    for (int m = 3; rest_uniform && m < n; ++m) rest_uniform = !off_grid(1, h2, m);
    if (rest_uniform)
      return {0, nodes[0],
              fmt::format("should lie at {:.6g} cm: the nodes after it are spaced {:.6g} cm", nodes[1] - h2, h2)};
    return {k, nodes[k],
            fmt::format("should lie at {:.6g} cm: nodes 1 and 2 ({} and {} cm) set the spacing {:.6g} cm",
                        nodes[0] + static_cast<double>(k) * h, nodes[0], nodes[1], h)};
  }
  return {};
}

namespace {

// A table file as the cache knows it. Opening it first gives a missing file
// the platform's message naming it; nothing is ever created.
struct FileId {
  std::string path;  // resolved
  std::uintmax_t size = 0;
  std::filesystem::file_time_type mtime{};
};

FileId identify(const TransportContext& sim, const std::string& name) {
  { std::ifstream probe = open_input_file(sim.units, name); }
  FileId id;
  const std::filesystem::path p = sim.units.resolve(name);
  std::error_code ec;
  const std::filesystem::path c = std::filesystem::weakly_canonical(p, ec);
  id.path = ec ? p.string() : c.string();
  id.size = std::filesystem::file_size(p, ec);
  id.mtime = std::filesystem::last_write_time(p, ec);
  return id;
}

// The cached entry of `key` when it was read from this very file; else null.
const CachedTable* cached(const FieldTables& ft, const std::string& key, const FileId& id) {
  const auto it = ft.cache.find(key);
  if (it == ft.cache.end()) return nullptr;
  if (it->second.size != id.size || it->second.mtime != id.mtime) return nullptr;
  return &it->second;
}

// A new cache entry for a file read from disk now (counted), or for one
// whose table another entry holds (read_from_disk false).
CachedTable& store(FieldTables& ft, const std::string& key, const FileId& id, bool read_from_disk = true) {
  CachedTable& e = ft.cache[key];
  e = CachedTable{};
  e.size = id.size;
  e.mtime = id.mtime;
  if (read_from_disk) {
    ft.disk_reads += 1;
    ft.bytes_read += static_cast<std::int64_t>(id.size);
  }
  return e;
}

// ---------------------------------------------------------------- 3-D files

// The rule every table grid obeys; the readers below add file and record.
constexpr const char* kGridRule =
    " the nodes of each axis must be finite, within +-1e4 cm and equally spaced with a positive spacing "
    "h of at least 1e-6 cm: node k within 1e-6 max(h, |node k|) of node 1 + (k - 1) h";

void grid_stop(const std::string& where, const char* axis, const GridFault& f) {
  fatal({fmt::format(" input error in {}: {} node {} = {} cm {}", where, axis, f.node + 1, f.value, f.why),
         kGridRule},
        true);
}

template <std::size_t N>
void read_nodes(UnformattedIn& in, std::array<double, N>& nodes, const char* axis, int record) {
  RecordIn r = in.read();
  r.get(std::span<double>(nodes));
  if (const GridFault f = grid_fault(nodes.data(), static_cast<int>(N)))
    grid_stop(fmt::format("{} record {}", in.name(), record), axis, f);
}

// Records 1 to 5 of a 3-D table file.
void read_header(UnformattedIn& in, Table3D& t) {
  RecordIn r1 = in.read();
  t.head_1 = r1.get_double();
  t.head_2 = r1.get_double();
  t.head_int = r1.get_int();
  RecordIn r2 = in.read();
  r2.get(std::span<std::int32_t>(t.sym));
  read_nodes(in, t.x, "x", 3);
  read_nodes(in, t.y, "y", 4);
  read_nodes(in, t.z, "z", 5);
  t.set_spacings();
}

constexpr const char* kComponentNames[6] = {"Ex", "Ey", "Ez", "Bx", "By", "Bz"};

// Every value of one component plane finite and within the field bound;
// a fault names the record, the node and where it lies.
void check_plane(const std::string& name, int record, int comp, const Table3D& t,
                 const std::vector<double>& plane) {
  for (std::size_t n = 0; n < plane.size(); ++n) {
    if (table_value_ok(plane[n])) continue;
    const int i = static_cast<int>(n % kTableNx);
    const int j = static_cast<int>((n / kTableNx) % kTableNy);
    const int k = static_cast<int>(n / (static_cast<std::size_t>(kTableNx) * kTableNy));
    fatal({fmt::format(" input error in {} record {}: {} at node ({}, {}, {}) (x = {} cm, y = {} cm, z = {} cm) "
                       "is {}",
                       name, record, kComponentNames[comp], i + 1, j + 1, k + 1, t.x[i], t.y[j], t.z[k],
                       plane[n]),
           fmt::format(" every field value of a table must be finite and within +-{:g}, also where no "
                       "particle goes",
                       kTableMaxFieldValue)},
          true);
  }
}

// The records after the components: the closing integer (4 bytes) and
// nothing behind it. A static table of one field may stand in a file that
// holds E and B with the flag 0: E is then read and the three B records
// are passed over; read for B, such a file would give its E records as B.
// Any other record where the closing integer belongs (a doubled or a
// missing component) would shift the components, and is refused.
void read_closing(UnformattedIn& in, const Table3D& t, bool may_hold_both) {
  constexpr std::size_t kPlaneBytes = static_cast<std::size_t>(kTableNodes) * 8;
  int record = 6 + t.ncomp;
  RecordIn last = in.read();
  if (may_hold_both && t.ncomp == 3 && last.bytes_left() == kPlaneBytes) {
    if (!t.holds_e())
      fatal({fmt::format(" input error in {} record {}: a fourth component record ({} bytes) where a "
                         "table of B closes",
                         in.name(), record, kPlaneBytes),
             " the file holds E and B, so records 6 to 8 are E: set the flag of record 1 to 1 "
             "(E and B) or give a file of B alone"},
            true);
    for (int extra = 0; extra < 2; ++extra) {
      ++record;
      if (in.read().bytes_left() != kPlaneBytes)
        fatal({fmt::format(" input error in {} record {}: a table of E and B needs six component "
                           "records of {} bytes each",
                           in.name(), record, kPlaneBytes)},
              true);
    }
    ++record;
    last = in.read();
  }
  if (last.bytes_left() != 4)
    fatal({fmt::format(" input error in {} record {}: {} bytes where the closing integer (4 bytes) "
                       "belongs",
                       in.name(), record, last.bytes_left()),
           fmt::format(" the file must hold exactly the {} component records its header asks for",
                       t.ncomp)},
          true);
  if (!in.at_end())
    fatal({fmt::format(" input error in {}: data after the closing record {}", in.name(), record),
           " a table file ends with its closing integer"},
          true);
}

// Component records first_comp .. first_comp + ncomp - 1, then the final
// integer; the values are interleaved node by node.
void read_components(UnformattedIn& in, Table3D& t, bool may_hold_both = false) {
  t.nodes.assign(static_cast<std::size_t>(kTableNodes) * t.ncomp, 0.0);
  std::vector<double> plane(kTableNodes);
  for (int c = 0; c < t.ncomp; ++c) {
    RecordIn r = in.read();
    r.get(std::span<double>(plane));
    check_plane(in.name(), 6 + c, t.first_comp + c, t, plane);
    for (std::size_t n = 0; n < plane.size(); ++n) t.nodes[n * t.ncomp + c] = plane[n];
  }
  read_closing(in, t, may_hold_both);
}

std::shared_ptr<const Table3D> load_3d(UnformattedIn& in, int first_comp, int ncomp) {
  auto t = std::make_shared<Table3D>();
  read_header(in, *t);
  t->first_comp = first_comp;
  t->ncomp = ncomp;
  read_components(in, *t);
  return t;
}

// The first blank-delimited word of a file (at most 80 characters looked at).
std::string first_word(const TransportContext& sim, const std::string& name) {
  std::ifstream in = open_input_file(sim.units, name);
  char buf[256];
  in.read(buf, sizeof buf);
  const std::string head(buf, static_cast<std::size_t>(in.gcount()));
  std::size_t a = 0;
  while (a < head.size() && (head[a] == ' ' || head[a] == '\t' || head[a] == '\n' || head[a] == '\r')) ++a;
  std::size_t b = a;
  while (b < head.size() && b - a < 80 && head[b] != ' ' && head[b] != '\t' && head[b] != '\n' &&
         head[b] != '\r' && head[b] != ',')
    ++b;
  return head.substr(a, b - a);
}

// ---------------------------------------------------------------- 2-D files

[[noreturn]] void wrong_string(const std::string& name, int line_no, const std::string& line,
                               const std::string& why, const char* rule = nullptr) {
  std::vector<std::string> lines{" wrong string in 2D table",
                                 fmt::format(" {}", line.substr(0, std::min<std::size_t>(line.size(), 80))),
                                 fmt::format(" {} line {}: {}", name, line_no, why)};
  if (rule != nullptr) lines.emplace_back(rule);
  fatal(lines, true);
}

[[noreturn]] void wrong_string(const TextIn& in, const std::string& line, const std::string& why,
                               const char* rule = nullptr) {
  wrong_string(in.name(), in.line_number(), line, why, rule);
}

// Two readings of one node coordinate agree (they stand in the file once per
// row or per column): within the node tolerance of the spacing h or of the
// coordinate.
bool same_node(double a, double b, double h) {
  return std::abs(a - b) <= kTableNodeTolerance * std::max({h, std::abs(a), std::abs(b)});
}

std::shared_ptr<const Table2D> parse_2d(const TransportContext& sim, const std::string& name) {
  TextIn in(sim.units, name);
  std::string line;
  auto t = std::make_shared<Table2D>();
  if (!in.next_line(line) || index_nocase(line.substr(0, 80), "2Dtable") == 0)
    wrong_string(in, line, "the first line must hold the word 2Dtable");

  if (!in.next_line(line)) wrong_string(in, line, "the line of node counts is missing");
  {
    const std::string l2 = line.substr(0, std::min<std::size_t>(line.size(), 80));
    std::vector<std::string> words;
    std::size_t p = 0;
    while (p < l2.size()) {
      while (p < l2.size() && (l2[p] == ' ' || l2[p] == '\t' || l2[p] == '\r')) ++p;
      const std::size_t q = p;
      while (p < l2.size() && l2[p] != ' ' && l2[p] != '\t' && l2[p] != '\r') ++p;
      if (p > q) words.push_back(l2.substr(q, p - q));
    }
    double counts[4] = {0, 0, 0, 0};  // nx, ny, nr, nz
    bool found[4] = {false, false, false, false};
    static constexpr const char* kKeys[4] = {"nx", "ny", "nr", "nz"};
    for (std::size_t w = 0; w + 1 < words.size() && w < 4; w += 2) {
      for (int k = 0; k < 4; ++k) {
        if (index_nocase(words[w], kKeys[k]) == 0) continue;
        const auto v = parse_real_item(words[w + 1]);
        if (!v) wrong_string(in, line, "the value '" + words[w + 1] + "' of " + words[w] + " is not a number");
        counts[k] = std::round(*v);
        found[k] = true;
        break;
      }
    }
    double nu = 0.0;
    if (found[0]) {
      t->coord = 1, nu = counts[0];
    } else if (found[1]) {
      t->coord = 2, nu = counts[1];
    } else {
      t->coord = 3, nu = counts[2];
    }
    const double nz = found[3] ? counts[3] : 0.0;
    if (nu * nz == 0.0) wrong_string(in, line, "give two pairs: nr (or nx, ny) and nz with their node counts");
    if (nu < 3.0 || nz < 3.0)
      wrong_string(in, line, fmt::format("{} x {} nodes: each coordinate needs at least 3", nu, nz));
    if (nu > kTable2DMaxNodes || nz > kTable2DMaxNodes || 2.0 * nu * nz > kTable2DValues)
      wrong_string(in, line,
                   fmt::format("{} x {} nodes exceed the capacity of {} nodes per coordinate and {} "
                               "values (two per node) for both tables",
                               nu, nz, kTable2DMaxNodes, kTable2DValues));
    t->nu = static_cast<int>(nu);
    t->nz = static_cast<int>(nz);
  }

  if (!in.next_line(line)) wrong_string(in, line, "the heading line is missing");
  {
    const std::string l3 = line.substr(0, std::min<std::size_t>(line.size(), 80));
    int kind = 0;
    if (index_nocase(l3, "ez") > 0) kind = 1;
    if (index_nocase(l3, "hz") > 0) kind = 2;
    if (index_nocase(l3, "bz") > 0) kind = 2;
    if (kind == 0) wrong_string(in, line, "the heading must name the field: Ez, Hz or Bz");
    t->field_kind = kind;
  }

  // Data lines: row b (z node b) holds the nu transverse nodes in order.
  // Every row repeats the transverse nodes of the first, every line of a
  // row its z node; the nodes form equally spaced grids, the field values
  // are finite, and no data line follows the last node.
  const int nu = t->nu, nz = t->nz;
  t->values.assign(static_cast<std::size_t>(2) * nu * nz, 0.0);
  std::vector<double> u(nu), z(nz);
  std::vector<int> u_line(nu), z_line(nz);         // lines of the first row and of each row's start
  std::vector<std::string> u_text(nu), z_text(nz);
  for (int b = 0; b < nz; ++b) {
    for (int a = 0; a < nu; ++a) {
      bool got = false;
      while (in.next_line(line)) {
        FreeLine fl(line, in.name(), in.line_number());
        if (fl.at_end()) continue;
        const double uu = fl.read_real();
        const double zz = fl.read_real();
        const double f[2] = {fl.read_real(), fl.read_real()};
        for (int c = 0; c < 2; ++c)
          if (!table_value_ok(f[c]))
            wrong_string(in, line,
                         fmt::format("column {}, the {} field {} is beyond +-{:g}", c + 3,
                                     c == 0 ? "transverse" : "longitudinal", f[c], kTableMaxFieldValue),
                         " every field value of a table must be finite and within that bound");
        t->values[static_cast<std::size_t>(b) * nu + a] = f[0];
        t->values[static_cast<std::size_t>(nu) * nz + static_cast<std::size_t>(b) * nu + a] = f[1];
        if (b == 0) {
          u[a] = uu, u_line[a] = in.line_number(), u_text[a] = line;
        } else if (!same_node(uu, u[a], u[1] - u[0])) {
          wrong_string(in, line,
                       fmt::format("column 1, u = {} cm where row {} repeats node {} of the first row, {} cm "
                                   "(line {})",
                                   uu, b + 1, a + 1, u[a], u_line[a]),
                       " every row of z holds the same transverse nodes: as many per row as the line of "
                       "node counts gives");
        }
        if (a == 0) {
          z[b] = zz, z_line[b] = in.line_number(), z_text[b] = line;
        } else if (!same_node(zz, z[b], b > 0 ? z[1] - z[0] : 0.0)) {
          wrong_string(in, line,
                       fmt::format("column 2, z = {} cm within row {}, which began with z = {} cm (line {})",
                                   zz, b + 1, z[b], z_line[b]),
                       " the lines of one row share their z node: as many per row as the line of node "
                       "counts gives");
        }
        got = true;
        break;
      }
      if (!got)
        fatal({" number of the data string in 2D table  .ne. Nr*Nz",
               fmt::format(" {}: {} data lines for {} x {} nodes", in.name(), b * nu + a, nu, nz)},
              true);
    }
    if (b == 0)
      if (const GridFault f = grid_fault(u.data(), nu))
        wrong_string(in.name(), u_line[f.node], u_text[f.node],
                     fmt::format("column 1, u node {} = {} cm {}", f.node + 1, f.value, f.why), kGridRule);
  }
  if (const GridFault f = grid_fault(z.data(), nz))
    wrong_string(in.name(), z_line[f.node], z_text[f.node],
                 fmt::format("column 2, z node {} = {} cm {}", f.node + 1, f.value, f.why), kGridRule);
  while (in.next_line(line)) {
    FreeLine fl(line, in.name(), in.line_number());
    double first = 0.0;
    if (fl.read_reals_counting(&first, 1) == 1)
      wrong_string(in, line,
                   fmt::format("a data line after the {} x {} = {} nodes that the line of node counts gives",
                               nu, nz, nu * nz),
                   " the node counts must match the data lines");
  }
  t->u1 = u[0];
  t->du = u[1] - u[0];
  t->u_last = u[nu - 1];
  t->z1 = z[0];
  t->hz = z[1] - z[0];
  t->z_last = z[nz - 1];
  return t;
}

std::shared_ptr<const Table2D> load_2d(TransportContext& sim, const std::string& name) {
  const FileId id = identify(sim, name);
  const std::string key = "2D|" + id.path;
  FieldTables& ft = sim.field_tables;
  if (const CachedTable* e = cached(ft, key, id)) return e->t2;
  auto t = parse_2d(sim, name);
  store(ft, key, id).t2 = t;
  return t;
}

void install_2d(TransportContext& sim, std::shared_ptr<const Table2D> t, int m, const std::string& name) {
  FieldTables& ft = sim.field_tables;
  if (m == 2) {
    const int used = ft.table2d[1] ? ft.table2d[1]->footprint() : 0;
    if (used + t->footprint() > kTable2DValues)
      fatal({fmt::format(" {}: the second 2-D table needs {} values, but only {} of the {} are left "
                         "after the first",
                         name, t->footprint(), kTable2DValues - used, kTable2DValues)},
            true);
  }
  ft.table2d[static_cast<std::size_t>(m)] = std::move(t);
}

}  // namespace

void read_2Dtable(TransportContext& sim, std::int32_t n, std::int32_t m) {
  if (m != 1 && m != 2) fatal(fmt::format(" 2-D table slot {} does not exist (1 or 2)", m), true);
  const std::string name = table_file_name(sim, "eh_EMS.#", n);
  install_2d(sim, load_2d(sim, name), m, name);
}

void read_eh_MWS(TransportContext& sim, std::int32_t n) {
  const std::string name = table_file_name(sim, "eh_MWS.#", n);
  const FileId id = identify(sim, name);
  const std::string key = "MWS|" + id.path;
  FieldTables& ft = sim.field_tables;
  std::shared_ptr<const Table3D> t;
  if (const CachedTable* e = cached(ft, key, id)) {
    t = e->t3;
  } else {
    UnformattedIn in(sim.units, name);
    t = load_3d(in, 0, 6);
    // The header replaces APER(n) and NCELLS(n): the ranges velmo.dat
    // allows for them.
    if (!input_range::within(t->head_2, 0.0, input_range::kMaxOffset))
      fatal({fmt::format(" input error in {} record 1: aperture radius {} cm", name, t->head_2),
             fmt::format(" it replaces APER({}) and must lie in [0, {:g}] cm", n, input_range::kMaxOffset)},
            true);
    if (!input_range::within(t->head_int, 0.0, input_range::kMaxStepCount))
      fatal({fmt::format(" input error in {} record 1: {} cells", name, t->head_int),
             fmt::format(" the count replaces NCELLS({}) and must lie in [0, {:g}]", n,
                         input_range::kMaxStepCount)},
            true);
    store(ft, key, id).t3 = t;
  }
  ft.field3d = t;
  sim.tables.APER[static_cast<std::size_t>(n)] = t->head_2;
  sim.tables.NCELLS[static_cast<std::size_t>(n)] = t->head_int;
}

void read_eh_EMS(TransportContext& sim, std::int32_t n) {
  const std::string name = table_file_name(sim, "eh_EMS.#", n);
  const FileId id = identify(sim, name);
  const int kind = sim.state.table_kind;
  const std::string key = fmt::format("EMS|{}|{}", id.path, kind);
  FieldTables& ft = sim.field_tables;
  const CachedTable* e = cached(ft, key, id);
  if (e == nullptr) {
    if (index_nocase(first_word(sim, name), "2Dtable") > 0) {
      auto t2 = load_2d(sim, name);
      CachedTable& s = store(ft, key, id, false);
      s.t2 = std::move(t2);
      e = &s;
    } else {
      UnformattedIn in(sim.units, name);
      auto t = std::make_shared<Table3D>();
      read_header(in, *t);
      int k = kind;
      if (t->head_int > 0) k = kKindEB;
      if (k < kKindE || k > kKindEB)
        fatal({fmt::format(" {}: table kind {} is not 0 (E), 1 (B) or 2 (E and B)", name, k)}, true);
      if (k == kKindEB && (t->sym[0] == 1 || t->sym[1] == 1 || t->sym[2] == 1))
        fatal({fmt::format(" input error in {} record 2: mirror flags {} {} {} on a table of E and B", name,
                           t->sym[0], t->sym[1], t->sym[2]),
               " a static table of both fields has no sign rules for its mirrored half: give the full "
               "table with flags 0"},
              true);
      t->first_comp = (k == kKindB) ? 3 : 0;
      t->ncomp = (k == kKindEB) ? 6 : 3;
      read_components(in, *t, true);
      CachedTable& s = store(ft, key, id);
      s.t3 = std::move(t);
      e = &s;
    }
  }
  if (e->t2) {
    // Only deck and einz switch their field to a 2-D table; any other
    // element would take its field from whatever 3-D table was loaded last.
    const int itype = sim.state.itype;
    if (itype != 11 && itype != 16)
      fatal({fmt::format(" {}: a 2-D table (first word 2Dtable) serves deck and einz elements only", name),
             fmt::format(" {} (type {}) needs a 3-D table", element_label(sim, sim.state.ipos), itype)},
            true);
    sim.state.IAXIAL = 1;
    install_2d(sim, e->t2, 1, name);
    return;
  }
  if (e->t3->head_int > 0) sim.state.table_kind = kKindEB;
  ft.field3d = e->t3;
}

std::shared_ptr<const Table3D> read_ebfld_table(TransportContext& sim, std::int32_t n) {
  const std::string name = numbered_name("eh_EMS.#", n < 0 ? -n : n, 2);
  const FileId id = identify(sim, name);
  const std::string key = "EBF|" + id.path;
  FieldTables& ft = sim.field_tables;
  if (const CachedTable* e = cached(ft, key, id)) return e->t3;
  UnformattedIn in(sim.units, name);
  auto t = load_3d(in, 0, 6);
  store(ft, key, id).t3 = t;
  return t;
}

// ---------------------------------------------------------------- solenoid

namespace {

void write_solenoid_listing(TransportContext& sim, const AxisTable& t, const std::string& name) {
  Units& u = sim.units;
  u.write(kScreenUnit, "");
  write_checked(sim, kUnitLog, "(20X,A,A12,A)", {" *", name, "* "});
  write_checked(sim, kUnitLog, "(A20,F12.6,A8)", {" heff_B1=", t.heff_B1, " cm     "});
  write_checked(sim, kUnitLog, "(A20,F12.6,A8)", {" heff_B2=", t.heff_B2, " cm     "});
  write_checked(sim, kUnitLog, "(A20,F12.6,A8)", {"    Bmax=", t.Bmax, " rel. u."});
  u.write(kUnitLog, "");
  write_checked(sim, kUnitLog, "(3X,A5,3X,14X,A1,13X,A2,12X,A3,11X,A4,10X,A5)",
                  {"z, cm", "B", "B'", "B''", "B'''", "B''''"});
  const FortranFormat row("(F11.5,6D15.5)");
  const double h = t.L / (t.nbz - 1);
  for (int i = 0; i < t.nbz; ++i)
    write_checked(sim, kUnitLog, row,
                    {i * h, t.col[0][i], t.col[1][i], t.col[2][i], t.col[3][i], t.col[4][i]});
}

std::shared_ptr<const AxisTable> parse_solenoid(TransportContext& sim, const std::string& name, double L,
                                                std::vector<double>& raw_even) {
  FreeStream in(sim.units, name);
  const std::int32_t nbz = in.read_int();
  if (nbz > kAxisSamples)
    fatal({format_records("(A,I5)", {"nbz=", nbz}).front(), list_directed({"check ", name}),
           list_directed({"number of the data point nbz > NSTmax=800"})},
          true);
  if (nbz < 2)
    fatal({fmt::format(" input error in {}: nbz = {} samples; a solenoid table needs at least 2", name, nbz)},
          true);
  if (!(L > 0.0))
    fatal({fmt::format(" {}: a solenoid table needs an element length above 0 cm, not {}", name, L)}, true);
  auto t = std::make_shared<AxisTable>();
  t->L = L;
  t->nbz = nbz;
  t->samples.resize(static_cast<std::size_t>(nbz));
  for (int i = 0; i < nbz; ++i) {
    const double s = in.read_real();
    if (!table_value_ok(s))
      fatal({fmt::format(" input error in {} line {}: sample {} of the field is {}", name, in.line_number(),
                         i + 1, s),
             fmt::format(" every sample must be finite and within +-{:g}", kTableMaxFieldValue)},
            true);
    t->samples[static_cast<std::size_t>(i)] = s;
  }
  if (!in.at_end()) {
    const double extra = in.read_real();
    fatal({fmt::format(" input error in {} line {}: a number {} after the nbz = {} samples", name,
                       in.line_number(), extra, nbz),
           " the count at the start of the file must match the samples that follow it"},
          true);
  }

  // Peak sample (the later one on equal magnitudes) and the effective
  // lengths of B and B^2 from spline integrals over [0, L].
  for (double s : t->samples)
    if (std::abs(s) >= std::abs(t->Bmax)) t->Bmax = s;
  std::vector<double> zs(static_cast<std::size_t>(nbz)), sq(static_cast<std::size_t>(nbz));
  for (int i = 0; i < nbz; ++i) {
    zs[i] = i * L / (nbz - 1);
    sq[i] = t->samples[i] * t->samples[i];
  }
  CubicSpline sp;
  DCSINT(sim, nbz, zs, t->samples, sp);
  t->heff_B1 = std::abs(DCSITG(sim, 0.0, L, sp.nintv(), sp) / t->Bmax);
  DCSINT(sim, nbz, zs, sq, sp);
  t->heff_B2 = DCSITG(sim, 0.0, L, sp.nintv(), sp) / (t->Bmax * t->Bmax);
  solenoid_table_derivs(sim, *t, raw_even);
  return t;
}

}  // namespace

void read_solenoid_table(TransportContext& sim, double L, std::int32_t n) {
  const std::string name = table_file_name(sim, "solenoid.#", n);
  const FileId id = identify(sim, name);
  const std::string key = fmt::format("SOL|{}|{:.17g}", id.path, L);
  FieldTables& ft = sim.field_tables;
  const CachedTable* e = cached(ft, key, id);
  if (e == nullptr) {
    std::vector<double> raw;
    auto t = parse_solenoid(sim, name, L, raw);
    CachedTable& s = store(ft, key, id);
    s.axis = std::move(t);
    s.raw_even = std::move(raw);
    e = &s;
  }
  // The effects of a read: fort.137 for an even count, the listing.
  if (!e->raw_even.empty()) {
    const FortranFormat f("(F12.5,6D15.5)");
    const int nraw = static_cast<int>(e->raw_even.size());
    for (int i = 0; i < nraw; ++i)
      write_checked(sim, 137, f, {i * L / (nraw - 1), e->raw_even[i]});
  }
  ft.axis_table = e->axis;
  if (sim.state.ipass == 1 && sim.state.dev_field > 0) write_solenoid_listing(sim, *e->axis, name);
}

// ---------------------------------------------------------------- table_cache

bool recall_type_table(TransportContext& sim, int itype, std::int32_t n, double L) {
  TypeTable& tt = sim.field_tables.by_type[static_cast<std::size_t>(itype)];
  if (n <= 0 || n != sim.type_rec.table_cache[static_cast<std::size_t>(itype)] || tt.number != n)
    return false;
  if (tt.axis && tt.L != L) return false;
  FieldTables& ft = sim.field_tables;
  if (tt.t3) ft.field3d = tt.t3;
  if (tt.t2) ft.table2d[1] = tt.t2;
  if (tt.axis) ft.axis_table = tt.axis;
  sim.state.IAXIAL = tt.iaxial;
  return true;
}

void remember_type_table(TransportContext& sim, int itype, std::int32_t n, double L) {
  FieldTables& ft = sim.field_tables;
  TypeTable& tt = ft.by_type[static_cast<std::size_t>(itype)];
  sim.type_rec.table_cache[static_cast<std::size_t>(itype)] = n;
  tt.number = n;
  tt.L = L;
  tt.iaxial = sim.state.IAXIAL;
  tt.t3 = (itype == 2) ? nullptr : ft.field3d;
  tt.t2 = sim.state.IAXIAL == 1 ? ft.table2d[1] : nullptr;
  tt.axis = (itype == 2) ? ft.axis_table : nullptr;
}

// ---------------------------------------------------------------- other readers

std::shared_ptr<const void> load_through_cache(
    TransportContext& sim, const std::string& name, const std::string& what,
    const std::function<std::shared_ptr<const void>()>& read) {
  const FileId id = identify(sim, name);
  const std::string key = what + "|" + id.path;
  FieldTables& ft = sim.field_tables;
  if (const CachedTable* e = cached(ft, key, id)) return e->other;
  std::shared_ptr<const void> t = read();
  store(ft, key, id).other = t;
  return t;
}

}  // namespace linac
