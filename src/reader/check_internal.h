// Inside the module checker: the layout every block check reads, computed
// once before any check runs, the list the checks add violations to, and one
// function per block. Each check reads only the module view and the layout;
// none leaves anything behind for another. Used by module_checker.cc only.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "model/module_format.h"
#include "reader/module_checker.h"

namespace quillavor::check {

// Collects violations up to kMaxViolations, then one that says more were dropped.
class Violations {
 public:
  void Add(std::string_view block, int64_t record, std::string_view field, std::string message);
  std::vector<Violation> Take() { return std::move(list_); }

 private:
  std::vector<Violation> list_;
};

// "12"
std::string N(int64_t v);
// The text in double quotes; controls and units from U+D800 up as \uXXXX.
std::string Quote(std::u16string_view s);

// A maximal run of non-zero pool units, [start, end).
struct TextRun {
  int32_t start;
  int32_t end;
};

// An "<image=" reference as the line compiler records it at the start of a
// verse line (or after a known tag there).
struct ImageField {
  int32_t verse;
  int64_t position;              // pool index of the number field
  bool intact;                   // the field without a terminator, and ">" after it
  std::optional<int64_t> value;  // the position written in the field
};

// What several block checks need, computed once by ComputeLayout and read-only
// afterwards. Borrows the module view, which must outlive it.
struct Layout {
  const ModuleView& module;
  std::span<const char16_t> pool;
  int64_t poolSize = 0;
  int32_t bookCount = 0;
  int32_t verseCount = 0;
  int32_t wordCount = 0;
  int32_t refCount = 0;
  int32_t bookNameCount = 0;

  // The runs of non-zero units, listed once so that damaged indexes cannot
  // make the check scan the pool again and again.
  std::vector<TextRun> textRuns{};
  // Where the pool text ends and the image entries start (poolSize: no images).
  int64_t textEnd = 0;
  std::vector<ImageField> imageFields{};
  // Positions of the image entries from textEnd to the end of the pool.
  std::set<int64_t> entryPositions{};
  // The Concordance books, by the format's rule (counted with the counters'
  // wordCount).
  format::ConcordanceBooks concordance{};
  // Upper-cased word texts; empty for a word whose text index is bad.
  std::vector<std::u16string> upperWords{};
  // Strings that changed after indexing; nullopt: not known.
  std::optional<std::unordered_set<int32_t>> changedAfterIndexing{};

  // The first 0 unit at or after `index`, poolSize when there is none.
  int64_t TerminatorFrom(int64_t index) const;
  // The terminator of the string at `index`, -1 if none before textEnd.
  int64_t StringEnd(int32_t index) const;
  // What is wrong with a pool index field, or nothing. `mustStart`: the index
  // must be the first unit of a pool string (the unit before it is 0).
  std::optional<std::string> PoolIndexProblem(int32_t index, bool mustStart) const;
  bool ValidString(int32_t index, bool mustStart) const {
    return !PoolIndexProblem(index, mustStart).has_value();
  }
  // The string at an index that ValidString accepts.
  std::u16string_view Str(int32_t index) const;

  bool IsLetterBook(int32_t b) const {
    return concordance.titleBook >= 0 && b > concordance.titleBook && b < bookCount;
  }
  // True unless the build said the verse's text kept what the indexer saw.
  bool MayHaveChangedAfterIndexing(int32_t verse) const;
};

Layout ComputeLayout(const ModuleView& module, const std::vector<int32_t>* changedAfterIndexing);

// Reports a bad pool index field; true when the index is good.
bool CheckPoolIndex(const Layout& layout, Violations& out, std::string_view block, int64_t record,
                    std::string_view field, int32_t index, bool mustStart);

// The block checks, in the order their reports appear.
void CheckCounters(const Layout& layout, Violations& out);
void CheckBookNamesAndBooks(const Layout& layout, Violations& out);
void CheckVerses(const Layout& layout, Violations& out);
void CheckWords(const Layout& layout, Violations& out);
// The occurrence lists and each word's letter book.
void CheckWordRefs(const Layout& layout, Violations& out);
void CheckImageFields(const Layout& layout, Violations& out);
void CheckLinks(const Layout& layout, Violations& out);

}  // namespace quillavor::check
