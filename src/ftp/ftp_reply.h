// Pure helpers for reading server replies: reply codes, quoted paths, the
// address of a 227 reply, and the transfer statistics line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestova {

struct ReplyCodeInfo {
  bool has_digits = false;  // the line begins (after blanks and a sign) with digits
  int code = 0;
  bool intermediate = false;  // the digits are followed by "-"
};

// Skips blanks (space, tab, CR, LF) and one "+" or "-" sign, then reads the
// decimal digits.
ReplyCodeInfo ParseReplyCode(const std::string& line);

// A final line is one that begins with digits not followed by "-".
inline bool IsFinalReply(const std::string& line) {
  const ReplyCodeInfo info = ParseReplyCode(line);
  return !line.empty() && info.has_digits && !info.intermediate;
}

// The path between double quotes after the reply code, a doubled quote
// standing for one; empty when the text after the code does not start with a
// quote.
std::string ParseReplyPath(const std::string& line);

struct PasvEndpoint {
  std::string address;  // dotted
  int port = 0;
};

// The six numbers of a 227 reply: "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)".
// Nothing when the reply does not hold them.
std::optional<PasvEndpoint> ParsePasvReply(const std::string& line);

// "N bytes received/sent in S seconds (R Bytes/sec)", the rate left out when
// no time passed.
std::string TransferStatistics(std::int64_t count, std::int64_t elapsed_ms);

}  // namespace kestova
