// Shared text, file and address helpers.
#include "core/helpers.h"

#include <gtest/gtest.h>

#include "core/startup.h"

namespace keldor {
namespace {

TEST(Helpers, IntegerToTextWritesSignAndDigitsInAnyBase) {
  EXPECT_EQ(IntegerToText(0, 10), "0");
  EXPECT_EQ(IntegerToText(-255, 16), "-ff");
  EXPECT_EQ(IntegerToText(35, 36), "z");
  EXPECT_EQ(IntegerToText(-9223372036854775807L - 1, 10), "-9223372036854775808");
}

}  // namespace
}  // namespace keldor
