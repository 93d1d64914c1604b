// The sender key of a MAIL line: whatever the line, the key is the text the
// line was replaced with, upper case, without blanks at either end, and
// without angle brackets unless they came from inside a bracketed path.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "gateway/greylist.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string original(reinterpret_cast<const char*>(data), size);
  std::string line = original;
  const std::string key = brenvik::ExtractSenderAddress(line);
  Check(key == line);
  Check(key.size() <= original.size());
  Check(key.empty() || (key.front() != ' ' && key.back() != ' '));
  for (char c : key) Check(c < 'a' || c > 'z');
  if (original.find('<') == std::string::npos || original.find('>') == std::string::npos)
    Check(key.find_first_of("<>") == std::string::npos);
  return 0;
}
