// The packets of the SFTP protocol, version 3: what the client writes (a
// request with its id), and what it reads back, checked field by field. A
// packet that is short, too long, of an unknown type or with a status the
// version does not know is refused with the reason; the session then ends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "site/remote_entry.h"

namespace kestova {

namespace sftp {

enum Type : std::uint8_t {
  kInit = 1,
  kVersion = 2,
  kOpen = 3,
  kClose = 4,
  kRead = 5,
  kWrite = 6,
  kLstat = 7,
  kFstat = 8,
  kSetstat = 9,
  kFsetstat = 10,
  kOpendir = 11,
  kReaddir = 12,
  kRemove = 13,
  kMkdir = 14,
  kRmdir = 15,
  kRealpath = 16,
  kStat = 17,
  kRename = 18,
  kStatus = 101,
  kHandle = 102,
  kData = 103,
  kName = 104,
  kAttrs = 105,
  kExtended = 200,
  kExtendedReply = 201,
};

enum Status : std::uint32_t {
  kOk = 0,
  kEof = 1,
  kNoSuchFile = 2,
  kPermissionDenied = 3,
  kFailure = 4,
  kBadMessage = 5,
  kNoConnection = 6,
  kConnectionLost = 7,
  kOpUnsupported = 8,
};

enum OpenFlag : std::uint32_t { kOpenRead = 1, kOpenWrite = 2, kOpenCreate = 8, kOpenTruncate = 0x10 };

enum AttrFlag : std::uint32_t {
  kAttrSize = 1,
  kAttrUidGid = 2,
  kAttrPermissions = 4,
  kAttrTimes = 8,
  kAttrExtended = 0x80000000,
};

// The largest packet either side sends: a write or a read of 32 KiB and its
// fields fit many times over, a long folder's NAME reply too.
constexpr std::uint32_t kMaxPacket = 256 * 1024;

// The words of a status code, for the log.
const char* StatusName(std::uint32_t code);

struct Attributes {
  std::uint32_t flags = 0;
  std::uint64_t size = 0;
  std::uint32_t uid = 0, gid = 0;
  std::uint32_t permissions = 0;
  std::uint32_t mtime = 0;  // seconds since 1970, UTC
};

// A request as it goes on the wire: length, type, id, then its fields.
class Request {
 public:
  Request(Type type, std::uint32_t id);
  // INIT carries the version where other requests carry their id.
  static Request Init(std::uint32_t version) { return Request(kInit, version); }
  Request& U32(std::uint32_t value);
  Request& U64(std::uint64_t value);
  Request& String(const std::string& value);
  Request& Bytes(const char* data, std::size_t size);
  Request& Attrs(const Attributes& attrs);
  // The packet with its length in front.
  const std::string& Wire();

 private:
  std::string bytes_;
};

// One reply, as read.
struct Reply {
  Type type = kStatus;
  std::uint32_t id = 0;  // the version, for VERSION
  // STATUS
  std::uint32_t code = kOk;
  std::string message;
  // HANDLE, DATA
  std::string handle;
  std::string data;
  // NAME: each name with its long form and attributes
  struct Name {
    std::string name, longname;
    Attributes attrs;
  };
  std::vector<Name> names;
  // ATTRS
  Attributes attrs;
  // VERSION and EXTENDED_REPLY: the extensions the server names, in pairs
  std::vector<std::pair<std::string, std::string>> extensions;
};

// Reads one packet's body (type and fields, without the length); nothing,
// with the reason, when it is not a reply of the version.
std::optional<Reply> ParseReply(const std::string& body, std::string& why);

// Cuts a byte stream into packet bodies.
class PacketReader {
 public:
  // Adds what came; false, with the reason, when a length cannot be right
  // (empty, or larger than kMaxPacket): the stream is then out of step.
  bool Feed(const char* data, std::size_t size, std::string& why);
  // The next whole packet's body, if one has come.
  std::optional<std::string> Next();
  // Bytes waiting that make no whole packet yet.
  std::size_t Pending() const { return buffer_.size() - start_; }

 private:
  std::string buffer_;
  std::size_t start_ = 0;
};

// A listed name as the engine's entry: kind from the permissions, size and
// time (UTC, to the second) where the attributes give them.
RemoteEntry EntryOf(const Reply::Name& name);

}  // namespace sftp

}  // namespace kestova
