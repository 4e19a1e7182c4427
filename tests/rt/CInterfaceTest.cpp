#include <gtest/gtest.h>

extern "C" int qm_test_rt_from_c(void);

TEST(RealTime, UsableFromC) { EXPECT_EQ(qm_test_rt_from_c(), 0); }
