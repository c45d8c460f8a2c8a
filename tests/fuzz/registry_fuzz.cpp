// libFuzzer target: a profile store file with arbitrary content. Opening it
// and reading from it may fail with a RegistryError, never crash, and a file
// that is not a store of ours is never changed.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string file = "/tmp/kestova-registry-fuzz-" + std::to_string(::getpid()) + ".db";
  std::remove(file.c_str());
  std::remove((file + "-wal").c_str());
  std::remove((file + "-shm").c_str());
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::ofstream(file, std::ios::binary) << bytes;
  bool opened = false;
  try {
    kestova::Registry registry(file);
    opened = true;
    const std::string key = "\\Software\\Brindlecote\\Kestova\\Site";
    registry.KeyExists(key);
    for (const std::string& name : registry.SubKeyNames(key)) registry.ValueNames(key + "\\" + name);
    registry.ReadString(key, "CurrProfile");
  } catch (const kestova::RegistryError&) {
  }
  if (!opened && !bytes.empty()) {
    std::ifstream in(file, std::ios::binary);
    if (std::string(std::istreambuf_iterator<char>(in), {}) != bytes) __builtin_trap();
  }
  return 0;
}
