// The module checker over hand-built modules: a consistent module passes,
// single corrupted fields are reported with block, record and field, and no
// truncation or byte flip of an image makes the reader or the checker crash.
#include "reader/module_checker.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <optional>

#include "model/module.h"
#include "model/module_format.h"
#include "output/module_writer.h"
#include "platform/text.h"
#include "support/test_support.h"

namespace quillavor {
namespace {

using testing::U16;

// Builds a small module by hand under the rules the compiler follows: header
// books linked by name, verses chained per book, a sorted word dictionary with
// occurrence lists in text order, the Concordance books, images placed by the
// pool finaliser. Verses may be indexed from a text other than the one stored,
// to model links resolved or removed after the verse was indexed.
class ModuleMaker {
 public:
  ModuleMaker() {
    m_.name = u"Test";
    m_.AddString(u"Test");
    m_.AddString(u"T");
  }

  Module& module() { return m_; }
  // What a build would know of the verses changed after indexing.
  const std::vector<int32_t>& changedAfterIndexing() const { return changedAfterIndexing_; }

  int32_t Book(std::u16string_view name, std::u16string_view title,
               std::optional<std::u16string> note = std::nullopt) {
    const int32_t titleIndex = m_.AddString(title);
    const int32_t noteIndex = note ? m_.AddString(*note) : kNone;
    const int32_t k = m_.FindOrAddBookName(name);
    const int32_t b = m_.books.Append(m_.bookCount, kBookGrowth);
    m_.books[b] = BookRecord{kNone,     kNone, kNone, kNone, titleIndex,
                             noteIndex, kNone, kNone, k,     kBookPlainLayout};
    format::ChainBook(
        m_.books, [&](int32_t n) -> int32_t& { return m_.bookNames[n].lastBook; }, k, b);
    return b;
  }

  // A verse of the latest book. `indexedText`: the text as the indexer saw it
  // (default: the stored text); nullopt `index`: the verse is not indexed.
  int32_t Verse(std::u16string_view stored, bool index = true,
                std::optional<std::u16string> indexedText = std::nullopt, int32_t label = kNone) {
    const int32_t text = m_.AddString(stored);
    const int32_t v = m_.verses.Append(m_.verseCount, kVerseGrowth);
    const int32_t book = m_.bookCount - 1;
    m_.verses[v] = VerseRecord{book, label, text, kNone};
    if (v > 0 && m_.verses[v - 1].book == book) m_.verses[v - 1].next = v;
    if (m_.books[book].firstText == kNone) m_.books[book].firstText = v;
    if (index) IndexText(v, indexedText ? *indexedText : std::u16string(stored));
    // A shorter stored text models a link removed after indexing.
    if (indexedText && indexedText->size() != stored.size()) changedAfterIndexing_.push_back(text);
    return v;
  }

  // An image whose entry the "<image=" field at `fieldPosition` will name.
  void Image(std::vector<uint8_t> bytes, std::vector<int32_t> fieldPositions) {
    m_.images.SetLength(m_.images.Length() + 1);
    ImageRecord& image = m_.images[m_.images.Length() - 1];
    image.length = static_cast<int32_t>(bytes.size());
    image.paddedLength = (image.length + 3) / 4 * 4;
    bytes.resize(static_cast<size_t>(image.paddedLength));
    image.data = std::move(bytes);
    image.usePositions = std::move(fieldPositions);
    image.useCount = static_cast<int32_t>(image.usePositions.size());
  }

  // Dictionary, occurrence lists, Concordance, pool finalisation.
  std::vector<uint8_t> Finish(std::u16string_view concordanceTitle = u"Concordance") {
    if (!tokens_.empty()) {
      // Entry 0 is the sentinel; then the words in order of first appearance.
      std::map<std::u16string, int32_t> entryOf;
      std::vector<std::u16string> upper{u"\uFFFF\uFFFF\uFFFF"};
      auto add = [&](std::u16string_view spelling) {
        const int32_t e = m_.words.Append(m_.wordCount, kDictGrowth);
        m_.words[e] = DictEntry{m_.AddString(spelling), kNone, kNone, kNone, 0};
        return e;
      };
      add(u"\uFFFF\uFFFF\uFFFF");
      for (const Token& t : tokens_) {
        const std::u16string key = text::ToUpperInvariant(t.text);
        if (!entryOf.count(key)) {
          entryOf[key] = add(t.text);
          upper.push_back(key);
        }
      }
      // Sorted order over the links.
      std::vector<int32_t> order;
      for (int32_t e = 0; e < m_.wordCount; ++e) order.push_back(e);
      std::sort(order.begin(), order.end(),
                [&](int32_t a, int32_t b) {
                  return upper[static_cast<size_t>(a)] < upper[static_cast<size_t>(b)];
                });
      for (size_t i = 0; i < order.size(); ++i) {
        m_.words[order[i]].prev = i > 0 ? order[i - 1] : kNone;
        m_.words[order[i]].next = i + 1 < order.size() ? order[i + 1] : kNone;
      }
      m_.wordFirst = order.front();
      m_.wordLast = 0;
      // Occurrences in text order, each list linked forward.
      std::map<int32_t, int32_t> lastRef;
      for (const Token& t : tokens_) {
        const int32_t e = entryOf[text::ToUpperInvariant(t.text)];
        const int32_t r = m_.wordRefs.Append(m_.wordRefCount, kWordRefGrowth);
        m_.wordRefs[r] = WordRef{kNone, t.verse, PackWordPosition(t.offset, t.ordinal)};
        if (lastRef.count(e)) {
          m_.wordRefs[lastRef[e]].next = r;
        } else {
          m_.words[e].firstRef = r;
        }
        lastRef[e] = r;
        ++m_.tokenTotal;
      }
      // Concordance: the name chains are cut, then a title book and one
      // letter book per upper-cased first character.
      m_.bookNames[0].lastBook = kNone;
      if (m_.bookNameCount > 1) m_.bookNames[1].lastBook = kNone;
      const int32_t title = m_.books.Append(m_.bookCount, kBookGrowth);
      m_.books[title] = BookRecord{kNone, kNone, kNone, kNone, m_.AddString(concordanceTitle),
                                   kNone, kNone, 0,     0,     0};
      m_.bookNames[0].lastBook = title;
      char16_t letter = 0;
      for (int32_t e = m_.wordFirst; e != m_.wordLast; e = m_.words[e].next) {
        const char16_t c = upper[static_cast<size_t>(e)][0];
        if (c != letter) {
          if (m_.bookNameCount < 2) m_.FindOrAddBookName(u"Letter");
          const int32_t prevLetter = m_.bookNames[1].lastBook;
          const int32_t b = m_.books.Append(m_.bookCount, kBookGrowth);
          m_.books[b] =
              BookRecord{prevLetter, kNone, title, kNone, m_.AddString(std::u16string(1, c)),
                         kNone,      kNone, 0,     1,     0};
          if (m_.books[title].nextName == kNone) m_.books[title].nextName = b;
          m_.bookNames[1].lastBook = b;
          letter = c;
        }
        m_.words[e].letterBook = m_.bookNames[1].lastBook;
      }
    }
    m_.FinalizePool();
    return AssembleImage(m_);
  }

 private:
  struct Token {
    std::u16string text;
    int32_t verse;
    uint32_t offset;
    uint32_t ordinal;
  };

  // Words as the indexer finds them: letters outside tags and footnote
  // markers, a leading number dropped; offsets searched from the previous one.
  void IndexText(int32_t v, std::u16string_view text) {
    std::u16string p(text::TrimView(text));
    for (size_t at; (at = p.find(u"<sc>")) != std::u16string::npos;) p.erase(at, 4);
    size_t i = 0;
    while (i < p.size() && p[i] >= u'0' && p[i] <= u'9') ++i;
    uint32_t ordinal = 0;
    size_t search = 0;
    while (i < p.size()) {
      if (p[i] == u'<' && p.find(u'>', i) != std::u16string::npos) {
        i = p.find(u'>', i) + 1;
      } else if (p[i] == u'[' && i + 2 < p.size() && p[i + 2] == u']') {
        i += 3;
      } else if (text::IsAlpha(p[i])) {
        size_t j = i;
        while (j < p.size() && text::IsAlpha(p[j])) ++j;
        const std::u16string word = p.substr(i, j - i);
        const size_t o = p.find(word, search);
        search = o;
        tokens_.push_back(Token{word, v, static_cast<uint32_t>(o), ordinal++});
        i = j;
      } else {
        ++i;
      }
    }
  }

  Module m_;
  std::vector<int32_t> changedAfterIndexing_;
  std::vector<Token> tokens_;
};

// An encoded reference pair of a resolved "<A=" link.
std::u16string Pair(int kind, int32_t index, int32_t run = 1) {
  const auto pair = format::EncodePair(kind, index, run);
  return {pair[0], pair[1]};
}

// Where things stand in the sample module, for the corruption table.
struct Sample {
  std::vector<uint8_t> image;
  int32_t imageField = 0;    // pool index of the "<image=" number field
  int32_t encodedLink = 0;   // pool index of the "<" of the encoded link
  int32_t noteLink = 0;      // pool index of the "<" of the decimal link in a note
  int32_t footnoteLink = 0;  // pool index of the "<" of the footnote link
  int32_t sentinelText = 0;
  std::vector<int32_t> changedAfterIndexing;  // what the build knows of removed links
};

// Books: 0 "Genesis 1" (name Gen), 1 "Genesis 2" (Gen), 2 "Exodus 1" (Ex),
// then the Concordance title book 3 and its letter books.
Sample MakeSample() {
  ModuleMaker mk;
  Module& m = mk.module();
  Sample s;
  mk.Book(u"Gen", u"Genesis 1", u"See <a=\"17      \">Genesis 2</a>");
  s.noteLink = m.books[0].note + 4;
  const int32_t label = m.AddString(u"1");
  m.labelCount = 2;
  m.labelFirst = 1;
  m.labelLast = 0;
  mk.Verse(u"1 In the beginning God created", true, std::nullopt, label);
  mk.Verse(u"2 And God saw the L<sc>ORD</sc> light");
  mk.Book(u"Gen", u"Genesis 2");
  // Resolved after indexing: the word was found in the tag's value then.
  const std::u16string encoded = u"<a=" + Pair(1, 0) + Pair(2, 0, 2) + u"           >";
  const int32_t v2 = mk.Verse(u"1 " + encoded + u"Gen 1</a> Light shines", true,
                              u"1 <A=\"Gen 1:1-2\"    >Gen 1</a> Light shines");
  s.encodedLink = m.verses[v2].text + 2;
  // An unresolved link removed after indexing: the words moved left.
  mk.Verse(u"2 Then Nowhere came", true, u"2 Then <a=\"Nowhere\"      >Nowhere</a> came");
  const int32_t imageVerse = mk.Verse(u"<image=1       >", false);
  s.imageField = m.verses[imageVerse].text + 7;
  mk.Book(u"Ex", u"Exodus 1");
  const int32_t footnote = m.AddString(u"[a]. See <a=\"33      \">Exodus 1</a>");
  const std::string position = std::to_string(footnote + 5);
  const std::u16string fn =
      u"<f=\"" + U16(position) + std::u16string(8 - position.size(), u' ') + u"\">";
  const int32_t v5 = mk.Verse(u"1 \u00c9lan" + fn + u"[a]</a> of light", true);
  s.footnoteLink = m.verses[v5].text + 6;
  mk.Image({1, 2, 3, 4, 5}, {s.imageField});
  s.image = mk.Finish();
  s.sentinelText = m.words[0].text;
  s.changedAfterIndexing = mk.changedAfterIndexing();
  return s;
}

std::vector<std::string> Messages(const std::vector<Violation>& violations) {
  std::vector<std::string> out;
  for (const Violation& v : violations) out.push_back(v.ToString());
  return out;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) s += "\n  " + l;
  return s;
}

TEST(ModuleChecker, HandBuiltSampleIsValid) {
  Sample s = MakeSample();
  ModuleView view(s.image);
  EXPECT_EQ(Messages(CheckModule(view)), std::vector<std::string>{});
  // The sample has what the checks look at.
  EXPECT_EQ(view.books().size(), 4u + 11u);  // three header books, title, 11 letters
  EXPECT_GT(view.counters().wordRefCount, 15);
  EXPECT_LT(s.imageField, view.counters().poolLength);
}

TEST(ModuleChecker, EmptyCompiledModuleIsValid) {
  testing::ExpectModuleValid(testing::CompileToView(""));
  testing::ExpectModuleValid(testing::CompileToView("<Gen>Genesis 1\n1 In the beginning\n"));
}

// Byte offsets of records and counters inside an image.
class ImageEditor {
 public:
  explicit ImageEditor(std::vector<uint8_t> image) : image_(std::move(image)) {}

  int32_t Get(int64_t offset) const {
    int32_t v;
    std::memcpy(&v, image_.data() + offset, 4);
    return v;
  }
  void Set(int64_t offset, int32_t v) { std::memcpy(image_.data() + offset, &v, 4); }
  void SetUnit(int64_t poolIndex, char16_t c) {
    std::memcpy(image_.data() + format::kPoolOffset + 2 * poolIndex, &c, 2);
  }

  static int64_t Counter(int index) { return 8 + 4 * index; }
  // Offset of field `field` (0-based) of record `record` in block 3 to 7.
  int64_t Field(int block, int64_t record, int field) const {
    static constexpr int kSizes[] = {0, 4, 2, 8, 40, 16, 20, 12};
    int64_t at = format::kPoolOffset + 2 * int64_t{Get(Counter(0))};  // block 3 header
    for (int b = 3; b < block; ++b) at += 8 + int64_t{kSizes[b]} * Get(at + 4);
    return at + 8 + record * kSizes[block] + 4 * field;
  }

  const std::vector<uint8_t>& image() const { return image_; }

 private:
  std::vector<uint8_t> image_;
};

enum Block { kBookNames = 3, kBooks = 4, kVerses = 5, kWords = 6, kRefs = 7 };
// Field numbers.
enum BookField {
  kPrevSameName,
  kNextSameName,
  kPrevName,
  kNextName,
  kTitle,
  kNote,
  kAbbrev,
  kFirstText,
  kNameIndex,
  kBookFlags
};

struct Corruption {
  const char* name;
  std::function<void(ImageEditor&, const Sample&)> edit;
  std::vector<std::string> expected;  // every message, in order
};

TEST(ModuleChecker, ReportsEachCorruptedField) {
  const Sample sample = MakeSample();
  const ModuleView valid(sample.image);
  const int32_t bookCount = valid.counters().bookCount;
  // Words by text, occurrences by word.
  auto word = [&](std::u16string_view text) {
    for (size_t i = 0; i < valid.words().size(); ++i) {
      if (valid.String(valid.words()[i].text) == text) return static_cast<int32_t>(i);
    }
    ADD_FAILURE() << "no word " << testing::U8(text);
    return 0;
  };
  const int32_t god = word(u"God");
  const int32_t light = word(u"light");
  const int32_t godRef = valid.Word(god).firstRef;
  const int32_t created = word(u"created");  // one occurrence
  const int32_t createdRef = valid.Word(created).firstRef;
  const std::string B = std::to_string(bookCount);
  const std::string god_ = std::to_string(god);
  const std::string godRef_ = std::to_string(godRef);

  const std::vector<Corruption> table = {
      {"nextSameName out of range",
       [](ImageEditor& e, const Sample&) { e.Set(e.Field(kBooks, 0, kNextSameName), 40); },
       {"block 4 (books), record 0, field nextSameName: 40 out of range (bookCount " + B + ")"}},
      {"prevSameName lost",
       [](ImageEditor& e, const Sample&) { e.Set(e.Field(kBooks, 1, kPrevSameName), -1); },
       {"block 4 (books), record 1, field prevSameName: -1, expected 0 (the previous book with "
        "the same name)"}},
      {"nextName lost",
       [](ImageEditor& e, const Sample&) { e.Set(e.Field(kBooks, 1, kNextName), -1); },
       {"block 4 (books), record 1, field nextName: -1, expected 2 (the first later book whose "
        "prevName is this book)"}},
      {"prevName wrong",
       [](ImageEditor& e, const Sample&) { e.Set(e.Field(kBooks, 2, kPrevName), 0); },
       {"block 4 (books), record 2, field prevName: 0, expected 1 (the latest book of the "
        "previous name when this one was created)"}},
      {"letter book chained forwards",
       [](ImageEditor& e, const Sample&) { e.Set(e.Field(kBooks, 4, kNextSameName), 5); },
       {"block 4 (books), record 4, field nextSameName: 5, expected -1 (letter books are "
        "chained backwards only)"}},
      {"title book not pointing at the first letter",
       [](ImageEditor& e, const Sample&) { e.Set(e.Field(kBooks, 3, kNextName), 5); },
       {"block 4 (books), record 3, field nextName: 5, expected 4 (the title book points at "
        "the first letter book)"}},
      {"title book retitled",
       [](ImageEditor& e, const Sample&) {
         e.Set(e.Field(kBooks, 3, kTitle), e.Get(e.Field(kBooks, 0, kTitle)));
       },
       {"block 4 (books), record 3, field title: \"Genesis 1\", expected \"Concordance\" or "
        "\"Concordancia\" (the Concordance title book)"}},
      {"firstText wrong",
       [](ImageEditor& e, const Sample&) { e.Set(e.Field(kBooks, 0, kFirstText), 1); },
       {"block 4 (books), record 0, field firstText: 1, expected 0 (the first verse of the "
        "book)"}},
      {"book name chain not cut",
       [](ImageEditor& e, const Sample&) { e.Set(e.Field(kBookNames, 0, 1), 1); },
       {"block 3 (book names), record 0, field lastBook: 1, expected 3 (the last book with "
        "this name)"}},
      {"verse next lost",
       [](ImageEditor& e, const Sample&) { e.Set(e.Field(kVerses, 0, 3), -1); },
       {"block 5 (verses), record 0, field next: -1, expected 1 (the next verse of its book)"}},
      {"verse next crosses books",
       [](ImageEditor& e, const Sample&) { e.Set(e.Field(kVerses, 1, 3), 2); },
       {"block 5 (verses), record 1, field next: 2, expected -1 (the last verse of its book)"}},
      {"word next skips one",
       [&](ImageEditor& e, const Sample&) {
         e.Set(e.Field(kWords, god, 2), valid.Word(valid.Word(god).next).next);
       },
       {"block 6 (words), record " + god_ +
        ", field next: " + std::to_string(valid.Word(valid.Word(god).next).next) +
        ", expected " + std::to_string(valid.Word(god).next) + " (ascending upper-cased text)"}},
      {"letter book of another letter",
       [&](ImageEditor& e, const Sample&) {
         e.Set(e.Field(kWords, god, 4), valid.Word(light).letterBook);
       },
       {"block 6 (words), record " + god_ +
        ", field letterBook: " + std::to_string(valid.Word(light).letterBook) +
        " is titled \"L\", expected \"G\" (the word's upper-cased first character)"}},
      {"letter book a header book",
       [&](ImageEditor& e, const Sample&) { e.Set(e.Field(kWords, god, 4), 2); },
       {"block 6 (words), record " + god_ +
        ", field letterBook: 2 is not a Concordance letter "
        "book"}},
      {"occurrence offset moved on",
       [&](ImageEditor& e, const Sample&) {
         e.Set(e.Field(kRefs, godRef, 2), static_cast<int32_t>(PackWordPosition(5, 3)));
       },
       {"block 7 (occurrences), record " + godRef_ + ", field position: word " + god_ +
        " \"God\" is not at offset 5 of verse 0's prepared text"}},
      {"occurrence in the verse of the next one",
       // "God": verse 0 ordinal 3, then verse 1 ordinal 1.
       [&](ImageEditor& e, const Sample&) { e.Set(e.Field(kRefs, godRef, 1), 1); },
       {"block 7 (occurrences), record " + godRef_ + ", field position: word " + god_ +
            " \"God\" is not at offset 19 of verse 1's prepared text",
        "block 7 (occurrences), record " + godRef_ +
            ", field next: " + std::to_string(valid.Ref(godRef).next) +
            " has ordinal 1, not after ordinal 3 in verse 1 (occurrences are in text order)",
        "block 5 (verses), record 0: its occurrences carry ordinals that are not 0 to 3 "
        "(ordinal 3 missing)",
        "block 5 (verses), record 1: its occurrences carry ordinals that are not 0 to 6 "
        "(ordinal 3 repeated)"}},
      {"occurrence list loops",
       [&](ImageEditor& e, const Sample&) {
         const int32_t second = valid.Ref(godRef).next;
         e.Set(e.Field(kRefs, second, 0), godRef);
       },
       {"block 7 (occurrences), record " + std::to_string(valid.Ref(godRef).next) +
        ", field next: " + godRef_ + " is already in the list of word " + god_ +
        " (the list loops)"}},
      {"labelLast",
       [](ImageEditor& e, const Sample&) { e.Set(ImageEditor::Counter(8), 7); },
       {"block 1 (counters), field labelLast: 7, expected 0 (the sentinel sorts last)"}},
      {"wordFirst",
       [&](ImageEditor& e, const Sample&) { e.Set(ImageEditor::Counter(9), god); },
       {"block 1 (counters), field wordFirst: " + god_ + ", expected " +
        std::to_string(valid.counters().wordFirst) + " (the word that sorts first)"}},
      {"unknown flag",
       [](ImageEditor& e, const Sample&) { e.Set(ImageEditor::Counter(12), 8); },
       {"block 1 (counters), field flags: unknown bits set (8; only 487 may be set)"}},
      {"word without occurrences",
       [&](ImageEditor& e, const Sample&) { e.Set(e.Field(kWords, created, 3), -1); },
       {"block 6 (words), record " + std::to_string(created) +
            ", field firstRef: -1, but every word has at least one occurrence",
        "block 7 (occurrences), record " + std::to_string(createdRef) +
            ": the occurrence is in no word's list"}},
      {"sentinel with a letter book",
       [](ImageEditor& e, const Sample&) { e.Set(e.Field(kWords, 0, 4), 4); },
       {"block 6 (words), record 0, field letterBook: 4, expected 0 (the sentinel is listed "
        "under no letter)"}},
      {"unknown book flag",
       [](ImageEditor& e, const Sample&) { e.Set(e.Field(kBooks, 1, kBookFlags), 8 | 2); },
       {"block 4 (books), record 1, field bookFlags: unknown bits set (10)"}},
      {"image field not a number",
       [](ImageEditor& e, const Sample& s) { e.SetUnit(s.imageField + 1, u'x'); },
       {}},  // filled in below
      {"sentinel text",
       [](ImageEditor& e, const Sample& s) { e.SetUnit(s.sentinelText + 2, u'Z'); },
       {"block 6 (words), record 0, field text: \"\\uFFFF\\uFFFFZ\", expected the sentinel text "
        "U+FFFF U+FFFF U+FFFF"}},
      {"decimal link of kind 3",
       [](ImageEditor& e, const Sample& s) { e.SetUnit(s.noteLink + 5, u'9'); },
       {"block 4 (books), record 0, field note: link at pool index " +
        std::to_string(sample.noteLink) + ": reference 19 has kind 3 (1 book, 2 verse)"}},
  };

  for (Corruption c : table) {
    SCOPED_TRACE(c.name);
    ImageEditor editor(sample.image);
    c.edit(editor, sample);
    const std::vector<std::string> got =
        Messages(CheckModuleImage(editor.image(), &sample.changedAfterIndexing));
    if (c.expected.empty()) {
      std::string field = testing::U8(valid.String(sample.imageField).substr(0, 8));
      field[1] = 'x';
      c.expected = {"block 5 (verses), record 4, field text: \"<image=\" field at pool index " +
                    std::to_string(sample.imageField) + " holds \"" + field + "\", not a position"};
    }
    EXPECT_EQ(got, c.expected) << Joined(got);
  }
}

// Messages whose numbers the table cannot spell out beforehand.
TEST(ModuleChecker, MessagesNameTheFault) {
  const Sample sample = MakeSample();
  auto check = [&](const std::function<void(ImageEditor&)>& edit) {
    ImageEditor e(sample.image);
    edit(e);
    return Messages(CheckModuleImage(e.image(), &sample.changedAfterIndexing));
  };
  const ModuleView valid(sample.image);
  const int32_t P = valid.counters().poolLength;

  std::vector<std::string> got = check([](ImageEditor& e) {
    e.Set(e.Field(kBooks, 2, kTitle), e.Get(e.Field(kBooks, 2, kTitle)) + 2);
  });
  EXPECT_EQ(got, std::vector<std::string>{"block 4 (books), record 2, field title: " +
                                          std::to_string(valid.books()[2].title + 2) +
                                          " is not the start of a pool string"});

  got = check([](ImageEditor& e) { e.Set(e.Field(kVerses, 1, 2), 1 << 20); });
  EXPECT_EQ(got[0], "block 5 (verses), record 1, field text: 1048576 out of range (poolLength " +
                        std::to_string(P) + ")");

  got = check(
      [](ImageEditor& e) { e.Set(ImageEditor::Counter(11), e.Get(ImageEditor::Counter(11)) + 1); });
  EXPECT_EQ(got, std::vector<std::string>{"block 1 (counters), field tokenTotal: " +
                                          std::to_string(valid.counters().tokenTotal + 1) +
                                          " differs from wordRefCount " +
                                          std::to_string(valid.counters().wordRefCount) +
                                          " (one occurrence is stored per word token)"});

  // The image field: its number is the position of the only image entry,
  // which follows the pool text.
  const int32_t entry = P - (8 + 8) / 2;
  EXPECT_EQ(testing::U8(valid.String(sample.imageField).substr(0, 8)),
            (std::to_string(entry) + "        ").substr(0, 8));
  got = check([&](ImageEditor& e) { e.SetUnit(sample.imageField + 1, u'9'); });
  std::string changed = std::to_string(entry);
  changed[1] = '9';
  EXPECT_EQ(got, std::vector<std::string>{
                     "block 5 (verses), record 4, field text: \"<image=\" field at pool index " +
                     std::to_string(sample.imageField) + " holds " + changed +
                     ", not the position of an image entry (no image area found)"});

  got = check([&](ImageEditor& e) {
    const std::u16string p = Pair(2, 40);
    e.SetUnit(sample.encodedLink + 5, p[0]);
    e.SetUnit(sample.encodedLink + 6, p[1]);
  });
  EXPECT_EQ(got, std::vector<std::string>{
                     "block 5 (verses), record 2, field text: link at pool index " +
                     std::to_string(sample.encodedLink) +
                     ": encoded pair 1 names verse 40, out of range (verseCount 6)"});

  got = check([&](ImageEditor& e) {
    for (int k = 0; k < 8; ++k) e.SetUnit(sample.footnoteLink + 4 + k, u'9');
  });
  EXPECT_EQ(got, std::vector<std::string>{
                     "block 5 (verses), record 5, field text: link at pool index " +
                     std::to_string(sample.footnoteLink) +
                     ": footnote position 99999999 out of range (the pool text ends at " +
                     std::to_string(entry) + ")"});

  // A verse pair naming a verse of another book.
  got = check([&](ImageEditor& e) {
    const std::u16string p = Pair(2, 4);
    e.SetUnit(sample.encodedLink + 5, p[0]);
    e.SetUnit(sample.encodedLink + 6, p[1]);
  });
  EXPECT_EQ(got,
            std::vector<std::string>{"block 5 (verses), record 2, field text: link at pool index " +
                                     std::to_string(sample.encodedLink) +
                                     ": encoded pair 1 names verse 4 of book 1, not of book 0"});
}

// Output the compiler legitimately writes, each case once: an image whose
// only reference is in a line the compiler does not read references in, a
// reference field too short to be filled, a verse text after a byte-order
// mark, "<refrain>" and blanks, a word beyond the offset cap, a Spanish
// Concordance title, and a module without words (no Concordance).
TEST(ModuleChecker, AcceptsWhatTheCompilerLegitimatelyWrites) {
  {
    ModuleMaker mk;
    Module& m = mk.module();
    mk.Book(u"Gen", u"Genesis 1");
    // Not at the text start after a known tag: the field keeps its number.
    mk.Verse(u"See <image=1       >", false);
    const int32_t shortField = mk.Verse(u"<image=1>", false);
    mk.Image({9, 9, 9}, {m.verses[shortField].text + 7});
    const int32_t line = m.AddString(u"\uFEFF<ReFrain>  Glory be");
    const int32_t v = m.verses.Append(m.verseCount, kVerseGrowth);
    m.verses[v] = VerseRecord{0, kNone, line + 12, kNone};
    m.verses[v - 1].next = v;
    std::u16string longText = u"1 Start " + std::u16string(131080, u'.') + u" far away";
    mk.Verse(longText);
    const std::vector<uint8_t> image = mk.Finish(u"Concordancia");
    ModuleView view(image);
    EXPECT_EQ(Messages(CheckModule(view)), std::vector<std::string>{});
    EXPECT_NE(view.counters().poolLength % 8, 0);  // W cannot be read off P
    bool capped = false;
    for (const WordRef& r : view.wordRefs()) capped |= WordOffset(r.position) == kMaxWordOffset;
    EXPECT_TRUE(capped);
  }
  {
    ModuleMaker mk;
    mk.Book(u"Gen", u"Genesis 1");
    mk.Verse(u"1 12 34", true);  // a leading number, then no letters: no words
    ModuleView view(mk.Finish());
    EXPECT_EQ(view.counters().wordCount, 0);
    EXPECT_EQ(Messages(CheckModule(view)), std::vector<std::string>{});
  }
}

// Decimal link values in a verse of book 1 (two books, three verses): each
// form, references of both kinds, and values the reader could not follow.
TEST(ModuleChecker, DecimalLinkValues) {
  struct Case {
    std::u16string value;
    std::string message;  // empty: valid
  };
  const std::vector<Case> cases = {
      {u"17      ", ""},  // book 1
      {u"1#18    ", ""},  // book 0, child book 1
      {u"1#34    ", ""},  // book 0, verse 2
      {u"1R17    ", ""},  // book 0, context book 1
      {u"1#34R17 ", ""},  // all three
      {u"33      ", ": book reference 33 names book 2, out of range (bookCount 2)"},
      {u"2       ", ": reference 2 names a verse where a book is expected"},
      {u"1#50    ", ": verse reference 50 names verse 3, out of range (verseCount 3)"},
      {u"1R2     ", ": reference 2 names a verse where a book is expected"},
      {u"1#0     ", ": reference 0 has kind 0 (1 book, 2 verse)"},
      {u"1#R17   ",
       ": resolved value \"1#R17   \" is not \"%d\", \"%d#%d\", \"%dR%d\" or "
       "\"%d#%dR%d\""},
      {u"1 2     ",
       ": resolved value \"1 2     \" is not \"%d\", \"%d#%d\", \"%dR%d\" or "
       "\"%d#%dR%d\""},
      {u"99999999999",
       ": resolved value \"99999999999\" is not \"%d\", \"%d#%d\", "
       "\"%dR%d\" or \"%d#%dR%d\""},
      {u"Key 12  ", ""},  // not a link
      {u"        ", ""},  // unresolved: not a reference yet
      {u"Genesis ", ""},  // text, not a resolved value
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::U8(c.value));
    ModuleMaker mk;
    Module& m = mk.module();
    mk.Book(u"Gen", u"Genesis 1");
    mk.Verse(u"1 Alpha", false);
    mk.Verse(u"2 Beta", false);
    mk.Book(u"Gen", u"Genesis 2");
    const int32_t v = mk.Verse(u"1 <a=\"" + c.value + u"\">See</a>", false);
    const std::vector<std::string> got = Messages(CheckModule(ModuleView(mk.Finish())));
    if (c.message.empty()) {
      EXPECT_EQ(got, std::vector<std::string>{});
    } else {
      EXPECT_EQ(got, std::vector<std::string>{"block 5 (verses), record 2, field text: link at "
                                              "pool index " +
                                              std::to_string(m.verses[v].text + 2) + c.message});
    }
  }
}

// A header the reader rejects is one violation carrying the reader's message.
TEST(ModuleChecker, ReaderRejectionIsOneViolation) {
  std::vector<uint8_t> image = MakeSample().image;
  image.push_back(0);
  EXPECT_EQ(Messages(CheckModuleImage(image)),
            std::vector<std::string>{"the image holds 1 bytes after block 7"});
}

// No truncation and no byte flip makes the reader or the checker crash or
// throw anything but the reader's FormatError.
TEST(ModuleChecker, TruncationsAndByteFlipsNeverCrash) {
  const std::vector<uint8_t> image = MakeSample().image;
  for (size_t n = 0; n < image.size(); ++n) {
    std::vector<uint8_t> cut(image.begin(), image.begin() + static_cast<ptrdiff_t>(n));
    EXPECT_FALSE(CheckModuleImage(cut).empty()) << "truncated to " << n;
  }
  size_t flagged = 0, flips = 0;

  for (size_t i = 0; i < image.size(); ++i) {
    for (const uint8_t mask : {uint8_t{0x01}, uint8_t{0x80}, uint8_t{0xFF}}) {
      std::vector<uint8_t> bad = image;
      bad[i] = static_cast<uint8_t>(bad[i] ^ mask);
      std::vector<Violation> v;
      EXPECT_NO_THROW(v = CheckModuleImage(bad)) << "byte " << i << " ^ " << int{mask};
      ++flips;
      if (!v.empty()) ++flagged;
    }
  }
  // Most flips land in checked fields or text; the rest hit image bytes,
  // titles, flag bits, the label counters or the offset of a verse's last
  // word, none of which the checks can tell from valid values.
  EXPECT_GT(flagged * 10, flips * 8) << flagged << " of " << flips;
}

}  // namespace
}  // namespace quillavor

namespace quillavor {
namespace {

// A link removed before an image reference moves the reference's field: the
// pool finaliser leaves the moved field alone, holding the image's number.
TEST(ModuleChecker, AcceptsAnImageFieldMovedByALinkRemoval) {
  const ModuleView view = testing::CompileToView(
      "<Gen>Genesis 1\n<i>See <a=\"Nowhere\">there</a> <image=        >QUJD</image>\n");
  ASSERT_EQ(view.verses().size(), 1u);
  EXPECT_EQ(view.String(view.verses()[0].text), u"<i>See there <image=1       >");
  testing::ExpectModuleValid(view);

  // The first image is named in a book header, which no verse field counts:
  // the moved field's number 2 is still an image of the module.
  const ModuleView header =
      testing::CompileToView("<<image=        >\n<p><a=\"><image=        >");
  ASSERT_EQ(header.verses().size(), 1u);
  EXPECT_EQ(header.String(header.verses()[0].text), u"<p><image=2       >");
  // A number beyond every reference in the pool (the header line's text is
  // there twice: as the line and as the book name) is still reported.
  ImageEditor editor(std::vector<uint8_t>(header.image().begin(), header.image().end()));
  const int32_t field = header.verses()[0].text + 10;
  editor.SetUnit(field, u'4');
  const std::vector<std::string> got = Messages(CheckModuleImage(editor.image()));
  ASSERT_EQ(got.size(), 1u) << Joined(got);
  EXPECT_NE(got[0].find("field at pool index " + std::to_string(field) +
                        " holds 4, not the position of an image entry"),
            std::string::npos)
      << got[0];
}

}  // namespace
}  // namespace quillavor

namespace quillavor {
namespace {

// A verse whose whole text was an unclosed link tag is left empty once the
// link is removed; a removal may also leave the text starting with a blank.
TEST(ModuleChecker, AcceptsVerseTextsThatALinkRemovalEmptied) {
  const ModuleView emptied = testing::CompileToView("<>\n<A=\">");
  ASSERT_EQ(emptied.verses().size(), 1u);
  EXPECT_EQ(emptied.String(emptied.verses()[0].text), u"");
  const ModuleView blank = testing::CompileToView("<B>t\n<A=\"Nowhere\">x</a> see\n");
  ASSERT_EQ(blank.verses().size(), 1u);
  EXPECT_EQ(blank.String(blank.verses()[0].text), u"x see");
  testing::ExpectModuleValid(emptied);
  testing::ExpectModuleValid(blank);
}

// An unclosed link tag followed by "<sc>": the indexer removes "<sc>", finds
// no ">" and indexes the tag's text as words; removing the unresolved link
// then deletes through the ">" of "<sc>", and those words with it. Each such
// word leaves the verse with one occurrence more than it has words; a word
// missing without that surplus is reported.
TEST(ModuleChecker, WordsDeletedByALinkRemovalAreAcceptedOnlyWithTheirSurplus) {
  const ModuleView compiled =
      testing::CompileToView("<B>t\n<A=\"n the fac<sc> the deep.\n");
  ASSERT_EQ(compiled.verses().size(), 1u);
  EXPECT_EQ(compiled.String(compiled.verses()[0].text), u" the deep.");
  EXPECT_GT(compiled.counters().wordRefCount, 2);
  testing::ExpectModuleValid(compiled);

  ModuleMaker removed;
  removed.Book(u"Gen", u"Genesis 1");
  removed.Verse(u" the deep.", true, u"<A=\"n fac the deep.");
  EXPECT_EQ(Messages(CheckModule(ModuleView(removed.Finish()))), std::vector<std::string>{});

  // Same count of words and occurrences: "fac" cannot have been removed.
  ModuleMaker damaged;
  damaged.Book(u"Gen", u"Genesis 1");
  damaged.Verse(u"the deep", true, u"fac deep");
  const ModuleView view(damaged.Finish());
  int32_t fac = 0;
  for (size_t i = 0; i < view.words().size(); ++i) {
    if (view.String(view.words()[i].text) == u"fac") fac = static_cast<int32_t>(i);
  }
  ASSERT_GT(fac, 0);
  EXPECT_EQ(Messages(CheckModule(view)),
            std::vector<std::string>{"block 7 (occurrences), record " +
                                     std::to_string(view.Word(fac).firstRef) +
                                     ", field position: word " + std::to_string(fac) +
                                     " \"fac\" is not in verse 0's prepared text (1 missing "
                                     "words, but the verse has 2 occurrences for 2 words: a "
                                     "removed link explains at most 0)"});
}

}  // namespace
}  // namespace quillavor

namespace quillavor {
namespace {

// The offset search may meet a word's text inside a link tag that is removed
// later ("<A=\">" then "<A": the word "A" is recorded inside the first tag),
// so the word ends up after its offset. A module file does not say which
// verses lost a link, so the file check accepts that; the build knows, and
// with its list only those verses are let off.
TEST(ModuleChecker, WhatTheBuildKnowsOfRemovedLinksNarrowsTheOffsetCheck) {
  CompileResult built = testing::CompileRun("<>\n<A=\">\xff<A");
  const std::unique_ptr<Module>& m = built.module;
  ASSERT_EQ(built.changedAfterIndexing, std::vector<int32_t>{m->verses[0].text});
  const ModuleView view(AssembleImage(*m));
  EXPECT_EQ(view.String(view.verses()[0].text), u"\uFFFD<A");
  EXPECT_EQ(WordOffset(view.wordRefs()[0].position), 1u);
  EXPECT_EQ(Messages(CheckModule(view)), std::vector<std::string>{});
  EXPECT_EQ(Messages(CheckModule(view, &built.changedAfterIndexing)), std::vector<std::string>{});
  const std::vector<int32_t> none;
  EXPECT_EQ(Messages(CheckModule(view, &none)),
            std::vector<std::string>{"block 7 (occurrences), record 0, field position: word 1 "
                                     "\"A\" is not at offset 1 of verse 0's prepared text"});
}

}  // namespace
}  // namespace quillavor

namespace quillavor {
namespace {

// A forward link whose tag has no ">" is resolved after its verse was
// indexed, and the indexer read the tag's value as words: resolution
// rewrites them. The build lists the verse; a file check sees the unclosed
// tag; a list that leaves the verse out makes the words damage.
TEST(ModuleChecker, ResolvingAnUnclosedLinkTagRewritesWordsTheIndexerSaw) {
  CompileResult built = testing::CompileRun(
      "BIBLE\n<Genesis>Genesis 1\n1 See <A=\"Genesis 2:1\"pc\n<Genesis>Genesis 2\n1 Light\n");
  const std::unique_ptr<Module>& m = built.module;
  ASSERT_EQ(built.changedAfterIndexing, std::vector<int32_t>{m->verses[0].text});
  const ModuleView view(AssembleImage(*m));
  EXPECT_EQ(view.String(view.verses()[0].text).substr(0, 9), u"1 See <a=");
  EXPECT_EQ(Messages(CheckModule(view)), std::vector<std::string>{});
  EXPECT_EQ(Messages(CheckModule(view, &built.changedAfterIndexing)), std::vector<std::string>{});
  const std::vector<int32_t> none;
  const std::vector<std::string> got = Messages(CheckModule(view, &none));
  ASSERT_EQ(got.size(), 3u) << Joined(got);  // "Genesis", "2", "1"pc"
  EXPECT_NE(got[0].find("\"Genesis\" is not in verse 0's prepared text (the build did not change "
                        "the verse's text)"),
            std::string::npos)
      << got[0];

  // A removal lists its verse; a closed tag resolved after indexing changes no
  // word, and its verse is not listed.
  CompileResult closed = testing::CompileRun(
      "BIBLE\n<Genesis>Genesis 1\n1 See <A=\"Genesis 2:1\">there</a> and <A=\"Nowhere 1\"><sc>x\n"
      "<Genesis>Genesis 2\n1 Light\n");
  ASSERT_EQ(closed.module->verseCount, 2);
  EXPECT_EQ(closed.changedAfterIndexing, std::vector<int32_t>{closed.module->verses[0].text});
  CompileResult resolvedOnly = testing::CompileRun(
      "BIBLE\n<Genesis>Genesis 1\n1 See <A=\"Genesis 2:1\">there</a>\n<Genesis>Genesis 2\n1 L\n");
  EXPECT_EQ(resolvedOnly.changedAfterIndexing, std::vector<int32_t>{});
  testing::ExpectModuleValid(closed);
  testing::ExpectModuleValid(resolvedOnly);

  // A ">" inside the quoted value ends the tag for the indexer, which indexes
  // "s"; the resolved value overwrites it.
  CompileResult inside = testing::CompileRun("<>\n<A=\"Gen 1:>s\"\n<>Genesis 1");
  ASSERT_EQ(inside.module->verseCount, 1);
  EXPECT_EQ(inside.changedAfterIndexing, std::vector<int32_t>{inside.module->verses[0].text});
  testing::ExpectModuleValid(inside);
}

}  // namespace
}  // namespace quillavor
