// The word index and the Concordance, on modules built by hand (verse texts
// added to the pool, verses appended, IndexVerse called as the line compiler
// does) and, when the corpus is there, on a whole Bible.
#include "index/word_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>
#include <tuple>
#include <vector>

#include "model/dictionary.h"
#include "model/module.h"
#include "platform/text.h"
#include "support/test_support.h"

namespace quillavor {
namespace {

using testing::RecordingProgress;
using testing::U16;
using testing::U8;

// A Module filled the way the line compiler fills it, without a source file.
class HandModule {
 public:
  HandModule() {
    m.AddString(u"Test");
    m.AddString(u"T");
  }

  // A header book named `name`, linked into its name chain.
  int32_t AddBook(std::u16string_view name, std::u16string_view title) {
    const int32_t n = m.FindOrAddBookName(name);
    const int32_t b = m.books.Append(m.bookCount, kBookGrowth);
    BookRecord book{};
    book.prevSameName = m.bookNames[n].lastBook;
    book.nextSameName = kNone;
    book.prevName = n > 0 ? m.bookNames[n - 1].lastBook : kNone;
    book.nextName = kNone;
    book.title = m.AddString(title);
    book.note = kNone;
    book.abbrev = kNone;
    book.firstText = kNone;
    book.nameIndex = n;
    book.bookFlags = kBookPlainLayout;
    m.books[b] = book;
    if (book.prevSameName != kNone) m.books[book.prevSameName].nextSameName = b;
    m.bookNames[n].lastBook = b;
    return b;
  }

  // Appends a verse with `text` and offers it to the indexer.
  int32_t AddVerse(std::u16string_view text, bool indexingOn = true) {
    const int32_t v = m.verses.Append(m.verseCount, kVerseGrowth);
    m.verses[v] = VerseRecord{m.bookCount - 1, kNone, m.AddString(text), kNone};
    IndexVerse(m, wordAccel, v, indexingOn);
    return v;
  }

  void Finalize(std::u16string_view options = u"") { FinalizeWordIndex(m, options, progress); }

  Module m;
  DictionaryAccel wordAccel;
  RecordingProgress progress;
};

// Index in `words` of the entry whose stored text is `text`, or -1.
int32_t FindWord(const Module& m, std::u16string_view text) {
  for (int32_t w = 0; w < m.wordCount; ++w) {
    if (m.StringView(m.words[w].text) == text) return w;
  }
  return kNone;
}

using Occurrence = std::tuple<int32_t, uint32_t, uint32_t>;  // verse, offset, ordinal

// The occurrence list of a word, in list order.
std::vector<Occurrence> Occurrences(const Module& m, std::u16string_view text) {
  std::vector<Occurrence> out;
  const int32_t w = FindWord(m, text);
  if (w == kNone) return out;
  for (int32_t r = m.words[w].firstRef; r != kNone && out.size() <= size_t(m.wordRefCount);
       r = m.wordRefs[r].next) {
    const WordRef& ref = m.wordRefs[r];
    out.emplace_back(ref.verse, WordOffset(ref.position), WordOrdinal(ref.position));
  }
  return out;
}

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

std::u16string Title(const Module& m, int32_t book) { return m.GetString(m.books[book].title); }

TEST(IndexVerse, RecordsOffsetsAndOrdinalsOfEveryToken) {
  HandModule h;
  h.AddBook(u"Genesis", u"Genesis 1");
  h.AddVerse(u"In the beginning God created");
  EXPECT_EQ(h.m.tokenTotal, 5);
  EXPECT_EQ(h.m.wordRefCount, 5);
  EXPECT_EQ(h.m.wordCount, 6);  // five words and the sentinel
  const std::vector<std::pair<std::u16string, Occurrence>> expected = {{u"In", {0, 0, 0}},
                                                                       {u"the", {0, 3, 1}},
                                                                       {u"beginning", {0, 7, 2}},
                                                                       {u"God", {0, 17, 3}},
                                                                       {u"created", {0, 21, 4}}};
  for (const auto& [word, occurrence] : expected) {
    EXPECT_EQ(Occurrences(h.m, word), std::vector<Occurrence>{occurrence}) << U8(word);
  }
  // Records are appended in token order.
  for (int32_t r = 0; r < 5; ++r) EXPECT_EQ(WordOrdinal(h.m.wordRefs[r].position), uint32_t(r));
}

TEST(IndexVerse, SkipsVersesThatAreNotIndexed) {
  struct Case {
    const char* text;
    bool indexingOn;
    int32_t tokens;
  };
  const Case cases[] = {
      {"And God said", false, 0},      // switch off
      {"And God said", true, 3},       //
      {"[a]", true, 0},                // footnote-like: "]" third
      {"[a] And God said", true, 0},   //
      {"[12] And God said", true, 0},  // "]" fourth
      {"[A]And God", true, 0},         // anything between the brackets
      {"[abc] And", true, 2},          // "]" fifth: indexed (abc, And)
      {"x[a] And", true, 2},           // must begin with "["
      {"[", true, 0},                  // short texts are safe
      {"[a", true, 1},                 //
      {"A picture <image=00000000>", true, 0},
      {"<image=", true, 0},
      {"<Image=00000000> And", true, 1},  // the tag is case-sensitive
  };
  for (const Case& c : cases) {
    HandModule h;
    h.AddVerse(U16(c.text), c.indexingOn);
    EXPECT_EQ(h.m.tokenTotal, c.tokens) << c.text;
    EXPECT_EQ(h.m.wordRefCount, c.tokens) << c.text;
    if (c.tokens == 0) {
      EXPECT_EQ(h.m.wordCount, 0) << c.text;
    }
  }
}

TEST(IndexVerse, OffsetsCountInThePreparedText) {
  struct Case {
    const char* text;
    const char* word;
    std::vector<Occurrence> occurrences;
  };
  const Case cases[] = {
      {"  And God", "And", {{0, 0, 0}}},
      {"  And God", "God", {{0, 4, 1}}},
      {"\t\x01 God \n", "God", {{0, 0, 0}}},
      // Each removed "<sc>" shortens the offsets after it by 4.
      {"The <sc>LORD</sc> God", "LORD", {{0, 4, 1}}},
      {"The <sc>LORD</sc> God", "God", {{0, 14, 2}}},
      {"L<sc>ORD said", "LORD", {{0, 0, 0}}},
      {"<sc><sc>x y", "y", {{0, 2, 1}}},
      // A removal that brings a new "<sc>" together removes that one too.
      {"<<sc>sc>Lord", "Lord", {{0, 0, 0}}},
      {"a <SC>b", "b", {{0, 6, 1}}},  // only the exact tag is removed
      // The search restarts at the previous word's offset.
      {"and and", "and", {{0, 0, 0}, {0, 0, 1}}},
      {"land and", "and", {{0, 1, 1}}},
      {"land and", "land", {{0, 0, 0}}},
      {"is his is", "is", {{0, 0, 0}, {0, 4, 2}}},
      {"a<i>b</i> c", "c", {{0, 10, 2}}},
  };
  for (const Case& c : cases) {
    HandModule h;
    h.AddVerse(U16(c.text));
    h.Finalize();
    EXPECT_EQ(Occurrences(h.m, U16(c.word)), c.occurrences) << c.text << " / " << c.word;
  }
}

TEST(IndexVerse, PoolStringsAreNotChanged) {
  HandModule h;
  const int32_t v = h.AddVerse(u"  The <sc>LORD</sc> is here ");
  EXPECT_EQ(h.m.GetString(h.m.verses[v].text), u"  The <sc>LORD</sc> is here ");
}

TEST(IndexVerse, UsesTheLatestVerseAndPutsNewOccurrencesInFront) {
  HandModule h;
  h.AddBook(u"Genesis", u"Genesis 1");
  h.AddVerse(u"light");
  h.AddVerse(u"no");
  h.AddVerse(u"light and light");
  // Before finalisation the list runs from the newest occurrence.
  EXPECT_EQ(Occurrences(h.m, u"light"),
            (std::vector<Occurrence>{{2, 10, 2}, {2, 0, 0}, {0, 0, 0}}));
  EXPECT_EQ(h.m.tokenTotal, 5);
}

TEST(FinalizeWordIndex, PutsEveryListInTextOrder) {
  HandModule h;
  h.AddBook(u"Genesis", u"Genesis 1");
  for (int i = 0; i < 8; ++i) {
    if (i == 3) {
      h.AddVerse(u"word one");
    } else if (i == 7) {
      h.AddVerse(u"word two Word");
    } else {
      h.AddVerse(u"other");
    }
  }
  h.Finalize();
  EXPECT_EQ(Occurrences(h.m, u"word"), (std::vector<Occurrence>{{3, 0, 0}, {7, 0, 0}, {7, 9, 2}}));
  EXPECT_EQ(Occurrences(h.m, u"other").size(), 6u);
  // Every list ascends by verse, then ordinal; the sentinel's stays empty.
  EXPECT_EQ(h.m.words[0].firstRef, kNone);
  int32_t total = 0;
  for (int32_t w = 1; w < h.m.wordCount; ++w) {
    std::vector<Occurrence> list = Occurrences(h.m, h.m.StringView(h.m.words[w].text));
    total += static_cast<int32_t>(list.size());
    for (size_t i = 1; i < list.size(); ++i) {
      EXPECT_LT(std::make_pair(std::get<0>(list[i - 1]), std::get<2>(list[i - 1])),
                std::make_pair(std::get<0>(list[i]), std::get<2>(list[i])));
    }
  }
  EXPECT_EQ(total, h.m.wordRefCount);
}

TEST(FinalizeWordIndex, ReversesManyListsOfUnevenLength) {
  // More words than lists walked side by side, with lists from one to
  // hundreds of occurrences, interleaved over many verses.
  HandModule h;
  std::vector<std::vector<Occurrence>> expected(40);
  uint32_t seed = 12345;
  for (int32_t v = 0; v < 300; ++v) {
    std::u16string text;
    size_t previous = SIZE_MAX;
    uint32_t previousOffset = 0;
    for (uint32_t k = 0; k < 8; ++k) {
      seed = seed * 1103515245 + 12345;
      const uint32_t pick = (seed >> 16) % 64;
      const size_t w = pick < 24 ? pick % 3 : pick % 40;  // three frequent words
      const std::u16string word =
          u"w" + U16(std::string(1, char('a' + w / 26))) + U16(std::string(1, char('a' + w % 26)));
      // A word repeating the previous one is found at the previous offset.
      const uint32_t offset = w == previous ? previousOffset : uint32_t(text.size());
      expected[w].emplace_back(v, offset, k);
      previous = w;
      previousOffset = offset;
      text += word + u" ";
    }
    h.AddVerse(text);
  }
  h.Finalize();
  for (size_t w = 0; w < expected.size(); ++w) {
    const std::u16string word =
        u"w" + U16(std::string(1, char('a' + w / 26))) + U16(std::string(1, char('a' + w % 26)));
    EXPECT_EQ(Occurrences(h.m, word), expected[w]) << U8(word);
  }
}

// The Concordance of a module with no header books: name records, title
// book, letter books, links and the letterBook of every word.
TEST(FinalizeWordIndex, BuildsOneLetterBookPerFirstCharacter) {
  HandModule h;
  h.AddVerse(u"Zeal apple 12");
  h.AddVerse(u"Apple able");
  h.Finalize();

  ASSERT_EQ(h.m.bookNameCount, 2);
  EXPECT_EQ(h.m.GetString(h.m.bookNames[0].name), u"Concordance");
  EXPECT_EQ(h.m.GetString(h.m.bookNames[1].name), u"Letter");
  ASSERT_EQ(h.m.bookCount, 4);
  EXPECT_EQ(Title(h.m, 0), u"Concordance");
  EXPECT_EQ(Title(h.m, 1), u"1");
  EXPECT_EQ(Title(h.m, 2), u"A");
  EXPECT_EQ(Title(h.m, 3), u"Z");
  EXPECT_EQ(h.m.bookNames[0].lastBook, 0);
  EXPECT_EQ(h.m.bookNames[1].lastBook, 3);

  // prevSameName, nextSameName, prevName, nextName, note, abbrev, firstText,
  // nameIndex, bookFlags.
  using Fields = std::array<int32_t, 9>;
  auto fields = [&](int32_t b) {
    const BookRecord& r = h.m.books[b];
    return Fields{r.prevSameName, r.nextSameName, r.prevName,  r.nextName, r.note,
                  r.abbrev,       r.firstText,    r.nameIndex, r.bookFlags};
  };
  EXPECT_EQ(fields(0), (Fields{-1, -1, -1, 1, -1, -1, 0, 0, 0}));
  EXPECT_EQ(fields(1), (Fields{-1, -1, 0, -1, -1, -1, 0, 1, 0}));
  EXPECT_EQ(fields(2), (Fields{1, -1, 0, -1, -1, -1, 0, 1, 0}));
  EXPECT_EQ(fields(3), (Fields{2, -1, 0, -1, -1, -1, 0, 1, 0}));

  const std::pair<const char16_t*, int32_t> letterBooks[] = {
      {u"12", 1}, {u"able", 2}, {u"apple", 2}, {u"Zeal", 3}};
  for (auto [word, book] : letterBooks) {
    const int32_t w = FindWord(h.m, word);
    ASSERT_NE(w, kNone) << U8(word);
    EXPECT_EQ(h.m.words[w].letterBook, book) << U8(word);
  }
  EXPECT_EQ(h.m.words[0].letterBook, 0);  // the sentinel is never listed
  EXPECT_EQ(h.progress.phases, (std::vector<std::u16string>{u"Finalize WORD indexes",
                                                            u"Concordance", u"1", u"A", u"Z"}));
}

TEST(FinalizeWordIndex, LetterOfNonAsciiAndSupplementaryWords) {
  HandModule h;
  h.AddVerse(u"x");
  // Words that the tokenizer would never return, put in the dictionary
  // directly: U+1D400 and U+1D401 share their high surrogate.
  for (std::u16string_view w : {u"été", u"Étoile", u"\U0001D400a", u"\U0001D401", u"\U0001D400b"}) {
    FindOrAddWord(h.m, h.wordAccel, w);
  }
  h.Finalize();
  std::vector<std::u16string> titles;
  for (int32_t b = 1; b < h.m.bookCount; ++b) titles.push_back(Title(h.m, b));
  EXPECT_EQ(titles, (std::vector<std::u16string>{u"X", u"É", u"\U0001D400", u"\U0001D401"}));
  EXPECT_EQ(h.m.words[FindWord(h.m, u"été")].letterBook,
            h.m.words[FindWord(h.m, u"Étoile")].letterBook);
  EXPECT_EQ(h.m.words[FindWord(h.m, u"\U0001D400a")].letterBook,
            h.m.words[FindWord(h.m, u"\U0001D400b")].letterBook);
  EXPECT_NE(h.m.words[FindWord(h.m, u"\U0001D400a")].letterBook,
            h.m.words[FindWord(h.m, u"\U0001D401")].letterBook);
}

TEST(FinalizeWordIndex, ReusesAndCutsExistingBookNames) {
  struct Case {
    std::vector<std::u16string> names;  // one header book per name, in order
    std::vector<std::u16string> expectedNames;
  };
  const Case cases[] = {
      {{}, {u"Concordance", u"Letter"}},
      {{u"Genesis", u"Genesis"}, {u"Genesis", u"Letter"}},
      {{u"Genesis", u"Exodus", u"Genesis"}, {u"Genesis", u"Exodus"}},
      {{u"Genesis", u"Exodus", u"Psalms"}, {u"Genesis", u"Exodus", u"Psalms"}},
  };
  for (const Case& c : cases) {
    HandModule h;
    for (const std::u16string& name : c.names) {
      h.AddBook(name, name + u" 1");
      h.AddVerse(u"And so");
    }
    if (c.names.empty()) h.AddVerse(u"And so");
    const int32_t headerBooks = h.m.bookCount;
    const int32_t thirdLast = h.m.bookNameCount > 2 ? h.m.bookNames[2].lastBook : kNone;
    std::vector<BookRecord> before(h.m.books.Span().begin(),
                                   h.m.books.Span().begin() + headerBooks);
    h.Finalize();
    const std::string label = std::to_string(c.names.size()) + " names";

    std::vector<std::u16string> names;
    for (int32_t i = 0; i < h.m.bookNameCount; ++i)
      names.push_back(h.m.GetString(h.m.bookNames[i].name));
    EXPECT_EQ(names, c.expectedNames) << label;
    ASSERT_EQ(h.m.bookCount, headerBooks + 3) << label;  // title, "A", "S"
    const int32_t title = headerBooks;
    EXPECT_EQ(h.m.books[title].prevSameName, kNone) << label;
    EXPECT_EQ(h.m.books[title].nameIndex, 0) << label;
    EXPECT_EQ(h.m.books[title].nextName, title + 1) << label;
    EXPECT_EQ(h.m.books[title + 1].prevSameName, kNone) << label;
    EXPECT_EQ(h.m.books[title + 2].prevSameName, title + 1) << label;
    EXPECT_EQ(h.m.bookNames[0].lastBook, title) << label;
    EXPECT_EQ(h.m.bookNames[1].lastBook, title + 2) << label;
    if (h.m.bookNameCount > 2) {
      EXPECT_EQ(h.m.bookNames[2].lastBook, thirdLast) << label;
    }
    // Header books are not touched.
    for (int32_t b = 0; b < headerBooks; ++b) {
      EXPECT_EQ(std::memcmp(&before[size_t(b)], &h.m.books[b], sizeof(BookRecord)), 0)
          << label << " book " << b;
    }
  }
}

TEST(FinalizeWordIndex, TitleFollowsTheSpanishOption) {
  struct Case {
    std::u16string options;
    std::u16string title;
  };
  const Case cases[] = {
      {u"", u"Concordance"},
      {u"spanish,windowspage", u"Concordancia"},
      {u"windowspage,spanish", u"Concordancia"},
      {u"notspanishreally", u"Concordancia"},
      {u"Spanish", u"Concordance"},
      {u"SPANISH", u"Concordance"},
      {u"windowspage", u"Concordance"},
  };
  for (const Case& c : cases) {
    HandModule h;
    h.AddVerse(u"Dios");
    h.Finalize(c.options);
    ASSERT_EQ(h.m.bookCount, 2) << U8(c.options);
    EXPECT_EQ(Title(h.m, 0), c.title) << U8(c.options);
    // The name record keeps the English word.
    EXPECT_EQ(h.m.GetString(h.m.bookNames[0].name), u"Concordance") << U8(c.options);
    EXPECT_EQ(h.progress.phases.at(1), c.title) << U8(c.options);
  }
}

TEST(FinalizeWordIndex, NoWordsMeansNoConcordance) {
  HandModule h;
  h.AddBook(u"Genesis", u"Genesis 1");
  h.AddVerse(u"[a] a footnote-like verse");
  h.AddVerse(u"And God said", /*indexingOn=*/false);
  h.AddVerse(u"<image=00000000>");
  const int32_t poolLength = h.m.poolLength;
  h.Finalize();
  EXPECT_EQ(h.m.wordCount, 0);
  EXPECT_EQ(h.m.bookCount, 1);
  EXPECT_EQ(h.m.bookNameCount, 1);
  EXPECT_EQ(h.m.bookNames[0].lastBook, 0);
  EXPECT_EQ(h.m.poolLength, poolLength);
  EXPECT_EQ(h.progress.phases, std::vector<std::u16string>{u"Finalize WORD indexes"});
}

TEST(FinalizeWordIndex, OnlySentinelGetsTitleBookOnly) {
  // A dictionary that holds nothing but its sentinel still gets the title.
  HandModule h;
  h.AddVerse(u"x");
  h.m.wordFirst = h.m.wordLast = 0;  // as if every real entry were cut out
  h.Finalize();
  EXPECT_EQ(h.m.bookCount, 1);
  EXPECT_EQ(h.m.bookNameCount, 1);
  EXPECT_EQ(h.m.books[0].nextName, kNone);
}

TEST(IndexVerse, CapsOffsetsAndOrdinals) {
  struct Case {
    size_t filler;  // separators before the word
    uint32_t offset;
  };
  for (const Case c :
       {Case{131070, 131070}, Case{131071, 131071}, Case{131072, 131071}, Case{200000, 131071}}) {
    HandModule h;
    h.AddVerse(std::u16string(c.filler, u',') + u"word");
    EXPECT_EQ(Occurrences(h.m, u"word"), (std::vector<Occurrence>{{0, c.offset, 0}})) << c.filler;
  }

  HandModule h;
  std::u16string text;
  for (int i = 0; i < 16390; ++i) text += u"a ";
  h.AddVerse(text);
  EXPECT_EQ(h.m.tokenTotal, 16390);
  int atCap = 0;
  for (int32_t r = 0; r < h.m.wordRefCount; ++r) {
    const uint32_t ordinal = WordOrdinal(h.m.wordRefs[r].position);
    EXPECT_EQ(ordinal, std::min<uint32_t>(uint32_t(r), 16383)) << r;
    atCap += ordinal == 16383;
  }
  EXPECT_EQ(atCap, 7);
}

TEST(IndexVerse, GrowsOccurrencesInBlocks) {
  HandModule h;
  std::u16string text;
  for (int i = 0; i < 1025; ++i) text += u"b ";
  h.AddVerse(text);
  EXPECT_EQ(h.m.wordRefCount, 1025);
  EXPECT_EQ(h.m.wordRefs.Length(), 2048);
}

// The end of the construction sequence: link resolution, then the word
// index, each shown; a source that failed to load still reaches both.
TEST(WordIndexCompiled, PhasesCloseTheConstruction) {
  struct Case {
    std::string source;
    std::vector<std::u16string> tail;  // the phases from "Resolve linkage" on
  };
  const Case cases[] = {
      {"", {u"Resolve linkage", u"Finalize WORD indexes"}},
      {"BIBLE\n<Genesis>Genesis 1\n1 Light\n",
       {u"Resolve linkage", u"Finalize WORD indexes", u"Concordance", u"L"}},
  };
  for (const Case& c : cases) {
    RecordingProgress progress;
    const std::vector<uint8_t> bytes = testing::Bytes(c.source);
    auto m = CompileModuleFromBytes(u"Test", u"T", u"memory.txt", u"", bytes, progress).module;
    if (!c.source.empty()) {
      ASSERT_GT(m->verseCount, 0) << "no verses compiled from " << c.source;
    }
    auto from = std::find(progress.phases.begin(), progress.phases.end(), u"Resolve linkage");
    EXPECT_EQ(std::vector<std::u16string>(from, progress.phases.end()), c.tail) << c.source;
  }
}

// The index switch as the line compiler drives it.
TEST(WordIndexCompiled, IndexSwitchLines) {
  CompileResult built = testing::CompileRun(
      "BIBLE\n<Genesis>Genesis 1\n1 In the beginning\nINDEX_OFF\n2 And God\n"
      "3 said\nINDEX_ON\n4 Light\n");
  const std::unique_ptr<Module>& m = built.module;
  ASSERT_EQ(m->verseCount, 4);
  EXPECT_EQ(m->tokenTotal, 4);
  EXPECT_EQ(FindWord(*m, u"God"), kNone);
  EXPECT_EQ(FindWord(*m, u"said"), kNone);
  EXPECT_EQ(Occurrences(*m, u"Light"), (std::vector<Occurrence>{{3, 2, 0}}));
  // Header book, title book, letter books B, I, L, T.
  ASSERT_EQ(m->bookCount, 6);
  EXPECT_EQ(Title(*m, 1), u"Concordance");
  testing::ExpectModuleValid(built);
}

// The index of a whole Bible through the complete build.
TEST(WordIndexCorpus, KjvIndexAndConcordance) {
  const std::filesystem::path dir = testing::CorpusDir();
  if (dir.empty()) GTEST_SKIP() << "no corpus";
  NullProgress progress;
  const double start = ThreadCpuMs();
  const std::unique_ptr<Module> compiled =
      CompileModule(u"KJV", u"KJV", (dir / "kjv.txt").u16string(), u"", progress).module;
  Module& m = *compiled;
  const double built = ThreadCpuMs();
  ASSERT_GT(m.verseCount, 0) << "no verses compiled from the corpus";

  EXPECT_EQ(m.wordCount, 12984);
  EXPECT_EQ(m.tokenTotal, 803919);
  ASSERT_EQ(m.bookCount, 1189 + 57);
  EXPECT_EQ(Title(m, 1189), u"Concordance");
  EXPECT_EQ(m.books[1189].nextName, 1190);
  for (int32_t b = 1190; b < m.bookCount; ++b) {
    EXPECT_EQ(m.books[b].nameIndex, 1);
    EXPECT_EQ(m.books[b].prevName, 1189);
    EXPECT_EQ(m.books[b].prevSameName, b == 1190 ? kNone : b - 1);
  }
  EXPECT_EQ(m.bookNames[1].lastBook, m.bookCount - 1);
  // Every list ascends through the records, which were appended in text
  // order, and together the lists hold every record once.
  int64_t listed = 0;
  for (int32_t w = 0; w < m.wordCount; ++w) {
    int32_t previous = kNone;
    for (int32_t r = m.words[w].firstRef; r != kNone; r = m.wordRefs[r].next) {
      ASSERT_GT(r, previous) << "word " << w;
      previous = r;
      ++listed;
    }
  }
  EXPECT_EQ(listed, m.wordRefCount);

  // Re-index the same verse texts by hand: the same counts come out. The
  // texts are in the pool first, as the compiler has them.
  HandModule h;
  h.AddBook(u"Book", u"Book");
  std::vector<int32_t> texts;
  for (int32_t v = 0; v < m.verseCount; ++v) {
    texts.push_back(h.m.AddString(m.StringView(m.verses[v].text)));
  }
  const double indexStart = ThreadCpuMs();
  for (int32_t text : texts) {
    const int32_t v = h.m.verses.Append(h.m.verseCount, kVerseGrowth);
    h.m.verses[v] = VerseRecord{0, kNone, text, kNone};
    IndexVerse(h.m, h.wordAccel, v, true);
  }
  const double indexed = ThreadCpuMs();
  h.Finalize();
  const double finalized = ThreadCpuMs();
  EXPECT_EQ(h.m.wordCount, m.wordCount);
  EXPECT_EQ(h.m.tokenTotal, m.tokenTotal);
  EXPECT_EQ(h.m.bookCount - h.m.bookNames[0].lastBook, 57);

  // Processor time of this thread, which the load of the machine disturbs
  // less than the clock on the wall.
  std::cout << "[ corpus   ] whole build " << built - start << " ms; indexing " << m.verseCount
            << " verses again " << indexed - indexStart << " ms; finalising " << finalized - indexed
            << " ms (thread processor time)\n";
}

}  // namespace
}  // namespace quillavor
