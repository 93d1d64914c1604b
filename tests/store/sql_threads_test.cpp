#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "store/database.h"
#include "store/sql.h"
#include "tests/store/store_test_support.h"
#include "tests/support/pg_server.h"

namespace brenvik {
namespace {

// Each thread's own rows, statements, fetches and errors; a mixed-up result
// shows as a row of another thread or a wrong count.
int Worker(int id, int rounds) {
  const std::string tag = "'10.0.0." + std::to_string(id) + "'";
  int faults = 0;
  for (int i = 0; i < rounds; ++i) {
    SQL_Stmt(3, "INSERT INTO Liste (Email, WieOft, IpAdresse, LastEdit, FirstMail) SELECT 'T" + std::to_string(id) +
                    "-" + std::to_string(i) + "@X.DE', 1, " + tag + ",'08.12.2026 07:00:00','08.12.2026 07:00:00';");
    faults += SQL_ErrorNumber() != 0;
    if (id % 2 == 0) {
      SQL_Stmt(3, "SELECT * FROM NoSuchTable;");  // errors stay with this thread
      faults += SQL_ErrorNumber() <= 1;
    }
    SQL_Stmt(3, "SELECT Email, IpAdresse FROM Liste WHERE IpAdresse = " + tag + ";");
    faults += SQL_ErrorNumber() != 0;
    int seen = 0;
    for (SQL_Fetch(0); SQL_Eod() == 0; SQL_Fetch(0)) {
      ++seen;
      std::this_thread::yield();  // give other threads a chance to interleave
      faults += "'" + SQL_ResColText(SQL_ResColNumber("ipadresse")) + "'" != tag;
      faults += SQL_ResColText(SQL_ResColNumber("EMAIL")).rfind("T" + std::to_string(id) + "-", 0) != 0;
    }
    faults += seen != i + 1;
  }
  return faults;
}

// On the file all threads share one connection; on the server they borrow
// from the pool, several statements running at once.
void RunThreads() {
  constexpr int kThreads = 8, kRounds = 40;
  std::atomic<int> faults{0};
  std::vector<std::thread> threads;
  for (int id = 0; id < kThreads; ++id)
    threads.emplace_back([id, &faults] { faults += Worker(id, kRounds); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(faults.load(), 0);
  SQL_Stmt(3, "SELECT COUNT(WieOft) AS W FROM LISTE;");
  SQL_Fetch(0);
  EXPECT_EQ(SQL_ResColSInt(SQL_ResColNumber("W")), kThreads * kRounds);
  SQL_Shutdown();
}

TEST(SqlThreads, ConcurrentStatementsAndFetchesNeverMix) {
  testing_support::TempRoot root;
  SQL_Initialize(2, 2, 150, 3, 3, 0, 0, 0);
  ASSERT_TRUE(OpenDatabase(root.path(), "/spam.mdb"));
  RunThreads();
}

TEST(SqlThreads, ConcurrentStatementsOnTheServerNeverMix) {
  auto& server = testing_support::PgServer::Shared();
  if (!server.available()) GTEST_SKIP() << server.why();
  SQL_Initialize(2, 2, 150, 3, 3, 0, 0, 0);
  ASSERT_TRUE(OpenDatabase("", "", server.CreateDatabase())) << SQL_ErrorText();
  RunThreads();
}

}  // namespace
}  // namespace brenvik
