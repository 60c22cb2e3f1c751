#include "control/velmo_main.hpp"

#include <string>

#include <fmt/format.h>

#include "beam/lost_coord.hpp"
#include "beam/offsets.hpp"
#include "beam/out_tables.hpp"
#include "beam/plots.hpp"
#include "beam/stats.hpp"
#include "control/control_context.hpp"
#include "common/input_ranges.hpp"
#include "common/start_values.hpp"
#include "common/text_utils.hpp"
#include "control/acceptance_output.hpp"
#include "control/dispatcher.hpp"
#include "control/error_seed_loop.hpp"
#include "control/initial_beam.hpp"
#include "control/lattice_prepass.hpp"
#include "control/lattice_reader.hpp"
#include "control/parameter_file.hpp"
#include "corrections/correction_service.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "transport/frame.hpp"

namespace linac {

namespace {

// wtmp.dat: element line, keyword, entrance phase and exit phase of the
// reference (rad), reference energy at the entrance and exit (keV/u).
constexpr std::string_view kWtmpLayout = "(I5,A9,4E15.5)";
// The quantities of the wtmp.dat columns (the file has no header).
constexpr std::string_view kWtmpColumns[] = {"n", "name", "entrance phase [rad]", "exit phase [rad]",
                                             "entrance energy [keV/u]", "exit energy [keV/u]"};

void begin_stamp(ControlContext& sim) {
  const std::string rec = stamp_record(" Task begin at  ", sim.clock.now());
  sim.units.write(kScreenUnit, rec);
  sim.units.write(kUnitLog, rec);
}

void end_stamp(ControlContext& sim) {
  const std::string rec = stamp_record(" Task end at  ", sim.clock.now());
  sim.units.write(kScreenUnit, rec);
  sim.units.write(kUnitLog, rec);
}

void open_standing_files(ControlContext& sim) {
  sim.units.open(kUnitOut, "out.dat");
  sim.units.open(kUnitCoord, "coord.dat");
  sim.units.open(kUnitLost, "lost.dat");
  sim.units.open(kUnitLog, "log.dat");
  sim.units.open(kUnitWtmp, "wtmp.dat");
}

}  // namespace

std::string stamp_record(const std::string& label, const LocalTime& t) {
  const std::string text = date_time_string(t);
  return format_records("(A17,A25)", {label, text}).at(0);
}

void write_wtmp(ControlContext& sim) {
  const FortranFormat& fmt = sim.beam_out.formats.get(kWtmpLayout);
  const ReferenceHistory& h = sim.history;
  for (std::int32_t n = sim.config.iel_first; n <= sim.config.iel_last; ++n) {
    const auto p = static_cast<std::size_t>(n);
    const FmtItem items[] = {n, sim.elements.elem_name[p].view(), h.elem_rf_phase[p],
                             h.ref_phase_out[p], h.ref_W_in[p], h.ref_W_out[p]};
    check_result_line(sim, fmt, items, "wtmp.dat",
                      ::fmt::format("element {} ({})", n, trimmed(sim.elements.elem_name[p].view())), kWtmpColumns);
    sim.units.write(kUnitWtmp, fmt.write(items));
  }
}

void nominal_pass(ControlContext& sim) {
  RunConfig& c = sim.config;
  RunState& st = sim.state;
  // 1. Per-pass state.
  for (int iq = 1; iq <= kMaxChargeStates; ++iq) sim.npat.ntest[static_cast<std::size_t>(iq)] = 0;
  st.istat_mode = 0;
  st.ipass = 1;
  st.idraw = 0;
  sim.corr.corr_on_long = 0;
  sim.corr.corr_on_steer = 0;
  st.iseed = 0;
  sim.corr.ncorr = 0;
  sim.corr.kicks.fill(0.0);
  // 2. Particle counts of the pass: an error study may run its nominal pass
  //    with a fraction NP_SET of the particles.
  if (c.IFLAG_CORR == 0) sim.beam.NP_SET = 1.0;
  for (int iq = 1; iq <= kMaxChargeStates; ++iq) {
    const auto q = static_cast<std::size_t>(iq);
    c.NPAT[q] = scaled_particle_count(c.npat0[q], sim.beam.NP_SET, "NP_SET");
  }
  // 3. Injection offsets of each charge state (nominal run only).
  //    A restarted run's saved beam already holds them.
  if (c.IACCEP == 0 && c.IFLAG_CORR == 0 && st.iscrch <= 0) shift_beam_by_q(sim);
  // 4. Entrance line: the beam before the first element, at the design energy.
  st.ipos = c.iel_first - 1;
  if (st.ipos < 0 || c.iel_last > kMaxElements)
    fatal(" lattice lines " + std::to_string(c.iel_first) + ".." + std::to_string(c.iel_last) +
          " outside the element table (1.." + std::to_string(kMaxElements) + ")");
  const auto entry = static_cast<std::size_t>(st.ipos);
  sim.history.ref_phase_out[entry] = 0.0;
  sim.ref.nstep = 1;
  sim.history.ref_W_out[entry] = sim.ref.w0;
  stat(sim, sim.ref.nstep);
  write_element_output(sim, st.ipos, "entry", sim.ref.s_entry);
  // 5. Element frame: the lab frame at the lattice origin. A run restarting
  //    inside the lattice starts on the straight axis at the restart line's
  //    entrance, which reproduces the full run's frame for a straight lattice.
  //    Decided here, before any save line of the lattice has changed iscrch,
  //    for every pass of the run. No bending-magnet path excess yet.
  sim.ref.frame_z0 = st.iscrch > 0 ? sim.ref.s_entry : 0.0;
  start_pass_frame(sim);
  // 6. The element loop: every line, then its out.dat line.
  for (std::int32_t n = c.iel_first; n <= c.iel_last; ++n) {
    dispatch_element(sim, n);
    const auto p = static_cast<std::size_t>(n);
    write_element_output(sim, n, sim.elements.elem_name[p].view(), sim.elements.elem_pos[p]);
  }
  // 7. End of the pass in out.dat.
  sim.units.write(kUnitOut, list_directed({std::string_view(" end of seed No."), std::int32_t{0}}));
  // 8. Reference values per element.
  write_wtmp(sim);
  // 9. Coordinates of the beam at the end of the pass.
  write_coord_dat(sim);
  // 10. The beam as a particle file for a later run.
  if (c.IWRITE_DIS == 1) write_particle_file(sim);
}

void velmo_main(ControlContext& sim) {
  // 1. Window set-up, constants and start values.
  window_setup(sim);
  set_start_values(sim);
  // 2. Standing files.
  open_standing_files(sim);
  // 3. Begin stamp and the lost.dat header.
  begin_stamp(sim);
  write_lost_header(sim);
  // 4. Remaining defaults of the parameter file.
  set_remaining_defaults(sim);
  // 5. Parameter file and the design quantities derived from it.
  read_velmo_dat(sim);
  // 6. Lattice: sclinac.dat and fi_in.dat into linac.dat, then the element table.
  make_linac_dat(sim);
  ReadElements(sim);
  // 7. Initial beam: restart, read_dis.dat, acceptance beam or generator;
  //    charge range, macro charges, entrance statistics, ini_dis.dat.
  make_initial_beam(sim);
  // 8. The plot windows and the first picture.
  if (sim.config.IGRAPH == 1) {
    plot_windows_setup(sim);
    plot_step(sim, 0.0);
  }
  // 9. Nominal pass.
  nominal_pass(sim);
  // 10. Error study.
  if (sim.config.IFLAG_CORR != 0) error_seed_loop(sim);
  // 11. Acceptance output: the initial beam sorted by final status.
  if (sim.state.iflag_accep == 1) write_acceptance_files(sim);
  // 12. End stamp.
  end_stamp(sim);
}

int run_program(ControlContext& sim) { return run_guarded(sim, velmo_main); }

int run_guarded(ControlContext& sim, const std::function<void(ControlContext&)>& body) {
  int status = 0;
  try {
    try {
      body(sim);
    } catch (const PlannedStop&) {
    }
    // A run, planned stop or not, that wrote a number its field could not
    // hold ends naming it.
    stop_on_unfit_number(sim);
  } catch (const FatalStop& stop) {
    if (stop.to_log() && sim.units.is_open(kUnitLog)) sim.units.write(kUnitLog, stop.lines());
    for (const auto& line : stop.lines()) sim.screen.write_line(line);
    status = 1;
  }
  // The picture as the run left it, also after a stop.
  try {
    save_picture(sim);
  } catch (const FatalStop& stop) {
    for (const auto& line : stop.lines()) sim.screen.write_line(line);
    status = 1;
  }
  sim.units.close_all();
  return status;
}

}  // namespace linac
