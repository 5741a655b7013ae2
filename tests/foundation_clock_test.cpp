#include <gtest/gtest.h>

#include "foundation/clock.hpp"

TEST(Clock, SeamMovesTime) {
    tarn::testing::set_clock([] { return std::int64_t{1000}; });
    EXPECT_EQ(tarn::now_seconds(), 1000);
    tarn::testing::set_clock(nullptr);
    EXPECT_GT(tarn::now_seconds(), 1700000000);
}
