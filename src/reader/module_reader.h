// Decodes a module file (or raw file, or image in memory) back into typed,
// bounds-checked views of the counters, pool strings, image entries and the
// records of blocks 3 to 7. Every block header is validated; every index a
// caller follows is checked. Damage raises FormatError naming what is wrong,
// or, through the Try accessors, comes back as a value for callers that show
// what they can of a damaged module.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/errors.h"
#include "model/records.h"

namespace quillavor {

// The image inside a module file: zlib-inflated, or taken as it is when the
// bytes already start like a module image (a raw file).
std::vector<uint8_t> ModuleImageFromFileBytes(std::span<const uint8_t> fileBytes);
// Inflates one zlib stream; raises FormatError for a bad stream.
std::vector<uint8_t> InflateZlib(std::span<const uint8_t> compressed);

struct ImageEntry {
  int32_t position;    // code-unit position, as written into "<image=" fields
  int64_t byteOffset;  // offset of the entry in the module image
  uint32_t length;
  std::span<const uint8_t> bytes;
};

// What a Try accessor read: the value, or the damage that kept it from being
// read (the message the throwing accessor raises as FormatError).
template <typename T>
class Reading {
 public:
  static Reading Intact(T value) {
    Reading r;
    r.value_ = std::move(value);
    return r;
  }
  static Reading Damaged(std::string damage) {
    Reading r;
    r.damage_ = std::move(damage);
    return r;
  }

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  // Only when ok().
  const T& operator*() const { return *value_; }
  const T* operator->() const { return &*value_; }
  // Empty when ok().
  const std::string& damage() const { return damage_; }

 private:
  Reading() = default;
  std::optional<T> value_;
  std::string damage_;
};

class ModuleView {
 public:
  // Parses and validates a module image. Raises FormatError.
  explicit ModuleView(std::vector<uint8_t> image);
  // The same for an image of `bytes` bytes held in 16-bit units (storage
  // aligned for the pool, which is then read where it lies).
  ModuleView(std::vector<char16_t> units, size_t bytes);

  const Counters& counters() const { return counters_; }
  // The P code units of block 2 (pool strings and image entries together).
  std::span<const char16_t> pool() const;
  const std::vector<BookNameRecord>& bookNames() const { return bookNames_; }
  const std::vector<BookRecord>& books() const { return books_; }
  const std::vector<VerseRecord>& verses() const { return verses_; }
  const std::vector<DictEntry>& words() const { return words_; }
  const std::vector<WordRef>& wordRefs() const { return wordRefs_; }
  std::span<const uint8_t> image() const;

  // The 0-terminated string at a pool index. Raises FormatError when the index
  // is outside the pool or the string runs off its end. `what` names the field
  // for the message.
  std::u16string_view String(int32_t index, std::string_view what = "pool index") const;
  // Like String, but -1 gives an empty string.
  std::u16string_view OptionalString(int32_t index, std::string_view what = "pool index") const;

  // The image entry at a code-unit position. Raises FormatError.
  ImageEntry ImageAt(int32_t position) const;

  // Checked record access; `what` names the referring field for the message.
  const BookRecord& Book(int32_t index, std::string_view what = "book index") const;
  const VerseRecord& Verse(int32_t index, std::string_view what = "verse index") const;
  const DictEntry& Word(int32_t index, std::string_view what = "word index") const;
  const WordRef& Ref(int32_t index, std::string_view what = "occurrence index") const;
  const BookNameRecord& BookName(int32_t index, std::string_view what = "book name index") const;

  // The same reads without exceptions: damage is the Reading's value. The
  // string view lives as long as this view; records are copies.
  Reading<std::u16string_view> TryString(int32_t index, std::string_view what = "pool index") const;
  Reading<ImageEntry> TryImageAt(int32_t position) const;
  Reading<BookRecord> TryBook(int32_t index, std::string_view what = "book index") const;
  Reading<VerseRecord> TryVerse(int32_t index, std::string_view what = "verse index") const;
  Reading<DictEntry> TryWord(int32_t index, std::string_view what = "word index") const;
  Reading<WordRef> TryRef(int32_t index, std::string_view what = "occurrence index") const;

 private:
  void Parse();

  // The image, in units so that its pool (at an even byte offset) is read in
  // place: no copy of it is made.
  std::vector<char16_t> units_;
  size_t imageBytes_ = 0;
  Counters counters_{};
  size_t poolUnits_ = 0;
  std::vector<BookNameRecord> bookNames_;
  std::vector<BookRecord> books_;
  std::vector<VerseRecord> verses_;
  std::vector<DictEntry> words_;
  std::vector<WordRef> wordRefs_;
};

// Reads a module or raw file from disk. Raises IoError or FormatError. The
// file is read in pieces and a module file inflated twice, first to learn the
// image's size and then into one buffer of that size: the peak memory is the
// image and a constant (the record tables, blocks 3 to 7, are copied).
ModuleView ReadModuleFile(std::u16string_view path);

}  // namespace quillavor
