#include "markup/plain_text.h"

#include "platform/text.h"

namespace quillavor {

void PlainTextInto(std::u16string_view s, std::u16string& out) {
  // Removing the first complete tag never creates a new "<" before the
  // removal point, so one forward walk gives the result of the repeated
  // removal.
  out.clear();
  const char16_t* const begin = s.data();
  const char16_t* const end = begin + s.size();
  const char16_t* from = begin;
  while (from < end) {
    const char16_t* open = text::FindUnit(from, end, u'<');
    if (open == end) break;
    const char16_t* close = text::FindUnit(open, end, u'>');
    if (close == end) break;
    out.append(from, open);
    from = close + 1;
  }
  if (from < end) out.append(from, end);
}

std::u16string PlainText(std::u16string_view s) {
  std::u16string out;
  out.reserve(s.size());
  PlainTextInto(s, out);
  return out;
}

}  // namespace quillavor
