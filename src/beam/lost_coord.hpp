// lost.dat and coord.dat: single-particle records.
#pragma once

#include <cstdint>
#include <string_view>

namespace linac {

struct BeamContext;

// The 313-character header record of lost.dat.
inline constexpr std::string_view kLostHeader =
    "n_el  name      Q     A    Xfirst,cm   Yfirst,cm   Zfirst,cm    VXfirst     VYfirst     "
    "VZfirst     Xdev,cm     Ydev,cm     Zdev,cm     VXdev       VYdev       VZdev       Xc ,cm  "
    "     Yc ,cm     Zc ,cm       O(11)       O(12)       O(13)       O(21)       O(22)       O(2"
    "3)       O(31)       O(32)       O(33)   ";

// The 120-character header record that opens every block of coord.dat.
inline constexpr std::string_view kCoordHeader =
    " Nseed      iq         dt[nsec]         dW[Mev/u]           x[cm]            x'[mrad]"
    "          y[cm]            y'[mrad]";

// Velocity modes of a lost particle.
inline constexpr std::int32_t kLostPushedInZ = 0;     // from x', y' and beta
inline constexpr std::int32_t kLostPushedInTime = 1;  // stored betax, betay, betaz

void write_lost_header(BeamContext& sim);

// One record of lost.dat for particle i of charge state iq, lost in element
// line n_el: position and velocity in the laboratory and in the element's
// entrance frame, and that frame itself. The particle is not changed (the
// caller marks it lost).
void write_lost_particle(BeamContext& sim, std::int32_t n_el, std::int32_t i, std::int32_t iq,
                         std::int32_t mode);

// A header and one line per live particle (reference included, test
// particles not) of every charge state 1..NQTOT to coord.dat.
void write_coord_dat(BeamContext& sim);

}  // namespace linac
