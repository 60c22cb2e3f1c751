// The run and the beam the benchmarks start from: a run at 100 MHz and
// `states` charge states of particles 0..particles (slot 0 included) with a
// deterministic spread in every coordinate, all live, at the start of a
// nominal pass.
#pragma once

#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "run/sim.hpp"
#include "transport/frame.hpp"

namespace linac::bench {

// A directory of its own under the system's temporary directory for the
// files a benchmark's runs write (log.dat, or fort.N of a unit written
// before it is opened), removed when the benchmark ends: nothing is left in
// the directory the benchmark was started from.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::random_device rd;
    for (;;) {
      path_ = std::filesystem::temp_directory_path() / ("linac-bench-" + std::to_string(rd()));
      if (std::filesystem::create_directory(path_)) break;
    }
  }
  ~ScratchDirectory() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The scratch directory of this benchmark process.
inline const std::filesystem::path& scratch_directory() {
  static const ScratchDirectory dir;
  return dir.path();
}

// Start values and defaults of a run at 100 MHz, harmonic 1, with the
// design charge and mass Qd, Ad, no plots, the lattice starting at line 1,
// files in the benchmark's scratch directory.
inline void set_up_bench_run(Sim& s, double Qd, double Ad) {
  set_start_values(s);
  set_remaining_defaults(s);
  s.units.set_directory(scratch_directory());
  s.config.IGRAPH = 0;
  s.ref.FREQB = 100e6;
  s.ref.harm = 1.0;
  s.ref.wavelength = 299.792458;
  s.ref.wavelength_2pi = 299.792458 / kTwoPi;
  s.ref.QDESIGN = Qd;
  s.ref.ADESIGN = Ad;
  s.config.iel_first = 1;
}

// Charges Q0 + iq and mass A at energy W (keV/u); position 0 ends at W and
// the element frame is the lab frame.
inline void fill_bench_beam(Sim& s, int states, int particles, double W, double Q0, double A) {
  const double g = W / s.ref.amu_kev + 1.0;
  const double beta = std::sqrt(1.0 - 1.0 / (g * g));
  s.ref.w0 = W;
  s.state.ipos = 0;
  s.state.ipass = 1;
  s.history.ref_W_out[0] = W;
  reset_element_frame(s);
  for (int iq = 1; iq <= states; ++iq) {
    s.config.NPAT[iq] = particles;
    s.config.QQ[iq] = Q0 + iq;
    s.config.AMASS[iq] = A;
    ParticleArrays& p = s.particles;
    for (int i = 0; i <= particles; ++i) {
      const double u = std::sin(1.3 * i + iq), v = std::cos(0.7 * i);
      p.x[iq][i] = 0.2 * u;
      p.xp[iq][i] = 0.002 * v;
      p.y[iq][i] = 0.2 * v;
      p.yp[iq][i] = -0.002 * u;
      p.phase[iq][i] = 0.1 * u * v;
      p.beta[iq][i] = beta * (1.0 + 1e-3 * u);
      p.qa[iq][i] = s.config.QQ[iq] / A;
      p.z[iq][i] = 0.0;
      p.status[iq][i] = 0;
    }
  }
}

}  // namespace linac::bench
