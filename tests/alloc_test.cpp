#include "support/alloc.h"

#include <gtest/gtest.h>

TEST(Alloc, ZeroFilled) {
  auto* bytes = static_cast<unsigned char*>(util_alloc(64));
  for (int i = 0; i < 64; ++i) EXPECT_EQ(bytes[i], 0) << i;
  util_free(bytes);
}
