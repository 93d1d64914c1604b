// The data phase of the relay session: the client's mail data to the
// backend until the end-of-data mark.
#include <algorithm>
#include <chrono>
#include <thread>

#include "gateway/relay_session_internal.h"
#include "gateway/relay_session_rules.h"

namespace brenvik {

// One read of at most data_read_max bytes; whatever follows the mark in it
// fits back into the client connection (kMaxBufferedBytes).
bool SmtpRelay::ReadDataBlock(std::string& block) {
  const std::size_t want = std::clamp<std::size_t>(timing_.data_read_max, 1, kReceiveBufferSize);
  block.clear();
  if (!ReadAvailable(client_, want, block)) {
    AbortClientRead();
    return false;
  }
  if (block.empty()) {  // the client closed in the middle of the data
    Abort(DescribeFailure(NetFailure::IoError));
    return false;
  }
  return true;
}

// The data must keep up timing_.min_data_rate after a start of one client
// time-out; the time the gateway itself spends (its pause, a slow backend)
// moves the deadline on, so only the client's pace counts.
void SmtpRelay::DataPhase() {
  using Clock = Connection::Clock;
  const auto per_byte = std::chrono::microseconds(1000000 / std::max(timing_.min_data_rate, 1));
  data_deadline_ = Clock::now() + std::chrono::milliseconds(client_.TimeoutMs());
  DataStream stream;
  std::string block;
  std::string relayed;
  while (!stream.Complete()) {
    client_.SetDeadline(std::min(data_deadline_, session_deadline_));
    if (!ReadDataBlock(block)) return;
    const auto own_start = Clock::now();
    relayed.clear();
    const std::size_t used = stream.Feed(block, relayed);
    summary_.data_bytes += used;
    const bool sent = relayed.empty() || SendText(backend_, relayed);
    if (timing_.data_pause_ms > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(timing_.data_pause_ms));
    }
    if (!sent) return Abort(backend_.FailureText());
    data_deadline_ += per_byte * static_cast<long>(used) + (Clock::now() - own_start);
    // What followed the mark is the client's next commands.
    if (used < block.size() && !client_.Unread(std::string_view(block).substr(used))) {
      return Abort(DescribeFailure(NetFailure::IoError));
    }
  }
  client_.SetDeadline(session_deadline_);
  SmtpReply answer;
  if (!ReceiveReplyOrAbort(answer) || !SendReplyOrAbort(answer)) return;
  summary_.data_reply = answer.FinalLine();
  state_ = SessionState::Command;
}

}  // namespace brenvik
