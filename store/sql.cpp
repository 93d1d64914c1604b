// The statement layer: a statement on the file runs to completion under the
// layer's lock, one on the server on a connection borrowed from its pool;
// either way its rows are copied into the calling thread's current result,
// so fetches never see another thread's rows and need no lock.
#include "store/sql.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "store/ascii_case.h"
#include "store/sql_internal.h"

namespace brenvik {
namespace {

using namespace sql_internal;

constexpr std::string_view kNoDatabase = "no database open";
constexpr std::string_view kNotOneStatement = "only one statement may be run at a time";

constexpr int kOptionDayFirstLayout = -80;

struct ThreadError {
  int number = 0;
  std::string text;
};

// The engine and layout this thread last read, and their generation.
struct ThreadView {
  std::uint64_t generation = ~std::uint64_t{0};
  Engine engine = Engine::Sqlite;
  std::string layout;
};

thread_local ThreadView t_view;
thread_local Result t_result;
thread_local ThreadError t_error;

Cell ReadCell(sqlite3_stmt* st, int i) {
  Cell c;
  int type = sqlite3_column_type(st, i);
  if (type == SQLITE_NULL) return c;
  c.null = false;
  if (type == SQLITE_INTEGER) {
    c.numeric = true;
    c.number = Clamp32(sqlite3_column_int64(st, i));
  } else if (type == SQLITE_FLOAT) {
    double d = sqlite3_column_double(st, i);
    c.numeric = true;
    c.number = std::isnan(d) ? 0 : d >= 2147483647.0 ? 2147483647 : d <= -2147483648.0 ? -2147483648LL
                                                                     : static_cast<std::int64_t>(d);
  }
  const unsigned char* text = sqlite3_column_text(st, i);
  if (text != nullptr) c.text.assign(reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_column_bytes(st, i)));
  return c;
}

// The part after the first statement holds nothing but blanks and ';'.
bool OnlyOneStatement(const char* tail) {
  for (; tail != nullptr && *tail != '\0'; ++tail)
    if (*tail != ';' && *tail != ' ' && *tail != '\t' && *tail != '\r' && *tail != '\n') return false;
  return true;
}

void RecordError(sqlite3* db) { SetThreadError(kSqliteErrorBase + sqlite3_extended_errcode(db), sqlite3_errmsg(db)); }

// Steps `st` to its end, its rows into `out`; leaves it reset, so that it
// holds no read transaction open.
bool StepRows(sqlite3* db, sqlite3_stmt* st, Result& out) {
  const int columns = sqlite3_column_count(st);
  for (int i = 0; i < columns; ++i) {
    const char* name = sqlite3_column_name(st, i);
    out.names.emplace_back(name != nullptr ? name : "");
  }
  int rc = SQLITE_OK;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    if (out.rows.size() >= kMaxRows) break;
    std::vector<Cell> row;
    row.reserve(static_cast<std::size_t>(columns));
    for (int i = 0; i < columns; ++i) row.push_back(ReadCell(st, i));
    out.rows.push_back(std::move(row));
  }
  const bool ok = rc == SQLITE_DONE;
  if (rc == SQLITE_ROW)
    SetThreadError(kErrorTooManyRows, std::string(kTooManyRows));
  else if (!ok)
    RecordError(db);
  sqlite3_reset(st);
  return ok;
}

// Prepares one statement; false with the error recorded (`st` null).
bool PrepareOne(sqlite3* db, const std::string& sql, sqlite3_stmt*& st) {
  const char* tail = nullptr;
  st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &st, &tail) != SQLITE_OK) {
    RecordError(db);
    return false;
  }
  if (OnlyOneStatement(tail)) return true;
  sqlite3_finalize(st);
  st = nullptr;
  SetThreadError(kErrorNotOneStatement, std::string(kNotOneStatement));
  return false;
}

// Runs the statement with its values embedded, prepared for this run only.
bool RunLiteral(sqlite3* db, const std::string& sql, Result& out) {
  sqlite3_stmt* st = nullptr;
  if (!PrepareOne(db, sql, st)) return false;
  if (st == nullptr) return true;  // nothing but blanks
  const bool ok = StepRows(db, st, out);
  sqlite3_finalize(st);
  return ok;
}

void ForgetPrepared(Layer& layer) {
  for (auto& [shape, st] : layer.prepared) sqlite3_finalize(st);
  layer.prepared.clear();
}

// The shape's statement, prepared on first use; null when it does not
// prepare or does not take exactly the shape's values.
sqlite3_stmt* PreparedShape(Layer& layer, const Translation& tr) {
  auto found = layer.prepared.find(tr.shape);
  if (found != layer.prepared.end()) return found->second;
  sqlite3_stmt* st = nullptr;
  if (!PrepareOne(layer.db, tr.shape, st) ||
      sqlite3_bind_parameter_count(st) != static_cast<int>(tr.values.size())) {
    sqlite3_finalize(st);
    return nullptr;
  }
  if (layer.prepared.size() >= kMaxPrepared) ForgetPrepared(layer);
  layer.prepared.emplace(tr.shape, st);
  return st;
}

bool Bind(sqlite3_stmt* st, const std::vector<Parameter>& values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    const int at = static_cast<int>(i + 1);
    const Parameter& v = values[i];
    const int rc = v.integer ? sqlite3_bind_int64(st, at, std::strtoll(v.text.c_str(), nullptr, 10))
                             : sqlite3_bind_text(st, at, v.text.data(), static_cast<int>(v.text.size()),
                                                 SQLITE_STATIC);
    if (rc != SQLITE_OK) return false;
  }
  return true;
}

// The shape with its values bound; a statement whose shape does not
// prepare runs as its literal text, which then also gives the error.
bool RunSqliteLocked(Layer& layer, const Translation& tr, Result& out) {
  sqlite3_stmt* st = tr.shape.empty() ? nullptr : PreparedShape(layer, tr);
  if (st == nullptr) {
    SetThreadError(0, {});
    return RunLiteral(layer.db, tr.literal, out);
  }
  const bool bound = Bind(st, tr.values);
  const bool ok = bound && StepRows(layer.db, st, out);
  if (!bound) RecordError(layer.db);
  sqlite3_clear_bindings(st);  // the bound texts belong to the caller's translation
  return ok;
}

void CloseLocked(Layer& layer, std::unique_lock<std::mutex>& lock) {
  ForgetPrepared(layer);
  if (layer.db != nullptr) sqlite3_close_v2(layer.db);
  layer.db = nullptr;
  CloseServerLocked(layer, lock);
  layer.engine = Engine::Sqlite;
  ++layer.generation;
}

bool OpenLocked(const Layer& layer) { return layer.db != nullptr || !layer.pool.empty(); }

// Runs `tr` on whichever engine is open (layer mutex held by `lock`).
bool RunOnEngine(Layer& layer, std::unique_lock<std::mutex>& lock, const Translation& tr, Result& out,
                 bool& changed) {
  if (layer.engine == Engine::Postgres) return RunOnServer(layer, lock, tr, out, changed);
  return RunSqliteLocked(layer, tr, out);
}

const Cell* CurrentCell(int column) {
  if (t_result.current == nullptr || column < 1 || static_cast<std::size_t>(column) > t_result.current->size())
    return nullptr;
  return &(*t_result.current)[static_cast<std::size_t>(column - 1)];
}

}  // namespace

namespace sql_internal {

std::int64_t Clamp32(std::int64_t v) {
  constexpr std::int64_t lo = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t hi = std::numeric_limits<std::int32_t>::max();
  return v < lo ? lo : v > hi ? hi : v;
}

Layer& TheLayer() {
  static auto* layer = new Layer;
  return *layer;
}

void QueueEvent(Layer& layer, SqlServerEvent event, bool& changed) {
  layer.events.emplace_back(event, layer.server);
  changed = true;
}

// Tells the observer outside the lock, so that it may report freely.
void Notify(Layer& layer, bool changed) {
  if (!changed) return;
  SqlConnectionObserver observer;
  std::vector<std::pair<SqlServerEvent, std::string>> events;
  {
    std::lock_guard<std::mutex> lock(layer.mutex);
    observer = layer.observer;
    events.swap(layer.events);
  }
  if (!observer) return;
  for (const auto& [event, server] : events) observer(event, server);
}

void SetThreadError(int number, std::string text) {
  t_error.number = number;
  t_error.text = std::move(text);
}

thread_local std::chrono::milliseconds t_statement_timeout{0};
thread_local SharedDeadline t_shared_deadline;

std::chrono::milliseconds StatementTimeout(const Layer& layer) {
  return t_statement_timeout.count() > 0 ? t_statement_timeout : layer.statement_timeout;
}

}  // namespace sql_internal

void SQL_Initialize(int, int, int, int, int, int, int, int) { sqlite3_initialize(); }

void SQL_SetOptionSInt(int, int) {}  // the numeric options mean nothing to SQLite

void SQL_SetOptionStr(int option, std::string_view value) {
  if (option != kOptionDayFirstLayout || !IsUsableLayout(value)) return;
  Layer& layer = TheLayer();
  std::lock_guard<std::mutex> lock(layer.mutex);
  layer.day_first_layout = std::string(value);
  ++layer.generation;
}

void SetSqlBusyTimeout(int milliseconds) {
  Layer& layer = TheLayer();
  std::lock_guard<std::mutex> lock(layer.mutex);
  layer.busy_timeout_ms = milliseconds < 0 ? 0 : milliseconds;
  if (layer.db != nullptr) sqlite3_busy_timeout(layer.db, layer.busy_timeout_ms);
}

SqlSharedDeadline::SqlSharedDeadline() {
  if (sql_internal::t_shared_deadline.depth++ == 0) sql_internal::t_shared_deadline = {1, {}, false};
}

SqlSharedDeadline::~SqlSharedDeadline() { --sql_internal::t_shared_deadline.depth; }

std::chrono::steady_clock::duration SqlSharedDeadline::Left() {
  Layer& layer = TheLayer();
  std::chrono::milliseconds timeout;
  {
    std::lock_guard<std::mutex> lock(layer.mutex);
    timeout = StatementTimeout(layer);
  }
  const auto& shared = sql_internal::t_shared_deadline;
  return shared.depth == 0 ? timeout : std::max<std::chrono::steady_clock::duration>(timeout - shared.spent, {});
}

void SqlSharedDeadline::Spend(std::chrono::steady_clock::duration waited) {
  if (sql_internal::t_shared_deadline.depth > 0) sql_internal::t_shared_deadline.spent += waited;
}

void SetSqlThreadStatementTimeout(int milliseconds) {
  sql_internal::t_statement_timeout = std::chrono::milliseconds(milliseconds > 0 ? milliseconds : 0);
}

void SetSqlStatementTimeout(int milliseconds) {
  Layer& layer = TheLayer();
  std::lock_guard<std::mutex> lock(layer.mutex);
  layer.statement_timeout = std::chrono::milliseconds(milliseconds > 0 ? milliseconds : kDefaultStatementTimeoutMs);
}

void SQL_ErrorClearAll() { t_error = ThreadError{}; }

void SQL_OpenDB(std::string_view connection_string) {
  t_error = ThreadError{};
  std::string path;
  if (!DatabaseFileOf(connection_string, path)) {
    SetThreadError(kErrorNoFileName, "connection string names no database file (DBQ=)");
    return;
  }
  Layer& layer = TheLayer();
  std::unique_lock<std::mutex> lock(layer.mutex);
  CloseLocked(layer, lock);
  OpenLocked(layer, path);
}

void SQL_OpenServer(std::string_view conninfo) {
  t_error = ThreadError{};
  Layer& layer = TheLayer();
  std::unique_lock<std::mutex> lock(layer.mutex);
  CloseLocked(layer, lock);
  OpenServerLocked(layer, std::string(conninfo));
}

void SetSqlConnectionObserver(SqlConnectionObserver observer) {
  Layer& layer = TheLayer();
  std::lock_guard<std::mutex> lock(layer.mutex);
  layer.observer = std::move(observer);
}

int SQL_ErrorNumber() { return t_error.number; }
std::string SQL_ErrorText() { return t_error.text; }

void SQL_Stmt(int, std::string_view statement) {
  t_error = ThreadError{};
  t_result = Result{};
  Layer& layer = TheLayer();
  Result fresh;
  bool ok = false, changed = false;
  // Translated outside the lock, so that other threads' statements run
  // meanwhile; again inside only if the engine changed in between.
  if (t_view.generation != layer.generation.load()) {
    std::lock_guard<std::mutex> lock(layer.mutex);
    t_view = ThreadView{layer.generation.load(), layer.engine, layer.day_first_layout};
  }
  Translation tr;
  std::string why;
  bool translated = Translate(statement, t_view.layout, t_view.engine, tr, why);
  {
    std::unique_lock<std::mutex> lock(layer.mutex);
    if (t_view.generation != layer.generation.load())
      translated = Translate(statement, layer.day_first_layout, layer.engine, tr, why);
    if (!OpenLocked(layer))
      SetThreadError(kErrorNoDatabase, std::string(kNoDatabase));
    else if (!translated)
      SetThreadError(kErrorDialect, why);
    else
      ok = RunOnEngine(layer, lock, tr, fresh, changed);
  }
  Notify(layer, changed);
  if (!ok) return;  // empty result, end of data
  t_result = std::move(fresh);
  t_result.eod = false;
}

void SQL_Fetch(int) {
  Result& r = t_result;
  if (r.next < r.rows.size()) {
    r.current = &r.rows[r.next++];
    r.eod = false;
  } else {
    r.current = nullptr;
    r.eod = true;
  }
}

int SQL_Eod() { return t_result.eod ? 1 : 0; }

int SQL_ResColNumber(std::string_view name) {
  for (std::size_t i = 0; i < t_result.names.size(); ++i)
    if (SameIgnoringCase(t_result.names[i], name)) return static_cast<int>(i + 1);
  return 0;
}

std::string SQL_ResColText(int column) {
  const Cell* c = CurrentCell(column);
  return c == nullptr ? std::string() : c->text;
}

bool SQL_ResColIsText(int column) {
  const Cell* c = CurrentCell(column);
  return c != nullptr && !c->null && !c->numeric;
}

std::int32_t SQL_ResColSInt(int column) {
  const Cell* c = CurrentCell(column);
  if (c == nullptr || c->null) return 0;
  if (c->numeric) return static_cast<std::int32_t>(c->number);
  const char* s = c->text.c_str();
  char* end = nullptr;
  long long v = std::strtoll(s, &end, 10);
  return end == s ? 0 : static_cast<std::int32_t>(Clamp32(v));
}

void SQL_CloseDB() {
  Layer& layer = TheLayer();
  std::unique_lock<std::mutex> lock(layer.mutex);
  CloseLocked(layer, lock);
}

void SQL_Shutdown() { SQL_CloseDB(); }

namespace {
std::string CurrentLayout() {
  Layer& layer = TheLayer();
  std::lock_guard<std::mutex> lock(layer.mutex);
  return layer.day_first_layout;
}
}  // namespace

bool TranslateAccessSql(std::string_view statement, std::string& sqlite, std::string& error) {
  return Translate(statement, CurrentLayout(), Engine::Sqlite, sqlite, error);
}

bool TranslateAccessSqlForServer(std::string_view statement, std::string& out, std::string& error) {
  return Translate(statement, CurrentLayout(), Engine::Postgres, out, error);
}

}  // namespace brenvik
