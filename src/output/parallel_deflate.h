// Compression of a large buffer on several threads into one zlib stream. The
// buffer is cut into chunks by a plan that depends on the data alone, never on
// the number of threads, so the stream is the same on every machine. Each
// chunk is deflated on its own; the chunks' deflate data are then joined in
// order into one stream that any zlib reader decodes in one go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace quillavor {

class ThreadPool;

// A stretch of the data and its estimated cost of compression per byte, in
// arbitrary units shared by all stretches of one plan.
struct CostSpan {
  size_t bytes = 0;
  uint32_t costPerByte = 1;
};

// Cuts data made of `spans` (in order) into chunks of about equal estimated
// cost, as many as the total cost holds `chunkCost` (rounded to the nearest,
// at least one). Returns where each chunk ends: ascending, no chunk empty, the
// last one the total size (none at all for no data).
std::vector<size_t> PlanChunks(std::span<const CostSpan> spans, uint64_t chunkCost);

// One chunk of a plan: where it ends and libdeflate's level (0 to 12) for it.
struct PlannedChunk {
  size_t end = 0;
  int level = 0;
};

// One zlib stream (RFC 1950: header 78 DA, 15-bit window, Adler-32 trailer)
// of `data`, compressed chunk by chunk on `pool`. The chunk ends ascend to
// data.size() (no chunk for empty data). The bytes depend only on the data
// and the plan.
std::vector<uint8_t> ZlibCompressChunks(std::span<const uint8_t> data,
                                        std::span<const PlannedChunk> chunks, ThreadPool& pool);
// Receives a stream in pieces, in order, one call at a time (from any thread
// of the pool). What it raises ends the compression and is raised again by it.
using StreamSink = std::function<void(std::span<const uint8_t> piece)>;

// Data whose end is still being written when its compression starts: the
// bytes from `ready` on are written by `fill`, run as one task on the pool
// while the chunks that end at or before `ready` are compressed; the chunks
// that reach past it wait for `fill` to return.
struct DataStillFilled {
  size_t ready = 0;
  std::function<void()> fill;
};

// The stream of ZlibCompressChunks handed to `sink` as it is made: each
// chunk's bytes as soon as it and every chunk before it are compressed, so
// that a slow consumer (a file) works while later chunks are compressed. The
// bytes are those ZlibCompressChunks returns. With `filled`, `data` is its
// whole extent, of which only [0, filled->ready) holds its bytes at the call.
void ZlibCompressChunksTo(std::span<const uint8_t> data, std::span<const PlannedChunk> chunks,
                          ThreadPool& pool, const StreamSink& sink,
                          const DataStillFilled* filled = nullptr);

// The same with every chunk at `level`; `chunkEnds` as PlanChunks gives them.
std::vector<uint8_t> ZlibCompressChunks(std::span<const uint8_t> data,
                                        std::span<const size_t> chunkEnds, int level,
                                        ThreadPool& pool);

}  // namespace quillavor
