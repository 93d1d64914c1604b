// Greylisting through the real SQL layer on a scratch spam.mdb: whatever
// bytes a MAIL line holds, a sender with a key is deferred once, accepted
// on the retry, and leaves exactly one row; no line can change another
// statement's meaning (a key with quotes or SQL in it stays one value).
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "gateway/greylist.h"
#include "store/database.h"
#include "store/sql.h"

namespace {

constexpr std::string_view kClientIp = "192.0.2.1";
const brenvik::LocalTime kNow{2026, 12, 9, 12, 0, 0, 0};

void Check(bool condition) {
  if (!condition) std::abort();
}

int RowCount() {
  brenvik::SQL_Stmt(3, "SELECT COUNT(*) AS N FROM Liste;");
  brenvik::SQL_Fetch(0);
  Check(brenvik::SQL_Eod() == 0);
  return brenvik::SQL_ResColSInt(brenvik::SQL_ResColNumber("N"));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/brenvik-fuzz-sender-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  brenvik::SQL_Initialize(2, 2, 150, 3, 3, 0, 0, 0);
  if (!brenvik::OpenDatabase(pattern + "/", "spam.mdb")) std::abort();
  // Scratch data: no flush per commit, so the fuzzer keeps its pace.
  brenvik::SQL_Stmt(3, "PRAGMA synchronous=OFF;");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1000) return 0;  // MAIL lines are short; the reader cuts at 64 KiB
  const std::string line(reinterpret_cast<const char*>(data), size);
  brenvik::SQL_Stmt(3, "DELETE * FROM Liste;");
  Check(RowCount() == 0);

  const std::string key = brenvik::SenderKey(line, kClientIp);
  const bool first = brenvik::CheckSender(line, kClientIp, false, kNow);
  const bool second = brenvik::CheckSender(line, kClientIp, false, kNow);
  Check(!first);  // nothing is whitelisted: every first attempt waits
  if (key.empty()) {
    Check(!second && RowCount() == 0);
  } else if (key.find('\0') == std::string::npos) {
    Check(second);
    Check(RowCount() == 1);
  }
  return 0;
}
