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
    Abort(client_.FailureText());
    return false;
  }
  if (block.empty()) {  // the client closed in the middle of the data
    Abort(DescribeFailure(NetFailure::IoError));
    return false;
  }
  return true;
}

void SmtpRelay::DataPhase() {
  DataStream stream;
  std::string block;
  std::string relayed;
  while (!stream.Complete()) {
    if (!ReadDataBlock(block)) return;
    relayed.clear();
    const std::size_t used = stream.Feed(block, relayed);
    summary_.data_bytes += used;
    const bool sent = relayed.empty() || SendText(backend_, relayed);
    if (timing_.data_pause_ms > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(timing_.data_pause_ms));
    }
    if (!sent) return Abort(backend_.FailureText());
    // What followed the mark is the client's next commands.
    if (used < block.size() && !client_.Unread(std::string_view(block).substr(used))) {
      return Abort(DescribeFailure(NetFailure::IoError));
    }
  }
  SmtpReply answer;
  if (!ReceiveReplyOrAbort(answer) || !SendReplyOrAbort(answer)) return;
  summary_.data_reply = answer.FinalLine();
  state_ = SessionState::Command;
}

}  // namespace brenvik
