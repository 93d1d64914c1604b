// The server's connections: a small pool, so that one thread's round trip
// to the server does not hold every other thread's statement. The layer's
// lock guards the pool and the reachability; a statement runs outside it.
#include <chrono>

#include "store/ascii_case.h"
#include "store/sql_internal.h"
#include "store/sql_quote.h"

namespace brenvik::sql_internal {
namespace {

constexpr std::string_view kClaimSlot = "INSERT INTO JobSlot (Slot) VALUES (";
constexpr std::string_view kClaimSlotEnd = ") ON CONFLICT DO NOTHING RETURNING Slot;";
constexpr const char* kForgetSlots = "DELETE FROM JobSlot WHERE Claimed < now() - interval '7 days';";
constexpr std::string_view kClosed = "database closed while the statement waited";
constexpr std::string_view kDeadlineSpent = "database server not answering: the decision's deadline is spent";
constexpr std::string_view kNoFreeConnection = "database server not answering: no connection free within the deadline";
// While the server is away, one attempt to reach it per interval.
constexpr std::chrono::seconds kResetInterval{1};

ServerConnection* Find(Layer& layer, bool (*wanted)(const ServerConnection&)) {
  for (auto& c : layer.pool)
    if (wanted(*c)) return c.get();
  return nullptr;
}

// The connection this thread's open transaction is on, else a free one,
// else a new one while the pool is small; otherwise waits for one until
// `deadline`. Null with the error recorded when the pool closes meanwhile
// or the deadline passes.
ServerConnection* Borrow(Layer& layer, std::unique_lock<std::mutex>& lock, Deadline deadline) {
  for (;;) {
    if (layer.pool.empty()) {
      SetThreadError(kErrorNoDatabase, std::string(kClosed));
      return nullptr;
    }
    ServerConnection* c = Find(layer, [](const ServerConnection& s) { return s.pinned == std::this_thread::get_id(); });
    if (c == nullptr)
      c = Find(layer, [](const ServerConnection& s) { return !s.busy && s.pinned == std::thread::id{}; });
    if (c == nullptr && layer.pool.size() < layer.pool_limit) c = layer.pool.emplace_back(new ServerConnection).get();
    if (c != nullptr) {
      c->busy = true;
      return c;
    }
    if (layer.pool_changed.wait_until(lock, deadline) == std::cv_status::timeout) {
      SetThreadError(kErrorUnreachable, std::string(kNoFreeConnection));
      return nullptr;
    }
  }
}

// Closes every connection that is not lent out, except `keep`.
void CloseIdle(Layer& layer, const ServerConnection* keep) {
  for (auto& c : layer.pool)
    if (c.get() != keep && !c->busy && c->pinned == std::thread::id{}) CloseConnection(*c);
}

// All connections of the pool go to one server: a new connection that
// reached another one (after a failover, or an old primary come back) takes
// the pool along, so a sender's attempts never land on two greylists. The
// connections still lent out are closed when they come back.
void FollowServer(Layer& layer, ServerConnection& c, bool& changed) {
  if (c.server.empty() || c.server == layer.server) return;
  const bool first = layer.server.empty();
  layer.server = c.server;
  if (first) return;
  CloseIdle(layer, &c);
  QueueEvent(layer, SqlServerEvent::Followed, changed);
}

bool Reads(const Translation& tr) {
  std::string_view text = tr.literal;
  while (!text.empty() && (text.front() == ' ' || text.front() == '(')) text.remove_prefix(1);
  return text.size() >= 6 && SameIgnoringCase(text.substr(0, 6), "SELECT");
}

// Tells each change of reachability and of answering once. A server whose
// writes stall (its synchronous standby gone) still answers reads: only a
// write answered then counts as answering again, or the events would flap.
void Account(Layer& layer, Reach reach, bool reads, bool& changed) {
  if (reach == Reach::NotTried) return;
  if (reach == Reach::Stalled) {
    layer.next_reset = std::chrono::steady_clock::now() + kResetInterval;
    CloseIdle(layer, nullptr);  // they would wait on the same server
    if (layer.server_answering) QueueEvent(layer, SqlServerEvent::NotAnswering, changed);
    layer.server_answering = false;
    layer.writes_stalled = layer.writes_stalled || !reads;
    return;
  }
  const bool reachable = reach == Reach::Answered;
  if (!reachable) layer.next_reset = std::chrono::steady_clock::now() + kResetInterval;
  if (reachable && !layer.server_reachable) layer.pool_limit = kPoolSize;  // back after an outage: full size again
  if (reachable != layer.server_reachable)
    QueueEvent(layer, reachable ? SqlServerEvent::Reachable : SqlServerEvent::Unreachable, changed);
  layer.server_reachable = reachable;
  if (!reachable || layer.server_answering || (reads && layer.writes_stalled)) return;
  QueueEvent(layer, SqlServerEvent::AnsweringAgain, changed);
  layer.server_answering = true;
  layer.writes_stalled = false;
}

// Removes a connection that never opened; false when it is not the pool's
// (closed meanwhile) or the last one.
bool Drop(Layer& layer, ServerConnection* c) {
  if (layer.pool.size() < 2) return false;
  for (auto at = layer.pool.begin(); at != layer.pool.end(); ++at) {
    if (at->get() != c) continue;
    CloseConnection(*c);
    layer.pool.erase(at);
    layer.pool_limit = layer.pool.size();  // no new attempt until the server was away and is back
    return true;
  }
  return false;
}

// While the server is reachable every statement may reconnect; while it is
// not, only the first after each interval.
bool MayConnect(Layer& layer) {
  const auto now = std::chrono::steady_clock::now();
  if (layer.server_reachable && layer.server_answering) return true;
  if (now < layer.next_reset) return false;
  layer.next_reset = now + kResetInterval;
  return true;
}

// What this statement may still wait: the timeout, or what a shared
// deadline has left of it; its one connect attempt may be used up.
std::chrono::steady_clock::duration Allowance(std::chrono::milliseconds timeout, bool& may_connect) {
  const SharedDeadline& shared = t_shared_deadline;
  if (shared.depth == 0) return timeout;
  may_connect = may_connect && !shared.connect_tried;
  return timeout - shared.spent;
}

void Spend(std::chrono::steady_clock::duration waited, const ServerOutcome& outcome) {
  SharedDeadline& shared = t_shared_deadline;
  if (shared.depth == 0) return;
  shared.spent += waited - outcome.connecting;
  shared.connect_tried = shared.connect_tried || outcome.connect_tried;
}

}  // namespace

// The observer hears of a change only, never once per failed statement.
bool RunOnServer(Layer& layer, std::unique_lock<std::mutex>& lock, const Translation& tr, Result& out,
                 bool& changed) {
  const auto start = std::chrono::steady_clock::now();
  const std::chrono::milliseconds timeout = StatementTimeout(layer);
  bool may_connect = true;
  const auto allowed = Allowance(timeout, may_connect);
  if (allowed <= std::chrono::steady_clock::duration::zero()) {
    SetThreadError(kErrorUnreachable, std::string(kDeadlineSpent));
    return false;
  }
  ServerConnection* c = Borrow(layer, lock, start + allowed);
  if (c == nullptr) {
    Spend(std::chrono::steady_clock::now() - start, ServerOutcome{});  // waiting for a connection counts
    return false;
  }
  may_connect = may_connect && MayConnect(layer);
  const bool fresh = c->conn == nullptr;
  const std::string conninfo = layer.conninfo;
  lock.unlock();
  ServerOutcome outcome = RunOnConnection(*c, conninfo, may_connect, allowed - (std::chrono::steady_clock::now() - start),
                                          timeout, tr, out);
  Spend(std::chrono::steady_clock::now() - start, outcome);
  lock.lock();
  c->busy = false;
  c->pinned = outcome.in_transaction ? std::this_thread::get_id() : std::thread::id{};
  if (outcome.connected) FollowServer(layer, *c, changed);
  if (!c->server.empty() && c->server != layer.server) {  // left behind by a move
    CloseConnection(*c);
    c->pinned = {};
  }
  // A server that refuses one more connection (max_connections) is still
  // reachable through the others: the pool just stays smaller.
  if (fresh && outcome.reach == Reach::Lost && layer.server_reachable && Drop(layer, c)) outcome.reach = Reach::NotTried;
  Account(layer, outcome.reach, Reads(tr), changed);
  layer.pool_changed.notify_all();
  return outcome.ok;
}

// Borrowers find the pool empty at once; the connections still lent out
// are closed when they come back.
void CloseServerLocked(Layer& layer, std::unique_lock<std::mutex>& lock) {
  std::vector<std::unique_ptr<ServerConnection>> closing = std::move(layer.pool);
  layer.pool.clear();
  layer.pool_changed.notify_all();
  layer.pool_changed.wait(lock, [&] {
    for (const auto& c : closing)
      if (c->busy) return false;
    return true;
  });
  for (auto& c : closing) CloseConnection(*c);
}

}  // namespace brenvik::sql_internal

namespace brenvik {

SlotClaim SQL_ClaimSlot(std::string_view slot) {
  using namespace sql_internal;
  Layer& layer = TheLayer();
  SlotClaim claim = SlotClaim::Failed;
  bool changed = false;
  {
    std::unique_lock<std::mutex> lock(layer.mutex);
    if (layer.engine != Engine::Postgres) return SlotClaim::Claimed;
    Result rows;
    const std::string text = std::string(kClaimSlot) + SqlQuote(slot) + std::string(kClaimSlotEnd);
    if (RunOnServer(layer, lock, Translation{text, {}, {}}, rows, changed))
      claim = rows.rows.size() == 1 ? SlotClaim::Claimed : SlotClaim::HeldByOther;
    if (claim == SlotClaim::Claimed) RunOnServer(layer, lock, Translation{kForgetSlots, {}, {}}, rows, changed);
  }
  Notify(layer, changed);
  return claim;
}

}  // namespace brenvik
