#include "platform/registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>

#include "common/text_helpers.h"

namespace kestova {

namespace {

// "KSTV": marks a database as one of ours, so that another program's SQLite
// file named by mistake is refused instead of being written into.
constexpr int kApplicationId = 0x4B535456;
constexpr int kSchemaVersion = 1;
constexpr std::int64_t kRootKey = 0;

const char* const kSchema =
    "CREATE TABLE keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name BLOB NOT NULL,"
    " fold BLOB NOT NULL, UNIQUE(parent, fold));"
    "CREATE TABLE vals(key INTEGER NOT NULL, name BLOB NOT NULL, fold BLOB NOT NULL,"
    " type INTEGER NOT NULL, data, PRIMARY KEY(key, fold)) WITHOUT ROWID;";

std::vector<std::string> SplitKey(const std::string& key) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : key) {
    if (c == '\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

std::string InvalidType(const std::string& name) { return "Invalid data type for '" + name + "'"; }

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a regular file";
}

// Creates the store's folder (private to the user when we make it) and an
// empty file with mode 0600, so SQLite never creates it with wider rights.
// Whatever already lies under the name must be a regular file (a link to
// one is followed, as SQLite follows it): a FIFO would block the first read
// for ever, and a device is nobody's store.
void CreateStoreFile(const std::string& file) {
  namespace fs = std::filesystem;
  const fs::path parent = fs::path(file).parent_path();
  std::error_code error;
  if (!parent.empty() && !fs::exists(parent, error)) {
    fs::create_directories(parent, error);
    if (error) {
      throw RegistryError("Cannot create the folder '" + parent.string() +
                          "' for the profile store: " + error.message());
    }
    ::chmod(parent.c_str(), 0700);
  }
  const int fd = ::open(file.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) {
    ::close(fd);
    return;
  }
  if (errno != EEXIST) throw RegistryError("Cannot create the profile store '" + file + "': " + std::strerror(errno));
  struct stat info {};
  if (::stat(file.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    throw RegistryError("The profile store '" + file + "' is " + KindOf(info.st_mode) +
                        ", not a file. It was left untouched; set KESTOVA_REGISTRY to another file.");
  }
}

// The store holds the passwords: a store (or its write-ahead log) that
// others may read, left so by an older program or a copy, is made private
// again. Only once it is known to be ours, only a regular file of this
// user's, and through a descriptor of the name itself, never through a
// link: narrowing must not reach a file the name merely points at. An
// O_PATH descriptor also leaves SQLite's own locks on the file alone, which
// closing any other descriptor of it would drop.
void NarrowPermissions(const std::string& file) {
  for (const std::string& path : {file, file + "-wal", file + "-shm"}) {
    const int fd = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 077) != 0 && info.st_uid == ::geteuid()) {
      // fchmod does not take an O_PATH descriptor; its /proc name is the
      // file it was opened on.
      ::chmod(("/proc/self/fd/" + std::to_string(fd)).c_str(), 0600);
    }
    ::close(fd);
  }
}

}  // namespace

// One prepared statement; errors are reported through the registry so that
// every message names the store file.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql, const std::string& file) : db_(db), file_(file) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) Fail();
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, std::int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  // Names and strings are byte strings, possibly not UTF-8: keep them as blobs.
  Statement& Bind(int index, const std::string& value) {
    sqlite3_bind_blob(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
  }
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) Fail();
    return false;
  }
  std::int64_t Int(int column) { return sqlite3_column_int64(stmt_, column); }
  int Type(int column) { return sqlite3_column_type(stmt_, column); }
  std::string Blob(int column) {
    const void* data = sqlite3_column_blob(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    return data ? std::string(static_cast<const char*>(data), static_cast<size_t>(size)) : std::string();
  }

 private:
  [[noreturn]] void Fail() { throw RegistryError("Profile store '" + file_ + "': " + sqlite3_errmsg(db_)); }
  sqlite3* db_;
  const std::string& file_;
  sqlite3_stmt* stmt_ = nullptr;
};

// Makes one public operation a transaction of its own, unless a Batch (or an
// enclosing operation) already holds one.
class Registry::Scope {
 public:
  Scope(Registry& registry, bool write) : registry_(registry), exceptions_(std::uncaught_exceptions()) {
    registry_.Begin(write);
  }
  ~Scope() noexcept(false) {
    const bool failed = std::uncaught_exceptions() > exceptions_;
    if (failed) {
      try {
        registry_.End(false);
      } catch (...) {
      }
    } else {
      registry_.End(true);
    }
  }

 private:
  Registry& registry_;
  int exceptions_;
};

Registry::Registry(const std::string& file) : file_(file) {
  if (file_.empty()) throw RegistryError("No file is named for the profile store");
  try {
    Open();
  } catch (...) {
    sqlite3_close(db_);
    throw;
  }
}

Registry::~Registry() { sqlite3_close(db_); }

std::string Registry::DefaultFile() {
  if (const char* named = std::getenv("KESTOVA_REGISTRY"); named && *named) return named;
  std::string config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
    config = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    config = std::string(home) + "/.config";
  } else {
    config = ".config";
  }
  return config + "/kestova/registry.db";
}

void Registry::Open() {
  CreateStoreFile(file_);
  if (sqlite3_open_v2(file_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    Fail("cannot be opened");
  }
  sqlite3_busy_timeout(db_, 5000);
  sqlite3_stmt* probe = nullptr;
  int rc = sqlite3_prepare_v2(db_, "PRAGMA application_id", -1, &probe, nullptr);
  std::int64_t id = 0;
  if (rc == SQLITE_OK) {
    rc = sqlite3_step(probe);
    if (rc == SQLITE_ROW) id = sqlite3_column_int64(probe, 0);
  }
  sqlite3_finalize(probe);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE && rc != SQLITE_OK) {
    throw RegistryError("The profile store '" + file_ + "' cannot be read (" + sqlite3_errmsg(db_) +
                        "). It was left untouched; move it away or set KESTOVA_REGISTRY to another file.");
  }
  if (id == 0) {
    Initialise();
  } else if (id != kApplicationId) {
    throw RegistryError("The file '" + file_ +
                        "' is not a Kestova profile store. It was left untouched; move it away or set "
                        "KESTOVA_REGISTRY to another file.");
  }
  Exec("PRAGMA synchronous=NORMAL");
  NarrowPermissions(file_);
}

// Gives an empty database our tables. A database that already holds tables of
// another program is refused before anything in it changes.
void Registry::Initialise() {
  Exec("BEGIN IMMEDIATE");
  try {
    Statement tables(db_, "SELECT count(*) FROM sqlite_master", file_);
    tables.Step();
    const bool empty = tables.Int(0) == 0;
    Statement id(db_, "PRAGMA application_id", file_);
    id.Step();
    if (id.Int(0) != kApplicationId) {
      if (!empty) {
        throw RegistryError("The file '" + file_ +
                            "' is an SQLite database of another program, not a Kestova profile store. It was "
                            "left untouched; move it away or set KESTOVA_REGISTRY to another file.");
      }
      Exec(kSchema);
      Exec(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str());
      Exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
    }
    Exec("COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  // Write-ahead logging lets a second running copy read while one writes,
  // and a killed writer leaves the last committed state behind.
  Exec("PRAGMA journal_mode=WAL");
}

void Registry::Exec(const char* sql) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(sqlite3_errmsg(db_));
}

void Registry::Fail(const std::string& what) { throw RegistryError("Profile store '" + file_ + "': " + what); }

void Registry::Begin(bool write) {
  if (depth_++ > 0) return;
  try {
    Exec(write ? "BEGIN IMMEDIATE" : "BEGIN");
  } catch (...) {
    depth_ = 0;
    throw;
  }
}

void Registry::End(bool commit) {
  // Only the outermost scope ends the transaction; an inner one that failed
  // leaves the decision to its enclosing operation or Batch.
  if (depth_ == 0 || --depth_ > 0) return;
  if (commit) {
    Exec("COMMIT");
  } else {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

std::int64_t Registry::FindKey(const std::string& key) {
  std::int64_t id = kRootKey;
  for (const std::string& part : SplitKey(key)) {
    Statement find(db_, "SELECT id FROM keys WHERE parent=?1 AND fold=?2", file_);
    find.Bind(1, id).Bind(2, FoldCase(part));
    if (!find.Step()) return -1;
    id = find.Int(0);
  }
  return id;
}

std::int64_t Registry::FindOrCreateKey(const std::string& key) {
  std::int64_t id = kRootKey;
  for (const std::string& part : SplitKey(key)) {
    Statement find(db_, "SELECT id FROM keys WHERE parent=?1 AND fold=?2", file_);
    find.Bind(1, id).Bind(2, FoldCase(part));
    if (find.Step()) {
      id = find.Int(0);
      continue;
    }
    Statement add(db_, "INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)", file_);
    add.Bind(1, id).Bind(2, part).Bind(3, FoldCase(part)).Step();
    id = sqlite3_last_insert_rowid(db_);
  }
  return id;
}

std::int64_t Registry::ExistingKey(const std::string& key) {
  const std::int64_t id = FindKey(key);
  if (id < 0) throw RegistryError("Profile store '" + file_ + "': the key '" + key + "' does not exist");
  return id;
}

bool Registry::KeyExists(const std::string& key) {
  Scope scope(*this, false);
  return FindKey(key) >= 0;
}

bool Registry::CreateKey(const std::string& key) {
  Scope scope(*this, true);
  return FindOrCreateKey(key) >= 0;
}

bool Registry::DeleteKey(const std::string& key) {
  Scope scope(*this, true);
  const std::int64_t id = FindKey(key);
  if (id <= kRootKey) return false;
  const char* tree =
      "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN sub ON k.parent=sub.id) ";
  Statement values(db_, (std::string(tree) + "DELETE FROM vals WHERE key IN sub").c_str(), file_);
  values.Bind(1, id).Step();
  Statement keys(db_, (std::string(tree) + "DELETE FROM keys WHERE id IN sub").c_str(), file_);
  keys.Bind(1, id).Step();
  return true;
}

std::vector<std::string> Registry::SubKeyNames(const std::string& key) {
  Scope scope(*this, false);
  std::vector<std::string> names;
  const std::int64_t id = FindKey(key);
  if (id < 0) return names;
  Statement list(db_, "SELECT name FROM keys WHERE parent=?1 ORDER BY id", file_);
  list.Bind(1, id);
  while (list.Step()) names.push_back(list.Blob(0));
  return names;
}

std::vector<std::string> Registry::ValueNames(const std::string& key) {
  Scope scope(*this, false);
  std::vector<std::string> names;
  const std::int64_t id = FindKey(key);
  if (id < 0) return names;
  Statement list(db_, "SELECT name FROM vals WHERE key=?1 ORDER BY fold", file_);
  list.Bind(1, id);
  while (list.Step()) names.push_back(list.Blob(0));
  return names;
}

bool Registry::ValueExists(const std::string& key, const std::string& name) {
  return ValueType(key, name) != RegistryType::rdUnknown;
}

RegistryType Registry::ValueType(const std::string& key, const std::string& name) {
  Scope scope(*this, false);
  const std::int64_t id = FindKey(key);
  if (id < 0) return RegistryType::rdUnknown;
  Statement find(db_, "SELECT type FROM vals WHERE key=?1 AND fold=?2", file_);
  find.Bind(1, id).Bind(2, FoldCase(name));
  if (!find.Step()) return RegistryType::rdUnknown;
  const auto type = find.Int(0);
  if (type == static_cast<int>(RegistryType::rdString)) return RegistryType::rdString;
  if (type == static_cast<int>(RegistryType::rdInteger)) return RegistryType::rdInteger;
  return RegistryType::rdUnknown;
}

std::string Registry::ReadString(const std::string& key, const std::string& name) {
  Scope scope(*this, false);
  Statement find(db_, "SELECT type, data FROM vals WHERE key=?1 AND fold=?2", file_);
  find.Bind(1, FindKey(key)).Bind(2, FoldCase(name));
  if (!find.Step() || find.Int(0) != static_cast<int>(RegistryType::rdString) || find.Type(1) != SQLITE_BLOB) {
    throw RegistryError(InvalidType(name));
  }
  return find.Blob(1);
}

std::int32_t Registry::ReadInteger(const std::string& key, const std::string& name) {
  Scope scope(*this, false);
  Statement find(db_, "SELECT type, data FROM vals WHERE key=?1 AND fold=?2", file_);
  find.Bind(1, FindKey(key)).Bind(2, FoldCase(name));
  if (!find.Step() || find.Int(0) != static_cast<int>(RegistryType::rdInteger) || find.Type(1) != SQLITE_INTEGER) {
    throw RegistryError(InvalidType(name));
  }
  return static_cast<std::int32_t>(find.Int(1));
}

void Registry::WriteValue(const std::string& key, const std::string& name, RegistryType type, const std::string* text,
                          std::int32_t number) {
  Scope scope(*this, true);
  const std::int64_t id = ExistingKey(key);
  // The name keeps the letter case it was first written with, as it would in
  // the registry; only the data and type change on later writes.
  Statement put(db_,
                "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
                " ON CONFLICT(key, fold) DO UPDATE SET type=excluded.type, data=excluded.data",
                file_);
  put.Bind(1, id).Bind(2, name).Bind(3, FoldCase(name)).Bind(4, static_cast<std::int64_t>(type));
  if (text) {
    put.Bind(5, *text);
  } else {
    put.Bind(5, static_cast<std::int64_t>(number));
  }
  put.Step();
}

void Registry::WriteString(const std::string& key, const std::string& name, const std::string& value) {
  WriteValue(key, name, RegistryType::rdString, &value, 0);
}

void Registry::WriteInteger(const std::string& key, const std::string& name, std::int32_t value) {
  WriteValue(key, name, RegistryType::rdInteger, nullptr, value);
}

bool Registry::DeleteValue(const std::string& key, const std::string& name) {
  Scope scope(*this, true);
  const std::int64_t id = FindKey(key);
  if (id < 0) return false;
  Statement drop(db_, "DELETE FROM vals WHERE key=?1 AND fold=?2", file_);
  drop.Bind(1, id).Bind(2, FoldCase(name)).Step();
  return sqlite3_changes(db_) > 0;
}

Registry::Batch::Batch(Registry& registry) : registry_(registry) { registry_.Begin(true); }

Registry::Batch::~Batch() {
  if (!open_) return;
  try {
    registry_.End(false);
  } catch (...) {
  }
}

void Registry::Batch::Commit() {
  if (!open_) return;
  open_ = false;
  registry_.End(true);
}

}  // namespace kestova
