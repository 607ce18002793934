// The WordDictionary and the LabelDictionary: find-or-add over the `words`
// and `labels` tables, kept in ascending upper-cased order as doubly linked
// lists over append-only arrays. Entry 0 of each is a sentinel that sorts
// after every real key. The Module owns the tables; whoever adds to them
// keeps a lookup index beside each (the compile run does) and passes it in.
// Every find-or-add may grow the pool (it adds the text of a new entry).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quillavor {

class Module;

// Text of the sentinel entry 0: three U+FFFF units, the greatest code unit,
// so that it sorts after every real key.
inline constexpr std::u16string_view kDictSentinelText = u"\uFFFF\uFFFF\uFFFF";

// Lookup index kept beside a dictionary (never written to the module file).
// It holds the upper-cased key of every entry on the list that starts at the
// dictionary's first entry, so that a lookup costs a hash probe and an
// insertion a tree search instead of a walk along the links. The entries,
// links, ends and spellings it produces are those of the list-walk search
// (FindOrAddWordLiteral), which lands on the same place on a sorted list.
struct DictionaryAccel {
  // Upper-cased keys in ascending order (unsigned code units, shorter prefix
  // first) with their entry indexes: finds the successor of a new key.
  std::map<std::u16string, int32_t, std::less<>> ordered;
  // Open-addressing hash table over the same keys for the exact match: a
  // power-of-two number of slots, at most half of them used, linear probing.
  // Each slot keeps the key's hash and the place of a copy of the key in
  // `keys`, so that a probe reads two arrays and follows no pointer.
  struct Slot {
    uint32_t hash = 0;
    int32_t entry = -1;  // -1: empty slot
    uint32_t keyAt = 0;  // index in `keys` of the key's length
    // The entry's stored spelling has no unit that lower-cases to another,
    // so that no spelling met can change it (see ApplyCasePreference).
    bool settled = false;
  };
  std::vector<Slot> slots;
  // The keys of the slots one after another, each as its length followed by
  // its units in chunks of four (unit i of a chunk in bits 16i to 16i+15,
  // the last chunk filled up with 0 units).
  std::vector<uint64_t> keys;
  size_t slotsUsed = 0;
  // The dictionary's count and first entry when the index was last in step
  // with it; a difference means the table was changed behind the index.
  int32_t knownCount = -1;
  int32_t knownFirst = -1;
  // Set when the list from the first entry is not in strictly ascending
  // order (a table not built by these functions): lookups then walk the list.
  bool walkList = false;
  std::u16string upper;  // upper-cased key, reused between lookups
};

// Index in `words` of the entry for `word`, created if missing. On a match
// the stored spelling moves towards the lower-case form met
// (ApplyCasePreference). The key ends at its first 0 unit, if any; it may be
// a view into the pool. `accel` is the index kept beside `words` (a fresh one
// is filled from the table on first use).
int32_t FindOrAddWord(Module& module, DictionaryAccel& accel, std::u16string_view word);
// Index in `labels` of the entry for `label`, created if missing; a match
// keeps the spelling first added. `accel` is the index kept beside `labels`.
int32_t FindOrAddLabel(Module& module, DictionaryAccel& accel, std::u16string_view label);

// The same operations done by the plain list walk: a binary search over the
// linked list that walks half the window from its lower bound each round and
// upper-cases every probed entry anew. Its cost grows with the dictionary's
// size per lookup; it is the reference the fast lookup is tested against,
// and the fallback for a list that is not in order.
int32_t FindOrAddWordLiteral(Module& module, std::u16string_view word);
int32_t FindOrAddLabelLiteral(Module& module, std::u16string_view label);

// The case-preference rule by which the word dictionary keeps the more
// lower-case spelling: `stored` (in place, e.g. in the pool) and `met` are
// equal ignoring case and of equal length. At the first differing unit, when
// the lower case of the stored unit equals the met unit, the rest of `met`
// overwrites `stored` from there. True when `stored` was changed.
bool ApplyCasePreference(char16_t* stored, std::u16string_view met);

}  // namespace quillavor
