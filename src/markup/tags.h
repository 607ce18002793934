// The tags the compiler recognises at a line start, and the link-tag test on
// UTF-16 text. Shared by the line compiler, link resolution and the module
// checker, which must agree on them exactly.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "model/module_format.h"

namespace quillavor {

// Prefixes that make a line starting with "<" text rather than a book
// header. The link and web prefixes include the quote after their "=".
inline constexpr std::array<std::u16string_view, 32> kKnownTags = {
    u"<i>",   u"<sc>",     u"</sc>",    u"<h>",       u"</h>",         u"<fc>",  u"</fc>",
    u"<n>",   u"<center>", u"<indent>", u"<indent2>", u"<right>",      u"<b>",   u"<P>",
    u"<p>",   u"<hp>",     u"<hP>",     u"<L>",       u"<l>",          u"<hl>",  u"<hL>",
    u"</a>",  u"<t>",      u"<cr=",     u"<Link:",    u"<refrainopt:", u"<a=\"", u"<A=\"",
    u"<r=\"", u"<m=\"",    u"<f=\"",    u"<web=\"",
};

// An image reference: "<image=" and its 8-unit number field.
inline constexpr std::u16string_view kImageTag = format::kImageTag;

// The link tag test: "<", one of A a f m r, "=", a double quote, and a value
// that does not start with "Key". `s` must be 0-terminated at or after `i`;
// the test stops at the terminator, so it never reads past it.
inline bool IsLinkTagAt(const char16_t* s, size_t i) {
  const char16_t letter = s[i + 1];
  if (s[i] != u'<' ||
      (letter != u'A' && letter != u'a' && letter != u'f' && letter != u'm' && letter != u'r') ||
      s[i + 2] != u'=' || s[i + 3] != u'"') {
    return false;
  }
  return !(s[i + 4] == u'K' && s[i + 5] == u'e' && s[i + 6] == u'y');
}

}  // namespace quillavor
