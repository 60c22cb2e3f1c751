// A run context whose screen is captured, a check that a call ends the run
// through the fatal stop without lines of its own, and the fixed seed of the
// random-stream checks.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "run/sim.hpp"
#include "platform/fatal.hpp"

namespace linac::testing {

using Lines = std::vector<std::string>;

// The seed of the fixed-seed checks of the uniform stream, and the factor
// 1 / (2^31 - 1) that turns a member of the stream into its deviate.
inline constexpr std::int32_t kFixedSeed = 214748364;
inline constexpr double kScale = 1.0 / 2147483647.0;

struct CapturedSim {
  std::unique_ptr<Sim> sim = make_sim();
  std::ostringstream out;
  CapturedSim() { sim->screen.redirect(out); }
  Sim& operator*() { return *sim; }
  std::vector<std::string> lines() const {
    std::vector<std::string> v;
    std::istringstream in(out.str());
    std::string line;
    while (std::getline(in, line)) v.push_back(line);
    return v;
  }
  void clear() { out.str(""); }
};

// True when body ends the run; the stop must carry no lines (the library has
// printed its message already).
template <class F>
bool stops_run(F&& body) {
  try {
    body();
  } catch (const FatalStop& stop) {
    EXPECT_TRUE(stop.lines().empty()) << "stop carries lines of its own";
    return true;
  }
  return false;
}

}  // namespace linac::testing
