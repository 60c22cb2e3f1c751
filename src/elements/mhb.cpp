#include "elements/mhb.hpp"

#include <algorithm>
#include <memory>

#include <fmt/format.h>

#include "elements/elements_context.hpp"
#include "common/text_utils.hpp"
#include "elements/buncher.hpp"
#include "elements/rf_scan.hpp"
#include "numerics/fft.hpp"
#include "numerics/grid_index.hpp"
#include "platform/fatal.hpp"
#include "platform/freeformat.hpp"
#include "transport/frame.hpp"
#include "transport/misalign.hpp"
#include "transport/reference.hpp"
#include "transport/stepping.hpp"
#include "transport/table_fields.hpp"

namespace linac {

namespace {

constexpr std::int32_t kMhbType = 10;
constexpr std::int32_t kMhb4Type = 31;

// The static 3-D shape of the current buncher: E only, no mirror class,
// aperture half sizes aper_x, aper_y.
StaticTableGeometry shape_geometry(const ElementsContext& sim) {
  StaticTableGeometry g;
  g.L = sim.ref.elem_len;
  g.aper_x = sim.ref.aper_x;
  g.aper_y = sim.ref.aper_y;
  g.kind = sim.state.table_kind;
  g.mirror = static_mirror_rules(sim.state.table_kind, sim.state.table_sym);
  return g;
}

[[noreturn]] void no_shape(const ElementsContext& sim, const char* what) {
  fatal({fmt::format(" {}: no {} is loaded for the field of this element",
                     element_label(sim, sim.state.ipos), what)},
        true);
}

MhbRzSource rz_source(const ElementsContext& sim) {
  const MhbData& d = sim.rf.mhb_data;
  if (!d.rz) no_shape(sim, "r-z table");
  return MhbRzSource{d.rz.get(), sim.ref.elem_len, sim.ref.aperture_r, d.mhb_rmax, mhb_harmonics(sim)};
}

MhbTableSource table_source(const ElementsContext& sim) {
  const auto& t = sim.field_tables.field3d;
  if (!t) no_shape(sim, "3-D field table");
  return MhbTableSource{t.get(), shape_geometry(sim), mhb_harmonics(sim)};
}

// A mhb4 with an r-z table switched on has no field and no aperture.
struct NoMhbField {
  bool element_field(double, double, double, double, Vec3& E, Vec3& B) const {
    E = {0.0, 0.0, 0.0};
    B = {0.0, 0.0, 0.0};
    return true;
  }
};

[[noreturn]] void bad_size(const ElementsContext& sim, int n, const char* what, std::int32_t value, int hi) {
  fatal({fmt::format(" {}: {} = {} nodes of the r-z table", element_label(sim, n), what, value),
         fmt::format(" give {} to {} nodes", kMhbMinNodes, hi)},
        true);
}

// The static 3-D shape eh_EMS.#NN, E only, no mirror class.
void read_shape_table(ElementsContext& sim, std::int32_t itype, std::int32_t number) {
  if (number > 0 && number != sim.type_rec.table_cache[static_cast<std::size_t>(itype)])
    sim.type_rec.table_cache[static_cast<std::size_t>(itype)] = number;
  sim.state.table_kind = 0;
  sim.state.table_sym = 0;
  read_eh_EMS(sim, number);
}

// The common road of both bunchers once the line is read: placement (and
// the error-drawing pass), the shape, the reference, the beam into the
// element and the field error on the amplitudes. Returns false in the
// error-drawing pass.
template <class LoadShape, class NominalScan>
bool enter_buncher(ElementsContext& sim, double L, double phase, const LoadShape& load_shape,
                   const NominalScan& nominal_scan) {
  ReferenceBlock& r = sim.ref;
  RunState& s = sim.state;
  place_element(sim, 0.0, L, 1.0, 0.0);
  if (s.idraw == 1) {
    misalign_draw(sim);
    return false;
  }
  load_shape();
  r.aper_x = r.aperture_r;
  r.aper_y = r.aperture_r;
  r.step_len = L / r.nstep;
  ref_path_straight(sim, L);
  const std::size_t pos = static_cast<std::size_t>(s.ipos);
  if (s.ipass == 1) {
    sim.history.ref_W_in[pos] = r.w0;
    nominal_scan();
    sim.history.elem_rf_phase[pos] = phase;
  }
  // The design particle at the stored phase; in an error-study pass it
  // repeats the nominal push (same entrance energy, nominal amplitudes).
  r.elem_phase = sim.history.elem_rf_phase[pos];
  ref_particle_element(sim);
  misalign_reuse(sim);
  misalign_in(sim);
  stat(sim, 0);
  const double f = 1.0 + sim.transport.misalign.rel_field_error;
  for (double& a : sim.rf.mhb_data.mhb_amp) a = f * a;
  return true;
}

// The stepping on the shape of the run: the r-z table, the 3-D table or (an
// mhb4 with IFLAG_MHB not 0) no field.
void step_buncher(ElementsContext& sim, int n, double L) {
  ElementStepping how;
  how.field_map = true;
  auto run = [&](const auto& source) {
    with_added_fields(sim, source, [&](const auto& field) { step_element(sim, n, field, L, how); });
  };
  if (sim.config.IFLAG_MHB == 0)
    run(table_source(sim));
  else if (sim.state.itype == kMhbType)
    run(rz_source(sim));
  else
    run(NoMhbField{});
}

}  // namespace

MhbHarmonics mhb_harmonics(const ElementsContext& sim) {
  const MhbData& d = sim.rf.mhb_data;
  MhbHarmonics h;
  h.rf_phase = sim.ref.elem_phase;
  if (sim.state.itype == kMhb4Type) {
    h.count = 4;
    h.sine = true;
    for (int k = 0; k < 4; ++k) {
      h.amp[k] = d.mhb_amp[k + 1];
      h.harm[k] = d.mhb_harm[k + 1];
      h.hphase[k] = d.mhb_hphase[k + 1];
    }
  } else {
    h.count = 2;
    h.amp = {d.mhb_amp[1], d.mhb_amp[3], 0.0, 0.0};
    h.harm = {static_cast<double>(d.mhb_harm[1]), static_cast<double>(d.mhb_harm[2]), 0.0, 0.0};
  }
  return h;
}

TableHit mhb_field_rz(const MhbRzTable& t, double L, double aperture_r, double rmax, double x,
                      double y, double z, Vec3& E) {
  E = {0.0, 0.0, 0.0};
  if (z < 0.0 || z > L) return TableHit::outside;
  const double r2 = x * x + y * y;
  if (r2 >= aperture_r * aperture_r) return TableHit::lost;
  const double r = std::sqrt(r2);
  const double dz = L / (t.nz - 1);
  const double dr = rmax / (t.nr - 1);
  const int jz = clamped_index(z / dz, 0, t.nz - 2);
  const int jr = clamped_index(r / dr, 0, t.nr - 2);
  const double fz = (z - jz * dz) / dz;
  const double fr = (r - jr * dr) / dr;
  const double w00 = (1.0 - fz) * (1.0 - fr), w10 = fz * (1.0 - fr);
  const double w01 = (1.0 - fz) * fr, w11 = fz * fr;
  const double Er = w00 * t.Er(jz, jr) + w10 * t.Er(jz + 1, jr) + w01 * t.Er(jz, jr + 1) +
                    w11 * t.Er(jz + 1, jr + 1);
  const double Ez = w00 * t.Ez(jz, jr) + w10 * t.Ez(jz + 1, jr) + w01 * t.Ez(jz, jr + 1) +
                    w11 * t.Ez(jz + 1, jr + 1);
  if (r > 1e-15) {
    E[0] = Er * x / r;
    E[1] = Er * y / r;
  }
  E[2] = Ez;
  return TableHit::inside;
}

bool mhb_field_at(ElementsContext& sim, double x, double y, double z, double t, Vec3& E, Vec3& B) {
  if (sim.config.IFLAG_MHB == 0) {
    // As every static table: the loss flag tells about this evaluation only.
    if (z >= 0.0 && z <= sim.ref.elem_len) sim.state.ilost = 0;
    const FieldAt<MhbTableSource> f{table_source(sim)};
    return f(x, y, z, t, E, B);
  }
  if (sim.state.itype == kMhbType) {
    const FieldAt<MhbRzSource> f{rz_source(sim)};
    return f(x, y, z, t, E, B);
  }
  const FieldAt<NoMhbField> f{};
  return f(x, y, z, t, E, B);
}

namespace {

// The next field value of a buncher table: finite and within the bound of
// every table (node k, 0-based, of a grid with nr radial nodes).
double field_value(FreeStream& in, const std::string& name, const char* what, std::size_t k, int nr) {
  const double v = in.read_real();
  if (!table_value_ok(v))
    fatal({fmt::format(" input error in {} line {}: {} at z node {}, r node {} is {}", name, in.line_number(),
                       what, k / static_cast<std::size_t>(nr) + 1, k % static_cast<std::size_t>(nr) + 1, v),
           fmt::format(" every field value of a table must be finite and within +-{:g}", kTableMaxFieldValue)},
          true);
  return v;
}

}  // namespace

void read_mhb_rz(ElementsContext& sim, std::int32_t n) {
  MhbData& d = sim.rf.mhb_data;
  const std::string name = buncher_table_name(n);
  const int nz = d.mhb_nz, nr = d.mhb_nr;
  const Units& units = sim.units;
  auto read = [&]() -> std::shared_ptr<const void> {
    auto t = std::make_shared<MhbRzTable>();
    t->nz = nz;
    t->nr = nr;
    const std::size_t nodes = static_cast<std::size_t>(nz) * nr;
    t->er.resize(nodes);
    t->ez.resize(nodes);
    FreeStream in(units, name);
    std::size_t found = 0;
    for (std::size_t k = 0; k < nodes; ++k) {
      if (in.at_end()) break;
      t->er[k] = field_value(in, name, "E_r", k, nr);
      ++found;
      if (in.at_end()) break;
      t->ez[k] = field_value(in, name, "E_z", k, nr);
      ++found;
    }
    if (found < 2 * nodes)
      fatal({fmt::format(" input error in {}: {} numbers, the {} x {} nodes need {}", name, found,
                         nz, nr, 2 * nodes),
             " the file holds E_r and E_z of every node, z node outermost"},
            true);
    // A number after the last pair means the file was made for other sizes
    // than the line gives: read as these sizes, every node would move.
    if (!in.at_end())
      fatal({fmt::format(" input error in {} line {}: a number after the {} pairs of the {} x {} nodes", name,
                         in.line_number(), nodes, nz, nr),
             " the line's sizes (z nodes, r nodes) must be those of the table"},
            true);
    return t;
  };
  d.rz = std::static_pointer_cast<const MhbRzTable>(
      load_through_cache(sim, name, fmt::format("MHBrz|{}|{}", nz, nr), read));
}

void read_mhb_axis(ElementsContext& sim, std::int32_t n) {
  MhbData& d = sim.rf.mhb_data;
  // The number is checked as for the r-z table; the stem differs.
  const std::string name = "MHB.#0" + buncher_table_name(n).substr(8);
  const int N = d.mhb_axis_n;
  const double L = sim.ref.elem_len;
  if (N < kMhbMinNodes || N > kMhbAxisMaxPoints)
    fatal(fmt::format(" {}: {} points on the axis; {}..{} are possible", name, N, kMhbMinNodes,
                      kMhbAxisMaxPoints));
  if (!(L > 0.0))
    fatal(fmt::format(" {}: element length {} cm; the points need a length > 0", name, L));
  auto read = [&]() -> std::shared_ptr<const void> {
    std::vector<double> E(static_cast<std::size_t>(N));
    {
      FreeStream in(sim.units, name);
      int found = 0;
      for (int m = 0; m < N; ++m) {
        if (in.at_end()) break;
        (void)in.read_real();  // z: the points are equidistant over the length
        ++found;
        if (in.at_end()) break;
        E[static_cast<std::size_t>(m)] = field_value(in, name, "E_z", static_cast<std::size_t>(m), 1);
        ++found;
      }

      if (found < 2 * N)
        fatal({fmt::format(" input error in {}: {} numbers, the {} points need {}", name, found, N,
                           2 * N),
               " the file holds z and E_z of every point on the axis"},
              true);
      if (!in.at_end())
        fatal({fmt::format(" input error in {} line {}: a number after the {} pairs of the {} points", name,
                           in.line_number(), N, N),
               " the point count of the line must be that of the table"},
              true);
    }
    auto t = std::make_shared<MhbAxisTable>();
    t->n = N;
    t->L = L;
    t->E.assign(static_cast<std::size_t>(N), 0.0);
    t->dE.assign(static_cast<std::size_t>(N), 0.0);
    // Real Fourier series of the samples: COEF(1) = a_0, COEF(2k) = a_k,
    // COEF(2k+1) = b_k (0-based: 2k-1 and 2k). The period is the sampled
    // interval plus one step, so the periodic extension does not repeat
    // the first point.
    std::vector<double> F(static_cast<std::size_t>(N));
    DFFTRF(sim, N, E, F);
    const double P = N * L / (N - 1);
    const int K = (N + 1) / 2 - 1;
    for (int m = 0; m < N; ++m) {
      double e = 0.0, de = 0.0;
      for (int k = 1; k <= K; ++k) {
        const double theta = kTwoPi * k * m / N;
        const double a = F[static_cast<std::size_t>(2 * k - 1)];
        const double b = F[static_cast<std::size_t>(2 * k)];
        e += a * std::cos(theta) - b * std::sin(theta);
        de += (kTwoPi * k / P) * (a * std::sin(theta) + b * std::cos(theta));
      }
      t->E[static_cast<std::size_t>(m)] = F[0] / N + (2.0 / N) * e;
      t->dE[static_cast<std::size_t>(m)] = -(2.0 / N) * de;
    }
    return t;
  };
  d.axis = std::static_pointer_cast<const MhbAxisTable>(
      load_through_cache(sim, name, fmt::format("MHBaxis|{}|{:.17g}", N, L), read));
}

TableHit mhb_field_axis(const MhbAxisTable& t, double aperture_r, double x, double y, double z,
                        Vec3& E) {
  E = {0.0, 0.0, 0.0};
  const double r2 = x * x + y * y;
  if (z < 0.0 || z > t.L || r2 >= aperture_r * aperture_r) return TableHit::lost;
  const double h = t.L / (t.n - 1);
  const int j = clamped_index(z / h, 0, t.n - 2);  // z = L: the last point itself
  const double f = (z - j * h) / h;
  const auto J = static_cast<std::size_t>(j);
  const double Ez = (1.0 - f) * t.E[J] + f * t.E[J + 1];
  const double dEz = (1.0 - f) * t.dE[J] + f * t.dE[J + 1];
  const double r = std::sqrt(r2);
  const double Er = -0.5 * r * dEz;
  if (r > 1e-15) {
    E[0] = Er * x / r;
    E[1] = Er * y / r;
  }
  E[2] = Ez;
  return TableHit::inside;
}

void mhb_element(ElementsContext& sim, std::int32_t n) {
  ReferenceBlock& r = sim.ref;
  RunState& s = sim.state;
  MhbData& d = sim.rf.mhb_data;
  const auto& line = sim.elements.elem_par[static_cast<std::size_t>(n)];
  const auto& ints = sim.elements.elem_int[static_cast<std::size_t>(n)];
  s.ipos += 1;
  s.itype = kMhbType;
  const double L = line[3];
  r.elem_len = L;
  r.aperture_r = line[4];
  d.mhb_phase = line[5] * kDegToRad;
  d.mhb_nz = ints[12];
  d.mhb_nr = ints[13];
  d.mhb_harm[1] = ints[14];
  d.mhb_harm[2] = ints[15];
  rf_step_count(sim, n, ints[11]);
  if (sim.config.IFLAG_MHB != 0) {
    if (d.mhb_nz < kMhbMinNodes || d.mhb_nz > kMhbMaxNz) bad_size(sim, n, "nz", d.mhb_nz, kMhbMaxNz);
    if (d.mhb_nr < kMhbMinNodes || d.mhb_nr > kMhbMaxNr) bad_size(sim, n, "nr", d.mhb_nr, kMhbMaxNr);
  }
  const std::int32_t number = ints[kElemN];
  auto load_shape = [&] {
    if (sim.config.IFLAG_MHB == 0) {
      read_shape_table(sim, kMhbType, number);
    } else {
      if (number > 0) sim.type_rec.table_cache[kMhbType] = number;
      d.mhb_rmax = r.aperture_r;
      read_mhb_rz(sim, number);
    }
    d.mhb_amp = {0.0, line[1], 0.0, line[2], 0.0};
  };
  if (!enter_buncher(sim, L, kPi - d.mhb_phase, load_shape, [] {})) return;
  step_buncher(sim, n, L);
}

void mhb4_element(ElementsContext& sim, std::int32_t n) {
  ReferenceBlock& r = sim.ref;
  RunState& s = sim.state;
  MhbData& d = sim.rf.mhb_data;
  const auto& line = sim.elements.elem_par[static_cast<std::size_t>(n)];
  const auto& ints = sim.elements.elem_int[static_cast<std::size_t>(n)];
  s.ipos += 1;
  s.itype = kMhb4Type;
  const double L = line[1];
  r.elem_len = L;
  r.aperture_r = line[2];
  d.mhb_phase = line[3] * kDegToRad;
  for (int k = 1; k <= 4; ++k) {
    d.mhb_harm[k] = ints[10 + k];
    d.mhb_hphase[k] = line[3 + 2 * k] * kDegToRad;
  }
  rf_step_count(sim, n, ints[15]);
  const std::int32_t number = ints[kElemN];
  auto load_shape = [&] {
    if (sim.config.IFLAG_MHB == 0) read_shape_table(sim, kMhb4Type, number);
    d.mhb_amp = {0.0, line[4], line[6], line[8], line[10]};
  };
  // The scan lists the rising crossings of the design energy in log.dat;
  // the buncher runs at its own phase P3.
  auto scan = [&] { (void)mhb4_phase_scan(sim, -kPi / 2.0); };
  if (!enter_buncher(sim, L, d.mhb_phase, load_shape, scan)) return;
  step_buncher(sim, n, L);
}

}  // namespace linac
