// Greylisting on the Liste table: the first attempt of an unknown sender key
// is deferred, a retry lifts the deferral unless the client is blocklisted,
// whitelisted sender domains pass at once.
#include "gateway/greylist.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

#include "gateway/blocklist.h"
#include "gateway/domain_name.h"
#include "gateway/smtp_command.h"
#include "store/ascii_case.h"
#include "store/sql.h"
#include "store/sql_quote.h"

namespace brenvik {
namespace {

// Statement pieces; with quote-free values the joined texts read exactly
// "SELECT * FROM Liste WHERE Email = '<domain>';" and so on.
constexpr std::string_view kSelectWhitelist = "SELECT * FROM Liste WHERE Email = ";
constexpr std::string_view kSelectKey = "SELECT * FROM LISTE WHERE Email = ";
constexpr std::string_view kInsertFirst =
    "INSERT INTO Liste (Email, WieOft, IpAdresse, LastEdit, FirstMail) SELECT ";
constexpr std::string_view kUpdateCount = "UPDATE Liste SET WieOft = ";
constexpr std::string_view kUpdateBadMail = "UPDATE Liste SET SenderBadMail = 1, LastEdit = ";
constexpr std::string_view kLastEditPart = ", LastEdit = ";
constexpr std::string_view kSecondMailPart = ", SecondMail = ";
constexpr std::string_view kWherePart = " WHERE Email = ";
constexpr std::string_view kEnd = ";";

constexpr std::string_view kMailFrom = "MAIL FROM:";
// The null reverse path is greylisted by the client address: "<>@[" + IP + "]".
constexpr std::string_view kNullSenderKey = "<>@[";
// "@" + domain of at most this many characters is never looked up in the
// whitelist.
constexpr std::size_t kMaxUncheckedDomainLength = 4;

std::string Join(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (std::string_view part : parts) text += part;
  return text;
}

void EraseAll(std::string& text, std::string_view what) {
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at))
    text.erase(at, what.size());
}

std::string TrimBlanks(std::string_view text) {
  std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  std::size_t last = text.find_last_not_of(' ');
  return std::string(text.substr(first, last - first + 1));
}

// Keys whose check is running; a second attempt of the same key waits, so
// that a lookup and the insert that follows it are one step per key. Other
// keys never wait, not even behind a slow blocklist lookup.
class KeysInProgress {
 public:
  class Hold {
   public:
    // Waits at most `patience` for the key; held() says whether it got it.
    Hold(KeysInProgress& table, std::string key, std::chrono::steady_clock::duration patience)
        : table_(table), key_(std::move(key)) {
      std::unique_lock lock(table_.mutex_);
      held_ = table_.released_.wait_for(lock, patience, [&] { return !table_.keys_.contains(key_); });
      if (held_) table_.keys_.insert(key_);
    }
    ~Hold() {
      if (!held_) return;
      {
        std::lock_guard lock(table_.mutex_);
        table_.keys_.erase(key_);
      }
      table_.released_.notify_all();
    }
    bool held() const { return held_; }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    KeysInProgress& table_;
    std::string key_;
    bool held_ = false;
  };

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  std::set<std::string> keys_;  // at most one entry per running check
};

KeysInProgress& InProgress() {
  static KeysInProgress* table = new KeysInProgress;  // outlives detached sessions
  return *table;
}

bool WhitelistHolds(const std::string& entry) {
  SQL_Stmt(3, Join({kSelectWhitelist, SqlQuote(entry), kEnd}));
  SQL_Fetch(0);
  return SQL_Eod() == 0;
}

// Only a mailbox with one "@" outside quotes (no source route) is looked up:
// "@" + its domain, in A-label and in U-label form, since the administrator
// may have typed either; a domain that does not convert is never whitelisted.
bool IsWhitelisted(const MailPath& path) {
  if (path.form != MailPath::Form::Mailbox || !path.route.empty()) return false;
  const auto key = DomainKey(path.domain);
  if (!key) return false;
  const std::string domain = "@" + *key;
  if (domain.size() <= kMaxUncheckedDomainLength) return false;
  if (WhitelistHolds(domain)) return true;
  const std::string unicode = "@" + DomainUnicodeForm(*key);
  return unicode != domain && WhitelistHolds(unicode);
}

void InsertFirstAttempt(const std::string& key, std::string_view ip, const std::string& now) {
  std::string quoted_now = SqlQuote(now);
  SQL_Stmt(3, Join({kInsertFirst, SqlQuote(key), ", 1, ", SqlQuote(ip), ",", quoted_now, ",",
                    quoted_now, kEnd}));
}

void UpdateCount(const std::string& key, int count, const std::string& now, bool second_mail) {
  std::string quoted_now = SqlQuote(now);
  std::string statement = Join({kUpdateCount, " ", std::to_string(count), kLastEditPart, quoted_now});
  if (second_mail) statement += Join({kSecondMailPart, quoted_now});
  statement += Join({kWherePart, SqlQuote(key), kEnd});
  SQL_Stmt(3, statement);
}

void MarkBadMail(const std::string& key, const std::string& now) {
  SQL_Stmt(3, Join({kUpdateBadMail, SqlQuote(now), kWherePart, SqlQuote(key), kEnd}));
}

// The check from the key lookup on, with the key held against other
// attempts of the same key.
SenderDecision CheckKey(const std::string& key, std::string_view client_ip, bool check_blocklist,
              const LocalTime* fixed_now) {
  SQL_Stmt(3, Join({kSelectKey, SqlQuote(key), kEnd}));
  SQL_Fetch(0);
  const std::string now = DayFirstText(fixed_now ? *fixed_now : ReadLocalClock());
  if (SQL_Eod() != 0) {
    InsertFirstAttempt(key, client_ip, now);
    return SenderDecision::Greylisted;
  }
  const int attempts = SQL_ResColSInt(SQL_ResColNumber("WieOft"));
  if (attempts > 1) {
    UpdateCount(key, attempts + 1, now, false);
    return SenderDecision::PassedOnRetry;
  }
  if (CheckBlocklist(client_ip, check_blocklist)) {
    MarkBadMail(key, now);
    return SenderDecision::Blocklisted;
  }
  UpdateCount(key, attempts + 1, now, true);
  return SenderDecision::PassedOnRetry;
}

// The path of a MAIL line as the command parser reads it.
MailPath SenderPath(std::string_view mail_line) {
  const SmtpCommand command = ParseCommand(mail_line);
  if (command.form != LineForm::Command || command.verb != "MAIL") return {};
  return ParseMailPath(command.argument, "FROM");
}

SenderDecision DecideAt(const std::string& mail_line, std::string_view client_ip, bool check_blocklist,
                        const LocalTime* fixed_now) {
  const std::string key = SenderKey(mail_line, client_ip);
  if (key.empty()) return SenderDecision::NoSender;
  if (IsWhitelisted(SenderPath(mail_line))) return SenderDecision::Whitelisted;
  // A key held by a check that waits on a silent server is waited for as
  // long as the database itself would be; then the sender is deferred.
  const auto start = std::chrono::steady_clock::now();
  KeysInProgress::Hold hold(InProgress(), key, SqlSharedDeadline::Left());
  SqlSharedDeadline::Spend(std::chrono::steady_clock::now() - start);
  if (!hold.held()) return SenderDecision::Greylisted;
  return CheckKey(key, client_ip, check_blocklist, fixed_now);
}

}  // namespace

std::string ExtractSenderAddress(std::string& line) {
  const MailPath path = SenderPath(line);
  if (path.form == MailPath::Form::Mailbox || path.form == MailPath::Form::Null) {
    line = AsciiUpper(path.text);
    return line;
  }
  std::string text = AsciiUpper(line);
  EraseAll(text, kMailFrom);
  EraseAll(text, "<");
  EraseAll(text, ">");
  line = TrimBlanks(text);
  return line;
}

std::string SenderKey(std::string_view mail_line, std::string_view client_ip) {
  if (SenderPath(mail_line).form == MailPath::Form::Null) {
    return std::string(kNullSenderKey).append(client_ip).append("]");
  }
  std::string line(mail_line);
  return ExtractSenderAddress(line);
}

bool Accepts(SenderDecision decision) {
  return decision == SenderDecision::Whitelisted || decision == SenderDecision::PassedOnRetry;
}

std::string_view DecisionName(SenderDecision decision) {
  switch (decision) {
    case SenderDecision::NoSender: return "no-sender";
    case SenderDecision::Whitelisted: return "whitelisted";
    case SenderDecision::Greylisted: return "greylisted";
    case SenderDecision::PassedOnRetry: return "passed-on-retry";
    case SenderDecision::Blocklisted: return "blocklisted";
  }
  return "";
}

SenderDecision DecideSender(const std::string& mail_line, std::string_view client_ip, bool check_blocklist) {
  return DecideAt(mail_line, client_ip, check_blocklist, nullptr);
}

bool CheckSender(std::string mail_line, std::string_view client_ip, bool check_blocklist) {
  return Accepts(DecideAt(mail_line, client_ip, check_blocklist, nullptr));
}

bool CheckSender(std::string mail_line, std::string_view client_ip, bool check_blocklist,
                 const LocalTime& now) {
  return Accepts(DecideAt(mail_line, client_ip, check_blocklist, &now));
}

}  // namespace brenvik
