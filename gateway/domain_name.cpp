#include "gateway/domain_name.h"

#include <idn2.h>

#include <algorithm>
#include <cstdlib>

#include "store/ascii_case.h"

namespace brenvik {
namespace {

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// libidn2 hands back memory of its own allocator.
std::string TakeIdnString(char* text) {
  std::string result(text);
  idn2_free(text);
  return result;
}

}  // namespace

std::optional<std::string> DomainKey(std::string_view domain) {
  if (domain.empty()) return std::nullopt;
  if (IsAscii(domain)) return AsciiLower(domain);
  if (domain.front() == '[') return std::nullopt;  // a literal is ASCII only
  const std::string text(domain);
  if (text.find('\0') != std::string::npos) return std::nullopt;
  char* ascii = nullptr;
  if (idn2_lookup_u8(reinterpret_cast<const uint8_t*>(text.c_str()), reinterpret_cast<uint8_t**>(&ascii),
                     IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL) != IDN2_OK) {
    return std::nullopt;
  }
  return AsciiLower(TakeIdnString(ascii));
}

std::optional<std::string> DomainEntryKey(std::string_view entry) {
  if (entry.empty()) return std::string();
  const bool with_at = entry.front() == '@';
  const auto key = DomainKey(with_at ? entry.substr(1) : entry);
  if (!key) return std::nullopt;
  return with_at ? "@" + *key : *key;
}

std::string DomainUnicodeForm(const std::string& key) {
  if (key.find("xn--") == std::string::npos) return key;
  char* unicode = nullptr;
  if (idn2_to_unicode_8z8z(key.c_str(), &unicode, 0) != IDN2_OK) return key;
  return TakeIdnString(unicode);
}

}  // namespace brenvik
