// Pure helpers for reading server replies: reply codes, quoted paths, the
// address of a 227 reply, and the transfer statistics line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kestova {

// Splits the bytes of the control connection into reply lines. It holds at
// most 4095 bytes: a line that does not end within them, or bytes holding a
// zero, can never be read, and are reported instead of waited for.
class ReplyReader {
 public:
  static constexpr std::size_t kCapacity = 4095;
  enum class Status { Ok, ZeroByte, TooLong };

  // Room left for the next receive.
  std::size_t Room() const { return kCapacity - buffer_.size(); }
  // Adds received bytes (at most Room()).
  Status Append(const char* data, std::size_t size);
  // The next complete line without its line end (trailing CR and LF
  // removed), or nothing until more bytes come. With `bare_lf` a lone LF
  // ends a line, otherwise only CR LF does.
  std::optional<std::string> NextLine(bool bare_lf);
  // After NextLine found nothing: whether the buffer is full, so that no
  // line can ever end in it.
  Status Check() const { return buffer_.size() >= kCapacity ? Status::TooLong : Status::Ok; }
  void Clear() { buffer_.clear(); }

 private:
  std::string buffer_;
};

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
// The port of a 229 reply (RFC 2428): "229 Entering Extended Passive Mode
// (|||port|)", with any one printable delimiter in place of "|"; nothing
// when the reply does not hold one.
std::optional<int> ParseEpsvReply(const std::string& line);

// "N bytes received/sent in S seconds (R Bytes/sec)", the rate left out when
// no time passed.
std::string TransferStatistics(std::int64_t count, std::int64_t elapsed_ms);

}  // namespace kestova
