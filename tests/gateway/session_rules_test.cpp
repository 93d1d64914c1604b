// The relay session's decisions on single lines and on the data stream.
#include "gateway/relay_session_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/domain_name.h"
#include "store/ascii_case.h"

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

TEST(AddExtension, BecomesTheFinalLineOfAPositiveAnswer) {
  const std::vector<std::pair<Lines, Lines>> cases = {
      {{"250-mx.example", "250 8BITMIME"}, {"250-mx.example", "250-8BITMIME", "250 STARTTLS"}},
      {{"250 mx.example"}, {"250-mx.example", "250 STARTTLS"}},
      {{"250"}, {"250-", "250 STARTTLS"}},
      {{"550 no"}, {"550 no"}},
      {{""}, {""}},
  };
  for (auto [lines, expected] : cases) {
    const std::string first = lines.front();
    AddExtension(lines, "STARTTLS");
    EXPECT_EQ(lines, expected) << first;
  }
}

TEST(RecipientAccepted, OnePlainMailboxOfAnAcceptedDomain) {
  const Lines domains = {"@ourdomain.example", "other.example"};
  for (const char* line : {"rcpt to:<Info@OurDomain.Example> NOTIFY=NEVER", "RCPT TO: <info@ourdomain.example>",
                           "RCPT TO:<postmaster>", "RCPT TO:<POSTMASTER> NOTIFY=NEVER",  // RFC 5321 4.5.1
                           "RCPT TO:<bob@other.example>",  // entry without "@"
                           "RCPT TO:<first.last+tag@ourdomain.example> ORCPT=rfc822;x@elsewhere.example"}) {
    EXPECT_TRUE(RecipientAccepted(line, domains)) << line;
  }
  // Every form that the backend may route to another domain than the one
  // checked, and everything that is no single path.
  for (const char* line : {
           "RCPT TO:info@ourdomain.example", "RCPT TO:<@relay.example,@x.example:info@ourdomain.example>",
           "RCPT TO:<@OURDOMAIN.EXAMPLE:victim@elsewhere.example>", "RCPT TO:<\"v@elsewhere.example\"@ourdomain.example>",
           "RCPT TO:<v%elsewhere.example@ourdomain.example>", "RCPT TO:<elsewhere.example!v@ourdomain.example>",
           "RCPT TO:<w@elsewhere.example@ourdomain.example>", "RCPT TO:<victim@elsewhere.example> X=@OURDOMAIN.EXAMPLE",
           "RCPT TO:<ourdomain.example@elsewhere.example>", "RCPT TO:<info@mail.ourdomain.example>",
           "RCPT TO:<info@ourdomain.example.evil>", "RCPT TO:<v@ourdomain.example.>",
           "RCPT TO:<v@ourdomain.example>,<w@elsewhere.example>", "RCPT TO:<v@ourdomain.example> <w@elsewhere.example>",
           " RCPT TO:<v@ourdomain.example>", "RCPT TO:<postmaster@elsewhere.example>",
           "RCPT TO:<&@[!1]> 3=OE", "MAIL FROM:<v@ourdomain.example>", ""}) {
    EXPECT_FALSE(RecipientAccepted(line, domains)) << line;
  }
  // An empty entry accepts every plain mailbox, no entry none; entries are
  // compared as loaded (keys, untrimmed).
  EXPECT_TRUE(RecipientAccepted("RCPT TO:<a@x.example>", {"@ourdomain.example", ""}));
  EXPECT_FALSE(RecipientAccepted("RCPT TO:<v%x@ourdomain.example>", {""}));
  EXPECT_FALSE(RecipientAccepted("RCPT TO:<a@ourdomain.example>", {}));
  EXPECT_FALSE(RecipientAccepted("RCPT TO:<a@ourdomain.example>", {"@ourdomain.example "}));
}

// International domains compare as A-labels: the entry's own domain passes
// in either form, a look-alike (bytes that an 8-bit case folding once made
// equal) never does.
TEST(RecipientAccepted, InternationalDomainsCompareAsALabels) {
  Lines domains;
  for (const char* typed : {"@b\xC3\xA4""cker.example", "@\xD0\xBF\xD0\xBE\xD1\x87\xD1\x82\xD0\xB0.example",
                            "xn--d-uga0v4h.example"}) {  // bäcker, почта, łódź (typed as A-label)
    domains.push_back(DomainEntryKey(typed).value());
  }
  EXPECT_EQ(domains[0], "@xn--bcker-gra.example");
  for (const char* line : {"RCPT TO:<idn@b\xC3\xA4""cker.example>", "RCPT TO:<idn@XN--BCKER-GRA.example>",
                           "RCPT TO:<idn@B\xC3\x84""CKER.example>", "RCPT TO:<idn@ba\xCC\x88""cker.example>",
                           "RCPT TO:<x@\xD0\xBF\xD0\xBE\xD1\x87\xD1\x82\xD0\xB0.example>",
                           "RCPT TO:<x@\xC5\x82\xC3\xB3\x64\xC5\xBA.example>"}) {
    EXPECT_TRUE(RecipientAccepted(line, domains)) << line;
  }
  for (const char* line : {"RCPT TO:<idn@b\xC3\xA5""cker.example>",  // båcker
                           "RCPT TO:<idn@b\xE4""cker.example>",       // Latin-1, no UTF-8
                           "RCPT TO:<x@\xD0\xBF\xD0\xBE\xD1\x80\xD1\x82\xD0\xB0.example>",  // порта
                           "RCPT TO:<x@\xC5\x90\xC3\xB3\x64\xC5\xBA.example>",  // Őódź
                           "RCPT TO:<x@b\xC3\xA4""cker.example.evil>", "RCPT TO:<x@\xC3\xA4>"}) {
    EXPECT_FALSE(RecipientAccepted(line, domains)) << line;
  }
  EXPECT_FALSE(DomainEntryKey("@b\xE4""cker.example").has_value());
  EXPECT_EQ(DomainUnicodeForm("xn--bcker-gra.example"), "b\xC3\xA4""cker.example");
}

TEST(DataStream, OnlyTheClientsOwnMarkEndsTheData) {
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
      {{"a\r\r\n.\r\n"}, "a\r\n\r\n.\r\n", "", true},  // CR, then the client's CR LF
      {{"a\r\n.", "\r\n"}, "a\r\n.\r\n", "", true},
      {{std::string("\0\r\n.\r\n", 6)}, std::string("\0\r\n.\r\n", 6), "", true},
      // Smuggling: every other end of line around a dot stays mail data.
      {{"a\n.\nMAIL"}, "a\r\n..\r\nMAIL", "", false},
      {{"a\r\n.\rMAIL"}, "a\r\n..\r\nMAIL", "", false},
      {{"a\n.\r\nMAIL"}, "a\r\n..\r\nMAIL", "", false},
      {{"a\r.\r\nMAIL"}, "a\r\n..\r\nMAIL", "", false},
      {{"a\r\n.\nMAIL"}, "a\r\n..\r\nMAIL", "", false},
      {{"a\n.\rMAIL"}, "a\r\n..\r\nMAIL", "", false},
      {{"a\r.\nMAIL"}, "a\r\n..\r\nMAIL", "", false},
      {{"a\r.\r", "X"}, "a\r\n..\r\nX", "", false},
      {{"a\r\n.", "\r", "X\r\n.\r\n"}, "a\r\n..\r\nX\r\n.\r\n", "", true},
      // Dot lines keep their text; a held line goes on at its end.
      {{"a\n.x\r\n.y", "z\nb\r\n"}, "a\r\n..x\r\n..yz\r\nb\r\n", "", false},
      {{"\r\n." + std::string(DataStream::kMaxHeldLine, 'x') + "\n"},
       "\r\n." + std::string(DataStream::kMaxHeldLine, 'x') + "\r\n", "", false},
  };
  for (const Case& c : cases) {
    DataStream stream;
    std::string out, rest;
    for (const std::string& block : c.blocks) rest += block.substr(stream.Complete() ? 0 : stream.Feed(block, out));
    EXPECT_EQ(out, c.out) << testing::PrintToString(c.blocks);
    EXPECT_EQ(rest, c.rest) << testing::PrintToString(c.blocks);
    EXPECT_EQ(stream.Complete(), c.complete) << testing::PrintToString(c.blocks);
  }
}

TEST(AsciiUpper, ChangesAsciiLettersOnly) {
  EXPECT_EQ(AsciiUpper("mail from:<Abc@xyz.de>"), "MAIL FROM:<ABC@XYZ.DE>");
  const std::string kept("AZ09@[]{}\x84\x94\x81\x82\xA4\x86\x87\xFF\xE4\0", 19);  // other bytes stay
  EXPECT_EQ(AsciiUpper(kept), kept);
  EXPECT_NE(AsciiUpper("\xC3\xA4"), AsciiUpper("\xC3\xA5"));  // ä and å stay two letters
}

}  // namespace
}  // namespace brenvik
