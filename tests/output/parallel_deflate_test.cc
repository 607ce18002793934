#include "output/parallel_deflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include "output/module_writer.h"
#include "platform/thread_pool.h"
#include "support/test_support.h"

namespace quillavor {
namespace {

// Decodes a zlib stream with zlib itself, which checks the Adler-32 trailer;
// fails the test unless the stream is whole, alone and `expectedSize` long.
std::vector<uint8_t> ZlibDecode(const std::vector<uint8_t>& stream, size_t expectedSize) {
  std::vector<uint8_t> out(expectedSize + 1);  // room for one byte too many
  uLongf outLength = static_cast<uLongf>(out.size());
  uLong inLength = static_cast<uLong>(stream.size());
  const int rc = uncompress2(out.data(), &outLength, stream.data(), &inLength);
  EXPECT_EQ(rc, Z_OK);
  EXPECT_EQ(inLength, stream.size()) << "bytes after the stream's end";
  out.resize(outLength);
  return out;
}

// Text-like bytes: words from a small list, so the data compresses into
// Huffman blocks of varied lengths, with some random bytes among them.
std::vector<uint8_t> MixedBytes(size_t size, uint32_t seed) {
  static const char* const kWords[] = {"in ", "the ", "beginning ", "was ", "word ", "and ",
                                       "light ", "darkness ", "\n", "<v=1> "};
  std::mt19937 random(seed);
  std::vector<uint8_t> out;
  while (out.size() < size) {
    if (random() % 16 == 0) {
      out.push_back(static_cast<uint8_t>(random()));
    } else {
      const char* word = kWords[random() % std::size(kWords)];
      out.insert(out.end(), word, word + std::strlen(word));
    }
  }
  out.resize(size);
  return out;
}

std::vector<size_t> RandomPlan(size_t size, size_t chunks, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<size_t> ends;
  for (size_t i = 0; i < chunks; ++i) ends.push_back(1 + random() % (size - 1));
  std::sort(ends.begin(), ends.end());
  ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
  ends.push_back(size);
  return ends;
}

// The joined stream of every plan decodes through zlib to the data, and its
// bytes do not depend on the number of threads.
TEST(ParallelDeflateTest, JoinedStreamDecodesThroughZlibAndIsTheSameOnAnyThreads) {
  const std::vector<uint8_t> random = [] {
    std::mt19937 r(7);
    std::vector<uint8_t> v(100000);
    for (uint8_t& b : v) b = static_cast<uint8_t>(r());
    return v;
  }();
  const std::vector<uint8_t> mixed = MixedBytes(120000, 1);
  const std::vector<uint8_t> image =
      AssembleImage(*testing::CompileText("<BOOK=Gen>\n<v=1> In the beginning.\n<v=2> Light.\n"));
  const size_t poolEnd = 68 + 2 * static_cast<size_t>(image[64] | image[65] << 8);
  ASSERT_LT(poolEnd + 20, image.size());
  std::vector<size_t> everyByte(40);
  for (size_t i = 0; i < everyByte.size(); ++i) everyByte[i] = i + 1;
  struct Case {
    std::string name;
    std::vector<uint8_t> data;
    std::vector<size_t> plan;
    int level;
  };
  std::vector<Case> cases = {
      {"0 bytes", {}, {}, 8},
      {"1 byte", {42}, {1}, 8},
      {"one chunk", mixed, {mixed.size()}, 8},
      {"1-byte chunks", std::vector<uint8_t>(mixed.begin(), mixed.begin() + 40), everyByte, 8},
      {"inside and outside the pool", image, {poolEnd - 6, poolEnd + 3, image.size()}, 8},
      {"random bytes", random, RandomPlan(random.size(), 5, 2), 8},
      {"stored blocks only", mixed, RandomPlan(mixed.size(), 5, 3), 0},
      {"fastest level", mixed, RandomPlan(mixed.size(), 9, 4), 1},
      {"slowest level", std::vector<uint8_t>(mixed.begin(), mixed.begin() + 50000),
       RandomPlan(50000, 5, 5), 12},
  };
  // Chunks end at every bit position within their last byte (and need the
  // padding byte or not) across enough plans.
  for (uint32_t seed = 10; seed < 30; ++seed) {
    cases.push_back({"plan " + std::to_string(seed), mixed, RandomPlan(mixed.size(), 12, seed), 8});
  }
  ThreadPool one(1), two(2), four(4);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> stream = ZlibCompressChunks(c.data, c.plan, c.level, one);
    ASSERT_GE(stream.size(), 6u);
    EXPECT_EQ(stream[0], 0x78);
    EXPECT_EQ(stream[1], 0xDA);
    EXPECT_EQ(ZlibDecode(stream, c.data.size()), c.data);
    EXPECT_EQ(ZlibCompressChunks(c.data, c.plan, c.level, two), stream);
    EXPECT_EQ(ZlibCompressChunks(c.data, c.plan, c.level, four), stream);

    // The same plan with a different level for each chunk.
    std::vector<PlannedChunk> levels;
    for (size_t i = 0; i < c.plan.size(); ++i) {
      levels.push_back({c.plan[i], static_cast<int>((static_cast<size_t>(c.level) + 5 * i) % 13)});
    }
    const std::vector<uint8_t> mixedStream = ZlibCompressChunks(c.data, levels, one);
    EXPECT_EQ(ZlibDecode(mixedStream, c.data.size()), c.data);
    EXPECT_EQ(ZlibCompressChunks(c.data, levels, two), mixedStream);
  }
}

// The stream handed on in pieces is the stream made in memory, also when
// the end of the data is written while the first chunks are compressed; what
// the fill or the sink raises ends the compression, and nothing is handed on
// after a sink has failed.
TEST(ParallelDeflateTest, StreamHandedOnInPiecesWhileTheDataIsFilled) {
  const std::vector<uint8_t> data = MixedBytes(200000, 9);
  const std::vector<PlannedChunk> plan = {{30000, 8}, {90000, 6}, {91000, 8}, {150000, 5},
                                          {200000, 5}};
  ThreadPool one(1);
  const std::vector<uint8_t> expected = ZlibCompressChunks(data, plan, one);
  ThreadPool two(2), four(4);
  for (ThreadPool* pool : {&one, &two, &four}) {
    for (size_t ready : {size_t{0}, size_t{90000}, size_t{90500}, data.size()}) {
      SCOPED_TRACE(std::to_string(pool->Threads()) + " threads, " + std::to_string(ready) +
                   " bytes ready");
      std::vector<uint8_t> buffer(data.begin(), data.begin() + static_cast<ptrdiff_t>(ready));
      buffer.resize(data.size(), 0xEE);  // what a chunk read too early would see
      const DataStillFilled filled{ready, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::copy(data.begin() + static_cast<ptrdiff_t>(ready), data.end(),
                  buffer.begin() + static_cast<ptrdiff_t>(ready));
      }};
      std::vector<uint8_t> streamed;
      size_t pieces = 0;
      ZlibCompressChunksTo(buffer, plan, *pool, [&](std::span<const uint8_t> piece) {
        streamed.insert(streamed.end(), piece.begin(), piece.end());
        ++pieces;
      }, &filled);
      EXPECT_EQ(streamed, expected);
      EXPECT_EQ(pieces, plan.size() + 2);  // the header, each chunk, the trailer

      const DataStillFilled failing{ready, [] { throw std::runtime_error("fill failed"); }};
      EXPECT_THROW(ZlibCompressChunksTo(buffer, plan, *pool, [](std::span<const uint8_t>) {},
                                        &failing),
                   std::runtime_error);
    }
    size_t calls = 0;
    EXPECT_THROW(ZlibCompressChunksTo(data, plan, *pool,
                                      [&](std::span<const uint8_t>) {
                                        if (++calls == 3) throw std::runtime_error("full");
                                      }),
                 std::runtime_error);
    EXPECT_EQ(calls, 3u);
  }
}

TEST(ParallelDeflateTest, PlansThatDoNotCoverTheDataAreRefused) {
  const std::vector<uint8_t> data(10, 'a');
  ThreadPool pool(1);
  const std::vector<std::vector<size_t>> plans = {{}, {9}, {11}, {5, 5, 10}, {6, 4, 10}, {0, 10}};
  for (const std::vector<size_t>& plan : plans) {
    EXPECT_THROW(ZlibCompressChunks(data, plan, 8, pool), std::invalid_argument);
  }
}

TEST(ParallelDeflateTest, PlanSharesTheCostEvenly) {
  struct Case {
    std::vector<CostSpan> spans;
    uint64_t chunkCost;
    std::vector<size_t> ends;
  };
  const std::vector<Case> cases = {
      {{}, 10, {}},
      {{{0, 5}, {0, 2}}, 10, {}},
      {{{1, 5}}, 1000, {1}},                   // less than a chunk's cost: one chunk
      {{{100, 1}}, 25, {25, 50, 75, 100}},     // even shares
      {{{100, 1}}, 30, {33, 66, 100}},         // 3.33 chunks round to 3
      {{{40, 3}, {60, 1}}, 45, {15, 30, 55, 100}},  // 180 units: 45 each
      {{{10, 0}, {10, 1}}, 5, {15, 20}},       // free bytes go with the next chunk
      {{{3, 100}}, 10, {1, 2, 3}},             // no empty chunk however costly a byte
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PlanChunks(c.spans, c.chunkCost), c.ends) << "chunk cost " << c.chunkCost;
  }
}

// The image plan reads the pool's length from the image: the pool and the
// tables are each cut at their own level into chunks whose length goes
// inversely with the part's cost per byte, the tables (last) into chunks of
// half the pool's chunk cost; a small image is one stream at the pool's
// level.
TEST(ParallelDeflateTest, ImagePlanCutsEachPartAtItsOwnLevel) {
  const size_t poolEnd = 68 + 12'000'000;
  std::vector<uint8_t> image(poolEnd + 12'000'000);
  const int32_t poolUnits = 6'000'000;
  std::memcpy(image.data() + 64, &poolUnits, 4);
  const std::vector<PlannedChunk> plan = PlanImageChunks(image);
  EXPECT_EQ(plan.back().end, image.size());
  size_t begin = 0;
  std::map<int, std::vector<size_t>> lengths;  // by level
  for (const PlannedChunk& chunk : plan) {
    EXPECT_EQ(chunk.level, chunk.end <= poolEnd ? 8 : 5) << "chunk ending at " << chunk.end;
    EXPECT_TRUE(begin >= poolEnd || chunk.end <= poolEnd) << "a chunk crosses the pool's end";
    lengths[chunk.level].push_back(chunk.end - begin);
    begin = chunk.end;
  }
  // 60 M units of pool in 13 chunks, 12 M units of tables in 5.
  EXPECT_EQ(lengths[8].size(), 13u);
  EXPECT_EQ(lengths[5].size(), 5u);

  // A pool length the image cannot hold: all of it is one part.
  const int32_t tooLong = 13'000'000;
  std::memcpy(image.data() + 64, &tooLong, 4);
  const std::vector<PlannedChunk> flat = PlanImageChunks(image);
  EXPECT_EQ(flat.front().level, flat.back().level);
  const size_t flatLast = flat.back().end - flat[flat.size() - 2].end;
  EXPECT_NEAR(static_cast<double>(flat.front().end) / static_cast<double>(flatLast), 1.0, 0.01);

  EXPECT_TRUE(PlanImageChunks({}).empty());
  const std::vector<uint8_t> small =
      AssembleImage(*testing::CompileText("<BOOK=Gen>\n<v=1> In the beginning.\n"));
  const std::vector<PlannedChunk> one = PlanImageChunks(small);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].end, small.size());
  EXPECT_EQ(one[0].level, 8);
}

}  // namespace
}  // namespace quillavor
