#include "markup/rewrite.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "markup/plain_text.h"
#include "support/test_support.h"

namespace quillavor {
namespace {

using testing::U16;
using testing::U8;

std::string Blanks(size_t n) { return std::string(n, ' '); }

struct RewriteCase {
  const char* what;
  std::string input;
  std::string expected;
};

TEST(RewriteTest, LinkRoomAndFootnoteMarkers) {
  const RewriteCase cases[] = {
      // "<A=": the value grows to twice its count of ":", "," and "-".
      {"A range list already wide", "<A=\"Gen 1:1-3,5\">x</a>", "<A=\"Gen 1:1-3,5\">x</a>"},
      {"A six separators in 13 bytes", "<A=\"1:1,2:3,4:5-6\">", "<A=\"1:1,2:3,4:5-6\">"},
      {"A five colons", "<A=\":::::\">", "<A=\":::::" + Blanks(5) + "\">"},
      {"A comma and dash", "<A=\",-\">", "<A=\",-" + Blanks(2) + "\">"},
      {"A without separators", "<A=\"Gen\">", "<A=\"Gen\">"},
      {"A en dash is no separator",
       "<A=\"1:3\xE2\x80\x93"
       "5\">",
       "<A=\"1:3\xE2\x80\x93"
       "5\">"},
      // "<a=", "<f=", "<m=", "<r=": blanks after the opening quote.
      {"a width 6", "<a=\"Gen\">G</a>", "<a=\"" + Blanks(3) + "Gen\">G</a>"},
      {"a with # width 13", "<a=\"Gen#3\">", "<a=\"" + Blanks(8) + "Gen#3\">"},
      {"r width 13", "<r=\"Gen\">", "<r=\"" + Blanks(10) + "Gen\">"},
      {"m with # width 20", "<m=\"x#y\">", "<m=\"" + Blanks(17) + "x#y\">"},
      {"f width 6", "<f=\"ab\">", "<f=\"" + Blanks(4) + "ab\">"},
      {"a already wide", "<a=\"Genesis\">", "<a=\"Genesis\">"},
      {"a exactly wide", "<a=\"Gen 12\">", "<a=\"Gen 12\">"},
      {"r exactly wide", "<r=\"1234567890123\">", "<r=\"1234567890123\">"},
      {"empty value", "<a=\"\">", "<a=\"" + Blanks(6) + "\">"},
      {"widths count bytes", "<a=\"\xC3\x89\">", "<a=\"" + Blanks(4) + "\xC3\x89\">"},
      // Not link tags.
      {"Key value", "<a=\"KeyWord\">k</a>", "<a=\"KeyWord\">k</a>"},
      {"Ke is not Key", "<a=\"Ke\">", "<a=\"" + Blanks(4) + "Ke\">"},
      {"key lower case is a link", "<a=\"key\">", "<a=\"" + Blanks(3) + "key\">"},
      {"other letter", "<b=\"x\"><i=\"x\">", "<b=\"x\"><i=\"x\">"},
      {"no quote", "<a=x>", "<a=x>"},
      // A value without a closing quote on its line is left alone.
      {"unclosed at end", "<a=\"", "<a=\""},
      {"unclosed before LF", "<a=\"Gen\nx\">", "<a=\"Gen\nx\">"},
      {"unclosed before CR", "<A=\"1:2\r\n3\">", "<A=\"1:2\r\n3\">"},
      {"unclosed, marker later converted", "<a=\"Gen x[a]\nnext",
       "<a=\"Gen x<f=\"" + Blanks(8) + "\">[a]</a>\nnext"},
      // Footnote markers.
      {"marker in text", "see[a] above", "see<f=\"" + Blanks(8) + "\">[a]</a> above"},
      {"two-letter marker", "x[ab]y", "x<f=\"" + Blanks(8) + "\">[ab]</a>y"},
      {"marker after a blank", "x [z]", "x <f=\"" + Blanks(8) + "\">[z]</a>"},
      {"marker at text start", "[a] note", "[a] note"},
      {"marker after LF", "x\n[a] note", "x\n[a] note"},
      {"marker after CR only", "x\r[a]", "x\r<f=\"" + Blanks(8) + "\">[a]</a>"},
      {"marker before </a>", "x[a]</a>", "x[a]</a>"},
      {"upper-case letter", "x[A]", "x[A]"},
      {"digit", "x[a1]", "x[a1]"},
      {"three letters", "x[abc]", "x[abc]"},
      {"unclosed bracket", "x[a", "x[a"},
      {"marker inside a closed value", "<a=\"x[a]y\">t</a>", "<a=\" x[a]y\">t</a>"},
      {"marker after a link", "<a=\"Genesis\">G</a>[b]",
       "<a=\"Genesis\">G</a><f=\"" + Blanks(8) + "\">[b]</a>"},
      {"nothing to do", "plain text\nline two", "plain text\nline two"},
      {"empty", "", ""},
  };
  for (const RewriteCase& c : cases) {
    EXPECT_EQ(RewriteText(c.input), c.expected) << c.what;
  }
}

TEST(RewriteTest, FootnoteMarkerGrowsByEighteenBytes) {
  EXPECT_EQ(RewriteText("x[a]").size(), 4u + 18u);
  EXPECT_EQ(RewriteText("x[ab]").size(), 5u + 18u);
}

TEST(RewriteTest, OutputOfThePassNeedsNoFurtherChange) {
  const std::string source =
      "<G>T\n1 In[a] the <a=\"Gen\">x</a> and <A=\":::\">y</a> <m=\"x#y\">z</a>[b]\n"
      "[a] note[c]\n";
  const std::string once = RewriteText(source);
  EXPECT_NE(once, source);
  EXPECT_EQ(RewriteText(once), once);
}

TEST(RewriteTest, ManyItemsInALongText) {
  // Items beyond the first eight-byte blocks, at every alignment.
  std::string source;
  std::string expected;
  for (int i = 0; i < 64; ++i) {
    source += std::string(static_cast<size_t>(i % 9), 'w') + "[q]<r=\"ab\">";
    expected += std::string(static_cast<size_t>(i % 9), 'w');
    expected += i == 0 && i % 9 == 0 ? "[q]" : "<f=\"" + Blanks(8) + "\">[q]</a>";
    expected += "<r=\"" + Blanks(11) + "ab\">";
  }
  EXPECT_EQ(RewriteText(source), expected);
}

TEST(RewriteTest, DecodingWhileRewritingEqualsDecodingTheRewrittenText) {
  // Random texts built from the pieces that matter: link tags, markers,
  // quotes, line ends, and well- and ill-formed UTF-8 next to them.
  const std::string pieces[] = {
      "<a=\"",    "<A=\"",    "<f=\"", "<m=\"",    "<r=\"",
      "[a]",      "[ab]",     "</a>",  "\"",       "\n",
      "\r",       "#",        ":",     ",",        "-",
      "Key",      "x",        "[",     "]",        "<",
      "\xC3\xA9", "\xE2",     "\x80",  "\xE2\x80", "\xF0\x9F\x95\x8A",
      "\xFF",     "\xF0\x9F",
  };
  std::mt19937 random(20261207);
  std::uniform_int_distribution<size_t> pick(0, std::size(pieces) - 1);
  std::uniform_int_distribution<int> count(0, 40);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    for (int n = count(random); n > 0; --n) text += pieces[pick(random)];
    const std::string rewritten = RewriteText(text);
    ASSERT_EQ(RewrittenLength(text), static_cast<int64_t>(rewritten.size())) << text;
    std::u16string decoded(rewritten.size(), u'\0');
    decoded.resize(static_cast<size_t>(RewriteDecodeInto(text, decoded.data())));
    ASSERT_EQ(decoded, U16(rewritten)) << text;
  }
}

struct PlainCase {
  const char* input;
  const char* expected;
};

TEST(PlainTextTest, RemovesEveryCompleteTag) {
  const PlainCase cases[] = {
      {"L<sc>ORD</sc> God", "LORD God"},
      {"a<b", "a<b"},
      {"a<b>c<d", "ac<d"},
      {"<a<b>c>", "c>"},
      {"x>y", "x>y"},
      {"<>", ""},
      {"", ""},
      {"<p>12 <a=\"   Gen\">Gen</a> text", "12 Gen text"},
      {"\xC3\x89<i>l</i>", "\xC3\x89l"},
  };
  for (const PlainCase& c : cases) {
    EXPECT_EQ(U8(PlainText(U16(c.input))), c.expected) << c.input;
  }
}

}  // namespace
}  // namespace quillavor
