// Opening failures of every file reader and writer: one wording for all, the
// file named as the run gave it, and no file left behind by a failed read.
#include "platform/units.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "platform/freeformat.hpp"
#include "platform/namelist.hpp"
#include "platform/unformatted.hpp"
#include "scratch_units.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using linac::testing::fatal_message;

class FileOpening : public linac::testing::ScratchUnitsTest {};

TEST_F(FileOpening, EveryReaderAndWriterNamesTheFileItCannotOpen) {
  Units& units = units_;
  // A writer cannot create a file in a directory that does not exist.
  const std::string unwritable = "no_such_dir/out.dat";
  struct Case {
    const char* what;
    std::function<void()> open;
    std::string message;
  } cases[] = {
      {"text in", [&] { TextIn in(units, "in.dat"); }, " file in.dat not found or not readable"},
      {"free format", [&] { FreeStream in(units, "in.dat"); }, " file in.dat not found or not readable"},
      {"namelist", [&] { NamelistReader in(units, "in.dat"); }, " file in.dat not found or not readable"},
      {"unformatted in", [&] { UnformattedIn in(units, "in.dat"); }, " file in.dat not found or not readable"},
      {"text out", [&] { TextOut out(units, unwritable); },
       " cannot open file no_such_dir/out.dat for writing"},
      {"unformatted out", [&] { UnformattedOut out(units, unwritable); },
       " cannot open file no_such_dir/out.dat for writing"},
      {"unit", [&] { units.open(21, unwritable); },
       " cannot open file no_such_dir/out.dat for writing (unit 21)"},
      {"unit, appending", [&] { units.open_append(22, unwritable); },
       " cannot open file no_such_dir/out.dat for writing (unit 22)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fatal_message(c.open), c.message) << c.what;
    EXPECT_FALSE(file_exists(units, "in.dat")) << c.what;
  }
  EXPECT_FALSE(units.is_open(21));
  EXPECT_FALSE(units.is_open(22));
}

}  // namespace
}  // namespace linac
