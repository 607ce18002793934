#include "model/module.h"

#include <cstring>
#include <string>

#include "model/errors.h"
#include "model/module_format.h"
#include "platform/text.h"

namespace quillavor {

Module::Module() = default;
Module::~Module() = default;

int32_t Module::AddString(std::u16string_view text) {
  // The text may lie inside the pool, whose storage moves when it grows
  // (here or in beforeAddString).
  std::u16string copy;
  const char16_t* base = pool.Data();
  if (base != nullptr && text.data() >= base && text.data() < base + pool.Length()) {
    copy.assign(text);
    text = copy;
  }
  if (beforeAddString) beforeAddString();
  const int64_t length = static_cast<int64_t>(text.size());
  while (pool.Length() <= poolLength + length + 1) pool.Grow(kPoolGrowth);
  char16_t* dest = pool.Data() + poolLength;
  if (length > 0) std::memcpy(dest, text.data(), static_cast<size_t>(length) * 2);
  dest[length] = 0;
  const int32_t index = poolLength;
  poolLength = static_cast<int32_t>(poolLength + length + 1);
  return index;
}

std::u16string_view Module::StringView(int32_t index) const {
  if (index < 0 || index >= pool.Length()) throw DynArrayOutOfRange(index, pool.Length());
  const char16_t* start = pool.Data() + index;
  const char16_t* end = pool.Data() + pool.Length();
  const char16_t* p = text::FindNul(start, end);
  return std::u16string_view(start, static_cast<size_t>(p - start));
}

std::u16string Module::GetString(int32_t index) const { return std::u16string(StringView(index)); }

int32_t Module::FindOrAddBookName(std::u16string_view wanted) {
  for (int32_t i = 0; i < bookNameCount; ++i) {
    if (text::AsciiEqualIgnoreCase(StringView(bookNames[i].name), wanted)) return i;
  }
  return AddBookName(wanted);
}

int32_t Module::AddBookName(std::u16string_view wanted) {
  const int32_t nameIndex = AddString(wanted);
  const int32_t k = bookNames.Append(bookNameCount, kBookNameGrowth);
  bookNames[k] = BookNameRecord{nameIndex, kNone};
  return k;
}

void Module::FinalizePool() {
  poolLength = (poolLength + 7) / 8 * 8;
  poolWritten = poolLength;
  if (pool.Length() < poolWritten) pool.SetLength(poolWritten);
  for (int64_t i = 0; i < images.Length(); ++i) {
    ImageRecord& image = images[i];
    image.paddedLength = (image.length + 3) / 4 * 4;
    // "%d" of the position, left-aligned in an 8-unit field.
    std::string digits = std::to_string(poolLength);
    digits.resize(format::kImageFieldWidth, ' ');
    for (int32_t pos : image.usePositions) {
      // Only an intact field is written: "<image=" before it, 8 units without
      // a terminator, ">" after it. Anything else is left alone.
      const int64_t tagStart = int64_t{pos} - static_cast<int64_t>(format::kImageTag.size());
      if (tagStart < 0 || int64_t{pos} + format::kImageFieldWidth >= poolWritten) continue;
      const char16_t* p = pool.Data();
      if (std::u16string_view(p + tagStart, format::kImageTag.size()) != format::kImageTag) {
        continue;
      }
      bool intact = p[pos + format::kImageFieldWidth] == u'>';
      for (int k = 0; k < format::kImageFieldWidth && intact; ++k) intact = p[pos + k] != 0;
      if (!intact) continue;
      for (int k = 0; k < format::kImageFieldWidth; ++k) {
        pool[pos + k] = static_cast<char16_t>(digits[static_cast<size_t>(k)]);
      }
    }
    // The image entry (header and padded bytes) in pool units of 2 bytes.
    const int64_t next =
        int64_t{poolLength} + (int64_t{image.paddedLength} + format::kImageEntryHeaderSize) / 2;
    if (next > INT32_MAX) {
      throw SourceError("the module's text and images exceed the 2 GiB the format can hold");
    }
    poolLength = static_cast<int32_t>(next);
  }
}

uint32_t Module::ComputeFlags() const {
  uint32_t f = 0;
  if (isHymnal) f |= kFlagHymnal;
  if (isInspiredVersion) f |= kFlagInspiredVersion;
  if (isBible) f |= kFlagBible;
  if (superscriptVerses) f |= kFlagSuperscriptVerses;
  if (isDoctrineAndCovenants) f |= kFlagDoctrineAndCovenants;
  if (isBookOfMormon) f |= kFlagBookOfMormon;
  if (isHelp) f |= kFlagHelp;
  return f;
}

Counters Module::GetCounters() const {
  return Counters{poolLength, bookNameCount, bookCount,  verseCount, labelCount,
                  wordCount,  wordRefCount,  labelFirst, labelLast,  wordFirst,
                  wordLast,   tokenTotal,    flags};
}

}  // namespace quillavor
