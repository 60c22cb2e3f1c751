// Radix passes of the mixed-radix real periodic FFT (the FFTPACK scheme):
// factor 2, 3, 4 and 5 passes of their own, a general pass for every other
// (odd) factor, and the forward and backward drivers that chain them.
//
// Every routine is a template over the element type T. T = double
// transforms one sequence; T = a small vector of doubles (Lanes<V>)
// transforms V sequences side by side, element e of lane v being the
// e-th sample of sequence v. Each lane goes through exactly the same
// arithmetic as the scalar code (element-wise IEEE operations, no
// contraction), so a batched transform gives bit-identical results.
//
// Indices follow the array shapes of the passes, 1-based, through small
// accessors: forward passes read (IDO, L1, IP) and write (IDO, IP, L1),
// backward passes read (IDO, IP, L1) and write (IDO, L1, IP).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace linac::fft_detail {

template <int V>
struct LaneType {
  typedef double type __attribute__((vector_size(V * sizeof(double))));
};
template <>
struct LaneType<1> {
  typedef double type;
};
template <int V>
using Lanes = typename LaneType<V>::type;

// The lane vectors of a buffer from its first 64-byte boundary on (a cache
// line, more than a lane vector needs); the buffers hold 8 doubles of slack.
template <int V>
Lanes<V>* aligned_lanes(double* buf) {
  auto addr = reinterpret_cast<std::uintptr_t>(buf);
  addr = (addr + 63) & ~std::uintptr_t{63};
  return reinterpret_cast<Lanes<V>*>(addr);
}

// Element e of the lines m = 0 .. NV-1 (line m at base + m * ls) into lane
// m of x[e], or back. With every lane in use (Full) the lane loop has a
// fixed count and the vector is built in registers; otherwise the lanes
// beyond the last line are zero and are not stored back.
template <int V, bool Full>
void gather_lines(int n, const double* base, std::ptrdiff_t es, std::ptrdiff_t ls, int nv,
                  Lanes<V>* x) {
  for (int e = 0; e < n; ++e) {
    const double* src = base + e * es;
    Lanes<V> g{};
    for (int v = 0; v < (Full ? V : nv); ++v) g[v] = src[v * ls];
    x[e] = g;
  }
}
template <int V, bool Full>
void scatter_lines(int n, const Lanes<V>* x, int nv, double* base, std::ptrdiff_t es,
                   std::ptrdiff_t ls) {
  for (int e = 0; e < n; ++e) {
    double* dst = base + e * es;
    const Lanes<V> g = x[e];
    for (int v = 0; v < (Full ? V : nv); ++v) dst[v * ls] = g[v];
  }
}

// Transforms COUNT lines of N elements in place, V lines at a time: element
// e of line m at base[m * ls + e * es] becomes lane m % V of x[e], body()
// transforms x[0..N-1], and the lanes of real lines are stored back.
template <int V, class Body>
void transform_in_lanes(int n, double* base, std::ptrdiff_t es, std::ptrdiff_t ls, int count,
                        Lanes<V>* x, Body&& body) {
  for (int m0 = 0; m0 < count; m0 += V) {
    double* first = base + m0 * ls;
    const int nv = count - m0 < V ? count - m0 : V;
    if (nv == V)
      gather_lines<V, true>(n, first, es, ls, nv, x);
    else
      gather_lines<V, false>(n, first, es, ls, nv, x);
    body();
    if (nv == V)
      scatter_lines<V, true>(n, x, nv, first, es, ls);
    else
      scatter_lines<V, false>(n, x, nv, first, es, ls);
  }
}

// Accessor of a 3-index array stored by columns (first index fastest).
template <class T>
struct A3 {
  T* p;
  int d1, d2;
  T& operator()(int i, int j, int k) const { return p[(i - 1) + d1 * ((j - 1) + d2 * (k - 1))]; }
};
template <class T>
struct A2 {
  T* p;
  int d1;
  T& operator()(int i, int j) const { return p[(i - 1) + d1 * (j - 1)]; }
};

// ---------------------------------------------------------------- forward

template <class T>
void radf2(int ido, int l1, T* ccp, T* chp, const double* wa1) {
  A3<T> cc{ccp, ido, l1};
  A3<T> ch{chp, ido, 2};
  for (int k = 1; k <= l1; ++k) {
    ch(1, 1, k) = cc(1, k, 1) + cc(1, k, 2);
    ch(ido, 2, k) = cc(1, k, 1) - cc(1, k, 2);
  }
  if (ido < 2) return;
  if (ido > 2) {
    const int idp2 = ido + 2;
    for (int k = 1; k <= l1; ++k) {
      for (int i = 3; i <= ido; i += 2) {
        const int ic = idp2 - i;
        T tr2 = wa1[i - 3] * cc(i - 1, k, 2) + wa1[i - 2] * cc(i, k, 2);
        T ti2 = wa1[i - 3] * cc(i, k, 2) - wa1[i - 2] * cc(i - 1, k, 2);
        ch(i, 1, k) = cc(i, k, 1) + ti2;
        ch(ic, 2, k) = ti2 - cc(i, k, 1);
        ch(i - 1, 1, k) = cc(i - 1, k, 1) + tr2;
        ch(ic - 1, 2, k) = cc(i - 1, k, 1) - tr2;
      }
    }
    if (ido % 2 == 1) return;
  }
  // Even IDO: the middle element of each half.
  for (int k = 1; k <= l1; ++k) {
    ch(1, 2, k) = -cc(ido, k, 2);
    ch(ido, 1, k) = cc(ido, k, 1);
  }
}

template <class T>
void radf3(int ido, int l1, T* ccp, T* chp, const double* wa1, const double* wa2) {
  constexpr double taur = -0.5;
  constexpr double taui = 0.8660254037844386;
  A3<T> cc{ccp, ido, l1};
  A3<T> ch{chp, ido, 3};
  for (int k = 1; k <= l1; ++k) {
    T cr2 = cc(1, k, 2) + cc(1, k, 3);
    ch(1, 1, k) = cc(1, k, 1) + cr2;
    ch(1, 3, k) = taui * (cc(1, k, 3) - cc(1, k, 2));
    ch(ido, 2, k) = cc(1, k, 1) + taur * cr2;
  }
  if (ido == 1) return;
  const int idp2 = ido + 2;
  for (int k = 1; k <= l1; ++k) {
    for (int i = 3; i <= ido; i += 2) {
      const int ic = idp2 - i;
      T dr2 = wa1[i - 3] * cc(i - 1, k, 2) + wa1[i - 2] * cc(i, k, 2);
      T di2 = wa1[i - 3] * cc(i, k, 2) - wa1[i - 2] * cc(i - 1, k, 2);
      T dr3 = wa2[i - 3] * cc(i - 1, k, 3) + wa2[i - 2] * cc(i, k, 3);
      T di3 = wa2[i - 3] * cc(i, k, 3) - wa2[i - 2] * cc(i - 1, k, 3);
      T cr2 = dr2 + dr3;
      T ci2 = di2 + di3;
      ch(i - 1, 1, k) = cc(i - 1, k, 1) + cr2;
      ch(i, 1, k) = cc(i, k, 1) + ci2;
      T tr2 = cc(i - 1, k, 1) + taur * cr2;
      T ti2 = cc(i, k, 1) + taur * ci2;
      T tr3 = taui * (di2 - di3);
      T ti3 = taui * (dr3 - dr2);
      ch(i - 1, 3, k) = tr2 + tr3;
      ch(ic - 1, 2, k) = tr2 - tr3;
      ch(i, 3, k) = ti2 + ti3;
      ch(ic, 2, k) = ti3 - ti2;
    }
  }
}

template <class T>
void radf4(int ido, int l1, T* ccp, T* chp, const double* wa1, const double* wa2,
           const double* wa3) {
  constexpr double hsqt2 = 0.7071067811865476;
  A3<T> cc{ccp, ido, l1};
  A3<T> ch{chp, ido, 4};
  for (int k = 1; k <= l1; ++k) {
    T tr1 = cc(1, k, 2) + cc(1, k, 4);
    T tr2 = cc(1, k, 1) + cc(1, k, 3);
    ch(1, 1, k) = tr1 + tr2;
    ch(ido, 4, k) = tr2 - tr1;
    ch(ido, 2, k) = cc(1, k, 1) - cc(1, k, 3);
    ch(1, 3, k) = cc(1, k, 4) - cc(1, k, 2);
  }
  if (ido < 2) return;
  if (ido > 2) {
    const int idp2 = ido + 2;
    for (int k = 1; k <= l1; ++k) {
      for (int i = 3; i <= ido; i += 2) {
        const int ic = idp2 - i;
        T cr2 = wa1[i - 3] * cc(i - 1, k, 2) + wa1[i - 2] * cc(i, k, 2);
        T ci2 = wa1[i - 3] * cc(i, k, 2) - wa1[i - 2] * cc(i - 1, k, 2);
        T cr3 = wa2[i - 3] * cc(i - 1, k, 3) + wa2[i - 2] * cc(i, k, 3);
        T ci3 = wa2[i - 3] * cc(i, k, 3) - wa2[i - 2] * cc(i - 1, k, 3);
        T cr4 = wa3[i - 3] * cc(i - 1, k, 4) + wa3[i - 2] * cc(i, k, 4);
        T ci4 = wa3[i - 3] * cc(i, k, 4) - wa3[i - 2] * cc(i - 1, k, 4);
        T tr1 = cr2 + cr4;
        T tr4 = cr4 - cr2;
        T ti1 = ci2 + ci4;
        T ti4 = ci2 - ci4;
        T ti2 = cc(i, k, 1) + ci3;
        T ti3 = cc(i, k, 1) - ci3;
        T tr2 = cc(i - 1, k, 1) + cr3;
        T tr3 = cc(i - 1, k, 1) - cr3;
        ch(i - 1, 1, k) = tr1 + tr2;
        ch(ic - 1, 4, k) = tr2 - tr1;
        ch(i, 1, k) = ti1 + ti2;
        ch(ic, 4, k) = ti1 - ti2;
        ch(i - 1, 3, k) = ti4 + tr3;
        ch(ic - 1, 2, k) = tr3 - ti4;
        ch(i, 3, k) = tr4 + ti3;
        ch(ic, 2, k) = tr4 - ti3;
      }
    }
    if (ido % 2 == 1) return;
  }
  for (int k = 1; k <= l1; ++k) {
    T ti1 = -hsqt2 * (cc(ido, k, 2) + cc(ido, k, 4));
    T tr1 = hsqt2 * (cc(ido, k, 2) - cc(ido, k, 4));
    ch(ido, 1, k) = tr1 + cc(ido, k, 1);
    ch(ido, 3, k) = cc(ido, k, 1) - tr1;
    ch(1, 2, k) = ti1 - cc(ido, k, 3);
    ch(1, 4, k) = ti1 + cc(ido, k, 3);
  }
}

template <class T>
void radf5(int ido, int l1, T* ccp, T* chp, const double* wa1, const double* wa2,
           const double* wa3, const double* wa4) {
  constexpr double tr11 = 0.30901699437494745;
  constexpr double ti11 = 0.9510565162951535;
  constexpr double tr12 = -0.8090169943749475;
  constexpr double ti12 = 0.5877852522924731;
  A3<T> cc{ccp, ido, l1};
  A3<T> ch{chp, ido, 5};
  for (int k = 1; k <= l1; ++k) {
    T cr2 = cc(1, k, 5) + cc(1, k, 2);
    T ci5 = cc(1, k, 5) - cc(1, k, 2);
    T cr3 = cc(1, k, 4) + cc(1, k, 3);
    T ci4 = cc(1, k, 4) - cc(1, k, 3);
    ch(1, 1, k) = cc(1, k, 1) + cr2 + cr3;
    ch(ido, 2, k) = cc(1, k, 1) + tr11 * cr2 + tr12 * cr3;
    ch(1, 3, k) = ti11 * ci5 + ti12 * ci4;
    ch(ido, 4, k) = cc(1, k, 1) + tr12 * cr2 + tr11 * cr3;
    ch(1, 5, k) = ti12 * ci5 - ti11 * ci4;
  }
  if (ido == 1) return;
  const int idp2 = ido + 2;
  for (int k = 1; k <= l1; ++k) {
    for (int i = 3; i <= ido; i += 2) {
      const int ic = idp2 - i;
      T dr2 = wa1[i - 3] * cc(i - 1, k, 2) + wa1[i - 2] * cc(i, k, 2);
      T di2 = wa1[i - 3] * cc(i, k, 2) - wa1[i - 2] * cc(i - 1, k, 2);
      T dr3 = wa2[i - 3] * cc(i - 1, k, 3) + wa2[i - 2] * cc(i, k, 3);
      T di3 = wa2[i - 3] * cc(i, k, 3) - wa2[i - 2] * cc(i - 1, k, 3);
      T dr4 = wa3[i - 3] * cc(i - 1, k, 4) + wa3[i - 2] * cc(i, k, 4);
      T di4 = wa3[i - 3] * cc(i, k, 4) - wa3[i - 2] * cc(i - 1, k, 4);
      T dr5 = wa4[i - 3] * cc(i - 1, k, 5) + wa4[i - 2] * cc(i, k, 5);
      T di5 = wa4[i - 3] * cc(i, k, 5) - wa4[i - 2] * cc(i - 1, k, 5);
      T cr2 = dr2 + dr5;
      T ci5 = dr5 - dr2;
      T cr5 = di2 - di5;
      T ci2 = di2 + di5;
      T cr3 = dr3 + dr4;
      T ci4 = dr4 - dr3;
      T cr4 = di3 - di4;
      T ci3 = di3 + di4;
      ch(i - 1, 1, k) = cc(i - 1, k, 1) + cr2 + cr3;
      ch(i, 1, k) = cc(i, k, 1) + ci2 + ci3;
      T tr2 = cc(i - 1, k, 1) + tr11 * cr2 + tr12 * cr3;
      T ti2 = cc(i, k, 1) + tr11 * ci2 + tr12 * ci3;
      T tr3 = cc(i - 1, k, 1) + tr12 * cr2 + tr11 * cr3;
      T ti3 = cc(i, k, 1) + tr12 * ci2 + tr11 * ci3;
      T tr5 = ti11 * cr5 + ti12 * cr4;
      T ti5 = ti11 * ci5 + ti12 * ci4;
      T tr4 = ti12 * cr5 - ti11 * cr4;
      T ti4 = ti12 * ci5 - ti11 * ci4;
      ch(i - 1, 3, k) = tr2 + tr5;
      ch(ic - 1, 2, k) = tr2 - tr5;
      ch(i, 3, k) = ti2 + ti5;
      ch(ic, 2, k) = ti5 - ti2;
      ch(i - 1, 5, k) = tr3 + tr4;
      ch(ic - 1, 4, k) = tr3 - tr4;
      ch(i, 5, k) = ti3 + ti4;
      ch(ic, 4, k) = ti4 - ti3;
    }
  }
}

// The rotation sums of the general odd-factor passes, from the columns
// IN(., 1..IP) into the columns OUT(., 2..IP) (column 1 is left alone):
//   OUT(., l)          = IN(., 1) + sum_j cos(2 pi (l-1)(j-1) / IP) IN(., j)
//   OUT(., IP + 2 - l) =            sum_j sin(2 pi (l-1)(j-1) / IP) IN(., IP + 2 - j)
// for l, j = 2 .. (IP+1)/2. The cosines and sines come from a recurrence in
// the rotation by 2 pi / IP, in the same order for both directions.
template <class T>
void rotation_sums(int ip, int idl1, A2<T> in, A2<T> out) {
  constexpr double tpi = 6.283185307179586;
  const double arg = tpi / static_cast<double>(ip);
  const double dcp = std::cos(arg);
  const double dsp = std::sin(arg);
  const int ipph = (ip + 1) / 2;
  const int ipp2 = ip + 2;
  double ar1 = 1.0;
  double ai1 = 0.0;
  for (int l = 2; l <= ipph; ++l) {
    const int lc = ipp2 - l;
    const double ar1h = dcp * ar1 - dsp * ai1;
    ai1 = dcp * ai1 + dsp * ar1;
    ar1 = ar1h;
    for (int ik = 1; ik <= idl1; ++ik) {
      out(ik, l) = in(ik, 1) + ar1 * in(ik, 2);
      out(ik, lc) = ai1 * in(ik, ip);
    }
    const double dc2 = ar1;
    const double ds2 = ai1;
    double ar2 = ar1;
    double ai2 = ai1;
    for (int j = 3; j <= ipph; ++j) {
      const int jc = ipp2 - j;
      const double ar2h = dc2 * ar2 - ds2 * ai2;
      ai2 = dc2 * ai2 + ds2 * ar2;
      ar2 = ar2h;
      for (int ik = 1; ik <= idl1; ++ik) {
        out(ik, l) = out(ik, l) + ar2 * in(ik, j);
        out(ik, lc) = out(ik, lc) + ai2 * in(ik, jc);
      }
    }
  }
}

// General odd factor IP >= 7. CC, C1, C2 are the same array under three
// shapes (input and work), CH and CH2 the second array under two. The
// result stands in CC. Rotations by 2 pi / IP come from a recurrence.
template <class T>
void radfg(int ido, int ip, int l1, int idl1, T* ccp, T* c1p, T* c2p, T* chp, T* ch2p,
           const double* wa) {
  A3<T> cc{ccp, ido, ip};
  A3<T> c1{c1p, ido, l1};
  A2<T> c2{c2p, idl1};
  A3<T> ch{chp, ido, l1};
  A2<T> ch2{ch2p, idl1};
  const int ipph = (ip + 1) / 2;
  const int ipp2 = ip + 2;
  const int idp2 = ido + 2;
  if (ido == 1) {
    for (int ik = 1; ik <= idl1; ++ik) c2(ik, 1) = ch2(ik, 1);
  } else {
    for (int ik = 1; ik <= idl1; ++ik) ch2(ik, 1) = c2(ik, 1);
    for (int j = 2; j <= ip; ++j)
      for (int k = 1; k <= l1; ++k) ch(1, k, j) = c1(1, k, j);
    int is = -ido;
    for (int j = 2; j <= ip; ++j) {
      is += ido;
      for (int k = 1; k <= l1; ++k) {
        int idij = is;
        for (int i = 3; i <= ido; i += 2) {
          idij += 2;
          ch(i - 1, k, j) = wa[idij - 2] * c1(i - 1, k, j) + wa[idij - 1] * c1(i, k, j);
          ch(i, k, j) = wa[idij - 2] * c1(i, k, j) - wa[idij - 1] * c1(i - 1, k, j);
        }
      }
    }
    for (int j = 2; j <= ipph; ++j) {
      const int jc = ipp2 - j;
      for (int k = 1; k <= l1; ++k) {
        for (int i = 3; i <= ido; i += 2) {
          c1(i - 1, k, j) = ch(i - 1, k, j) + ch(i - 1, k, jc);
          c1(i - 1, k, jc) = ch(i, k, j) - ch(i, k, jc);
          c1(i, k, j) = ch(i, k, j) + ch(i, k, jc);
          c1(i, k, jc) = ch(i - 1, k, jc) - ch(i - 1, k, j);
        }
      }
    }
  }
  for (int j = 2; j <= ipph; ++j) {
    const int jc = ipp2 - j;
    for (int k = 1; k <= l1; ++k) {
      c1(1, k, j) = ch(1, k, j) + ch(1, k, jc);
      c1(1, k, jc) = ch(1, k, jc) - ch(1, k, j);
    }
  }
  rotation_sums(ip, idl1, c2, ch2);
  for (int j = 2; j <= ipph; ++j)
    for (int ik = 1; ik <= idl1; ++ik) ch2(ik, 1) = ch2(ik, 1) + c2(ik, j);
  for (int k = 1; k <= l1; ++k)
    for (int i = 1; i <= ido; ++i) cc(i, 1, k) = ch(i, k, 1);
  for (int j = 2; j <= ipph; ++j) {
    const int jc = ipp2 - j;
    const int j2 = j + j;
    for (int k = 1; k <= l1; ++k) {
      cc(ido, j2 - 2, k) = ch(1, k, j);
      cc(1, j2 - 1, k) = ch(1, k, jc);
    }
  }
  if (ido == 1) return;
  for (int j = 2; j <= ipph; ++j) {
    const int jc = ipp2 - j;
    const int j2 = j + j;
    for (int k = 1; k <= l1; ++k) {
      for (int i = 3; i <= ido; i += 2) {
        const int ic = idp2 - i;
        cc(i - 1, j2 - 1, k) = ch(i - 1, k, j) + ch(i - 1, k, jc);
        cc(ic - 1, j2 - 2, k) = ch(i - 1, k, j) - ch(i - 1, k, jc);
        cc(i, j2 - 1, k) = ch(i, k, j) + ch(i, k, jc);
        cc(ic, j2 - 2, k) = ch(i, k, jc) - ch(i, k, j);
      }
    }
  }
}

// ---------------------------------------------------------------- backward

template <class T>
void radb2(int ido, int l1, T* ccp, T* chp, const double* wa1) {
  A3<T> cc{ccp, ido, 2};
  A3<T> ch{chp, ido, l1};
  for (int k = 1; k <= l1; ++k) {
    ch(1, k, 1) = cc(1, 1, k) + cc(ido, 2, k);
    ch(1, k, 2) = cc(1, 1, k) - cc(ido, 2, k);
  }
  if (ido < 2) return;
  if (ido > 2) {
    const int idp2 = ido + 2;
    for (int k = 1; k <= l1; ++k) {
      for (int i = 3; i <= ido; i += 2) {
        const int ic = idp2 - i;
        ch(i - 1, k, 1) = cc(i - 1, 1, k) + cc(ic - 1, 2, k);
        T tr2 = cc(i - 1, 1, k) - cc(ic - 1, 2, k);
        ch(i, k, 1) = cc(i, 1, k) - cc(ic, 2, k);
        T ti2 = cc(i, 1, k) + cc(ic, 2, k);
        ch(i - 1, k, 2) = wa1[i - 3] * tr2 - wa1[i - 2] * ti2;
        ch(i, k, 2) = wa1[i - 3] * ti2 + wa1[i - 2] * tr2;
      }
    }
    if (ido % 2 == 1) return;
  }
  for (int k = 1; k <= l1; ++k) {
    ch(ido, k, 1) = cc(ido, 1, k) + cc(ido, 1, k);
    ch(ido, k, 2) = -(cc(1, 2, k) + cc(1, 2, k));
  }
}

template <class T>
void radb3(int ido, int l1, T* ccp, T* chp, const double* wa1, const double* wa2) {
  constexpr double taur = -0.5;
  constexpr double taui = 0.8660254037844386;
  A3<T> cc{ccp, ido, 3};
  A3<T> ch{chp, ido, l1};
  for (int k = 1; k <= l1; ++k) {
    T tr2 = cc(ido, 2, k) + cc(ido, 2, k);
    T cr2 = cc(1, 1, k) + taur * tr2;
    ch(1, k, 1) = cc(1, 1, k) + tr2;
    T ci3 = taui * (cc(1, 3, k) + cc(1, 3, k));
    ch(1, k, 2) = cr2 - ci3;
    ch(1, k, 3) = cr2 + ci3;
  }
  if (ido == 1) return;
  const int idp2 = ido + 2;
  for (int k = 1; k <= l1; ++k) {
    for (int i = 3; i <= ido; i += 2) {
      const int ic = idp2 - i;
      T tr2 = cc(i - 1, 3, k) + cc(ic - 1, 2, k);
      T cr2 = cc(i - 1, 1, k) + taur * tr2;
      ch(i - 1, k, 1) = cc(i - 1, 1, k) + tr2;
      T ti2 = cc(i, 3, k) - cc(ic, 2, k);
      T ci2 = cc(i, 1, k) + taur * ti2;
      ch(i, k, 1) = cc(i, 1, k) + ti2;
      T cr3 = taui * (cc(i - 1, 3, k) - cc(ic - 1, 2, k));
      T ci3 = taui * (cc(i, 3, k) + cc(ic, 2, k));
      T dr2 = cr2 - ci3;
      T dr3 = cr2 + ci3;
      T di2 = ci2 + cr3;
      T di3 = ci2 - cr3;
      ch(i - 1, k, 2) = wa1[i - 3] * dr2 - wa1[i - 2] * di2;
      ch(i, k, 2) = wa1[i - 3] * di2 + wa1[i - 2] * dr2;
      ch(i - 1, k, 3) = wa2[i - 3] * dr3 - wa2[i - 2] * di3;
      ch(i, k, 3) = wa2[i - 3] * di3 + wa2[i - 2] * dr3;
    }
  }
}

template <class T>
void radb4(int ido, int l1, T* ccp, T* chp, const double* wa1, const double* wa2,
           const double* wa3) {
  constexpr double sqrt2 = 1.4142135623730951;
  A3<T> cc{ccp, ido, 4};
  A3<T> ch{chp, ido, l1};
  for (int k = 1; k <= l1; ++k) {
    T tr1 = cc(1, 1, k) - cc(ido, 4, k);
    T tr2 = cc(1, 1, k) + cc(ido, 4, k);
    T tr3 = cc(ido, 2, k) + cc(ido, 2, k);
    T tr4 = cc(1, 3, k) + cc(1, 3, k);
    ch(1, k, 1) = tr2 + tr3;
    ch(1, k, 2) = tr1 - tr4;
    ch(1, k, 3) = tr2 - tr3;
    ch(1, k, 4) = tr1 + tr4;
  }
  if (ido < 2) return;
  if (ido > 2) {
    const int idp2 = ido + 2;
    for (int k = 1; k <= l1; ++k) {
      for (int i = 3; i <= ido; i += 2) {
        const int ic = idp2 - i;
        T ti1 = cc(i, 1, k) + cc(ic, 4, k);
        T ti2 = cc(i, 1, k) - cc(ic, 4, k);
        T ti3 = cc(i, 3, k) - cc(ic, 2, k);
        T tr4 = cc(i, 3, k) + cc(ic, 2, k);
        T tr1 = cc(i - 1, 1, k) - cc(ic - 1, 4, k);
        T tr2 = cc(i - 1, 1, k) + cc(ic - 1, 4, k);
        T ti4 = cc(i - 1, 3, k) - cc(ic - 1, 2, k);
        T tr3 = cc(i - 1, 3, k) + cc(ic - 1, 2, k);
        ch(i - 1, k, 1) = tr2 + tr3;
        T cr3 = tr2 - tr3;
        ch(i, k, 1) = ti2 + ti3;
        T ci3 = ti2 - ti3;
        T cr2 = tr1 - tr4;
        T cr4 = tr1 + tr4;
        T ci2 = ti1 + ti4;
        T ci4 = ti1 - ti4;
        ch(i - 1, k, 2) = wa1[i - 3] * cr2 - wa1[i - 2] * ci2;
        ch(i, k, 2) = wa1[i - 3] * ci2 + wa1[i - 2] * cr2;
        ch(i - 1, k, 3) = wa2[i - 3] * cr3 - wa2[i - 2] * ci3;
        ch(i, k, 3) = wa2[i - 3] * ci3 + wa2[i - 2] * cr3;
        ch(i - 1, k, 4) = wa3[i - 3] * cr4 - wa3[i - 2] * ci4;
        ch(i, k, 4) = wa3[i - 3] * ci4 + wa3[i - 2] * cr4;
      }
    }
    if (ido % 2 == 1) return;
  }
  for (int k = 1; k <= l1; ++k) {
    T ti1 = cc(1, 2, k) + cc(1, 4, k);
    T ti2 = cc(1, 4, k) - cc(1, 2, k);
    T tr1 = cc(ido, 1, k) - cc(ido, 3, k);
    T tr2 = cc(ido, 1, k) + cc(ido, 3, k);
    ch(ido, k, 1) = tr2 + tr2;
    ch(ido, k, 2) = sqrt2 * (tr1 - ti1);
    ch(ido, k, 3) = ti2 + ti2;
    ch(ido, k, 4) = -sqrt2 * (tr1 + ti1);
  }
}

template <class T>
void radb5(int ido, int l1, T* ccp, T* chp, const double* wa1, const double* wa2,
           const double* wa3, const double* wa4) {
  constexpr double tr11 = 0.30901699437494745;
  constexpr double ti11 = 0.9510565162951535;
  constexpr double tr12 = -0.8090169943749475;
  constexpr double ti12 = 0.5877852522924731;
  A3<T> cc{ccp, ido, 5};
  A3<T> ch{chp, ido, l1};
  for (int k = 1; k <= l1; ++k) {
    T ti5 = cc(1, 3, k) + cc(1, 3, k);
    T ti4 = cc(1, 5, k) + cc(1, 5, k);
    T tr2 = cc(ido, 2, k) + cc(ido, 2, k);
    T tr3 = cc(ido, 4, k) + cc(ido, 4, k);
    ch(1, k, 1) = cc(1, 1, k) + tr2 + tr3;
    T cr2 = cc(1, 1, k) + tr11 * tr2 + tr12 * tr3;
    T cr3 = cc(1, 1, k) + tr12 * tr2 + tr11 * tr3;
    T ci5 = ti11 * ti5 + ti12 * ti4;
    T ci4 = ti12 * ti5 - ti11 * ti4;
    ch(1, k, 2) = cr2 - ci5;
    ch(1, k, 3) = cr3 - ci4;
    ch(1, k, 4) = cr3 + ci4;
    ch(1, k, 5) = cr2 + ci5;
  }
  if (ido == 1) return;
  const int idp2 = ido + 2;
  for (int k = 1; k <= l1; ++k) {
    for (int i = 3; i <= ido; i += 2) {
      const int ic = idp2 - i;
      T ti5 = cc(i, 3, k) + cc(ic, 2, k);
      T ti2 = cc(i, 3, k) - cc(ic, 2, k);
      T ti4 = cc(i, 5, k) + cc(ic, 4, k);
      T ti3 = cc(i, 5, k) - cc(ic, 4, k);
      T tr5 = cc(i - 1, 3, k) - cc(ic - 1, 2, k);
      T tr2 = cc(i - 1, 3, k) + cc(ic - 1, 2, k);
      T tr4 = cc(i - 1, 5, k) - cc(ic - 1, 4, k);
      T tr3 = cc(i - 1, 5, k) + cc(ic - 1, 4, k);
      ch(i - 1, k, 1) = cc(i - 1, 1, k) + tr2 + tr3;
      ch(i, k, 1) = cc(i, 1, k) + ti2 + ti3;
      T cr2 = cc(i - 1, 1, k) + tr11 * tr2 + tr12 * tr3;
      T ci2 = cc(i, 1, k) + tr11 * ti2 + tr12 * ti3;
      T cr3 = cc(i - 1, 1, k) + tr12 * tr2 + tr11 * tr3;
      T ci3 = cc(i, 1, k) + tr12 * ti2 + tr11 * ti3;
      T cr5 = ti11 * tr5 + ti12 * tr4;
      T ci5 = ti11 * ti5 + ti12 * ti4;
      T cr4 = ti12 * tr5 - ti11 * tr4;
      T ci4 = ti12 * ti5 - ti11 * ti4;
      T dr3 = cr3 - ci4;
      T dr4 = cr3 + ci4;
      T di3 = ci3 + cr4;
      T di4 = ci3 - cr4;
      T dr5 = cr2 + ci5;
      T dr2 = cr2 - ci5;
      T di5 = ci2 - cr5;
      T di2 = ci2 + cr5;
      ch(i - 1, k, 2) = wa1[i - 3] * dr2 - wa1[i - 2] * di2;
      ch(i, k, 2) = wa1[i - 3] * di2 + wa1[i - 2] * dr2;
      ch(i - 1, k, 3) = wa2[i - 3] * dr3 - wa2[i - 2] * di3;
      ch(i, k, 3) = wa2[i - 3] * di3 + wa2[i - 2] * dr3;
      ch(i - 1, k, 4) = wa3[i - 3] * dr4 - wa3[i - 2] * di4;
      ch(i, k, 4) = wa3[i - 3] * di4 + wa3[i - 2] * dr4;
      ch(i - 1, k, 5) = wa4[i - 3] * dr5 - wa4[i - 2] * di5;
      ch(i, k, 5) = wa4[i - 3] * di5 + wa4[i - 2] * dr5;
    }
  }
}

// General odd factor IP >= 7, backward. The result stands in CH when
// IDO = 1 and in CC (C1) otherwise.
template <class T>
void radbg(int ido, int ip, int l1, int idl1, T* ccp, T* c1p, T* c2p, T* chp, T* ch2p,
           const double* wa) {
  A3<T> cc{ccp, ido, ip};
  A3<T> c1{c1p, ido, l1};
  A2<T> c2{c2p, idl1};
  A3<T> ch{chp, ido, l1};
  A2<T> ch2{ch2p, idl1};
  const int idp2 = ido + 2;
  const int ipp2 = ip + 2;
  const int ipph = (ip + 1) / 2;
  for (int k = 1; k <= l1; ++k)
    for (int i = 1; i <= ido; ++i) ch(i, k, 1) = cc(i, 1, k);
  for (int j = 2; j <= ipph; ++j) {
    const int jc = ipp2 - j;
    const int j2 = j + j;
    for (int k = 1; k <= l1; ++k) {
      ch(1, k, j) = cc(ido, j2 - 2, k) + cc(ido, j2 - 2, k);
      ch(1, k, jc) = cc(1, j2 - 1, k) + cc(1, j2 - 1, k);
    }
  }
  if (ido != 1) {
    for (int j = 2; j <= ipph; ++j) {
      const int jc = ipp2 - j;
      for (int k = 1; k <= l1; ++k) {
        for (int i = 3; i <= ido; i += 2) {
          const int ic = idp2 - i;
          ch(i - 1, k, j) = cc(i - 1, 2 * j - 1, k) + cc(ic - 1, 2 * j - 2, k);
          ch(i - 1, k, jc) = cc(i - 1, 2 * j - 1, k) - cc(ic - 1, 2 * j - 2, k);
          ch(i, k, j) = cc(i, 2 * j - 1, k) - cc(ic, 2 * j - 2, k);
          ch(i, k, jc) = cc(i, 2 * j - 1, k) + cc(ic, 2 * j - 2, k);
        }
      }
    }
  }
  rotation_sums(ip, idl1, ch2, c2);
  for (int j = 2; j <= ipph; ++j)
    for (int ik = 1; ik <= idl1; ++ik) ch2(ik, 1) = ch2(ik, 1) + ch2(ik, j);
  for (int j = 2; j <= ipph; ++j) {
    const int jc = ipp2 - j;
    for (int k = 1; k <= l1; ++k) {
      ch(1, k, j) = c1(1, k, j) - c1(1, k, jc);
      ch(1, k, jc) = c1(1, k, j) + c1(1, k, jc);
    }
  }
  if (ido == 1) return;
  for (int j = 2; j <= ipph; ++j) {
    const int jc = ipp2 - j;
    for (int k = 1; k <= l1; ++k) {
      for (int i = 3; i <= ido; i += 2) {
        ch(i - 1, k, j) = c1(i - 1, k, j) - c1(i, k, jc);
        ch(i - 1, k, jc) = c1(i - 1, k, j) + c1(i, k, jc);
        ch(i, k, j) = c1(i, k, j) + c1(i - 1, k, jc);
        ch(i, k, jc) = c1(i, k, j) - c1(i - 1, k, jc);
      }
    }
  }
  for (int ik = 1; ik <= idl1; ++ik) c2(ik, 1) = ch2(ik, 1);
  for (int j = 2; j <= ip; ++j)
    for (int k = 1; k <= l1; ++k) c1(1, k, j) = ch(1, k, j);
  int is = -ido;
  for (int j = 2; j <= ip; ++j) {
    is += ido;
    for (int k = 1; k <= l1; ++k) {
      int idij = is;
      for (int i = 3; i <= ido; i += 2) {
        idij += 2;
        c1(i - 1, k, j) = wa[idij - 2] * ch(i - 1, k, j) - wa[idij - 1] * ch(i, k, j);
        c1(i, k, j) = wa[idij - 2] * ch(i, k, j) + wa[idij - 1] * ch(i - 1, k, j);
      }
    }
  }
}

// ---------------------------------------------------------------- drivers

// Forward transform of the N elements of X in place, SCR (N elements) as
// the second buffer; WA the twiddles, FAC the NF factors.
template <class T>
void real_fft_forward(int n, T* x, T* scr, const double* wa, const int* fac, int nf) {
  int na = 1;
  int l2 = n;
  int iw = n;
  for (int k1 = 1; k1 <= nf; ++k1) {
    const int ip = fac[nf - k1];
    const int l1 = l2 / ip;
    const int ido = n / l2;
    const int idl1 = ido * l1;
    iw -= (ip - 1) * ido;
    na = 1 - na;
    const double* w = wa + (iw - 1);
    T* in = na == 0 ? x : scr;
    T* out = na == 0 ? scr : x;
    switch (ip) {
      case 4:
        radf4(ido, l1, in, out, w, w + ido, w + 2 * ido);
        break;
      case 2:
        radf2(ido, l1, in, out, w);
        break;
      case 3:
        radf3(ido, l1, in, out, w, w + ido);
        break;
      case 5:
        radf5(ido, l1, in, out, w, w + ido, w + 2 * ido, w + 3 * ido);
        break;
      default:
        if (ido == 1) na = 1 - na;
        if (na == 0) {
          radfg(ido, ip, l1, idl1, x, x, x, scr, scr, w);
          na = 1;
        } else {
          radfg(ido, ip, l1, idl1, scr, scr, scr, x, x, w);
          na = 0;
        }
        break;
    }
    l2 = l1;
  }
  if (na == 1) return;
  for (int i = 0; i < n; ++i) x[i] = scr[i];
}

// Backward transform of the N coefficients of X in place.
template <class T>
void real_fft_backward(int n, T* x, T* scr, const double* wa, const int* fac, int nf) {
  int na = 0;
  int l1 = 1;
  int iw = 1;
  for (int k1 = 1; k1 <= nf; ++k1) {
    const int ip = fac[k1 - 1];
    const int l2 = ip * l1;
    const int ido = n / l2;
    const int idl1 = ido * l1;
    const double* w = wa + (iw - 1);
    T* in = na == 0 ? x : scr;
    T* out = na == 0 ? scr : x;
    switch (ip) {
      case 4:
        radb4(ido, l1, in, out, w, w + ido, w + 2 * ido);
        na = 1 - na;
        break;
      case 2:
        radb2(ido, l1, in, out, w);
        na = 1 - na;
        break;
      case 3:
        radb3(ido, l1, in, out, w, w + ido);
        na = 1 - na;
        break;
      case 5:
        radb5(ido, l1, in, out, w, w + ido, w + 2 * ido, w + 3 * ido);
        na = 1 - na;
        break;
      default:
        if (na == 0)
          radbg(ido, ip, l1, idl1, x, x, x, scr, scr, w);
        else
          radbg(ido, ip, l1, idl1, scr, scr, scr, x, x, w);
        if (ido == 1) na = 1 - na;
        break;
    }
    l1 = l2;
    iw += (ip - 1) * ido;
  }
  if (na == 0) return;
  for (int i = 0; i < n; ++i) x[i] = scr[i];
}

}  // namespace linac::fft_detail
