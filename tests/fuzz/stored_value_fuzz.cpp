// libFuzzer target: decoding arbitrary stored values, and the round trip of
// anything the encoding can keep.
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
  return 0;
}
