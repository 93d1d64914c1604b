// Greylisting against a real spam.mdb in a temporary folder (rows read back
// straight from the file), and blocklist decisions with an injected
// resolver: no test touches the DNS.
#include "gateway/greylist.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "gateway/blocklist.h"
#include "store/database.h"
#include "store/sql.h"

namespace brenvik {
namespace {

using Lines = std::vector<std::string>;

TEST(ExtractSenderAddress, KeysOfMailLines) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"MAIL FROM:<john@example.org> SIZE=123456 BODY=8BITMIME", "JOHN@EXAMPLE.ORG"},
      {"MAIL FROM:<> SIZE=100", ""},
      {"MAIL FROM: <  john@example.org  >", "JOHN@EXAMPLE.ORG"},
      // Only ASCII letters change: ü and Ü (UTF-8), ä and å stay apart.
      {"mail from:<m\x81ller@Example.De>", "M\x81LLER@EXAMPLE.DE"},
      {"MAIL FROM:<m\xC3\xBCller@x.de>", "M\xC3\xBCLLER@X.DE"},
      {"MAIL FROM:<M\xC3\x9CLLER@x.de>", "M\xC3\x9CLLER@X.DE"},
      {"MAIL FROM:<b\xC3\xA5""cker@x.de>", "B\xC3\xA5""CKER@X.DE"},
      // Without a bracketed path: upper case, markers removed, blanks trimmed.
      {"   mail from:   john@example.org   ", "JOHN@EXAMPLE.ORG"},
      {"MAIL FROM: john@example.org SIZE=10", "JOHN@EXAMPLE.ORG SIZE=10"},
      {"XMAIL FROM:MAIL FROM:a@example.org", "XA@EXAMPLE.ORG"},
      {"MAIL FROM:>john@example.org<", "JOHN@EXAMPLE.ORG"},
      {"", ""},
      // Quotes stay; a ">" inside a quoted local part does not end the path.
      {"MAIL FROM:<o'brien@example.org>", "O'BRIEN@EXAMPLE.ORG"},
      {"MAIL FROM:<\"a>b\"@example.org> SIZE=5", "\"A>B\"@EXAMPLE.ORG"},
      {"MAIL FROM:<@relay.example:j@example.org>", "@RELAY.EXAMPLE:J@EXAMPLE.ORG"},
  };
  for (const auto& [mail_line, key] : cases) {
    std::string line = mail_line;
    EXPECT_EQ(ExtractSenderAddress(line), key) << mail_line;
    EXPECT_EQ(line, key) << "argument not replaced for: " << mail_line;
  }
}

// One spam.mdb for the whole suite, as the gateway has one database
// connection per process, and a second, direct reader of the file.
class GreylistTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/brenvik-greylist-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    SQL_Initialize(0, 0, 0, 0, 0, 0, 0, 0);
    ASSERT_TRUE(OpenDatabase(folder_ + "/", "spam.mdb"));
    ASSERT_EQ(sqlite3_open((folder_ + "/spam.mdb").c_str(), &db_), SQLITE_OK);
    sqlite3_busy_timeout(db_, 5000);
  }
  static void TearDownTestSuite() {
    sqlite3_close(db_);
    SQL_CloseDB();
    SQL_Shutdown();
    std::filesystem::remove_all(folder_);
  }
  void SetUp() override {
    Exec("DELETE FROM Liste");
    SetBlocklistResolver([this](const std::string& name, std::uint32_t& address) {
      std::lock_guard lock(mutex_);
      queries_.push_back(name);
      address = answer_;
      return found_;
    });
  }
  void TearDown() override { SetBlocklistResolver(nullptr); }

  void Listed(bool listed) { Answer(listed, "127.0.0.2"); }
  void Answer(bool found, const char* address) {
    std::lock_guard lock(mutex_);
    found_ = found;
    inet_pton(AF_INET, address, &answer_);
  }
  Lines Queries() {
    std::lock_guard lock(mutex_);
    return queries_;
  }

  static void Exec(const std::string& sql) {
    char* error = nullptr;
    ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << error;
  }
  // Rows of Liste as "Email|WieOft|IpAdresse|FirstMail|SecondMail|LastEdit|SenderBadMail", "-" for null.
  static Lines Rows() {
    Lines rows;
    const char* sql =
        "SELECT ifnull(Email,'-')||'|'||ifnull(WieOft,'-')||'|'||ifnull(IpAdresse,'-')||'|'||"
        "ifnull(FirstMail,'-')||'|'||ifnull(SecondMail,'-')||'|'||ifnull(LastEdit,'-')||'|'||"
        "ifnull(SenderBadMail,'-') FROM Liste ORDER BY rowid";
    const auto add = [](void* out, int, char** values, char**) {
      static_cast<Lines*>(out)->emplace_back(values[0]);
      return 0;
    };
    EXPECT_EQ(sqlite3_exec(db_, sql, add, &rows, nullptr), SQLITE_OK);
    return rows;
  }
  static LocalTime At(int hour, int minute, int second) { return {2026, 3, 4, hour, minute, second, 0}; }

  static inline std::string folder_;
  static inline sqlite3* db_ = nullptr;
  std::mutex mutex_;
  Lines queries_;  // names asked of the resolver
  bool found_ = false;
  std::uint32_t answer_ = 0;
};

TEST_F(GreylistTest, RowPassesThroughNewDeferredAccepted) {
  const std::string line = "MAIL FROM:<John@Example.org>";
  EXPECT_FALSE(CheckSender(line, "192.0.2.7", true, At(5, 6, 7)));
  EXPECT_EQ(Rows(), Lines{"JOHN@EXAMPLE.ORG|1|192.0.2.7|2026-03-04 05:06:07|-|2026-03-04 05:06:07|-"});
  EXPECT_TRUE(Queries().empty());
  // The retry, from another address and now with ESMTP parameters, passes
  // after one blocklist query of the retrying client.
  EXPECT_TRUE(CheckSender(line + " SIZE=2048 BODY=8BITMIME", "198.51.100.9", true, At(5, 6, 8)));
  EXPECT_EQ(Rows(), Lines{"JOHN@EXAMPLE.ORG|2|192.0.2.7|2026-03-04 05:06:07|2026-03-04 05:06:08|"
                          "2026-03-04 05:06:08|-"});
  EXPECT_EQ(Queries(), Lines{"9.100.51.198.bl.spamcop.net"});
  // Accepted senders are counted without asking the blocklist again.
  Listed(true);
  EXPECT_TRUE(CheckSender(line, "198.51.100.9", true, At(6, 0, 0)));
  EXPECT_EQ(Rows(), Lines{"JOHN@EXAMPLE.ORG|3|192.0.2.7|2026-03-04 05:06:07|2026-03-04 05:06:08|"
                          "2026-03-04 06:00:00|-"});
  EXPECT_EQ(Queries().size(), 1u);
}

TEST_F(GreylistTest, ListedRetryStaysDeferredUntilNoLongerListed) {
  const std::string line = "MAIL FROM:<spam@example.net>";
  EXPECT_FALSE(CheckSender(line, "192.0.2.66", true, At(10, 0, 0)));
  Listed(true);
  EXPECT_FALSE(CheckSender(line, "192.0.2.66", true, At(10, 5, 0)));
  EXPECT_EQ(Rows(), Lines{"SPAM@EXAMPLE.NET|1|192.0.2.66|2026-03-04 10:00:00|-|2026-03-04 10:05:00|1"});
  Listed(false);
  EXPECT_TRUE(CheckSender(line, "192.0.2.66", true, At(10, 9, 0)));
  EXPECT_TRUE(Rows().at(0).starts_with("SPAM@EXAMPLE.NET|2|192.0.2.66|2026-03-04 10:00:00|2026-03-04 10:09:00|")) << Rows().at(0);
  // With the blocklist switched off nobody is asked.
  Listed(true);
  EXPECT_FALSE(CheckSender("MAIL FROM:<x@example.com>", "192.0.2.1", false, At(1, 0, 0)));
  EXPECT_TRUE(CheckSender("MAIL FROM:<x@example.com>", "192.0.2.1", false, At(1, 0, 1)));
  EXPECT_EQ(Queries().size(), 2u);
}

TEST_F(GreylistTest, NullSenderIsGreylistedByTheClientAddress) {
  EXPECT_FALSE(CheckSender("MAIL FROM:<>", "192.0.2.1", true, At(1, 0, 0)));
  EXPECT_TRUE(CheckSender("MAIL FROM:<> SIZE=10", "192.0.2.1", true, At(1, 0, 1)));
  EXPECT_FALSE(CheckSender("MAIL FROM:<>", "192.0.2.2", true, At(1, 0, 2)));
  EXPECT_EQ(Rows(), (Lines{"<>@[192.0.2.1]|2|192.0.2.1|2026-03-04 01:00:00|2026-03-04 01:00:01|2026-03-04 01:00:01|-",
                           "<>@[192.0.2.2]|1|192.0.2.2|2026-03-04 01:00:02|-|2026-03-04 01:00:02|-"}));
  EXPECT_EQ(SenderKey("mail from:<>", "192.0.2.9"), "<>@[192.0.2.9]");
  // A line without any sender is still deferred and not stored.
  EXPECT_FALSE(CheckSender("MAIL FROM:  ", "192.0.2.1", true, At(1, 0, 3)));
  EXPECT_EQ(Rows().size(), 2u);
}

TEST_F(GreylistTest, WhitelistedDomainsPassAtOnce) {
  Exec("INSERT INTO Liste (Email) VALUES ('@example.org'), ('@a.b'), ('@ab.c'), ('@')");  // as typed in the tool
  EXPECT_TRUE(CheckSender("MAIL FROM:<Anna@EXAMPLE.org> SIZE=100", "192.0.2.1", true, At(1, 0, 0)));
  EXPECT_TRUE(CheckSender("MAIL FROM:<x@ab.c>", "192.0.2.1", true, At(1, 0, 0)));
  // "@" + domain of 4 characters or fewer is never looked up; neither are a
  // subdomain, a lookalike or a key without "@".
  // Nor is a sender with a second "@" outside quotes, nor the domain inside
  // a quoted local part.
  for (const char* line : {"MAIL FROM:<x@a.b>", "MAIL FROM:<c@mail.example.org>", "MAIL FROM:<c@example.org.evil>",
                           "MAIL FROM:<postmaster>", "MAIL FROM:<@example.org:c@evil.example>",
                           "MAIL FROM:<\"c@example.org\"@evil.example>"})
    EXPECT_FALSE(CheckSender(line, "192.0.2.1", true, At(1, 0, 0))) << line;
  const Lines rows = Rows();
  ASSERT_EQ(rows.size(), 10u);
  EXPECT_EQ(rows[0], "@example.org|-|-|-|-|-|-");
  EXPECT_TRUE(rows[4].starts_with("X@A.B|1")) << rows[4];
  EXPECT_TRUE(Queries().empty());
}

TEST_F(GreylistTest, QuotesAndSqlInTheAddressAreStoredUnchanged) {
  const std::string line = "MAIL FROM:<o'brien'); DELETE FROM Liste; --@example.org>";
  EXPECT_FALSE(CheckSender(line, "192.0.2.1", true, At(2, 0, 0)));
  EXPECT_TRUE(CheckSender(line, "192.0.2.1", true, At(2, 0, 1)));
  Lines rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(rows[0].starts_with("O'BRIEN'); DELETE FROM LISTE; --@EXAMPLE.ORG|2")) << rows[0];
  // A quote in a domain is no domain: never looked up, and nothing breaks.
  Exec("INSERT INTO Liste (Email) VALUES ('@x''or''1''=''1')");
  EXPECT_FALSE(CheckSender("MAIL FROM:<a@x'or'1'='1>", "192.0.2.1", true, At(2, 0, 2)));
  EXPECT_FALSE(CheckSender("MAIL FROM:<a@y' OR '1'='1>", "192.0.2.1", true, At(2, 0, 2)));
  EXPECT_EQ(Rows().size(), 4u);
}

TEST_F(GreylistTest, BlocklistQueryNamesAndListings) {
  EXPECT_EQ(BlocklistQueryName("10.20.30.40"), "40.30.20.10.bl.spamcop.net");
  for (const char* ip : {"", "192.0.2", "192.0.2.1.5", "192.0.2.", "192..0.2", "256.0.2.1", "1.2.3.1000",
                         "::1", " 192.0.2.1", "192.0.2.1\n", "192.0.2.-1", "mail.example.org"})
    EXPECT_EQ(BlocklistQueryName(ip), "") << "client: '" << ip << "'";
  // Only 127.0.0.0/8 but 127.0.0.1 is a listing; an error answer
  // (127.255.255.0/24), a parked zone's address and no answer are none.
  for (auto [address, listed] : {std::pair{"127.0.0.2", true}, {"127.0.0.10", true}, {"203.0.113.4", false},
                                 {"127.255.255.254", false}, {"127.0.0.1", false}, {"0.0.0.0", false}}) {
    Answer(true, address);
    EXPECT_EQ(CheckBlocklist("192.0.2.1", true), listed) << address;
  }
  Answer(false, "127.0.0.2");
  EXPECT_FALSE(CheckBlocklist("192.0.2.1", true));
  EXPECT_EQ(Queries(), Lines(7, "1.2.0.192.bl.spamcop.net"));
  // Nothing is asked when switched off or for a client that is no dotted IPv4.
  EXPECT_FALSE(CheckBlocklist("192.0.2.1", false));
  EXPECT_FALSE(CheckBlocklist("not-an-address", true));
  EXPECT_EQ(Queries().size(), 7u);
}

using GreylistThreadedTest = GreylistTest;

// Many sessions making the first attempt of one sender at the same moment.
TEST_F(GreylistThreadedTest, SimultaneousAttemptsOfOneKeyKeepOneRow) {
  constexpr int kThreads = 16;
  std::atomic<int> ready{0}, deferred{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      if (!CheckSender("MAIL FROM:<burst@example.org>", "192.0.2.5", false, At(3, 0, 0))) deferred.fetch_add(1);
    });
  }
  for (std::thread& t : threads) t.join();
  const Lines rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(rows[0].starts_with("BURST@EXAMPLE.ORG|16")) << rows[0];
  EXPECT_EQ(deferred.load(), 1);
}

// A retry waiting on a slow blocklist answer holds up only its own key.
TEST_F(GreylistThreadedTest, SlowBlocklistLookupDoesNotHoldUpOtherSenders) {
  EXPECT_FALSE(CheckSender("MAIL FROM:<slow@example.org>", "192.0.2.9", true, At(4, 0, 0)));
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> waited_out{false};
  SetBlocklistResolver([&](const std::string&, std::uint32_t& address) {
    entered.set_value();
    waited_out = released.wait_for(std::chrono::seconds(20)) != std::future_status::ready;
    address = 0;
    return false;
  });
  std::thread retry([] { CheckSender("MAIL FROM:<slow@example.org>", "192.0.2.9", true, At(4, 0, 1)); });
  entered.get_future().wait();
  EXPECT_FALSE(CheckSender("MAIL FROM:<other@example.org>", "192.0.2.10", true, At(4, 0, 2)));
  release.set_value();
  retry.join();
  EXPECT_FALSE(waited_out);
  EXPECT_EQ(Rows().size(), 2u);
}

}  // namespace
}  // namespace brenvik
