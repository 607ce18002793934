#include "index/tokenizer.h"

namespace quillavor {

// Placeholders until the tokenizer is built.
bool IsLetter(const char16_t*) { return false; }
void WordTokenizer(std::u16string_view, std::vector<std::u16string_view>& words) { words.clear(); }
void ApplyCasePreference(char16_t*, std::u16string_view) {}

}  // namespace quillavor
