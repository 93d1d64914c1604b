#pragma once
// The SQL statement layer: one connection per process to the SQLite file,
// or a pool of a few to a PostgreSQL server; one current result per thread. Statements are
// written in the Access dialect the programs use and translated for the
// engine before it sees them.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace brenvik {

// Once per process, before any other call. Arguments are accepted and kept
// for compatibility; they do not change behaviour.
void SQL_Initialize(int a, int b, int c, int d, int e, int f, int g, int h);
void SQL_SetOptionSInt(int option, int value);
// Option -80 sets the day-first date layout of quoted date texts.
void SQL_SetOptionStr(int option, std::string_view value);
// Clears the calling thread's recorded error.
void SQL_ErrorClearAll();
// Opens the file named after "DBQ=" in the connection string (up to the next
// ';' or the end). Creates the four tables in a missing or empty file. The
// outcome is read with SQL_ErrorNumber: 0 = opened; 1008 (read-only) leaves
// a file that cannot be written open for reading.
void SQL_OpenDB(std::string_view connection_string);
// Opens a PostgreSQL database instead: `conninfo` is a libpq connection
// string or URI. Creates the four tables when none of them exists; an
// existing database is used as it is. Outcome as for SQL_OpenDB.
void SQL_OpenServer(std::string_view conninfo);
// What statements found out about the server, each told once per change.
enum class SqlServerEvent {
  Unreachable,     // no connection could be made
  Reachable,       // connected again after Unreachable
  NotAnswering,    // a statement or a wait for a connection passed its deadline
  AnsweringAgain,  // a statement was answered after NotAnswering
  Followed,        // a new connection reached another server; the pool follows it
};
// Called on the statement's thread, outside the layer's lock, with the
// server ("host:port") the event is about where known. An empty function
// removes it.
using SqlConnectionObserver = std::function<void(SqlServerEvent event, const std::string& server)>;
void SetSqlConnectionObserver(SqlConnectionObserver observer);
// Deadline of every server statement and of every wait for a pool
// connection (DatabaseTimeout, default 2000 ms). A statement past it is
// cancelled, its connection dropped, and it fails like any failed statement.
void SetSqlStatementTimeout(int milliseconds);
inline constexpr int kDefaultStatementTimeoutMs = 2000;
// A deadline of the calling thread's own, over the one above (0: none): the
// hourly purge and a copy into the server may rightly take longer than a
// session's decision should ever wait.
void SetSqlThreadStatementTimeout(int milliseconds);
// While one lives, the calling thread's server statements share one
// deadline: together they wait at most the statement timeout, plus at most
// one connect attempt (a MAIL decision with its several statements). Scopes
// nest; the outermost counts.
class SqlSharedDeadline {
 public:
  SqlSharedDeadline();
  ~SqlSharedDeadline();
  // What the calling thread may still wait (the statement timeout outside a
  // scope), and time it waited for something the database holds (a key
  // another session is deciding), to be counted like waiting for the server.
  static std::chrono::steady_clock::duration Left();
  static void Spend(std::chrono::steady_clock::duration waited);
  SqlSharedDeadline(const SqlSharedDeadline&) = delete;
  SqlSharedDeadline& operator=(const SqlSharedDeadline&) = delete;
};
// Claims a named job slot ("purge 12-08-2026 7") for this process: on
// PostgreSQL only the first of all processes sharing the database gets it;
// on SQLite it is always Claimed, one process owning the file.
enum class SlotClaim {
  Claimed,      // this process runs the job
  HeldByOther,  // another process claimed it first
  Failed,       // the database did not answer: worth trying again
};
SlotClaim SQL_ClaimSlot(std::string_view slot);
// SQL_ErrorNumber after an open of a database that can be read, not written.
inline constexpr int kSqlErrorReadOnly = 1008;
// Last error of the calling thread: 0 none; otherwise a number > 1 (SQLite's
// own codes + 1000, the layer's own 2..8; 7 a statement the server refused, 8 no
// connection to the server). SQL_OpenDB and SQL_Stmt reset it
// first, so it always describes the calling thread's latest operation.
int SQL_ErrorNumber();
std::string SQL_ErrorText();
// Runs the statement at once (mode 3); its rows become the calling thread's
// current result. One statement per call: a text holding a second one fails.
// Quoted texts exactly in the day-first layout (with an optional
// " hh:mm:ss") are stored as ISO text, "YYYY-MM-DD[ HH:MM:SS]". A failed statement leaves an empty result (SQL_Eod
// non-zero after the first fetch) and records the error for this thread.
void SQL_Stmt(int mode, std::string_view statement);
// Moves to the next row of the current result (argument 0).
void SQL_Fetch(int how);
// Non-zero when the last fetch found no row (also after a failed statement).
int SQL_Eod();
// 1-based number of the named column or alias (case-insensitive); 0 if none.
int SQL_ResColNumber(std::string_view name);
// Current row's column as text; "" for null or an invalid column.
std::string SQL_ResColText(int column);
// True when the current row's column holds a text (not null, not a number).
bool SQL_ResColIsText(int column);
// Current row's column as int32; 0 for null, non-numeric or invalid.
std::int32_t SQL_ResColSInt(int column);
void SQL_CloseDB();
// How long a statement waits for another process's write lock before it
// fails (default 5000 ms); tests shorten it.
void SetSqlBusyTimeout(int milliseconds);
void SQL_Shutdown();

// The SQLite text a dialect statement is translated to (exposed for tests).
// Returns false, with a reason in `error`, when the statement cannot be
// translated; it is then not run.
bool TranslateAccessSql(std::string_view statement, std::string& sqlite, std::string& error);
// The same for PostgreSQL.
bool TranslateAccessSqlForServer(std::string_view statement, std::string& out, std::string& error);

}  // namespace brenvik
