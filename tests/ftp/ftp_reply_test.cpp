#include "ftp/ftp_reply.h"

#include <gtest/gtest.h>

namespace kestova {
namespace {

TEST(FtpReply, CodesAreReadAfterBlanksAndASign) {
  const struct {
    const char* line;
    bool digits;
    int code;
    bool intermediate;
  } cases[] = {
      {"220 ready", true, 220, false}, {"220-Welcome", true, 220, true},  {"  \t230 ok", true, 230, false},
      {"+150 go", true, 150, false},   {"Hello", false, 0, false},        {"", false, 0, false},
      {"226", true, 226, false},       {"12345 odd", true, 12345, false}, {"-", false, 0, false},
  };
  for (const auto& c : cases) {
    const ReplyCodeInfo info = ParseReplyCode(c.line);
    EXPECT_EQ(info.has_digits, c.digits) << c.line;
    EXPECT_EQ(info.code, c.code) << c.line;
    EXPECT_EQ(info.intermediate, c.intermediate) << c.line;
  }
  EXPECT_TRUE(IsFinalReply("250 done"));
  EXPECT_FALSE(IsFinalReply("250-more"));
  EXPECT_FALSE(IsFinalReply(" continued text"));
}

TEST(FtpReply, QuotedPathsUndoubleTheirQuotes) {
  EXPECT_EQ(ParseReplyPath("257 \"/public_html\" is current"), "/public_html");
  EXPECT_EQ(ParseReplyPath("257 \"/a \"\"b\"\" c\" created"), "/a \"b\" c");
  EXPECT_EQ(ParseReplyPath("257 /unquoted"), "");
  EXPECT_EQ(ParseReplyPath("257 \"/open"), "/open");
  EXPECT_EQ(ParseReplyPath("250"), "");
}

TEST(FtpReply, PasvRepliesGiveAnAddressAndAPort) {
  const struct {
    const char* line;
    const char* address;
    int port;
  } good[] = {
      {"227 Entering Passive Mode (127,0,0,1,4,1)", "127.0.0.1", 1025},
      {"227 Entering Passive Mode (10,1,2,3,255,255).", "10.1.2.3", 65535},
      {"227 =127,0,0,1,0,21", "127.0.0.1", 21},
      {"227 ok (1, 2, 3, 4, 0, 1)", "1.2.3.4", 1},
  };
  for (const auto& c : good) {
    const auto endpoint = ParsePasvReply(c.line);
    ASSERT_TRUE(endpoint) << c.line;
    EXPECT_EQ(endpoint->address, c.address);
    EXPECT_EQ(endpoint->port, c.port);
  }
  for (const char* bad : {"227 Entering Passive Mode", "227 (1,2,3,4,5)", "227 (1,2,3,4,x,1)", "227 (256,0,0,1,1,1)",
                          "227 (1,2,3,4,5,)", "", "227 (,,,,,)"}) {
    EXPECT_FALSE(ParsePasvReply(bad)) << bad;
  }
  // RFC 2428's reply: a port between three delimiters and one, any
  // printable one standing for "|".
  EXPECT_EQ(ParseEpsvReply("229 Entering Extended Passive Mode (|||6446|)"), 6446);
  EXPECT_EQ(ParseEpsvReply("229 EPSV ok (!!!65535!)"), 65535);
  for (const char* bad : {"229 (|||0|)", "229 (|||65536|)", "229 (||6446|)", "229 (|||6446)", "229 (|||x|)",
                          "229 (1116461)", "229 (|||6446|", "229 no parentheses", "229 (||||)"}) {
    EXPECT_FALSE(ParseEpsvReply(bad)) << bad;
  }
}

TEST(FtpReply, StatisticsLinesLeaveTheRateOutWhenNoTimePassed) {
  EXPECT_EQ(TransferStatistics(0, 0), "0 bytes received/sent in 0 seconds");
  EXPECT_EQ(TransferStatistics(1000, 500), "1000 bytes received/sent in 0 seconds (2000 Bytes/sec)");
  EXPECT_EQ(TransferStatistics(5000000, 2500), "5000000 bytes received/sent in 2 seconds (2000000 Bytes/sec)");
  EXPECT_EQ(TransferStatistics(40000, 3), "40000 bytes received/sent in 0 seconds (13333000 Bytes/sec)");
}

ReplyReader::Status Feed(ReplyReader& reader, const std::string& bytes) {
  return reader.Append(bytes.data(), bytes.size());
}

TEST(ReplyReader, LinesEndAtLfOrOnlyAtCrLfAndNeverOverrunItsBuffer) {
  ReplyReader reader;
  ASSERT_EQ(Feed(reader, "220 a\n230-b\r\n23"), ReplyReader::Status::Ok);
  EXPECT_EQ(reader.NextLine(true), "220 a");
  EXPECT_EQ(reader.NextLine(true), "230-b");
  EXPECT_EQ(reader.NextLine(true), std::nullopt);  // "23" waits for its end
  Feed(reader, "0 c\r\n");
  EXPECT_EQ(reader.NextLine(true), "230 c");

  Feed(reader, "331 x\n332 y\r\n");
  EXPECT_EQ(reader.NextLine(false), "331 x\n332 y");  // without bare LF, only CR LF ends a line

  const std::string huge(5000, 'z');
  EXPECT_EQ(reader.Append(huge.data(), huge.size()), ReplyReader::Status::Ok);
  EXPECT_EQ(reader.Room(), 0u);
  EXPECT_EQ(reader.NextLine(true), std::nullopt);
  EXPECT_EQ(reader.Check(), ReplyReader::Status::TooLong);
  reader.Clear();
  EXPECT_EQ(Feed(reader, std::string("2\0\n", 3)), ReplyReader::Status::ZeroByte);
}

}  // namespace
}  // namespace kestova
