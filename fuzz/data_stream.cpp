// The end-of-data search and line-end normalisation of the mail data. The
// input (after two bytes that choose how it is cut into blocks) is mail
// data: cut anywhere, it gives the same bytes as in one piece; the output
// has only CR LF line ends and no end mark before the one that ends it.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "gateway/relay_session_rules.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Feeds `data` in blocks; returns the bytes of `data` taken.
std::size_t FeedInBlocks(std::string_view data, unsigned step_seed, std::string& out,
                         bool& complete) {
  brenvik::DataStream stream;
  std::size_t at = 0;
  unsigned state = step_seed | 1u;
  while (at < data.size() && !stream.Complete()) {
    state = state * 1103515245u + 12345u;
    const std::size_t step = step_seed == 0 ? data.size() : 1 + (state >> 16) % 17;
    std::string_view block = data.substr(at, step);
    const std::size_t taken = stream.Feed(block, out);
    Check(taken <= block.size());
    Check(taken == block.size() || stream.Complete());
    at += taken;
  }
  complete = stream.Complete();
  return at;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const unsigned seed = data[0] | (unsigned(data[1]) << 8);
  std::string_view mail(reinterpret_cast<const char*>(data) + 2, size - 2);

  std::string whole, cut;
  bool whole_complete = false, cut_complete = false;
  const std::size_t whole_taken = FeedInBlocks(mail, 0, whole, whole_complete);
  const std::size_t cut_taken = FeedInBlocks(mail, seed, cut, cut_complete);
  Check(whole == cut);
  Check(whole_taken == cut_taken);
  Check(whole_complete == cut_complete);

  for (std::size_t i = 0; i < whole.size(); ++i) {
    if (whole[i] == '\r') Check(i + 1 < whole.size() && whole[i + 1] == '\n');
    if (whole[i] == '\n') Check(i > 0 && whole[i - 1] == '\r');
  }
  if (whole_complete) {
    std::string_view out(whole);
    Check(out == ".\r\n" || (out.size() >= 5 && out.substr(out.size() - 5) == "\r\n.\r\n"));
    // The mark is the first one: nothing before it already ended the data.
    std::string_view before = out.substr(0, out.size() - 3);
    Check(before.substr(0, 3) != ".\r\n" || before.empty());
    Check(before.find("\r\n.\r\n") == std::string_view::npos);
  } else {
    Check(whole_taken == mail.size());
  }
  // Every byte other than a line end or a dot passes unchanged and in order
  // (dots may be added); a line held back at the end is still to come.
  std::string kept_in, kept_out;
  for (char c : mail.substr(0, whole_taken))
    if (c != '\r' && c != '\n' && c != '.') kept_in += c;
  for (char c : whole)
    if (c != '\r' && c != '\n' && c != '.') kept_out += c;
  Check(whole_complete ? kept_in == kept_out : kept_in.starts_with(kept_out));
  const auto dots = [](std::string_view text) { return std::count(text.begin(), text.end(), '.'); };
  if (whole_complete) Check(dots(whole) >= dots(mail.substr(0, whole_taken)));
  return 0;
}
