// The station of whole-run tests as a GoogleTest fixture.
#pragma once

#include <gtest/gtest.h>

#include "support/scenario_station.h"

namespace scenario {

class ScenarioTest : public ::testing::Test, public Station {
 public:
  using Station::Run;
  void SetUp() override {}
  void TearDown() override {}
};

}  // namespace scenario
