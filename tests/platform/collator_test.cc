// The collator comparisons: strings of printable ASCII are answered without
// the collator, and the answer must be the collator's own (its sort keys).
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/text.h"

namespace quillavor {
namespace {

// Random printable ASCII strings, most of them close variants of one another
// (case, a unit more or less, a blank or punctuation), so that equal,
// case-equal and different pairs are all common.
TEST(CollatorEqualTest, AsciiShortcutAgreesWithTheSortKeys) {
  std::mt19937 rng(7);
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  constexpr std::u16string_view kUnits = u"aAbBzZ09 -'.,:#";
  auto random = [&] {
    std::u16string s;
    for (size_t n = pick(5); n > 0; --n) s += kUnits[pick(kUnits.size())];
    return s;
  };
  auto variant = [&](std::u16string s) {
    for (char16_t& c : s) {
      if (pick(3) == 0 && c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    }
    if (pick(4) == 0) s += kUnits[pick(kUnits.size())];
    if (pick(6) == 0) s = u" " + s;
    return s;
  };
  for (int i = 0; i < 4000; ++i) {
    const std::u16string a = random();
    const std::u16string b = pick(4) == 0 ? random() : variant(a);
    for (const text::Strength strength : {text::Strength::kTertiary, text::Strength::kSecondary}) {
      const bool keysEqual =
          text::CollatorSortKey(a, strength) == text::CollatorSortKey(b, strength);
      ASSERT_EQ(text::CollatorEqual(a, b, strength), keysEqual)
          << "\"" << text::EncodeUtf8(a) << "\" and \"" << text::EncodeUtf8(b) << "\" at "
          << (strength == text::Strength::kTertiary ? "tertiary" : "secondary") << " strength";
    }
  }
}

TEST(CollatorEqualTest, OtherTextGoesToTheCollator) {
  struct Case {
    std::u16string_view a;
    std::u16string_view b;
    bool tertiary;
    bool secondary;
  };
  const Case cases[] = {
      {u"\u00e9", u"\u00c9", false, true},   // é, É: case only
      {u"e\u0301", u"\u00e9", true, true},   // a combining accent: canonically equal
      {u"e", u"\u00e9", false, false},       // an accent is a secondary difference
      {u"a\u0001b", u"ab", true, true},      // a control unit is ignorable
      {u"Gen\u00a0", u"Gen ", false, true},  // no-break space: a tertiary difference
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text::CollatorEqual(c.a, c.b, text::Strength::kTertiary), c.tertiary)
        << text::EncodeUtf8(c.a);
    EXPECT_EQ(text::CollatorEqual(c.a, c.b, text::Strength::kSecondary), c.secondary)
        << text::EncodeUtf8(c.a);
  }
}

}  // namespace
}  // namespace quillavor
