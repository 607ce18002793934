// Checks of the counters (block 1), the book names and books (blocks 3 and
// 4) and the verses (block 5).
#include <vector>

#include "reader/check_internal.h"

namespace quillavor::check {

namespace {

// Every flag bit the flags word may carry.
constexpr uint32_t kKnownFlags = kFlagHymnal | kFlagInspiredVersion | kFlagBible |
                                 kFlagSuperscriptVerses | kFlagDoctrineAndCovenants |
                                 kFlagBookOfMormon | kFlagHelp;
constexpr int32_t kKnownBookFlags = kBookSuppress | kBookPlainLayout | kBookNoSibLink;

void CheckDictionaryEnds(Violations& out, const std::string& which, int32_t count, int32_t first,
                         int32_t last) {
  const std::string firstName = which + "First";
  const std::string lastName = which + "Last";
  if (count <= 0) {
    if (first != kNone) {
      out.Add(format::kCountersBlock, -1, firstName, N(first) + ", expected -1 (no entries)");
    }
    if (last != kNone) {
      out.Add(format::kCountersBlock, -1, lastName, N(last) + ", expected -1 (no entries)");
    }
    return;
  }
  if (first < 0 || first >= count) {
    out.Add(format::kCountersBlock, -1, firstName,
            N(first) + " out of range (" + which + "Count " + N(count) + ")");
  }
  if (last != 0) {
    out.Add(format::kCountersBlock, -1, lastName,
            N(last) + ", expected 0 (the sentinel sorts last)");
  }
}

// A record index field (-1 for none) that should hold `expected`: reported
// as out of range of its table (`countName` `count`) or as the wrong record.
void CompareIndex(Violations& out, std::string_view block, int64_t record, std::string_view field,
                  int32_t actual, int32_t expected, std::string_view countName, int32_t count,
                  std::string_view why) {
  if (actual == expected) return;
  if (actual != kNone && (actual < 0 || actual >= count)) {
    out.Add(block, record, field,
            N(actual) + " out of range (" + std::string(countName) + " " + N(count) + ")");
  } else {
    out.Add(block, record, field,
            N(actual) + ", expected " + N(expected) + " (" + std::string(why) + ")");
  }
}

// The book links the compiler's creation order gives, with the latest book of
// each name. The link fields of `books` hold them; the other fields are unused.
struct ExpectedLinks {
  std::vector<BookRecord> books;
  std::vector<int32_t> lastOfName;
  std::vector<bool> known;  // false: the book's nameIndex is out of range

  BookRecord& operator[](int32_t b) { return books[static_cast<size_t>(b)]; }
};

// Chains the source's own books as the compiler does, then the Concordance:
// the title book is the last of name 0 and points at its first letter book;
// letter books chain backwards and point at the title book.
ExpectedLinks ExpectLinks(const Layout& layout, Violations& out) {
  const auto& books = layout.module.books();
  const int32_t title = layout.concordance.titleBook;
  ExpectedLinks e;
  e.books.assign(books.size(), BookRecord{kNone, kNone, kNone, kNone, 0, 0, 0, 0, 0, 0});
  e.lastOfName.assign(layout.module.bookNames().size(), kNone);
  e.known.assign(books.size(), true);
  auto lastOfName = [&](int32_t k) -> int32_t& { return e.lastOfName[static_cast<size_t>(k)]; };
  for (int32_t b = 0; b < layout.concordance.headerEnd; ++b) {
    const int32_t k = books[static_cast<size_t>(b)].nameIndex;
    if (k < 0 || k >= layout.bookNameCount) {
      out.Add(format::kBooksBlock, b, "nameIndex",
              N(k) + " out of range (bookNameCount " + N(layout.bookNameCount) + ")");
      e.known[static_cast<size_t>(b)] = false;
      continue;
    }
    format::ChainBook(e, lastOfName, k, b);
  }
  if (title < 0) return e;
  if (layout.bookNameCount < 1) {
    out.Add(format::kBookNamesBlock, -1, "",
            "the Concordance needs book name 0, but there is none");
  } else {
    lastOfName(0) = title;
  }
  const bool letters = title + 1 < layout.bookCount;
  e[title].nextName = letters ? title + 1 : kNone;
  for (int32_t b = title + 1; b < layout.bookCount; ++b) {
    e[b].prevSameName = b - 1 > title ? b - 1 : kNone;
    e[b].prevName = title;
  }
  if (layout.bookNameCount >= 2) {
    lastOfName(1) = letters ? layout.bookCount - 1 : kNone;
  } else if (letters) {
    out.Add(format::kBookNamesBlock, -1, "",
            "the Concordance letter books need book name 1, but there is none");
  }
  return e;
}

// The first verse of each book, from the verses' book fields.
std::vector<int32_t> FirstVerses(const Layout& layout) {
  std::vector<int32_t> first(layout.module.books().size(), kNone);
  for (int32_t v = layout.verseCount - 1; v >= 0; --v) {
    const int32_t b = layout.module.verses()[static_cast<size_t>(v)].book;
    if (b >= 0 && b < layout.bookCount) first[static_cast<size_t>(b)] = v;
  }
  return first;
}

void CheckConcordanceBook(const Layout& layout, Violations& out, int32_t b) {
  const BookRecord& r = layout.module.books()[static_cast<size_t>(b)];
  const std::string_view block = format::kBooksBlock;
  if (r.note != kNone) out.Add(block, b, "note", N(r.note) + ", expected -1 (a Concordance book)");
  if (r.abbrev != kNone) {
    out.Add(block, b, "abbrev", N(r.abbrev) + ", expected -1 (a Concordance book)");
  }
  if (r.firstText != 0) {
    out.Add(block, b, "firstText", N(r.firstText) + ", expected 0 (a Concordance book)");
  }
  if (r.bookFlags != 0) {
    out.Add(block, b, "bookFlags", N(r.bookFlags) + ", expected 0 (a Concordance book)");
  }
  if (b == layout.concordance.titleBook && layout.ValidString(r.title, true)) {
    const std::u16string_view title = layout.Str(r.title);
    if (title != u"Concordance" && title != u"Concordancia") {
      out.Add(block, b, "title",
              Quote(title) +
                  ", expected \"Concordance\" or \"Concordancia\" (the Concordance title book)");
    }
  }
}

void CheckSourceBook(const Layout& layout, Violations& out, int32_t b, int32_t firstVerse) {
  const BookRecord& r = layout.module.books()[static_cast<size_t>(b)];
  const std::string_view block = format::kBooksBlock;
  if (r.note != kNone) CheckPoolIndex(layout, out, block, b, "note", r.note, true);
  if (r.abbrev != kNone) CheckPoolIndex(layout, out, block, b, "abbrev", r.abbrev, true);
  CompareIndex(out, block, b, "firstText", r.firstText, firstVerse, "verseCount", layout.verseCount,
               "the first verse of the book");
  if ((r.bookFlags & ~kKnownBookFlags) != 0) {
    out.Add(block, b, "bookFlags", "unknown bits set (" + N(r.bookFlags) + ")");
  }
}

void CheckBookLinks(const Layout& layout, Violations& out, int32_t b, const BookRecord& expected,
                    bool concordance) {
  const BookRecord& r = layout.module.books()[static_cast<size_t>(b)];
  auto compare = [&](std::string_view field, int32_t actual, int32_t wanted, std::string_view why) {
    CompareIndex(out, format::kBooksBlock, b, field, actual, wanted, "bookCount", layout.bookCount,
                 why);
  };
  compare("prevSameName", r.prevSameName, expected.prevSameName,
          concordance ? "the previous Concordance letter book"
                      : "the previous book with the same name");
  compare(
      "nextSameName", r.nextSameName, expected.nextSameName,
      concordance ? "letter books are chained backwards only" : "the next book with the same name");
  compare("prevName", r.prevName, expected.prevName,
          concordance ? "letter books point at the title book"
                      : "the latest book of the previous name when this one was created");
  compare("nextName", r.nextName, expected.nextName,
          concordance ? "the title book points at the first letter book"
                      : "the first later book whose prevName is this book");
}

// A verse's text starts a line, or follows the line's byte-order mark, a
// "<refrain>" and blanks, which the line compiler steps over. (Removing an
// unresolved link may leave the text empty or starting with a blank.)
bool IsLineTextStart(std::span<const char16_t> pool, int32_t index) {
  int64_t i = index;
  while (i > 0 && pool[static_cast<size_t>(i) - 1] == u' ') --i;
  constexpr std::u16string_view kRefrain = u"<refrain>";
  if (i >= static_cast<int64_t>(kRefrain.size())) {
    const int64_t at = i - static_cast<int64_t>(kRefrain.size());
    bool refrain = true;
    for (size_t k = 0; k < kRefrain.size() && refrain; ++k) {
      char16_t c = pool[static_cast<size_t>(at) + k];
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
      refrain = c == kRefrain[k];
    }
    if (refrain) i = at;
  }
  if (i > 0 && pool[static_cast<size_t>(i) - 1] == 0xFEFF) --i;
  return i == 0 || pool[static_cast<size_t>(i) - 1] == 0;
}

// The verse's book; false when it cannot own verses.
bool CheckVerseBook(const Layout& layout, Violations& out, int32_t v) {
  const auto& verses = layout.module.verses();
  const VerseRecord& r = verses[static_cast<size_t>(v)];
  const std::string_view block = format::kVersesBlock;
  if (r.book < 0 || r.book >= layout.bookCount) {
    out.Add(block, v, "book", N(r.book) + " out of range (bookCount " + N(layout.bookCount) + ")");
    return false;
  }
  if (r.book >= layout.concordance.headerEnd) {
    out.Add(block, v, "book", N(r.book) + " is a Concordance book, which has no verses");
    return false;
  }
  if (v > 0 && r.book < verses[static_cast<size_t>(v) - 1].book) {
    out.Add(block, v, "book",
            N(r.book) + " comes after verse " + N(v - 1) + " of book " +
                N(verses[static_cast<size_t>(v) - 1].book) + " (verses are stored in book order)");
  }
  return true;
}

}  // namespace

void CheckCounters(const Layout& layout, Violations& out) {
  const Counters& c = layout.module.counters();
  if (c.labelCount < 0) {
    out.Add(format::kCountersBlock, -1, "labelCount", N(c.labelCount) + " is negative");
  }
  CheckDictionaryEnds(out, "label", c.labelCount, c.labelFirst, c.labelLast);
  CheckDictionaryEnds(out, "word", c.wordCount, c.wordFirst, c.wordLast);
  if (c.tokenTotal != c.wordRefCount) {
    out.Add(format::kCountersBlock, -1, "tokenTotal",
            N(c.tokenTotal) + " differs from wordRefCount " + N(c.wordRefCount) +
                " (one occurrence is stored per word token)");
  }
  if ((c.flags & ~kKnownFlags) != 0) {
    out.Add(format::kCountersBlock, -1, "flags",
            "unknown bits set (" + N(c.flags) + "; only " + N(kKnownFlags) + " may be set)");
  }
}

void CheckBookNamesAndBooks(const Layout& layout, Violations& out) {
  if (layout.module.counters().wordCount >= 1 && layout.concordance.titleBook == kNone) {
    out.Add(format::kBooksBlock, -1, "",
            "the module has words but no Concordance title book (a last book with nameIndex 0 "
            "followed only by letter books with nameIndex 1)");
  }
  const ExpectedLinks expected = ExpectLinks(layout, out);
  for (int32_t k = 0; k < layout.bookNameCount; ++k) {
    const BookNameRecord& r = layout.module.bookNames()[static_cast<size_t>(k)];
    CheckPoolIndex(layout, out, format::kBookNamesBlock, k, "name", r.name, true);
    CompareIndex(out, format::kBookNamesBlock, k, "lastBook", r.lastBook,
                 expected.lastOfName[static_cast<size_t>(k)], "bookCount", layout.bookCount,
                 "the last book with this name");
  }
  const std::vector<int32_t> firstVerse = FirstVerses(layout);
  for (int32_t b = 0; b < layout.bookCount; ++b) {
    const auto at = static_cast<size_t>(b);
    const bool concordance = layout.concordance.titleBook >= 0 && b >= layout.concordance.titleBook;
    CheckPoolIndex(layout, out, format::kBooksBlock, b, "title", layout.module.books()[at].title,
                   true);
    if (concordance) {
      CheckConcordanceBook(layout, out, b);
    } else {
      CheckSourceBook(layout, out, b, firstVerse[at]);
    }
    if (expected.known[at]) CheckBookLinks(layout, out, b, expected.books[at], concordance);
  }
}

void CheckVerses(const Layout& layout, Violations& out) {
  const auto& verses = layout.module.verses();
  const std::string_view block = format::kVersesBlock;
  for (int32_t v = 0; v < layout.verseCount; ++v) {
    const VerseRecord& r = verses[static_cast<size_t>(v)];
    const bool bookValid = CheckVerseBook(layout, out, v);
    if (r.label != kNone) CheckPoolIndex(layout, out, block, v, "label", r.label, true);
    if (CheckPoolIndex(layout, out, block, v, "text", r.text, false) &&
        !IsLineTextStart(layout.pool, r.text)) {
      out.Add(block, v, "text",
              N(r.text) +
                  " is not where a line's text starts (after a byte-order mark, "
                  "\"<refrain>\" and blanks)");
    }
    const int32_t expected =
        bookValid && v + 1 < layout.verseCount && verses[static_cast<size_t>(v) + 1].book == r.book
            ? v + 1
            : kNone;
    if (r.next == expected) continue;
    if (r.next != kNone && (r.next < 0 || r.next >= layout.verseCount)) {
      out.Add(block, v, "next",
              N(r.next) + " out of range (verseCount " + N(layout.verseCount) + ")");
    } else if (bookValid) {
      out.Add(block, v, "next",
              N(r.next) + ", expected " + N(expected) +
                  (expected == kNone ? " (the last verse of its book)"
                                     : " (the next verse of its book)"));
    }
  }
}

}  // namespace quillavor::check
