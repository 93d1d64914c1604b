#pragma once
// Shared by connection.cpp and connection_tls.cpp only.
#include "gateway/connection.h"

namespace brenvik::net_detail {

NetFailure FailureFromErrno(int error);

enum class WaitResult { Ready, TimedOut, Failed };

// Polls one socket for `events`, at most `timeout_ms` (negative: no limit).
// Interruptions resume with the time that is left.
WaitResult WaitFor(int fd, short events, int timeout_ms, int& error);

}  // namespace brenvik::net_detail
