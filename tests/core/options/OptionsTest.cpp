#include <gtest/gtest.h>

#include "base/ProcessSwitches.h"
#include "options/uQuorvane.h"

using namespace orlu;

TEST(Options, DefaultsAndProcessSwitches) {
  TQVOptions o;
  EXPECT_TRUE(o.Misc.PermitMT);
  EXPECT_EQ(o.Misc.PermitSSE, CpuHasSSE2());
  o.Misc.PermitMT = false;
  o.Misc.PermitSSE = false;
  o.ApplyProcessSwitches();
  EXPECT_FALSE(PermitMultithreading());
  EXPECT_FALSE(UseVectorCode());
  TQVOptions().ApplyProcessSwitches();
  EXPECT_TRUE(PermitMultithreading());
  EXPECT_EQ(UseVectorCode(), CpuHasSSE2());
}
