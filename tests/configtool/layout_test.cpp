// Pixel conversion and dotted address texts.
#include <gtest/gtest.h>

#include "configtool/dotted_address.h"
#include "configtool/twips.h"

namespace brenvik {
namespace {

TEST(TwipsTest, PixelsFromTheLogicalDpiWithTiesToEven) {
  const std::pair<int, int> divisors[] = {{96, 15}, {120, 12}, {144, 10}, {160, 9}, {576, 2}, {960, 2}, {0, 15}};
  for (auto [dpi, divisor] : divisors) EXPECT_EQ(TwipsDivisor(dpi), divisor) << dpi;
  const int pixels[][3] = {{8040, 96, 536}, {7200, 96, 480}, {7005, 96, 467}, {675, 96, 45}, {570, 96, 38},
                           {285, 96, 19},   {7005, 120, 584}, {8040, 120, 670}, {30, 120, 2}, {42, 120, 4}};
  for (const auto& p : pixels) EXPECT_EQ(TwipsToPixels(p[0], p[1]), p[2]) << p[0] << " at " << p[1];
  EXPECT_EQ(RoundHalfEven(-0.5), 0);
}

TEST(DottedAddressTest, FourOctetsOnlyAndEmptyFieldsCountAsZero) {
  EXPECT_EQ(ParseDottedAddress("192.0.2.255"), (std::array<int, 4>{192, 0, 2, 255}));
  for (const char* bad : {"", "localhost", "1.2.3", "1.2.3.4.5", "1.2.3.256", "1..3.4", " 1.2.3.4", "1.2.3.4 ",
                          "1.2.3.0004", "1.2.3.-4", "a.b.c.d"})
    EXPECT_FALSE(ParseDottedAddress(bad).has_value()) << bad;
  EXPECT_EQ(DottedText({}), "");
  EXPECT_EQ(DottedText({10, std::nullopt, std::nullopt, 1}), "10.0.0.1");
  EXPECT_EQ(DottedText({0, 0, 0, 0}), "0.0.0.0");
}

}  // namespace
}  // namespace brenvik
