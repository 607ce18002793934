#include "output/parallel_deflate.h"

#include <libdeflate.h>
#include <zlib.h>

#include <climits>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

#include "model/errors.h"
#include "platform/memory.h"
#include "platform/thread_pool.h"

namespace quillavor {

namespace {

// The zlib header: deflate with a 32 KiB window, "maximum compression" as the
// level hint (the header a single-stream level-9 compressor writes).
constexpr uint8_t kZlibHeader[2] = {0x78, 0xDA};
// An empty stored block after its 3 header bits (all zero: not final, stored)
// and the padding to the byte boundary: LEN 0 and its complement NLEN.
constexpr uint8_t kEmptyStoredBlockLengths[4] = {0x00, 0x00, 0xFF, 0xFF};
// Room after a chunk's deflate data for the empty stored block: one more byte
// for header bits that do not fit in the last byte, and LEN/NLEN.
constexpr size_t kJoinRoom = 1 + sizeof kEmptyStoredBlockLengths;
// Output of the decoder per call while a chunk is scanned.
constexpr size_t kScanWindow = 64 * 1024;

// One chunk's raw deflate data, ready to be followed by the next chunk's.
struct DeflatedChunk {
  std::unique_ptr<uint8_t[]> bytes;
  size_t size = 0;
  uint32_t adler = 1;  // Adler-32 of the chunk's input
};

std::string ChunkName(size_t index, size_t begin, size_t end) {
  return "chunk " + std::to_string(index) + " (bytes " + std::to_string(begin) + " to " +
         std::to_string(end) + ")";
}

// Where a deflate stream's last block starts, and how its last byte ends.
struct StreamEnd {
  size_t finalBlockBit = 0;  // bit index of the last block's BFINAL bit
  unsigned unusedBits = 0;   // padding bits at the top of the last byte
};

// Decodes `deflated` with zlib, block by block, checking that it gives back
// `input` exactly, and finds where its last block starts. zlib's inflate with
// Z_BLOCK stops before each block header and after the last block, and
// reports how many bits of the last byte it took are still unread.
StreamEnd ScanDeflateStream(std::span<const uint8_t> deflated, std::span<const uint8_t> input,
                            const std::string& name) {
  if (deflated.size() > UINT_MAX) throw OutputError("compression failed: " + name + " is too large");
  z_stream zs{};
  if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) throw std::bad_alloc();
  struct End {
    z_stream* zs;
    ~End() { inflateEnd(zs); }
  } end{&zs};
  const auto scratch = std::make_unique<uint8_t[]>(kScanWindow);
  zs.next_in = const_cast<Bytef*>(deflated.data());
  zs.avail_in = static_cast<uInt>(deflated.size());
  StreamEnd result;  // the first block starts at bit 0
  bool endSeen = false;
  size_t produced = 0;
  for (;;) {
    zs.next_out = scratch.get();
    zs.avail_out = static_cast<uInt>(kScanWindow);
    const int ret = inflate(&zs, Z_BLOCK);
    const size_t got = kScanWindow - zs.avail_out;
    if (got > input.size() - produced ||
        std::memcmp(scratch.get(), input.data() + produced, got) != 0) {
      throw OutputError("compression failed: " + name + " does not decode to its input");
    }
    produced += got;
    if (ret == Z_STREAM_END) break;
    if (ret != Z_OK) {
      throw OutputError("compression failed: " + name + " does not decode (" +
                  (zs.msg != nullptr ? zs.msg : "zlib error " + std::to_string(ret)) + ")");
    }
    // 128: stopped at a block boundary; 64: the block before it was the last.
    if ((zs.data_type & 128) != 0) {
      const size_t consumed = deflated.size() - zs.avail_in;
      const auto unused = static_cast<unsigned>(zs.data_type & 7);
      if ((zs.data_type & 64) == 0) {
        result.finalBlockBit = consumed * 8 - unused;
      } else {
        endSeen = consumed == deflated.size();
        result.unusedBits = unused;
      }
    }
  }
  const size_t finalByte = result.finalBlockBit / 8;
  if (!endSeen || zs.avail_in != 0 || produced != input.size() || finalByte >= deflated.size() ||
      ((deflated[finalByte] >> (result.finalBlockBit % 8)) & 1) == 0) {
    throw OutputError("compression failed: " + name + " does not end as a whole deflate stream");
  }
  return result;
}

// Deflates input[begin, end). Unless it is the last chunk, its last block is
// made an ordinary one and an empty stored block brings the data to a byte
// boundary, so that the next chunk's blocks can follow directly.
DeflatedChunk DeflateChunk(std::span<const uint8_t> data, size_t index, size_t begin, size_t end,
                           bool last, int level) {
  struct Free {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
  };
  const std::unique_ptr<libdeflate_compressor, Free> compressor(libdeflate_alloc_compressor(level));
  if (!compressor) throw std::bad_alloc();
  const std::span<const uint8_t> input = data.subspan(begin, end - begin);
  const size_t bound = libdeflate_deflate_compress_bound(compressor.get(), input.size()) + kJoinRoom;
  DeflatedChunk chunk;
  // Left uninitialised, so that only the pages the data fills are touched.
  chunk.bytes.reset(new uint8_t[bound]);
  memory::AdviseLargePages(chunk.bytes.get(), bound);
  uint8_t* const out = chunk.bytes.get();
  chunk.size = libdeflate_deflate_compress(compressor.get(), input.data(), input.size(), out,
                                           bound - kJoinRoom);
  if (chunk.size == 0) throw OutputError("compression failed: no room for " + ChunkName(index, begin, end));
  chunk.adler = libdeflate_adler32(1, input.data(), input.size());
  if (last) return chunk;

  const StreamEnd streamEnd =
      ScanDeflateStream({out, chunk.size}, input, ChunkName(index, begin, end));
  out[streamEnd.finalBlockBit / 8] &= static_cast<uint8_t>(~(1u << (streamEnd.finalBlockBit % 8)));
  if (streamEnd.unusedBits != 0) {
    // The padding bits become the stored block's header (all zero) and its
    // padding; a header that does not fit spills into one more zero byte.
    out[chunk.size - 1] &= static_cast<uint8_t>((1u << (8 - streamEnd.unusedBits)) - 1);
    if (streamEnd.unusedBits < 3) out[chunk.size++] = 0;
    std::memcpy(out + chunk.size, kEmptyStoredBlockLengths, sizeof kEmptyStoredBlockLengths);
    chunk.size += sizeof kEmptyStoredBlockLengths;
  }
  return chunk;
}

}  // namespace

std::vector<size_t> PlanChunks(std::span<const CostSpan> spans, uint64_t chunkCost) {
  if (chunkCost == 0) throw std::invalid_argument("PlanChunks: chunk cost 0");
  uint64_t total = 0;
  size_t size = 0;
  for (const CostSpan& span : spans) {
    total += uint64_t{span.costPerByte} * span.bytes;
    size += span.bytes;
  }
  std::vector<size_t> ends;
  if (size == 0) return ends;
  const uint64_t count = std::max<uint64_t>(1, (total + chunkCost / 2) / chunkCost);
  // Chunk i ends at the first byte whose running cost reaches i/count of the
  // total; the integer arithmetic keeps the plan the same everywhere.
  size_t spanIndex = 0;
  size_t spanStart = 0;    // byte offset of spans[spanIndex]
  uint64_t costStart = 0;  // running cost at spanStart
  for (uint64_t i = 1; i < count; ++i) {
    const uint64_t target = total / count * i + total % count * i / count;
    while (spanIndex < spans.size() &&
           costStart + uint64_t{spans[spanIndex].costPerByte} * spans[spanIndex].bytes < target) {
      costStart += uint64_t{spans[spanIndex].costPerByte} * spans[spanIndex].bytes;
      spanStart += spans[spanIndex].bytes;
      ++spanIndex;
    }
    if (spanIndex == spans.size()) break;
    const uint64_t perByte = std::max<uint32_t>(1, spans[spanIndex].costPerByte);
    const size_t end = spanStart + static_cast<size_t>((target - costStart + perByte - 1) / perByte);
    if (end > (ends.empty() ? 0 : ends.back()) && end < size) ends.push_back(end);
  }
  ends.push_back(size);
  return ends;
}

void ZlibCompressChunksTo(std::span<const uint8_t> data, std::span<const PlannedChunk> plan,
                          ThreadPool& pool, const StreamSink& sink,
                          const DataStillFilled* filled) {
  const PlannedChunk noChunks[1] = {{0, 0}};
  if (data.empty() && plan.empty()) plan = noChunks;  // the stream of no data
  bool valid = !plan.empty() && plan.back().end == data.size();
  for (size_t i = 0; valid && i < plan.size(); ++i) {
    valid = i == 0 ? plan[0].end > 0 || data.empty() : plan[i].end > plan[i - 1].end;
    valid = valid && plan[i].level >= 0 && plan[i].level <= 12;
  }
  if (!valid) {
    throw std::invalid_argument(
        "ZlibCompressChunks: chunk ends must ascend to the data size, levels lie in 0 to 12");
  }
  const size_t ready = filled != nullptr ? filled->ready : data.size();

  // Chunks are handed to the sink in order by one thread at a time: the one
  // that finishes the first chunk not yet handed on hands on it and every
  // finished chunk after it, outside the lock, while the others go on
  // compressing.
  struct State {
    std::mutex mutex;
    std::condition_variable filledChanged;
    bool filled = false;
    bool fillFailed = false;
    std::vector<DeflatedChunk> chunks;
    std::vector<char> done;
    size_t next = 0;          // the first chunk not yet handed on
    bool handingOn = false;   // a thread hands chunks on
    bool sinkFailed = false;  // nothing more is handed on
    uLong adler = 1;          // of the chunks handed on, touched by the thread handing on
  } state;
  state.chunks.resize(plan.size());
  state.done.assign(plan.size(), 0);

  const auto handOn = [&](size_t index) {
    const DeflatedChunk& chunk = state.chunks[index];
    if (index == 0) sink(kZlibHeader);
    sink({chunk.bytes.get(), chunk.size});
    const size_t length = plan[index].end - (index == 0 ? 0 : plan[index - 1].end);
    state.adler = adler32_combine(state.adler, chunk.adler, static_cast<z_off_t>(length));
    if (index + 1 == plan.size()) {
      uint8_t trailer[4];
      for (size_t b = 0; b < 4; ++b) {
        trailer[b] = static_cast<uint8_t>(state.adler >> (24 - 8 * b));
      }
      sink(trailer);
    }
  };

  const size_t firstChunkTask = filled != nullptr ? 1 : 0;
  pool.ParallelFor(plan.size() + firstChunkTask, [&](size_t task) {
    if (task < firstChunkTask) {
      // Claimed first, so it is under way before any chunk waits for it.
      try {
        filled->fill();
      } catch (...) {
        {
          const std::lock_guard lock(state.mutex);
          state.fillFailed = true;
        }
        state.filledChanged.notify_all();
        throw;
      }
      {
        const std::lock_guard lock(state.mutex);
        state.filled = true;
      }
      state.filledChanged.notify_all();
      return;
    }
    const size_t i = task - firstChunkTask;
    const size_t begin = i == 0 ? 0 : plan[i - 1].end;
    if (plan[i].end > ready) {
      std::unique_lock lock(state.mutex);
      state.filledChanged.wait(lock, [&] { return state.filled || state.fillFailed; });
      if (state.fillFailed) return;  // the fill's error ends the loop
    }
    DeflatedChunk chunk = DeflateChunk(data, i, begin, plan[i].end, i + 1 == plan.size(),
                                       plan[i].level);
    std::unique_lock lock(state.mutex);
    state.chunks[i] = std::move(chunk);
    state.done[i] = 1;
    if (state.handingOn || state.sinkFailed) return;
    state.handingOn = true;
    while (state.next < plan.size() && state.done[state.next] != 0) {
      const size_t index = state.next;
      lock.unlock();
      try {
        handOn(index);
      } catch (...) {
        lock.lock();
        state.sinkFailed = true;
        state.handingOn = false;
        throw;
      }
      state.chunks[index] = DeflatedChunk();  // handed on: its memory is no longer needed
      lock.lock();
      ++state.next;
    }
    state.handingOn = false;
  });
  if (state.next != plan.size()) {
    throw std::logic_error("ZlibCompressChunksTo: a chunk was not handed on");
  }
}

std::vector<uint8_t> ZlibCompressChunks(std::span<const uint8_t> data,
                                        std::span<const PlannedChunk> plan, ThreadPool& pool) {
  std::vector<uint8_t> out;
  ZlibCompressChunksTo(data, plan, pool, [&out](std::span<const uint8_t> piece) {
    out.insert(out.end(), piece.begin(), piece.end());
  });
  return out;
}

std::vector<uint8_t> ZlibCompressChunks(std::span<const uint8_t> data,
                                        std::span<const size_t> chunkEnds, int level,
                                        ThreadPool& pool) {
  std::vector<PlannedChunk> plan(chunkEnds.size());
  for (size_t i = 0; i < plan.size(); ++i) plan[i] = {chunkEnds[i], level};
  return ZlibCompressChunks(data, plan, pool);
}

}  // namespace quillavor
