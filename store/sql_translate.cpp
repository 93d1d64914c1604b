// Access dialect -> SQLite. A tokenizer splits the statement first, so text
// literals are only ever replaced whole and never looked inside.
#include <cctype>
#include <cstdio>
#include <optional>
#include <vector>

#include "store/ascii_case.h"
#include "store/sql_internal.h"

namespace brenvik::sql_internal {
namespace {

enum class Tok { Space, Word, Text, QuotedName, Bracket, Hash, Date, Punct };

struct Token {
  Tok kind;
  std::string text;   // the token as written (Text: with its quotes) or as translated
  std::string value;  // Date: the ISO text it stands for, unquoted
};

constexpr std::size_t kMaxStatement = 1 << 20;  // bytes of one statement

constexpr std::string_view kErrTooLong = "statement too long";
constexpr std::string_view kErrZeroByte = "statement contains a zero byte";
constexpr std::string_view kErrOpenText = "unterminated text literal";
constexpr std::string_view kErrOpenName = "unterminated quoted name";
constexpr std::string_view kErrOpenBracket = "unterminated [name]";
constexpr std::string_view kErrOpenHash = "unterminated #date# literal";
constexpr std::string_view kErrBadHash = "invalid #date# literal: ";
constexpr std::string_view kErrTop = "TOP is supported only right after the first SELECT";
constexpr std::string_view kErrCall = "unbalanced parentheses in a call of ";
constexpr std::string_view kErrPattern = "Format$ needs a text pattern of y, m, d, h, n, s on the server: ";

bool IsWordChar(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '_' || c == '$' || u >= 0x80;
}

// Finds the closing `close` from s[i] (just past the opener); a doubled
// closer stands for itself when `doubling` is set. npos when missing.
std::size_t FindClose(std::string_view s, std::size_t i, char close, bool doubling) {
  for (; i < s.size(); ++i) {
    if (s[i] != close) continue;
    if (doubling && i + 1 < s.size() && s[i + 1] == close) {
      ++i;
      continue;
    }
    return i;
  }
  return std::string_view::npos;
}

bool Tokenize(std::string_view s, std::vector<Token>& out, std::string& error) {
  std::size_t i = 0;
  while (i < s.size()) {
    char c = s[i];
    std::size_t end = i + 1;
    Tok kind = Tok::Punct;
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      kind = Tok::Space;
      while (end < s.size() && (s[end] == ' ' || s[end] == '\t' || s[end] == '\r' || s[end] == '\n')) ++end;
    } else if (IsWordChar(c)) {
      kind = Tok::Word;
      while (end < s.size() && IsWordChar(s[end])) ++end;
    } else if (c == '\'' || c == '"' || c == '[' || c == '#') {
      char close = c == '[' ? ']' : c;
      std::size_t at = FindClose(s, i + 1, close, c == '\'' || c == '"');
      if (at == std::string_view::npos) {
        error = c == '\'' ? kErrOpenText : c == '"' ? kErrOpenName : c == '[' ? kErrOpenBracket : kErrOpenHash;
        return false;
      }
      kind = c == '\'' ? Tok::Text : c == '"' ? Tok::QuotedName : c == '[' ? Tok::Bracket : Tok::Hash;
      end = at + 1;
    }
    out.push_back(Token{kind, std::string(s.substr(i, end - i)), {}});
    i = end;
  }
  return true;
}

// ---- dates -------------------------------------------------------------

struct DateTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  bool has_time = false;
};

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool Valid(const DateTime& d) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (d.year < 100 || d.year > 9999 || d.month < 1 || d.month > 12 || d.day < 1) return false;
  int days = kDays[d.month - 1] + (d.month == 2 && IsLeap(d.year) ? 1 : 0);
  return d.day <= days && d.hour >= 0 && d.hour <= 23 && d.minute >= 0 && d.minute <= 59 &&
         d.second >= 0 && d.second <= 59;
}

std::string Iso(const DateTime& d) {
  char buf[40];
  if (d.has_time)
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", d.year, d.month, d.day, d.hour,
                  d.minute, d.second);
  else
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", d.year, d.month, d.day);
  return buf;
}

// Reads min..max digits at s[i].
bool Digits(std::string_view s, std::size_t& i, int min, int max, int& value) {
  int n = 0;
  value = 0;
  while (i < s.size() && n < max && std::isdigit(static_cast<unsigned char>(s[i]))) {
    value = value * 10 + (s[i] - '0');
    ++i;
    ++n;
  }
  return n >= min;
}

// " H:M[:S]" at s[i] through to the end of s.
bool TimePart(std::string_view s, std::size_t i, DateTime& d) {
  if (i == s.size()) return true;
  if (s[i] != ' ') return false;
  ++i;
  if (!Digits(s, i, 1, 2, d.hour) || i >= s.size() || s[i] != ':' || !Digits(s, ++i, 1, 2, d.minute))
    return false;
  if (i < s.size() && s[i] == ':' && !Digits(s, ++i, 1, 2, d.second)) return false;
  d.has_time = true;
  return i == s.size();
}

// #MM-DD-YYYY[ H:M:S]# (also with '/'), the dialect's month-first literal.
std::optional<DateTime> ParseHashDate(std::string_view s) {
  DateTime d;
  std::size_t i = 0;
  if (!Digits(s, i, 1, 2, d.month) || i >= s.size() || (s[i] != '-' && s[i] != '/')) return std::nullopt;
  char sep = s[i];
  if (!Digits(s, ++i, 1, 2, d.day) || i >= s.size() || s[i] != sep || !Digits(s, ++i, 4, 4, d.year))
    return std::nullopt;
  if (!TimePart(s, i, d) || !Valid(d)) return std::nullopt;
  return d;
}

// A quoted text in the day-first layout, optionally followed by a time.
std::optional<DateTime> ParseDayFirst(std::string_view s, std::string_view layout) {
  DateTime d;
  std::size_t i = 0, k = 0;
  while (k < layout.size()) {
    char f = layout[k];
    std::size_t run = 1;
    while (k + run < layout.size() && layout[k + run] == f) ++run;
    if (f == 'd' || f == 'M' || f == 'y') {
      int* field = f == 'd' ? &d.day : f == 'M' ? &d.month : &d.year;
      int min = f == 'y' ? 4 : 1, max = f == 'y' ? 4 : 2;
      if (!Digits(s, i, min, max, *field)) return std::nullopt;
      k += run;
      continue;
    }
    if (i >= s.size() || s[i] != f) return std::nullopt;
    ++i;
    ++k;
  }
  if (!TimePart(s, i, d) || !Valid(d)) return std::nullopt;
  return d;
}

// The literal's value with doubled quotes made single again.
std::string TextValue(const std::string& token) {
  std::string v;
  for (std::size_t i = 1; i + 1 < token.size(); ++i) {
    v += token[i];
    if (token[i] == '\'') ++i;
  }
  return v;
}

std::string BracketToQuoted(const std::string& token) {
  std::string out = "\"";
  for (std::size_t i = 1; i + 1 < token.size(); ++i) {
    if (token[i] == '"') out += '"';
    out += token[i];
  }
  return out + "\"";
}

// ---- statement shape ------------------------------------------------------

std::size_t NextSignificant(const std::vector<Token>& t, std::size_t i) {
  while (i < t.size() && t[i].kind == Tok::Space) ++i;
  return i;
}

std::size_t PreviousSignificant(const std::vector<Token>& t, std::size_t i) {
  while (i-- > 0)
    if (t[i].kind != Tok::Space) return i;
  return std::string_view::npos;
}

bool IsWord(const std::vector<Token>& t, std::size_t i, std::string_view w) {
  return i < t.size() && t[i].kind == Tok::Word && SameIgnoringCase(t[i].text, w);
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// Removes "TOP n" after the leading SELECT [DISTINCT]; returns n or "".
bool TakeTop(std::vector<Token>& t, std::string& limit, std::string& error) {
  std::size_t first = NextSignificant(t, 0);
  if (!IsWord(t, first, "SELECT")) return true;
  std::size_t i = NextSignificant(t, first + 1);
  if (IsWord(t, i, "DISTINCT") || IsWord(t, i, "ALL")) i = NextSignificant(t, i + 1);
  if (!IsWord(t, i, "TOP")) return true;
  std::size_t n = NextSignificant(t, i + 1);
  std::size_t after = NextSignificant(t, n + 1);
  if (n >= t.size() || t[n].kind != Tok::Word || !AllDigits(t[n].text) || IsWord(t, after, "PERCENT")) {
    error = kErrTop;
    return false;
  }
  limit = t[n].text;
  t.erase(t.begin() + static_cast<std::ptrdiff_t>(i), t.begin() + static_cast<std::ptrdiff_t>(after));
  return true;
}

// "DELETE * FROM" -> "DELETE FROM".
void DropDeleteStar(std::vector<Token>& t) {
  std::size_t first = NextSignificant(t, 0);
  if (!IsWord(t, first, "DELETE")) return;
  std::size_t star = NextSignificant(t, first + 1);
  if (star < t.size() && t[star].kind == Tok::Punct && t[star].text == "*" &&
      IsWord(t, NextSignificant(t, star + 1), "FROM"))
    t.erase(t.begin() + static_cast<std::ptrdiff_t>(first + 1), t.begin() + static_cast<std::ptrdiff_t>(star + 1));
}

bool FollowsSelect(const std::vector<Token>& t, std::size_t i) {
  while (i > 0) {
    --i;
    if (t[i].kind == Tok::Space) continue;
    return IsWord(t, i, "SELECT") || IsWord(t, i, "DISTINCT") || IsWord(t, i, "ALL");
  }
  return false;
}

// ---- which texts are dates ----------------------------------------------

// The date/time columns of the schema: only a text that goes into one of
// them, or is compared with one, is read as a day-first date.
constexpr std::string_view kDateColumns[] = {"LastEdit", "FirstMail", "SecondMail", "Timestmp", "SpamDate"};

bool IsPunct(const std::vector<Token>& t, std::size_t i, std::string_view p) {
  return i < t.size() && t[i].kind == Tok::Punct && t[i].text == p;
}

bool IsDateColumn(const Token& tok) {
  std::string_view name = tok.text;
  if (tok.kind == Tok::QuotedName || tok.kind == Tok::Bracket) name = name.substr(1, name.size() - 2);
  else if (tok.kind != Tok::Word) return false;
  for (std::string_view column : kDateColumns)
    if (SameIgnoringCase(name, column)) return true;
  return false;
}

bool IsComparison(const Token& tok) {
  return tok.kind == Tok::Punct && (tok.text == "=" || tok.text == "<" || tok.text == ">");
}

// From t[i], steps over blanks and parentheses in direction `step`.
std::size_t SkipFiller(const std::vector<Token>& t, std::size_t i, int step) {
  while (i < t.size() && (t[i].kind == Tok::Space || IsPunct(t, i, "(") || IsPunct(t, i, ")"))) i += step;
  return i;  // past either end: t.size() or (size_t)-1 wraps to >= size
}

// "col op text" or "text op col" with a date column, op one of = < > <= >= <>.
bool ComparedWithDateColumn(const std::vector<Token>& t, std::size_t i) {
  for (int step : {-1, 1}) {
    std::size_t j = i + step;
    while (j < t.size() && t[j].kind == Tok::Space) j += step;
    if (j >= t.size() || !IsComparison(t[j])) continue;
    while (j < t.size() && IsComparison(t[j])) j += step;
    j = SkipFiller(t, j, step);
    if (j < t.size() && IsDateColumn(t[j])) return true;
  }
  return false;
}

// INSERT INTO table (columns) SELECT values | VALUES (values): marks the
// text literals that stand in the slot of a date column.
std::vector<bool> InsertedDates(const std::vector<Token>& t) {
  std::vector<bool> dates(t.size(), false);
  if (!IsWord(t, NextSignificant(t, 0), "INSERT")) return dates;
  std::size_t i = 0;
  while (i < t.size() && !IsPunct(t, i, "(")) ++i;
  std::vector<bool> columns;  // one per column: a date column?
  bool date = false;
  for (++i; i < t.size() && !IsPunct(t, i, ")"); ++i) {
    if (IsPunct(t, i, ",")) {
      columns.push_back(date);
      date = false;
    } else if (t[i].kind != Tok::Space) {
      date = IsDateColumn(t[i]);
    }
  }
  columns.push_back(date);
  std::size_t start = NextSignificant(t, i + 1);
  if (IsWord(t, start, "VALUES")) start = NextSignificant(t, start + 1);  // its "(" is the top level
  else if (!IsWord(t, start, "SELECT")) return dates;
  int depth = 0;
  std::size_t slot = 0;
  for (i = start + 1; i < t.size() && depth >= 0; ++i) {
    if (IsPunct(t, i, "(")) ++depth;
    else if (IsPunct(t, i, ")")) --depth;
    else if (depth == 0 && IsPunct(t, i, ",")) ++slot;
    else if (depth == 0 && t[i].kind == Tok::Text && slot < columns.size()) dates[i] = columns[slot];
    if (depth == 0 && IsWord(t, i, "FROM")) break;
  }
  return dates;
}

// A quoted name as PostgreSQL reads it: the schema's names are unquoted,
// so folded to lower case there.
std::string ServerName(const std::string& quoted) {
  std::string out;
  for (char c : quoted) out += AsciiLower(c);
  return out;
}

void MakeDate(Token& tok, std::string iso, const std::string& prefix) {
  tok.kind = Tok::Date;
  tok.text = prefix + "'" + iso + "'";
  tok.value = std::move(iso);
}

bool ReplaceTokens(std::vector<Token>& t, std::string_view layout, Engine engine, std::string& error) {
  const bool server = engine == Engine::Postgres;
  const std::string date_prefix = server ? "TIMESTAMP " : "";
  const std::vector<bool> inserted_dates = InsertedDates(t);
  for (std::size_t i = 0; i < t.size(); ++i) {
    Token& tok = t[i];
    switch (tok.kind) {
      case Tok::Text:
        if (!inserted_dates[i] && !ComparedWithDateColumn(t, i)) break;
        if (auto d = ParseDayFirst(TextValue(tok.text), layout)) MakeDate(tok, Iso(*d), date_prefix);
        break;
      case Tok::Hash: {
        std::string inner = tok.text.substr(1, tok.text.size() - 2);
        auto d = ParseHashDate(inner);
        if (!d) {
          error = std::string(kErrBadHash) + tok.text;
          return false;
        }
        MakeDate(tok, Iso(*d), date_prefix);
        break;
      }
      case Tok::Bracket:
        tok.kind = Tok::QuotedName;
        tok.text = BracketToQuoted(tok.text);
        if (server) tok.text = ServerName(tok.text);
        break;
      case Tok::QuotedName:
        if (server) tok.text = ServerName(tok.text);
        break;
      case Tok::Word: {
        std::size_t next = NextSignificant(t, i + 1);
        bool call = next < t.size() && t[next].kind == Tok::Punct && t[next].text == "(";
        if (call && !server && (SameIgnoringCase(tok.text, "Format$") || SameIgnoringCase(tok.text, "Format")))
          tok.text = kFormatFunction;
        else if (IsWord(t, i, "TOP") && FollowsSelect(t, i)) {
          error = kErrTop;  // TOP in a subquery
          return false;
        }
        break;
      }
      default: break;
    }
  }
  return true;
}

// Appends `clause` before the statement's trailing blanks and ';'.
void AppendLimit(std::vector<Token>& t, const std::string& clause) {
  std::size_t end = t.size();
  while (end > 0 && (t[end - 1].kind == Tok::Space || (t[end - 1].kind == Tok::Punct && t[end - 1].text == ";")))
    --end;
  t.insert(t.begin() + static_cast<std::ptrdiff_t>(end), Token{Tok::Word, clause, {}});
}

// ---- PostgreSQL ------------------------------------------------------------

// Email and what compare without case in ASCII letters only, as NOCASE does
// in the file: on the server the column side of a comparison becomes
// upper(col COLLATE "C") (which folds ASCII only, whatever the database's
// locale, and which the indexes are built on) and a text on the other side
// is folded here. citext was used before; it folds by the database's
// locale, so Latin-1 letters compared equal on the server only.
constexpr std::string_view kKeyColumns[] = {"Email", "what"};
constexpr std::string_view kFoldOpen = "upper(";
constexpr std::string_view kFoldClose = " COLLATE \"C\")";

bool IsKeyColumn(const std::vector<Token>& t, std::size_t i) {
  if (t[i].kind != Tok::Word) return false;
  for (std::string_view column : kKeyColumns)
    if (SameIgnoringCase(t[i].text, column)) return true;
  return false;
}

bool IsComparisonAt(const std::vector<Token>& t, std::size_t i) {
  return i < t.size() && (IsComparison(t[i]) || IsWord(t, i, "LIKE"));
}

// Folds the text literal that is compared with the column at t[i], on
// whichever side it stands.
void FoldComparedText(std::vector<Token>& t, std::size_t i) {
  for (int step : {-1, 1}) {
    std::size_t j = i + step;
    while (j < t.size() && t[j].kind == Tok::Space) j += step;
    if (!IsComparisonAt(t, j)) continue;
    while (IsComparisonAt(t, j) || (j < t.size() && t[j].kind == Tok::Space)) j += step;
    if (j < t.size() && t[j].kind == Tok::Text) t[j].text = AsciiUpper(t[j].text);
  }
}

void FoldKeyColumns(std::vector<Token>& t) {
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (!IsKeyColumn(t, i)) continue;
    const std::size_t before = PreviousSignificant(t, i);
    const bool compared = IsComparisonAt(t, NextSignificant(t, i + 1)) ||
                          (before != std::string_view::npos && IsComparisonAt(t, before));
    if (!compared || (before != std::string_view::npos && IsPunct(t, before, "."))) continue;
    FoldComparedText(t, i);
    t[i].text = std::string(kFoldOpen) + t[i].text + std::string(kFoldClose);
  }
}


// Several gateways may insert a sender's first attempt at once; the unique
// index on Email keeps one row, and the others' inserts do nothing.
constexpr std::string_view kNoDuplicate = " ON CONFLICT DO NOTHING";
constexpr std::string_view kMonthArray =
    "(ARRAY['Januar','Februar','M\xC3\xA4rz','April','Mai','Juni','Juli','August','September','Oktober',"
    "'November','Dezember'])";
constexpr std::string_view kShortMonthArray =
    "(ARRAY['Jan','Feb','M\xC3\xA4r','Apr','Mai','Jun','Jul','Aug','Sep','Okt','Nov','Dez'])";

bool IsListeInsert(const std::vector<Token>& t) {
  std::size_t first = NextSignificant(t, 0);
  std::size_t into = NextSignificant(t, first + 1);
  return IsWord(t, first, "INSERT") && IsWord(t, into, "INTO") && IsWord(t, NextSignificant(t, into + 1), "Liste");
}

// The ")" matching the "(" at t[open]; npos when missing. `comma` gets the
// first comma at the call's own level (npos if none).
std::size_t MatchingClose(const std::vector<Token>& t, std::size_t open, std::size_t& comma) {
  comma = std::string_view::npos;
  int depth = 0;
  for (std::size_t i = open; i < t.size(); ++i) {
    if (IsPunct(t, i, "(")) ++depth;
    else if (IsPunct(t, i, ")") && --depth == 0) return i;
    else if (depth == 1 && IsPunct(t, i, ",") && comma == std::string_view::npos) comma = i;
  }
  return std::string_view::npos;
}

std::string Joined(const std::vector<Token>& t, std::size_t from, std::size_t to) {
  std::string text;
  for (std::size_t i = from; i < to; ++i) text += t[i].text;
  return text;
}

// One run of a Format$ pattern letter as a PostgreSQL expression over `value`.
std::optional<std::string> PatternPiece(char letter, std::size_t& run, const std::string& value) {
  auto to_char = [&](std::string_view picture) {
    return "to_char(CAST(" + value + " AS timestamp), '" + std::string(picture) + "')";
  };
  const std::string month = "CAST(EXTRACT(MONTH FROM " + value + ") AS integer)";
  switch (letter) {
    case 'y': run = run >= 4 ? 4 : 2; return to_char(run == 4 ? "FMYYYY" : "YY");
    case 'm':
      run = run > 4 ? 4 : run;
      if (run == 4) return std::string(kMonthArray) + "[" + month + "]";
      if (run == 3) return std::string(kShortMonthArray) + "[" + month + "]";
      return to_char(run == 2 ? "MM" : "FMMM");
    case 'd': run = run >= 2 ? 2 : 1; return to_char(run == 2 ? "DD" : "FMDD");
    case 'h': run = run >= 2 ? 2 : 1; return to_char(run == 2 ? "HH24" : "FMHH24");
    case 'n': run = run >= 2 ? 2 : 1; return to_char(run == 2 ? "MI" : "FMMI");
    case 's': run = run >= 2 ? 2 : 1; return to_char(run == 2 ? "SS" : "FMSS");
    default: return std::nullopt;
  }
}

// Format$(value, 'pattern') as a concatenation; the pattern must be a text.
std::optional<std::string> ServerFormat(const std::string& value, const std::string& pattern_token) {
  const std::string pattern = TextValue(pattern_token);
  std::string out, literal;
  auto flush = [&] {
    if (literal.empty()) return;
    std::string quoted = "'";
    for (char c : literal) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    out += (out.empty() ? "" : " || ") + quoted + "'";
    literal.clear();
  };
  for (std::size_t i = 0; i < pattern.size();) {
    const char c = AsciiLower(pattern[i]);
    std::size_t run = 1;
    while (i + run < pattern.size() && AsciiLower(pattern[i + run]) == c) ++run;
    if (c == '\\' && i + 1 < pattern.size()) {
      literal += pattern[i + 1];
      i += 2;
      continue;
    }
    std::optional<std::string> piece = PatternPiece(c, run, value);
    if (!piece) {
      if (std::isalpha(static_cast<unsigned char>(c))) return std::nullopt;
      literal += pattern[i];
      i += 1;
      continue;
    }
    flush();
    out += (out.empty() ? "" : " || ") + *piece;
    i += run;
  }
  flush();
  return "(" + (out.empty() ? std::string("''") : out) + ")";
}

// Rewrites the call at t[i] (a word followed by "(" at t[open]).
bool RewriteCall(std::vector<Token>& t, std::size_t i, std::size_t open, std::string& error) {
  std::size_t comma = 0;
  std::size_t close = MatchingClose(t, open, comma);
  if (close == std::string_view::npos) {
    error = std::string(kErrCall) + t[i].text;
    return false;
  }
  std::optional<std::string> text;
  if (IsWord(t, i, "Year") || IsWord(t, i, "Month")) {
    text = std::string(IsWord(t, i, "Year") ? "CAST(EXTRACT(YEAR FROM (" : "CAST(EXTRACT(MONTH FROM (") +
           Joined(t, open + 1, close) + ")) AS integer)";
  } else {
    std::size_t pattern = comma == std::string_view::npos ? close : NextSignificant(t, comma + 1);
    if (pattern < close && t[pattern].kind == Tok::Text && NextSignificant(t, pattern + 1) == close)
      text = ServerFormat("(" + Joined(t, open + 1, comma) + ")", t[pattern].text);
  }
  if (!text) {
    error = std::string(kErrPattern) + Joined(t, i, close + 1);
    return false;
  }
  t[i].text = *text;  // one token: an outer call still sees its own parentheses
  t.erase(t.begin() + static_cast<std::ptrdiff_t>(i + 1), t.begin() + static_cast<std::ptrdiff_t>(close + 1));
  return true;
}

// Format$, Year and Month as PostgreSQL expressions; from the end, so that
// an inner call is rewritten before the call around it reads it.
bool RewriteServerCalls(std::vector<Token>& t, std::string& error) {
  for (std::size_t i = t.size(); i-- > 0;) {
    if (t[i].kind != Tok::Word) continue;
    const bool known = SameIgnoringCase(t[i].text, "Format$") || SameIgnoringCase(t[i].text, "Format") ||
                       SameIgnoringCase(t[i].text, "Year") || SameIgnoringCase(t[i].text, "Month");
    std::size_t open = NextSignificant(t, i + 1);
    if (known && IsPunct(t, open, "(") && !RewriteCall(t, i, open, error)) return false;
  }
  return true;
}

// ---- shapes -------------------------------------------------------------

// Statements whose values may be parameters; DDL and the rest take none.
bool TakesParameters(const std::vector<Token>& t) {
  std::size_t first = NextSignificant(t, 0);
  if (!IsWord(t, first, "SELECT") && !IsWord(t, first, "INSERT") && !IsWord(t, first, "UPDATE") &&
      !IsWord(t, first, "DELETE"))
    return false;
  for (const Token& tok : t) {  // a parameter of the caller's own would shift the numbering
    if (tok.kind == Tok::Punct && (tok.text == "?" || tok.text == ":" || tok.text == "@")) return false;
    if (tok.kind == Tok::Word && tok.text.front() == '$') return false;
  }
  return true;
}

// A literal where an expression is read: after an operator, "(", "," or a
// keyword that an expression follows. Not a typed or prefixed literal
// (DATE '…', X'…') nor an alias, which must stay literals.
bool InValuePosition(const std::vector<Token>& t, std::size_t i) {
  static constexpr std::string_view kOperators = "=<>(,+-*/|%";
  static constexpr std::string_view kBefore[] = {"SELECT", "DISTINCT", "ALL", "WHERE", "AND", "OR", "NOT",
                                                 "LIKE", "IN", "VALUES", "BETWEEN", "SET", "CASE", "WHEN",
                                                 "THEN", "ELSE", "IS", "ON", "HAVING", "ESCAPE"};
  // Glued to a word on either side ("X'00'", "'a'9"), a placeholder would
  // read as part of it ("?9", "$19").
  if ((i > 0 && t[i - 1].kind == Tok::Word) || (i + 1 < t.size() && t[i + 1].kind == Tok::Word)) return false;
  std::size_t p = PreviousSignificant(t, i);
  if (p == std::string_view::npos) return false;
  if (t[p].kind == Tok::Punct) return t[p].text.size() == 1 && kOperators.find(t[p].text[0]) != std::string_view::npos;
  for (std::string_view word : kBefore)
    if (IsWord(t, p, word)) return true;
  return false;
}

// A whole number compared with something ("WieOft = 3"); elsewhere a number
// may mean a column ("ORDER BY 1") and stays in the shape.
bool ComparedNumber(const std::vector<Token>& t, std::size_t i) {
  if (t[i].kind != Tok::Word || !AllDigits(t[i].text) || t[i].text.size() > 18) return false;
  std::size_t p = PreviousSignificant(t, i);
  return p != std::string_view::npos && IsComparison(t[p]) && !IsPunct(t, NextSignificant(t, i + 1), ".");
}

void BuildShape(const std::vector<Token>& t, Engine engine, Translation& out) {
  const bool server = engine == Engine::Postgres;
  auto placeholder = [&] { return server ? "$" + std::to_string(out.values.size()) : std::string("?"); };
  for (std::size_t i = 0; i < t.size(); ++i) {
    const Token& tok = t[i];
    if ((tok.kind == Tok::Text || tok.kind == Tok::Date) && InValuePosition(t, i)) {
      const bool date = tok.kind == Tok::Date;
      out.values.push_back(Parameter{date ? tok.value : TextValue(tok.text), false});
      out.shape += date && server ? "CAST(" + placeholder() + " AS timestamp)" : placeholder();
    } else if (ComparedNumber(t, i)) {
      out.values.push_back(Parameter{tok.text, true});
      out.shape += placeholder();
    } else {
      out.shape += tok.text;
    }
  }
  if (out.values.empty()) out.shape.clear();  // nothing to bind: run as it stands
}

}  // namespace

bool IsUsableLayout(std::string_view layout) {
  int d = 0, m = 0, y = 0;
  for (std::size_t k = 0; k < layout.size();) {
    char f = layout[k];
    std::size_t run = 1;
    while (k + run < layout.size() && layout[k + run] == f) ++run;
    if (f == 'd') ++d;
    else if (f == 'M') ++m;
    else if (f == 'y') ++y;
    else if (std::isalnum(static_cast<unsigned char>(f))) return false;
    if ((f == 'd' || f == 'M') && run > 2) return false;
    if (f == 'y' && run != 4) return false;
    k += run;
  }
  return d == 1 && m == 1 && y == 1;
}

bool Translate(std::string_view statement, std::string_view layout, Engine engine, std::string& out,
               std::string& error) {
  Translation translation;
  const bool ok = Translate(statement, layout, engine, translation, error);
  out = std::move(translation.literal);
  return ok;
}

bool Translate(std::string_view statement, std::string_view layout, Engine engine, Translation& out,
               std::string& error) {
  out = Translation{};
  error.clear();
  if (statement.size() > kMaxStatement) {
    error = kErrTooLong;
    return false;
  }
  if (statement.find('\0') != std::string_view::npos) {
    error = kErrZeroByte;  // SQLite would end the text there
    return false;
  }
  std::vector<Token> tokens;
  if (!Tokenize(statement, tokens, error)) return false;
  const bool parameters = TakesParameters(tokens);  // judged before calls are merged into one token
  std::string limit;
  if (!TakeTop(tokens, limit, error)) return false;
  DropDeleteStar(tokens);
  if (!ReplaceTokens(tokens, layout, engine, error)) return false;
  if (engine == Engine::Postgres && !RewriteServerCalls(tokens, error)) return false;
  if (engine == Engine::Postgres) FoldKeyColumns(tokens);
  if (!limit.empty()) AppendLimit(tokens, " LIMIT " + limit);
  if (engine == Engine::Postgres && IsListeInsert(tokens)) AppendLimit(tokens, std::string(kNoDuplicate));
  for (const Token& t : tokens) out.literal += t.text;
  if (parameters) BuildShape(tokens, engine, out);
  return true;
}

}  // namespace brenvik::sql_internal
