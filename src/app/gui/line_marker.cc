#include "app/gui/line_marker.h"

namespace quillavor::gui {

namespace {

// Every occurrence of `from` in `text` replaced by `to`, scanning left to right
// and going on after each replacement.
std::u16string ReplaceAll(std::u16string_view text, std::u16string_view from,
                          std::u16string_view to) {
  std::u16string out;
  out.reserve(text.size());
  size_t start = 0;
  for (size_t hit = text.find(from); hit != std::u16string_view::npos;
       hit = text.find(from, start)) {
    out.append(text.substr(start, hit - start));
    out.append(to);
    start = hit + from.size();
  }
  out.append(text.substr(start));
  return out;
}

}  // namespace

std::u16string MarkLine(std::u16string_view booksList, std::u16string_view piece) {
  if (piece.empty()) return std::u16string(booksList);
  std::u16string marked(kLineMarker);
  marked.append(piece);
  return ReplaceAll(booksList, piece, marked);
}

std::u16string UnmarkLines(std::u16string_view marked) {
  return ReplaceAll(marked, kLineMarker, u"");
}

}  // namespace quillavor::gui
