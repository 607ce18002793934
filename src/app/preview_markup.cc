#include "app/preview_markup.h"

#include <array>

#include "app/preview_html.h"
#include "model/module_format.h"

namespace quillavor::preview {

namespace {

namespace fmt = quillavor::format;

// A layout tag and the style the preview gives it.
struct LayoutTag {
  std::u16string_view tag;
  std::string_view style;
};
constexpr std::array<LayoutTag, 14> kLayoutTags = {{
    {u"<p>", "par"},         // paragraph: space above, first line indented
    {u"<P>", "parb"},        // block paragraph: space above, no indent
    {u"<l>", "line"},        // poetry line
    {u"<L>", "line2"},       // poetry line, indented further
    {u"<n>", "nl"},          // plain new line
    {u"<hp>", "hpar"},       // the same four with a hanging indent
    {u"<hP>", "hparb"},
    {u"<hl>", "hline"},
    {u"<hL>", "hline2"},
    {u"<left>", "left"},
    {u"<right>", "right"},
    {u"<center>", "center"},
    {u"<indent>", "ind"},
    {u"<indent2>", "ind2"},
}};

std::string_view LayoutStyle(std::u16string_view tag) {
  for (const LayoutTag& t : kLayoutTags) {
    if (t.tag == tag) return t.style;
  }
  return {};
}

// Inline tags that open and close an element.
enum class Element { kItalic, kBold, kSmallCaps, kHeading, kHighlight, kLink };
struct InlineTag {
  std::u16string_view open;
  std::u16string_view close;
  Element element;
  std::string_view html;  // the opening element
};
constexpr std::array<InlineTag, 5> kInlineTags = {{
    {u"<i>", u"</i>", Element::kItalic, "<i>"},
    {u"<b>", u"</b>", Element::kBold, "<b>"},
    {u"<sc>", u"</sc>", Element::kSmallCaps, "<span class=\"sc\">"},
    {u"<h>", u"</h>", Element::kHeading, "<span class=\"h\">"},
    {u"<fc>", u"</fc>", Element::kHighlight, "<span class=\"fc\">"},
}};

std::string_view CloseHtml(Element e) {
  switch (e) {
    case Element::kItalic:
      return "</i>";
    case Element::kBold:
      return "</b>";
    case Element::kLink:
      return "</a>";
    default:
      return "</span>";
  }
}

// Tags that only steer the word index; a reader shows nothing for them.
constexpr std::array<std::u16string_view, 2> kSilentTags = {u"<noind>", u"</noind>"};

// No book at all, not even -1 ("none"), so that the first run names its book.
constexpr int32_t kNoBook = -2;

constexpr std::u16string_view kRefrainTag = u"<refrainopt:";
constexpr size_t kRefrainTagSize = 19;  // "<refrainopt:", six units, ">"

// The value of a tag '<X="value">' (its quote at `quote`, 3 for one-letter
// tags) when the tag has that shape.
std::optional<std::u16string_view> QuotedValue(std::u16string_view tag, size_t quote = 3) {
  if (tag.size() < quote + 3 || tag[quote] != u'"' || tag[tag.size() - 2] != u'"') {
    return std::nullopt;
  }
  return tag.substr(quote + 1, tag.size() - quote - 3);
}

void AppendAttribute(std::string& out, std::string_view name, std::u16string_view value) {
  out += ' ';
  out += name;
  out += "=\"";
  AppendEscaped(out, value);
  out += '"';
}

class Renderer {
 public:
  Renderer(MarkupContext& context, const MarkupOptions& options)
      : ctx_(context), options_(options) {}

  RenderedMarkup Run(std::u16string_view s) {
    bool leading = true;  // still in the blanks and tags that start the text
    bool labelPending = !options_.label.empty();
    size_t i = 0;
    while (i < s.size()) {
      const char16_t c = s[i];
      if (c == u'<') {
        const size_t gt = s.find(u'>', i + 1);
        if (gt != std::u16string_view::npos) {
          const std::u16string_view tag = s.substr(i, gt - i + 1);
          if (leading) {
            const std::string_view style = LayoutStyle(tag);
            if (!style.empty()) {
              result_.layout.push_back(style);
              i = gt + 1;
              continue;
            }
          }
          i = Tag(s, i, gt);
          continue;
        }
      }
      if (leading && (c == u' ' || c == u'\t')) {
        ++i;
        continue;
      }
      leading = false;
      if (labelPending) {
        labelPending = false;
        if (s.substr(i).starts_with(options_.label)) {
          Label();
          i += options_.label.size();
          continue;
        }
      }
      // A run of text up to the next tag.
      size_t end = s.find(u'<', i + 1);
      if (end == std::u16string_view::npos) end = s.size();
      AppendEscaped(result_.html, s.substr(i, end - i));
      i = end;
    }
    while (!open_.empty()) Close();
    return std::move(result_);
  }

 private:
  void Label() {
    result_.html += options_.superscriptLabel ? "<sup class=\"label\">" : "<span class=\"label\">";
    AppendEscaped(result_.html, options_.label);
    result_.html += options_.superscriptLabel ? "</sup>" : "</span>";
  }

  // Renders the tag at [i, gt]; returns where the text goes on.
  size_t Tag(std::u16string_view s, size_t i, size_t gt) {
    const std::u16string_view tag = s.substr(i, gt - i + 1);
    for (const InlineTag& t : kInlineTags) {
      if (tag == t.open) {
        Open(t.element, t.html);
        return gt + 1;
      }
      if (tag == t.close && CloseTo(t.element)) return gt + 1;
    }
    if (tag == u"</a>" && CloseTo(Element::kLink)) return gt + 1;
    for (std::u16string_view silent : kSilentTags) {
      if (tag == silent) return gt + 1;
    }
    if (tag == u"<t>") {
      result_.html += "<span class=\"tab\"></span>";
      return gt + 1;
    }
    if (!LayoutStyle(tag).empty()) {
      result_.html += "<br>";  // a layout tag inside the text starts a new line
      return gt + 1;
    }
    if (tag.starts_with(u"<a=") && tag.size() > 5 && fmt::IsPairUnit(tag[3]) &&
        fmt::IsPairUnit(tag[4])) {
      if (EncodedLink(tag)) return gt + 1;
    } else if (tag.starts_with(u"<a=\"")) {
      if (DecimalLink(tag)) return gt + 1;
    } else if (tag.starts_with(u"<f=\"")) {
      if (FootnoteLink(tag)) return gt + 1;
    } else if (tag.starts_with(u"<web=\"")) {
      if (WebLink(tag)) return gt + 1;
    } else if (tag.starts_with(fmt::kImageTag) &&
               tag.size() == fmt::kImageTag.size() + fmt::kImageFieldWidth + 1) {
      if (const auto position = fmt::ParseImageField(tag.substr(fmt::kImageTag.size(), fmt::kImageFieldWidth))) {
        result_.html += ctx_.ImageAt(static_cast<int32_t>(*position));
        return gt + 1;
      }
    } else if (tag.size() == kRefrainTagSize && tag.starts_with(kRefrainTag) &&
               options_.allowRefrains) {
      if (Refrain(tag)) return gt + 1;
    }
    Unknown(tag);
    return gt + 1;
  }

  void Unknown(std::u16string_view tag) {
    result_.html += "<span class=\"tag\">";
    AppendEscaped(result_.html, tag);
    result_.html += "</span>";
  }

  void Open(Element e, std::string_view html) {
    // Links do not nest in HTML: a link opened inside another ends that one.
    if (e == Element::kLink) CloseTo(Element::kLink);
    open_.push_back(e);
    result_.html += html;
  }
  void Close() {
    result_.html += CloseHtml(open_.back());
    open_.pop_back();
  }
  // Closes the innermost open `e` and everything opened inside it; false
  // when none is open (the closing tag is then shown as text).
  bool CloseTo(Element e) {
    size_t k = open_.size();
    while (k > 0 && open_[k - 1] != e) --k;
    if (k == 0) return false;
    while (open_.size() >= k) Close();
    return true;
  }

  void OpenLink(const std::string& href, std::u16string_view title, std::string_view cls) {
    std::string html = "<a";
    if (!cls.empty()) {
      html += " class=\"";
      html += cls;
      html += '"';
    }
    if (!href.empty()) {
      html += " href=\"";
      AppendEscapedUtf8(html, href);
      html += '"';
    }
    AppendAttribute(html, "title", title);
    html += '>';
    Open(Element::kLink, html);
  }

  void BrokenLink(std::u16string_view what) { OpenLink({}, what, "broken"); }

  // "<a=" and pairs of units: a book, then runs of its verses.
  bool EncodedLink(std::u16string_view tag) {
    size_t j = 3;
    std::optional<int32_t> book;
    std::vector<std::pair<int32_t, int32_t>> runs;
    while (j + 1 < tag.size() && fmt::IsPairUnit(tag[j]) && fmt::IsPairUnit(tag[j + 1])) {
      const fmt::EncodedRef ref = fmt::DecodePair(tag[j], tag[j + 1]);
      if (ref.kind == fmt::kBookKind && !book && runs.empty()) {
        book = ref.index;
      } else if (ref.kind == fmt::kVerseKind) {
        runs.emplace_back(ref.index, ref.run);
      } else {
        return false;
      }
      j += 2;
    }
    while (j + 1 < tag.size() && tag[j] == u' ') ++j;
    if (j + 1 != tag.size() || !book) return false;
    if (runs.empty()) {
      const std::string href = ctx_.BookHref(*book);
      if (href.empty()) {
        BrokenLink(u"link to a missing book " + ToU16(*book));
      } else {
        OpenLink(href, BookTooltip(ctx_, *book), {});
      }
      return true;
    }
    const std::string href = ctx_.VerseHref(runs.front().first);
    if (href.empty()) {
      BrokenLink(u"link to a missing verse " + ToU16(runs.front().first));
    } else {
      OpenLink(href, VerseRunsTooltip(ctx_, runs), {});
    }
    return true;
  }

  // "<a=" with a decimal value: a book, "#" a child book or verse of it,
  // "R" the book the link was resolved in (not shown).
  bool DecimalLink(std::u16string_view tag) {
    const auto value = QuotedValue(tag);
    if (!value) return false;
    const auto link = fmt::ParseDecimalLink(*value);
    if (!link) return false;
    const int64_t target = link->second ? *link->second : link->first;
    const int kind = fmt::RefKind(target);
    const int64_t index = fmt::RefIndex(target);
    const auto index32 = static_cast<int32_t>(index);  // references fit int32
    if (kind == fmt::kBookKind) {
      const std::string href = ctx_.BookHref(index32);
      if (href.empty()) {
        BrokenLink(u"link to a missing book " + ToU16(index));
      } else {
        OpenLink(href, BookTooltip(ctx_, index32), {});
      }
    } else if (kind == fmt::kVerseKind) {
      const std::string href = ctx_.VerseHref(index32);
      if (href.empty()) {
        BrokenLink(u"link to a missing verse " + ToU16(index));
      } else {
        OpenLink(href, VerseRunsTooltip(ctx_, {{index32, 1}}), {});
      }
    } else {
      BrokenLink(u"link of unknown kind " + ToU16(kind));
    }
    return true;
  }

  bool FootnoteLink(std::u16string_view tag) {
    const auto value = QuotedValue(tag);
    if (!value) return false;
    const auto position = fmt::ParseFootnotePosition(*value);
    if (!position) return false;
    const auto note = ctx_.FootnoteAt(*position);
    if (!note) {
      BrokenLink(u"footnote at a missing position " + ToU16(*position));
    } else {
      OpenLink(note->href, note->plainText, "fn");
    }
    return true;
  }

  // A web address opens a link only when it is http or https: any other
  // scheme (javascript:, data:, file:) could act inside the preview.
  bool WebLink(std::u16string_view tag) {
    const auto value = QuotedValue(tag, 5);
    if (!value || !(value->starts_with(u"https://") || value->starts_with(u"http://"))) {
      return false;
    }
    std::string html = "<a class=\"web\" rel=\"noopener noreferrer\"";
    AppendAttribute(html, "href", *value);
    AppendAttribute(html, "title", *value);
    html += '>';
    Open(Element::kLink, html);
    return true;
  }

  // "<refrainopt:N     >": the refrain of verse N, shown in place.
  bool Refrain(std::u16string_view tag) {
    const std::u16string_view field = tag.substr(kRefrainTag.size(), 6);
    size_t k = 0;
    int32_t verse = 0;
    while (k < field.size() && field[k] >= u'0' && field[k] <= u'9') {
      verse = verse * 10 + (field[k++] - u'0');
    }
    for (size_t r = k; r < field.size(); ++r) {
      if (field[r] != u' ') return false;
    }
    if (k == 0) {
      result_.html += "<span class=\"refrain-ref empty\">(refrain)</span>";
      return true;
    }
    const auto text = ctx_.VerseText(verse);
    const std::string href = ctx_.VerseHref(verse);
    if (!text || href.empty()) return false;
    result_.html += "<span class=\"refrain-ref\"><a href=\"";
    AppendEscapedUtf8(result_.html, href);
    result_.html += "\" title=\"Refrain\">Refrain:</a> ";
    MarkupOptions inner;
    inner.allowRefrains = false;
    result_.html += RenderMarkup(*text, ctx_, inner).html;
    result_.html += "</span>";
    return true;
  }

  static std::u16string ToU16(int64_t n) {
    const std::string s = std::to_string(n);
    return std::u16string(s.begin(), s.end());
  }

  MarkupContext& ctx_;
  const MarkupOptions& options_;
  RenderedMarkup result_;
  std::vector<Element> open_;
};

}  // namespace

std::u16string BookTooltip(MarkupContext& context, int32_t book) {
  return context.BookTitle(book);
}

std::u16string VerseRunsTooltip(MarkupContext& context,
                                const std::vector<std::pair<int32_t, int32_t>>& runs) {
  std::u16string out;
  int32_t namedBook = kNoBook;
  for (const auto& [first, run] : runs) {
    const int32_t book = context.VerseBook(first);
    if (book != namedBook) {
      if (!out.empty()) out += u"; ";
      out += context.BookTitle(book);
      out += u':';
      namedBook = book;
    } else {
      out += u',';
    }
    out += context.VerseLabel(first);
    if (run > 1) {
      out += u'-';
      out += context.VerseLabel(first + run - 1);
    }
  }
  return out;
}

RenderedMarkup RenderMarkup(std::u16string_view text, MarkupContext& context,
                            const MarkupOptions& options) {
  return Renderer(context, options).Run(text);
}

}  // namespace quillavor::preview
