#pragma once
// Pieces of the SQL layer shared between its source files.
#include <libpq-fe.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "store/sql.h"

namespace brenvik::sql_internal {

// Default of the day-first layout option (-80).
inline constexpr std::string_view kDefaultDayFirstLayout = "dd.MM.yyyy";

// True when `layout` is a layout the translator can read (d, M, y runs and
// separators, day, month and year each exactly once).
bool IsUsableLayout(std::string_view layout);

// The engine behind the layer: the spam.mdb file or a PostgreSQL server.
enum class Engine { Sqlite, Postgres };

// One value taken out of a statement's shape.
struct Parameter {
  std::string text;      // the value, quotes removed
  bool integer = false;  // a number, bound as one on SQLite
};

// A translated statement twice: with its values embedded as literals, and
// as a shape whose values are parameters ("?" on SQLite, "$n" on the
// server), so that each shape is prepared once and its values bound.
struct Translation {
  std::string literal;              // the statement as the engine reads it
  std::string shape;                // empty when the statement is run only as `literal`
  std::vector<Parameter> values;    // one per parameter of `shape`, in order
};

// Translates one dialect statement with the given day-first layout.
bool Translate(std::string_view statement, std::string_view layout, Engine engine, std::string& out,
               std::string& error);
bool Translate(std::string_view statement, std::string_view layout, Engine engine, Translation& out,
               std::string& error);

// Registers AccessFormat(value, pattern), Year(value) and Month(value).
int RegisterAccessFunctions(sqlite3* db);

// Error numbers of the layer's own failures; SQLite's codes are offset by
// kSqliteErrorBase. None is 0 or 1, which callers read as success.
inline constexpr int kErrorDialect = 2;        // statement not translatable
inline constexpr int kErrorNoDatabase = 3;     // no database open
inline constexpr int kErrorTooManyRows = 4;    // result over kMaxRows
inline constexpr int kErrorNotOneStatement = 5;
inline constexpr int kErrorNoFileName = 6;     // connection string without DBQ=
inline constexpr int kErrorServer = 7;        // the server refused the statement
inline constexpr int kErrorUnreachable = 8;   // no connection to the server
inline constexpr int kSqliteErrorBase = 1000;

struct Cell {
  bool null = true;
  std::int64_t number = 0;  // integer view of a numeric value
  bool numeric = false;     // stored as INTEGER or REAL
  std::string text;
};

struct Result {
  std::vector<std::string> names;
  std::vector<std::vector<Cell>> rows;
  std::size_t next = 0;         // row the next fetch moves to
  const std::vector<Cell>* current = nullptr;
  bool eod = true;
};

inline constexpr std::size_t kMaxRows = 1000000;  // rows one statement may return
inline constexpr std::string_view kTooManyRows = "result has too many rows";

std::int64_t Clamp32(std::int64_t v);

// Shapes prepared on the open connection; emptied when it closes or is
// reset, and when it would grow past kMaxPrepared (a caller that builds
// ever new shapes costs preparing, never memory).
inline constexpr std::size_t kMaxPrepared = 64;

// One connection of the server pool. Only the statement that borrowed it
// (`busy`, set under the layer's lock) touches `conn` and `prepared`, and
// it does so outside the lock, so that statements of other threads run on
// other connections meanwhile.
struct ServerConnection {
  PGconn* conn = nullptr;                                  // null until first needed
  std::unordered_map<std::string, std::string> prepared;  // shape -> its name on `conn`
  unsigned long next_name = 0;                             // for the next shape
  std::string server;                                      // "host:port" it is connected to
  bool busy = false;                                       // lent to a statement
  std::thread::id pinned;                                  // thread with a transaction open on it
};
inline constexpr std::size_t kPoolSize = 4;  // connections per process at most

// The process's file connection or server pool and the options, all under
// `mutex` (a borrowed server connection itself excepted).
struct Layer {
  std::mutex mutex;
  Engine engine = Engine::Sqlite;
  sqlite3* db = nullptr;
  std::unordered_map<std::string, sqlite3_stmt*> prepared;  // shape -> statement on `db`
  std::string conninfo;                                     // of the open server
  std::vector<std::unique_ptr<ServerConnection>> pool;     // empty: no server open
  std::size_t pool_limit = kPoolSize;                      // lower once the server refused one more
  std::condition_variable pool_changed;                    // a connection came back or the pool closed
  bool server_reachable = true;  // as last told to the observer
  bool server_answering = true;  // as last told: no statement passed its deadline since
  bool writes_stalled = false;   // a write passed its deadline in this episode
  std::string server;            // "host:port" every connection of the pool is on
  std::vector<std::pair<SqlServerEvent, std::string>> events;  // for the observer, in order
  std::chrono::milliseconds statement_timeout{kDefaultStatementTimeoutMs};
  std::chrono::steady_clock::time_point next_reset{};  // earliest reconnect while unreachable
  SqlConnectionObserver observer;
  std::string day_first_layout{kDefaultDayFirstLayout};
  int busy_timeout_ms = 5000;
  // Counts changes of `engine` and `day_first_layout` (made under the lock),
  // so that a statement reads them without the lock while nothing changed.
  std::atomic<std::uint64_t> generation{0};
};
// Never destroyed: threads that outlive main may still call the layer.
Layer& TheLayer();

// Records an error for the calling thread.
void SetThreadError(int number, std::string text);

// The file named after "DBQ=" (case-insensitive) up to the next ';' or the
// end; "DBQ={...}" holds a name with ';' in it ("}}" for '}').
bool DatabaseFileOf(std::string_view connection_string, std::string& path);

// Opens `path` as the connection (layer mutex held). On failure records the
// error for the calling thread and leaves layer.db null. A database that
// cannot be written stays open for reading, with the error recorded.
void OpenLocked(Layer& layer, const std::string& path);

// PostgreSQL (layer mutex held by `lock`). Opening connects, sets the
// session up and creates the tables when none of them exists. Running
// borrows a connection and releases the lock while the statement runs; a
// lost connection is made again first. `changed` is set when reachability
// changed. Closing waits for borrowed connections to come back.
void OpenServerLocked(Layer& layer, const std::string& conninfo);
bool RunOnServer(Layer& layer, std::unique_lock<std::mutex>& lock, const Translation& statement, Result& out,
                 bool& changed);
void CloseServerLocked(Layer& layer, std::unique_lock<std::mutex>& lock);

// Waiting for the server with a deadline (sql_pg_wait.cpp).
using Deadline = std::chrono::steady_clock::time_point;
enum class Wait {
  Done,    // every result of the query is in
  Broken,  // the connection failed meanwhile
  Late,    // the deadline passed first
};
// Collects the results of the query just sent on `conn`; the last one in
// `result` (null when none came, or unless Done).
Wait AwaitResult(PGconn* conn, Deadline deadline, PGresult*& result);
// Asks the server to cancel what runs on `conn`, without waiting for its
// answer; the caller then closes the connection.
void CancelWithoutWaiting(PGconn* conn);

// One statement on one borrowed connection, outside the layer's lock.
enum class Reach { Answered, Lost, NotTried, Stalled };  // what it found out about the server
struct ServerOutcome {
  bool ok = false;
  Reach reach = Reach::NotTried;
  bool in_transaction = false;  // the connection is inside a transaction block now
  bool connected = false;       // the connection was made anew (its `server` is fresh)
  bool connect_tried = false;   // a connect attempt was made
  std::chrono::steady_clock::duration connecting{};  // time the attempts took
};
bool OpenConnection(ServerConnection& c, const std::string& conninfo, std::chrono::milliseconds timeout);
// Runs `statement`, waiting at most `allowed` for it (counted after a
// connect attempt, whose setup statements get `setup`); past it the
// statement is cancelled and the connection closed (Reach::Stalled).
ServerOutcome RunOnConnection(ServerConnection& c, const std::string& conninfo, bool may_connect,
                              std::chrono::nanoseconds allowed, std::chrono::milliseconds setup,
                              const Translation& statement, Result& out);
void CloseConnection(ServerConnection& c);

// The deadline of the calling thread's statements (layer mutex held).
extern thread_local std::chrono::milliseconds t_statement_timeout;  // 0: the layer's
// A deadline that several statements of the thread share (SqlSharedDeadline).
struct SharedDeadline {
  int depth = 0;                                // open scopes
  std::chrono::steady_clock::duration spent{};  // waiting for the server so far
  bool connect_tried = false;                   // its one connect attempt is used
};
extern thread_local SharedDeadline t_shared_deadline;
std::chrono::milliseconds StatementTimeout(const Layer& layer);
// Queues an event for the observer (layer mutex held).
void QueueEvent(Layer& layer, SqlServerEvent event, bool& changed);
// Tells the observer, outside the lock, the events queued when `changed`.
void Notify(Layer& layer, bool changed);

// Name under which the dialect's Format$ / Format is registered.
inline constexpr std::string_view kFormatFunction = "AccessFormat";

}  // namespace brenvik::sql_internal
