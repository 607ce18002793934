// The four-units-at-a-time scans give the answers of the plain searches.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/text.h"

namespace quillavor {
namespace {

// Every unit value that could upset the lane arithmetic: 0, 1 (borrows),
// 0x8000 and 0xFFFF (high bits), and the looked-for units themselves.
constexpr char16_t kFillers[] = {u'a', 0x0001, 0x8000, 0xFFFF, 0x0100, u'<' + 1};

TEST(FindUnitTest, FindsTheFirstMatchAtEveryPositionAndLength) {
  for (const char16_t wanted : {char16_t{0}, u'<', u'>', char16_t{0xFFFF}, char16_t{0x8000}}) {
    for (const char16_t filler : kFillers) {
      if (filler == wanted) continue;
      for (size_t length = 0; length <= 13; ++length) {
        for (size_t at = 0; at <= length; ++at) {  // at == length: absent
          std::u16string s(length, filler);
          if (at < length) s[at] = wanted;
          if (at + 2 < length) s[at + 2] = wanted;  // a later one must not win
          const char16_t* begin = s.data();
          const char16_t* end = begin + s.size();
          EXPECT_EQ(text::FindUnit(begin, end, wanted) - begin, static_cast<ptrdiff_t>(at))
              << "length " << length << ", at " << at << ", unit " << int(wanted) << ", filler "
              << int(filler);
          if (wanted == 0) {
            EXPECT_EQ(text::FindNul(begin, end) - begin, static_cast<ptrdiff_t>(at));
          }
        }
      }
    }
  }
}

TEST(FindUnitTest, StopsAtTheEndOfTheRangeNotAtTheStringEnd) {
  const std::u16string s = u"abcdefgh<";
  EXPECT_EQ(text::FindUnit(s.data(), s.data() + 8, u'<'), s.data() + 8);
  EXPECT_EQ(text::FindUnit(s.data() + 3, s.data() + 9, u'<'), s.data() + 8);
}

TEST(FindTextTest, AgreesWithTheLibrarySearch) {
  const std::u16string_view haystacks[] = {
      u"",
      u"<",
      u"<sc",
      u"<sc>",
      u"a<sc>b<sc>",
      u"<<sc>sc>",
      u"<s<sc <image=1 <image=",
      u"plain text without any tag at all, long enough for several words",
      u"x<image=12345678>y<image=",
  };
  const std::u16string_view needles[] = {u"<sc>", u"<image=", u"<", u"c>"};
  for (const std::u16string_view h : haystacks) {
    for (const std::u16string_view n : needles) {
      for (size_t from = 0; from <= h.size() + 1; ++from) {
        EXPECT_EQ(text::FindText(h, n, from), h.find(n, from))
            << std::string(h.begin(), h.end()) << " / " << std::string(n.begin(), n.end())
            << " from " << from;
      }
    }
  }
}

}  // namespace
}  // namespace quillavor
