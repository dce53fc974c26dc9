#include <gtest/gtest.h>

#include "app/Utilities.h"

namespace fk {
namespace {

TEST(FormatSize, BytesKilobytesAndTheDecimalJumps) {
  EXPECT_EQ(FormatSize(0, 2), "0 B");
  EXPECT_EQ(FormatSize(1023, 2), "1023 B");
  EXPECT_EQ(FormatSize(1024, 0), "1 KB");
  EXPECT_EQ(FormatSize(12800, 1), "12.5 KB");
  // 1000 KB and more is shown in MB although it is less than 1 MiB.
  EXPECT_EQ(FormatSize(1024000, 2), "0.98 MB");
  // GB and TB always show two more decimals than asked for.
  EXPECT_EQ(FormatSize(8LL << 30, 0), "8.00 GB");
  EXPECT_EQ(FormatSize(2LL << 40, 0), "2.00 TB");
}

TEST(FormatElapsed, PartsArePaddedOnlyAfterALargerUnit) {
  EXPECT_EQ(FormatElapsed(0), "");
  EXPECT_EQ(FormatElapsed(5), "5 s ");
  EXPECT_EQ(FormatElapsed(59), "59 s ");
  EXPECT_EQ(FormatElapsed(60), "1 m 00 s ");
  EXPECT_EQ(FormatElapsed(65), "1 m 05 s ");
  EXPECT_EQ(FormatElapsed(3600), "1 h 00 m 00 s ");
  EXPECT_EQ(FormatElapsed(90061), "1 d 01 h 01 m 01 s ");
  EXPECT_EQ(FormatElapsed(604800 + 5), "1 w 0 d 00 h 00 m 05 s ");
}

TEST(MulDiv64, ExactForOperandsWhoseProductOverflows64Bits) {
  EXPECT_EQ(MulDiv64(10, 3, 4), 7);
  EXPECT_EQ(MulDiv64(1, 1, 0), -1);
  // 16 TiB * 1000 / 1e9 would overflow a 64-bit product.
  const int64_t big = int64_t{1} << 60;
  EXPECT_EQ(MulDiv64(big, 1000, 1000), big);
  EXPECT_EQ(MulDiv64(big, 3, 6), big / 2);
}

}  // namespace
}  // namespace fk
