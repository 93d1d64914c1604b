#pragma once
// Dotted IPv4 texts as the four-octet address input shows and yields them.
#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace brenvik {

// Four octets; an empty field is std::nullopt.
using OctetFields = std::array<std::optional<int>, 4>;

// "a.b.c.d" with four decimal parts of 1 to 3 digits, each 0..255.
// Anything else (a host name such as "localhost", blanks, five parts)
// gives std::nullopt.
std::optional<std::array<int, 4>> ParseDottedAddress(std::string_view text);

// The text the input yields: "" when all four fields are empty, otherwise
// the dotted octets with empty fields as 0.
std::string DottedText(const OctetFields& fields);

}  // namespace brenvik
