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

// Compiles the prepared text into `module` (which already holds its name,
// abbreviation and options): adds the name, the abbreviation and the decoded
// text to the pool and runs the line loop, which hands each line on to
// `stages`. Labels are interned through `labelAccel`, the lookup index of the
// label dictionary. Links that LinkStep refuses are queued in `pendingLinks`
// for the resolution pass. Grows the pool. When `lineStarts` is given, it
// receives the pool index where each source line starts (line 1 first), for
// messages about the text once the lines are cut.
void CompileSource(Module& module, std::string_view prepared, Progress& progress,
                   LineStages& stages, DictionaryAccel& labelAccel, PendingLinks& pendingLinks,
                   std::vector<int32_t>* lineStarts = nullptr);

}  // namespace quillavor
