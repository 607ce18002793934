#include "model/dictionary.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "index/tokenizer.h"
#include "model/module.h"
#include "platform/text.h"
#include "support/test_support.h"

namespace quillavor {
namespace {

using testing::U16;
using testing::U8;

// The words in list order, from the first entry along the links.
std::vector<std::u16string> InOrder(const Module& m, const DynArray<DictEntry>& table,
                                    int32_t first) {
  std::vector<std::u16string> out;
  for (int32_t p = first; p != kNone && out.size() < 100000; p = table[p].next) {
    out.push_back(m.GetString(table[p].text));
  }
  return out;
}

void ExpectEntry(const DictEntry& e, int32_t prev, int32_t next) {
  EXPECT_EQ(e.prev, prev);
  EXPECT_EQ(e.next, next);
  EXPECT_EQ(e.firstRef, kNone);
  EXPECT_EQ(e.letterBook, 0);
}

// A module with the lookup indexes that a compile run keeps beside its
// dictionaries.
struct TestModule : Module {
  DictionaryAccel wordAccel;
  DictionaryAccel labelAccel;
};
int32_t FastWord(TestModule& m, std::u16string_view key) {
  return FindOrAddWord(m, m.wordAccel, key);
}
int32_t FastLabel(TestModule& m, std::u16string_view key) {
  return FindOrAddLabel(m, m.labelAccel, key);
}
int32_t WalkWord(TestModule& m, std::u16string_view key) { return FindOrAddWordLiteral(m, key); }
int32_t WalkLabel(TestModule& m, std::u16string_view key) { return FindOrAddLabelLiteral(m, key); }

// Runs the same checks with the fast lookup and with the list walk.
struct Variant {
  const char* name;
  int32_t (*word)(TestModule&, std::u16string_view);
  int32_t (*label)(TestModule&, std::u16string_view);
};
const Variant kVariants[] = {
    {"fast", FastWord, FastLabel},
    {"walk", WalkWord, WalkLabel},
};

TEST(DictionaryTest, FirstWordFollowsTheSentinel) {
  for (const Variant& v : kVariants) {
    SCOPED_TRACE(v.name);
    TestModule m;
    m.AddString(u"Name");
    EXPECT_EQ(v.word(m, u"Light"), 1);
    EXPECT_EQ(m.wordCount, 2);
    EXPECT_EQ(m.wordFirst, 1);
    EXPECT_EQ(m.wordLast, 0);
    EXPECT_EQ(m.words.Length(), 1024);
    EXPECT_EQ(m.GetString(m.words[0].text), kDictSentinelText);
    EXPECT_EQ(m.words[0].text, 5);  // the sentinel's text is added first
    EXPECT_EQ(m.GetString(m.words[1].text), u"Light");
    ExpectEntry(m.words[0], 1, kNone);
    ExpectEntry(m.words[1], kNone, 0);
    // The label dictionary is untouched.
    EXPECT_EQ(m.labelCount, 0);
    EXPECT_EQ(m.labelFirst, kNone);
    EXPECT_EQ(m.labelLast, kNone);
  }
}

TEST(DictionaryTest, KeepsAscendingOrderThroughLinks) {
  for (const Variant& v : kVariants) {
    SCOPED_TRACE(v.name);
    TestModule m;
    EXPECT_EQ(v.word(m, u"b"), 1);
    EXPECT_EQ(v.word(m, u"a"), 2);
    EXPECT_EQ(v.word(m, u"c"), 3);
    EXPECT_EQ(m.wordFirst, 2);
    EXPECT_EQ(m.wordLast, 0);
    ExpectEntry(m.words[2], kNone, 1);
    ExpectEntry(m.words[1], 2, 3);
    ExpectEntry(m.words[3], 1, 0);
    ExpectEntry(m.words[0], 3, kNone);
    // Upper-cased order: "_" (U+005F) sorts after "A".."Z" but before "a";
    // a prefix comes first; non-ASCII after ASCII.
    v.word(m, u"B_");
    v.word(m, u"Ab");
    v.word(m, u"é");
    v.word(m, u"Z");
    const std::vector<std::u16string> expected = {
        u"a", u"Ab", u"b", u"B_", u"c", u"Z", u"é", std::u16string(kDictSentinelText)};
    EXPECT_EQ(InOrder(m, m.words, m.wordFirst), expected);
  }
}

TEST(DictionaryTest, WordSpellingMovesTowardsLowerCase) {
  for (const Variant& v : kVariants) {
    SCOPED_TRACE(v.name);
    TestModule m;
    const int32_t light = v.word(m, u"Light");
    const int32_t text = m.words[light].text;
    const int32_t poolLength = m.poolLength;
    EXPECT_EQ(v.word(m, u"LIGHT"), light);
    EXPECT_EQ(m.GetString(text), u"Light");
    EXPECT_EQ(v.word(m, u"light"), light);
    EXPECT_EQ(m.GetString(text), u"light");
    EXPECT_EQ(v.word(m, u"Light"), light);
    EXPECT_EQ(m.GetString(text), u"light");
    // Matches change the pool in place, never add to it.
    EXPECT_EQ(m.poolLength, poolLength);
    EXPECT_EQ(m.words[light].text, text);
    EXPECT_EQ(m.wordCount, 2);
  }
}

TEST(DictionaryTest, LabelKeepsFirstSpelling) {
  for (const Variant& v : kVariants) {
    SCOPED_TRACE(v.name);
    TestModule m;
    const int32_t label = v.label(m, u"12a");
    EXPECT_EQ(label, 1);
    EXPECT_EQ(v.label(m, u"12A"), label);
    EXPECT_EQ(m.GetString(m.labels[label].text), u"12a");
    EXPECT_EQ(v.label(m, u"12b"), 2);
    EXPECT_EQ(m.labelCount, 3);
    EXPECT_EQ(m.labelFirst, 1);
    EXPECT_EQ(m.labelLast, 0);
    ExpectEntry(m.labels[1], kNone, 2);
    ExpectEntry(m.labels[2], 1, 0);
    EXPECT_EQ(m.wordCount, 0);
    EXPECT_EQ(m.wordFirst, kNone);
  }
}

TEST(DictionaryTest, KeyEqualToTheSentinel) {
  for (const Variant& v : kVariants) {
    SCOPED_TRACE(v.name);
    TestModule m;
    EXPECT_EQ(v.label(m, kDictSentinelText), 0);
    EXPECT_EQ(m.labelCount, 1);
    EXPECT_EQ(v.word(m, u"a"), 1);
    EXPECT_EQ(v.word(m, kDictSentinelText), 0);
    EXPECT_EQ(m.wordCount, 2);
  }
}

TEST(DictionaryTest, KeyAfterTheSentinelStartsANewList) {
  const std::u16string after = std::u16string(kDictSentinelText) + u"x";
  for (const Variant& v : kVariants) {
    SCOPED_TRACE(v.name);
    TestModule m;
    v.label(m, u"b");
    v.label(m, u"a");
    EXPECT_EQ(v.label(m, after), 3);
    ExpectEntry(m.labels[3], kNone, kNone);
    EXPECT_EQ(m.labelFirst, 3);
    EXPECT_EQ(m.labelLast, 3);
    // The earlier entries are off the list: "a" is not found again.
    EXPECT_EQ(v.label(m, u"A"), 4);
    EXPECT_EQ(v.label(m, after), 3);
    EXPECT_EQ(v.label(m, u"c"), 5);
    EXPECT_EQ(v.label(m, after + u"y"), 6);
    EXPECT_EQ(m.labelFirst, 6);
    EXPECT_EQ(m.labelLast, 6);
    EXPECT_EQ(v.label(m, u"A"), 7);
    EXPECT_EQ(InOrder(m, m.labels, m.labelFirst),
              (std::vector<std::u16string>{u"A", after + u"y"}));
    // The old entries keep their links.
    ExpectEntry(m.labels[1], 2, 0);
    ExpectEntry(m.labels[0], 1, kNone);
    EXPECT_EQ(m.labelCount, 8);
  }
}

TEST(DictionaryTest, KeyEndsAtItsFirstZero) {
  for (const Variant& v : kVariants) {
    SCOPED_TRACE(v.name);
    TestModule m;
    EXPECT_EQ(v.word(m, std::u16string_view(u"ab\0cd", 5)), 1);
    EXPECT_EQ(v.word(m, u"AB"), 1);
    EXPECT_EQ(m.GetString(m.words[1].text), u"ab");
  }
}

TEST(DictionaryTest, KeyInsideThePoolSurvivesPoolGrowth) {
  for (const Variant& v : kVariants) {
    SCOPED_TRACE(v.name);
    TestModule m;
    const int32_t key = m.AddString(u"Light");
    // Fill the pool so that the sentinel's text makes it grow (and move).
    m.AddString(std::u16string(static_cast<size_t>(kPoolGrowth - m.poolLength - 3), u'.'));
    ASSERT_EQ(m.pool.Length(), kPoolGrowth);
    EXPECT_EQ(v.word(m, m.StringView(key)), 1);
    EXPECT_EQ(m.pool.Length(), 2 * kPoolGrowth);
    EXPECT_EQ(m.GetString(m.words[1].text), u"Light");
    // A key in the pool that is a second spelling of a stored word.
    const int32_t lower = m.AddString(u"light");
    EXPECT_EQ(v.word(m, m.StringView(lower)), 1);
    EXPECT_EQ(m.GetString(m.words[1].text), u"light");
  }
}

TEST(DictionaryTest, TableGrowsByFixedSteps) {
  TestModule m;
  for (int i = 0; i < 1023; ++i) FastLabel(m, u"L" + std::u16string(1, char16_t(0x4E00 + i)));
  EXPECT_EQ(m.labelCount, 1024);
  EXPECT_EQ(m.labels.Length(), 1024);
  FastLabel(m, u"next");
  EXPECT_EQ(m.labelCount, 1025);
  EXPECT_EQ(m.labels.Length(), 2048);
  EXPECT_EQ(m.labels[1500].text, 0);  // zero-filled beyond the count
}

// ---- Fast lookup against the list walk ---------------------------------------

// Random keys: pieces with shared prefixes, mixed case, letters whose upper
// case lies elsewhere in the code space (ÿ -> Ÿ U+0178, ǆ -> Ǆ, ς/σ -> Σ,
// ß unchanged), a supplementary letter with a case pair, and now and then a
// new case variant of an earlier key.
class KeyStream {
 public:
  explicit KeyStream(uint32_t seed, bool afterSentinel) : rng_(seed), after_(afterSentinel) {}

  std::u16string Next() {
    if (!keys_.empty() && Pick(3) == 0) return Recase(keys_[Pick(keys_.size())]);
    std::u16string key;
    const size_t parts = 1 + Pick(4);
    for (size_t i = 0; i < parts; ++i) key += kPieces[Pick(std::size(kPieces))];
    if (after_ && Pick(200) == 0) key = std::u16string(kDictSentinelText) + key;
    if (Pick(500) == 0) key = std::u16string(kDictSentinelText);
    key = Recase(key);
    keys_.push_back(key);
    return key;
  }

 private:
  size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

  std::u16string Recase(std::u16string key) {
    for (char16_t& c : key) {
      if (Pick(3) != 0) continue;
      const char16_t up = text::ToUpperInvariant(std::u16string_view(&c, 1))[0];
      c = Pick(2) == 0 ? up : text::ToLowerChar(c);
    }
    return key;
  }

  static constexpr std::u16string_view kPieces[] = {
      u"a", u"b", u"ab",     u"abc",        u"the",        u"thee",  u"Lord", u"'s",
      u"-", u"z", u"é",      u"É",          u"ÿ",          u"Ÿ",     u"ß",    u"σ",
      u"ς", u"Σ", u"ǆ",      u"ǅ",          u"а",          u"Я",     u"א",    u"光",
      u"1", u"_", u"\uFF41", u"\U00010428", u"\U00010400", u"\uFFFE"};

  std::mt19937 rng_;
  bool after_;
  std::vector<std::u16string> keys_;
};

void ExpectSameDictionaries(const Module& a, const Module& b) {
  ASSERT_EQ(a.wordCount, b.wordCount);
  ASSERT_EQ(a.labelCount, b.labelCount);
  EXPECT_EQ(a.wordFirst, b.wordFirst);
  EXPECT_EQ(a.wordLast, b.wordLast);
  EXPECT_EQ(a.labelFirst, b.labelFirst);
  EXPECT_EQ(a.labelLast, b.labelLast);
  ASSERT_EQ(a.words.Length(), b.words.Length());
  ASSERT_EQ(a.labels.Length(), b.labels.Length());
  for (int64_t i = 0; i < a.words.Length(); ++i) {
    const DictEntry& x = a.words[i];
    const DictEntry& y = b.words[i];
    ASSERT_TRUE(x.text == y.text && x.prev == y.prev && x.next == y.next &&
                x.firstRef == y.firstRef && x.letterBook == y.letterBook)
        << "word entry " << i;
  }
  for (int64_t i = 0; i < a.labels.Length(); ++i) {
    const DictEntry& x = a.labels[i];
    const DictEntry& y = b.labels[i];
    ASSERT_TRUE(x.text == y.text && x.prev == y.prev && x.next == y.next &&
                x.firstRef == y.firstRef && x.letterBook == y.letterBook)
        << "label entry " << i;
  }
  ASSERT_EQ(a.poolLength, b.poolLength);
  ASSERT_EQ(a.pool.Length(), b.pool.Length());
  EXPECT_TRUE(std::equal(a.pool.Span().begin(), a.pool.Span().end(), b.pool.Span().begin()));
}

TEST(DictionaryPropertyTest, FastLookupMatchesListWalk) {
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    const bool afterSentinel = seed > 4;
    SCOPED_TRACE("seed " + std::to_string(seed));
    KeyStream stream(seed, afterSentinel);
    TestModule fast;
    TestModule walk;
    // A third module mixes both ways on the same tables, so that the lookup
    // index is rebuilt from lists it did not make.
    TestModule mixed;
    std::mt19937 coin(seed);
    for (int i = 0; i < 4000; ++i) {
      const std::u16string key = stream.Next();
      const bool label = i % 5 == 0;
      const int32_t expected =
          label ? FindOrAddLabelLiteral(walk, key) : FindOrAddWordLiteral(walk, key);
      ASSERT_EQ(label ? FastLabel(fast, key) : FastWord(fast, key), expected)
          << "key " << i << " " << U8(key);
      const bool literal = coin() % 8 == 0;
      const int32_t got =
          label ? (literal ? FindOrAddLabelLiteral(mixed, key) : FastLabel(mixed, key))
                : (literal ? FindOrAddWordLiteral(mixed, key) : FastWord(mixed, key));
      ASSERT_EQ(got, expected) << "mixed, key " << i << " " << U8(key);
    }
    ExpectSameDictionaries(fast, walk);
    ExpectSameDictionaries(mixed, walk);
    if (!afterSentinel) {
      // Without keys after the sentinel every entry stays on one list.
      EXPECT_EQ(InOrder(walk, walk.words, walk.wordFirst).size(),
                static_cast<size_t>(walk.wordCount));
      EXPECT_GT(walk.wordCount, 1000);
    }
  }
}

// Keys of ASCII units are upper-cased and compared four units at a time.
// Keys that differ in one unit next to 'a'..'z' or 'A'..'Z' (which must stay
// apart from the letters), at the start, middle and end of keys of lengths
// around the chunk sizes and beyond the longest key taken that way; random
// keys of every unit from 1 to 127; all met again in other cases.
TEST(DictionaryPropertyTest, AsciiKeysOfEveryUnitAndLength) {
  const std::u16string edges = u"@AZ[`az{^_\x7F\x01 09";
  std::vector<std::u16string> keys;
  const size_t lengths[] = {1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 31, 32, 33, 40};
  for (const size_t length : lengths) {
    for (size_t at : {size_t{0}, length / 2, length - 1}) {
      for (char16_t c : edges) {
        std::u16string key(length, u'm');
        key[at] = c;
        keys.push_back(key);
      }
    }
  }
  std::mt19937 rng(7);
  for (size_t length = 0; length <= 40; ++length) {
    std::u16string key;
    for (size_t i = 0; i < length; ++i) key += static_cast<char16_t>(1 + rng() % 127);
    keys.push_back(key);
  }
  TestModule fast;
  TestModule walk;
  for (int round = 0; round < 3; ++round) {
    for (std::u16string key : keys) {
      for (char16_t& c : key) {
        if (round == 1 || (round == 2 && rng() % 2 == 0)) c = text::ToLowerChar(c);
        if (round == 2 && rng() % 2 == 0) c = text::ToUpperInvariant(std::u16string_view(&c, 1))[0];
      }
      ASSERT_EQ(FastWord(fast, key), FindOrAddWordLiteral(walk, key)) << U8(key);
    }
  }
  ExpectSameDictionaries(fast, walk);
}

TEST(DictionaryPropertyTest, ListOutOfOrderIsWalked) {
  // Tables not made by the dictionary (here: two entries swapped by hand)
  // are searched as the links say.
  TestModule fast;
  TestModule walk;
  for (TestModule* m : {&fast, &walk}) {
    for (const char16_t* w : {u"b", u"d", u"f"}) FindOrAddWordLiteral(*m, w);
    std::swap(m->words[1].text, m->words[3].text);  // list now reads f, d, b
  }
  for (const char16_t* w : {u"a", u"b", u"c", u"d", u"e", u"f", u"g", u"B"}) {
    ASSERT_EQ(FastWord(fast, w), FindOrAddWordLiteral(walk, w)) << U8(w);
  }
  ExpectSameDictionaries(fast, walk);
}

// Times 800,000 lookups of the words of the whole-Bible corpus, in text
// order, each line tokenized as the indexer does it. Prints the figures.
TEST(DictionaryPerformanceTest, BibleWordLookups) {
  const std::filesystem::path corpus = testing::CorpusDir() / "kjv.txt";
  if (!std::filesystem::exists(corpus)) GTEST_SKIP() << "no corpus";
  const std::u16string text = text::DecodeUtf8(testing::ReadFile(corpus));

  // Processor time of this process: the figures stay meaningful on a busy
  // machine, where the wall clock also counts time spent waiting.
  auto cpuMs = [] { return 1000.0 * static_cast<double>(std::clock()) / CLOCKS_PER_SEC; };
  const double t0 = cpuMs();
  std::vector<std::u16string_view> all;
  std::vector<std::u16string_view> line;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(u'\n', start);
    if (end == std::u16string::npos) end = text.size();
    WordTokenizer(std::u16string_view(text).substr(start, end - start), line);
    all.insert(all.end(), line.begin(), line.end());
    start = end + 1;
  }
  const double t1 = cpuMs();
  ASSERT_GT(all.size(), 100000u);

  constexpr size_t kLookups = 800000;
  TestModule m;
  const double t2 = cpuMs();
  for (size_t i = 0; i < kLookups; ++i) FastWord(m, all[i % all.size()]);
  const double t3 = cpuMs();

  // The list walk over the first part of the same stream, for comparison.
  constexpr size_t kWalked = 50000;
  TestModule w;
  const double t4 = cpuMs();
  for (size_t i = 0; i < kWalked; ++i) FindOrAddWordLiteral(w, all[i % all.size()]);
  const double t5 = cpuMs();
  TestModule f;
  for (size_t i = 0; i < kWalked; ++i) FastWord(f, all[i % all.size()]);
  ExpectSameDictionaries(f, w);

  std::printf(
      "corpus: %zu words tokenized in %.1f ms of processor time\n"
      "fast lookup: %zu lookups, %d entries, %.1f ms\n"
      "list walk: %zu lookups, %d entries, %.1f ms\n",
      all.size(), t1 - t0, kLookups, m.wordCount, t3 - t2, kWalked, w.wordCount, t5 - t4);
}

TEST(ApplyCasePreferenceTest, MovesTowardsLowerCase) {
  struct Case {
    const char* stored;
    const char* met;
    const char* result;
  };
  const Case cases[] = {
      {"And", "and", "and"},
      {"and", "And", "and"},
      {"LORD", "Lord", "Lord"},
      {"Lord", "lord", "lord"},
      {"GOD", "God", "God"},
      {"god", "GOD", "god"},
      {"same", "same", "same"},
      // Only the first difference decides; the rest of the met form is copied.
      {"LORD", "LoRd", "LoRd"},
      {"LoRD", "LORD", "LoRD"},
      {"ÉLAN", "éLAN", "éLAN"},
      {"ΣΟΦΙΑ", "σοφια", "σοφια"},
      // The lower case of Σ is σ, not the final ς.
      {"ΛΟΓΟΣ", "ΛΟΓΟς", "ΛΟΓΟΣ"},
  };
  for (const Case& c : cases) {
    std::u16string stored = U16(c.stored);
    stored.push_back(0);
    stored.push_back(u'x');  // beyond the terminator: never touched
    ApplyCasePreference(stored.data(), U16(c.met));
    const std::u16string expected = U16(c.result) + char16_t{0} + u"x";
    EXPECT_EQ(U8(stored), U8(expected)) << c.stored << " met " << c.met;
  }
}

}  // namespace
}  // namespace quillavor
