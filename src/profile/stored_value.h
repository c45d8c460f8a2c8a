// The reversible scrambling applied to passwords before they are stored, so
// that the store never holds them in clear text. It is not encryption: it
// only keeps a password from being read at a glance.
#pragma once

#include <string>

namespace kestova {

// The 98 characters a stored value can hold, in the plain alphabet's order:
// the printable ASCII characters except '"', '#' and '\'', backspace, line
// feed, carriage return, and the single-byte characters 163, 172 and 189.
const std::string& StoredValueAlphabet();

// True when every character of `text` survives EncodeStoredValue unchanged;
// any other character is stored as a space.
bool IsStorable(const std::string& text);

std::string EncodeStoredValue(const std::string& text);
std::string DecodeStoredValue(const std::string& text);

// How a password is stored. A password of alphabet characters only is
// stored exactly as EncodeStoredValue gives it, as it always was. Any other
// password (with '"', '#', '\'' or bytes beyond the alphabet) is stored as
// "#" followed by the encoded form of the password with every such byte, and
// '~', written as "~HH": the encoder never puts out "#", so the two forms
// cannot be confused and every value stored before still reads the same.
std::string StorePassword(const std::string& password);
std::string ReadPassword(const std::string& stored);

}  // namespace kestova
