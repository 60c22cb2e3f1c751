// End-to-end cases of the field-table elements (tests/cases/field_map_tables):
// energy gain in a uniform field and energy conservation in a static
// potential for every table kind, in z and in time; the uds transit-time
// gain; the solenoid's Larmor rotation; the driver rules (ehex, ecorr, the
// table cache, sol defaults) and the lines the drivers refuse. Tables are
// written by the table writers into the case's scratch directory.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "case_harness.hpp"
#include "transport/table_writers.hpp"
#include "transport/uniform_field.hpp"

namespace linac {
namespace {

using testing::CaseRun;
using testing::Placed;

constexpr double kAmuKev = 931494.3200000001;
constexpr double kL = 10.0;  // cm
constexpr double kQa = 0.5;

double kinetic(double beta) { return (1.0 / std::sqrt(1.0 - beta * beta) - 1.0) * kAmuKev; }

const std::vector<Placed> kBeam = {
    {0.3, 0.002, -0.2, 0.0}, {-0.5, 0.0, 0.4, -0.002}, {0.1, -0.003, 0.7, 0.001},
    {-0.6, 0.001, -0.6, 0.0}};

// 3-D table eh_EMS.#nn over x, y in [-3, 3] cm and the element length L;
// components 0 E, 1 B, 2 both (declared in the file).
void table3d(const CaseRun& run, int nn, int components, const FieldFunction& f, double L = kL) {
  Table3DLayout layout = table_layout(3.0, 3.0, L / 2, {0, 0, 0});
  if (components == kKindEB) layout.head_int = 1;  // the file declares E and B
  write_table3d(run.sim->units, fmt::format("eh_EMS.#{:02d}", nn), layout, components, f);
}

// 2Dtable eh_EMS.#nn in r and z over the element length, (Er, Ez)(r, z).
void table2d(const CaseRun& run, int nn, const Field2DFunction& f) {
  write_2dtable(run.sim->units, fmt::format("eh_EMS.#{:02d}", nn), "nr", 13, 41, " r z Er Ez", 0.0,
                0.25, 0.0, kL / 40, f);
}

struct Lattice {
  std::string lines;
  std::function<void(const CaseRun&)> tables;
};

// The lattice reader has no row for eh3d: its line is read as the eq3d line
// of the same length and then turned into eh3d (E scale, B scale, length,
// aperture) in the element table.
void make_eh3d(Sim& s, int n, double escale, double bscale) {
  auto& P = s.elements.elem_par[static_cast<std::size_t>(n)];
  const double L = P[2], ap = P[3];
  s.elements.elem_name[static_cast<std::size_t>(n)] = "eh3d";
  P[1] = escale;
  P[2] = bscale;
  P[3] = L;
  P[4] = ap;
}

// Runs a lattice in the scratch directory of the case; `edit` adjusts the
// run context after the inputs are read.
std::unique_ptr<CaseRun> run_case(const Lattice& lat, const std::vector<Placed>& beam,
                                  const std::function<void(Sim&)>& edit = {}) {
  auto run = std::make_unique<CaseRun>("cases/field_map_tables");
  testing::write_file(run->dir / "sclinac.dat", lat.lines + "stop\n");
  run->read_inputs();
  if (lat.tables) lat.tables(*run);
  if (edit) edit(*run->sim);
  run->place_beam(1, beam);
  run->run_nominal_pass();
  return run;
}

FieldFunction uniform_ez(double ez) { return analytic::uniform({0, 0, ez}, {0, 0, 0}); }

// Uniform Ez = 1000 V/cm over 10 cm at unit scale: dW = qa Ez L / 1000 =
// 5 keV/u for the design particle and every particle, whatever its path.
TEST(FieldMapCases, UniformFieldGivesQaEzLInZAndTime) {
  const auto ems = [](int components) {
    return [components](const CaseRun& r) { table3d(r, 5, components, uniform_ez(1000.0)); };
  };
  const auto uniform2d = [](double ez) {
    return [ez](double, double) { return std::pair<double, double>{0.0, ez}; };
  };
  const Lattice cases[] = {
      {"5 eq3d 1.0 10.0 2.0 20\n", ems(0)},
      {"5 extrc 1.0 10.0 2.0 20\n", ems(2)},
      {"5 eq3d 1.0 10.0 2.0 20\n",
       [&](const CaseRun& r) {
         ems(2)(r);
         make_eh3d(*r.sim, 1, 1.0, 3.0);  // B = 0 in the table: the scale changes nothing
       }},
      {"5 einz 1.0 10.0 2.0 20\n", ems(0)},
      {"5 einz 1.0 10.0 2.0 20\n", [&](const CaseRun& r) { table2d(r, 5, uniform2d(1000.0)); }},
      // field2 E1 + field1 E2 = 0.5 * 1200 + 2 * 200.
      {"6 comb 0.5 10.0 2.0 20 & 7 & 2.0\n",
       [&](const CaseRun& r) {
         table2d(r, 6, uniform2d(1200.0));
         table2d(r, 7, uniform2d(200.0));
       }},
  };
  const double dW = kQa * 1000.0 * kL / 1000.0;
  for (const Lattice& c : cases) {
    for (int mode = 0; mode <= 1; ++mode) {
      SCOPED_TRACE(c.lines + (mode ? " time mode" : " z mode"));
      auto run = run_case(c, kBeam, [mode](ControlContext& s) { s.config.iflag_dudt = mode; });
      const Sim& s = *run->sim;
      EXPECT_NEAR(s.history.ref_W_out[1] - s.history.ref_W_in[1], dW, 1e-7 * dW);
      const double W0 = kinetic(0.1);
      for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ(s.particles.status[1][i], kLive);
        EXPECT_NEAR(kinetic(s.particles.beta[1][i]) - W0, dW, 1e-7 * dW) << i;
      }
    }
  }
}

// einz in the gradient of a cubic potential phi (V): the interpolation is
// exact for the quadratic field, so each particle's energy changes by
// qa (phi_in - phi_out)/1000 keV/u up to the integration error.
TEST(FieldMapCases, EinzConservesEnergyInACubicPotential) {
  // phi = -500 zt - 20 (x^2 - y^2) + 3 x y zt + 0.5 zt^3, zt from the middle.
  auto phi = [](double x, double y, double z) {
    const double zt = z - kL / 2;
    return -500.0 * zt - 20.0 * (x * x - y * y) + 3.0 * x * y * zt + 0.5 * zt * zt * zt;
  };
  const FieldFunction grad = [](double x, double y, double zt, Vec3& E, Vec3& B) {
    E = {40.0 * x - 3.0 * y * zt, -40.0 * y - 3.0 * x * zt, 500.0 - 3.0 * x * y - 1.5 * zt * zt};
    B = {0.0, 0.0, 0.0};
  };
  for (int mode = 0; mode <= 1; ++mode) {
    SCOPED_TRACE(mode ? "time mode" : "z mode");
    const Lattice lat{"5 einz 1.0 10.0 2.0 40\n",
                      [&](const CaseRun& r) { table3d(r, 5, 0, grad); }};
    auto run = run_case(lat, kBeam, [mode](ControlContext& s) { s.config.iflag_dudt = mode; });
    const Sim& s = *run->sim;
    for (int i = 1; i <= 4; ++i) {
      const Placed& p = kBeam[static_cast<std::size_t>(i - 1)];
      const double expected =
          kQa * (phi(p.x, p.y, 0.0) - phi(s.particles.x[1][i], s.particles.y[1][i], kL)) / 1000.0;
      EXPECT_NEAR(kinetic(s.particles.beta[1][i]) - kinetic(0.1), expected, 1e-7 * std::abs(expected))
          << i;
    }
  }
}

// uds: a 2.5 cm table of Ez = 1000 V/cm cos(phase) followed by 2.5 cm
// without field, lambda = 100 cm: the design particle gains
// qa E0 (beta lambda / 2 pi) sin(2 pi P1 / (beta lambda)) / 1000 = 0.79577
// keV/u to first order in dW/W (1.7e-4). With 20 steps the table ends on a
// step boundary; with 25 steps of 0.2 cm the step from 2.4 to 2.6 cm
// straddles it, and its Simpson weights over the field's jump add
// (0.2/6) E cos(0.48 pi) - E (1 - sin(0.48 pi))/k, about 6e-4 of the gain.
TEST(FieldMapCases, UdsTransitTimeGain) {
  const struct {
    int nstep;
    double tolerance;  // relative
  } cases[] = {{20, 5e-4}, {25, 1e-3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.nstep);
    CaseRun run("cases/field_map_tables");
    std::string velmo = run.file("velmo.dat");
    velmo.replace(velmo.find("FREQB = 100.0D6"), 15, "FREQB = 299.792458D6");
    testing::write_file(run.dir / "velmo.dat", velmo);
    testing::write_file(run.dir / "sclinac.dat",
                        fmt::format("3 uds 2.5 1.0 2.0 2.5 {} 0\nstop\n", c.nstep));
    run.read_inputs();
    table3d(run, 3, 0, uniform_ez(1000.0), 2.5);
    run.place_beam(1, kBeam);
    run.run_nominal_pass();
    const Sim& s = *run.sim;
    const double beta_lambda = 0.1 * 100.0;
    const double gain = kQa * 1000.0 * (beta_lambda / (2 * kPi)) *
                        std::sin(2 * kPi * 2.5 / beta_lambda) / 1000.0;
    EXPECT_NEAR(gain, 0.79577, 1e-5);
    EXPECT_NEAR(s.history.ref_W_out[1] - s.history.ref_W_in[1], gain, c.tolerance * gain);
    // Stepped over table and extension: the last row lies at 5 cm.
    EXPECT_EQ(s.ref.nstep, c.nstep);
    EXPECT_NEAR(s.ref.step_len, 5.0 / c.nstep, 1e-15);
    EXPECT_NEAR(s.ref_path(c.nstep, kRefZ), 5.0, 1e-12);
  }
}

// A uds element takes its table length P1 and its field-free extension P4
// in the lattice as well as in the push. In a field-free table the design
// particle keeps its speed, so its exit phase in wtmp.dat measures the path
// pushed through each element, s = beta lambda dphi / (2 pi); out.dat lists
// the sum of these paths at each line (F12.5 in m), and the drift after the
// uds starts where the uds ended.
TEST(FieldMapCases, UdsLatticeLengthIsTheTableAndItsExtension) {
  const struct {
    const char* lines;
    double uds_path, drift_path;  // cm
  } cases[] = {
      {"3 uds 20.0 1.0 2.0 5.0 25 0\n1 drift 5.0 2.0 2.0\n", 25.0, 5.0},
      {"3 uds 20.0 1.0 2.0 0.0 20 0\n1 drift 5.0 2.0 2.0\n", 20.0, 5.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines);
    const Lattice lat{c.lines, [](const CaseRun& r) { table3d(r, 3, 0, uniform_ez(0.0), 20.0); }};
    auto run = run_case(lat, kBeam);
    const Sim& s = *run->sim;
    const double beta_lambda = 0.1 * 299.792458;
    // The path each element pushed the design particle over, from its time
    // of flight (phases relative to the design particle: each element's
    // reference starts at phase 0).
    double pushed[3] = {0.0, 0.0, 0.0};
    for (int n = 1; n <= 2; ++n) pushed[n] = s.history.ref_phase_out[n] * beta_lambda / (2 * kPi);
    EXPECT_NEAR(pushed[1], c.uds_path, 1e-9);
    EXPECT_NEAR(pushed[2], c.drift_path, 1e-9);
    EXPECT_NEAR(s.elements.elem_pos[1], pushed[1], 1e-9);
    EXPECT_NEAR(s.elements.elem_pos[2], pushed[1] + pushed[2], 1e-9);
    // out.dat: header, entry, the two lines, end of pass.
    const auto out = run->lines("out.dat");
    ASSERT_EQ(out.size(), 5u);
    double travelled = 0.0;
    for (int n = 1; n <= 2; ++n) {
      travelled += pushed[n];
      std::istringstream rec(out[static_cast<std::size_t>(n + 1)].substr(11));
      double dist_m = 0.0;
      rec >> dist_m;
      EXPECT_NEAR(dist_m, travelled / 100.0, 5e-6) << out[static_cast<std::size_t>(n + 1)];
    }
  }
}

// A smooth solenoid table (B0 sin^2(pi z / L), 40 cm, 81 samples, 10 kG):
// a particle entering parallel at x = 0.5 cm leaves turned by the Larmor
// angle qa K B L_eff / (2 beta gamma) = 0.160114 rad.
TEST(FieldMapCases, SolenoidTurnsByTheLarmorAngle) {
  const Lattice lat{"1 sol 10000.0 40.0 0.0 5.0 0.0 200\n", [](const CaseRun& r) {
                      std::vector<double> samples(81);
                      for (int i = 0; i < 81; ++i)
                        samples[static_cast<std::size_t>(i)] =
                            analytic::smooth_solenoid_axis(1.0, 40.0, i * 40.0 / 80);
                      write_solenoid_table(r.sim->units, "solenoid.#01", samples);
                    }};
  const std::vector<Placed> beam = {
      {0.5, 0, 0, 0}, {0, 0, 0.5, 0}, {-0.5, 0, 0, 0}, {0, 0, -0.5, 0}};
  auto run = run_case(lat, beam);
  const ParticleArrays& p = run->sim->particles;
  for (int i = 1; i <= 4; ++i) {
    const double turn = std::atan2(p.y[1][i], p.x[1][i]) -
                        std::atan2(beam[static_cast<std::size_t>(i - 1)].y,
                                   beam[static_cast<std::size_t>(i - 1)].x);
    EXPECT_NEAR(std::remainder(turn, 2 * kPi), -0.160114, 1e-4) << i;
  }
  EXPECT_NEAR(run->sim->history.larmor_angle[1], 0.160114, 1e-5);
}

// Driver rules: extrc scales the magnetic part of its table by 1 whatever
// field1 the element before left; ehex returns every survivor with its
// entrance speed; a line
// sol with scale 0 and no step count runs with 1e-10 G in IINT steps; uds #3,
// eq3d #5, uds #3 runs the second uds in table 3.
TEST(FieldMapCases, EhexSolDefaultsAndTheTableCache) {
  {
    // Uniform By = 100 G over 10 cm after a quad of field1 = 300 G: x'
    // = -L/sqrt(rho^2 - L^2) with rho = beta gamma / (qa K B).
    const Lattice lat{"0 quad 300.0 20.0 15.0 2.0 0 20\n5 extrc 0.0 10.0 2.0 20\n",
                      [](const CaseRun& r) {
                        table3d(r, 5, 2, analytic::uniform({0, 0, 0}, {0, 100.0, 0}));
                      }};
    const std::vector<Placed> axis = {
        {1e-3, 0, 0, 0}, {-1e-3, 0, 0, 0}, {0, 0, 1e-3, 0}, {0, 0, -1e-3, 0}};
    auto run = run_case(lat, axis);
    EXPECT_EQ(run->sim->ref.field1, 1.0);
    const double bg = 0.1 / std::sqrt(0.99);
    const double rho = bg / (kQa * 0.0032184034535 * 0.01);
    const double xp = -kL / std::sqrt(rho * rho - kL * kL);
    // The quad's kick on these near-axis rays is below 1e-7 of it.
    EXPECT_NEAR(run->sim->particles.xp[1][3], xp, 1e-6 * std::abs(xp));
  }
  {
    const Lattice lat{"5 ehex 1.0 10.0 2.0 20\n",
                      [](const CaseRun& r) { table3d(r, 5, 0, uniform_ez(1000.0)); }};
    auto run = run_case(lat, kBeam);
    // Without the restoration the 5 keV/u gain would raise beta by 5e-5.
    for (int i = 1; i <= 4; ++i)
      EXPECT_NEAR(run->sim->particles.beta[1][i], 0.1, 1e-15) << i;
    EXPECT_NEAR(run->sim->history.ref_W_out[1] - run->sim->history.ref_W_in[1], 5.0, 1e-6);
  }
  {
    const Lattice lat{"1 sol 0.0 40.0 0.0 5.0\n", [](const CaseRun& r) {
                        write_solenoid_table(r.sim->units, "solenoid.#01",
                                             std::vector<double>(9, 1.0));
                      }};
    auto run = run_case(lat, kBeam);
    EXPECT_EQ(run->sim->ref.nstep, 50);
    EXPECT_EQ(run->sim->ref.field1, 1e-10);
  }
  {
    const Lattice lat{"3 uds 2.5 1.0 2.0 0.0 10 0\n5 eq3d 1.0 10.0 2.0 20\n3 uds 2.5 1.0 2.0 0.0 10 0\n",
                      [](const CaseRun& r) {
                        table3d(r, 3, 0, uniform_ez(1000.0), 2.5);
                        table3d(r, 5, 0, uniform_ez(-3000.0));
                      }};
    auto run = run_case(lat, kBeam);
    // Transit-time gain of table 3 at each uds entrance energy (the eq3d
    // between takes 15 keV/u); table 5 would give three times its size
    // with the opposite sign.
    const ReferenceHistory& h = run->sim->history;
    const double lambda = 29979245800.0 / 100e6;
    for (int pos : {1, 3}) {
      const double g = h.ref_W_in[pos] / kAmuKev + 1.0;
      const double bl = std::sqrt(1.0 - 1.0 / (g * g)) * lambda;
      const double gain = kQa * 1000.0 * (bl / (2 * kPi)) * std::sin(2 * kPi * 2.5 / bl) / 1000.0;
      EXPECT_NEAR(h.ref_W_out[pos] - h.ref_W_in[pos], gain, 5e-4 * gain) << pos;
    }
    EXPECT_NEAR(h.ref_W_out[2] - h.ref_W_in[2], -15.0, 1e-6);
  }
}

// ecorr with a table of uniform Ey = 100 V/cm: the field at the exchanged
// point scaled by kick_x deflects in x. P8 (taken from P2 when its flag is
// 0) acts on every particle; the design particle sees no field; set-points
// with their flags set are zeroed while the steering is not done (the
// nominal pass); one log.dat line with x, x' of the first particle before
// each of the 20 steps.
TEST(FieldMapCases, EcorrSetPointsAndLog) {
  struct Case {
    const char* line;
    double p8, p9;  // strengths after the run
  } cases[] = {
      {"8 ecorr 10.0 0.4 0.0 2.0 2.0 20 0.0 0.0\n", 0.4, 0.0},
      {"8 ecorr 10.0 0.4 0.0 2.0 2.0 20 1.0 0.5 0.7\n", 0.0, 0.0},
  };
  const std::vector<Placed> beam = {
      {0.3, 0.0, 0.1, 0.0}, {-0.2, 0.0, -0.1, 0.0}, {0.1, 0.0, 0.2, 0.0}, {0.0, 0.0, 0.0, 0.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const Lattice lat{c.line, [](const CaseRun& r) {
                        table3d(r, 8, 0, analytic::uniform({0, 100.0, 0}, {0, 0, 0}));
                      }};
    auto run = run_case(lat, beam);
    const Sim& s = *run->sim;
    EXPECT_EQ(s.elements.elem_par[1][8], c.p8);
    EXPECT_EQ(s.elements.elem_par[1][9], c.p9);
    EXPECT_EQ(s.history.ref_W_out[1], s.history.ref_W_in[1]);
    const ParticleArrays& p = s.particles;
    for (int i = 1; i <= 4; ++i) {
      EXPECT_EQ(p.yp[1][i], 0.0);
      // Every particle alike, deflected towards +x by kick_x Ey when kicked.
      EXPECT_EQ(p.xp[1][i], p.xp[1][1]);
      EXPECT_EQ(p.xp[1][i] > 0.0, c.p8 > 0.0);
    }
    int lines = 0;
    double first_x = 0.0;
    for (const std::string& l : run->lines("log.dat")) {
      std::istringstream in(l);
      double a, b;
      std::string rest;
      if (!(in >> a >> b) || (in >> rest)) continue;
      if (lines++ == 0) first_x = a;
    }
    EXPECT_EQ(lines, 20);
    EXPECT_EQ(first_x, 0.3);
  }
}

// An eq3d electric quadrupole E = (g x, -g y, 0), g = -3000 V/cm^2: the
// quarter table (x and y mirrored) gives the full table's rays, and a
// z-mode drift followed by the eq3d pushed in time gives the all-z result
// (x within 1e-7 cm, slopes within 1e-8, phases within 1e-5 rad).
TEST(FieldMapCases, Eq3dQuarterTableAndTimeMode) {
  const FieldFunction quad = analytic::electric_quadrupole(-3000.0);
  const auto full = [&](const CaseRun& r) { table3d(r, 5, 0, quad); };
  const auto quarter = [&](const CaseRun& r) {
    write_table3d(r.sim->units, "eh_EMS.#05", table_layout(3.0, 3.0, kL / 2, {1, 1, 0}), 0, quad);
  };
  const std::string lines = "1 drift 20.0 0.0 0.0 10\n5 eq3d 1.0 10.0 2.0 20\n";
  auto a = run_case({lines, full}, kBeam);
  auto b = run_case({lines, quarter}, kBeam);
  auto t = run_case({lines, full}, kBeam, [](ControlContext& s) { s.config.iflag_dudt = 1; });
  const ParticleArrays& pa = a->sim->particles;
  const ParticleArrays& pb = b->sim->particles;
  const ParticleArrays& pt = t->sim->particles;
  for (int i = 1; i <= 4; ++i) {
    SCOPED_TRACE(i);
    // The lens acts: k^2 L x is about 1e-3 x (x at the lens 0.04 to 0.6 cm).
    EXPECT_GT(std::abs(pa.xp[1][i] - kBeam[static_cast<std::size_t>(i - 1)].xp), 2e-5);
    EXPECT_NEAR(pb.x[1][i], pa.x[1][i], 1e-12);
    EXPECT_NEAR(pb.xp[1][i], pa.xp[1][i], 1e-12);
    EXPECT_NEAR(pb.y[1][i], pa.y[1][i], 1e-12);
    EXPECT_NEAR(pb.yp[1][i], pa.yp[1][i], 1e-12);
    EXPECT_NEAR(pt.x[1][i], pa.x[1][i], 1e-7);
    EXPECT_NEAR(pt.y[1][i], pa.y[1][i], 1e-7);
    EXPECT_NEAR(pt.xp[1][i], pa.xp[1][i], 1e-8);
    EXPECT_NEAR(pt.yp[1][i], pa.yp[1][i], 1e-8);
    EXPECT_NEAR(pt.phase[1][i], pa.phase[1][i], 1e-5);
  }
}

// sol3d with a uniform Bz = 1000 G table at scale 1: the transverse
// velocity turns about the axis by qa K Bz L / (beta_z gamma) with its size
// unchanged (x' = s cos th, y' = -s sin th for Q/A > 0), in z and in time.
TEST(FieldMapCases, Sol3dUniformFieldTurnsTheSlope) {
  const Lattice lat{"1 sol3d 1.0 10.0 2.0 20\n", [](const CaseRun& r) {
                      table3d(r, 1, 1, analytic::uniform({0, 0, 0}, {0, 0, 1000.0}));
                    }};
  const double s0 = 0.002;
  const std::vector<Placed> beam = {{0, s0, 0, 0}, {0.2, s0, 0, 0}, {0, s0, -0.3, 0}, {0.1, s0, 0.1, 0}};
  const double beta = 0.1, gamma = 1.0 / std::sqrt(1.0 - beta * beta);
  const double bz = beta / std::sqrt(1.0 + s0 * s0);
  const double th = kQa * 0.0032184034535 * 0.1 * kL / (bz * gamma);
  for (int mode = 0; mode <= 1; ++mode) {
    SCOPED_TRACE(mode ? "time mode" : "z mode");
    auto run = run_case(lat, beam, [mode](ControlContext& s) { s.config.iflag_dudt = mode; });
    const ParticleArrays& p = run->sim->particles;
    for (int i = 1; i <= 4; ++i) {
      EXPECT_NEAR(p.xp[1][i], s0 * std::cos(th), 1e-10) << i;
      EXPECT_NEAR(p.yp[1][i], -s0 * std::sin(th), 1e-10) << i;
    }
  }
}

TEST(FieldMapCases, BadLinesStopNamingElementAndValue) {
  const auto uniform2d = [](double, double) { return std::pair<double, double>{0.0, 100.0}; };
  const struct {
    Lattice lattice;
    const char* message;
  } cases[] = {
      {{"5 eq3d 1.0 10.0 2.0 0\n", nullptr}, " element 1 (eq3d): 0 integration steps"},
      {{"8 ecorr 10.0 0.4 0.0 0.0 2.0 20 0.0 0.0\n", nullptr},
       " element 1 (ecorr): aperture P4 = 0 cm"},
      {{"0 uds 2.5 1.0 2.0 2.5 25 0\n", nullptr},
       " element 1 (uds): table number 0, and no uds line has loaded a table before"},
      {{"1 sol 10000.0 40.0 0.0 0.0 0.0 200\n", nullptr}, " element 1 (sol): aperture P4 = 0 cm"},
      {{"6 comb 0.5 10.0 0.0 20 & 7 & 2.0\n",
        [&](const CaseRun& r) {
          table2d(r, 6, uniform2d);
          table2d(r, 7, uniform2d);
        }},
       " element 1 (comb): aperture P3 = 0 cm"},
      {{"5 einz 1.0 10.0 0.0 20\n", [&](const CaseRun& r) { table2d(r, 5, uniform2d); }},
       " element 1 (einz): aperture P3 = 0 cm"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lattice.lines);
    const std::string text = testing::fatal_text([&] { run_case(c.lattice, kBeam); });
    EXPECT_EQ(text.substr(0, std::string(c.message).size()), c.message) << text;
  }
}

}  // namespace
}  // namespace linac
