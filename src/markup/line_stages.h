// What the line compiler hands on as it goes: the link tags of each line to
// link resolution, each new header book to the book lookup, each verse to the
// word index, and the links that cannot be resolved yet, in `pendingLinks`,
// to the resolution pass. The markup layer knows these stages only through
// the LineStages interface; the compile layer connects it to src/index.
#pragma once

#include <cstdint>
#include <vector>

namespace quillavor {

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

// The later stages as the line loop calls them, in source order.
class LineStages {
 public:
  virtual ~LineStages() = default;

  // A header book was created (books arrive in table order). Does not grow
  // the pool.
  virtual void BookCreated(int32_t book) = 0;

  // Resolves the link tag whose "<" is at pool index `tagPos`, with verse
  // `contextVerse` as context (-1: none); false when the link must wait for
  // the resolution pass. Writes only inside the tag; never grows the pool.
  virtual bool LinkStep(int32_t tagPos, int32_t contextVerse) = 0;

  // Verse `verse` is complete; `indexingOn` tells whether its words are to
  // be indexed. May grow the pool.
  virtual void IndexVerse(int32_t verse, bool indexingOn) = 0;
};

}  // namespace quillavor
