#include "configtool/dotted_address.h"

namespace brenvik {

std::optional<std::array<int, 4>> ParseDottedAddress(std::string_view text) {
  std::array<int, 4> octets{};
  std::size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    int value = 0;
    int digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
      value = value * 10 + (text[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return std::nullopt;
    octets[i] = value;
  }
  if (pos != text.size()) return std::nullopt;
  return octets;
}

std::string DottedText(const OctetFields& fields) {
  bool any = false;
  for (const auto& f : fields) any = any || f.has_value();
  if (!any) return "";
  std::string text;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) text += '.';
    text += std::to_string(fields[i].value_or(0));
  }
  return text;
}

}  // namespace brenvik
