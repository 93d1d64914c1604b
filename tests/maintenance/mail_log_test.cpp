// Transcript files and LogTable rows.
#include "maintenance/mail_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/maintenance/test_support.h"

namespace brenvik {
namespace {

using test::At;
using test::ReadFile;
using test::TempDir;

TEST(TranscriptName, SecondsSinceMidnightFormat) {
  struct Case {
    int h, m, s, ms;
    const char* text;
  } cases[] = {
      {0, 10, 5, 437, " 605.437"}, {0, 10, 5, 430, " 605.43"}, {0, 10, 5, 0, " 605"},
      {0, 0, 0, 0, " 0"},          {0, 0, 0, 1, " 0.001"},     {0, 0, 0, 10, " 0.01"},
      {1, 0, 0, 100, " 3600.1"},   {23, 59, 59, 999, " 86399.999"},
      {12, 0, 0, 0, " 43200"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SecondsSinceMidnightText(At(2026, 12, 8, c.h, c.m, c.s, c.ms)), c.text)
        << c.h << ":" << c.m << ":" << c.s << "." << c.ms;
  }
}

TEST(Transcript, CreatesFolderAndNamesFileAfterTimeOfDay) {
  TempDir dir;
  ConnectionLog log = OpenConnectionLog(dir.Slash(), At(2026, 12, 8, 0, 10, 5, 437));
  ASSERT_GE(log.fd, 0);
  WriteConnectionLog(log, "220 backend ready");
  CloseConnectionLog(log);
  EXPECT_EQ(log.fd, -1);
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() + "/maillog"));
  EXPECT_EQ(ReadFile(dir.path() + "/maillog/maillog 605.437.txt"), "220 backend ready\r\n");
}

TEST(Transcript, ExistingFolderIsReusedUnchanged) {
  TempDir dir;
  std::filesystem::create_directory(dir.path() + "/maillog");
  { std::ofstream(dir.path() + "/maillog/other.txt") << "keep"; }
  ConnectionLog log = OpenConnectionLog(dir.Slash(), At(2026, 1, 1, 0, 0, 0, 0));
  ASSERT_GE(log.fd, 0);
  CloseConnectionLog(log);
  EXPECT_EQ(ReadFile(dir.path() + "/maillog/other.txt"), "keep");
  EXPECT_TRUE(std::filesystem::exists(dir.path() + "/maillog/maillog 0.txt"));
}

TEST(Transcript, MissingWorkDirGivesEmptyHandleThatIgnoresWrites) {
  TempDir dir;
  ConnectionLog log = OpenConnectionLog(dir.path() + "/absent/", At(2026, 1, 1, 8, 0, 0, 0));
  EXPECT_EQ(log.fd, -1);
  WriteConnectionLog(log, "ignored");
  CloseConnectionLog(log);
  CloseConnectionLog(log);
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/absent"));  // only one level is made
}

TEST(Transcript, SecondOpenOfTheSameNameGetsNoTranscript) {
  TempDir dir;
  LocalTime same = At(2026, 12, 8, 9, 15, 2, 123);
  ConnectionLog first = OpenConnectionLog(dir.Slash(), same);
  ConnectionLog second = OpenConnectionLog(dir.Slash(), same);
  ASSERT_GE(first.fd, 0);
  EXPECT_EQ(second.fd, -1);
  WriteConnectionLog(first, "first");
  WriteConnectionLog(second, "second");
  CloseConnectionLog(second);
  // Once the first connection ends the name is free again, and a later
  // connection (another day, same time of day) appends.
  CloseConnectionLog(first);
  ConnectionLog later = OpenConnectionLog(dir.Slash(), At(2026, 12, 9, 9, 15, 2, 123));
  ASSERT_GE(later.fd, 0);
  WriteConnectionLog(later, "next day");
  CloseConnectionLog(later);
  EXPECT_EQ(ReadFile(dir.path() + "/maillog/maillog 33302.123.txt"), "first\r\nnext day\r\n");
}

TEST(Transcript, EntriesAreOnDiskBeforeClose) {
  TempDir dir;
  ConnectionLog log = OpenConnectionLog(dir.Slash(), At(2026, 12, 8, 0, 0, 5, 0));
  ASSERT_GE(log.fd, 0);
  const std::string path = dir.path() + "/maillog/maillog 5.txt";
  WriteConnectionLog(log, "EHLO client.example");
  EXPECT_EQ(ReadFile(path), "EHLO client.example\r\n");
  WriteConnectionLog(log, "");
  WriteConnectionLog(log, std::string("bin\0ary\x84", 8));
  EXPECT_EQ(ReadFile(path), std::string("EHLO client.example\r\n\r\nbin\0ary\x84\r\n", 33));
  // Not inherited by the programs the service starts.
  EXPECT_NE(fcntl(log.fd, F_GETFD) & FD_CLOEXEC, 0);
  CloseConnectionLog(log);
}

TEST(LogRow, StatementTextForPlainValues) {
  EXPECT_EQ(LogRowStatement("SENDER@EXAMPLE.ORG", "Try Later", "192.0.2.7", At(2026, 2, 3, 9, 5, 7)),
            "INSERT INTO LogTable (Email, Logtext, Ip, Timestmp) SELECT 'SENDER@EXAMPLE.ORG', "
            "'Try Later','192.0.2.7','03.02.2026 09:05:07';");
  EXPECT_EQ(LogRowStatement("", "OK", "", At(2026, 12, 31, 23, 59, 59)),
            "INSERT INTO LogTable (Email, Logtext, Ip, Timestmp) SELECT '', 'OK','','31.12.2026 "
            "23:59:59';");
}

TEST(LogRow, RowsAreStoredWithQuotesUnchanged) {
  TempDir dir;
  ASSERT_TRUE(test::OpenFreshDatabase(dir));
  const std::string hostile = "O'BRIEN@X.EXAMPLE'); DELETE FROM LogTable; --";
  EXPECT_EQ(InsertLogRow("FIRST@EXAMPLE.ORG", "OK", "192.0.2.1", At(2026, 2, 3, 9, 5, 7)), 0);
  EXPECT_EQ(InsertLogRow(hostile, "Try Later", "192.0.2.2", At(2026, 2, 3, 9, 5, 8)), 0);

  SQL_Stmt(3, "SELECT * FROM LogTable WHERE Ip = '192.0.2.2';");
  SQL_Fetch(0);
  ASSERT_EQ(SQL_Eod(), 0);
  EXPECT_EQ(SQL_ResColText(SQL_ResColNumber("Email")), hostile);
  EXPECT_EQ(SQL_ResColText(SQL_ResColNumber("Logtext")), "Try Later");
  EXPECT_NE(SQL_ResColText(SQL_ResColNumber("Timestmp")), "");
  SQL_Stmt(3, "SELECT * FROM LogTable WHERE Ip = '192.0.2.1';");
  SQL_Fetch(0);
  EXPECT_EQ(SQL_Eod(), 0) << "the earlier row must survive the quoted value";
  SQL_CloseDB();
}

}  // namespace
}  // namespace brenvik
