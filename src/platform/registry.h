// The per-user registry: a tree of keys, each holding subkeys and typed values
// (strings and 32-bit integers), kept in one SQLite file.
//
// Key paths are backslash-separated and start at the root of the user's tree
// ("\Software\Brindlecote\Kestova\Site"); empty components are ignored. Key
// and value names are compared without regard to ASCII case and stored as
// first written. Every operation is one transaction; a `Registry::Batch`
// groups several into one, so a crash never leaves half of them written.
//
// The store lives in $XDG_CONFIG_HOME/kestova/registry.db (file mode 0600)
// unless KESTOVA_REGISTRY names another file. A file that is not a store of
// ours, or is damaged, makes every operation throw a RegistryError naming the
// file; such a file is never initialised, overwritten or replaced.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace kestova {

class RegistryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class RegistryType { rdUnknown = 0, rdString = 1, rdInteger = 2 };

class Registry {
 public:
  // Opens the store, creating an empty one (and its folder) when the file does
  // not exist. Throws RegistryError when the file cannot be opened or is not a
  // store of ours.
  explicit Registry(const std::string& file = DefaultFile());
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // KESTOVA_REGISTRY when set, else $XDG_CONFIG_HOME/kestova/registry.db, else
  // ~/.config/kestova/registry.db.
  static std::string DefaultFile();
  const std::string& File() const { return file_; }

  bool KeyExists(const std::string& key);
  // Creates the key and any missing parents. True when the key exists after.
  bool CreateKey(const std::string& key);
  // Deletes the key with all its subkeys and values. False when it was missing.
  bool DeleteKey(const std::string& key);
  // Names of the direct subkeys as stored, in the order they were created.
  std::vector<std::string> SubKeyNames(const std::string& key);
  std::vector<std::string> ValueNames(const std::string& key);

  bool ValueExists(const std::string& key, const std::string& name);
  RegistryType ValueType(const std::string& key, const std::string& name);
  // Reading a missing value, or one stored with the other type, throws
  // RegistryError("Invalid data type for '<name>'").
  std::string ReadString(const std::string& key, const std::string& name);
  std::int32_t ReadInteger(const std::string& key, const std::string& name);
  bool ReadBool(const std::string& key, const std::string& name) { return ReadInteger(key, name) != 0; }
  // Writing into a key that does not exist throws RegistryError.
  void WriteString(const std::string& key, const std::string& name, const std::string& value);
  void WriteInteger(const std::string& key, const std::string& name, std::int32_t value);
  void WriteBool(const std::string& key, const std::string& name, bool value) {
    WriteInteger(key, name, value ? 1 : 0);
  }
  bool DeleteValue(const std::string& key, const std::string& name);

  // Everything done through the registry while a Batch lives is one
  // transaction, committed by Commit() and rolled back when the Batch is
  // destroyed without it (an exception on the way out, for instance).
  class Batch {
   public:
    explicit Batch(Registry& registry);
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    void Commit();

   private:
    Registry& registry_;
    bool open_ = true;
  };

 private:
  class Scope;
  friend class Scope;
  friend class Batch;

  void Open();
  void Initialise();
  void Exec(const char* sql);
  [[noreturn]] void Fail(const std::string& what);
  void Begin(bool write);
  void End(bool commit);
  std::int64_t FindKey(const std::string& key);
  std::int64_t FindOrCreateKey(const std::string& key);
  std::int64_t ExistingKey(const std::string& key);
  void WriteValue(const std::string& key, const std::string& name, RegistryType type, const std::string* text,
                  std::int32_t number);

  std::string file_;
  sqlite3* db_ = nullptr;
  int depth_ = 0;
};

}  // namespace kestova
