#include "platform/unformatted.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>

#include "platform/fatal.hpp"
#include "platform/units.hpp"
#include "scratch_units.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using linac::testing::read_file;
using linac::testing::write_file;

using linac::testing::fatal_message;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::string bytes(std::initializer_list<int> b) {
  std::string s;
  for (int c : b) s.push_back(static_cast<char>(c));
  return s;
}

class UnformattedTest : public linac::testing::ScratchUnitsTest {};

TEST_F(UnformattedTest, FramingIsLittleEndianLengthBeforeAndAfter) {
  {
    UnformattedOut f(units_, "s.dat");
    RecordOut r;
    r.put(std::int32_t{1}).put(std::int32_t{-2}).put(std::int32_t{0x01020304});
    r.put(1.0).put(-2.0);
    EXPECT_EQ(r.bytes().size(), 28u);
    f.write(r);
  }
  // IEEE 754 binary64: 1.0 = 0x3FF0000000000000, -2.0 = 0xC000000000000000.
  const std::string expect = bytes({28, 0, 0, 0,                                      // leading marker
                                    1, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 4, 3, 2, 1,   // three int32
                                    0, 0, 0, 0, 0, 0, 0xF0, 0x3F,                     // 1.0
                                    0, 0, 0, 0, 0, 0, 0, 0xC0,                        // -2.0
                                    28, 0, 0, 0});                                    // trailing marker
  const std::string got = read_file(tmp_ / "s.dat");
  EXPECT_EQ(got.size(), 4u + 28u + 4u);
  EXPECT_EQ(got, expect);
}

TEST_F(UnformattedTest, RecordSizesOnDisk) {
  // Each record costs its data plus 8 bytes of markers; a record of 7 reals,
  // 10 integers, 1 real, 4 integers, 2 reals and 12 integers holds 184 bytes.
  {
    UnformattedOut f(units_, "s.dat");
    f.write(RecordOut());  // an empty record
    RecordOut big;
    for (int k = 0; k < 7; ++k) big.put(1.0 * k);
    for (int k = 0; k < 10; ++k) big.put(std::int32_t{k});
    big.put(0.5);
    for (int k = 0; k < 4; ++k) big.put(std::int32_t{k});
    big.put(0.25).put(0.125);
    for (int k = 0; k < 12; ++k) big.put(std::int32_t{k});
    f.write(big);
  }
  const std::string got = read_file(tmp_ / "s.dat");
  ASSERT_EQ(got.size(), 8u + 184u + 8u);
  EXPECT_EQ(got.substr(0, 8), bytes({0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(got.substr(8, 4), bytes({184, 0, 0, 0}));
  EXPECT_EQ(got.substr(8 + 4 + 184, 4), bytes({184, 0, 0, 0}));

  UnformattedIn in(units_, "s.dat");
  EXPECT_EQ(in.read().bytes_left(), 0u);
  EXPECT_EQ(in.read().bytes_left(), 184u);
  EXPECT_TRUE(in.at_end());
}

TEST_F(UnformattedTest, RoundTripIsBitExact) {
  const std::array<double, 12> reals = {0.0,
                                        -0.0,
                                        std::numeric_limits<double>::denorm_min(),
                                        -std::numeric_limits<double>::denorm_min(),
                                        std::numeric_limits<double>::min() / 3.0,  // a denormal
                                        std::numeric_limits<double>::max(),
                                        std::numeric_limits<double>::lowest(),
                                        std::numeric_limits<double>::epsilon(),
                                        std::numeric_limits<double>::infinity(),
                                        -std::numeric_limits<double>::infinity(),
                                        3.141592653589793,
                                        -1.0 / 3.0};
  const std::array<std::int32_t, 5> ints = {0, -1, std::numeric_limits<std::int32_t>::min(),
                                            std::numeric_limits<std::int32_t>::max(), 166001};
  {
    UnformattedOut f(units_, "ini_dis.dat");
    f.write(RecordOut().put(std::span<const double>(reals)).put(std::span<const std::int32_t>(ints)));
    RecordOut mixed;
    for (std::size_t k = 0; k < ints.size(); ++k) mixed.put(reals[k]).put(ints[k]);
    f.write(mixed);
  }
  UnformattedIn in(units_, "ini_dis.dat");
  EXPECT_EQ(in.name(), "ini_dis.dat");
  {
    RecordIn r = in.read();
    std::array<double, 12> rb{};
    std::array<std::int32_t, 5> ib{};
    r.get(std::span<double>(rb));
    r.get(std::span<std::int32_t>(ib));
    for (std::size_t k = 0; k < reals.size(); ++k) EXPECT_TRUE(same_bits(rb[k], reals[k])) << k;
    EXPECT_EQ(ib, ints);
    EXPECT_EQ(r.bytes_left(), 0u);
  }
  {
    RecordIn r = in.read();
    for (std::size_t k = 0; k < ints.size(); ++k) {
      EXPECT_TRUE(same_bits(r.get_double(), reals[k])) << k;
      EXPECT_EQ(r.get_int(), ints[k]) << k;
    }
  }
  EXPECT_TRUE(in.at_end());
}

TEST_F(UnformattedTest, ReadsAHandMadeFile) {
  // Built byte by byte, so the reader is checked apart from the writer.
  write_file(tmp_ / "h.dat", bytes({12, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0, 0, 0, 0xF8, 0xBF, 12, 0, 0, 0}));
  UnformattedIn in(units_, "h.dat");
  RecordIn r = in.read();
  EXPECT_EQ(r.get_int(), 2147483647);
  EXPECT_EQ(r.get_double(), -1.5);  // 0xBFF8000000000000
}

TEST_F(UnformattedTest, FewerValuesSkipTheRestMoreValuesStop) {
  {
    UnformattedOut f(units_, "s.dat");
    f.write(RecordOut().put(std::int32_t{1}).put(std::int32_t{2}).put(3.0));
    f.write(RecordOut().put(std::int32_t{4}).put(5.0));
  }
  UnformattedIn in(units_, "s.dat");
  EXPECT_EQ(in.read().get_int(), 1);  // 2 and 3.0 are skipped
  RecordIn r = in.read();
  EXPECT_EQ(r.get_int(), 4);
  EXPECT_EQ(r.bytes_left(), 8u);
  EXPECT_EQ(r.get_double(), 5.0);
  EXPECT_EQ(fatal_message([&] { r.get_int(); }),
            " input error in s.dat record 2: an integer asked beyond the end of the record (it holds 12 bytes)");
  EXPECT_EQ(fatal_message([&] { r.get_double(); }),
            " input error in s.dat record 2: a real asked beyond the end of the record (it holds 12 bytes)");
  EXPECT_EQ(fatal_message([&] { in.read(); }), " input error in s.dat record 3: end of file");

  // A span that does not fit takes nothing from the record.
  UnformattedIn again(units_, "s.dat");
  RecordIn first = again.read();
  std::array<double, 3> three{};  // 24 bytes asked of 16
  EXPECT_EQ(fatal_message([&] { first.get(std::span<double>(three)); }),
            " input error in s.dat record 1: a real asked beyond the end of the record (it holds 16 bytes)");
  std::array<std::int32_t, 5> five{};
  EXPECT_NE(fatal_message([&] { first.get(std::span<std::int32_t>(five)); }).find("record 1"), std::string::npos);
  EXPECT_EQ(first.bytes_left(), 16u);
}

TEST_F(UnformattedTest, DamagedFilesStopWithTheFileName) {
  const std::string good = bytes({8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 8, 0, 0, 0});
  struct Case {
    std::string content;
    const char* message;
  };
  const Case cases[] = {
      {"", " input error in b.dat record 1: end of file"},
      {good.substr(0, 2), " input error in b.dat record 1: file truncated in the length marker"},
      {good.substr(0, 10), " input error in b.dat record 1: file truncated, the record should hold 8 bytes"},
      {good.substr(0, 14), " input error in b.dat record 1: file truncated in the closing length marker"},
      {bytes({8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0}),
       " input error in b.dat record 1: length markers differ (8 before, 9 after)"},
      {bytes({0xFC, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}), " input error in b.dat record 1: bad length marker -4"},
      // A huge marker in a short file: refused before anything that size is made.
      {bytes({0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0}),
       " input error in b.dat record 1: file truncated, the record should hold 2147483647 bytes"},
      {good + good.substr(0, 5), " input error in b.dat record 2: file truncated, the record should hold 8 bytes"},
  };
  for (const auto& c : cases) {
    write_file(tmp_ / "b.dat", c.content);
    UnformattedIn in(units_, "b.dat");
    std::string msg = fatal_message([&] {
      for (int k = 0; k < 3; ++k) in.read();
    });
    EXPECT_EQ(msg, c.message) << c.content.size();
  }
}

TEST_F(UnformattedTest, MissingFileStopsAndCreatesNothing) {
  const std::string msg = fatal_message([&] { UnformattedIn in(units_, "scratch.#07"); });
  EXPECT_EQ(msg, " file scratch.#07 not found or not readable");
  EXPECT_FALSE(file_exists(units_, "scratch.#07"));
}

TEST_F(UnformattedTest, WritingOverwritesAnOldFile) {
  write_file(tmp_ / "o.dat", std::string(100, 'x'));
  {
    UnformattedOut f(units_, "o.dat");
    f.write(RecordOut().put(std::int32_t{7}));
  }
  EXPECT_EQ(read_file(tmp_ / "o.dat"), bytes({4, 0, 0, 0, 7, 0, 0, 0, 4, 0, 0, 0}));
}

}  // namespace
}  // namespace linac
