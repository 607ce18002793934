#include "index/link_resolver.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "app/inspect.h"
#include "model/module.h"
#include "model/module_format.h"
#include "output/module_writer.h"
#include "platform/text.h"
#include "support/test_support.h"

namespace quillavor {
namespace {

using testing::U16;
using testing::U8;

// Builds a Module by hand from source lines already in their rewritten form
// (link values padded): the pool holds the name, the abbreviation and the
// text cut into lines; header lines "<Name>Title<note>..<abbrev>.." create
// books (title, note and abbreviation added to the pool in that order),
// lines "[x]..." are footnote lines, other lines inside a book are verses.
// Link tags go through LinkStep as the line compiler hands them over.
class HandModule {
 public:
  explicit HandModule(const std::vector<std::string>& lines) {
    m.AddString(u"Test");
    m.AddString(u"T");
    std::u16string text;
    for (const std::string& line : lines) text += U16(line) + u"\n";
    const int32_t base = m.AddString(text);
    std::vector<int32_t> starts;
    int32_t start = base;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] != u'\n') continue;
      m.pool[base + static_cast<int64_t>(i)] = 0;
      starts.push_back(start);
      start = base + static_cast<int32_t>(i) + 1;
    }
    for (int32_t s : starts) CompileLine(s);
  }

  // Runs the resolution pass.
  void Resolve() {
    testing::RecordingProgress progress;
    ResolveLinkage(m, lookup, pending, changedAfterIndexing, progress);
    ASSERT_EQ(progress.phases.size(), 1u);
    EXPECT_EQ(progress.phases[0], u"Resolve linkage");
  }

  std::u16string Verse(int32_t v) const { return m.GetString(m.verses[v].text); }
  std::u16string Note(int32_t b) const { return m.GetString(m.books[b].note); }
  // The pool index where `needle` first occurs in the text of verse `v`.
  int32_t PosInVerse(int32_t v, std::u16string_view needle) const {
    return m.verses[v].text + static_cast<int32_t>(Verse(v).find(needle));
  }

  Module m;
  LinkLookup lookup;
  PendingLinks pending;
  std::vector<int32_t> changedAfterIndexing;
  std::vector<bool> stageOne;  // LinkStep results of stage 1, in line order

 private:
  static bool IsFootnote(std::u16string_view s) {
    auto lower = [](char16_t c) { return c >= u'a' && c <= u'z'; };
    return s.size() >= 4 && s[0] == u'[' && lower(s[1]) &&
           (s[2] == u']' || (lower(s[2]) && s[3] == u']'));
  }
  static bool IsLinkTag(std::u16string_view s, size_t i) {
    return s.substr(i, 4).size() == 4 && s[i] == u'<' &&
           std::u16string_view(u"Aafmr").find(s[i + 1]) != std::u16string_view::npos &&
           s[i + 2] == u'=' && s[i + 3] == u'"' && s.substr(i + 4, 3) != u"Key";
  }

  void CompileLine(int32_t start) {
    const std::u16string line = m.GetString(start);
    const bool header = line.starts_with(u"<") && !IsLinkTag(line, 0) &&
                        !line.starts_with(u"<p>") && line.find(u'>') != std::u16string::npos;
    if (header) {
      AddBook(line);
    } else if (IsFootnote(line)) {
      ScanLinks(start, line, false);
    } else if (m.bookCount > 0) {
      const int32_t v = m.verses.Append(m.verseCount, kVerseGrowth);
      m.verses[v] = VerseRecord{m.bookCount - 1, kNone, start, kNone};
      if (v > 0 && m.verses[v - 1].book == m.verses[v].book) m.verses[v - 1].next = v;
      if (m.books[m.bookCount - 1].firstText == kNone) m.books[m.bookCount - 1].firstText = v;
      ScanLinks(start, line, true);
    }
  }

  void ScanLinks(int32_t start, std::u16string_view line, bool verse) {
    for (size_t i = 0; i < line.size(); ++i) {
      if (!IsLinkTag(line, i)) continue;
      const int32_t pos = start + static_cast<int32_t>(i);
      const int32_t context = m.verseCount - 1;
      const bool ok = LinkStep(m, lookup, pos, context);
      stageOne.push_back(ok);
      if (!ok) pending.Add(verse ? context : -pos, context);
    }
  }

  void AddBook(std::u16string_view line) {
    const size_t gt = line.find(u'>');
    const std::u16string name(line.substr(1, gt - 1));
    std::u16string_view rest = line.substr(gt + 1);
    const size_t lt = rest.find(u'<');
    const int32_t title = m.AddString(rest.substr(0, lt));
    rest = lt == std::u16string_view::npos ? std::u16string_view() : rest.substr(lt);
    int32_t note = kNone;
    int32_t abbrev = kNone;
    if (rest.starts_with(u"<note>")) {
      const size_t end = rest.find(u"<abbrev>");
      note = m.AddString(rest.substr(6, end == std::u16string_view::npos ? end : end - 6));
      rest = end == std::u16string_view::npos ? std::u16string_view() : rest.substr(end);
    }
    if (rest.starts_with(u"<abbrev>")) {
      abbrev = m.AddString(rest.substr(8, rest.find(u'<', 8) - 8));
    }
    const int32_t k = m.FindOrAddBookName(name);
    const int32_t b = m.books.Append(m.bookCount, kBookGrowth);
    m.books[b] = BookRecord{kNone, kNone, kNone, kNone, title, note, abbrev, kNone, k, 2};
    format::ChainBook(
        m.books, [this](int32_t n) -> int32_t& { return m.bookNames[n].lastBook; }, k, b);
    RegisterBook(m, lookup, b);
  }
};

// The encoded pair of an "<A=" reference.
std::u16string Pair(int kind, int32_t index, int32_t run = 1) {
  const std::array<char16_t, 2> pair = format::EncodePair(kind, index);
  return {pair[0], static_cast<char16_t>(pair[1] + (run - 1) * format::kRunStep)};
}
std::u16string BookPair(int32_t b) { return Pair(format::kBookKind, b); }
std::u16string VersePair(int32_t v, int32_t run = 1) { return Pair(format::kVerseKind, v, run); }
std::u16string Blanks(size_t n) { return std::u16string(n, u' '); }

// Genesis 1 with verses 1 to 6 (verse indexes 0 to 5), then a verse that
// holds the link under test (verse index 6).
std::vector<std::string> GenesisWith(const std::string& linkVerse) {
  return {"<Genesis>Genesis 1<abbrev>Gen 1",
          "1 In the beginning",
          "<p>2 And the earth",
          "3 And God said",
          "4 And God saw",
          "5 And God called",
          "6 And God said again",
          "<Exodus>Exodus 1",
          linkVerse};
}

TEST(LinkStep, BookAndVerseLists) {
  const struct {
    const char* value;
    std::u16string pairs;  // after the book pair
  } kCases[] = {
      {"Gen 1:3-5", VersePair(2, 3)},
      {"gen 1:3-5", VersePair(2, 3)},
      {"Genesis 1:3\xE2\x80\x93"
       "5",
       VersePair(2, 3)},                // en dash
      {"Genesis 1:5,3", VersePair(4)},  // forward only: 3 is not found after 5
      {"Genesis 1:3,5", VersePair(2) + VersePair(4)},
      {"Genesis 1:3-4,6", VersePair(2, 2) + VersePair(5)},
      {"Genesis 1: 3", u""},  // the blank stays in the token
      {"Genesis 1", u""},
      {"Genesis 1:", u""},
      {"Gen 1:9", u""},               // no such verse: only the book pair
      {"Gen 1:2", VersePair(1)},      // "<p>" is not part of the plain text
      {"Gen 1:4-", VersePair(3, 3)},  // the range runs to the end of the book
      {"  Gen 1 :1 ", VersePair(0)},
  };
  for (const auto& c : kCases) {
    const std::string value = c.value;
    HandModule h(GenesisWith("1 see <A=\"" + value + "\">there</a> now"));
    const std::u16string v = U16(value);
    ASSERT_EQ(h.stageOne, std::vector<bool>{true}) << value;
    std::u16string area = BookPair(0) + c.pairs;
    area += Blanks(v.size() + 2 - area.size());
    EXPECT_EQ(h.Verse(6), u"1 see <a=" + area + u">there</a> now") << value;
  }
}

TEST(LinkStep, BooksAreFoundByTitleOrAbbreviation) {
  // The first book in table order wins, whether by title or abbreviation;
  // "equal" is case-sensitive.
  HandModule h(
      {"<Genesis>Genesis 1<abbrev>Gen 1", "1 a", "<Other>Gen 1", "<Third>Third<abbrev>Genesis 1"});
  EXPECT_EQ(FindBook(h.m, h.lookup, u"Gen 1"), 0);
  EXPECT_EQ(FindBook(h.m, h.lookup, u"Genesis 1"), 0);
  EXPECT_EQ(FindBook(h.m, h.lookup, u"Third"), 2);
  EXPECT_EQ(FindBook(h.m, h.lookup, u"gen 1"), -1);
  EXPECT_EQ(FindBook(h.m, h.lookup, u"Other"), -1);
}

TEST(LinkStep, UnknownBookStaysUntilTheResolutionPassRemovesIt) {
  HandModule h(GenesisWith("1 see <A=\"Nowhere\">there</a> now"));
  EXPECT_EQ(h.stageOne, std::vector<bool>{false});
  EXPECT_EQ(h.Verse(6), u"1 see <A=\"Nowhere\">there</a> now");
  h.Resolve();
  EXPECT_EQ(h.Verse(6), u"1 see there now");
}

TEST(LinkStep, RunsStopAtTheLargestEncodableRun) {
  std::vector<std::string> lines = {"<Genesis>Genesis 1"};
  for (int i = 0; i < 1100; ++i) lines.push_back("1 again");
  lines.push_back("<Exodus>Exodus 1");
  lines.push_back("1 <A=\"Genesis 1:1\">x</a>");
  HandModule h(lines);
  EXPECT_EQ(h.Verse(1100), u"1 <a=" + BookPair(0) + VersePair(0, 1024) + Blanks(9) + u">x</a>");
}

TEST(LinkStep, BookPartsBeyondTheWorkAreaAreRefused) {
  // The book part, expanded or not, must fit 103 code units.
  const std::string x95(95, 'x');
  const std::string x96(96, 'x');
  const struct {
    std::string title;
    std::string value;
    bool resolved;
  } kCases[] = {
      {std::string(103, 'y'), std::string(103, 'y'), true},
      {std::string(104, 'y'), std::string(104, 'y'), false},
      {"Genesis " + x95, "Gen " + x95, true},   // 99 units, 103 expanded
      {"Genesis " + x96, "Gen " + x96, false},  // 100 units, 104 expanded
      {"Genesis " + x96, "Genesis " + x96, false},
  };
  for (const auto& c : kCases) {
    HandModule h({"<B>" + c.title, "1 a", "<C>c", "1 <A=\"" + c.value + ":1\">x</a>"});
    EXPECT_EQ(h.stageOne, std::vector<bool>{c.resolved}) << c.value;
  }
}

TEST(LinkStep, EncodedIndexesStopAt65535) {
  // Book 65536 cannot be encoded (its decimal form can); verse 65536 ends the
  // verse pairs, and the link still counts as resolved.
  std::vector<std::string> lines = {"<B>verses"};
  for (int i = 0; i < 65536; ++i) lines.push_back("0 x");
  lines.push_back("1 y");
  for (int i = 1; i < 65536; ++i) lines.push_back("<B>t" + std::to_string(i));
  lines.push_back("<B>last");
  lines.push_back("1 <A=\"last\">a</a><a=\"   last\">b</a><A=\"verses:1\">c</a>");
  HandModule h(lines);
  ASSERT_EQ(h.m.bookCount, 65537);
  EXPECT_EQ(h.stageOne, (std::vector<bool>{false, true, true}));
  EXPECT_EQ(h.Verse(65537),
            u"1 <A=\"last\">a</a><a=\"1048577\">b</a><a=" + BookPair(0) + Blanks(8) + u">c</a>");
}

TEST(LinkStep, DecimalForms) {
  // Books 0 to 3 (Genesis 1 is book 3), then books 4 to 7; the links stand in
  // a verse of book 7.
  const struct {
    const char* tag;
    const char* expected;
  } kCases[] = {
      {"<a=\"Genesis 1\">", "<a=\"49       \">"},
      {"<r=\"    Genesis 1\">", "<a=\"49R113       \">"},
      {"<m=\"    Genesis 1\">", "<a=\"49R113       \">"},
      {"<a=\"   Gen\">", "<a=\"113   \">"},      // the abbreviation of book 7
      {"<a=\"Gen 1\">", "<a=\"Gen 1\">"},        // no abbreviation expansion
      {"<a=\"Genesis 1\"", "<a=\"49       \""},  // no ">" needed to resolve
      {"<a=\"Genesis 1>", "<a=\"Genesis 1>"},    // no closing quote: refused
      {"<r=\"Genesis 1\">", "<a=\"49R113   \">"},
      {"<r=\"a\">", "<r=\"a\">"},  // 1R113 does not fit one unit
  };
  for (const auto& c : kCases) {
    HandModule h({"<A>a", "<B>b", "<C>c", "<Genesis>Genesis 1", "<E>e", "<F>f", "<G>g",
                  "<H>h<abbrev>Gen", "1 " + std::string(c.tag) + "x</a>"});
    EXPECT_EQ(U8(h.Verse(0)), "1 " + std::string(c.expected) + "x</a>") << c.tag;
  }
}

TEST(LinkStep, ParentAndChild) {
  // A child book of the next name after Genesis is found first.
  HandModule child({"<Genesis>Genesis", "1 In the beginning", "<Chapter>1", "1 a", "<Chapter>2",
                    "1 b", "<Exodus>Exodus", "1 <a=\"    Genesis#2\">x</a>"});
  EXPECT_EQ(child.Verse(3), u"1 <a=\"1#33         \">x</a>");

  // Without such a child: the first verse of Genesis that starts with
  // "Genesis 2" or with "2", in one pass.
  HandModule verse({"<Genesis>Genesis", "1 In the beginning", "20 And", "Genesis 2 again",
                    "2 And the earth", "<Chapter>3", "1 a", "<Exodus>Exodus",
                    "1 <a=\"    Genesis#2\">x</a><m=\"Genesis#Genesis 2\">y</a>"});
  EXPECT_EQ(verse.Verse(5), u"1 <a=\"1#18         \">x</a><a=\"1#34R33          \">y</a>");
}

TEST(LinkStep, Footnotes) {
  auto footnoteCase = [](int fillers, const std::string& between = "") {
    std::vector<std::string> lines = {"<Genesis>Genesis 1", "1 In<f=\"        \">[a]</a> it"};
    for (int i = 0; i < fillers; ++i) lines.push_back("2 filler");
    if (!between.empty()) lines.push_back(between);
    lines.push_back("[a]. See also");
    return lines;
  };
  {
    HandModule h(footnoteCase(2));
    EXPECT_EQ(h.stageOne, std::vector<bool>{true});
    const int32_t see = h.m.verses[2].text + 9 + 5;  // the S of "See"
    ASSERT_EQ(h.m.pool[see], u'S');
    const std::u16string digits = U16(std::to_string(see));
    EXPECT_EQ(h.Verse(0), u"1 In<f=\"" + digits + Blanks(8 - digits.size()) + u"\">[a]</a> it");
  }
  EXPECT_EQ(HandModule(footnoteCase(200)).stageOne, std::vector<bool>{true});  // line 201
  {
    HandModule h(footnoteCase(201));  // line 202: out of reach
    EXPECT_EQ(h.stageOne, std::vector<bool>{false});
    h.Resolve();
    EXPECT_EQ(h.Verse(0), u"1 In[a] it");
  }
  {
    // After the footnote block ("[b]"), "2 ..." ends the search.
    HandModule h(footnoteCase(0, "[b] other"));
    EXPECT_EQ(h.stageOne, std::vector<bool>{true});
    HandModule after({"<Genesis>Genesis 1", "1 In<f=\"        \">[a]</a> it", "[b] other",
                      "2 verse", "[a] late"});
    EXPECT_EQ(after.stageOne, std::vector<bool>{false});
  }
  {
    // A two-letter marker compares "[" and its two letters.
    HandModule h(
        {"<Genesis>Genesis 1", "1 In<f=\"        \">[ab]</a> it", "[a] x", "[ab] .. text"});
    const int32_t text = h.m.verses[0].text + static_cast<int32_t>(h.Verse(0).size()) + 1 + 6 + 8;
    ASSERT_EQ(h.m.pool[text], u't');
    const std::u16string digits = U16(std::to_string(text));
    EXPECT_EQ(h.Verse(0), u"1 In<f=\"" + digits + Blanks(8 - digits.size()) + u"\">[ab]</a> it");
  }
  {
    // A value that is not blank at its start counts as resolved.
    HandModule h({"<Genesis>Genesis 1", "1 In<f=\"x       \">[a]</a> it"});
    EXPECT_EQ(h.stageOne, std::vector<bool>{true});
  }
}

TEST(LinkStep, FootnoteSearchStopsAtTheEndOfTheSourceText) {
  // The title "[a] fake" is a pool string after the source text.
  HandModule h(
      {"<Genesis>Genesis 1", "1 verse", "[b] see<f=\"        \">[a]</a>", "<Exodus>[a] fake"});
  EXPECT_EQ(h.stageOne, std::vector<bool>{false});
  h.Resolve();
  EXPECT_EQ(h.m.GetString(-h.pending.entries[0]).substr(0, 1), u"[");
  EXPECT_EQ(h.m.GetString(h.m.verses[0].text + 8), u"[b] see[a]");
}

TEST(ResolveLinkage, BookNotes) {
  HandModule h(
      {"<Genesis>Genesis 1<note>see <a=\"12#45\">x</a>, <a=\"Exodus 1\">e</a>, "
       "<a=\"Nowhere\">n</a>, <m=\"      Exodus 1\">m</a>, <A=\"Exo 1:2\">v</a>, "
       "<f=\"        \">[a]</a> end",
       "1 a", "<Exodus>Exodus 1<abbrev>Exo 1", "1 b", "2 c"});
  h.Resolve();
  EXPECT_EQ(h.Note(0),
            u"see <a=\"12#45\">x</a>, <a=\"17      \">e</a>, n, "
            u"<a=\"17R1          \">m</a>, <a=" +
                BookPair(1) + VersePair(2) + Blanks(5) + u">v</a>, [a] end");
}

TEST(ResolveLinkage, VersesQueuedInStageOne) {
  // Forward links wait for the pass; a verse listed twice is done once.
  // After a removal the position where the tag began is examined again.
  HandModule h({"<Genesis>Genesis 1",
                "1 <a=\"Later 1\">x</a> and <a=\"Nowhere\"><a=\"Later 1\">y</a></a> z",
                "2 <a=\"Nowhere\" without end", "<Later>Later 1", "1 b"});
  EXPECT_EQ(h.pending.entries, (std::vector<int32_t>{0, 0, 0, 1}));
  h.Resolve();
  EXPECT_EQ(h.Verse(0), u"1 <a=\"17     \">x</a> and <a=\"17     \">y</a> z");
  EXPECT_EQ(h.Verse(1), u"2 <a=\"Nowhere\" without end");
  // The pool keeps the old units after the shortened string's terminator.
  const std::u16string original =
      u"1 <a=\"Later 1\">x</a> and <a=\"Nowhere\"><a=\"Later 1\">y</a></a> z";
  const int32_t end = h.m.verses[0].text + static_cast<int32_t>(h.Verse(0).size());
  EXPECT_EQ(h.m.GetString(end + 1), original.substr(original.size() - 16));
}

TEST(ResolveLinkage, QueuedVerseKeepsItsOwnBookAsContext) {
  // "<m=" resolves in the pass with the verse's book; an "<f=" value that is
  // not blank at its start counts as resolved in a working copy too.
  HandModule h({"<Genesis>Genesis 1", "1 a",
                "2 <f=\"x       \">[a]</a><m=\"      Later 1\">m</a><f=\"        \">[b]</a>",
                "<Later>Later 1", "1 b"});
  EXPECT_EQ(h.stageOne, (std::vector<bool>{true, false, false}));
  h.Resolve();
  EXPECT_EQ(h.Verse(1), u"2 <f=\"x       \">[a]</a><a=\"17R1         \">m</a>[b]");
}

TEST(ResolveLinkage, QueuedFootnotePositionsMoveBack) {
  HandModule h({"<Genesis>Genesis 1", "1 verse",
                "[a] see <a=\"Nowhere\">x</a> and <r=\"      Later 1\">y</a> <a=\"No <a=\"More\">z",
                "<Later>Later 1", "1 b"});
  ASSERT_EQ(h.pending.entries.size(), 4u);
  const std::vector<int32_t> before = h.pending.entries;
  h.Resolve();
  EXPECT_EQ(h.m.GetString(h.m.verses[0].text + 8), u"[a] see x and <a=\"17R1         \">y</a> z");
  // The later tags moved back by the removed opening tag and "</a>"; the
  // fourth stood inside the third's opening tag and was dropped with it.
  EXPECT_EQ(h.pending.entries[1], before[1] + 13 + 4);
  EXPECT_EQ(h.pending.entries[2], before[2] + 13 + 4);
  EXPECT_EQ(h.pending.entries[3], before[3] + 13 + 4);
}

TEST(ResolveLinkage, ContextOfQueuedFootnoteLinks) {
  // Before any verse a footnote line has no context verse: "<r=" stays
  // unresolved and is removed.
  HandModule h({"<Genesis>Genesis 1", "[a] <r=\"    Genesis 1\">x</a>", "1 verse",
                "<Exodus>Exodus 1", "1 b", "[a] <r=\"    Later 1\">y</a>", "<Later>Later 1"});
  h.Resolve();
  EXPECT_EQ(h.m.GetString(-h.pending.entries[0]), u"x");
  EXPECT_EQ(h.m.GetString(-h.pending.entries[1]), u"<a=\"33R17      \">y</a>");
}

TEST(ResolveLinkage, FootnoteSearchUsesTheLinesAsFirstCut) {
  // The verse after the footnote line loses a link; the units after its new
  // terminator, "[a]...", are no line of their own. (The pending list is put
  // out of line order so that the verse is changed before the search.)
  HandModule h({"<Genesis>Genesis 1", "1 verse", "[b] see<f=\"        \">[a]</a>",
                "2 <a=\"Nowhere\">v</a>[a]ABCDEFGHIJKLM"});
  ASSERT_EQ(h.pending.entries.size(), 2u);
  std::swap(h.pending.entries[0], h.pending.entries[1]);
  std::swap(h.pending.contexts[0], h.pending.contexts[1]);
  h.Resolve();
  EXPECT_EQ(h.Verse(1), u"2 v[a]ABCDEFGHIJKLM");
  EXPECT_EQ(h.m.GetString(h.m.verses[0].text + 8), u"[b] see[a]");
}

TEST(Inspect, DescribesResolvedLinks) {
  HandModule h({"<Genesis>Genesis 1", "1 In<f=\"        \">[a]</a> the", "[a]. Heb. light", "2 And",
                "3 Then", "<Exodus>Exodus 1",
                "1 <A=\"Gen 1:2-3\">x</a> <r=\"    Genesis 1\">y</a> <a=\"  Genesis 1#2\">z</a>"});
  h.Resolve();
  h.m.FinalizePool();
  const ModuleView view(AssembleImage(h.m));
  EXPECT_EQ(DescribeLinks(view, view.String(view.Verse(3).text), "  "),
            "  <a> {book 0 \"Genesis 1\"} {verse 1+2 in \"Genesis 1\" label -}\n"
            "  <a> {book 0 \"Genesis 1\"} R {book 1 \"Exodus 1\"}\n"
            "  <a> {book 0 \"Genesis 1\"} # {verse 1 in \"Genesis 1\" label -}\n");
  const int32_t note =
      view.Verse(0).text + static_cast<int32_t>(view.String(view.Verse(0).text).size()) + 1 + 5;
  EXPECT_EQ(DescribeLinks(view, view.String(view.Verse(0).text), ""),
            "<f> footnote text at " + std::to_string(note) + " \"Heb. light\"\n");
}

// ---- Through the whole compiler ----------------------------------------------

// The pool index where `needle` first occurs in the pool.
int32_t FindInPool(const Module& m, std::u16string_view needle) {
  const std::u16string_view pool(m.pool.Data(), static_cast<size_t>(m.poolLength));
  const size_t at = pool.find(needle);
  return at == std::u16string_view::npos ? -1 : static_cast<int32_t>(at);
}

// True when the line compiler is there (it is built apart from this library).
bool HaveLineCompiler() { return testing::CompileText("<B>T\n1 x\n")->verseCount == 1; }

TEST(CompiledLinks, ResolvedInPlaceOrRemoved) {
  if (!HaveLineCompiler()) GTEST_SKIP() << "no line compiler in this build";
  CompileResult built = testing::CompileRun(
      "<Genesis>Genesis 1<note>next <a=\"Exodus 1\">Exodus</a><abbrev>Gen 1\n"
      "1 In the beginning\n"
      "<p>2 And the earth\n"
      "3 And God said[a] light\n"
      "[a] Heb. be light\n"
      "4 And God saw\n"
      "5 And God called\n"
      "<Exodus>Exodus 1\n"
      "1 see <A=\"Gen 1:3-5\">there</a>, <A=\"Nowhere 1:1\">gone</a> and "
      "<a=\"Later 1\">later</a>[b]\n"
      "[b]. note b\n"
      "<Later>Later 1\n"
      "1 <r=\"Genesis 1\">back</a>\n");
  const std::unique_ptr<Module>& m = built.module;
  ASSERT_EQ(m->verseCount, 7);
  auto text = [&](int32_t v) { return m->GetString(m->verses[v].text); };
  auto position = [](int32_t p) {
    const std::u16string digits = U16(std::to_string(p));
    return digits + Blanks(8 - digits.size());
  };
  EXPECT_EQ(text(2),
            u"3 And God said<f=\"" + position(FindInPool(*m, u"Heb. be")) + u"\">[a]</a> light");
  EXPECT_EQ(text(5), u"1 see <a=" + BookPair(0) + VersePair(2, 3) + Blanks(7) +
                         u">there</a>, gone and <a=\"33     \">later</a><f=\"" +
                         position(FindInPool(*m, u"note b")) + u"\">[b]</a>");
  // The rewrite pass widened the "<r=" value to 13 units.
  EXPECT_EQ(text(6), u"1 <a=\"1R33         \">back</a>");
  EXPECT_EQ(m->GetString(m->books[0].note), u"next <a=\"17      \">Exodus</a>");
  testing::ExpectModuleValid(built);
}

// Counts the link tags of a string: encoded "<A=" links, decimal "<a="
// links, resolved footnotes, and link tags still waiting.
struct LinkCounts {
  int encoded = 0;
  int decimal = 0;
  int footnotes = 0;
  int unresolved = 0;
  void Add(std::u16string_view s) {
    for (size_t i = 0; i + 4 < s.size(); ++i) {
      if (s[i] != u'<' || s[i + 2] != u'=') continue;
      const char16_t letter = s[i + 1];
      if (letter == u'a' && (s[i + 3] & 0x8000) != 0) {
        ++encoded;
      } else if (s[i + 3] == u'"' && std::u16string_view(u"Aafmr").find(letter) != s.npos &&
                 s.substr(i + 4, 3) != u"Key") {
        const bool digit = s[i + 4] >= u'0' && s[i + 4] <= u'9';
        if (digit && letter == u'a') {
          ++decimal;
        } else if (digit && letter == u'f') {
          ++footnotes;
        } else {
          ++unresolved;
        }
      }
    }
  }
};

TEST(CompiledLinks, CorpusLinksResolveOrAreRemoved) {
  const std::filesystem::path dir = testing::CorpusDir();
  if (dir.empty()) GTEST_SKIP() << "no corpus";
  if (!HaveLineCompiler()) GTEST_SKIP() << "no line compiler in this build";
  const std::string source = testing::ReadFile(dir / "kjv.txt");
  size_t sourceLinks = 0;
  for (size_t at = source.find("<A=\""); at != std::string::npos;
       at = source.find("<A=\"", at + 1)) {
    ++sourceLinks;
  }
  ASSERT_EQ(sourceLinks, 3386u);
  const auto m = testing::CompileText(source);
  LinkCounts verses;
  for (int32_t v = 0; v < m->verseCount; ++v) verses.Add(m->StringView(m->verses[v].text));
  LinkCounts notes;
  for (int32_t b = 0; b < m->bookCount; ++b) {
    if (m->books[b].note != kNone) notes.Add(m->StringView(m->books[b].note));
  }
  // 94 generated links point to nothing and are removed (the 25 that spell
  // out "Song of Solomon" resolve); every other link of a verse, every
  // footnote and every link of a note is resolved.
  EXPECT_EQ(verses.encoded, 3386 - 94);
  EXPECT_EQ(verses.footnotes, 6959);
  EXPECT_EQ(verses.unresolved, 0);
  EXPECT_EQ(notes.decimal, 84);
  EXPECT_EQ(notes.unresolved, 0);
}

TEST(Equality, PrintableAsciiNeverCollatesEqualUnlessIdentical) {
  // LinkStep compares printable-ASCII strings without the collator.
  for (char16_t a = 0x20; a <= 0x7E; ++a) {
    const std::u16string sa(1, a);
    EXPECT_FALSE(text::CollatorEqual(sa, u"", text::Strength::kTertiary)) << int(a);
    for (char16_t b = 0x20; b <= 0x7E; ++b) {
      ASSERT_EQ(text::CollatorEqual(sa, std::u16string(1, b), text::Strength::kTertiary), a == b)
          << int(a) << " " << int(b);
    }
  }
}

}  // namespace
}  // namespace quillavor

namespace quillavor {
namespace {

// Text the resolution pass leaves that a reading program misreads is kept,
// and reported as a link-lookalike diagnostic with its line (or the line of
// the header whose note holds it).
TEST(CompiledLinks, LookalikesLeftByTheResolutionPassAreReported) {
  const struct {
    const char* source;
    const char* diagnostic;  // null: none
  } kCases[] = {
      // The unclosed outer value hides the inner link from the rewrite pass;
      // removing the outer link leaves "#1", which passes as resolved.
      {"<>\n<a=\"x>y <a=\"#1\">z</a>",
       "2: the link value \"#1\" in  is left as written and reads as a resolved link in a "
       "reading program"},
      {"<B>T<note><a=\"x>y <a=\"1R\">z</a>\n1 v",
       "1: the link value \"1R\" in the note of T is left as written and reads as a resolved "
       "link in a reading program"},
      // The indexer removed "<sc>" from the value; the resolution blanks it.
      {"<>\n<A=\"1:<sc>\">he</m\n<>1",
       "2: resolving the link \"<A=\"1:<sc>\"\" in  after its verse was indexed rewrote the "
       "\"<sc>\" in its value, so a reading program finds the words after it at wrong "
       "positions"},
      {"<B>T\n1 <a=\"T\">x</a> <a=\"12\">y</a> <a=\"Later\">z</a>\n<L>Later\n1 <A=\"T:<sc>\">w</a>",
       nullptr},
  };
  for (const auto& c : kCases) {
    NullProgress progress;
    DiagnosticList diagnostics;
    CompileResult built = CompileModuleFromBytes(u"Test", u"T", u"test.txt", u"",
                                                 testing::Bytes(c.source), progress, &diagnostics);
    std::vector<std::string> lookalikes;
    for (const Diagnostic& d : diagnostics.items) {
      if (d.code == DiagnosticCode::kLinkLookalike) {
        lookalikes.push_back(std::to_string(d.line) + ": " + d.message);
      }
    }
    const std::vector<std::string> expected =
        c.diagnostic == nullptr ? std::vector<std::string>{} : std::vector<std::string>{c.diagnostic};
    EXPECT_EQ(lookalikes, expected) << c.source;
    // The word offsets after a rewritten "<sc>" are off: the build lists the
    // verse among the changed ones, and the module checks against that list.
    if (std::string_view(c.source).find("<sc>\">he") != std::string_view::npos) {
      testing::ExpectModuleValid(built);
    }
  }
}

}  // namespace
}  // namespace quillavor
