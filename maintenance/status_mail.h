#pragma once
// Minimal SMTP client for the daily report.
#include <string>
#include <string_view>

namespace brenvik {

// Fixed envelope sender of the report: "brenvik@localhost".
extern const char* const kStatusMailSender;

// Delivers `message` (header lines included, CR LF line ends, no final dot
// line; sent unchanged, no dot-stuffing) to `recipient` through host:port
// with HELO <host>. CR LF is added after the message only when it does not
// already end with one. Every reply is read to its final line. "OK" or the
// failing step's text; the connection is closed on every outcome.
std::string SendStatusMail(std::string_view recipient, std::string_view message, int port,
                           std::string_view host, int timeout_ms = 120000);

}  // namespace brenvik
