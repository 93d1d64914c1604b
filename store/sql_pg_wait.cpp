// Waiting for a PostgreSQL server with a deadline. libpq's blocking calls
// wait as long as the server holds the connection open: a frozen server, or
// a commit waiting for a synchronous standby that is gone, would hold a
// session (and its sender's key) without end. So every statement is sent,
// its socket polled against the deadline, and one that is late is cancelled
// without waiting for the cancel's answer.
#include <poll.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "store/sql_internal.h"

namespace brenvik::sql_internal {
namespace {

// A server that ignores cancels must not collect threads: beyond this many
// outstanding cancels the connection is only dropped.
constexpr int kMaxOutstandingCancels = 4;
std::atomic<int> outstanding_cancels{0};

int MillisecondsLeft(Deadline deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 60000));
}

// Reads what the server sent until libpq has a whole result (or none is due).
Wait UntilNotBusy(PGconn* conn, Deadline deadline) {
  while (PQisBusy(conn)) {
    const int ms = MillisecondsLeft(deadline);
    if (ms == 0) return Wait::Late;
    pollfd p{PQsocket(conn), POLLIN, 0};
    const int ready = poll(&p, 1, ms);
    if (ready < 0 && errno != EINTR) return Wait::Broken;
    if (ready > 0 && PQconsumeInput(conn) == 0) return Wait::Broken;
  }
  return Wait::Done;
}

}  // namespace

Wait AwaitResult(PGconn* conn, Deadline deadline, PGresult*& result) {
  result = nullptr;
  for (;;) {
    const Wait wait = UntilNotBusy(conn, deadline);
    if (wait != Wait::Done) {
      PQclear(result);
      result = nullptr;
      return wait;
    }
    PGresult* next = PQgetResult(conn);
    if (next == nullptr) return Wait::Done;
    PQclear(result);  // of several statements in one text, the last one tells
    result = next;
  }
}

void CancelWithoutWaiting(PGconn* conn) {
  if (outstanding_cancels.fetch_add(1) >= kMaxOutstandingCancels) {
    --outstanding_cancels;
    return;
  }
  PGcancel* cancel = PQgetCancel(conn);
  try {
    std::thread([cancel] {
      char why[256];
      if (cancel != nullptr) PQcancel(cancel, why, sizeof why);
      PQfreeCancel(cancel);
      --outstanding_cancels;
    }).detach();
  } catch (...) {  // no thread to spare: the dropped connection must do
    PQfreeCancel(cancel);
    --outstanding_cancels;
  }
}

}  // namespace brenvik::sql_internal
