#include "gateway/relay_session_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brenvik {
namespace {

using Lines = std::vector<std::string>;

TEST(WithholdExtensions, RemovesWhatALineRelayCannotCarry) {
  Lines lines = {"250-mx.example Hello", "250-PIPELINING", "250-SIZE 100", "250-starttls",
                 "250-BinaryMIME", "250-8BITMIME", "250 CHUNKING"};
  WithholdExtensions(lines);
  EXPECT_EQ(lines, (Lines{"250-mx.example Hello", "250-SIZE 100", "250 8BITMIME"}));

  Lines only_withheld = {"250-mx.example", "250 STARTTLS"};
  WithholdExtensions(only_withheld);
  EXPECT_EQ(only_withheld, Lines{"250 mx.example"});

  // A keyword is the whole word: PIPELININGX and SIZE are no match.
  Lines similar = {"250-mx", "250-PIPELININGX", "250 SIZE"};
  WithholdExtensions(similar);
  EXPECT_EQ(similar, (Lines{"250-mx", "250-PIPELININGX", "250 SIZE"}));

  Lines refused = {"550-no", "550 STARTTLS"};
  WithholdExtensions(refused);
  EXPECT_EQ(refused, (Lines{"550-no", "550 STARTTLS"}));

  Lines greeting_only = {"250 STARTTLS.example"};
  WithholdExtensions(greeting_only);
  EXPECT_EQ(greeting_only, Lines{"250 STARTTLS.example"});
}

struct RcptCase {
  const char* line;
  const char* domain;
  bool accepted;  // against {"@OURDOMAIN.EXAMPLE", "OTHER.EXAMPLE"}
};

TEST(RecipientAccepted, ComparesTheDomainOfTheAddress) {
  const std::vector<RcptCase> cases = {
      {"RCPT TO:<info@ourdomain.example>", "OURDOMAIN.EXAMPLE", true},
      {"rcpt to:<Info@OurDomain.Example> NOTIFY=NEVER", "OURDOMAIN.EXAMPLE", true},
      {"RCPT TO: <info@ourdomain.example>", "OURDOMAIN.EXAMPLE", true},
      {"RCPT TO:info@ourdomain.example", "OURDOMAIN.EXAMPLE", true},
      {"RCPT TO:<@relay.example,@x.example:info@ourdomain.example>", "OURDOMAIN.EXAMPLE", true},
      {"RCPT TO:<\"a>b@c\"@ourdomain.example>", "OURDOMAIN.EXAMPLE", true},
      {"RCPT TO:<bob@other.example>", "OTHER.EXAMPLE", true},  // entry without "@"
      // Smuggling forms that a substring match let through.
      {"RCPT TO:<victim@elsewhere.example> X=@OURDOMAIN.EXAMPLE", "ELSEWHERE.EXAMPLE", false},
      {"RCPT TO:<@OURDOMAIN.EXAMPLE:victim@elsewhere.example>", "ELSEWHERE.EXAMPLE", false},
      {"RCPT TO:<ourdomain.example@elsewhere.example>", "ELSEWHERE.EXAMPLE", false},
      {"RCPT TO:<info@mail.ourdomain.example>", "MAIL.OURDOMAIN.EXAMPLE", false},
      {"RCPT TO:<info@ourdomain.example.evil>", "OURDOMAIN.EXAMPLE.EVIL", false},
      {"RCPT TO:<postmaster>", "", false},
      {"RCPT", "", false},
      {"", "", false},
  };
  const std::vector<std::string> domains = {"@OURDOMAIN.EXAMPLE", "OTHER.EXAMPLE"};
  for (const RcptCase& c : cases) {
    EXPECT_EQ(RecipientDomain(c.line), c.domain) << c.line;
    EXPECT_EQ(RecipientAccepted(c.line, domains), c.accepted) << c.line;
  }
}

TEST(RecipientAccepted, EmptyEntryAcceptsAllAndNoEntryNone) {
  EXPECT_TRUE(RecipientAccepted("RCPT TO:<a@anywhere.example>", {"@OURDOMAIN.EXAMPLE", ""}));
  EXPECT_TRUE(RecipientAccepted("RCPT TO:<postmaster>", {""}));
  EXPECT_FALSE(RecipientAccepted("RCPT TO:<a@ourdomain.example>", {}));
  // Entries are compared as loaded: in upper case, untrimmed.
  EXPECT_FALSE(RecipientAccepted("RCPT TO:<a@ourdomain.example>", {"@OURDOMAIN.EXAMPLE "}));
}

// Feeds the blocks in turn; returns the output and the bytes left over.
struct Fed {
  std::string out;
  std::string rest;
  bool complete = false;
};

Fed FeedAll(const std::vector<std::string>& blocks) {
  DataStream stream;
  Fed fed;
  for (const std::string& block : blocks) {
    if (stream.Complete()) {
      fed.rest += block;
      continue;
    }
    const std::size_t used = stream.Feed(block, fed.out);
    fed.rest += block.substr(used);
  }
  fed.complete = stream.Complete();
  return fed;
}

TEST(DataStream, FindsTheMarkAndNormalisesLineEnds) {
  struct Case {
    std::vector<std::string> blocks;
    std::string out;
    std::string rest;
    bool complete;
  };
  const std::vector<Case> cases = {
      {{".\r\n"}, ".\r\n", "", true},
      {{"a\r\n.\r\nQUIT\r\n"}, "a\r\n.\r\n", "QUIT\r\n", true},
      {{"a\r\n", ".\r\n"}, "a\r\n.\r\n", "", true},
      {{"a\r", "\n.", "\r", "\nNOOP\r\n"}, "a\r\n.\r\n", "NOOP\r\n", true},
      {{"..x\r\n.y\r\n"}, "..x\r\n.y\r\n", "", false},
      {{"a\nb\rc\r\n"}, "a\r\nb\r\nc\r\n", "", false},
      {{"a\n.\nMAIL"}, "a\r\n.\r\n", "MAIL", true},
      {{"a\r.\rX"}, "a\r\n.\r\n", "X", true},    // bare CRs, found when X comes
      {{"a\r.\r", "X"}, "a\r\n.\r\n", "X", true},  // ... also in the next block
      {{"a\r\r\n.\r\n"}, "a\r\n\r\n.\r\n", "", true},
      {{"a\r\n.", "\r\n"}, "a\r\n.\r\n", "", true},
      {{std::string("\0\r\n.\r\n", 6)}, std::string("\0\r\n.\r\n", 6), "", true},
  };
  for (const Case& c : cases) {
    const Fed fed = FeedAll(c.blocks);
    EXPECT_EQ(fed.out, c.out) << c.blocks[0];
    EXPECT_EQ(fed.rest, c.rest) << c.blocks[0];
    EXPECT_EQ(fed.complete, c.complete) << c.blocks[0];
  }
}

}  // namespace
}  // namespace brenvik
