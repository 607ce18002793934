#include "model/dictionary.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>

#include "model/errors.h"
#include "model/module.h"
#include "platform/text.h"

namespace quillavor {

namespace {

// The fields of the Module that make up one dictionary.
struct Dict {
  DynArray<DictEntry>& table;
  int32_t& count;
  int32_t& first;
  int32_t& last;
  bool adjustSpelling;  // words keep the more lower-case spelling; labels the first
};

Dict WordDict(Module& m) { return {m.words, m.wordCount, m.wordFirst, m.wordLast, true}; }
Dict LabelDict(Module& m) { return {m.labels, m.labelCount, m.labelFirst, m.labelLast, false}; }

// A key ends at its first 0 unit, as a stored string does.
// Keys are words of a few units: a plain loop beats the wide scan here.
std::u16string_view CutAtNul(std::u16string_view key) {
  size_t n = 0;
  while (n < key.size() && key[n] != 0) ++n;
  return key.substr(0, n);
}

bool InPool(const Module& module, std::u16string_view key) {
  const char16_t* base = module.pool.Data();
  return base != nullptr && key.data() >= base && key.data() < base + module.pool.Length();
}

// Creates the sentinel entry 0 when the dictionary is still empty. The key
// may point into the pool, which adding the sentinel's text can move: it is
// then copied into `holder` first.
void EnsureSentinel(Module& module, const Dict& d, std::u16string_view& key,
                    std::u16string& holder) {
  if (d.first != kNone) return;
  if (InPool(module, key)) {
    holder.assign(key);
    key = holder;
  }
  const int32_t n = d.table.Append(d.count, kDictGrowth);
  DictEntry entry{};
  entry.text = module.AddString(kDictSentinelText);
  entry.prev = kNone;
  entry.next = kNone;
  entry.firstRef = kNone;
  d.table[n] = entry;
  d.first = n;
  d.last = n;
}

// The spelling adjustment on a match: the stored text (equal to the key in
// upper case, hence of the same length) moves towards the key's lower case.
// True when the stored text changed.
bool AdjustSpelling(Module& module, const Dict& d, int32_t found, std::u16string_view key) {
  if (!d.adjustSpelling) return false;
  const int32_t text = d.table[found].text;
  // Checks that the stored string and its terminator lie inside the pool.
  static_cast<void>(module.pool[int64_t{text} + static_cast<int64_t>(key.size())]);
  static_cast<void>(module.pool[text]);
  return ApplyCasePreference(module.pool.Data() + text, key);
}

// A spelling that ApplyCasePreference never changes: at the first unit where
// a spelling met differs, the stored unit is its own lower case, so the rule
// keeps it. Most words of a text are met in lower case first and are settled
// from then on, which spares the comparison on every later match.
bool IsSettled(std::u16string_view stored) {
  for (const char16_t c : stored) {
    if (c < 0x80 ? (c >= u'A' && c <= u'Z') : text::ToLowerChar(c) != c) return false;
  }
  return true;
}

// Appends entry n for `key` and links it in front of `successor` (kNone:
// the key sorts after the last entry; n then starts a list of its own).
int32_t InsertBefore(Module& module, const Dict& d, int32_t successor, std::u16string_view key) {
  const int32_t n = d.table.Append(d.count, kDictGrowth);
  DictEntry entry{};
  entry.text = module.AddString(key);
  entry.firstRef = kNone;
  entry.prev = successor == kNone ? kNone : d.table[successor].prev;
  entry.next = successor;
  d.table[n] = entry;
  if (successor != kNone) d.table[successor].prev = n;
  if (entry.prev != kNone) d.table[entry.prev].next = n;
  if (entry.prev == kNone) d.first = n;
  if (entry.next == kNone) d.last = n;
  return n;
}

// ---- The list walk ----------------------------------------------------------

int32_t FindOrAddByWalk(Module& module, const Dict& d, std::u16string_view key) {
  key = CutAtNul(key);
  std::u16string holder;
  EnsureSentinel(module, d, key, holder);
  const std::u16string upper = text::ToUpperInvariant(key);
  std::u16string probe;
  // Compares the upper-cased text of entry p with the key's.
  auto compare = [&](int32_t p) {
    text::ToUpperInvariant(module.StringView(d.table[p].text), probe);
    return probe.compare(upper);
  };

  int32_t found = kNone;
  int32_t cur = d.first;
  if (d.count > 0) {
    int64_t m = int64_t{d.count} + 1;
    while (true) {
      int32_t p = cur;
      // Walks m / 2 links; at the end of the list p stays where it is.
      for (int64_t k = m / 2; k > 0; --k) {
        const int32_t next = d.table[p].next;
        if (next == kNone) break;
        p = next;
      }
      const int c = compare(p);
      if (c == 0) {
        found = p;
        break;
      }
      if (c < 0) cur = p;
      const int64_t before = m;
      m = m / 2 + (before > 3 ? 1 : 0);
      if (m <= 1) break;
    }
  }
  if (found == kNone) {
    const int c = compare(cur);
    if (c == 0) {
      found = cur;
    } else {
      const int32_t successor = c > 0 ? cur : d.table[cur].next;
      return InsertBefore(module, d, successor, key);
    }
  }
  AdjustSpelling(module, d, found, key);
  return found;
}

// ---- The lookup index -------------------------------------------------------

using Slot = DictionaryAccel::Slot;

// Keys are hashed and compared as chunks of four code units in one 64-bit
// number (the layout of DictionaryAccel::keys), four units a step. Only the
// probe order depends on the hash, never a result.
constexpr size_t kChunkUnits = 4;
constexpr uint64_t kHashStart = 14695981039346656037ULL;
constexpr uint64_t kHashFactor = 0x9E3779B97F4A7C15ULL;
// Per unit of a chunk: bit 7, and bit 7 with the bits above it.
constexpr uint64_t kLaneBit7 = 0x0080008000800080ULL;
constexpr uint64_t kLaneAbove7 = 0xFF00FF00FF00FF00ULL | kLaneBit7;
constexpr uint64_t kLaneOnes = 0x0001000100010001ULL;

size_t ChunkCount(size_t units) { return (units + kChunkUnits - 1) / kChunkUnits; }

uint64_t MixChunk(uint64_t h, uint64_t chunk) {
  h = (h ^ chunk) * kHashFactor;
  return h ^ (h >> 29);
}
uint32_t FoldHash(uint64_t h) { return static_cast<uint32_t>(h ^ (h >> 32)); }

// The `count` units at `p` (at most four) as a chunk.
uint64_t ChunkOfUnits(const char16_t* p, size_t count) {
  uint64_t chunk = 0;
  for (size_t k = 0; k < count; ++k) chunk |= uint64_t{p[k]} << (16 * k);
  return chunk;
}

// Chunk `i` of `key`.
uint64_t ChunkOf(std::u16string_view key, size_t i) {
  const size_t at = i * kChunkUnits;
  return ChunkOfUnits(key.data() + at, std::min(kChunkUnits, key.size() - at));
}

uint32_t HashKey(std::u16string_view key) {
  uint64_t h = kHashStart;
  for (size_t i = 0; i < ChunkCount(key.size()); ++i) h = MixChunk(h, ChunkOf(key, i));
  return FoldHash(h);
}

// The chunk of four units at `p`, read at once where the memory order of the
// units is that of the chunk.
uint64_t LoadChunk(const char16_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    uint64_t chunk;
    std::memcpy(&chunk, p, sizeof chunk);
    return chunk;
  } else {
    return ChunkOfUnits(p, kChunkUnits);
  }
}

// The last chunk of the `size` units at `p`, with `rest` (1 to 3) units.
uint64_t LoadLastChunk(const char16_t* p, size_t size, size_t rest) {
  if constexpr (std::endian::native == std::endian::little) {
    // The four units that end the key, shifted down to its last `rest`.
    if (size >= kChunkUnits) return LoadChunk(p + size - kChunkUnits) >> (16 * (kChunkUnits - rest));
  }
  return ChunkOfUnits(p + size - rest, rest);
}

// The chunk with units 'a' to 'z' upper-cased, for a chunk of ASCII units.
uint64_t AsciiUpperChunk(uint64_t chunk) {
  // Bit 7 of a unit is set by adding 0x80 - c to it when the unit is c or
  // greater; units below 0x80 carry nothing into the next unit.
  const uint64_t fromA = (chunk + (0x80 - u'a') * kLaneOnes) & kLaneBit7;
  const uint64_t afterZ = (chunk + (0x80 - u'z' - 1) * kLaneOnes) & kLaneBit7;
  return chunk ^ ((fromA & ~afterZ) >> 2);  // 0x80 >> 2: the case bit 0x20
}

// Cuts `key` at its first 0 unit (CutAtNul), sets `out` to
// ToUpperInvariant(key) and returns HashKey(out).
uint32_t CutUpperKeyAndHash(std::u16string_view& key, std::u16string& out) {
  key = CutAtNul(key);
  text::ToUpperInvariant(key, out);
  return HashKey(out);
}

// True when the key held at `at` is `key` (upper-cased).
bool HeldKeyIs(const DictionaryAccel& a, size_t at, std::u16string_view key) {
  if (a.keys[at] != key.size()) return false;
  for (size_t i = 0; i < ChunkCount(key.size()); ++i) {
    if (a.keys[at + 1 + i] != ChunkOf(key, i)) return false;
  }
  return true;
}

// The slot of the upper-cased key `key`, or null.
Slot* FindKey(DictionaryAccel& a, std::u16string_view key, uint32_t hash) {
  if (a.slots.empty()) return nullptr;
  const size_t mask = a.slots.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& slot = a.slots[i];
    if (slot.entry < 0) return nullptr;
    if (slot.hash == hash && HeldKeyIs(a, slot.keyAt, key)) return &slot;
  }
}

void PlaceSlot(std::vector<Slot>& slots, const Slot& slot) {
  const size_t mask = slots.size() - 1;
  size_t i = slot.hash & mask;
  while (slots[i].entry >= 0) i = (i + 1) & mask;
  slots[i] = slot;
}

void ForgetAll(DictionaryAccel& a) {
  a.ordered.clear();
  a.slots.clear();
  a.slotsUsed = 0;
  a.keys.clear();
}

// Adds a key that is not yet in the index; `settled` tells whether the
// entry's stored spelling IsSettled, `before` is the first key of `ordered`
// greater than `key` (or its end). False when the keys held would outgrow
// the slots' offsets: the caller then leaves lookups to the list walk.
using OrderedPlace = std::map<std::u16string, int32_t, std::less<>>::iterator;
bool Remember(DictionaryAccel& a, std::u16string_view key, uint32_t hash, int32_t entry,
              bool settled, OrderedPlace before) {
  const size_t at = a.keys.size();
  if (at + 1 + ChunkCount(key.size()) > UINT32_MAX) return false;
  a.ordered.emplace_hint(before, std::u16string(key), entry);
  a.keys.push_back(key.size());
  for (size_t i = 0; i < ChunkCount(key.size()); ++i) a.keys.push_back(ChunkOf(key, i));
  if ((a.slotsUsed + 1) * 2 > a.slots.size()) {
    std::vector<Slot> bigger(std::max<size_t>(1024, a.slots.size() * 2));
    for (const Slot& s : a.slots) {
      if (s.entry >= 0) PlaceSlot(bigger, s);
    }
    a.slots.swap(bigger);
  }
  PlaceSlot(a.slots, Slot{hash, entry, static_cast<uint32_t>(at), settled});
  ++a.slotsUsed;
  return true;
}

// Builds the index from the list that starts at the first entry. A list
// that is not strictly ascending, runs in a circle or has a broken link is
// left to the list walk, which treats it as the links say.
void Rebuild(Module& module, const Dict& d, DictionaryAccel& a) {
  ForgetAll(a);
  a.walkList = false;
  a.knownCount = d.count;
  a.knownFirst = d.first;
  try {
    std::u16string key;
    int64_t steps = 0;
    for (int32_t p = d.first; p != kNone; p = d.table[p].next) {
      const std::u16string_view stored = module.StringView(d.table[p].text);
      text::ToUpperInvariant(stored, key);
      if (++steps > d.count || (!a.ordered.empty() && !(a.ordered.rbegin()->first < key)) ||
          !Remember(a, key, HashKey(key), p, IsSettled(stored), a.ordered.end())) {
        a.walkList = true;
        break;
      }
    }
  } catch (const DynArrayOutOfRange&) {
    a.walkList = true;
  }
  if (a.walkList) ForgetAll(a);
}

// A match: the spelling adjustment, skipped for a settled entry.
int32_t Matched(Module& module, const Dict& d, Slot& hit, std::u16string_view key) {
  if (!hit.settled && AdjustSpelling(module, d, hit.entry, key)) {
    hit.settled = IsSettled(module.StringView(d.table[hit.entry].text));
  }
  return hit.entry;
}

// Same results as FindOrAddByWalk. On a list in ascending order the walk
// finds a key that is on the list and otherwise stops at the entry before
// the first greater key, so an exact-match table and an ordered one give the
// same entry and the same successor.
int32_t FindOrAdd(Module& module, const Dict& d, DictionaryAccel& a, std::u16string_view key) {
  // `a.upper` and `hash` are kept through the steps below, which look at
  // neither.
  const uint32_t hash = CutUpperKeyAndHash(key, a.upper);
  std::u16string holder;
  EnsureSentinel(module, d, key, holder);
  if (a.knownCount != d.count || a.knownFirst != d.first) Rebuild(module, d, a);
  if (a.walkList) {
    const int32_t result = FindOrAddByWalk(module, d, key);
    a.knownCount = d.count;
    a.knownFirst = d.first;
    return result;
  }

  if (Slot* hit = FindKey(a, a.upper, hash); hit != nullptr) return Matched(module, d, *hit, key);
  OrderedPlace after = a.ordered.upper_bound(a.upper);
  const int32_t successor = after == a.ordered.end() ? kNone : after->second;
  const int32_t n = InsertBefore(module, d, successor, key);
  // Sorting after the last entry (after the sentinel): the new entry alone
  // makes the list from now on.
  if (successor == kNone) {
    ForgetAll(a);
    after = a.ordered.end();
  }
  if (!Remember(a, a.upper, hash, n, IsSettled(key), after)) {
    ForgetAll(a);
    a.walkList = true;
  }
  a.knownCount = d.count;
  a.knownFirst = d.first;
  return n;
}

// Keys of up to this many units, all ASCII, are looked for by FindKnownAscii.
constexpr size_t kAsciiChunks = 8;

// The slot of `key` when it is made of ASCII units, not empty, no longer
// than kAsciiChunks chunks and already in `a` (kept in step with its
// dictionary); null otherwise, with nothing changed. Nearly every word of most texts is
// found here: the key is upper-cased, hashed and compared in chunks, with no
// character tables and no copy. A key with a 0 unit is never found (no key
// held has one, and the lengths differ), and is left to be cut by FindOrAdd.
// Inlined into its one caller per dictionary: the call costs a fair part of
// a lookup.
[[gnu::always_inline]] inline Slot* FindKnownAscii(DictionaryAccel& a, std::u16string_view key) {
  const size_t size = key.size();
  if (size == 0 || size > kAsciiChunks * kChunkUnits || a.slots.empty()) return nullptr;
  uint64_t chunks[kAsciiChunks];
  const size_t full = size / kChunkUnits;
  const size_t rest = size % kChunkUnits;
  uint64_t high = 0;  // bits above bit 6 of any unit: not ASCII
  uint64_t h = kHashStart;
  for (size_t i = 0; i < full; ++i) {
    const uint64_t chunk = LoadChunk(key.data() + i * kChunkUnits);
    high |= chunk & kLaneAbove7;
    chunks[i] = AsciiUpperChunk(chunk);
    h = MixChunk(h, chunks[i]);
  }
  size_t count = full;
  if (rest != 0) {
    const uint64_t chunk = LoadLastChunk(key.data(), size, rest);
    high |= chunk & kLaneAbove7;
    chunks[count] = AsciiUpperChunk(chunk);
    h = MixChunk(h, chunks[count]);
    ++count;
  }
  if (high != 0) return nullptr;

  const uint32_t hash = FoldHash(h);
  const size_t mask = a.slots.size() - 1;
  const uint64_t* held = a.keys.data();
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& slot = a.slots[i];
    if (slot.entry < 0) return nullptr;
    if (slot.hash != hash || held[slot.keyAt] != size) continue;
    const uint64_t* k = held + slot.keyAt + 1;
    if (k[0] != chunks[0]) continue;
    size_t j = 1;
    while (j < count && k[j] == chunks[j]) ++j;
    if (j == count) return &slot;
  }
}

// FindOrAdd for the words (`kWords`) or the labels. A key found at once
// in a settled entry returns without more work.
template <bool kWords>
int32_t FindOrAddIn(Module& module, DictionaryAccel& a, std::u16string_view key) {
  const int32_t count = kWords ? module.wordCount : module.labelCount;
  const int32_t first = kWords ? module.wordFirst : module.labelFirst;
  if (a.knownCount == count && a.knownFirst == first && !a.walkList) {
    if (Slot* hit = FindKnownAscii(a, key); hit != nullptr) {
      if (hit->settled) return hit->entry;
      return Matched(module, kWords ? WordDict(module) : LabelDict(module), *hit, key);
    }
  }
  return FindOrAdd(module, kWords ? WordDict(module) : LabelDict(module), a, key);
}

}  // namespace

int32_t FindOrAddWord(Module& module, DictionaryAccel& accel, std::u16string_view word) {
  return FindOrAddIn<true>(module, accel, word);
}

int32_t FindOrAddLabel(Module& module, DictionaryAccel& accel, std::u16string_view label) {
  return FindOrAddIn<false>(module, accel, label);
}

int32_t FindOrAddWordLiteral(Module& module, std::u16string_view word) {
  return FindOrAddByWalk(module, WordDict(module), word);
}

int32_t FindOrAddLabelLiteral(Module& module, std::u16string_view label) {
  return FindOrAddByWalk(module, LabelDict(module), label);
}

bool ApplyCasePreference(char16_t* stored, std::u16string_view met) {
  size_t i = 0;
  while (i < met.size() && stored[i] == met[i]) ++i;
  if (i == met.size()) return false;
  if (text::ToLowerChar(stored[i]) != met[i]) return false;
  for (; i < met.size(); ++i) stored[i] = met[i];
  stored[met.size()] = 0;
  return true;
}

}  // namespace quillavor
