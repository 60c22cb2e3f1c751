// lost.dat and coord.dat: single-particle records.
#pragma once

#include <cstdint>
#include <string_view>

namespace linac {

struct Sim;

// The 313-character header record of lost.dat.
inline constexpr std::string_view kLostHeader =
    "n_el  name      Q     A    Xfirst,cm   Yfirst,cm   Zfirst,cm    VXfirst     VYfirst     "
    "VZfirst     Xdev,cm     Ydev,cm     Zdev,cm     VXdev       VYdev       VZdev       Xc ,cm  "
    "     Yc ,cm     Zc ,cm       O(11)       O(12)       O(13)       O(21)       O(22)       O(2"
    "3)       O(31)       O(32)       O(33)   ";

// Layout of one lost-particle record (311 characters).
inline constexpr std::string_view kLostRecordFormat =
    "(I4,TR2,A5,2F6.1,2(3F12.3,3F12.7),3F12.3,3(3F12.7))";

void write_lost_header(Sim& sim);

// One lost.dat record for particle i of charge state iq, lost in element
// line n: its position and velocity in the lab (through the entrance copy of
// the element frame) and in the element frame, and the frame itself. Mode 0
// takes the velocity from x', y' and beta (particles pushed in z), mode 1
// from the stored velocity components (particles pushed in time). The
// particle is not changed.
void write_lost_particle(Sim& sim, std::int32_t n, std::int32_t i, std::int32_t iq,
                         std::int32_t mode);

}  // namespace linac
