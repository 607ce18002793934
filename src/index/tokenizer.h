// The word tokenizer: what a word is (letters, digits, joiners, separators),
// which stretches are never searched (tags, footnote markers, "<noind>"
// text). The case-preference rule of the word dictionary is in
// model/dictionary.h.
#pragma once

#include <string_view>
#include <vector>

namespace quillavor {

// True when the code unit at `p` is a letter (the platform's alphabetic test
// or one of the fixed letter sets). A 0 unit is never a letter.
bool IsLetter(const char16_t* p);

// Empties `words`, then appends every word of `text` in order, duplicates
// kept. The words are views into `text` (which must outlive them). The text
// ends at its end or at its first 0 unit.
void WordTokenizer(std::u16string_view text, std::vector<std::u16string_view>& words);

}  // namespace quillavor
