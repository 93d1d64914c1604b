#include "gateway/gateway_state.h"

#include <gtest/gtest.h>

namespace brenvik {
namespace {

TEST(UpperCase, AsciiAndTheSevenCodePageLetters) {
  EXPECT_EQ(UpperCase("mail from:<Abc@xyz.de>"), "MAIL FROM:<ABC@XYZ.DE>");
  EXPECT_EQ(UpperCase("\x84\x94\x81\x82\xA4\x86\x87"), "\x8E\x99\x9A\x90\xA5\x8F\x80");
  // Capitals, digits and other high bytes stay.
  const std::string kept("AZ09@[]{}\x8E\x99\xFF\xE4\xC3", 14);
  EXPECT_EQ(UpperCase(kept), kept);
  const std::string with_nul("a\0b", 3);
  EXPECT_EQ(UpperCase(with_nul), std::string("A\0B", 3));
  EXPECT_EQ(UpperCase(""), "");
  // Byte by byte: the second byte of a UTF-8 "\xC3\xA4" is the code page's n tilde.
  EXPECT_EQ(UpperCase("\xC3\xA4"), "\xC3\xA5");
}

}  // namespace
}  // namespace brenvik
