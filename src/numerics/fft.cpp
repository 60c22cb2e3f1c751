#include "numerics/fft.hpp"

#include <cmath>
#include <cstdint>

#include "numerics/fft_passes.hpp"

namespace linac {

namespace {

using fft_detail::Lanes;
using LaneVec = Lanes<RealFftTable::kLanes>;
constexpr int V = RealFftTable::kLanes;

template <bool Forward>
void transform_lines(RealFftTable& t, std::vector<double>& lanes, double* base,
                     std::ptrdiff_t es, std::ptrdiff_t ls, int count) {
  const int n = t.length();
  if (n == 1 || count <= 0) return;
  LaneVec* x = fft_detail::aligned_lanes<V>(lanes.data());
  LaneVec* scr = x + n;
  const int nf = static_cast<int>(t.factors().size());
  fft_detail::transform_in_lanes<V>(n, base, es, ls, count, x, [&] {
    if (Forward)
      fft_detail::real_fft_forward(n, x, scr, t.twiddles().data(), t.factors().data(), nf);
    else
      fft_detail::real_fft_backward(n, x, scr, t.twiddles().data(), t.factors().data(), nf);
  });
}

}  // namespace

RealFftTable::RealFftTable(int n) : n_(n) {
  scratch_.assign(n, 0.0);
  lanes_.assign(2 * static_cast<std::size_t>(n) * V + 8, 0.0);
  wa_.assign(n, 0.0);
  if (n < 2) return;
  // Factorisation: trial factors 4, 2, 3, 5, then 7, 9, 11, ...; each is
  // tried until it no longer divides. A factor 2 found after others moves
  // to the front.
  int nl = n;
  int ntry = 0;
  int j = 0;
  while (nl != 1) {
    ++j;
    ntry = j <= 4 ? (j == 1 ? 4 : j == 2 ? 2 : j == 3 ? 3 : 5) : ntry + 2;
    while (nl % ntry == 0) {
      fac_.push_back(ntry);
      nl /= ntry;
      if (ntry == 2 && fac_.size() > 1) {
        fac_.pop_back();
        fac_.insert(fac_.begin(), 2);
      }
    }
  }
  // Twiddles: for each factor but the last and each of its IP-1 branches,
  // cos and sin of i * LD * 2 pi / N for i = 1 .. (IDO-1)/2.
  const double argh = 6.283185307179586 / static_cast<double>(n);
  int is = 0;
  int l1 = 1;
  const int nf = static_cast<int>(fac_.size());
  for (int k1 = 0; k1 < nf - 1; ++k1) {
    const int ip = fac_[k1];
    int ld = 0;
    const int l2 = l1 * ip;
    const int ido = n / l2;
    for (int jj = 1; jj <= ip - 1; ++jj) {
      ld += l1;
      int i = is;
      const double argld = static_cast<double>(ld) * argh;
      double fi = 0.0;
      for (int ii = 3; ii <= ido; ii += 2) {
        i += 2;
        fi += 1.0;
        const double arg = fi * argld;
        wa_[i - 2] = std::cos(arg);
        wa_[i - 1] = std::sin(arg);
      }
      is += ido;
    }
    l1 = l2;
  }
}

void RealFftTable::forward(double* x) { forward_with(x, scratch_.data()); }

void RealFftTable::forward_with(double* x, double* scr) const {
  if (n_ < 2) return;
  fft_detail::real_fft_forward(n_, x, scr, wa_.data(), fac_.data(),
                               static_cast<int>(fac_.size()));
}

void RealFftTable::backward(double* x) {
  if (n_ < 2) return;
  fft_detail::real_fft_backward(n_, x, scratch_.data(), wa_.data(), fac_.data(),
                                static_cast<int>(fac_.size()));
}

void RealFftTable::forward_lanes(double* x, double* scr) const {
  if (n_ < 2) return;
  fft_detail::real_fft_forward(n_, reinterpret_cast<LaneVec*>(x),
                               reinterpret_cast<LaneVec*>(scr), wa_.data(), fac_.data(),
                               static_cast<int>(fac_.size()));
}

void RealFftTable::forward_lines(double* base, std::ptrdiff_t es, std::ptrdiff_t ls, int count) {
  transform_lines<true>(*this, lanes_, base, es, ls, count);
}

void RealFftTable::backward_lines(double* base, std::ptrdiff_t es, std::ptrdiff_t ls,
                                  int count) {
  transform_lines<false>(*this, lanes_, base, es, ls, count);
}

}  // namespace linac
