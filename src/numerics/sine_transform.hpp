// Discrete sine transform (type I) of N values, unnormalised:
//   c[m-1] = 2 sum_{k=1..N} x[k-1] sin(m k pi / (N+1)),   m = 1 .. N.
// Applied twice it returns 2(N+1) times the sequence. The sequence is
// folded into a real periodic sequence of length N+1, transformed with
// the real FFT and unfolded.
//
// A SineTable owns the weights 2 sin(k pi/(N+1)), the real-FFT table of
// length N+1 and the folding buffer, so the output needs exactly N values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "numerics/fft.hpp"

namespace linac {

struct NumericsContext;

class SineTable {
 public:
  SineTable() = default;  // not built: length() == 0
  explicit SineTable(int n);  // n >= 2

  int length() const { return n_; }
  bool built() const { return n_ > 0; }
  const std::vector<double>& weights() const { return w_; }
  const RealFftTable& fft() const { return fft_; }

  // c[0..N-1] from x[0..N-1]; x and c may be the same array. The table's
  // buffers are used: one transform at a time per table.
  void transform(const double* x, double* c);

  // `count` sequences in place, element e of sequence m at
  // base[m * line_stride + e * elem_stride]; bit-identical to transform().
  void transform_lines(double* base, std::ptrdiff_t elem_stride, std::ptrdiff_t line_stride,
                       int count);

 private:
  int n_ = 0;
  std::vector<double> w_;  // N/2 weights
  RealFftTable fft_;       // length N+1
  std::vector<double> y_;  // 2 (N+1) values: folded sequence and FFT scratch
  std::vector<double> lanes_;  // 3 (N+1) kLanes values from a 64-byte boundary, + 8 of slack
};

// The library routines. Errors are TERMINAL and stop the run: N <= 1
// (code 1), a table built for another length (code 2), arrays shorter than
// N (code 3). COEF needs N values; SEQ and COEF may be the same array.
void DFSINI(NumericsContext& sim, std::int32_t N, SineTable& WSIN);
void DF2INT(NumericsContext& sim, std::int32_t N, std::span<const double> SEQ, std::span<double> COEF,
            SineTable& WSIN);

}  // namespace linac
