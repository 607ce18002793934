// Module: the compiled form of one source file. It owns the string pool, the
// tables of fixed-size records, the thirteen counters and the flag bytes.
// Constructing a Module from a source path runs the whole compilation; the
// writer (output/module_writer.h) then serialises it. Every cross-reference
// inside a Module is a 32-bit index (pool index in UTF-16 code units, or a
// record index), never a pointer; -1 means none.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/build_options.h"
#include "model/dyn_array.h"
#include "model/progress.h"
#include "model/records.h"

namespace quillavor {

struct DictionaryAccel;  // model/dictionary.h: lookup index beside a dictionary
struct BookLookup;       // index/link_resolver.h: book title/abbrev lookup

// Growth steps of the tables: fixed numbers of elements added to the length.
inline constexpr int64_t kPoolGrowth = 10240;
inline constexpr int64_t kBookNameGrowth = 10;
inline constexpr int64_t kBookGrowth = 100;
inline constexpr int64_t kVerseGrowth = 1024;
inline constexpr int64_t kDictGrowth = 1024;
inline constexpr int64_t kWordRefGrowth = 1024;

class Module {
 public:
  // An empty module: every field initialised, nothing compiled.
  Module();
  // Reads and compiles the source file at `sourcePath` completely. Raises the
  // errors of the stages (DynArrayOutOfRange, IoError, SourceError).
  Module(std::u16string name, std::u16string abbreviation, std::u16string sourcePath,
         std::u16string options, Progress& progress, const BuildOptions& buildOptions = {});
  ~Module();
  Module(const Module&) = delete;  // owns large tables; never copied
  Module& operator=(const Module&) = delete;

  // Compiles source bytes held in memory as if read from `sourcePath` (for
  // tools and tests that have no file).
  static std::unique_ptr<Module> FromSourceBytes(std::u16string name, std::u16string abbreviation,
                                                 std::u16string sourcePath, std::u16string options,
                                                 std::span<const uint8_t> bytes,
                                                 Progress& progress);

  // Appends a string and its 0 terminator to the pool; returns its index. The
  // view may point into the pool itself.
  int32_t AddString(std::u16string_view text);
  // The code units from `index` up to the next 0 unit (or the pool's end).
  // Raises DynArrayOutOfRange outside [0, pool length).
  std::u16string GetString(int32_t index) const;
  std::u16string_view StringView(int32_t index) const;

  // Finds the first book name equal to `name` ignoring ASCII case, or appends
  // a record for it with lastBook -1. Returns its index.
  int32_t FindOrAddBookName(std::u16string_view name);

  // Rounds poolLength up to 8 into poolWritten and writes each image's
  // position into the number field of its "<image=" references.
  void FinalizePool();

  // The flags word assembled from the seven flag bytes.
  uint32_t ComputeFlags() const;
  Counters GetCounters() const;

  // Tables, in declaration order.
  DynArray<char16_t> pool;
  DynArray<BookNameRecord> bookNames;
  DynArray<BookRecord> books;
  DynArray<VerseRecord> verses;
  DynArray<DictEntry> labels;
  DynArray<DictEntry> words;
  DynArray<WordRef> wordRefs;
  DynArray<ImageRecord> images;  // grows by one per image

  // The thirteen counters of block 1.
  int32_t poolLength = 0;
  int32_t bookNameCount = 0;
  int32_t bookCount = 0;
  int32_t verseCount = 0;
  int32_t labelCount = 0;
  int32_t wordCount = 0;
  int32_t wordRefCount = 0;
  int32_t labelFirst = kNone;
  int32_t labelLast = kNone;
  int32_t wordFirst = kNone;
  int32_t wordLast = kNone;
  int32_t tokenTotal = 0;
  uint32_t flags = 0;

  // Module-kind flag bytes, set by the control keywords.
  uint8_t superscriptVerses = 0;
  uint8_t isHymnal = 0;
  uint8_t isInspiredVersion = 0;
  uint8_t isBible = 0;
  uint8_t isDoctrineAndCovenants = 0;
  uint8_t isBookOfMormon = 0;
  uint8_t isHelp = 0;

  std::u16string sourcePath;
  std::u16string abbreviation;
  int32_t poolWritten = 0;

  // The module line's name and options as given by the driver.
  std::u16string name;
  std::u16string options;

  // Lookup structures beside the tables; never written to the module file.
  std::unique_ptr<DictionaryAccel> wordAccel;
  std::unique_ptr<DictionaryAccel> labelAccel;
  std::unique_ptr<BookLookup> bookLookup;

  // Pool indexes of the strings (verse texts, footnote lines) whose text link
  // resolution changed after indexing in a way that moves or deletes words
  // the index points into: an unresolved link removed, or a link resolved
  // whose tag the indexer saw unclosed (no ">" but those of "<sc>") and so
  // read its value as words. The module file does not record this, but a
  // check of a module just built can hold every other verse to its exact
  // word offsets.
  std::vector<int32_t> changedAfterIndexing;

 private:
  // The construction sequence: load, compile, resolve links, finalise the
  // word index, finalise the pool. `bytes` replaces reading the source file.
  void Build(std::optional<std::span<const uint8_t>> bytes, Progress& progress,
             const BuildOptions& buildOptions);
};

}  // namespace quillavor
