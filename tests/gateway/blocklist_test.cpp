// Blocklist decisions with an injected resolver: no test touches the DNS.
#include "gateway/blocklist.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brenvik {
namespace {

TEST(BlocklistQueryName, ReversesTheOctetsBelowTheZone) {
  EXPECT_STREQ(kBlocklistZone, "bl.spamcop.net");
  EXPECT_EQ(BlocklistQueryName("192.0.2.1"), "1.2.0.192.bl.spamcop.net");
  EXPECT_EQ(BlocklistQueryName("10.20.30.40"), "40.30.20.10.bl.spamcop.net");
  EXPECT_EQ(BlocklistQueryName("0.0.0.0"), "0.0.0.0.bl.spamcop.net");
  EXPECT_EQ(BlocklistQueryName("255.255.255.255"), "255.255.255.255.bl.spamcop.net");
}

TEST(BlocklistQueryName, NothingToAskForAnythingButDottedIpv4) {
  for (const char* ip : {"", "192.0.2", "192.0.2.1.5", "192.0.2.", ".192.0.2", "192..0.2",
                         "256.0.2.1", "1.2.3.1000", "a.b.c.d", "::1", "192.0.2.1 ",
                         " 192.0.2.1", "192.0.2.1\n", "192.0.2.-1", "mail.example.org"}) {
    EXPECT_EQ(BlocklistQueryName(ip), "") << "client: '" << ip << "'";
  }
}

class CheckBlocklistTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetBlocklistResolver([this](const std::string& name, std::uint32_t& address) {
      queries_.push_back(name);
      address = answer_;
      return found_;
    });
  }
  void TearDown() override { SetBlocklistResolver(nullptr); }
  void Answer(bool found, const char* address) {
    found_ = found;
    inet_pton(AF_INET, address, &answer_);
  }

  std::vector<std::string> queries_;
  bool found_ = false;
  std::uint32_t answer_ = 0;
};

TEST_F(CheckBlocklistTest, AnyAnswerButTheZeroAddressIsAListing) {
  Answer(true, "127.0.0.2");
  EXPECT_TRUE(CheckBlocklist("192.0.2.1", true));
  Answer(true, "127.0.0.10");
  EXPECT_TRUE(CheckBlocklist("192.0.2.1", true));
  Answer(true, "203.0.113.4");
  EXPECT_TRUE(CheckBlocklist("192.0.2.1", true));
  Answer(true, "0.0.0.0");
  EXPECT_FALSE(CheckBlocklist("192.0.2.1", true));
  Answer(false, "127.0.0.2");  // no answer: an address left over is no listing
  EXPECT_FALSE(CheckBlocklist("192.0.2.1", true));
  ASSERT_EQ(queries_.size(), 5u);
  for (const std::string& q : queries_) EXPECT_EQ(q, "1.2.0.192.bl.spamcop.net");
}

TEST_F(CheckBlocklistTest, NoQueryWhenSwitchedOffOrNotDottedIpv4) {
  Answer(true, "127.0.0.2");
  EXPECT_FALSE(CheckBlocklist("192.0.2.1", false));
  EXPECT_FALSE(CheckBlocklist("", true));
  EXPECT_FALSE(CheckBlocklist("not-an-address", true));
  EXPECT_FALSE(CheckBlocklist("192.0.2", true));
  EXPECT_TRUE(queries_.empty());
}

}  // namespace
}  // namespace brenvik
