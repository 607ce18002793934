#include "reader/module_checker.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "index/tokenizer.h"
#include "index/word_index.h"
#include "markup/tags.h"
#include "platform/text.h"

namespace quillavor {

namespace {

constexpr std::string_view kCountersBlock = "block 1 (counters)";
constexpr std::string_view kBookNamesBlock = "block 3 (book names)";
constexpr std::string_view kBooksBlock = "block 4 (books)";
constexpr std::string_view kVersesBlock = "block 5 (verses)";
constexpr std::string_view kWordsBlock = "block 6 (words)";
constexpr std::string_view kRefsBlock = "block 7 (occurrences)";

// Every flag bit the flags word may carry.
constexpr uint32_t kKnownFlags = kFlagHymnal | kFlagInspiredVersion | kFlagBible |
                                 kFlagSuperscriptVerses | kFlagDoctrineAndCovenants |
                                 kFlagBookOfMormon | kFlagHelp;
constexpr int32_t kKnownBookFlags = kBookSuppress | kBookPlainLayout | kBookNoSibLink;

constexpr int kImageFieldWidth = 8;
constexpr std::u16string_view kSentinelText = u"\uFFFF\uFFFF\uFFFF";

std::string Quote(std::u16string_view s) {
  std::string out = "\"";
  for (char16_t c : s) {
    if (c < 0x20 || c >= 0xD800) {
      static const char* hex = "0123456789ABCDEF";
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += hex[(c >> shift) & 0xF];
    } else {
      out += text::EncodeUtf8(std::u16string_view(&c, 1));
    }
  }
  return out + "\"";
}

std::string N(int64_t v) { return std::to_string(v); }

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// The verse text as the word indexer prepared it (trimmed, every "<sc>"
// removed).
std::u16string PreparedText(std::u16string_view verseText) {
  std::u16string p;
  PrepareVerseText(verseText, p);
  return p;
}

// The tags of a text as the tokenizer sees them: a "<" with a ">" later,
// through the first following ">". Each span is [open, close].
std::vector<std::pair<size_t, size_t>> TagSpans(std::u16string_view s) {
  std::vector<std::pair<size_t, size_t>> spans;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != u'<') continue;
    const size_t close = s.find(u'>', i + 1);
    if (close == std::u16string_view::npos) break;
    spans.emplace_back(i, close);
    i = close;
  }
  return spans;
}

// True when the (upper-cased, prepared) text holds a link tag ("<A=", "<F=",
// "<M=", "<R=") with no ">" after it: the indexer read its value as words.
bool HasUnclosedLinkTag(std::u16string_view s) {
  for (size_t i = s.find(u'<'); i != std::u16string_view::npos; i = s.find(u'<', i + 1)) {
    if (i + 2 >= s.size() || s[i + 2] != u'=') continue;
    const char16_t letter = s[i + 1];
    if (letter != u'A' && letter != u'F' && letter != u'M' && letter != u'R') continue;
    if (s.find(u'>', i + 3) == std::u16string_view::npos) return true;
  }
  return false;
}

bool InsideTag(const std::vector<std::pair<size_t, size_t>>& spans, size_t offset) {
  auto it =
      std::upper_bound(spans.begin(), spans.end(), offset,
                       [](size_t o, const std::pair<size_t, size_t>& t) { return o < t.first; });
  return it != spans.begin() && offset <= std::prev(it)->second;
}

// A reference number of a resolved link: index * 16 + kind.
struct RefNumber {
  int64_t value = 0;
  int kind() const { return static_cast<int>(value & 0xF); }
  int64_t index() const { return value >> 4; }
};

class Checker {
 public:
  Checker(const ModuleView& m, const std::vector<int32_t>* changedAfterIndexing)
      : m_(m),
        c_(m.counters()),
        pool_(m.pool()),
        poolSize_(static_cast<int64_t>(m.pool().size())),
        bookCount_(static_cast<int32_t>(m.books().size())),
        verseCount_(static_cast<int32_t>(m.verses().size())),
        wordCount_(static_cast<int32_t>(m.words().size())),
        refCount_(static_cast<int32_t>(m.wordRefs().size())),
        bookNameCount_(static_cast<int32_t>(m.bookNames().size())) {
    if (changedAfterIndexing != nullptr) {
      changedAfterIndexing_.emplace(changedAfterIndexing->begin(), changedAfterIndexing->end());
    }
  }

  std::vector<Violation> Run() {
    for (int64_t i = 0; i < poolSize_;) {
      if (pool_[static_cast<size_t>(i)] == 0) {
        ++i;
        continue;
      }
      const int64_t start = i;
      while (i < poolSize_ && pool_[static_cast<size_t>(i)] != 0) ++i;
      textRuns_.push_back(TextRun{static_cast<int32_t>(start), static_cast<int32_t>(i)});
    }
    CheckCounters();
    LocateImageArea();
    FindConcordance();
    CheckBookNamesAndBooks();
    CheckVerses();
    CheckWords();
    CheckOccurrences();
    CheckImageFields();
    CheckLinks();
    return std::move(out_);
  }

 private:
  void Add(std::string_view block, int64_t record, std::string_view field, std::string message) {
    if (out_.size() > kMaxViolations) return;
    if (out_.size() == kMaxViolations) {
      out_.push_back(Violation{"", -1, "", "too many violations; the check stopped reporting"});
      return;
    }
    out_.push_back(Violation{std::string(block), record, std::string(field), std::move(message)});
  }

  // ---- pool strings ----------------------------------------------------

  // Describes what is wrong with a pool index, or nothing. `mustStart`: the
  // index must be the first unit of a pool string (the unit before it is 0).
  std::optional<std::string> PoolIndexProblem(int32_t index, bool mustStart) const {
    if (index < 0 || index >= poolSize_) {
      return N(index) + " out of range (poolLength " + N(poolSize_) + ")";
    }
    if (index >= textEnd_) {
      return N(index) + " lies in the image area (the pool text ends at " + N(textEnd_) + ")";
    }
    if (mustStart && index > 0 && pool_[static_cast<size_t>(index) - 1] != 0) {
      return N(index) + " is not the start of a pool string";
    }
    if (StringEnd(index) < 0) {
      return N(index) + ": the string has no terminator before the end of the pool text (" +
             N(textEnd_) + ")";
    }
    return std::nullopt;
  }

  // Index of the terminator of the string at `index`, -1 if none before the
  // end of the pool text.
  int64_t StringEnd(int32_t index) const {
    const int64_t end = TerminatorFrom(index);
    return end < textEnd_ ? end : -1;
  }

  // The first 0 unit at or after `index`, poolSize_ when there is none. The
  // runs of non-zero units are listed once, so that damaged indexes cannot
  // make the check scan the pool again and again.
  int64_t TerminatorFrom(int64_t index) const {
    auto it = std::upper_bound(textRuns_.begin(), textRuns_.end(), index,
                               [](int64_t i, const TextRun& r) { return i < r.start; });
    if (it == textRuns_.begin()) return index;
    --it;
    return index < it->end ? it->end : index;
  }

  // The string at a valid index (checked with PoolIndexProblem first).
  std::u16string_view Str(int32_t index) const {
    const int64_t end = StringEnd(index);
    return std::u16string_view(pool_.data() + index, static_cast<size_t>(end - index));
  }

  bool ValidString(int32_t index, bool mustStart) const {
    return !PoolIndexProblem(index, mustStart).has_value();
  }

  // Reports a bad pool index field; true when the index is good.
  bool CheckPoolIndex(std::string_view block, int64_t record, std::string_view field, int32_t index,
                      bool mustStart) {
    if (auto problem = PoolIndexProblem(index, mustStart)) {
      Add(block, record, field, *problem);
      return false;
    }
    return true;
  }

  // ---- block 1 -----------------------------------------------------------

  void CheckCounters() {
    if (c_.labelCount < 0) {
      Add(kCountersBlock, -1, "labelCount", N(c_.labelCount) + " is negative");
    }
    CheckDictionaryEnds("label", c_.labelCount, c_.labelFirst, c_.labelLast);
    CheckDictionaryEnds("word", c_.wordCount, c_.wordFirst, c_.wordLast);
    if (c_.tokenTotal != c_.wordRefCount) {
      Add(kCountersBlock, -1, "tokenTotal",
          N(c_.tokenTotal) + " differs from wordRefCount " + N(c_.wordRefCount) +
              " (one occurrence is stored per word token)");
    }
    if ((c_.flags & ~kKnownFlags) != 0) {
      Add(kCountersBlock, -1, "flags",
          "unknown bits set (" + N(c_.flags) + "; only " + N(kKnownFlags) + " may be set)");
    }
  }

  void CheckDictionaryEnds(const std::string& which, int32_t count, int32_t first, int32_t last) {
    const std::string firstName = which + "First";
    const std::string lastName = which + "Last";
    if (count <= 0) {
      if (first != kNone)
        Add(kCountersBlock, -1, firstName, N(first) + ", expected -1 (no entries)");
      if (last != kNone) Add(kCountersBlock, -1, lastName, N(last) + ", expected -1 (no entries)");
      return;
    }
    if (first < 0 || first >= count) {
      Add(kCountersBlock, -1, firstName,
          N(first) + " out of range (" + which + "Count " + N(count) + ")");
    }
    if (last != 0) {
      Add(kCountersBlock, -1, lastName, N(last) + ", expected 0 (the sentinel sorts last)");
    }
  }

  // ---- block 2: where the pool text ends and the image entries begin -------

  // Position after the image entries starting at `position`, following the
  // entry lengths; -1 when an entry is malformed or runs past the pool.
  int64_t ChainEnd(int64_t position) {
    // Every entry position met on the walk shares its result, so each
    // position is walked over once however many fields name it.
    std::vector<int64_t> walked;
    int64_t q = position;
    int64_t end = -1;
    for (;;) {
      auto cached = chainEnds_.find(q);
      if (cached != chainEnds_.end()) {
        end = cached->second;
        break;
      }
      if (q == poolSize_) {
        end = poolSize_;
        break;
      }
      if (q < 0 || q + 4 > poolSize_ || pool_[static_cast<size_t>(q)] != 0 ||
          pool_[static_cast<size_t>(q) + 1] != 0) {
        break;
      }
      walked.push_back(q);
      q += EntryUnits(q);
    }
    for (int64_t w : walked) chainEnds_[w] = end;
    chainEnds_[position] = end;
    return end;
  }

  // Code units taken by the image entry at `q`: 8 header bytes and the image
  // bytes padded to a multiple of 4. The byte count is big-endian inside the
  // little-endian code units.
  int64_t EntryUnits(int64_t q) const {
    const char16_t hi = pool_[static_cast<size_t>(q) + 2];
    const char16_t lo = pool_[static_cast<size_t>(q) + 3];
    const uint32_t length = static_cast<uint32_t>(hi & 0xFF) << 24 |
                            static_cast<uint32_t>(hi >> 8) << 16 |
                            static_cast<uint32_t>(lo & 0xFF) << 8 | (lo >> 8);
    return (8 + (int64_t{length} + 3) / 4 * 4) / 2;
  }

  // An "<image=" reference as the line compiler records it in a verse line.
  struct ImageField {
    int32_t verse;
    int64_t position;              // pool index of the 8-unit number field
    bool intact;                   // 8 units without a terminator and ">" after them
    std::optional<int64_t> value;  // the decimal number left-aligned in the field
  };

  void LocateImageArea() {
    textEnd_ = poolSize_;
    for (int32_t v = 0; v < verseCount_; ++v) {
      const int32_t t = m_.verses()[static_cast<size_t>(v)].text;
      if (t < 0 || t >= poolSize_) continue;
      const int64_t end = TerminatorFrom(t);
      const std::u16string_view line(pool_.data() + t, static_cast<size_t>(end - t));
      size_t at = std::u16string_view::npos;
      if (line.starts_with(kImageTag)) {
        at = 0;
      } else if (std::any_of(kKnownTags.begin(), kKnownTags.end(),
                             [&](std::u16string_view tag) { return line.starts_with(tag); })) {
        at = line.find(kImageTag);
      }
      if (at == std::u16string_view::npos) continue;
      ImageField field{v, t + static_cast<int64_t>(at + kImageTag.size()), false, std::nullopt};
      const int64_t fieldEnd = field.position + kImageFieldWidth;
      field.intact = fieldEnd < end && pool_[static_cast<size_t>(fieldEnd)] == u'>';
      if (field.intact) field.value = FieldValue(field.position);
      imageFields_.push_back(field);
    }
    // The first image entry starts where the pool text ends; an image that no
    // verse names cannot be placed, so the smallest position named by a field
    // from which the entries run exactly to the end of the pool is taken.
    // Taking a later entry's position only widens the text area.
    for (const ImageField& f : imageFields_) {
      if (!f.value || *f.value <= f.position || *f.value >= poolSize_) continue;
      if (*f.value < textEnd_ && ChainEnd(*f.value) == poolSize_) textEnd_ = *f.value;
    }
    if (textEnd_ < poolSize_) {
      for (int64_t q = textEnd_; q < poolSize_; q += EntryUnits(q)) entryPositions_.insert(q);
    }
  }

  // "%d" left-aligned in the 8-unit field and filled with blanks.
  std::optional<int64_t> FieldValue(int64_t position) const {
    int64_t value = 0;
    int k = 0;
    for (; k < kImageFieldWidth && IsDigit(pool_[static_cast<size_t>(position + k)]); ++k) {
      value = value * 10 + (pool_[static_cast<size_t>(position + k)] - u'0');
    }
    if (k == 0) return std::nullopt;
    for (int j = k; j < kImageFieldWidth; ++j) {
      if (pool_[static_cast<size_t>(position + j)] != u' ') return std::nullopt;
    }
    return value;
  }

  int64_t ImageTagsInPool() {
    if (!imageTagsInPool_) {
      const std::u16string_view pool(pool_.data(), static_cast<size_t>(poolSize_));
      int64_t n = 0;
      for (size_t at = pool.find(kImageTag); at != std::u16string_view::npos;
           at = pool.find(kImageTag, at + 1)) {
        ++n;
      }
      imageTagsInPool_ = n;
    }
    return *imageTagsInPool_;
  }

  void CheckImageFields() {
    for (const ImageField& f : imageFields_) {
      if (!f.intact) continue;  // the pool finaliser leaves a broken field alone
      const std::u16string_view raw(pool_.data() + f.position, kImageFieldWidth);
      const std::string where = "\"<image=\" field at pool index " + N(f.position);
      // A field whose text moved (a link before it removed after the line was
      // compiled) is left alone by the pool finaliser and keeps the image
      // number the source loader wrote. The loader numbers every reference
      // of the source, also those in book headers and notes, so the number
      // of images is at least the number of references anywhere in the pool.
      const int64_t images = std::max({static_cast<int64_t>(entryPositions_.size()),
                                       static_cast<int64_t>(imageFields_.size()),
                                       ImageTagsInPool()});
      if (f.value && *f.value >= 1 && *f.value <= images && entryPositions_.count(*f.value) == 0) {
        continue;
      }
      if (!f.value) {
        Add(kVersesBlock, f.verse, "text", where + " holds " + Quote(raw) + ", not a position");
      } else if (textEnd_ == poolSize_ || entryPositions_.count(*f.value) == 0) {
        Add(kVersesBlock, f.verse, "text",
            where + " holds " + N(*f.value) + ", not the position of an image entry" +
                (textEnd_ < poolSize_ ? " (the image entries start at " + N(textEnd_) + ")"
                                      : " (no image area found)"));
      }
    }
  }

  // ---- Concordance books ---------------------------------------------------

  // With words in the dictionary, the Concordance title book (book name 0)
  // and its letter books (book name 1) are the last books of the table.
  void FindConcordance() {
    headerEnd_ = bookCount_;
    if (c_.wordCount < 1) return;
    int32_t b = bookCount_ - 1;
    while (b >= 0 && m_.books()[static_cast<size_t>(b)].nameIndex == 1) --b;
    if (b < 0 || m_.books()[static_cast<size_t>(b)].nameIndex != 0) {
      Add(kBooksBlock, -1, "",
          "the module has words but no Concordance title book (a last book with nameIndex 0 "
          "followed only by letter books with nameIndex 1)");
      return;
    }
    titleBook_ = b;
    headerEnd_ = b;
  }

  bool IsLetterBook(int32_t b) const { return titleBook_ >= 0 && b > titleBook_ && b < bookCount_; }

  // ---- blocks 3 and 4 ------------------------------------------------------

  // A record index field (-1 for none) that should hold `expected`: reported
  // as out of range of its table (`countName` `count`) or as the wrong record.
  void CompareIndex(std::string_view block, int64_t record, std::string_view field,
                    int32_t actual, int32_t expected, std::string_view countName, int32_t count,
                    std::string_view why) {
    if (actual == expected) return;
    if (actual != kNone && (actual < 0 || actual >= count)) {
      Add(block, record, field,
          N(actual) + " out of range (" + std::string(countName) + " " + N(count) + ")");
    } else {
      Add(block, record, field,
          N(actual) + ", expected " + N(expected) + " (" + std::string(why) + ")");
    }
  }

  void CompareLink(int64_t record, std::string_view field, int32_t actual, int32_t expected,
                   std::string_view why) {
    CompareIndex(kBooksBlock, record, field, actual, expected, "bookCount", bookCount_, why);
  }

  void CheckBookNamesAndBooks() {
    const auto& books = m_.books();
    const auto& names = m_.bookNames();
    // The links each book gets from the creation order: header books link to
    // the latest book of their own name and of the name before theirs.
    std::vector<int32_t> prevSame(books.size(), kNone), nextSame(books.size(), kNone),
        prevName(books.size(), kNone), nextName(books.size(), kNone);
    std::vector<bool> known(books.size(), true);
    std::vector<int32_t> last(names.size(), kNone);
    for (int32_t b = 0; b < headerEnd_; ++b) {
      const int32_t k = books[static_cast<size_t>(b)].nameIndex;
      if (k < 0 || k >= bookNameCount_) {
        Add(kBooksBlock, b, "nameIndex",
            N(k) + " out of range (bookNameCount " + N(bookNameCount_) + ")");
        known[static_cast<size_t>(b)] = false;
        continue;
      }
      const int32_t p = last[static_cast<size_t>(k)];
      prevSame[static_cast<size_t>(b)] = p;
      if (p != kNone) nextSame[static_cast<size_t>(p)] = b;
      if (k > 0) {
        const int32_t pn = last[static_cast<size_t>(k) - 1];
        prevName[static_cast<size_t>(b)] = pn;
        if (pn != kNone && nextName[static_cast<size_t>(pn)] == kNone) {
          nextName[static_cast<size_t>(pn)] = b;
        }
      }
      last[static_cast<size_t>(k)] = b;
    }
    if (titleBook_ >= 0) {
      if (bookNameCount_ < 1) {
        Add(kBookNamesBlock, -1, "", "the Concordance needs book name 0, but there is none");
      } else {
        last[0] = titleBook_;
      }
      const bool letters = titleBook_ + 1 < bookCount_;
      nextName[static_cast<size_t>(titleBook_)] = letters ? titleBook_ + 1 : kNone;
      for (int32_t b = titleBook_ + 1; b < bookCount_; ++b) {
        prevSame[static_cast<size_t>(b)] = b - 1 > titleBook_ ? b - 1 : kNone;
        prevName[static_cast<size_t>(b)] = titleBook_;
      }
      if (bookNameCount_ >= 2) {
        last[1] = letters ? bookCount_ - 1 : kNone;
      } else if (letters) {
        Add(kBookNamesBlock, -1, "",
            "the Concordance letter books need book name 1, but there is none");
      }
    }

    for (int32_t k = 0; k < bookNameCount_; ++k) {
      const BookNameRecord& r = names[static_cast<size_t>(k)];
      CheckPoolIndex(kBookNamesBlock, k, "name", r.name, true);
      CompareIndex(kBookNamesBlock, k, "lastBook", r.lastBook, last[static_cast<size_t>(k)],
                   "bookCount", bookCount_, "the last book with this name");
    }

    // The first verse of each book, from the verses' book fields.
    std::vector<int32_t> firstVerse(books.size(), kNone);
    for (int32_t v = verseCount_ - 1; v >= 0; --v) {
      const int32_t b = m_.verses()[static_cast<size_t>(v)].book;
      if (b >= 0 && b < bookCount_) firstVerse[static_cast<size_t>(b)] = v;
    }

    for (int32_t b = 0; b < bookCount_; ++b) {
      const BookRecord& r = books[static_cast<size_t>(b)];
      const bool concordance = titleBook_ >= 0 && b >= titleBook_;
      CheckPoolIndex(kBooksBlock, b, "title", r.title, true);
      if (concordance) {
        if (r.note != kNone)
          Add(kBooksBlock, b, "note", N(r.note) + ", expected -1 (a Concordance book)");
        if (r.abbrev != kNone) {
          Add(kBooksBlock, b, "abbrev", N(r.abbrev) + ", expected -1 (a Concordance book)");
        }
        if (r.firstText != 0) {
          Add(kBooksBlock, b, "firstText", N(r.firstText) + ", expected 0 (a Concordance book)");
        }
        if (r.bookFlags != 0) {
          Add(kBooksBlock, b, "bookFlags", N(r.bookFlags) + ", expected 0 (a Concordance book)");
        }
        if (b == titleBook_ && ValidString(r.title, true)) {
          const std::u16string_view title = Str(r.title);
          if (title != u"Concordance" && title != u"Concordancia") {
            Add(kBooksBlock, b, "title",
                Quote(title) +
                    ", expected \"Concordance\" or \"Concordancia\" (the Concordance title book)");
          }
        }
      } else {
        if (r.note != kNone) CheckPoolIndex(kBooksBlock, b, "note", r.note, true);
        if (r.abbrev != kNone) CheckPoolIndex(kBooksBlock, b, "abbrev", r.abbrev, true);
        CompareIndex(kBooksBlock, b, "firstText", r.firstText, firstVerse[static_cast<size_t>(b)],
                     "verseCount", verseCount_, "the first verse of the book");
        if ((r.bookFlags & ~kKnownBookFlags) != 0) {
          Add(kBooksBlock, b, "bookFlags", "unknown bits set (" + N(r.bookFlags) + ")");
        }
      }
      if (!known[static_cast<size_t>(b)]) continue;
      CompareLink(b, "prevSameName", r.prevSameName, prevSame[static_cast<size_t>(b)],
                  concordance ? "the previous Concordance letter book"
                              : "the previous book with the same name");
      CompareLink(b, "nextSameName", r.nextSameName, nextSame[static_cast<size_t>(b)],
                  concordance ? "letter books are chained backwards only"
                              : "the next book with the same name");
      CompareLink(b, "prevName", r.prevName, prevName[static_cast<size_t>(b)],
                  concordance ? "letter books point at the title book"
                              : "the latest book of the previous name when this one was created");
      CompareLink(b, "nextName", r.nextName, nextName[static_cast<size_t>(b)],
                  concordance ? "the title book points at the first letter book"
                              : "the first later book whose prevName is this book");
    }
  }

  // ---- block 5 ---------------------------------------------------------------

  // A verse's text starts a line, or follows the line's byte-order mark, a
  // "<refrain>" and blanks, which the line compiler steps over. (Removing an
  // unresolved link may leave the text empty or starting with a blank.)
  bool IsLineTextStart(int32_t index) const {
    int64_t i = index;
    while (i > 0 && pool_[static_cast<size_t>(i) - 1] == u' ') --i;
    constexpr std::u16string_view kRefrain = u"<refrain>";
    if (i >= static_cast<int64_t>(kRefrain.size())) {
      const int64_t at = i - static_cast<int64_t>(kRefrain.size());
      bool refrain = true;
      for (size_t k = 0; k < kRefrain.size() && refrain; ++k) {
        char16_t c = pool_[static_cast<size_t>(at) + k];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
        refrain = c == kRefrain[k];
      }
      if (refrain) i = at;
    }
    if (i > 0 && pool_[static_cast<size_t>(i) - 1] == 0xFEFF) --i;
    return i == 0 || pool_[static_cast<size_t>(i) - 1] == 0;
  }

  void CheckVerses() {
    const auto& verses = m_.verses();
    for (int32_t v = 0; v < verseCount_; ++v) {
      const VerseRecord& r = verses[static_cast<size_t>(v)];
      bool bookValid = true;
      if (r.book < 0 || r.book >= bookCount_) {
        Add(kVersesBlock, v, "book", N(r.book) + " out of range (bookCount " + N(bookCount_) + ")");
        bookValid = false;
      } else if (r.book >= headerEnd_) {
        Add(kVersesBlock, v, "book", N(r.book) + " is a Concordance book, which has no verses");
        bookValid = false;
      } else if (v > 0 && r.book < verses[static_cast<size_t>(v) - 1].book) {
        Add(kVersesBlock, v, "book",
            N(r.book) + " comes after verse " + N(v - 1) + " of book " +
                N(verses[static_cast<size_t>(v) - 1].book) + " (verses are stored in book order)");
      }
      if (r.label != kNone) CheckPoolIndex(kVersesBlock, v, "label", r.label, true);
      if (CheckPoolIndex(kVersesBlock, v, "text", r.text, false) && !IsLineTextStart(r.text)) {
        Add(kVersesBlock, v, "text",
            N(r.text) +
                " is not where a line's text starts (after a byte-order mark, "
                "\"<refrain>\" and blanks)");
      }
      const int32_t expected =
          bookValid && v + 1 < verseCount_ && verses[static_cast<size_t>(v) + 1].book == r.book
              ? v + 1
              : kNone;
      if (r.next != expected) {
        if (r.next != kNone && (r.next < 0 || r.next >= verseCount_)) {
          Add(kVersesBlock, v, "next",
              N(r.next) + " out of range (verseCount " + N(verseCount_) + ")");
        } else if (bookValid) {
          Add(kVersesBlock, v, "next",
              N(r.next) + ", expected " + N(expected) +
                  (expected == kNone ? " (the last verse of its book)"
                                     : " (the next verse of its book)"));
        }
      }
    }
  }

  // ---- block 6 -----------------------------------------------------------

  void CheckWords() {
    const auto& words = m_.words();
    if (wordCount_ == 0) return;
    // Sentinel.
    if (ValidString(words[0].text, true)) {
      if (Str(words[0].text) != kSentinelText) {
        Add(kWordsBlock, 0, "text",
            Quote(Str(words[0].text)) + ", expected the sentinel text U+FFFF U+FFFF U+FFFF");
      }
    }
    if (words[0].letterBook != 0) {
      Add(kWordsBlock, 0, "letterBook",
          N(words[0].letterBook) + ", expected 0 (the sentinel is listed under no letter)");
    }
    if (words[0].firstRef != kNone) {
      Add(kWordsBlock, 0, "firstRef",
          N(words[0].firstRef) + ", expected -1 (the sentinel has no occurrences)");
    }
    // The order the entries must be linked in: ascending upper-cased text,
    // unsigned code units, a prefix first.
    upper_.assign(static_cast<size_t>(wordCount_), std::u16string());
    std::vector<int32_t> order;
    for (int32_t w = 0; w < wordCount_; ++w) {
      if (!CheckPoolIndex(kWordsBlock, w, "text", words[static_cast<size_t>(w)].text, true)) {
        continue;
      }
      upper_[static_cast<size_t>(w)] =
          text::ToUpperInvariant(Str(words[static_cast<size_t>(w)].text));
      order.push_back(w);
    }
    const bool complete = static_cast<int32_t>(order.size()) == wordCount_;
    std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
      return upper_[static_cast<size_t>(a)] < upper_[static_cast<size_t>(b)];
    });
    for (size_t i = 1; i < order.size(); ++i) {
      if (upper_[static_cast<size_t>(order[i])] == upper_[static_cast<size_t>(order[i - 1])]) {
        Add(kWordsBlock, order[i], "text",
            Quote(Str(words[static_cast<size_t>(order[i])].text)) + " equals word " +
                N(order[i - 1]) + " ignoring case (dictionary entries are distinct)");
      }
    }
    if (!order.empty() && order.back() != 0 && complete) {
      Add(kWordsBlock, order.back(), "text",
          Quote(Str(words[static_cast<size_t>(order.back())].text)) +
              " sorts after the sentinel (entry 0 must sort last)");
    }
    if (!complete) return;  // the expected links are unknown
    for (size_t i = 0; i < order.size(); ++i) {
      const int32_t w = order[i];
      const int32_t prev = i > 0 ? order[i - 1] : kNone;
      const int32_t next = i + 1 < order.size() ? order[i + 1] : kNone;
      CompareWordLink(w, "prev", words[static_cast<size_t>(w)].prev, prev);
      CompareWordLink(w, "next", words[static_cast<size_t>(w)].next, next);
    }
    if (c_.wordFirst != order.front() && c_.wordFirst >= 0 && c_.wordFirst < wordCount_) {
      Add(kCountersBlock, -1, "wordFirst",
          N(c_.wordFirst) + ", expected " + N(order.front()) + " (the word that sorts first)");
    }
  }

  void CompareWordLink(int32_t w, std::string_view field, int32_t actual, int32_t expected) {
    if (actual == expected) return;
    if (actual != kNone && (actual < 0 || actual >= wordCount_)) {
      Add(kWordsBlock, w, field, N(actual) + " out of range (wordCount " + N(wordCount_) + ")");
    } else {
      Add(kWordsBlock, w, field,
          N(actual) + ", expected " + N(expected) + " (ascending upper-cased text)");
    }
  }

  // ---- block 7 and the letter books ------------------------------------------

  // The upper-cased prepared text of a verse, built once.
  const std::u16string* PreparedUpper(int32_t v) {
    if (prepared_.empty()) prepared_.resize(static_cast<size_t>(verseCount_));
    auto& slot = prepared_[static_cast<size_t>(v)];
    if (!slot) {
      const int32_t t = m_.verses()[static_cast<size_t>(v)].text;
      if (!ValidString(t, false)) return nullptr;
      slot = text::ToUpperInvariant(PreparedText(Str(t)));
    }
    return &*slot;
  }

  void CheckOccurrences() {
    const auto& words = m_.words();
    const auto& refs = m_.wordRefs();
    std::vector<int32_t> owner(refs.size(), kNone);
    // Per verse: the ordinals of its occurrences, to see that every token of
    // the verse has exactly one record.
    std::map<int32_t, std::vector<Occurrence>> perVerse;
    std::vector<bool> letterUsed(static_cast<size_t>(std::max(bookCount_, 0)), false);
    for (int32_t w = 0; w < wordCount_; ++w) {
      const DictEntry& e = words[static_cast<size_t>(w)];
      if (w != 0) CheckLetterBook(w, letterUsed);
      if (w != 0 && e.firstRef == kNone) {
        Add(kWordsBlock, w, "firstRef", "-1, but every word has at least one occurrence");
        continue;
      }
      int32_t prev = kNone;
      int32_t r = e.firstRef;
      std::string_view field = "firstRef";
      int64_t fieldRecord = w;
      std::string_view fieldBlock = kWordsBlock;
      while (r != kNone) {
        if (r < 0 || r >= refCount_) {
          Add(fieldBlock, fieldRecord, field,
              N(r) + " out of range (wordRefCount " + N(refCount_) + ")");
          break;
        }
        if (owner[static_cast<size_t>(r)] != kNone) {
          Add(fieldBlock, fieldRecord, field,
              N(r) + " is already in the list of word " + N(owner[static_cast<size_t>(r)]) +
                  (owner[static_cast<size_t>(r)] == w ? " (the list loops)" : ""));
          break;
        }
        owner[static_cast<size_t>(r)] = w;
        const WordRef& ref = refs[static_cast<size_t>(r)];
        if (ref.verse < 0 || ref.verse >= verseCount_) {
          Add(kRefsBlock, r, "verse",
              N(ref.verse) + " out of range (verseCount " + N(verseCount_) + ")");
        } else {
          if (prev != kNone) CheckOrder(prev, r);
          const Placement placement = CheckWordAtOffset(w, r);
          perVerse[ref.verse].push_back(
              Occurrence{WordOrdinal(ref.position), WordOffset(ref.position), r, w, placement});
        }
        prev = r;
        fieldBlock = kRefsBlock;
        fieldRecord = r;
        field = "next";
        r = ref.next;
      }
    }
    for (int32_t r = 0; r < refCount_; ++r) {
      if (owner[static_cast<size_t>(r)] == kNone) {
        Add(kRefsBlock, r, "", "the occurrence is in no word's list");
      }
    }
    for (auto& [v, list] : perVerse) CheckVerseOccurrences(v, list);
    if (titleBook_ >= 0) {
      for (int32_t b = titleBook_ + 1; b < bookCount_; ++b) {
        if (!letterUsed[static_cast<size_t>(b)]) {
          Add(kBooksBlock, b, "", "the Concordance letter book lists no word");
        }
      }
    }
  }

  // Occurrences of one word are in ascending verse order, and within a verse
  // in ascending ordinal order (equal only at the ordinal cap).
  void CheckOrder(int32_t before, int32_t after) {
    const WordRef& a = m_.wordRefs()[static_cast<size_t>(before)];
    const WordRef& b = m_.wordRefs()[static_cast<size_t>(after)];
    if (a.verse < 0 || a.verse >= verseCount_) return;
    const uint32_t oa = WordOrdinal(a.position);
    const uint32_t ob = WordOrdinal(b.position);
    if (b.verse < a.verse) {
      Add(kRefsBlock, before, "next",
          N(after) + " is in verse " + N(b.verse) + ", before verse " + N(a.verse) +
              " (occurrences are in text order)");
    } else if (b.verse == a.verse && (ob < oa || (ob == oa && oa != kMaxWordOrdinal))) {
      Add(kRefsBlock, before, "next",
          N(after) + " has ordinal " + N(ob) + ", not after ordinal " + N(oa) + " in verse " +
              N(a.verse) + " (occurrences are in text order)");
    }
  }

  // The tag spans of a verse's prepared text, found once.
  const std::vector<std::pair<size_t, size_t>>& TagSpansOf(int32_t v) {
    if (tagSpans_.empty()) tagSpans_.resize(static_cast<size_t>(verseCount_));
    auto& slot = tagSpans_[static_cast<size_t>(v)];
    if (!slot) slot = TagSpans(*PreparedUpper(v));
    return *slot;
  }

  // kMissing: the word is nowhere in the verse; whether a removed link
  // explains that is decided per verse (CheckVerseOccurrences).
  enum class Placement { kExact, kAccepted, kMissing, kReported };

  struct Occurrence {
    uint32_t ordinal;
    uint32_t offset;
    int32_t record;
    int32_t word;
    Placement placement;
  };

  // The word stands at the recorded offset of its verse's prepared text
  // (compared in upper case: the stored spelling may differ in case). A link
  // resolved after indexing rewrites its tag, where the offset search may have
  // met the word's text. A link removed after indexing moves the text after
  // it, and may delete words.
  Placement CheckWordAtOffset(int32_t w, int32_t r) {
    const WordRef& ref = m_.wordRefs()[static_cast<size_t>(r)];
    const std::u16string& word = upper_[static_cast<size_t>(w)];
    if (word.empty() && !ValidString(m_.words()[static_cast<size_t>(w)].text, true)) {
      return Placement::kAccepted;  // the word's text is reported with the word
    }
    const std::u16string* p = PreparedUpper(ref.verse);
    if (p == nullptr) return Placement::kAccepted;  // reported with the verse
    const uint32_t offset = WordOffset(ref.position);
    const std::u16string_view text(*p);
    if (text.find(word) == std::u16string_view::npos) return Placement::kMissing;
    if (offset >= kMaxWordOffset) return Placement::kAccepted;
    if (text.substr(std::min<size_t>(offset, text.size())).starts_with(word)) {
      return Placement::kExact;
    }
    if (InsideTag(TagSpansOf(ref.verse), offset)) return Placement::kAccepted;
    // The offset may have pointed into the removed tag itself (the offset
    // search can meet the word's text inside a tag), so the word may now
    // stand before or after it.
    if (MayHaveChangedAfterIndexing(ref.verse)) return Placement::kAccepted;
    Add(kRefsBlock, r, "position",
        "word " + N(w) + " " + Quote(Str(m_.words()[static_cast<size_t>(w)].text)) +
            " is not at offset " + N(offset) + " of verse " + N(ref.verse) + "'s prepared text");
    return Placement::kReported;
  }

  // True unless the build said the verse's text kept what the indexer saw.
  bool MayHaveChangedAfterIndexing(int32_t v) const {
    return !changedAfterIndexing_ ||
           changedAfterIndexing_->contains(m_.verses()[static_cast<size_t>(v)].text);
  }

  // Words go missing from a verse only when link resolution changed its text
  // after indexing. Removing an unresolved link can delete words the indexer
  // saw (an unclosed tag whose text the indexer read as words, cut through
  // the ">" of a later "<sc>"), each one occurrence more than the verse now
  // has words; resolving a link whose tag the indexer saw unclosed rewrites
  // the value it read as words. A build's list names such verses; without it
  // missing words are accepted up to the surplus of occurrences over words,
  // or in any number when the verse holds a link tag still unclosed.
  void ResolveMissingWords(int32_t v, std::vector<Occurrence>& list) {
    size_t missing = 0;
    for (const Occurrence& o : list) missing += o.placement == Placement::kMissing ? 1 : 0;
    if (missing == 0) return;
    std::string why;
    if (changedAfterIndexing_) {
      if (!MayHaveChangedAfterIndexing(v)) why = "the build did not change the verse's text";
    } else if (!HasUnclosedLinkTag(*PreparedUpper(v))) {
      const std::u16string prepared = PreparedText(Str(m_.verses()[static_cast<size_t>(v)].text));
      std::vector<std::u16string_view> tokens;
      WordTokenizer(prepared, tokens);
      const size_t surplus = list.size() > tokens.size() ? list.size() - tokens.size() : 0;
      if (missing > surplus) {
        why = N(static_cast<int64_t>(missing)) + " missing words, but the verse has " +
              N(static_cast<int64_t>(list.size())) + " occurrences for " +
              N(static_cast<int64_t>(tokens.size())) + " words: a removed link explains at most " +
              N(static_cast<int64_t>(surplus));
      }
    }
    for (Occurrence& o : list) {
      if (o.placement != Placement::kMissing) continue;
      o.placement = why.empty() ? Placement::kAccepted : Placement::kReported;
      if (why.empty()) continue;
      Add(kRefsBlock, o.record, "position",
          "word " + N(o.word) + " " + Quote(Str(m_.words()[static_cast<size_t>(o.word)].text)) +
              " is not in verse " + N(v) + "'s prepared text (" + why + ")");
    }
  }

  // Within a verse every token has one occurrence, ordinals 0 to n - 1 (the
  // cap repeating), and offsets never fall as the ordinal grows: each search
  // starts at the previous word's offset.
  void CheckVerseOccurrences(int32_t v, std::vector<Occurrence>& list) {
    ResolveMissingWords(v, list);
    std::sort(list.begin(), list.end(), [](const Occurrence& a, const Occurrence& b) {
      return a.ordinal < b.ordinal || (a.ordinal == b.ordinal && a.record < b.record);
    });
    for (size_t i = 0; i < list.size(); ++i) {
      const uint32_t expected = static_cast<uint32_t>(std::min<size_t>(i, kMaxWordOrdinal));
      if (list[i].ordinal != expected) {
        Add(kVersesBlock, v, "",
            "its occurrences carry ordinals that are not 0 to " +
                N(static_cast<int64_t>(list.size()) - 1) + " (ordinal " +
                (list[i].ordinal > expected ? N(expected) + " missing)"
                                            : N(list[i].ordinal) + " repeated)"));
        return;
      }
    }
    for (size_t i = 1; i < list.size() && list[i].ordinal < kMaxWordOrdinal; ++i) {
      const Occurrence& a = list[i - 1];
      const Occurrence& b = list[i];
      if (a.offset <= b.offset) continue;
      // The one not found at its offset moved; the other is where it was.
      const bool blameLater = a.placement == Placement::kExact && b.placement != Placement::kExact;
      const Occurrence& blamed = blameLater ? b : a;
      if (blamed.placement == Placement::kReported) continue;
      const Occurrence& other = blameLater ? a : b;
      Add(kRefsBlock, blamed.record, "position",
          "offset " + N(blamed.offset) + " of ordinal " + N(blamed.ordinal) +
              (blameLater ? " lies before" : " lies after") + " offset " + N(other.offset) +
              " of ordinal " + N(other.ordinal) + " (record " + N(other.record) + ") in verse " +
              N(v) + " (offsets grow with the ordinal)");
    }
  }

  // The word's letter book is a Concordance letter book titled with the
  // word's upper-cased first character (a surrogate pair as one).
  void CheckLetterBook(int32_t w, std::vector<bool>& letterUsed) {
    const DictEntry& e = m_.words()[static_cast<size_t>(w)];
    if (!IsLetterBook(e.letterBook)) {
      if (e.letterBook < 0 || e.letterBook >= bookCount_) {
        Add(kWordsBlock, w, "letterBook",
            N(e.letterBook) + " out of range (bookCount " + N(bookCount_) + ")");
      } else {
        Add(kWordsBlock, w, "letterBook", N(e.letterBook) + " is not a Concordance letter book");
      }
      return;
    }
    letterUsed[static_cast<size_t>(e.letterBook)] = true;
    if (!ValidString(e.text, true)) return;
    const std::u16string_view stored = Str(e.text);
    const std::u16string& upper = upper_[static_cast<size_t>(w)];
    if (stored.empty()) return;
    const size_t len = IsSurrogate(stored[0]) && upper.size() >= 2 ? 2 : 1;
    const std::u16string_view letter = std::u16string_view(upper).substr(0, len);
    const BookRecord& book = m_.books()[static_cast<size_t>(e.letterBook)];
    if (!ValidString(book.title, true)) return;  // reported with the book
    if (Str(book.title) != letter) {
      Add(kWordsBlock, w, "letterBook",
          N(e.letterBook) + " is titled " + Quote(Str(book.title)) + ", expected " + Quote(letter) +
              " (the word's upper-cased first character)");
    }
  }

  // ---- resolved links --------------------------------------------------------

  // Start of each footnote line that a footnote link points into, with the
  // verse of the first such link.
  using FootnoteLines = std::map<int64_t, int32_t>;

  void CheckLinks() {
    FootnoteLines footnoteLines;
    for (int32_t v = 0; v < verseCount_; ++v) {
      const int32_t t = m_.verses()[static_cast<size_t>(v)].text;
      if (!ValidString(t, false)) continue;
      currentVerse_ = v;
      ScanLinks(Str(t), t, kVersesBlock, v, "text", "", &footnoteLines);
    }
    for (int32_t b = 0; b < headerEnd_; ++b) {
      const int32_t n = m_.books()[static_cast<size_t>(b)].note;
      if (n == kNone || !ValidString(n, true)) continue;
      ScanLinks(Str(n), n, kBooksBlock, b, "note", "", nullptr);
    }
    // Footnote lines, reached through the positions of footnote links; each
    // is checked once and reported with the first verse that links to it.
    for (const auto& [start, verse] : footnoteLines) {
      const int32_t s = static_cast<int32_t>(start);
      if (!ValidString(s, false)) continue;
      ScanLinks(Str(s), s, kVersesBlock, verse, "text",
                "footnote line at pool index " + N(start) + ": ", nullptr);
    }
  }

  void CheckRef(std::string_view block, int64_t record, std::string_view field,
                const std::string& where, RefNumber ref, bool bookOnly) {
    const int kind = ref.kind();
    if (kind != 1 && kind != 2) {
      Add(block, record, field,
          where + ": reference " + N(ref.value) + " has kind " + N(kind) + " (1 book, 2 verse)");
    } else if (bookOnly && kind != 1) {
      Add(block, record, field,
          where + ": reference " + N(ref.value) + " names a verse where a book is expected");
    } else if (kind == 1 && ref.index() >= bookCount_) {
      Add(block, record, field,
          where + ": book reference " + N(ref.value) + " names book " + N(ref.index()) +
              ", out of range (bookCount " + N(bookCount_) + ")");
    } else if (kind == 2 && ref.index() >= verseCount_) {
      Add(block, record, field,
          where + ": verse reference " + N(ref.value) + " names verse " + N(ref.index()) +
              ", out of range (verseCount " + N(verseCount_) + ")");
    }
  }

  void ScanLinks(std::u16string_view s, int64_t base, std::string_view block, int64_t record,
                 std::string_view field, const std::string& prefix, FootnoteLines* footnoteLines) {
    for (size_t i = 0; i + 3 < s.size(); ++i) {
      if (s[i] != u'<' || s[i + 2] != u'=' || (s[i + 1] != u'a' && s[i + 1] != u'f')) continue;
      const std::string where = prefix + "link at pool index " + N(base + static_cast<int64_t>(i));
      if (s[i + 1] == u'a' && (s[i + 3] & 0x8000) != 0) {
        CheckEncodedLink(s.substr(i + 3), block, record, field, where);
        continue;
      }
      if (s[i + 3] != u'"') continue;
      const size_t close = s.find(u'"', i + 4);
      if (close == std::u16string_view::npos) continue;
      const std::u16string_view value = s.substr(i + 4, close - i - 4);
      // Unresolved values, "Key" values and text are not references.
      if (value.empty() || value[0] == u' ' || value.starts_with(u"Key")) continue;
      if (value.find_first_not_of(u"0123456789#R ") != std::u16string_view::npos) continue;
      if (s[i + 1] == u'a') {
        CheckDecimalLink(value, block, record, field, where);
      } else {
        CheckFootnoteLink(value, block, record, field, where, footnoteLines);
      }
    }
  }

  // Pairs of code units with bit 15 set: a book pair, then verse pairs.
  void CheckEncodedLink(std::u16string_view s, std::string_view block, int64_t record,
                        std::string_view field, const std::string& where) {
    int64_t book = -1;
    for (size_t j = 0; j < s.size() && (s[j] & 0x8000) != 0; j += 2) {
      if (j + 1 >= s.size() || (s[j + 1] & 0x8000) == 0) {
        Add(block, record, field,
            where + ": the encoded reference pair at unit " + N(static_cast<int64_t>(j)) +
                " is incomplete");
        return;
      }
      const char16_t first = s[j];
      const char16_t second = s[j + 1];
      const int kind = first & 0xF;
      const int64_t index = ((first >> 4) & 0x7FF) | ((second & 0x1F) << 11);
      const int64_t run = 1 + ((second >> 5) & 0x3FF);
      const std::string pair = where + ": encoded pair " + N(static_cast<int64_t>(j / 2));
      if (j == 0) {
        if (kind != 1) {
          Add(block, record, field,
              pair + " has kind " + N(kind) + ", expected a book pair (kind 1)");
          return;
        }
        if (run != 1) {
          Add(block, record, field, pair + " (a book pair) carries a run of " + N(run));
        }
        if (index >= bookCount_) {
          Add(block, record, field,
              pair + " names book " + N(index) + ", out of range (bookCount " + N(bookCount_) +
                  ")");
          return;
        }
        book = index;
        continue;
      }
      if (kind != 2) {
        Add(block, record, field,
            pair + " has kind " + N(kind) + ", expected a verse pair (kind 2)");
        continue;
      }
      if (index + run - 1 >= verseCount_) {
        Add(block, record, field,
            pair + " names verse" +
                (run == 1 ? " " + N(index) : "s " + N(index) + " to " + N(index + run - 1)) +
                ", out of range (verseCount " + N(verseCount_) + ")");
        continue;
      }
      for (int64_t v = index; v < index + run; ++v) {
        if (m_.verses()[static_cast<size_t>(v)].book != book) {
          Add(block, record, field,
              pair + " names verse " + N(v) + " of book " +
                  N(m_.verses()[static_cast<size_t>(v)].book) + ", not of book " + N(book));
          break;
        }
      }
    }
  }

  // Parses a decimal reference number; false when it is not one or is too big.
  static bool ParseNumber(std::u16string_view s, size_t& i, RefNumber& out) {
    const size_t start = i;
    int64_t v = 0;
    while (i < s.size() && IsDigit(s[i])) {
      v = v * 10 + (s[i] - u'0');
      if (v > std::numeric_limits<int32_t>::max()) return false;
      ++i;
    }
    out.value = v;
    return i > start;
  }

  // "%d", "%d#%d", "%dR%d" or "%d#%dR%d", blanks after it.
  void CheckDecimalLink(std::u16string_view value, std::string_view block, int64_t record,
                        std::string_view field, const std::string& where) {
    const size_t end = value.find_last_not_of(u' ') + 1;
    const std::u16string_view s = value.substr(0, end);
    size_t i = 0;
    RefNumber first, second, context;
    bool hasSecond = false, hasContext = false;
    bool ok = ParseNumber(s, i, first);
    if (ok && i < s.size() && s[i] == u'#') {
      ++i;
      ok = ParseNumber(s, i, second);
      hasSecond = true;
    }
    if (ok && i < s.size() && s[i] == u'R') {
      ++i;
      ok = ParseNumber(s, i, context);
      hasContext = true;
    }
    if (!ok || i != s.size()) {
      Add(block, record, field,
          where + ": resolved value " + Quote(value) +
              " is not \"%d\", \"%d#%d\", \"%dR%d\" or \"%d#%dR%d\"");
      return;
    }
    CheckRef(block, record, field, where, first, true);
    if (hasSecond) CheckRef(block, record, field, where, second, false);
    if (hasContext) CheckRef(block, record, field, where, context, true);
  }

  // "%d": the pool position of the footnote text.
  void CheckFootnoteLink(std::u16string_view value, std::string_view block, int64_t record,
                         std::string_view field, const std::string& where,
                         FootnoteLines* footnoteLines) {
    const size_t end = value.find_last_not_of(u' ') + 1;
    const std::u16string_view s = value.substr(0, end);
    size_t i = 0;
    RefNumber position;
    if (!ParseNumber(s, i, position) || i != s.size()) {
      Add(block, record, field,
          where + ": footnote value " + Quote(value) + " is not a decimal pool position");
      return;
    }
    if (position.value >= textEnd_) {
      Add(block, record, field,
          where + ": footnote position " + N(position.value) +
              " out of range (the pool text ends at " + N(textEnd_) + ")");
      return;
    }
    if (footnoteLines == nullptr) return;
    int64_t start = position.value;
    while (start > 0 && pool_[static_cast<size_t>(start) - 1] != 0) --start;
    footnoteLines->emplace(start, currentVerse_);
  }

  const ModuleView& m_;
  const Counters& c_;
  std::span<const char16_t> pool_;
  const int64_t poolSize_;
  const int32_t bookCount_;
  const int32_t verseCount_;
  const int32_t wordCount_;
  const int32_t refCount_;
  const int32_t bookNameCount_;

  int64_t textEnd_ = 0;  // where the pool text ends and the image entries start
  std::vector<ImageField> imageFields_;
  std::set<int64_t> entryPositions_;
  std::unordered_map<int64_t, int64_t> chainEnds_;
  // A maximal run of non-zero pool units, [start, end).
  struct TextRun {
    int32_t start;
    int32_t end;
  };
  std::vector<TextRun> textRuns_;
  int32_t titleBook_ = kNone;
  int32_t headerEnd_ = 0;              // books before it are header books
  std::vector<std::u16string> upper_;  // upper-cased word texts
  std::vector<std::optional<std::u16string>> prepared_;
  std::optional<int64_t> imageTagsInPool_;
  // Strings that lost a link after indexing; nullopt: not known.
  std::optional<std::unordered_set<int32_t>> changedAfterIndexing_;
  std::vector<std::optional<std::vector<std::pair<size_t, size_t>>>> tagSpans_;
  int32_t currentVerse_ = kNone;  // the verse whose links are being scanned

  std::vector<Violation> out_;
};

}  // namespace

std::string Violation::ToString() const {
  std::string s = block;
  if (record >= 0) s += (s.empty() ? "" : ", ") + std::string("record ") + std::to_string(record);
  if (!field.empty()) s += (s.empty() ? "" : ", ") + std::string("field ") + field;
  return s.empty() ? message : s + ": " + message;
}

std::vector<Violation> CheckModule(const ModuleView& module,
                                   const std::vector<int32_t>* changedAfterIndexing) {
  return Checker(module, changedAfterIndexing).Run();
}

std::vector<Violation> CheckModuleImage(std::span<const uint8_t> image,
                                        const std::vector<int32_t>* changedAfterIndexing) {
  try {
    ModuleView view(std::vector<uint8_t>(image.begin(), image.end()));
    return CheckModule(view, changedAfterIndexing);
  } catch (const FormatError& e) {
    return {Violation{"", -1, "", e.what()}};
  }
}

}  // namespace quillavor
