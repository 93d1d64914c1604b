// Event rendering, the record's text, standard error and the registration.
#include "maintenance/event_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "store/registry.h"
#include "tests/maintenance/test_support.h"

namespace brenvik {
namespace {

using test::ReadFile;
using test::ScopedEnv;
using test::TempDir;

constexpr const char* kSourceKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Brenvik";

struct Seen {
  std::uint32_t id;
  int type;
  std::string line;
};

// Collects the reported events and sends standard error to a file.
class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetEventObserver([this](std::uint32_t id, int type, const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.push_back({id, type, line});
    });
    stderr_path_ = dir_.path() + "/stderr.txt";
    fflush(stderr);
    saved_stderr_ = dup(STDERR_FILENO);
    int fd = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  void TearDown() override {
    RestoreStderr();
    SetEventObserver({});
  }
  void RestoreStderr() {
    if (saved_stderr_ < 0) return;
    dup2(saved_stderr_, STDERR_FILENO);
    close(saved_stderr_);
    saved_stderr_ = -1;
  }
  std::string Stderr() const { return ReadFile(stderr_path_); }

  TempDir dir_;
  ScopedEnv sysroot_{"BRENVIK_SYSROOT", dir_.path()};
  std::mutex mutex_;
  std::vector<Seen> seen_;
  std::string stderr_path_;
  int saved_stderr_ = -1;
};

TEST(MessageTable, RendersTheThreeEntries) {
  EXPECT_EQ(RenderEventMessage(kEventIdError, "X"), "Ein Fehler ist aufgetreten: X");
  EXPECT_EQ(RenderEventMessage(kEventIdSuccess, "X"), "Erfolgsmeldung: X\r\n");
  EXPECT_EQ(RenderEventMessage(kEventIdWarning, "X"), "I must insist on X because %2\r\n");
  EXPECT_EQ(RenderEventMessage(0x12345678, "X"), "");
}

TEST_F(EventLogTest, ErrorAndInformationEventsAreRenderedOneLineEach) {
  ReportError("FEHLER: Zu viele Mail Domains, maximal 100");
  ReportInfo("Service wurde gestartet / service started");
  RestoreStderr();
  ASSERT_EQ(seen_.size(), 2u);
  EXPECT_EQ(seen_[0].id, kEventIdError);
  EXPECT_EQ(seen_[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(seen_[0].line, "Ein Fehler ist aufgetreten: FEHLER: Zu viele Mail Domains, maximal 100");
  EXPECT_EQ(seen_[1].id, kEventIdSuccess);
  EXPECT_EQ(seen_[1].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(seen_[1].line, "Erfolgsmeldung: Service wurde gestartet / service started");
  EXPECT_EQ(Stderr(),
            "Ein Fehler ist aufgetreten: FEHLER: Zu viele Mail Domains, maximal 100\n"
            "Erfolgsmeldung: Service wurde gestartet / service started\n");
}

TEST_F(EventLogTest, InsertionStringIsCutAt259BytesAndAtNul) {
  std::string long_text(259, 'a');
  long_text += "TAIL";
  ReportError(long_text);
  ReportError(std::string("before\0after", 12));
  ReportServiceEvent("multi\r\nline", EVENTLOG_ERROR_TYPE, 1);
  ASSERT_EQ(seen_.size(), 3u);
  EXPECT_EQ(seen_[0].line, "Ein Fehler ist aufgetreten: " + std::string(259, 'a'));
  EXPECT_EQ(seen_[1].line, "Ein Fehler ist aufgetreten: before");
  EXPECT_EQ(seen_[2].line, "Ein Fehler ist aufgetreten: multi  line");
}

TEST_F(EventLogTest, StandardErrorIsSkippedWhenItIsTheJournalStream) {
  struct stat st {};
  ASSERT_EQ(fstat(STDERR_FILENO, &st), 0);
  {
    ScopedEnv journal("JOURNAL_STREAM", std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
    ReportInfo("to the journal only");
  }
  {
    ScopedEnv other("JOURNAL_STREAM", std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1));
    ReportInfo("also to stderr");
  }
  RestoreStderr();
  EXPECT_EQ(Stderr(), "Erfolgsmeldung: also to stderr\n");
  EXPECT_EQ(seen_.size(), 2u);
}

TEST_F(EventLogTest, EveryReportWritesTheRegistrationAgain) {
  ReportInfo("first");
  std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  EXPECT_EQ(GETREGVALUE(HKEY_LOCAL_MACHINE, kSourceKey, "EventMessageFile"), exe);
  std::string file = ReadFile(RegistryFilePath());
  EXPECT_NE(file.find("\"TypesSupported\"=dword:00000007"), std::string::npos) << file;

  // An administrator removes the key (here: the whole file); the next
  // report puts it back.
  std::filesystem::remove(RegistryFilePath());
  ASSERT_EQ(GETREGVALUE(HKEY_LOCAL_MACHINE, kSourceKey, "EventMessageFile"), "");
  ReportError("second");
  EXPECT_EQ(GETREGVALUE(HKEY_LOCAL_MACHINE, kSourceKey, "EventMessageFile"), exe);
  EXPECT_NE(ReadFile(RegistryFilePath()).find("\"TypesSupported\"=dword:00000007"), std::string::npos);
}

TEST_F(EventLogTest, MovedProgramIsRegisteredAtItsNewPlace) {
  ASSERT_TRUE(SETREGVALUE(HKEY_LOCAL_MACHINE, kSourceKey, "EventMessageFile", "/old/place/brenvik"));
  ReportInfo("moved");
  EXPECT_EQ(GETREGVALUE(HKEY_LOCAL_MACHINE, kSourceKey, "EventMessageFile"),
            std::filesystem::read_symlink("/proc/self/exe").string());
}

TEST_F(EventLogTest, ConcurrentReportsStayWhole) {
  constexpr int kThreads = 6;
  constexpr int kEach = 10;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) ReportError("thread " + std::to_string(t) + " event " + std::to_string(i));
    });
  }
  for (std::thread& th : threads) th.join();
  RestoreStderr();
  EXPECT_EQ(seen_.size(), static_cast<std::size_t>(kThreads * kEach));
  std::istringstream lines(Stderr());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    EXPECT_EQ(line.rfind("Ein Fehler ist aufgetreten: thread ", 0), 0u) << line;
    ++count;
  }
  EXPECT_EQ(count, kThreads * kEach);
  EXPECT_EQ(GETREGVALUE(HKEY_LOCAL_MACHINE, kSourceKey, "EventMessageFile"),
            std::filesystem::read_symlink("/proc/self/exe").string());
}

}  // namespace
}  // namespace brenvik
