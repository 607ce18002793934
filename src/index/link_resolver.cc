#include "index/link_resolver.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <limits>
#include <optional>
#include <span>

#include "markup/plain_text.h"
#include "markup/tags.h"
#include "model/errors.h"
#include "model/module.h"
#include "model/module_format.h"
#include "model/progress.h"
#include "platform/text.h"
#include "source/book_names.h"

namespace quillavor {

namespace {

// The expanded book part of an "<A=" link is assembled in a work area of 104
// code units, terminator included.
constexpr size_t kBookPartWorkArea = 104;
constexpr size_t kMaxBookPart = kBookPartWorkArea - 1;

// The footnote search examines at most 201 lines after the tag's line: its
// counter starts at 200 and the search fails at a line that does not match
// while the counter is 0.
constexpr int kFootnoteCounterStart = 200;

// Separators of an "<A=" verse list: the comma ends a token, the dashes
// (hyphen-minus, figure dash, en dash, em dash, horizontal bar) also open a
// range to the next token.
constexpr std::u16string_view kVerseSeparators = u",-\u2012\u2013\u2014\u2015";

constexpr std::u16string_view kCloseTag = u"</a>";
constexpr size_t kCloseTagLength = 4;

constexpr int64_t kNowhere = std::numeric_limits<int64_t>::max();

bool IsLineBreak(char16_t c) { return c == 0 || c == u'\r' || c == u'\n'; }

// The first line break in [p, end), or `end`. Looks at eight units per step
// (this walks the whole source text once per build): a lane below U+000E
// makes (x - 0x000E in each lane) & ~x & high bits non-zero, and the plain
// loop then looks at those eight units one by one.
const char16_t* NextLineBreak(const char16_t* p, const char16_t* end) {
  constexpr uint64_t kOnes = 0x0001000100010001ULL;
  constexpr uint64_t kHighs = 0x8000800080008000ULL;
  constexpr uint64_t kBelow = kOnes * 0x000E;
  for (;;) {
    while (end - p >= 8) {
      uint64_t x;
      uint64_t y;
      std::memcpy(&x, p, sizeof x);
      std::memcpy(&y, p + 4, sizeof y);
      if (((((x - kBelow) & ~x) | ((y - kBelow) & ~y)) & kHighs) != 0) break;
      p += 8;
    }
    const char16_t* const stop = end - p >= 8 ? p + 8 : end;
    for (; p < stop; ++p) {
      if (IsLineBreak(*p)) return p;
    }
    if (p == end) return end;
  }
}

// "equal": the collator at tertiary strength.
bool Equal(std::u16string_view a, std::u16string_view b) {
  return text::CollatorEqual(a, b, text::Strength::kTertiary);
}

// "starts with": the first prefix.size() units of `s` (all of `s` when it is
// shorter), its Prefix, are "equal" to `prefix`.
std::u16string_view Prefix(std::u16string_view s, size_t length) {
  return s.substr(0, std::min(s.size(), length));
}

// Two strings of printable ASCII are "equal" exactly when they are the same
// units; any other string is "equal" to another exactly when their sort keys
// are (the collator's own guarantee).
bool IsPrintableAscii(std::u16string_view s) {
  return std::all_of(s.begin(), s.end(), [](char16_t c) { return c >= 0x20 && c <= 0x7E; });
}
std::string SortKey(std::u16string_view s) {
  return text::CollatorSortKey(s, text::Strength::kTertiary);
}

// Index of the source text's terminator in the pool. The source text is the
// third string of the pool; the first string added after it is the title of
// the first book (the book header adds its title before anything else), and
// before the first book nothing follows it.
int64_t SourceTextEnd(const Module& module) {
  int64_t end = module.poolLength;
  if (module.bookCount > 0 && module.books[0].title >= 0) {
    end = std::min<int64_t>(end, module.books[0].title);
  }
  return end - 1;
}

// Lines of the source text after a position, as they were first cut:
// [starts[i], ends[i]) holds no line break.
struct SourceLines {
  std::vector<int32_t> starts;
  std::vector<int32_t> ends;
};

// Records the lines of the source text that follow the line holding pool
// index `first`.
SourceLines RecordLinesAfter(const Module& module, int64_t first) {
  SourceLines lines;
  const int64_t end = SourceTextEnd(module);
  if (first < 0 || first >= end) return lines;
  const char16_t* pool = module.pool.Data();
  int64_t p = NextLineBreak(pool + first, pool + end) - pool;
  for (;;) {
    while (p < end && IsLineBreak(pool[p])) ++p;
    if (p >= end) break;
    lines.starts.push_back(static_cast<int32_t>(p));
    p = NextLineBreak(pool + p, pool + end) - pool;
    lines.ends.push_back(static_cast<int32_t>(p));
  }
  return lines;
}

// The lines after the first queued footnote-line tag, before the pass
// changes any line.
SourceLines RecordLines(const Module& module, const PendingLinks& pending) {
  int64_t first = -1;
  for (int32_t e : pending.entries) {
    if (e >= 0) continue;
    const int64_t pos = -int64_t{e};
    if (first < 0 || pos < first) first = pos;
  }
  return RecordLinesAfter(module, first);
}

// Walks the recorded lines that follow the line holding pool index `pos`.
class LineWalker {
 public:
  LineWalker(const SourceLines& lines, int32_t pos)
      : lines_(lines),
        next_(static_cast<size_t>(std::upper_bound(lines.starts.begin(), lines.starts.end(), pos) -
                                  lines.starts.begin())) {}

  // The next line as [start, end); false after the last line of the source.
  bool Next(int64_t& start, int64_t& end) {
    if (next_ >= lines_.starts.size()) return false;
    start = lines_.starts[next_];
    end = lines_.ends[next_];
    ++next_;
    return true;
  }

 private:
  const SourceLines& lines_;
  size_t next_;
};

// Finds the first ">" at or after a position in one string that is scanned
// forward, remembering what it has seen: where it found one, and from where
// on there is none. Writes into the string never create a ">" (resolved
// values hold none); they may destroy one, which a later search notices.
// With `skipScEnds` the ">" that ends a "<sc" does not count (the word
// indexer removes "<sc>" before it looks for the end of a tag).
class GtFinder {
 public:
  explicit GtFinder(bool skipScEnds) : skipScEnds_(skipScEnds) {}

  // The first match in [from, end) of `s`, or `end`; `end` is always the
  // string's terminator.
  int64_t Find(const char16_t* s, int64_t from, int64_t end) {
    if (from >= noneFrom_ || from >= end) return end;
    int64_t p = from;
    if (foundAt_ >= 0 && from >= foundFrom_ && from <= foundAt_) {
      if (foundAt_ < end && Matches(s, foundAt_)) return foundAt_;
      p = foundAt_ + 1;  // nothing before it, and it is gone
    }
    for (; p < end; ++p) {
      if (InHole(p)) p = holeEnd_;
      if (p < end && Matches(s, p)) {
        foundFrom_ = from;
        foundAt_ = p;
        return p;
      }
    }
    noneFrom_ = std::min(noneFrom_, from);
    foundAt_ = -1;
    return end;
  }

  // The units before `unchangedFrom` changed (moved); those from there on
  // did not.
  void ChangedBefore(int64_t unchangedFrom) {
    foundAt_ = -1;
    // A ">" whose three units before it changed may have changed its kind.
    const int64_t safe = unchangedFrom + (skipScEnds_ ? 3 : 0);
    if (noneFrom_ != kNowhere) noneFrom_ = std::max(noneFrom_, safe);
  }

  // The units [at, end) are no longer part of the string (end == at: none).
  // Taking units out never makes a ">" count that did not.
  void SetHole(int64_t at, int64_t end) {
    holeAt_ = at;
    holeEnd_ = end;
  }

 private:
  bool InHole(int64_t p) const { return p >= holeAt_ && p < holeEnd_; }

  // The unit `k` places before s[p] in the string, the hole left out.
  char16_t Before(const char16_t* s, int64_t p, int64_t k) const {
    int64_t q = p - k;
    if (holeEnd_ > holeAt_ && p >= holeEnd_ && q < holeEnd_) q -= holeEnd_ - holeAt_;
    return q >= 0 ? s[q] : char16_t{0};
  }

  bool Matches(const char16_t* s, int64_t p) const {
    if (s[p] != u'>' || InHole(p)) return false;
    return !(skipScEnds_ && Before(s, p, 3) == u'<' && Before(s, p, 2) == u's' &&
             Before(s, p, 1) == u'c');
  }

  bool skipScEnds_;
  int64_t holeAt_ = 0;
  int64_t holeEnd_ = 0;
  int64_t noneFrom_ = kNowhere;  // no match in [noneFrom_, end)
  int64_t foundFrom_ = 0;        // no match in [foundFrom_, foundAt_)
  int64_t foundAt_ = -1;
};

}  // namespace

// What the line compiler's current line is known to hold: the line whose
// tags LinkStep was handed last ([from, end), `end` its terminator), the ">"
// units in it, and the lines after it as first cut (for footnote searches).
struct LineState {
  int64_t from = -1;
  int64_t end = -1;
  GtFinder gt{false};
  std::optional<SourceLines> following;  // recorded at the first footnote search
  int32_t verse = -1;                    // the open verse whose text ends at verseEnd
  int64_t verseEnd = -1;
};

// Verses of a book found by the start of their plain text. A verse's plain
// text (trimmed) is computed once and kept; the verses of a book are indexed
// by their prefix of each length that a search asks for, printable-ASCII
// prefixes as they are, others by their sort key. The verse the line compiler
// created last may still change while its line is compiled, so it stays out
// of the indexes and is looked at directly.
class VerseSearch {
 public:
  // Verses no longer change but through VerseChanged (the resolution pass).
  void AllVersesComplete() { stageTwo_ = true; }

  // One past the last verse of `book` (a book's verses are consecutive).
  int32_t BookEnd(const Module& module, int32_t book) {
    const int32_t first = module.books[book].firstText;
    if (first < 0) return first;
    int32_t& end = bookEnds_[book];
    if (end < first) end = first;
    while (end < module.verseCount && module.verses[end].book == book) ++end;
    return end;
  }

  // The trimmed plain text of `verse` as the pool holds it now.
  std::u16string_view Plain(const Module& module, int32_t verse) {
    if (verse == OpenVerse(module)) return OpenPlain(module, verse);
    const Head& head = HeadOf(module, verse);
    return head.whole ? head.View() : Full(module, verse);
  }

  // The first `length` units of Plain (all of it when it is shorter).
  std::u16string_view PlainPrefix(const Module& module, int32_t verse, size_t length) {
    if (verse == OpenVerse(module)) return Prefix(OpenPlain(module, verse), length);
    const Head& head = HeadOf(module, verse);
    if (head.whole || length <= kHeadLength) return Prefix(head.View(), length);
    return Prefix(Full(module, verse), length);
  }

  bool Hit(const Module& module, int32_t verse, std::u16string_view token) {
    return Equal(PlainPrefix(module, verse, token.size()), token);
  }

  // The first verse of `book` at or after `from` whose plain text starts
  // with `token`; BookEnd when none.
  int32_t FirstFrom(const Module& module, int32_t book, int32_t from, std::u16string_view token) {
    const int32_t end = BookEnd(module, book);
    if (from >= end) return end;
    const int32_t open = OpenVerse(module);
    const int32_t indexedEnd = open >= 0 && open < end ? open : end;
    Prefixes& sets = PrefixesOf(module, book, token.size(), indexedEnd);
    int32_t best = end;
    auto consider = [&](const auto& map, const auto& key) {
      const auto it = map.find(key);
      if (it == map.end()) return;
      const VerseList& verses = it->second;
      const auto at = std::lower_bound(verses.begin(), verses.end(), from);
      if (at != verses.end() && *at < best) best = *at;
    };
    if (IsPrintableAscii(token)) {
      if (uint64_t packed = 0; Pack(token, packed)) {
        consider(sets.packed, packed);
      } else {
        key_.assign(token);
        consider(sets.ascii, key_);
      }
      if (!sets.collated.empty()) consider(sets.collated, SortKey(token));
    } else {
      const std::string key = SortKey(token);
      consider(sets.collated, key);
      if (!sets.asciiCollatedBuilt) {
        for (const auto& [packed, verses] : sets.packed) {
          sets.asciiCollated[SortKey(Unpack(packed))] = verses;
        }
        for (const auto& [prefix, verses] : sets.ascii) sets.asciiCollated[SortKey(prefix)] = verses;
        sets.asciiCollatedBuilt = true;
      }
      consider(sets.asciiCollated, key);
    }
    if (best == end && indexedEnd < end && open >= from && Hit(module, open, token)) best = open;
    return best;
  }

  // The open verse's text was written; `mayChangePlain` false when the
  // write cannot change its plain text.
  void OpenVerseWritten() { openValid_ = false; }
  bool OpenPlainKept(int32_t verse) const { return openValid_ && openVerse_ == verse; }

  // The resolution pass writes the text of closed verse `verse` through
  // `write`; the indexes follow its plain text. While every index of the
  // book is of prefixes no longer than a head, comparing the heads before
  // and after tells all, and the whole text is read again only when asked.
  template <typename Write>
  void RewriteVerse(const Module& module, int32_t verse, Write write) {
    const int32_t book = module.verses[verse].book;
    const std::vector<size_t>& lengths = lengthsOf_[book];
    if (std::any_of(lengths.begin(), lengths.end(),
                    [](size_t length) { return length > kHeadLength; })) {
      const std::u16string old(Plain(module, verse));
      write();
      std::u16string plain;
      TrimmedPlainTextInto(module.StringView(module.verses[verse].text), plain);
      if (plain == old) return;
      Reindex(book, verse, old, plain);
      Head& head = heads_[static_cast<size_t>(verse)];
      head.size = static_cast<uint8_t>(std::min(plain.size(), kHeadLength));
      std::copy_n(plain.begin(), head.size, head.units.begin());
      head.whole = plain.size() <= kHeadLength;
      full_[verse] = std::move(plain);
      return;
    }
    const Head old = HeadOf(module, verse);
    write();
    full_.erase(verse);
    Head& head = heads_[static_cast<size_t>(verse)];
    ReadHead(module, module.verses[verse].text, head);
    if (head.whole != old.whole || head.View() != old.View()) {
      Reindex(book, verse, old.View(), head.View());
    }
  }

 private:
  // Moves `verse` from the index entries of its old plain text to those of
  // its new one (either may be a head, long enough for every index).
  void Reindex(int32_t book, int32_t verse, std::u16string_view old, std::u16string_view now) {
    for (const size_t length : lengthsOf_[book]) {
      Prefixes& sets = prefixes_[Key(book, length)];
      if (verse >= sets.indexedTo) continue;
      Leave(sets, verse, Prefix(old, length));
      Enter(sets, verse, Prefix(now, length));
    }
  }

  // Verse numbers in ascending order, each once. The indexes are filled in
  // verse order, so nearly every insertion is an append.
  using VerseList = std::vector<int32_t>;

  struct Prefixes {
    int32_t indexedTo = 0;  // verses [book's first, indexedTo) are in
    // Printable-ASCII prefixes of up to kMaxPacked units by Pack, longer
    // ones as they are.
    std::unordered_map<uint64_t, VerseList> packed;
    std::unordered_map<std::u16string, VerseList> ascii;
    std::unordered_map<std::string, VerseList> collated;
    // The printable-ASCII prefixes by sort key, made for the first token
    // that is not printable ASCII.
    bool asciiCollatedBuilt = false;
    std::unordered_map<std::string, VerseList> asciiCollated;
  };

  // A printable-ASCII string of up to kMaxPacked units as one number: a 1
  // bit, then seven bits per unit.
  static constexpr size_t kMaxPacked = 9;
  static bool Pack(std::u16string_view s, uint64_t& packed) {
    if (s.size() > kMaxPacked) return false;
    packed = 1;
    for (const char16_t c : s) packed = (packed << 7) | (c & 0x7Fu);
    return true;
  }
  static std::u16string Unpack(uint64_t packed) {
    std::u16string s;
    for (; packed > 1; packed >>= 7) s.insert(s.begin(), static_cast<char16_t>(packed & 0x7Fu));
    return s;
  }

  static int64_t Key(int32_t book, size_t length) {
    return (int64_t{book} << 32) | static_cast<int64_t>(length & 0xFFFFFFFFu);
  }

  // The trimmed plain text of `s`, built in a buffer kept from call to call.
  void TrimmedPlainTextInto(std::u16string_view s, std::u16string& out) {
    PlainTextInto(s, buffer_);
    out.assign(text::TrimView(buffer_));
  }

  // The start of a closed verse's plain text: searches ask for its first
  // few units (verse labels), so only those are read from the pool, and the
  // whole text only when a longer token asks for it.
  static constexpr size_t kHeadLength = 16;
  struct Head {
    std::array<char16_t, kHeadLength> units{};
    uint8_t size = 0;    // the first min(kHeadLength, length) units of the plain text
    bool known = false;  // computed
    bool whole = false;  // the plain text has no more units
    std::u16string_view View() const { return {units.data(), size}; }
  };

  std::u16string_view OpenPlain(const Module& module, int32_t verse) {
    if (openVerse_ != verse || !openValid_) {
      TrimmedPlainTextInto(module.StringView(module.verses[verse].text), openPlain_);
      openVerse_ = verse;
      openValid_ = true;
    }
    return openPlain_;
  }

  std::u16string_view Full(const Module& module, int32_t verse) {
    auto [it, added] = full_.try_emplace(verse);
    if (added) TrimmedPlainTextInto(module.StringView(module.verses[verse].text), it->second);
    return it->second;
  }

  const Head& HeadOf(const Module& module, int32_t verse) {
    const auto v = static_cast<size_t>(verse);
    if (v >= heads_.size()) heads_.resize(static_cast<size_t>(module.verseCount));
    Head& head = heads_[v];
    if (!head.known) ReadHead(module, module.verses[verse].text, head);
    return head;
  }

  // The head of the trimmed plain text of the pool string at `index`: its
  // units are walked as PlainTextInto removes tags (from a "<" through the
  // first ">" after it; a "<" with none after it stays, with the rest) and
  // TrimView removes units <= U+0020 at both ends. The walk stops once
  // kHeadLength units are taken and one of them from the last on is not
  // removed by the trim, so that the trailing trim cannot reach the head.
  void ReadHead(const Module& module, int32_t index, Head& head) {
    if (index < 0 || index >= module.pool.Length()) {
      throw DynArrayOutOfRange(index, module.pool.Length());
    }
    const char16_t* const poolEnd = module.pool.Data() + module.pool.Length();
    const char16_t* q = module.pool.Data() + index;
    size_t taken = 0;  // units taken (the first kHeadLength kept in the head)
    size_t kept = 0;   // the taken units up to the last one above U+0020
    auto take = [&](char16_t c) {
      if (taken == 0 && c <= 0x20) return false;
      if (taken < kHeadLength) head.units[taken] = c;
      ++taken;
      if (c > 0x20) kept = taken;
      return kept >= kHeadLength;
    };
    bool stopped = false;
    while (!stopped && q < poolEnd && *q != 0) {
      if (*q != u'<') {
        stopped = take(*q++);
        continue;
      }
      const char16_t* close = q + 1;
      while (close < poolEnd && *close != 0 && *close != u'>') ++close;
      if (close < poolEnd && *close == u'>') {
        q = close + 1;
        continue;
      }
      while (!stopped && q < poolEnd && *q != 0) stopped = take(*q++);
    }
    head.whole = !stopped;
    head.size = static_cast<uint8_t>(stopped ? kHeadLength : kept);
    head.known = true;
  }

  // The verse whose line may still change: the last one, until the
  // resolution pass.
  int32_t OpenVerse(const Module& module) const {
    return stageTwo_ ? kNone : module.verseCount - 1;
  }

  static void Insert(VerseList& verses, int32_t verse) {
    if (verses.empty() || verses.back() < verse) {
      verses.push_back(verse);
      return;
    }
    const auto at = std::lower_bound(verses.begin(), verses.end(), verse);
    if (*at != verse) verses.insert(at, verse);
  }
  void Enter(Prefixes& sets, int32_t verse, std::u16string_view prefix) {
    if (IsPrintableAscii(prefix)) {
      if (uint64_t packed = 0; Pack(prefix, packed)) {
        Insert(sets.packed[packed], verse);
      } else {
        key_.assign(prefix);
        Insert(sets.ascii[key_], verse);
      }
      if (sets.asciiCollatedBuilt) Insert(sets.asciiCollated[SortKey(prefix)], verse);
    } else {
      Insert(sets.collated[SortKey(prefix)], verse);
    }
  }
  template <typename Map, typename K>
  static void EraseFrom(Map& map, const K& key, int32_t verse) {
    const auto it = map.find(key);
    if (it == map.end()) return;
    VerseList& verses = it->second;
    const auto at = std::lower_bound(verses.begin(), verses.end(), verse);
    if (at != verses.end() && *at == verse) verses.erase(at);
    if (verses.empty()) map.erase(it);
  }
  static void Leave(Prefixes& sets, int32_t verse, std::u16string_view prefix) {
    if (IsPrintableAscii(prefix)) {
      if (uint64_t packed = 0; Pack(prefix, packed)) {
        EraseFrom(sets.packed, packed, verse);
      } else {
        EraseFrom(sets.ascii, std::u16string(prefix), verse);
      }
      if (sets.asciiCollatedBuilt) EraseFrom(sets.asciiCollated, SortKey(prefix), verse);
    } else {
      EraseFrom(sets.collated, SortKey(prefix), verse);
    }
  }

  // The prefixes of `length` units of the verses of `book` before
  // `indexedEnd`.
  Prefixes& PrefixesOf(const Module& module, int32_t book, size_t length, int32_t indexedEnd) {
    auto [it, added] = prefixes_.try_emplace(Key(book, length));
    Prefixes& sets = it->second;
    if (added) {
      sets.indexedTo = module.books[book].firstText;
      lengthsOf_[book].push_back(length);
    }
    for (; sets.indexedTo < indexedEnd; ++sets.indexedTo) {
      Enter(sets, sets.indexedTo, PlainPrefix(module, sets.indexedTo, length));
    }
    return sets;
  }

  bool stageTwo_ = false;
  std::unordered_map<int32_t, int32_t> bookEnds_;
  // Closed verses: the head of each, and the whole plain text of those asked
  // for it. A deque, so that a view into one stays valid as it grows.
  std::deque<Head> heads_;
  std::unordered_map<int32_t, std::u16string> full_;
  int32_t openVerse_ = kNone;
  bool openValid_ = false;
  std::u16string openPlain_;
  std::u16string buffer_;  // PlainTextInto's output before trimming
  std::u16string key_;     // a printable-ASCII key being looked up
  std::unordered_map<int64_t, Prefixes> prefixes_;
  std::unordered_map<int32_t, std::vector<size_t>> lengthsOf_;
};

LinkLookup::LinkLookup()
    : verses(std::make_unique<VerseSearch>()), line(std::make_unique<LineState>()) {}
LinkLookup::~LinkLookup() = default;

namespace {

// Where a tag stands and what may be read around it.
struct TagSite {
  std::span<char16_t> str;   // from the tag's "<" through its string's terminator
  int32_t poolPos;           // pool index of the "<"; -1 in a working copy
  const SourceLines* lines;  // the lines after the tag's line as first cut
  GtFinder* gt;              // the ">" units of the tag's string, in pool indexes
};

// Adds the books [registered, upTo) to the lookup, in table order.
void SyncLookup(const Module& module, LinkLookup& lookup, int32_t upTo) {
  upTo = std::min(upTo, module.bookCount);
  for (; lookup.registered < upTo; ++lookup.registered) {
    const BookRecord& b = module.books[lookup.registered];
    if (b.title >= 0) {
      lookup.byKey.try_emplace(SortKey(module.StringView(b.title)), lookup.registered);
    }
    if (b.abbrev >= 0) {
      lookup.byKey.try_emplace(SortKey(module.StringView(b.abbrev)), lookup.registered);
    }
  }
}

bool TitleOrAbbrevEqual(const Module& module, int32_t book, std::u16string_view s) {
  const BookRecord& b = module.books[book];
  if (b.title >= 0 && Equal(module.StringView(b.title), s)) return true;
  return b.abbrev >= 0 && Equal(module.StringView(b.abbrev), s);
}

int32_t BookRef(int64_t book) { return format::RefNumber(format::kBookKind, book); }
int32_t VerseRef(int64_t verse) { return format::RefNumber(format::kVerseKind, verse); }

void WritePair(std::span<char16_t> s, size_t at, int kind, int32_t index) {
  const std::array<char16_t, 2> pair = format::EncodePair(kind, index);
  s[at] = pair[0];
  s[at + 1] = pair[1];
}

// Overwrites the value area [4, 4 + n) with blanks and writes `value` at its
// start; false (nothing written) when the value does not fit.
bool WriteDecimalValue(std::span<char16_t> s, size_t n, const std::string& value) {
  if (value.size() > n) return false;
  std::fill_n(s.begin() + 4, n, u' ');
  for (size_t i = 0; i < value.size(); ++i) s[4 + i] = static_cast<char16_t>(value[i]);
  return true;
}

// The tables a tag is resolved against. The Module is read-only while a tag
// is resolved: the pool cannot grow, so the spans into it stay valid.
struct Tables {
  const Module& module;
  LinkLookup& lookup;
};

// Form "<A=": a book and an optional list of verse labels, encoded in place.
bool ResolveBookAndVerses(const Tables& t, std::span<char16_t> s, size_t n) {
  const Module& module = t.module;
  const std::u16string_view value = text::TrimView(std::u16string_view(s.data() + 4, n));
  const size_t colon = value.find(u':');
  const std::u16string_view bookPart =
      colon == std::u16string_view::npos ? value : text::TrimView(value.substr(0, colon));
  if (bookPart.size() > kMaxBookPart) return false;
  const std::u16string expanded = expandBookAbbreviation(bookPart);
  if (expanded.size() > kMaxBookPart) return false;
  const int32_t book = FindBook(module, t.lookup, expanded);
  if (book < 0 || book > format::kMaxEncodedIndex) return false;
  // The list is read from the value area, which the rewrite below blanks.
  const std::u16string list(colon == std::u16string_view::npos ? std::u16string_view()
                                                               : value.substr(colon + 1));

  // The n + 2 units from the opening quote through the closing quote.
  const size_t areaStart = 3;
  const size_t areaEnd = areaStart + n + 2;
  s[1] = u'a';
  std::ranges::fill(s.subspan(areaStart, areaEnd - areaStart), u' ');
  WritePair(s, areaStart, format::kBookKind, book);
  const int32_t firstVerse = module.books[book].firstText;
  if (list.empty() || firstVerse < 0) return true;

  // Forward-only search from the book's first verse. Outside a run the
  // search goes straight to the next verse that starts with the token.
  VerseSearch& verses = *t.lookup.verses;
  const int32_t end = verses.BookEnd(module, book);
  size_t nextPair = areaStart + 2;
  std::optional<size_t> lastPair;
  int32_t k = firstVerse;
  bool range = false;
  bool matched = false;
  size_t pos = 0;
  for (;;) {
    const size_t sep = list.find_first_of(kVerseSeparators, pos);
    const std::u16string_view token = std::u16string_view(list).substr(
        pos, sep == std::u16string::npos ? std::u16string::npos : sep - pos);
    while (k < end) {
      bool hit = true;
      if (!range && !matched) {
        k = verses.FirstFrom(module, book, k, token);
        if (k >= end) break;
      } else {
        hit = verses.Hit(module, k, token);
      }
      if (!hit && !range) {
        matched = false;  // a run of hits ended
        break;
      }
      if ((range || matched) && lastPair) {
        if (format::RunOf(s[*lastPair + 1]) >= format::kMaxEncodedRun) {
          return true;  // writing stops for good
        }
        s[*lastPair + 1] = static_cast<char16_t>(s[*lastPair + 1] + format::kRunStep);
      } else {
        if (k > format::kMaxEncodedIndex || nextPair + 2 > areaEnd) return true;
        WritePair(s, nextPair, format::kVerseKind, k);
        lastPair = nextPair;
        nextPair += 2;
      }
      if (hit) {
        matched = true;
        range = false;
      }
      ++k;
    }
    if (sep == std::u16string::npos) break;
    range = list[sep] != u',';
    pos = sep + 1;
  }
  return true;
}

// The second reference of a "#" link: a child book of `parent` named `child`,
// else the first verse of `parent` whose plain text starts with `both` or with
// `child`. -1 when none.
int32_t FindChildOrVerse(const Tables& t, int32_t parent, std::u16string_view both,
                         std::u16string_view child) {
  const Module& module = t.module;
  const BookRecord& p = module.books[parent];
  // The last book of its name has every later book as a possible child.
  const int32_t end = p.nextSameName != kNone ? p.nextSameName : module.bookCount;
  if (p.nextName > 0 && p.nextName < end) {
    for (int32_t c = p.nextName; c != kNone && c < end;) {
      if (TitleOrAbbrevEqual(module, c, child)) return BookRef(c);
      const int32_t next = module.books[c].nextSameName;
      if (next != kNone && next <= c) break;  // the chain only moves forward
      c = next;
    }
  }
  const int32_t first = p.firstText;
  if (first < 0) return kNone;
  VerseSearch& verses = *t.lookup.verses;
  const int32_t versesEnd = verses.BookEnd(module, parent);
  const int32_t v = std::min(verses.FirstFrom(module, parent, first, both),
                             verses.FirstFrom(module, parent, first, child));
  return v < versesEnd ? VerseRef(v) : kNone;
}

// Forms "<a=", "<m=", "<r=": decimal references written into the value.
bool ResolveDecimal(const Tables& t, std::span<char16_t> s, size_t n, int32_t contextBook) {
  const bool withContext = s[1] != u'a';
  if (withContext && contextBook < 0) return false;
  const std::u16string_view value = text::TrimView(std::u16string_view(s.data() + 4, n));
  format::DecimalLink link;
  const size_t hash = value.find(u'#');
  if (hash == std::u16string_view::npos) {
    const int32_t book = FindBook(t.module, t.lookup, value);
    if (book < 0) return false;
    link.first = BookRef(book);
  } else {
    const std::u16string_view parentName = text::TrimView(value.substr(0, hash));
    std::u16string both(value);
    std::replace(both.begin(), both.end(), u'#', u' ');
    const std::u16string_view child = value.substr(hash + 1);
    const int32_t parent = FindBook(t.module, t.lookup, parentName);
    if (parent < 0) return false;
    const int32_t second = FindChildOrVerse(t, parent, text::TrimView(both), child);
    if (second < 0) return false;
    link.first = BookRef(parent);
    link.second = second;
  }
  if (withContext) link.context = BookRef(contextBook);
  if (!WriteDecimalValue(s, n, format::FormatDecimalLink(link))) return false;
  s[1] = u'a';
  return true;
}

// Form "<f=": the pool position of the footnote text that the marker after
// the tag names, found in the lines that follow the tag's line.
bool ResolveFootnote(const Module& module, const TagSite& site, size_t n) {
  std::span<char16_t> s = site.str;
  if (n == 0 || s[4] != u' ') return true;  // already resolved
  if (site.poolPos < 0) return false;       // a working copy has no following lines
  const size_t terminator = s.size() - 1;
  const char16_t* pool = module.pool.Data();
  const int64_t base = site.poolPos;
  const size_t gt = static_cast<size_t>(
      site.gt->Find(pool, base + 1, base + static_cast<int64_t>(terminator)) - base);
  if (gt + 3 >= terminator) return false;  // no ">", or no 3 units after it
  const std::u16string_view marker(s.data() + gt + 1, 3);

  LineWalker walker(*site.lines, site.poolPos);
  int counter = kFootnoteCounterStart;
  bool blockSeen = false;
  int64_t start = 0;
  int64_t end = 0;
  for (;;) {
    if (!walker.Next(start, end)) return false;
    // Unit by unit: a terminator written by a removal ends the comparison.
    bool hit = end - start >= 3;
    for (size_t i = 0; hit && i < 3; ++i) hit = pool[start + static_cast<int64_t>(i)] == marker[i];
    if (hit) break;
    if (blockSeen && pool[start] != u'[') return false;  // the footnote block is over
    if (pool[start] == u'[') blockSeen = true;
    if (counter == 0) return false;
    --counter;
  }
  int64_t p = start;
  while (p < end && pool[p] != 0 && pool[p] != u']') ++p;
  if (p >= end || pool[p] != u']') return false;
  ++p;
  while (p < end && (pool[p] == u'.' || pool[p] == u' ')) ++p;
  const std::string digits = format::FormatFootnotePosition(p);
  if (digits.size() > n) return false;
  for (size_t i = 0; i < digits.size(); ++i) s[4 + i] = static_cast<char16_t>(digits[i]);
  return true;
}

// Where the value of the tag at the start of `s` ends: its closing quote
// (index in `s`), or the terminator when the string has none.
size_t ClosingQuote(std::span<const char16_t> s) {
  const size_t terminator = s.size() - 1;
  size_t close = 4;
  while (close < terminator && s[close] != u'"') ++close;
  return close;
}

// LinkStep on a tag site; `contextBook` is the book that "<m=" and "<r="
// links name after their "R" (-1: not resolvable).
bool LinkStepAt(const Tables& t, const TagSite& site, int32_t contextBook) {
  std::span<char16_t> s = site.str;
  const size_t terminator = s.size() - 1;
  if (terminator < 4 || s[0] != u'<' || s[2] != u'=' || s[3] != u'"') return false;
  const size_t close = ClosingQuote(s);
  if (close >= terminator) return false;  // no closing quote on the line
  const size_t n = close - 4;
  switch (s[1]) {
    case u'A':
      return ResolveBookAndVerses(t, s, n);
    case u'a':
    case u'm':
    case u'r':
      return ResolveDecimal(t, s, n, contextBook);
    case u'f':
      return ResolveFootnote(t.module, site, n);
    default:
      return false;
  }
}

// A value that is not blank at its start and holds only digits, "#", "R" and
// blanks up to a closing quote was resolved before.
bool IsAlreadyResolved(const char16_t* s, size_t i) {
  size_t j = i + 4;
  if (s[j] == u' ') return false;
  for (; s[j] != u'"'; ++j) {
    if (s[j] == 0 || format::kResolvedValueChars.find(s[j]) == std::u16string_view::npos) {
      return false;
    }
  }
  return true;
}

size_t TerminatorFrom(const char16_t* s, size_t i) {
  while (s[i] != 0) ++i;
  return i;
}

// Units [at, at + length) of a working string that removed "</a>" tags took
// out and that are not closed up yet (length 0: none). A pass keeps at most
// one: the units removed since it was last closed, ending where the last
// "</a>" was. Taking out the next "</a>" moves only the text between the
// hole and that "</a>"; the text between the scan position and the hole
// moves once, when a read that must see it whole reaches the hole.
struct Hole {
  size_t at = 0;
  size_t length = 0;
  bool Open() const { return length > 0; }
  size_t End() const { return at + length; }
};

// Where a "</a>" stands in the text still to scan: the index of its "<" and
// how many of its units lie before the hole (0: it lies after the hole, or
// there is none).
struct CloseTagAt {
  size_t at = 0;
  size_t beforeHole = 0;
};

// Finds the first "</a>" at or after the scan position of a pass that
// removes links, remembering what it has seen: that there is none from some
// scan position on, and before where there is none. The text between the
// scan position and the hole holds none (the hole ends where the last one
// was found), but one that spans the hole; after the hole is closed, none
// but one that spans where it was. Resolutions write none (their units are
// digits, blanks, "#", "R", the letter "a" after "<", and encoded pairs).
class CloseTagFinder {
 public:
  // The first "</a>" in the text still to scan from `from` (s[from, T) but
  // the hole), or `T`.
  CloseTagAt Find(const char16_t* s, size_t from, size_t T, const Hole& hole) {
    if (none_) return {T, 0};
    size_t p = std::max(from, freeBefore_);
    if (hole.Open() && from < hole.at) {
      for (size_t k = std::min<size_t>(kCloseTagLength - 1, hole.at - from); k > 0; --k) {
        if (hole.End() + kCloseTagLength - k > T) continue;
        if (std::u16string_view(s + hole.at - k, k) == kCloseTag.substr(0, k) &&
            std::u16string_view(s + hole.End(), kCloseTagLength - k) == kCloseTag.substr(k)) {
          return {hole.at - k, k};
        }
      }
      p = hole.End();
    }
    const size_t at = std::u16string_view(s + p, T - p).find(kCloseTag);
    if (at == std::u16string_view::npos) {
      none_ = true;  // removals never join one in the text still to scan
      return {T, 0};
    }
    return {p + at, 0};
  }

  // The hole, which ended at `end`, was closed up by moving the text before it.
  void HoleClosed(size_t end) { freeBefore_ = end >= kCloseTagLength ? end - 3 : 0; }

 private:
  bool none_ = false;
  size_t freeBefore_ = 0;  // without a hole: none starts in [scan position, freeBefore_)
};

// What a removal took out, in the string's coordinates before it.
struct Removal {
  bool removed = false;
  size_t tagStart = 0;
  size_t tagLength = 0;
  std::optional<size_t> closeStart;  // where "</a>" stood
};

// Removes the unresolved link whose "<" is at `i` from the 0-terminated
// string `s`: the opening tag through its first ">", then the first "</a>"
// after it. The rest of the string and its terminator shift left; the units
// after the new terminator keep their old values.
Removal RemoveLink(char16_t* s, size_t i) {
  Removal r;
  const size_t terminator = TerminatorFrom(s, i);
  size_t gt = i + 1;
  while (gt < terminator && s[gt] != u'>') ++gt;
  if (gt >= terminator) return r;  // no ">" on the line: nothing is removed
  r.removed = true;
  r.tagStart = i;
  r.tagLength = gt + 1 - i;
  std::memmove(s + i, s + gt + 1, (terminator - gt) * sizeof(char16_t));
  const size_t newTerminator = terminator - r.tagLength;
  const std::u16string_view rest(s + i, newTerminator - i);
  const size_t close = rest.find(kCloseTag);
  if (close != std::u16string_view::npos) {
    const size_t c = i + close;
    std::memmove(s + c, s + c + kCloseTagLength,
                 (newTerminator - c - kCloseTagLength + 1) * sizeof(char16_t));
    r.closeStart = c + r.tagLength;
  }
  return r;
}

// Whether s[p] ends, for the word indexer, the tag whose "<" is at `i`: a
// ">" other than the end of a "<sc>" (the indexer removes those first).
bool IsIndexerTagEnd(const char16_t* s, size_t i, size_t p) {
  if (s[p] != u'>') return false;
  return !(p >= i + 4 && s[p - 3] == u'<' && s[p - 2] == u's' && s[p - 1] == u'c');
}

// The unresolved link whose "<" is at `i` of the 0-terminated `s`, before it
// is removed: its letter and trimmed value (for a footnote marker link with a
// blank value, the marker after its ">"). `gt` is the index of the first ">"
// after the "<", or of the terminator when there is none.
UnresolvedLink DescribeUnresolved(const char16_t* s, size_t i, size_t gt) {
  UnresolvedLink link;
  link.letter = s[i + 1];
  size_t close = i + 4;
  while (s[close] != 0 && s[close] != u'"') ++close;
  link.value = text::Trim(std::u16string_view(s + i + 4, close - (i + 4)));
  if (link.letter == u'f' && link.value.empty()) {
    if (s[gt] == u'>' && s[gt + 1] == u'[') {
      size_t end = gt + 1;
      while (s[end] != 0 && end < gt + 5 && s[end - 1] != u']') ++end;
      link.value.assign(s + gt + 1, end - (gt + 1));
    }
  }
  return link;
}

// What resolving the links of one working copy did.
struct CopyOutcome {
  // Words the indexer saw may have moved or gone: a link was removed, or a
  // resolved value reached past the end of the tag as the indexer saw it (a
  // tag without ">", or a ">" inside the quoted value).
  bool changed = false;
  // A link was refused and stays (it has no ">" to remove it by).
  bool refusedKept = false;
  // A removal joined text into a link tag before the scan position, which
  // the scan does not look at again.
  bool tagFormedBehind = false;
  // A link that resolved without a write (a footnote link whose value is not
  // blank at its start) had its value changed by a later link.
  bool earlierTagChanged = false;
  // Anything in the copy was written.
  bool written = false;
  // Text a reading program misreads as a resolved link: the value of a link
  // left alone as resolved that has no resolved form (the first such), and
  // the value of a link whose resolution rewrote a "<sc>" the word indexer
  // had removed, so that the word positions after it are off (the first).
  std::u16string unresolvedLookalike;
  std::u16string smallCapsRewritten;
  // Links resolved here without a write, which a new pass over the copy as
  // left resolves once more.
  int64_t resolvedAgain = 0;
};

// A value left alone as resolved that a reading program cannot read as one:
// an "<a=" value without one of the four decimal forms, a footnote value
// that is not a decimal position.
bool IsMisreadValue(char16_t letter, std::u16string_view value) {
  if (letter == u'a') return !format::ParseDecimalLink(value).has_value();
  if (letter == u'f') {
    const std::u16string_view digits = value.substr(0, value.find_last_not_of(u' ') + 1);
    return digits.empty() || !std::all_of(digits.begin(), digits.end(), text::IsDigit);
  }
  return false;
}

constexpr std::u16string_view kSmallCapsTag = u"<sc>";

// True when one of the `count` positions before `w` starts a link tag in the
// text made of s[0, w) followed by s[r, ...] (0-terminated).
bool LinkTagEndsBefore(const char16_t* s, size_t w, size_t r, size_t count) {
  std::array<char16_t, 16> window{};
  const size_t back = std::min(w, count);
  size_t n = 0;
  for (size_t i = w - back; i < w; ++i) window[n++] = s[i];
  for (size_t i = r; n < window.size() - 1; ++i) {
    window[n++] = s[i];
    if (s[i] == 0) break;
  }
  window[window.size() - 1] = 0;
  for (size_t i = 0; i < back; ++i) {
    if (IsLinkTagAt(window.data(), i)) return true;
  }
  return false;
}

// How far ahead of a position the reads at a link tag go beyond its closing
// quote (the tag test, the window of LinkTagEndsBefore, a footnote marker
// after the tag's ">" and the description of an unresolved one).
constexpr size_t kReadAhead = 16;

// Text that moved in a working string: [from, to) by `by` units.
struct Moved {
  size_t from = 0;
  size_t to = 0;
  ptrdiff_t by = 0;
};

// The text a removing pass has still to scan: s[r, T] (T the terminator) but
// the hole. Tells the ">" finders, whose indexes are `base` plus the
// string's, where the hole is and what moved.
class TextToScan {
 public:
  TextToScan(char16_t* s, size_t T, int64_t base, std::initializer_list<GtFinder*> finders)
      : s_(s), T_(T), base_(base), finders_(finders) {}

  size_t r = 0;  // the scan position
  const Hole& hole() const { return hole_; }
  CloseTagFinder& closeTags() { return closeTags_; }

  // True when a read of the text still to scan up to `end` (exclusive)
  // would meet the hole.
  bool HoleBefore(size_t end) const { return hole_.Open() && hole_.at < end; }

  // The first double quote or the terminator at or after `p`, the hole left out.
  size_t QuoteFrom(size_t p) const {
    for (;; ++p) {
      if (hole_.Open() && p == hole_.at) p = hole_.End();
      if (s_[p] == u'"' || s_[p] == 0) return p;
    }
  }

  // Closes the hole up by moving the text between the scan position and it.
  Moved CloseHole() {
    const Moved moved{r, hole_.at, static_cast<ptrdiff_t>(hole_.length)};
    const size_t end = hole_.End();
    std::memmove(s_ + r + hole_.length, s_ + r, (hole_.at - r) * sizeof(char16_t));
    r += hole_.length;
    hole_ = Hole();
    for (GtFinder* f : finders_) {
      f->SetHole(0, 0);
      f->ChangedBefore(base_ + static_cast<int64_t>(end));
    }
    closeTags_.HoleClosed(end);
    return moved;
  }

  // The scan moves on to `to`; a hole it reaches or passes is gone.
  void MoveTo(size_t to) {
    r = to;
    if (!hole_.Open() || r < hole_.at) return;
    if (r == hole_.at) r = hole_.End();
    hole_ = Hole();
    TellHole();
  }

  // The last `n` units of the string (its terminator included) as it
  // stands, the hole left out, appended to `out`.
  void AppendLast(size_t n, std::u16string& out) const {
    const size_t afterHole = hole_.Open() ? T_ + 1 - hole_.End() : n;
    if (n > afterHole) out.append(s_ + hole_.at - (n - afterHole), n - afterHole);
    const size_t tail = std::min(n, afterHole);
    out.append(s_ + T_ + 1 - tail, tail);
  }

  // Takes out the "</a>" at `c`: it joins the hole. Returns the text moved.
  Moved TakeOut(const CloseTagAt& c) {
    Moved moved;
    if (c.beforeHole > 0) {
      hole_.at -= c.beforeHole;
      hole_.length += kCloseTagLength;
    } else if (hole_.Open()) {
      moved = {hole_.End(), c.at, -static_cast<ptrdiff_t>(hole_.length)};
      std::memmove(s_ + hole_.at, s_ + hole_.End(), (c.at - hole_.End()) * sizeof(char16_t));
      hole_.at += c.at - hole_.End();
      hole_.length += kCloseTagLength;
      for (GtFinder* f : finders_) f->ChangedBefore(base_ + static_cast<int64_t>(hole_.End()));
    } else {
      hole_ = Hole{c.at, kCloseTagLength};
    }
    TellHole();
    return moved;
  }

  // Copies the text still to scan, the hole left out, to `w` on; returns
  // the index of the terminator there.
  size_t CopyRestTo(size_t w) {
    if (hole_.Open()) {
      std::memmove(s_ + w, s_ + r, (hole_.at - r) * sizeof(char16_t));
      w += hole_.at - r;
      r = hole_.End();
      hole_ = Hole();
    }
    std::memmove(s_ + w, s_ + r, (T_ - r + 1) * sizeof(char16_t));
    return w + (T_ - r);
  }

 private:
  void TellHole() {
    for (GtFinder* f : finders_) {
      f->SetHole(base_ + static_cast<int64_t>(hole_.at), base_ + static_cast<int64_t>(hole_.End()));
    }
  }

  char16_t* s_;
  size_t T_;
  int64_t base_;
  std::vector<GtFinder*> finders_;
  Hole hole_;
  CloseTagFinder closeTags_;
};

// Resolves the links of a working copy (0-terminated, no other 0 in it) in
// one forward pass: a tag that passes the already-resolved test is left alone
// (for "<A=" tags only in notes), any other goes through LinkStep and is
// removed when it fails, and the position where it began is examined again.
// The text before the scan position is final and kept at the front of the
// copy; a removal only moves the scan position, and its "</a>" joins the
// hole (TextToScan), so the pass reaches the same string as removing each
// link by shifting the rest of the string. Tells
// `outcomes`, when given, of each link resolved or refused; a refused link's
// offset is where it stands in the final text.
CopyOutcome ResolveInCopy(const Tables& t, std::u16string& copy, bool isNote, int32_t contextBook,
                          LinkOutcomes* outcomes, const UnresolvedLink& where) {
  CopyOutcome outcome;
  char16_t* s = copy.data();
  const size_t terminator = copy.size() - 1;
  const auto T = static_cast<int64_t>(terminator);
  GtFinder gt(false);
  GtFinder indexerGt(true);
  TextToScan rest(s, terminator, 0, {&gt, &indexerGt});
  std::u16string before;              // the tag before LinkStep
  size_t unwrittenEnd = 0;            // just past the value of the last link resolved unwritten
  size_t w = 0;                       // the final text is s[0, w)
  size_t& r = rest.r;                 // the text still to scan is s[r, ...] but the hole
  auto closeHole = [&] {
    const Moved moved = rest.CloseHole();
    if (unwrittenEnd > moved.from && unwrittenEnd <= moved.to) {
      unwrittenEnd = static_cast<size_t>(static_cast<ptrdiff_t>(unwrittenEnd) + moved.by);
    }
  };
  for (;;) {
    if (rest.hole().Open() && r == rest.hole().at) rest.MoveTo(r);
    if (s[r] == 0) break;
    if (s[r] != u'<') {
      s[w++] = s[r++];
      continue;
    }
    if (rest.HoleBefore(r + kReadAhead)) closeHole();
    if (!IsLinkTagAt(s, r)) {
      s[w++] = s[r++];
      continue;
    }
    // Everything read at the tag lies before the hole.
    size_t close = rest.QuoteFrom(r + 4);
    if (rest.HoleBefore(close + kReadAhead)) {
      closeHole();
      close = r + ClosingQuote(std::span(s + r, terminator - r + 1));
    }
    if ((isNote || s[r + 1] != u'A') && IsAlreadyResolved(s, r)) {
      const std::u16string_view value(s + r + 4, close - r - 4);
      if (outcome.unresolvedLookalike.empty() && IsMisreadValue(s[r + 1], value)) {
        outcome.unresolvedLookalike = value;
      }
      s[w++] = s[r++];
      continue;
    }
    // Where the word indexer saw the tag end: its first ">" other than the
    // end of a "<sc>", or the terminator. The text from there on was indexed.
    const std::span<char16_t> tag(s + r, terminator - r + 1);
    int64_t indexerEnd = T;
    if (close < terminator) {
      before.assign(s + r, s + std::min(close + kSmallCapsTag.size(), terminator));
      indexerEnd = static_cast<int64_t>(close) + 1;
      for (size_t p = r + 1; p <= close; ++p) {
        if (IsIndexerTagEnd(s, r, p)) {
          indexerEnd = static_cast<int64_t>(p);
          break;
        }
      }
      if (indexerEnd > static_cast<int64_t>(close)) {
        indexerEnd = indexerGt.Find(s, static_cast<int64_t>(close) + 1, T);
      }
    }
    const TagSite site{tag, kNone, nullptr, nullptr};
    if (LinkStepAt(t, site, contextBook)) {
      // Resolution writes only inside [r, close].
      bool moved = indexerEnd == T;
      bool wrote = false;
      for (size_t p = r; p <= close && p < terminator; ++p) {
        if (s[p] == before[p - r]) continue;
        wrote = true;
        if (static_cast<int64_t>(p) >= indexerEnd) moved = true;
      }
      // A "<sc>" in the value that the resolution rewrote: the indexer had
      // removed it, so every word offset after it is off.
      for (size_t q = before.find(kSmallCapsTag, 1); wrote && q != std::u16string::npos &&
                                                     q <= close - r;
           q = before.find(kSmallCapsTag, q + 1)) {
        if (std::u16string_view(s + r + q, kSmallCapsTag.size()) == kSmallCapsTag) continue;
        moved = true;
        if (outcome.smallCapsRewritten.empty()) {
          outcome.smallCapsRewritten = before.substr(0, close - r + 1);
        }
      }
      outcome.changed |= moved;
      if (outcomes != nullptr) outcomes->Resolved(1);
      if (wrote) {
        outcome.written = true;
        if (r < unwrittenEnd) outcome.earlierTagChanged = true;
      } else {
        unwrittenEnd = std::max(unwrittenEnd, close + 1);
        // Left as it was, the tag resolves the same way in a new pass.
        ++outcome.resolvedAgain;
      }
      s[w++] = s[r++];
      continue;
    }
    int64_t tagEnd = gt.Find(s, static_cast<int64_t>(r) + 1, T);
    if (outcomes != nullptr) {
      if (tagEnd < T && rest.HoleBefore(static_cast<size_t>(tagEnd) + kReadAhead)) {
        closeHole();  // the description reads the units after the ">"
        tagEnd = gt.Find(s, static_cast<int64_t>(r) + 1, T);
      }
      UnresolvedLink link = DescribeUnresolved(s, r, static_cast<size_t>(tagEnd));
      link.verse = where.verse;
      link.noteOf = where.noteOf;
      link.footnoteTag = where.footnoteTag;
      link.removed = tagEnd < T;
      link.offset = static_cast<int32_t>(w);
      outcomes->Unresolved(link);
    }
    if (tagEnd >= T) {  // no ">" on the line: nothing is removed
      outcome.refusedKept = true;
      s[w++] = s[r++];
      continue;
    }
    outcome.changed = true;
    outcome.written = true;
    if (r < unwrittenEnd) outcome.earlierTagChanged = true;
    rest.MoveTo(static_cast<size_t>(tagEnd) + 1);
    const CloseTagAt c = rest.closeTags().Find(s, r, terminator, rest.hole());
    if (c.at < terminator) {
      // The "</a>" joins the hole; the text between the hole and it moves.
      const Moved moved = rest.TakeOut(c);
      if (unwrittenEnd > moved.from && unwrittenEnd <= moved.to) {
        unwrittenEnd = static_cast<size_t>(static_cast<ptrdiff_t>(unwrittenEnd) + moved.by);
      }
    }
    // IsLinkTagAt reads up to 7 units from a position.
    if (rest.HoleBefore(r + kReadAhead)) closeHole();
    if (LinkTagEndsBefore(s, w, r, 6)) outcome.tagFormedBehind = true;
  }
  s[w] = 0;
  copy.resize(w + 1);
  return outcome;
}

// Copies a working copy, through its terminator, back over the pool string.
void CopyBack(Module& module, int32_t index, const std::u16string& copy) {
  const size_t length = TerminatorFrom(copy.data(), 0) + 1;
  if (index < 0 || index + static_cast<int64_t>(length) > module.pool.Length()) {
    throw DynArrayOutOfRange(index + static_cast<int64_t>(length) - 1, module.pool.Length());
  }
  std::memcpy(module.pool.Data() + index, copy.data(), length * sizeof(char16_t));
}

std::u16string WorkingCopy(const Module& module, int32_t index) {
  std::u16string copy(module.StringView(index));
  copy.push_back(0);
  return copy;
}

int32_t BookOfVerse(const Module& module, int32_t verse) {
  if (verse < 0 || verse >= module.verseCount) return kNone;
  return module.verses[verse].book;
}

// The terminator of the string holding pool index `pos`, through `state`,
// which remembers the line last asked for (the tags of a line come in text
// order, and resolution writes no terminator).
std::optional<int64_t> LineEnd(const Module& module, LineState& state, int64_t pos) {
  const int64_t length = module.pool.Length();
  if (pos < 0 || pos >= length) throw DynArrayOutOfRange(pos, length);
  if (pos >= state.from && pos <= state.end) return state.end;
  const char16_t* pool = module.pool.Data();
  const char16_t* end = text::FindNul(pool + pos, pool + length);
  if (end >= pool + length) return std::nullopt;
  state.from = pos;
  state.end = end - pool;
  state.gt = GtFinder(false);
  return state.end;
}

// Removes the unresolved link of queued entry `i` in place and moves the later
// queued positions of the same line back; positions inside removed text are
// marked dropped.
void RemoveQueuedInPlace(Module& module, PendingLinks& pending, size_t i,
                         std::vector<bool>& dropped, std::vector<int32_t>& changedAfterIndexing,
                         LinkOutcomes* outcomes) {
  char16_t* pool = module.pool.Data();
  const int64_t pos = -int64_t{pending.entries[i]};
  int64_t lineStart = pos;
  while (lineStart > 0 && pool[lineStart - 1] != 0) --lineStart;
  const int64_t lineEnd = pos + static_cast<int64_t>(TerminatorFrom(pool + pos, 0));
  UnresolvedLink link;
  if (outcomes != nullptr) {
    const char16_t* tag = pool + pos;
    size_t gt = 1;
    while (tag[gt] != 0 && tag[gt] != u'>') ++gt;
    link = DescribeUnresolved(tag, 0, gt);
    link.verse = i < pending.contexts.size() ? pending.contexts[i] : kNone;
    link.footnoteTag = static_cast<int32_t>(pos);
  }
  const Removal r = RemoveLink(pool + pos, 0);
  if (outcomes != nullptr) {
    link.removed = r.removed;
    outcomes->Unresolved(link);
  }
  if (!r.removed) return;
  changedAfterIndexing.push_back(static_cast<int32_t>(lineStart));
  const int64_t tagStart = pos;
  const int64_t tagEnd = pos + static_cast<int64_t>(r.tagLength);
  const int64_t closeStart = r.closeStart ? pos + static_cast<int64_t>(*r.closeStart) : -1;
  for (size_t j = i + 1; j < pending.entries.size(); ++j) {
    if (dropped[j]) continue;
    const int32_t e = pending.entries[j];
    if (e >= 0) break;
    int64_t q = -int64_t{e};
    if (q < lineStart || q >= lineEnd) break;
    if ((q >= tagStart && q < tagEnd) ||
        (closeStart >= 0 && q >= closeStart && q < closeStart + int64_t{kCloseTagLength})) {
      dropped[j] = true;
      continue;
    }
    int64_t shift = 0;
    if (q >= tagEnd) shift += static_cast<int64_t>(r.tagLength);
    if (closeStart >= 0 && q >= closeStart + int64_t{kCloseTagLength}) {
      shift += static_cast<int64_t>(kCloseTagLength);
    }
    pending.entries[j] = static_cast<int32_t>(-(q - shift));
  }
}

// The queued footnote-line tags from entry `i` on that can be resolved in
// one pass over their line: the entries up to the first that is not a tag
// position inside the same line string, each after the one before it (the
// line compiler queues a line's tags in text order). One past the last of
// them; `i` when entry `i` must go the way of one removal at a time (its line
// has no terminator, or the entries of its line are out of order or were
// dropped before).
size_t FootnoteLineRunEnd(const PendingLinks& pending, const std::vector<bool>& dropped, size_t i,
                          int64_t lineStart, int64_t terminator) {
  int64_t previous = -int64_t{pending.entries[i]};
  size_t k = i + 1;
  for (; k < pending.entries.size(); ++k) {
    const int32_t e = pending.entries[k];
    if (e >= 0) break;
    const int64_t q = -int64_t{e};
    if (q < lineStart || q >= terminator) break;
    if (dropped[k] || q <= previous) return i;
    previous = q;
  }
  return k;
}

// Resolves queued footnote-line entries [i, end) of one line string, as
// resolving each in place and removing it when it fails, one removal at a
// time, would: the same line, the same units after its new terminator, the
// same queued positions (a tag's position where it stood when its turn came;
// a dropped one's where it stood when a removal took it), the same outcomes.
// The pass runs forward over the line: the final text is kept at the front
// (s[0, w)), the text still to come at s[r, T] with the line's terminator at
// T but the hole, and a removal only moves the scan position; its "</a>"
// joins the hole (TextToScan). Each removal, done in
// place, would leave the last units of the line before it behind its new
// terminator; those are kept aside and written there at the end.
void ResolveFootnoteLineRun(Module& module, const Tables& tables, const SourceLines& lines,
                            PendingLinks& pending, size_t i, size_t end, int64_t lineStart,
                            int64_t terminator, std::vector<bool>& dropped,
                            std::vector<int32_t>& changedAfterIndexing, LinkOutcomes* outcomes) {
  char16_t* pool = module.pool.Data();
  char16_t* s = pool + lineStart;
  const auto T = static_cast<size_t>(terminator - lineStart);
  // Where each tag of the run stands in s now (dropped tags: no longer kept).
  std::vector<size_t> at(end - i);
  for (size_t j = i; j < end; ++j) {
    at[j - i] = static_cast<size_t>(-int64_t{pending.entries[j]} - lineStart);
  }
  // What each removal step leaves behind its new terminator, in step order,
  // and the length of each.
  std::u16string left;
  std::vector<size_t> leftLengths;
  GtFinder gt(false);
  TextToScan rest(s, T, lineStart, {&gt});
  size_t& r = rest.r;
  size_t w = 0;
  // The first tag (index into the run) after the hole, when there is one.
  size_t afterHole = end;
  // Where a tag at `y` stands in the line as it is now.
  auto literal = [&](size_t y) {
    size_t n = w + (y - r);
    if (rest.hole().Open() && y >= rest.hole().End()) n -= rest.hole().length;
    return static_cast<int32_t>(-(lineStart + static_cast<int64_t>(n)));
  };
  // Moves the tags of the run in [from, next) that lie in moved text.
  auto shift = [&](const Moved& moved, size_t from, size_t upTo) {
    size_t k = from;
    for (; k < upTo; ++k) {
      if (dropped[k]) continue;
      size_t& y = at[k - i];
      if (y >= moved.to) break;
      if (y >= moved.from) y = static_cast<size_t>(static_cast<ptrdiff_t>(y) + moved.by);
    }
    return k;
  };
  size_t next = i;  // the tag after the one at hand
  auto closeHole = [&] {
    const Moved moved = rest.CloseHole();
    shift(moved, next, afterHole);
    afterHole = end;
  };
  for (size_t j = i; j < end; ++j) {
    if (dropped[j]) continue;
    next = j + 1;
    const size_t x = at[j - i];
    if (rest.hole().Open() && x >= rest.hole().End()) {
      std::memmove(s + w, s + r, (rest.hole().at - r) * sizeof(char16_t));
      w += rest.hole().at - r;
      rest.MoveTo(rest.hole().at);
      afterHole = end;
    }
    std::memmove(s + w, s + r, (x - r) * sizeof(char16_t));
    w += x - r;
    r = x;
    pending.entries[j] = literal(r);
    // Everything read at the tag lies before the hole.
    if (rest.HoleBefore(rest.QuoteFrom(r + 4) + kReadAhead)) closeHole();
    const auto findGt = [&] {
      return static_cast<size_t>(
          gt.Find(pool, lineStart + static_cast<int64_t>(r) + 1, terminator) - lineStart);
    };
    if (s[r + 1] == u'f') {
      // A footnote link reads its marker after its ">".
      const size_t g = findGt();
      if (g < T && rest.HoleBefore(g + kReadAhead)) closeHole();
    }
    const int32_t contextVerse = j < pending.contexts.size() ? pending.contexts[j] : kNone;
    const TagSite site{std::span<char16_t>(s + r, T - r + 1),
                       static_cast<int32_t>(lineStart + static_cast<int64_t>(r)), &lines, &gt};
    if (LinkStepAt(tables, site, BookOfVerse(module, contextVerse))) {
      if (outcomes != nullptr) outcomes->Resolved(1);
      continue;
    }
    size_t g = findGt();
    if (outcomes != nullptr) {
      if (g < T && rest.HoleBefore(g + kReadAhead)) {
        closeHole();  // the description reads the units after the ">"
        g = findGt();
      }
      UnresolvedLink link = DescribeUnresolved(s + r, 0, g - r);
      link.verse = contextVerse;
      link.footnoteTag = static_cast<int32_t>(lineStart + static_cast<int64_t>(w));
      link.removed = g < T;
      outcomes->Unresolved(link);
    }
    if (g >= T) continue;  // no ">" on the line: nothing is removed
    if (leftLengths.empty()) changedAfterIndexing.push_back(static_cast<int32_t>(lineStart));
    // The tag goes: later tags inside it are dropped where they stood.
    size_t tagLength = g + 1 - r;
    if (rest.hole().Open() && g >= rest.hole().End()) tagLength -= rest.hole().length;
    const size_t previous = left.size();
    rest.AppendLast(tagLength, left);
    leftLengths.push_back(left.size() - previous);
    for (; next < end; ++next) {
      if (dropped[next]) continue;
      if (at[next - i] > g) break;
      dropped[next] = true;
      pending.entries[next] = literal(at[next - i]);
    }
    if (rest.hole().Open() && g + 1 >= rest.hole().at) afterHole = end;
    rest.MoveTo(g + 1);
    // Then its "</a>": it joins the hole, and the text between the hole and
    // it moves (no queued tag starts a "</a>": the unit after its "<" is its
    // letter, which a removal takes only with the "<").
    const CloseTagAt c = rest.closeTags().Find(s, r, T, rest.hole());
    if (c.at >= T) continue;
    rest.AppendLast(kCloseTagLength, left);
    leftLengths.push_back(kCloseTagLength);
    const bool wasOpen = rest.hole().Open();
    const Moved moved = rest.TakeOut(c);
    if (!wasOpen) {
      afterHole = next;
      while (afterHole < end && (dropped[afterHole] || at[afterHole - i] < rest.hole().End())) {
        ++afterHole;
      }
    } else if (moved.by != 0) {
      afterHole = shift(moved, afterHole, end);
    }
  }
  if (leftLengths.empty()) return;  // nothing removed: the line is as it was
  // The step taken last left its units right behind the final terminator.
  size_t to = rest.CopyRestTo(w) + 1;
  size_t from = left.size();
  for (auto n = leftLengths.rbegin(); n != leftLengths.rend(); ++n) {
    from -= *n;
    std::memcpy(s + to, left.data() + from, *n * sizeof(char16_t));
    to += *n;
  }
}

// Whether a resolution that wrote [tagPos + 1, close] of the open verse's
// line can have changed the verse's plain text: it cannot when neither the
// old nor the new units there hold "<" or ">" (resolved values hold
// neither) and a ">" follows, so that every written unit lies inside a tag
// that PlainText removes.
bool MayChangePlainText(bool angleInTag, const char16_t* pool, LineState& line, int64_t close) {
  return angleInTag || line.gt.Find(pool, close + 1, line.end) >= line.end;
}

// Resolves the links of queued verse `v` in a working copy and writes it
// back; tells the verse search when its plain text changed.
CopyOutcome ResolveQueuedVerse(Module& module, LinkLookup& lookup, int32_t v,
                               std::vector<int32_t>& changedAfterIndexing,
                               LinkOutcomes* outcomes) {
  const int32_t text = module.verses[v].text;
  std::u16string copy = WorkingCopy(module, text);
  UnresolvedLink where;
  where.verse = v;
  const CopyOutcome outcome = ResolveInCopy(Tables{module, lookup}, copy, /*isNote=*/false,
                                            module.verses[v].book, outcomes, where);
  if (outcome.changed) changedAfterIndexing.push_back(text);
  if (!outcome.written) return outcome;
  lookup.verses->RewriteVerse(module, v, [&] { CopyBack(module, text, copy); });
  return outcome;
}

// Tells `outcomes` of the text a pass left that a reading program misreads as
// a resolved link; the module keeps it as the rules make it.
void ReportLookalikes(const CopyOutcome& outcome, int32_t verse, int32_t noteOf,
                      LinkOutcomes* outcomes) {
  if (outcomes == nullptr) return;
  LinkLookalike lookalike;
  lookalike.verse = verse;
  lookalike.noteOf = noteOf;
  if (!outcome.unresolvedLookalike.empty()) {
    lookalike.kind = LinkLookalike::Kind::kUnresolvedValue;
    lookalike.text = outcome.unresolvedLookalike;
    outcomes->Lookalike(lookalike);
  }
  if (!outcome.smallCapsRewritten.empty()) {
    lookalike.kind = LinkLookalike::Kind::kSmallCapsRewritten;
    lookalike.text = outcome.smallCapsRewritten;
    outcomes->Lookalike(lookalike);
  }
}

}  // namespace

void RegisterBook(const Module& module, LinkLookup& lookup, int32_t book) {
  SyncLookup(module, lookup, book + 1);
}

int32_t FindBook(const Module& module, LinkLookup& lookup, std::u16string_view name) {
  SyncLookup(module, lookup, module.bookCount);
  auto find = [&](const std::string& key) {
    const auto it = lookup.byKey.find(key);
    return it == lookup.byKey.end() ? kNone : it->second;
  };
  // Equal units give equal keys. Long names are not kept: a name that
  // resolves is a book's title or abbreviation, a few units long.
  constexpr size_t kLongestKept = 64;
  if (name.size() > kLongestKept) return find(SortKey(name));
  auto [known, added] = lookup.keyOfName.try_emplace(std::u16string(name));
  if (added) known->second = SortKey(name);
  return find(known->second);
}

bool LinkStep(Module& module, LinkLookup& lookup, int32_t tagPos, int32_t contextVerse) {
  LineState& line = *lookup.line;
  const std::optional<int64_t> end = LineEnd(module, line, tagPos);
  if (!end) return false;
  char16_t* pool = module.pool.Data();
  if (!line.following && pool[tagPos + 1] == u'f') line.following = RecordLinesAfter(module, tagPos);
  static const SourceLines kNoLines;
  const TagSite site{
      std::span<char16_t>(pool + tagPos, static_cast<size_t>(*end - tagPos + 1)), tagPos,
      line.following ? &*line.following : &kNoLines, &line.gt};

  // A tag of the open verse: whether its resolution may change the verse's
  // plain text is decided on the units before it.
  VerseSearch& verses = *lookup.verses;
  const int32_t open = module.verseCount - 1;
  bool watch = open >= 0 && contextVerse == open && verses.OpenPlainKept(open) &&
               module.verses[open].text <= tagPos;
  if (watch) {
    if (line.verse != open) {
      const int64_t start = module.verses[open].text;
      line.verse = open;
      line.verseEnd = text::FindNul(pool + start, pool + module.pool.Length()) - pool;
    }
    watch = tagPos < line.verseEnd;
  }
  size_t close = 0;
  bool angleInTag = false;
  if (watch) {
    close = ClosingQuote(site.str);
    for (size_t p = 1; p <= close && p + 1 < site.str.size(); ++p) {
      angleInTag |= site.str[p] == u'<' || site.str[p] == u'>';
    }
  }
  const bool resolved = LinkStepAt(Tables{module, lookup}, site, BookOfVerse(module, contextVerse));
  if (resolved && watch &&
      MayChangePlainText(angleInTag, module.pool.Data(), line, tagPos + static_cast<int64_t>(close))) {
    verses.OpenVerseWritten();
  }
  return resolved;
}

void ResolveLinkage(Module& module, LinkLookup& lookup, PendingLinks& pendingLinks,
                    std::vector<int32_t>& changedAfterIndexing, Progress& progress,
                    LinkOutcomes* outcomes) {
  progress.Phase(u"Resolve linkage");
  const Tables tables{module, lookup};
  lookup.verses->AllVersesComplete();
  // The footnote searches below walk the lines as first cut, before any
  // removal shortens one.
  const SourceLines lines = RecordLines(module, pendingLinks);

  // Book notes, in working copies; their "<m=" and "<r=" links name the book
  // that owns the note.
  for (int32_t b = 0; b < module.bookCount; ++b) {
    const int32_t note = module.books[b].note;
    if (note == kNone) continue;
    std::u16string copy = WorkingCopy(module, note);
    UnresolvedLink where;
    where.noteOf = b;
    const CopyOutcome outcome = ResolveInCopy(tables, copy, /*isNote=*/true, b, outcomes, where);
    CopyBack(module, note, copy);
    ReportLookalikes(outcome, kNone, b, outcomes);
  }

  // A verse queued again is processed again only when that can change it:
  // when its last pass left a link that is neither resolved nor removable
  // and some verse text (what such a link is resolved against, its own text
  // included) was written since that pass began; or when a removal joined
  // text into a link tag behind the scan, or changed the value of a link
  // that had resolved without a write. Otherwise the pass would find nothing
  // left to do.
  constexpr int64_t kNever = -1;
  enum Again : uint8_t { kNothingLeft, kIfVersesChanged, kAlways };
  std::vector<int64_t> passedAt(static_cast<size_t>(std::max(module.verseCount, 0)), kNever);
  std::vector<Again> again(passedAt.size(), kNothingLeft);
  std::vector<int64_t> resolvedAgain(passedAt.size(), 0);  // links a new pass resolves once more
  int64_t writes = 0;  // passes that wrote a verse text
  std::vector<bool> dropped(pendingLinks.entries.size(), false);
  LineState inPlace;
  for (size_t i = 0; i < pendingLinks.entries.size(); ++i) {
    const int32_t e = pendingLinks.entries[i];
    if (e >= 0) {
      if (e >= module.verseCount) throw DynArrayOutOfRange(e, module.verseCount);
      const auto v = static_cast<size_t>(e);
      if (passedAt[v] != kNever &&
          (again[v] == kNothingLeft || (again[v] == kIfVersesChanged && passedAt[v] == writes))) {
        if (outcomes != nullptr && resolvedAgain[v] > 0) outcomes->Resolved(resolvedAgain[v]);
        continue;
      }
      const int64_t writesBefore = writes;
      const CopyOutcome outcome =
          ResolveQueuedVerse(module, lookup, e, changedAfterIndexing, outcomes);
      ReportLookalikes(outcome, e, kNone, outcomes);
      if (outcome.written) ++writes;
      passedAt[v] = writesBefore;
      resolvedAgain[v] = outcome.resolvedAgain;
      again[v] = outcome.tagFormedBehind || outcome.earlierTagChanged ? kAlways
                 : outcome.refusedKept                                ? kIfVersesChanged
                                                                      : kNothingLeft;
      continue;
    }
    if (dropped[i]) continue;
    const int32_t contextVerse =
        i < pendingLinks.contexts.size() ? pendingLinks.contexts[i] : kNone;
    const int64_t pos = -int64_t{e};
    const std::optional<int64_t> end = LineEnd(module, inPlace, pos);
    if (!end) continue;
    // The tags of one footnote line are resolved in one pass over it.
    const char16_t* pool = module.pool.Data();
    int64_t lineStart = pos;
    while (lineStart > 0 && pool[lineStart - 1] != 0) --lineStart;
    const size_t runEnd = FootnoteLineRunEnd(pendingLinks, dropped, i, lineStart, *end);
    if (runEnd > i) {
      ResolveFootnoteLineRun(module, tables, lines, pendingLinks, i, runEnd, lineStart, *end,
                             dropped, changedAfterIndexing, outcomes);
      inPlace = LineState();
      i = runEnd - 1;
      continue;
    }
    const TagSite site{std::span<char16_t>(module.pool.Data() + pos, static_cast<size_t>(*end - pos + 1)),
                       static_cast<int32_t>(pos), &lines, &inPlace.gt};
    if (LinkStepAt(tables, site, BookOfVerse(module, contextVerse))) {
      if (outcomes != nullptr) outcomes->Resolved(1);
      continue;
    }
    RemoveQueuedInPlace(module, pendingLinks, i, dropped, changedAfterIndexing, outcomes);
    inPlace = LineState();  // the line is shorter now
  }
}

}  // namespace quillavor
