// Link resolution: LinkStep resolves one link tag in place in the pool (the
// line compiler calls it for every link tag of a line); ResolveLinkage
// retries the refused links and the links of book notes against the complete
// tables and removes those that still cannot be resolved, keeping their
// visible text. Resolution only overwrites a tag's letter and value area,
// which the rewrite pass widened for it; only removal moves text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
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

// Book lookup by title or abbreviation (never written to the module file):
// the collation sort key (tertiary strength) of every header book's title and
// abbreviation, mapped to the first book in table order that carries it.
// Books [0, registered) are in the map; lookups add the books created since.
struct BookLookup {
  std::unordered_map<std::string, int32_t> byKey;
  int32_t registered = 0;
};

// Called by the line compiler for every header book it creates (books are
// added in table order; a book created earlier is added first).
void RegisterBook(Module& module, int32_t book);

// The first book whose title, or abbreviation when it has one, is "equal"
// (tertiary strength) to `name`; -1 when none.
int32_t FindBook(Module& module, std::u16string_view name);

// Resolves the link tag whose "<" is at pool index `tagPos`, with the verse
// `contextVerse` as context (-1: none). True when resolved (or nothing to do);
// false when the link must wait for the resolution pass. Writes only inside
// the tag's letter and value area.
bool LinkStep(Module& module, int32_t tagPos, int32_t contextVerse);

// The "Resolve linkage" pass: links of book notes, then every queued entry.
// Queued footnote-line positions are moved back in place when a removal in
// their line shortens it.
void ResolveLinkage(Module& module, PendingLinks& pending, Progress& progress);

}  // namespace quillavor
