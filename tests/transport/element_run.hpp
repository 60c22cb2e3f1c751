// A run context for single elements: design particle at energy W (keV/u),
// RF at 100 MHz, lost.dat and log.dat open in a scratch directory, the
// frame at the lab origin, positioned before lattice line 1. Particles are
// placed slot by slot with their own coordinates, energy and Q/A.
#pragma once

#include <array>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "run/sim.hpp"
#include "common/unit_numbers.hpp"
#include "test_support.hpp"
#include "transport/frame.hpp"

namespace linac::testing {

inline constexpr double kRfLambda = 29979245800.0 / 100e6;  // 100 MHz, cm

inline double speed_of_w(double w) {
  const double g = w / kAmuKev + 1.0;
  return std::sqrt(1.0 - 1.0 / (g * g));
}

// One particle: x (cm), x' (rad), y (cm), y' (rad), phase (rad), energy
// (keV/u), Q/A and status.
struct Particle {
  double x = 0.0, xp = 0.0, y = 0.0, yp = 0.0, phase = 0.0;
  double w = 0.0;   // 0: the design energy
  double qa = 0.0;  // 0: the state's Q/A
  std::int32_t status = 0;
};

struct ElementRun {
  TempDir tmp;
  std::unique_ptr<Sim> sim = make_sim();
  Sim& s = *sim;

  explicit ElementRun(double W = 1000.0) {
    set_start_values(s);
    set_remaining_defaults(s);
    s.units.set_directory(tmp.path());
    s.units.open(kUnitLost, "lost.dat");
    s.units.open(kUnitLog, "log.dat");
    s.config.IGRAPH = 0;
    s.config.DWWACC = 1.0;
    s.config.nqtot0 = 1;
    s.ref.FREQB = 100e6;
    s.ref.harm = 1.0;
    s.ref.wavelength = kRfLambda;
    s.ref.wavelength_2pi = kRfLambda / kTwoPi;
    s.ref.QDESIGN = 1.0;
    s.ref.ADESIGN = 1.0;
    s.ref.w0 = W;
    s.config.iel_first = 1;
    // As the dispatcher leaves them before a handler.
    s.ref.nstep = 1;
    s.ref.elem_len = 0.0;
    s.state.ipass = 1;
    s.state.ipos = 0;
    s.history.ref_W_out[0] = W;
    reset_element_frame(s);
  }

  // Lattice line n: keyword, leading integer and numbers P1.. .
  void line(int n, const char* keyword, int elem_n, std::vector<double> P) {
    s.elements.elem_name[n] = keyword;
    s.elements.elem_int[n][kElemN] = elem_n;
    for (std::size_t k = 0; k < P.size(); ++k) s.elements.elem_par[n][k + 1] = P[k];
  }

  // Charge state iq of charge Q and mass A; slot 0 is the first particle;
  // the last `ntest` particles are test particles after the beam.
  void state(int iq, double Q, double A, const std::vector<Particle>& ps, int ntest = 0) {
    s.config.NQTOT = std::max(s.config.NQTOT, iq);
    s.config.nqtot1 = s.config.NQTOT;
    s.config.NPAT[iq] = static_cast<int>(ps.size()) - 1 - ntest;
    s.npat.ntest[iq] = ntest;
    s.config.QQ[iq] = Q;
    s.config.AMASS[iq] = A;
    ParticleArrays& p = s.particles;
    for (std::size_t i = 0; i < ps.size(); ++i) {
      const Particle& q = ps[i];
      p.x[iq][i] = q.x;
      p.xp[iq][i] = q.xp;
      p.y[iq][i] = q.y;
      p.yp[iq][i] = q.yp;
      p.phase[iq][i] = q.phase;
      p.beta[iq][i] = speed_of_w(q.w != 0.0 ? q.w : s.ref.w0);
      p.qa[iq][i] = q.qa != 0.0 ? q.qa : Q / A;
      p.z[iq][i] = 0.0;
      p.status[iq][i] = q.status;
    }
  }

  std::vector<std::string> file_lines(const char* name) {
    s.units.close_all();
    return read_lines(tmp / name);
  }
};

// The numbers of a lost.dat record after its name, charge and mass: lab
// position, lab velocity, element-frame position, velocity, frame origin.
inline std::vector<double> lost_record_numbers(const std::string& rec) {
  std::vector<double> v;
  for (std::size_t pos = 23; pos + 12 <= rec.size(); pos += 12) v.push_back(std::stod(rec.substr(pos, 12)));
  return v;
}

}  // namespace linac::testing
