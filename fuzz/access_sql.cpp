// The dialect translation: any statement text is either refused with a
// reason or translated, and translating never reads or writes out of bounds.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "store/sql.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view statement(reinterpret_cast<const char*>(data), size);
  std::string sqlite, error;
  if (brenvik::TranslateAccessSql(statement, sqlite, error)) {
    if (!error.empty()) std::abort();  // a translated statement carries no reason
  } else if (error.empty()) {
    std::abort();  // a refusal always says why
  }
  return 0;
}
