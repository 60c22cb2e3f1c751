// The output of an acceptance run: every particle of the initial beam, at
// its initial coordinates, in accepted.dat when it survived the pass and in
// stopped.dat when it was lost.
#pragma once

#include <string_view>

namespace linac {

struct ControlContext;

// The header record of both files: eight 14-character labels.
inline constexpr std::string_view kAcceptanceHeader =
    "   dt[nsec]   "
    "  dW[keV/u]   "
    "  phase[deg]  "
    " dW/W[rel.u.] "
    "     x[cm]    "
    "  x'[mrad]    "
    "     y[cm]    "
    "  y'[mrad]    ";

// Keeps the final status of slots 0..NPAT of every state, restores the
// initial beam from ini_dis.dat and writes one (8E14.5) record per slot.
void write_acceptance_files(ControlContext& sim);

}  // namespace linac
