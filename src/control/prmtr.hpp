// The run-time parameter command: a lattice line "N prmtr NAME=values"
// changes design values and run switches at its place in the lattice, in
// the nominal pass and again in every error-study pass.
#pragma once

#include <cstdint>

namespace linac {

struct ControlContext;

// Parameter codes as the lattice reader stores them in column 11.
enum class PrmtrCode : std::int32_t {
  Qdesign = 1,
  Adesign = 2,
  harm = 3,
  scur = 4,
  isol = 5,
  iflag2D = 6,
  iflag_qq = 7,
  nqtot = 8,
  nqtot0 = 9,
  nqtot1 = 10,
  outQ = 11,
  iflag_t = 12,
  iflag_dudt = 13,
  iflag_ebfld = 14,
  iflag_chain = 15,
  iflag_lev = 17,
  iflag_log = 19,
  msln_dstr = 20,
  MonErr = 21,
  zlhSC = 22,
  current = 23,
  delta2 = 24,
  gridSC = 25,
  outSC = 26,
  AijRFQ = 27,
  iflag_accep = 28,
  dev_field = 29,
  delta1 = 30,
  aperRFQ = 31,
  init_COSY = 32,
  Cneutr = 33,
  trace = 34,
  mhb = 35,
  write_ascii = 36,
  iwrite_rms = 50,
};

// Element handler of the prmtr line n: takes its position, restores the
// design energy of the position (w0 := exit energy of the reference
// there), performs the action of the line's parameter code and repeats the
// previous position's statistics. In the error-drawing pass the line acts
// alike but writes no trace block and no harmonic analysis (no beam has
// moved there). Values the run cannot work with stop it with a message
// naming the line and the value.
void prmtr_cmd(ControlContext& sim, std::int32_t n);

}  // namespace linac
