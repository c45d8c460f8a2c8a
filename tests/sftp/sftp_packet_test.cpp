#include "sftp/sftp_packet.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

namespace kestova::sftp {
namespace {

// A reply's body as a server writes it: replies share the requests' layout
// (type, id, fields), so the request writer builds them.
std::string Body(Request request) { return request.Wire().substr(4); }

TEST(SftpPacket, RequestsGoOnTheWireWithTheirLengthTypeAndId) {
  Attributes attrs;
  attrs.flags = kAttrPermissions;
  attrs.permissions = 0644;
  const std::string wire = Request(kOpen, 7).String("a b").U32(kOpenWrite | kOpenCreate).Attrs(attrs).Wire();
  const std::string expected(
      "\0\0\0\x18\x03\0\0\0\x07\0\0\0\x03"
      "a b\0\0\0\x0a\0\0\0\x04\0\0\x01\xa4",
      28);
  EXPECT_EQ(wire, expected);
  EXPECT_EQ(Request::Init(3).Wire(), std::string("\0\0\0\x05\x01\0\0\0\x03", 9));
}

TEST(SftpPacket, EveryReplyOfTheVersionIsReadBack) {
  std::string why;
  const auto status = ParseReply(Body(Request(kStatus, 5).U32(kNoSuchFile).String("No such file").String("en")), why);
  ASSERT_TRUE(status) << why;
  EXPECT_EQ(status->id, 5u);
  EXPECT_EQ(status->code, kNoSuchFile);
  EXPECT_EQ(status->message, "No such file");
  // The oldest servers end a status after its code.
  ASSERT_TRUE(ParseReply(Body(Request(kStatus, 6).U32(kOk)), why)) << why;
  // A later version's status is read as the version 3 one that means the
  // same, named where the server gave no words.
  const auto later = ParseReply(Body(Request(kStatus, 7).U32(10)), why);
  ASSERT_TRUE(later) << why;
  EXPECT_EQ(later->code, kNoSuchFile);
  EXPECT_EQ(later->message, "no such path");

  const auto version = ParseReply(Body(Request(kVersion, 3).String("posix-rename@openssh.com").String("1")), why);
  ASSERT_TRUE(version) << why;
  EXPECT_EQ(version->id, 3u);
  ASSERT_EQ(version->extensions.size(), 1u);
  EXPECT_EQ(version->extensions[0].first, "posix-rename@openssh.com");

  Attributes file;
  file.flags = kAttrSize | kAttrPermissions | kAttrTimes | kAttrUidGid;
  file.size = 5000000000ULL;
  file.permissions = S_IFREG | 0644;
  file.mtime = 1767225600;  // 2026-01-01 00:00:00 UTC
  Attributes folder;
  folder.flags = kAttrPermissions;
  folder.permissions = S_IFDIR | 0755;
  const auto names = ParseReply(Body(Request(kName, 9)
                                         .U32(2)
                                         .String("big file.bin")
                                         .String("-rw-r--r-- ...")
                                         .Attrs(file)
                                         .String("sub")
                                         .String("")
                                         .Attrs(folder)),
                                why);
  ASSERT_TRUE(names) << why;
  ASSERT_EQ(names->names.size(), 2u);
  const RemoteEntry big = EntryOf(names->names[0]);
  EXPECT_EQ(big.name, "big file.bin");
  EXPECT_EQ(big.kind, RemoteEntry::Kind::File);
  EXPECT_EQ(big.size, 5000000000LL);
  EXPECT_EQ(big.precision, RemoteEntry::Precision::Second);
  EXPECT_TRUE(big.utc);
  EXPECT_EQ(big.time.year, 2026);
  EXPECT_EQ(big.time.hour, 0);
  const RemoteEntry sub = EntryOf(names->names[1]);
  EXPECT_EQ(sub.kind, RemoteEntry::Kind::Folder);
  EXPECT_EQ(sub.size, -1);  // not listed
  EXPECT_EQ(sub.precision, RemoteEntry::Precision::None);

  const auto handle = ParseReply(Body(Request(kHandle, 10).String(std::string("\0h", 2))), why);
  ASSERT_TRUE(handle) << why;
  EXPECT_EQ(handle->handle, std::string("\0h", 2));
  const auto data = ParseReply(Body(Request(kData, 11).String("bytes")), why);
  ASSERT_TRUE(data) << why;
  EXPECT_EQ(data->data, "bytes");
}

TEST(SftpPacket, RepliesThatCannotBeRightAreRefusedWithTheReason) {
  const struct {
    const char* what;
    std::string body;
    const char* why;
  } cases[] = {
      {"a request type", Body(Request::Init(3)), "which is no reply of SFTP version 3"},
      {"an unknown type", Body(Request(static_cast<Type>(99), 1)), "which is no reply of SFTP version 3"},
      {"a status of no version", Body(Request(kStatus, 1).U32(32).String("what").String("")),
       "status 32, which no SFTP version has"},
      {"a status without its code", Body(Request(kStatus, 1)), "ends before its fields do"},
      {"a string longer than the packet", Body(Request(kHandle, 1).U32(1000).U32(0)), "ends before its fields do"},
      {"a name without its attributes", Body(Request(kName, 1).U32(1).String("a").String("a")),
       "ends before its fields do"},
      {"more names than the packet can hold", Body(Request(kName, 1).U32(100000).String("a")), "listed 100000 names"},
      {"nothing at all", std::string(), "ends before its fields do"},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_FALSE(ParseReply(c.body, why)) << c.what;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.what << ": " << why;
  }
}

TEST(SftpPacket, TheReaderCutsPacketsWhereverTheBytesBreakAndRefusesImpossibleLengths) {
  const std::string stream = Request(kStatus, 1).U32(kOk).Wire() + Request(kData, 2).String("xyz").Wire();
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    PacketReader reader;
    std::string why;
    ASSERT_TRUE(reader.Feed(stream.data(), cut, why)) << why;
    ASSERT_TRUE(reader.Feed(stream.data() + cut, stream.size() - cut, why)) << why;
    std::vector<std::uint8_t> types;
    while (const auto body = reader.Next()) types.push_back(static_cast<std::uint8_t>((*body)[0]));
    EXPECT_EQ(types, (std::vector<std::uint8_t>{kStatus, kData})) << cut;
    EXPECT_EQ(reader.Pending(), 0u);
  }
  for (const std::string& length : {std::string("\0\0\0\0", 4), std::string("\0\x04\0\x01", 4)}) {
    PacketReader reader;
    std::string why;
    EXPECT_FALSE(reader.Feed(length.data(), length.size(), why));
    EXPECT_NE(why.find("at most 262144"), std::string::npos) << why;
  }
}

}  // namespace
}  // namespace kestova::sftp
