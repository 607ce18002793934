// Module: the compiled form of one source file, as data. It owns the string
// pool, the tables of fixed-size records, the thirteen counters and the flag
// bytes, with the operations on its own tables. The compile layer
// (compile/compile.h) fills it; the writer (output/module_writer.h)
// serialises it. Every cross-reference inside a Module is a 32-bit index
// (pool index in UTF-16 code units, or a record index), never a pointer; -1
// means none. The pool grows only through AddString and FindOrAddBookName
// (and the dictionaries, model/dictionary.h, which call AddString): a pointer
// or view into the pool is invalid after any of them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/dyn_array.h"
#include "model/progress.h"
#include "model/records.h"

namespace quillavor {

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
  ~Module();
  Module(const Module&) = delete;  // owns large tables; never copied
  Module& operator=(const Module&) = delete;

  // Appends a string and its 0 terminator to the pool; returns its index. The
  // view may point into the pool itself. Grows the pool.
  int32_t AddString(std::u16string_view text);
  // The code units from `index` up to the next 0 unit (or the pool's end).
  // Raises DynArrayOutOfRange outside [0, pool length).
  std::u16string GetString(int32_t index) const;
  std::u16string_view StringView(int32_t index) const;

  // Finds the first book name equal to `name` ignoring ASCII case, or appends
  // a record for it with lastBook -1. Returns its index. May grow the pool.
  int32_t FindOrAddBookName(std::u16string_view name);
  // Appends a book name record for `name` with lastBook -1, without looking
  // for an equal one; returns its index. May grow the pool.
  int32_t AddBookName(std::u16string_view name);

  // Rounds poolLength up to 8 into poolWritten and writes each image's
  // position into the number field of its "<image=" references. Raises
  // SourceError when the text and the images exceed what the format holds.
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

  // When set, AddString calls it before it appends anything: a compile run
  // that still holds strings to add first (the words of verses analysed on
  // another thread) adds them there, so that the pool's strings stand in the
  // order in which the source gave them.
  std::function<void()> beforeAddString;
};

}  // namespace quillavor
