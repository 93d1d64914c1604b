// One PostgreSQL connection through libpq: its session, the schema, and a
// statement on it, made again when it was lost.
#include <chrono>
#include <cmath>
#include <cstdlib>

#include "store/sql_internal.h"

namespace brenvik::sql_internal {
namespace {

// Byte-transparent like the SQLite file: every byte a caller stores comes
// back as it was, whatever the server's encoding. Values are embedded
// quoted, so a backslash must be an ordinary character.
constexpr const char* kClientEncoding = "LATIN1";
constexpr const char* kSessionSetup =
    "SET standard_conforming_strings = on; SET DateStyle = 'ISO, YMD'; SET IntervalStyle = 'postgres';";

// One gateway creates the schema while the others wait for it.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7274839150224510001);";
constexpr const char* kCountTables =
    "SELECT count(*) FROM information_schema.tables WHERE table_schema = current_schema()"
    " AND table_name IN ('spamsystem', 'liste', 'logtable', 'statistik');";
// Email and what compare without case in ASCII letters only (as NOCASE in
// the file): statements compare upper(col COLLATE "C"), which the indexes
// are built on; see the translator.
constexpr const char* kSchema =
    "CREATE TABLE SpamSystem (what text, Typ integer);"
    "CREATE TABLE Liste (Email text, WieOft integer, IpAdresse text, LastEdit timestamp(0),"
    " FirstMail timestamp(0), SecondMail timestamp(0), SenderBadMail integer);"
    "CREATE TABLE LogTable (Email text, Logtext text, Ip text, Timestmp timestamp(0));"
    "CREATE TABLE Statistik (SpamCount integer, SpamDate date);"
    "CREATE UNIQUE INDEX ListeEmail ON Liste (upper(Email COLLATE \"C\"));"
    "CREATE INDEX ListePurge ON Liste (WieOft, LastEdit);"
    "CREATE INDEX SpamSystemTyp ON SpamSystem (Typ);"
    "CREATE INDEX SpamSystemWhat ON SpamSystem (upper(what COLLATE \"C\"));"
    "CREATE INDEX StatistikDate ON Statistik (SpamDate);";
// Databases made by earlier versions used citext, which folds by the
// database's locale (Latin-1 letters too). Rows equal under citext are equal
// in ASCII as well, so the unique index always builds again.
constexpr const char* kCountCitext =
    "SELECT count(*) FROM information_schema.columns WHERE table_schema = current_schema()"
    " AND table_name IN ('spamsystem', 'liste', 'logtable') AND udt_name = 'citext';";
constexpr const char* kFromCitext =
    "DROP INDEX IF EXISTS ListeEmail; DROP INDEX IF EXISTS SpamSystemWhat;"
    "ALTER TABLE Liste ALTER COLUMN Email TYPE text;"
    "ALTER TABLE SpamSystem ALTER COLUMN what TYPE text;"
    "ALTER TABLE LogTable ALTER COLUMN Email TYPE text;"
    "CREATE UNIQUE INDEX ListeEmail ON Liste (upper(Email COLLATE \"C\"));"
    "CREATE INDEX SpamSystemWhat ON SpamSystem (upper(what COLLATE \"C\"));";
constexpr std::string_view kFromCitextFailed =
    "the tables use citext from an earlier version and could not be changed; as the tables' owner run: ";
// Job slots that several gateways share; kept a week.
constexpr const char* kSlotTable =
    "CREATE TABLE IF NOT EXISTS JobSlot (Slot text PRIMARY KEY, Claimed timestamp(0) DEFAULT now());";

constexpr std::string_view kUnreachable = "database server unreachable: ";
constexpr std::string_view kNotAnswering = "database server not answering within the deadline";
constexpr std::chrono::seconds kSchemaTimeout{120};
constexpr std::string_view kBadConninfo = "DatabaseServer is no connection string: ";
constexpr std::string_view kPasswordGiven =
    "DatabaseServer carries a password; the registry file is no place for one: use ~/.pgpass or PGPASSFILE";

// PostgreSQL's type numbers of the integer and floating point types.
constexpr Oid kInt8 = 20, kInt2 = 21, kInt4 = 23, kFloat4 = 700, kFloat8 = 701, kNumeric = 1700;

// Notices ("already exists, skipping") are no events of the gateway.
void IgnoreNotice(void*, const char*) {}

std::string ConnectionError(PGconn* conn) {
  std::string text = conn != nullptr ? PQerrorMessage(conn) : "out of memory";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// A query of the simple protocol (several statements allowed) and its last
// result, awaited until `deadline`; null with the error recorded.
PGresult* Query(PGconn* conn, const char* sql, Deadline deadline) {
  PGresult* res = nullptr;
  const Wait wait = PQsendQuery(conn, sql) == 1 ? AwaitResult(conn, deadline, res) : Wait::Broken;
  if (wait == Wait::Late) SetThreadError(kErrorUnreachable, std::string(kNotAnswering));
  else if (wait == Wait::Broken) SetThreadError(kErrorUnreachable, std::string(kUnreachable) + ConnectionError(conn));
  return res;
}

// Runs setup statements; false with the error recorded.
bool Exec(PGconn* conn, const char* sql, Deadline deadline) {
  PGresult* res = Query(conn, sql, deadline);
  if (res == nullptr) return false;
  ExecStatusType status = PQresultStatus(res);
  bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  if (!ok) SetThreadError(kErrorServer, PQresultErrorMessage(res));
  PQclear(res);
  return ok;
}

bool SetUpSession(PGconn* conn, Deadline deadline) {
  if (PQsetClientEncoding(conn, kClientEncoding) != 0) {
    SetThreadError(kErrorServer, ConnectionError(conn));
    return false;
  }
  return Exec(conn, kSessionSetup, deadline);
}

// The first value of a one-row query; -1 with the error recorded.
long long CountOf(PGconn* conn, const char* sql, Deadline deadline) {
  PGresult* res = Query(conn, sql, deadline);
  if (res == nullptr) return -1;
  long long count = -1;
  if (PQresultStatus(res) == PGRES_TUPLES_OK && PQntuples(res) == 1) count = std::atoll(PQgetvalue(res, 0, 0));
  else SetThreadError(kErrorServer, PQresultErrorMessage(res));
  PQclear(res);
  return count;
}

bool ConvertFromCitext(PGconn* conn, Deadline deadline) {
  if (Exec(conn, kFromCitext, deadline)) return true;
  SetThreadError(kErrorServer, std::string(kFromCitextFailed) + kFromCitext);
  return false;
}

// Waits for another gateway making the schema, and may convert a large
// greylist: a deadline of its own.
bool CreateSchemaIfMissing(PGconn* conn) {
  const Deadline deadline = std::chrono::steady_clock::now() + kSchemaTimeout;
  if (!Exec(conn, "BEGIN;", deadline)) return false;
  bool ok = Exec(conn, kSchemaLock, deadline);
  const long long tables = ok ? CountOf(conn, kCountTables, deadline) : -1;
  ok = tables >= 0;
  if (ok && tables == 0) ok = Exec(conn, kSchema, deadline);
  if (ok && tables > 0) {
    const long long citext = CountOf(conn, kCountCitext, deadline);
    ok = citext >= 0 && (citext == 0 || ConvertFromCitext(conn, deadline));
  }
  if (ok && Exec(conn, "COMMIT;", deadline)) {
    // A database made by hand may lack it and forbid creating it: its
    // claims then fail and the jobs wait, which is no reason to refuse.
    PQclear(Query(conn, kSlotTable, deadline));
    return true;
  }
  PQclear(Query(conn, "ROLLBACK;", deadline));
  return false;
}

// Defaults the administrator's connection string may override: a server
// host that does not answer must not hold every session for minutes.
PGconn* Connect(const std::string& conninfo) {
  const char* keys[] = {"connect_timeout", "tcp_user_timeout", "dbname", nullptr};
  const char* values[] = {"5", "10000", conninfo.c_str(), nullptr};
  return PQconnectdbParams(keys, values, 1);
}

Cell ReadCell(const PGresult* res, int row, int column) {
  Cell c;
  if (PQgetisnull(res, row, column)) return c;
  c.null = false;
  c.text.assign(PQgetvalue(res, row, column), static_cast<std::size_t>(PQgetlength(res, row, column)));
  Oid type = PQftype(res, column);
  if (type == kInt2 || type == kInt4 || type == kInt8) {
    c.numeric = true;
    c.number = Clamp32(std::strtoll(c.text.c_str(), nullptr, 10));
  } else if (type == kFloat4 || type == kFloat8 || type == kNumeric) {
    double d = std::strtod(c.text.c_str(), nullptr);
    c.numeric = true;
    c.number = std::isnan(d) ? 0 : d >= 2147483647.0 ? 2147483647 : d <= -2147483648.0 ? -2147483648LL
                                                                     : static_cast<std::int64_t>(d);
  }
  return c;
}

void CopyRows(const PGresult* res, Result& out) {
  const int columns = PQnfields(res);
  for (int i = 0; i < columns; ++i) out.names.emplace_back(PQfname(res, i));
  const int rows = PQntuples(res);
  for (int r = 0; r < rows && out.rows.size() < kMaxRows; ++r) {
    std::vector<Cell> row;
    row.reserve(static_cast<std::size_t>(columns));
    for (int i = 0; i < columns; ++i) row.push_back(ReadCell(res, r, i));
    out.rows.push_back(std::move(row));
  }
}

// The settings file is readable by more than the service: a password in the
// connection string is refused, not used.
bool AcceptableConninfo(const std::string& conninfo) {
  char* why = nullptr;
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &why);
  if (options == nullptr) {
    SetThreadError(kErrorUnreachable, std::string(kBadConninfo) + (why != nullptr ? why : "out of memory"));
    PQfreemem(why);
    return false;
  }
  bool password = false;
  for (PQconninfoOption* o = options; o->keyword != nullptr; ++o)
    if (std::string_view(o->keyword) == "password" && o->val != nullptr && *o->val != '\0') password = true;
  PQconninfoFree(options);
  if (password) SetThreadError(kErrorUnreachable, std::string(kPasswordGiven));
  return !password;
}

void RecordUnreachable(PGconn* conn) {
  SetThreadError(kErrorUnreachable, std::string(kUnreachable) + ConnectionError(conn));
}

// Takes the outcome of a statement; false with the error recorded.
bool TakeResult(PGconn* conn, PGresult* res, Result& out) {
  ExecStatusType status = PQresultStatus(res);
  bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_EMPTY_QUERY;
  if (ok) {
    CopyRows(res, out);
    if (PQntuples(res) > static_cast<int>(kMaxRows)) {
      SetThreadError(kErrorTooManyRows, std::string(kTooManyRows));
      ok = false;
    }
  } else if (PQstatus(conn) != CONNECTION_OK) {
    RecordUnreachable(conn);
  } else {
    SetThreadError(kErrorServer, PQresultErrorMessage(res));
  }
  PQclear(res);
  return ok;
}

// The outcome of the query just sent (`sent` false: it could not be).
bool Finish(ServerConnection& c, bool sent, Deadline deadline, Result& out, bool& late) {
  PGresult* res = nullptr;
  const Wait wait = sent ? AwaitResult(c.conn, deadline, res) : Wait::Broken;
  if (wait == Wait::Late) {
    late = true;
    SetThreadError(kErrorUnreachable, std::string(kNotAnswering));
    return false;
  }
  if (wait == Wait::Broken || res == nullptr) {
    PQclear(res);
    RecordUnreachable(c.conn);
    return false;
  }
  return TakeResult(c.conn, res, out);
}

// The name of the shape's statement on the connection, prepared on first
// use; "" when it does not prepare (the connection may then be gone too).
std::string PreparedShape(ServerConnection& c, const Translation& tr, Deadline deadline, bool& late) {
  auto found = c.prepared.find(tr.shape);
  if (found != c.prepared.end()) return found->second;
  Result ignored;
  if (c.prepared.size() >= kMaxPrepared) {
    if (!Finish(c, PQsendQuery(c.conn, "DEALLOCATE ALL;") == 1, deadline, ignored, late)) return {};
    c.prepared.clear();
  }
  std::string name = "brenvik_" + std::to_string(++c.next_name);
  const bool sent =
      PQsendPrepare(c.conn, name.c_str(), tr.shape.c_str(), static_cast<int>(tr.values.size()), nullptr) == 1;
  if (!Finish(c, sent, deadline, ignored, late)) return {};
  c.prepared.emplace(tr.shape, name);
  return name;
}

// Shapes are prepared only outside a transaction: a shape the server
// refuses would otherwise abort the caller's transaction before its
// literal text could run.
bool Execute(ServerConnection& c, const Translation& tr, Deadline deadline, Result& out, bool& late) {
  std::string name;
  if (!tr.shape.empty() && PQtransactionStatus(c.conn) == PQTRANS_IDLE) name = PreparedShape(c, tr, deadline, late);
  if (late) return false;
  if (PQstatus(c.conn) != CONNECTION_OK) {
    RecordUnreachable(c.conn);
    return false;
  }
  if (name.empty()) {  // the extended protocol runs exactly one statement per text
    const bool sent = PQsendQueryParams(c.conn, tr.literal.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) == 1;
    return Finish(c, sent, deadline, out, late);
  }
  std::vector<const char*> values;
  values.reserve(tr.values.size());
  for (const Parameter& v : tr.values) values.push_back(v.text.c_str());
  const bool sent =
      PQsendQueryPrepared(c.conn, name.c_str(), static_cast<int>(values.size()), values.data(), nullptr, nullptr, 0) == 1;
  return Finish(c, sent, deadline, out, late);
}

// "host:port" of the server the connection reached (of a list, the one
// libpq settled on).
std::string ServerOf(PGconn* conn) {
  const char* host = PQhost(conn);
  const char* port = PQport(conn);
  return std::string(host != nullptr ? host : "") + ":" + (port != nullptr ? port : "");
}

}  // namespace

// A new session knows none of the shapes; false with the error recorded.
bool OpenConnection(ServerConnection& c, const std::string& conninfo, std::chrono::milliseconds timeout) {
  c.prepared.clear();
  if (c.conn != nullptr) {
    PQreset(c.conn);
  } else {
    c.conn = Connect(conninfo);
    if (c.conn != nullptr) PQsetNoticeProcessor(c.conn, IgnoreNotice, nullptr);
  }
  if (PQstatus(c.conn) == CONNECTION_OK && SetUpSession(c.conn, std::chrono::steady_clock::now() + timeout)) {
    c.server = ServerOf(c.conn);
    return true;
  }
  RecordUnreachable(c.conn);
  return false;
}

namespace {

// A connect attempt, its time kept apart from the statement's deadline.
bool TimedOpen(ServerConnection& c, const std::string& conninfo, std::chrono::milliseconds setup,
               ServerOutcome& outcome) {
  const auto start = std::chrono::steady_clock::now();
  const bool opened = OpenConnection(c, conninfo, setup);
  outcome.connecting += std::chrono::steady_clock::now() - start;
  outcome.connect_tried = true;
  return opened;
}

}  // namespace

// A connection that broke since its last use (the server restarted) is made
// again at once: the statement still fails, but the server counts as
// reachable. While it is not, `may_connect` spaces the attempts. A statement
// past its deadline (`allowed`, counted after a connect attempt) is
// cancelled and its connection closed.
ServerOutcome RunOnConnection(ServerConnection& c, const std::string& conninfo, bool may_connect,
                              std::chrono::nanoseconds allowed, std::chrono::milliseconds setup,
                              const Translation& tr, Result& out) {
  ServerOutcome outcome;
  bool reached = false;
  if (c.conn == nullptr || PQstatus(c.conn) != CONNECTION_OK) {
    if (!may_connect) {
      RecordUnreachable(c.conn);
      return outcome;  // NotTried
    }
    if (!TimedOpen(c, conninfo, setup, outcome)) return outcome.reach = Reach::Lost, outcome;
    reached = outcome.connected = true;
    may_connect = false;  // one attempt per statement
  }
  bool late = false;
  outcome.ok = Execute(c, tr, std::chrono::steady_clock::now() + allowed, out, late);
  if (late) {
    CancelWithoutWaiting(c.conn);
    CloseConnection(c);
    return outcome.reach = Reach::Stalled, outcome;
  }
  outcome.in_transaction = PQtransactionStatus(c.conn) != PQTRANS_IDLE;
  if (outcome.ok || PQstatus(c.conn) == CONNECTION_OK) return outcome.reach = Reach::Answered, outcome;
  outcome.in_transaction = false;
  // Only a failed attempt to connect says that the server is away.
  if (!may_connect) return outcome.reach = reached ? Reach::Answered : Reach::NotTried, outcome;
  const int number = SQL_ErrorNumber();
  const std::string why = SQL_ErrorText();
  outcome.connected = TimedOpen(c, conninfo, setup, outcome);
  SetThreadError(number, why);  // the statement's own failure
  outcome.reach = outcome.connected ? Reach::Answered : Reach::Lost;
  return outcome;
}

void CloseConnection(ServerConnection& c) {
  if (c.conn != nullptr) PQfinish(c.conn);
  c.conn = nullptr;
  c.prepared.clear();
  c.server.clear();
}

void OpenServerLocked(Layer& layer, const std::string& conninfo) {
  if (!AcceptableConninfo(conninfo)) return;
  auto first = std::make_unique<ServerConnection>();
  if (!OpenConnection(*first, conninfo, layer.statement_timeout) || !CreateSchemaIfMissing(first->conn)) {
    CloseConnection(*first);
    return;
  }
  layer.server = first->server;
  layer.pool.push_back(std::move(first));
  layer.pool_limit = kPoolSize;
  layer.conninfo = conninfo;
  layer.engine = Engine::Postgres;
  ++layer.generation;
  layer.server_reachable = true;
  layer.server_answering = true;
  layer.next_reset = {};
}

}  // namespace brenvik::sql_internal
