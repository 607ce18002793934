// The checker's layout: the pool's text runs, where the pool text ends and
// the image entries begin, the Concordance books and the upper-cased words.
#include <algorithm>
#include <unordered_map>

#include "markup/tags.h"
#include "platform/text.h"
#include "reader/check_internal.h"

namespace quillavor::check {

namespace {

std::vector<TextRun> FindTextRuns(std::span<const char16_t> pool) {
  std::vector<TextRun> runs;
  const auto size = static_cast<int64_t>(pool.size());
  for (int64_t i = 0; i < size;) {
    if (pool[static_cast<size_t>(i)] == 0) {
      ++i;
      continue;
    }
    const int64_t start = i;
    while (i < size && pool[static_cast<size_t>(i)] != 0) ++i;
    runs.push_back(TextRun{static_cast<int32_t>(start), static_cast<int32_t>(i)});
  }
  return runs;
}

// Code units taken by the image entry at `q` (which has at least 4 units).
int64_t EntryUnits(std::span<const char16_t> pool, int64_t q) {
  const auto at = static_cast<size_t>(q);
  return format::ImageEntryUnits(format::ImageEntryLength(pool[at + 2], pool[at + 3]));
}

// Follows chains of image entries through the pool, remembering where each
// entry's chain ends, so that each position is walked over once however many
// fields name it.
class EntryChains {
 public:
  explicit EntryChains(std::span<const char16_t> pool)
      : pool_(pool), size_(static_cast<int64_t>(pool.size())) {}

  // Position after the image entries starting at `position`, following the
  // entry lengths; -1 when an entry is malformed or runs past the pool.
  int64_t End(int64_t position) {
    std::vector<int64_t> walked;
    int64_t q = position;
    int64_t end = -1;
    for (;;) {
      auto cached = ends_.find(q);
      if (cached != ends_.end()) {
        end = cached->second;
        break;
      }
      if (q == size_) {
        end = size_;
        break;
      }
      if (q < 0 || q + 4 > size_ || pool_[static_cast<size_t>(q)] != 0 ||
          pool_[static_cast<size_t>(q) + 1] != 0) {
        break;
      }
      walked.push_back(q);
      q += EntryUnits(pool_, q);
    }
    for (int64_t w : walked) ends_[w] = end;
    ends_[position] = end;
    return end;
  }

 private:
  std::span<const char16_t> pool_;
  int64_t size_;
  std::unordered_map<int64_t, int64_t> ends_;
};

// The "<image=" fields at the start of verse lines (or after a known tag there).
std::vector<ImageField> FindImageFields(const Layout& layout) {
  std::vector<ImageField> fields;
  const auto& verses = layout.module.verses();
  for (int32_t v = 0; v < layout.verseCount; ++v) {
    const int32_t t = verses[static_cast<size_t>(v)].text;
    if (t < 0 || t >= layout.poolSize) continue;
    const int64_t end = layout.TerminatorFrom(t);
    const std::u16string_view line(layout.pool.data() + t, static_cast<size_t>(end - t));
    size_t at = std::u16string_view::npos;
    if (line.starts_with(format::kImageTag)) {
      at = 0;
    } else if (std::any_of(kKnownTags.begin(), kKnownTags.end(),
                           [&](std::u16string_view tag) { return line.starts_with(tag); })) {
      at = line.find(format::kImageTag);
    }
    if (at == std::u16string_view::npos) continue;
    ImageField field{v, t + static_cast<int64_t>(at + format::kImageTag.size()), false,
                     std::nullopt};
    const int64_t fieldEnd = field.position + format::kImageFieldWidth;
    field.intact = fieldEnd < end && layout.pool[static_cast<size_t>(fieldEnd)] == u'>';
    if (field.intact) {
      field.value = format::ParseImageField(
          line.substr(static_cast<size_t>(field.position - t), format::kImageFieldWidth));
    }
    fields.push_back(field);
  }
  return fields;
}

// The first image entry starts where the pool text ends; an image that no
// verse names cannot be placed, so the smallest position named by a field
// from which the entries run exactly to the end of the pool is taken. Taking
// a later entry's position only widens the text area.
int64_t FindTextEnd(const Layout& layout) {
  EntryChains chains(layout.pool);
  int64_t textEnd = layout.poolSize;
  for (const ImageField& f : layout.imageFields) {
    if (!f.value || *f.value <= f.position || *f.value >= layout.poolSize) continue;
    if (*f.value < textEnd && chains.End(*f.value) == layout.poolSize) textEnd = *f.value;
  }
  return textEnd;
}

std::vector<std::u16string> UpperWords(const Layout& layout) {
  std::vector<std::u16string> upper(static_cast<size_t>(layout.wordCount));
  for (int32_t w = 0; w < layout.wordCount; ++w) {
    const int32_t t = layout.module.words()[static_cast<size_t>(w)].text;
    if (layout.ValidString(t, true))
      upper[static_cast<size_t>(w)] = text::ToUpperInvariant(layout.Str(t));
  }
  return upper;
}

}  // namespace

Layout ComputeLayout(const ModuleView& module, const std::vector<int32_t>* changedAfterIndexing) {
  Layout layout{.module = module, .pool = module.pool()};
  layout.poolSize = static_cast<int64_t>(module.pool().size());
  layout.bookCount = static_cast<int32_t>(module.books().size());
  layout.verseCount = static_cast<int32_t>(module.verses().size());
  layout.wordCount = static_cast<int32_t>(module.words().size());
  layout.refCount = static_cast<int32_t>(module.wordRefs().size());
  layout.bookNameCount = static_cast<int32_t>(module.bookNames().size());
  if (changedAfterIndexing != nullptr) {
    layout.changedAfterIndexing.emplace(changedAfterIndexing->begin(), changedAfterIndexing->end());
  }
  // Each step reads only what the steps before it set.
  layout.textRuns = FindTextRuns(layout.pool);
  layout.textEnd = layout.poolSize;
  layout.imageFields = FindImageFields(layout);
  layout.textEnd = FindTextEnd(layout);
  for (int64_t q = layout.textEnd; q < layout.poolSize; q += EntryUnits(layout.pool, q)) {
    layout.entryPositions.insert(q);
  }
  layout.concordance = format::FindConcordance(module.books(), module.counters().wordCount);
  layout.upperWords = UpperWords(layout);
  return layout;
}

int64_t Layout::TerminatorFrom(int64_t index) const {
  auto it = std::upper_bound(textRuns.begin(), textRuns.end(), index,
                             [](int64_t i, const TextRun& r) { return i < r.start; });
  if (it == textRuns.begin()) return index;
  --it;
  return index < it->end ? it->end : index;
}

int64_t Layout::StringEnd(int32_t index) const {
  const int64_t end = TerminatorFrom(index);
  return end < textEnd ? end : -1;
}

std::optional<std::string> Layout::PoolIndexProblem(int32_t index, bool mustStart) const {
  if (index < 0 || index >= poolSize) {
    return N(index) + " out of range (poolLength " + N(poolSize) + ")";
  }
  if (index >= textEnd) {
    return N(index) + " lies in the image area (the pool text ends at " + N(textEnd) + ")";
  }
  if (mustStart && index > 0 && pool[static_cast<size_t>(index) - 1] != 0) {
    return N(index) + " is not the start of a pool string";
  }
  if (StringEnd(index) < 0) {
    return N(index) + ": the string has no terminator before the end of the pool text (" +
           N(textEnd) + ")";
  }
  return std::nullopt;
}

std::u16string_view Layout::Str(int32_t index) const {
  const int64_t end = StringEnd(index);
  return std::u16string_view(pool.data() + index, static_cast<size_t>(end - index));
}

bool Layout::MayHaveChangedAfterIndexing(int32_t verse) const {
  return !changedAfterIndexing ||
         changedAfterIndexing->contains(module.verses()[static_cast<size_t>(verse)].text);
}

bool CheckPoolIndex(const Layout& layout, Violations& out, std::string_view block, int64_t record,
                    std::string_view field, int32_t index, bool mustStart) {
  if (auto problem = layout.PoolIndexProblem(index, mustStart)) {
    out.Add(block, record, field, *problem);
    return false;
  }
  return true;
}

}  // namespace quillavor::check
