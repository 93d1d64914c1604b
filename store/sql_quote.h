#pragma once
// Embeds a value in an SQL statement text.
#include <string>
#include <string_view>

namespace brenvik {

// The value between single quotes, each single quote inside doubled, so no
// value can end the literal early or change the statement.
std::string SqlQuote(std::string_view value);

}  // namespace brenvik
