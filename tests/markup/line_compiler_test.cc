#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "markup/compile_helpers.h"
#include "model/errors.h"

namespace quillavor {
namespace {

using testing::CompileMarkup;
using Strings = std::vector<std::string>;
using Ints = std::vector<int32_t>;

std::string Blanks(size_t n) { return std::string(n, ' '); }

// ---- Control keywords ----------------------------------------------------

struct KeywordCase {
  const char* line;
  uint32_t flags;  // the flags word the line alone sets
};

TEST(KeywordTest, ModuleKindKeywordsIgnoreCaseAndMatchAsPrefixes) {
  const KeywordCase cases[] = {
      {"BIBLE", kFlagBible},
      {"bible", kFlagBible},
      {"Bibles and more", kFlagBible},
      {"Superscript_Verses", kFlagSuperscriptVerses},
      {"inspired_version", kFlagInspiredVersion},
      {"Community_Of_Christ_Sings", kFlagHymnal},
      {"doctrine_and_covenants", kFlagDoctrineAndCovenants},
      {"BOOK_of_MORMON", kFlagBookOfMormon},
      {"Help yourself", kFlagHelp},
      {"HELPER", kFlagHelp},
      {" help", 0},    // after a blank: ordinary text
      {"\tBIBLE", 0},  // after a tab likewise
      {"BIBL", 0},     // shorter than the keyword
      {"THE BIBLE", 0},
  };
  for (const KeywordCase& c : cases) {
    auto compiled = CompileMarkup(std::string(c.line) + "\n");
    EXPECT_EQ(compiled->m().ComputeFlags(), c.flags) << c.line;
  }
}

TEST(KeywordTest, KeywordLinesCreateNoVerse) {
  auto c = CompileMarkup(
      "<Book>Title\nHelp yourself\n help\nINDEX_OFF\nINDEX_ON now\nINDEX_Off\nindex_on\n"
      "DISABLE_REFS\nenable_refs\nBIBLE\nbible again\n");
  EXPECT_EQ(c->m().isHelp, 1);
  EXPECT_EQ(c->m().isBible, 1);
  // " help" is text from its blank on; the mis-cased index keywords are verses.
  EXPECT_EQ(c->VerseTexts(), (Strings{"help", "INDEX_Off", "index_on"}));
}

TEST(KeywordTest, ByteOrderMarkAtLineStartIsSkipped) {
  auto c = CompileMarkup(
      "\xEF\xBB\xBF"
      "BIBLE\n<B>T\n\xEF\xBB\xBF"
      "1 x\n\xEF\xBB\xBF\n");
  EXPECT_EQ(c->m().isBible, 1);
  ASSERT_EQ(c->m().verseCount, 1);
  EXPECT_EQ(c->VerseText(0), "1 x");
}

// ---- Book headers ----------------------------------------------------------

TEST(HeaderTest, NameTitleAndBlanksBeforeTheHeader) {
  auto c = CompileMarkup("  <Genesis>Genesis 1\n<left>Text\n<Gen>\n<Ps>Psalm<i>x\n");
  ASSERT_EQ(c->m().bookCount, 4);
  EXPECT_EQ(c->BookName(0), "Genesis");
  EXPECT_EQ(c->Title(0), "Genesis 1");
  EXPECT_EQ(c->BookName(1), "left");
  EXPECT_EQ(c->Title(1), "Text");
  EXPECT_EQ(c->BookName(2), "Gen");
  EXPECT_EQ(c->Title(2), "");
  EXPECT_EQ(c->Title(3), "Psalm");  // the title ends at the next "<"
  for (int32_t b = 0; b < 4; ++b) {
    const BookRecord& book = c->m().books[b];
    EXPECT_EQ(book.note, kNone);
    EXPECT_EQ(book.abbrev, kNone);
    EXPECT_EQ(book.firstText, kNone);
    EXPECT_EQ(book.bookFlags, kBookPlainLayout);
  }
}

TEST(HeaderTest, ProgressShowsEachTitleAndPumps) {
  std::string source = "<A>First title\n";
  for (int i = 0; i < 248; ++i) source += "x\n";
  source += "<B>Second\n";  // line 250
  auto c = CompileMarkup(source);
  EXPECT_EQ(c->progress.phases, (std::vector<std::u16string>{u"First title", u"Second"}));
  EXPECT_EQ(c->progress.pumps, 2 + 2);  // lines 100 and 200, two headers
}

TEST(HeaderTest, SameNamesAreChained) {
  auto c = CompileMarkup("<Psalm>1\n<psalm>2\n");
  ASSERT_EQ(c->m().bookCount, 2);
  ASSERT_EQ(c->m().bookNameCount, 1);
  EXPECT_EQ(c->m().books[1].prevSameName, 0);
  EXPECT_EQ(c->m().books[0].nextSameName, 1);
  EXPECT_EQ(c->m().books[0].prevSameName, kNone);
  EXPECT_EQ(c->m().books[1].nextSameName, kNone);
  EXPECT_EQ(c->m().books[0].nameIndex, 0);
  EXPECT_EQ(c->m().books[1].nameIndex, 0);
  EXPECT_EQ(c->m().bookNames[0].lastBook, 1);
  EXPECT_EQ(c->BookName(1), "Psalm");  // the first spelling names the record
}

TEST(HeaderTest, PrevNameAndNextName) {
  auto c = CompileMarkup("<A>1\n<B>2\n<A>3\n<B>4\n<C>5\n");
  const Module& m = c->m();
  ASSERT_EQ(m.bookCount, 5);
  // Book 2 is named by entry 0: no previous name.
  EXPECT_EQ(m.books[2].prevName, kNone);
  EXPECT_EQ(m.books[1].prevName, 0);
  EXPECT_EQ(m.books[0].nextName, 1);
  // Book 3 (B) follows the latest A, which is book 2.
  EXPECT_EQ(m.books[3].prevName, 2);
  EXPECT_EQ(m.books[2].nextName, 3);
  // nextName is set only while unset: book 0 keeps book 1.
  EXPECT_EQ(m.books[4].prevName, 3);
  EXPECT_EQ(m.books[3].nextName, 4);
  EXPECT_EQ(m.books[1].nextName, kNone);
  EXPECT_EQ(m.books[4].nextName, kNone);
  EXPECT_EQ(m.bookNames[0].lastBook, 2);
  EXPECT_EQ(m.bookNames[1].lastBook, 3);
  EXPECT_EQ(m.bookNames[2].lastBook, 4);

  // A second B has the same previous book as the first; that book's
  // nextName keeps pointing at the first B.
  auto again = CompileMarkup("<A>1\n<B>2\n<B>3\n");
  EXPECT_EQ(again->m().books[2].prevName, 0);
  EXPECT_EQ(again->m().books[0].nextName, 1);
}

struct ModifierCase {
  const char* header;
  int32_t flags;
  const char* title;
  const char* note;    // nullptr: none
  const char* abbrev;  // nullptr: none
};

TEST(HeaderTest, ModifiersInTheirStrictOrder) {
  const ModifierCase cases[] = {
      {"<B>T<suppress><nosiblink><note>N<abbrev>Ab", 1 | 2 | 4, "T", "N", "Ab"},
      {"<B>T<nosiblink><suppress>", 2 | 4, "T", nullptr, nullptr},
      {"<B>T<suppress>junk<abbrev>A", 1 | 2, "T", nullptr, "A"},
      {"<B>T<note>A note<i>with</i> tags", 2, "T", "A note<i>with</i> tags", nullptr},
      {"<B>T<note><abbrev>", 2, "T", "", ""},
      {"<B>T<abbrev>Ab<note>N", 2, "T", nullptr, "Ab"},
      {"<B>T<abbrev>Ab", 2, "T", nullptr, "Ab"},
      {"<B>T<x><suppress>", 2, "T", nullptr, nullptr},
      {"<B>T<SUPPRESS><Note>x", 2, "T", nullptr, nullptr},
      {"<B><suppress>", 1 | 2, "", nullptr, nullptr},
      {"<B>T<suppress", 2, "T", nullptr, nullptr},
  };
  for (const ModifierCase& mc : cases) {
    auto c = CompileMarkup(std::string(mc.header) + "\n");
    ASSERT_EQ(c->m().bookCount, 1) << mc.header;
    const BookRecord& book = c->m().books[0];
    EXPECT_EQ(book.bookFlags, mc.flags) << mc.header;
    EXPECT_EQ(c->Title(0), mc.title) << mc.header;
    if (mc.note) {
      ASSERT_NE(book.note, kNone) << mc.header;
      EXPECT_EQ(c->Pool(book.note), mc.note) << mc.header;
    } else {
      EXPECT_EQ(book.note, kNone) << mc.header;
    }
    if (mc.abbrev) {
      ASSERT_NE(book.abbrev, kNone) << mc.header;
      EXPECT_EQ(c->Pool(book.abbrev), mc.abbrev) << mc.header;
    } else {
      EXPECT_EQ(book.abbrev, kNone) << mc.header;
    }
  }
}

TEST(HeaderTest, StringsEnterThePoolInOrder) {
  auto c = CompileMarkup("<Name>Title<note>Note<abbrev>Abbr\n<Name>Again\n");
  const Module& m = c->m();
  EXPECT_EQ(c->Pool(0), "Test");
  EXPECT_EQ(c->Pool(5), "T");
  EXPECT_EQ(c->Pool(7).substr(0, 6), "<Name>");  // the text, cut into lines
  const BookRecord& book = m.books[0];
  EXPECT_LT(book.title, book.note);
  EXPECT_LT(book.note, book.abbrev);
  EXPECT_LT(book.abbrev, m.bookNames[0].name);
  EXPECT_LT(m.bookNames[0].name, m.books[1].title);
}

TEST(HeaderTest, LinesThatAreNoHeader) {
  // A tab before "<", a "<" without ">", a known tag: all text.
  auto c = CompileMarkup("<B>T\n\t<Genesis>X\n<abc\n<i>x</i>\n");
  EXPECT_EQ(c->m().bookCount, 1);
  EXPECT_EQ(c->VerseTexts(), (Strings{"\t<Genesis>X", "<abc", "<i>x</i>"}));
}

TEST(HeaderTest, KnownTagListDecidesBetweenTextAndHeader) {
  const char* known[] = {
      "<i>",
      "<sc>",
      "</sc>",
      "<h>",
      "</h>",
      "<fc>",
      "</fc>",
      "<n>",
      "<center>",
      "<indent>",
      "<indent2>",
      "<right>",
      "<b>",
      "<P>",
      "<p>",
      "<hp>",
      "<hP>",
      "<L>",
      "<l>",
      "<hl>",
      "<hL>",
      "</a>",
      "<t>",
      "<cr=x>",
      "<Link:x>",
      "<refrainopt:x>",
      "<a=\"Genesis\">",
      "<A=\"x\">",
      "<r=\"1234567890123\">",
      "<m=\"12345678901234567890\">",
      "<f=\"123456\">",
      "<web=\"x\">",
  };
  for (const char* tag : known) {
    auto c = CompileMarkup(std::string("<B>T\n") + tag + "x\n");
    EXPECT_EQ(c->m().bookCount, 1) << tag;
    EXPECT_EQ(c->m().verseCount, 1) << tag;
  }
  const char* headers[] = {
      "<left>", "<note>",  "<abbrev>",       "<suppress>", "<nosiblink>",    "<I>",  "<web=x>",
      "<a=x>",  "<image>", "<span class=x>", "<refrain >", "<REFRAINOPT:x>", "<B >",
  };
  for (const char* tag : headers) {
    auto c = CompileMarkup(std::string("<B>T\n") + tag + "x\n");
    EXPECT_EQ(c->m().bookCount, 2) << tag;
    EXPECT_EQ(c->m().verseCount, 0) << tag;
  }
}

// ---- Verses ----------------------------------------------------------------

TEST(VerseTest, RecordsChainsAndFirstText) {
  auto c = CompileMarkup("1 before any book\n<A>a\n1 one\n  2 two\n<E>empty\n<B>b\n1 three\n");
  const Module& m = c->m();
  ASSERT_EQ(m.verseCount, 3);
  EXPECT_EQ(c->VerseTexts(), (Strings{"1 one", "2 two", "1 three"}));
  EXPECT_EQ(m.verses[0].book, 0);
  EXPECT_EQ(m.verses[1].book, 0);
  EXPECT_EQ(m.verses[2].book, 2);
  EXPECT_EQ(m.verses[0].next, 1);
  EXPECT_EQ(m.verses[1].next, kNone);  // never across books
  EXPECT_EQ(m.verses[2].next, kNone);
  EXPECT_EQ(m.books[0].firstText, 0);
  EXPECT_EQ(m.books[1].firstText, kNone);
  EXPECT_EQ(m.books[2].firstText, 2);
}

TEST(VerseTest, VerseTextPointsIntoThePoolCopyOfTheLine) {
  auto c = CompileMarkup("<A>a\r\n\r\n1 one\r2 two\n\n\n3 three");
  const Module& m = c->m();
  EXPECT_EQ(c->VerseTexts(), (Strings{"1 one", "2 two", "3 three"}));
  // The line breaks became 0 units in place: the texts follow each other.
  EXPECT_EQ(m.verses[1].text, m.verses[0].text + 6);
  EXPECT_EQ(m.verses[2].text, m.verses[1].text + 8);
}

TEST(VerseTest, TextEndsAtTheFirstZeroByte) {
  constexpr char kSource[] = "<A>a\n1 one\n\0<B>b\n2 two\n";
  const std::string source(kSource, sizeof(kSource) - 1);
  auto c = CompileMarkup(source);
  EXPECT_EQ(c->m().bookCount, 1);
  EXPECT_EQ(c->m().verseCount, 1);
}

TEST(VerseTest, NonAsciiTextIsDecoded) {
  auto c = CompileMarkup("<G\xC3\xA9nesis>G\xC3\xA9nesis 1\n1 \xC3\x89l \xF0\x9F\x95\x8A\n");
  EXPECT_EQ(c->BookName(0), "G\xC3\xA9nesis");
  EXPECT_EQ(c->Title(0), "G\xC3\xA9nesis 1");
  EXPECT_EQ(c->VerseText(0), "1 \xC3\x89l \xF0\x9F\x95\x8A");
}

TEST(VerseTest, RefusedLinksArePending) {
  auto c = CompileMarkup(
      "<A>a\n1 no link\n2 <a=\"Nowhere 1\">x</a> and <A=\"Nowhere 2:3\">y</a>\n"
      "3 <a=\"KeyWord\">k</a> <i>x</i>\n<f=\" Nowhere\">z</a> 4\n");
  // Verse 1 holds two refused links; the Key tag is no link. (An "<f=" value
  // that starts with a blank is searched for, and no footnote line follows.)
  EXPECT_EQ(c->pending.entries, (Ints{1, 1, 3}));
  EXPECT_EQ(c->pending.contexts, (Ints{1, 1, 3}));
}

// ---- Footnote lines ----------------------------------------------------------

TEST(FootnoteTest, FootnoteLinesCreateNoVerse) {
  std::string source = "<A>a\n";
  for (int i = 1; i <= 8; ++i) source += std::to_string(i) + " verse\n";
  source += "[a] see <a=\"Nowhere 1\">x</a> and <r=\"Nowhere 2\">y</a>\n";
  source += "[ab] second\n[a]\n[A] upper\n[a1] digit\n";
  auto c = CompileMarkup(source);
  const Module& m = c->m();
  EXPECT_EQ(m.verseCount, 8 + 3);
  EXPECT_EQ(c->VerseText(8), "[a]");
  EXPECT_EQ(c->VerseText(9), "[A] upper");
  EXPECT_EQ(c->VerseText(10), "[a1] digit");
  // Negative pool positions of the "<" of each refused tag; context verse 7.
  ASSERT_EQ(c->pending.entries.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const int32_t pos = -c->pending.entries[i];
    EXPECT_GT(pos, 0);
    EXPECT_EQ(m.pool[pos], u'<');
    EXPECT_EQ(c->pending.contexts[i], 7);
  }
  EXPECT_EQ(c->Pool(-c->pending.entries[0]).substr(0, 13), "<a=\"Nowhere 1");
  EXPECT_EQ(c->Pool(-c->pending.entries[1]).substr(0, 8), "<r=\"    ");
}

TEST(FootnoteTest, FootnoteLineBeforeAnyVerseStillQueuesItsLinks) {
  auto c = CompileMarkup("[a] <a=\"Nowhere\">x</a>\n");
  EXPECT_EQ(c->m().verseCount, 0);
  ASSERT_EQ(c->pending.entries.size(), 1u);
  EXPECT_LT(c->pending.entries[0], 0);
  EXPECT_EQ(c->pending.contexts[0], -1);
}

TEST(FootnoteTest, IndentedMarkerBecomesALinkVerse) {
  // The marker is not at the line start, so the rewrite pass turned it into
  // an "<f=" link, and the line starts with a known tag.
  auto c = CompileMarkup("<A>a\n1 x\n  [a] note\n");
  ASSERT_EQ(c->m().verseCount, 2);
  EXPECT_EQ(c->VerseText(1), "<f=\"" + Blanks(8) + "\">[a]</a> note");
  EXPECT_EQ(c->pending.entries, (Ints{1}));
}

// ---- Refrains ----------------------------------------------------------------

TEST(RefrainTest, RefrainNumberIsWrittenIntoRefrainopt) {
  std::string source = "<Hymn>1\n";
  for (int i = 0; i < 41; ++i) source += "x\n";
  source += "<refrain>Glory\n";
  source += "<refrainopt:      >\n";
  source += "<Hymn>2\n<refrainopt:      >again\n";
  auto c = CompileMarkup(source);
  ASSERT_EQ(c->m().verseCount, 44);
  EXPECT_EQ(c->VerseText(41), "Glory");
  EXPECT_EQ(c->VerseText(42), "<refrainopt:41    >");
  EXPECT_EQ(c->m().bookCount, 2);
  // The number holds across books.
  EXPECT_EQ(c->VerseText(43), "<refrainopt:41    >again");
}

TEST(RefrainTest, EdgeCases) {
  auto c = CompileMarkup(
      "<H>1\n<refrainopt:      >empty number\n<Refrain>  Sing\n<refrain>\n"
      "<Refrainopt:      >\n<refrainopt:   >short\n");
  const Module& m = c->m();
  // An empty refrain number leaves the blanks.
  EXPECT_EQ(c->VerseText(0), "<refrainopt:      >empty number");
  // Blanks after "<refrain>" are skipped; "<refrain>" alone is dropped.
  EXPECT_EQ(c->VerseText(1), "Sing");
  EXPECT_EQ(m.verseCount, 3);
  EXPECT_EQ(c->VerseText(2), "<refrainopt:   >short");
  // The upper-case refrainopt line was filled and then taken as a header.
  ASSERT_EQ(m.bookCount, 2);
  EXPECT_EQ(c->BookName(1), "Refrainopt:2     ");
}

TEST(RefrainTest, LongRefrainNumberIsCutAtSixCharacters) {
  // A refrain at verse 1,000,000: seven digits, the field holds six.
  std::string source = "<H>1\n";
  source.reserve(2'000'100);
  for (int i = 0; i < 1'000'000; ++i) source += "x\n";
  source += "<refrain>R\n<refrainopt:      >end\n";
  auto c = CompileMarkup(source);
  ASSERT_EQ(c->m().verseCount, 1'000'002);
  EXPECT_EQ(c->VerseText(1'000'001), "<refrainopt:100000>end");
}

// ---- Images ------------------------------------------------------------------

TEST(ImageTest, ReferenceLineInsideABookBecomesAVerse) {
  auto c = CompileMarkup("<A>a\n1 x\n<image=3       >\n", 3);
  const Module& m = c->m();
  ASSERT_EQ(m.verseCount, 2);
  EXPECT_EQ(c->VerseText(1), "<image=3       >");
  const ImageRecord& image = m.images[2];
  EXPECT_EQ(image.useCount, 1);
  EXPECT_EQ(image.useVerses, (Ints{1}));
  EXPECT_EQ(image.usePositions, (Ints{m.verses[1].text + 7}));
  EXPECT_EQ(m.images[0].useCount, 0);
}

TEST(ImageTest, WhereReferencesAreRecognised) {
  auto c = CompileMarkup(
      "<image=1       >\n"  // before any book: recorded, dropped
      "<A>a\n"
      "<i>x</i> <image=2       > <image=1>\n"  // after a known tag: the first one
      "x <image=2       >\n"                   // not after "<": not searched
      "  <image= +2>\n"                        // strtol: blanks and a sign
      "<image=2x>\n",
      2);
  const Module& m = c->m();
  EXPECT_EQ(m.images[0].useCount, 1);
  EXPECT_EQ(m.images[0].useVerses, (Ints{0}));
  EXPECT_EQ(m.images[1].useCount, 3);
  EXPECT_EQ(m.images[1].useVerses, (Ints{0, 2, 3}));
  EXPECT_EQ(m.verseCount, 4);
  EXPECT_EQ(m.images[1].usePositions[1], m.verses[2].text + 7);
}

struct BadImageCase {
  const char* line;
  const char* number;
};

TEST(ImageTest, ReferenceToAMissingImageStopsTheBuild) {
  const BadImageCase cases[] = {
      {"<image=3       >", "3"}, {"<image=0       >", "0"}, {"<image=        >", "0"},  // no digits
      {"<image=-1>", "-1"},      {"<i><image=9>", "9"},
  };
  for (const BadImageCase& bc : cases) {
    try {
      CompileMarkup(std::string("<A>a\n") + bc.line + "\n", 2);
      ADD_FAILURE() << bc.line << " compiled";
    } catch (const SourceError& e) {
      EXPECT_EQ(std::string(e.what()), std::string("test.txt: image reference ") + bc.number +
                                           " names no image (the source has 2 images)");
    }
  }
  EXPECT_THROW(CompileMarkup("<image=1       >\n"), SourceError);
}

// ---- Pool --------------------------------------------------------------------

TEST(PoolTest, PreSizedFromTheRewrittenText) {
  // A footnote marker: the rewrite pass adds 18 bytes before the pool is sized.
  const std::string source = "a line that is dropped[a] because no book came before it\n";
  auto c = CompileMarkup(source);
  const Module& m = c->m();
  const int64_t rewritten = static_cast<int64_t>(source.size()) + 18;
  EXPECT_EQ(m.pool.Length(), rewritten * 3 / 2);
  EXPECT_EQ(m.poolLength, 5 + 2 + rewritten + 1);
  EXPECT_EQ(c->Pool(0), "Test");
  EXPECT_EQ(c->Pool(5), "T");
}

TEST(PoolTest, TinyTextGrowsThePoolLikeAddString) {
  auto c = CompileMarkup("<A>a\n1 x");
  const Module& m = c->m();
  // 8 bytes give 12 units: name and abbreviation fit, the text does not.
  EXPECT_EQ(m.pool.Length(), 12 + 10240);
  EXPECT_EQ(c->Pool(7), "<A>a");
  EXPECT_EQ(c->VerseText(0), "1 x");
}

TEST(PoolTest, GrowthFollowsTheDecodedLength) {
  // 16 bytes, 12 code units: 24 units of pool hold name, abbreviation and
  // the decoded text, though not 16 units of text.
  auto c = CompileMarkup("xxxxxxxx\xF0\x9F\x95\x8A\xF0\x9F\x95\x8A");
  const Module& m = c->m();
  EXPECT_EQ(m.pool.Length(), 24);
  EXPECT_EQ(m.poolLength, 7 + 12 + 1);
  EXPECT_EQ(c->Pool(7), "xxxxxxxx\xF0\x9F\x95\x8A\xF0\x9F\x95\x8A");
}

}  // namespace
}  // namespace quillavor

namespace quillavor::testing {
namespace {

// "<a=" followed by a unit at or above U+8000 is kept as text but would read
// as a resolved link: the operator is warned with the source line. Link tags,
// "<a=" before a lower unit (U+4E00) or "<A=" give no warning; CR LF ends one
// line, a lone CR none (as editors count lines).
TEST(LinkLookalikeTest, WarnsWithTheSourceLine) {
  const std::string source =
      "<Gen>Genesis 1\r\n"
      "1 See <a=\"Gen 1:1\">here</a> and <a=x.\r\n"
      "2 Text <a=\xe9\xbe\x8d stays <a=\xe4\xb8\x80\r"
      "3 Also <a=\xdf" "a and <A=\xe4\xb8\x80.\n"
      "4 <a=\xf0\x9f\x93\x96 again\n";
  auto c = CompileMarkup(source);
  EXPECT_EQ(c->VerseText(1), "2 Text <a=\xe9\xbe\x8d stays <a=\xe4\xb8\x80");
  NullProgress progress;
  DiagnosticList diagnostics;
  CompileModuleFromBytes(u"Test", u"T", u"test.txt", u"", Bytes(source), progress, &diagnostics);
  std::vector<std::string> warnings;
  for (const Diagnostic& d : diagnostics.items) {
    if (d.code != DiagnosticCode::kLinkLookalike) continue;  // malformed UTF-8 is its own
    warnings.push_back("line " + std::to_string(d.line) + ": " + d.message);
  }
  EXPECT_EQ(warnings,
            (std::vector<std::string>{
                "line 3: the text \"<a=\" followed by U+9F8D reads as a resolved link in a "
                "reading program; put a blank after \"<a=\"",
                "line 3: the text \"<a=\" followed by U+FFFD (malformed UTF-8 in the source) "
                "reads as a resolved link in a reading program; put a blank after \"<a=\"",
                "line 4: the text \"<a=\" followed by U+D83D reads as a resolved link in a "
                "reading program; put a blank after \"<a=\""}));
}

}  // namespace
}  // namespace quillavor::testing
