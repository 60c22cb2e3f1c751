// Matrix sections of the lattice: an "n updat" line places 13 test
// particles per charge state behind the beam; the "n matrx" line with the
// same number forms from them the first-order transfer matrix of the
// stretch between the two lines and lists it, with its symplectic form,
// periodic Twiss parameters and hard-edge equivalents, in matrix.dat.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "beam/matrix6.hpp"
#include "platform/format.hpp"
#include "matrices/section_matrix.hpp"

namespace linac {

struct MatricesContext;

// matrix.dat, the listing of every matrx line of every pass.
inline constexpr int kUnitMatrix = 29;

// Lattice commands updat and matrx of line n; both advance ipos.
void updat_cmd(MatricesContext& sim, std::int32_t& n);
void matrx_cmd(MatricesContext& sim, std::int32_t& n);

// What the listing of one charge state needs besides its matrix.
struct SectionListing {
  double L = 0.0;                 // section length, cm
  SectionEnds ends;
  double W_in = 0.0, W_out = 0.0;  // design energy at start and end, keV/u
  double wavelength_2pi = 0.0;     // cm/rad
  double amu_kev = 0.0;
  std::array<bool, 6> zero_step{};  // coordinates measured with a zero step
  // The one element of a one-line section: 1 solenoid, 2 cavity, 0 none.
  int single = 0;
  double sol_field = 0.0;  // P1 of the solenoid line, G
  double eff_len = 0.0;    // effective length the solenoid left, cm
};

// Shared by the first- and second-order section commands: the reference
// values of a zero-length section line at ipos (phases carried inside a
// phase chain); the phase the test particles start from; the updat line of
// matrx line n (section_start, section_steps), a stop when there is none;
// the solenoid or cavity block of a one-line section (1 solenoid, 2 cavity
// by the keyword of the line between updat and matrx, else 0).
void section_reference(MatricesContext& sim);
// matrix.dat opened on the first call of any pass.
void open_matrix_file(MatricesContext& sim);
// Entry of a matrx line: matrix.dat, the position, and (false in the
// error-drawing pass) the reference values and w0 of the position.
bool matrx_entry(MatricesContext& sim);
// The section's length, end energies and scale factors from its updat line
// (P7 gamma, P8 beta) and w0 at matrx line n, and its one-element kind.
SectionListing section_values(const MatricesContext& sim, std::int32_t n, int start);
double section_phase_origin(const MatricesContext& sim);
void find_section(MatricesContext& sim, std::int32_t n);
int single_element_kind(const MatricesContext& sim, std::int32_t n, int start);
void add_single_element_block(RecordBlock& out, const SectionListing& s,
                              double AMASS, const Matrix6& R, double theta);

// The matrix.dat records of one charge state (charge QQ, mass AMASS) with
// section matrix R and rotation angle theta (rad) of the state.
RecordBlock state_listing(const SectionListing& s, double QQ, double AMASS,
                                       const Matrix6& R, double theta);

}  // namespace linac
