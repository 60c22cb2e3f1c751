// lost.dat and coord.dat: single-particle records.
#pragma once

#include <string_view>

namespace linac {

struct Sim;

// The 313-character header record of lost.dat.
inline constexpr std::string_view kLostHeader =
    "n_el  name      Q     A    Xfirst,cm   Yfirst,cm   Zfirst,cm    VXfirst     VYfirst     "
    "VZfirst     Xdev,cm     Ydev,cm     Zdev,cm     VXdev       VYdev       VZdev       Xc ,cm  "
    "     Yc ,cm     Zc ,cm       O(11)       O(12)       O(13)       O(21)       O(22)       O(2"
    "3)       O(31)       O(32)       O(33)   ";

void write_lost_header(Sim& sim);

}  // namespace linac
