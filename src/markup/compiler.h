// The line compiler: rewrite pass, decoding into the pool and the line loop
// that classifies every line into keywords, book headers, verses and
// footnote lines.
#pragma once

#include <string_view>

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
// for the resolution pass. Grows the pool.
void CompileSource(Module& module, std::string_view prepared, Progress& progress,
                   LineStages& stages, DictionaryAccel& labelAccel, PendingLinks& pendingLinks);

}  // namespace quillavor
