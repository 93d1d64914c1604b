#include "gateway/gateway_state.h"

namespace brenvik {

std::vector<std::string> AcceptedDomains;
std::vector<std::string> RelayAddresses;
std::atomic<int> StopRequested{0};

namespace {

// Code page 437 lower-case letters and their capitals (ä ö ü é ñ å ç).
constexpr unsigned char kCp437Lower[] = {0x84, 0x94, 0x81, 0x82, 0xA4, 0x86, 0x87};
constexpr unsigned char kCp437Upper[] = {0x8E, 0x99, 0x9A, 0x90, 0xA5, 0x8F, 0x80};

unsigned char UpperByte(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 'a' + 'A');
  for (std::size_t i = 0; i < sizeof kCp437Lower; ++i) {
    if (c == kCp437Lower[i]) return kCp437Upper[i];
  }
  return c;
}

}  // namespace

std::string UpperCase(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(UpperByte(static_cast<unsigned char>(c)));
  return result;
}

bool EqualsUpperCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && UpperCase(a) == UpperCase(b);
}

}  // namespace brenvik
