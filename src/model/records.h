// The fixed-size records of a Module. Every record is a run of little-endian
// 32-bit fields without padding, so tables go to the module file as raw images;
// the block layout around them is in model/module_format.h.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillavor {

static_assert(std::endian::native == std::endian::little,
              "tables are written as raw little-endian images");

// -1 means "none" in every index field.
inline constexpr int32_t kNone = -1;

// One per distinct book name tag.
struct BookNameRecord {
  int32_t name;      // pool index of the name
  int32_t lastBook;  // most recent book with this name, -1 until one exists
};

// Values of BookRecord::bookFlags.
inline constexpr int32_t kBookSuppress = 1;     // header carried "<suppress>"
inline constexpr int32_t kBookPlainLayout = 2;  // no layout tag met in its verses yet
inline constexpr int32_t kBookNoSibLink = 4;    // header carried "<nosiblink>"

// One per book header line, plus the Concordance and its letter books.
struct BookRecord {
  int32_t prevSameName;
  int32_t nextSameName;
  int32_t prevName;
  int32_t nextName;
  int32_t title;      // pool index
  int32_t note;       // pool index or -1
  int32_t abbrev;     // pool index or -1
  int32_t firstText;  // first verse of the book, -1 while none
  int32_t nameIndex;  // index in bookNames
  int32_t bookFlags;
};

// One per verse line.
struct VerseRecord {
  int32_t book;
  int32_t label;  // pool index of the interned label, -1 when none
  int32_t text;   // pool index into the pool copy of the source line
  int32_t next;   // next verse of the same book, -1 at the end
};

// An entry of the two sorted dictionaries (words and labels).
struct DictEntry {
  int32_t text;
  int32_t prev;
  int32_t next;
  int32_t firstRef;    // words: head of the occurrence list; labels: -1
  int32_t letterBook;  // words: Concordance letter book; labels: 0
};

// One per indexed word occurrence.
struct WordRef {
  int32_t next;
  int32_t verse;
  uint32_t position;  // bits 0-17 offset (capped), bits 18-31 ordinal (capped)
};

inline constexpr uint32_t kMaxWordOffset = 131071;  // 18 bits
inline constexpr uint32_t kMaxWordOrdinal = 16383;  // 14 bits
inline constexpr uint32_t PackWordPosition(uint32_t offset, uint32_t ordinal) {
  return (offset > kMaxWordOffset ? kMaxWordOffset : offset) |
         ((ordinal > kMaxWordOrdinal ? kMaxWordOrdinal : ordinal) << 18);
}
inline constexpr uint32_t WordOffset(uint32_t position) { return position & 0x3FFFF; }
inline constexpr uint32_t WordOrdinal(uint32_t position) { return position >> 18; }

static_assert(sizeof(BookNameRecord) == 8);
static_assert(sizeof(BookRecord) == 40);
static_assert(sizeof(VerseRecord) == 16);
static_assert(sizeof(DictEntry) == 20);
static_assert(sizeof(WordRef) == 12);

// Read-only bytes that several holders may share (the records of one image
// file named by two spellings hold one copy); freed when the last holder
// releases them. Empty bytes take no storage.
class SharedBytes {
 public:
  SharedBytes() = default;
  SharedBytes(std::vector<uint8_t> bytes)  // NOLINT: a vector is taken as it is
      : bytes_(bytes.empty() ? nullptr
                             : std::make_shared<const std::vector<uint8_t>>(std::move(bytes))) {}
  SharedBytes(std::initializer_list<uint8_t> bytes) : SharedBytes(std::vector<uint8_t>(bytes)) {}

  size_t size() const { return bytes_ ? bytes_->size() : 0; }
  bool empty() const { return size() == 0; }
  const uint8_t* data() const { return bytes_ ? bytes_->data() : nullptr; }
  const uint8_t* begin() const { return data(); }
  const uint8_t* end() const { return data() + size(); }
  uint8_t operator[](size_t i) const { return (*bytes_)[i]; }
  // This holder lets go of the bytes.
  void Release() { bytes_.reset(); }
  bool SharedWith(const SharedBytes& other) const { return bytes_ && bytes_ == other.bytes_; }

 private:
  std::shared_ptr<const std::vector<uint8_t>> bytes_;
};

// A list of int32 that holds one element without an allocation: most images
// are referenced once, and a source may hold millions of them.
class UseList {
 public:
  using value_type = int32_t;
  using const_iterator = const int32_t*;
  using iterator = const_iterator;

  UseList() = default;
  UseList(const std::vector<int32_t>& values) {  // NOLINT: a vector is taken as it is
    for (int32_t v : values) push_back(v);
  }
  UseList(const UseList& other) : UseList(std::vector<int32_t>(other.begin(), other.end())) {}
  UseList(UseList&&) noexcept = default;
  UseList& operator=(const UseList& other) { return *this = UseList(other); }
  UseList& operator=(UseList&&) noexcept = default;

  void push_back(int32_t v) {
    if (size_ == 0) {
      first_ = v;
    } else {
      if (!more_) more_ = std::make_unique<std::vector<int32_t>>(1, first_);
      more_->push_back(v);
    }
    ++size_;
  }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const int32_t* begin() const { return more_ ? more_->data() : &first_; }
  const int32_t* end() const { return begin() + size_; }
  int32_t operator[](size_t i) const { return begin()[i]; }
  bool operator==(const std::vector<int32_t>& other) const {
    return std::equal(begin(), end(), other.begin(), other.end());
  }

 private:
  int32_t first_ = 0;
  uint32_t size_ = 0;
  std::unique_ptr<std::vector<int32_t>> more_;  // all elements, once there are two
};

// One per image (in memory only; the file carries length and bytes).
struct ImageRecord {
  int32_t useCount = 0;
  UseList useVerses;     // verseCount at each reference
  UseList usePositions;  // pool index of each 8-unit number field
  int32_t length = 0;
  int32_t paddedLength = 0;
  SharedBytes data;                        // at least paddedLength bytes
  std::optional<std::u16string> fileName;  // set for image files, empty inline
};

// The thirteen counters, block 1 of the module image, in file order.
struct Counters {
  int32_t poolLength;
  int32_t bookNameCount;
  int32_t bookCount;
  int32_t verseCount;
  int32_t labelCount;
  int32_t wordCount;
  int32_t wordRefCount;
  int32_t labelFirst;
  int32_t labelLast;
  int32_t wordFirst;
  int32_t wordLast;
  int32_t tokenTotal;
  uint32_t flags;
};
static_assert(sizeof(Counters) == 52);

// Bits of the flags word.
inline constexpr uint32_t kFlagHymnal = 0x001;
inline constexpr uint32_t kFlagInspiredVersion = 0x002;
inline constexpr uint32_t kFlagBible = 0x004;
inline constexpr uint32_t kFlagSuperscriptVerses = 0x020;
inline constexpr uint32_t kFlagDoctrineAndCovenants = 0x040;
inline constexpr uint32_t kFlagBookOfMormon = 0x080;
inline constexpr uint32_t kFlagHelp = 0x100;

}  // namespace quillavor
