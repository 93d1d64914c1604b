// The recipient-domain check of RCPT lines. The input is a RCPT line, then
// after the first NUL byte a list of accepted domains separated by LF.
// The domain is upper case and holds no "@"; a recipient is accepted
// exactly when an entry names its domain (with or without "@") or is empty.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/gateway_state.h"
#include "gateway/relay_session_rules.h"

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
      domains.push_back(brenvik::UpperCase(rest.substr(0, end)));
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
  }

  const std::string domain = brenvik::RecipientDomain(line);
  Check(domain.find('@') == std::string::npos);
  Check(domain == brenvik::UpperCase(domain));
  Check(domain.size() <= line.size());

  bool expected = false;
  for (const std::string& entry : domains)
    expected = expected || entry.empty() || entry == "@" + domain ||
               (entry.front() != '@' && entry == domain);
  Check(brenvik::RecipientAccepted(line, domains) == expected);
  // The check does not depend on the letter case of the line.
  Check(brenvik::RecipientAccepted(brenvik::UpperCase(line), domains) == expected);
  return 0;
}
