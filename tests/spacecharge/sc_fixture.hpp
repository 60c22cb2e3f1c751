// A run context with a space-charge box set up, and particles placed by
// their position in the box (rest frame along z) for the space-charge tests.
#pragma once

#include <cmath>
#include <memory>

#include "common/constants.hpp"
#include "run/sim.hpp"
#include "spacecharge/poisson.hpp"

namespace linac::testing {

struct ScSetup {
  std::unique_ptr<Sim> sim = make_sim();
  double lambda = 299.792458;  // cm, 100 MHz

  // A 3-D box of nodes nx x ny x nz, transverse half sizes hx_half, hy_half
  // (cm) and the frame gamma; the box spans one bunch period unless a
  // rest-frame half length hz_half > 0 is given (a box cut to the bunch).
  ScSetup(int nx, int ny, int nz, double hx_half, double hy_half, double gamma,
          double hz_half = 0.0, bool model_2d = false) {
    Sim& s = *sim;
    s.config.NQTOT = 1;
    s.config.nharm_sc = 1;
    s.ref.FREQB = 100e6;
    s.ref.wavelength = lambda;
    s.ref.wavelength_2pi = lambda / kTwoPi;
    s.ref.amu_kev = kAmuKev;
    s.current.qmacro[1] = 1e-12;
    ScGrid& g = s.sc_grid;
    sc_fft_init(g, nx, ny, nz, model_2d);
    g.gamma_sc = gamma;
    g.beta_sc = std::sqrt(1.0 - 1.0 / (gamma * gamma));
    g.sc_half_x = hx_half;
    g.sc_half_y = hy_half;
    g.full_period = hz_half <= 0.0;
    g.sc_half_z = g.full_period ? g.beta_sc * kPi * s.ref.wavelength_2pi * gamma : hz_half;
    sc_grid_setup(g);
  }
  Sim& operator*() { return *sim; }
  ScGrid& grid() { return sim->sc_grid; }

  // RF phase of a particle of the frame velocity at rest-frame distance zr
  // (cm) ahead of the box centre at phase 0.
  double phase_of(double zr) const {
    const ScGrid& g = sim->sc_grid;
    return -zr / (g.beta_sc * sim->ref.wavelength_2pi * g.gamma_sc);
  }
  // Places particle i of charge state 1 (NPAT follows the largest slot).
  void place(int i, double x, double y, double zr, int status = kLive) {
    Sim& s = *sim;
    ParticleArrays& p = s.particles;
    p.x[1][i] = x;
    p.y[1][i] = y;
    p.xp[1][i] = 0.0;
    p.yp[1][i] = 0.0;
    p.phase[1][i] = phase_of(zr);
    p.beta[1][i] = s.sc_grid.beta_sc;
    p.qa[1][i] = 1.0;
    p.status[1][i] = status;
    if (i > s.config.NPAT[1]) s.config.NPAT[1] = i;
  }
  // The same by position in cell units from the lower faces.
  void place_cells(int i, double fx, double fy, double fz, int status = kLive) {
    const ScGrid& g = sim->sc_grid;
    place(i, fx * g.sc_hx - g.sc_half_x, fy * g.sc_hy - g.sc_half_y, fz * g.sc_hz - g.sc_half_z,
          status);
  }
  std::size_t node(int i, int j, int l) const {
    const ScGrid& g = sim->sc_grid;
    return static_cast<std::size_t>(i) +
           static_cast<std::size_t>(g.NX) * (static_cast<std::size_t>(j) + static_cast<std::size_t>(g.NY) * l);
  }
};

}  // namespace linac::testing
