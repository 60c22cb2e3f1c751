// Opening failures of every file reader and writer: one wording for all, the
// file named as the run gave it, and no file left behind by a failed read.
#include "platform/units.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "platform/freeformat.hpp"
#include "platform/namelist.hpp"
#include "platform/unformatted.hpp"
#include "platform/viewer_input.hpp"
#include "platform/fatal.hpp"
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

// ---------------------------------------------------------------- line bound

class LineBound : public linac::testing::ScratchUnitsTest {};

TEST_F(LineBound, LinesUpToTheBoundAreReadAndLongerOnesStopNamingFileLineAndBound) {
  const std::string at_bound(kMaxLineBytes, 'x');
  struct Case {
    const char* what;
    std::string text;
    std::vector<std::string> lines;  // read back; empty: the read stops
    std::string message;
  } cases[] = {
      {"line of exactly the bound", "a\n" + at_bound + "\nb", {"a", at_bound, "b"}, ""},
      {"line end CR LF, last line without end", "a\r\n\r\nc", {"a", "", "c"}, ""},
      {"one byte beyond the bound on line 2", "a\n" + at_bound + "y\n", {},
       " input error in t.dat line 2: the line is longer than 1048576 bytes"},
      {"4 MiB without a line end", std::string(4 * kMaxLineBytes, '\0'), {},
       " input error in t.dat line 1: the line is longer than 1048576 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    linac::testing::write_file(tmp_ / "t.dat", c.text);
    std::vector<std::string> got;
    const std::string msg = linac::testing::fatal_text([&] {
      TextIn in(units_, "t.dat");
      std::string line;
      while (in.next_line(line)) got.push_back(line);
    });
    if (c.message.empty()) {
      EXPECT_EQ(msg, "<no stop>");
      EXPECT_EQ(got, c.lines);
    } else {
      EXPECT_EQ(msg.rfind(c.message, 0), 0u) << msg.substr(0, 200);
    }
  }
}

// A device that never ends a line: every reader stops at the bound, holding
// at most the bound in memory, instead of reading on without end.
TEST_F(LineBound, ReadersOfAnEndlessInputStop) {
  if (!std::filesystem::exists("/dev/zero")) GTEST_SKIP() << "no /dev/zero";
  const std::string bound = "the line is longer than 1048576 bytes";
  const std::vector<std::pair<const char*, std::function<void()>>> readers = {
      {"text", [&] { TextIn in(units_, "/dev/zero"); std::string l; while (in.next_line(l)) {} }},
      {"free format", [&] { FreeStream in(units_, "/dev/zero"); (void)in.read_real(); }},
      {"namelist", [&] { NamelistReader in(units_, "/dev/zero"); }},
  };
  for (const auto& [what, read] : readers) {
    SCOPED_TRACE(what);
    const std::string msg = fatal_message(read);
    EXPECT_NE(msg.find(" input error in /dev/zero line 1: " + bound), std::string::npos) << msg;
  }
  // The step viewer's typed answers are bounded alike.
  std::istringstream endless(std::string(kMaxLineBytes + 1, 'k'));
  ViewerInput keys(endless, true);
  EXPECT_NE(fatal_message([&] { (void)keys.read_line(""); }).find("standard input line 1: " + bound),
            std::string::npos);
}

// ---------------------------------------------------------------- file names

TEST_F(FileOpening, NamesWithAControlCharacterAreRefusedBeforeTheSystemSeesThem) {
  linac::testing::write_file(tmp_ / "secret", "first line of another file\n");
  const std::string nul_name = std::string("secret") + '\0' + "stripper.#01";
  struct Case {
    const char* what;
    std::string name;
    std::string message;
  } cases[] = {
      {"NUL", nul_name,
       " file name 'secret<0x00>stripper.#01' holds the control character 0x00 at position 7; file "
       "names take printable characters only"},
      {"line feed", "a\nb.dat", " file name 'a<0x0A>b.dat' holds the control character 0x0A at position 2"},
      {"DEL", "x.dat\x7f", " file name 'x.dat<0x7F>' holds the control character 0x7F at position 6"},
      {"tab", "\tx.dat", " file name '<0x09>x.dat' holds the control character 0x09 at position 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& open : std::vector<std::function<void()>>{
             [&] { TextIn in(units_, c.name); }, [&] { UnformattedIn in(units_, c.name); },
             [&] { TextOut out(units_, c.name); }, [&] { units_.open(23, c.name); }}) {
      const std::string msg = fatal_message(open);
      EXPECT_EQ(msg.rfind(c.message, 0), 0u) << msg;
      EXPECT_EQ(msg.find("first line"), std::string::npos) << msg;
    }
  }
  EXPECT_EQ(first_control_char("plain/name.dat"), std::string_view::npos);
  EXPECT_EQ(first_control_char(std::string_view("ab\0", 3)), 2u);
}

// ---------------------------------------------------------------- complete files

class CompleteFiles : public linac::testing::ScratchUnitsTest {
 protected:
  std::string content(const char* name) { return linac::testing::read_file(tmp_ / name); }
  bool exists(const std::string& name) { return std::filesystem::exists(tmp_ / name); }
  static RecordOut record(double v) { return RecordOut().put(v).put(std::int32_t{7}); }
};

// Closed, the file replaces the previous one and no temporary stays; a
// stop while writing (an exception leaving the handle's scope) leaves the
// previous complete file; a handle ending without close publishes as well.
TEST_F(CompleteFiles, PublishedOnCloseDiscardedOnAStop) {
  { UnformattedOut out(units_, "s.dat"); out.write(record(1.0)); out.close(); }
  const std::string first = content("s.dat");
  ASSERT_EQ(first.size(), 4u + 12u + 4u);
  EXPECT_FALSE(exists(pending_name("s.dat")));

  const std::string msg = fatal_message([&] {
    UnformattedOut out(units_, "s.dat");
    out.write(record(2.0));
    EXPECT_TRUE(exists(pending_name("s.dat")));
    EXPECT_EQ(content("s.dat"), first);  // nothing of the new file under its name yet
    fatal(" stopped while writing");
  });
  EXPECT_EQ(msg, " stopped while writing");
  EXPECT_EQ(content("s.dat"), first);
  EXPECT_FALSE(exists(pending_name("s.dat")));

  { UnformattedOut out(units_, "s.dat"); out.write(record(3.0)); }
  EXPECT_NE(content("s.dat"), first);
  EXPECT_EQ(content("s.dat").size(), first.size());
  EXPECT_FALSE(exists(pending_name("s.dat")));

  // A text file asked to be published when complete behaves alike; one
  // written as it goes shows its lines at once.
  { TextOut out(units_, "t.dat", Publish::when_complete); out.write("a"); out.write("b"); }
  EXPECT_EQ(content("t.dat"), "a\nb\n");
  (void)fatal_message([&] {
    TextOut out(units_, "t.dat", Publish::when_complete);
    out.write("c");
    fatal(" stop");
  });
  EXPECT_EQ(content("t.dat"), "a\nb\n");
  {
    TextOut out(units_, "u.dat");
    out.write("a");
    EXPECT_TRUE(exists("u.dat"));
  }
}

// SIGKILL between the writing and the rename: the name still holds the
// previous complete file (or, without one, nothing).
TEST_F(CompleteFiles, AKillBeforeTheRenameLeavesThePreviousFile) {
  for (const bool previous : {true, false}) {
    SCOPED_TRACE(previous ? "previous file" : "no previous file");
    std::filesystem::remove(tmp_ / "k.dat");
    if (previous) { UnformattedOut out(units_, "k.dat"); out.write(record(1.0)); out.close(); }
    const std::string before = previous ? content("k.dat") : std::string();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      try {
        UnformattedOut out(units_, "k.dat");
        for (int k = 0; k < 1000; ++k) out.write(record(k));
        raise(SIGKILL);
      } catch (...) {
      }
      _exit(1);  // a write that failed: the parent sees no SIGKILL
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_TRUE(exists(pending_name("k.dat")));  // the incomplete file, under its temporary name
    EXPECT_EQ(exists("k.dat"), previous);
    if (previous) {
      EXPECT_EQ(content("k.dat"), before);
    }
  }
}

}  // namespace
}  // namespace linac
