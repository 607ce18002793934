#include "app/preview_html.h"

#include <array>

namespace quillavor::preview {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The reference for one of the five characters that HTML gives meaning to,
// or null.
const char* Reference(char32_t c) {
  switch (c) {
    case U'&':
      return "&amp;";
    case U'<':
      return "&lt;";
    case U'>':
      return "&gt;";
    case U'"':
      return "&quot;";
    case U'\'':
      return "&#39;";
    default:
      return nullptr;
  }
}

void AppendEscapedPoint(std::string& out, char32_t c) {
  if (const char* ref = Reference(c)) {
    out += ref;
  } else if ((c < 0x20 && c != U'\t' && c != U'\n') || c == 0x7F || c == 0xFFFE || c == 0xFFFF) {
    AppendUtf8(out, kReplacement);
  } else {
    AppendUtf8(out, c);
  }
}

}  // namespace

void AppendEscaped(std::string& out, std::u16string_view s) {
  for (size_t i = 0; i < s.size(); ++i) {
    const char16_t c = s[i];
    if (c < 0x80) {
      AppendEscapedPoint(out, c);
    } else if (IsHigh(c) && i + 1 < s.size() && IsLow(s[i + 1])) {
      AppendUtf8(out, 0x10000 + ((char32_t{c} - 0xD800) << 10) + (char32_t{s[i + 1]} - 0xDC00));
      ++i;
    } else if (IsHigh(c) || IsLow(c)) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendEscapedPoint(out, c);
    }
  }
}

std::string Escaped(std::u16string_view s) {
  std::string out;
  AppendEscaped(out, s);
  return out;
}

void AppendEscapedUtf8(std::string& out, std::string_view s) {
  for (char ch : s) {
    if (const char* ref = Reference(static_cast<unsigned char>(ch))) {
      out += ref;
    } else {
      out += ch;
    }
  }
}

void AppendJsString(std::string& out, std::u16string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char16_t c : s) {
    if (c >= 0x20 && c < 0x7F && c != u'"' && c != u'\\' && c != u'<' && c != u'>' && c != u'&') {
      out += static_cast<char>(c);
    } else {
      out += "\\u";
      out += kHex[(c >> 12) & 0xF];
      out += kHex[(c >> 8) & 0xF];
      out += kHex[(c >> 4) & 0xF];
      out += kHex[c & 0xF];
    }
  }
  out += '"';
}

ImageType DetectImageType(std::span<const uint8_t> b) {
  auto startsWith = [&](std::initializer_list<uint8_t> magic) {
    if (b.size() < magic.size()) return false;
    size_t i = 0;
    for (uint8_t m : magic) {
      if (b[i++] != m) return false;
    }
    return true;
  };
  if (startsWith({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A})) return {"png", "PNG", true};
  if (startsWith({0xFF, 0xD8, 0xFF})) return {"jpg", "JPEG", true};
  if (startsWith({'G', 'I', 'F', '8', '7', 'a'}) || startsWith({'G', 'I', 'F', '8', '9', 'a'})) {
    return {"gif", "GIF", true};
  }
  if (startsWith({'B', 'M'}) && b.size() >= 14) return {"bmp", "BMP", true};
  return {"bin", "unknown type", false};
}

}  // namespace quillavor::preview
