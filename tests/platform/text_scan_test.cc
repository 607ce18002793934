// The four-units-at-a-time scans give the answers of the plain searches, and
// the UTF-8 decoder's fast path the answers of the one-character-at-a-time
// rule.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
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

// UTF-8 decoded one character at a time: a well-formed sequence gives its
// code point, each maximal ill-formed subpart (the longest start of a
// well-formed sequence, at least one byte) one U+FFFD.
std::u16string LiteralDecode(std::string_view bytes) {
  std::u16string out;
  size_t i = 0;
  while (i < bytes.size()) {
    const auto b0 = static_cast<uint8_t>(bytes[i]);
    // The length a sequence with this lead byte has, and the range of its
    // second byte.
    size_t length = 0;
    uint8_t lo = 0x80;
    uint8_t hi = 0xBF;
    if (b0 < 0x80) {
      length = 1;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
      length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      length = 3;
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      length = 4;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
    }
    size_t taken = 1;
    uint32_t c = b0 & (0x7Fu >> (length > 1 ? length : 0));
    for (; length > 0 && taken < length && i + taken < bytes.size(); ++taken) {
      const auto b = static_cast<uint8_t>(bytes[i + taken]);
      if (b < (taken == 1 ? lo : 0x80) || b > (taken == 1 ? hi : 0xBF)) break;
      c = (c << 6) | (b & 0x3Fu);
    }
    if (length == 0 || taken < length) {
      out += u'\uFFFD';
    } else if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += taken;
  }
  return out;
}

TEST(DecodeUtf8Test, AgreesWithTheCharacterByCharacterRuleOnMixedText) {
  // Pieces that meet every branch: ASCII runs across the eight-byte steps,
  // 0 bytes, well-formed sequences of each length and at each range edge,
  // and ill-formed ones (cut, overlong, surrogates, beyond U+10FFFF, stray
  // continuation bytes).
  using namespace std::string_view_literals;
  const std::string_view pieces[] = {
      "a"sv,
      "0123456789abcdef"sv,
      "\0"sv,
      "\x7F"sv,
      "\xC2\x80"sv,
      "\xDF\xBF"sv,
      "\xE0\xA0\x80"sv,
      "\xED\x9F\xBF"sv,
      "\xEF\xBF\xBF"sv,
      "\xF0\x90\x80\x80"sv,
      "\xF4\x8F\xBF\xBF"sv,
      "\xC2"sv,
      "\xE0\xA0"sv,
      "\xF0\x90\x80"sv,
      "\xC0\xAF"sv,
      "\xC1\xBF"sv,
      "\xE0\x80\x80"sv,
      "\xED\xA0\x80"sv,
      "\xF0\x80\x80\x80"sv,
      "\xF4\x90\x80\x80"sv,
      "\xF5\x80"sv,
      "\xFF"sv,
      "\x80"sv,
      "\xBF\xBF"sv,
      "\xE2\x80\x94"sv,
      "\xC2\xB6"sv,
  };
  std::mt19937 random(17);
  std::uniform_int_distribution<size_t> pick(0, std::size(pieces) - 1);
  std::uniform_int_distribution<size_t> count(0, 24);
  for (int round = 0; round < 3000; ++round) {
    std::string bytes;
    for (size_t n = count(random); n > 0; --n) bytes += pieces[pick(random)];
    std::u16string decoded(bytes.size(), u'\0');
    decoded.resize(static_cast<size_t>(text::DecodeUtf8Into(bytes, decoded.data())));
    ASSERT_EQ(decoded, LiteralDecode(bytes)) << "round " << round;
  }
}

}  // namespace
}  // namespace quillavor
