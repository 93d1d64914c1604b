// The purge, the report and the maintenance loop on a real spam.mdb, with an
// injected clock.
#include "maintenance/maintenance.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/maintenance/test_support.h"

namespace brenvik {
namespace {

using test::At;
using test::QueryInt;
using test::TempDir;

class MaintenanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::OpenFreshDatabase(dir_));
    settings_->GarbageCollector = 1;
    settings_->StatusMail = "postmaster@example.org";
    settings_->SendHost = "mx.internal";
    settings_->SendPort = 2525;
    context_.clock = [this] { return now_; };
    context_.settings = [this]() -> std::shared_ptr<const GatewaySettings> { return settings_; };
    context_.send = [this](const std::string& to, const std::string& text, int port, const std::string& host) {
      sent_.push_back({to, text, port, host});
      return std::string("OK");
    };
  }
  void TearDown() override { SQL_CloseDB(); }

  // A greylist row as the gateway writes it (day-first time texts).
  static void AddGreylistRow(const std::string& key, int wie_oft, const std::string& last_edit) {
    SQL_Stmt(3, "INSERT INTO Liste (Email, WieOft, IpAdresse, LastEdit, FirstMail) SELECT '" + key + "', " +
                    std::to_string(wie_oft) + ", '192.0.2.9','" + last_edit + "','" + last_edit + "';");
  }
  static void AddStatistik(int count, const std::string& month_first_date) {
    SQL_Stmt(3, "INSERT INTO Statistik ( SpamCount, SpamDate ) SELECT " + std::to_string(count) + ", #" +
                    month_first_date + "#;");
  }
  static bool InListe(const std::string& key) {
    SQL_Stmt(3, "SELECT * FROM LISTE WHERE Email = '" + key + "';");
    SQL_Fetch(0);
    return SQL_Eod() == 0;
  }
  static int StatistikRows() { return QueryInt("SELECT COUNT(SpamCount) AS N FROM Statistik;", "N"); }
  static int LatestDayCount() {
    return QueryInt(
        "SELECT TOP 1 Sum(SpamCount) AS Anz, SpamDate AS Dat FROM Statistik GROUP BY SpamDate ORDER BY "
        "SpamDate DESC;",
        "Anz");
  }
  void PassAt(const LocalTime& t) {
    now_ = t;
    MaintenancePass(context_, flags_);
  }

  struct Sent {
    std::string to, text;
    int port;
    std::string host;
  };
  TempDir dir_;
  std::shared_ptr<GatewaySettings> settings_ = std::make_shared<GatewaySettings>();
  LocalTime now_;
  MaintenanceContext context_;
  MaintenanceFlags flags_;
  std::vector<Sent> sent_;
};

TEST_F(MaintenanceTest, PurgeCountsAndDeletesOnlyStaleFirstAttempts) {
  AddGreylistRow("OLD@A.EXAMPLE", 1, "08.12.2026 00:30:00");
  AddGreylistRow("YESTERDAY@A.EXAMPLE", 1, "07.12.2026 22:00:00");
  AddGreylistRow("ATCUTOFF@A.EXAMPLE", 1, "08.12.2026 01:00:00");
  AddGreylistRow("ACCEPTED@A.EXAMPLE", 2, "01.12.2026 10:00:00");
  SQL_Stmt(3, "INSERT INTO Liste (email) SELECT '@friend.example';");

  EXPECT_EQ(PurgeGreylist(At(2026, 12, 8, 7, 0)), 2);
  EXPECT_FALSE(InListe("OLD@A.EXAMPLE"));
  EXPECT_FALSE(InListe("YESTERDAY@A.EXAMPLE"));
  EXPECT_TRUE(InListe("ATCUTOFF@A.EXAMPLE"));
  EXPECT_TRUE(InListe("ACCEPTED@A.EXAMPLE"));
  EXPECT_TRUE(InListe("@friend.example"));
  EXPECT_EQ(StatistikRows(), 1);
  EXPECT_EQ(LatestDayCount(), 2);

  // An hour later the cut-off moves to 2:0:0; a run that finds nothing
  // writes no row.
  EXPECT_EQ(PurgeGreylist(At(2026, 12, 8, 8, 0)), 1);
  EXPECT_EQ(PurgeGreylist(At(2026, 12, 8, 9, 0)), 0);
  EXPECT_EQ(StatistikRows(), 2);
  EXPECT_EQ(LatestDayCount(), 3);
  EXPECT_TRUE(InListe("ACCEPTED@A.EXAMPLE"));
}

TEST_F(MaintenanceTest, LastPurgeOfTheDayCutsAtSeventeen) {
  AddGreylistRow("EARLY@A.EXAMPLE", 1, "08.12.2026 16:59:59");
  AddGreylistRow("LATE@A.EXAMPLE", 1, "08.12.2026 17:00:00");
  EXPECT_EQ(PurgeGreylist(At(2026, 12, 8, 23, 0)), 1);
  EXPECT_FALSE(InListe("EARLY@A.EXAMPLE"));
  EXPECT_TRUE(InListe("LATE@A.EXAMPLE"));
}

TEST_F(MaintenanceTest, ReportAcrossAYearChange) {
  AddStatistik(1000, "11-15-2026");
  AddStatistik(234, "11-20-2026");
  AddStatistik(10, "12-31-2026");
  AddStatistik(7, "01-01-2027");
  AddStatistik(2, "01-02-2027");
  AddStatistik(3, "01-02-2027");
  EXPECT_EQ(BuildStatusReport(),
            "Subject:Spamstatistik\r\n"
            "Brenvik hat gestern 5 Spammails vernichtet!\r\n"
            "\r\n"
            "Gesamtstatistik:\r\n"
            "November 2026      1234\r\n"
            "Dezember 2026        10\r\n"
            "Januar 2027          12\r\n");
}

TEST_F(MaintenanceTest, ReportOfAnEmptyStatistik) {
  EXPECT_EQ(BuildStatusReport(),
            "Subject:Spamstatistik\r\nBrenvik hat gestern 0 Spammails vernichtet!\r\n\r\nGesamtstatistik:\r\n");
}

TEST(ReportLine, FieldsRunTogetherWhenTooLong) {
  EXPECT_EQ(ReportMonthLine("Mai 2026", 0), "Mai 2026              0\r\n");
  // The field is 16 characters wide also where a month name holds a
  // two-byte letter.
  EXPECT_EQ(ReportMonthLine("M\xC3\xA4rz 2027", 3), "M\xC3\xA4rz 2027             3\r\n");
  EXPECT_EQ(ReportMonthLine("Septembermonat 2026", 5), "Septembermonat 2026      5\r\n");
  EXPECT_EQ(ReportMonthLine("Juni 2026", 12345678), "Juni 2026       12345678\r\n");
}

TEST_F(MaintenanceTest, ReportRunsOnceAtOneOClockAndAgainNextDay) {
  AddStatistik(4, "12-07-2026");
  PassAt(At(2026, 12, 8, 0, 59, 55));
  PassAt(At(2026, 12, 8, 1, 0, 0));
  PassAt(At(2026, 12, 8, 1, 0, 5));
  PassAt(At(2026, 12, 8, 1, 0, 55));
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].to, "postmaster@example.org");
  EXPECT_EQ(sent_[0].port, 2525);
  EXPECT_EQ(sent_[0].host, "mx.internal");
  EXPECT_EQ(sent_[0].text.rfind("Subject:Spamstatistik\r\nBrenvik hat gestern 4 Spammails", 0), 0u);
  PassAt(At(2026, 12, 8, 1, 1, 0));
  PassAt(At(2026, 12, 9, 1, 0, 0));
  EXPECT_EQ(sent_.size(), 2u);
}

TEST_F(MaintenanceTest, PassThatOverranTheSecondMinuteStillReArms) {
  PassAt(At(2026, 12, 8, 1, 0, 0));
  PassAt(At(2026, 12, 8, 1, 7, 30));  // a slow delivery swallowed minute 1
  PassAt(At(2026, 12, 9, 1, 0, 0));
  EXPECT_EQ(sent_.size(), 2u);

  AddGreylistRow("A@X.EXAMPLE", 1, "09.12.2026 00:10:00");
  PassAt(At(2026, 12, 9, 7, 0, 0));
  PassAt(At(2026, 12, 9, 7, 3, 0));
  AddGreylistRow("B@X.EXAMPLE", 1, "09.12.2026 01:10:00");
  PassAt(At(2026, 12, 9, 8, 0, 0));
  EXPECT_FALSE(InListe("B@X.EXAMPLE"));
  EXPECT_EQ(StatistikRows(), 2);
}

TEST_F(MaintenanceTest, PurgeRunsOncePerHourSlot) {
  AddGreylistRow("FIRST@X.EXAMPLE", 1, "08.12.2026 00:10:00");
  PassAt(At(2026, 12, 8, 7, 0, 0));
  EXPECT_FALSE(InListe("FIRST@X.EXAMPLE"));
  // A row that turns stale within the slot waits for the next slot.
  AddGreylistRow("SECOND@X.EXAMPLE", 1, "08.12.2026 00:20:00");
  PassAt(At(2026, 12, 8, 7, 0, 5));
  PassAt(At(2026, 12, 8, 7, 0, 55));
  EXPECT_TRUE(InListe("SECOND@X.EXAMPLE"));
  PassAt(At(2026, 12, 8, 7, 1, 0));
  PassAt(At(2026, 12, 8, 8, 0, 0));
  EXPECT_FALSE(InListe("SECOND@X.EXAMPLE"));
  EXPECT_EQ(StatistikRows(), 2);
  EXPECT_TRUE(sent_.empty());  // the report belongs to 01:00 only
}

TEST_F(MaintenanceTest, NoPurgeBeforeSevenOClock) {
  AddGreylistRow("STALE@X.EXAMPLE", 1, "01.12.2026 00:10:00");
  for (int hour = 0; hour <= 6; ++hour) {
    PassAt(At(2026, 12, 8, hour, 0, 0));
    PassAt(At(2026, 12, 8, hour, 1, 0));
  }
  EXPECT_TRUE(InListe("STALE@X.EXAMPLE"));
  EXPECT_EQ(StatistikRows(), 0);
  PassAt(At(2026, 12, 8, 7, 0, 0));
  EXPECT_FALSE(InListe("STALE@X.EXAMPLE"));
}

TEST_F(MaintenanceTest, GarbageCollectorOffSwitchesBothJobsOff) {
  settings_->GarbageCollector = 0;
  AddGreylistRow("STALE@X.EXAMPLE", 1, "01.12.2026 00:10:00");
  PassAt(At(2026, 12, 8, 1, 0, 0));
  PassAt(At(2026, 12, 8, 7, 0, 0));
  settings_->GarbageCollector = 2;  // only exactly 1 switches on
  PassAt(At(2026, 12, 8, 8, 0, 0));
  EXPECT_TRUE(InListe("STALE@X.EXAMPLE"));
  EXPECT_TRUE(sent_.empty());
}

TEST_F(MaintenanceTest, EmptyStatusMailSkipsOnlyTheReport) {
  settings_->StatusMail.clear();
  AddGreylistRow("STALE@X.EXAMPLE", 1, "01.12.2026 00:10:00");
  PassAt(At(2026, 12, 8, 1, 0, 0));
  EXPECT_TRUE(sent_.empty());
  PassAt(At(2026, 12, 8, 7, 0, 0));
  EXPECT_FALSE(InListe("STALE@X.EXAMPLE"));
}

TEST_F(MaintenanceTest, NothingHappensBeforeTheSettingsAreLoaded) {
  context_.settings = [] { return std::shared_ptr<const GatewaySettings>(); };
  AddGreylistRow("STALE@X.EXAMPLE", 1, "01.12.2026 00:10:00");
  PassAt(At(2026, 12, 8, 1, 0, 0));
  PassAt(At(2026, 12, 8, 7, 0, 0));
  EXPECT_TRUE(sent_.empty());
  EXPECT_TRUE(InListe("STALE@X.EXAMPLE"));
}

TEST_F(MaintenanceTest, LoopPassesEveryFiveSecondsAndStopsWithinAStep) {
  std::atomic<int> stop{0};
  std::vector<int> steps;
  int passes = 0;
  context_.stop = &stop;
  context_.clock = [&] {
    return At(2026, 12, 8, 1, 0, 0);
  };
  context_.send = [&](const std::string&, const std::string&, int, const std::string&) {
    ++passes;
    return std::string("OK");
  };
  context_.sleep = [&](int ms) {
    steps.push_back(ms);
    if (steps.size() == 75) stop = 1;  // halfway through the second pause
  };
  RunMaintenance(context_);
  EXPECT_EQ(passes, 1);  // the second pass in the same slot sends nothing
  ASSERT_EQ(steps.size(), 75u);
  int total = 0;
  for (int ms : steps) total += ms;
  EXPECT_EQ(total, 7500);
}

TEST_F(MaintenanceTest, ThreadEndsAfterTheStopFlag) {
  std::atomic<int> stop{0};
  std::atomic<int> clock_reads{0};
  context_.stop = &stop;
  context_.send = {};
  context_.clock = [&] {
    ++clock_reads;
    return At(2026, 12, 8, 12, 30, 0);
  };
  std::thread thread([this] { RunMaintenance(context_); });
  while (clock_reads.load() == 0) std::this_thread::yield();  // the first pass has begun
  stop = 1;
  thread.join();
  EXPECT_GE(clock_reads.load(), 1);
}

}  // namespace
}  // namespace brenvik
