#include "source/book_names.h"

#include <gtest/gtest.h>

#include "platform/text.h"
#include "support/test_support.h"

namespace quillavor {
namespace {

using testing::U16;
using testing::U8;

TEST(BookNameTable, HoldsTheFortyNinePairsInListOrder) {
  const std::vector<BookNameEntry>& table = BookNameTable();
  ASSERT_EQ(table.size(), 49u);
  EXPECT_EQ(table.front().abbreviationKey, u"Gen ");
  EXPECT_EQ(table.front().fullName, u"Genesis");
  EXPECT_EQ(table[18].abbreviationKey, u"Song ");
  EXPECT_EQ(table[18].fullName, u"Song of Solomon");
  EXPECT_EQ(table.back().abbreviationKey, u"Rev ");
  EXPECT_EQ(table.back().fullName, u"Revelations");
  for (const BookNameEntry& e : table) {
    ASSERT_GE(e.abbreviationKey.size(), 2u);
    EXPECT_EQ(e.abbreviationKey.back(), u' ') << U8(e.fullName);
    EXPECT_NE(e.abbreviationKey[e.abbreviationKey.size() - 2], u' ') << U8(e.fullName);
  }
}

TEST(BookNameTable, ExpandsALeadingAbbreviation) {
  const struct {
    const char* text;
    const char* expected;
  } kCases[] = {
      {"gen 3", "Genesis 3"},
      {"GEN 3", "Genesis 3"},
      {"Gen 1:3-5", "Genesis 1:3-5"},
      {"Gen3", "Gen3"},  // the key's space is part of the match
      {"Gen", "Gen"},    // shorter than the key
      {"Gen ", "Genesis "},
      {"", ""},
      {"1 sam 2", "1 Samuel 2"},
      {"1 Samuel 2", "1 Samuel 2"},
      {"Genesis 1", "Genesis 1"},
      {"Phil 4", "Philippians 4"},
      {"Mark 1", "Mark 1"},  // not in the table
      // The key "Song " also starts the full name: a name already spelled
      // out (case ignored), then a blank or the end, stays as it is.
      {"Song 2", "Song of Solomon 2"},
      {"Song of Solomon 2", "Song of Solomon 2"},
      {"SONG OF SOLOMON 1:2", "SONG OF SOLOMON 1:2"},
      {"Song of Solomon", "Song of Solomon"},
      {"Song of Solomons 2", "Song of Solomon of Solomons 2"},
      {"Rev 2:1", "Revelations 2:1"},
      {" Gen 1", " Gen 1"},  // only a leading abbreviation
      {"1  Sam 2", "1  Sam 2"},
      // Outside ASCII the collator decides: a full-width letter differs from
      // its ASCII form only at tertiary strength, an accent at secondary.
      {"\xEF\xBC\xA7"
       "en 1",
       "Genesis 1"},
      {"G\xC3\xA9n 1", "G\xC3\xA9n 1"},
      {"Gen\xC2\xA0"
       "1",
       "Genesis\xC2\xA0"
       "1"},  // no-break space: tertiary only
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(U8(expandBookAbbreviation(U16(c.text))), c.expected) << c.text;
  }
}

// The expansion decides printable-ASCII prefixes without the collator,
// relying on this: at secondary strength two such characters are equal
// exactly when they are equal ignoring ASCII case, and none is ignorable.
TEST(BookNameTable, AsciiShortcutAgreesWithTheCollator) {
  for (char16_t a = 0x20; a <= 0x7E; ++a) {
    const std::u16string sa(1, a);
    EXPECT_FALSE(text::CollatorEqual(sa, u"", text::Strength::kSecondary)) << int(a);
    for (char16_t b = 0x20; b <= 0x7E; ++b) {
      const std::u16string sb(1, b);
      ASSERT_EQ(text::CollatorEqual(sa, sb, text::Strength::kSecondary),
                text::AsciiEqualIgnoreCase(sa, sb))
          << int(a) << " " << int(b);
    }
  }
}

}  // namespace
}  // namespace quillavor
