#include "output/module_writer.h"

#include <cstring>

#include "model/module.h"
#include "model/module_format.h"
#include "output/parallel_deflate.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "platform/thread_pool.h"

namespace quillavor {

namespace {

// libdeflate's level 8: of the levels whose module files stay no larger than
// zlib's level 9 makes them, the fastest. On the KJV image, in chunks, it
// takes about a fifth less time than one level-9 stream for 0.2% more bytes
// (0.3% fewer than zlib's level 9); level 7 makes a larger file than zlib's.
constexpr int kCompressionLevel = 8;
// Estimated compression time per byte at that level: the pool's text takes
// about two and a half times as long as the tables' records (measured on the
// KJV image, each part alone).
constexpr uint32_t kPoolByteCost = 5;
constexpr uint32_t kTableByteCost = 2;
// The estimated cost of one chunk. The KJV image makes 8 chunks, which share
// out evenly on 1, 2, 4 or 8 threads; each chunk boundary costs under 1 KB.
// An image of less than 2.7 MB is one chunk, compressed as one stream.
constexpr uint64_t kChunkCost = 9'000'000;

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

int64_t ImageSize(const Module& m) {
  auto records = [](int64_t recordSize, int32_t count) {
    return recordSize * std::max<int64_t>(0, count);
  };
  return 7 * format::kBlockHeaderSize + int64_t{sizeof(Counters)} + 2 * int64_t{m.poolLength} +
         records(sizeof(BookNameRecord), m.bookNameCount) +
         records(sizeof(BookRecord), m.bookCount) + records(sizeof(VerseRecord), m.verseCount) +
         records(sizeof(DictEntry), m.wordCount) + records(sizeof(WordRef), m.wordRefCount);
}

namespace {

std::string DescribeImage(const ImageRecord& image, int64_t index) {
  std::string s = "image " + std::to_string(index + 1);
  if (image.fileName) return s + " (the file \"" + text::EncodeUtf8(*image.fileName) + "\")";
  return s + " (inline)";
}

}  // namespace

void CheckModuleFitsTheFormat(const Module& m) {
  // The image entries follow the written pool text in the order of the table,
  // each at the position its references name.
  const int64_t entries = 2 * (int64_t{m.poolLength} - m.poolWritten);
  int64_t size = ImageSize(m) - entries;  // everything but the image entries
  if (size >= format::kMaxImageSize) {
    throw SourceError("the module image would be " + std::to_string(size) +
                      " bytes without its images, but it must stay below 2 GiB; the module is "
                      "not written");
  }
  int64_t position = m.poolWritten;
  for (int64_t i = 0; i < m.images.Length(); ++i) {
    const ImageRecord& image = m.images[i];
    if (!image.usePositions.empty() && position > format::kMaxImageFieldValue) {
      throw SourceError(DescribeImage(image, i) + " would lie at pool position " +
                        std::to_string(position) + ", which does not fit the " +
                        std::to_string(format::kImageFieldWidth) +
                        " digits of its \"<image=\" references; the module is not written");
    }
    const int64_t entry = format::kImageEntryHeaderSize + image.paddedLength;
    size += entry;
    position += entry / 2;
    if (size >= format::kMaxImageSize) {
      throw SourceError("with " + DescribeImage(image, i) + " of " + std::to_string(image.length) +
                        " bytes the module image would be " + std::to_string(size) +
                        " bytes, but it must stay below 2 GiB; the module is not written");
    }
  }
}

std::vector<size_t> PlanImageChunks(std::span<const uint8_t> image) {
  // The pool block (text, then embedded images) ends where its header's unit
  // count says; the tables follow it.
  size_t poolEnd = 0;
  constexpr auto kPoolStart = static_cast<size_t>(format::kPoolOffset);
  if (image.size() >= kPoolStart) {
    int32_t units = 0;
    std::memcpy(&units, image.data() + kPoolStart - 4, 4);
    if (units >= 0 && static_cast<size_t>(units) <= (image.size() - kPoolStart) / 2) {
      poolEnd = kPoolStart + 2 * static_cast<size_t>(units);
    }
  }
  const CostSpan spans[2] = {{poolEnd, kPoolByteCost}, {image.size() - poolEnd, kTableByteCost}};
  return PlanChunks(spans, kChunkCost);
}

std::vector<uint8_t> CompressImage(std::span<const uint8_t> image, ThreadPool* pool) {
  const std::vector<size_t> plan = PlanImageChunks(image);
  if (pool != nullptr) return ZlibCompressChunks(image, plan, kCompressionLevel, *pool);
  // Without a pool: one thread per core, and none started for one chunk.
  ThreadPool own(plan.size() > 1 ? 0 : 1);
  return ZlibCompressChunks(image, plan, kCompressionLevel, own);
}

PreparedModuleFile PrepareModuleFile(Module& module, std::u16string_view path, bool writeRaw,
                                     Progress& progress, ThreadPool* pool) {
  PreparedModuleFile file;
  file.writeRaw = writeRaw;
  {
    StageTimer timer(progress, Stage::kImageAssembly);
    // The phase heads the stage, so that front ends tell it from the others.
    std::u16string phase = u"Write ";
    phase += path;
    if (writeRaw) phase += u" && .raw";
    progress.Phase(phase);
    CheckModuleFitsTheFormat(module);
    file.image = AssembleImage(module);
    // The image bytes are in the assembled image now; release them.
    for (int64_t i = 0; i < module.images.Length(); ++i) {
      module.images[i].data.Release();
    }
  }
  {
    StageTimer timer(progress, Stage::kCompression);
    file.compressed = CompressImage(file.image, pool);
  }
  if (!writeRaw) std::vector<uint8_t>().swap(file.image);
  return file;
}

void WriteModuleFile(const PreparedModuleFile& file, std::u16string_view path,
                     Progress& progress) {
  StageTimer timer(progress, Stage::kFileWrite);
  files::WriteFileAtomically(path, file.compressed, files::LinkAtTarget::kReplaceTarget);
  if (file.writeRaw) {
    std::u16string rawPath(path);
    rawPath += u".raw";
    files::WriteFileAtomically(rawPath, file.image, files::LinkAtTarget::kReplaceLink);
  }
}

void WriteModule(Module& module, std::u16string_view path, bool writeRaw, Progress& progress,
                 ThreadPool* pool) {
  WriteModuleFile(PrepareModuleFile(module, path, writeRaw, progress, pool), path, progress);
}

}  // namespace quillavor
