#include "profile/stored_value.h"

#include <array>

namespace kestova {

namespace {

constexpr int kSize = 98;
// Both alphabets turn by 7 before each character, in opposite directions, so
// the same character at positions i and i + 1 comes out differently.
constexpr int kStep = 7;

// The two orders of the same 98 characters. Changing either one makes every
// stored password unreadable, so they are fixed for good.
const std::string kPlain =
    "EFc{19?VX\x08IGs)AC^p]>t5<\x0dkJHY:\x0a$\xbdSOuaP;ZBbNT7L4 |hj_-(/W,~0\xaci!v%6}zm.M3`=w*+RUn[lDrxfeo@\\q2KQ"
    "\xa3g&y8d";
const std::string kCipher =
    "F&|X%hBf\x08>3O=Qso;k]}q\x0aHc\xbdz6+l8\\b[njY)S9u/a(gED_WI0{A-Cr\xa3\x0d"
    "etNUwxJpvM<m^!dVP5:17Z~KGi,@$R`*LT2 .?\xac"
    "4y";

struct Index {
  std::array<int, 256> of{};
  explicit Index(const std::string& alphabet) {
    of.fill(-1);
    for (int i = 0; i < kSize; ++i) of[static_cast<unsigned char>(alphabet[i])] = i;
  }
  // Characters outside the alphabet count as the space.
  int operator()(char c) const {
    const int found = of[static_cast<unsigned char>(c)];
    return found >= 0 ? found : of[' '];
  }
};

const Index& PlainIndex() {
  static const Index index(kPlain);
  return index;
}

const Index& CipherIndex() {
  static const Index index(kCipher);
  return index;
}

int Wrap(long long n) { return static_cast<int>(((n % kSize) + kSize) % kSize); }

}  // namespace

const std::string& StoredValueAlphabet() { return kPlain; }

bool IsStorable(const std::string& text) {
  for (char c : text) {
    if (kPlain.find(c) == std::string::npos) return false;
  }
  return true;
}

// After i rotations (1-based position i) the plain alphabet has turned left by
// 7i and the cipher alphabet right by 7i, so plain index k meets cipher index
// k - 14i.
std::string EncodeStoredValue(const std::string& text) {
  std::string result(text);
  for (size_t i = 0; i < result.size(); ++i) {
    const long long position = static_cast<long long>(i) + 1;
    result[i] = kCipher[Wrap(PlainIndex()(result[i]) - 2 * kStep * position)];
  }
  return result;
}

std::string DecodeStoredValue(const std::string& text) {
  std::string result(text);
  for (size_t i = 0; i < result.size(); ++i) {
    const long long position = static_cast<long long>(i) + 1;
    result[i] = kPlain[Wrap(CipherIndex()(result[i]) + 2 * kStep * position)];
  }
  return result;
}

namespace {

const char kWideMark = '#';
const char kEscape = '~';

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string StorePassword(const std::string& password) {
  if (IsStorable(password)) return EncodeStoredValue(password);
  static const char* const kHex = "0123456789ABCDEF";
  std::string escaped;
  for (const char c : password) {
    if (c != kEscape && kPlain.find(c) != std::string::npos) {
      escaped += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      escaped += kEscape;
      escaped += kHex[byte >> 4];
      escaped += kHex[byte & 0xF];
    }
  }
  return kWideMark + EncodeStoredValue(escaped);
}

std::string ReadPassword(const std::string& stored) {
  if (stored.empty() || stored[0] != kWideMark) return DecodeStoredValue(stored);
  const std::string escaped = DecodeStoredValue(stored.substr(1));
  std::string password;
  for (size_t i = 0; i < escaped.size(); ++i) {
    const int high = i + 2 < escaped.size() ? HexValue(escaped[i + 1]) : -1;
    const int low = i + 2 < escaped.size() ? HexValue(escaped[i + 2]) : -1;
    if (escaped[i] == kEscape && high >= 0 && low >= 0) {
      password += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      password += escaped[i];
    }
  }
  return password;
}

}  // namespace kestova
