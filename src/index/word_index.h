// The word index and the Concordance: IndexVerse records the word
// occurrences of one verse; FinalizeWordIndex puts the occurrence lists in
// text order and appends the Concordance books. Both may grow the pool (new
// words, the Concordance titles).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillavor {

class Module;
class Progress;
struct DictionaryAccel;

// Indexes the words of verse `verse` while `indexingOn` is true, through
// the word dictionary whose lookup index is `wordAccel`. The occurrences are
// recorded for the module's latest verse. The same as AnalyseVerse of the
// verse's text followed by RecordVerseWords.
void IndexVerse(Module& module, DictionaryAccel& wordAccel, int32_t verse, bool indexingOn);

// The words of one verse as the index records them, found from the verse's
// text alone, so that verses can be analysed away from the Module (on
// another thread) and recorded in order afterwards.
struct VerseWords {
  bool indexed = false;      // false: a footnote-like or image verse, no word is recorded
  std::u16string prepared;   // the text the offsets count in (PrepareVerseText)
  std::vector<std::u16string_view> words;  // views into `prepared`
  std::vector<uint32_t> offsets;           // each word's offset in `prepared`
};

// Fills `out` (buffers reused) from the text of a verse. Touches no shared state.
void AnalyseVerse(std::u16string_view verseText, VerseWords& out);

// Records the occurrences of `words` as those of verse `verseIndex`: new
// words are added to the dictionary (and the pool), each occurrence put in
// front of its word's list.
void RecordVerseWords(Module& module, DictionaryAccel& wordAccel, int32_t verseIndex,
                      const VerseWords& words);

// The text in which the words of a verse are found and their offsets
// counted: `verseText` without leading and trailing code units <= 32, with
// every "<sc>" removed until none is left. Writes into `out` (reused).
void PrepareVerseText(std::u16string_view verseText, std::u16string& out);

// Reverses every occurrence list and creates the Concordance books.
void FinalizeWordIndex(Module& module, std::u16string_view options, Progress& progress);

}  // namespace quillavor
