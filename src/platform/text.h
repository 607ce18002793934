// Text services over ICU: the letter test, invariant case mappings, UTF-8
// conversion, the locale-aware (collator) comparisons and the ASCII-only
// comparisons. Every answer is fixed for all builds and independent of the
// process locale. Nothing outside src/platform includes ICU headers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillavor::text {

// Unicode general category L (Lu, Ll, Lt, Lm, Lo) of the code unit; surrogate
// code units are never letters.
bool IsAlpha(char16_t c);

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

// The first 0 unit in [p, end), or `end`. Looks at four units per step: the
// pool's strings are found by their terminator, and this scan runs over the
// whole text several times during a build.
const char16_t* FindNul(const char16_t* p, const char16_t* end);
inline std::u16string Trim(std::u16string_view s) { return std::u16string(TrimView(s)); }

// Case-insensitive comparison folding only the ASCII letters.
bool AsciiEqualIgnoreCase(std::u16string_view a, std::u16string_view b);
bool AsciiStartsWithIgnoreCase(std::u16string_view s, std::u16string_view prefix);

// Locale-aware comparison: the root collator with default attributes.
// kTertiary is "equal" (case-sensitive); kSecondary is "equal ignoring case".
enum class Strength { kTertiary, kSecondary };
bool CollatorEqual(std::u16string_view a, std::u16string_view b, Strength strength);
// A sort key: two strings get equal keys exactly when CollatorEqual says so.
std::string CollatorSortKey(std::u16string_view s, Strength strength);

}  // namespace quillavor::text
