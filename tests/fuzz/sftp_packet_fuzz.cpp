// libFuzzer target: arbitrary bytes from a server through the packet reader
// and the reply parser, fed in two pieces at a point the input chooses.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sftp/sftp_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t cut = text.empty() ? 0 : data[0] % (text.size() + 1);
  kestova::sftp::PacketReader reader;
  std::string why;
  if (!reader.Feed(text.data(), cut, why) || !reader.Feed(text.data() + cut, text.size() - cut, why)) {
    if (why.empty()) __builtin_trap();
    return 0;
  }
  while (const auto body = reader.Next()) {
    if (body->empty() || body->size() > kestova::sftp::kMaxPacket) __builtin_trap();
    why.clear();
    const auto reply = kestova::sftp::ParseReply(*body, why);
    if (!reply) {
      if (why.empty()) __builtin_trap();
      continue;
    }
    if (reply->names.size() > body->size() / 12) __builtin_trap();
    for (const auto& name : reply->names) kestova::sftp::EntryOf(name);
  }
  return 0;
}
