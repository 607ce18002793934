// Text for the preview site: module strings (UTF-16, possibly with lone
// surrogates or control units) turned into HTML text, attribute values and
// JavaScript string literals that can never open markup or script, and the
// file type of an image told from its first bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quillavor::preview {

// Appends `s` as UTF-8 HTML text, safe in element content and in double- or
// single-quoted attribute values: & < > " ' become character references, a
// lone surrogate, a control unit other than tab and line feed, and the
// noncharacters U+FFFE and U+FFFF become U+FFFD.
void AppendEscaped(std::string& out, std::u16string_view s);
std::string Escaped(std::u16string_view s);
// The same for text that is already UTF-8 (names the preview makes itself).
void AppendEscapedUtf8(std::string& out, std::string_view s);

// Appends `s` as a double-quoted JavaScript (and JSON) string literal of
// printable ASCII only: everything else, and " \ < > &, as \uXXXX escapes
// (a lone surrogate stays a lone \uD8xx, which a JavaScript string may hold).
void AppendJsString(std::string& out, std::u16string_view s);

// The kind of an image by its first bytes.
struct ImageType {
  std::string_view extension;  // "png", "jpg", "gif", "bmp", or "bin" when unknown
  std::string_view name;       // "PNG", "JPEG", "GIF", "BMP", or "unknown type"
  bool known = false;          // false: the browser cannot be expected to show it
};
ImageType DetectImageType(std::span<const uint8_t> bytes);

}  // namespace quillavor::preview
