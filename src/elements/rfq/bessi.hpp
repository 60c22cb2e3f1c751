// Modified Bessel functions of the first kind of integer order by the
// polynomial approximations of Abramowitz and Stegun 9.8.1-9.8.4 (relative
// error below about 2e-7) and downward recurrence for the higher orders.
#pragma once

#include <cstdint>

namespace linac {

double bessi0(double x);
double bessi1(double x);
// I_n(x) for n >= 2; n < 2 stops the run with "bad argument n in bessi".
double bessi(std::int32_t n, double x);

}  // namespace linac
