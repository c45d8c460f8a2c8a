// The modern Wrt Changes against a scripted server whose folders list far
// more than the local site holds, with names that differ only in case: a
// file is judged by the entry of its own name, and the run keeps only what
// its own names need of each listing.
#include <mutex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/upload.h"
#include "support/file_tree.h"
#include "support/scripted_ftp_server.h"
#include "support/temp_dir.h"
#include "support/test_run.h"

namespace kestova {
namespace {

using ::testing::Contains;
using ::testing::Not;
using testing::ScriptedFtpServer;
using testing::ScriptedSession;

constexpr int kExtraEntries = 3000;  // listed in every folder, none of them local

// One folder's listing, as MLSD facts or LIST lines: a newer INDEX.HTM
// before an older index.htm, an older copy of Other.htm listed in lower
// case, the subfolder, and entries the site does not have.
std::string Listing(bool mlsd) {
  const auto entry = [mlsd](char kind, const std::string& name, bool newer) {
    if (mlsd) {
      return std::string(kind == 'd' ? "type=dir" : "type=file") +
             ";size=5;modify=" + (newer ? "20300101000000" : "20000101000000") + "; " + name + "\r\n";
    }
    return std::string(1, kind) + "rw-r--r--    1 1001     1001            5 " +
           (newer ? "Jan 01  2030 " : "Jan 01  2000 ") + name + "\r\n";
  };
  std::string text = entry('-', "INDEX.HTM", true) + entry('-', "index.htm", false) + entry('-', "other.htm", false) +
                     entry('d', "sub", false);
  for (int i = 0; i < kExtraEntries; ++i) text += entry('-', "archive" + std::to_string(i) + ".htm", false);
  return text;
}

// The names alone, for the NLST that tells where LIST names begin.
std::string Names() {
  std::string text = "INDEX.HTM\r\nindex.htm\r\nother.htm\r\nsub\r\n";
  for (int i = 0; i < kExtraEntries; ++i) text += "archive" + std::to_string(i) + ".htm\r\n";
  return text;
}

// An action that answers a listing command with `text`.
testing::ScriptedFtpServer::Action SendListing(std::string text) {
  return [text = std::move(text)](ScriptedSession& s, const std::string&) {
    s.Reply("150 Here comes the listing");
    if (!s.OpenData()) return s.Reply("425 Cannot open data connection");
    s.SendData(text);
    s.CloseData();
    s.Reply("226 Transfer complete");
  };
}

// A modern Wrt Changes of `local` to /www on the scripted server, which
// renames as asked and lists MLST in FEAT when `mlsd`.
struct ModernRun : testing::TestRun {
  ModernRun(ScriptedFtpServer& server, const testing::TempDir& local, bool mlsd) : TestRun(server.Port()) {
    if (mlsd) server.On("FEAT", "211-Features:\r\n MLST type*;size*;modify*;\r\n211 End\r\n");
    server.On("RNFR", "350 Ready for the new name\r\n");
    server.On("RNTO", "250 Renamed\r\n");
    settings.Site.Method = TransferMethod::Modern;
    profile.new_changes = true;
    settings.LocalRoot = local.Path().string();
    settings.AutoDetect = true;
  }
  RunOutcome Run() {
    const RunOutcome outcome = Start();
    peak_indexed = Current().PeakIndexedEntries();
    return outcome;
  }

  size_t peak_indexed = 0;
};

TEST(ModernChangesTest, AFileIsJudgedByItsOwnNameAndOnlyTheSitesNamesAreKept) {
  for (const bool mlsd : {true, false}) {
    SCOPED_TRACE(mlsd ? "MLSD" : "LIST");
    ScriptedFtpServer server;
    server.On(mlsd ? "MLSD" : "LIST", SendListing(Listing(mlsd)));
    server.On("NLST", SendListing(Names()));
    testing::TempDir local;
    // Every level holds the same names, three levels deep.
    for (const char* folder : {"", "sub/", "sub/sub/"}) {
      testing::WriteFile(local.Path() / (std::string(folder) + "index.htm"), "home\n");
      testing::WriteFile(local.Path() / (std::string(folder) + "Other.htm"), "other\n");
    }
    ModernRun modern(server, local, mlsd);
    const std::vector<std::string>& log = modern.log;
    ASSERT_EQ(modern.Run(), RunOutcome::Finished) << ::testing::PrintToString(log);
    // index.htm's own entry is older, whatever INDEX.HTM says; Other.htm has
    // only its lower-case copy, which counts as its own.
    EXPECT_EQ(std::count(log.begin(), log.end(), "Write File index.htm"), 3) << ::testing::PrintToString(log);
    EXPECT_EQ(std::count(log.begin(), log.end(), "Write File Other.htm"), 3);
    EXPECT_THAT(log, Not(Contains("** New file: Other.htm")));
    for (const std::string& command : server.Commands()) {
      EXPECT_EQ(command.rfind("MKD /www/", 0), std::string::npos) << "every subfolder is listed by its parent";
    }
    // Of 3000 and more entries a listing, each of the three levels keeps at
    // most two entries for each of its three names (one of its own case,
    // one of another), however many the server lists.
    EXPECT_LE(modern.peak_indexed, 3u * 3u * 2u);
    EXPECT_GE(modern.peak_indexed, 3u);
  }
}

// A server that lists the marker file sent a moment ago at 1970 (and will
// not delete it): no zone explains that offset, so no listed time is
// trusted, and the marker left in the web root is named.
TEST(ModernChangesTest, AClockNoZoneExplainsIsNotTrustedAndAKeptMarkerIsNamed) {
  ScriptedFtpServer server;
  std::mutex mutex;
  std::string marker;
  server.On("STOR", [&](ScriptedSession& s, const std::string& name) {
    if (name.find("clock-") != std::string::npos) {
      std::lock_guard<std::mutex> lock(mutex);
      marker = name;
    }
    s.Default("STOR", name);
  });
  server.On("MLSD", [&](ScriptedSession& s, const std::string& argument) {
    std::string text = "type=file;size=5;modify=20300101000000; page.htm\r\n";
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!marker.empty()) text += "type=file;size=57;modify=19700101000000; " + marker + "\r\n";
    }
    SendListing(text)(s, argument);
  });
  server.On("DELE", "550 Permission denied\r\n");
  testing::TempDir local;
  testing::WriteFile(local.Path() / "page.htm", "edit\n");  // a same-size edit; the listing says 2030
  ModernRun modern(server, local, true);
  const std::vector<std::string>& log = modern.log;
  ASSERT_EQ(modern.Run(), RunOutcome::Finished) << ::testing::PrintToString(log);
  EXPECT_THAT(log, Contains(::testing::HasSubstr("which no time zone explains: its listing times are not trusted")));
  EXPECT_THAT(log, Contains("Write File page.htm"));
  EXPECT_THAT(log, Contains("Could not delete the marker file /www/" + marker +
                            " (550 Permission denied): it stays on the server, where visitors can read it; delete "
                            "it by hand."));
}

}  // namespace
}  // namespace kestova
