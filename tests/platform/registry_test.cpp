#include "platform/registry.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <climits>
#include <fstream>
#include <iterator>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace kestova {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string kSite = "\\Software\\Brindlecote\\Kestova\\Site";

std::string ReadAll(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& file, const std::string& bytes) { std::ofstream(file, std::ios::binary) << bytes; }

std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const RegistryError& error) {
    return error.what();
  }
  return "(no error)";
}

class RegistryTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  std::string file_ = dir_.File("registry.db");
};

TEST_F(RegistryTest, KeysAreFoundWithoutRegardToCaseAndKeepTheirFirstSpelling) {
  Registry registry(file_);
  EXPECT_FALSE(registry.KeyExists(kSite));
  ASSERT_TRUE(registry.CreateKey(kSite + "\\prof_Shop"));
  EXPECT_TRUE(registry.KeyExists("\\SOFTWARE\\brindlecote\\KESTOVA\\site"));
  EXPECT_TRUE(registry.KeyExists("Software\\\\Brindlecote\\Kestova\\Site\\"));  // empty parts are ignored
  ASSERT_TRUE(registry.CreateKey(kSite + "\\PROF_SHOP\\deeper"));
  registry.CreateKey(kSite + "\\Default");
  EXPECT_THAT(registry.SubKeyNames(kSite), ElementsAre("prof_Shop", "Default"));
  EXPECT_THAT(registry.SubKeyNames(kSite + "\\prof_shop"), ElementsAre("deeper"));
  EXPECT_TRUE(registry.SubKeyNames(kSite + "\\missing").empty());
}

TEST_F(RegistryTest, DeletingAKeyTakesItsSubkeysAndValuesAndNothingElse) {
  Registry registry(file_);
  registry.CreateKey(kSite + "\\prof_A\\sub\\subsub");
  registry.CreateKey(kSite + "\\prof_B");
  registry.WriteString(kSite + "\\prof_A\\sub\\subsub", "Deep", "x");
  registry.WriteString(kSite + "\\prof_A", "Name", "a");
  registry.WriteString(kSite + "\\prof_B", "Name", "b");

  EXPECT_TRUE(registry.DeleteKey(kSite + "\\PROF_a"));
  EXPECT_FALSE(registry.KeyExists(kSite + "\\prof_A"));
  EXPECT_FALSE(registry.KeyExists(kSite + "\\prof_A\\sub\\subsub"));
  EXPECT_FALSE(registry.DeleteKey(kSite + "\\prof_A"));
  EXPECT_EQ(registry.ReadString(kSite + "\\prof_B", "Name"), "b");
  EXPECT_FALSE(registry.DeleteKey("\\"));
  // A key made again under the old name starts empty.
  registry.CreateKey(kSite + "\\prof_A\\sub\\subsub");
  EXPECT_FALSE(registry.ValueExists(kSite + "\\prof_A\\sub\\subsub", "Deep"));
}

TEST_F(RegistryTest, ValuesKeepTheirBytesTypesAndFirstSpelling) {
  Registry registry(file_);
  registry.CreateKey(kSite);
  const std::string bytes("a\0b\xa3\xac\xbd\r\n", 8);
  registry.WriteString(kSite, "CurrProfile", bytes);
  registry.WriteInteger(kSite, "Min", INT32_MIN);
  registry.WriteInteger(kSite, "Max", INT32_MAX);
  registry.WriteString(kSite, "CURRPROFILE", "second");  // same value, new data

  EXPECT_EQ(registry.ReadString(kSite, "currprofile"), "second");
  EXPECT_EQ(registry.ReadInteger(kSite, "min"), INT32_MIN);
  EXPECT_EQ(registry.ReadInteger(kSite, "MAX"), INT32_MAX);
  EXPECT_THAT(registry.ValueNames(kSite), ElementsAre("CurrProfile", "Max", "Min"));
  registry.WriteString(kSite, "Max", bytes);
  EXPECT_EQ(registry.ValueType(kSite, "max"), RegistryType::rdString);
  EXPECT_EQ(registry.ReadString(kSite, "Max"), bytes);
  EXPECT_TRUE(registry.DeleteValue(kSite, "MAX"));
  EXPECT_FALSE(registry.DeleteValue(kSite, "MAX"));
  EXPECT_FALSE(registry.ValueExists(kSite, "Max"));
}

TEST_F(RegistryTest, ReadingTheWrongTypeOrAMissingValueFailsWithTheValueName) {
  Registry registry(file_);
  registry.CreateKey(kSite);
  registry.WriteString(kSite, "OldRetries", "5");
  registry.WriteInteger(kSite, "OldURL", 1);
  EXPECT_EQ(ErrorOf([&] { registry.ReadInteger(kSite, "OldRetries"); }), "Invalid data type for 'OldRetries'");
  EXPECT_EQ(ErrorOf([&] { registry.ReadString(kSite, "OldURL"); }), "Invalid data type for 'OldURL'");
  EXPECT_EQ(ErrorOf([&] { registry.ReadString(kSite, "Nothing"); }), "Invalid data type for 'Nothing'");
  EXPECT_EQ(ErrorOf([&] { registry.ReadInteger(kSite + "\\none", "X"); }), "Invalid data type for 'X'");
  EXPECT_THAT(ErrorOf([&] { registry.WriteString(kSite + "\\none", "X", "y"); }), HasSubstr("does not exist"));
}

TEST_F(RegistryTest, ABatchIsOneTransaction) {
  Registry registry(file_);
  registry.CreateKey(kSite);
  registry.WriteString(kSite, "Kept", "old");
  {
    Registry::Batch batch(registry);
    registry.WriteString(kSite, "Kept", "new");
    registry.CreateKey(kSite + "\\prof_Half");
    // Destroyed without Commit, as when an exception leaves a save.
  }
  EXPECT_EQ(registry.ReadString(kSite, "Kept"), "old");
  EXPECT_FALSE(registry.KeyExists(kSite + "\\prof_Half"));
  {
    Registry::Batch batch(registry);
    registry.WriteString(kSite, "Kept", "new");
    Registry other(file_);  // a second copy of the program sees the old value until the commit
    EXPECT_EQ(other.ReadString(kSite, "Kept"), "old");
    batch.Commit();
    EXPECT_EQ(other.ReadString(kSite, "Kept"), "new");
  }
}

TEST_F(RegistryTest, TwoOpenStoresDoNotOverwriteEachOthersValues) {
  Registry first(file_);
  Registry second(file_);
  first.CreateKey(kSite);
  first.WriteString(kSite, "A", "from first");
  second.WriteString(kSite, "B", "from second");
  EXPECT_EQ(second.ReadString(kSite, "A"), "from first");
  EXPECT_EQ(first.ReadString(kSite, "B"), "from second");
}

TEST_F(RegistryTest, TheStoreAndItsFolderAreCreatedPrivate) {
  const std::string nested = dir_.File("config/kestova/registry.db");
  {
    Registry registry(nested);
    registry.CreateKey(kSite);
    registry.WriteString(kSite, "Password", "x");
  }
  struct stat info {};
  ASSERT_EQ(::stat(nested.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(dir_.File("config/kestova").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  for (const char* side : {"-wal", "-shm"}) {
    if (::stat((nested + side).c_str(), &info) == 0) {
      EXPECT_EQ(info.st_mode & 0077, 0u) << side;
    }
  }
}

TEST_F(RegistryTest, AStoreThatOthersCouldReadIsMadePrivateWhenOpened) {
  const std::string file = dir_.File("shared.db");
  {
    Registry registry(file);
    registry.CreateKey(kSite);
  }
  for (const char* path : {"", "-wal"}) ::chmod((file + path).c_str(), 0644);
  Registry registry(file);
  registry.WriteString(kSite, "Password", "x");
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  if (::stat((file + "-wal").c_str(), &info) == 0) {
    EXPECT_EQ(info.st_mode & 0077, 0u);
  }
}

// Whatever the store's name points at keeps its permissions until it is
// known to be a store: another user's readable file, a FIFO, a link to a
// shared text file, another program's database.
TEST_F(RegistryTest, WhatIsNotAStoreKeepsItsPermissions) {
  WriteAll(dir_.File("shared.txt"), "a text others read\n");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dir_.File("other.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE notes(text);", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  ASSERT_EQ(::mkfifo(dir_.File("pipe").c_str(), 0644), 0);
  ASSERT_EQ(::symlink(dir_.File("shared.txt").c_str(), dir_.File("link.db").c_str()), 0);
  ASSERT_EQ(::mkdir(dir_.File("folder").c_str(), 0755), 0);
  struct Case {
    const char* name;     // what the store is named
    const char* target;   // what must keep its mode
    const char* message;  // what the refusal says
  } const cases[] = {
      {"shared.txt", "shared.txt", "cannot be read"},  {"other.db", "other.db", "not a Kestova profile store"},
      {"pipe", "pipe", "is a FIFO, not a file"},       {"link.db", "shared.txt", "cannot be read"},
      {"folder", "folder", "is a folder, not a file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const mode_t mode = std::string(c.target) == "folder" ? 0755 : 0644;
    ASSERT_EQ(::chmod(dir_.File(c.target).c_str(), mode), 0);
    const std::string error = ErrorOf([&] { Registry registry(dir_.File(c.name)); });
    EXPECT_THAT(error, HasSubstr(c.message));
    EXPECT_THAT(error, HasSubstr("left untouched"));
    struct stat info {};
    ASSERT_EQ(::stat(dir_.File(c.target).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, mode) << "narrowed before it was known to be a store";
  }
}

// Restores an environment variable when the test ends.
class EnvGuard {
 public:
  explicit EnvGuard(const char* name) : name_(name) {
    if (const char* value = std::getenv(name)) saved_ = value, had_ = true;
  }
  ~EnvGuard() { had_ ? ::setenv(name_, saved_.c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::string saved_;
  bool had_ = false;
};

TEST_F(RegistryTest, TheDefaultFileFollowsTheEnvironment) {
  EnvGuard registry("KESTOVA_REGISTRY"), xdg("XDG_CONFIG_HOME"), home("HOME");
  ::setenv("KESTOVA_REGISTRY", "/somewhere/store.db", 1);
  EXPECT_EQ(Registry::DefaultFile(), "/somewhere/store.db");
  ::unsetenv("KESTOVA_REGISTRY");
  ::setenv("XDG_CONFIG_HOME", "/xdg", 1);
  EXPECT_EQ(Registry::DefaultFile(), "/xdg/kestova/registry.db");
  ::setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored, as the XDG rules say
  ::setenv("HOME", "/home/user", 1);
  EXPECT_EQ(Registry::DefaultFile(), "/home/user/.config/kestova/registry.db");
}

TEST_F(RegistryTest, AFileThatIsNotADatabaseIsRefusedAndLeftUntouched) {
  const std::string garbage = "This is my shopping list, not a database.\n" + std::string(4000, 'x');
  for (const std::string& content : {garbage, std::string("tiny")}) {
    WriteAll(file_, content);
    const std::string error = ErrorOf([&] { Registry registry(file_); });
    EXPECT_THAT(error, HasSubstr(file_));
    EXPECT_THAT(error, HasSubstr("left untouched"));
    EXPECT_TRUE(ReadAll(file_) == content) << "the file was changed";
  }
}

TEST_F(RegistryTest, AnotherProgramsDatabaseIsRefusedAndLeftUntouched) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file_.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(db, "CREATE TABLE notes(text); INSERT INTO notes VALUES('keep me');", nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(db);
  const std::string before = ReadAll(file_);
  EXPECT_THAT(ErrorOf([&] { Registry registry(file_); }), HasSubstr("not a Kestova profile store"));
  EXPECT_TRUE(ReadAll(file_) == before) << "the other program's database was changed";
}

TEST_F(RegistryTest, ADamagedStoreFailsWithTheFileNamedAndIsNotReplaced) {
  {
    Registry registry(file_);
    registry.CreateKey(kSite);
    for (int i = 0; i < 200; ++i) registry.WriteString(kSite, "V" + std::to_string(i), std::string(200, 'v'));
  }
  std::string bytes = ReadAll(file_);
  ASSERT_GT(bytes.size(), 8192u);
  for (size_t i = 4096; i < bytes.size(); ++i) bytes[i] = static_cast<char>(0xA5);  // every page after the first
  WriteAll(file_, bytes);
  const std::string error = ErrorOf([&] {
    Registry registry(file_);
    registry.ReadString(kSite, "V1");
  });
  EXPECT_THAT(error, HasSubstr(file_));
  EXPECT_TRUE(ReadAll(file_) == bytes) << "the damaged store was changed";
}

TEST_F(RegistryTest, AnEmptyFileBecomesAStore) {
  WriteAll(file_, "");
  Registry registry(file_);
  EXPECT_TRUE(registry.CreateKey(kSite));
  EXPECT_TRUE(registry.KeyExists(kSite));
}

}  // namespace
}  // namespace kestova
