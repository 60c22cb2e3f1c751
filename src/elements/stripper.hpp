// The charge stripper (keyword strip, type code 24): a foil without length
// that puts every particle into a new charge state drawn from the
// probabilities of the stripper file stripper.#NN, with an energy loss that
// depends on a random foil-thickness deviation and on the particle's
// scattering angle, a Gaussian energy straggling and an angular kick. The
// charge states of the beam are rebuilt from the draws; the design charge
// becomes the mean of the new charges and the design energy the file's W_s.
//
// Every draw comes from the run's one random stream in a fixed order, on one
// thread: the alias set-up with its discarded draw; one charge draw for
// every slot 0..NPAT of every old state in turn (lost slots and slot 0
// included); then for every live particle of the new states in (state,
// slot) order the thickness normal (redrawn while outside the cut), the two
// uniforms of the scattering sample, the straggling normal and the azimuth
// uniform. A fixed seed therefore repeats the foil exactly.
#pragma once

#include <cstdint>
#include <string>

#include "elements/stripper_models.hpp"
#include "elements/stripper_table.hpp"

namespace linac {

struct ElementsContext;

// sqrt(2 ln 2): a Gaussian of standard deviation T100/sqrt(2 ln 2) has the
// half width at half maximum T100.
inline constexpr double kHalfWidthToSigma = 1.1774100225154747;
// Element type code of the stripper.
inline constexpr std::int32_t kStripType = 24;

// Strip line n: P4 = T, the relative half width at half maximum of the
// foil-thickness variation (fraction); the line's leading number m selects
// the stripper file stripper.#NN and the scattering model (1 or 2).
void strip_element(ElementsContext& sim, std::int32_t n);

// One foil passage: energy loss beyond the reference loss dW (keV/u) and
// slope kicks dxp, dyp (rad) for model m and thickness half width T100
// (percent). Draws the thickness normal (again while |t| > 2 T100), the
// scattering sample, the straggling normal and the azimuth uniform.
void strip_sample(ElementsContext& sim, std::int32_t m, double T100, double& dW, double& dxp, double& dyp);

// Squared scattering angle F (mrad^2) of model m at thickness deviation t
// (percent): a bin by its cumulative weight (uniform u1), then a truncated
// exponential inside it by inversion (uniform u2).
double strip_scatter_sample(ElementsContext& sim, std::int32_t m, double t);
// The same for given uniforms u1, u2 in (0, 1): no draw.
double strip_scatter_value(std::int32_t m, double t, double u1, double u2);

// Not called by the run. A thickness deviation (a/sqrt(2 ln 2)) g, g standard
// normal, drawn again while its magnitude exceeds b: a Gaussian of half width
// at half maximum |a| cut at +-b. b < 0, or b = 0 with a not 0 (no draw
// could ever be kept), stops the run.
double strip_thickness_sample(ElementsContext& sim, double a, double b);

// Not called by the run. The foil's energy loss beyond the reference loss of
// one particle of model m at thickness deviation t (percent) and squared
// scattering angle F (mrad^2), in MeV/u: (A2 F + A5 t) + g (A1 F + A3 t +
// A4)/1000 with g standard normal, the loss of strip_sample in MeV/u.
double strip_loss_sample(ElementsContext& sim, std::int32_t m, double t, double F);

// The name of stripper file m with the table directory in front.
std::string stripper_file_name(const ElementsContext& sim, std::int32_t m);
// Reads stripper file m: n (1..6); n charges; n probabilities (>= 0,
// summing to 1 within 1e-4 in single precision); n unused values; W_s
// (keV/u, > 0). Each read starts on a new line. Bad values stop the run
// with a message naming the file, the line and the value.
StripperTable read_stripper_file(const ElementsContext& sim, std::int32_t m);

}  // namespace linac
