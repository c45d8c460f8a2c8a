#include "sftp/sftp_packet.h"

#include <sys/stat.h>

#include <ctime>

namespace kestova::sftp {

namespace {

std::uint32_t ReadU32(const std::string& bytes, std::size_t at) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) << 24) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 8) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3]));
}

void PutU32(std::string& bytes, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>((value >> shift) & 0xff);
}

// Reads the fields of one body in order; any read past the end marks the
// body short, and every later read gives zeros.
class Fields {
 public:
  explicit Fields(const std::string& body) : body_(body) {}
  bool Short() const { return short_; }
  bool AtEnd() const { return at_ == body_.size(); }
  std::uint8_t U8() {
    if (!Have(1)) return 0;
    return static_cast<std::uint8_t>(body_[at_++]);
  }
  std::uint32_t U32() {
    if (!Have(4)) return 0;
    const std::uint32_t value = ReadU32(body_, at_);
    at_ += 4;
    return value;
  }
  std::uint64_t U64() {
    const std::uint64_t high = U32();
    return (high << 32) | U32();
  }
  std::string String() {
    const std::uint32_t size = U32();
    if (!Have(size)) return std::string();
    std::string value = body_.substr(at_, size);
    at_ += size;
    return value;
  }
  Attributes Attrs() {
    Attributes attrs;
    attrs.flags = U32();
    if (attrs.flags & kAttrSize) attrs.size = U64();
    if (attrs.flags & kAttrUidGid) {
      attrs.uid = U32();
      attrs.gid = U32();
    }
    if (attrs.flags & kAttrPermissions) attrs.permissions = U32();
    if (attrs.flags & kAttrTimes) {
      U32();  // the access time
      attrs.mtime = U32();
    }
    if (attrs.flags & kAttrExtended) {
      const std::uint32_t count = U32();
      for (std::uint32_t i = 0; i < count && !short_; ++i) {
        String();
        String();
      }
    }
    return attrs;
  }

 private:
  bool Have(std::size_t count) {
    if (!short_ && body_.size() - at_ >= count) return true;
    short_ = true;
    return false;
  }
  const std::string& body_;
  std::size_t at_ = 0;
  bool short_ = false;
};

}  // namespace

const char* StatusName(std::uint32_t code) {
  switch (code) {
    case kOk: return "done";
    case kEof: return "end of file";
    case kNoSuchFile: return "no such file";
    case kPermissionDenied: return "permission denied";
    case kFailure: return "failure";
    case kBadMessage: return "bad message";
    case kNoConnection: return "no connection";
    case kConnectionLost: return "connection lost";
    case kOpUnsupported: return "operation not supported";
    default: return "unknown status";
  }
}

Request::Request(Type type, std::uint32_t id) {
  bytes_.assign(4, '\0');
  bytes_ += static_cast<char>(type);
  PutU32(bytes_, id);
}

Request& Request::U32(std::uint32_t value) {
  PutU32(bytes_, value);
  return *this;
}

Request& Request::U64(std::uint64_t value) {
  PutU32(bytes_, static_cast<std::uint32_t>(value >> 32));
  PutU32(bytes_, static_cast<std::uint32_t>(value));
  return *this;
}

Request& Request::String(const std::string& value) { return Bytes(value.data(), value.size()); }

Request& Request::Bytes(const char* data, std::size_t size) {
  PutU32(bytes_, static_cast<std::uint32_t>(size));
  bytes_.append(data, size);
  return *this;
}

Request& Request::Attrs(const Attributes& attrs) {
  U32(attrs.flags);
  if (attrs.flags & kAttrSize) U64(attrs.size);
  if (attrs.flags & kAttrUidGid) U32(attrs.uid).U32(attrs.gid);
  if (attrs.flags & kAttrPermissions) U32(attrs.permissions);
  if (attrs.flags & kAttrTimes) U32(attrs.mtime).U32(attrs.mtime);
  return *this;
}

const std::string& Request::Wire() {
  const std::uint32_t size = static_cast<std::uint32_t>(bytes_.size() - 4);
  for (int i = 0; i < 4; ++i) bytes_[i] = static_cast<char>((size >> (24 - 8 * i)) & 0xff);
  return bytes_;
}

namespace {

// Servers that speak later versions too (proftpd's mod_sftp among them)
// send their statuses to version 3 clients as well, "file already exists"
// for a rename onto a name that is taken, say. Each is read as the version 3
// status that means the same to a client, with its own name where the
// server sent no message; false for a code no version has.
bool FromLaterVersion(Reply& reply) {
  static const struct {
    std::uint32_t code;
    Status meaning;
    const char* name;
  } kLater[] = {
      {9, kFailure, "invalid handle"},
      {10, kNoSuchFile, "no such path"},
      {11, kFailure, "file already exists"},
      {12, kPermissionDenied, "write protected"},
      {13, kFailure, "no media"},
      {14, kFailure, "no space on the file system"},
      {15, kFailure, "quota exceeded"},
      {16, kFailure, "unknown principal"},
      {17, kFailure, "lock conflict"},
      {18, kFailure, "folder not empty"},
      {19, kFailure, "not a folder"},
      {20, kFailure, "invalid file name"},
      {21, kFailure, "too many symbolic links"},
      {22, kPermissionDenied, "cannot delete"},
      {23, kFailure, "invalid parameter"},
      {24, kFailure, "file is a folder"},
      {25, kFailure, "byte range lock conflict"},
      {26, kFailure, "byte range lock refused"},
      {27, kFailure, "delete pending"},
      {28, kFailure, "file corrupt"},
      {29, kFailure, "owner invalid"},
      {30, kFailure, "group invalid"},
      {31, kFailure, "no matching byte range lock"},
  };
  for (const auto& later : kLater) {
    if (later.code != reply.code) continue;
    if (reply.message.empty()) reply.message = later.name;
    reply.code = later.meaning;
    return true;
  }
  return false;
}

}  // namespace

std::optional<Reply> ParseReply(const std::string& body, std::string& why) {
  Fields in(body);
  Reply reply;
  reply.type = static_cast<Type>(in.U8());
  reply.id = in.U32();
  switch (in.Short() ? kStatus : reply.type) {
    case kVersion:
    case kExtendedReply:
      while (!in.Short() && !in.AtEnd()) {
        std::string name = in.String();
        std::string data = in.String();
        reply.extensions.emplace_back(std::move(name), std::move(data));
      }
      break;
    case kStatus:
      reply.code = in.U32();
      // Servers of the oldest drafts end a status after its code.
      if (!in.Short() && !in.AtEnd()) {
        reply.message = in.String();
        if (!in.AtEnd()) in.String();  // the language tag
      }
      if (!in.Short() && reply.code > kOpUnsupported && !FromLaterVersion(reply)) {
        why = "the server answered with status " + std::to_string(reply.code) + ", which no SFTP version has";
        return std::nullopt;
      }
      break;
    case kHandle: reply.handle = in.String(); break;
    case kData: reply.data = in.String(); break;
    case kName: {
      const std::uint32_t count = in.U32();
      // Each name takes at least 12 bytes: a bound on what a count may claim.
      if (count > body.size() / 12) {
        why = "the server listed " + std::to_string(count) + " names in a packet of " + std::to_string(body.size()) +
              " bytes";
        return std::nullopt;
      }
      for (std::uint32_t i = 0; i < count && !in.Short(); ++i) {
        Reply::Name name;
        name.name = in.String();
        name.longname = in.String();
        name.attrs = in.Attrs();
        reply.names.push_back(std::move(name));
      }
      break;
    }
    case kAttrs: reply.attrs = in.Attrs(); break;
    default:
      why = "the server sent a packet of type " + std::to_string(static_cast<int>(reply.type)) +
            ", which is no reply of SFTP version 3";
      return std::nullopt;
  }
  if (in.Short()) {
    why = "the server sent a packet of type " + std::to_string(static_cast<int>(reply.type)) +
          " that ends before its fields do";
    return std::nullopt;
  }
  return reply;
}

bool PacketReader::Feed(const char* data, std::size_t size, std::string& why) {
  if (start_ > 0 && start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
  buffer_.append(data, size);
  for (std::size_t at = start_; buffer_.size() - at >= 4;) {
    const std::uint32_t length = ReadU32(buffer_, at);
    if (length == 0 || length > kMaxPacket) {
      why = "the server sent a packet of " + std::to_string(length) + " bytes, where at most " +
            std::to_string(kMaxPacket) + " are allowed";
      return false;
    }
    if (buffer_.size() - at - 4 < length) break;
    at += 4 + length;
  }
  return true;
}

std::optional<std::string> PacketReader::Next() {
  if (Pending() < 4) return std::nullopt;
  const std::uint32_t length = ReadU32(buffer_, start_);
  if (Pending() - 4 < length) return std::nullopt;
  std::string body = buffer_.substr(start_ + 4, length);
  start_ += 4 + length;
  // What was read goes once it is most of the buffer.
  if (start_ > 65536 && start_ * 2 > buffer_.size()) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  return body;
}

RemoteEntry EntryOf(const Reply::Name& name) {
  RemoteEntry entry;
  entry.name = name.name;
  const Attributes& attrs = name.attrs;
  if (attrs.flags & kAttrPermissions) {
    const std::uint32_t type = attrs.permissions & S_IFMT;
    entry.kind = type == S_IFREG   ? RemoteEntry::Kind::File
                 : type == S_IFDIR ? RemoteEntry::Kind::Folder
                 : type == S_IFLNK ? RemoteEntry::Kind::Link
                                   : RemoteEntry::Kind::Other;
  }
  if (attrs.flags & kAttrSize) entry.size = static_cast<std::int64_t>(attrs.size & 0x7fffffffffffffffULL);
  if (attrs.flags & kAttrTimes) {
    const std::time_t seconds = attrs.mtime;
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    entry.time = {utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec};
    entry.precision = RemoteEntry::Precision::Second;
    entry.utc = true;
  }
  return entry;
}

}  // namespace kestova::sftp
