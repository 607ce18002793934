// The module checker: validates every invariant a reading program relies on in
// a decoded module image (counters, pool strings, record links, the sorted
// word list, occurrence lists, the Concordance books, image references and
// resolved links) and lists each violation with its block, record and field.
// It reads only what the ModuleView holds and never throws for bad content.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "reader/module_reader.h"

namespace quillavor {

struct Violation {
  std::string block;    // e.g. "block 4 (books)"
  int64_t record = -1;  // record index inside the block, -1 for the block as a whole
  std::string field;    // field name, empty when the block as a whole is wrong
  std::string message;

  // "block 4 (books), record 12, field nextSameName: 40 out of range (bookCount 30)"
  std::string ToString() const;
};

// At most this many violations are collected; a last one says that more were
// dropped. Keeps a badly damaged image from flooding the report.
inline constexpr size_t kMaxViolations = 10000;

// Checks a module that decoded. Empty result: the module is valid.
//
// Removing an unresolved link after its verse was indexed moves the words
// after it (or deletes some), as does resolving a link whose tag the indexer
// read as words, and a module file does not say where that happened.
// `changedAfterIndexing`, the pool indexes of the strings so changed (known
// to the build that made the module: Module::changedAfterIndexing), confines
// that leniency to those verses: every other word must stand at its recorded
// offset. When null, any verse may have changed, and a word found elsewhere
// in its verse is accepted.
std::vector<Violation> CheckModule(const ModuleView& module,
                                   const std::vector<int32_t>* changedAfterIndexing = nullptr);

// Decodes a module image and checks it; a header or count the reader rejects
// becomes one violation carrying the reader's message.
std::vector<Violation> CheckModuleImage(std::span<const uint8_t> image,
                                        const std::vector<int32_t>* changedAfterIndexing = nullptr);

}  // namespace quillavor
