// The WordDictionary and the LabelDictionary: find-or-add over the `words`
// and `labels` tables, kept in ascending upper-cased order as doubly linked
// lists over append-only arrays.
#pragma once

#include <cstdint>
#include <string_view>

namespace quillavor {

class Module;

// Lookup index kept beside a dictionary (never written to the module file).
struct DictionaryAccel {};

// Index in `words` of the entry for `word`, created if missing.
int32_t FindOrAddWord(Module& module, std::u16string_view word);
// Index in `labels` of the entry for `label`, created if missing.
int32_t FindOrAddLabel(Module& module, std::u16string_view label);

}  // namespace quillavor
