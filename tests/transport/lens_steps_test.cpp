// Enge lenses pushed through all their steps tile by tile, each step with
// the profile memo of that step, against the push step by step with the
// memo prepared before each step.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "element_run.hpp"
#include "lane_test_support.hpp"
#include "transport/fieldmap.hpp"

namespace linac {
namespace {

using testing::ElementRun;
using testing::Particle;

// A quad, an equad and a mult lens of 23 steps, strong enough to bend the
// rays visibly, on two charge states of 3001 particles (enough for a
// thread team), some lost before the element and some beyond the aperture
// radius (no field there, not lost); one and four threads. Every
// coordinate of every particle, bit for bit, and lost.dat.
TEST(LensSteps, TileByTileEqualsStepByStep) {
  struct Lens {
    const char* keyword;
    void (*driver)(TransportContext&, std::int32_t);
    std::vector<double> P;  // P1, P2, ...
  } lenses[] = {// field1 (G), L, eff_len, aperture (cm)
                {"quad", quad_element, {3000.0, 20.0, 15.0, 2.5}},
                // field2 (V), L, eff_len, aperture
                {"equad", equad_element, {2.0e4, 20.0, 15.0, 2.5}},
                // L, eff_len, quadrupole, sextupole, octupole (G), aperture
                {"mult", mult_element, {20.0, 15.0, 3000.0, 500.0, 200.0, 2.5}}};
  const int saved = omp_get_max_threads();
  for (const Lens& lens : lenses) {
    std::vector<double> numbers[2];
    std::string lost[2];
    for (const int threads : {1, 4})
      for (const bool whole : {false, true}) {
        omp_set_num_threads(threads);
        ElementRun r(1000.0);
        Sim& s = r.s;
        r.line(1, lens.keyword, 0, lens.P);
        s.elements.elem_int[1][11] = 23;
        for (int iq = 1; iq <= 2; ++iq) {
          std::vector<Particle> ps(3001);
          for (int i = 0; i < 3001; ++i) {
            const double u = std::sin(1.3 * i + iq), v = std::cos(0.7 * i);
            ps[static_cast<std::size_t>(i)] = {2.8 * u, 0.01 * v, 2.8 * v, -0.01 * u, 0.3 * u * v,
                                               1000.0 * (1.0 + 0.01 * v), 0.0, i % 97 == 5 ? -1 : 0};
          }
          r.state(iq, iq == 1 ? 1.0 : 2.0, 3.0, ps);
        }
        s.transport.whole_element_push = whole;
        lens.driver(s, 1);
        std::vector<double> got;
        for (int iq = 1; iq <= 2; ++iq)
          for (int i = 0; i < 3001; ++i)
            for (const double* a : {s.particles.x[iq], s.particles.xp[iq], s.particles.y[iq], s.particles.yp[iq],
                                    s.particles.phase[iq], s.particles.beta[iq], s.particles.z[iq]})
              got.push_back(a[i]);
        const std::vector<std::string> lines = r.file_lines("lost.dat");
        std::string all;
        for (const std::string& l : lines) all += l + "\n";
        const std::string what = std::string(lens.keyword) + " at " + std::to_string(threads) + " threads";
        if (!whole) {
          numbers[0] = got;
          lost[0] = all;
          continue;
        }
        ASSERT_EQ(got.size(), numbers[0].size()) << what;
        for (std::size_t k = 0; k < got.size(); ++k)
          ASSERT_TRUE(testing::same_bits(got[k], numbers[0][k])) << what << " value " << k;
        EXPECT_EQ(all, lost[0]) << what;
        // The lens acted: rays inside the aperture left their entrance
        // slopes by more than rounding.
        int bent = 0;
        for (int i = 0; i < 3001; ++i)
          bent += std::abs(got[7 * static_cast<std::size_t>(i) + 1] - 0.01 * std::cos(0.7 * i)) > 1e-6;
        EXPECT_GT(bent, 1000) << what;
      }
  }
  omp_set_num_threads(saved);
}

}  // namespace
}  // namespace linac
