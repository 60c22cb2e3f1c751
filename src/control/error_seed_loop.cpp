#include "control/error_seed_loop.hpp"

#include <cmath>

#include <fmt/format.h>

#include "beam/err_stats.hpp"
#include "beam/lost_coord.hpp"
#include "beam/offsets.hpp"
#include "beam/out_tables.hpp"
#include "beam/stats.hpp"
#include "control/control_context.hpp"
#include "common/input_ranges.hpp"
#include "common/text_utils.hpp"
#include "common/unit_numbers.hpp"
#include "beam/beam_state.hpp"
#include "control/dispatcher.hpp"
#include "control/parameter_file.hpp"
#include "corrections/correction_service.hpp"
#include "numerics/random.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "platform/unformatted.hpp"
#include "transport/frame.hpp"

namespace linac {

namespace {

constexpr std::size_t kVrandRecordBytes = kElemErr * sizeof(double);

// The statistics of the beam before the first element, at the design
// energy; the element frame where the nominal pass started it (the lab
// frame at the lattice origin, or on the straight axis at the restart line),
// without bending-magnet path excess.
void pass_entrance(ControlContext& sim) {
  start_pass_frame(sim);
  ReferenceBlock& r = sim.ref;
  r.wavelength_2pi = r.wavelength / r.harm / kTwoPi;
  sim.state.ipos = sim.config.iel_first - 1;
  const auto p = static_cast<std::size_t>(sim.state.ipos);
  sim.history.ref_phase_out[p] = 0.0;
  r.nstep = 1;
  sim.history.ref_W_out[p] = r.w0;
  stat(sim, r.nstep);
}

// The initial beam as ini_dis.dat holds it, with all its particles,
// shifted by the seed's injection error.
void restore_initial_beam(ControlContext& sim, const SeedOffset& offset) {
  sim.npat.npat_pass = sim.config.npat0;
  State(sim, "ini_dis.dat", "read");
  shift_beam(sim, offset);
}

// The error-drawing pass: every element draws the deviates of its position.
void drawing_pass(ControlContext& sim) {
  RunState& st = sim.state;
  st.ipos = sim.config.iel_first - 1;
  st.idraw = 1;
  start_pass_frame(sim);
  for (std::int32_t n = sim.config.iel_first; n <= sim.config.iel_last; ++n) dispatch_element(sim, n);
  st.idraw = 0;
}

void seed_record(ControlContext& sim, int unit, std::string_view text, std::int32_t seed) {
  sim.units.write(unit, list_directed({text, seed}));
}

}  // namespace

void seed_element_errors(ControlContext& sim, std::int32_t seed) {
  const RunConfig& c = sim.config;
  // 1. A clean slate of element errors.
  sim.state.iseed = seed;
  for (auto& row : sim.elements.elem_err) row.fill(0.0);

  // 2. Errors of the seed.
  const std::string vrand = vrand_name(seed);
  if (c.IFLAG_VRAND == -1) {
    read_vrand(sim, vrand);
  } else if (c.IFLAG_VRAND >= 0) {
    drawing_pass(sim);
    if (c.IFLAG_VRAND == 1) write_vrand(sim, vrand);
  }
}

void seed_final_pass(ControlContext& sim, std::int32_t seed) {
  const RunConfig& c = sim.config;
  RunState& st = sim.state;
  const bool seed_statistics = st.IFLAG_UNIX == 0;

  // 9. Entrance of the final pass.
  pass_entrance(sim);
  write_element_output(sim, st.ipos, "entry", sim.ref.s_entry);
  st.imoved = 1;
  if (seed_statistics) err_stat_accumulate(sim);

  // 10. The element loop.
  for (std::int32_t n = c.iel_first; n <= c.iel_last; ++n) {
    dispatch_element(sim, n);
    const auto p = static_cast<std::size_t>(n);
    write_element_output(sim, n, sim.elements.elem_name[p].view(), sim.elements.elem_pos[p]);
    if (seed_statistics) err_stat_accumulate(sim);
  }

  // 11. End of the seed.
  sim.units.write(kUnitOut, list_directed({std::string_view(" end of seed No."), seed}));
  write_coord_dat(sim);
}

namespace {

void run_seed(ControlContext& sim, std::int32_t seed) {
  RunConfig& c = sim.config;
  RunState& st = sim.state;

  // 1-2. Element errors.
  seed_element_errors(sim, seed);

  // 3. Injection error: six deviates after the element errors, a uniform
  //    shift within +- the offsets of charge state 1. The energy shift is a
  //    fraction of the injection energy, which the restored beam state holds.
  double u[6];
  dRNUN(sim, 6, u);
  auto seed_offset_at = [&](double w_inj) {
    const InitialOffsets& o = sim.offsets;
    return SeedOffset{(1.0 - 2.0 * u[0]) * o.X00[1], (1.0 - 2.0 * u[1]) * o.XP00[1],
                      (1.0 - 2.0 * u[2]) * o.Y00[1], (1.0 - 2.0 * u[3]) * o.YP00[1],
                      (1.0 - 2.0 * u[4]) * o.PH00[1], (1.0 - 2.0 * u[5]) * o.DWW00[1] * w_inj};
  };

  // 4. The initial beam with the injection error.
  sim.npat.npat_pass = c.npat0;
  State(sim, "ini_dis.dat", "read");
  const SeedOffset offset = seed_offset_at(sim.ref.w0);
  shift_beam(sim, offset);

  // 5. The subset of each state the corrections work with, saved.
  for (int iq = 1; iq <= kMaxChargeStates; ++iq) {
    const auto q = static_cast<std::size_t>(iq);
    sim.npat.npat_pass[q] = scaled_particle_count(c.npat0[q], sim.corr.PARTCORR, "PARTCORR");
    c.NPAT[q] = sim.npat.npat_pass[q];
  }
  State(sim, "corr_dis.dat", "write");

  // 6. Entrance of the correction pass.
  pass_entrance(sim);

  // 7. Corrections.
  sim.corr.corr_on_long = 0;
  sim.corr.corr_on_steer = 0;
  if (c.IFLAG_CORR == 1) {
    error_study_corrections(sim);
    sim.corr.corr_on_long = 1;
    sim.corr.corr_on_steer = 1;
    seed_record(sim, kUnitOutWq, " correction is done for seed No.", seed);
    seed_record(sim, kUnitOutPhq, " correction is done for seed No.", seed);
  }

  // 8. The final pass starts from the whole initial beam and no correctors.
  Misalign& m = sim.transport.misalign;
  m.err_weight_1 = 1.0;
  m.err_weight_2 = 1.0;
  sim.corr.ncorr = 0;
  sim.corr.kicks.fill(0.0);
  restore_initial_beam(sim, offset);
  for (auto& t : sim.npat.ntest) t = 0;
  st.istat_mode = 0;

  // 9-11. The final pass.
  seed_final_pass(sim, seed);
}

}  // namespace

void write_vrand(ControlContext& sim, std::string_view name) {
  UnformattedOut out(sim.units, name);
  for (std::int32_t n = sim.config.iel_first; n <= sim.config.iel_last; ++n) {
    const auto& e = sim.elements.elem_err[static_cast<std::size_t>(n)];
    RecordOut rec;
    rec.put(std::span<const double>(&e[1], kElemErr));
    out.write(rec);
  }
  out.close();
}

void read_vrand(ControlContext& sim, std::string_view name) {
  UnformattedIn in(sim.units, name);
  const std::int32_t first = sim.config.iel_first;
  for (std::int32_t n = first; n <= sim.config.iel_last; ++n) {
    const int record = n - first + 1;
    RecordIn rec = in.read();
    if (rec.bytes_left() != kVrandRecordBytes)
      fatal(fmt::format(" input error in {} record {} (element line {}): {} bytes; a record holds the "
                        "ten deviates of its line, {} bytes",
                        name, record, n, rec.bytes_left(), kVrandRecordBytes));
    auto& e = sim.elements.elem_err[static_cast<std::size_t>(n)];
    rec.get(std::span<double>(&e[1], kElemErr));
    for (int k = 1; k <= kElemErr; ++k)
      if (!std::isfinite(e[static_cast<std::size_t>(k)]))
        fatal(fmt::format(" input error in {} record {} (element line {}): deviate {} is {}", name, record, n,
                          k, e[static_cast<std::size_t>(k)]));
  }
}

void error_seed_loop(ControlContext& sim) {
  RunConfig& c = sim.config;
  RunState& st = sim.state;
  const bool seed_statistics = st.IFLAG_UNIX == 0;

  // Set-up: monitor and correction files, the minimiser, the accumulators.
  if (seed_statistics) {
    sim.units.open(kUnitPhMonitor, "ph_monitor.dat");
    sim.units.open(kUnitBpMonitor, "bp_monitor.dat");
  }
  sim.units.open(kUnitCoMonitor, "co_monitor.dat");
  sim.corr.fit_step = 0.1f;
  setup_correction_sections(sim);
  MNINIT(sim, 85, 69, 70);
  st.ipass = 2;
  if (seed_statistics) err_stat_clear(sim);
  sim.units.open(kUnitOutWq, "out_wq.dat");
  sim.units.open(kUnitOutPhq, "out_phq.dat");

  for (std::int32_t s = c.NRZ_MIN; s <= c.NRZ_MIN + c.NRZ - 1; ++s) run_seed(sim, s);

  if (seed_statistics) err_stat_write(sim);
  sim.units.close(kUnitCoMonitor);
  if (seed_statistics) corrector_statistics(sim);
}

}  // namespace linac
