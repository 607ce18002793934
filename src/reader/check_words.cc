// Checks of the word dictionary (block 6) and the word occurrences (block 7),
// with each word's Concordance letter book.
#include <algorithm>
#include <iterator>
#include <map>
#include <utility>

#include "index/tokenizer.h"
#include "index/word_index.h"
#include "model/dictionary.h"
#include "platform/text.h"
#include "reader/check_internal.h"

namespace quillavor::check {

namespace {

// The tags of a text as the tokenizer sees them: a "<" with a ">" later,
// through the first following ">". Each span is [open, close].
using TagSpanList = std::vector<std::pair<size_t, size_t>>;

// The verse text as the word indexer prepared it (trimmed, every "<sc>" removed).
std::u16string PreparedText(std::u16string_view verseText) {
  std::u16string p;
  PrepareVerseText(verseText, p);
  return p;
}

TagSpanList TagSpans(std::u16string_view s) {
  TagSpanList spans;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != u'<') continue;
    const size_t close = s.find(u'>', i + 1);
    if (close == std::u16string_view::npos) break;
    spans.emplace_back(i, close);
    i = close;
  }
  return spans;
}

bool InsideTag(const TagSpanList& spans, size_t offset) {
  auto it =
      std::upper_bound(spans.begin(), spans.end(), offset,
                       [](size_t o, const std::pair<size_t, size_t>& t) { return o < t.first; });
  return it != spans.begin() && offset <= std::prev(it)->second;
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

// The verses' upper-cased prepared texts and their tag spans, each made on
// first use: a module's occurrences name a verse many times.
class PreparedVerses {
 public:
  explicit PreparedVerses(const Layout& layout)
      : layout_(layout),
        upper_(static_cast<size_t>(layout.verseCount)),
        tags_(static_cast<size_t>(layout.verseCount)) {}

  // Null when the verse's text index is bad (reported with the verse).
  const std::u16string* Upper(int32_t v) {
    auto& slot = upper_[static_cast<size_t>(v)];
    if (!slot) {
      const int32_t t = layout_.module.verses()[static_cast<size_t>(v)].text;
      if (!layout_.ValidString(t, false)) return nullptr;
      slot = text::ToUpperInvariant(PreparedText(layout_.Str(t)));
    }
    return &*slot;
  }

  // For a verse whose Upper is not null.
  const TagSpanList& Tags(int32_t v) {
    auto& slot = tags_[static_cast<size_t>(v)];
    if (!slot) slot = TagSpans(*Upper(v));
    return *slot;
  }

 private:
  const Layout& layout_;
  std::vector<std::optional<std::u16string>> upper_;
  std::vector<std::optional<TagSpanList>> tags_;
};

// kMissing: the word is nowhere in the verse; whether a removed link explains
// that is decided per verse (ResolveMissingWords).
enum class Placement { kExact, kAccepted, kMissing, kReported };

struct Occurrence {
  uint32_t ordinal;
  uint32_t offset;
  int32_t record;
  int32_t word;
  Placement placement;
};

using OccurrencesByVerse = std::map<int32_t, std::vector<Occurrence>>;

std::u16string_view WordText(const Layout& layout, int32_t w) {
  return layout.Str(layout.module.words()[static_cast<size_t>(w)].text);
}

void CompareWordLink(const Layout& layout, Violations& out, int32_t w, std::string_view field,
                     int32_t actual, int32_t expected) {
  if (actual == expected) return;
  if (actual != kNone && (actual < 0 || actual >= layout.wordCount)) {
    out.Add(format::kWordsBlock, w, field,
            N(actual) + " out of range (wordCount " + N(layout.wordCount) + ")");
  } else {
    out.Add(format::kWordsBlock, w, field,
            N(actual) + ", expected " + N(expected) + " (ascending upper-cased text)");
  }
}

void CheckSentinel(const Layout& layout, Violations& out) {
  const DictEntry& s = layout.module.words()[0];
  if (layout.ValidString(s.text, true) && layout.Str(s.text) != kDictSentinelText) {
    out.Add(format::kWordsBlock, 0, "text",
            Quote(layout.Str(s.text)) + ", expected the sentinel text U+FFFF U+FFFF U+FFFF");
  }
  if (s.letterBook != 0) {
    out.Add(format::kWordsBlock, 0, "letterBook",
            N(s.letterBook) + ", expected 0 (the sentinel is listed under no letter)");
  }
  if (s.firstRef != kNone) {
    out.Add(format::kWordsBlock, 0, "firstRef",
            N(s.firstRef) + ", expected -1 (the sentinel has no occurrences)");
  }
}

// The word's letter book is a Concordance letter book titled with the word's
// upper-cased first character (a surrogate pair as one).
void CheckLetterBook(const Layout& layout, Violations& out, int32_t w,
                     std::vector<bool>& letterUsed) {
  const DictEntry& e = layout.module.words()[static_cast<size_t>(w)];
  if (!layout.IsLetterBook(e.letterBook)) {
    if (e.letterBook < 0 || e.letterBook >= layout.bookCount) {
      out.Add(format::kWordsBlock, w, "letterBook",
              N(e.letterBook) + " out of range (bookCount " + N(layout.bookCount) + ")");
    } else {
      out.Add(format::kWordsBlock, w, "letterBook",
              N(e.letterBook) + " is not a Concordance letter book");
    }
    return;
  }
  letterUsed[static_cast<size_t>(e.letterBook)] = true;
  if (!layout.ValidString(e.text, true)) return;
  const std::u16string_view stored = layout.Str(e.text);
  const std::u16string& upper = layout.upperWords[static_cast<size_t>(w)];
  if (stored.empty()) return;
  const size_t len = text::IsSurrogate(stored[0]) && upper.size() >= 2 ? 2 : 1;
  const std::u16string_view letter = std::u16string_view(upper).substr(0, len);
  const BookRecord& book = layout.module.books()[static_cast<size_t>(e.letterBook)];
  if (!layout.ValidString(book.title, true)) return;  // reported with the book
  if (layout.Str(book.title) != letter) {
    out.Add(format::kWordsBlock, w, "letterBook",
            N(e.letterBook) + " is titled " + Quote(layout.Str(book.title)) + ", expected " +
                Quote(letter) + " (the word's upper-cased first character)");
  }
}

// Occurrences of one word are in ascending verse order, and within a verse in
// ascending ordinal order (equal only at the ordinal cap).
void CheckOrder(const Layout& layout, Violations& out, int32_t before, int32_t after) {
  const WordRef& a = layout.module.wordRefs()[static_cast<size_t>(before)];
  const WordRef& b = layout.module.wordRefs()[static_cast<size_t>(after)];
  if (a.verse < 0 || a.verse >= layout.verseCount) return;
  const uint32_t oa = WordOrdinal(a.position);
  const uint32_t ob = WordOrdinal(b.position);
  if (b.verse < a.verse) {
    out.Add(format::kRefsBlock, before, "next",
            N(after) + " is in verse " + N(b.verse) + ", before verse " + N(a.verse) +
                " (occurrences are in text order)");
  } else if (b.verse == a.verse && (ob < oa || (ob == oa && oa != kMaxWordOrdinal))) {
    out.Add(format::kRefsBlock, before, "next",
            N(after) + " has ordinal " + N(ob) + ", not after ordinal " + N(oa) + " in verse " +
                N(a.verse) + " (occurrences are in text order)");
  }
}

// The word stands at the recorded offset of its verse's prepared text
// (compared in upper case: the stored spelling may differ in case). A link
// resolved after indexing rewrites its tag, where the offset search may have
// met the word's text. A link removed after indexing moves the text after it,
// and may delete words.
Placement CheckWordAtOffset(const Layout& layout, PreparedVerses& verses, Violations& out,
                            int32_t w, int32_t r) {
  const WordRef& ref = layout.module.wordRefs()[static_cast<size_t>(r)];
  const std::u16string& word = layout.upperWords[static_cast<size_t>(w)];
  if (word.empty() &&
      !layout.ValidString(layout.module.words()[static_cast<size_t>(w)].text, true)) {
    return Placement::kAccepted;  // the word's text is reported with the word
  }
  const std::u16string* p = verses.Upper(ref.verse);
  if (p == nullptr) return Placement::kAccepted;  // reported with the verse
  const uint32_t offset = WordOffset(ref.position);
  const std::u16string_view text(*p);
  if (text.find(word) == std::u16string_view::npos) return Placement::kMissing;
  if (offset >= kMaxWordOffset) return Placement::kAccepted;
  if (text.substr(std::min<size_t>(offset, text.size())).starts_with(word)) {
    return Placement::kExact;
  }
  if (InsideTag(verses.Tags(ref.verse), offset)) return Placement::kAccepted;
  // The offset may have pointed into the removed tag itself (the offset search
  // can meet the word's text inside a tag), so the word may now stand before
  // or after it.
  if (layout.MayHaveChangedAfterIndexing(ref.verse)) return Placement::kAccepted;
  out.Add(format::kRefsBlock, r, "position",
          "word " + N(w) + " " + Quote(WordText(layout, w)) + " is not at offset " + N(offset) +
              " of verse " + N(ref.verse) + "'s prepared text");
  return Placement::kReported;
}

// Follows the occurrence list of word `w`, marking each record with its owner
// and filing it under its verse.
void WalkWordList(const Layout& layout, PreparedVerses& verses, Violations& out, int32_t w,
                  std::vector<int32_t>& owner, OccurrencesByVerse& perVerse) {
  const auto& refs = layout.module.wordRefs();
  int32_t prev = kNone;
  int32_t r = layout.module.words()[static_cast<size_t>(w)].firstRef;
  std::string_view field = "firstRef";
  int64_t fieldRecord = w;
  std::string_view fieldBlock = format::kWordsBlock;
  while (r != kNone) {
    if (r < 0 || r >= layout.refCount) {
      out.Add(fieldBlock, fieldRecord, field,
              N(r) + " out of range (wordRefCount " + N(layout.refCount) + ")");
      return;
    }
    const int32_t previousOwner = owner[static_cast<size_t>(r)];
    if (previousOwner != kNone) {
      out.Add(fieldBlock, fieldRecord, field,
              N(r) + " is already in the list of word " + N(previousOwner) +
                  (previousOwner == w ? " (the list loops)" : ""));
      return;
    }
    owner[static_cast<size_t>(r)] = w;
    const WordRef& ref = refs[static_cast<size_t>(r)];
    if (ref.verse < 0 || ref.verse >= layout.verseCount) {
      out.Add(format::kRefsBlock, r, "verse",
              N(ref.verse) + " out of range (verseCount " + N(layout.verseCount) + ")");
    } else {
      if (prev != kNone) CheckOrder(layout, out, prev, r);
      const Placement placement = CheckWordAtOffset(layout, verses, out, w, r);
      perVerse[ref.verse].push_back(
          Occurrence{WordOrdinal(ref.position), WordOffset(ref.position), r, w, placement});
    }
    prev = r;
    fieldBlock = format::kRefsBlock;
    fieldRecord = r;
    field = "next";
    r = ref.next;
  }
}

// Why words missing from verse `v` are not explained by a link changed after
// indexing; empty when they are. Removing an unresolved link can delete words
// the indexer saw (an unclosed tag whose text the indexer read as words, cut
// through the ">" of a later "<sc>"), each one occurrence more than the verse
// now has words; resolving a link whose tag the indexer saw unclosed rewrites
// the value it read as words. A build's list names such verses; without it
// missing words are accepted up to the surplus of occurrences over words, or
// in any number when the verse holds a link tag still unclosed.
std::string UnexplainedMissingWords(const Layout& layout, PreparedVerses& verses, int32_t v,
                                    size_t missing, size_t occurrences) {
  if (layout.changedAfterIndexing) {
    if (!layout.MayHaveChangedAfterIndexing(v)) return "the build did not change the verse's text";
    return "";
  }
  if (HasUnclosedLinkTag(*verses.Upper(v))) return "";
  const std::u16string prepared =
      PreparedText(layout.Str(layout.module.verses()[static_cast<size_t>(v)].text));
  std::vector<std::u16string_view> tokens;
  WordTokenizer(prepared, tokens);
  const size_t surplus = occurrences > tokens.size() ? occurrences - tokens.size() : 0;
  if (missing <= surplus) return "";
  return N(static_cast<int64_t>(missing)) + " missing words, but the verse has " +
         N(static_cast<int64_t>(occurrences)) + " occurrences for " +
         N(static_cast<int64_t>(tokens.size())) + " words: a removed link explains at most " +
         N(static_cast<int64_t>(surplus));
}

void ResolveMissingWords(const Layout& layout, PreparedVerses& verses, Violations& out, int32_t v,
                         std::vector<Occurrence>& list) {
  size_t missing = 0;
  for (const Occurrence& o : list) missing += o.placement == Placement::kMissing ? 1 : 0;
  if (missing == 0) return;
  const std::string why = UnexplainedMissingWords(layout, verses, v, missing, list.size());
  for (Occurrence& o : list) {
    if (o.placement != Placement::kMissing) continue;
    o.placement = why.empty() ? Placement::kAccepted : Placement::kReported;
    if (why.empty()) continue;
    out.Add(format::kRefsBlock, o.record, "position",
            "word " + N(o.word) + " " + Quote(WordText(layout, o.word)) + " is not in verse " +
                N(v) + "'s prepared text (" + why + ")");
  }
}

// Within a verse every token has one occurrence, ordinals 0 to n - 1 (the cap
// repeating), and offsets never fall as the ordinal grows: each search starts
// at the previous word's offset.
void CheckVerseOccurrences(const Layout& layout, PreparedVerses& verses, Violations& out, int32_t v,
                           std::vector<Occurrence>& list) {
  ResolveMissingWords(layout, verses, out, v, list);
  std::sort(list.begin(), list.end(), [](const Occurrence& a, const Occurrence& b) {
    return a.ordinal < b.ordinal || (a.ordinal == b.ordinal && a.record < b.record);
  });
  for (size_t i = 0; i < list.size(); ++i) {
    const uint32_t expected = static_cast<uint32_t>(std::min<size_t>(i, kMaxWordOrdinal));
    if (list[i].ordinal != expected) {
      out.Add(format::kVersesBlock, v, "",
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
    out.Add(format::kRefsBlock, blamed.record, "position",
            "offset " + N(blamed.offset) + " of ordinal " + N(blamed.ordinal) +
                (blameLater ? " lies before" : " lies after") + " offset " + N(other.offset) +
                " of ordinal " + N(other.ordinal) + " (record " + N(other.record) + ") in verse " +
                N(v) + " (offsets grow with the ordinal)");
  }
}

}  // namespace

void CheckWords(const Layout& layout, Violations& out) {
  const auto& words = layout.module.words();
  if (layout.wordCount == 0) return;
  CheckSentinel(layout, out);
  // The order the entries must be linked in: ascending upper-cased text,
  // unsigned code units, a prefix first.
  std::vector<int32_t> order;
  for (int32_t w = 0; w < layout.wordCount; ++w) {
    if (CheckPoolIndex(layout, out, format::kWordsBlock, w, "text",
                       words[static_cast<size_t>(w)].text, true)) {
      order.push_back(w);
    }
  }
  const auto& upper = layout.upperWords;
  const bool complete = static_cast<int32_t>(order.size()) == layout.wordCount;
  std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
    return upper[static_cast<size_t>(a)] < upper[static_cast<size_t>(b)];
  });
  for (size_t i = 1; i < order.size(); ++i) {
    if (upper[static_cast<size_t>(order[i])] == upper[static_cast<size_t>(order[i - 1])]) {
      out.Add(format::kWordsBlock, order[i], "text",
              Quote(WordText(layout, order[i])) + " equals word " + N(order[i - 1]) +
                  " ignoring case (dictionary entries are distinct)");
    }
  }
  if (!complete) return;  // the expected links are unknown
  if (!order.empty() && order.back() != 0) {
    out.Add(format::kWordsBlock, order.back(), "text",
            Quote(WordText(layout, order.back())) +
                " sorts after the sentinel (entry 0 must sort last)");
  }
  for (size_t i = 0; i < order.size(); ++i) {
    const int32_t w = order[i];
    CompareWordLink(layout, out, w, "prev", words[static_cast<size_t>(w)].prev,
                    i > 0 ? order[i - 1] : kNone);
    CompareWordLink(layout, out, w, "next", words[static_cast<size_t>(w)].next,
                    i + 1 < order.size() ? order[i + 1] : kNone);
  }
  const int32_t wordFirst = layout.module.counters().wordFirst;
  if (wordFirst != order.front() && wordFirst >= 0 && wordFirst < layout.wordCount) {
    out.Add(format::kCountersBlock, -1, "wordFirst",
            N(wordFirst) + ", expected " + N(order.front()) + " (the word that sorts first)");
  }
}

void CheckWordRefs(const Layout& layout, Violations& out) {
  PreparedVerses verses(layout);
  std::vector<int32_t> owner(layout.module.wordRefs().size(), kNone);
  // Per verse: its occurrences, to see that every token of the verse has
  // exactly one record.
  OccurrencesByVerse perVerse;
  std::vector<bool> letterUsed(static_cast<size_t>(std::max(layout.bookCount, 0)), false);
  for (int32_t w = 0; w < layout.wordCount; ++w) {
    if (w != 0) CheckLetterBook(layout, out, w, letterUsed);
    if (w != 0 && layout.module.words()[static_cast<size_t>(w)].firstRef == kNone) {
      out.Add(format::kWordsBlock, w, "firstRef", "-1, but every word has at least one occurrence");
      continue;
    }
    WalkWordList(layout, verses, out, w, owner, perVerse);
  }
  for (int32_t r = 0; r < layout.refCount; ++r) {
    if (owner[static_cast<size_t>(r)] == kNone) {
      out.Add(format::kRefsBlock, r, "", "the occurrence is in no word's list");
    }
  }
  for (auto& [v, list] : perVerse) CheckVerseOccurrences(layout, verses, out, v, list);
  const int32_t title = layout.concordance.titleBook;
  if (title < 0) return;
  for (int32_t b = title + 1; b < layout.bookCount; ++b) {
    if (!letterUsed[static_cast<size_t>(b)]) {
      out.Add(format::kBooksBlock, b, "", "the Concordance letter book lists no word");
    }
  }
}

}  // namespace quillavor::check
