// The similarity behind the command line's "did you mean" tips.
#include "similarity.hpp"

#include <gtest/gtest.h>

namespace reelcut {
namespace {

TEST(Jaro, KnownValues) {
    EXPECT_DOUBLE_EQ(jaro_similarity("", ""), 1.0);
    EXPECT_DOUBLE_EQ(jaro_similarity("abc", ""), 0.0);
    EXPECT_DOUBLE_EQ(jaro_similarity("mark", "mark"), 1.0);
    EXPECT_NEAR(jaro_similarity("martha", "marhta"), 0.944, 0.001);
    EXPECT_NEAR(jaro_similarity("dixon", "dicksonx"), 0.767, 0.001);
    EXPECT_LT(jaro_similarity("zzzz", "mark"), 0.7);
}

} // namespace
} // namespace reelcut
