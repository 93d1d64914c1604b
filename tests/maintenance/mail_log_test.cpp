// Transcript files: their names, exclusive opening, writes straight to disk.
#include "maintenance/mail_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "tests/maintenance/test_support.h"

namespace brenvik {
namespace {

using test::ReadFile;
using test::TempDir;

TEST(TranscriptName, SecondsSinceMidnightWithoutTrailingZeros) {
  const struct {
    int h, m, s, ms;
    const char* text;
  } cases[] = {
      {0, 10, 5, 437, " 605.437"}, {0, 10, 5, 430, " 605.43"}, {0, 10, 5, 0, " 605"},
      {0, 0, 0, 0, " 0"},          {0, 0, 0, 1, " 0.001"},     {0, 0, 0, 10, " 0.01"},
      {1, 0, 0, 100, " 3600.1"},   {23, 59, 59, 999, " 86399.999"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SecondsSinceMidnightText({2026, 12, 8, c.h, c.m, c.s, c.ms}), c.text) << c.text;
  }
}

TEST(Transcript, FolderMadeAndEveryEntryOnDiskAtOnce) {
  TempDir dir;
  ConnectionLog log = OpenConnectionLog(dir.Slash(), {2026, 12, 8, 0, 10, 5, 437});
  ASSERT_GE(log.fd, 0);
  EXPECT_NE(fcntl(log.fd, F_GETFD) & FD_CLOEXEC, 0);  // not inherited by programs the service starts
  const std::string path = dir.path + "/maillog/maillog 605.437.txt";
  WriteConnectionLog(log, "220 backend ready");
  EXPECT_EQ(ReadFile(path), "220 backend ready\r\n");
  WriteConnectionLog(log, "");
  WriteConnectionLog(log, std::string("bin\0ary\x84", 8));
  CloseConnectionLog(log);
  EXPECT_EQ(log.fd, -1);
  EXPECT_EQ(ReadFile(path), std::string("220 backend ready\r\n\r\nbin\0ary\x84\r\n", 31));

  // Without the working folder there is no transcript, and writes are ignored.
  ConnectionLog none = OpenConnectionLog(dir.path + "/absent/", {2026, 1, 1, 8});
  EXPECT_EQ(none.fd, -1);
  WriteConnectionLog(none, "ignored");
  CloseConnectionLog(none);
  EXPECT_FALSE(std::filesystem::exists(dir.path + "/absent"));  // only one level is made
}

TEST(Transcript, SecondOpenOfTheSameNameGetsNoTranscript) {
  TempDir dir;
  const LocalTime same{2026, 12, 8, 9, 15, 2, 123};
  ConnectionLog first = OpenConnectionLog(dir.Slash(), same);
  ConnectionLog second = OpenConnectionLog(dir.Slash(), same);
  ASSERT_GE(first.fd, 0);
  EXPECT_EQ(second.fd, -1);
  WriteConnectionLog(first, "first");
  WriteConnectionLog(second, "second");
  CloseConnectionLog(second);
  // Once the first connection ends the name is free again, and a later one
  // (another day, same time of day) appends in the existing folder.
  CloseConnectionLog(first);
  ConnectionLog later = OpenConnectionLog(dir.Slash(), {2026, 12, 9, 9, 15, 2, 123});
  ASSERT_GE(later.fd, 0);
  WriteConnectionLog(later, "next day");
  CloseConnectionLog(later);
  EXPECT_EQ(ReadFile(dir.path + "/maillog/maillog 33302.123.txt"), "first\r\nnext day\r\n");
}

}  // namespace
}  // namespace brenvik
