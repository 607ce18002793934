// The line compiler: rewrite pass, decoding into the pool and the line loop
// that classifies every line into keywords, book headers, verses and
// footnote lines.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace quillavor {

class LineStages;
class Module;
class Progress;
struct DictionaryAccel;
struct PendingLinks;

// What the markup stage saw that diagnostics name, in pool positions of the
// source text (the compile run turns them into file lines). Filled only when
// asked for.
struct MarkupFacts {
  // Pool index of every LF of the source text, ascending: the line of a pool
  // position is the number of LFs before it (a lone CR, which also ends a
  // line for the compiler, is not counted, as editors do not count it).
  std::vector<int32_t> lineFeeds;
  // Pool index of the "<" of each "<a=" that a reading program would read
  // as a resolved link (see WarnOfLinkLookalikes), with the unit after "=".
  std::vector<int32_t> linkLookalikes;
  std::vector<char16_t> linkLookalikeUnits;
  // Pool index of each book's header line, by book.
  std::vector<int32_t> headerLines;
  // Non-blank lines before the first book header, which are dropped: the
  // first one's pool index and how many.
  int32_t firstTextBeforeBook = -1;
  int64_t linesBeforeBook = 0;
};

// Compiles the prepared text into `module` (which already holds its name,
// abbreviation and options): adds the name, the abbreviation and the decoded
// text to the pool and runs the line loop, which hands each line on to
// `stages`. Labels are interned through `labelAccel`, the lookup index of the
// label dictionary. Links that LinkStep refuses are queued in `pendingLinks`
// for the resolution pass. Grows the pool. `facts`, when given, receives what
// diagnostics need.
void CompileSource(Module& module, std::string_view prepared, Progress& progress,
                   LineStages& stages, DictionaryAccel& labelAccel, PendingLinks& pendingLinks,
                   MarkupFacts* facts = nullptr);

}  // namespace quillavor
