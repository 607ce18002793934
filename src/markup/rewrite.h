// The rewrite pass over the 8-bit prepared text, run once before decoding:
// it makes room inside link tags for the resolved targets that link
// resolution later writes in place, and turns footnote markers into links.
// The input is borrowed for the call; the result is a new string.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillavor {

// Widths of the value field of the "<a=", "<f=", "<m=", "<r=" link tags:
// room for a resolved reference, more when the value names a verse ("#"),
// more again for the "<m=" and "<r=" forms.
inline constexpr int64_t kLinkWidth = 6;
inline constexpr int64_t kLinkWidthWithVerse = 13;
inline constexpr int64_t kLinkWidthExtraMr = 7;

// What a footnote marker "[a]" becomes: the marker wrapped in an "<f=" link
// whose eight blanks are room for the footnote's target.
inline constexpr std::string_view kFootnoteLinkOpen = "<f=\"        \">";
inline constexpr std::string_view kLinkClose = "</a>";

// True when the bytes at `p` (up to `end`) start a link tag: "<", one of
// "A", "a", "f", "m", "r", then "=" and a double quote, the value not
// starting with "Key".
bool IsLinkTagAt(const char* p, const char* end);

// Returns the text with the link room and the footnote marker links applied:
// two linear walks (size, then build) and one allocation.
std::string RewriteText(std::string_view text);

// The first walk alone: the byte length of RewriteText(text).
int64_t RewrittenLength(std::string_view text);

// The second walk, decoding as it goes: writes the UTF-16 decoding of
// RewriteText(text) into `dest`, which must hold RewrittenLength(text) code
// units, and returns the number of units written. No 8-bit copy is made.
// Items start and end next to ASCII bytes, so decoding the text in pieces
// gives the same units as decoding the rewritten text whole.
int64_t RewriteDecodeInto(std::string_view text, char16_t* dest);

}  // namespace quillavor
