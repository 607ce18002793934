// The word index and the Concordance: IndexVerse records the word
// occurrences of one verse; FinalizeWordIndex puts the occurrence lists in
// text order and appends the Concordance books.
#pragma once

#include <cstdint>
#include <string_view>

namespace quillavor {

class Module;
class Progress;

// Indexes the words of verse `verse` while `indexingOn` is true.
void IndexVerse(Module& module, int32_t verse, bool indexingOn);

// Reverses every occurrence list and creates the Concordance books.
void FinalizeWordIndex(Module& module, std::u16string_view options, Progress& progress);

}  // namespace quillavor
