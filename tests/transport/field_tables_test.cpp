// The 3-D table files and the table cache: byte layout, what a read takes
// from a file and what it sets in the run, names under TABLE_DIR, the
// cache's one read per file, and the messages of broken files.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <limits>

#include <fmt/format.h>

#include "common/text_utils.hpp"
#include "platform/fatal.hpp"
#include "platform/unformatted.hpp"
#include "table_fixture.hpp"
#include "transport/field_tables.hpp"
#include "transport/push_z.hpp"
#include "transport/table_fields.hpp"
#include "transport/table_writers.hpp"

namespace linac {
namespace {

using testing::fatal_text;
using testing::quadratic_field;
using testing::TableRun;

Table3DLayout layout(std::array<std::int32_t, 3> sym = {0, 0, 0}) {
  return table_layout(2.0, 1.5, 10.0, sym);
}

// Table nodes equal the field written at every node checked.
void expect_nodes(const Table3D& t, const Table3DLayout& l, int first, int count) {
  const FieldFunction f = quadratic_field();
  for (int k : {0, 1, 100, 200})
    for (int j : {0, 7, 24})
      for (int i : {0, 13, 24}) {
        Vec3 E, B;
        f(l.x[i], l.y[j], l.z[k], E, B);
        for (int c = first; c < first + count; ++c)
          EXPECT_EQ(t.node(c, i, j, k), c < 3 ? E[c] : B[c - 3]) << c << " " << i << " " << j << " " << k;
      }
}

TEST(FieldTableFiles, RoundTripSizesAndValues) {
  struct Case {
    const char* what;
    bool rf;
    int kind;      // table_kind the driver set
    int flag;      // record-1 integer
    int written;   // components written
    std::uintmax_t bytes;
    int kind_after, first, count;
  } cases[] = {
      {"E table", false, kKindE, 0, kKindE, 3017116u, kKindE, 0, 3},
      {"B table", false, kKindB, 0, kKindB, 3017116u, kKindB, 3, 3},
      {"E+B flag raises the kind", false, kKindE, 1, kKindEB, 6032140u, kKindEB, 0, 6},
      {"eh3d reads six", false, kKindEB, 0, kKindEB, 6032140u, kKindEB, 0, 6},
      {"flag 0 over six records reads E only", false, kKindE, 0, kKindEB, 6032140u, kKindE, 0, 3},
      {"RF table", true, kKindEB, 7, kKindEB, 6032140u, kKindEB, 0, 6},
  };
  for (const auto& c : cases) {
    TableRun run;
    Table3DLayout l = layout();
    l.head_1 = 3.5;
    l.head_2 = 1.25;
    l.head_int = c.flag;
    const std::string name = c.rf ? "eh_MWS.#07" : "eh_EMS.#07";
    write_table3d(run->units, name, l, c.written, quadratic_field());
    EXPECT_EQ(std::filesystem::file_size(run.path(name)), c.bytes) << c.what;
    run->state.table_kind = c.kind;
    if (c.rf)
      read_eh_MWS(*run, 7);
    else
      read_eh_EMS(*run, 7);
    EXPECT_EQ(run->state.table_kind, c.kind_after) << c.what;
    const Table3D& t = *run->field_tables.field3d;
    EXPECT_EQ(t.first_comp, c.first) << c.what;
    EXPECT_EQ(t.ncomp, c.count) << c.what;
    EXPECT_EQ(t.x, l.x);
    EXPECT_EQ(t.z, l.z);
    expect_nodes(t, l, c.first, c.count);
    if (c.rf) {
      EXPECT_EQ(run->tables.APER[7], 1.25);
      EXPECT_EQ(run->tables.NCELLS[7], 7);
    }
  }
}

TEST(FieldTableFiles, HeaderBytesAsWrittenByHand) {
  TableRun run;
  Table3DLayout l = layout({1, 0, 1});
  l.head_1 = 0.5;
  l.head_2 = -2.0;
  l.head_int = 3;
  write_table3d(run->units, "eh_MWS.#01", l, kKindEB, quadratic_field());
  const std::string bytes = testing::read_file(run.path("eh_MWS.#01")).substr(0, 48);
  // Record 1: marker 20, two little-endian doubles, an integer, marker 20;
  // record 2: marker 12, three integers, marker 12.
  std::string want;
  auto i32 = [&](std::int32_t v) {
    for (int k = 0; k < 4; ++k) want.push_back(static_cast<char>((static_cast<std::uint32_t>(v) >> (8 * k)) & 0xff));
  };
  auto f64 = [&](double v) {
    const auto u = std::bit_cast<std::uint64_t>(v);
    for (int k = 0; k < 8; ++k) want.push_back(static_cast<char>((u >> (8 * k)) & 0xff));
  };
  i32(20), f64(0.5), f64(-2.0), i32(3), i32(20);
  i32(12), i32(1), i32(0), i32(1), i32(12);
  EXPECT_EQ(bytes, want);
  EXPECT_EQ(want.substr(28, 4), std::string("\x0c\x00\x00\x00", 4));
}

TEST(FieldTableFiles, RfHeaderSetsApertureAndCellsAtEveryLoad) {
  TableRun run;
  Table3DLayout l = layout();
  l.head_2 = 1.75;
  l.head_int = 4;
  write_table3d(run->units, "eh_MWS.#12", l, kKindEB, quadratic_field());
  for (int pass = 0; pass < 3; ++pass) {
    run->tables.APER[12] = 9.0;  // as velmo.dat gave it
    run->tables.NCELLS[12] = 0;
    read_eh_MWS(*run, 12);
    EXPECT_EQ(run->tables.APER[12], 1.75) << pass;
    EXPECT_EQ(run->tables.NCELLS[12], 4) << pass;
  }
  EXPECT_EQ(run->field_tables.disk_reads, 1);
}

TEST(FieldTableFiles, TableDirectoryPrefix) {
  TableRun run;
  std::filesystem::create_directory(run.path("t"));
  write_table3d(run->units, "t/eh_EMS.#03", layout(), kKindE, quadratic_field());
  write_table3d(run->units, "eh_EMS.#03", layout(), kKindE, analytic::uniform({1, 2, 3}, {0, 0, 0}));
  const std::string dir = (run.tmp.path() / "t").string() + "/";
  struct Case {
    std::string table_dir;
    bool from_subdir;
  } cases[] = {
      {"  " + dir + "  ", true},
      {"", false},
      {"      ", false},
      {"x", false},
      {"   /   ", false},
  };
  for (const auto& c : cases) {
    run->tables.TABLE_DIR = c.table_dir;
    run->state.table_kind = kKindE;
    read_eh_EMS(*run, 3);
    const Table3D& t = *run->field_tables.field3d;
    EXPECT_EQ(t.node(0, 0, 0, 0) == 1.0, !c.from_subdir) << "'" << c.table_dir << "'";
  }
  // The whole TABLE_DIR counts, however long: a directory of 103
  // characters holds the table, and a decoy stands where the first 65 of
  // them (as a file-name prefix) would lead.
  const std::string deep = "t/" + std::string(100, 'L') + "/";
  std::filesystem::create_directory(run.path(deep));
  write_table3d(run->units, deep + "eh_EMS.#03", layout(), kKindE, quadratic_field());
  write_table3d(run->units, deep.substr(0, 65) + "eh_EMS.#03", layout(), kKindE,
                analytic::uniform({1, 2, 3}, {0, 0, 0}));
  run->tables.TABLE_DIR = " " + deep + "   ";
  EXPECT_EQ(table_file_name(*run, "eh_EMS.#", 3), deep + "eh_EMS.#03");
  EXPECT_EQ(table_dir_name(std::string(65, 'd') + "/more/", "eh_EMS.#03"),
            std::string(65, 'd') + "/more/eh_EMS.#03");
  run->state.table_kind = kKindE;
  read_eh_EMS(*run, 3);
  expect_nodes(*run->field_tables.field3d, layout(), 0, 3);
}

TEST(FieldTableFiles, TextTableSetsAxialModeAndFillsSlotOne) {
  TableRun run;
  write_2dtable(run->units, "eh_EMS.#05", "nr", 4, 5, " r z Er Ez", 0.0, 0.5, 0.0, 1.0,
                [](double u, double z) { return std::pair<double, double>{u, z}; });
  // The word is found in any case.
  std::string text = testing::read_file(run.path("eh_EMS.#05"));
  text.replace(0, 7, "2DTABLE");
  testing::write_file(run.path("eh_EMS.#05"), text);
  // Another element type would take its field from the last 3-D table.
  run->state.itype = 15;
  run->state.ipos = 8;
  run->elements.elem_name[8] = "eq3d";
  const std::string msg = fatal_text([&] { read_eh_EMS(*run, 5); });
  EXPECT_NE(msg.find("deck and einz"), std::string::npos) << msg;
  run->state.itype = 16;  // einz
  run->state.IAXIAL = 0;
  run->state.table_kind = kKindE;
  read_eh_EMS(*run, 5);
  EXPECT_EQ(run->state.IAXIAL, 1);
  ASSERT_TRUE(run->field_tables.table2d[1]);
  EXPECT_EQ(run->field_tables.table2d[1]->nu, 4);
  EXPECT_FALSE(run->field_tables.field3d);
  // A second load of the same file from the cache has the same effects.
  run->state.IAXIAL = 0;
  run->field_tables.table2d[1].reset();
  read_eh_EMS(*run, 5);
  EXPECT_EQ(run->state.IAXIAL, 1);
  EXPECT_TRUE(run->field_tables.table2d[1]);
  EXPECT_EQ(run->field_tables.disk_reads, 1);
}

TEST(FieldTableCache, OneReadPerFileAndAReplacedFileIsReadAgain) {
  TableRun run;
  write_table3d(run->units, "eh_EMS.#09", layout(), kKindE, analytic::uniform({1, 0, 0}, {0, 0, 0}));
  for (int element = 0; element < 50; ++element) {
    run->state.table_kind = kKindE;
    read_eh_EMS(*run, 9);
  }
  EXPECT_EQ(run->field_tables.disk_reads, 1);
  EXPECT_EQ(run->field_tables.bytes_read, 3017116);
  const auto first = run->field_tables.field3d;
  // Another kind read from the same file is another table.
  run->state.table_kind = kKindB;
  write_table3d(run->units, "eh_EMS.#09", layout(), kKindEB, analytic::uniform({2, 0, 0}, {0, 5, 0}));
  std::filesystem::last_write_time(run.path("eh_EMS.#09"),
                                   std::filesystem::last_write_time(run.path("eh_EMS.#09")) + std::chrono::seconds(5));
  run->state.table_kind = kKindE;
  read_eh_EMS(*run, 9);
  EXPECT_EQ(run->field_tables.disk_reads, 2);
  EXPECT_EQ(run->field_tables.field3d->node(0, 3, 3, 3), 2.0);
  EXPECT_EQ(first->node(0, 3, 3, 3), 1.0);  // an element holding the old table keeps it intact
}

TEST(FieldTableCache, ATypeNumberNamesItsOwnTable) {
  TableRun run;
  write_table3d(run->units, "eh_EMS.#01", layout(), kKindE, analytic::uniform({1, 0, 0}, {0, 0, 0}));
  write_table3d(run->units, "eh_EMS.#02", layout(), kKindE, analytic::uniform({2, 0, 0}, {0, 0, 0}));
  const int uds = 22;
  EXPECT_FALSE(recall_type_table(*run, uds, 1));
  run->state.table_kind = kKindE;
  read_eh_EMS(*run, 1);
  remember_type_table(*run, uds, 1);
  EXPECT_EQ(run->type_rec.table_cache[uds], 1);
  read_eh_EMS(*run, 2);  // another element type loads another table
  EXPECT_EQ(run->field_tables.field3d->node(0, 0, 0, 0), 2.0);
  EXPECT_TRUE(recall_type_table(*run, uds, 1));
  EXPECT_EQ(run->field_tables.field3d->node(0, 0, 0, 0), 1.0);
  EXPECT_FALSE(recall_type_table(*run, uds, 2));
  EXPECT_FALSE(recall_type_table(*run, uds, 0));
  // A solenoid table is prepared for its element's length: the number
  // names it only for that length, and each length is its own table.
  const int sol = 2;
  write_solenoid_table(run->units, "solenoid.#03", {1.0, 2.0, 3.0, 2.0, 1.0});
  read_solenoid_table(*run, 10.0, 3);
  remember_type_table(*run, sol, 3, 10.0);
  const auto ten = run->field_tables.axis_table;
  read_solenoid_table(*run, 12.0, 3);
  EXPECT_NE(run->field_tables.axis_table, ten);
  EXPECT_EQ(run->field_tables.axis_table->L, 12.0);
  EXPECT_FALSE(recall_type_table(*run, sol, 3, 12.0));
  EXPECT_TRUE(recall_type_table(*run, sol, 3, 10.0));
  EXPECT_EQ(run->field_tables.axis_table, ten);
  EXPECT_EQ(run->field_tables.disk_reads, 4);  // two 3-D files, the solenoid file once per length
}

// A particle pushed through an eq3d-like element over the current field3d:
// its final state.
std::array<double, 6> push_through(Sim& s) {
  s.state.itype = 15;
  s.ref.elem_len = 20.0;
  s.ref.field2 = 1.0;
  const FieldAt<StaticTableSource> field{static_table_source(s)};
  double x = 0.3, xp = 0.01, y = -0.2, yp = 0.0, ph = 0.0, beta = 0.05, z = 0.0, qa = 0.25;
  const SlotView v{&x, &xp, &y, &yp, &ph, &beta, &z, &qa};
  for (int k = 0; k < 40; ++k) push_slot_z(field, v, 0, 0.5, 10.0);
  return {x, xp, y, yp, ph, beta};
}

TEST(FieldTableCache, FiftyElementsOverTwoPassesReadTheirTableOnce) {
  const FieldFunction f = analytic::electric_quadrupole(3.0);
  TableRun shared, copies;
  write_table3d(shared->units, "eh_EMS.#01", layout(), kKindE, f);
  for (int n = 1; n <= 50; ++n) write_table3d(copies->units, fmt::format("eh_EMS.#{:02d}", n), layout(), kKindE, f);
  for (int pass = 0; pass < 2; ++pass)
    for (int n = 1; n <= 50; ++n) {
      shared->state.table_kind = copies->state.table_kind = kKindE;
      read_eh_EMS(*shared, 1);
      read_eh_EMS(*copies, n);
      EXPECT_EQ(push_through(*shared), push_through(*copies)) << pass << " " << n;
    }
  EXPECT_EQ(shared->field_tables.disk_reads, 1);
  EXPECT_EQ(shared->field_tables.bytes_read, 3017116);
  EXPECT_EQ(copies->field_tables.disk_reads, 50);
}

// Writes the records of a 3-D file by hand, so a test can break one.
struct RawTable {
  std::vector<RecordOut> records;
  explicit RawTable(int components, std::int32_t flag = 0) {
    const Table3DLayout l = layout();
    records.push_back(RecordOut().put(0.0).put(1.0).put(flag));
    records.push_back(RecordOut().put(std::span<const std::int32_t>(l.sym)));
    records.push_back(RecordOut().put(std::span<const double>(l.x)));
    records.push_back(RecordOut().put(std::span<const double>(l.y)));
    records.push_back(RecordOut().put(std::span<const double>(l.z)));
    const std::vector<double> plane(kTableNodes, 0.5);
    for (int c = 0; c < components; ++c) records.push_back(RecordOut().put(std::span<const double>(plane)));
    records.push_back(RecordOut().put(std::int32_t{0}));
  }
  void write(const Units& units, const std::string& name) const {
    UnformattedOut out(units, name);
    for (const auto& r : records) out.write(r);
    out.close();
  }
};

TEST(FieldTableFiles, BrokenFilesStopNamingFileAndRecord) {
  struct Case {
    const char* what;
    std::function<void(TableRun&)> make;
    std::function<void(Sim&)> read;
    std::vector<std::string> expect;  // parts of the first message line
  } cases[] = {
      {"missing table", [](TableRun&) {}, [](ControlContext& s) { read_eh_EMS(s, 4); }, {"eh_EMS.#04"}},
      {"missing RF table", [](TableRun&) {}, [](ControlContext& s) { read_eh_MWS(s, 4); }, {"eh_MWS.#04"}},
      {"short component record",
       [](TableRun& r) {
         RawTable t(3);
         t.records[6] = RecordOut().put(std::span<const double>(std::vector<double>(100, 0.0)));
         t.write(r->units, "eh_EMS.#04");
       },
       [](ControlContext& s) { read_eh_EMS(s, 4); }, {"eh_EMS.#04", "record 7"}},
      {"missing final integer",
       [](TableRun& r) {
         RawTable t(3);
         t.records.pop_back();
         t.write(r->units, "eh_EMS.#04");
       },
       [](ControlContext& s) { read_eh_EMS(s, 4); }, {"eh_EMS.#04", "record 9", "end of file"}},
      {"flag 1 on a file of E only",
       [](TableRun& r) { RawTable(3, 1).write(r->units, "eh_EMS.#04"); },
       [](ControlContext& s) { read_eh_EMS(s, 4); }, {"eh_EMS.#04", "record 9"}},
      {"broken marker",
       [](TableRun& r) {
         RawTable(3).write(r->units, "eh_EMS.#04");
         std::string b = testing::read_file(r.path("eh_EMS.#04"));
         b[24] = 0x15;  // closing marker of record 1
         testing::write_file(r.path("eh_EMS.#04"), b);
       },
       [](ControlContext& s) { read_eh_EMS(s, 4); }, {"eh_EMS.#04", "record 1", "length markers differ"}},
      {"number outside 0..99", [](TableRun&) {}, [](ControlContext& s) { read_eh_EMS(s, 100); }, {"eh_EMS.#", "100"}},
      {"mirrored table of E and B",
       [](TableRun& r) {
         write_table3d(r->units, "eh_EMS.#04", layout({1, 0, 0}), kKindEB, quadratic_field());
       },
       [](ControlContext& s) {
         s.state.table_kind = kKindEB;
         read_eh_EMS(s, 4);
       },
       {"eh_EMS.#04", "record 2", "1 0 0"}},
      {"2-D slot 3", [](TableRun&) {}, [](ControlContext& s) { read_2Dtable(s, 1, 3); }, {"slot 3"}},
  };
  for (const auto& c : cases) {
    TableRun run;
    c.make(run);
    run->state.table_kind = kKindE;
    const std::string msg = fatal_text([&] { c.read(*run); });
    for (const auto& part : c.expect) EXPECT_NE(msg.find(part), std::string::npos) << c.what << ": " << msg;
    EXPECT_FALSE(run->field_tables.field3d) << c.what;
  }
  // A missing table is named, never created.
  TableRun run;
  EXPECT_THROW(read_eh_EMS(*run, 4), FatalStop);
  EXPECT_FALSE(run.exists("eh_EMS.#04"));
}

// Every line of the stop that ends f, joined by '|'; empty without a stop.
template <class F>
std::string stop_lines(F&& f) {
  std::string all;
  try {
    f();
  } catch (const FatalStop& s) {
    for (const auto& l : s.lines()) all += l + "|";
  }
  return all;
}

// The offset in the file of value `index` (8-byte reals) of record
// `record` (1-based), found by walking the length markers.
std::size_t value_offset(const std::string& bytes, int record, std::size_t index) {
  std::size_t pos = 0;
  for (int r = 1; r < record; ++r) {
    std::int32_t len = 0;
    std::memcpy(&len, bytes.data() + pos, 4);
    pos += static_cast<std::size_t>(len) + 8;
  }
  return pos + 4 + 8 * index;
}

// Replaces one real of a table file.
void patch_real(const std::filesystem::path& file, int record, std::size_t index, double v) {
  std::string b = testing::read_file(file);
  const std::size_t at = value_offset(b, record, index);
  std::memcpy(b.data() + at, &v, 8);
  testing::write_file(file, b);
}

std::size_t node_index(int i, int j, int k) { return (static_cast<std::size_t>(k) * kTableNy + j) * kTableNx + i; }

// One damaged number of a 3-D table per row: the table of the cavity
// example (a Gaussian gap, |x|, |y| <= 2 cm, |dz| <= 5 cm) or a static lens
// table, one real replaced; the stop names the file, the record and the
// value, the table never becomes current.
TEST(FieldTableFiles, DamagedNodesAndValuesAreRefused) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  enum Reader { mws, ems, ebfld };
  struct Case {
    const char* what;
    Reader reader;
    int record;         // 3 x, 4 y, 5 z nodes; 6.. components
    std::size_t index;  // node number (0-based) or node_index(i, j, k)
    double value;
    std::vector<std::string> words;
  } cases[] = {
      // x_rms 0.689 cm instead of 0.235 cm with the first node moved out.
      {"first x node -2 -> -10", mws, 3, 0, -10.0, {"eh_MWS.#01 record 3", "x node 1 = -10 cm should lie at -2", "spaced 0.166667 cm"}},
      // No acceleration: the gap seen as 1e300 cm long.
      {"first z node -> -1e300", mws, 5, 0, -1e300, {"eh_MWS.#01 record 5", "z node 1 = -1e+300", "within +-10000 cm"}},
      {"NaN in a late y node", mws, 4, 19, nan, {"record 4", "y node 20 = nan"}},
      {"Inf as the last x node", mws, 3, 24, inf, {"record 3", "x node 25 = inf"}},
      {"z node behind its neighbour", mws, 5, 100, -0.1, {"record 5", "z node 101 = -0.1", "does not exceed node 100"}},
      {"a z node off by 1e-4 of the spacing", mws, 5, 150, 2.5 + 5e-6, {"record 5", "z node 151 = 2.500005", "should lie at"}},
      {"NaN on the axis", mws, 8, node_index(12, 12, 100), nan,
       {"record 8", "Ez at node (13, 13, 101) (x = 0 cm, y = 0 cm, z = 0 cm) is nan"}},
      {"NaN far from the beam", mws, 6, node_index(0, 24, 0), nan, {"record 6", "Ex at node (1, 25, 1)", "nan"}},
      {"1e300 in Bz", mws, 11, node_index(3, 4, 200), 1e300, {"record 11", "Bz at node (4, 5, 201)", "1e+300"}},
      {"static table, x node NaN", ems, 3, 7, nan, {"eh_EMS.#01 record 3", "x node 8 = nan"}},
      {"static table, Ey infinite", ems, 7, node_index(24, 24, 200), -inf, {"eh_EMS.#01 record 7", "Ey", "-inf"}},
      {"ebfld table, z node", ebfld, 5, 3, 1e6, {"eh_EMS.#01 record 5", "z node 4 = 1000000 cm"}},
      // The RF header's aperture radius replaces APER(1): velmo.dat's range.
      {"RF aperture radius NaN", mws, 1, 1, nan, {"eh_MWS.#01 record 1: aperture radius nan cm", "APER(1)"}},
      {"RF aperture radius negative", mws, 1, 1, -2.0, {"eh_MWS.#01 record 1: aperture radius -2 cm"}},
      {"RF aperture radius 1e200", mws, 1, 1, 1e200, {"aperture radius 1e+200 cm", "[0, 10000] cm"}},
  };
  for (const auto& c : cases) {
    TableRun run;
    const std::string name = c.reader == mws ? "eh_MWS.#01" : "eh_EMS.#01";
    Table3DLayout l = table_layout(2.0, 2.0, 5.0, {0, 0, 0});
    l.head_2 = 2.0;
    l.head_int = 1;
    write_table3d(run->units, name, l, c.reader == ems ? kKindE : kKindEB, analytic::gaussian_gap(50000.0, 1.0));
    patch_real(run.path(name), c.record, c.index, c.value);
    run->state.table_kind = kKindE;
    const double aper = run->tables.APER[1];
    std::string msg;
    if (c.reader == mws) msg = stop_lines([&] { read_eh_MWS(*run, 1); });
    if (c.reader == ems) msg = stop_lines([&] { read_eh_EMS(*run, 1); });
    if (c.reader == ebfld) msg = stop_lines([&] { read_ebfld_table(*run, -1); });
    for (const auto& w : c.words) EXPECT_NE(msg.find(w), std::string::npos) << c.what << ": " << msg;
    EXPECT_FALSE(run->field_tables.field3d) << c.what;
    EXPECT_EQ(run->tables.APER[1], aper) << c.what;
  }
  // The cell count of the header replaces NCELLS(1): 0 .. 1e6.
  TableRun run;
  Table3DLayout l = table_layout(2.0, 2.0, 5.0, {0, 0, 0});
  l.head_2 = 2.0;
  l.head_int = -3;
  write_table3d(run->units, "eh_MWS.#01", l, kKindEB, analytic::gaussian_gap(50000.0, 1.0));
  const std::string msg = stop_lines([&] { read_eh_MWS(*run, 1); });
  EXPECT_NE(msg.find("eh_MWS.#01 record 1: -3 cells|"), std::string::npos) << msg;
  EXPECT_NE(msg.find("NCELLS(1)"), std::string::npos) << msg;
}

// Grids scaled by large and small factors: the nodes stay equally spaced,
// only the documented extent (|node| <= 1e4 cm) and least spacing (1e-6
// cm) refuse them; a grid just inside both is read.
TEST(FieldTableFiles, GridExtentAndSpacingBounds) {
  struct Case {
    double xmax;  // x nodes -xmax .. xmax in 24 steps, cm
    bool accepted;
    const char* words;
  } cases[] = {
      {2e200, false, "x node 1 = -2e+200 cm is not a finite coordinate within +-10000 cm"},
      {1e4, true, ""},
      {1e4 * (1.0 + 1e-15), false, "x node 1"},
      {2e-200, false, "x node 2 = "},
      {12.1e-6, true, ""},  // spacing 1.008e-6 cm
      {11.9e-6, false, "least spacing of 1e-06 cm"},
  };
  for (const auto& c : cases) {
    TableRun run;
    write_table3d(run->units, "eh_MWS.#02", table_layout(c.xmax, 2.0, 5.0, {0, 0, 0}), kKindEB, quadratic_field());
    if (c.accepted) {
      read_eh_MWS(*run, 2);
      EXPECT_DOUBLE_EQ(run->field_tables.field3d->x[24], c.xmax) << c.xmax;
    } else {
      const std::string msg = stop_lines([&] { read_eh_MWS(*run, 2); });
      EXPECT_NE(msg.find(c.words), std::string::npos) << c.xmax << ": " << msg;
    }
  }
}

// The node tolerance against the interpolation's own grid node_1 + (k - 1) h:
// nodes as make_field_table writes them pass for awkward spacings; a node
// 0.9e-6 of its coordinate off passes, 1.1e-6 off is refused, on either
// side.
TEST(FieldTableFiles, NodeToleranceAgainstTheUniformGrid) {
  for (double xmax : {1.0 / 3.0, 7.77, 123.456, 9999.0}) {
    const Table3DLayout l = table_layout(xmax, xmax, xmax, {0, 0, 0});
    EXPECT_FALSE(grid_fault(l.x.data(), kTableNx)) << xmax;
    EXPECT_FALSE(grid_fault(l.z.data(), kTableNz)) << xmax;
  }
  std::array<double, 11> nodes{};
  for (int k = 0; k < 11; ++k) nodes[k] = 0.25 * k;  // h = 0.25 cm, |node| <= 2.5 cm: 2.5e-6 cm tolerance at the end
  for (double off : {-1.1e-6, -0.9e-6, 0.9e-6, 1.1e-6}) {
    auto n = nodes;
    n[10] += off * 2.5;
    const GridFault f = grid_fault(n.data(), 11);
    EXPECT_EQ(static_cast<bool>(f), std::abs(off) > 1e-6) << off;
    if (f) {
      EXPECT_EQ(f.node, 10);
      EXPECT_EQ(f.value, n[10]);
    }
  }
}

// The records after the components: exactly the closing integer. A doubled
// component record would otherwise shift the components silently.
TEST(FieldTableFiles, ComponentRecordsMatchTheKind) {
  struct Case {
    const char* what;
    bool rf;
    int kind;  // table_kind the element set
    std::function<RawTable()> make;
    std::vector<std::string> words;  // empty: read without a stop
  } cases[] = {
      {"RF table with Ex doubled", true, kKindEB,
       [] {
         RawTable t(6);
         t.records.insert(t.records.begin() + 5, t.records[5]);
         return t;
       },
       {"eh_MWS.#03 record 12", "1005000 bytes where the closing integer"}},
      {"E table with Ex doubled", false, kKindE,
       [] {
         RawTable t(3);
         t.records.insert(t.records.begin() + 5, t.records[5]);
         return t;
       },
       {"eh_EMS.#03 record 10", "six component records"}},
      {"B table read over a file of E and B", false, kKindB, [] { return RawTable(6); },
       {"eh_EMS.#03 record 9", "records 6 to 8 are E"}},
      {"E table read over a file of E and B", false, kKindE, [] { return RawTable(6); }, {}},
      {"a record after the closing integer", false, kKindE,
       [] {
         RawTable t(3);
         t.records.push_back(RecordOut().put(std::int32_t{0}));
         return t;
       },
       {"eh_EMS.#03", "data after the closing record 9"}},
      {"closing record of 8 bytes", true, kKindEB,
       [] {
         RawTable t(6);
         t.records.back() = RecordOut().put(1.0);
         return t;
       },
       {"eh_MWS.#03 record 12", "8 bytes where the closing integer"}},
  };
  for (const auto& c : cases) {
    TableRun run;
    c.make().write(run->units, c.rf ? "eh_MWS.#03" : "eh_EMS.#03");
    run->state.table_kind = c.kind;
    auto read = [&] { c.rf ? read_eh_MWS(*run, 3) : read_eh_EMS(*run, 3); };
    if (c.words.empty()) {
      read();
      EXPECT_EQ(run->field_tables.field3d->node(0, 1, 2, 3), 0.5) << c.what;
      continue;
    }
    const std::string msg = stop_lines(read);
    for (const auto& w : c.words) EXPECT_NE(msg.find(w), std::string::npos) << c.what << ": " << msg;
    EXPECT_FALSE(run->field_tables.field3d) << c.what;
  }
}

}  // namespace
}  // namespace linac
