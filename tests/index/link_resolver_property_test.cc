// The resolver's fast paths (book and verse indexes, the one-pass compaction
// of removals, verses queued again and skipped) against the literal
// resolution on random sources: the modules must agree unit for unit, pool
// tails after moved terminators included.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "compile/compilation.h"
#include "index/link_resolver_literal.h"
#include "index/word_index.h"
#include "markup/compiler.h"
#include "markup/line_stages.h"
#include "model/dictionary.h"
#include "model/module.h"
#include "output/module_writer.h"
#include "support/test_support.h"

namespace quillavor {
namespace {

// The line loop's later stages with the literal LinkStep.
class LiteralStages : public LineStages {
 public:
  explicit LiteralStages(Module& module) : module_(module) {}
  void BookCreated(int32_t) override {}
  bool LinkStep(int32_t tagPos, int32_t contextVerse) override {
    return literal::LinkStep(module_, tagPos, contextVerse);
  }
  void IndexVerse(int32_t verse, bool indexingOn) override {
    quillavor::IndexVerse(module_, wordAccel_, verse, indexingOn);
  }

 private:
  Module& module_;
  DictionaryAccel wordAccel_;
};

struct Built {
  std::vector<uint8_t> image;
  std::vector<int32_t> changed;  // sorted, each once
  std::vector<int32_t> pending;  // the queue after the pass
  bool operator==(const Built&) const = default;
};

std::vector<int32_t> Sorted(std::vector<int32_t> v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return v;
}

Built BuildFast(const std::string& source) {
  NullProgress progress;
  const std::vector<uint8_t> bytes = testing::Bytes(source);
  Compilation run(u"Test", u"T", u"test.txt", u"", progress);
  std::optional<std::string> prepared = run.Load(bytes);
  if (prepared) run.CompileMarkup(*prepared);
  run.ResolveLinks();
  std::vector<int32_t> pending = run.pendingLinks().entries;
  run.Finalize();
  CompileResult result = run.Finish();
  return Built{AssembleImage(*result.module), Sorted(result.changedAfterIndexing), pending};
}

Built BuildLiteral(const std::string& source) {
  NullProgress progress;
  const std::vector<uint8_t> bytes = testing::Bytes(source);
  Compilation run(u"Test", u"T", u"test.txt", u"", progress);
  Module& m = run.module();
  std::optional<std::string> prepared = run.Load(bytes);
  LiteralStages stages(m);
  DictionaryAccel labelAccel;
  PendingLinks pending;
  std::vector<int32_t> changed;
  if (prepared) CompileSource(m, *prepared, progress, stages, labelAccel, pending);
  literal::ResolveLinkage(m, pending, changed);
  FinalizeWordIndex(m, m.options, progress);
  m.FinalizePool();
  return Built{AssembleImage(m), Sorted(changed), pending.entries};
}

// Random sources from pieces that reach every path of link resolution:
// books that share names and have notes, verse lists and "#" searches that
// hit, miss and run, links that are unclosed, lack "</a>" or hide ">" in
// their values, links that nest, footnote markers with and without their
// lines, text that is "equal" only through the collator (a soft hyphen is
// ignorable, "e" with an accent is not), and verses queued many times.
class SourceMaker {
 public:
  explicit SourceMaker(uint32_t seed) : rng_(seed) {}

  std::string Make() {
    std::string s;
    const int lines = Pick(5, 40);
    for (int i = 0; i < lines; ++i) s += Line() + "\n";
    return s;
  }

 private:
  int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  template <size_t N>
  const char* Of(const char* const (&list)[N]) {
    return list[static_cast<size_t>(Pick(0, static_cast<int>(N) - 1))];
  }

  std::string Line() {
    static const char* const kNames[] = {"Genesis", "Gen", "Exodus", "Later", "G\u00E9"};
    static const char* const kTitles[] = {"Genesis 1", "Genesis 2", "Exodus 1", "2",
                                          "Later 1", "G\u00E9 1", "zz", "Gen\u00AD 1"};
    static const char* const kLabels[] = {"1", "2", "3", "3a", "5", "12", " 3", "zz",
                                          "2 zz", "Genesis 1 2", "\u00AD2", "<p>4"};
    switch (Pick(0, 9)) {
      case 0: {
        std::string h = std::string("<") + Of(kNames) + ">" + Of(kTitles);
        if (Pick(0, 2) == 0) h += std::string("<note>n ") + Text(Pick(0, 4));
        if (Pick(0, 1) == 0) h += std::string("<abbrev>") + Of(kTitles);
        return h;
      }
      case 1:
        return std::string("[") + "abc"[Pick(0, 2)] + "] f " + Text(Pick(0, 3));
      default:
        return std::string(Of(kLabels)) + " " + Text(Pick(0, Pick(0, 1) == 0 ? 6 : 30));
    }
  }

  std::string Text(int pieces) {
    static const char* const kTargets[] = {
        "Genesis 1", "Genesis 1#2", "Genesis 1#zz", "Nowhere", "Later 1", "Gen 1",
        "Exodus 1",  "Genesis#2",   "Genesis 1#3",  "G\u00E9 1", "Gen\u00AD 1",
        "Genesis 1#\u00AD3", "1", "", "Genesis 1 # 12", "2", "zz#2", "Exodus 1#1"};
    static const char* const kLists[] = {
        "Gen 1:1-3", "Genesis 1:2,3", "Genesis 1:5,3", "Genesis 1: 3", "Nowhere 1:1",
        "Genesis 1", "Later 1:1-", "Gen 1:3a", "Exodus 1:1,2-3", "Genesis 1:\u00AD3",
        "Genesis 1:1-zz", "Gen 1:zz", "Genesis 2:2", "Gen 1:>s", "Later 1:<sc>",
        "Genesis 1:2<sc>,3"};
    static const char* const kPieces[] = {
        "word ", "And God ", "<i>it</i> ", "<sc>x</sc> ", "<p>", "</a>", ">", "<", "\"",
        "x[a] ", "y[b]", "[c] ", "<a=\"Key x\">k</a>", "<a=\"12\">d</a>", "<a=\"1#2\">", "<sc>",
        "\u00E9 ", "\u00AD", "<f=\"        \">", "zz "};
    std::string s;
    for (int i = 0; i < pieces; ++i) {
      switch (Pick(0, 9)) {
        case 0:
        case 1:
          s += std::string("<a=\"") + Of(kTargets) + "\"" + Close();
          break;
        case 2:
          s += std::string("<A=\"") + Of(kLists) + "\"" + Close();
          break;
        case 3:
          s += std::string("<") + "mr"[Pick(0, 1)] + "=\"" + Of(kTargets) + "\"" + Close();
          break;
        default:
          s += Of(kPieces);
      }
    }
    return s;
  }

  // What follows a link value: usually ">text</a>", sometimes less.
  std::string Close() {
    switch (Pick(0, 7)) {
      case 0: return "";
      case 1: return " t";
      case 2: return ">t";
      case 3: return ">a<a=\"Nowhere\">b</a>c</a>";
      default: return ">t</a> ";
    }
  }

  std::mt19937 rng_;
};

TEST(LinkResolutionProperty, TheFastPathsMatchTheLiteralResolution) {
  int differ = 0;
  for (uint32_t seed = 1; seed <= 600 && differ < 3; ++seed) {
    const std::string source = SourceMaker(seed).Make();
    const bool same = BuildFast(source) == BuildLiteral(source);
    EXPECT_TRUE(same) << "seed " << seed << ":\n" << source;
    if (!same) ++differ;
  }
}

// Many links in one long line: the shapes whose cost grew with the square of
// their number, with a few of each kind mixed in, still give the same module.
TEST(LinkResolutionProperty, LongLinesMatchTheLiteralResolution) {
  const char* const kShapes[] = {
      "<a=\"Exodus 1\">x</a> ", "<a=\"Nowhere\">x</a> ", "x[a] ", "<a=\"Genesis 1#zz\">x</a> ",
      "<a=\"Nowhere\" ", "<a=\"Nowhere\">", "</a>", "<A=\"Gen 1:1-2\">y</a> ", "<f=\"x\"> "};
  std::mt19937 rng(7);
  for (int round = 0; round < 40; ++round) {
    std::string line = "1 ";
    for (int i = 0; i < 200; ++i) {
      line += kShapes[std::uniform_int_distribution<size_t>(0, std::size(kShapes) - 1)(rng)];
    }
    const std::string source = "<Genesis>Genesis 1\n" + line + "\n2 " + line +
                               "\n[a] " + line + "\n<Exodus>Exodus 1\n1 end\n";
    EXPECT_TRUE(BuildFast(source) == BuildLiteral(source))
        << "round " << round;
  }
}

// Footnote lines of many links, resolved in place one queued tag after the
// other: removals that take later queued tags with them, "</a>" far ahead,
// tags joined by a removal, footnote links that find their lines, and what
// each removal leaves behind the line's terminator.
TEST(LinkResolutionProperty, FootnoteLinesWithManyLinksMatchTheLiteralResolution) {
  const char* const kPieces[] = {
      "<a=\"Nowhere\">x</a> ", "<a=\"Genesis 1\">x</a> ", "<a=\"Exodus 1\">x</a> ",
      "<a=\"Nowhere\">", "</a>", "</a", "<a=\"Nowhere\" ", "<a=\"No>where\">x</a>",
      "<A=\"Gen 1:1-2\">y</a> ", "<f=\"        \">[b] ", "<f=\" \">[z] ", "<f=\"\">",
      "<r=\"Genesis 1\">r</a>", "<m=\"Nowhere\">m</a>", "<<a=\"Nowhere\">a=\"Exodus 1\">",
      "<a=\"Genesis 1#zz\">z</a> ", "word ", ">", "\""};
  std::mt19937 rng(11);
  auto line = [&](int pieces) {
    std::string s;
    for (int i = 0; i < pieces; ++i) {
      s += kPieces[std::uniform_int_distribution<size_t>(0, std::size(kPieces) - 1)(rng)];
    }
    return s;
  };
  for (int round = 0; round < 60; ++round) {
    const std::string source = "<Genesis>Genesis 1\n1 first\n[a] " + line(300) + "\n[b] " +
                               line(40) + "\n[c]" + line(4) + "\n2 second " + line(20) +
                               "\n[a] " + line(60) + "\n<Exodus>Exodus 1\n1 end\n[z] z\n";
    EXPECT_TRUE(BuildFast(source) == BuildLiteral(source))
        << "round " << round;
  }
}

// Links removed long before their "</a>": the removed "</a>" are taken out
// of the text ahead as the pass meets them, and that text is read whole
// wherever a tag needs it (values and ">" on either side of a removed
// "</a>", a "</a>" or "<sc>" that a removal joins, footnote markers).
TEST(LinkResolutionProperty, EndTagsFarAheadMatchTheLiteralResolution) {
  const char* const kFront[] = {
      "<a=\"Nowhere\">x ", "<a=\"Nowhere\">", "<a=\"Genesis 1\">g ", "<a=\"Nowhere\" ",
      "<f=\"        \">[b] ", "<f=\" \">", "<A=\"Gen 1:1\">", "<a=\"No\"where\">",
      "<<a=\"Nowhere\">a=\"Genesis 1\">", "<f=\"xx", "word ", "\"", "<sc", "<",
      "<a=\"Nowhere that any book of this module names\">", "<f=\"        \" and on and on ",
      "<a=\"Genesis 1\" with a long way to its end ", "a long run of words without brackets "};
  const char* const kBack[] = {"</a>", "</a>", "</a>", "</a>x", "</", "a>", ">", "<sc", "c>",
                               "\"", "[b] ", "<a=\"Nowhere\">y", "/a>", "<sc</a>>",
                               ">[b]", "a long run of words without brackets "};
  std::mt19937 rng(23);
  auto pick = [&](const auto& list) {
    return std::string(list[std::uniform_int_distribution<size_t>(0, std::size(list) - 1)(rng)]);
  };
  auto line = [&]() {
    std::string s;
    const int front = std::uniform_int_distribution<int>(5, 120)(rng);
    for (int i = 0; i < front; ++i) s += pick(kFront);
    const int back = std::uniform_int_distribution<int>(5, 120)(rng);
    for (int i = 0; i < back; ++i) s += rng() % 8 == 0 ? pick(kFront) : pick(kBack);
    return s;
  };
  // A value, and a footnote marker, on both sides of a removed "</a>".
  const std::string kSpanning[] = {
      "<Genesis>Genesis 1\n1 <a=\"Nowhere\">x <a=\"          Genesis 1</a>\">y</a>\n",
      "<Genesis>Genesis 1\n1 v\n[a] <a=\"Nowhere\">x <f=\"        \" and a long way on></a>[b] "
      "z\n[b] b\n"};
  for (const std::string& source : kSpanning) {
    EXPECT_EQ(BuildFast(source).image, BuildLiteral(source).image) << source;
  }
  for (int round = 0; round < 80; ++round) {
    const std::string source = "<Genesis>Genesis 1\n1 " + line() + "\n[a] " + line() +
                               "\n[b] b\n2 " + line() + "\n[c] " + line() + "\n";
    EXPECT_TRUE(BuildFast(source) == BuildLiteral(source))
        << "round " << round << ":\n" << source;
  }
}

// A verse queued twice is passed over the second time only when that pass
// would find nothing to do; these verses, each queued twice, have something
// left after their first pass.
TEST(LinkResolutionProperty, VersesQueuedAgainMatchTheLiteralResolution) {
  const char* const kVerses[] = {
      // The removal joins "<" and "a=..." into a link tag behind the scan.
      "1 <<a=\"Nowhere\">a=\"Later 1\">x</a> <a=\"Nope\">y</a>",
      // A footnote link resolved without a write loses its closing quote to
      // the removal of the link that shares it.
      "1 <f=\"xxxxxx<a=\"Nowhere\">b</a> <a=\"Nope\">c</a> >",
      // The removal changes the verse's plain text, which the kept "#" link
      // (no ">" after it) then finds.
      "<i><x <a=\"Nowhere\">zz>yy <a=\"Later 1#yy\" ",
      // The same with a target longer than the start of a verse the search
      // reads ahead.
      "<i><x <a=\"Nowhere\">zz>yyyyyyyyyyyyyyyyyy <a=\"Later 1#yyyyyyyyyyyyyyyyyy\" ",
  };
  for (const char* verse : kVerses) {
    const std::string source =
        std::string("<Later>Later 1\n0 first\n") + verse + "\n<Later>Later 1\n1 again\n";
    EXPECT_TRUE(BuildFast(source) == BuildLiteral(source))
        << verse;
  }
}

// Verse starts around the length the verse search reads of each verse ahead
// of need (16 units): blanks, tags and a lone "<" astride it, list tokens and
// "#" targets longer than it, and links to later verses (resolved in the
// resolution pass, which may change a verse that was looked at before).
TEST(LinkResolutionProperty, LongVerseStartsMatchTheLiteralResolution) {
  const char* const kStarts[] = {
      "1 In the beginning God",       "2 In the beginning",
      "3 In the   beginning  ",       "4 <i>In</i> the beginning",
      "5 In the beginnin<sc>g",       "6 In the beginning       ",
      "7 In the beginni  ",           "8 In the beginning <",
      "In the beginning God created", "9 In the beginning\u00AD",
      "7 In the begin     ",          "10 In the beginning <a=\"Nowhere\">x</a>"};
  const char* const kLinks[] = {
      "<A=\"Genesis 1:1 In the beginning God,3 In the beginning\">t</a>",
      "<A=\"Genesis 1:In the beginning God created-In the beginning God\">t</a>",
      "<A=\"Gen 1:6 In the beginning,7 In the beginni,9 In the beginning\">t</a>",
      "<a=\"Genesis 1#In the beginning God created\">t</a>",
      "<a=\"Genesis 1#6 In the beginning   \">t</a>",
      "<a=\"Genesis 1#10 In the beginning x\">t</a>",
      "<A=\"Genesis 1:8 In the beginning <\">t</a>",
      "<A=\"Genesis 1:5 In the beginning\">t</a>",
      "<A=\"Genesis 1:7 In the begin  ,2\">t</a>"};
  std::mt19937 rng(29);
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  for (int round = 0; round < 150; ++round) {
    std::string source = "<Genesis>Genesis 1\n";
    for (size_t lines = 2 + pick(10); lines > 0; --lines) {
      source += kStarts[pick(std::size(kStarts))];
      if (pick(2) == 0) source += std::string(" ") + kLinks[pick(std::size(kLinks))];
      source += "\n";
    }
    EXPECT_TRUE(BuildFast(source) == BuildLiteral(source)) << "round " << round << ":\n" << source;
  }
}

}  // namespace
}  // namespace quillavor
