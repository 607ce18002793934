// The line compiler: rewrite pass, decoding into the pool and the line loop
// that classifies every line into keywords, book headers, verses and
// footnote lines.
#pragma once

#include <string_view>

namespace quillavor {

class Module;
class Progress;
struct PendingLinks;

// Compiles the prepared text into `module` (which already holds its name,
// abbreviation and options). Links refused by LinkStep are queued in
// `pending` for the resolution pass.
void CompileSource(Module& module, std::string_view prepared, Progress& progress,
                   PendingLinks& pending);

}  // namespace quillavor
