// The recipient check of RCPT lines. The input is a RCPT line, then after
// the first NUL byte a list of accepted domains separated by LF. A line is
// accepted only as one plain mailbox (no route, no quotes, no "%" or "!",
// one "@") whose domain an entry names (with or without "@", compared as
// keys) or when an entry is empty, and "<Postmaster>"; the letter case of
// ASCII letters in the line plays no part.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/domain_name.h"
#include "gateway/relay_session_rules.h"
#include "gateway/smtp_command.h"
#include "store/ascii_case.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  std::string_view line = input.substr(0, split);
  std::vector<std::string> domains;
  if (split != std::string_view::npos) {
    std::string_view rest = input.substr(split + 1);
    for (std::size_t i = 0; i < 100 && !rest.empty(); ++i) {  // the list holds at most 100
      std::size_t end = rest.find('\n');
      if (auto key = brenvik::DomainEntryKey(rest.substr(0, end))) domains.push_back(std::move(*key));
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
  }

  const bool accepted = brenvik::RecipientAccepted(line, domains);
  Check(brenvik::RecipientAccepted(brenvik::AsciiUpper(line), domains) == accepted);
  if (!accepted) return 0;
  const brenvik::SmtpCommand command = brenvik::ParseCommand(line);
  Check(command.form == brenvik::LineForm::Command && command.verb == "RCPT");
  const brenvik::MailPath path = brenvik::ParseMailPath(command.argument, "TO");
  Check(path.PlainMailbox());
  Check(path.local_part.find_first_of("\"%!") == std::string_view::npos);
  Check(path.form == brenvik::MailPath::Form::Postmaster || path.text.find('@') == path.local_part.size());
  if (path.form == brenvik::MailPath::Form::Postmaster) return 0;
  const auto domain = brenvik::DomainKey(path.domain);
  bool expected = false;
  for (const std::string& entry : domains)
    expected = expected || entry.empty() || (domain && (entry == "@" + *domain || (entry.front() != '@' && entry == *domain)));
  Check(expected);
  return 0;
}
