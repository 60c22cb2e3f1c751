// File units over a scratch directory with the screen captured: the common
// set-up of the tests of the file readers and writers.
#pragma once

#include <gtest/gtest.h>

#include <sstream>

#include "platform/screen.hpp"
#include "platform/units.hpp"
#include "test_support.hpp"

namespace linac::testing {

class ScratchUnitsTest : public ::testing::Test {
 protected:
  ScratchUnitsTest() : units_(screen_) { units_.set_directory(tmp_.path()); }
  std::ostringstream out_;
  Screen screen_{out_};
  Units units_;
  TempDir tmp_;
};

}  // namespace linac::testing
