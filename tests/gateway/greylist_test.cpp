// Greylisting against a real spam.mdb in a temporary folder; the rows are
// read back straight from the file, not through the statement layer.
#include "gateway/greylist.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "gateway/blocklist.h"
#include "store/database.h"
#include "store/sql.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;

struct ExtractCase {
  std::string line;
  std::string key;
};

TEST(ExtractSenderAddress, KeysOfMailLines) {
  const std::vector<ExtractCase> cases = {
      {"MAIL FROM:<john@example.org>", "JOHN@EXAMPLE.ORG"},
      {"MAIL FROM:<john@example.org> SIZE=123456 BODY=8BITMIME", "JOHN@EXAMPLE.ORG"},
      {"MAIL FROM:<john@example.org> BODY=8BITMIME SIZE=1", "JOHN@EXAMPLE.ORG"},
      {"MAIL FROM:<>", ""},
      {"MAIL FROM:<> SIZE=100", ""},
      {"MAIL FROM: <  john@example.org  >", "JOHN@EXAMPLE.ORG"},
      {"mail from:<John.Doe@Example.Org>", "JOHN.DOE@EXAMPLE.ORG"},
      {"MAIL FROM:<m\x81ller@example.de>", "M\x9aLLER@EXAMPLE.DE"},
      // Without a bracketed path: upper case, markers removed, blanks trimmed.
      {"MAIL FROM:john@example.org", "JOHN@EXAMPLE.ORG"},
      {"MAIL FROM: john@example.org SIZE=10", "JOHN@EXAMPLE.ORG SIZE=10"},
      {"   mail from:   john@example.org   ", "JOHN@EXAMPLE.ORG"},
      {"XMAIL FROM:MAIL FROM:a@example.org", "XA@EXAMPLE.ORG"},
      {"MAIL FROM:john@example.org>", "JOHN@EXAMPLE.ORG"},
      {"MAIL FROM:>john@example.org<", "JOHN@EXAMPLE.ORG"},
      {"MAIL FROM:<john@example.org", "JOHN@EXAMPLE.ORG"},
      {"MAIL FROM:", ""},
      {"", ""},
      // Quotes stay part of the address; a ">" inside a quoted local part
      // does not end it.
      {"MAIL FROM:<o'brien@example.org>", "O'BRIEN@EXAMPLE.ORG"},
      {"MAIL FROM:<\"a>b\"@example.org> SIZE=5", "\"A>B\"@EXAMPLE.ORG"},
      {"MAIL FROM:<\"a\\\"b\"@example.org>", "\"A\\\"B\"@EXAMPLE.ORG"},
  };
  for (const ExtractCase& c : cases) {
    std::string line = c.line;
    std::string key = ExtractSenderAddress(line);
    EXPECT_EQ(key, c.key) << "line: " << c.line;
    EXPECT_EQ(line, c.key) << "argument not replaced for: " << c.line;
  }
}

// One row of Liste as stored; nullopt for a null column.
struct Row {
  std::optional<std::string> email, ip, last_edit, first_mail, second_mail;
  std::optional<long long> wie_oft, bad_mail;
};

std::optional<std::string> TextColumn(sqlite3_stmt* s, int i) {
  if (sqlite3_column_type(s, i) == SQLITE_NULL) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, i)));
}
std::optional<long long> IntColumn(sqlite3_stmt* s, int i) {
  if (sqlite3_column_type(s, i) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_int64(s, i);
}

// One spam.mdb for the whole test program, as the gateway has one database
// connection per process.
class DatabaseEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/brenvik-greylist-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
    SQL_Initialize(0, 0, 0, 0, 0, 0, 0, 0);
    ASSERT_TRUE(OpenDatabase(folder + "/", "spam.mdb"));
    ASSERT_EQ(sqlite3_open((folder + "/spam.mdb").c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
  }
  void TearDown() override {
    sqlite3_close(db);
    SQL_CloseDB();
    SQL_Shutdown();
    fs::remove_all(folder);
  }
  static inline std::string folder;
  static inline sqlite3* db = nullptr;  // a second, direct reader of the file
};
[[maybe_unused]] const auto* const kDatabase = ::testing::AddGlobalTestEnvironment(new DatabaseEnvironment);

class GreylistTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Exec("DELETE FROM Liste");
    SetBlocklistResolver([this](const std::string& name, std::uint32_t& address) {
      std::lock_guard lock(mutex_);
      queries_.push_back(name);
      address = listed_ ? 0x0200007F : 0;  // 127.0.0.2
      return listed_;
    });
  }
  void TearDown() override { SetBlocklistResolver(nullptr); }

  static void Exec(const std::string& sql) {
    char* error = nullptr;
    ASSERT_EQ(sqlite3_exec(DatabaseEnvironment::db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << error;
  }
  static std::vector<Row> Rows() {
    std::vector<Row> rows;
    sqlite3_stmt* s = nullptr;
    const char* sql =
        "SELECT Email, WieOft, IpAdresse, LastEdit, FirstMail, SecondMail, SenderBadMail "
        "FROM Liste ORDER BY rowid";
    EXPECT_EQ(sqlite3_prepare_v2(DatabaseEnvironment::db, sql, -1, &s, nullptr), SQLITE_OK);
    while (sqlite3_step(s) == SQLITE_ROW) {
      rows.push_back({TextColumn(s, 0), TextColumn(s, 2), TextColumn(s, 3), TextColumn(s, 4),
                      TextColumn(s, 5), IntColumn(s, 1), IntColumn(s, 6)});
    }
    sqlite3_finalize(s);
    return rows;
  }
  std::size_t QueryCount() {
    std::lock_guard lock(mutex_);
    return queries_.size();
  }

  static LocalTime At(int hour, int minute, int second) { return {2026, 3, 4, hour, minute, second, 0}; }

  std::mutex mutex_;
  std::vector<std::string> queries_;  // names asked of the resolver
  bool listed_ = false;               // resolver's answer
};

TEST_F(GreylistTest, RowPassesThroughNewDeferredAccepted) {
  const std::string line = "MAIL FROM:<John@Example.org>";
  EXPECT_FALSE(CheckSender(line, "192.0.2.7", true, At(5, 6, 7)));
  std::vector<Row> rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].email, "JOHN@EXAMPLE.ORG");
  EXPECT_EQ(rows[0].wie_oft, 1);
  EXPECT_EQ(rows[0].ip, "192.0.2.7");
  EXPECT_EQ(rows[0].first_mail, "2026-03-04 05:06:07");
  EXPECT_EQ(rows[0].last_edit, rows[0].first_mail);
  EXPECT_EQ(rows[0].second_mail, std::nullopt);
  EXPECT_EQ(rows[0].bad_mail, std::nullopt);
  EXPECT_EQ(QueryCount(), 0u);

  // The retry, from another address and now with ESMTP parameters, lifts
  // the deferral after one blocklist query of the retrying client.
  EXPECT_TRUE(CheckSender(line + " SIZE=2048 BODY=8BITMIME", "198.51.100.9", true, At(5, 6, 8)));
  rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].wie_oft, 2);
  EXPECT_EQ(rows[0].ip, "192.0.2.7");
  EXPECT_EQ(rows[0].first_mail, "2026-03-04 05:06:07");
  EXPECT_EQ(rows[0].second_mail, "2026-03-04 05:06:08");
  EXPECT_EQ(rows[0].last_edit, "2026-03-04 05:06:08");
  ASSERT_EQ(QueryCount(), 1u);
  EXPECT_EQ(queries_[0], "9.100.51.198.bl.spamcop.net");

  // Accepted senders are counted without asking the blocklist again.
  listed_ = true;
  EXPECT_TRUE(CheckSender(line, "198.51.100.9", true, At(6, 0, 0)));
  rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].wie_oft, 3);
  EXPECT_EQ(rows[0].last_edit, "2026-03-04 06:00:00");
  EXPECT_EQ(rows[0].second_mail, "2026-03-04 05:06:08");
  EXPECT_EQ(QueryCount(), 1u);
}

TEST_F(GreylistTest, ListedRetryStaysDeferredUntilNoLongerListed) {
  const std::string line = "MAIL FROM:<spam@example.net>";
  EXPECT_FALSE(CheckSender(line, "192.0.2.66", true, At(10, 0, 0)));
  listed_ = true;
  EXPECT_FALSE(CheckSender(line, "192.0.2.66", true, At(10, 5, 0)));
  std::vector<Row> rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].bad_mail, 1);
  EXPECT_EQ(rows[0].wie_oft, 1);
  EXPECT_EQ(rows[0].last_edit, "2026-03-04 10:05:00");
  EXPECT_EQ(rows[0].first_mail, "2026-03-04 10:00:00");
  EXPECT_EQ(rows[0].second_mail, std::nullopt);

  listed_ = false;
  EXPECT_TRUE(CheckSender(line, "192.0.2.66", true, At(10, 9, 0)));
  rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].wie_oft, 2);
  EXPECT_EQ(rows[0].second_mail, "2026-03-04 10:09:00");
  EXPECT_EQ(QueryCount(), 2u);
}

TEST_F(GreylistTest, SwitchedOffBlocklistIsNeverAsked) {
  listed_ = true;
  const std::string line = "MAIL FROM:<someone@example.com>";
  EXPECT_FALSE(CheckSender(line, "192.0.2.1", false, At(1, 0, 0)));
  EXPECT_TRUE(CheckSender(line, "192.0.2.1", false, At(1, 0, 1)));
  EXPECT_EQ(QueryCount(), 0u);
  EXPECT_EQ(Rows()[0].wie_oft, 2);
}

TEST_F(GreylistTest, EmptySenderIsDeferredAndNotStored) {
  EXPECT_FALSE(CheckSender("MAIL FROM:<>", "192.0.2.1", true, At(1, 0, 0)));
  EXPECT_FALSE(CheckSender("MAIL FROM:<> SIZE=10", "192.0.2.1", true, At(1, 0, 0)));
  EXPECT_FALSE(CheckSender("MAIL FROM:  ", "192.0.2.1", true, At(1, 0, 0)));
  EXPECT_TRUE(Rows().empty());
}

TEST_F(GreylistTest, WhitelistedDomainPassesAtOnceInAnyCase) {
  Exec("INSERT INTO Liste (Email) VALUES ('@example.org')");  // as typed in the tool
  EXPECT_TRUE(CheckSender("MAIL FROM:<Anna@EXAMPLE.org> SIZE=100", "192.0.2.1", true, At(1, 0, 0)));
  EXPECT_TRUE(CheckSender("mail from:<bob@example.org>", "192.0.2.1", true, At(1, 0, 0)));
  std::vector<Row> rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].email, "@example.org");
  EXPECT_EQ(rows[0].wie_oft, std::nullopt);
  // A subdomain or a lookalike is not the whitelisted domain.
  EXPECT_FALSE(CheckSender("MAIL FROM:<c@mail.example.org>", "192.0.2.1", true, At(1, 0, 0)));
  EXPECT_FALSE(CheckSender("MAIL FROM:<c@example.org.evil>", "192.0.2.1", true, At(1, 0, 0)));
  EXPECT_EQ(Rows().size(), 3u);
  EXPECT_EQ(QueryCount(), 0u);
}

TEST_F(GreylistTest, ShortDomainsAreNeverLookedUpInTheWhitelist) {
  Exec("INSERT INTO Liste (Email) VALUES ('@a.b')");   // "@" + domain: 4 characters
  Exec("INSERT INTO Liste (Email) VALUES ('@ab.c')");  // 5 characters
  EXPECT_FALSE(CheckSender("MAIL FROM:<x@a.b>", "192.0.2.1", true, At(1, 0, 0)));
  EXPECT_TRUE(CheckSender("MAIL FROM:<x@ab.c>", "192.0.2.1", true, At(1, 0, 0)));
  // A key without "@" is greylisted (its whitelist domain is "@" alone).
  Exec("INSERT INTO Liste (Email) VALUES ('@')");
  EXPECT_FALSE(CheckSender("MAIL FROM:<postmaster>", "192.0.2.1", true, At(1, 0, 0)));
  std::vector<Row> rows = Rows();
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[2].email, "X@A.B");
  EXPECT_EQ(rows[4].email, "POSTMASTER");
}

TEST_F(GreylistTest, QuotesAndSqlInTheAddressAreStoredUnchanged) {
  const std::string address = "o'brien'); DELETE FROM Liste; --@example.org";
  const std::string line = "MAIL FROM:<" + address + ">";
  EXPECT_FALSE(CheckSender(line, "192.0.2.1", true, At(2, 0, 0)));
  std::vector<Row> rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].email, "O'BRIEN'); DELETE FROM LISTE; --@EXAMPLE.ORG");
  EXPECT_TRUE(CheckSender(line, "192.0.2.1", true, At(2, 0, 1)));
  rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].wie_oft, 2);

  // A quote in the whitelist domain neither matches nor breaks anything.
  Exec("INSERT INTO Liste (Email) VALUES ('@x''or''1''=''1')");
  EXPECT_TRUE(CheckSender("MAIL FROM:<a@x'or'1'='1>", "192.0.2.1", true, At(2, 0, 2)));
  EXPECT_FALSE(CheckSender("MAIL FROM:<a@y' OR '1'='1>", "192.0.2.1", true, At(2, 0, 2)));
  EXPECT_EQ(Rows().size(), 3u);
}

using GreylistThreadedTest = GreylistTest;

// Many sessions making the first attempt of one sender at the same moment.
TEST_F(GreylistThreadedTest, SimultaneousAttemptsOfOneKeyKeepOneRow) {
  constexpr int kThreads = 16;
  std::atomic<int> ready{0};
  std::atomic<int> deferred{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      if (!CheckSender("MAIL FROM:<burst@example.org>", "192.0.2.5", false, At(3, 0, 0)))
        deferred.fetch_add(1);
    });
  }
  for (std::thread& t : threads) t.join();
  std::vector<Row> rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(deferred.load(), 1);
  EXPECT_EQ(rows[0].wie_oft, kThreads);
}

// A retry waiting on a slow blocklist answer holds up only its own key.
TEST_F(GreylistThreadedTest, SlowBlocklistLookupDoesNotHoldUpOtherSenders) {
  EXPECT_FALSE(CheckSender("MAIL FROM:<slow@example.org>", "192.0.2.9", true, At(4, 0, 0)));
  std::mutex m;
  std::condition_variable cv;
  bool in_lookup = false, released = false, waited_out = false;
  SetBlocklistResolver([&](const std::string&, std::uint32_t& address) {
    std::unique_lock lock(m);
    in_lookup = true;
    cv.notify_all();
    waited_out = !cv.wait_for(lock, std::chrono::seconds(20), [&] { return released; });
    address = 0;
    return false;
  });
  std::thread retry([] { CheckSender("MAIL FROM:<slow@example.org>", "192.0.2.9", true, At(4, 0, 1)); });
  {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return in_lookup; });
  }
  EXPECT_FALSE(CheckSender("MAIL FROM:<other@example.org>", "192.0.2.10", true, At(4, 0, 2)));
  {
    std::lock_guard lock(m);
    released = true;
  }
  cv.notify_all();
  retry.join();
  EXPECT_FALSE(waited_out);
  EXPECT_EQ(Rows().size(), 2u);
}

}  // namespace
}  // namespace brenvik
