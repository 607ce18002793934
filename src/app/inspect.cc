// The walk over a module that both dumps read: every field decoded once,
// damage carried as a value of the item that meets it.
#include "app/inspect.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <map>
#include <set>

#include "model/module_format.h"
#include "platform/text.h"

namespace quillavor {

namespace {

RefItem ReadRef(const ModuleView& m, int kind, int64_t index, int32_t run) {
  RefItem ref;
  ref.kind = kind;
  ref.index = index;
  ref.run = run;
  // Decoded indexes fit 16 bits (pairs) or 28 bits (decimal numbers, at most int32).
  const auto at = static_cast<int32_t>(index);
  if (kind == format::kBookKind) {
    const Reading<BookRecord> book = m.TryBook(at, "linked book");
    if (!book) {
      ref.damage = book.damage();
      return ref;
    }
    ref.title = ReadString(m, book->title, "title");
  } else if (kind == format::kVerseKind) {
    const Reading<VerseRecord> verse = m.TryVerse(at, "linked verse");
    if (!verse) {
      ref.damage = verse.damage();
      return ref;
    }
    const Reading<BookRecord> book = m.TryBook(verse->book, "book of linked verse");
    if (!book) {
      ref.damage = book.damage();
      return ref;
    }
    ref.book = verse->book;
    ref.title = ReadString(m, book->title, "title");
    ref.label = ReadString(m, verse->label, "label");
  }
  return ref;
}

RefItem ReadDecimalRef(const ModuleView& m, int64_t number) {
  return ReadRef(m, format::RefKind(number), format::RefIndex(number), 1);
}

// A decimal value in a "<a=" or "<f=" tag: the characters of a resolved
// value, beginning with a digit.
bool LooksResolved(std::u16string_view value) {
  return !value.empty() && text::IsDigit(value[0]) &&
         value.find_first_not_of(format::kResolvedValueChars) == std::u16string_view::npos;
}

LinkItem DecodeDecimal(const ModuleView& m, char16_t tag, std::u16string_view value) {
  LinkItem link;
  link.tag = tag;
  link.value = value;
  if (tag == u'f') {
    const std::optional<int64_t> position = format::ParseFootnotePosition(value);
    if (!position) {
      link.form = LinkItem::Form::kUnreadable;
      return link;
    }
    link.form = LinkItem::Form::kFootnote;
    link.position = *position;
    link.note = ReadString(m, static_cast<int32_t>(*position), "footnote position");
    return link;
  }
  const std::optional<format::DecimalLink> decimal = format::ParseDecimalLink(value);
  if (!decimal) {
    link.form = LinkItem::Form::kUnreadable;
    return link;
  }
  link.form = LinkItem::Form::kDecimal;
  link.refs.push_back(ReadDecimalRef(m, decimal->first));
  if (decimal->second) link.second = ReadDecimalRef(m, *decimal->second);
  if (decimal->context) link.context = ReadDecimalRef(m, *decimal->context);
  return link;
}

// Occurrences along a word's list, up to the first damage.
void CountOccurrences(const ModuleView& m, WordItem& item) {
  const int32_t limit = m.counters().wordRefCount;
  int n = 0;
  int32_t r = item.record->firstRef;
  while (r != kNone && n <= limit) {
    const Reading<WordRef> ref = m.TryRef(r, "occurrence index");
    if (!ref) {
      item.damage = ref.damage();
      break;
    }
    ++n;
    r = ref->next;
  }
  item.occurrences = n;
}

std::string ImageType(std::span<const uint8_t> b) {
  auto startsWith = [&](std::initializer_list<uint8_t> magic) {
    return b.size() >= magic.size() && std::equal(magic.begin(), magic.end(), b.begin());
  };
  if (startsWith({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A})) return "png";
  if (startsWith({0xFF, 0xD8, 0xFF})) return "jpeg";
  if (startsWith({'G', 'I', 'F', '8'})) return "gif";
  if (startsWith({'B', 'M'})) return "bmp";
  return "unknown";
}

// Image positions named by "<image=" fields in the pool text.
std::set<int32_t> ImagePositions(const ModuleView& m) {
  std::set<int32_t> positions;
  const std::span<const char16_t> pool = m.pool();
  const std::u16string_view tag = format::kImageTag;
  const size_t written = pool.size();
  for (size_t i = 0; i + tag.size() + format::kImageFieldWidth < written; ++i) {
    if (pool[i] != u'<' || std::u16string_view(pool.data() + i, tag.size()) != tag) continue;
    int64_t v = 0;
    size_t j = i + tag.size();
    bool any = false;
    while (j < written && text::IsDigit(pool[j]) && v < INT32_MAX) {
      v = v * 10 + (pool[j] - u'0');
      ++j;
      any = true;
    }
    if (any && v <= INT32_MAX) positions.insert(static_cast<int32_t>(v));
  }
  return positions;
}

// ---- the sections -------------------------------------------------------------

int32_t Index(size_t i) { return static_cast<int32_t>(i); }  // tables hold < 2^31 records

void WalkCounters(const ModuleView& m, InspectSink& sink) {
  sink.OnCounters(m.counters(), m.pool().empty() ? StringItem{} : ReadString(m, 0, "name"));
}

void WalkBookNames(const ModuleView& m, InspectSink& sink) {
  for (size_t i = 0; i < m.bookNames().size(); ++i) {
    const BookNameRecord& r = m.bookNames()[i];
    sink.OnBookName({Index(i), r, ReadString(m, r.name, "book name")});
  }
}

void WalkBooks(const ModuleView& m, InspectSink& sink) {
  for (size_t i = 0; i < m.books().size(); ++i) {
    const BookRecord& b = m.books()[i];
    sink.OnBook({Index(i), b, ReadString(m, b.title, "title"), ReadString(m, b.abbrev, "abbrev"),
                 ReadString(m, b.note, "note")});
  }
}

void WalkVerses(const ModuleView& m, InspectSink& sink) {
  for (size_t i = 0; i < m.verses().size(); ++i) {
    const VerseRecord& v = m.verses()[i];
    sink.OnVerse(
        {Index(i), v, ReadString(m, v.label, "label"), ReadString(m, v.text, "verse text")});
  }
}

void WalkWords(const ModuleView& m, InspectSink& sink) {
  for (size_t i = 0; i < m.words().size(); ++i) sink.OnWord(ReadWord(m, Index(i)));
}

// Along the sorted chain; a word count + 1 steps at most, so that a chain
// that runs in a circle shows where it turns.
void WalkWordOrder(const ModuleView& m, InspectSink& sink) {
  const Counters& c = m.counters();
  int guard = 0;
  for (int32_t w = c.wordFirst; w != kNone && guard <= c.wordCount; ++guard) {
    const Reading<DictEntry> e = m.TryWord(w, "word index");
    if (!e) {
      WordItem missing;
      missing.index = w;
      missing.damage = e.damage();
      sink.OnWord(missing);
      return;
    }
    const WordItem item = ReadWord(m, w);
    sink.OnWord(item);
    w = item.record->next;
  }
}

void WalkOccurrences(const ModuleView& m, InspectSink& sink) {
  for (size_t i = 0; i < m.wordRefs().size(); ++i) sink.OnOccurrence({Index(i), m.wordRefs()[i]});
}

void WalkConcordance(const ModuleView& m, InspectSink& sink) {
  const format::ConcordanceBooks books = format::FindConcordance(m.books(), m.counters().wordCount);
  ConcordanceItem item;
  if (books.titleBook != kNone) {
    item.titleBook = books.titleBook;
    item.title = ReadString(m, m.Book(books.titleBook).title, "title");
    std::map<int32_t, int> counts;
    for (const DictEntry& e : m.words()) ++counts[e.letterBook];
    if (books.firstLetter != kNone) {
      for (int32_t b = books.firstLetter; b < books.end; ++b) {
        item.letters.push_back({b, ReadString(m, m.Book(b).title, "title"), counts[b]});
      }
    }
  }
  sink.OnConcordance(item);
}

void ShowLinks(const ModuleView& m, InspectSink& sink, LinkHolderItem::Holder holder, int32_t index,
               int32_t string, std::string_view what) {
  if (string == kNone) return;
  LinkHolderItem item;
  item.holder = holder;
  item.index = index;
  const Reading<std::u16string_view> s = m.TryString(string, what);
  if (s) {
    item.links = DecodeLinks(m, *s);
    if (item.links.empty()) return;
  } else {
    item.damage = s.damage();
  }
  sink.OnLinks(item);
}

void WalkLinks(const ModuleView& m, InspectSink& sink) {
  for (size_t i = 0; i < m.books().size(); ++i) {
    ShowLinks(m, sink, LinkHolderItem::Holder::kBookNote, Index(i), m.books()[i].note, "note");
  }
  for (size_t i = 0; i < m.verses().size(); ++i) {
    ShowLinks(m, sink, LinkHolderItem::Holder::kVerse, Index(i), m.verses()[i].text, "verse text");
  }
}

void WalkImages(const ModuleView& m, InspectSink& sink, const std::set<int32_t>& positions) {
  for (int32_t p : positions) {
    ImageItem item;
    item.position = p;
    const Reading<ImageEntry> e = m.TryImageAt(p);
    if (e) {
      item.length = e->length;
      item.type = ImageType(e->bytes);
      item.crc32 =
          static_cast<uint32_t>(crc32(0, e->bytes.data(), static_cast<uInt>(e->bytes.size())));
    } else {
      item.damage = e.damage();
    }
    sink.OnImage(item);
  }
}

}  // namespace

StringItem ReadString(const ModuleView& m, int32_t index, std::string_view what) {
  StringItem s;
  s.index = index;
  if (index == kNone) return s;
  const Reading<std::u16string_view> read = m.TryString(index, what);
  if (read) {
    s.text = *read;
  } else {
    s.damage = read.damage();
  }
  return s;
}

WordItem ReadWord(const ModuleView& m, int32_t index) {
  const DictEntry& e = m.words()[static_cast<size_t>(index)];
  WordItem item;
  item.index = index;
  item.record = &e;
  item.text = ReadString(m, e.text, "word text");
  CountOccurrences(m, item);
  return item;
}

std::vector<LinkItem> DecodeLinks(const ModuleView& m, std::u16string_view s) {
  std::vector<LinkItem> links;
  for (size_t i = 0; i + 4 < s.size(); ++i) {
    if (s[i] != u'<' || s[i + 2] != u'=') continue;
    // Encoded: "<a=" and pairs of units with bit 15 set.
    if (s[i + 1] == u'a' && format::IsPairUnit(s[i + 3])) {
      LinkItem link;
      size_t j = i + 3;
      while (j + 1 < s.size() && format::IsPairUnit(s[j]) && format::IsPairUnit(s[j + 1])) {
        const format::EncodedRef ref = format::DecodePair(s[j], s[j + 1]);
        link.refs.push_back(ReadRef(m, ref.kind, ref.index, ref.run));
        j += 2;
      }
      links.push_back(std::move(link));
      continue;
    }
    if (s[i + 3] != u'"' || (s[i + 1] != u'a' && s[i + 1] != u'f')) continue;
    const size_t close = s.find(u'"', i + 4);
    if (close == std::u16string_view::npos) continue;
    const std::u16string_view value = text::TrimView(s.substr(i + 4, close - i - 4));
    if (!LooksResolved(value)) continue;
    links.push_back(DecodeDecimal(m, s[i + 1], value));
  }
  return links;
}

void WalkModule(const ModuleView& m, InspectSink& sink) {
  const std::set<int32_t> images =
      sink.Wants(Section::kImages) ? ImagePositions(m) : std::set<int32_t>();
  struct Step {
    Section section;
    size_t count;
    void (*walk)(const ModuleView&, InspectSink&);
  };
  const std::array<Step, 9> steps{{
      {Section::kCounters, 1, WalkCounters},
      {Section::kBookNames, m.bookNames().size(), WalkBookNames},
      {Section::kBooks, m.books().size(), WalkBooks},
      {Section::kVerses, m.verses().size(), WalkVerses},
      {Section::kWords, m.words().size(), WalkWords},
      {Section::kWordOrder, m.words().size(), WalkWordOrder},
      {Section::kOccurrences, m.wordRefs().size(), WalkOccurrences},
      {Section::kConcordance, 1, WalkConcordance},
      {Section::kLinks, m.books().size() + m.verses().size(), WalkLinks},
  }};
  for (const Step& step : steps) {
    if (!sink.Wants(step.section)) continue;
    sink.Begin(step.section, step.count);
    step.walk(m, sink);
    sink.End(step.section);
  }
  if (sink.Wants(Section::kImages)) {
    sink.Begin(Section::kImages, images.size());
    WalkImages(m, sink, images);
    sink.End(Section::kImages);
  }
}

}  // namespace quillavor
