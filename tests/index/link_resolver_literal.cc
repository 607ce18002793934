// Link resolution exactly as its rules read, step by step and without any
// index: each link scans the books, each verse search computes plain texts
// afresh, each removal shifts the rest of its string, and a verse queued
// twice is processed twice. The library's resolver must give the same pool,
// unit for unit; the property tests compare the two on random sources.
#include "index/link_resolver_literal.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>

#include "markup/plain_text.h"
#include "markup/tags.h"
#include "model/errors.h"
#include "model/module.h"
#include "model/module_format.h"
#include "platform/text.h"
#include "source/book_names.h"

namespace quillavor::literal {

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

bool IsLineBreak(char16_t c) { return c == 0 || c == u'\r' || c == u'\n'; }

// "equal": the collator at tertiary strength.
bool Equal(std::u16string_view a, std::u16string_view b) {
  return text::CollatorEqual(a, b, text::Strength::kTertiary);
}

// "starts with": the first prefix.size() units of `s` (all of `s` when it is
// shorter) are "equal" to `prefix`.
bool StartsWith(std::u16string_view s, std::u16string_view prefix) {
  return Equal(s.substr(0, std::min(s.size(), prefix.size())), prefix);
}

// The trimmed plain text of one verse, kept for the verse last asked for (the
// "<A=" search looks at the verse where a token stopped again for the next).
class VersePlainText {
 public:
  std::u16string_view Of(const Module& module, int32_t verse) {
    if (verse != verse_) {
      PlainTextInto(module.StringView(module.verses[verse].text), plain_);
      verse_ = verse;
    }
    return text::TrimView(plain_);
  }

 private:
  int32_t verse_ = kNone;
  std::u16string plain_;
};

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

// Where a tag stands and what may be read around it.
struct TagSite {
  std::span<char16_t> str;   // from the tag's "<" through its string's terminator
  int32_t poolPos;           // pool index of the "<"; -1 in a working copy
  const SourceLines* lines;  // line boundaries as first cut; null: walk the pool
};

// Walks the lines that follow the line holding pool index `pos`.
class LineWalker {
 public:
  LineWalker(const Module& module, int32_t pos, int64_t lineEnd, const SourceLines* lines)
      : pool_(module.pool.Data()), lines_(lines), end_(SourceTextEnd(module)) {
    if (lines_ != nullptr) {
      next_ =
          static_cast<size_t>(std::upper_bound(lines_->starts.begin(), lines_->starts.end(), pos) -
                              lines_->starts.begin());
    } else {
      p_ = lineEnd;
    }
  }

  // The next line as [start, end); false after the last line of the source.
  bool Next(int64_t& start, int64_t& end) {
    if (lines_ != nullptr) {
      if (next_ >= lines_->starts.size()) return false;
      start = lines_->starts[next_];
      end = lines_->ends[next_];
      ++next_;
      return true;
    }
    while (p_ < end_ && IsLineBreak(pool_[p_])) ++p_;
    if (p_ >= end_) return false;
    start = p_;
    while (p_ < end_ && !IsLineBreak(pool_[p_])) ++p_;
    end = p_;
    return true;
  }

 private:
  const char16_t* pool_;
  const SourceLines* lines_;
  int64_t end_;
  size_t next_ = 0;
  int64_t p_ = 0;
};

// Records the lines of the source text that follow the first queued
// footnote-line tag, before the pass changes any line.
SourceLines RecordLines(const Module& module, const PendingLinks& pending) {
  SourceLines lines;
  int64_t first = -1;
  for (int32_t e : pending.entries) {
    if (e >= 0) continue;
    const int64_t pos = -int64_t{e};
    if (first < 0 || pos < first) first = pos;
  }
  const int64_t end = SourceTextEnd(module);
  if (first < 0 || first >= end) return lines;
  const char16_t* pool = module.pool.Data();
  int64_t p = first;
  while (p < end && !IsLineBreak(pool[p])) ++p;
  for (;;) {
    while (p < end && IsLineBreak(pool[p])) ++p;
    if (p >= end) break;
    lines.starts.push_back(static_cast<int32_t>(p));
    while (p < end && !IsLineBreak(pool[p])) ++p;
    lines.ends.push_back(static_cast<int32_t>(p));
  }
  return lines;
}

bool TitleOrAbbrevEqual(const Module& module, int32_t book, std::u16string_view s) {
  const BookRecord& b = module.books[book];
  if (b.title >= 0 && Equal(module.StringView(b.title), s)) return true;
  return b.abbrev >= 0 && Equal(module.StringView(b.abbrev), s);
}

// The first book, in table order, whose title or abbreviation is "equal".
int32_t FindBook(const Module& module, std::u16string_view name) {
  for (int32_t b = 0; b < module.bookCount; ++b) {
    if (TitleOrAbbrevEqual(module, b, name)) return b;
  }
  return kNone;
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
  const int32_t book = FindBook(module, expanded);
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

  // Forward-only search from the book's first verse.
  VersePlainText plain;
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
    while (k < module.verseCount && module.verses[k].book == book) {
      const bool hit = StartsWith(plain.Of(module, k), token);
      if (!hit && !range) {
        if (matched) {
          matched = false;
          break;
        }
        ++k;
        continue;
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
int32_t FindChildOrVerse(const Module& module, int32_t parent, std::u16string_view both,
                         std::u16string_view child) {
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
  VersePlainText plain;
  for (int32_t v = 0; v < module.verseCount; ++v) {
    if (module.verses[v].book != parent) continue;
    const std::u16string_view line = plain.Of(module, v);
    if (StartsWith(line, both) || StartsWith(line, child)) return VerseRef(v);
  }
  return kNone;
}

// Forms "<a=", "<m=", "<r=": decimal references written into the value.
bool ResolveDecimal(const Tables& t, std::span<char16_t> s, size_t n, int32_t contextBook) {
  const bool withContext = s[1] != u'a';
  if (withContext && contextBook < 0) return false;
  const std::u16string_view value = text::TrimView(std::u16string_view(s.data() + 4, n));
  format::DecimalLink link;
  const size_t hash = value.find(u'#');
  if (hash == std::u16string_view::npos) {
    const int32_t book = FindBook(t.module, value);
    if (book < 0) return false;
    link.first = BookRef(book);
  } else {
    const std::u16string_view parentName = text::TrimView(value.substr(0, hash));
    std::u16string both(value);
    std::replace(both.begin(), both.end(), u'#', u' ');
    const std::u16string_view child = value.substr(hash + 1);
    const int32_t parent = FindBook(t.module, parentName);
    if (parent < 0) return false;
    const int32_t second = FindChildOrVerse(t.module, parent, text::TrimView(both), child);
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
  size_t gt = 1;
  while (gt < terminator && s[gt] != u'>') ++gt;
  if (gt + 3 >= terminator) return false;  // no ">", or no 3 units after it
  const std::u16string_view marker(s.data() + gt + 1, 3);

  const char16_t* pool = module.pool.Data();
  LineWalker walker(module, site.poolPos, site.poolPos + static_cast<int64_t>(terminator),
                    site.lines);
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

// LinkStep on a tag site; `contextBook` is the book that "<m=" and "<r="
// links name after their "R" (-1: not resolvable).
bool LinkStepAt(const Tables& t, const TagSite& site, int32_t contextBook) {
  std::span<char16_t> s = site.str;
  const size_t terminator = s.size() - 1;
  if (terminator < 4 || s[0] != u'<' || s[2] != u'=' || s[3] != u'"') return false;
  size_t close = 4;
  while (close < terminator && s[close] != u'"') ++close;
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

// What a removal took out, in the string's coordinates before it.
struct Removal {
  bool removed = false;
  size_t tagStart = 0;
  size_t tagLength = 0;
  std::optional<size_t> closeStart;  // where "</a>" stood
};
constexpr size_t kCloseTagLength = 4;

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
  const size_t close = rest.find(u"</a>");
  if (close != std::u16string_view::npos) {
    const size_t c = i + close;
    std::memmove(s + c, s + c + kCloseTagLength,
                 (newTerminator - c - kCloseTagLength + 1) * sizeof(char16_t));
    r.closeStart = c + r.tagLength;
  }
  return r;
}

// Where the tag whose "<" is at `i` of the 0-terminated `s` ends for the word
// indexer: at its first ">" other than the end of a "<sc>" (the indexer
// removes those first), or at the terminator when there is none. The text
// from there on was indexed as words.
size_t IndexerTagEnd(const char16_t* s, size_t i) {
  size_t j = i + 1;
  for (; s[j] != 0; ++j) {
    if (s[j] != u'>') continue;
    const bool endsSc = j >= i + 4 && s[j - 3] == u'<' && s[j - 2] == u's' && s[j - 1] == u'c';
    if (!endsSc) break;
  }
  return j;
}

// The text as the word indexer reads it: every "<sc>" removed, again and
// again while one remains.
std::u16string WithoutSmallCaps(std::u16string_view s) {
  std::u16string out(s);
  for (size_t at = out.find(u"<sc>"); at != std::u16string::npos; at = out.find(u"<sc>")) {
    out.erase(at, 4);
  }
  return out;
}

// Scans a working copy (0-terminated) for link tags: a tag that passes the
// already-resolved test is left alone (for "<A=" tags only in notes), any
// other goes through LinkStep and is removed when it fails. True when words
// the indexer saw may have moved or gone: a link was removed, or a resolved
// value reached past the end of the tag as the indexer saw it (a tag without
// ">", or a ">" inside the quoted value).
bool ResolveInCopy(const Tables& t, std::u16string& copy, bool isNote, int32_t contextBook) {
  char16_t* s = copy.data();
  bool changed = false;
  size_t i = 0;
  while (s[i] != 0) {
    if (s[i] != u'<' || !IsLinkTagAt(s, i)) {
      ++i;
      continue;
    }
    if ((isNote || s[i + 1] != u'A') && IsAlreadyResolved(s, i)) {
      ++i;
      continue;
    }
    const size_t terminator = TerminatorFrom(s, i);
    const TagSite site{std::span<char16_t>(s + i, terminator - i + 1), kNone, nullptr};
    const size_t indexerEnd = IndexerTagEnd(s, i);
    const std::u16string indexedAfter(s + indexerEnd, s + terminator);
    // The offsets of the words after the tag shift when the units "<sc>"
    // removal takes out before the tag's end change in number.
    const size_t indexedLength = WithoutSmallCaps(std::u16string_view(s, indexerEnd)).size();
    if (LinkStepAt(t, site, contextBook)) {
      changed |= indexerEnd == terminator ||
                 std::u16string_view(s + indexerEnd, terminator - indexerEnd) != indexedAfter ||
                 WithoutSmallCaps(std::u16string_view(s, indexerEnd)).size() != indexedLength;
      ++i;
      continue;
    }
    // After a removal the position where the tag began is examined again.
    if (RemoveLink(s, i).removed) {
      changed = true;
    } else {
      ++i;
    }
  }
  return changed;
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

// The tag at pool index `pos` as a site ending at its string's terminator.
std::optional<TagSite> PoolSite(Module& module, int64_t pos, const SourceLines* lines) {
  const int64_t length = module.pool.Length();
  if (pos < 0 || pos >= length) throw DynArrayOutOfRange(pos, length);
  char16_t* pool = module.pool.Data();
  int64_t end = pos;
  while (end < length && pool[end] != 0) ++end;
  if (end >= length) return std::nullopt;
  return TagSite{std::span<char16_t>(pool + pos, static_cast<size_t>(end - pos + 1)),
                 static_cast<int32_t>(pos), lines};
}

// Removes the unresolved link of queued entry `i` in place and moves the later
// queued positions of the same line back; positions inside removed text are
// marked dropped.
void RemoveQueuedInPlace(Module& module, PendingLinks& pending, size_t i,
                         std::vector<bool>& dropped, std::vector<int32_t>& changedAfterIndexing) {
  char16_t* pool = module.pool.Data();
  const int64_t pos = -int64_t{pending.entries[i]};
  int64_t lineStart = pos;
  while (lineStart > 0 && pool[lineStart - 1] != 0) --lineStart;
  const int64_t lineEnd = pos + static_cast<int64_t>(TerminatorFrom(pool + pos, 0));
  const Removal r = RemoveLink(pool + pos, 0);
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

}  // namespace

bool LinkStep(Module& module, int32_t tagPos, int32_t contextVerse) {
  const std::optional<TagSite> site = PoolSite(module, tagPos, nullptr);
  if (!site) return false;
  return LinkStepAt(Tables{module}, *site, BookOfVerse(module, contextVerse));
}

void ResolveLinkage(Module& module, PendingLinks& pendingLinks,
                    std::vector<int32_t>& changedAfterIndexing) {
  const Tables tables{module};
  // The footnote searches below walk the lines as first cut, before any
  // removal shortens one.
  const SourceLines lines = RecordLines(module, pendingLinks);

  // Book notes, in working copies; their "<m=" and "<r=" links name the book
  // that owns the note.
  for (int32_t b = 0; b < module.bookCount; ++b) {
    const int32_t note = module.books[b].note;
    if (note == kNone) continue;
    std::u16string copy = WorkingCopy(module, note);
    ResolveInCopy(tables, copy, /*isNote=*/true, b);
    CopyBack(module, note, copy);
  }

  std::vector<bool> dropped(pendingLinks.entries.size(), false);
  for (size_t i = 0; i < pendingLinks.entries.size(); ++i) {
    const int32_t e = pendingLinks.entries[i];
    if (e >= 0) {
      if (e >= module.verseCount) throw DynArrayOutOfRange(e, module.verseCount);
      const int32_t text = module.verses[e].text;
      std::u16string copy = WorkingCopy(module, text);
      if (ResolveInCopy(tables, copy, /*isNote=*/false, module.verses[e].book)) {
        changedAfterIndexing.push_back(text);
      }
      CopyBack(module, text, copy);
      continue;
    }
    if (dropped[i]) continue;
    const int32_t contextVerse =
        i < pendingLinks.contexts.size() ? pendingLinks.contexts[i] : kNone;
    const std::optional<TagSite> site = PoolSite(module, -int64_t{e}, &lines);
    if (!site || LinkStepAt(tables, *site, BookOfVerse(module, contextVerse))) continue;
    RemoveQueuedInPlace(module, pendingLinks, i, dropped, changedAfterIndexing);
  }
}

}  // namespace quillavor::literal
