#include "index/tokenizer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace quillavor {
namespace {

using testing::U16;
using testing::U8;

// The words of `text`, joined by "|" for readable failures.
std::string Tokens(std::u16string_view text) {
  std::vector<std::u16string_view> words{u"stale"};
  WordTokenizer(text, words);
  std::string joined;
  for (std::u16string_view w : words) {
    if (!joined.empty()) joined += '|';
    joined += U8(w);
  }
  return joined;
}

struct TokenCase {
  const char* text;  // UTF-8
  const char* words;
};

TEST(WordTokenizerTest, SplitsTextIntoWords) {
  const TokenCase cases[] = {
      {"", ""},
      {"<i></i> , ; : / * & — ― .", ""},
      {"In the beginning", "In|the|beginning"},
      {"Lord's LORD lord", "Lord's|LORD|lord"},
      // Leading number, dropped with a word glued to it; numbers mode after it.
      {"12 And it came", "And|it|came"},
      {"12And it came", "it|came"},
      {"  3 ¶ And", "And"},
      {"And 12 tribes", "And|12|tribes"},
      {"And 12 tribes x1y", "And|12|tribes|x1y"},
      {"12 x1y 3rd", "x1y|3rd"},
      // Before numbers mode digits end a word and start a number word.
      {"abc123 def", "abc|123|def"},
      {"abc123 x1y", "abc|123|x1y"},
      // Joiners between a word character and a letter.
      {"don't rock'n'roll", "don't|rock'n'roll"},
      {"twenty-one twenty‒one twenty–one", "twenty-one|twenty‒one|twenty–one"},
      {"twenty—one twenty―one", "twenty|one|twenty|one"},
      {"James' 'tis", "James|tis"},
      {"say\"so ‘quoted’ it’s", "say\"so|quoted|it’s"},
      {"a--b a- -a", "a|b|a|a"},
      {"1 a-1", "a|1"},
      {"a-1", "a|1"},
      // Tags split words; a "<" with no later ">" is punctuation.
      {"L<i>ORD</i>", "L|ORD"},
      {"a<b", "a|b"},
      {"a<b<c>d", "a|d"},
      {"a>b<c", "a|b|c"},
      {"<a=\"Gen 1\">Genesis</a> one", "Genesis|one"},
      // Text between "<noind>" and "</noind>" (any case) is not searched.
      {"<noind>Selah</noind> and", "and"},
      {"<NOIND>Selah</NoInd> and", "and"},
      {"<noind>Selah and more", ""},
      {"one <noind>two</noind> three", "one|three"},
      {"<noind>Selah</noind> 12 tribes", "tribes"},
      {"<noindx>Selah</noind> 12 tribes", "Selah|12|tribes"},
      {"<noind Selah", "noind|Selah"},
      // Footnote markers.
      {"[a]Amen [ab]Amen [A]Amen", "Amen|Amen|A|Amen"},
      {"from[a] the light[bc]s", "from|the|light|s"},
      {"[abc]d [a1] [a", "abc|d|a|1|a"},
      {"[1]x", "x"},
      // Fixed letter sets, including signs that are not letters in Unicode.
      {"2×3 a÷b", "a÷b"},
      {"אב־גד", "אב־גד"},
      {"あ。い", "あ。い"},
      {"光流", "光流"},
      {"Été façon Ÿÿ", "Été|façon|Ÿÿ"},
  };
  for (const TokenCase& c : cases) {
    EXPECT_EQ(Tokens(U16(c.text)), c.words) << "text: " << c.text;
  }
}

TEST(WordTokenizerTest, SurrogatesAndTerminator) {
  struct Case {
    std::u16string text;
    const char* words;
  };
  const Case cases[] = {
      // A supplementary letter (U+1D400) is stepped over as one character
      // and never belongs to a word.
      {u"ab\U0001D400cd", "ab|cd"},
      {u"\U0001D400\U0001D400", ""},
      {u"ab\U00010428cd", "ab|cd"},
      // Lone surrogates separate words too.
      {std::u16string(u"ab") + char16_t{0xD800} + u"cd", "ab|cd"},
      {std::u16string(u"ab") + char16_t{0xDC00} + u"cd", "ab|cd"},
      {std::u16string(u"ab") + char16_t{0xD800}, "ab"},
      // A joiner before a surrogate pair is not followed by a letter.
      {u"ab-\U0001D400", "ab"},
      // The text ends at its first 0 unit.
      {std::u16string(u"ab\0cd", 5), "ab"},
      {std::u16string(u"<i\0>cd", 6), "i"},
      {std::u16string(u"ab-\0c", 5), "ab"},
      {std::u16string(u"a<b\0>c", 6), "a|b"},
      {std::u16string(u"<noind\0>x", 9), "noind"},
      {std::u16string(u"[a\0]x", 5), "a"},
      {std::u16string(u"12\0 3", 5), ""},
      {std::u16string(u"x 12\0 3", 7), "x|12"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Tokens(c.text), c.words) << "text: " << U8(c.text);
  }
}

TEST(WordTokenizerTest, WordsAreViewsIntoTheText) {
  const std::u16string text = u"12 In the <i>beginning</i>";
  std::vector<std::u16string_view> words;
  WordTokenizer(text, words);
  ASSERT_EQ(words.size(), 3u);
  EXPECT_EQ(words[0].data(), text.data() + 3);
  EXPECT_EQ(words[2].data(), text.data() + 13);
  EXPECT_EQ(words[2].size(), 9u);
}

TEST(WordTokenizerTest, ManyOpenAnglesWithoutClose) {
  // Every "<" asks whether a ">" follows; the answer is found once.
  std::u16string text;
  for (int i = 0; i < 200000; ++i) text += u"a<";
  std::vector<std::u16string_view> words;
  WordTokenizer(text, words);
  EXPECT_EQ(words.size(), 200000u);
}

TEST(IsLetterTest, LetterClasses) {
  struct Case {
    char16_t unit;
    bool letter;
  };
  const Case cases[] = {
      {u'A', true},    {u'z', true},    {0, false},      {u'1', false},   {u'-', false},
      {u'\'', false},  {u'_', false},   {0x00AA, true},  {0x00BF, false}, {0x00C0, true},
      {0x00D7, true},  {0x00F7, true},  {0x00FE, true},  {0x00FF, true},  {0x0113, true},
      {0x0410, true},  {0x03A3, true},  {0x05B2, true},  {0x05B9, true},  {0x05BE, true},
      {0x05B0, false}, {0x05C3, false}, {0x0BBF, true},  {0x0BC7, true},  {0x0BCD, false},
      {0x0C02, true},  {0x0C4B, true},  {0x0C4D, false}, {0x3002, true},  {0x3001, false},
      {0x4E0E, true},  {0x9ED1, true},  {0x2012, false}, {0x2014, false}, {0xD835, false},
      {0xDC00, false}, {0xFFFF, false}, {0xFF21, true},
  };
  for (const Case& c : cases) {
    const char16_t text[2] = {c.unit, 0};
    EXPECT_EQ(IsLetter(text), c.letter) << "U+" << std::hex << int{c.unit};
  }
}

}  // namespace
}  // namespace quillavor
