#include "transport/fieldmap.hpp"

#include <array>
#include <cmath>

#include <fmt/format.h>

#include "common/sim.hpp"
#include "platform/fatal.hpp"
#include "transport/enge.hpp"
#include "transport/frame.hpp"
#include "transport/reference.hpp"
#include "transport/stepping.hpp"
#include "transport/table_fields.hpp"

namespace linac {

namespace {

constexpr unsigned F1 = kScaleField1;
constexpr unsigned F2 = kScaleField2;
constexpr unsigned M1 = kScaleMult1;
constexpr unsigned NO = kScaleNone;
using T = TableLoad;
using S = StepRule;

// keyword, itype, columns (L, field1, field2, eff_len, ap, mult first, mult
// count), table, table_kind, table_sym, error scales, scan scales, step rule,
// Enge lens, sets ifringe.
constexpr std::array<FieldMapKind, 15> kKinds = {{
    {"uds", 22, 1, 0, 2, 0, 3, 0, 0, T::eh_ems_cached, 0, 0, F2, NO, S::line, false, false},
    {"sol", 2, 2, 1, 0, 3, 4, 0, 0, T::solenoid, 0, -1, F1, F1, S::line_or_iint, false, false},
    {"mult", 8, 1, 0, 0, 2, 6, 3, 3, T::none, 0, -1, M1, M1, S::line, true, true},
    {"quad", 4, 2, 1, 0, 3, 4, 0, 0, T::none, 0, -1, F1, F1, S::line, true, true},
    {"equad", 17, 2, 0, 1, 3, 4, 0, 0, T::none, 0, -1, F2, NO, S::line, true, false},
    {"m5", 29, 1, 0, 0, 2, 8, 3, 5, T::none, 0, -1, M1, M1, S::line, true, false},
    {"comb", 30, 2, 0, 1, 0, 3, 0, 0, T::two_2d, 0, 0, F2, NO, S::p4, false, false},
    {"einz", 16, 2, 0, 1, 0, 3, 0, 0, T::eh_ems, 0, 0, F2, NO, S::line, false, false},
    {"eq3d", 15, 2, 0, 1, 0, 3, 0, 0, T::eh_ems, 0, 2, F2, NO, S::line, false, false},
    {"ehex", 28, 2, 0, 1, 0, 3, 0, 0, T::eh_ems, 0, 3, F2, NO, S::line, false, false},
    {"sol3d", 18, 2, 1, 0, 0, 3, 0, 0, T::eh_ems, 1, 0, F1, F1, S::line, false, false},
    {"eh3d", 25, 3, 2, 1, 0, 4, 0, 0, T::eh_ems, 2, -1, F1 | F2, NO, S::line, false, false},
    {"deck", 11, 2, 0, 1, 0, 3, 0, 0, T::eh_ems, 0, 0, NO, NO, S::line, false, false},
    {"ecorr", 32, 1, 3, 2, 0, 0, 0, 0, T::eh_ems, 0, 1, NO, NO, S::line, false, false},
    {"extrc", 21, 2, 0, 1, 0, 3, 0, 0, T::eh_ems, 0, 0, NO, NO, S::line, false, false},
}};

double P(const Sim& sim, int n, int col) {
  return col > 0 ? sim.elements.elem_par[static_cast<std::size_t>(n)][static_cast<std::size_t>(col)]
                 : 0.0;
}

// Reads the line of element n into the reference block and the run state.
void read_field_map_line(Sim& sim, int n, const FieldMapKind& k) {
  ReferenceBlock& r = sim.ref;
  r.elem_len = P(sim, n, k.len_col);
  if (k.field1_col > 0) r.field1 = P(sim, n, k.field1_col);
  if (k.field2_col > 0) r.field2 = P(sim, n, k.field2_col);
  if (k.eff_len_col > 0) r.eff_len = P(sim, n, k.eff_len_col);
  if (k.ap_col > 0) r.aperture_r = P(sim, n, k.ap_col);
  for (int j = 1; j <= 5; ++j)
    sim.fieldmap.mult_coef[static_cast<std::size_t>(j)] =
        j <= k.mult_count ? P(sim, n, k.mult_col + j - 1) : 0.0;
  sim.state.itype = k.itype;
  sim.state.table_kind = k.table_kind;
  if (k.table_sym >= 0) sim.state.table_sym = k.table_sym;
}

// The lens formulas divide by the aperture radius.
void check_lens_aperture(const Sim& sim, int n, const FieldMapKind& k) {
  const double ap = sim.ref.aperture_r;
  if (!(ap > 0.0))
    fatal({fmt::format(" {}: aperture radius P{} = {} cm", element_label(sim, n), k.ap_col, ap),
           " the lens field is scaled by its aperture: give a radius above 0"},
          true);
}

// Enge coefficients in use: P1..P6 of the enge line enge_src(itype, set),
// the default set where that line number is 0.
void load_enge_coefficients(Sim& sim, std::int32_t itype) {
  for (std::size_t set = 1; set <= 2; ++set) {
    const std::int32_t src = sim.type_rec.enge_src[static_cast<std::size_t>(itype)][set];
    EngeSet& c = sim.fieldmap.enge_coef[set];
    for (std::size_t j = 0; j < 6; ++j)
      c[j] = src != 0 ? sim.elements.elem_par[static_cast<std::size_t>(src)][j + 1]
                      : kEngeDefault[j];
  }
}

void scale(Sim& sim, unsigned which, double factor) {
  if (which & kScaleField1) sim.ref.field1 *= factor;
  if (which & kScaleField2) sim.ref.field2 *= factor;
  if (which & kScaleMult1) sim.fieldmap.mult_coef[1] *= factor;
}

// The common road of a field-map element up to its particle loop: position,
// line, placement (and the return of the error-drawing pass), the Enge
// coefficients, the reference path and particle, the beam into the element
// with its entrance statistics, the scan factor and the field error. Returns
// false in the error-drawing pass.
bool enter_field_map(Sim& sim, int n, const FieldMapKind& k) {
  ReferenceBlock& r = sim.ref;
  RunState& s = sim.state;
  s.ipos += 1;
  read_field_map_line(sim, n, k);
  if (k.enge) check_lens_aperture(sim, n, k);
  r.nstep = field_map_step_count(sim, n, k);
  const double L = r.elem_len;
  place_element(sim, 0.0, L, 1.0, 0.0);
  if (s.idraw == 1) {
    misalign_draw(sim);
    return false;
  }
  if (k.enge) {
    load_enge_coefficients(sim, k.itype);
    if (k.sets_ifringe) sim.config.ifringe = sim.elements.elem_int[static_cast<std::size_t>(n)][12];
    r.drift_aper_y = 2.0 * r.aperture_r;
  }
  r.aper_x = r.aperture_r;
  r.aper_y = r.aperture_r;
  r.step_len = L / r.nstep;
  ref_path_straight(sim, L);
  if (s.ipass == 1) {
    sim.history.ref_W_in[s.ipos] = r.w0;
    sim.history.elem_rf_phase[s.ipos] = 0.0;
  }
  ref_particle_element(sim);
  misalign_reuse(sim);
  misalign_in(sim);
  stat(sim, 0);
  apply_scan_and_field_error(sim, k);
  return true;
}

const FieldMapKind& kind_of(std::string_view keyword) { return *field_map_kind(keyword); }

template <class Source>
void run_lens(Sim& sim, std::int32_t n, std::string_view keyword, Source (*make)(const Sim&)) {
  const FieldMapKind& k = kind_of(keyword);
  if (!enter_field_map(sim, n, k)) return;
  with_added_fields(sim, make(sim),
                    [&](const auto& field) { step_element(sim, n, field, sim.ref.elem_len, true); });
}

}  // namespace

const FieldMapKind* field_map_kind(std::string_view keyword) {
  while (!keyword.empty() && keyword.back() == ' ') keyword.remove_suffix(1);
  for (const auto& k : kKinds)
    if (k.keyword == keyword) return &k;
  return nullptr;
}

std::int32_t field_map_step_count(const Sim& sim, int n, const FieldMapKind& k) {
  const auto& ints = sim.elements.elem_int[static_cast<std::size_t>(n)];
  double nstep = ints[11];
  if (k.steps == StepRule::p4) nstep = nint(P(sim, n, 4));
  if (k.steps == StepRule::line_or_iint && nstep == 0.0) nstep = sim.config.IINT;
  if (!(nstep >= 1.0))
    fatal({fmt::format(" {}: {:.0f} integration steps", element_label(sim, n), nstep),
           fmt::format(" give the element a step count from 1 to {}", kMaxSteps)},
          true);
  check_step_count(sim, n, nstep);
  return static_cast<std::int32_t>(nstep);
}

void apply_scan_and_field_error(Sim& sim, const FieldMapKind& k) {
  ScanState& sc = sim.scan;
  if (k.scan_scales != kScaleNone && sc.scan_mode == 2 && sc.elem == sc.cur_cdump) {
    scale(sim, k.scan_scales, sc.factor);
    sc.factor = 1.0;
  }
  scale(sim, k.error_scales, 1.0 + sim.transport.misalign.rel_field_error);
}

void quad_element(Sim& sim, std::int32_t n) { run_lens(sim, n, "quad", quad_source); }
void equad_element(Sim& sim, std::int32_t n) { run_lens(sim, n, "equad", equad_source); }
void mult_element(Sim& sim, std::int32_t n) { run_lens(sim, n, "mult", mult_source); }
void m5_element(Sim& sim, std::int32_t n) { run_lens(sim, n, "m5", mult_source); }

}  // namespace linac
