#include "output/module_writer.h"

#include <libdeflate.h>

#include <array>
#include <cstring>
#include <memory>

#include "model/module.h"
#include "model/module_format.h"
#include "platform/files.h"
#include "platform/memory.h"

namespace quillavor {

namespace {

constexpr int kCompressionLevel = 9;

class ImageBuilder {
 public:
  explicit ImageBuilder(size_t size) {
    bytes_.reserve(size);
    memory::AdviseLargePages(bytes_.data(), size);
  }

  void Int32(int32_t v) { Raw(&v, 4); }
  void Header(int32_t elementSize, int64_t count) {
    if (count < 0 || count > INT32_MAX) {
      throw OutputError("cannot write a block of " + std::to_string(count) + " elements");
    }
    Int32(elementSize);
    Int32(static_cast<int32_t>(count));
  }
  void Raw(const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + n);
  }
  void Zeros(size_t n) { bytes_.insert(bytes_.end(), n, 0); }
  template <typename T>
  void Block(DynArray<T>& table, int32_t count) {
    Header(static_cast<int32_t>(sizeof(T)), count);
    if (count > 0) {
      (void)table[count - 1];  // raises when the count exceeds the table
      Raw(table.Data(), sizeof(T) * static_cast<size_t>(count));
    }
  }
  std::vector<uint8_t> Take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace

std::vector<uint8_t> AssembleImage(Module& m) {
  m.books.SetLength(m.bookCount);
  m.verses.SetLength(m.verseCount);
  m.wordRefs.SetLength(m.wordRefCount);
  m.flags = m.ComputeFlags();

  const int64_t P = m.poolLength;
  const int64_t W = m.poolWritten;
  int64_t imageUnits = 0;
  for (int64_t i = 0; i < m.images.Length(); ++i) {
    imageUnits += (m.images[i].paddedLength + format::kImageEntryHeaderSize) / 2;
  }
  if (W < 0 || W > m.pool.Length() || W + imageUnits != P) {
    throw OutputError("the pool is not finalised (poolLength " + std::to_string(P) +
                      ", poolWritten " + std::to_string(W) + ")");
  }

  // The exact image size: seven block headers, the counters, the pool, the tables.
  const auto table = [](size_t recordSize, int32_t count) {
    return recordSize * static_cast<size_t>(std::max(0, count));
  };
  const size_t size =
      7 * static_cast<size_t>(format::kBlockHeaderSize) + sizeof(Counters) +
      2 * static_cast<size_t>(P) + table(sizeof(BookNameRecord), m.bookNameCount) +
      table(sizeof(BookRecord), m.bookCount) + table(sizeof(VerseRecord), m.verseCount) +
      table(sizeof(DictEntry), m.wordCount) + table(sizeof(WordRef), m.wordRefCount);
  ImageBuilder out(size);

  out.Header(4, format::kCountersBlockCount);
  const Counters counters = m.GetCounters();
  out.Raw(&counters, sizeof counters);

  out.Header(2, P);
  if (W > 0) out.Raw(m.pool.Data(), static_cast<size_t>(W) * 2);
  for (int64_t i = 0; i < m.images.Length(); ++i) {
    const ImageRecord& image = m.images[i];
    out.Int32(0);
    const std::array<uint8_t, 4> length =
        format::BigEndianLength(static_cast<uint32_t>(image.length));
    out.Raw(length.data(), length.size());
    const size_t bytes = static_cast<size_t>(image.length);
    if (image.data.size() < bytes) throw OutputError("image data shorter than its length");
    out.Raw(image.data.data(), bytes);
    out.Zeros(static_cast<size_t>(image.paddedLength - image.length));
  }

  out.Block(m.bookNames, m.bookNameCount);
  out.Block(m.books, m.bookCount);
  out.Block(m.verses, m.verseCount);
  out.Block(m.words, m.wordCount);
  out.Block(m.wordRefs, m.wordRefCount);
  return out.Take();
}

std::vector<uint8_t> CompressImage(std::span<const uint8_t> image) {
  struct Free {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
  };
  std::unique_ptr<libdeflate_compressor, Free> compressor(
      libdeflate_alloc_compressor(kCompressionLevel));
  if (!compressor) throw std::bad_alloc();
  // The bound is far above what a module compresses to: the buffer is left
  // uninitialised, so that only the pages the stream fills are ever touched,
  // and the stream is then copied out at its exact size. Both buffers take
  // large pages: a first touch of a small page costs more than its copying.
  const size_t bound = libdeflate_zlib_compress_bound(compressor.get(), image.size());
  const std::unique_ptr<uint8_t[]> buffer(new uint8_t[bound]);
  memory::AdviseLargePages(buffer.get(), bound);
  const size_t n =
      libdeflate_zlib_compress(compressor.get(), image.data(), image.size(), buffer.get(), bound);
  if (n == 0) {
    throw OutputError("cannot compress the module image of " + std::to_string(image.size()) +
                      " bytes");
  }
  std::vector<uint8_t> out;
  out.reserve(n);
  memory::AdviseLargePages(out.data(), n);
  out.assign(buffer.get(), buffer.get() + n);
  return out;
}

void WriteModule(Module& module, std::u16string_view path, bool writeRaw, Progress& progress) {
  std::vector<uint8_t> image;
  {
    StageTimer timer(progress, Stage::kImageAssembly);
    // The phase heads the stage, so that front ends tell it from the others.
    std::u16string phase = u"Write ";
    phase += path;
    if (writeRaw) phase += u" && .raw";
    progress.Phase(phase);
    image = AssembleImage(module);
    // The image bytes are in the assembled image now; release them.
    for (int64_t i = 0; i < module.images.Length(); ++i) {
      std::vector<uint8_t>().swap(module.images[i].data);
    }
  }
  std::vector<uint8_t> compressed;
  {
    StageTimer timer(progress, Stage::kCompression);
    compressed = CompressImage(image);
  }
  StageTimer timer(progress, Stage::kFileWrite);
  files::WriteFileAtomically(path, compressed);
  if (writeRaw) {
    std::u16string rawPath(path);
    rawPath += u".raw";
    files::WriteFile(rawPath, image);
  }
}

}  // namespace quillavor
