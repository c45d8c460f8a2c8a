// libFuzzer target: decoding arbitrary stored values, and the round trip of
// anything the encoding can keep and of every password.
#include <cstddef>
#include <cstdint>
#include <string>

#include "profile/stored_value.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string decoded = kestova::DecodeStoredValue(text);
  if (decoded.size() != text.size()) __builtin_trap();
  if (kestova::IsStorable(text) && kestova::DecodeStoredValue(kestova::EncodeStoredValue(text)) != text) {
    __builtin_trap();
  }
  // Every password comes back, whatever bytes it holds, and any stored text
  // reads without failing.
  if (kestova::ReadPassword(kestova::StorePassword(text)) != text) __builtin_trap();
  kestova::ReadPassword(text);
  return 0;
}
