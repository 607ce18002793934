#include "output/module_writer.h"

#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>

#include "model/module.h"
#include "model/module_format.h"
#include "output/parallel_deflate.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "platform/thread_pool.h"

namespace quillavor {

namespace {

// Each part of the image is compressed at the fastest libdeflate level that
// keeps it no larger than zlib's level 9 makes it (measured on the KJV image,
// each part alone), so that the file stays smaller than zlib's whatever the
// mix of text and tables:
// - the pool (text, then any embedded images): level 8; level 7 makes the
//   text 1.4% larger than zlib's level 9 does;
// - the tables (books, verses, words and their occurrences, fixed-size
//   records): level 5, which makes them smaller than levels 6 to 9 do, in a
//   third of level 8's time.
constexpr int kPoolLevel = 8;
constexpr int kTablesLevel = 5;
// Estimated compression time per byte of each part at its level (only the
// ratio matters): the pool's text takes about five times as long.
constexpr uint32_t kPoolByteCost = 5;
constexpr uint32_t kTablesByteCost = 1;
// The estimated cost of one chunk, about 45 ms of work on the machine of
// BENCHMARKS.md: each part is cut into chunks of about this cost, which
// balance well on a few threads; each chunk boundary costs about 600 bytes.
// An image of less than two chunks' cost is one stream at the pool's level.
constexpr uint64_t kChunkCost = 4'500'000;
// The tables come last and are cut finer, into chunks of half that cost: the
// threads take chunks in order, and small last chunks keep every thread busy
// to the end, whatever the number of chunks before them. On the KJV (11 pool
// chunks, 5 table chunks instead of 2) the compression on two threads took a
// median 3 to 7 ms less, for 1.9 KB of file.
constexpr uint64_t kTablesChunkCost = kChunkCost / 2;

class ImageBuilder {
 public:
  explicit ImageBuilder(size_t size) : limit_(size) {
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
    // The image is read while it is still assembled (ImageAssembler): it must
    // never move, so it never grows past its computed size.
    if (n > limit_ - bytes_.size()) {
      throw OutputError("the module image outgrows its computed size");
    }
    const auto* p = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + n);
  }
  void Zeros(size_t n) {
    if (n > limit_ - bytes_.size()) {
      throw OutputError("the module image outgrows its computed size");
    }
    bytes_.insert(bytes_.end(), n, 0);
  }
  template <typename T>
  void Block(DynArray<T>& table, int32_t count) {
    Header(static_cast<int32_t>(sizeof(T)), count);
    if (count > 0) {
      (void)table[count - 1];  // raises when the count exceeds the table
      Raw(table.Data(), sizeof(T) * static_cast<size_t>(count));
    }
  }
  std::vector<uint8_t> Take() { return std::move(bytes_); }
  const uint8_t* Data() const { return bytes_.data(); }
  size_t Size() const { return bytes_.size(); }
  size_t Limit() const { return limit_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t limit_;  // the computed size; bytes_ holds at least as much room
};

// Assembles the image in two steps: the counters and the pool, then the
// tables. The pool's part can be compressed while the tables are assembled:
// the buffer is reserved whole first and never moves.
class ImageAssembler {
 public:
  explicit ImageAssembler(Module& m) : m_(m), out_(CheckedSize(m)) {}

  // The counters block and the pool block (text, then the image entries).
  void Head() {
    Module& m = m_;
    out_.Header(4, format::kCountersBlockCount);
    const Counters counters = m.GetCounters();
    out_.Raw(&counters, sizeof counters);

    const int64_t W = m.poolWritten;
    out_.Header(2, m.poolLength);
    if (W > 0) out_.Raw(m.pool.Data(), static_cast<size_t>(W) * 2);
    for (int64_t i = 0; i < m.images.Length(); ++i) {
      const ImageRecord& image = m.images[i];
      out_.Int32(0);
      const std::array<uint8_t, 4> length =
          format::BigEndianLength(static_cast<uint32_t>(image.length));
      out_.Raw(length.data(), length.size());
      const size_t bytes = static_cast<size_t>(image.length);
      if (image.data.size() < bytes) throw OutputError("image data shorter than its length");
      out_.Raw(image.data.data(), bytes);
      out_.Zeros(static_cast<size_t>(image.paddedLength - image.length));
    }
  }

  // The five tables; the image is then complete.
  void Tables() {
    Module& m = m_;
    out_.Block(m.bookNames, m.bookNameCount);
    out_.Block(m.books, m.bookCount);
    out_.Block(m.verses, m.verseCount);
    out_.Block(m.words, m.wordCount);
    out_.Block(m.wordRefs, m.wordRefCount);
    if (out_.Size() != out_.Limit()) {
      throw OutputError("the module image is shorter than its computed size");
    }
  }

  // How much is assembled, and the whole extent of the image.
  size_t Assembled() const { return out_.Size(); }
  std::span<const uint8_t> Extent() const { return {out_.Data(), out_.Limit()}; }
  std::vector<uint8_t> Take() { return out_.Take(); }

 private:
  // Shortens the tables, stores the flags, checks the pool and returns the
  // exact image size.
  static size_t CheckedSize(Module& m) {
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
    // Seven block headers, the counters, the pool, the tables.
    const auto table = [](size_t recordSize, int32_t count) {
      return recordSize * static_cast<size_t>(std::max(0, count));
    };
    return 7 * static_cast<size_t>(format::kBlockHeaderSize) + sizeof(Counters) +
           2 * static_cast<size_t>(P) + table(sizeof(BookNameRecord), m.bookNameCount) +
           table(sizeof(BookRecord), m.bookCount) + table(sizeof(VerseRecord), m.verseCount) +
           table(sizeof(DictEntry), m.wordCount) + table(sizeof(WordRef), m.wordRefCount);
  }

  Module& m_;
  ImageBuilder out_;
};

}  // namespace

std::vector<uint8_t> AssembleImage(Module& m) {
  ImageAssembler image(m);
  image.Head();
  image.Tables();
  return image.Take();
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

namespace {

// Where the pool block ends: its header's unit count; 0 when that count does
// not fit the image (all of it is then costed as tables).
size_t PoolEnd(std::span<const uint8_t> image) {
  constexpr auto kPoolStart = static_cast<size_t>(format::kPoolOffset);
  if (image.size() < kPoolStart) return 0;
  int32_t units = 0;
  std::memcpy(&units, image.data() + kPoolStart - 4, 4);
  if (units < 0 || static_cast<size_t>(units) > (image.size() - kPoolStart) / 2) return 0;
  return kPoolStart + 2 * static_cast<size_t>(units);
}

}  // namespace

std::vector<PlannedChunk> PlanImageChunks(std::span<const uint8_t> image) {
  if (image.empty()) return {};
  const size_t poolEnd = PoolEnd(image);
  struct Part {
    size_t begin, end;
    uint32_t costPerByte;
    int level;
    uint64_t chunkCost;
  };
  const Part parts[2] = {{0, poolEnd, kPoolByteCost, kPoolLevel, kChunkCost},
                         {poolEnd, image.size(), kTablesByteCost, kTablesLevel, kTablesChunkCost}};
  uint64_t total = 0;
  for (const Part& part : parts) total += uint64_t{part.costPerByte} * (part.end - part.begin);
  if (total < 2 * kChunkCost) return {{image.size(), kPoolLevel}};
  std::vector<PlannedChunk> plan;
  for (const Part& part : parts) {
    const CostSpan span[1] = {{part.end - part.begin, part.costPerByte}};
    for (const size_t end : PlanChunks(span, part.chunkCost)) {
      plan.push_back({part.begin + end, part.level});
    }
  }
  return plan;
}

std::vector<uint8_t> CompressImage(std::span<const uint8_t> image, ThreadPool* pool) {
  const std::vector<PlannedChunk> plan = PlanImageChunks(image);
  if (pool != nullptr) return ZlibCompressChunks(image, plan, *pool);
  // Without a pool: one thread per core, and none started for one chunk.
  ThreadPool own(plan.size() > 1 ? 0 : 1);
  return ZlibCompressChunks(image, plan, own);
}

PreparedModuleFile PrepareModuleFile(Module& module, std::u16string_view path, bool writeRaw,
                                     Progress& progress, ThreadPool* pool) {
  PreparedModuleFile file;
  file.writeRaw = writeRaw;
  std::optional<ImageAssembler> image;
  {
    StageTimer timer(progress, Stage::kImageAssembly);
    // The phase heads the stage, so that front ends tell it from the others.
    std::u16string phase = u"Write ";
    phase += path;
    if (writeRaw) phase += u" && .raw";
    progress.Phase(phase);
    CheckModuleFitsTheFormat(module);
    image.emplace(module);
    image->Head();
    // The image bytes are in the assembled image now; release them.
    for (int64_t i = 0; i < module.images.Length(); ++i) {
      module.images[i].data.Release();
    }
    file.module = std::make_unique<files::AtomicFileWriter>(path, files::LinkAtTarget::kReplaceTarget);
  }
  {
    // The pool's chunks are compressed while the tables are assembled, and
    // the stream goes to the temporary file chunk by chunk as it is made.
    StageTimer timer(progress, Stage::kCompression);
    const std::span<const uint8_t> extent = image->Extent();
    const std::vector<PlannedChunk> plan = PlanImageChunks(extent);
    const DataStillFilled tables{image->Assembled(), [&image] { image->Tables(); }};
    files::AtomicFileWriter& out = *file.module;
    const StreamSink sink = [&out](std::span<const uint8_t> piece) { out.Write(piece); };
    if (pool != nullptr) {
      ZlibCompressChunksTo(extent, plan, *pool, sink, &tables);
    } else {
      ThreadPool own(plan.size() > 1 ? 0 : 1);
      ZlibCompressChunksTo(extent, plan, own, sink, &tables);
    }
  }
  if (writeRaw) file.image = image->Take();
  return file;
}

void WriteModuleFile(PreparedModuleFile& file, std::u16string_view path, Progress& progress) {
  StageTimer timer(progress, Stage::kFileWrite);
  if (!file.module) throw std::logic_error("WriteModuleFile: the module file is not prepared");
  file.module->Commit();
  file.module.reset();
  if (file.writeRaw) {
    std::u16string rawPath(path);
    rawPath += u".raw";
    files::WriteFileAtomically(rawPath, file.image, files::LinkAtTarget::kReplaceLink);
  }
}

void WriteModule(Module& module, std::u16string_view path, bool writeRaw, Progress& progress,
                 ThreadPool* pool) {
  PreparedModuleFile file = PrepareModuleFile(module, path, writeRaw, progress, pool);
  WriteModuleFile(file, path, progress);
}

}  // namespace quillavor
