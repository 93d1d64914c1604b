#pragma once
// Blanks around a text a person typed.
#include <string_view>

namespace brenvik {

// `text` without the spaces and tabs at either end.
constexpr std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace brenvik
