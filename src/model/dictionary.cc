#include "model/dictionary.h"

#include <algorithm>
#include <cstdint>
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

// FNV-1a over the code units, with the high bits folded into the low ones
// that pick the slot: the keys are short words, for which this costs a few
// instructions per unit where the library's byte hash costs several times
// as much. Only the probe order depends on it, never a result.
constexpr uint64_t kHashStart = 14695981039346656037ULL;
constexpr uint64_t kHashFactor = 1099511628211ULL;
size_t FoldHash(uint64_t h) { return static_cast<size_t>(h ^ (h >> 32)); }

size_t HashKey(std::u16string_view key) {
  uint64_t h = kHashStart;
  for (const char16_t c : key) h = (h ^ c) * kHashFactor;
  return FoldHash(h);
}

// Cuts `key` at its first 0 unit (CutAtNul), sets `out` to
// ToUpperInvariant(key) and returns HashKey(out). Keys of ASCII units
// (nearly every word of most texts) take one loop that does all three and
// needs no character tables.
size_t CutUpperKeyAndHash(std::u16string_view& key, std::u16string& out) {
  out.resize(key.size());
  uint64_t h = kHashStart;
  for (size_t i = 0; i < key.size(); ++i) {
    const char16_t c = key[i];
    if (c == 0) {
      key = key.substr(0, i);
      out.resize(i);
      return FoldHash(h);
    }
    if (c >= 0x80) {
      key = CutAtNul(key);
      text::ToUpperInvariant(key, out);
      return HashKey(out);
    }
    const char16_t upper = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - (u'a' - u'A')) : c;
    out[i] = upper;
    h = (h ^ upper) * kHashFactor;
  }
  return FoldHash(h);
}

// The slot of the upper-cased key `key`, or null.
Slot* FindKey(DictionaryAccel& a, std::u16string_view key, size_t hash) {
  if (a.slots.empty()) return nullptr;
  const size_t mask = a.slots.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& slot = a.slots[i];
    if (slot.key == nullptr) return nullptr;
    if (slot.hash == hash && *slot.key == key) return &slot;
  }
}

void PlaceSlot(std::vector<Slot>& slots, const Slot& slot) {
  const size_t mask = slots.size() - 1;
  size_t i = slot.hash & mask;
  while (slots[i].key != nullptr) i = (i + 1) & mask;
  slots[i] = slot;
}

void ForgetAll(DictionaryAccel& a) {
  a.ordered.clear();
  a.slots.clear();
  a.slotsUsed = 0;
}

// Adds a key that is not yet in the index; `settled` tells whether the
// entry's stored spelling IsSettled.
void Remember(DictionaryAccel& a, std::u16string_view key, size_t hash, int32_t entry,
              bool settled) {
  const std::u16string& held = a.ordered.emplace(std::u16string(key), entry).first->first;
  if ((a.slotsUsed + 1) * 2 > a.slots.size()) {
    std::vector<Slot> bigger(std::max<size_t>(1024, a.slots.size() * 2));
    for (const Slot& s : a.slots) {
      if (s.key != nullptr) PlaceSlot(bigger, s);
    }
    a.slots.swap(bigger);
  }
  PlaceSlot(a.slots, Slot{hash, &held, entry, settled});
  ++a.slotsUsed;
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
      if (++steps > d.count || (!a.ordered.empty() && !(a.ordered.rbegin()->first < key))) {
        a.walkList = true;
        break;
      }
      Remember(a, key, HashKey(key), p, IsSettled(stored));
    }
  } catch (const DynArrayOutOfRange&) {
    a.walkList = true;
  }
  if (a.walkList) ForgetAll(a);
}

// Same results as FindOrAddByWalk. On a list in ascending order the walk
// finds a key that is on the list and otherwise stops at the entry before
// the first greater key, so an exact-match table and an ordered one give the
// same entry and the same successor.
int32_t FindOrAdd(Module& module, const Dict& d, DictionaryAccel& a, std::u16string_view key) {
  // `a.upper` and `hash` are kept through the steps below, which look at
  // neither.
  const size_t hash = CutUpperKeyAndHash(key, a.upper);
  std::u16string holder;
  EnsureSentinel(module, d, key, holder);
  if (a.knownCount != d.count || a.knownFirst != d.first) Rebuild(module, d, a);
  if (a.walkList) {
    const int32_t result = FindOrAddByWalk(module, d, key);
    a.knownCount = d.count;
    a.knownFirst = d.first;
    return result;
  }

  if (Slot* hit = FindKey(a, a.upper, hash); hit != nullptr) {
    if (!hit->settled && AdjustSpelling(module, d, hit->entry, key)) {
      hit->settled = IsSettled(module.StringView(d.table[hit->entry].text));
    }
    return hit->entry;
  }
  const auto after = a.ordered.upper_bound(a.upper);
  const int32_t successor = after == a.ordered.end() ? kNone : after->second;
  const int32_t n = InsertBefore(module, d, successor, key);
  // Sorting after the last entry (after the sentinel): the new entry alone
  // makes the list from now on.
  if (successor == kNone) ForgetAll(a);
  Remember(a, a.upper, hash, n, IsSettled(key));
  a.knownCount = d.count;
  a.knownFirst = d.first;
  return n;
}

}  // namespace

int32_t FindOrAddWord(Module& module, DictionaryAccel& accel, std::u16string_view word) {
  return FindOrAdd(module, WordDict(module), accel, word);
}

int32_t FindOrAddLabel(Module& module, DictionaryAccel& accel, std::u16string_view label) {
  return FindOrAdd(module, LabelDict(module), accel, label);
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
