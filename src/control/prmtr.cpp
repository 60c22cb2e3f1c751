#include "control/prmtr.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "beam/harmonics.hpp"
#include "beam/stats.hpp"
#include "beam/trace_block.hpp"
#include "control/control_context.hpp"
#include "common/input_ranges.hpp"
#include "common/unit_numbers.hpp"
#include "beam/beam_state.hpp"
#include "control/parameter_file.hpp"
#include "numerics/random.hpp"
#include "platform/fatal.hpp"
#include "spacecharge/poisson.hpp"
#include "platform/format.hpp"
#include "transport/field_request.hpp"
#include "transport/misalign.hpp"
#include "transport/seams.hpp"

namespace linac {

namespace {

using Code = PrmtrCode;

// A harmonic change of less than 1 % leaves the phases (single-precision
// factors).
constexpr double kHarmUp = static_cast<double>(1.01f);
constexpr double kHarmDown = static_cast<double>(0.99f);

constexpr std::int32_t kGridXY[] = {17, 33, 65, 129};
constexpr std::int32_t kGridZ[] = {17, 33, 65, 129, 257};

constexpr std::string_view kRmsTitle = "*** RMS parameters of the beam *** ";
constexpr std::string_view kRmsColumns =
    "       z[cm]                X[cm]           X'[mrad]            Y[cm]           Y'[mrad]     "
    "     Phi[deg]          dW/W[%]        E,x,un[cm*mrad]   E,y,un[cm*mrad]   E,z,un[deg*%]   ";
static_assert(kRmsTitle.size() == 35 && kRmsColumns.size() == 183);

// The line and its parameter for messages: "lattice line 7 (prmtr nqtot)".
std::string where(std::int32_t n, std::string_view name) {
  return fmt::format("lattice line {} (prmtr {})", n, name);
}

[[noreturn]] void refuse(std::int32_t n, std::string_view name, const std::string& what) {
  fatal(fmt::format(" {}: {}", where(n, name), what), true);
}

// The charge-state range of the statistics must lie within the states in use.
void check_state_range(const ControlContext& sim, std::int32_t n, std::string_view name) {
  const RunConfig& c = sim.config;
  if (c.nqtot0 < 1 || c.nqtot1 > c.NQTOT || c.nqtot0 > c.nqtot1)
    refuse(n, name,
           fmt::format("charge states nqtot0 = {} to nqtot1 = {}; the range must satisfy 1 <= "
                       "nqtot0 <= nqtot1 <= NQTOT = {}",
                       c.nqtot0, c.nqtot1, c.NQTOT));
}

template <std::size_t K>
bool one_of(std::int32_t v, const std::int32_t (&set)[K]) {
  return std::find(std::begin(set), std::end(set), v) != std::end(set);
}

// New operating harmonic h: phases scale with it when it changes by more
// than 1 % (live beam and reference particles; the test particles behind
// the beam keep theirs).
void set_harmonic(ControlContext& sim, std::int32_t n, double h) {
  ReferenceBlock& ref = sim.ref;
  if (!(h > 0.0)) refuse(n, "harm", fmt::format("harm = {}; the harmonic must be above 0", h));
  if (ref.harm > 0.0 && (h > kHarmUp * ref.harm || h < kHarmDown * ref.harm)) {
    const double old = ref.harm;
    for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
      const std::int32_t* status = sim.particles.status[iq];
      double* phase = sim.particles.phase[iq];
      for (int i = 0; i <= sim.config.NPAT[iq]; ++i)
        if (status[i] >= 0) phase[i] = h * phase[i] / old;
    }
  }
  ref.harm = h;
  ref.wavelength_2pi = ref.wavelength / h / kTwoPi;
}

// Time mode: beam phases redrawn uniformly over +-DF_4D, the reference
// particles of the statistics range reset to the axis at their state's
// mean energy, and in an acceptance run this beam saved as the initial one.
void redraw_phases(ControlContext& sim) {
  const RunConfig& c = sim.config;
  ParticleArrays& p = sim.particles;
  const double h = sim.beam.df_4d_rad;
  for (int iq = 1; iq <= c.NQTOT; ++iq) {
    for (int i = 1; i <= c.NPAT[iq]; ++i) {
      if (p.status[iq][i] < 0) continue;
      double u = 0.0;
      dRNUN(sim, 1, &u);
      p.phase[iq][i] = (2.0 * u - 1.0) * h;
    }
  }
  ReferenceBlock& ref = sim.ref;
  for (int iq = std::max(c.nqtot0, 1); iq <= std::min(c.nqtot1, c.NQTOT); ++iq) {
    ref.gamma_s = sim.stats.qstate_centroids[iq][6] / ref.amu_kev + 1.0;
    ref.beta_s = std::sqrt(1.0 - 1.0 / (ref.gamma_s * ref.gamma_s));
    p.x[iq][0] = p.xp[iq][0] = p.y[iq][0] = p.yp[iq][0] = p.phase[iq][0] = 0.0;
    p.status[iq][0] = kLive;
    p.beta[iq][0] = ref.beta_s;
  }
  if (sim.state.iflag_accep == 1) State(sim, "ini_dis.dat", "write");
}

// A phase chain: the opening line sets the reference phase of its place
// (P1 in degrees) and moves the beam in, the closing one moves it out,
// relative to the chain's last exit phase, and zeroes the place's phases.
// Both move the beam with the identity misalignment; the record keeps the
// previous element's errors.
void chain(ControlContext& sim, double p1_deg) {
  RunState& s = sim.state;
  ReferenceHistory& h = sim.history;
  Misalign& m = sim.transport.misalign;
  const Misalign kept = m;
  misalign_identity(sim);
  if (s.iflag_chain == 0) {
    h.elem_rf_phase[s.ipos] = h.ref_phase_out[s.ipos] = p1_deg * kDegToRad;
    misalign_in(sim);
    s.iflag_chain = 1;
  } else {
    s.iflag_chain = 0;
    h.ref_phase_out[s.ipos] = h.ref_phase_out[s.ipos - 1];
    misalign_out(sim);
    h.elem_rf_phase[s.ipos] = h.ref_phase_out[s.ipos] = 0.0;
  }
  m = kept;
}

// Space-charge grid sizes of the form 2^m + 1; NYGRD and NZGRD are stored
// before their own check, NXGRD when all checks pass.
void set_grid(ControlContext& sim, std::int32_t n, const double* P) {
  ScGridSettings& g = sim.sc;
  const std::string w = where(n, "gridSC");
  const std::int32_t nx = nint(P[1]);
  if (!one_of(nx, kGridXY))
    fatal({" wrong NXgrd ", fmt::format(" {}: NXgrd = {}; allowed are 17, 33, 65, 129", w, nx)}, true);
  g.NYGRD = nint(P[2]);
  if (!one_of(g.NYGRD, kGridXY))
    fatal({" wrong NYgrd ", fmt::format(" {}: NYgrd = {}; allowed are 17, 33, 65, 129", w, g.NYGRD)},
          true);
  if (sim.config.IFLAG2D == 0) {
    g.NZGRD = nint(P[3]);
    if (!one_of(g.NZGRD, kGridZ))
      fatal({" wrong NZgrd ",
             fmt::format(" {}: NZgrd = {}; allowed are 17, 33, 65, 129, 257", w, g.NZGRD)},
            true);
  }
  const std::string fault = sc_grid_size_fault(nx, g.NYGRD, g.NZGRD);
  if (!fault.empty()) fatal(fmt::format(" {}: {}", w, fault), true);
  g.NXGRD = nx;
  sc_fft_init(sim);
}

void open_rms_file(ControlContext& sim) {
  sim.units.open(kUnitRms, "rms.dat");
  write_checked(sim, kUnitRms, "(A96)", {kRmsTitle});
  write_checked(sim, kUnitRms, "(A183)", {kRmsColumns});
}

// The action of the line's parameter code. Returns false when the line
// ends without repeating the previous statistics.
bool act(ControlContext& sim, std::int32_t n) {
  RunConfig& c = sim.config;
  RunState& s = sim.state;
  ReferenceBlock& ref = sim.ref;
  const auto& P = sim.elements.elem_par[static_cast<std::size_t>(n)];
  auto& ints = sim.elements.elem_int[static_cast<std::size_t>(n)];
  const std::int32_t v = nint(P[1]);
  const bool drawing = s.idraw == 1;
  switch (static_cast<Code>(ints[11])) {
    case Code::Qdesign:
      ref.QDESIGN = P[1];
      break;
    case Code::Adesign:
      ref.ADESIGN = P[1];
      break;
    case Code::harm:
      set_harmonic(sim, n, P[1]);
      break;
    case Code::scur:
      sim.current.scur = P[1];
      break;
    case Code::isol:
      c.ISOL = v;
      break;
    case Code::iflag2D: {
      const std::string fault = sc_model_fault(v);
      if (!fault.empty()) refuse(n, "iflag2D", fault);
      c.IFLAG2D = v;
      sc_fft_init(sim);
      break;
    }
    case Code::iflag_qq:
      // 0 means every charge state, as in the parameter file.
      if (v < 0)
        refuse(n, "iflag_qq", fmt::format("IFLAG_QQ = {}; the last charge state must not be below 0", v));
      c.IFLAG_QQ = v == 0 ? c.NQTOT : std::min(c.NQTOT, v);
      c.nqtot1 = c.IFLAG_QQ;
      check_state_range(sim, n, "iflag_qq");
      break;
    case Code::nqtot:
      if (v < 1 || v > kMaxChargeStates)
        refuse(n, "nqtot",
               fmt::format("NQTOT = {}; the number of charge states must lie in 1..{}", v,
                           kMaxChargeStates));
      for (int iq = 1; iq <= v; ++iq)
        if (c.AMASS[iq] == 0.0)
          refuse(n, "nqtot",
                 fmt::format("NQTOT = {}, but charge state {} has no mass number (AMASS = 0)", v, iq));
      c.NQTOT = v;
      c.nqtot0 = 1;
      if (c.IFLAG_QQ > c.NQTOT || c.IFLAG_QQ == 0) c.IFLAG_QQ = c.NQTOT;
      c.nqtot1 = std::min(c.NQTOT, c.IFLAG_QQ);
      check_state_range(sim, n, "nqtot");
      break;
    case Code::nqtot0:
      c.nqtot0 = v;
      check_state_range(sim, n, "nqtot0");
      break;
    case Code::nqtot1:
      c.nqtot1 = v;
      check_state_range(sim, n, "nqtot1");
      break;
    case Code::outQ:
      c.outQ = v;
      break;
    case Code::iflag_t:
      s.iflag_t = v;
      if (v == 1) redraw_phases(sim);
      break;
    case Code::iflag_dudt:
      c.iflag_dudt = v;
      break;
    case Code::iflag_ebfld:
      c.iflag_ebfld = v;
      break;
    case Code::iflag_chain:
      chain(sim, P[1]);
      break;
    case Code::iflag_lev:
      c.IFLAG_LEV = v;
      break;
    case Code::iflag_log:
      // The element index, positive whatever the value: the next bending
      // magnet writes its log block and clears the flag.
      s.IFLAG_LOG = n;
      break;
    case Code::zlhSC:
      sim.sc.zlhSC = P[1];
      break;
    case Code::current: {
      // New currents and the macro-particle charges that carry them; space
      // charge stays off until a scur line.
      BeamCurrent& cur = sim.current;
      if (ints[12] < c.NQTOT)
        refuse(n, "current",
               fmt::format("{} current(s) for NQTOT = {} charge states; the line gives one current per "
                           "charge state",
                           ints[12], c.NQTOT));
      for (int iq = 1; iq <= c.NQTOT; ++iq) {
        cur.CURRENT[iq] = P[iq];
        cur.qmacro[iq] = cur.CURRENT[iq] * 0.001 / ref.FREQB / (c.NPAT[iq] + 1);
      }
      cur.scur = 0.0;
      break;
    }
    case Code::delta2:
      sim.bend.delta2 = P[1];
      break;
    case Code::gridSC:
      set_grid(sim, n, P.data());
      break;
    case Code::outSC: {
      // The request gets its own record; the line keeps its parameter code,
      // so a later pass acts on it again.
      s.outSC = ints[kElemN] != -1 ? n : 0;
      OutScRequest& r = sim.prmtr.outsc;
      r.step = nint(P[1]);
      r.mode = nint(P[5]);
      r.cell = nint(P[6]);
      r.increment = nint(P[7]);
      r.files_pending = 1;
      r.cross_x = P[2];
      r.cross_y = P[3];
      r.cross_z = P[4];
      break;
    }
    case Code::iflag_accep:
      s.iflag_accep = v;
      break;
    case Code::dev_field:
      return dev_field_request(sim, n);
    case Code::delta1:
      sim.bend.delta1 = P[1];
      break;
    case Code::aperRFQ:
      sim.rfq.aperRFQ = P[1];
      break;
    case Code::init_COSY:
      c.init_COSY = v;
      break;
    case Code::Cneutr:
      sim.current.Cneutr = P[1];
      break;
    case Code::trace:
      if (!drawing) write_trace_block(sim, n, v);
      break;
    case Code::mhb:
      if (ints[12] == 3)
        mhb_test_ring(sim, v, P[2], P[3], where(n, "mhb"));
      else if (ints[12] == 1 && !drawing)
        beam_harmonics(sim, v, where(n, "mhb"));
      break;
    case Code::write_ascii:
      c.write_ascii = v;
      break;
    case Code::iwrite_rms:
      // 0 switches the rows off; 1 opens rms.dat for them.
      if (v != 0 && v != 1)
        refuse(n, "iwrite_rms", fmt::format("iwrite_rms = {}; it takes 0 (no rms.dat rows) or 1", v));
      if (v == 1) open_rms_file(sim);
      c.iwrite_rms = v;
      break;
    case Code::msln_dstr:
    case Code::MonErr:
    case Code::AijRFQ:
      break;
  }
  return true;
}

}  // namespace

void prmtr_cmd(ControlContext& sim, std::int32_t n) {
  RunState& s = sim.state;
  ReferenceHistory& h = sim.history;
  s.ipos += 1;
  if (s.ipass == 1) {
    h.ref_W_in[s.ipos] = sim.ref.w0;
    h.elem_rf_phase[s.ipos] = 0.0;
    h.ref_phase_out[s.ipos] = 0.0;
    h.ref_W_out[s.ipos] = sim.ref.w0;
  }
  sim.ref.w0 = h.ref_W_out[s.ipos];
  if (act(sim, n)) stat_copy_prev(sim, s.ipos);
}

}  // namespace linac
