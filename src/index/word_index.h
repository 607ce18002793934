// The word index and the Concordance: IndexVerse records the word
// occurrences of one verse; FinalizeWordIndex puts the occurrence lists in
// text order and appends the Concordance books. Both may grow the pool (new
// words, the Concordance titles).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillavor {

class Module;
class Progress;
struct DictionaryAccel;

// Indexes the words of verse `verse` while `indexingOn` is true, through
// the word dictionary whose lookup index is `wordAccel`.
void IndexVerse(Module& module, DictionaryAccel& wordAccel, int32_t verse, bool indexingOn);

// The text in which the words of a verse are found and their offsets
// counted: `verseText` without leading and trailing code units <= 32, with
// every "<sc>" removed until none is left. Writes into `out` (reused).
void PrepareVerseText(std::u16string_view verseText, std::u16string& out);

// Reverses every occurrence list and creates the Concordance books.
void FinalizeWordIndex(Module& module, std::u16string_view options, Progress& progress);

}  // namespace quillavor
