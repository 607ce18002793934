#include "markup/rewrite.h"

#include <algorithm>
#include <cstring>

#include "platform/text.h"

namespace quillavor {

namespace {

bool IsLower(char c) { return c >= 'a' && c <= 'z'; }
bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

// One thing the pass may change: a link tag or a footnote marker.
struct Item {
  enum class Kind { kLink, kUnclosedLink, kFootnote };
  Kind kind;
  const char* start;       // the "<" or the "["
  const char* end;         // just past what the item covers
  const char* valueStart;  // link tags: after the opening quote
  const char* valueEnd;    // closed link tags: the closing quote
};

// Length of the footnote marker at `p` ("[a]" 3, "[ab]" 4), or 0 when there
// is none: a lowercase letter or two in brackets, not followed by "</a>".
int64_t FootnoteMarkerLength(const char* p, const char* end) {
  if (end - p < 3 || p[0] != '[' || !IsLower(p[1])) return 0;
  int64_t length = 0;
  if (p[2] == ']') {
    length = 3;
  } else if (end - p >= 4 && IsLower(p[2]) && p[3] == ']') {
    length = 4;
  } else {
    return 0;
  }
  const char* after = p + length;
  if (end - after >= static_cast<int64_t>(kLinkClose.size()) &&
      std::memcmp(after, kLinkClose.data(), kLinkClose.size()) == 0) {
    return 0;
  }
  return length;
}

// Position of the first "<" or "[" in [p, end), or `end`. Eight bytes at a
// time: a byte equal to one of the two becomes zero after the XOR, and the
// classic has-zero-byte test finds it.
const char* FindCandidate(const char* p, const char* end) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighs = 0x8080808080808080ULL;
  constexpr uint64_t kLess = kOnes * '<';
  constexpr uint64_t kBracket = kOnes * '[';
  while (end - p >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    const uint64_t a = word ^ kLess;
    const uint64_t b = word ^ kBracket;
    if ((((a - kOnes) & ~a) | ((b - kOnes) & ~b)) & kHighs) break;
    p += 8;
  }
  while (p < end && *p != '<' && *p != '[') ++p;
  return p;
}

// The next item at or after `p`, or false when none remains. A link tag
// covers its value through the closing quote, which must come before the end
// of the line; without one only "<", the letter, "=" and the quote are
// covered.
bool FindNextItem(const char* p, const char* end, Item& item) {
  for (; (p = FindCandidate(p, end)) < end; ++p) {
    const char c = *p;
    if (c == '<') {
      if (!IsLinkTagAt(p, end)) continue;
      const char* valueStart = p + 4;
      const char* q = valueStart;
      while (q < end && *q != '"' && !IsLineEnd(*q)) ++q;
      if (q < end && *q == '"') {
        item = Item{Item::Kind::kLink, p, q + 1, valueStart, q};
      } else {
        item = Item{Item::Kind::kUnclosedLink, p, valueStart, valueStart, valueStart};
      }
      return true;
    }
    if (c == '[') {
      const int64_t length = FootnoteMarkerLength(p, end);
      if (length == 0) continue;
      item = Item{Item::Kind::kFootnote, p, p + length, nullptr, nullptr};
      return true;
    }
  }
  return false;
}

// Blanks to add to a closed link tag, and where: "<A=" values grow at their
// end to twice their count of ":", "," and "-"; the others are right-aligned
// in a field of their width.
struct Padding {
  const char* at;
  int64_t blanks;
};

Padding LinkPadding(const Item& item) {
  const char letter = item.start[1];
  const int64_t length = item.valueEnd - item.valueStart;
  if (letter == 'A') {
    int64_t separators = 0;
    for (const char* q = item.valueStart; q < item.valueEnd; ++q) {
      if (*q == ':' || *q == ',' || *q == '-') ++separators;
    }
    return Padding{item.valueEnd, length < 2 * separators ? 2 * separators - length : 0};
  }
  int64_t width = std::memchr(item.valueStart, '#', static_cast<size_t>(length))
                      ? kLinkWidthWithVerse
                      : kLinkWidth;
  if (letter == 'm' || letter == 'r') width += kLinkWidthExtraMr;
  return Padding{item.valueStart, length < width ? width - length : 0};
}

// Walks the items of `text` and tells `sink` every insertion, in text order.
template <typename Sink>
void Walk(std::string_view text, Sink& sink) {
  const char* p = text.data();
  const char* end = p + text.size();
  Item item{};
  while (FindNextItem(p, end, item)) {
    switch (item.kind) {
      case Item::Kind::kLink: {
        const Padding padding = LinkPadding(item);
        if (padding.blanks > 0) sink.Blanks(padding.at, padding.blanks);
        break;
      }
      case Item::Kind::kUnclosedLink:
        break;
      case Item::Kind::kFootnote:
        // A marker at the start of a line is the footnote line's own label.
        if (item.start != text.data() && item.start[-1] != '\n') {
          sink.Insert(item.start, kFootnoteLinkOpen);
          sink.Insert(item.end, kLinkClose);
        }
        break;
    }
    p = item.end;
  }
}

// First walk: how many bytes the insertions add.
struct SizeSink {
  int64_t added = 0;
  void Blanks(const char*, int64_t n) { added += n; }
  void Insert(const char*, std::string_view s) { added += static_cast<int64_t>(s.size()); }
};

// Second walk: copies the text with the insertions into `out`, which has
// exactly the final size.
struct BuildSink {
  const char* copyFrom;
  char* out;
  void CopyUpTo(const char* at) {
    const size_t n = static_cast<size_t>(at - copyFrom);
    if (n > 0) std::memcpy(out, copyFrom, n);
    out += n;
    copyFrom = at;
  }
  void Blanks(const char* at, int64_t n) {
    CopyUpTo(at);
    std::memset(out, ' ', static_cast<size_t>(n));
    out += n;
  }
  void Insert(const char* at, std::string_view s) {
    CopyUpTo(at);
    std::memcpy(out, s.data(), s.size());
    out += s.size();
  }
};

// Second walk, decoding: the copied runs go through the UTF-8 decoder, the
// inserted ASCII bytes are widened.
struct DecodeSink {
  const char* copyFrom;
  char16_t* out;
  void CopyUpTo(const char* at) {
    out +=
        text::DecodeUtf8Into(std::string_view(copyFrom, static_cast<size_t>(at - copyFrom)), out);
    copyFrom = at;
  }
  void Blanks(const char* at, int64_t n) {
    CopyUpTo(at);
    std::fill(out, out + n, u' ');
    out += n;
  }
  void Insert(const char* at, std::string_view s) {
    CopyUpTo(at);
    for (char c : s) *out++ = static_cast<char16_t>(c);
  }
};

}  // namespace

bool IsLinkTagAt(const char* p, const char* end) {
  if (end - p < 4 || p[0] != '<') return false;
  const char letter = p[1];
  if (letter != 'A' && letter != 'a' && letter != 'f' && letter != 'm' && letter != 'r') {
    return false;
  }
  if (p[2] != '=' || p[3] != '"') return false;
  return !(end - p >= 7 && p[4] == 'K' && p[5] == 'e' && p[6] == 'y');
}

int64_t RewrittenLength(std::string_view text) {
  SizeSink size;
  Walk(text, size);
  return static_cast<int64_t>(text.size()) + size.added;
}

int64_t RewriteDecodeInto(std::string_view text, char16_t* dest) {
  DecodeSink decode{text.data(), dest};
  Walk(text, decode);
  decode.CopyUpTo(text.data() + text.size());
  return decode.out - dest;
}

std::string RewriteText(std::string_view text) {
  SizeSink size;
  Walk(text, size);
  if (size.added == 0) return std::string(text);
  std::string out(text.size() + static_cast<size_t>(size.added), '\0');
  BuildSink build{text.data(), out.data()};
  Walk(text, build);
  build.CopyUpTo(text.data() + text.size());
  return out;
}

}  // namespace quillavor
