#include "transport/fieldmap.hpp"

#include <array>
#include <cmath>

#include <fmt/format.h>

#include "transport/transport_context.hpp"
#include "common/unit_numbers.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "transport/ecorr.hpp"
#include "transport/enge.hpp"
#include "transport/field_tables.hpp"
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

double P(const TransportContext& sim, int n, int col) {
  return col > 0 ? sim.elements.elem_par[static_cast<std::size_t>(n)][static_cast<std::size_t>(col)]
                 : 0.0;
}

// Reads the line of element n into the reference block and the run state.
void read_field_map_line(TransportContext& sim, int n, const FieldMapKind& k) {
  ReferenceBlock& r = sim.ref;
  r.elem_len = P(sim, n, k.len_col);
  if (k.field1_col > 0) r.field1 = P(sim, n, k.field1_col);
  if (k.field2_col > 0) r.field2 = P(sim, n, k.field2_col);
  if (k.eff_len_col > 0) r.eff_len = P(sim, n, k.eff_len_col);
  if (k.ap_col > 0) r.aperture_r = P(sim, n, k.ap_col);
  if (k.mult_count > 0)
    for (int j = 1; j <= 5; ++j)
      sim.fieldmap.mult_coef[static_cast<std::size_t>(j)] =
          j <= k.mult_count ? P(sim, n, k.mult_col + j - 1) : 0.0;
  sim.state.itype = k.itype;
  sim.state.table_kind = k.table_kind;
  if (k.table_sym >= 0) sim.state.table_sym = k.table_sym;
}

// The lens formulas divide by the aperture radius.
void check_lens_aperture(const TransportContext& sim, int n, const FieldMapKind& k) {
  const double ap = sim.ref.aperture_r;
  if (!(ap > 0.0))
    fatal({fmt::format(" {}: aperture radius P{} = {} cm", element_label(sim, n), k.ap_col, ap),
           " the lens field is scaled by its aperture: give a radius above 0"},
          true);
}

// Enge coefficients in use: P1..P6 of the enge line enge_src(itype, set),
// the default set where that line number is 0.
void scale(TransportContext& sim, unsigned which, double factor) {
  if (which & kScaleField1) sim.ref.field1 *= factor;
  if (which & kScaleField2) sim.ref.field2 *= factor;
  if (which & kScaleMult1) sim.fieldmap.mult_coef[1] *= factor;
}

[[noreturn]] void bad_aperture(const TransportContext& sim, int n, int col, double ap, const char* why) {
  fatal({fmt::format(" {}: aperture P{} = {} cm", element_label(sim, n), col, ap),
         fmt::format(" {}: give an aperture above 0", why)},
        true);
}

// The tables of a cached type (uds, sol): read again only for another number
// (and, for sol, another length); a line without a number runs in the table
// its type loaded last, and stops when there is none.
void load_cached_table(TransportContext& sim, int n, const FieldMapKind& k, double L) {
  const std::int32_t number = sim.elements.elem_int[static_cast<std::size_t>(n)][kElemN];
  const std::size_t t = static_cast<std::size_t>(k.itype);
  const double keyL = k.table == TableLoad::solenoid ? L : 0.0;
  if (number > 0) {
    if (recall_type_table(sim, k.itype, number, keyL)) return;
    if (k.table == TableLoad::solenoid)
      read_solenoid_table(sim, L, number);
    else
      read_eh_EMS(sim, number);
    remember_type_table(sim, k.itype, number, keyL);
    return;
  }
  const std::int32_t last = sim.field_tables.by_type[t].number;
  if (last <= 0 || !recall_type_table(sim, k.itype, last, keyL))
    fatal({fmt::format(" {}: table number {}, and no {} line has loaded a table before",
                       element_label(sim, n), number, k.keyword),
           " give the number of the element's field table"},
          true);
}

// Loads the element's table (after the error-drawing test) and checks the
// apertures a 2-D table field divides by.
void load_table(TransportContext& sim, int n, const FieldMapKind& k, double L) {
  const auto& line = sim.elements.elem_par[static_cast<std::size_t>(n)];
  const std::int32_t number = sim.elements.elem_int[static_cast<std::size_t>(n)][kElemN];
  switch (k.table) {
    case TableLoad::none:
      return;
    case TableLoad::eh_ems:
      read_eh_EMS(sim, number);
      break;
    case TableLoad::eh_ems_cached:
    case TableLoad::solenoid:
      load_cached_table(sim, n, k, L);
      break;
    case TableLoad::two_2d: {
      const int m = sim.elements.elem_int[static_cast<std::size_t>(n)][13];
      read_2Dtable(sim, number, 1);
      read_2Dtable(sim, nint(line[static_cast<std::size_t>(m)]), 2);
      sim.ref.field1 = line[static_cast<std::size_t>(m + 1)];
      break;
    }
  }
  const double ap = sim.ref.aperture_r;
  const bool two_d = k.table == TableLoad::two_2d ||
                     ((k.itype == 11 || k.itype == 16) && sim.state.IAXIAL == 1);
  if (two_d && !(ap > 0.0)) bad_aperture(sim, n, k.ap_col, ap, "the 2-D table field is radial");
}

// Element-specific rules on the line before placement.
void line_rules(TransportContext& sim, int n, const FieldMapKind& k) {
  ReferenceBlock& r = sim.ref;
  const auto& line = sim.elements.elem_par[static_cast<std::size_t>(n)];
  if (k.enge) check_lens_aperture(sim, n, k);
  switch (k.itype) {
    case 2:  // sol: a zero scale would leave the Larmor angle undefined
      if (std::abs(r.field1) < 1e-10) r.field1 = 1e-10;
      if (!(r.aperture_r > 0.0))
        bad_aperture(sim, n, k.ap_col, r.aperture_r,
                     "a solenoid without aperture loses every particle");
      break;
    case 21:  // extrc: the magnetic part of its table at unit scale
      r.field1 = 1.0;
      break;
    case 32:  // ecorr: aperture half sizes P4, P5
      if (line[4] == 0.0 && line[5] != 0.0)
        bad_aperture(sim, n, 4, line[4], "the horizontal half size divides the aperture test");
      break;
    default:
      break;
  }
}

// Element length: the table length P1 plus its field-free extension P4 for
// uds, the length column otherwise.
double placed_length(const TransportContext& sim, int n, const FieldMapKind& k) {
  if (k.itype == 22) return P(sim, n, 1) + P(sim, n, 4);
  return sim.ref.elem_len;
}

// The common road of a field-map element up to its particle loop: position,
// line, placement (and the return of the error-drawing pass), the Enge
// coefficients or the table, the reference path and particle, the beam into
// the element with its entrance statistics, the scan factor and the field
// error. Returns false in the error-drawing pass.
bool enter_field_map(TransportContext& sim, int n, const FieldMapKind& k) {
  ReferenceBlock& r = sim.ref;
  RunState& s = sim.state;
  s.ipos += 1;
  read_field_map_line(sim, n, k);
  line_rules(sim, n, k);
  r.nstep = field_map_step_count(sim, n, k);
  const double L = placed_length(sim, n, k);
  place_element(sim, 0.0, L, 1.0, 0.0);
  if (s.idraw == 1) {
    misalign_draw(sim);
    return false;
  }
  if (k.enge) {
    load_enge_coefficients(sim, k.itype, kEngeDefault);
    if (k.sets_ifringe) sim.config.ifringe = sim.elements.elem_int[static_cast<std::size_t>(n)][12];
    r.drift_aper_y = 2.0 * r.aperture_r;
  }
  load_table(sim, n, k, L);
  if (k.itype == 32) {
    r.aper_x = P(sim, n, 4);
    r.aper_y = P(sim, n, 5);
  } else {
    r.aper_x = r.aperture_r;
    r.aper_y = r.aperture_r;
  }
  r.step_len = L / r.nstep;
  ref_path_straight(sim, L);
  // The design particle sees no corrector field.
  sim.fieldmap.kick_x = 0.0;
  sim.fieldmap.kick_y = 0.0;
  if (s.ipass == 1) {
    sim.history.ref_W_in[s.ipos] = r.w0;
    sim.history.elem_rf_phase[s.ipos] = 0.0;
    // The uds element lists the previous exit phase as its element phase
    // (its field takes the particle's own phase) and pushes its design
    // particle twice in the nominal pass; both pushes start from the stored
    // entrance values and give the same result.
    if (k.itype == 22) {
      sim.history.elem_rf_phase[s.ipos] = sim.history.ref_phase_out[s.ipos - 1];
      ref_particle_element(sim);
    }
  }
  ref_particle_element(sim);
  misalign_reuse(sim);
  misalign_in(sim);
  stat(sim, 0);
  apply_scan_and_field_error(sim, k);
  return true;
}

const FieldMapKind& kind_of(std::string_view keyword) { return *field_map_kind(keyword); }

// The stepping of a field-map element on its source, with the superimposed
// field composed when it is on.
template <class Source>
void step_field_map(TransportContext& sim, int n, const FieldMapKind& k, const Source& source,
                    const ElementStepping& how) {
  const double L = placed_length(sim, n, k);
  with_added_fields(sim, source, [&](const auto& field) { step_element(sim, n, field, L, how); });
}

ElementStepping field_map_stepping() {
  ElementStepping how;
  how.field_map = true;
  return how;
}

template <class Source>
void run_lens(TransportContext& sim, std::int32_t n, std::string_view keyword, Source (*make)(const TransportContext&)) {
  const FieldMapKind& k = kind_of(keyword);
  if (!enter_field_map(sim, n, k)) return;
  step_field_map(sim, n, k, make(sim), field_map_stepping());
}

// The static 3-D table drivers (and deck, einz with a 2-D table).
void run_table(TransportContext& sim, std::int32_t n, std::string_view keyword) {
  const FieldMapKind& k = kind_of(keyword);
  if (!enter_field_map(sim, n, k)) return;
  const ElementStepping how = field_map_stepping();
  if ((k.itype == 11 || k.itype == 16) && sim.state.IAXIAL == 1)
    step_field_map(sim, n, k, table2d_source(sim), how);
  else
    step_field_map(sim, n, k, static_table_source(sim), how);
}

// ehex: every particle live after the element leaves it with its entrance
// speed, restored after the exit statistics (which show the changed
// energies).
void run_ehex(TransportContext& sim, std::int32_t n) {
  const FieldMapKind& k = kind_of("ehex");
  if (!enter_field_map(sim, n, k)) return;
  std::vector<double>& saved = sim.fieldmap.beta_saved;
  const int nq = sim.config.NQTOT;
  std::vector<std::size_t> offset(static_cast<std::size_t>(nq) + 2, 0);
  for (int iq = 1; iq <= nq; ++iq)
    offset[static_cast<std::size_t>(iq) + 1] =
        offset[static_cast<std::size_t>(iq)] + static_cast<std::size_t>(last_slot(sim, iq)) + 1;
  saved.assign(offset[static_cast<std::size_t>(nq) + 1], 0.0);
  for (int iq = 1; iq <= nq; ++iq)
    for (int i = 0; i <= last_slot(sim, iq); ++i)
      if (sim.particles.status[iq][i] >= 0)
        saved[offset[static_cast<std::size_t>(iq)] + static_cast<std::size_t>(i)] =
            sim.particles.beta[iq][i];
  ElementStepping how = field_map_stepping();
  how.after_exit_stats = [&offset](TransportContext& s) {
    const std::vector<double>& b = s.fieldmap.beta_saved;
    for (int iq = 1; iq <= s.config.NQTOT; ++iq)
      for (int i = 0; i <= last_slot(s, iq); ++i)
        if (s.particles.status[iq][i] >= 0)
          s.particles.beta[iq][i] =
              b[offset[static_cast<std::size_t>(iq)] + static_cast<std::size_t>(i)];
  };
  step_field_map(sim, n, k, static_table_source(sim), how);
}

// ecorr: the table field at the exchanged coordinates scaled by kick_x and
// the field at the point by kick_y, with the strengths P8, P9 of the line
// plus the trial kick of a tagged particle.
void run_ecorr(TransportContext& sim, std::int32_t n) {
  const FieldMapKind& k = kind_of("ecorr");
  if (!enter_field_map(sim, n, k)) return;
  auto& line = sim.elements.elem_par[static_cast<std::size_t>(n)];
  if (sim.corr.corr_on_steer == 0) {
    if (std::abs(line[6]) > 1e-7) line[8] = 0.0;
    if (std::abs(line[7]) > 1e-7) line[9] = 0.0;
  }
  const auto& ints = sim.elements.elem_int[static_cast<std::size_t>(n)];
  const EcorrSource source =
      ecorr_source(sim, CorrectorKicks{line[8], line[9], ints[8], ints[9], sim.corr.kicks});
  ElementStepping how = field_map_stepping();
  // Before the particles of each charge state: x and x' of slot 1 of state
  // 1, when slot 1 of the state is pushed.
  how.before_state = [](TransportContext& s, int iq) {
    if (last_slot(s, iq) < 1 || s.particles.status[iq][1] < 0) return;
    s.units.write(kUnitLog, list_directed({s.particles.x[1][1], s.particles.xp[1][1]}));
  };
  step_field_map(sim, n, k, source, how);
}

void run_uds(TransportContext& sim, std::int32_t n) {
  const FieldMapKind& k = kind_of("uds");
  if (!enter_field_map(sim, n, k)) return;
  ElementStepping how = field_map_stepping();
  how.stat_every_step = true;
  step_field_map(sim, n, k, static_table_source(sim), how);
}

void run_sol(TransportContext& sim, std::int32_t n) {
  const FieldMapKind& k = kind_of("sol");
  if (!enter_field_map(sim, n, k)) return;
  step_field_map(sim, n, k, solenoid_source(sim), field_map_stepping());
}

void run_comb(TransportContext& sim, std::int32_t n) {
  const FieldMapKind& k = kind_of("comb");
  if (!enter_field_map(sim, n, k)) return;
  step_field_map(sim, n, k, comb_source(sim), field_map_stepping());
}

}  // namespace

const FieldMapKind* field_map_kind(std::string_view keyword) {
  while (!keyword.empty() && keyword.back() == ' ') keyword.remove_suffix(1);
  for (const auto& k : kKinds)
    if (k.keyword == keyword) return &k;
  return nullptr;
}

std::int32_t field_map_step_count(const TransportContext& sim, int n, const FieldMapKind& k) {
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

void apply_scan_and_field_error(TransportContext& sim, const FieldMapKind& k) {
  ScanState& sc = sim.scan;
  if (k.scan_scales != kScaleNone && sc.scan_mode == 2 && sc.elem == sc.cur_cdump) {
    scale(sim, k.scan_scales, sc.factor);
    sc.factor = 1.0;
  }
  scale(sim, k.error_scales, 1.0 + sim.transport.misalign.rel_field_error);
}

void quad_element(TransportContext& sim, std::int32_t n) { run_lens(sim, n, "quad", quad_source); }
void equad_element(TransportContext& sim, std::int32_t n) { run_lens(sim, n, "equad", equad_source); }
void mult_element(TransportContext& sim, std::int32_t n) { run_lens(sim, n, "mult", mult_source); }
void m5_element(TransportContext& sim, std::int32_t n) { run_lens(sim, n, "m5", mult_source); }
void uds_element(TransportContext& sim, std::int32_t n) { run_uds(sim, n); }
void sol_element(TransportContext& sim, std::int32_t n) { run_sol(sim, n); }
void comb_element(TransportContext& sim, std::int32_t n) { run_comb(sim, n); }
void einz_element(TransportContext& sim, std::int32_t n) { run_table(sim, n, "einz"); }
void eq3d_element(TransportContext& sim, std::int32_t n) { run_table(sim, n, "eq3d"); }
void ehex_element(TransportContext& sim, std::int32_t n) { run_ehex(sim, n); }
void sol3d_element(TransportContext& sim, std::int32_t n) { run_table(sim, n, "sol3d"); }
void eh3d_element(TransportContext& sim, std::int32_t n) { run_table(sim, n, "eh3d"); }
void deck_element(TransportContext& sim, std::int32_t n) { run_table(sim, n, "deck"); }
void ecorr_element(TransportContext& sim, std::int32_t n) { run_ecorr(sim, n); }
void extrc_element(TransportContext& sim, std::int32_t n) { run_table(sim, n, "extrc"); }

void load_enge_coefficients(TransportContext& sim, std::int32_t itype, const EngeSet& defaults) {
  for (std::size_t set = 1; set <= 2; ++set) {
    const std::int32_t src = sim.type_rec.enge_src[static_cast<std::size_t>(itype)][set];
    EngeSet& c = sim.fieldmap.enge_coef[set];
    for (std::size_t j = 0; j < 6; ++j)
      c[j] = src != 0 ? sim.elements.elem_par[static_cast<std::size_t>(src)][j + 1] : defaults[j];
  }
}

}  // namespace linac
