#include "platform/namelist.hpp"

#include <gtest/gtest.h>

#include <array>
#include <sstream>

#include "platform/fatal.hpp"
#include "platform/units.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using linac::testing::TempDir;
using linac::testing::write_file;

using linac::testing::fatal_message;

// A cut-down set of run parameters, bound the way the main parameter file is.
struct Params {
  std::string table_dir = "";
  std::string work_dir = "empty";
  double win = 0.0, freqb = 0.0, qdesign = 0.0, adesign = 0.0, part = 0.995;
  std::array<double, 100> sfas{};  // 1..99
  std::array<std::int32_t, 7> npat{};
  std::array<double, 7> qq{}, amass{}, current{};
  std::int32_t nqtot = 0, iflag_fnal = 0;
  // INDEX
  std::int32_t igraph = 1, isrf = 0, iflag_dis = 1, iflag_corr = 0, nxgrd = 33, nzgrd = 65;
  // CORRECT
  std::int32_t monerr = 1;
  double partcorr = 1.0;
  // OTHER
  double a_axe = 0, b_axe = 0, c_axe = 0;
  std::int32_t n_of_table = 0;

  NamelistSchema tran() {
    NamelistSchema s("TRAN");
    s.add_text("TABLE_DIR", &table_dir, 256).add_text("WORK_DIR", &work_dir, 256);
    s.add("WIN", &win).add("FREQB", &freqb).add("QDESIGN", &qdesign).add("ADESIGN", &adesign).add("PART", &part);
    s.add("SFAS", &sfas[1], 99).add("NPAT", &npat[1], 6).add("QQ", &qq[1], 6).add("AMASS", &amass[1], 6);
    s.add("CURRENT", &current[1], 6).add("NQTOT", &nqtot).add("IFLAG_FNAL", &iflag_fnal);
    return s;
  }
  NamelistSchema index() {
    NamelistSchema s("index");  // the group's own name is case-blind too
    s.add("IGRAPH", &igraph).add("ISRF", &isrf).add("IFLAG_DIS", &iflag_dis).add("IFLAG_CORR", &iflag_corr);
    s.add("NXGRD", &nxgrd).add("NZGRD", &nzgrd).add("IFLAG_FNAL", &iflag_fnal);
    return s;
  }
  NamelistSchema correct() {
    NamelistSchema s("CORRECT");
    s.add("MONERR", &monerr).add("PARTCORR", &partcorr);
    return s;
  }
  NamelistSchema other() {
    NamelistSchema s("OTHER");
    s.add("A_AXE", &a_axe).add("B_AXE", &b_axe).add("C_AXE", &c_axe).add("N_OF_TABLE", &n_of_table);
    return s;
  }
};

const char* const kVelmo = R"(This run: a test lattice (free text before the groups is skipped)
! &TRAN in a comment is not a group
 &TRAN
   TABLE_DIR = '/data/tables/it''s/',   work_dir="w"
   win=1.0D6, FREQB = 1.01e8 QDESIGN=1 ADESIGN=4   ! blanks separate too
   NQTOT=3, NPAT = 100,
        200, 300,   ! the list goes on across lines
   QQ = 3*0.5, AMASS = 2*4, , 5
   CURRENT(2)=1.5d-3 2.5D-3
   SFAS(98) = 1, 2
   PART=,
   iflag_fnal=7
 /
Notes between the groups: ignored, even with a stray '/' or an apostrophe's quote.
&INDEX IGRAPH=0, ISRF=1,
  IFLAG_DIS=51, iflag_corr=2 NXGRD=+17 /
 &CORRECT MONERR=3, PARTCORR=0.25 &END
 $OTHER A_AXE=1.5 B_AXE=2.  c_axe=.5e1, N_OF_TABLE=-4 $END
)";

TEST(Namelist, ReadsAllFourGroupsOfAParameterFile) {
  Params p;
  NamelistReader r(kVelmo, "velmo.dat");
  r.read_group(p.tran());
  EXPECT_EQ(p.table_dir, "/data/tables/it's/");
  EXPECT_EQ(p.work_dir, "w");
  EXPECT_EQ(p.win, 1.0e6);
  EXPECT_EQ(p.freqb, 1.01e8);
  EXPECT_EQ(p.qdesign, 1.0);
  EXPECT_EQ(p.adesign, 4.0);
  EXPECT_EQ(p.nqtot, 3);
  EXPECT_EQ(p.npat, (std::array<std::int32_t, 7>{0, 100, 200, 300, 0, 0, 0}));
  EXPECT_EQ(p.qq, (std::array<double, 7>{0, 0.5, 0.5, 0.5, 0, 0, 0}));
  EXPECT_EQ(p.amass, (std::array<double, 7>{0, 4, 4, 0, 5, 0, 0}));  // ", ," leaves AMASS(3)
  EXPECT_EQ(p.current, (std::array<double, 7>{0, 0, 1.5e-3, 2.5e-3, 0, 0, 0}));
  EXPECT_EQ(p.sfas[97], 0.0);
  EXPECT_EQ(p.sfas[98], 1.0);
  EXPECT_EQ(p.sfas[99], 2.0);
  EXPECT_EQ(p.part, 0.995);  // an empty value keeps the default
  EXPECT_EQ(p.iflag_fnal, 7);

  r.read_group(p.index());
  EXPECT_EQ(p.igraph, 0);
  EXPECT_EQ(p.isrf, 1);
  EXPECT_EQ(p.iflag_dis, 51);
  EXPECT_EQ(p.iflag_corr, 2);
  EXPECT_EQ(p.nxgrd, 17);
  EXPECT_EQ(p.nzgrd, 65);      // absent: default stays
  EXPECT_EQ(p.iflag_fnal, 7);  // bound in both groups: INDEX does not set it here

  r.read_group(p.correct());
  EXPECT_EQ(p.monerr, 3);
  EXPECT_EQ(p.partcorr, 0.25);

  r.read_group(p.other());
  EXPECT_EQ(p.a_axe, 1.5);
  EXPECT_EQ(p.b_axe, 2.0);
  EXPECT_EQ(p.c_axe, 5.0);
  EXPECT_EQ(p.n_of_table, -4);
}

TEST(Namelist, SkipsGroupsNotAskedForAndSearchesOnlyForward) {
  Params p;
  {
    // CORRECT is not read (its condition does not hold); OTHER is found behind it.
    NamelistReader r(kVelmo, "velmo.dat");
    r.read_group(p.tran());
    r.read_group(p.other());
    EXPECT_EQ(p.a_axe, 1.5);
    EXPECT_EQ(p.monerr, 1);
    // TRAN lies behind the current position.
    EXPECT_EQ(fatal_message([&] { r.read_group(p.tran()); }), " input error in velmo.dat: namelist group TRAN not found");
  }
  {
    // Groups may follow each other on one line; a member bound in two groups
    // is one field.
    Params q;
    NamelistReader r("&TRAN IFLAG_FNAL=7/&INDEX IFLAG_FNAL=3/", "v");
    r.read_group(q.tran());
    EXPECT_EQ(q.iflag_fnal, 7);
    r.read_group(q.index());
    EXPECT_EQ(q.iflag_fnal, 3);
  }
  // Text before the group asked for that must not be taken for it or end
  // the search early.
  struct Skip {
    const char* what;
    const char* text;
    std::int32_t isrf;
  } skips[] = {
      {"a '/' inside a quoted text or a comment of a skipped group does not end it",
       "&SKIP a='x/y' ! b=/\n c=\"&INDEX\" /\n&INDEX ISRF=5 /\n", 5},
      {"an unterminated foreign group does not swallow the next one", "&OLD a=1\n&INDEX ISRF=6 /\n", 6},
      {"a name that only begins with the group's name is another group; a '&' inside a word is free text",
       "R&INDEX\n&INDEXX ISRF=1 /\n&Index isrf=8/", 8},
  };
  for (const auto& c : skips) {
    Params q;
    NamelistReader r(c.text, "v");
    r.read_group(q.index());
    EXPECT_EQ(q.isrf, c.isrf) << c.what;
  }
}

TEST(Namelist, ValueForms) {
  struct Case {
    const char* text;
    std::array<std::int32_t, 7> npat;  // NPAT(1..6), starting from {0, 9, 9, 9, 9, 9, 9}
  };
  const Case cases[] = {
      {"&TRAN NPAT=1,2,3,4,5,6 /", {0, 1, 2, 3, 4, 5, 6}},
      {"&TRAN NPAT=1 2\t3\n4 5 6/", {0, 1, 2, 3, 4, 5, 6}},
      {"&TRAN NPAT(3)=7 /", {0, 9, 9, 7, 9, 9, 9}},
      {"&TRAN NPAT( 5 )=7,8 /", {0, 9, 9, 9, 9, 7, 8}},
      {"&TRAN NPAT=6*0 /", {0, 0, 0, 0, 0, 0, 0}},
      {"&TRAN NPAT=2*,1 /", {0, 9, 9, 1, 9, 9, 9}},    // r* alone skips r elements
      {"&TRAN NPAT=2* 1 /", {0, 9, 9, 1, 9, 9, 9}},
      {"&TRAN NPAT=,1 /", {0, 9, 1, 9, 9, 9, 9}},      // a leading comma is an empty value
      {"&TRAN NPAT=1,,,2 /", {0, 1, 9, 9, 2, 9, 9}},
      {"&TRAN NPAT= /", {0, 9, 9, 9, 9, 9, 9}},
      {"&TRAN NPAT=1,2,3,4,5,6,, /", {0, 1, 2, 3, 4, 5, 6}},  // empty values past the end set nothing
      {"&TRAN NPAT=1, NPAT(6)=-6, npat(2)=+2, /", {0, 1, 2, 9, 9, 9, -6}},
      {"$TRAN NPAT=1 $END", {0, 1, 9, 9, 9, 9, 9}},
      {"&tran npat=1 &end", {0, 1, 9, 9, 9, 9, 9}},
      {"&TRAN,NPAT=1,/", {0, 1, 9, 9, 9, 9, 9}},
      {"&TRAN NPAT=1 ! NPAT(2)=5 /\n /", {0, 1, 9, 9, 9, 9, 9}},
  };
  for (const auto& c : cases) {
    Params p;
    p.npat = {0, 9, 9, 9, 9, 9, 9};
    NamelistReader r(c.text, "v");
    r.read_group(p.tran());
    EXPECT_EQ(p.npat, c.npat) << c.text;
  }
}

TEST(Namelist, RealAndTextValues) {
  struct Case {
    const char* assign;
    double win;
    const char* table_dir;
  };
  const Case cases[] = {
      {"WIN=5", 5.0, ""},           {"WIN=1.5D3", 1.5e3, ""},    {"WIN=-.5d-3", -0.5e-3, ""},
      {"WIN=2*", 0.0, ""},          {"TABLE_DIR=\"a b\"", 0.0, "a b"}, {"TABLE_DIR='say \"hi\"'", 0.0, "say \"hi\""},
      {"TABLE_DIR=''''", 0.0, "'"}, {"TABLE_DIR=\"\"", 0.0, ""},  {"TABLE_DIR='!/&$'", 0.0, "!/&$"},
  };
  for (const auto& c : cases) {
    Params p;
    NamelistReader r(std::string("&TRAN ") + c.assign + " /", "v");
    r.read_group(p.tran());
    EXPECT_EQ(p.win, c.win) << c.assign;
    EXPECT_EQ(p.table_dir, c.table_dir) << c.assign;
  }
  // A text longer than its member is cut.
  std::string t;
  NamelistSchema s("G");
  s.add_text("T", &t, 4);
  NamelistReader r("&G T='abcdefg' /", "v");
  r.read_group(s);
  EXPECT_EQ(t, "abcd");
}

TEST(Namelist, BadInputStopsNamingFileLineGroupAndMember) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"&TRAN\n FOO=1 /", " input error in velmo.dat line 2: group TRAN: unknown member 'FOO'"},
      {"&TRAN NQTOT=1.5 /", " input error in velmo.dat line 1: group TRAN, member NQTOT: '1.5' is not an integer"},
      {"&TRAN NQTOT=1e0 /", " input error in velmo.dat line 1: group TRAN, member NQTOT: '1e0' is not an integer"},
      {"&TRAN\n\n WIN=1.2.3 /", " input error in velmo.dat line 3: group TRAN, member WIN: '1.2.3' is not a real number"},
      {"&TRAN WIN=abc /", " input error in velmo.dat line 1: group TRAN, member WIN: 'abc' is not a real number"},
      {"&TRAN WIN=.true. /", " input error in velmo.dat line 1: group TRAN, member WIN: '.true.' is not a real number"},
      {"&TRAN NPAT(7)=1 /", " input error in velmo.dat line 1: group TRAN, member NPAT: index 7 outside 1..6"},
      {"&TRAN NPAT(0)=1 /", " input error in velmo.dat line 1: group TRAN, member NPAT: index 0 outside 1..6"},
      {"&TRAN NPAT(x)=1 /", " input error in velmo.dat line 1: group TRAN, member NPAT: bad index, '(integer)' expected"},
      {"&TRAN NPAT(2=1 /", " input error in velmo.dat line 1: group TRAN, member NPAT: bad index, '(integer)' expected"},
      {"&TRAN NPAT=1,2,3,4,5,6,7 /",
       " input error in velmo.dat line 1: group TRAN, member NPAT: too many values (it holds 6)"},
      {"&TRAN NPAT(5)=3*1 /", " input error in velmo.dat line 1: group TRAN, member NPAT: too many values (it holds 6)"},
      {"&TRAN NQTOT=1 2 /", " input error in velmo.dat line 1: group TRAN, member NQTOT: too many values (it holds 1)"},
      {"&TRAN NPAT=0*1 /",
       " input error in velmo.dat line 1: group TRAN, member NPAT: repeat count '0*' must be a positive integer"},
      {"&TRAN WORK_DIR=empty /",
       " input error in velmo.dat line 1: group TRAN, member WORK_DIR: 'empty' is not a text in quotes"},
      {"&TRAN WORK_DIR=1 /", " input error in velmo.dat line 1: group TRAN, member WORK_DIR: '1' is not a text in quotes"},
      {"&TRAN WORK_DIR='abc\n' /", " input error in velmo.dat line 1: group TRAN, member WORK_DIR: text not closed on its line"},
      {"&TRAN WIN='1' /", " input error in velmo.dat line 1: group TRAN, member WIN: a quoted text is not a real number"},
      {"&TRAN WIN 1 /", " input error in velmo.dat line 1: group TRAN, member WIN: '=' expected after the member name"},
      {"&TRAN WIN=1\n", " input error in velmo.dat line 2: group TRAN: end of file before the end of the group ('/')"},
      {"&TRAN WIN=1\n&INDEX ISRF=1 /",
       " input error in velmo.dat line 2: group TRAN: end of the group ('/') missing before '&INDEX'"},
      {"&TRAN 5 /", " input error in velmo.dat line 1: group TRAN: '5' found where a member name is expected"},
      {"&INDEX ISRF=1 /", " input error in velmo.dat: namelist group TRAN not found"},
      {"", " input error in velmo.dat: namelist group TRAN not found"},
      {"! &TRAN WIN=1 /", " input error in velmo.dat: namelist group TRAN not found"},
  };
  for (const auto& c : cases) {
    Params p;
    NamelistReader r(c.text, "velmo.dat");
    EXPECT_EQ(fatal_message([&] { r.read_group(p.tran()); }), c.message) << c.text;
  }
}

TEST(Namelist, ReadsFromAFileOfTheWorkingDirectory) {
  TempDir tmp;
  std::ostringstream out;
  Screen screen(out);
  Units units(screen);
  units.set_directory(tmp.path());
  write_file(tmp / "velmo.dat", "&TRAN QDESIGN=2, ADESIGN=7 /\r\n&INDEX ISRF=1 /\r\n");
  Params p;
  NamelistReader r(units, "velmo.dat");
  r.read_group(p.tran());
  r.read_group(p.index());
  EXPECT_EQ(p.qdesign, 2.0);
  EXPECT_EQ(p.adesign, 7.0);
  EXPECT_EQ(p.isrf, 1);
  EXPECT_EQ(fatal_message([&] { NamelistReader missing(units, "none.dat"); }),
            " file none.dat not found or not readable");
}

}  // namespace
}  // namespace linac
