// Text services over ICU: the letter test, invariant case mappings, UTF-8
// conversion, the locale-aware (collator) comparisons and the ASCII-only
// comparisons. Every answer is fixed for all builds and independent of the
// process locale. Nothing outside src/platform includes ICU headers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace quillavor::text {

// Unicode general category L (Lu, Ll, Lt, Lm, Lo) of the code unit; surrogate
// code units are never letters.
bool IsAlpha(char16_t c);

// Code unit classes used throughout the compiler, the reader and the tools.
inline constexpr bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
inline constexpr bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline constexpr bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
inline constexpr bool IsSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Invariant (simple, locale-independent) upper case per code point; a valid
// surrogate pair is mapped as one code point, a lone surrogate is kept. The
// result always has the input's length.
std::u16string ToUpperInvariant(std::u16string_view s);
// Same, writing into `out` (reused to avoid allocations on hot paths).
void ToUpperInvariant(std::u16string_view s, std::u16string& out);

// Simple lower case of one code unit (a surrogate is returned unchanged).
char16_t ToLowerChar(char16_t c);

// UTF-8 to UTF-16; each maximal ill-formed subpart becomes one U+FFFD. Embedded
// 0 bytes become U+0000.
std::u16string DecodeUtf8(std::string_view bytes);
// Decodes into `dest`, which must hold at least bytes.size() code units;
// returns the number of code units written.
int64_t DecodeUtf8Into(std::string_view bytes, char16_t* dest);

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string EncodeUtf8(std::u16string_view s);

// Removes leading and trailing code units <= U+0020 (white space and controls).
std::u16string_view TrimView(std::u16string_view s);

// The first unit `c` in [p, end), or `end`. Looks at four units per step:
// the pool's strings are found by their terminator and the markup by its
// "<", and these scans run over the whole text several times in a build.
inline const char16_t* FindUnit(const char16_t* p, const char16_t* end, char16_t c) {
  // Four units in a 64-bit word, XORed with `c` in each lane: a lane equal
  // to `c` becomes 0, and (x - 1s) & ~x & high bits is non-zero exactly when
  // some lane is 0. The plain loop then finds the exact lane.
  constexpr uint64_t kOnes = 0x0001000100010001ULL;
  constexpr uint64_t kHighs = 0x8000800080008000ULL;
  const uint64_t pattern = kOnes * c;
  while (end - p >= 4) {
    uint64_t x;
    std::memcpy(&x, p, sizeof x);
    x ^= pattern;
    if (((x - kOnes) & ~x & kHighs) != 0) break;
    p += 4;
  }
  while (p < end && *p != c) ++p;
  return p;
}
inline const char16_t* FindNul(const char16_t* p, const char16_t* end) {
  return FindUnit(p, end, 0);
}
// The first position at or after `from` where `s` starts with `needle` (not
// empty), or npos; the same answer as s.find(needle, from).
inline size_t FindText(std::u16string_view s, std::u16string_view needle, size_t from = 0) {
  const char16_t* const end = s.data() + s.size();
  for (const char16_t* p = s.data() + std::min(from, s.size());
       (p = FindUnit(p, end, needle[0])) < end; ++p) {
    if (static_cast<size_t>(end - p) < needle.size()) break;
    if (std::u16string_view(p, needle.size()) == needle) return static_cast<size_t>(p - s.data());
  }
  return std::u16string_view::npos;
}
inline std::u16string Trim(std::u16string_view s) { return std::u16string(TrimView(s)); }

// Case-insensitive comparison folding only the ASCII letters.
bool AsciiEqualIgnoreCase(std::u16string_view a, std::u16string_view b);
bool AsciiStartsWithIgnoreCase(std::u16string_view s, std::u16string_view prefix);

// Locale-aware comparison: the root collator with default attributes.
// kTertiary is "equal" (case-sensitive); kSecondary is "equal ignoring case".
// Strings of printable ASCII alone are answered without asking the collator.
enum class Strength { kTertiary, kSecondary };
bool CollatorEqual(std::u16string_view a, std::u16string_view b, Strength strength);
// A sort key: two strings get equal keys exactly when CollatorEqual says so.
std::string CollatorSortKey(std::u16string_view s, Strength strength);

}  // namespace quillavor::text
