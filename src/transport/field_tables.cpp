// The table readers and the one table cache of the run.
#include "transport/field_tables.hpp"

#include <cmath>
#include <fmt/format.h>

#include "transport/transport_context.hpp"
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

template <std::size_t N>
void read_nodes(UnformattedIn& in, std::array<double, N>& nodes, const char* axis) {
  RecordIn r = in.read();
  r.get(std::span<double>(nodes));
  if (!(nodes[1] > nodes[0]))
    fatal({fmt::format(" input error in {}: the {} nodes must increase with equal spacing", in.name(), axis),
           fmt::format(" its first two {} nodes are {} and {} cm", axis, nodes[0], nodes[1])},
          true);
}

// Records 1 to 5 of a 3-D table file.
void read_header(UnformattedIn& in, Table3D& t) {
  RecordIn r1 = in.read();
  t.head_1 = r1.get_double();
  t.head_2 = r1.get_double();
  t.head_int = r1.get_int();
  RecordIn r2 = in.read();
  r2.get(std::span<std::int32_t>(t.sym));
  read_nodes(in, t.x, "x");
  read_nodes(in, t.y, "y");
  read_nodes(in, t.z, "z");
  t.set_spacings();
}

// Component records first_comp .. first_comp + ncomp - 1, then the final
// integer; the values are interleaved node by node.
void read_components(UnformattedIn& in, Table3D& t) {
  t.nodes.assign(static_cast<std::size_t>(kTableNodes) * t.ncomp, 0.0);
  std::vector<double> plane(kTableNodes);
  for (int c = 0; c < t.ncomp; ++c) {
    RecordIn r = in.read();
    r.get(std::span<double>(plane));
    for (std::size_t n = 0; n < plane.size(); ++n) t.nodes[n * t.ncomp + c] = plane[n];
  }
  in.read().get_int();
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

[[noreturn]] void wrong_string(const TextIn& in, const std::string& line, const std::string& why) {
  fatal({" wrong string in 2D table", fmt::format(" {}", line.substr(0, std::min<std::size_t>(line.size(), 80))),
         fmt::format(" {} line {}: {}", in.name(), in.line_number(), why)},
        true);
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

  const int nu = t->nu, nz = t->nz;
  t->values.assign(static_cast<std::size_t>(2) * nu * nz, 0.0);
  std::vector<double> u(nu), z(nz);
  for (int b = 0; b < nz; ++b) {
    for (int a = 0; a < nu; ++a) {
      bool got = false;
      while (in.next_line(line)) {
        FreeLine fl(line, in.name(), in.line_number());
        if (fl.at_end()) continue;
        u[a] = fl.read_real();
        z[b] = fl.read_real();
        t->values[static_cast<std::size_t>(b) * nu + a] = fl.read_real();
        t->values[static_cast<std::size_t>(nu) * nz + static_cast<std::size_t>(b) * nu + a] = fl.read_real();
        got = true;
        break;
      }
      if (!got)
        fatal({" number of the data string in 2D table  .ne. Nr*Nz",
               fmt::format(" {}: {} data lines for {} x {} nodes", in.name(), b * nu + a, nu, nz)},
              true);
    }
  }
  t->u1 = u[0];
  t->du = u[1] - u[0];
  t->u_last = u[nu - 1];
  t->z1 = z[0];
  t->hz = z[1] - z[0];
  t->z_last = z[nz - 1];
  if (!(t->du > 0.0) || !(t->hz > 0.0))
    fatal({" wrong string in 2D table",
           fmt::format(" {}: node spacings du = {} cm and dz = {} cm must both be positive", in.name(),
                       t->du, t->hz)},
          true);
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
      read_components(in, *t);
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
  for (double& s : t->samples) s = in.read_real();

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
