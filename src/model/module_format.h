// The module format's one owner: the block layout of a module image, the
// encodings of resolved link values, the book chaining rule and the rule that
// finds the Concordance books. The record layouts themselves are in
// model/records.h. The writer and the link resolver encode through this
// header; the reader, the checker, inspect and the tests decode through it.
// Nothing else spells out a bit layout or a value syntax.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "model/records.h"

namespace quillavor::format {

// ---- block layout ------------------------------------------------------------
//
// A module image is seven blocks, each behind a header of two int32 (element
// size, element count): 1 the thirteen counters, 2 the pool (UTF-16 units, the
// image entries after the written pool text), 3 book names, 4 books, 5 verses,
// 6 words, 7 word occurrences.

inline constexpr int64_t kBlockHeaderSize = 8;
inline constexpr int32_t kCountersBlockCount = 13;
// The first pool byte: the counters block and the pool block's header before it.
inline constexpr int64_t kPoolOffset = kBlockHeaderSize + 4 * kCountersBlockCount + kBlockHeaderSize;
static_assert(kPoolOffset == 68);

// Names of the blocks as messages about damaged modules give them.
inline constexpr std::string_view kCountersBlock = "block 1 (counters)";
inline constexpr std::string_view kPoolBlock = "block 2 (pool)";
inline constexpr std::string_view kBookNamesBlock = "block 3 (book names)";
inline constexpr std::string_view kBooksBlock = "block 4 (books)";
inline constexpr std::string_view kVersesBlock = "block 5 (verses)";
inline constexpr std::string_view kWordsBlock = "block 6 (words)";
inline constexpr std::string_view kRefsBlock = "block 7 (occurrences)";

// An image entry in the pool block: an int32 0, the byte length as 4
// big-endian bytes, the bytes, zero padding up to the padded length. Its
// position, in pool units, is what the "<image=" fields name.
inline constexpr int64_t kImageEntryHeaderSize = 8;
inline constexpr std::u16string_view kImageTag = u"<image=";
// The number field after "<image=": the decimal position, left-aligned, blank-filled.
inline constexpr int kImageFieldWidth = 8;
// The largest position the number field holds; a larger one would be cut.
inline constexpr int64_t kMaxImageFieldValue = 99'999'999;

// A module image is read and written through signed 32-bit sizes: it must be
// smaller than this.
inline constexpr int64_t kMaxImageSize = int64_t{1} << 31;

// The image position written into the number field of an "<image=" reference
// (exactly the kImageFieldWidth units after the tag): digits, then blanks up
// to the field's end. nullopt for a field of another shape (another length,
// no digits, anything after the blanks).
inline std::optional<int64_t> ParseImageField(std::u16string_view field) {
  if (field.size() != static_cast<size_t>(kImageFieldWidth)) return std::nullopt;
  const size_t end = field.find_last_not_of(u' ');
  if (end == std::u16string_view::npos) return std::nullopt;
  int64_t v = 0;
  for (size_t i = 0; i <= end; ++i) {
    if (field[i] < u'0' || field[i] > u'9') return std::nullopt;
    v = v * 10 + (field[i] - u'0');
  }
  return v;
}

inline std::array<uint8_t, 4> BigEndianLength(uint32_t n) {
  return {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
          static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
}
inline uint32_t ReadBigEndianLength(std::span<const uint8_t, 4> b) {
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
}

// The byte length of an image entry read from the pool units that hold it:
// the entry's third and fourth units (after the int32 0), whose little-endian
// bytes are the 4 big-endian length bytes.
inline uint32_t ImageEntryLength(char16_t third, char16_t fourth) {
  const std::array<uint8_t, 4> b = {
      static_cast<uint8_t>(third & 0xFF), static_cast<uint8_t>(third >> 8),
      static_cast<uint8_t>(fourth & 0xFF), static_cast<uint8_t>(fourth >> 8)};
  return ReadBigEndianLength(b);
}

// Pool units taken by an image entry of `length` bytes: the header and the
// bytes padded to a multiple of 4.
inline int64_t ImageEntryUnits(uint32_t length) {
  return (kImageEntryHeaderSize + (int64_t{length} + 3) / 4 * 4) / 2;
}

// ---- references --------------------------------------------------------------
//
// A reference names a book or a verse by record index. Its decimal form (in
// "<a=" values) is index * 16 + kind; its encoded form (in "<a=" values
// resolved from "<A=") is a pair of units with bit 15 set:
//   first unit:  bit 15 set, bits 4-14 index bits 0-10, bits 0-3 kind
//   second unit: bit 15 set, bits 5-14 run - 1, bits 0-4 index bits 11-15
// A run covers `run` consecutive verses starting at the index.

inline constexpr int kBookKind = 1;
inline constexpr int kVerseKind = 2;

inline constexpr char16_t kPairBit = 0x8000;
inline constexpr int32_t kMaxEncodedIndex = 65535;  // 11 + 5 bits
inline constexpr int32_t kMaxEncodedRun = 1024;     // 1 + 10 bits
inline constexpr char16_t kRunStep = 0x20;          // adds 1 to the run of a second unit

struct EncodedRef {
  int kind;
  int32_t index;
  int32_t run;  // verses covered, 1 for a single verse
  bool operator==(const EncodedRef&) const = default;
};

inline bool IsPairUnit(char16_t c) { return (c & kPairBit) != 0; }

// The pair of a reference covering `run` verses: `index` in [0,
// kMaxEncodedIndex], `run` in [1, kMaxEncodedRun].
inline std::array<char16_t, 2> EncodePair(int kind, int32_t index, int32_t run = 1) {
  return {static_cast<char16_t>(kPairBit | kind | ((index & 0x7FF) << 4)),
          static_cast<char16_t>(kPairBit | (index >> 11) | ((run - 1) * kRunStep))};
}

inline EncodedRef DecodePair(char16_t first, char16_t second) {
  return {first & 0xF, ((first >> 4) & 0x7FF) | ((second & 0x1F) << 11),
          1 + ((second >> 5) & 0x3FF)};
}

// The run carried by a pair's second unit.
inline int32_t RunOf(char16_t second) { return 1 + ((second >> 5) & 0x3FF); }

// The decimal reference number of a book or verse.
inline int32_t RefNumber(int kind, int64_t index) {
  return static_cast<int32_t>(index * 16 + kind);
}
inline int RefKind(int64_t number) { return static_cast<int>(number & 0xF); }
inline int64_t RefIndex(int64_t number) { return number >> 4; }

// ---- resolved link values ------------------------------------------------------
//
// "<a=", "<m=" and "<r=" links resolve to a decimal value written into the
// value area and blank-filled: "%d", "%d#%d", "%dR%d" or "%d#%dR%d" (a book,
// a child book or verse of it, the context book of "<m=" and "<r="). "<f="
// links resolve to "%d", the pool position of the footnote text.

// The units of a value that resolution takes as already resolved.
inline constexpr std::u16string_view kResolvedValueChars = u"0123456789#R ";

struct DecimalLink {
  int64_t first = 0;                 // a book reference number
  std::optional<int64_t> second;     // after "#": a book or verse reference number
  std::optional<int64_t> context;    // after "R": a book reference number
  bool operator==(const DecimalLink&) const = default;
};

inline std::string FormatDecimalLink(const DecimalLink& link) {
  std::string s = std::to_string(link.first);
  if (link.second) s += "#" + std::to_string(*link.second);
  if (link.context) s += "R" + std::to_string(*link.context);
  return s;
}

namespace detail {
// Reads digits at `i` into `out`; false when there are none or the number
// exceeds int32.
inline bool ParseNumber(std::u16string_view s, size_t& i, int64_t& out) {
  const size_t start = i;
  int64_t v = 0;
  while (i < s.size() && s[i] >= u'0' && s[i] <= u'9') {
    v = v * 10 + (s[i] - u'0');
    if (v > std::numeric_limits<int32_t>::max()) return false;
    ++i;
  }
  out = v;
  return i > start;
}
inline std::u16string_view TrimTrailingBlanks(std::u16string_view value) {
  const size_t end = value.find_last_not_of(u' ');
  return end == std::u16string_view::npos ? std::u16string_view() : value.substr(0, end + 1);
}
}  // namespace detail

// Parses a resolved "<a=" value (trailing blanks allowed); nullopt when it
// has none of the four forms or a number exceeds int32.
inline std::optional<DecimalLink> ParseDecimalLink(std::u16string_view value) {
  const std::u16string_view s = detail::TrimTrailingBlanks(value);
  DecimalLink link;
  size_t i = 0;
  if (!detail::ParseNumber(s, i, link.first)) return std::nullopt;
  if (i < s.size() && s[i] == u'#') {
    ++i;
    int64_t v = 0;
    if (!detail::ParseNumber(s, i, v)) return std::nullopt;
    link.second = v;
  }
  if (i < s.size() && s[i] == u'R') {
    ++i;
    int64_t v = 0;
    if (!detail::ParseNumber(s, i, v)) return std::nullopt;
    link.context = v;
  }
  if (i != s.size()) return std::nullopt;
  return link;
}

inline std::string FormatFootnotePosition(int64_t position) { return std::to_string(position); }

// Parses a resolved "<f=" value (trailing blanks allowed).
inline std::optional<int64_t> ParseFootnotePosition(std::u16string_view value) {
  const std::u16string_view s = detail::TrimTrailingBlanks(value);
  size_t i = 0;
  int64_t v = 0;
  if (!detail::ParseNumber(s, i, v) || i != s.size()) return std::nullopt;
  return v;
}


// ---- book chaining -------------------------------------------------------------
//
// A book with name index k becomes the latest book of its name: prevSameName
// is the name's previous latest book (whose nextSameName becomes this book);
// for k > 0, prevName is the latest book of name k - 1, whose nextName is set
// to this book when it has none yet. `lastOfName(k)` gives a reference to the
// latest book of name k (BookNameRecord::lastBook, or a copy of it).
namespace detail {
template <typename Books, typename LastOfName>
void LinkBook(Books& books, LastOfName&& lastOfName, int32_t k, int32_t b, bool forward) {
  const int32_t prevSame = lastOfName(k);
  books[b].prevSameName = prevSame;
  books[b].nextSameName = kNone;
  if (k > 0) {
    const int32_t before = lastOfName(k - 1);
    books[b].prevName = before;
    if (before != kNone && books[before].nextName == kNone) books[before].nextName = b;
  }
  if (forward && prevSame != kNone) books[prevSame].nextSameName = b;
  lastOfName(k) = b;
}
}  // namespace detail

template <typename Books, typename LastOfName>
void ChainBook(Books& books, LastOfName&& lastOfName, int32_t k, int32_t b) {
  detail::LinkBook(books, lastOfName, k, b, /*forward=*/true);
}

// The Concordance books (the title book with name index 0, its letter books
// with name index 1) are chained by the same rule except that they are
// linked backwards only: the previous book of the same name keeps
// nextSameName -1. The title book's nextName thus names the first letter book.
template <typename Books, typename LastOfName>
void ChainConcordanceBook(Books& books, LastOfName&& lastOfName, int32_t k, int32_t b) {
  detail::LinkBook(books, lastOfName, k, b, /*forward=*/false);
}

// ---- the Concordance -----------------------------------------------------------
//
// A module with words ends its book table with the Concordance: a title book
// with name index 0, then its letter books (name index 1) in ascending order.
// Books before the title book are the source's own books.
struct ConcordanceBooks {
  int32_t titleBook = kNone;   // kNone: the module has no Concordance
  int32_t firstLetter = kNone; // titleBook + 1 when there are letter books
  int32_t end = 0;             // one past the last letter book (the book count)
  // The source's own books are [0, headerEnd).
  int32_t headerEnd = 0;
};

// The Concordance of a book table, by the rule above. When the module has
// words but the tail of the table has no such shape, titleBook is kNone and
// every book counts as a source book.
inline ConcordanceBooks FindConcordance(std::span<const BookRecord> books, int32_t wordCount) {
  ConcordanceBooks c;
  const auto count = static_cast<int32_t>(books.size());
  c.end = count;
  c.headerEnd = count;
  if (wordCount < 1) return c;
  int32_t b = count - 1;
  while (b >= 0 && books[static_cast<size_t>(b)].nameIndex == 1) --b;
  if (b < 0 || books[static_cast<size_t>(b)].nameIndex != 0) return c;
  c.titleBook = b;
  c.firstLetter = b + 1 < count ? b + 1 : kNone;
  c.headerEnd = b;
  return c;
}

}  // namespace quillavor::format
