// The line loop: classifies every line of the decoded source text in the
// pool into control keywords, refrains, book headers, verse lines, footnote
// lines and dropped lines, and fills the Module's tables from them. The
// compiler borrows the Module, the progress sink, the later stages, the label
// lookup index and the pending links for its lifetime; its state lives only
// as long as one loop. It holds pool positions, never pointers, across calls
// that may grow the pool: AddString, AddBookName, ScanLeadingLayout
// (new labels) and LineStages::IndexVerse (new words).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace quillavor {

class Module;
class Progress;
class LineStages;
struct DictionaryAccel;
struct MarkupFacts;
struct PendingLinks;

// Overwrites every CR and LF of the pool text [begin, end) with 0 units, so
// that every line becomes a pool string of its own. When `lineFeeds` is given,
// the position of every LF is appended to it, ascending.
void CutLines(Module& module, int32_t begin, int32_t end,
              std::vector<int32_t>* lineFeeds = nullptr);

class LineCompiler {
 public:
  // `facts`, when given, receives the header lines and the text before the
  // first book.
  LineCompiler(Module& module, Progress& progress, LineStages& stages, DictionaryAccel& labelAccel,
               PendingLinks& pendingLinks, MarkupFacts* facts = nullptr);
  LineCompiler(const LineCompiler&) = delete;  // borrows the module; one loop only
  LineCompiler& operator=(const LineCompiler&) = delete;

  // Runs the loop over the cut text [begin, end) of the pool; the unit at
  // `end` is 0. Positions are kept as pool indexes: the pool may grow.
  void Run(int32_t begin, int32_t end);

 private:
  void CompileLine(int32_t start, int32_t end);
  bool ApplyKeyword(int32_t start, int32_t end);
  int32_t ApplyRefrains(int32_t start, int32_t end);
  void RecordImageReference(int32_t tagPos, int32_t end);
  void CompileHeader(int32_t start, int32_t end);
  // The first book name equal to the pool text [start, end) ignoring ASCII
  // case, or a new one (the Module's FindOrAddBookName, through an index).
  int32_t FindOrAddBookName(int32_t start, int32_t end);
  void CompileVerse(int32_t textStart, int32_t end);
  void CompileFootnoteLine(int32_t textStart, int32_t end);
  void NoteTextBeforeBook(int32_t start, int32_t end);

  // The pool's storage as it is now; fetched afresh after anything that may
  // grow the pool, never kept across such a call.
  const char16_t* Pool() const;
  // Hands every link tag of [textStart, end) to LinkStep with verse
  // `context`; a refused one is queued as the verse (queueVerse) or as minus
  // the position of its "<".
  void StepLinks(int32_t textStart, int32_t end, int32_t context, bool queueVerse);

  Module& module_;
  Progress& progress_;
  LineStages& stages_;
  DictionaryAccel& labelAccel_;
  PendingLinks& pendingLinks_;
  MarkupFacts* facts_;

  bool indexingOn_ = true;       // verses created meanwhile are indexed
  bool labelsOn_ = true;         // a leading number becomes the verse label
  int32_t currentBook_ = -1;     // book opened by the latest header
  int32_t previousVerse_ = -1;   // most recently created verse
  std::string refrainNumber_;    // "%i" of the verse taken by the last "<refrain>"
  int32_t lineCount_ = 0;        // lines seen, for the message pump
  std::u16string labelScratch_;  // reused copy of a verse label
  // The book names by their ASCII-lower-cased form (names are equal ignoring
  // ASCII case), so that a header finds its name without a walk of them all.
  std::unordered_map<std::u16string, int32_t> bookNameIndex_;
};

}  // namespace quillavor
