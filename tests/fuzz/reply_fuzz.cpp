// libFuzzer target: arbitrary bytes from an FTP server, fed to the reply
// reader in pieces, and every line it yields through the reply-code, path
// and 227 parsers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "ftp/ftp_reply.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void ParseLine(const std::string& line) {
  const kestova::ReplyCodeInfo info = kestova::ParseReplyCode(line);
  Check(info.code >= 0);
  kestova::IsFinalReply(line);
  const std::string path = kestova::ParseReplyPath(line);
  Check(path.size() <= line.size());
  if (const auto endpoint = kestova::ParsePasvReply(line)) {
    Check(endpoint->port >= 0 && endpoint->port <= 65535);
    Check(endpoint->address.size() >= 7 && endpoint->address.size() <= 15);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the line-end rule and the size of the pieces the
  // network delivers.
  const bool bare_lf = data[0] & 1;
  const std::size_t piece = 1 + (data[0] >> 1);
  kestova::ReplyReader reader;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  std::size_t left = size - 1;
  while (left > 0) {
    const std::size_t room = reader.Room();
    if (room == 0) break;
    const std::size_t take = std::min({piece, left, room});
    if (reader.Append(bytes, take) != kestova::ReplyReader::Status::Ok) break;
    bytes += take;
    left -= take;
    while (auto line = reader.NextLine(bare_lf)) {
      Check(line->find('\0') == std::string::npos);
      Check(!bare_lf || line->find('\n') == std::string::npos);
      Check(line->empty() || (line->back() != '\r' && line->back() != '\n'));
      ParseLine(*line);
    }
    if (reader.Check() == kestova::ReplyReader::Status::TooLong) break;
  }
  // Single lines straight into the parsers as well.
  ParseLine(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
