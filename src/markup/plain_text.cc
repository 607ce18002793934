#include "markup/plain_text.h"

namespace quillavor {

std::u16string PlainText(std::u16string_view s) {
  // Removing the first complete tag never creates a new "<" before the
  // removal point, so one forward walk gives the result of the repeated
  // removal.
  std::u16string out;
  out.reserve(s.size());
  size_t from = 0;
  while (from < s.size()) {
    const size_t open = s.find(u'<', from);
    if (open == std::u16string_view::npos) break;
    const size_t close = s.find(u'>', open);
    if (close == std::u16string_view::npos) break;
    out.append(s.substr(from, open - from));
    from = close + 1;
  }
  if (from < s.size()) out.append(s.substr(from));
  return out;
}

}  // namespace quillavor
