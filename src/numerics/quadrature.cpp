#include "numerics/quadrature.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "numerics/lib_errors.hpp"
#include "numerics/machine.hpp"

namespace linac {

namespace {

// Nodes of the 21-point Kronrod rule (the 10-point Gauss nodes at the even
// positions), its weights, and the Gauss weights.
constexpr double kXgk[11] = {
    0.995657163025808080735527280689003, 0.973906528517171720077964012084452,
    0.930157491355708226001207180059508, 0.865063366688984510732096688423493,
    0.780817726586416897063717578345042, 0.679409568299024406234327365114874,
    0.562757134668604683339000099272694, 0.433395394129247190799265943165784,
    0.294392862701460198131126603103866, 0.148874338981631210884826001129720,
    0.000000000000000000000000000000000};
constexpr double kWgk[11] = {
    0.011694638867371874278064396062192, 0.032558162307964727478818972459390,
    0.054755896574351996031381300244580, 0.075039674810919952767043140916190,
    0.093125454583697605535065465083366, 0.109387158802297641899210590325805,
    0.123491976262065851077958109831074, 0.134709217311473325928054001771707,
    0.142775938577060080797094273138717, 0.147739104901338491374841515972068,
    0.149445554002916905664936468389821};
constexpr double kWg[5] = {
    0.066671344308688137593568809893332, 0.149451349150580593145776339657697,
    0.219086362515982043995534934228163, 0.269266719309996355091226921569469,
    0.295524224714752870173892994651338};

// Every integrand call runs as user code for the error system.
double call_user(NumericsContext& sim, const Integrand& f, double x) {
  E1USR(sim, "ON");
  const double v = f(x);
  E1USR(sim, "OFF");
  return v;
}

// Wynn's epsilon algorithm on the table of partial sums epstab(1..n), n in
// and out; res3la and nres keep the last three results.
void epsilon_step(std::int32_t& n, double* epstab, double& result, double& abserr,
                  double* res3la, std::int32_t& nres) {
  const double epmach = machine::dmach_value(4);
  const double oflow = machine::dmach_value(2);
  auto E = [&](std::int32_t i) -> double& { return epstab[i - 1]; };
  ++nres;
  abserr = oflow;
  result = E(n);
  if (n >= 3) {
    const std::int32_t limexp = 50;
    E(n + 2) = E(n);
    const std::int32_t newelm = (n - 1) / 2;
    E(n) = oflow;
    const std::int32_t num = n;
    std::int32_t k1 = n;
    bool converged = false;
    for (std::int32_t i = 1; i <= newelm; ++i) {
      const std::int32_t k2 = k1 - 1;
      const std::int32_t k3 = k1 - 2;
      double res = E(k1 + 2);
      const double e0 = E(k3);
      const double e1 = E(k2);
      const double e2 = res;
      const double e1abs = std::fabs(e1);
      const double delta2 = e2 - e1;
      const double err2 = std::fabs(delta2);
      const double tol2 = std::max(std::fabs(e2), e1abs) * epmach;
      const double delta3 = e1 - e0;
      const double err3 = std::fabs(delta3);
      const double tol3 = std::max(e1abs, std::fabs(e0)) * epmach;
      if (err2 <= tol2 && err3 <= tol3) {
        // e0, e1, e2 equal to rounding: convergence.
        result = res;
        abserr = err2 + err3;
        converged = true;
        break;
      }
      const double e3 = E(k1);
      E(k1) = e1;
      const double delta1 = e1 - e3;
      const double err1 = std::fabs(delta1);
      const double tol1 = std::max(e1abs, std::fabs(e3)) * epmach;
      bool shorten = err1 <= tol1 || err2 <= tol2 || err3 <= tol3;
      double ss = 0.0;
      if (!shorten) {
        ss = 1.0 / delta1 + 1.0 / delta2 - 1.0 / delta3;
        shorten = !(std::fabs(ss * e1) > 1.0e-4);  // irregular element
      }
      if (shorten) {
        n = i + i - 1;
        break;
      }
      res = e1 + 1.0 / ss;
      E(k1) = res;
      k1 -= 2;
      const double error = err2 + std::fabs(res - e2) + err3;
      if (error <= abserr) {
        abserr = error;
        result = res;
      }
    }
    if (!converged) {
      if (n == limexp) n = 2 * (limexp / 2) - 1;
      std::int32_t ib = (num / 2) * 2 == num ? 2 : 1;
      const std::int32_t ie = newelm + 1;
      for (std::int32_t i = 1; i <= ie; ++i) {
        E(ib) = E(ib + 2);
        ib += 2;
      }
      if (num != n) {
        std::int32_t indx = num - n + 1;
        for (std::int32_t i = 1; i <= n; ++i) E(i) = E(indx++);
      }
      if (nres < 4) {
        res3la[nres - 1] = result;
        abserr = oflow;
      } else {
        abserr = std::fabs(result - res3la[2]) + std::fabs(result - res3la[1]) +
                 std::fabs(result - res3la[0]);
        res3la[0] = res3la[1];
        res3la[1] = res3la[2];
        res3la[2] = result;
      }
    }
  }
  abserr = std::max(abserr, 5.0 * epmach * std::fabs(result));
}

// Keeps the subinterval numbers in decreasing order of error: the leading
// part of iord (all of it while fewer than limit/2 + 2 are in use).
void keep_order(std::int32_t limit, std::int32_t last, std::int32_t& maxerr, double& ermax,
                const double* elist_, std::int32_t* iord_, std::int32_t& nrmax) {
  auto elist = [&](std::int32_t i) { return elist_[i - 1]; };
  auto iord = [&](std::int32_t i) -> std::int32_t& { return iord_[i - 1]; };
  if (last <= 2) {
    iord(1) = 1;
    iord(2) = 2;
  } else {
    const double errmax = elist(maxerr);
    if (nrmax != 1) {
      const std::int32_t ido = nrmax - 1;
      for (std::int32_t i = 1; i <= ido; ++i) {
        const std::int32_t isucc = iord(nrmax - 1);
        if (errmax <= elist(isucc)) break;
        iord(nrmax) = isucc;
        --nrmax;
      }
    }
    std::int32_t jupbn = last;
    if (last > limit / 2 + 2) jupbn = limit + 3 - last;
    const double errmin = elist(last);
    const std::int32_t jbnd = jupbn - 1;
    const std::int32_t ibeg = nrmax + 1;
    std::int32_t i = ibeg;
    bool inserted = false;
    for (; i <= jbnd; ++i) {
      const std::int32_t isucc = iord(i);
      if (errmax >= elist(isucc)) {
        inserted = true;
        break;
      }
      iord(i - 1) = isucc;
    }
    if (!inserted) {
      iord(jbnd) = maxerr;
      iord(jupbn) = last;
    } else {
      iord(i - 1) = maxerr;
      std::int32_t k = jbnd;
      bool placed = false;
      for (std::int32_t j = i; j <= jbnd; ++j) {
        const std::int32_t isucc = iord(k);
        if (errmin < elist(isucc)) {
          iord(k + 1) = last;
          placed = true;
          break;
        }
        iord(k + 1) = isucc;
        --k;
      }
      if (!placed) iord(i) = last;
    }
  }
  maxerr = iord(nrmax);
  ermax = elist(maxerr);
}

struct EngineOut {
  double result = 0.0, abserr = 0.0;
  std::int32_t ier = 0, last = 0;
};

// The adaptive engine; outcome 0 (success) to 5 after the final lowering.
EngineOut engine(NumericsContext& sim, const Integrand& f, double a, double b, double epsabs, double epsrel,
                 std::int32_t limit, double* alist_, double* blist_, double* rlist_,
                 double* elist_, std::int32_t* iord_) {
  auto alist = [&](std::int32_t i) -> double& { return alist_[i - 1]; };
  auto blist = [&](std::int32_t i) -> double& { return blist_[i - 1]; };
  auto rlist = [&](std::int32_t i) -> double& { return rlist_[i - 1]; };
  auto elist = [&](std::int32_t i) -> double& { return elist_[i - 1]; };
  auto iord = [&](std::int32_t i) -> std::int32_t& { return iord_[i - 1]; };
  const double epmach = machine::dmach_value(4);
  const double uflow = machine::dmach_value(1);
  const double oflow = machine::dmach_value(2);
  alist(1) = a;
  blist(1) = b;
  rlist(1) = 0.0;
  elist(1) = 0.0;
  std::int32_t ier = 0;
  std::int32_t ierro = 0;
  const Rule21 first = gauss_kronrod21(sim, f, a, b);
  double result = first.result;
  double abserr = first.abserr;
  const double defabs = first.resabs;
  const double resabs0 = first.resasc;
  const double dres = std::fabs(result);
  double errbnd = std::max(epsabs, epsrel * dres);
  std::int32_t last = 1;
  rlist(1) = result;
  elist(1) = abserr;
  iord(1) = 1;
  // The integral over an empty interval is 0 whatever the integrand is at
  // its one point (an infinite value there would give 0 * inf).
  if (a == b) return {0.0, 0.0, 0, last};
  if (abserr <= 100.0 * epmach * defabs && abserr > errbnd) ier = 2;
  if (limit == 1) ier = 1;
  // An integrand that is infinite or undefined at a node would otherwise
  // pass the tolerance test (inf <= inf): report it as bad behaviour.
  if (!std::isfinite(result) || !std::isfinite(abserr)) ier = 3;
  if (ier != 0 || (abserr <= errbnd && abserr != resabs0) || abserr == 0.0)
    return {result, abserr, ier, last};
  double rlist2[52] = {};
  double res3la[3] = {};
  rlist2[0] = result;
  double errmax = abserr;
  std::int32_t maxerr = 1;
  double area = result;
  double errsum = abserr;
  abserr = oflow;
  std::int32_t nrmax = 1;
  std::int32_t nres = 0;
  std::int32_t numrl2 = 2;
  std::int32_t ktmin = 0;
  bool extrap = false;
  bool noext = false;
  std::int32_t iroff1 = 0, iroff2 = 0, iroff3 = 0;
  std::int32_t ksgn = -1;
  if (dres >= (1.0 - 50.0 * epmach) * defabs) ksgn = 1;
  double small = 0.0, erlarg = 0.0, ertest = 0.0, correc = 0.0;
  // The loop ends with the error sum within the bound (the result is the
  // sum over the subintervals), or for the final selection below.
  bool to_sum = false;
  for (last = 2; last <= limit; ++last) {
    const double a1 = alist(maxerr);
    const double b1 = 0.5 * (alist(maxerr) + blist(maxerr));
    const double a2 = b1;
    const double b2 = blist(maxerr);
    const double erlast = errmax;
    const Rule21 h1 = gauss_kronrod21(sim, f, a1, b1);
    const Rule21 h2 = gauss_kronrod21(sim, f, a2, b2);
    const double area1 = h1.result, error1 = h1.abserr, defab1 = h1.resasc;
    const double area2 = h2.result, error2 = h2.abserr, defab2 = h2.resasc;
    const double area12 = area1 + area2;
    const double erro12 = error1 + error2;
    errsum = errsum + erro12 - errmax;
    area = area + area12 - rlist(maxerr);
    if (defab1 != error1 && defab2 != error2) {
      if (!(std::fabs(rlist(maxerr) - area12) > 1.0e-5 * std::fabs(area12) ||
            erro12 < 0.99 * errmax)) {
        if (extrap)
          ++iroff2;
        else
          ++iroff1;
      }
      if (last > 10 && erro12 > errmax) ++iroff3;
    }
    rlist(maxerr) = area1;
    rlist(last) = area2;
    errbnd = std::max(epsabs, epsrel * std::fabs(area));
    if (iroff1 + iroff2 >= 10 || iroff3 >= 20) ier = 2;
    if (iroff2 >= 5) ierro = 3;
    if (last == limit) ier = 1;
    // Bad integrand behaviour: the subinterval is too small to bisect.
    if (std::max(std::fabs(a1), std::fabs(b2)) <=
        (1.0 + 1000.0 * epmach) * (std::fabs(a2) + 1000.0 * uflow))
      ier = 4;
    if (!std::isfinite(area) || !std::isfinite(errsum)) ier = 4;  // non-finite values
    if (error2 > error1) {
      alist(maxerr) = a2;
      alist(last) = a1;
      blist(last) = b1;
      rlist(maxerr) = area2;
      rlist(last) = area1;
      elist(maxerr) = error2;
      elist(last) = error1;
    } else {
      alist(last) = a2;
      blist(maxerr) = b1;
      blist(last) = b2;
      elist(maxerr) = error1;
      elist(last) = error2;
    }
    keep_order(limit, last, maxerr, errmax, elist_, iord_, nrmax);
    if (errsum <= errbnd) {
      to_sum = true;
      break;
    }
    if (ier != 0) break;
    if (last == 2) {
      small = std::fabs(b - a) * 0.375;
      erlarg = errsum;
      ertest = errbnd;
      rlist2[1] = area;
      continue;
    }
    if (noext) continue;
    erlarg -= erlast;
    if (std::fabs(b1 - a1) > small) erlarg += erro12;
    if (!extrap) {
      // Extrapolate only once the interval to be bisected next is small.
      if (std::fabs(blist(maxerr) - alist(maxerr)) > small) continue;
      extrap = true;
      nrmax = 2;
    }
    bool do_extrapolation = true;
    if (ierro != 3 && erlarg > ertest) {
      // Bisect the large intervals first.
      const std::int32_t id = nrmax;
      std::int32_t jupbnd = last;
      if (last > 2 + limit / 2) jupbnd = limit + 3 - last;
      for (std::int32_t k = id; k <= jupbnd; ++k) {
        maxerr = iord(nrmax);
        errmax = elist(maxerr);
        if (std::fabs(blist(maxerr) - alist(maxerr)) > small) {
          do_extrapolation = false;
          break;
        }
        ++nrmax;
      }
    }
    if (!do_extrapolation) continue;
    ++numrl2;
    rlist2[numrl2 - 1] = area;
    double reseps = 0.0, abseps = 0.0;
    epsilon_step(numrl2, rlist2, reseps, abseps, res3la, nres);
    ++ktmin;
    if (ktmin > 5 && abserr < 1.0e-3 * errsum) ier = 5;
    if (abseps < abserr) {
      ktmin = 0;
      abserr = abseps;
      result = reseps;
      correc = erlarg;
      ertest = std::max(epsabs, epsrel * std::fabs(reseps));
      if (abserr <= ertest) break;
    }
    if (numrl2 == 1) noext = true;
    if (ier == 5) break;
    maxerr = iord(1);
    errmax = elist(maxerr);
    nrmax = 1;
    extrap = false;
    small *= 0.5;
    erlarg = errsum;
  }
  if (last > limit) last = limit;
  // Final selection between the extrapolated and the summed result.
  enum class End { Sum, Extrapolated, SignTest };
  End end = End::SignTest;
  if (to_sum || abserr == oflow) {
    end = End::Sum;
  } else if (ier + ierro != 0) {
    if (ierro == 3) abserr += correc;
    if (ier == 0) ier = 3;
    if (result != 0.0 && area != 0.0) {
      if (abserr / std::fabs(result) > errsum / std::fabs(area)) end = End::Sum;
    } else if (abserr > errsum) {
      end = End::Sum;
    } else if (area == 0.0) {
      end = End::Extrapolated;
    }
  }
  if (end == End::SignTest) {
    if (!(ksgn == -1 && std::max(std::fabs(result), std::fabs(area)) <= defabs * 0.01)) {
      if (0.01 > result / area || result / area > 100.0 || errsum > std::fabs(area)) ier = 6;
    }
  } else if (end == End::Sum) {
    result = 0.0;
    for (std::int32_t k = 1; k <= last; ++k) result += rlist(k);
    abserr = errsum;
  }
  if (ier > 2) --ier;
  return {result, abserr, ier, last};
}

}  // namespace

Rule21 gauss_kronrod21(NumericsContext& sim, const Integrand& f, double a, double b) {
  const double epmach = machine::dmach_value(4);
  const double uflow = machine::dmach_value(1);
  const double centr = 0.5 * (a + b);
  const double hlgth = 0.5 * (b - a);
  const double dhlgth = std::fabs(hlgth);
  double fv1[10], fv2[10];
  double resg = 0.0;
  const double fc = call_user(sim, f, centr);
  double resk = kWgk[10] * fc;
  double resabs = std::fabs(resk);
  for (int j = 1; j <= 5; ++j) {  // Gauss nodes, outermost first
    const int jtw = 2 * j;
    const double absc = hlgth * kXgk[jtw - 1];
    const double fval1 = call_user(sim, f, centr - absc);
    const double fval2 = call_user(sim, f, centr + absc);
    fv1[jtw - 1] = fval1;
    fv2[jtw - 1] = fval2;
    const double fsum = fval1 + fval2;
    resg += kWg[j - 1] * fsum;
    resk += kWgk[jtw - 1] * fsum;
    resabs += kWgk[jtw - 1] * (std::fabs(fval1) + std::fabs(fval2));
  }
  for (int j = 1; j <= 5; ++j) {  // the further Kronrod nodes
    const int jtwm1 = 2 * j - 1;
    const double absc = hlgth * kXgk[jtwm1 - 1];
    const double fval1 = call_user(sim, f, centr - absc);
    const double fval2 = call_user(sim, f, centr + absc);
    fv1[jtwm1 - 1] = fval1;
    fv2[jtwm1 - 1] = fval2;
    const double fsum = fval1 + fval2;
    resk += kWgk[jtwm1 - 1] * fsum;
    resabs += kWgk[jtwm1 - 1] * (std::fabs(fval1) + std::fabs(fval2));
  }
  const double reskh = resk * 0.5;
  double resasc = kWgk[10] * std::fabs(fc - reskh);
  for (int j = 0; j < 10; ++j)
    resasc += kWgk[j] * (std::fabs(fv1[j] - reskh) + std::fabs(fv2[j] - reskh));
  Rule21 r;
  r.result = resk * hlgth;
  r.resabs = resabs * dhlgth;
  r.resasc = resasc * dhlgth;
  r.abserr = std::fabs((resk - resg) * hlgth);
  if (r.resasc != 0.0 && r.abserr != 0.0)
    r.abserr = r.resasc * std::min(1.0, std::pow(200.0 * r.abserr / r.resasc, 1.5));
  if (r.resabs > uflow / (50.0 * epmach)) r.abserr = std::max(epmach * 50.0 * r.resabs, r.abserr);
  return r;
}

std::pair<double, double> gauss_kronrod21_sums(const std::function<double(double)>& f) {
  double k = kWgk[10] * f(0.0);
  double g = 0.0;
  for (int j = 0; j < 10; ++j) {
    const double s = f(-kXgk[j]) + f(kXgk[j]);
    k += kWgk[j] * s;
    if (j % 2 == 1) g += kWg[j / 2] * s;
  }
  return {k, g};
}

void DQ2AGS(NumericsContext& sim, const Integrand& F, double A, double B, double ERRABS, double ERRREL,
            double& RESULT, double& ERREST, std::int32_t MAXSUB, std::int32_t& NFCALL,
            std::int32_t& NSUB, std::span<double> SUBA, std::span<double> SUBB,
            std::span<double> SUBRES, std::span<double> SUBERR, std::span<std::int32_t> SUBORD) {
  E1PSH(sim, "DQ2AGS");
  if (MAXSUB < 1) {
    E1INSI(sim, 1, MAXSUB);
    E1MES(sim, 5, 1, "The maximum number of subintervals MAXSUB = %(I1).  It must be at least 1.");
  }
  if (ERRABS < 0.0) {
    E1INSD(sim, 1, ERRABS);
    E1MES(sim, 5, 2, "The absolute error desired ERRABS = %(D1).  It must be at least zero.");
  }
  if (ERRREL < 0.0) {
    E1INSD(sim, 1, ERRREL);
    E1MES(sim, 5, 3, "The relative error desired ERRREL = %(D1).  It must be at least zero.");
  }
  if (ERRABS == 0.0 && ERRREL == 0.0)
    E1MES(sim, 5, 4,
          "The error tolerance arguments ERRABS and ERRREL are both equal to zero.  At least one "
          "of them must be greater than zero.");
  if (ERRREL >= 1.0) {
    E1INSD(sim, 1, ERRREL);
    E1MES(sim, 5, 5,
          "The relative error desired ERRREL = %(D1).  When ERRREL is greater than or equal to "
          "one, zero can always be returned as an answer.");
  }
  if (N1RTY(sim, 0) == 0) {
    const std::int32_t have = size32(std::min(
        {SUBA.size(), SUBB.size(), SUBRES.size(), SUBERR.size(), SUBORD.size()}));
    if (have < MAXSUB) {
      E1INSI(sim, 1, MAXSUB);
      E1INSI(sim, 2, have);
      E1MES(sim, 5, 6,
            "The work arrays must hold MAXSUB = %(I1) subintervals, but one of them holds only "
            "%(I2).");
    }
  }
  if (N1RTY(sim, 0) == 0) {
    const EngineOut r = engine(sim, F, A, B, ERRABS, ERRREL, MAXSUB, SUBA.data(), SUBB.data(),
                               SUBRES.data(), SUBERR.data(), SUBORD.data());
    RESULT = r.result;
    ERREST = r.abserr;
    NSUB = r.last;
    NFCALL = 42 * r.last - 21;
    switch (r.ier) {
      case 1:
        E1INSI(sim, 1, MAXSUB);
        E1MES(sim, 4, 1,
              "The maximum number of subintervals allowed MAXSUB = %(I1) has been reached.  Use "
              "DQ2AGS and increase MAXSUB.  Dimension adjustments may be necessary.");
        break;
      case 2:
        E1INSD(sim, 1, ERRABS);
        E1INSD(sim, 2, ERRREL);
        E1MES(sim, 3, 2,
              "Roundoff error has been detected.  The requested tolerances, ERRABS = %(D1) and "
              "ERRREL = %(D2), cannot be reached.");
        break;
      case 3: {
        const std::int32_t worst = SUBORD[0];
        E1INSD(sim, 1, SUBA[worst - 1]);
        E1INSD(sim, 2, SUBB[worst - 1]);
        E1MES(sim, 3, 3,
              "Precision is degraded due to too fine a subdivision relative to the requested "
              "tolerance.  This may be due to bad integrand behavior in the interval "
              "(%(D1),%(D2)).  Higher precision may alleviate this problem.");
        break;
      }
      case 4:
        E1INSD(sim, 1, ERRABS);
        E1INSD(sim, 2, ERRREL);
        E1MES(sim, 3, 4,
              "Roundoff error has been detected in the extrapolation table.  The requested "
              "tolerances, ERRABS = %(D1) and ERRREL = %(D2) cannot be reached.");
        break;
      case 5:
        E1MES(sim, 4, 5, "Integral is probably divergent or slowly convergent.");
        break;
      default:
        break;
    }
  }
  E1POP(sim, "DQ2AGS");
}

void DQDAGS(NumericsContext& sim, const Integrand& F, double A, double B, double ERRABS, double ERRREL,
            double& RESULT, double& ERREST) {
  constexpr std::int32_t kMaxsub = 500;
  E1PSH(sim, "DQDAGS");
  std::vector<double> suba, subb, subres, suberr;
  std::vector<std::int32_t> subord;
  if (!allocated([&] {
        suba.resize(kMaxsub);
        subb.resize(kMaxsub);
        subres.resize(kMaxsub);
        suberr.resize(kMaxsub);
        subord.resize(kMaxsub);
      })) {
    E1INSI(sim, 1, kMaxsub);
    E1MES(sim, 5, 1,
          "The required storage cannot be allocated.  The workspace allocation is based on "
          "MAXSUB = %(I1).");
  } else {
    std::int32_t nfcall = 0, nsub = 0;
    DQ2AGS(sim, F, A, B, ERRABS, ERRREL, RESULT, ERREST, kMaxsub, nfcall, nsub, suba, subb,
           subres, suberr, subord);
  }
  E1POP(sim, "DQDAGS");
}

}  // namespace linac
