#include "app/preview.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <system_error>
#include <vector>

#include "app/build_driver.h"
#include "app/preview_assets.h"
#include "app/preview_html.h"
#include "app/preview_markup.h"
#include "markup/plain_text.h"
#include "model/module_format.h"
#include "platform/files.h"
#include "platform/text.h"

namespace quillavor {

namespace {

namespace fs = std::filesystem;
namespace fmt = quillavor::format;
using preview::AppendEscaped;
using preview::AppendEscapedUtf8;
using preview::Escaped;

// A file in every preview folder: it marks the folder as one that a later
// preview may replace.
constexpr std::string_view kMarkerFile = ".quillavor-preview";
constexpr std::string_view kMarkerText =
    "A module preview written by quillavor-maker; the next preview into this folder replaces "
    "it.\n";

// The Content-Security-Policy of every page: nothing but the site's own style
// sheet, script files and images; no inline script, no network.
constexpr std::string_view kPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; base-uri 'none'; "
    "form-action 'none'";

// Code units a verse adds to a page's weight besides its text (markup of the
// verse block).
constexpr int64_t kVerseWeight = 40;
// Footnote text shown in a link's tooltip.
constexpr size_t kTooltipUnits = 200;
// Page numbers shown on each side of the current one in the Concordance.
constexpr int32_t kPagingWindow = 5;

std::string Number(int64_t n) { return std::to_string(n); }

std::string_view KindName(uint32_t flag) {
  switch (flag) {
    case kFlagBible:
      return "Bible (BIBLE)";
    case kFlagHymnal:
      return "hymnal (COMMUNITY_OF_CHRIST_SINGS)";
    case kFlagInspiredVersion:
      return "Inspired Version (INSPIRED_VERSION)";
    case kFlagDoctrineAndCovenants:
      return "Doctrine and Covenants (DOCTRINE_AND_COVENANTS)";
    case kFlagBookOfMormon:
      return "Book of Mormon (BOOK_OF_MORMON)";
    case kFlagHelp:
      return "help text (HELP)";
    case kFlagSuperscriptVerses:
      return "superscript verse numbers (SUPERSCRIPT_VERSES)";
    default:
      return {};
  }
}

// One book's verses, or a part of them, on a page.
struct Segment {
  int32_t book;
  size_t begin;  // into the book's verse list
  size_t end;
  bool continued;  // a later part of a split book
};

struct Page {
  std::string file;
  std::u16string title;
  std::vector<Segment> segments;
};

// The books of one book name, in table order.
struct NameGroup {
  std::u16string name;
  std::vector<int32_t> books;
};

// A word of the Concordance and where its occurrences are listed.
struct ListedWord {
  int32_t word;
  std::vector<int32_t> verses;  // one per occurrence, in list order
  std::string firstHref;        // the page and anchor where its list starts
};

class Site : public preview::MarkupContext {
 public:
  Site(const ModuleView& module, const PreviewOptions& options, fs::path folder)
      : m_(module), options_(options), folder_(std::move(folder)) {}

  PreviewSummary Write() {
    Plan();
    WriteFile("style.css", preview::kStyleSheet);
    WriteFile("search.js", preview::kSearchScript);
    WriteFile(std::string(kMarkerFile), kMarkerText);
    for (size_t p = 0; p < pages_.size(); ++p) WriteBookPage(p);
    WriteConcordance();
    WriteIndex();
    summary_.indexPage = files::FromPath(folder_ / "index.html");
    return summary_;
  }

  // ---- MarkupContext ----

  std::string VerseHref(int32_t verse) override {
    if (!ValidVerse(verse)) return {};
    const int32_t page = versePage_[static_cast<size_t>(verse)];
    if (page < 0) return {};
    return (page == currentPage_ ? std::string() : pages_[static_cast<size_t>(page)].file) +
           "#v" + Number(verse);
  }
  std::string BookHref(int32_t book) override {
    if (book < 0 || static_cast<size_t>(book) >= bookPage_.size()) return {};
    const int32_t page = bookPage_[static_cast<size_t>(book)];
    if (page < 0) return {};
    return (page == currentPage_ ? std::string() : pages_[static_cast<size_t>(page)].file) +
           "#b" + Number(book);
  }
  int32_t VerseBook(int32_t verse) override {
    return ValidVerse(verse) ? m_.verses()[static_cast<size_t>(verse)].book : kNone;
  }
  std::u16string BookTitle(int32_t book) override {
    if (book < 0 || static_cast<size_t>(book) >= m_.books().size()) {
      return u"(no book " + U16(Number(book)) + u")";
    }
    const auto title = Str(m_.books()[static_cast<size_t>(book)].title);
    return title ? std::u16string(*title) : u"(book " + U16(Number(book)) + u")";
  }
  std::u16string VerseLabel(int32_t verse) override {
    if (!ValidVerse(verse)) return u"(no verse " + U16(Number(verse)) + u")";
    const VerseRecord& v = m_.verses()[static_cast<size_t>(verse)];
    if (v.label != kNone) {
      if (const auto label = Str(v.label)) return std::u16string(*label);
    }
    return u"#" + U16(Number(verseOrdinal_[static_cast<size_t>(verse)]));
  }
  std::optional<Footnote> FootnoteAt(int64_t position) override {
    if (position > std::numeric_limits<int32_t>::max()) return std::nullopt;
    const auto text = Str(static_cast<int32_t>(position));
    if (!text) return std::nullopt;
    if (pageNotes_.insert(position).second) pendingNotes_.push_back(position);
    std::u16string plain = PlainText(*text);
    if (plain.size() > kTooltipUnits) plain = plain.substr(0, kTooltipUnits) + u"…";
    return Footnote{"#fn-" + Number(position), std::move(plain)};
  }
  std::string ImageAt(int32_t position) override {
    auto [it, added] = images_.try_emplace(position);
    if (added) it->second = WriteImage(position);
    return it->second;
  }
  std::optional<std::u16string_view> VerseText(int32_t verse) override {
    if (!ValidVerse(verse)) return std::nullopt;
    return Str(m_.verses()[static_cast<size_t>(verse)].text);
  }

 private:
  // ---- reading the module ----

  // A pool string; nullopt for an index that names none (a damaged module).
  std::optional<std::u16string_view> Str(int32_t index) const {
    if (index < 0 || static_cast<size_t>(index) >= m_.pool().size()) return std::nullopt;
    try {
      return m_.String(index);
    } catch (const FormatError&) {
      return std::nullopt;
    }
  }
  std::u16string StrOr(int32_t index, std::u16string_view fallback) const {
    const auto s = Str(index);
    return std::u16string(s ? *s : fallback);
  }
  bool ValidVerse(int32_t verse) const {
    return verse >= 0 && static_cast<size_t>(verse) < m_.verses().size();
  }
  static std::u16string U16(std::string_view ascii) {
    return std::u16string(ascii.begin(), ascii.end());
  }

  // ---- the plan: which verses go on which page ----

  void Plan() {
    conc_ = fmt::FindConcordance(m_.books(), m_.counters().wordCount);
    const auto headerEnd = static_cast<size_t>(conc_.headerEnd);
    versesOfBook_.resize(headerEnd);
    verseOrdinal_.assign(m_.verses().size(), 0);
    for (size_t v = 0; v < m_.verses().size(); ++v) {
      const int32_t book = m_.verses()[v].book;
      if (book < 0 || static_cast<size_t>(book) >= headerEnd) continue;
      auto& list = versesOfBook_[static_cast<size_t>(book)];
      verseOrdinal_[v] = static_cast<int32_t>(list.size()) + 1;
      list.push_back(static_cast<int32_t>(v));
    }
    FindRefrains();
    verseNames_.resize(m_.verses().size());

    // Book names in table order, each with its books; books whose name index
    // names no record come last under a name of their own.
    groups_.resize(m_.bookNames().size() + 1);
    for (size_t k = 0; k < m_.bookNames().size(); ++k) {
      groups_[k].name = StrOr(m_.bookNames()[k].name, u"(unreadable name)");
    }
    groups_.back().name = u"(books without a name)";
    for (size_t b = 0; b < headerEnd; ++b) {
      const int32_t k = m_.books()[b].nameIndex;
      const size_t g = k >= 0 && static_cast<size_t>(k) < m_.bookNames().size()
                           ? static_cast<size_t>(k)
                           : groups_.size() - 1;
      groups_[g].books.push_back(static_cast<int32_t>(b));
    }

    bookPage_.assign(m_.books().size(), -1);
    versePage_.assign(m_.verses().size(), -1);
    for (const NameGroup& group : groups_) {
      if (group.books.empty()) continue;
      int64_t weight = 0;
      for (int32_t b : group.books) weight += BookWeight(b);
      if (weight <= options_.namePageWeight) {
        Page page{PageFile(group.books.front(), 0), group.name, {}};
        for (int32_t b : group.books) {
          page.segments.push_back({b, 0, versesOfBook_[static_cast<size_t>(b)].size(), false});
        }
        AddPage(std::move(page));
      } else {
        for (int32_t b : group.books) PlanBook(b);
      }
    }
  }

  // Verses named by "<refrainopt:" fields are refrains.
  void FindRefrains() {
    constexpr std::u16string_view kTag = u"<refrainopt:";
    for (const VerseRecord& v : m_.verses()) {
      const auto text = Str(v.text);
      if (!text) continue;
      for (size_t at = text->find(kTag); at != std::u16string_view::npos;
           at = text->find(kTag, at + 1)) {
        int32_t n = 0;
        size_t k = at + kTag.size();
        const size_t start = k;
        while (k < text->size() && k < start + 6 && text::IsDigit((*text)[k])) {
          n = n * 10 + ((*text)[k++] - u'0');
        }
        if (k > start) refrains_.insert(n);
      }
    }
  }

  int64_t VerseWeight(int32_t verse) const {
    const auto text = Str(m_.verses()[static_cast<size_t>(verse)].text);
    if (!text) return kVerseWeight;
    int64_t weight = kVerseWeight + static_cast<int64_t>(text->size());
    // The footnotes shown under the verse.
    for (size_t at = text->find(u"<f=\""); at != std::u16string_view::npos;
         at = text->find(u"<f=\"", at + 1)) {
      const size_t close = text->find(u'"', at + 4);
      if (close == std::u16string_view::npos) break;
      const auto position = fmt::ParseFootnotePosition(text->substr(at + 4, close - at - 4));
      if (!position || *position > std::numeric_limits<int32_t>::max()) continue;
      if (const auto note = Str(static_cast<int32_t>(*position))) {
        weight += static_cast<int64_t>(note->size());
      }
    }
    return weight;
  }
  int64_t BookWeight(int32_t book) const {
    int64_t weight = 0;
    for (int32_t v : versesOfBook_[static_cast<size_t>(book)]) weight += VerseWeight(v);
    return weight;
  }

  // One page for the book, or several parts when it is heavy.
  void PlanBook(int32_t book) {
    const auto& verses = versesOfBook_[static_cast<size_t>(book)];
    const std::u16string title = BookTitle(book);
    size_t begin = 0;
    int32_t part = 0;
    do {
      size_t end = begin;
      int64_t weight = 0;
      while (end < verses.size() && (end == begin || weight < options_.pageWeight)) {
        weight += VerseWeight(verses[end++]);
      }
      std::u16string pageTitle = title;
      if (part > 0) pageTitle += u" (part " + U16(Number(part + 1)) + u")";
      AddPage({PageFile(book, part), pageTitle, {{book, begin, end, part > 0}}});
      begin = end;
      ++part;
    } while (begin < verses.size());
  }

  static std::string PageFile(int32_t book, int32_t part) {
    return "book-" + Number(book) + (part > 0 ? "-" + Number(part + 1) : "") + ".html";
  }

  void AddPage(Page page) {
    const auto index = static_cast<int32_t>(pages_.size());
    for (const Segment& s : page.segments) {
      if (!s.continued) bookPage_[static_cast<size_t>(s.book)] = index;
      const auto& verses = versesOfBook_[static_cast<size_t>(s.book)];
      for (size_t i = s.begin; i < s.end; ++i) {
        versePage_[static_cast<size_t>(verses[i])] = index;
      }
    }
    pages_.push_back(std::move(page));
  }

  // ---- pages ----

  std::u16string ModuleName() const {
    return m_.pool().empty() ? u"(empty module)" : StrOr(0, u"(unreadable name)");
  }
  // The abbreviation follows the name in the pool.
  std::u16string Abbreviation() const {
    const auto name = Str(0);
    if (!name) return {};
    return StrOr(static_cast<int32_t>(name->size()) + 1, u"");
  }

  std::string PageStart(std::u16string_view title, std::string_view navExtra = {}) const {
    std::string out =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        "<meta http-equiv=\"Content-Security-Policy\" content=\"";
    out += kPolicy;
    out +=
        "\">\n<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>";
    AppendEscaped(out, title);
    out += " \xE2\x80\x94 ";
    AppendEscaped(out, ModuleName());
    out +=
        "</title>\n<link rel=\"stylesheet\" href=\"style.css\">\n</head><body>\n<nav><a "
        "href=\"index.html\">";
    AppendEscaped(out, ModuleName());
    out += "</a>";
    out += navExtra;
    if (conc_.titleBook != kNone) out += "<a href=\"concordance.html\">Concordance</a>";
    out += "</nav>\n<main>\n";
    return out;
  }

  static std::string PageEnd(bool search) {
    std::string out = "</main>\n";
    if (search) out += "<script src=\"words.js\"></script>\n<script src=\"search.js\"></script>\n";
    out += "</body></html>\n";
    return out;
  }

  static std::string SearchBox() {
    return "<div id=\"search\"><label for=\"q\">Find a word: </label>"
           "<input id=\"q\" type=\"search\" autocomplete=\"off\" spellcheck=\"false\">"
           " <span id=\"hits-note\"></span><ol id=\"hits\"></ol></div>\n";
  }

  std::string Nav(size_t page) const {
    std::string out;
    if (page > 0) {
      out += " <a rel=\"prev\" href=\"" + pages_[page - 1].file + "\">&larr; ";
      AppendEscaped(out, pages_[page - 1].title);
      out += "</a>";
    }
    if (page + 1 < pages_.size()) {
      out += " <a rel=\"next\" href=\"" + pages_[page + 1].file + "\">";
      AppendEscaped(out, pages_[page + 1].title);
      out += " &rarr;</a>";
    }
    return out;
  }

  void WriteBookPage(size_t p) {
    currentPage_ = static_cast<int32_t>(p);
    pageNotes_.clear();
    const Page& page = pages_[p];
    std::string out = PageStart(page.title, Nav(p));
    for (const Segment& s : page.segments) BookSection(s, out);
    out += "<nav class=\"bottom\">" + Nav(p) + "</nav>\n";
    out += PageEnd(false);
    WriteFile(page.file, out);
    currentPage_ = -1;
  }

  void BookSection(const Segment& s, std::string& out) {
    const BookRecord& book = m_.books()[static_cast<size_t>(s.book)];
    out += "<section class=\"book\">\n<h2";
    if (!s.continued) out += " id=\"b" + Number(s.book) + "\"";
    out += ">";
    AppendEscaped(out, BookTitle(s.book));
    if (s.continued) out += " (continued)";
    out += "</h2>\n";
    if (!s.continued) {
      std::string info;
      if (book.abbrev != kNone) {
        info += "abbreviation ";
        AppendEscaped(info, StrOr(book.abbrev, u"(unreadable)"));
      }
      if ((book.bookFlags & kBookSuppress) != 0) info += info.empty() ? "suppress" : " · suppress";
      if ((book.bookFlags & kBookNoSibLink) != 0) {
        info += info.empty() ? "nosiblink" : " · nosiblink";
      }
      if (!info.empty()) out += "<p class=\"bookinfo\">" + info + "</p>\n";
      if (book.note != kNone) {
        pendingNotes_.clear();
        out += "<div class=\"note\">";
        out += Render(StrOr(book.note, u"(unreadable note)"), {});
        out += "</div>\n";
        Notes(out);
      }
    }
    const auto& verses = versesOfBook_[static_cast<size_t>(s.book)];
    for (size_t i = s.begin; i < s.end; ++i) Verse(verses[i], out);
    out += "</section>\n";
  }

  std::string Render(std::u16string_view text, const preview::MarkupOptions& options) {
    return preview::RenderMarkup(text, *this, options).html;
  }

  void Verse(int32_t verse, std::string& out) {
    const VerseRecord& v = m_.verses()[static_cast<size_t>(verse)];
    std::u16string label;
    if (v.label != kNone) label = StrOr(v.label, u"");
    preview::MarkupOptions options;
    options.label = label;
    options.superscriptLabel = (m_.counters().flags & kFlagSuperscriptVerses) != 0;
    pendingNotes_.clear();
    const auto text = Str(v.text);
    preview::RenderedMarkup r =
        preview::RenderMarkup(text ? *text : u"(unreadable verse text)", *this, options);
    out += "<div class=\"v";
    for (std::string_view style : r.layout) {
      out += ' ';
      out += style;
    }
    const bool refrain = refrains_.count(verse) != 0;
    if (refrain) out += " refrain";
    out += "\" id=\"v" + Number(verse) + "\">";
    if (refrain) out += "<span class=\"label\">Refrain</span> ";
    out += r.html;
    out += "</div>\n";
    Notes(out);
  }

  // The footnotes met since pendingNotes_ was cleared, with the footnotes
  // their own text links to.
  void Notes(std::string& out) {
    if (pendingNotes_.empty()) return;
    out += "<div class=\"notes\">\n";
    for (size_t k = 0; k < pendingNotes_.size(); ++k) {
      const int64_t position = pendingNotes_[k];
      const auto at = static_cast<int32_t>(position);
      out += "<p id=\"fn-" + Number(position) + "\">";
      // The marker stands on the footnote line before the text: "[a] ".
      int32_t start = at;
      while (start > 0 && at - start < 16 && m_.pool()[static_cast<size_t>(start) - 1] != 0) {
        --start;
      }
      if (start < at && m_.pool()[static_cast<size_t>(start)] == u'[') {
        out += "<span class=\"fn-mark\">";
        AppendEscaped(out, std::u16string_view(m_.pool().data() + start,
                                               static_cast<size_t>(at - start)));
        out += "</span>";
      }
      out += Render(StrOr(at, u""), {});  // may add to pendingNotes_
      out += "</p>\n";
    }
    out += "</div>\n";
    pendingNotes_.clear();
  }

  // ---- images ----

  std::string WriteImage(int32_t position) {
    std::string out;
    try {
      const ImageEntry entry = m_.ImageAt(position);
      const preview::ImageType type = preview::DetectImageType(entry.bytes);
      const std::string file =
          "images/image-" + Number(position) + "." + std::string(type.extension);
      WriteFile(file, std::string_view(reinterpret_cast<const char*>(entry.bytes.data()),
                                       entry.bytes.size()));
      ++summary_.images;
      const std::string what = "image at " + Number(position) + " (" + std::string(type.name) +
                               ", " + Number(entry.length) + " bytes)";
      if (type.known) {
        out = "<img src=\"" + file + "\" alt=\"" + what + "\" title=\"" + what + "\">";
      } else {
        out = "<a class=\"tag\" href=\"" + file + "\">" + what + "</a>";
      }
    } catch (const FormatError& e) {
      out = "<span class=\"tag\">";
      AppendEscapedUtf8(out, e.what());
      out += "</span>";
    }
    return out;
  }

  // ---- the Concordance ----

  void WriteConcordance() {
    if (conc_.titleBook == kNone) {
      WriteWordIndex({});
      return;
    }
    // Words in dictionary order, grouped by letter book.
    std::map<int32_t, std::vector<ListedWord>> letters;
    const Counters& c = m_.counters();
    const auto wordCount = static_cast<int32_t>(m_.words().size());
    int32_t guard = 0;
    for (int32_t w = c.wordFirst; w >= 0 && w < wordCount && w != c.wordLast && guard <= wordCount;
         w = m_.words()[static_cast<size_t>(w)].next, ++guard) {
      const DictEntry& e = m_.words()[static_cast<size_t>(w)];
      if (e.letterBook < conc_.firstLetter || e.letterBook >= conc_.end) continue;
      ListedWord listed{w, {}, {}};
      int32_t n = 0;
      for (int32_t r = e.firstRef;
           r >= 0 && static_cast<size_t>(r) < m_.wordRefs().size() && n <= c.wordRefCount;
           r = m_.wordRefs()[static_cast<size_t>(r)].next, ++n) {
        listed.verses.push_back(m_.wordRefs()[static_cast<size_t>(r)].verse);
      }
      letters[e.letterBook].push_back(std::move(listed));
    }

    std::string overview = PageStart(BookTitle(conc_.titleBook));
    overview += "<h1>";
    AppendEscaped(overview, BookTitle(conc_.titleBook));
    overview += "</h1>\n" + SearchBox() + "<ul class=\"letters\">\n";
    for (int32_t b = conc_.firstLetter; b >= 0 && b < conc_.end; ++b) {
      auto& words = letters[b];
      int64_t occurrences = 0;
      for (const ListedWord& w : words) occurrences += static_cast<int64_t>(w.verses.size());
      WriteLetter(b, words);
      overview += "<li><a href=\"letter-" + Number(b) + ".html\">";
      AppendEscaped(overview, BookTitle(b));
      overview += "</a> <span class=\"count\">" + Number(static_cast<int64_t>(words.size())) +
                  " words, " + Number(occurrences) + " occurrences</span></li>\n";
    }
    overview += "</ul>\n" + PageEnd(true);
    WriteFile("concordance.html", overview);

    std::vector<const ListedWord*> all;
    for (auto& [b, words] : letters) {
      for (const ListedWord& w : words) all.push_back(&w);
    }
    WriteWordIndex(all);
  }

  // The letter page (its words) and the pages of their occurrences.
  void WriteLetter(int32_t book, std::vector<ListedWord>& words) {
    const std::u16string letter = BookTitle(book);
    const std::string stem = "letter-" + Number(book);
    // Lay the occurrences out on pages.
    struct Piece {
      size_t word;
      size_t begin, end;
    };
    std::vector<std::vector<Piece>> pages(1);
    int64_t onPage = 0;
    const int64_t perPage = std::max<int32_t>(options_.occurrencesPerPage, 1);
    for (size_t w = 0; w < words.size(); ++w) {
      size_t begin = 0;
      do {
        if (onPage >= perPage) {
          pages.emplace_back();
          onPage = 0;
        }
        const size_t take =
            std::min(words[w].verses.size() - begin, static_cast<size_t>(perPage - onPage));
        pages.back().push_back({w, begin, begin + take});
        if (begin == 0) {
          words[w].firstHref = OccurrencePage(stem, pages.size() - 1) + "#w" + Number(words[w].word);
        }
        begin += take;
        onPage += static_cast<int64_t>(std::max<size_t>(take, 1));
      } while (begin < words[w].verses.size());
    }

    std::string out = PageStart(letter);
    out += "<h1>";
    AppendEscaped(out, letter);
    out += "</h1>\n<ul class=\"words\">\n";
    for (const ListedWord& w : words) {
      out += "<li><a href=\"" + w.firstHref + "\">";
      AppendEscaped(out, WordText(w.word));
      out += "</a> <span class=\"count\">" + Number(static_cast<int64_t>(w.verses.size())) +
             "</span></li>\n";
    }
    out += "</ul>\n" + PageEnd(false);
    WriteFile(stem + ".html", out);

    for (size_t p = 0; p < pages.size(); ++p) {
      std::string page = PageStart(letter + u" (" + U16(Number(static_cast<int64_t>(p) + 1)) +
                                   u")");
      page += "<h1><a href=\"" + stem + ".html\">";
      AppendEscaped(page, letter);
      page += "</a></h1>\n";
      const std::string paging = Paging(stem, p, pages.size());
      page += paging;
      for (const Piece& piece : pages[p]) {
        const ListedWord& w = words[piece.word];
        page += "<h3";
        if (piece.begin == 0) page += " id=\"w" + Number(w.word) + "\"";
        page += ">";
        AppendEscaped(page, WordText(w.word));
        if (piece.begin > 0) page += " (continued)";
        page += " <span class=\"count\">" + Number(static_cast<int64_t>(w.verses.size())) +
                "</span></h3>\n<p class=\"occ\">";
        for (size_t i = piece.begin; i < piece.end; ++i) Occurrence(w.verses[i], page);
        page += "</p>\n";
      }
      page += paging + PageEnd(false);
      WriteFile(OccurrencePage(stem, p), page);
    }
  }

  static std::string OccurrencePage(const std::string& stem, size_t page) {
    return stem + "-" + Number(static_cast<int64_t>(page) + 1) + ".html";
  }

  static std::string Paging(const std::string& stem, size_t page, size_t count) {
    if (count < 2) return {};
    std::string out = "<p class=\"paging\">Pages: ";
    const auto current = static_cast<int64_t>(page);
    const auto last = static_cast<int64_t>(count) - 1;
    for (int64_t q = 0; q <= last; ++q) {
      const bool shown = q == 0 || q == last || (q >= current - kPagingWindow &&
                                                  q <= current + kPagingWindow);
      if (!shown) {
        if (q == 1 || q == last - 1) out += "<span>&hellip;</span>";
        continue;
      }
      if (q == current) {
        out += "<span>" + Number(q + 1) + "</span>";
      } else {
        out += "<a href=\"" + OccurrencePage(stem, static_cast<size_t>(q)) + "\">" +
               Number(q + 1) + "</a>";
      }
    }
    return out + "</p>\n";
  }

  void Occurrence(int32_t verse, std::string& out) {
    if (!ValidVerse(verse) || versePage_[static_cast<size_t>(verse)] < 0) {
      out += "<a class=\"broken\">verse " + Number(verse) + "</a> ";
      return;
    }
    std::string& name = verseNames_[static_cast<size_t>(verse)];
    if (name.empty()) {
      AppendEscaped(name, preview::VerseRunsTooltip(*this, {{verse, 1}}));
    }
    out += "<a href=\"" + VerseHref(verse) + "\">" + name + "</a> ";
  }

  std::u16string WordText(int32_t word) const {
    return StrOr(m_.words()[static_cast<size_t>(word)].text, u"(unreadable word)");
  }

  // words.js: [upper-cased word, spelling, href, occurrences] in dictionary
  // order, for the search box.
  void WriteWordIndex(const std::vector<const ListedWord*>& words) {
    std::string out = "\"use strict\";\nvar QUILLAVOR_WORDS = [\n";
    for (const ListedWord* w : words) {
      const std::u16string spelling = WordText(w->word);
      out += '[';
      preview::AppendJsString(out, text::ToUpperInvariant(spelling));
      out += ',';
      preview::AppendJsString(out, spelling);
      out += ',';
      preview::AppendJsString(out, U16(w->firstHref));
      out += ',' + Number(static_cast<int64_t>(w->verses.size())) + "],\n";
    }
    out += "];\n";
    WriteFile("words.js", out);
  }

  // ---- the index page ----

  void WriteIndex() {
    const Counters& c = m_.counters();
    std::string out = PageStart(u"Contents");
    out += "<h1>";
    AppendEscaped(out, ModuleName());
    out += "</h1>\n<table class=\"counts\">\n";
    auto row = [&](std::string_view name, const std::string& value) {
      out += "<tr><td>";
      out += name;
      out += "</td><td>" + value + "</td></tr>\n";
    };
    row("abbreviation", Escaped(Abbreviation()));
    std::string kind;
    for (uint32_t bit = 1; bit != 0; bit <<= 1) {
      if ((c.flags & bit) == 0) continue;
      if (!kind.empty()) kind += ", ";
      const std::string_view name = KindName(bit);
      kind += name.empty() ? "unknown flag 0x" + Hex(bit) : std::string(name);
    }
    row("kind", kind.empty() ? "no kind keyword" : kind);
    row("books", Number(conc_.headerEnd) + " (and " + Number(c.bookCount - conc_.headerEnd) +
                     " Concordance books)");
    row("book names", Number(c.bookNameCount));
    row("verses", Number(c.verseCount));
    row("labels", Number(c.labelCount > 0 ? c.labelCount - 1 : 0));
    row("words", Number(c.wordCount > 0 ? c.wordCount - 1 : 0));
    row("word occurrences", Number(c.wordRefCount));
    row("tokens indexed", Number(c.tokenTotal));
    row("images", Number(summary_.images));
    row("pool", Number(c.poolLength) + " code units");
    out += "</table>\n";
    if (conc_.titleBook != kNone) {
      out += SearchBox();
      out += "<p><a href=\"concordance.html\">";
      AppendEscaped(out, BookTitle(conc_.titleBook));
      out += "</a></p>\n";
    }
    out += "<h2>Books</h2>\n<ul class=\"tree\">\n";
    for (const NameGroup& group : groups_) {
      if (group.books.empty()) continue;
      out += "<li><span class=\"name\">";
      AppendEscaped(out, group.name);
      out += "</span> <span class=\"count\">" +
             Number(static_cast<int64_t>(group.books.size())) +
             (group.books.size() == 1 ? " book" : " books") + "</span><ul class=\"books\">";
      for (int32_t b : group.books) {
        out += "<li><a href=\"" + BookHref(b) + "\">";
        AppendEscaped(out, BookTitle(b));
        out += "</a></li>";
      }
      out += "</ul></li>\n";
    }
    out += "</ul>\n" + PageEnd(conc_.titleBook != kNone);
    WriteFile("index.html", out);
  }

  static std::string Hex(uint32_t v) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    do {
      s.insert(s.begin(), kDigits[v & 0xF]);
      v >>= 4;
    } while (v != 0);
    return s;
  }

  // ---- files ----

  void WriteFile(const std::string& name, std::string_view bytes) {
    const fs::path path = folder_ / name;
    if (name.find('/') != std::string::npos) {
      std::error_code ec;
      fs::create_directories(path.parent_path(), ec);
      if (ec) throw IoError(path.parent_path().string(), "cannot create: " + ec.message());
    }
    files::WriteFile(files::FromPath(path),
                     std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    if (name.ends_with(".html")) {
      ++summary_.pages;
      summary_.largestPage = std::max(summary_.largestPage, static_cast<int64_t>(bytes.size()));
    }
  }

  const ModuleView& m_;
  const PreviewOptions& options_;
  fs::path folder_;
  fmt::ConcordanceBooks conc_;
  std::vector<std::vector<int32_t>> versesOfBook_;  // header books only
  std::vector<int32_t> verseOrdinal_;               // 1-based place in its book
  std::set<int32_t> refrains_;
  std::vector<NameGroup> groups_;
  std::vector<Page> pages_;
  std::vector<int32_t> bookPage_;   // page of each book's heading, -1 none
  std::vector<int32_t> versePage_;  // page of each verse, -1 none
  int32_t currentPage_ = -1;
  std::set<int64_t> pageNotes_;        // footnotes already on the current page
  std::vector<int64_t> pendingNotes_;  // footnotes to show after the current verse
  std::map<int32_t, std::string> images_;       // by position: the element showing it
  std::vector<std::string> verseNames_;  // escaped "Title:label" of each verse, when needed
  PreviewSummary summary_;
};

bool IsPreviewFolder(const fs::path& folder) {
  std::error_code ec;
  if (fs::exists(folder / kMarkerFile, ec)) return true;
  return fs::is_empty(folder, ec) && !ec;
}

void RemoveAll(const fs::path& folder) {
  std::error_code ec;
  fs::remove_all(folder, ec);
}

}  // namespace

std::u16string DefaultPreviewFolder(std::u16string_view modulePath) {
  const size_t slash = modulePath.find_last_of(u"/\\");
  const size_t nameStart = slash == std::u16string_view::npos ? 0 : slash + 1;
  const size_t dot = modulePath.rfind(u'.');
  if (dot != std::u16string_view::npos && dot > nameStart) {
    return std::u16string(modulePath.substr(0, dot)) + u".preview";
  }
  return std::u16string(modulePath) + u".preview";
}

PreviewSummary WritePreview(const ModuleView& module, std::u16string_view folder,
                            const PreviewOptions& options) {
  fs::path target = files::ToPath(folder).lexically_normal();
  if (!target.has_filename()) target = target.parent_path();  // "out/" is "out"
  const std::string shown = target.string();
  std::error_code ec;
  const bool exists = fs::exists(target, ec);
  if (exists && !fs::is_directory(target, ec)) {
    throw IoError(shown, "cannot write the preview: a file has that name");
  }
  if (exists && !IsPreviewFolder(target)) {
    throw IoError(shown,
                  "cannot write the preview: the folder exists and holds no preview; name an "
                  "empty or new folder");
  }
  // Written beside the target under a temporary name, then renamed.
  std::random_device rd;
  const std::string suffix = "-" + std::to_string(::getpid()) + "-" + std::to_string(rd());
  const fs::path work = fs::path(target.string() + ".tmp" + suffix);
  fs::create_directories(work, ec);
  if (ec) throw IoError(work.string(), "cannot create: " + ec.message());
  PreviewSummary summary;
  try {
    summary = Site(module, options, work).Write();
    if (exists) {
      const fs::path old = fs::path(target.string() + ".old" + suffix);
      fs::rename(target, old, ec);
      if (ec) throw IoError(shown, "cannot replace the earlier preview: " + ec.message());
      fs::rename(work, target, ec);
      if (ec) {
        std::error_code back;
        fs::rename(old, target, back);
        throw IoError(shown, "cannot replace the earlier preview: " + ec.message());
      }
      RemoveAll(old);
    } else {
      fs::rename(work, target, ec);
      if (ec) throw IoError(shown, "cannot create: " + ec.message());
    }
  } catch (...) {
    RemoveAll(work);
    throw;
  }
  summary.indexPage = files::FromPath(target / "index.html");
  return summary;
}

PreviewSummary PreviewBooksListLine(std::u16string_view piece) {
  const std::optional<ModuleLine> line = ParseModuleLine(piece);
  if (!line) {
    throw Error("\"" + text::EncodeUtf8(piece) +
                "\" is no module line (Name | Abbr | Path&Filename): nothing to preview");
  }
  const std::u16string modulePath = ModuleFilePath(line->sourcePath);
  if (!files::IsRegularFile(modulePath)) {
    throw IoError(text::EncodeUtf8(modulePath), "no module file yet; build it with Create first");
  }
  return WritePreview(ReadModuleFile(modulePath), DefaultPreviewFolder(modulePath));
}

}  // namespace quillavor
