// velmo.dat: the run parameters outside the lattice, in the namelist groups
// TRAN, INDEX, CORRECT and OTHER, with their unit conversions, the design
// quantities derived from them and the checks of inconsistent settings.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/namelist.hpp"

namespace linac {

struct ControlContext;

// The member tables of the four groups, bound to the run records.
NamelistSchema tran_schema(ControlContext& sim);
NamelistSchema index_schema(ControlContext& sim);
NamelistSchema correct_schema(ControlContext& sim);
NamelistSchema other_schema(ControlContext& sim);

// One allowed range of a velmo.dat member, as the checks after each group
// apply it: the value must be finite and lie in lo..hi (ends open or
// closed), or be 0 when zero_too. An array member's rule covers each of its
// elements. docs/inputs.md lists the same ranges.
struct MemberRangeRule {
  // Which elements of the member the rule covers: all; charge states 1..NQTOT;
  // charge states above NQTOT; all, in a run with an error study (IFLAG_CORR
  // not 0) only.
  enum class Scope { always, states_in_use, other_states, error_study };
  // When the rule is checked: after group TRAN is read (its counts first,
  // then the values), after INDEX, CORRECT or OTHER.
  enum class When { tran_counts, tran, index, correct, other };

  const char* group;   // TRAN, INDEX, CORRECT or OTHER
  const char* member;  // the name in the file
  double lo, hi;       // in the units of the checked value
  bool lo_open, hi_open;
  bool zero_too;       // 0 (not given) is allowed besides lo..hi
  const char* unit;    // unit the message puts behind the value
  Scope scope;
  // The checked value is the file's value times scale: 1 for a member
  // checked as written, the unit conversion for one checked after it.
  double scale;
  // A count's message names what it counts ("<what> must lie in lo..hi");
  // null: the message gives the allowed range.
  const char* what;
  When when;
  int block;  // array rules of one block > 0 are checked element by element
};

// The range rules of every velmo.dat member, in the order they are checked.
std::span<const MemberRangeRule> velmo_member_ranges();

// The design particle of the design energy WIN (keV/u): w0 := WIN, its
// beta gamma betgam0 and its speed beta_design.
void set_design_particle(ControlContext& sim);

// Reads velmo.dat from the working directory over the defaults already in
// place, converts units, derives the design particle (w0, betgam0,
// wavelength ...), seeds the random stream and stops the run on an
// inconsistent or out-of-range setting.
void read_velmo_dat(ControlContext& sim);

}  // namespace linac
