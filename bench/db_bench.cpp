// Database benchmarks on a real spam.mdb in a scratch folder:
//   brenvik_dbbench greylist <folder> <rows> <decisions> <threads>...
//   brenvik_dbbench purge <folder> <rows>
// With BRENVIK_BENCH_SERVER (a libpq connection string) the same runs go to
// that empty PostgreSQL database; BRENVIK_BENCH_REUSE=1 then keeps the rows
// a former run filled in, and BRENVIK_BENCH_BASE moves this run's new keys,
// so that two processes can share one database as two gateways do.
// Each result is one line of key=value pairs that scripts/bench.sh turns
// into the table. Nothing here judges the figures.
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "gateway/greylist.h"
#include "maintenance/maintenance.h"
#include "store/database.h"
#include "store/sql.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kWhitelistDomains = 100;
constexpr const char* kClientIp = "192.0.2.7";
constexpr const char* kFreshTime = "2026-12-09 11:30:00";  // after the purge cut-off
constexpr const char* kStaleTime = "2026-12-08 09:15:00";  // before it
const brenvik::LocalTime kPurgeNow{2026, 12, 9, 12, 0, 0, 0};

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "db_bench: %s\n", what.c_str());
  std::exit(1);
}

std::string DeferredKey(long i) { return "DEFERRED" + std::to_string(i) + "@SENDER.EXAMPLE"; }
std::string AcceptedKey(long i) { return "ACCEPTED" + std::to_string(i) + "@SENDER.EXAMPLE"; }

const char* Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

void Run(const std::string& statement) {
  brenvik::SQL_Stmt(3, statement);
  if (brenvik::SQL_ErrorNumber() != 0) Fail(statement.substr(0, 60) + ": " + brenvik::SQL_ErrorText());
}

constexpr int kFillTimeoutMs = 600000;

// The same rows as CreateDatabase on the server, in two statements.
void FillServer(const char* conninfo, long rows, long stale_every) {
  if (!brenvik::OpenDatabase("", "", conninfo)) Fail("cannot open " + std::string(conninfo));
  if (Env("BRENVIK_BENCH_REUSE")) return;
  brenvik::SetSqlThreadStatementTimeout(kFillTimeoutMs);  // a million rows in one statement
  const std::string deferred = "i % 2 = 0";
  const std::string stale = stale_every > 0 ? deferred + " AND (i / 2) % " + std::to_string(stale_every) + " = 0"
                                            : std::string("FALSE");
  const std::string when = "CASE WHEN " + stale + " THEN TIMESTAMP '" + kStaleTime + "' ELSE TIMESTAMP '" +
                           kFreshTime + "' END";
  Run("INSERT INTO Liste (Email, WieOft, IpAdresse, LastEdit, FirstMail, SecondMail) SELECT CASE WHEN " +
      deferred + " THEN 'DEFERRED' ELSE 'ACCEPTED' END || (i / 2) || '@SENDER.EXAMPLE', CASE WHEN " + deferred +
      " THEN 1 ELSE 2 END, '" + kClientIp + "', " + when + ", " + when + ", CASE WHEN " + deferred +
      " THEN NULL ELSE " + when + " END FROM generate_series(0, " + std::to_string(rows - 1) + ") AS i;");
  Run("INSERT INTO Liste (Email) SELECT '@WHITE' || d || '.EXAMPLE' FROM generate_series(0, " +
      std::to_string(kWhitelistDomains - 1) + ") AS d;");
  Run("VACUUM ANALYZE Liste;");  // a long-running database: hint bits set, visibility known
  brenvik::SetSqlThreadStatementTimeout(0);
}

// Creates spam.mdb through the layer, then fills Liste in one transaction
// straight through SQLite: `rows` rows, alternately deferred (WieOft 1)
// and accepted (WieOft 2), every `stale_every`-th deferred one stale
// (0 = none), and the whitelist domains.
void CreateDatabase(const fs::path& folder, long rows, long stale_every) {
  fs::remove_all(folder);
  fs::create_directories(folder);
  if (const char* server = Env("BRENVIK_BENCH_SERVER")) return FillServer(server, rows, stale_every);
  const std::string dir = folder.string() + "/";
  if (!brenvik::OpenDatabase(dir, "spam.mdb")) Fail("cannot create " + dir + "spam.mdb");
  brenvik::SQL_CloseDB();

  sqlite3* db = nullptr;
  if (sqlite3_open((dir + "spam.mdb").c_str(), &db) != SQLITE_OK) Fail("cannot open for filling");
  sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO Liste (Email, WieOft, IpAdresse, LastEdit, FirstMail, SecondMail)"
                     " VALUES (?, ?, ?, ?, ?, ?);",
                     -1, &insert, nullptr);
  for (long i = 0; i < rows; ++i) {
    const bool deferred = i % 2 == 0;
    const long n = i / 2;
    const bool stale = deferred && stale_every > 0 && n % stale_every == 0;
    const std::string key = deferred ? DeferredKey(n) : AcceptedKey(n);
    const char* when = stale ? kStaleTime : kFreshTime;
    sqlite3_bind_text(insert, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(insert, 2, deferred ? 1 : 2);
    sqlite3_bind_text(insert, 3, kClientIp, -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 4, when, -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 5, when, -1, SQLITE_STATIC);
    if (deferred) sqlite3_bind_null(insert, 6); else sqlite3_bind_text(insert, 6, when, -1, SQLITE_STATIC);
    if (sqlite3_step(insert) != SQLITE_DONE) Fail(sqlite3_errmsg(db));
    sqlite3_reset(insert);
  }
  for (int d = 0; d < kWhitelistDomains; ++d) {
    const std::string domain = "@WHITE" + std::to_string(d) + ".EXAMPLE";
    sqlite3_bind_text(insert, 1, domain.c_str(), -1, SQLITE_TRANSIENT);
    for (int c = 2; c <= 6; ++c) sqlite3_bind_null(insert, c);
    if (sqlite3_step(insert) != SQLITE_DONE) Fail(sqlite3_errmsg(db));
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  if (sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) != SQLITE_OK) Fail(sqlite3_errmsg(db));
  // The filled rows go into the main file now, not into the first run's time.
  sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE);", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  if (!brenvik::OpenDatabase(dir, "spam.mdb")) Fail("cannot reopen " + dir + "spam.mdb");
  // Shows what a flush on every commit would cost (the layer's default
  // survives a crash of the process; FULL also a crash of the machine).
  if (const char* sync = std::getenv("BRENVIK_BENCH_SYNCHRONOUS"); sync && *sync) {
    brenvik::SQL_ErrorClearAll();
    brenvik::SQL_Stmt(3, std::string("PRAGMA synchronous=") + sync + ";");
    if (brenvik::SQL_ErrorNumber() != 0) Fail("PRAGMA refused: " + brenvik::SQL_ErrorText());
  }
}

// Decision `i` of a run: a quarter each of first attempts, retries of
// deferred senders, repeats of accepted senders and whitelisted senders.
// `base` keeps the runs of one database on keys of their own.
std::string MailLine(long i, long base, long rows) {
  const long n = base + i / 4;
  switch (i % 4) {
    case 0: return "MAIL FROM:<new" + std::to_string(n) + "@first.example>";
    case 1: return "MAIL FROM:<" + DeferredKey(n % std::max(rows / 2, 1L)) + ">";
    case 2: return "MAIL FROM:<" + AcceptedKey(n % std::max(rows / 2, 1L)) + ">";
    default: return "MAIL FROM:<user" + std::to_string(n) + "@white" + std::to_string(n % kWhitelistDomains) + ".example>";
  }
}

void RunGreylist(long rows, long decisions, int threads, long base) {
  std::atomic<long> next{0};
  std::atomic<long> accepted{0};
  const auto start = Clock::now();
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      for (long i = next++; i < decisions; i = next++)
        if (brenvik::CheckSender(MailLine(i, base, rows), kClientIp, false)) ++accepted;
    });
  }
  for (std::thread& t : pool) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("bench=greylist rows=%ld threads=%d decisions=%ld accepted=%ld seconds=%.4f rate=%.1f\n",
              rows, threads, decisions, accepted.load(), seconds, decisions / seconds);
  std::fflush(stdout);
}

void RunPurge(long rows) {
  const auto start = Clock::now();
  const int purged = brenvik::PurgeGreylist(kPurgeNow);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("bench=purge rows=%ld purged=%d seconds=%.4f\n", rows, purged, seconds);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) Fail("usage: greylist <folder> <rows> <decisions> <threads>... | purge <folder> <rows>");
  const std::string mode = argv[1];
  const fs::path folder = argv[2];
  const long rows = std::atol(argv[3]);
  brenvik::SQL_Initialize(2, 2, 150, 3, 3, 0, 0, 0);
  if (mode == "greylist" && argc >= 6) {
    CreateDatabase(folder, rows, 0);
    const long decisions = std::atol(argv[4]);
    const long base = Env("BRENVIK_BENCH_BASE") ? std::atol(Env("BRENVIK_BENCH_BASE")) : 0;
    for (int a = 5; a < argc; ++a) RunGreylist(rows, decisions, std::atoi(argv[a]), base + a * decisions);
  } else if (mode == "purge") {
    CreateDatabase(folder, rows, 1);  // every deferred row stale: half of all rows
    RunPurge(rows);
  } else {
    Fail("unknown mode " + mode);
  }
  brenvik::SQL_CloseDB();
  brenvik::SQL_Shutdown();
  fs::remove_all(folder);
  return 0;
}
