// Event rendering, standard error and the event source registration.
#include "maintenance/event_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <thread>
#include <vector>

#include "store/registry.h"
#include "tests/maintenance/test_support.h"

namespace brenvik {
namespace {

constexpr const char* kSourceKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Brenvik";

// Collects the reported events and what reaches standard error.
class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("BRENVIK_SYSROOT", dir_.path.c_str(), 1);
    setenv("JOURNAL_STREAM", "0:0", 1);  // a journal, but not standard error
    SetEventObserver([this](std::uint32_t id, int type, const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.push_back(std::to_string(id) + " " + std::to_string(type) + " " + line);
    });
    ::testing::internal::CaptureStderr();
  }
  void TearDown() override {
    if (!captured_) ::testing::internal::GetCapturedStderr();
    SetEventObserver({});
    unsetenv("BRENVIK_SYSROOT");
    unsetenv("JOURNAL_STREAM");
  }
  std::string Stderr() {
    captured_ = true;
    return ::testing::internal::GetCapturedStderr();
  }
  static std::string Registered() { return GETREGVALUE(HKEY_LOCAL_MACHINE, kSourceKey, "EventMessageFile"); }

  test::TempDir dir_;
  std::mutex mutex_;
  std::vector<std::string> seen_;  // "id type line"
  bool captured_ = false;
};

TEST_F(EventLogTest, EventsAreRenderedOneLineEachAndCut) {
  struct stat st {};
  ASSERT_EQ(fstat(STDERR_FILENO, &st), 0);
  setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
  ReportInfo("standard error is the journal: reported once");
  setenv("JOURNAL_STREAM", "0:0", 1);
  ReportError("FEHLER: Zu viele Mail Domains, maximal 100");
  ReportInfo("Service wurde gestartet / service started");
  ReportError(std::string(259, 'a') + "TAIL");
  ReportError(std::string("before\0after", 12));
  ReportServiceEvent("multi\r\nline", EVENTLOG_ERROR_TYPE, 1);
  const std::string error = "Ein Fehler ist aufgetreten: ";
  const std::vector<std::string> rendered = {error + "FEHLER: Zu viele Mail Domains, maximal 100",
                                             "Erfolgsmeldung: Service wurde gestartet / service started",
                                             error + std::string(259, 'a'), error + "before", error + "multi  line"};
  std::string out;
  for (const std::string& line : rendered) out += line + "\n";
  EXPECT_EQ(Stderr(), out);
  ASSERT_EQ(seen_.size(), rendered.size() + 1);
  EXPECT_EQ(seen_[1], std::to_string(kEventIdError) + " 1 " + rendered[0]);
  EXPECT_EQ(seen_[2], std::to_string(kEventIdSuccess) + " 4 " + rendered[1]);
  EXPECT_EQ(seen_[5], std::to_string(kEventIdError) + " 1 " + rendered[4]);
}

TEST_F(EventLogTest, EveryReportWritesTheRegistrationAgain) {
  const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  ASSERT_TRUE(SETREGVALUE(HKEY_LOCAL_MACHINE, kSourceKey, "EventMessageFile", "/old/place/brenvik"));
  ReportInfo("moved");
  EXPECT_EQ(Registered(), exe);
  EXPECT_NE(test::ReadFile(RegistryFilePath()).find("\"TypesSupported\"=dword:00000007"), std::string::npos);
  // An administrator removes the key (here: the whole file); the next
  // report puts it back.
  std::filesystem::remove(RegistryFilePath());
  ASSERT_EQ(Registered(), "");
  ReportError("second");
  EXPECT_EQ(Registered(), exe);
}

TEST_F(EventLogTest, ConcurrentReportsStayWhole) {
  // The service's first report comes before any other thread runs; the
  // journal connection that libsystemd opens lazily then exists.
  ReportError("from the main thread first");
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 10; ++i) ReportError("from one of the threads, number " + std::to_string(i));
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(seen_.size(), 61u);
  std::istringstream lines(Stderr());
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    EXPECT_EQ(line.rfind("Ein Fehler ist aufgetreten: from ", 0), 0u) << line;
  }
  EXPECT_EQ(count, 61);
}

}  // namespace
}  // namespace brenvik
