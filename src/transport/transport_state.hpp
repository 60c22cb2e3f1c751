// State of element transport that lives with the run: the reference path of
// the current element, the geometry of the current integration step, the
// placement values of the current element and the per-thread loss lists of
// the particle loop.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "beam/matrix6.hpp"
#include "common/records.hpp"
#include "common/uninit_allocator.hpp"

namespace linac {

// Values of the current integration step and the exit plane of the element.
struct StepGeometry {
  double zref = 0.0;               // target z of the current step, cm
  double exit_nz = 1.0, exit_nx = 0.0;  // unit normal of the exit plane (z, x components)
  double exit_px = 0.0, exit_pz = 0.0;  // a point of the exit plane (x, z), cm
  double bend_invR = 0.0;          // curvature of the current step, 1/cm
  double bend_xc = 0.0, bend_zc = 0.0;  // centre of curvature, cm
  double xref = 0.0;               // x of the reference point at the step end, cm
  double step_nz = 1.0, step_nx = 0.0;  // reference direction at the step end

  // Space charge (3-D model).
  double sc_centre_phase = 0.0;  // RF phase of the centre of the space-charge box, rad
};

// Placement of the current element relative to its entrance frame, and the
// misalignment applied to the beam in it.
struct Misalign {
  std::array<double, 3> place_disp{};               // exit point in the entrance frame, cm
  std::array<std::array<double, 3>, 3> place_rot{};  // rotation of the exit frame
  double chord_len = 0.0;                           // |place_disp|, cm
  std::array<double, 11> err_amp{};                 // error amplitudes 1..10
  std::array<double, 3> off_in{}, ang_in{};         // entrance offsets (cm) and angles (rad)
  std::array<std::array<double, 3>, 3> rot_in{};    // entrance rotation Q
  std::array<double, 3> off_out{}, ang_out{};       // exit offsets (cm) and angles (rad)
  std::array<std::array<double, 3>, 3> rot_out{};   // exit rotation P = R Q R^T
  double phase_error = 0.0, phase_err_unif = 0.0, phase_err_norm = 0.0;  // rad
  double rel_field_error = 0.0, field_err_unif = 0.0, field_err_norm = 0.0;
  double err_weight_1 = 1.0, err_weight_2 = 1.0;
};

struct TransportState {
  StepGeometry step;
  Misalign misalign;
  // Slots lost in the current step, one list per thread of the particle
  // loop; reused from step to step.
  std::vector<std::vector<std::int32_t>> thread_losses;
  std::vector<std::int32_t> step_losses;  // all of them, in slot order
  // The same when every step of an element is pushed block by block (see
  // push_states_steps): (step << 32) + slot, per thread and then per
  // charge state.
  std::vector<std::vector<std::int64_t>> thread_step_losses;
  std::vector<std::vector<std::int64_t>> state_step_losses;
  // Whether an element whose particles nothing touches between steps goes
  // through all its steps in one push (see step_element); false takes
  // every element step by step, the same results by another way.
  bool whole_element_push = true;

  // Matrix elements: the transfer matrix of the last particle carried
  // through the last solenoid or quadrupole by matrix (in charge-state,
  // slot order), or the rotation of the last shrt; all zero before any.
  Matrix6 elem_matrix;
  // Outcome per slot of the particle loop of a point or matrix element
  // (see point_elements.hpp); reused from element to element.
  std::vector<std::int8_t> slot_outcome;

  // The lockstep push in z: per charge state and slot, dY/dz at the end of
  // the particle's last step (six values per slot) and whether it holds;
  // the next step of the same element starts from it instead of evaluating
  // the field again (see step_element).
  std::vector<std::vector<double, UninitAllocator<double>>> first_stage_k;
  std::vector<std::vector<std::uint8_t>> first_stage_valid;
};

// Values the energy filter keeps from one filter to the next (0 at start):
// the design energy and phase centre it chose, and per charge state the
// live particles it found and those it removed (slot 0 included).
struct FilterMemory {
  double Wn = 0.0;  // new design energy, keV/u
  double ph = 0.0;  // phase centre, rad
  std::array<std::int32_t, 7> live{};  // charge states 1..6
  std::array<std::int32_t, 7> cut{};
};

}  // namespace linac
