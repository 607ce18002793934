// Verse markup as a reader shows it, for the preview site: layout tags at the
// start of a verse become the style of its block, inline tags become
// italics, small capitals, headings and the rest, resolved links become
// hyperlinks with a tooltip naming their target, footnote links point to the
// footnote text, image references show the image, refrain references the
// refrain; unknown tags stay visible as text. Every piece of module text is
// escaped. The site around the renderer answers where things are through
// MarkupContext.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillavor::preview {

// What the renderer asks of the site. Hrefs are relative URLs the site made
// (never module text); names are module text, escaped by the renderer.
class MarkupContext {
 public:
  virtual ~MarkupContext() = default;
  // The href of a verse's or book's anchor; empty when the record does not
  // exist or has no page (the link is then shown as broken).
  virtual std::string VerseHref(int32_t verse) = 0;
  virtual std::string BookHref(int32_t book) = 0;
  // The book of a verse, -1 when the verse does not exist.
  virtual int32_t VerseBook(int32_t verse) = 0;
  // A book's title; a verse's label, or its place in its book ("#3") when it
  // has none.
  virtual std::u16string BookTitle(int32_t book) = 0;
  virtual std::u16string VerseLabel(int32_t verse) = 0;
  // A footnote at a pool position: the href of its text on this page (the
  // site renders the text there) and the plain text for the tooltip; nullopt
  // when the position names no string of the pool.
  struct Footnote {
    std::string href;
    std::u16string plainText;
  };
  virtual std::optional<Footnote> FootnoteAt(int64_t position) = 0;
  // The element showing the image whose entry is at a pool position (an
  // <img>, or a visible note when the entry is damaged or of unknown type).
  virtual std::string ImageAt(int32_t position) = 0;
  // The text of a verse (for refrains), nullopt when it does not exist.
  virtual std::optional<std::u16string_view> VerseText(int32_t verse) = 0;
};

// The tooltip of a link: "Exodus 1:3-5", "Genesis 1:1,3", "Psalms 1".
std::u16string BookTooltip(MarkupContext& context, int32_t book);
// `runs`: first verse and number of verses of each run, in order.
std::u16string VerseRunsTooltip(MarkupContext& context,
                                const std::vector<std::pair<int32_t, int32_t>>& runs);

struct RenderedMarkup {
  std::string html;
  // The styles of the layout tags at the start of the text, as CSS classes
  // ("par", "line", "center", ...), in order.
  std::vector<std::string_view> layout;
};

struct MarkupOptions {
  // The verse's label, shown as a verse number where it starts the text;
  // empty for a text without one.
  std::u16string_view label;
  bool superscriptLabel = false;  // the module asks for superscript verse numbers
  bool allowRefrains = true;      // false inside a refrain, so refrains never nest
};

RenderedMarkup RenderMarkup(std::u16string_view text, MarkupContext& context,
                            const MarkupOptions& options = {});

}  // namespace quillavor::preview
