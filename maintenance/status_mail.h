#pragma once
// Minimal SMTP client for the daily report.
#include <string>
#include <string_view>

namespace brenvik {

// Fixed envelope sender of the report.
extern const char* const kStatusMailSender;

// Delivers `message` (header lines included, CR LF line ends, no final dot
// line) to `recipient` through host:port. "OK" or the failing step's text.
std::string SendStatusMail(std::string_view recipient, std::string_view message, int port,
                           std::string_view host, int timeout_ms = 120000);

}  // namespace brenvik
