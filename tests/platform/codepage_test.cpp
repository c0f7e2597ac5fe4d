#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace {

// "房" (U+623F) is B7 BF in GBK; "€" has no GBK byte in iconv's GBK table
// and "😀" is outside the code page altogether.
const std::string kFangUtf8 = "\xE6\x88\xBF";
const std::string kFangGbk = "\xB7\xBF";

TEST(CodepageTest, DefaultsToGbk) { EXPECT_EQ(codepage::Name(), "GBK"); }

TEST(CodepageTest, RoundTripsThroughGbk) {
  struct Case {
    std::string utf8, ansi;
  } cases[] = {
      {"", ""},
      {"flat 85", "flat 85"},
      {kFangUtf8 + "a" + kFangUtf8, kFangGbk + "a" + kFangGbk},
      {"\xE5\x85\xA8\xE7\xBD\x91\xE5\x8F\x91\xE5\xB8\x83", "\xC8\xAB\xCD\xF8\xB7\xA2\xB2\xBC"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(codepage::Utf8ToAnsi(c.utf8), c.ansi);
    EXPECT_EQ(codepage::AnsiToUtf8(c.ansi), c.utf8);
    EXPECT_EQ(codepage::WideToAnsi(codepage::AnsiToWide(c.ansi)), c.ansi);
    EXPECT_EQ(codepage::WideToUtf8(codepage::Utf8ToWide(c.utf8)), c.utf8);
  }
}

TEST(CodepageTest, UnmappableCharactersBecomeQuestionMarks) {
  EXPECT_EQ(codepage::Utf8ToAnsi("a\xF0\x9F\x98\x80" "b"), "a?b");  // emoji: one '?', not four
  EXPECT_EQ(codepage::WideToAnsi(u"x\U0001F600y"), "x?y");
}

TEST(CodepageTest, InvalidInputNeverCrashes) {
  EXPECT_EQ(codepage::Utf8ToAnsi("a\xFF\xFE" "b"), "a??b");
  EXPECT_EQ(codepage::Utf8ToAnsi("a\xE6\x88"), "a?");  // cut sequence at the end
  EXPECT_EQ(codepage::AnsiToUtf8("a\xB7"), "a\xEF\xBF\xBD");  // lone lead byte
  std::u16string lone(1, static_cast<char16_t>(0xD800));
  EXPECT_EQ(codepage::WideToUtf8(lone + u"z"), "\xEF\xBF\xBDz");
  bool ok = true;
  EXPECT_EQ(codepage::Convert("abc", "NO-SUCH-CODEPAGE", "UTF-8", &ok), "");
  EXPECT_FALSE(ok);
}

// Characters of the code page, as the helper's user list walks them.
TEST(CodepageTest, CharLengthFollowsTheCodePage) {
  const struct {
    std::string text;
    std::size_t length;
  } cases[] = {
      {"", 0},
      {"a\xB7\xBF", 1},
      {kFangGbk + "a", 2},
      {"\x81\x5C\"", 2},  // the trail byte 0x5C belongs to the character
      {"\x81\"", 0},       // a lead byte before a quotation mark starts no character
      {"\x81", 0},          // nor one at the end
      {"\xFF\x41", 0},     // a byte GBK does not use
      {std::string("\0x", 2), 1},
  };
  for (const auto& c : cases) EXPECT_EQ(codepage::CharLength(c.text), c.length) << c.text;
}

TEST(CodepageTest, NulBytesAreKept) {
  std::string withNul("a\0b", 3);
  EXPECT_EQ(codepage::AnsiToUtf8(withNul), withNul);
}

TEST(CodepageTest, CaseFoldingLeavesDoubleByteTrailBytesAlone) {
  EXPECT_TRUE(codepage::EqualsNoCase("GetAllUser", "getalluser"));
  EXPECT_FALSE(codepage::EqualsNoCase("getAllUser ", "getalluser"));
  // 0xB7 0x41 and 0xB7 0x61 are two different double-byte characters.
  EXPECT_FALSE(codepage::EqualsNoCase("\xB7\x41", "\xB7\x61"));
  EXPECT_LT(codepage::CompareNoCase("ALICE", "bob"), 0);
  EXPECT_GT(codepage::CompareNoCase("bob&12", "alice"), 0);
  EXPECT_GT(codepage::CompareNoCase("alice&12", "alice"), 0);
}

}  // namespace
