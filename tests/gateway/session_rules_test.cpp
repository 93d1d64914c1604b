// The relay session's decisions on single lines and on the data stream.
#include "gateway/relay_session_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/gateway_state.h"

namespace brenvik {
namespace {

using Lines = std::vector<std::string>;

TEST(WithholdExtensions, RemovesWhatALineRelayCannotCarry) {
  const std::vector<std::pair<Lines, Lines>> cases = {
      {{"250-mx.example Hello", "250-PIPELINING", "250-SIZE 100", "250-starttls", "250-BinaryMIME", "250-8BITMIME",
        "250 CHUNKING"},
       {"250-mx.example Hello", "250-SIZE 100", "250 8BITMIME"}},
      {{"250-mx.example", "250 STARTTLS"}, {"250 mx.example"}},
      // A keyword is the whole word; refusals and the greeting line stay.
      {{"250-mx", "250-PIPELININGX", "250 SIZE"}, {"250-mx", "250-PIPELININGX", "250 SIZE"}},
      {{"550-no", "550 STARTTLS"}, {"550-no", "550 STARTTLS"}},
      {{"250 STARTTLS.example"}, {"250 STARTTLS.example"}},
  };
  for (auto [lines, expected] : cases) {
    const std::string first = lines.front();
    WithholdExtensions(lines);
    EXPECT_EQ(lines, expected) << first;
  }
}

TEST(RecipientAccepted, ComparesTheDomainOfTheAddress) {
  struct Case {
    const char* line;
    const char* domain;
    bool accepted;  // against {"@OURDOMAIN.EXAMPLE", "OTHER.EXAMPLE"}
  };
  const std::vector<Case> cases = {
      {"rcpt to:<Info@OurDomain.Example> NOTIFY=NEVER", "OURDOMAIN.EXAMPLE", true},
      {"RCPT TO: <info@ourdomain.example>", "OURDOMAIN.EXAMPLE", true},
      {"RCPT TO:info@ourdomain.example", "OURDOMAIN.EXAMPLE", true},
      {"RCPT TO:<@relay.example,@x.example:info@ourdomain.example>", "OURDOMAIN.EXAMPLE", true},
      {"RCPT TO:<\"a>b@c\"@ourdomain.example>", "OURDOMAIN.EXAMPLE", true},
      {"RCPT TO:<bob@other.example>", "OTHER.EXAMPLE", true},  // entry without "@"
      // Forms that a substring match let through.
      {"RCPT TO:<victim@elsewhere.example> X=@OURDOMAIN.EXAMPLE", "ELSEWHERE.EXAMPLE", false},
      {"RCPT TO:<@OURDOMAIN.EXAMPLE:victim@elsewhere.example>", "ELSEWHERE.EXAMPLE", false},
      {"RCPT TO:<ourdomain.example@elsewhere.example>", "ELSEWHERE.EXAMPLE", false},
      {"RCPT TO:<info@mail.ourdomain.example>", "MAIL.OURDOMAIN.EXAMPLE", false},
      {"RCPT TO:<info@ourdomain.example.evil>", "OURDOMAIN.EXAMPLE.EVIL", false},
      {"RCPT TO:<postmaster>", "", false},
      {"", "", false},
  };
  const Lines domains = {"@OURDOMAIN.EXAMPLE", "OTHER.EXAMPLE"};
  for (const Case& c : cases) {
    EXPECT_EQ(RecipientDomain(c.line), c.domain) << c.line;
    EXPECT_EQ(RecipientAccepted(c.line, domains), c.accepted) << c.line;
  }
  // An empty entry accepts everyone, no entry no one; entries are compared
  // as loaded (upper case, untrimmed).
  EXPECT_TRUE(RecipientAccepted("RCPT TO:<postmaster>", {"@OURDOMAIN.EXAMPLE", ""}));
  EXPECT_FALSE(RecipientAccepted("RCPT TO:<a@ourdomain.example>", {}));
  EXPECT_FALSE(RecipientAccepted("RCPT TO:<a@ourdomain.example>", {"@OURDOMAIN.EXAMPLE "}));
}

TEST(DataStream, FindsTheMarkAndNormalisesLineEnds) {
  struct Case {
    Lines blocks;
    std::string out;
    std::string rest;  // bytes of the blocks not taken
    bool complete;
  };
  const std::vector<Case> cases = {
      {{".\r\n"}, ".\r\n", "", true},
      {{"a\r\n.\r\nQUIT\r\n"}, "a\r\n.\r\n", "QUIT\r\n", true},
      {{"a\r", "\n.", "\r", "\nNOOP\r\n"}, "a\r\n.\r\n", "NOOP\r\n", true},
      {{"..x\r\n.y\r\n"}, "..x\r\n.y\r\n", "", false},
      {{"a\nb\rc\r\n"}, "a\r\nb\r\nc\r\n", "", false},
      {{"a\n.\nMAIL"}, "a\r\n.\r\n", "MAIL", true},
      {{"a\r.\r", "X"}, "a\r\n.\r\n", "X", true},  // bare CRs, known when X comes
      {{"a\r\r\n.\r\n"}, "a\r\n\r\n.\r\n", "", true},
      {{"a\r\n.", "\r\n"}, "a\r\n.\r\n", "", true},
      {{std::string("\0\r\n.\r\n", 6)}, std::string("\0\r\n.\r\n", 6), "", true},
  };
  for (const Case& c : cases) {
    DataStream stream;
    std::string out, rest;
    for (const std::string& block : c.blocks) rest += block.substr(stream.Complete() ? 0 : stream.Feed(block, out));
    EXPECT_EQ(out, c.out) << c.blocks[0];
    EXPECT_EQ(rest, c.rest) << c.blocks[0];
    EXPECT_EQ(stream.Complete(), c.complete) << c.blocks[0];
  }
}

TEST(UpperCase, AsciiAndTheSevenCodePageLettersByteByByte) {
  EXPECT_EQ(UpperCase("mail from:<Abc@xyz.de>"), "MAIL FROM:<ABC@XYZ.DE>");
  EXPECT_EQ(UpperCase("\x84\x94\x81\x82\xA4\x86\x87"), "\x8E\x99\x9A\x90\xA5\x8F\x80");
  const std::string kept("AZ09@[]{}\x8E\x99\xFF\xE4\0", 14);  // capitals, digits, other bytes
  EXPECT_EQ(UpperCase(kept), kept);
  EXPECT_EQ(UpperCase("\xC3\xA4"), "\xC3\xA5");  // not UTF-8 aware
}

}  // namespace
}  // namespace brenvik
