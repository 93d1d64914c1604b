// Pixel conversion, dotted address texts and the control table.
#include <gtest/gtest.h>

#include <set>

#include "configtool/dotted_address.h"
#include "configtool/form_controls.h"
#include "configtool/twips.h"

namespace brenvik {
namespace {

TEST(TwipsTest, DivisorAndRoundingTiesToEven) {
  EXPECT_EQ(TwipsDivisor(96), 15);
  EXPECT_EQ(TwipsDivisor(120), 12);
  EXPECT_EQ(TwipsDivisor(144), 10);
  EXPECT_EQ(TwipsDivisor(160), 9);   // 9.0
  EXPECT_EQ(TwipsDivisor(576), 2);   // 2.5 -> 2
  EXPECT_EQ(TwipsDivisor(960), 2);   // 1.5 -> 2
  EXPECT_EQ(TwipsDivisor(0), 15);
  EXPECT_EQ(RoundHalfEven(2.5), 2);
  EXPECT_EQ(RoundHalfEven(3.5), 4);
  EXPECT_EQ(RoundHalfEven(-0.5), 0);
  EXPECT_EQ(RoundHalfEven(583.75), 584);
}

TEST(TwipsTest, FormAndReceivePortAtCommonResolutions) {
  EXPECT_EQ(TwipsToPixels(8040, 96), 536);
  EXPECT_EQ(TwipsToPixels(7200, 96), 480);
  EXPECT_EQ(TwipsToPixels(7005, 96), 467);
  EXPECT_EQ(TwipsToPixels(675, 96), 45);
  EXPECT_EQ(TwipsToPixels(570, 96), 38);
  EXPECT_EQ(TwipsToPixels(285, 96), 19);
  EXPECT_EQ(TwipsToPixels(7005, 120), 584);  // 583.75
  EXPECT_EQ(TwipsToPixels(8040, 120), 670);
  EXPECT_EQ(TwipsToPixels(30, 120), 2);     // 2.5 -> 2
  EXPECT_EQ(TwipsToPixels(42, 120), 4);     // 3.5 -> 4
}

TEST(DottedAddressTest, ParsesOnlyFourOctets) {
  EXPECT_EQ(ParseDottedAddress("192.0.2.255"), (std::array<int, 4>{192, 0, 2, 255}));
  EXPECT_EQ(ParseDottedAddress("0.0.0.0"), (std::array<int, 4>{0, 0, 0, 0}));
  for (const char* bad : {"", "localhost", "1.2.3", "1.2.3.4.5", "1.2.3.256", "1..3.4", " 1.2.3.4",
                          "1.2.3.4 ", "1.2.3.0004", "1.2.3.-4", "a.b.c.d"})
    EXPECT_FALSE(ParseDottedAddress(bad).has_value()) << bad;
}

TEST(DottedAddressTest, EmptyFieldsCountAsZeroUnlessAllAreEmpty) {
  EXPECT_EQ(DottedText({}), "");
  EXPECT_EQ(DottedText({10, std::nullopt, std::nullopt, 1}), "10.0.0.1");
  EXPECT_EQ(DottedText({0, 0, 0, 0}), "0.0.0.0");
}

TEST(ControlTableTest, ThirtySevenControlsWithDistinctNamesAndIds) {
  std::set<int> ids;
  std::set<std::string_view> names;
  for (const auto& c : kControls) {
    ids.insert(static_cast<int>(c.id));
    names.insert(c.name);
  }
  EXPECT_EQ(ids.size(), 37u);
  EXPECT_EQ(names.size(), 37u);
  EXPECT_EQ(kControls.front().name, "RecvHostInput");
  EXPECT_EQ(kControls.back().name, "TitleLabel");
  // Every control fits into the form's outer size.
  for (const auto& c : kControls) {
    EXPECT_LE(c.x + c.width, kFormWidthTwips) << c.name;
    EXPECT_LE(c.y + c.height, kFormHeightTwips) << c.name;
  }
}

}  // namespace
}  // namespace brenvik
