#include "matrices/matrx.hpp"

#include <cmath>
#include <string_view>

#include <fmt/format.h>

#include "beam/stats.hpp"
#include "matrices/matrices_context.hpp"
#include "common/result_fields.hpp"
#include "common/text_utils.hpp"
#include "common/unit_numbers.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "transport/lens_matrices.hpp"
#include "transport/point_elements.hpp"
#include "transport/seams.hpp"

namespace linac {

namespace {

constexpr double kDegRad = 0.017453292519943295;  // pi/180

// Test particles and the records of the section. The last slot of the
// particle block per charge state:
constexpr int kLastSlot = kParticleSlots - 1;

const char* const kStepNames[6] = {"x", "x'", "y", "y'", "phase", "dW/W"};

// Fills the 13 slots behind the beam of charge state iq.
void place_test_particles(MatricesContext& sim, int iq, const std::array<double, 6>& P, double beta0,
                          double beta_minus, double beta_plus, double phase0) {
  ParticleArrays& p = sim.particles;
  const int base = sim.config.NPAT[iq];
  const double qa = sim.config.QQ[iq] / sim.config.AMASS[iq];
  for (int k = 1; k <= kSectionTestParticles; ++k) {
    const int i = base + k;
    p.status[iq][i] = kLive;
    p.qa[iq][i] = qa;
    p.x[iq][i] = 0.0;
    p.xp[iq][i] = 0.0;
    p.y[iq][i] = 0.0;
    p.yp[iq][i] = 0.0;
    p.phase[iq][i] = phase0;
    p.beta[iq][i] = beta0;
  }
  for (int side = 0; side < 2; ++side) {
    const int i = base + 6 * side;
    const double sg = side == 0 ? -1.0 : 1.0;
    p.x[iq][i + 1] = sg * P[0];
    p.xp[iq][i + 2] = sg * P[1] / 1000.0;
    p.y[iq][i + 3] = sg * P[2];
    p.yp[iq][i + 4] = sg * P[3] / 1000.0;
    p.phase[iq][i + 5] = phase0 + sg * P[4] * kDegRad;
    p.beta[iq][i + 6] = side == 0 ? beta_minus : beta_plus;
  }
  sim.npat.ntest[iq] = kSectionTestParticles;
}

// ---- matrix.dat records ----

std::string text_line(std::string_view t) { return list_directed({t}); }

void add_matrix(RecordBlock& out, FormatCache& fc, const Matrix6& M) {
  const FortranFormat& f = fc.get("(6F10.4)");
  for (int k = 1; k <= 6; ++k)
    out.add(f, {M(1, k), M(2, k), M(3, k), M(4, k), M(5, k), M(6, k)});
}

void add_dets(RecordBlock& out, FormatCache& fc, const Matrix6& M) {
  const auto d = block_determinants(M);
  out.add(fc.get("(A20,3F12.7)"), {std::string_view("  det1,det2,det3 "), d[0], d[1], d[2]});
}

void add_solenoid_block(RecordBlock& out, FormatCache& fc, const SectionListing& s,
                        const Matrix6& R, double theta) {
  const FortranFormat& f = fc.get("(A8,F12.3,A4)");
  const EffectiveSolenoid e = effective_solenoid(R, theta, s.L, s.eff_len, s.sol_field);
  out.add_line(text_line(" Effective parameters of the solenoid for TRACE3D"));
  out.add(f, {std::string_view("Dsol=  "), s.L, std::string_view("cm")});
  if (!e.ok) {
    out.add_line(text_line(" no effective solenoid "));
    return;
  }
  out.add(f, {std::string_view("Beff=  "), e.Beff, std::string_view("Gs")});
  out.add(f, {std::string_view("Ddrift="), e.d, std::string_view("cm")});
  out.add(f, {std::string_view("Heff=  "), e.Heff, std::string_view("cm")});
  out.add(f, {std::string_view("Ddrift="), e.d, std::string_view("cm")});
}

void add_cavity_block(RecordBlock& out, FormatCache& fc, const SectionListing& s,
                      const ThinGap& g, double AMASS) {
  out.add_line("");
  out.add_line(text_line(" Effective parameters of the cavity for TRACE3D"));
  out.add(fc.get("(A30,F12.5,A4)"), {std::string_view(" initial kinetic energy Wi="), g.W_in * AMASS / 1000.0,
                       std::string_view("MeV"), std::string_view(" final kinetic energy   Wi="),
                       g.W_out * AMASS / 1000.0, std::string_view("MeV"),
                       std::string_view(" effective gap voltage ETL="), g.ETL / 1000.0,
                       std::string_view("MV"), std::string_view(" phase of RF            Ph="), g.Ph,
                       std::string_view("deg")});
  const FortranFormat& f = fc.get("(A8,F12.3,A4)");
  out.add(f, {std::string_view("Dcav=  "), s.L, std::string_view("cm")});
  out.add(f, {std::string_view("Ddrift="), s.L / 2.0, std::string_view("cm")});
  out.add(fc.get("(A13,F12.3,A4)"), {std::string_view("RF gap")});
  out.add(f, {std::string_view("Ddrift="), s.L / 2.0, std::string_view("cm")});
  out.add_line("");
  out.add_line(text_line(" nonsymplectic matrix of the thin RF gap"));
  add_matrix(out, fc, g.G);
  out.add_line("");
}

void add_thin_lens_block(RecordBlock& out, FormatCache& fc, const ThinGap& g) {
  out.add_line("");
  out.add_line(text_line("  nonsymplectic thin lens for RF gap"));
  for (double v : {g.W_m, g.W_in, g.W_out, g.dW, -g.Z}) out.add_line(list_directed({v}));
  add_matrix(out, fc, g.G);
}

// Block 10 for one plane; sets the plane's block of U when it is periodic.
void add_plane(RecordBlock& out, FormatCache& fc, const SectionListing& s,
               const Matrix6& M, int plane, Matrix6& U) {
  static constexpr const char* kTitle[3] = {"  X-plane ", "  Y-plane ", "  P-plane "};
  const int i = 2 * plane + 1;
  out.add_line("");
  out.add_line("");
  out.add_line(text_line(kTitle[plane]));
  if (s.zero_step[static_cast<std::size_t>(i - 1)] || s.zero_step[static_cast<std::size_t>(i)]) {
    out.add_line(text_line(" zero step "));
    return;
  }
  const PlaneTwiss t = periodic_twiss(M(i, i), M(i, i + 1), M(i + 1, i), M(i + 1, i + 1), plane);
  if (!t.stable) {
    out.add_line(text_line(" cosmu >1 "));
    return;
  }
  double beta = 0.0;
  if (plane < 2)
    beta = t.beta * 1000.0 * s.ends.bg_in;
  else
    beta = t.beta * 100.0 * s.ends.gm1_in / s.ends.omega_ns;
  using SV = std::string_view;
  static constexpr SV kCos[3] = {" cosmu", " cosmu", "  cosmu"};
  static constexpr SV kSin[3] = {" sinmu", " sinmu", "  sinmu"};
  static constexpr SV kMu[3] = {"  muX ", "  muY ", "   muP "};
  static constexpr SV kMuUnit[3] = {" deg", " deg", "deg"};
  static constexpr SV kBet[3] = {" betX ", " betY ", "  betP "};
  static constexpr SV kBetUnit[3] = {"cm/rad", "cm/rad", "deg/%"};
  static constexpr SV kAlph[3] = {" alphX ", " alphY ", " alphP "};
  out.add(fc.get("(2(A10,F10.5))"), {kCos[plane], t.cosmu, kSin[plane], t.sinmu});
  out.add(fc.get("(A10,F10.2,A6)"), {kMu[plane], t.mu_deg, kMuUnit[plane]});
  out.add(fc.get("(A10,D15.5,A8)"), {kBet[plane], beta, kBetUnit[plane]});
  out.add(fc.get("(A10,D15.5)"), {kAlph[plane], t.alpha});
  U(i, i) = t.beta;
  U(i, i + 1) = -t.alpha;
  U(i + 1, i) = -t.alpha;
  U(i + 1, i + 1) = t.gamma;
}

}  // namespace

// The phase the test particles start at and the section-end phases are
// measured from: the design phase 0 at element boundaries, the carried
// reference phase inside a phase chain.
double section_phase_origin(const MatricesContext& sim) {
  return sim.state.iflag_chain == 1 ? sim.history.ref_phase_out[sim.state.ipos] : 0.0;
}

// Reference values of a zero-length line; inside a phase chain the
// previous position's phases are carried on.
void section_reference(MatricesContext& sim) {
  sim.ref.elem_len = 0.0;
  zero_length_reference(sim);
  RunState& s = sim.state;
  if (s.ipass == 1 && s.iflag_chain == 1) {
    ReferenceHistory& h = sim.history;
    h.elem_rf_phase[s.ipos] = h.elem_rf_phase[s.ipos - 1];
    h.ref_phase_out[s.ipos] = h.ref_phase_out[s.ipos - 1];
  }
}

void open_matrix_file(MatricesContext& sim) {
  if (sim.state.ifirst_matrx == -1) {
    sim.units.open(kUnitMatrix, "matrix.dat");
    sim.state.ifirst_matrx = 1;
  }
}

bool matrx_entry(MatricesContext& sim) {
  open_matrix_file(sim);
  sim.state.ipos += 1;
  if (sim.state.idraw == 1) return false;
  section_reference(sim);
  sim.ref.w0 = sim.history.ref_W_out[sim.state.ipos];
  return true;
}

SectionListing section_values(const MatricesContext& sim, std::int32_t n, int start) {
  const ReferenceBlock& r = sim.ref;
  const auto& E = sim.elements;
  SectionListing L;
  L.L = E.elem_pos[static_cast<std::size_t>(n)] - E.elem_pos[static_cast<std::size_t>(start)];
  L.amu_kev = r.amu_kev;
  L.wavelength_2pi = r.wavelength_2pi;
  // gamma - 1 = (beta gamma)^2 / (gamma + 1): no digits lost near gamma = 1.
  const auto& Pu = E.elem_par[static_cast<std::size_t>(start)];
  L.ends.bg_in = Pu[7] * Pu[8];
  L.ends.gm1_in = L.ends.bg_in * L.ends.bg_in / (Pu[7] + 1.0);
  L.W_in = L.ends.gm1_in * r.amu_kev;
  L.W_out = r.w0;
  L.ends.gm1_out = r.w0 / r.amu_kev;
  L.ends.bg_out = std::sqrt(L.ends.gm1_out * (L.ends.gm1_out + 2.0));
  L.ends.omega_ns = 2.0 * kPi * r.FREQB * r.harm * 1e-9;
  L.single = single_element_kind(sim, n, start);
  if (L.single == 1) {
    L.sol_field = E.elem_par[static_cast<std::size_t>(n - 1)][1];
    L.eff_len = r.eff_len;
  }
  return L;
}

void find_section(MatricesContext& sim, std::int32_t n) {
  MatrxState& ms = sim.matrx;
  const auto& E = sim.elements;
  const std::int32_t number = E.elem_int[static_cast<std::size_t>(n)][kElemN];
  for (int k = sim.config.iel_first; k <= n; ++k) {
    const auto kk = static_cast<std::size_t>(k);
    if (E.elem_name[kk].view() == "updat" && E.elem_int[kk][kElemN] == number) {
      ms.section_start = k;
      for (int j = 1; j <= 6; ++j) ms.section_steps[static_cast<std::size_t>(j)] = E.elem_par[kk][j];
      break;
    }
  }
  if (ms.section_start == 0)
    fatal({fmt::format(" matrx at lattice line {} (section {}): no updat line opens a section "
                       "before it",
                       n, number),
           " put an updat line with the same number before the matrx line"},
          true);
}

int single_element_kind(const MatricesContext& sim, std::int32_t n, int start) {
  if (n - start != 2) return 0;
  const std::string_view kw = sim.elements.elem_name[static_cast<std::size_t>(n - 1)].view();
  if (index_nocase(kw, "sol") > 0) return 1;
  if (index_nocase(kw, "cav") > 0) return 2;
  return 0;
}

void add_single_element_block(RecordBlock& out, const SectionListing& s,
                              double AMASS, const Matrix6& R, double theta) {
  FormatCache fc;
  if (s.single == 1) add_solenoid_block(out, fc, s, R, theta);
  if (s.single == 2)
    add_cavity_block(out, fc, s,
                     thin_gap(R, s.L, s.W_in, s.W_out, s.ends.bg_out, s.wavelength_2pi, s.amu_kev),
                     AMASS);
}

RecordBlock state_listing(const SectionListing& s, double QQ, double AMASS, const Matrix6& R, double theta) {
  FormatCache fc;
  RecordBlock out;
  out.add_line("");
  out.add_line("");
  out.add(fc.get("(A12,F8.2)"), {std::string_view("  Charge "), QQ});
  out.add(fc.get("(A25,F12.4,A3)"), {std::string_view("  Length of the section"), s.L,
                                           std::string_view(" cm")});
  out.add_line("");
  out.add_line(text_line("  nonsymplectic  matrix"));
  add_matrix(out, fc, R);
  const ThinGap g = thin_gap(R, s.L, s.W_in, s.W_out, s.ends.bg_out, s.wavelength_2pi, s.amu_kev);
  if (s.single == 1) add_solenoid_block(out, fc, s, R, theta);
  if (s.single == 2) add_cavity_block(out, fc, s, g, AMASS);
  Matrix6 A = R;
  matmul6_left(rotation_matrix(-theta), A);
  out.add_line("");
  out.add_line(text_line("  nonsymplectic  matrix after rotation"));
  add_matrix(out, fc, A);
  add_thin_lens_block(out, fc, g);
  const Matrix6 M = symplectic_form(A, s.ends);
  out.add_line("");
  out.add_line(text_line(" symplectic  matrix  after rotation"));
  add_matrix(out, fc, M);
  add_dets(out, fc, M);
  out.add_line("");
  out.add_line(text_line(" symplecticity conditions aT*J*a"));
  add_matrix(out, fc, symplecticity_matrix(M));
  Matrix6 U;
  unit_matrix6(U);
  for (int plane = 0; plane < 3; ++plane) add_plane(out, fc, s, M, plane, U);
  out.add_line(text_line(" sm before"));
  add_matrix(out, fc, U);
  sigma_transform(U, M);
  out.add_line(text_line(" sm after"));
  add_matrix(out, fc, U);
  return out;
}

void updat_cmd(MatricesContext& sim, std::int32_t& n) {
  RunState& s = sim.state;
  ReferenceBlock& r = sim.ref;
  s.ipos += 1;
  if (s.idraw == 1) return;
  section_reference(sim);
  const int ipos = s.ipos;
  auto& P = sim.elements.elem_par[static_cast<std::size_t>(n)];
  r.w0 = sim.history.ref_W_out[ipos];
  // Correction passes use the slots after the beam for their own trial
  // particles: no section is measured then.
  if (sim.state.corr_passes_running == 1) return;
  const double gamma0 = 1.0 + r.w0 / r.amu_kev;
  const double beta0 = beta_from_kinetic_energy(r.w0, r.amu_kev);
  P[7] = gamma0;
  P[8] = beta0;

  // Steps the line leaves at 0: the rms sizes of the arriving beam, kept in
  // the line for every later pass.
  const ElementStatsRow& st = sim.stats.element_stats[static_cast<std::size_t>(ipos - 1)];
  const double rms[6] = {st.x_rms, st.xp_rms * 1000.0, st.y_rms, st.yp_rms * 1000.0,
                         st.phi_rms / kDegRad, st.dww_rms * 100.0};
  std::array<double, 6> step{};
  for (int k = 1; k <= 6; ++k) {
    if (P[k] == 0.0) P[k] = rms[k - 1];
    step[static_cast<std::size_t>(k - 1)] = P[k];
    if (P[k] == 0.0 && s.ipass == 1)
      sim.units.write(kUnitLog, fmt::format(" updat at lattice line {}: no step and no beam spread "
                                            "in {}; its matrix column is left 0",
                                            n, kStepNames[k - 1]));
  }
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    const int last = sim.config.NPAT[iq] + kSectionTestParticles;
    if (last > kLastSlot)
      fatal({fmt::format(" updat at lattice line {}: charge state {} has {} particles; its {} test "
                         "particles need slots up to {}",
                         n, iq, sim.config.NPAT[iq], kSectionTestParticles, last),
             fmt::format(" the particle block ends at slot {}", kLastSlot)},
            true);
  }
  const double beta_minus = beta_from_kinetic_energy(r.w0 * (1.0 - step[5] * 0.01), r.amu_kev);
  const double beta_plus = beta_from_kinetic_energy(r.w0 * (1.0 + step[5] * 0.01), r.amu_kev);
  const double phase0 = section_phase_origin(sim);
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq)
    place_test_particles(sim, iq, step, beta0, beta_minus, beta_plus, phase0);
  stat_copy_prev(sim, ipos);
}

void matrx_cmd(MatricesContext& sim, std::int32_t& n) {
  RunState& s = sim.state;
  ReferenceBlock& r = sim.ref;
  MatrxState& ms = sim.matrx;
  if (!matrx_entry(sim)) return;
  if (sim.state.corr_passes_running == 1) return;
  const int ipos = s.ipos;

  find_section(sim, n);
  const int start = ms.section_start;
  SectionListing L = section_values(sim, n, start);
  double theta = 0.0;
  for (int k = start; k <= n; ++k) theta += sim.history.larmor_angle[static_cast<std::size_t>(k)];
  for (int j = 1; j <= 6; ++j) L.zero_step[static_cast<std::size_t>(j - 1)] = ms.section_steps[static_cast<std::size_t>(j)] == 0.0;
  // Central differences of the test particles, per charge state.
  std::array<double, 6> steps{};
  for (int j = 0; j < 6; ++j) steps[static_cast<std::size_t>(j)] = ms.section_steps[static_cast<std::size_t>(j + 1)];
  const double phase0 = section_phase_origin(sim);
  const ParticleArrays& p = sim.particles;
  sim.units.write(kUnitMatrix, "");
  const double qa_design = r.QDESIGN / r.ADESIGN;
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    std::array<std::array<double, 6>, 6> minus{}, plus{};
    const int base = sim.config.NPAT[iq];
    for (int j = 1; j <= 6; ++j)
      for (int side = 0; side < 2; ++side) {
        const int i = base + j + 6 * side;
        (side == 0 ? minus : plus)[static_cast<std::size_t>(j - 1)] =
            matrix_coordinates(p.x[iq][i], p.xp[iq][i], p.y[iq][i], p.yp[iq][i],
                               p.phase[iq][i] - phase0, p.beta[iq][i], r.w0, r.amu_kev);
      }
    const Matrix6 R = section_matrix_from_differences(minus, plus, steps);
    for (int j = 1; j <= 6; ++j)
      for (int i = 1; i <= 6; ++i) ms.section_matrix[static_cast<std::size_t>(iq)][static_cast<std::size_t>(j)][static_cast<std::size_t>(i)] = R(i, j);
    // The solenoids turn each state by the design angle scaled with its Q/A.
    const double qa = sim.config.QQ[iq] / sim.config.AMASS[iq];
    const double theta_iq = qa_design != 0.0 ? theta * qa / qa_design : theta;
    write_checked(sim, kUnitMatrix, state_listing(L, sim.config.QQ[iq], sim.config.AMASS[iq], R, theta_iq),
                  fmt::format("element {} (matrx)", n));
  }
  stat_copy_prev(sim, ipos);
}

}  // namespace linac
