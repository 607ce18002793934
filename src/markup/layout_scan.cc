#include "markup/layout_scan.h"

#include <array>

#include "model/dictionary.h"
#include "model/module.h"
#include "platform/text.h"

namespace quillavor {

namespace {

// The layout tags; they are told apart by the distance from "<" to ">"
// (2, 3, 5, 6, 7 or 8), which is their length minus one.
constexpr std::array<std::u16string_view, 14> kLayoutTags = {
    u"<p>",  u"<P>",  u"<l>",    u"<L>",     u"<n>",      u"<hp>",     u"<hP>",
    u"<hl>", u"<hL>", u"<left>", u"<right>", u"<center>", u"<indent>", u"<indent2>",
};

}  // namespace

bool IsLayoutTag(std::u16string_view tag) {
  for (std::u16string_view layout : kLayoutTags) {
    if (tag == layout) return true;
  }
  return false;
}

void ScanLeadingLayout(Module& module, DictionaryAccel& labelAccel, int32_t verse,
                       int32_t textStart, int32_t lineEnd, bool labelsOn, std::u16string& scratch) {
  const char16_t* line = module.pool.Data();
  int32_t i = textStart;
  while (true) {
    while (i < lineEnd && (line[i] == u' ' || line[i] == u'\t')) ++i;
    if (i >= lineEnd || line[i] != u'<') break;
    int32_t close = i + 1;
    while (close < lineEnd && line[close] != u'>') ++close;
    if (close >= lineEnd) break;  // a "<" without ">": the tags end here
    if (IsLayoutTag(std::u16string_view(line + i, static_cast<size_t>(close - i + 1)))) {
      BookRecord& book = module.books[module.verses[verse].book];
      book.bookFlags &= ~kBookPlainLayout;
    }
    i = close + 1;
  }
  if (!labelsOn || i >= lineEnd || !text::IsDigit(line[i])) return;
  int32_t labelEnd = i;
  while (labelEnd < lineEnd && line[labelEnd] != u' ' && line[labelEnd] != u'\t') ++labelEnd;
  // The dictionary adds to the pool, which may move: it gets a copy.
  scratch.assign(line + i, static_cast<size_t>(labelEnd - i));
  const int32_t entry = FindOrAddLabel(module, labelAccel, scratch);
  module.verses[verse].label = module.labels[entry].text;
}

}  // namespace quillavor
