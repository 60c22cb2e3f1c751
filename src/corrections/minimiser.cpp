#include "corrections/minimiser.hpp"

#include <pybind11/embed.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <fmt/format.h>

#include "platform/fatal.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace py = pybind11;

namespace linac {

namespace {

constexpr int kCallLimit = 2400;
constexpr double kTolerance = 1e-5;

// The interpreter is started once and never finalised (a second start in one
// process is unsafe), so what it and its extension modules allocate while we
// call into it lives until exit. In the checked build the leak check ignores
// the allocations made inside these calls; it still sees all others.
struct InterpreterAllocations {
#if defined(__SANITIZE_ADDRESS__)
  InterpreterAllocations() { __lsan_disable(); }
  ~InterpreterAllocations() { __lsan_enable(); }
#endif
  InterpreterAllocations(const InterpreterAllocations&) = delete;
  InterpreterAllocations& operator=(const InterpreterAllocations&) = delete;
#if !defined(__SANITIZE_ADDRESS__)
  InterpreterAllocations() = default;
#endif
};

}  // namespace

double lsq_objective(const BoundedLsq& p, const double* x) {
  double f = 0.0;
  for (int j = 0; j < p.m; ++j) {
    const double* row = p.resp.data() + static_cast<std::size_t>(j) * static_cast<std::size_t>(p.n);
    double s = 0.0;
    for (int t = 0; t < p.n; ++t) s += row[t] * x[t];
    const double r = (s + p.rhs[static_cast<std::size_t>(j)]) / p.weight[static_cast<std::size_t>(j)];
    f += r * r;
  }
  return f;
}

void minimiser_start() {
  [[maybe_unused]] const InterpreterAllocations scope;
  // The interpreter holds no run state: it lives for the process and every
  // fit makes its own minimiser object.
  if (!Py_IsInitialized()) {
#ifdef LINAC_PYTHON_EXECUTABLE
    // Standard library and packages of the interpreter the program was built
    // against, whatever python3 comes first on PATH.
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.parse_argv = 0;
    config.install_signal_handlers = 0;
    PyConfig_SetBytesString(&config, &config.program_name, LINAC_PYTHON_EXECUTABLE);
    py::initialize_interpreter(&config, 0, nullptr, false);
#else
    py::initialize_interpreter(false);
#endif
  }
  try {
    py::module_::import("iminuit");
  } catch (const py::error_already_set& e) {
    fatal({" the steering fit needs the minimiser of the Debian package python3-iminuit, which cannot be "
           "imported:",
           std::string(" ") + e.what()});
  }
}

FitResult migrad_fit(const BoundedLsq& p) {
  [[maybe_unused]] const InterpreterAllocations scope;
  minimiser_start();
  const auto n = static_cast<std::size_t>(p.n);
  FitResult out;
  try {
    py::module_ iminuit = py::module_::import("iminuit");
    // The objective as a callable of one array argument.
    py::cpp_function fcn([&p, n](py::array_t<double, py::array::c_style | py::array::forcecast> x) {
      if (static_cast<std::size_t>(x.size()) != n) throw std::runtime_error("parameter count");
      return lsq_objective(p, x.data());
    });
    py::array_t<double> start(static_cast<py::ssize_t>(n), p.start.data());
    py::object m = iminuit.attr("Minuit")(fcn, start, py::arg("name") = p.names);
    m.attr("errordef") = 1.0;
    m.attr("strategy") = 2;
    m.attr("print_level") = 0;
    m.attr("tol") = kTolerance;
    py::list limits, errors;
    for (std::size_t t = 0; t < n; ++t) {
      limits.append(py::make_tuple(p.lower, p.upper));
      errors.append(p.step);
    }
    m.attr("limits") = limits;
    m.attr("errors") = errors;
    m.attr("migrad")(py::arg("ncall") = kCallLimit, py::arg("iterate") = 1);
    py::object fmin = m.attr("fmin");
    out.x = m.attr("values").attr("__getitem__")(py::slice(0, static_cast<py::ssize_t>(n), 1))
                .cast<std::vector<double>>();
    out.f = m.attr("fval").cast<double>();
    out.edm = fmin.attr("edm").cast<double>();
    out.calls = m.attr("nfcn").cast<std::int32_t>();
    out.valid = m.attr("valid").cast<bool>();
    out.call_limit = fmin.attr("has_reached_call_limit").cast<bool>();
  } catch (const py::error_already_set& e) {
    fatal({fmt::format(" steering fit of {} correctors: the minimiser failed:", p.n), std::string(" ") + e.what()});
  }
  return out;
}

}  // namespace linac
