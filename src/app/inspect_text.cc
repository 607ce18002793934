// The text dump: a sink of the module walk that prints one line per record,
// and the two text-only queries (the occurrences of a word, the words of a
// Concordance letter book).
#include <cstdio>
#include <string>
#include <vector>

#include "app/inspect.h"
#include "index/word_index.h"
#include "model/module_format.h"
#include "platform/text.h"

namespace quillavor {

namespace {

void AppendEscape(std::string& out, uint32_t unit) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\u%04X", unit);
  out += buf;
}

constexpr std::u16string_view kResolvedLinkTag = u"<a=";
constexpr size_t kFootnoteShown = 40;  // code units of a footnote text shown

}  // namespace

std::string DisplayText(std::u16string_view s) {
  std::string out;
  std::u16string plain;
  auto flush = [&] {
    out += text::EncodeUtf8(plain);
    plain.clear();
  };
  for (size_t i = 0; i < s.size(); ++i) {
    const char16_t c = s[i];
    // An encoded link: "<a=" followed by pairs of units with bit 15 set, the first a book.
    if (c == u'<' && s.substr(i).starts_with(kResolvedLinkTag) && i + 4 < s.size() &&
        format::IsPairUnit(s[i + 3]) && format::IsPairUnit(s[i + 4]) &&
        format::DecodePair(s[i + 3], s[i + 4]).kind == format::kBookKind) {
      plain.insert(plain.end(), kResolvedLinkTag.begin(), kResolvedLinkTag.end());
      flush();
      size_t j = i + 3;
      while (j + 1 < s.size() && format::IsPairUnit(s[j]) && format::IsPairUnit(s[j + 1])) {
        const format::EncodedRef ref = format::DecodePair(s[j], s[j + 1]);
        out += ref.kind == format::kBookKind    ? "{book "
               : ref.kind == format::kVerseKind ? "{verse "
                                                : "{?";
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
    const bool pairedHigh =
        c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF;
    if (c == u'\\') {
      plain.push_back(u'\\');
      plain.push_back(u'\\');
    } else if (c < 0x20 || c == 0xFFFF || c == 0xFFFE || (text::IsSurrogate(c) && !pairedHigh)) {
      flush();
      AppendEscape(out, c);
    } else if (pairedHigh) {
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

std::string Quoted(const StringItem& s) {
  if (s.index == kNone) return "-";
  if (!s.damage.empty()) return "<" + s.damage + ">";
  return "\"" + DisplayText(s.text) + "\"";
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

// One reference: "{book 3 "Title"}", "{verse 7+3 in "Title" label "2"}".
std::string DescribeRef(const RefItem& ref) {
  std::string out = ref.kind == format::kBookKind    ? "{book "
                    : ref.kind == format::kVerseKind ? "{verse "
                                                     : "{kind " + std::to_string(ref.kind) + " ";
  out += std::to_string(ref.index);
  if (ref.run > 1) out += "+" + std::to_string(ref.run);
  if (!ref.damage.empty()) {
    out += " <" + ref.damage + ">";
  } else if (ref.kind == format::kBookKind) {
    out += " " + Quoted(ref.title);
  } else if (ref.kind == format::kVerseKind) {
    out += " in " + Quoted(ref.title) + " label " + Quoted(ref.label);
  }
  return out + "}";
}

std::string DescribeLink(const LinkItem& link) {
  switch (link.form) {
    case LinkItem::Form::kEncoded: {
      std::string line = "<a>";
      for (const RefItem& ref : link.refs) line += " " + DescribeRef(ref);
      return line;
    }
    case LinkItem::Form::kDecimal: {
      std::string line = "<a> " + DescribeRef(link.refs.front());
      if (link.second) line += " # " + DescribeRef(*link.second);
      if (link.context) line += " R " + DescribeRef(*link.context);
      return line;
    }
    case LinkItem::Form::kFootnote: {
      std::string line = "<f> footnote text at " + std::to_string(link.position);
      if (!link.note.damage.empty()) return line + " <" + link.note.damage + ">";
      return line + " \"" + DisplayText(link.note.text.substr(0, kFootnoteShown)) +
             (link.note.text.size() > kFootnoteShown ? "...\"" : "\"");
    }
    case LinkItem::Form::kUnreadable:
      break;
  }
  return "<" + text::EncodeUtf8(std::u16string(1, link.tag)) + "> unreadable value \"" +
         DisplayText(link.value) + "\"";
}

std::string DescribeLinkLines(const std::vector<LinkItem>& links, const std::string& indent) {
  std::string out;
  for (const LinkItem& link : links) out += indent + DescribeLink(link) + "\n";
  return out;
}

// The text dump, section by section as the walk hands them.
class TextSink : public InspectSink {
 public:
  TextSink(const InspectOptions& options, std::ostream& out) : o_(options), out_(out) {}

  bool Wants(Section s) const override {
    switch (s) {
      case Section::kCounters:
        return true;  // the Words header shows wordFirst and wordLast
      case Section::kBookNames:
      case Section::kBooks:
        return o_.books;
      case Section::kVerses:
        return o_.verses;
      case Section::kWordOrder:
        return o_.words;
      case Section::kConcordance:
        return o_.concordance;
      case Section::kLinks:
        return o_.links;
      case Section::kImages:
        return o_.images;
      case Section::kWords:
      case Section::kOccurrences:
        return false;
    }
    return false;
  }

  void Begin(Section s, size_t count) override {
    switch (s) {
      case Section::kBookNames:
        out_ << "Book names (" << count << ")\n";
        break;
      case Section::kBooks:
        out_ << "Books (" << count << ")\n";
        break;
      case Section::kVerses:
        out_ << "Verses (" << count << ")\n";
        break;
      case Section::kWordOrder:
        out_ << "Words (" << count << ", sorted; first " << counters_.wordFirst << ", last "
             << counters_.wordLast << ")\n";
        break;
      case Section::kLinks:
        out_ << "Links\n";
        resolved_ = 0;
        break;
      case Section::kImages:
        out_ << "Images (" << count << ")\n";
        break;
      default:
        break;
    }
  }

  void End(Section s) override {
    if (s == Section::kLinks) out_ << "  " << resolved_ << " resolved link(s)\n";
  }

  void OnCounters(const Counters& c, const StringItem& name) override {
    counters_ = c;
    if (!o_.counters) return;
    out_ << "Counters\n"
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
    if (name.index != kNone) out_ << "  module name   " << Quoted(name) << "\n";
  }

  void OnBookName(const BookNameItem& n) override {
    out_ << "  [" << n.index << "] " << Quoted(n.name) << " lastBook " << n.record.lastBook << "\n";
  }

  void OnBook(const BookItem& b) override {
    const BookRecord& r = b.record;
    out_ << "  [" << b.index << "] " << Quoted(b.title) << " name " << r.nameIndex << " abbrev "
         << Quoted(b.abbrev) << " firstText " << r.firstText << " flags"
         << BookFlagNames(r.bookFlags) << " sameName " << r.prevSameName << "/" << r.nextSameName
         << " name " << r.prevName << "/" << r.nextName << "\n";
    if (r.note != kNone) out_ << "      note " << Quoted(b.note) << "\n";
  }

  void OnVerse(const VerseItem& v) override {
    out_ << "  [" << v.index << "] book " << v.record.book << " label " << Quoted(v.label)
         << " next " << v.record.next << " " << Quoted(v.text) << "\n";
  }

  void OnWord(const WordItem& w) override {
    if (w.record == nullptr) {
      out_ << "  [" << w.index << "] <" << w.damage << ">\n";
      return;
    }
    out_ << "  [" << w.index << "] " << Quoted(w.text) << " x" << w.occurrences << " letterBook "
         << w.record->letterBook;
    if (!w.damage.empty()) out_ << " <" << w.damage << ">";
    out_ << "\n";
  }

  void OnConcordance(const ConcordanceItem& c) override {
    if (c.titleBook == kNone) {
      out_ << "Concordance: none\n";
      return;
    }
    out_ << "Concordance: title book [" << c.titleBook << "] " << Quoted(c.title) << ", "
         << c.letters.size() << " letter books\n";
    for (const ConcordanceItem::Letter& l : c.letters) {
      out_ << "  letter book [" << l.book << "] " << Quoted(l.title) << ": " << l.words
           << " words\n";
    }
  }

  void OnLinks(const LinkHolderItem& h) override {
    const std::string where =
        (h.holder == LinkHolderItem::Holder::kBookNote ? "note of book " : "verse ") +
        std::to_string(h.index);
    if (!h.damage.empty()) {
      out_ << "  " << where << ": " << h.damage << "\n";
      return;
    }
    out_ << "  " << where << "\n" << DescribeLinkLines(h.links, "    ");
    for (const LinkItem& link : h.links) resolved_ += link.form != LinkItem::Form::kUnreadable;
  }

  void OnImage(const ImageItem& i) override {
    out_ << "  at " << i.position << ": ";
    if (i.damage.empty()) {
      out_ << i.length << " bytes\n";
    } else {
      out_ << i.damage << "\n";
    }
  }

 private:
  const InspectOptions& o_;
  std::ostream& out_;
  Counters counters_{};
  int resolved_ = 0;
};

std::string BookTitle(const ModuleView& m, int32_t book) {
  const Reading<BookRecord> b = m.TryBook(book);
  if (!b) return "<no book " + std::to_string(book) + ">";
  return Quoted(ReadString(m, b->title, "title"));
}

// The occurrences of one word (matched ignoring case): verse, offset and
// ordinal of each, with the text found at the offset of the verse text as the
// indexer prepared it.
void PrintWord(const ModuleView& m, std::u16string_view word, std::ostream& out) {
  const Counters& c = m.counters();
  const std::u16string want = text::ToUpperInvariant(word);
  for (size_t i = 0; i < m.words().size(); ++i) {
    const WordItem w = ReadWord(m, static_cast<int32_t>(i));
    if (!w.text.readable() || text::ToUpperInvariant(w.text.text) != want) continue;
    const DictEntry& e = *w.record;
    out << "word [" << i << "] " << Quoted(w.text) << ", letter book " << e.letterBook << " "
        << BookTitle(m, e.letterBook) << ", " << w.occurrences << " occurrences\n";
    std::u16string prepared;
    int n = 0;
    for (int32_t r = e.firstRef; r != kNone && n <= c.wordRefCount; ++n) {
      const Reading<WordRef> ref = m.TryRef(r, "occurrence index");
      if (!ref) {
        out << "  <" << ref.damage() << ">\n";
        break;
      }
      const uint32_t offset = WordOffset(ref->position);
      out << "  [" << r << "] verse " << ref->verse;
      const Reading<VerseRecord> v = m.TryVerse(ref->verse, "occurrence verse");
      std::string damage = v.damage();
      if (v) {
        out << " (book " << BookTitle(m, v->book) << ", label "
            << Quoted(ReadString(m, v->label, "label")) << ")";
        const Reading<std::u16string_view> verseText = m.TryString(v->text, "verse text");
        if (verseText) {
          PrepareVerseText(*verseText, prepared);
        } else {
          damage = verseText.damage();
        }
      }
      if (damage.empty()) {
        const std::u16string_view at =
            offset < prepared.size()
                ? std::u16string_view(prepared).substr(offset, w.text.text.size())
                : std::u16string_view();
        out << ", offset " << offset << " \"" << DisplayText(at) << "\"";
      } else {
        out << ", offset " << offset << " <" << damage << ">";
      }
      out << ", ordinal " << WordOrdinal(ref->position) << "\n";
      r = ref->next;
    }
    return;
  }
  out << "no word " << text::EncodeUtf8(word) << "\n";
}

// The words of one Concordance letter book (its title matched exactly, or
// ignoring case), in dictionary order, with their occurrence counts.
void PrintLetter(const ModuleView& m, std::u16string_view letter, std::ostream& out) {
  const Counters& c = m.counters();
  const format::ConcordanceBooks conc = format::FindConcordance(m.books(), c.wordCount);
  int32_t book = kNone;
  for (int pass = 0; pass < 2 && book == kNone && conc.firstLetter != kNone; ++pass) {
    for (int32_t b = conc.firstLetter; b < conc.end; ++b) {
      const StringItem title = ReadString(m, m.Book(b).title, "title");
      if (!title.readable()) continue;
      if (pass == 0 ? title.text == letter
                    : text::ToUpperInvariant(title.text) == text::ToUpperInvariant(letter)) {
        book = b;
        break;
      }
    }
  }
  if (book == kNone) {
    out << "no letter book " << text::EncodeUtf8(letter) << "\n";
    return;
  }
  std::vector<int32_t> listed;
  std::string damage;
  int guard = 0;
  for (int32_t w = c.wordFirst; w != kNone && w != c.wordLast && guard <= c.wordCount; ++guard) {
    const Reading<DictEntry> e = m.TryWord(w, "word index");
    if (!e) {
      damage = e.damage();
      break;
    }
    if (e->letterBook == book) listed.push_back(w);
    w = e->next;
  }
  out << "letter book [" << book << "] " << BookTitle(m, book) << ": " << listed.size()
      << " words\n";
  for (int32_t w : listed) {
    const WordItem item = ReadWord(m, w);
    out << "  [" << w << "] " << Quoted(item.text) << " x" << item.occurrences << "\n";
  }
  if (!damage.empty()) out << "  <" << damage << ">\n";
}

}  // namespace

std::string DescribeLinks(const ModuleView& m, std::u16string_view s, const std::string& indent) {
  return DescribeLinkLines(DecodeLinks(m, s), indent);
}

void PrintModule(const ModuleView& m, const InspectOptions& o, std::ostream& out) {
  if (!o.word.empty()) {
    PrintWord(m, o.word, out);
    return;
  }
  if (!o.letter.empty()) {
    PrintLetter(m, o.letter, out);
    return;
  }
  TextSink sink(o, out);
  WalkModule(m, sink);
}

}  // namespace quillavor
