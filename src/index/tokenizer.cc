#include "index/tokenizer.h"

#include <array>
#include <cstdint>
#include <initializer_list>

#include "platform/text.h"

namespace quillavor {

namespace {

// Non-ASCII characters that the module texts need as letters beyond the
// platform's alphabetic test. A few are not letters in Unicode (U+00D7,
// U+00F7, U+05BE maqaf, U+3002 ideographic full stop) and still count here.
// The Hebrew and Chinese lists carry one repeated member each, as written.
constexpr char16_t kCyrillicLetters[] = {
    0x0411, 0x041C, 0x042F, 0x0430, 0x0431, 0x0432, 0x0433, 0x0435, 0x0436, 0x0438, 0x0439, 0x043B,
    0x043C, 0x043D, 0x043E, 0x0440, 0x0441, 0x0442, 0x0443, 0x0446, 0x0448, 0x044C, 0x044E, 0x044F};
constexpr char16_t kHebrewLetters[] = {
    0x05B2, 0x05B5, 0x05B6, 0x05B8, 0x05BE, 0x05B8, 0x05B9, 0x05D0, 0x05D1, 0x05D2, 0x05D3, 0x05D4,
    0x05D5, 0x05D7, 0x05D9, 0x05DA, 0x05DC, 0x05DD, 0x05DE, 0x05E2, 0x05E8, 0x05E9, 0x05EA};
constexpr char16_t kTamilLetters[] = {0x0B85, 0x0B86, 0x0B87, 0x0B89, 0x0B8E, 0x0B92, 0x0B95,
                                      0x0B99, 0x0B9A, 0x0BA8, 0x0BA9, 0x0BAF, 0x0BB0, 0x0BB1,
                                      0x0BB2, 0x0BB5, 0x0BBF, 0x0BC0, 0x0BC1, 0x0BC6, 0x0BC7};
constexpr char16_t kTeluguLetters[] = {0x0C02, 0x0C15, 0x0C28, 0x0C2E, 0x0C30,
                                       0x0C32, 0x0C38, 0x0C39, 0x0C3E, 0x0C3F,
                                       0x0C41, 0x0C42, 0x0C47, 0x0C48, 0x0C4B};
constexpr char16_t kJapaneseLetters[] = {0x3002, 0x3042, 0x3044, 0x3046, 0x304B, 0x304C,
                                         0x304F, 0x3055, 0x3057, 0x3064, 0x3068, 0x3075,
                                         0x307E, 0x307F, 0x3082, 0x3085, 0x308A};
constexpr char16_t kChineseLetters[] = {
    0x4E0E, 0x4E38, 0x4E3B, 0x4EAB, 0x4F60, 0x5149, 0x5206, 0x540C, 0x5728, 0x591C, 0x5982, 0x5B89,
    0x5DB7, 0x5EB7, 0x5FC3, 0x613F, 0x65B9, 0x65E0, 0x6726, 0x6C34, 0x6D41, 0x6DD9, 0x7075, 0x7231,
    0x6D41, 0x7684, 0x7942, 0x795D, 0x798F, 0x89C1, 0x8BBA, 0x90A3, 0x91CC, 0x9ED1};

// The Latin set: U+00C0 to U+00FE, then five more.
constexpr char16_t kLatinFirst = 0x00C0;
constexpr char16_t kLatinLast = 0x00FE;
constexpr char16_t kLatinExtra[] = {0x0100, 0x0101, 0x0102, 0x0103, 0x0113};

// One bit per code unit: the letter test answered once for all 65536 units,
// so that the tokenizer pays a table lookup per character.
class LetterTable {
 public:
  LetterTable() {
    for (uint32_t c = 1; c <= 0xFFFF; ++c) {
      if (text::IsAlpha(static_cast<char16_t>(c))) Set(static_cast<char16_t>(c));
    }
    for (uint32_t c = kLatinFirst; c <= kLatinLast; ++c) Set(static_cast<char16_t>(c));
    for (auto set : {std::u16string_view(kLatinExtra, std::size(kLatinExtra)),
                     std::u16string_view(kCyrillicLetters, std::size(kCyrillicLetters)),
                     std::u16string_view(kHebrewLetters, std::size(kHebrewLetters)),
                     std::u16string_view(kTamilLetters, std::size(kTamilLetters)),
                     std::u16string_view(kTeluguLetters, std::size(kTeluguLetters)),
                     std::u16string_view(kJapaneseLetters, std::size(kJapaneseLetters)),
                     std::u16string_view(kChineseLetters, std::size(kChineseLetters))}) {
      for (char16_t c : set) Set(c);
    }
  }
  bool Test(char16_t c) const { return (bits_[c >> 6] >> (c & 63)) & 1; }

 private:
  void Set(char16_t c) { bits_[c >> 6] |= uint64_t{1} << (c & 63); }
  std::array<uint64_t, 65536 / 64> bits_{};
};

const LetterTable& Letters() {
  static const LetterTable table;
  return table;
}

bool IsLowerAscii(char16_t c) { return c >= u'a' && c <= u'z'; }

// Dash joiners (hyphen-minus, figure dash, en dash) and quote joiners
// (apostrophe, quotation mark, left and right single quotation marks). The em
// dash and the horizontal bar separate words.
bool IsJoiner(char16_t c) {
  switch (c) {
    case u'-':
    case u'\u2012':
    case u'\u2013':
    case u'\'':
    case u'"':
    case u'\u2018':
    case u'\u2019':
      return true;
    default:
      return false;
  }
}

constexpr std::u16string_view kNoindOpen = u"<noind>";
constexpr std::u16string_view kNoindClose = u"</noind>";

// One call of the tokenizer: the text and the state that lives for the call.
// The text ends at its first 0 unit, which no step reads past: a 0 is no
// letter, digit or joiner, ends the main loop, and ends the search for a
// ">" (NextClose). So the text is walked once, not searched for a 0 first.
class Tokenizer {
 public:
  Tokenizer(std::u16string_view text, std::vector<std::u16string_view>& words)
      : text_(text), words_(words) {}

  void Run() {
    const size_t n = text_.size();
    size_t i = 0;
    while (i < n) {
      const char16_t c = text_[i];
      // Most characters start a word: tested first.
      if (letters_.Test(c)) {
        i = ScanWord(i);
        continue;
      }
      if (c == u'<') {
        const size_t close = NextClose(i);
        if (close != std::u16string_view::npos) {
          const std::u16string_view rest = text_.substr(i);
          if (text::AsciiStartsWithIgnoreCase(rest, kNoindOpen)) {
            insideNoind_ = true;
          } else if (text::AsciiStartsWithIgnoreCase(rest, kNoindClose)) {
            insideNoind_ = false;
          }
          i = close + 1;
          continue;
        }
        // A "<" without a later ">" is ordinary punctuation.
      }
      // Footnote markers "[a]" and "[ab]".
      if (c == u'[' && i + 1 < n && IsLowerAscii(text_[i + 1])) {
        if (i + 2 < n && text_[i + 2] == u']') {
          i += 3;
          continue;
        }
        if (i + 3 < n && IsLowerAscii(text_[i + 2]) && text_[i + 3] == u']') {
          i += 4;
          continue;
        }
      }
      if (text::IsDigit(c)) {
        numbersMode_ = true;
        if (words_.empty()) {
          // A leading verse or hymn number, with any word glued to it.
          while (i < n && text::IsDigit(text_[i])) ++i;
          while (LetterAt(i)) ++i;
        } else {
          i = ScanWord(i);
        }
        continue;
      }
      if (c == 0) break;
      // Anything else separates words; a surrogate pair is one character.
      const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < n && text_[i + 1] >= 0xDC00 &&
                        text_[i + 1] <= 0xDFFF;
      i += pair ? 2 : 1;
    }
  }

 private:
  bool LetterAt(size_t i) const { return i < text_.size() && letters_.Test(text_[i]); }

  // Position of the first ">" after `i` and before the first 0 unit, or
  // npos. The answer for an earlier "<" stays valid while it lies beyond
  // `i`, so a text full of "<" without ">" is searched once.
  size_t NextClose(size_t i) {
    if (!closeKnown_ || close_ <= i) {
      close_ = std::u16string_view::npos;
      for (size_t j = i + 1; j < text_.size() && text_[j] != 0; ++j) {
        if (text_[j] == u'>') {
          close_ = j;
          break;
        }
      }
      closeKnown_ = true;
    }
    return close_;
  }

  // Takes the word starting at `start` (a letter, or a digit in numbers
  // mode); returns the position of the character that ended it.
  size_t ScanWord(size_t start) {
    const size_t n = text_.size();
    size_t j = start;
    while (j < n) {
      const char16_t c = text_[j];
      if (letters_.Test(c) || (numbersMode_ && text::IsDigit(c)) ||
          (IsJoiner(c) && j > start && LetterAt(j + 1))) {
        ++j;
      } else {
        break;
      }
    }
    if (!insideNoind_ && j > start) words_.push_back(text_.substr(start, j - start));
    return j;
  }

  std::u16string_view text_;
  std::vector<std::u16string_view>& words_;
  const LetterTable& letters_ = Letters();
  bool insideNoind_ = false;
  bool numbersMode_ = false;
  bool closeKnown_ = false;
  size_t close_ = 0;
};

}  // namespace

bool IsLetter(const char16_t* p) { return *p != 0 && Letters().Test(*p); }

void WordTokenizer(std::u16string_view text, std::vector<std::u16string_view>& words) {
  words.clear();
  Tokenizer(text, words).Run();
}

}  // namespace quillavor
