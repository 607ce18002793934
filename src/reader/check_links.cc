// Checks of what the pool text refers to: the "<image=" fields of verse lines
// and the resolved "<a=" and "<f=" links in verses, book notes and the
// footnote lines those links reach.
#include <algorithm>
#include <map>

#include "reader/check_internal.h"

namespace quillavor::check {

namespace {

// Where a link stands, for the reports about it.
struct LinkPlace {
  std::string_view block;
  int64_t record;
  std::string_view field;
  std::string where;  // "link at pool index 12", maybe after a prefix
};

// Start of each footnote line that a footnote link points into, with the
// verse of the first such link.
using FootnoteLines = std::map<int64_t, int32_t>;

// Where footnote links found in a verse's text are collected; scans of other
// texts pass none.
struct FootnoteSink {
  FootnoteLines* lines = nullptr;
  int32_t verse = kNone;
};

// The references "<image=" fields could name: the source loader numbers every
// reference of the source, also those in book headers and notes.
int64_t ImageTagsInPool(const Layout& layout) {
  const std::u16string_view pool(layout.pool.data(), static_cast<size_t>(layout.poolSize));
  int64_t n = 0;
  for (size_t at = pool.find(format::kImageTag); at != std::u16string_view::npos;
       at = pool.find(format::kImageTag, at + 1)) {
    ++n;
  }
  return n;
}

void CheckRef(const Layout& layout, Violations& out, const LinkPlace& place, int64_t number,
              bool bookOnly) {
  const int kind = format::RefKind(number);
  const int64_t index = format::RefIndex(number);
  auto add = [&](const std::string& message) {
    out.Add(place.block, place.record, place.field, place.where + ": " + message);
  };
  if (kind != format::kBookKind && kind != format::kVerseKind) {
    add("reference " + N(number) + " has kind " + N(kind) + " (1 book, 2 verse)");
  } else if (bookOnly && kind != format::kBookKind) {
    add("reference " + N(number) + " names a verse where a book is expected");
  } else if (kind == format::kBookKind && index >= layout.bookCount) {
    add("book reference " + N(number) + " names book " + N(index) + ", out of range (bookCount " +
        N(layout.bookCount) + ")");
  } else if (kind == format::kVerseKind && index >= layout.verseCount) {
    add("verse reference " + N(number) + " names verse " + N(index) +
        ", out of range (verseCount " + N(layout.verseCount) + ")");
  }
}

// The verses of a verse pair, which must all belong to `book`.
void CheckVersePair(const Layout& layout, Violations& out, const LinkPlace& place,
                    const std::string& pair, const format::EncodedRef& ref, int64_t book) {
  const int64_t index = ref.index;
  const int64_t run = ref.run;
  if (index + run - 1 >= layout.verseCount) {
    out.Add(place.block, place.record, place.field,
            pair + " names verse" +
                (run == 1 ? " " + N(index) : "s " + N(index) + " to " + N(index + run - 1)) +
                ", out of range (verseCount " + N(layout.verseCount) + ")");
    return;
  }
  for (int64_t v = index; v < index + run; ++v) {
    const int32_t owner = layout.module.verses()[static_cast<size_t>(v)].book;
    if (owner != book) {
      out.Add(place.block, place.record, place.field,
              pair + " names verse " + N(v) + " of book " + N(owner) + ", not of book " + N(book));
      return;
    }
  }
}

// Pairs of code units with bit 15 set: a book pair, then verse pairs.
void CheckEncodedLink(const Layout& layout, Violations& out, const LinkPlace& place,
                      std::u16string_view s) {
  auto add = [&](const std::string& message) {
    out.Add(place.block, place.record, place.field, message);
  };
  int64_t book = -1;
  for (size_t j = 0; j < s.size() && format::IsPairUnit(s[j]); j += 2) {
    if (j + 1 >= s.size() || !format::IsPairUnit(s[j + 1])) {
      add(place.where + ": the encoded reference pair at unit " + N(static_cast<int64_t>(j)) +
          " is incomplete");
      return;
    }
    const format::EncodedRef ref = format::DecodePair(s[j], s[j + 1]);
    const std::string pair = place.where + ": encoded pair " + N(static_cast<int64_t>(j / 2));
    if (j > 0) {
      if (ref.kind != format::kVerseKind) {
        add(pair + " has kind " + N(ref.kind) + ", expected a verse pair (kind 2)");
      } else {
        CheckVersePair(layout, out, place, pair, ref, book);
      }
      continue;
    }
    if (ref.kind != format::kBookKind) {
      add(pair + " has kind " + N(ref.kind) + ", expected a book pair (kind 1)");
      return;
    }
    if (ref.run != 1) add(pair + " (a book pair) carries a run of " + N(ref.run));
    if (ref.index >= layout.bookCount) {
      add(pair + " names book " + N(ref.index) + ", out of range (bookCount " +
          N(layout.bookCount) + ")");
      return;
    }
    book = ref.index;
  }
}

// "%d", "%d#%d", "%dR%d" or "%d#%dR%d", blanks after it.
void CheckDecimalLink(const Layout& layout, Violations& out, const LinkPlace& place,
                      std::u16string_view value) {
  const std::optional<format::DecimalLink> link = format::ParseDecimalLink(value);
  if (!link) {
    out.Add(place.block, place.record, place.field,
            place.where + ": resolved value " + Quote(value) +
                " is not \"%d\", \"%d#%d\", \"%dR%d\" or \"%d#%dR%d\"");
    return;
  }
  CheckRef(layout, out, place, link->first, true);
  if (link->second) CheckRef(layout, out, place, *link->second, false);
  if (link->context) CheckRef(layout, out, place, *link->context, true);
}

// "%d": the pool position of the footnote text.
void CheckFootnoteLink(const Layout& layout, Violations& out, const LinkPlace& place,
                       std::u16string_view value, FootnoteSink footnotes) {
  const std::optional<int64_t> position = format::ParseFootnotePosition(value);
  if (!position) {
    out.Add(place.block, place.record, place.field,
            place.where + ": footnote value " + Quote(value) + " is not a decimal pool position");
    return;
  }
  if (*position >= layout.textEnd) {
    out.Add(place.block, place.record, place.field,
            place.where + ": footnote position " + N(*position) +
                " out of range (the pool text ends at " + N(layout.textEnd) + ")");
    return;
  }
  if (footnotes.lines == nullptr) return;
  int64_t start = *position;
  while (start > 0 && layout.pool[static_cast<size_t>(start) - 1] != 0) --start;
  footnotes.lines->emplace(start, footnotes.verse);
}

// The resolved "<a=" and "<f=" links of the pool string `s` at `base`.
void ScanLinks(const Layout& layout, Violations& out, std::u16string_view s, int64_t base,
               std::string_view block, int64_t record, std::string_view field,
               const std::string& prefix, FootnoteSink footnotes) {
  for (size_t i = 0; i + 3 < s.size(); ++i) {
    if (s[i] != u'<' || s[i + 2] != u'=' || (s[i + 1] != u'a' && s[i + 1] != u'f')) continue;
    const LinkPlace place{block, record, field,
                          prefix + "link at pool index " + N(base + static_cast<int64_t>(i))};
    if (s[i + 1] == u'a' && format::IsPairUnit(s[i + 3])) {
      CheckEncodedLink(layout, out, place, s.substr(i + 3));
      continue;
    }
    if (s[i + 3] != u'"') continue;
    const size_t close = s.find(u'"', i + 4);
    if (close == std::u16string_view::npos) continue;
    const std::u16string_view value = s.substr(i + 4, close - i - 4);
    // Unresolved values, "Key" values and text are not references.
    if (value.empty() || value[0] == u' ' || value.starts_with(u"Key")) continue;
    if (value.find_first_not_of(format::kResolvedValueChars) != std::u16string_view::npos) continue;
    if (s[i + 1] == u'a') {
      CheckDecimalLink(layout, out, place, value);
    } else {
      CheckFootnoteLink(layout, out, place, value, footnotes);
    }
  }
}

}  // namespace

void CheckImageFields(const Layout& layout, Violations& out) {
  std::optional<int64_t> tagsInPool;  // counted when first needed
  const bool noArea = layout.textEnd == layout.poolSize;
  for (const ImageField& f : layout.imageFields) {
    if (!f.intact) continue;  // the pool finaliser leaves a broken field alone
    // A field whose text moved (a link before it removed after the line was
    // compiled) is left alone by the pool finaliser and keeps the image
    // number the source loader wrote, which may be any number up to the
    // number of images.
    if (!tagsInPool) tagsInPool = ImageTagsInPool(layout);
    const int64_t images = std::max({static_cast<int64_t>(layout.entryPositions.size()),
                                     static_cast<int64_t>(layout.imageFields.size()), *tagsInPool});
    const bool isEntry = f.value && layout.entryPositions.count(*f.value) != 0;
    if (f.value && *f.value >= 1 && *f.value <= images && !isEntry) continue;
    const std::string where = "\"<image=\" field at pool index " + N(f.position);
    if (!f.value) {
      const std::u16string_view raw(layout.pool.data() + f.position, format::kImageFieldWidth);
      out.Add(format::kVersesBlock, f.verse, "text",
              where + " holds " + Quote(raw) + ", not a position");
    } else if (noArea || !isEntry) {
      out.Add(format::kVersesBlock, f.verse, "text",
              where + " holds " + N(*f.value) + ", not the position of an image entry" +
                  (noArea ? " (no image area found)"
                          : " (the image entries start at " + N(layout.textEnd) + ")"));
    }
  }
}

void CheckLinks(const Layout& layout, Violations& out) {
  FootnoteLines footnoteLines;
  for (int32_t v = 0; v < layout.verseCount; ++v) {
    const int32_t t = layout.module.verses()[static_cast<size_t>(v)].text;
    if (!layout.ValidString(t, false)) continue;
    ScanLinks(layout, out, layout.Str(t), t, format::kVersesBlock, v, "text", "",
              FootnoteSink{&footnoteLines, v});
  }
  for (int32_t b = 0; b < layout.concordance.headerEnd; ++b) {
    const int32_t n = layout.module.books()[static_cast<size_t>(b)].note;
    if (n == kNone || !layout.ValidString(n, true)) continue;
    ScanLinks(layout, out, layout.Str(n), n, format::kBooksBlock, b, "note", "", FootnoteSink{});
  }
  // Footnote lines, reached through the positions of footnote links; each is
  // checked once and reported with the first verse that links to it.
  for (const auto& [start, verse] : footnoteLines) {
    const auto s = static_cast<int32_t>(start);
    if (!layout.ValidString(s, false)) continue;
    ScanLinks(layout, out, layout.Str(s), s, format::kVersesBlock, verse, "text",
              "footnote line at pool index " + N(start) + ": ", FootnoteSink{});
  }
}

}  // namespace quillavor::check
