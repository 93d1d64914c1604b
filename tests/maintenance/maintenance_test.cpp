// The purge, the report and the maintenance loop on a real spam.mdb, with an
// injected clock.
#include "maintenance/maintenance.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "store/database.h"
#include "store/sql.h"
#include "tests/maintenance/test_support.h"

namespace brenvik {
namespace {

// Integer of the named column in the first row; -1 without a row.
int QueryInt(const std::string& statement, const std::string& column) {
  SQL_Stmt(3, statement);
  SQL_Fetch(0);
  return SQL_Eod() != 0 ? -1 : SQL_ResColSInt(SQL_ResColNumber(column));
}

class MaintenanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::once_flag initialised;
    std::call_once(initialised, [] { SQL_Initialize(2, 2, 150, 3, 3, 0, 0, 0); });
    ASSERT_TRUE(OpenDatabase(dir_.Slash(), "spam.mdb"));
    settings_->GarbageCollector = 1;
    settings_->StatusMail = "postmaster@example.org";
    settings_->SendHost = "mx.internal";
    settings_->SendPort = 2525;
    context_.clock = [this] { return now_; };
    context_.settings = [this]() -> std::shared_ptr<const GatewaySettings> { return settings_; };
    context_.send = [this](const std::string& to, const std::string& text, int port, const std::string& host) {
      sent_.push_back(to + " " + std::to_string(port) + " " + host + "\n" + text);
      return std::string("OK");
    };
  }
  void TearDown() override { SQL_CloseDB(); }

  // A greylist row as the gateway writes it (day-first time texts).
  static void AddRow(const std::string& key, int wie_oft, const std::string& last_edit) {
    SQL_Stmt(3, "INSERT INTO Liste (Email, WieOft, IpAdresse, LastEdit, FirstMail) SELECT '" + key + "', " +
                    std::to_string(wie_oft) + ", '192.0.2.9','" + last_edit + "','" + last_edit + "';");
  }
  static bool InListe(const std::string& key) {
    return QueryInt("SELECT COUNT(Email) AS N FROM LISTE WHERE Email = '" + key + "';", "N") > 0;
  }
  static int StatistikRows() { return QueryInt("SELECT COUNT(SpamCount) AS N FROM Statistik;", "N"); }
  void PassAt(const LocalTime& t) {
    now_ = t;
    MaintenancePass(context_, flags_);
  }

  test::TempDir dir_;
  std::shared_ptr<GatewaySettings> settings_ = std::make_shared<GatewaySettings>();
  LocalTime now_;
  MaintenanceContext context_;
  MaintenanceFlags flags_;
  std::vector<std::string> sent_;  // "to port host" LF text
};

TEST_F(MaintenanceTest, ReportAcrossAYearChange) {
  EXPECT_EQ(BuildStatusReport(),
            "Subject:Spamstatistik\r\nBrenvik hat gestern 0 Spammails vernichtet!\r\n\r\nGesamtstatistik:\r\n");
  for (const char* row : {"1000, #11-15-2026#", "234, #11-20-2026#", "10, #12-31-2026#", "7, #01-01-2027#",
                          "2, #01-02-2027#", "3, #01-02-2027#"}) {
    SQL_Stmt(3, std::string("INSERT INTO Statistik ( SpamCount, SpamDate ) SELECT ") + row + ";");
  }
  EXPECT_EQ(BuildStatusReport(),
            "Subject:Spamstatistik\r\n"
            "Brenvik hat gestern 5 Spammails vernichtet!\r\n"
            "\r\n"
            "Gesamtstatistik:\r\n"
            "November 2026      1234\r\n"
            "Dezember 2026        10\r\n"
            "Januar 2027          12\r\n");
}

// The month field is 16 characters also where a name holds a two-byte
// letter; fields too long for their width run together.
TEST(ReportLine, FixedFieldsRunTogetherWhenTooLong) {
  EXPECT_EQ(ReportMonthLine("M\xC3\xA4rz 2027", 3), "M\xC3\xA4rz 2027             3\r\n");
  EXPECT_EQ(ReportMonthLine("Septembermonat 2026", 5), "Septembermonat 2026      5\r\n");
  EXPECT_EQ(ReportMonthLine("Juni 2026", 12345678), "Juni 2026       12345678\r\n");
}

// Each job once per slot and again in the next one, also after a pass that
// overran minute 1; no purge before 07:00. The purge takes the first
// attempts older than hour - 6 into one Statistik row; accepted and
// whitelist rows stay, and a purge that finds nothing writes no row.
TEST_F(MaintenanceTest, JobsRunOncePerSlotOverTheDay) {
  AddRow("YESTERDAY@X.EXAMPLE", 1, "07.12.2026 22:00:00");
  AddRow("OLD@X.EXAMPLE", 1, "08.12.2026 00:30:00");
  AddRow("ATCUTOFF@X.EXAMPLE", 1, "08.12.2026 01:00:00");
  AddRow("ACCEPTED@X.EXAMPLE", 2, "01.12.2026 10:00:00");
  SQL_Stmt(3, "INSERT INTO Liste (email) SELECT '@friend.example';");
  const struct {
    LocalTime at;
    const char* stale_row;  // LastEdit of a first attempt added before the pass
    std::size_t sent;
    int statistik_rows, purged;
  } steps[] = {
      {{2026, 12, 8, 0, 59, 55}, nullptr, 0, 0, 0}, {{2026, 12, 8, 1, 0, 0}, nullptr, 1, 0, 0},
      {{2026, 12, 8, 1, 0, 55}, nullptr, 1, 0, 0},  {{2026, 12, 8, 1, 7, 30}, nullptr, 1, 0, 0},
      {{2026, 12, 8, 6, 0, 0}, nullptr, 1, 0, 0},   {{2026, 12, 8, 7, 0, 0}, nullptr, 1, 1, 2},
      {{2026, 12, 8, 7, 0, 5}, "08.12.2026 00:20:00", 1, 1, 2},
      {{2026, 12, 8, 7, 3, 0}, nullptr, 1, 1, 2},   {{2026, 12, 8, 8, 0, 0}, nullptr, 1, 2, 4},
      {{2026, 12, 8, 9, 0, 0}, nullptr, 1, 2, 4},   {{2026, 12, 9, 1, 0, 0}, nullptr, 2, 2, 4},
  };
  for (const auto& step : steps) {
    if (step.stale_row != nullptr) AddRow("LATE@X.EXAMPLE", 1, step.stale_row);
    PassAt(step.at);
    const std::string at = std::to_string(step.at.day) + "th " + std::to_string(step.at.hour) + ":" +
                           std::to_string(step.at.minute) + ":" + std::to_string(step.at.second);
    EXPECT_EQ(sent_.size(), step.sent) << at;
    EXPECT_EQ(StatistikRows(), step.statistik_rows) << at;
    EXPECT_EQ(QueryInt("SELECT Sum(SpamCount) AS N FROM Statistik;", "N"), step.purged) << at;
  }
  EXPECT_TRUE(InListe("ACCEPTED@X.EXAMPLE"));
  EXPECT_TRUE(InListe("@friend.example"));
  EXPECT_EQ(sent_[0].rfind("postmaster@example.org 2525 mx.internal\nSubject:Spamstatistik\r\n", 0), 0u);
}

// No report in any of them; the purge only where `purged`.
TEST_F(MaintenanceTest, SettingsThatSwitchJobsOff) {
  const struct {
    int garbage_collector;
    const char* status_mail;
    bool loaded, purged;
  } cases[] = {
      {0, "postmaster@example.org", true, false},
      {2, "postmaster@example.org", true, false},  // only exactly 1 switches on
      {1, "", true, true},
      {1, "postmaster@example.org", false, false},  // before the settings are loaded
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string key = "STALE" + std::to_string(++n) + "@X.EXAMPLE";
    AddRow(key, 1, "01.12.2026 00:10:00");
    settings_->GarbageCollector = c.garbage_collector;
    settings_->StatusMail = c.status_mail;
    if (!c.loaded) context_.settings = [] { return std::shared_ptr<const GatewaySettings>(); };
    flags_ = {};
    PassAt({2026, 12, 8, 1, 0});
    PassAt({2026, 12, 8, 7, 0});
    EXPECT_TRUE(sent_.empty()) << n;
    EXPECT_EQ(!InListe(key), c.purged) << n;
  }
}

TEST_F(MaintenanceTest, LoopPassesEveryFiveSecondsAndStopsWithinAStep) {
  std::atomic<int> stop{0};
  std::vector<int> steps;
  context_.stop = &stop;
  now_ = {2026, 12, 8, 1, 0, 0};
  context_.sleep = [&](int ms) {
    steps.push_back(ms);
    if (steps.size() == 75) stop = 1;  // halfway through the second pause
  };
  RunMaintenance(context_);
  EXPECT_EQ(sent_.size(), 1u);  // the second pass in the same slot sends nothing
  EXPECT_EQ(steps, std::vector<int>(75, 100));  // 5 s between passes, in steps of 100 ms
}

}  // namespace
}  // namespace brenvik
