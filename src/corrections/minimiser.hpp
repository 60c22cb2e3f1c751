// The steering fit as a bounded linear least-squares problem and the
// minimiser that solves it: MIGRAD of the Minuit2 library, reached through
// an embedded Python interpreter and the python3-iminuit package.
//
// Problem: minimise f(x) = sum over rows j of ((sum over t of resp(j, t)
// x(t) + rhs(j)) / weight(j))^2 over lower <= x(t) <= upper.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace linac {

struct BoundedLsq {
  std::int32_t n = 0;  // parameters
  std::int32_t m = 0;  // rows
  std::vector<std::string> names;  // one per parameter
  std::vector<double> start;       // start values
  double step = 0.1;               // first step of every parameter
  double lower = -1.0, upper = 1.0;
  std::vector<double> resp;    // m x n, row by row
  std::vector<double> rhs;     // m
  std::vector<double> weight;  // m, non-zero
};

struct FitResult {
  std::vector<double> x;  // parameters at the minimum the minimiser reports
  double f = 0.0;         // objective there
  double edm = 0.0;       // estimated vertical distance to the minimum
  std::int32_t calls = 0;
  bool valid = false;       // the minimiser calls the minimum converged
  bool call_limit = false;  // the call limit ended the search
};

// The objective at x (n values); allocates nothing.
double lsq_objective(const BoundedLsq& p, const double* x);

// Starts the interpreter (once per process) and imports the minimiser;
// stops the run naming the package when it cannot be imported.
void minimiser_start();

// MIGRAD with errordef 1, strategy 2, print level 0, tolerance 1e-5, at
// most 2400 calls (one extra iteration allowed); a new minimiser per fit.
FitResult migrad_fit(const BoundedLsq& p);

}  // namespace linac
