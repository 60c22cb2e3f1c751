// The library routines of the real FFT and the sine transform: argument
// checks and messages around the table objects. The names are pushed on
// the error stack only on the error paths, so the transforms of the
// space-charge solver never touch it.
#include <algorithm>

#include "numerics/fft.hpp"
#include "numerics/lib_errors.hpp"
#include "numerics/sine_transform.hpp"

namespace linac {

namespace {

constexpr const char* kFftLengthText = "The length of the sequence N = %(I1).  It must be at least 1.";
constexpr const char* kSineLengthText =
    "The length of the sequence N = %(I1).  It must be greater than 1.";

// One TERMINAL message under NAME, pushed and popped around it (the pop
// stops the run).
void terminal(NumericsContext& sim, const char* name, std::int32_t code, const char* text, std::int32_t i1,
              std::int32_t i2 = 0) {
  E1PSH(sim, name);
  E1INSI(sim, 1, i1);
  E1INSI(sim, 2, i2);
  E1MES(sim, 5, code, text);
  E1POP(sim, name);
}

// Length, table and array checks shared by the transforms; true when the
// transform may run.
bool checked(NumericsContext& sim, const char* name, std::int32_t N, const char* length_text, bool length_ok,
             std::int32_t table_length, std::size_t in_size, std::size_t out_size,
             const char* table_name) {
  if (!length_ok) {
    terminal(sim, name, 1, length_text, N);
    return false;
  }
  if (table_length != N) {
    E1PSH(sim, name);
    E1INSI(sim, 1, N);
    E1INSI(sim, 2, table_length);
    E1INSL(sim, 1, table_name);
    E1MES(sim, 5, 2,
          "The table %(L1) was built for the length N = %(I2), but N = %(I1) is given.  A table "
          "serves only the length it was built for.");
    E1POP(sim, name);
    return false;
  }
  const std::size_t have = std::min(in_size, out_size);
  if (have < static_cast<std::size_t>(N)) {
    terminal(sim, name, 3,
             "The input and output arrays must hold N = %(I1) values, but one of them holds "
             "only %(I2).",
             N, size32(have));
    return false;
  }
  return true;
}

}  // namespace

void DFFTRI(NumericsContext& sim, std::int32_t N, RealFftTable& WFFT) {
  if (N < 1) {
    terminal(sim, "DFFTRI", 1, kFftLengthText, N);
    return;
  }
  WFFT = RealFftTable(N);
}

void DF2TRF(NumericsContext& sim, std::int32_t N, std::span<const double> SEQ, std::span<double> COEF,
            RealFftTable& WFFT) {
  if (!checked(sim, "DF2TRF", N, kFftLengthText, N >= 1, WFFT.length(), SEQ.size(), COEF.size(),
               "WFFT"))
    return;
  if (COEF.data() != SEQ.data()) std::copy_n(SEQ.data(), N, COEF.data());
  WFFT.forward(COEF.data());
}

void DF2TRB(NumericsContext& sim, std::int32_t N, std::span<const double> COEF, std::span<double> SEQ,
            RealFftTable& WFFT) {
  if (!checked(sim, "DF2TRB", N, kFftLengthText, N >= 1, WFFT.length(), COEF.size(), SEQ.size(),
               "WFFT"))
    return;
  if (COEF.data() != SEQ.data()) std::copy_n(COEF.data(), N, SEQ.data());
  WFFT.backward(SEQ.data());
}

void DFFTRF(NumericsContext& sim, std::int32_t N, std::span<const double> SEQ, std::span<double> COEF) {
  E1PSH(sim, "DFFTRF");
  if (N < 1) {
    E1INSI(sim, 1, N);
    E1MES(sim, 5, 1, kFftLengthText);
  } else if (std::min(SEQ.size(), COEF.size()) < static_cast<std::size_t>(N)) {
    E1INSI(sim, 1, N);
    E1INSI(sim, 2, size32(std::min(SEQ.size(), COEF.size())));
    E1MES(sim, 5, 3,
          "The input and output arrays must hold N = %(I1) values, but one of them holds only "
          "%(I2).");
  } else {
    RealFftTable table;
    if (!allocated([&] { table = RealFftTable(N); })) {
      E1MES(sim, 5, 2, " ");
      E1INSI(sim, 1, N);
      E1MES(sim, 5, 2,
            "The required storage cannot be allocated.  The specified N may be too large, where "
            "N = %(I1).");
    } else {
      DF2TRF(sim, N, SEQ, COEF, table);
    }
  }
  E1POP(sim, "DFFTRF");
}

void DFSINI(NumericsContext& sim, std::int32_t N, SineTable& WSIN) {
  if (N <= 1) {
    terminal(sim, "DFSINI", 1, kSineLengthText, N);
    return;
  }
  WSIN = SineTable(N);
}

void DF2INT(NumericsContext& sim, std::int32_t N, std::span<const double> SEQ, std::span<double> COEF,
            SineTable& WSIN) {
  if (!checked(sim, "DF2INT", N, kSineLengthText, N > 1, WSIN.length(), SEQ.size(), COEF.size(),
               "WSIN"))
    return;
  WSIN.transform(SEQ.data(), COEF.data());
}

}  // namespace linac
