// The dialect translation for both engines: any statement text is either
// refused with a reason or translated, and translating never reads or
// writes out of bounds.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "store/sql.h"

namespace {
using Translator = bool (*)(std::string_view, std::string&, std::string&);

void Check(Translator translate, std::string_view statement) {
  std::string out, error;
  if (translate(statement, out, error)) {
    if (!error.empty()) std::abort();  // a translated statement carries no reason
  } else if (error.empty()) {
    std::abort();  // a refusal always says why
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view statement(reinterpret_cast<const char*>(data), size);
  Check(brenvik::TranslateAccessSql, statement);
  Check(brenvik::TranslateAccessSqlForServer, statement);
  return 0;
}
