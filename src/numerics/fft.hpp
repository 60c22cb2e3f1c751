// Real periodic Fourier transform of N samples (mixed radix, factors 4, 2,
// 3, 5 and general odd factors).
//
// Coefficient order of the forward transform, unnormalised:
//   c[0]      = sum_j x[j]
//   c[2k-1]   =  sum_j x[j] cos(2 pi k j / N)     k = 1 .. (N-1)/2
//   c[2k]     = -sum_j x[j] sin(2 pi k j / N)
//   c[N-1]    = sum_j (-1)^j x[j]                 (even N only)
// The backward transform takes the same order and returns N times the
// sequence that the forward transform started from.
//
// A RealFftTable owns the factorisation and twiddle factors of one length
// and knows that length; the transforms of the table refuse nothing (the
// library routines check lengths before they get here).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace linac {

struct NumericsContext;

class RealFftTable {
 public:
  // Lines transformed side by side by the batched transforms.
  static constexpr int kLanes = 2;

  RealFftTable() = default;  // not built: length() == 0
  explicit RealFftTable(int n);  // n >= 1

  int length() const { return n_; }
  bool built() const { return n_ > 0; }
  // Factors in the order of the factorisation: every 4 first, a single 2
  // in front of them, then 3s, 5s and the other odd primes ascending.
  const std::vector<int>& factors() const { return fac_; }
  // Twiddle factors (cosine, sine pairs per pass block), N values.
  const std::vector<double>& twiddles() const { return wa_; }

  // One sequence of length() values, transformed in place. The table's
  // scratch is used: one transform at a time per table.
  void forward(double* x);
  void backward(double* x);

  // `count` sequences at once, in place: element e of sequence m lies at
  // base[m * line_stride + e * elem_stride]. Results are bit-identical to
  // forward()/backward() on each sequence.
  void forward_lines(double* base, std::ptrdiff_t elem_stride, std::ptrdiff_t line_stride,
                     int count);
  void backward_lines(double* base, std::ptrdiff_t elem_stride, std::ptrdiff_t line_stride,
                      int count);

  // The forward kernels for the sine transform built on this table, with
  // the caller's scratch: one sequence (x and scr hold length() values), or
  // kLanes sequences side by side (length() * kLanes values, element e of
  // lane v at e * kLanes + v).
  void forward_with(double* x, double* scr) const;
  void forward_lanes(double* x, double* scr) const;

 private:
  int n_ = 0;
  std::vector<int> fac_;
  std::vector<double> wa_;
  std::vector<double> scratch_;  // n values
  std::vector<double> lanes_;    // 2 n kLanes values from a 64-byte boundary, + 8 of slack
};

// The library routines. Errors are TERMINAL and stop the run: N < 1
// (code 1), a table built for another length (code 2), arrays shorter than
// N (code 3); DFFTRF: storage not obtained (code 2). SEQ and COEF may be the
// same array; a distinct input is left unchanged.
// DFFTRI: builds WFFT for length N.
void DFFTRI(NumericsContext& sim, std::int32_t N, RealFftTable& WFFT);
// DF2TRF: forward transform of SEQ(1..N) into COEF(1..N) with WFFT.
void DF2TRF(NumericsContext& sim, std::int32_t N, std::span<const double> SEQ, std::span<double> COEF,
            RealFftTable& WFFT);
// DF2TRB: backward transform of COEF(1..N) into SEQ(1..N) with WFFT.
void DF2TRB(NumericsContext& sim, std::int32_t N, std::span<const double> COEF, std::span<double> SEQ,
            RealFftTable& WFFT);
// DFFTRF: forward transform with a table of its own.
void DFFTRF(NumericsContext& sim, std::int32_t N, std::span<const double> SEQ, std::span<double> COEF);

}  // namespace linac
