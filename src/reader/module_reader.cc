#include "reader/module_reader.h"

#include <zlib.h>

#include <array>
#include <cstring>

#include "model/module_format.h"
#include "platform/files.h"

namespace quillavor {

namespace {

// Images larger than this are not modules the format can describe.
constexpr uint64_t kMaxImageSize = uint64_t{1} << 31;

constexpr uint8_t kImageStart[8] = {4, 0, 0, 0, 13, 0, 0, 0};

class Cursor {
 public:
  explicit Cursor(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  int32_t Int32(std::string_view what) {
    Need(4, what);
    int32_t v;
    std::memcpy(&v, bytes_.data() + pos_, 4);
    pos_ += 4;
    return v;
  }

  // Reads a block header and checks it against the expected element size and
  // count (the counter of block 1 that counts the block). Returns the count.
  int64_t Header(std::string_view block, int32_t elementSize, int64_t expectedCount) {
    const size_t at = pos_;
    if (bytes_.size() - pos_ < 8) {
      throw FormatError(std::string(block) + ": block header missing at byte " +
                        std::to_string(at) + " (the image ends)");
    }
    const int32_t size = Int32(block);
    const int32_t count = Int32(block);
    if (size != elementSize) {
      throw FormatError(std::string(block) + ": block header at byte " + std::to_string(at) +
                        " has element size " + std::to_string(size) + ", expected " +
                        std::to_string(elementSize));
    }
    if (count < 0) {
      throw FormatError(std::string(block) + ": block header at byte " + std::to_string(at) +
                        " has a negative element count " + std::to_string(count));
    }
    if (count != expectedCount) {
      throw FormatError(std::string(block) + ": block header at byte " + std::to_string(at) +
                        " has element count " + std::to_string(count) + ", expected " +
                        std::to_string(expectedCount));
    }
    Need(static_cast<uint64_t>(count) * static_cast<uint64_t>(size), block);
    return count;
  }

  template <typename T>
  std::vector<T> Records(int64_t count) {
    std::vector<T> out(static_cast<size_t>(count));
    if (count > 0) std::memcpy(out.data(), bytes_.data() + pos_, sizeof(T) * out.size());
    pos_ += sizeof(T) * out.size();
    return out;
  }

  size_t pos() const { return pos_; }
  // Moves past bytes that Header has found to be there.
  void Skip(size_t n) { pos_ += n; }
  size_t remaining() const { return bytes_.size() - pos_; }

 private:
  void Need(uint64_t n, std::string_view what) {
    if (n > bytes_.size() - pos_) {
      throw FormatError(std::string(what) + ": needs " + std::to_string(n) + " bytes at byte " +
                        std::to_string(pos_) + ", but the image ends after " +
                        std::to_string(bytes_.size() - pos_));
    }
  }

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

}  // namespace

std::vector<uint8_t> InflateZlib(std::span<const uint8_t> compressed) {
  if (compressed.size() >= kMaxImageSize)
    throw FormatError("bad zlib stream: the file is too large");
  z_stream zs{};
  if (inflateInit2(&zs, 15) != Z_OK) throw FormatError("cannot start zlib decompression");
  struct End {
    z_stream* zs;
    ~End() { inflateEnd(zs); }
  } end{&zs};
  std::vector<uint8_t> out(std::max<size_t>(compressed.size() * 4, 4096));
  zs.next_in = const_cast<Bytef*>(compressed.data());
  zs.avail_in = static_cast<uInt>(compressed.size());
  for (;;) {
    if (zs.total_out == out.size()) {
      if (out.size() >= kMaxImageSize)
        throw FormatError("bad zlib stream: the image exceeds 2 GiB");
      out.resize(std::min<size_t>(out.size() * 2, kMaxImageSize));
    }
    zs.next_out = out.data() + zs.total_out;
    zs.avail_out = static_cast<uInt>(out.size() - zs.total_out);
    const int rc = inflate(&zs, Z_NO_FLUSH);
    if (rc == Z_STREAM_END) break;
    if (rc == Z_OK) continue;
    if (rc == Z_BUF_ERROR && zs.avail_out == 0) continue;  // needs more room
    if (rc == Z_BUF_ERROR) throw FormatError("bad zlib stream: the stream ends early");
    throw FormatError(std::string("bad zlib stream: ") +
                      (zs.msg ? zs.msg : "error " + std::to_string(rc)));
  }
  if (zs.avail_in != 0) {
    throw FormatError("bad zlib stream: " + std::to_string(zs.avail_in) +
                      " bytes follow the end of the stream");
  }
  out.resize(zs.total_out);
  return out;
}

std::vector<uint8_t> ModuleImageFromFileBytes(std::span<const uint8_t> fileBytes) {
  if (fileBytes.size() >= 8 && std::memcmp(fileBytes.data(), kImageStart, 8) == 0) {
    return std::vector<uint8_t>(fileBytes.begin(), fileBytes.end());
  }
  if (fileBytes.size() < 2) throw FormatError("bad zlib stream: the file is too short");
  return InflateZlib(fileBytes);
}

namespace {

// The bytes of `image` in 16-bit units (the last one padded with 0).
std::vector<char16_t> ToUnits(const std::vector<uint8_t>& image) {
  std::vector<char16_t> units((image.size() + 1) / 2);
  if (!image.empty()) std::memcpy(units.data(), image.data(), image.size());
  return units;
}

}  // namespace

ModuleView::ModuleView(std::vector<uint8_t> image)
    : units_(ToUnits(image)), imageBytes_(image.size()) {
  std::vector<uint8_t>().swap(image);
  Parse();
}

ModuleView::ModuleView(std::vector<char16_t> units, size_t bytes)
    : units_(std::move(units)), imageBytes_(bytes) {
  if (units_.size() * 2 < bytes) throw FormatError("image storage shorter than the image");
  Parse();
}

std::span<const uint8_t> ModuleView::image() const {
  return {reinterpret_cast<const uint8_t*>(units_.data()), imageBytes_};
}

std::span<const char16_t> ModuleView::pool() const {
  if (poolUnits_ == 0) return {};
  return {units_.data() + format::kPoolOffset / 2, poolUnits_};
}

void ModuleView::Parse() {
  Cursor c(image());
  c.Header("block 1 (counters)", 4, format::kCountersBlockCount);
  std::memcpy(&counters_, image().data() + c.pos(), sizeof counters_);
  c.Records<int32_t>(format::kCountersBlockCount);

  const int64_t P = c.Header("block 2 (pool)", 2, counters_.poolLength);
  static_assert(format::kPoolOffset % 2 == 0, "the pool is read in place as 16-bit units");
  if (P > 0 && c.pos() != static_cast<size_t>(format::kPoolOffset)) {
    throw FormatError("block 2 (pool) does not start at byte " +
                      std::to_string(format::kPoolOffset));
  }
  poolUnits_ = static_cast<size_t>(P);
  c.Skip(static_cast<size_t>(P) * 2);

  bookNames_ =
      c.Records<BookNameRecord>(c.Header("block 3 (book names)", 8, counters_.bookNameCount));
  books_ = c.Records<BookRecord>(c.Header("block 4 (books)", 40, counters_.bookCount));
  verses_ = c.Records<VerseRecord>(c.Header("block 5 (verses)", 16, counters_.verseCount));
  words_ = c.Records<DictEntry>(c.Header("block 6 (words)", 20, counters_.wordCount));
  wordRefs_ = c.Records<WordRef>(c.Header("block 7 (occurrences)", 12, counters_.wordRefCount));
  if (c.remaining() != 0) {
    throw FormatError("the image holds " + std::to_string(c.remaining()) + " bytes after block 7");
  }
}

std::u16string_view ModuleView::String(int32_t index, std::string_view what) const {
  Reading<std::u16string_view> s = TryString(index, what);
  if (!s) throw FormatError(s.damage());
  return *s;
}

Reading<std::u16string_view> ModuleView::TryString(int32_t index, std::string_view what) const {
  using Result = Reading<std::u16string_view>;
  if (index < 0 || static_cast<size_t>(index) >= pool().size()) {
    return Result::Damaged(std::string(what) + " " + std::to_string(index) +
                           " out of range (pool length " + std::to_string(pool().size()) + ")");
  }
  const char16_t* start = pool().data() + index;
  const char16_t* end = pool().data() + pool().size();
  const char16_t* p = start;
  while (p < end && *p != 0) ++p;
  if (p == end) {
    return Result::Damaged(std::string(what) + " " + std::to_string(index) +
                           ": the string has no terminator before the end of the pool");
  }
  return Result::Intact(std::u16string_view(start, static_cast<size_t>(p - start)));
}

std::u16string_view ModuleView::OptionalString(int32_t index, std::string_view what) const {
  return index == kNone ? std::u16string_view() : String(index, what);
}

ImageEntry ModuleView::ImageAt(int32_t position) const {
  Reading<ImageEntry> e = TryImageAt(position);
  if (!e) throw FormatError(e.damage());
  return *e;
}

Reading<ImageEntry> ModuleView::TryImageAt(int32_t position) const {
  using Result = Reading<ImageEntry>;
  const int64_t offset = format::kPoolOffset + 2 * int64_t{position};
  const int64_t poolEnd = format::kPoolOffset + 2 * static_cast<int64_t>(pool().size());
  if (position < 0 || offset + format::kImageEntryHeaderSize > poolEnd) {
    return Result::Damaged("image position " + std::to_string(position) +
                           " out of range (pool length " + std::to_string(pool().size()) + ")");
  }
  const uint8_t* p = image().data() + offset;
  const uint32_t zero = static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16 | p[3] << 24);
  const uint32_t length = format::ReadBigEndianLength(std::span<const uint8_t, 4>(p + 4, 4));
  if (zero != 0) {
    return Result::Damaged("image position " + std::to_string(position) +
                           ": the entry does not start with a 32-bit zero");
  }
  if (offset + format::kImageEntryHeaderSize + int64_t{length} > poolEnd) {
    return Result::Damaged("image position " + std::to_string(position) + ": length " +
                           std::to_string(length) + " runs past the pool");
  }
  return Result::Intact(
      ImageEntry{position, offset, length, std::span<const uint8_t>(p + format::kImageEntryHeaderSize, length)});
}

namespace {
template <typename T>
bool InRange(const std::vector<T>& v, int32_t index) {
  return index >= 0 && static_cast<size_t>(index) < v.size();
}
template <typename T>
std::string OutOfRange(const std::vector<T>& v, int32_t index, std::string_view what,
                       const char* table) {
  return std::string(what) + " " + std::to_string(index) + " out of range (" + table + " count " +
         std::to_string(v.size()) + ")";
}
template <typename T>
const T& At(const std::vector<T>& v, int32_t index, std::string_view what, const char* table) {
  if (!InRange(v, index)) throw FormatError(OutOfRange(v, index, what, table));
  return v[static_cast<size_t>(index)];
}
template <typename T>
Reading<T> TryAt(const std::vector<T>& v, int32_t index, std::string_view what, const char* table) {
  if (!InRange(v, index)) return Reading<T>::Damaged(OutOfRange(v, index, what, table));
  return Reading<T>::Intact(v[static_cast<size_t>(index)]);
}
}  // namespace

const BookRecord& ModuleView::Book(int32_t i, std::string_view what) const {
  return At(books_, i, what, "book");
}
const VerseRecord& ModuleView::Verse(int32_t i, std::string_view what) const {
  return At(verses_, i, what, "verse");
}
const DictEntry& ModuleView::Word(int32_t i, std::string_view what) const {
  return At(words_, i, what, "word");
}
const WordRef& ModuleView::Ref(int32_t i, std::string_view what) const {
  return At(wordRefs_, i, what, "occurrence");
}
const BookNameRecord& ModuleView::BookName(int32_t i, std::string_view what) const {
  return At(bookNames_, i, what, "book name");
}

Reading<BookRecord> ModuleView::TryBook(int32_t i, std::string_view what) const {
  return TryAt(books_, i, what, "book");
}
Reading<VerseRecord> ModuleView::TryVerse(int32_t i, std::string_view what) const {
  return TryAt(verses_, i, what, "verse");
}
Reading<DictEntry> ModuleView::TryWord(int32_t i, std::string_view what) const {
  return TryAt(words_, i, what, "word");
}
Reading<WordRef> ModuleView::TryRef(int32_t i, std::string_view what) const {
  return TryAt(wordRefs_, i, what, "occurrence");
}

namespace {

// Inflates the zlib stream of `file` into `out`, or, when `out` is empty,
// only counts the bytes it inflates to (into a small scratch buffer).
// Returns that count. Raises FormatError for a bad stream.
size_t InflateFile(files::FileReader& file, std::span<uint8_t> out) {
  constexpr size_t kPiece = size_t{1} << 20;
  z_stream zs{};
  if (inflateInit2(&zs, 15) != Z_OK) throw FormatError("cannot start zlib decompression");
  struct End {
    z_stream* zs;
    ~End() { inflateEnd(zs); }
  } end{&zs};
  std::vector<uint8_t> in(kPiece);
  std::vector<uint8_t> scratch(out.empty() ? kPiece : 0);
  uint64_t total = 0;
  bool ended = false;
  while (!ended) {
    if (zs.avail_in == 0) {
      zs.avail_in = static_cast<uInt>(file.Read(in));
      zs.next_in = in.data();
      if (zs.avail_in == 0) throw FormatError("bad zlib stream: the stream ends early");
    }
    if (out.empty()) {
      zs.next_out = scratch.data();
      zs.avail_out = static_cast<uInt>(scratch.size());
    } else {
      if (total >= out.size()) {
        // Room for one byte more than the first pass counted: a file that
        // changed in between is caught, not overrun.
        throw FormatError("bad zlib stream: the file changed while it was read");
      }
      zs.next_out = out.data() + total;
      zs.avail_out = static_cast<uInt>(std::min<uint64_t>(out.size() - total, kPiece));
    }
    const uInt before = zs.avail_out;
    const int rc = inflate(&zs, Z_NO_FLUSH);
    total += before - zs.avail_out;
    if (total >= kMaxImageSize) throw FormatError("bad zlib stream: the image exceeds 2 GiB");
    if (rc == Z_STREAM_END) {
      ended = true;
    } else if (rc != Z_OK && !(rc == Z_BUF_ERROR && zs.avail_out == 0)) {
      throw FormatError(std::string("bad zlib stream: ") +
                        (zs.msg ? zs.msg : "error " + std::to_string(rc)));
    }
    if (!out.empty() && total == out.size() && !ended && zs.avail_out == 0) {
      // Full: the stream must end without more output.
      uint8_t extra = 0;
      zs.next_out = &extra;
      zs.avail_out = 1;
      const int last = inflate(&zs, Z_NO_FLUSH);
      if (last != Z_STREAM_END || zs.avail_out == 0) {
        throw FormatError("bad zlib stream: the file changed while it was read");
      }
      ended = true;
    }
  }
  uint64_t trailing = zs.avail_in;
  for (size_t n = file.Read(in); n != 0; n = file.Read(in)) trailing += n;
  if (trailing != 0) {
    throw FormatError("bad zlib stream: " + std::to_string(trailing) +
                      " bytes follow the end of the stream");
  }
  return static_cast<size_t>(total);
}

}  // namespace

ModuleView ReadModuleFile(std::u16string_view path) {
  files::FileReader file(path);
  const auto size = static_cast<size_t>(file.Size());
  std::array<uint8_t, 8> start{};
  const size_t head = std::min(size, start.size());
  file.ReadExactly(std::span(start).first(head));
  if (head == start.size() && std::memcmp(start.data(), kImageStart, 8) == 0) {
    // A raw file: the image itself.
    std::vector<char16_t> units((size + 1) / 2);
    auto* bytes = reinterpret_cast<uint8_t*>(units.data());
    std::memcpy(bytes, start.data(), head);
    file.ReadExactly(std::span(bytes + head, size - head));
    return ModuleView(std::move(units), size);
  }
  if (size < 2) throw FormatError("bad zlib stream: the file is too short");
  file.Rewind();
  const size_t imageSize = InflateFile(file, {});
  if (imageSize == 0) return ModuleView(std::vector<char16_t>(), 0);
  std::vector<char16_t> units((imageSize + 1) / 2);
  file.Rewind();
  InflateFile(file, std::span(reinterpret_cast<uint8_t*>(units.data()), imageSize));
  return ModuleView(std::move(units), imageSize);
}

}  // namespace quillavor
