#include "control/initial_beam.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include <fmt/format.h>

#include "beam/distribution_readers.hpp"
#include "beam/phase_groups.hpp"
#include "beam/source_generators.hpp"
#include "beam/stats.hpp"
#include "beam/twiss_generators.hpp"
#include "common/input_ranges.hpp"
#include "control/control_context.hpp"
#include "beam/beam_state.hpp"
#include "control/lattice_reader.hpp"
#include "control/parameter_file.hpp"
#include "common/text_utils.hpp"
#include "platform/fatal.hpp"
#include "spacecharge/poisson.hpp"
#include "platform/format.hpp"
#include "platform/unformatted.hpp"
#include "platform/units.hpp"

namespace linac {

namespace {

constexpr const char* kValidTypes = "0, 1, 2, 20, 21, 23, 48, 49, 51, 52, 53";

bool is_restart(const ControlContext& sim) { return sim.state.iscrch > 0; }

void screen(ControlContext& sim, std::string_view fmt_text, std::initializer_list<FmtItem> items) {
  write_formatted(sim.units, kScreenUnit, fmt_text, items);
}

void check_state_count(const ControlContext& sim) {
  const std::int32_t nq = sim.config.NQTOT;
  if (nq < 0 || nq > kMaxChargeStates)
    fatal(fmt::format(" NQTOT = {} is outside 0..{} charge states", nq, kMaxChargeStates));
}

}  // namespace

std::string restart_file_name(int iscrch) { return numbered_name("scratch.#", iscrch, 2); }

void check_beam_source_exclusions(ControlContext& sim) {
  const bool restart = is_restart(sim);
  const RunConfig& c = sim.config;
  if (restart && c.IREAD_DIS == 1) fatal(" iflag_scr.ge.1 .and. iread_dis.eq.1");
  if (restart && c.IACCEP == 1) fatal(" iflag_scr.ge.1 .and. iaccep.eq.1");
  if (c.IACCEP == 1 && c.IREAD_DIS == 1) fatal(" iaccep.eq.1 .and. iread_dis.eq.1");
}

// A restart file comes from another run: its harmonic must also fit the
// base frequency of this run's velmo.dat, since times and longitudinal
// emittances scale with FREQB * harm (a harmonic of 1e-300 left every
// longitudinal emittance column of out.dat in asterisks).
void read_restart_file(ControlContext& sim) {
  const std::string name = restart_file_name(sim.state.iscrch);
  State(sim, name, "read");
  using input_range::kMaxFrequency;
  using input_range::kMinFrequency;
  const ReferenceBlock& r = sim.ref;
  const double f = r.FREQB * r.harm;
  if (!(f >= kMinFrequency && f <= kMaxFrequency))
    fatal(fmt::format(" beam-state file {}: harm = {} with FREQB = {} Hz; the operating frequency "
                      "FREQB * harm must lie in {:g}..{:g} Hz",
                      name, r.harm, r.FREQB, kMinFrequency, kMaxFrequency));
}

void read_dis_dat(ControlContext& sim) {
  RunConfig& c = sim.config;
  ParticleArrays& p = sim.particles;
  const std::string name = "read_dis.dat";
  UnformattedIn in(sim.units, name);
  RecordIn r1 = in.read();
  const double w_file = r1.get_double();
  const std::int32_t nq = r1.get_int();
  screen(sim, "(A46,I3)", {" number of charge states in TRAN.dat nqtot=   ", c.NQTOT});
  screen(sim, "(A46,I3)", {" number of charge states in READ.dis nqtot=   ", nq});
  // The counts are compared before the particle records are read: a file
  // with another number of states cannot be read record by record.
  if (nq != c.NQTOT) fatal("    STOP-> nqtot in TRAN.DAT .ne. nqtot in READ_DIS");
  if (nq < 1 || nq > kMaxChargeStates)
    fatal(fmt::format(" {}: {} charge states; the run holds 1..{}", name, nq, kMaxChargeStates));
  const auto n = static_cast<std::size_t>(nq);
  in.read().get(std::span<std::int32_t>(&c.npat0[1], n));
  for (std::int32_t iq = 1; iq <= nq; ++iq)
    if (c.npat0[iq] < 0 || c.npat0[iq] > kMaxParticles)
      fatal(fmt::format(" {}: npat({}) = {} is outside 0..{}", name, iq, c.npat0[iq],
                        kMaxParticles));
  in.read().get(std::span<double>(&sim.config.qq0[1], n));
  // A NaN charge would pass the comparison with the run's charges below.
  for (std::int32_t iq = 1; iq <= nq; ++iq)
    input_range::check_charge_number(name, 3, fmt::format("qq({})", iq), c.qq0[iq]);
  if (!(std::isfinite(w_file) && w_file > 0.0 && w_file <= input_range::kMaxEnergy))
    fatal(fmt::format(" {}, record 1: design energy {} keV/u; allowed range (0, {}]", name, w_file,
                      input_range::kMaxEnergy));
  sim.ref.w0 = w_file;
  long record = 3;
  for (std::int32_t iq = 1; iq <= nq; ++iq)
    for (std::int32_t i = 0; i <= c.npat0[iq]; ++i) {
      RecordIn rp = in.read();
      ++record;
      input_range::ParticleRecord v{};
      v.x = rp.get_double();
      v.xp = rp.get_double();
      v.y = rp.get_double();
      v.yp = rp.get_double();
      v.phase = rp.get_double();
      v.beta = rp.get_double();
      v.status = rp.get_int();
      input_range::check_particle_record(name, record, iq, i, v);
      p.x[iq][i] = v.x;
      p.xp[iq][i] = v.xp;
      p.y[iq][i] = v.y;
      p.yp[iq][i] = v.yp;
      p.phase[iq][i] = v.phase;
      p.beta[iq][i] = v.beta;
      p.status[iq][i] = v.status;
    }

  // Charges of the run against those of the file.
  sim.units.write(kScreenUnit, "");
  screen(sim, "(A4,TR10,2A20)", {"  iq", " qq(iq) in TRAN.dat ", " qq(iq) in READ.dis "});
  for (std::int32_t iq = 1; iq <= c.NQTOT; ++iq) {
    screen(sim, "(I4,2F20.3)", {iq, c.QQ[iq], c.qq0[iq]});
    if (std::fabs(c.QQ[iq] - c.qq0[iq]) > 1e-5)
      fatal(
          " STOP-> qq(iq) in  TRAN.dat .ne.                     !                     qq(iq) in "
          "READ.dis      ");
  }
  // Particle counts: the run uses the first min(NPAT, npat0) of the file.
  sim.units.write(kScreenUnit, "");
  screen(sim, "(A4,TR10,3A22)",
         {"  iq", " npat(iq) in TRAN.dat ", " npat(iq) in READ.dis ", "   npat(iq) in VELMO  "});
  for (std::int32_t iq = 1; iq <= c.NQTOT; ++iq) {
    const std::int32_t used = std::min(c.NPAT[iq], c.npat0[iq]);
    screen(sim, "(I4,3I22)", {iq, c.NPAT[iq], c.npat0[iq], used});
    c.NPAT[iq] = used;
  }

  // The file's phases are at harmonic 1; the first lattice line gives the
  // harmonic at the entrance.
  const std::int32_t n1 = c.iel_first;
  if (is_harmonic_line(sim.elements, n1)) {
    const double h = sim.elements.elem_par[n1][1];
    if (!(h > 0.0))
      fatal(fmt::format(" first lattice line prmtr harm = {}: the harmonic must be above 0", h));
    ReferenceBlock& r = sim.ref;
    if (h > widen(1.01f) * r.harm || h < widen(0.99f) * r.harm) {
      for (std::int32_t iq = 1; iq <= c.NQTOT; ++iq)
        for (std::int32_t i = 0; i <= c.NPAT[iq]; ++i)
          if (p.status[iq][i] >= 0) p.phase[iq][i] = h * p.phase[iq][i] / r.harm;
    }
    r.harm = h;
    r.wavelength_2pi = r.wavelength / h / kTwoPi;
  } else {
    for (const char* line : {"1st command in sclinac.dat must be 1 prmtr harm=N",
                             "for partice distribution from read_dis.dat       ",
                             "N is actual harmonic number at the entrance of   ",
                             "the given part of the accelerator                "})
      sim.units.write(kScreenUnit, list_directed({std::string_view(line)}));
  }
}

void generate_beam(ControlContext& sim) {
  RunConfig& c = sim.config;
  ReferenceBlock& r = sim.ref;
  const BeamParams& b = sim.beam;
  const std::int32_t type = c.IFLAG_DIS;
  bool generator = false;
  switch (type) {
    case 0: case 1: case 2: case 48: case 51: case 52: case 53: generator = true; break;
    case 20: case 21: case 23: case 49: break;
    default:
      fatal(fmt::format(" IFLAG_DIS = {} is not a distribution type; the types are {}", type,
                        kValidTypes));
  }
  check_state_count(sim);
  if (generator && c.NQTOT > 0 && !(r.w0 > 0.0))
    fatal(fmt::format(" design energy w0 = {} keV/u: a generated beam needs w0 above 0 "
                      "(WIN or UDESIGN in velmo.dat)",
                      r.w0));
  const double beta0 = b.beta_design;
  switch (type) {
    case 0:
      r.qa_push = r.QDESIGN / r.ADESIGN;
      for (std::int32_t iq = 1; iq <= c.NQTOT; ++iq) {
        // Every state falls through the same source voltage.
        const double wq = r.w0 * (std::fabs(c.QQ[iq]) / c.AMASS[iq]) / r.qa_push;
        const double beta_q = speed_of_energy(wq, r.amu_kev);
        gen_dist_uniform_box(sim, beta_q, b.DB_B, b.DF_4D, b.PHI0, b.epsx_geo, b.ALPHX, b.BETX,
                             b.epsy_geo, b.ALPHY, b.BETY, iq);
      }
      break;
    case 1:
      for (std::int32_t iq = 1; iq <= c.NQTOT; ++iq)
        gen_dist_waterbag6d(sim, beta0, b.epsx_geo, b.ALPHX, b.BETX, b.epsy_geo, b.ALPHY, b.BETY,
                            b.EPSNZ, b.ALPHZ, b.BETZ, iq);
      break;
    case 2:
      for (std::int32_t iq = 1; iq <= c.NQTOT; ++iq)
        gen_dist_ellipsoid3d(sim, beta0, b.epsx_geo, b.ALPHX, b.BETX, b.epsy_geo, b.ALPHY, b.BETY,
                             b.EPSNZ, b.ALPHZ, b.BETZ, iq);
      break;
    case 20:
    case 21:
    case 23:
      if (type == 20) read_lanl_distribution(sim);
      else if (type == 21) read_astra_distribution(sim);
      else read_kobra_distribution(sim);
      // The file's mean energy (WIN, keV/u) becomes the design energy.
      set_design_particle(sim);
      break;
    case 48:
      for (std::int32_t iq = 1; iq <= c.NQTOT; ++iq)
        gen_dist_random_direction(sim, beta0, b.BETX, b.BETZ, b.DF_4D, b.DB_B, iq);
      break;
    case 49:
      read_dinamion(sim);
      break;
    case 51:
      for (std::int32_t iq = 1; iq <= c.NQTOT; ++iq)
        gen_dist_dc_beam(sim, beta0, sim.sc.A_AXE, sim.sc.B_AXE, b.RAB, iq);
      break;
    case 52:
      for (std::int32_t iq = 1; iq <= c.NQTOT; ++iq)
        gen_dist_ball3d(sim, beta0, sim.sc.A_AXE, sim.sc.B_AXE, sim.sc.C_AXE, iq);
      break;
    case 53:
      for (std::int32_t iq = 1; iq <= c.NQTOT; ++iq)
        gen_dist_gauss(sim, beta0, sim.sc.A_AXE, sim.sc.B_AXE, sim.sc.C_AXE, iq);
      break;
    default:
      break;
  }
}

void generate_acceptance_beam(ControlContext& sim) {
  const BeamParams& b = sim.beam;
  sim.config.NQTOT = 1;
  sim.state.istat_mode = 2;
  if (!(sim.ref.w0 > 0.0))
    fatal(fmt::format(" design energy w0 = {} keV/u: the acceptance beam needs w0 above 0 "
                      "(WIN or UDESIGN in velmo.dat)",
                      sim.ref.w0));
  gen_beam_twiss(sim, b.beta_design, b.epsx_geo, b.ALPHX, b.BETX, b.epsy_geo, b.ALPHY, b.BETY,
                 b.PHMAX, sim.config.DWWACC);
}

void set_charge_range(ControlContext& sim) {
  RunConfig& c = sim.config;
  if (c.IFLAG_QQ < 0)
    fatal(fmt::format(" IFLAG_QQ = {} is below 0; it is the last charge state of the statistics "
                      "(0: NQTOT)",
                      c.IFLAG_QQ));
  c.nqtot0 = 1;
  if (c.IFLAG_QQ > c.NQTOT || c.IFLAG_QQ == 0) c.IFLAG_QQ = c.NQTOT;
  c.nqtot1 = c.IFLAG_QQ;
}

void set_macro_charges(ControlContext& sim) {
  const RunConfig& c = sim.config;
  BeamCurrent& cur = sim.current;
  ParticleArrays& p = sim.particles;
  double s = 0.0;
  for (std::int32_t iq = 1; iq <= c.NQTOT; ++iq) {
    const double qa = c.QQ[iq] / c.AMASS[iq];
    for (std::int32_t i = 0; i <= c.NPAT[iq]; ++i) p.qa[iq][i] = qa;
    s += cur.CURRENT[iq];
    // Charge of one macro-particle in C: I/FREQB shared by NPAT + 1 particles.
    cur.qmacro[iq] = cur.CURRENT[iq] * 0.001 / sim.ref.FREQB / (c.NPAT[iq] + 1);
  }
  if (s >= kScurMin) {
    sim.units.open(kUnitScWarning, "sc_warning.dat");
    for (std::int32_t n = c.iel_first; n <= c.iel_last; ++n)
      if (sim.elements.elem_name[n] == "strip")
        fatal(" Can not calculate stripper with space charge");
  }
  cur.scur = s;
}

void entrance_statistics(ControlContext& sim) {
  RunState& s = sim.state;
  s.istat_mode = sim.config.IACCEP == 1 ? 2 : 0;
  s.ipos = sim.config.iel_first - 1;
  sim.history.ref_phase_out[s.ipos] = 0.0;
  sim.ref.nstep = 1;
  sim.history.ref_W_out[s.ipos] = sim.ref.w0;
  stat(sim, sim.ref.nstep);
  if (sim.config.IACCEP == 1) stat_acceptance_exit(sim);
}

void centre_generated_beam(ControlContext& sim) {
  const RunConfig& c = sim.config;
  ParticleArrays& p = sim.particles;
  const double amu_kev = sim.ref.amu_kev;
  for (std::int32_t iq = 1; iq <= c.NQTOT; ++iq) {
    // A state that the statistics did not count (outside the statistics
    // range, or no particle inside the energy acceptance) has no centroid.
    if (!(sim.qphase.qstate_count[iq] > 0.0)) continue;
    const auto& cen = sim.stats.qstate_centroids[iq];
    const double w_ref = kinetic_energy_kev(p.beta[iq][0], amu_kev);
    const double dw = cen[6] - w_ref;  // mean energy above the reference, keV/u
    const std::int32_t n = c.NPAT[iq];
#pragma omp parallel for schedule(static)
    for (std::int32_t i = 1; i <= n; ++i) {
      if (p.status[iq][i] < 0) continue;
      p.x[iq][i] -= cen[1];
      p.xp[iq][i] -= cen[2];
      p.y[iq][i] -= cen[3];
      p.yp[iq][i] -= cen[4];
      p.phase[iq][i] -= cen[5];
      const double w = kinetic_energy_kev(p.beta[iq][i], amu_kev) - dw;
      p.beta[iq][i] = speed_of_energy(w, amu_kev);
    }
  }
}

void make_initial_beam(ControlContext& sim) {
  RunConfig& c = sim.config;
  const bool restart = is_restart(sim);
  // 1. Sources that cannot be combined.
  check_beam_source_exclusions(sim);
  // 2.-5. The source of the beam.
  if (restart) read_restart_file(sim);
  if (c.IREAD_DIS == 1) read_dis_dat(sim);
  if (c.IACCEP == 0 && c.IREAD_DIS == 0 && !restart) generate_beam(sim);
  if (c.IACCEP == 1) generate_acceptance_beam(sim);
  // 6. Design energy at the entrance, and the space-charge solver's tables
  // for the grid sizes and model read.
  sim.ref.w_entry = sim.ref.w0;
  sc_fft_init(sim);
  // 7. Range of charge states the statistics use.
  set_charge_range(sim);
  // 8. Macro-particle charges and space charge (a restart keeps the file's).
  if (!restart) set_macro_charges(sim);
  // 9. Entrance statistics.
  entrance_statistics(sim);
  // 10. Generated beams are centred on their reference particles.
  if (c.IACCEP == 0 && c.IREAD_DIS == 0 && !restart && c.IFLAG_DIS != 20)
    centre_generated_beam(sim);
  // 11. Entrance copies.
  for (int iq = 1; iq <= kMaxChargeStates; ++iq) {
    c.npat0[iq] = c.NPAT[iq];
    c.qq0[iq] = c.QQ[iq];
    c.amass0[iq] = c.AMASS[iq];
    sim.npat.npat_pass[iq] = c.NPAT[iq];
  }
  // 12. Charge groups and the initial beam-state file.
  group_charge_states(sim, sim.ref.QDESIGN);
  State(sim, "ini_dis.dat", "write");
  if (c.IACCEP == 1 && sim.current.scur >= kScurMin)
    fatal(" Can not calculate acceptance with space charge for iaccep=1");
}

void write_particle_file(ControlContext& sim) {
  const RunConfig& c = sim.config;
  const ParticleArrays& p = sim.particles;
  const std::int32_t nq = c.NQTOT;
  const auto n = static_cast<std::size_t>(std::max(nq, 0));
  if (c.write_ascii == 0) {
    // Unformatted, phases brought back to harmonic 1.
    UnformattedOut out(sim.units, "read_dis.out");
    RecordOut r1, r2, r3;
    r1.put(sim.ref.w0).put(nq);
    r2.put(std::span<const std::int32_t>(&c.NPAT[1], n));
    r3.put(std::span<const double>(&c.QQ[1], n));
    out.write(r1);
    out.write(r2);
    out.write(r3);
    const double harm = sim.ref.harm;
    for (std::int32_t iq = 1; iq <= nq; ++iq)
      for (std::int32_t i = 0; i <= c.NPAT[iq]; ++i) {
        RecordOut rp;
        rp.put(p.x[iq][i]).put(p.xp[iq][i]).put(p.y[iq][i]).put(p.yp[iq][i]);
        rp.put(p.phase[iq][i] / harm).put(p.beta[iq][i]).put(p.status[iq][i]);
        out.write(rp);
      }
    out.close();
  } else if (c.write_ascii == 1) {
    // Text, phases at the operating harmonic.
    static const FortranFormat kParticle("(6(E25.15,TR3),I15)");
    TextOut out(sim.units, "read_dis_ascii.out");
    out.write(format_records("(E25.15,I15)", {sim.ref.w0, nq}));
    std::vector<FmtItem> items;
    for (std::int32_t iq = 1; iq <= nq; ++iq) items.emplace_back(c.NPAT[iq]);
    out.write(format_records("(6I15)", items));
    items.clear();
    for (std::int32_t iq = 1; iq <= nq; ++iq) items.emplace_back(c.QQ[iq]);
    out.write(format_records("(6E25.15)", items));
    for (std::int32_t iq = 1; iq <= nq; ++iq)
      for (std::int32_t i = 0; i <= c.NPAT[iq]; ++i) {
        const FmtItem row[] = {p.x[iq][i],     p.xp[iq][i],   p.y[iq][i],     p.yp[iq][i],
                               p.phase[iq][i], p.beta[iq][i], p.status[iq][i]};
        out.write(kParticle.write(row));
      }
  }
}

}  // namespace linac
