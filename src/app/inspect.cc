#include "app/inspect.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <vector>

#include "index/word_index.h"
#include "platform/text.h"

namespace quillavor {

namespace {

void AppendEscape(std::string& out, uint32_t unit) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\u%04X", unit);
  out += buf;
}

bool IsSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }

constexpr std::u16string_view kResolvedLinkTag = u"<a=";

}  // namespace

EncodedRef DecodeRefPair(char16_t first, char16_t second) {
  EncodedRef ref;
  ref.kind = first & 0xF;
  ref.index = ((first >> 4) & 0x7FF) | ((second & 0x1F) << 11);
  ref.run = 1 + ((second >> 5) & 0x3FF);
  return ref;
}

std::string DisplayText(std::u16string_view s) {
  std::string out;
  std::u16string plain;
  auto flush = [&] {
    out += text::EncodeUtf8(plain);
    plain.clear();
  };
  for (size_t i = 0; i < s.size(); ++i) {
    const char16_t c = s[i];
    // An encoded link: "<a=" followed by units with bit 15 set, in pairs.
    if (c == u'<' && s.substr(i).starts_with(kResolvedLinkTag) && i + 4 < s.size() &&
        (s[i + 3] & 0x8000) != 0 && (s[i + 4] & 0x8000) != 0 && (s[i + 3] & 0xF) == 1) {
      plain.insert(plain.end(), kResolvedLinkTag.begin(), kResolvedLinkTag.end());
      flush();
      size_t j = i + 3;
      while (j + 1 < s.size() && (s[j] & 0x8000) != 0 && (s[j + 1] & 0x8000) != 0) {
        EncodedRef ref = DecodeRefPair(s[j], s[j + 1]);
        out += ref.kind == 1 ? "{book " : ref.kind == 2 ? "{verse " : "{?";
        out += std::to_string(ref.index);
        if (ref.run > 1) {
          out += '+';
          out += std::to_string(ref.run);
        }
        out += "}";
        j += 2;
      }
      i = j - 1;
      continue;
    }
    if (c == u'\\') {
      plain.push_back(u'\\');
      plain.push_back(u'\\');
    } else if (c < 0x20 || c == 0xFFFF || c == 0xFFFE ||
               (IsSurrogate(c) &&
                !(c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF))) {
      flush();
      AppendEscape(out, c);
    } else if (c <= 0xDBFF && c >= 0xD800) {
      plain += c;
      plain += s[++i];
    } else {
      plain += c;
    }
  }
  flush();
  return out;
}

namespace {

std::string Quoted(const ModuleView& m, int32_t index, const char* what) {
  if (index == kNone) return "-";
  try {
    std::string quoted(1, '"');
    quoted += DisplayText(m.String(index, what));
    quoted += '"';
    return quoted;
  } catch (const FormatError& e) {
    return std::string("<") + e.what() + ">";
  }
}

std::string FlagNames(uint32_t flags) {
  static const std::pair<uint32_t, const char*> kNames[] = {
      {kFlagHymnal, "COMMUNITY_OF_CHRIST_SINGS"},
      {kFlagInspiredVersion, "INSPIRED_VERSION"},
      {kFlagBible, "BIBLE"},
      {kFlagSuperscriptVerses, "SUPERSCRIPT_VERSES"},
      {kFlagDoctrineAndCovenants, "DOCTRINE_AND_COVENANTS"},
      {kFlagBookOfMormon, "BOOK_OF_MORMON"},
      {kFlagHelp, "HELP"}};
  std::string s;
  for (auto [bit, name] : kNames) {
    if (flags & bit) s += std::string(s.empty() ? "" : " ") + name;
  }
  return s.empty() ? "none" : s;
}

std::string BookFlagNames(int32_t f) {
  std::string s;
  if (f & kBookSuppress) s += " suppress";
  if (f & kBookPlainLayout) s += " plainLayout";
  if (f & kBookNoSibLink) s += " nosiblink";
  return s.empty() ? " none" : s;
}

// Image positions named by "<image=" fields in the pool text.
std::set<int32_t> ImagePositions(const ModuleView& m) {
  std::set<int32_t> positions;
  auto pool = m.pool();
  const std::u16string_view tag = u"<image=";
  const size_t written = pool.size();
  for (size_t i = 0; i + tag.size() + 8 < written; ++i) {
    if (pool[i] != u'<' || std::u16string_view(pool.data() + i, tag.size()) != tag) continue;
    int64_t v = 0;
    size_t j = i + tag.size();
    bool any = false;
    while (j < written && pool[j] >= u'0' && pool[j] <= u'9' && v < INT32_MAX) {
      v = v * 10 + (pool[j] - u'0');
      ++j;
      any = true;
    }
    if (any && v <= INT32_MAX) positions.insert(static_cast<int32_t>(v));
  }
  return positions;
}

int OccurrenceCount(const ModuleView& m, const DictEntry& e) {
  int n = 0;
  for (int32_t r = e.firstRef; r != kNone && n <= m.counters().wordRefCount; r = m.Ref(r).next) ++n;
  return n;
}

// One reference number: kind in the low four bits (1 book, 2 verse).
std::string DescribeRef(const ModuleView& m, int kind, int64_t index, int32_t run) {
  std::string out = kind == 1   ? "{book "
                    : kind == 2 ? "{verse "
                                : "{kind " + std::to_string(kind) + " ";
  out += std::to_string(index);
  if (run > 1) out += "+" + std::to_string(run);
  try {
    if (kind == 1) {
      out += " " + Quoted(m, m.Book(static_cast<int32_t>(index), "linked book").title, "title");
    } else if (kind == 2) {
      const VerseRecord& v = m.Verse(static_cast<int32_t>(index), "linked verse");
      out += " in " + Quoted(m, m.Book(v.book, "book of linked verse").title, "title") + " label " +
             Quoted(m, v.label, "label");
    }
  } catch (const FormatError& e) {
    out += std::string(" <") + e.what() + ">";
  }
  return out + "}";
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

constexpr size_t kFootnoteShown = 40;  // code units of a footnote text shown
// The Concordance books as the module file carries them: the title book is
// the last book of book name 0 when it has the shape and title of one; the
// letter books are chained backwards from the last book of book name 1.
struct Concordance {
  int32_t titleBook = kNone;
  std::vector<int32_t> letterBooks;  // in ascending order
};

Concordance FindConcordance(const ModuleView& m) {
  Concordance conc;
  const auto& books = m.books();
  if (m.bookNames().empty()) return conc;
  const int32_t t = m.bookNames()[0].lastBook;
  if (t < 0 || static_cast<size_t>(t) >= books.size()) return conc;
  const BookRecord& title = books[static_cast<size_t>(t)];
  const bool titleShape = title.nameIndex == 0 && title.firstText == 0 && title.bookFlags == 0 &&
                          title.note == kNone && title.abbrev == kNone &&
                          title.prevSameName == kNone && title.prevName == kNone;
  if (!titleShape) return conc;
  try {
    const std::u16string_view shown = m.String(title.title, "title");
    if (shown != u"Concordance" && shown != u"Concordancia") return conc;
  } catch (const FormatError&) {
    return conc;
  }
  conc.titleBook = t;
  if (m.bookNames().size() < 2) return conc;
  int32_t b = m.bookNames()[1].lastBook;
  while (b >= 0 && static_cast<size_t>(b) < books.size() &&
         books[static_cast<size_t>(b)].prevName == t && conc.letterBooks.size() < books.size()) {
    conc.letterBooks.push_back(b);
    b = books[static_cast<size_t>(b)].prevSameName;
  }
  std::reverse(conc.letterBooks.begin(), conc.letterBooks.end());
  return conc;
}

std::string BookTitle(const ModuleView& m, int32_t book) {
  if (book < 0 || static_cast<size_t>(book) >= m.books().size()) {
    return "<no book " + std::to_string(book) + ">";
  }
  return Quoted(m, m.books()[static_cast<size_t>(book)].title, "title");
}

// The occurrences of one word (matched ignoring case): verse, offset and
// ordinal of each, with the text found at the offset of the verse text as the
// indexer prepared it.
void PrintWord(const ModuleView& m, std::u16string_view word, std::ostream& out) {
  const Counters& c = m.counters();
  const std::u16string want = text::ToUpperInvariant(word);
  for (size_t i = 0; i < m.words().size(); ++i) {
    const DictEntry& e = m.words()[i];
    std::u16string_view stored;
    try {
      stored = m.String(e.text, "word text");
    } catch (const FormatError&) {
      continue;
    }
    if (text::ToUpperInvariant(stored) != want) continue;
    out << "word [" << i << "] " << Quoted(m, e.text, "word text") << ", letter book "
        << e.letterBook << " " << BookTitle(m, e.letterBook) << ", " << OccurrenceCount(m, e)
        << " occurrences\n";
    std::u16string prepared;
    int n = 0;
    for (int32_t r = e.firstRef; r != kNone && n <= c.wordRefCount; r = m.Ref(r).next, ++n) {
      const WordRef& ref = m.Ref(r);
      const uint32_t offset = WordOffset(ref.position);
      out << "  [" << r << "] verse " << ref.verse;
      try {
        const VerseRecord& v = m.Verse(ref.verse, "occurrence verse");
        out << " (book " << BookTitle(m, v.book) << ", label " << Quoted(m, v.label, "label")
            << ")";
        PrepareVerseText(m.String(v.text, "verse text"), prepared);
        const std::u16string_view at =
            offset < prepared.size() ? std::u16string_view(prepared).substr(offset, stored.size())
                                     : std::u16string_view();
        out << ", offset " << offset << " \"" << DisplayText(at) << "\"";
      } catch (const FormatError& err) {
        out << ", offset " << offset << " <" << err.what() << ">";
      }
      out << ", ordinal " << WordOrdinal(ref.position) << "\n";
    }
    return;
  }
  out << "no word " << text::EncodeUtf8(word) << "\n";
}

// The words of one Concordance letter book (its title matched exactly, or
// ignoring case), in dictionary order, with their occurrence counts.
void PrintLetter(const ModuleView& m, std::u16string_view letter, std::ostream& out) {
  const Concordance conc = FindConcordance(m);
  int32_t book = kNone;
  for (int pass = 0; pass < 2 && book == kNone; ++pass) {
    for (int32_t b : conc.letterBooks) {
      std::u16string_view title;
      try {
        title = m.String(m.Book(b).title, "title");
      } catch (const FormatError&) {
        continue;
      }
      if (pass == 0 ? title == letter
                    : text::ToUpperInvariant(title) == text::ToUpperInvariant(letter)) {
        book = b;
        break;
      }
    }
  }
  if (book == kNone) {
    out << "no letter book " << text::EncodeUtf8(letter) << "\n";
    return;
  }
  const Counters& c = m.counters();
  std::vector<int32_t> listed;
  int guard = 0;
  for (int32_t w = c.wordFirst; w != kNone && w != c.wordLast && guard <= c.wordCount;
       w = m.Word(w).next, ++guard) {
    if (m.Word(w).letterBook == book) listed.push_back(w);
  }
  out << "letter book [" << book << "] " << BookTitle(m, book) << ": " << listed.size()
      << " words\n";
  for (int32_t w : listed) {
    const DictEntry& e = m.Word(w);
    out << "  [" << w << "] " << Quoted(m, e.text, "word text") << " x" << OccurrenceCount(m, e)
        << "\n";
  }
}

}  // namespace

std::string DescribeLinks(const ModuleView& m, std::u16string_view s, const std::string& indent) {
  std::string out;
  for (size_t i = 0; i + 4 < s.size(); ++i) {
    if (s[i] != u'<' || s[i + 2] != u'=') continue;
    // Encoded: "<a=" and pairs of units with bit 15 set.
    if (s[i + 1] == u'a' && (s[i + 3] & 0x8000) != 0) {
      std::string line = indent + "<a>";
      size_t j = i + 3;
      while (j + 1 < s.size() && (s[j] & 0x8000) != 0 && (s[j + 1] & 0x8000) != 0) {
        EncodedRef ref = DecodeRefPair(s[j], s[j + 1]);
        line += " " + DescribeRef(m, ref.kind, ref.index, ref.run);
        j += 2;
      }
      out += line + "\n";
      continue;
    }
    if (s[i + 3] != u'"' || (s[i + 1] != u'a' && s[i + 1] != u'f')) continue;
    size_t close = s.find(u'"', i + 4);
    if (close == std::u16string_view::npos) continue;
    const std::u16string_view value = text::TrimView(s.substr(i + 4, close - i - 4));
    if (value.empty() || !IsDigit(value[0])) continue;
    if (value.find_first_not_of(u"0123456789#R") != std::u16string_view::npos) continue;
    if (s[i + 1] == u'f') {
      int64_t pos = 0;
      for (char16_t c : value) pos = IsDigit(c) && pos < INT32_MAX ? pos * 10 + (c - u'0') : pos;
      out += indent + "<f> footnote text at " + std::to_string(pos);
      try {
        std::u16string_view note = m.String(static_cast<int32_t>(pos), "footnote position");
        out += " \"" + DisplayText(note.substr(0, kFootnoteShown)) +
               (note.size() > kFootnoteShown ? "...\"" : "\"");
      } catch (const FormatError& e) {
        out += std::string(" <") + e.what() + ">";
      }
      out += "\n";
      continue;
    }
    // Decimal: "%d", "%d#%d", with "R%d" for the context book.
    std::string line = indent + "<a>";
    size_t k = 0;
    while (k < value.size()) {
      char16_t sep = 0;
      if (value[k] == u'#' || value[k] == u'R') sep = value[k++];
      int64_t ref = 0;
      while (k < value.size() && IsDigit(value[k]) && ref < INT32_MAX)
        ref = ref * 10 + (value[k++] - u'0');
      while (k < value.size() && IsDigit(value[k])) ++k;
      line += sep == u'#' ? " #" : sep == u'R' ? " R" : "";
      line += " " + DescribeRef(m, static_cast<int>(ref & 0xF), ref >> 4, 1);
      if (k < value.size() && value[k] != u'#' && value[k] != u'R') ++k;
    }
    out += line + "\n";
  }
  return out;
}

void PrintModule(const ModuleView& m, const InspectOptions& o, std::ostream& out) {
  const Counters& c = m.counters();
  if (!o.word.empty()) {
    PrintWord(m, o.word, out);
    return;
  }
  if (!o.letter.empty()) {
    PrintLetter(m, o.letter, out);
    return;
  }
  if (o.counters) {
    out << "Counters\n"
        << "  poolLength    " << c.poolLength << "\n"
        << "  bookNameCount " << c.bookNameCount << "\n"
        << "  bookCount     " << c.bookCount << "\n"
        << "  verseCount    " << c.verseCount << "\n"
        << "  labelCount    " << c.labelCount << "\n"
        << "  wordCount     " << c.wordCount << "\n"
        << "  wordRefCount  " << c.wordRefCount << "\n"
        << "  labelFirst    " << c.labelFirst << "\n"
        << "  labelLast     " << c.labelLast << "\n"
        << "  wordFirst     " << c.wordFirst << "\n"
        << "  wordLast      " << c.wordLast << "\n"
        << "  tokenTotal    " << c.tokenTotal << "\n"
        << "  flags         0x" << std::hex << c.flags << std::dec << " (" << FlagNames(c.flags)
        << ")\n";
    if (!m.pool().empty()) out << "  module name   " << Quoted(m, 0, "name") << "\n";
  }
  if (o.books) {
    out << "Book names (" << m.bookNames().size() << ")\n";
    for (size_t i = 0; i < m.bookNames().size(); ++i) {
      const BookNameRecord& r = m.bookNames()[i];
      out << "  [" << i << "] " << Quoted(m, r.name, "book name") << " lastBook " << r.lastBook
          << "\n";
    }
    out << "Books (" << m.books().size() << ")\n";
    for (size_t i = 0; i < m.books().size(); ++i) {
      const BookRecord& b = m.books()[i];
      out << "  [" << i << "] " << Quoted(m, b.title, "title") << " name " << b.nameIndex
          << " abbrev " << Quoted(m, b.abbrev, "abbrev") << " firstText " << b.firstText << " flags"
          << BookFlagNames(b.bookFlags) << " sameName " << b.prevSameName << "/" << b.nextSameName
          << " name " << b.prevName << "/" << b.nextName << "\n";
      if (b.note != kNone) out << "      note " << Quoted(m, b.note, "note") << "\n";
    }
  }
  if (o.verses) {
    out << "Verses (" << m.verses().size() << ")\n";
    for (size_t i = 0; i < m.verses().size(); ++i) {
      const VerseRecord& v = m.verses()[i];
      out << "  [" << i << "] book " << v.book << " label " << Quoted(m, v.label, "label")
          << " next " << v.next << " " << Quoted(m, v.text, "verse text") << "\n";
    }
  }
  if (o.words) {
    out << "Words (" << m.words().size() << ", sorted; first " << c.wordFirst << ", last "
        << c.wordLast << ")\n";
    int guard = 0;
    for (int32_t w = c.wordFirst; w != kNone && guard <= c.wordCount; w = m.Word(w).next, ++guard) {
      const DictEntry& e = m.Word(w);
      out << "  [" << w << "] " << Quoted(m, e.text, "word text") << " x" << OccurrenceCount(m, e)
          << " letterBook " << e.letterBook << "\n";
    }
  }
  if (o.concordance) {
    const Concordance conc = FindConcordance(m);
    if (conc.titleBook == kNone) {
      out << "Concordance: none\n";
    } else {
      out << "Concordance: title book [" << conc.titleBook << "] "
          << Quoted(m, m.Book(conc.titleBook).title, "title") << ", " << conc.letterBooks.size()
          << " letter books\n";
      std::map<int32_t, int> counts;
      for (const DictEntry& e : m.words()) ++counts[e.letterBook];
      for (int32_t b : conc.letterBooks) {
        out << "  letter book [" << b << "] " << Quoted(m, m.Book(b).title, "title") << ": "
            << counts[b] << " words\n";
      }
    }
  }
  if (o.links) {
    out << "Links\n";
    int resolved = 0;
    auto show = [&](const std::string& where, int32_t index) {
      if (index == kNone) return;
      try {
        const std::string lines = DescribeLinks(m, m.String(index, "link text"), "    ");
        if (lines.empty()) return;
        for (char ch : lines) resolved += ch == '\n';
        out << "  " << where << "\n" << lines;
      } catch (const FormatError& e) {
        out << "  " << where << ": " << e.what() << "\n";
      }
    };
    for (size_t i = 0; i < m.books().size(); ++i) {
      show("note of book " + std::to_string(i), m.books()[i].note);
    }
    for (size_t i = 0; i < m.verses().size(); ++i) {
      show("verse " + std::to_string(i), m.verses()[i].text);
    }
    out << "  " << resolved << " resolved link(s)\n";
  }
  if (o.images) {
    std::set<int32_t> positions = ImagePositions(m);
    out << "Images (" << positions.size() << ")\n";
    for (int32_t p : positions) {
      try {
        ImageEntry e = m.ImageAt(p);
        out << "  at " << p << ": " << e.length << " bytes\n";
      } catch (const FormatError& err) {
        out << "  at " << p << ": " << err.what() << "\n";
      }
    }
  }
}

namespace {

std::string JsonString(std::u16string_view s) {
  std::string out = "\"";
  std::string utf8 = text::EncodeUtf8(s);
  for (unsigned char ch : utf8) {
    switch (ch) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (ch < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", ch);
          out += buf;
        } else {
          out += static_cast<char>(ch);
        }
    }
  }
  return out + "\"";
}

std::string JsonStr(const ModuleView& m, int32_t index) {
  if (index == kNone) return "null";
  try {
    return JsonString(m.String(index));
  } catch (const FormatError&) {
    return "null";
  }
}

}  // namespace

void PrintModuleJson(const ModuleView& m, std::ostream& out) {
  const Counters& c = m.counters();
  out << "{\n  \"counters\": {\"poolLength\": " << c.poolLength
      << ", \"bookNameCount\": " << c.bookNameCount << ", \"bookCount\": " << c.bookCount
      << ", \"verseCount\": " << c.verseCount << ", \"labelCount\": " << c.labelCount
      << ", \"wordCount\": " << c.wordCount << ", \"wordRefCount\": " << c.wordRefCount
      << ", \"labelFirst\": " << c.labelFirst << ", \"labelLast\": " << c.labelLast
      << ", \"wordFirst\": " << c.wordFirst << ", \"wordLast\": " << c.wordLast
      << ", \"tokenTotal\": " << c.tokenTotal << ", \"flags\": " << c.flags << "},\n";
  out << "  \"name\": " << (m.pool().empty() ? "null" : JsonStr(m, 0)) << ",\n";
  out << "  \"bookNames\": [";
  for (size_t i = 0; i < m.bookNames().size(); ++i) {
    const BookNameRecord& r = m.bookNames()[i];
    out << (i ? ",\n    " : "\n    ") << "{\"name\": " << JsonStr(m, r.name)
        << ", \"lastBook\": " << r.lastBook << "}";
  }
  out << "],\n  \"books\": [";
  for (size_t i = 0; i < m.books().size(); ++i) {
    const BookRecord& b = m.books()[i];
    out << (i ? ",\n    " : "\n    ") << "{\"title\": " << JsonStr(m, b.title)
        << ", \"note\": " << JsonStr(m, b.note) << ", \"abbrev\": " << JsonStr(m, b.abbrev)
        << ", \"prevSameName\": " << b.prevSameName << ", \"nextSameName\": " << b.nextSameName
        << ", \"prevName\": " << b.prevName << ", \"nextName\": " << b.nextName
        << ", \"firstText\": " << b.firstText << ", \"nameIndex\": " << b.nameIndex
        << ", \"bookFlags\": " << b.bookFlags << "}";
  }
  out << "],\n  \"verses\": [";
  for (size_t i = 0; i < m.verses().size(); ++i) {
    const VerseRecord& v = m.verses()[i];
    out << (i ? ",\n    " : "\n    ") << "{\"book\": " << v.book
        << ", \"label\": " << JsonStr(m, v.label) << ", \"text\": " << JsonStr(m, v.text)
        << ", \"textIndex\": " << v.text << ", \"next\": " << v.next << "}";
  }
  out << "],\n  \"words\": [";
  for (size_t i = 0; i < m.words().size(); ++i) {
    const DictEntry& e = m.words()[i];
    out << (i ? ",\n    " : "\n    ") << "{\"text\": " << JsonStr(m, e.text)
        << ", \"prev\": " << e.prev << ", \"next\": " << e.next << ", \"firstRef\": " << e.firstRef
        << ", \"letterBook\": " << e.letterBook << "}";
  }
  out << "],\n  \"wordRefs\": [";
  for (size_t i = 0; i < m.wordRefs().size(); ++i) {
    const WordRef& r = m.wordRefs()[i];
    out << (i ? ",\n    " : "\n    ") << "{\"next\": " << r.next << ", \"verse\": " << r.verse
        << ", \"offset\": " << WordOffset(r.position)
        << ", \"ordinal\": " << WordOrdinal(r.position) << "}";
  }
  out << "],\n  \"images\": [";
  bool first = true;
  for (int32_t p : ImagePositions(m)) {
    try {
      ImageEntry e = m.ImageAt(p);
      out << (first ? "\n    " : ",\n    ") << "{\"position\": " << p
          << ", \"length\": " << e.length << "}";
      first = false;
    } catch (const FormatError&) {
    }
  }
  out << "]\n}\n";
}

}  // namespace quillavor
