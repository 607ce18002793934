#include "platform/text.h"

#include <unicode/uchar.h>
#include <unicode/ucol.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <cstring>
#include <memory>
#include <stdexcept>

namespace quillavor::text {

bool IsAlpha(char16_t c) {
  if (c < 0x80) return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
  if (U16_IS_SURROGATE(c)) return false;
  return u_isalpha(c) != 0;
}

void ToUpperInvariant(std::u16string_view s, std::u16string& out) {
  out.assign(s);
  const size_t n = s.size();
  for (size_t i = 0; i < n; ++i) {
    char16_t c = s[i];
    if (c < 0x80) {
      if (c >= u'a' && c <= u'z') out[i] = static_cast<char16_t>(c - 32);
      continue;
    }
    if (U16_IS_LEAD(c) && i + 1 < n && U16_IS_TRAIL(s[i + 1])) {
      UChar32 cp = U16_GET_SUPPLEMENTARY(c, s[i + 1]);
      UChar32 up = u_toupper(cp);
      if (U_IS_SUPPLEMENTARY(up)) {
        out[i] = U16_LEAD(up);
        out[i + 1] = U16_TRAIL(up);
      }
      ++i;
      continue;
    }
    if (U16_IS_SURROGATE(c)) continue;
    UChar32 up = u_toupper(c);
    if (!U_IS_SUPPLEMENTARY(up)) out[i] = static_cast<char16_t>(up);
  }
}

std::u16string ToUpperInvariant(std::u16string_view s) {
  std::u16string out;
  ToUpperInvariant(s, out);
  return out;
}

char16_t ToLowerChar(char16_t c) {
  if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
  if (U16_IS_SURROGATE(c)) return c;
  UChar32 low = u_tolower(c);
  return U_IS_SUPPLEMENTARY(low) ? c : static_cast<char16_t>(low);
}

namespace {

// Decodes through ICU, which substitutes U+FFFD for each maximal ill-formed
// subpart. ICU takes int32 lengths: the bytes are converted in slices that
// end on a character boundary, so that a sequence is never split between two
// calls.
int64_t DecodeUtf8WithIcu(std::string_view bytes, char16_t* dest) {
  int64_t written = 0;
  size_t pos = 0;
  constexpr size_t kSlice = size_t{1} << 28;
  while (pos < bytes.size()) {
    size_t end = std::min(bytes.size(), pos + kSlice);
    if (end < bytes.size()) {
      // Back up to a lead byte (at most 3 steps) so no sequence is cut.
      size_t back = end;
      for (int k = 0;
           k < 3 && back > pos && (static_cast<unsigned char>(bytes[back]) & 0xC0) == 0x80; ++k) {
        --back;
      }
      end = back > pos ? back : end;
    }
    UErrorCode status = U_ZERO_ERROR;
    int32_t len = 0;
    int32_t subs = 0;
    u_strFromUTF8WithSub(reinterpret_cast<UChar*>(dest + written), static_cast<int32_t>(end - pos),
                         &len, bytes.data() + pos, static_cast<int32_t>(end - pos), 0xFFFD, &subs,
                         &status);
    if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) {
      throw std::runtime_error(std::string("UTF-8 decoding failed: ") + u_errorName(status));
    }
    written += len;
    pos = end;
  }
  return written;
}

bool IsContinuation(uint8_t b) { return (b & 0xC0) == 0x80; }

}  // namespace

int64_t DecodeUtf8Into(std::string_view bytes, char16_t* dest) {
  // Well-formed text is decoded here, ASCII eight bytes at a time; a byte
  // that starts no well-formed sequence goes to ICU with the non-ASCII bytes
  // after it. That split is exact: an ill-formed subpart never holds an
  // ASCII byte, and decoding starts afresh after one.
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const uint8_t* const end = p + bytes.size();
  char16_t* out = dest;
  constexpr uint64_t kHighBits = 0x8080808080808080ULL;
  while (p < end) {
    while (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if ((word & kHighBits) != 0) break;
      for (int k = 0; k < 8; ++k) out[k] = p[k];
      p += 8;
      out += 8;
    }
    if (p == end) break;
    const uint8_t b0 = *p;
    if (b0 < 0x80) {
      *out++ = b0;
      ++p;
      continue;
    }
    const ptrdiff_t left = end - p;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      if (left >= 2 && IsContinuation(p[1])) {
        *out++ = static_cast<char16_t>(((b0 & 0x1Fu) << 6) | (p[1] & 0x3Fu));
        p += 2;
        continue;
      }
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      const uint8_t lo = b0 == 0xE0 ? 0xA0 : 0x80;
      const uint8_t hi = b0 == 0xED ? 0x9F : 0xBF;
      if (left >= 3 && p[1] >= lo && p[1] <= hi && IsContinuation(p[2])) {
        *out++ =
            static_cast<char16_t>(((b0 & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu));
        p += 3;
        continue;
      }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      const uint8_t lo = b0 == 0xF0 ? 0x90 : 0x80;
      const uint8_t hi = b0 == 0xF4 ? 0x8F : 0xBF;
      if (left >= 4 && p[1] >= lo && p[1] <= hi && IsContinuation(p[2]) && IsContinuation(p[3])) {
        const uint32_t c =
            ((b0 & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
        *out++ = static_cast<char16_t>(0xD7C0u + (c >> 10));
        *out++ = static_cast<char16_t>(0xDC00u | (c & 0x3FFu));
        p += 4;
        continue;
      }
    }
    const uint8_t* q = p + 1;
    while (q < end && *q >= 0x80) ++q;
    out += DecodeUtf8WithIcu(
        std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(q - p)), out);
    p = q;
  }
  return out - dest;
}

std::u16string DecodeUtf8(std::string_view bytes) {
  std::u16string out(bytes.size(), u'\0');
  out.resize(static_cast<size_t>(DecodeUtf8Into(bytes, out.data())));
  return out;
}

std::string EncodeUtf8(std::u16string_view s) {
  std::string out(s.size() * 3, '\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t len = 0;
  int32_t subs = 0;
  u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &len,
                     reinterpret_cast<const UChar*>(s.data()), static_cast<int32_t>(s.size()),
                     0xFFFD, &subs, &status);
  if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) {
    throw std::runtime_error(std::string("UTF-8 encoding failed: ") + u_errorName(status));
  }
  out.resize(static_cast<size_t>(len));
  return out;
}

std::u16string_view TrimView(std::u16string_view s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && s[b] <= u' ') ++b;
  while (e > b && s[e - 1] <= u' ') --e;
  return s.substr(b, e - b);
}

namespace {
char16_t AsciiLower(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}
}  // namespace

bool AsciiEqualIgnoreCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool AsciiStartsWithIgnoreCase(std::u16string_view s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && AsciiEqualIgnoreCase(s.substr(0, prefix.size()), prefix);
}

namespace {

struct CollatorCloser {
  void operator()(UCollator* c) const { ucol_close(c); }
};
using CollatorPtr = std::unique_ptr<UCollator, CollatorCloser>;

// One collator per thread and strength: ICU collators must not be shared
// between threads while in use.
UCollator* CollatorFor(Strength strength) {
  thread_local CollatorPtr collators[2];
  CollatorPtr& slot = collators[strength == Strength::kTertiary ? 0 : 1];
  if (!slot) {
    UErrorCode status = U_ZERO_ERROR;
    UCollator* c = ucol_open("", &status);
    if (U_FAILURE(status)) {
      throw std::runtime_error(std::string("cannot open the root collator: ") +
                               u_errorName(status));
    }
    ucol_setStrength(c, strength == Strength::kTertiary ? UCOL_TERTIARY : UCOL_SECONDARY);
    slot.reset(c);
  }
  return slot.get();
}

}  // namespace

namespace {

// True when every unit is printable ASCII (U+0020 to U+007E).
bool IsPrintableAscii(std::u16string_view s) {
  for (char16_t c : s) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

}  // namespace

bool CollatorEqual(std::u16string_view a, std::u16string_view b, Strength strength) {
  if (a == b) return true;
  // Printable ASCII units each carry one non-ignorable collation element of
  // their own, which equals another unit's only at secondary strength and
  // only for the other case of the same letter. Two strings made only of them
  // are therefore compared without the collator, which is slow to ask.
  if (IsPrintableAscii(a) && IsPrintableAscii(b)) {
    return strength == Strength::kSecondary && AsciiEqualIgnoreCase(a, b);
  }
  return ucol_strcoll(CollatorFor(strength), reinterpret_cast<const UChar*>(a.data()),
                      static_cast<int32_t>(a.size()), reinterpret_cast<const UChar*>(b.data()),
                      static_cast<int32_t>(b.size())) == UCOL_EQUAL;
}

std::string CollatorSortKey(std::u16string_view s, Strength strength) {
  UCollator* c = CollatorFor(strength);
  std::string key(s.size() * 4 + 16, '\0');
  for (;;) {
    int32_t need =
        ucol_getSortKey(c, reinterpret_cast<const UChar*>(s.data()), static_cast<int32_t>(s.size()),
                        reinterpret_cast<uint8_t*>(key.data()), static_cast<int32_t>(key.size()));
    if (need <= static_cast<int32_t>(key.size())) {
      key.resize(static_cast<size_t>(need));
      return key;
    }
    key.assign(static_cast<size_t>(need), '\0');
  }
}

}  // namespace quillavor::text
