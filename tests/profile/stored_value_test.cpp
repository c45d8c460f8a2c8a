#include "profile/stored_value.h"

#include <algorithm>
#include <set>

#include <gtest/gtest.h>

namespace kestova {
namespace {

// The 98 characters, built independently of the program's alphabets.
std::string ExpectedCharacters() {
  std::string chars;
  for (int c = 32; c < 127; ++c) {
    if (c != '"' && c != '#' && c != '\'') chars += static_cast<char>(c);
  }
  chars += "\b\n\r\xa3\xac\xbd";
  return chars;
}

// The encoding written out step by step: rotate both alphabets before each
// character, then substitute by position. The program computes the same
// mapping arithmetically.
std::string EncodeByRotation(const std::string& plain_alphabet, const std::string& cipher_alphabet,
                             const std::string& text) {
  std::string plain = plain_alphabet;
  std::string cipher = cipher_alphabet;
  std::string result = text;
  for (char& c : result) {
    std::rotate(plain.begin(), plain.begin() + 7, plain.end());
    std::rotate(cipher.rbegin(), cipher.rbegin() + 7, cipher.rend());
    size_t at = plain.find(c);
    if (at == std::string::npos) at = plain.find(' ');
    c = cipher[at];
  }
  return result;
}

TEST(StoredValue, TheAlphabetHoldsTheNinetyEightCharactersOnce) {
  const std::string alphabet = StoredValueAlphabet();
  const std::string expected = ExpectedCharacters();
  ASSERT_EQ(alphabet.size(), 98u);
  EXPECT_EQ(std::set<char>(alphabet.begin(), alphabet.end()), std::set<char>(expected.begin(), expected.end()));
}

TEST(StoredValue, EveryCharacterAtEveryPositionComesBack) {
  const std::string all = ExpectedCharacters();
  // Long enough for each character to meet every rotation of the alphabets.
  std::string text;
  for (int round = 0; round < 98; ++round) text += all.substr(round % 98) + all.substr(0, round % 98);
  const std::string stored = EncodeStoredValue(text);
  EXPECT_EQ(stored.size(), text.size());
  EXPECT_TRUE(IsStorable(stored));
  EXPECT_EQ(DecodeStoredValue(stored), text);
  EXPECT_NE(stored, text);
}

TEST(StoredValue, MatchesTheRotationAlgorithmForAnyCipherOrder) {
  // The cipher alphabet is not exported; recover it from the encoding of the
  // plain alphabet at position 1, where plain index k meets cipher index k-14.
  const std::string plain = StoredValueAlphabet();
  std::string cipher(98, '\0');
  for (int k = 0; k < 98; ++k) cipher[(k - 14 + 98) % 98] = EncodeStoredValue(std::string(1, plain[k]))[0];
  for (const std::string text : {"guestuser", "p@ss w0rd!\xa3", "aaaaaaaaaaaaaaaaaaaa", "\"#'x"}) {
    EXPECT_EQ(EncodeStoredValue(text), EncodeByRotation(plain, cipher, text)) << text;
  }
}

TEST(StoredValue, RepeatsEverySevenPositions) {
  const std::string stored = EncodeStoredValue(std::string(15, 'k'));
  EXPECT_EQ(stored[0], stored[7]);
  EXPECT_EQ(stored[1], stored[8]);
  EXPECT_EQ(stored[0], stored[14]);
  EXPECT_NE(stored[0], stored[1]);
}

TEST(StoredValue, CharactersOutsideTheAlphabetComeBackAsSpaces) {
  EXPECT_EQ(DecodeStoredValue(EncodeStoredValue("say \"hi\" #1 'ok'")), "say  hi   1  ok ");
  EXPECT_EQ(DecodeStoredValue(EncodeStoredValue("caf\xc3\xa9")), "caf  ");
  EXPECT_FALSE(IsStorable("a\"b"));
  EXPECT_FALSE(IsStorable("\t"));
  EXPECT_TRUE(IsStorable("guest user\xa3"));
}

TEST(StoredValue, EveryPasswordIsStoredAndOldValuesReadTheSame) {
  std::string printable;
  for (int c = 32; c < 127; ++c) printable += static_cast<char>(c);
  const std::string passwords[] = {"guestuser",
                                   "say \"hi\" #1 'ok' ~x~",
                                   printable,
                                   "caf\xc3\xa9",
                                   std::string("\0\x01~41", 5),
                                   "#starts like the wide form",
                                   ""};
  for (const std::string& password : passwords) {
    const std::string stored = StorePassword(password);
    EXPECT_EQ(ReadPassword(stored), password) << password;
    // What the alphabet can hold is stored as it always was.
    if (IsStorable(password)) {
      EXPECT_EQ(stored, EncodeStoredValue(password)) << password;
    }
    for (const char c : stored) EXPECT_NE(c, '"') << "stored values stay within the alphabet and its mark";
  }
  // Values stored by earlier versions, written here as they were stored.
  EXPECT_EQ(ReadPassword(EncodeStoredValue("guestuser")), "guestuser");
  EXPECT_EQ(ReadPassword(EncodeStoredValue("p@ss w0rd!\xa3")), "p@ss w0rd!\xa3");
}

// The stored form is fixed for good: every stored password depends on it.
// These rows were written down once and are never computed by the code under
// test, so that a change to either alphabet fails here.
TEST(StoredValue, TheStoredFormIsPinnedByKnownAnswers) {
  const struct {
    std::string plain, stored;
  } rows[] = {
      {"guestuser", "~B(rII=!C"},
      {"p@ss w0rd!", "Xtmr5Re<^]"},
      {"aaaaaaaaaaaaaaaaaaaa",
       "\x0a"
       "f27J0Y\x0a"
       "f27J0Y\x0a"
       "f27J0"},
      {"Zz09~|{}\\",
       "\xbd"
       "SoW@wX{N"},
      {"\xa3\xac\xbd\x08\x0a\x0d", "Z\\`AeS"},
      {"say \"hi\" #1 'ok'",
       "#4fC*@hLjbsn}U\x0d"
       ":aU*@hgd?snd"},
      {"caf\xc3\xa9",
       "#RfaFg,\x0d"
       "F:"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(StorePassword(row.plain), row.stored) << row.plain;
    EXPECT_EQ(ReadPassword(row.stored), row.plain) << row.plain;
  }
}

TEST(StoredValue, EmptyStaysEmpty) {
  EXPECT_EQ(EncodeStoredValue(""), "");
  EXPECT_EQ(DecodeStoredValue(""), "");
}

}  // namespace
}  // namespace kestova
