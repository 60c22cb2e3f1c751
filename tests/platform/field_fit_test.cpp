// Whether a number fits its output field, and the stop before a result line
// that would hold asterisks, Inf or NaN.
#include <gtest/gtest.h>

#include <cmath>
#include <iomanip>
#include <limits>
#include <string>
#include <vector>

#include "platform/fatal.hpp"
#include "platform/format.hpp"

namespace linac {
namespace {

// What the formatter itself writes: a number, or a field that is not one.
bool written_as_number(const std::string& field) {
  return field.find('*') == std::string::npos && field.find("Inf") == std::string::npos &&
         field.find("NaN") == std::string::npos;
}

// Values on both sides of an edge e: a few ulps, relative steps from 1e-15
// to 1e-3 (around the window where the check reads the rounded digits),
// and the decimal ties of the last place.
std::vector<double> around(double e) {
  std::vector<double> v;
  double up = e, down = e;
  for (int k = 0; k < 4; ++k) {
    v.push_back(up);
    v.push_back(down);
    up = std::nextafter(up, std::numeric_limits<double>::infinity());
    down = std::nextafter(down, -std::numeric_limits<double>::infinity());
  }
  for (double r : {1e-15, 1e-13, 1e-11, 1e-10, 1e-9, 2e-9, 1e-8, 1e-6, 1e-3}) {
    v.push_back(e * (1.0 + r));
    v.push_back(e * (1.0 - r));
  }
  return v;
}

// For each layout, the edge values of |x| where the written field runs out
// of columns: 10^p - 0.5 10^-d for F with p digits before the point (both
// signs), powers of ten, and the extremes of the doubles.
TEST(FieldFit, MisfitAgreesWithTheFormatterNearEachFieldsLimit) {
  const char* layouts[] = {"(F12.5)", "(F12.1)", "(F12.3)",   "(F12.7)",   "(F10.6)", "(F13.6)", "(F6.1)",
                           "(F4.1)",  "(F3.0)",  "(F2.0)",    "(F5.3)",    "(2PF10.3)", "(-2PF9.4)", "(E15.5)",
                           "(1PE12.5)", "(E10.5)", "(E11.5)", "(D9.2)",  "(I4)",      "(I7)",      "(I4.3)"};
  std::vector<double> edges = {0.0, 1.0, 0.5, 0.05, 1e-300, 5e-324, 1.7976931348623157e308, 1e15, 9.2e18,
                               1e19};
  for (int p = 0; p <= 12; ++p)
    for (int d = 0; d <= 7; ++d) edges.push_back(std::pow(10.0, p) - 0.5 * std::pow(10.0, -d));
  for (int p = -8; p <= 12; ++p) edges.push_back(std::pow(10.0, p));
  for (const char* text : layouts) {
    const FortranFormat f(text);
    for (double e : edges) {
      for (double a : around(e)) {
        for (double x : {a, -a}) {
          for (bool as_int : {false, true}) {
            const FmtItem item = as_int && std::fabs(x) < 2e9 ? FmtItem(static_cast<std::int32_t>(x)) : FmtItem(x);
            const FmtItem items[] = {item};
            const std::string field = f.write(items).at(0);
            const auto misfit = f.first_misfit(items);
            ASSERT_EQ(!misfit.has_value(), written_as_number(field))
                << text << " of " << std::setprecision(17) << x << " writes \"" << field << "\"";
            if (misfit) {
              EXPECT_EQ(misfit->item, 0u);
            }
          }
        }
      }
    }
  }
}

// In a layout with repeat groups and reversion, the misfit is the first
// item that is not written as a number, with the descriptor that edits it.
TEST(FieldFit, MisfitNamesTheItemAndItsDescriptorAcrossGroupsAndReversion) {
  const FortranFormat f("(I4,TR2,A5,2(TR1,F12.5,TR2),1PE10.3)");
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    std::vector<FmtItem> items;
    bool fits;
    std::size_t item;
    const char* descriptor;
  };
  const Case cases[] = {
      {{7, std::string_view("drift"), 1.0, -2.0, 3.0}, true, 0, ""},
      {{12345, std::string_view("drift"), 1.0, -2.0, 3.0}, false, 0, "I4"},
      {{7, std::string_view("drift"), 1.0, 1e6, 3.0}, false, 3, "F12.5"},
      {{7, std::string_view("drift"), 1.0, 2.0, nan}, false, 4, "1PE10.3"},
      {{7, std::string_view("drift"), 1e7, nan, 3.0}, false, 2, "F12.5"},
      // After reversion the format starts again from its last group, with
      // the scale factor 1P still in effect (x 10).
      {{7, std::string_view("drift"), 1.0, 2.0, 3.0, 4.0, -1e4}, false, 6, "1PF12.5"},
      {{7, std::string_view("drift"), 1.0, 2.0, 3.0, 4.0, -9999.99999}, true, 0, ""},
      {{7, std::string_view("a name longer than five"), 1.0}, true, 0, ""},
  };
  for (const Case& c : cases) {
    const auto misfit = f.first_misfit(c.items);
    ASSERT_EQ(!misfit.has_value(), c.fits) << c.items.size();
    if (!misfit) continue;
    EXPECT_EQ(misfit->item, c.item);
    EXPECT_EQ(misfit->descriptor, c.descriptor);
  }
}

// The record a misfit stands in, counted as the write counts its records:
// a slash and the reversion of the format each start the next. For every
// case the record named holds the asterisks or the Inf/NaN, and the
// records before it hold none.
TEST(FieldFit, MisfitNamesTheRecordTheWriteStartsForIt) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* layout;
    std::vector<FmtItem> items;
    std::size_t record;
  };
  const Case cases[] = {
      {"(3F8.2)", {1.0, 2.0, 1e6}, 0},
      {"(3F8.2)", {1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, -1e6}, 2},
      {"(A4,F8.2/A4,F8.2/A4,F8.2)", {std::string_view("a"), 1.0, std::string_view("b"), 2.0,
                                     std::string_view("c"), inf}, 2},
      {"(I3,2(/F6.1))", {7, 1.0, 99999.0}, 2},
      // Reversion restarts at the last group: two items per record after the first.
      {"(I3,2(F6.1))", {7, 1.0, 2.0, 8, 3.0, -1e5}, 2},
      {"(2(I3,F6.1))", {7, 1.0, 1000, 2.0}, 0},
  };
  for (const Case& c : cases) {
    const FortranFormat f(c.layout);
    const auto misfit = f.first_misfit(c.items);
    ASSERT_TRUE(misfit.has_value()) << c.layout;
    EXPECT_EQ(misfit->record, c.record) << c.layout;
    const std::vector<std::string> recs = f.write(c.items);
    ASSERT_LT(misfit->record, recs.size()) << c.layout;
    const std::string& r = recs[misfit->record];
    EXPECT_TRUE(r.find('*') != std::string::npos || r.find("Inf") != std::string::npos) << c.layout << ": " << r;
    for (std::size_t k = 0; k < misfit->record; ++k) EXPECT_EQ(recs[k].find('*'), std::string::npos) << recs[k];
  }
}

// The misfit of a block built record by record counts from the block's
// first record; the first misfit of the block is kept.
TEST(FieldFit, BlockKeepsItsFirstMisfitAtItsRecord) {
  RecordBlock b;
  b.add_line("");
  b.add(FortranFormat("(2F6.1)"), {1.0, 2.0, 3.0, 4.0});
  EXPECT_FALSE(b.misfit().has_value());
  b.add(FortranFormat("(A4,F6.1)"), {std::string_view("x="), 1e7});
  b.add(FortranFormat("(F6.1)"), {std::numeric_limits<double>::quiet_NaN()});
  ASSERT_TRUE(b.misfit().has_value());
  EXPECT_EQ(b.misfit()->record, 3u);
  EXPECT_EQ(b.misfit()->column, "value 2");
  EXPECT_EQ(b.misfit()->value, "10000000");
  EXPECT_TRUE(b.misfit()->finite);
  EXPECT_EQ(b.records().size(), 5u);
  EXPECT_EQ(b.records()[3], "  x=******");
  const FieldFault f = misfit_at_line(*b.misfit(), "matrix.dat", 40 + b.misfit()->record, "element 2 (matrx)");
  EXPECT_EQ(f.lines.at(0), " matrix.dat line 43 (element 2 (matrx)): value 2 = 10000000 does not fit its field F6.1");
}

// The fault of a result line: file, element, column and value in the first
// message line; lines that fit have none.
TEST(FieldFit, ResultLineThatDoesNotFitIsNamedByFileElementColumnAndValue) {
  const FortranFormat f("(I4,TR2,A5,4(TR1,F12.5,TR2))");
  const std::string_view columns[] = {"n_el", "name", "dist[m]", "Energy[MeV/u]", "a_x", "b_x[cm/mrad]"};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double energy, beta;  // MeV/u, cm/mrad
    const char* message;  // empty: the line is written
  };
  const Case cases[] = {
      // A Twiss beta of a degenerate beam beyond F12.5 (at most 999999.99999).
      {1.0, 1774039.9508575408,
       " out.dat line of element 4 (quad): b_x[cm/mrad] = 1774039.9508575408 does not fit its field F12.5"},
      {1.0, 1e6, " out.dat line of element 4 (quad): b_x[cm/mrad] = 1000000 does not fit its field F12.5"},
      // The largest values that still fit: rounding to five decimals stays
      // below 10^6 (positive) and 10^5 (negative, the sign takes a column).
      {1.0, 999999.999994, ""},
      {-99999.999994, 0.5, ""},
      {1.0, 999999.999996,
       " out.dat line of element 4 (quad): b_x[cm/mrad] = 999999.999996 does not fit its field F12.5"},
      {-99999.999996, 0.5,
       " out.dat line of element 4 (quad): Energy[MeV/u] = -99999.999996 does not fit its field F12.5"},
      {-100000.0, 0.5,
       " out.dat line of element 4 (quad): Energy[MeV/u] = -100000 does not fit its field F12.5"},
      {1.0, nan, " out.dat line of element 4 (quad): b_x[cm/mrad] = nan is not a finite number"},
      {-inf, 0.5, " out.dat line of element 4 (quad): Energy[MeV/u] = -inf is not a finite number"},
      // Two bad values: the first one is named.
      {nan, 1e9, " out.dat line of element 4 (quad): Energy[MeV/u] = nan is not a finite number"},
  };
  for (const Case& c : cases) {
    const FmtItem items[] = {4, std::string_view("quad "), 0.3, c.energy, -0.5, c.beta};
    const auto fault = field_fault(f, items, "out.dat", "element 4 (quad)", columns);
    // What the line shows: asterisks or no number exactly when it is named.
    EXPECT_EQ(written_as_number(f.write(items).at(0)), !fault.has_value()) << c.message;
    if (!fault) {
      EXPECT_STREQ(c.message, "") << "no fault for " << c.energy << ", " << c.beta;
      continue;
    }
    ASSERT_EQ(fault->lines.size(), 2u);
    EXPECT_EQ(fault->lines[0], c.message);
    EXPECT_EQ(fault->finite, std::isfinite(c.energy) && std::isfinite(c.beta));
  }
  // A misfit beyond the named columns is named by its position.
  const FmtItem short_names[] = {4, std::string_view("quad"), 0.3, 1.0, 1e6, 1.0};
  const auto fault = field_fault(f, short_names, "out.dat", "element 4 (quad)", std::span(columns).first(3));
  ASSERT_TRUE(fault.has_value());
  EXPECT_EQ(fault->lines[0], " out.dat line of element 4 (quad): value 5 = 1000000 does not fit its field F12.5");
}

}  // namespace
}  // namespace linac
