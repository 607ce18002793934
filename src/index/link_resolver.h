// Link resolution: LinkStep resolves one link tag in place in the pool;
// ResolveLinkage retries the refused links against the complete tables and
// removes those that still cannot be resolved.
#pragma once

#include <cstdint>
#include <vector>

namespace quillavor {

class Module;
class Progress;

// Links refused while the lines were compiled. An entry of 0 or more is a
// verse index; a negative entry is minus the pool index of a refused link tag
// in a footnote line. `contexts` holds, beside each entry, the verse that was
// the context when it was queued.
struct PendingLinks {
  std::vector<int32_t> entries;
  std::vector<int32_t> contexts;
  void Add(int32_t entry, int32_t contextVerse) {
    entries.push_back(entry);
    contexts.push_back(contextVerse);
  }
};

// Book lookup by title or abbreviation (never written to the module file).
struct BookLookup {};

// Called by the line compiler for every header book it creates.
void RegisterBook(Module& module, int32_t book);

// Resolves the link tag whose "<" is at pool index `tagPos`, with the verse
// `contextVerse` as context. True when resolved (or nothing to do).
bool LinkStep(Module& module, int32_t tagPos, int32_t contextVerse);

// The "Resolve linkage" pass.
void ResolveLinkage(Module& module, PendingLinks& pending, Progress& progress);

}  // namespace quillavor
