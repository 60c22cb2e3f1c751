// The run records: every quantity that lives for the whole run, with its
// unit and start value. Index ranges follow the physics notation: charge
// states 1..6, element lines 0..2000, numbers P1..P11, field tables 1..99,
// element types 1..40; arrays carry one extra slot so index 0 exists and
// formulas transcribe without shifting.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "common/constants.hpp"
#include "common/text.hpp"

namespace linac {

using Keyword = FixedText<5>;

// One quantity of the particle block: per charge state iq = 1..6 a
// contiguous run of slots i = 0..166001 (slot 0 the reference particle).
// Access as a[iq][i].
// The storage comes zeroed from calloc: the operating system hands out
// zero pages on first touch, so a run context costs no 90 MB clear when it
// is made, and each page is first written by the thread that fills it.
template <class T>
class SlotArray {
  static_assert(std::is_trivially_copyable_v<T>, "slots are copied as bytes");

 public:
  SlotArray() : data_(allocate()) {}
  SlotArray(const SlotArray& o) : data_(allocate()) { copy_from(o); }
  SlotArray& operator=(const SlotArray& o) {
    if (this != &o) copy_from(o);
    return *this;
  }
  SlotArray(SlotArray&&) noexcept = default;
  SlotArray& operator=(SlotArray&&) noexcept = default;

  T* operator[](int iq) { return data_.get() + static_cast<std::size_t>(iq - 1) * kParticleSlots; }
  const T* operator[](int iq) const {
    return data_.get() + static_cast<std::size_t>(iq - 1) * kParticleSlots;
  }

 private:
  static constexpr std::size_t kCount = static_cast<std::size_t>(kMaxChargeStates) * kParticleSlots;
  struct Free {
    void operator()(T* p) const { std::free(p); }
  };
  static std::unique_ptr<T[], Free> allocate() {
    void* p = std::calloc(kCount, sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return std::unique_ptr<T[], Free>(static_cast<T*>(p));
  }
  void copy_from(const SlotArray& o) {
    if (!data_) data_ = allocate();
    std::memcpy(data_.get(), o.data_.get(), kCount * sizeof(T));
  }
  std::unique_ptr<T[], Free> data_;
};

// Particle block, structure of arrays.
struct ParticleArrays {
  SlotArray<double> phase;   // RF phase, rad, at harmonic harm: 2 pi harm FREQB t
  SlotArray<double> beta;    // v/c
  SlotArray<double> x;       // cm
  SlotArray<double> xp;      // dx/dz, rad
  SlotArray<double> y;       // cm
  SlotArray<double> yp;      // dy/dz, rad
  SlotArray<double> z;       // longitudinal position in the current element, cm
  SlotArray<double> betax;   // vx/c (time-step pushers, distribution type 48)
  SlotArray<double> betay;   // vy/c
  SlotArray<double> betaz;   // vz/c
  SlotArray<double> qa;      // charge-to-mass ratio Q/A
  SlotArray<std::int32_t> status;  // -1 lost, 0 live beam particle, j > 0 test particle tag j
};

// Status codes of a particle slot.
inline constexpr std::int32_t kLost = -1;
inline constexpr std::int32_t kLive = 0;

// One entry per lattice line n = 0..2000.
struct ElementTable {
  std::array<std::array<double, kElemErr + 1>, kElementSlots> elem_err{};  // drawn errors 1..10
  std::array<std::array<double, kElemPar + 1>, kElementSlots> elem_par{};  // P1..P11
  std::array<double, kElementSlots> elem_pos{};  // end of line n, cm
  // Integers I1..I16: 8/9 corrector test-particle tags, 10 elem_n, 11 code,
  // 12..14 further counts, 15 solenoid variant.
  std::array<std::array<std::int32_t, kElemInt + 1>, kElementSlots> elem_int{};
  std::array<Keyword, kElementSlots> elem_name{};
};

// Column of elem_int holding the integer that begins a lattice line.
inline constexpr int kElemN = 10;

// Column of elem_int holding the parameter code of a prmtr line, and the
// code of "prmtr harm=N", which sets the operating harmonic to its P1.
inline constexpr int kElemPrmtrCode = 11;
inline constexpr std::int32_t kPrmtrCodeHarm = 3;

// Whether element line n is a "prmtr harm=N" line.
inline bool is_harmonic_line(const ElementTable& e, std::int32_t n) {
  return n >= 0 && n <= kMaxElements && e.elem_name[static_cast<std::size_t>(n)] == "prmtr" &&
         e.elem_int[static_cast<std::size_t>(n)][kElemPrmtrCode] == kPrmtrCodeHarm;
}

// Charge-state definitions and run switches.
struct RunConfig {
  std::array<double, kMaxChargeStates + 1> QQ{};      // charge numbers
  std::array<double, kMaxChargeStates + 1> qq0{};     // entrance charges
  std::array<double, kMaxChargeStates + 1> AMASS{};   // mass numbers
  std::array<double, kMaxChargeStates + 1> amass0{};  // entrance mass numbers
  std::array<std::int32_t, kMaxChargeStates + 1> NPAT{};   // beam particles per state
  std::array<std::int32_t, kMaxChargeStates + 1> npat0{};  // initial-beam counts
  std::int32_t IGRAPH = 0, IACCEP = 0, ISOL = 0, IINT = 0, NRZ_MIN = 0, IFLAG_MHB = 0, NQTOT = 0;
  std::int32_t IFLAG_CAV = 0, ISRF = 0, LSTEP = 0, IFLAG_FENV = 0, IFLAG_ENV = 0, IFLAG_ELL = 0,
               NSTEP_CAV = 0, IFLAG_CORR = 0, IFLAG_UPD = 0, IFLAG_RMS = 0;
  std::int32_t iel_first = 0;   // first element line of a pass
  std::int32_t iel_last = 0;    // last element line
  std::int32_t nharm_sc = 0;    // harmonic fixing the bunch period (phase wrapping, space charge)
  std::int32_t outQ = 0;        // out_q.dat switch
  std::int32_t IFLAG_BC = 0, IFLAG_DIS = 0, IFLAG2D = 0, IFLAG_TAC = 0, IFLAG_FNAL = 0;
  std::int32_t iflag_dudt = 0, iflag_ebfld = 0, ifringe = 0, ndraw = 0, IFLAG_VRAND = 0,
               init_COSY = 0, write_ascii = 0, iwrite_rms = 0;
  double DWWACC = 0.0;  // relative energy acceptance of the statistics
  double DWWMAX = 0.0;  // relative energy limit of the statistics
  std::int32_t IFLAG_QQ = 0;  // last charge state of the statistics range (0: NQTOT)
  std::int32_t nqtot0 = 0;    // first charge state of the statistics range
  std::int32_t nqtot1 = 0;    // last charge state of the statistics range
  // Further members of group INDEX.
  std::int32_t NRZ = 0, IFLAG_LEV = 0, IWRITE_DIS = 0, IREAD_DIS = 0;
};

// Integer scalars of the current pass.
struct RunState {
  std::int32_t ipass = 0;   // 1 nominal pass, 2 error-study pass
  std::int32_t ipos = 0;    // position index of the current element
  std::int32_t imoved = 0;  // 1 once a handler moved the particles of this element
  std::int32_t outSC = 0;
  std::int32_t view_count = 0;
  std::int32_t iscrch = 0;       // restart number NN of scratch.#NN (> 0: restart)
  std::int32_t iscrch_elem = 0;  // element line of the restart scrch command
  std::int32_t dev_field = 0;
  std::int32_t IAXIAL = 0;
  std::int32_t bmag_region = 0;  // field region flag of the bending magnet; 2 at every dispatch
  // 1 while the correction passes of a seed run: the matrix-section lines
  // then only keep their positions and reference values (their test
  // particles would take the slots of the correction's trial particles).
  std::int32_t corr_passes_running = 0;
  std::int32_t itype = 0;   // type code of the element being run
  std::int32_t ilost = 0;   // last push: 0 ok, -1 lost or outside the field
  std::int32_t istat_mode = 0;
  std::int32_t table_kind = 0;
  std::int32_t table_sym = 0;
  std::int32_t iflag_t = 0;
  std::int32_t IFLAG_HALO = 0;
  std::int32_t iseed = 0;
  std::int32_t iflag_accep = 0;
  std::int32_t IFLAG_UNIX = 0;
  std::int32_t iflag_chain = 0;
  std::int32_t idraw = 0;
  std::int32_t IFLAG_LOG = 0;
  std::int32_t IRIARFQ = 0;
  std::int32_t ifirst_stat = 0, ifirst_out = 0, ifirst_matrx = 0, ifirst_dev_field = 0;
};

// Design particle and the element being run.
struct ReferenceBlock {
  double w_origin = 0.0, phase_origin = 0.0;  // statistics origins, keV/u and rad
  double field1 = 0.0, field2 = 0.0;          // field scales of the current element
  double elem_len = 0.0;                       // cm
  double elem_phase = 0.0;                     // RF phase setting, rad
  double rfq_resume_phase = 0.0, rfq_resume_exit_phase = 0.0;  // rad
  double aperture_r = 0.0;                     // cm
  double step_len = 0.0;                       // cm
  double z_entry = 0.0;                        // cm
  // Path-length excess over their lattice lengths of the bending magnets
  // passed so far in this pass, cm: added to every later z_entry.
  double z_offset = 0.0;
  double aper_x = 0.0, aper_y = 0.0;           // aperture half sizes, cm
  // Drift aperture half sizes, cm: drift_aper_y < 0 elliptic, > 0
  // rectangular, 0 no aperture.
  double drift_aper_x = 0.0, drift_aper_y = 0.0;
  double rf_amp = 0.0;                         // RF amplitude factor of the element
  double eff_len = 0.0;                        // effective length of a lens, cm
  // Field of the last evaluation in the units of the equations of motion:
  // E/c and B, both in T (slots 1..3).
  std::array<double, 4> last_E{}, last_B{};
  std::int32_t nstep = 0;                      // integration steps of the element
  double amu_ev = 0.0, amu_kev = 0.0, amu_mev = 0.0;  // atomic mass unit, eV, keV, MeV
  double w0 = 0.0;        // design energy per nucleon, keV/u
  double betgam0 = 0.0;   // design beta*gamma
  double FREQB = 0.0;     // RF base frequency, Hz
  double wavelength = 0.0;      // c/FREQB, cm
  double wavelength_2pi = 0.0;  // wavelength/(2 pi harm), cm/rad
  double harm = 0.0;      // operating harmonic
  double WIN = 0.0;       // design energy: eV/u as read, keV/u after derivation
  double gamma_s = 0.0, beta_s = 0.0;  // scratch of the last energy conversion
  double w_entry = 0.0;   // design energy at the entrance, keV/u
  double qa_push = 0.0;   // Q/A of the particle being pushed
  double QAVR = 0.0, UDESIGN = 0.0, QDESIGN = 0.0, ADESIGN = 0.0;
  double w_file_mean = 0.0;  // mean energy per nucleon of a DINAMION file, keV/u
  double s_entry = 0.0;      // position of the entrance of the first element of the run, cm
  // Lab z of the element frame at the start of every pass, cm: s_entry in a
  // run restarted from a beam-state file, else 0. Decided once, when the
  // nominal pass begins; save lines passed later do not change it.
  double frame_z0 = 0.0;
  std::array<double, kRfqCells + 1> rfq_cell_factor{};  // per-cell RFQ table; entry 0 set at start
};

// Further members of group TRAN that describe the generated beam.
struct BeamParams {
  double ATP = 0.0;
  double EPSNX = 0.0, ALPHX = 0.0, BETX = 0.0;  // cm mrad (normalised), -, cm/rad
  double EPSNY = 0.0, ALPHY = 0.0, BETY = 0.0;
  double EPSNZ = 0.0, ALPHZ = 0.0, BETZ = 0.0;
  double PHI0 = 0.0, DISP = 0.0, PHMAX = 0.0, DB_B = 0.0, DF_4D = 0.0;
  double df_4d_rad = 0.0;  // DF_4D in rad
  double epsx_geo = 0.0, epsy_geo = 0.0;  // geometric emittances, cm rad
  double beta_design = 0.0;  // design speed handed to the generators
  std::int32_t N_TP = 0;
  double NP_SET = 0.0;
  double XHIST = 0.0, YHIST = 0.0;
  std::int32_t NBINX = 0, NBINY = 0;
  // Group OTHER.
  double Z_ELECTR = 0.0, R_ELECTR = 0.0, R_BEAM = 0.0, VZ_MIN = 0.0, DBET_BET = 0.0, RAB = 0.0,
         WORD = 0.0;
  std::int32_t N_OF_TABLE = 0;
};

// Space charge acts while the space-charge current scur is at least this (mA).
inline constexpr double kScurMin = 1e-6;

struct BeamCurrent {
  std::array<double, kMaxChargeStates + 1> CURRENT{};  // mA
  std::array<double, kMaxChargeStates + 1> qmacro{};   // charge of one macro-particle, C
  double scur = 0.0;    // space-charge current, mA; space charge acts while scur >= kScurMin
  double Cneutr = 0.0;  // neutralisation factor
};

struct NpatCounts {
  std::array<std::int32_t, kMaxChargeStates + 1> npat_pass{};
  std::array<std::int32_t, kMaxChargeStates + 1> ntest{};  // test particles after the beam
};

struct TypeTables {
  std::array<FixedText<5>, kElementTypes + 1> type_names{};
  std::array<std::int32_t, kElementTypes + 1> type_attr{};
};

// Reference energy and phase per element position 0..2000.
struct ReferenceHistory {
  std::array<double, kElementSlots> elem_rf_phase{};  // entrance phase setting, rad
  std::array<double, kElementSlots> ref_phase_out{};  // exit phase of the reference, rad
  std::array<double, kElementSlots> ref_W_in{};       // entrance energy, keV/u
  std::array<double, kElementSlots> ref_W_out{};      // exit energy, keV/u
  std::array<double, kElementSlots> larmor_angle{};   // rotation in a field-table solenoid, rad
};

// Per charge state injection offsets (after reading: cm, rad, cm, rad, rad, fraction).
struct InitialOffsets {
  std::array<double, kMaxChargeStates + 1> X00{}, XP00{}, Y00{}, YP00{}, PH00{}, DWW00{};
};

struct TableParams {
  std::array<double, kFieldTables + 1> APER{};  // cm
  std::array<double, kFieldTables + 1> DCAV{};  // cm
  std::array<double, kFieldTables + 1> SFAS{};  // rad after reading
  std::array<double, kFieldTables + 1> SERF{};  // fraction after reading
  // Further error amplitudes of each cavity table, set by align lines:
  // offsets dcav2 (cm) and dcav3 (rad), uniform phase error sfas2 (rad) and
  // uniform relative field error serf2 (fraction).
  std::array<double, kFieldTables + 1> dcav2{}, dcav3{}, sfas2{}, serf2{};
  double DEESRF = 0.0;
  std::array<std::int32_t, kFieldTables + 1> N_TT{};
  std::array<std::int32_t, kFieldTables + 1> NCELLS{};
  std::string TABLE_DIR;  // up to 256 characters
  std::string WORK_DIR;

  // RF cavities and bunchers: the amplitude factor each position (0..2000)
  // chose in the nominal pass, which every later pass runs at.
  std::array<double, kElementSlots> field_used{};
};

struct TypeRecords {
  std::array<std::array<double, kElementTypes + 1>, 7> type_errors{};  // seven amplitudes per type
  std::array<std::int32_t, kElementTypes + 1> table_cache{};          // last table number loaded
  std::array<std::array<std::int32_t, 3>, kElementTypes + 1> enge_src{};  // entrance/exit enge lines
};

// Origin and axes of the current element in lab coordinates.
struct Frame {
  std::array<double, 3> origin{};                 // cm
  std::array<std::array<double, 3>, 3> axes{};    // unit vectors
};
struct ElementFrame {
  Frame entry;
  Frame exit;
};

struct BendDeltas {
  double delta1 = 0.0, delta2 = 0.0;
};

struct RfqFlags {
  std::array<double, 7> AijRFQ{};  // 1..6
  double aperRFQ = 0.0;
  // The rfq line of the lattice, as the lattice reader stores it for the
  // cell-file reader.
  std::int32_t rfq_ncells = 0;   // last cell of the RFQ (the line's leading integer)
  std::int32_t rfq_file_no = 0;  // number NN of the cell file rfq.#NN
  double rfq_volt = 0.0;         // inter-vane voltage, kV as written (P1)
  double rfq_R = 0.0;            // reference aperture radius, cm (P3)
  double rfq_phi0 = 0.0;         // RF phase of the accelerating section, deg as written (P4)
  double rfq_concave = 0.0;      // orientation +1.0 or -1.0
  double rfq_length = 0.0;       // RFQ length: end of the last cell, cm

  // The RFQ being run.
  std::int32_t rfq_cur = 0;  // cell being run
};

struct CorrLimits {
  double W_LIM = 0.0, A_LIM = 0.0, TE00_LIM = 0.0, PHDEV_LIM = 0.0, TE00_STEP = 0.0,
         PHDEV_STEP = 0.0;
};

// One-shot field factor for the element with number elem.
struct ScanState {
  double factor = 0.0;
  std::int32_t elem = 0;
  // Correction run: the switch mode (2: the factor acts on the first sol,
  // quad, sol3d, mult or m5 element that runs while elem equals cur_cdump)
  // and the bracket number of the correction section being handled; both 0
  // until a correction run sets them.
  std::int32_t scan_mode = 0;
  std::int32_t cur_cdump = 0;
};

// Field-map elements: the lens strengths and Enge coefficients in use, the
// strength factors of the ecorr corrector and the entrance velocities ehex
// restores.
struct FieldMapRecords {
  std::array<double, 6> mult_coef{};  // 1..5: pole-tip fields of the multipole components, G
  // Enge coefficients c0..c5 in use: set 1 (entrance line), set 2 (exit line).
  std::array<std::array<double, 6>, 3> enge_coef{};
  double kick_x = 0.0, kick_y = 0.0;  // ecorr strength factors of the exchanged and the direct field
  std::vector<double> beta_saved;     // beta per (charge state, slot), sized to the beam
};

// Space-charge grid settings (the solver owns its working storage).
struct ScGridSettings {
  std::int32_t NXGRD = 0, NYGRD = 0, NZGRD = 0;
  double zlhSC = 0.0;
  double sc_charge = 0.0;  // charge of the live beam particles (status 0), C; set by the statistics
  double A_AXE = 0.0, B_AXE = 0.0, C_AXE = 0.0;  // ellipsoid semi-axes, cm
};

// Mesh of the last space-charge solve as the plots report it: mesh steps
// and rms beam sizes (cm) and the coarse-mesh flag (-1 when the last mesh
// check found the mesh too coarse). All 0 until a solve fills them.
struct ScMeshReport {
  double hx = 0.0, hy = 0.0, hz = 0.0;  // cm
  double sx = 0.0, sy = 0.0, sz = 0.0;  // cm
  std::int32_t coarse_flag = 0;
};

// Correction study settings of group CORRECT.
struct CorrSettings {
  std::int32_t MONERR = 0;
  double PARTCORR = 0.0, PARTEQ = 0.0;
  double TOLERANCE = 0.0;
  std::int32_t NITER = 0;
  std::int32_t corr_on_long = 0, corr_on_steer = 0;
  std::int32_t ncorr = 0;                                // number of correctors
  std::array<double, kCorrectorKicks> kicks{};          // corrector kicks 0..100
  // Error study: the minimiser's parameter step (a 32-bit constant).
  float fit_step = 0.0f;
};

// Start values of the transfer-matrix commands.
struct MatrxState {
  double eps = 0.0;
  std::int32_t mode1 = 0, mode2 = 0;
  std::array<std::array<double, 6>, 6> mtot{};

  // The section of the last matrx line: its updat line, the steps of its
  // test particles (1..6: cm, mrad, cm, mrad, deg, %) and per charge state
  // the transfer matrix, section_matrix[iq][j][i] = d out_i / d in_j in
  // those units (column j, row i, 1..6).
  std::int32_t section_start = 0;
  std::array<double, 7> section_steps{};
  std::array<std::array<std::array<double, 7>, 7>, kMaxChargeStates + 1> section_matrix{};
  double section_length = 0.0;  // length printed in the sigma listing's header, cm
};

// ---- Requests and files of the run-time parameter command ----

// rms.dat, the rms sizes of the beam at every integration step, on unit
// 35. An iwrite_rms line with the value 1 opens it and writes its two
// header lines; RunConfig::iwrite_rms is the row switch (0 no rows, 1 rows
// wanted and none written yet, 2 rows written once), and the phase-space
// display writes one row per step in the layout kRmsRowFormat: z (cm), then
// values 1..9 of the step statistics in cm, mrad, cm, mrad, deg, %,
// cm*mrad, cm*mrad, deg*%.
inline constexpr int kUnitRms = 35;
inline constexpr const char* kRmsRowFormat = "(10E18.5)";
// dev_field.dat, the field along a line parallel to the axis, on unit 67;
// opened once per run by the first dev_field request.
inline constexpr int kUnitDevField = 67;

// The line of the pending field-extraction request (RunState::dev_field).
struct DevFieldLine {
  double x0 = 0.0, y0 = 0.0;  // transverse position of the line, cm
  double z_run = 0.0;          // z carried from element to element, cm
  double u_run = 0.0;          // integrated E_z carried from element to element, V
};

// The pending space-charge output request of the outSC line RunState::outSC,
// set by the line in every pass (the line's own integer row keeps its
// parameter code) and read only from here by the space-charge output.
struct OutScRequest {
  std::int32_t step = 0;           // integration step of the output (clamped to nstep)
  std::int32_t mode = 0;           // 3, 2, 1 (3-D) or -1, 0, 1 (2-D); lowered as outputs are written
  std::int32_t cell = 0;           // RFQ cell of the next output
  std::int32_t increment = 0;      // RFQ cells to the output after it
  std::int32_t files_pending = 0;  // 1 while the field-line files of the request are not open
  // Where the field lines cross (P2, P3, P4 of the line), cm, rest frame of
  // the box: the x line runs at (y, z), the y line at (x, z), the z line at
  // (x, y).
  double cross_x = 0.0, cross_y = 0.0, cross_z = 0.0;
};

struct PrmtrRequests {
  DevFieldLine dev_field_line;
  OutScRequest outsc;
};

// Integration steps per element: rows 0..kMaxSteps of the reference path.
inline constexpr int kMaxSteps = 1040;

// Columns of a reference-path row.
enum RefCol : int {
  kRefS = 0,         // path length of the reference from the element entrance, cm
  kRefX = 1,         // x of the reference point in the element frame, cm
  kRefZ = 2,         // z of the reference point in the element frame, cm
  kRefDirZ = 3,      // z component of the reference's unit direction
  kRefDirX = 4,      // x component of the reference's unit direction
  kRefPhase = 5,     // phase of the design particle, rad
  kRefW = 6,         // kinetic energy of the design particle, keV/u
  kRefInvR = 7,      // curvature of the step that ends at this row, 1/cm
  kRefXc = 8,        // centre of curvature of that step, x, cm
  kRefZc = 9,        // centre of curvature of that step, z, cm
  kRefBeamMax = 14,  // 14..19: largest |x|, |x'|, |y|, |y'|, |phase dev.|, |dW/W| of the next step
};
inline constexpr int kRefCols = 20;

// The reference of the current element, one row per step end, rows
// -1..kMaxSteps (row 0 the entrance). Rebuilt by every element.
struct RefPath {
  std::array<std::array<double, kRefCols>, kMaxSteps + 2> rows{};
  double& operator()(int k, int col) { return rows[static_cast<std::size_t>(k + 1)][col]; }
  double operator()(int k, int col) const { return rows[static_cast<std::size_t>(k + 1)][col]; }
};

}  // namespace linac
