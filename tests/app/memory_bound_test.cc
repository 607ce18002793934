// Memory bounds of the command-line binary, run under `prlimit --as`: a
// reader that takes the image and a constant, an image file read once
// however many spellings name it, image references that cost a small
// constant each. Each limit lies below what the same command took before
// these bounds held. The runs are pinned to one core with one malloc arena,
// so that the address space does not grow with the machine's core count.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/test_support.h"

namespace quillavor {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

constexpr int64_t kMiB = int64_t{1} << 20;

// A sanitizer reserves terabytes of address space for its shadow memory, so
// its builds cannot run under an address-space limit at all.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

bool HaveTools() {
  return std::system("command -v prlimit >/dev/null 2>&1 && command -v taskset >/dev/null 2>&1") ==
         0;
}

struct Outcome {
  int exitCode = -1;
  std::string output;
};

// Runs the binary in `folder` with `arguments` under an address-space limit.
Outcome RunLimited(const fs::path& folder, int64_t limitBytes, const std::string& arguments) {
  const fs::path out = folder / "run-output.txt";
  const std::string command = "cd '" + folder.string() + "' && MALLOC_ARENA_MAX=1 taskset -c 0 " +
                              "prlimit --as=" + std::to_string(limitBytes) + " '" +
                              QUILLAVOR_MAKER_BINARY + "' " + arguments + " > '" + out.string() +
                              "' 2>&1";
  const int status = std::system(command.c_str());
  Outcome run;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.output = testing::ReadFile(out);
  return run;
}

// A sparse file of `size` zero bytes.
fs::path SparseFile(const TempDir& dir, const std::string& name, int64_t size) {
  const fs::path path = dir.Write(name, "");
  fs::resize_file(path, static_cast<uintmax_t>(size));
  return path;
}

TEST(MemoryBound, ReadingAModuleTakesItsImageAndAConstant) {
  if (kSanitized) GTEST_SKIP() << "an address-space limit does not apply to a sanitizer build";
  if (!HaveTools()) GTEST_SKIP() << "prlimit or taskset missing";
  TempDir dir;
  const fs::path image = SparseFile(dir, "one.img", 180 * kMiB);
  dir.Write("m.txt", "<B>T\n1 x\n<imagefile>" + image.string() + "\n");
  dir.Write("m.books", "M | M | m.txt\n");
  ASSERT_EQ(RunLimited(dir.path(), 4096 * kMiB, "build -q m.books").exitCode, 0);
  // The 180 MB image in 300 MB of address space: it took 600 MB when the
  // image grew by doubling and its pool was copied out.
  const Outcome inspect = RunLimited(dir.path(), 300 * kMiB, "inspect m.quillavor");
  EXPECT_EQ(inspect.exitCode, 0) << inspect.output.substr(0, 400);
}

TEST(MemoryBound, AnImageFileNamedTwiceIsReadOnce) {
  if (kSanitized) GTEST_SKIP() << "an address-space limit does not apply to a sanitizer build";
  if (!HaveTools()) GTEST_SKIP() << "prlimit or taskset missing";
  TempDir dir;
  const fs::path image = SparseFile(dir, "big.img", 210 * kMiB);
  // Two spellings, two records; the second image lies too far into the pool
  // and the build refuses the module, after reading the file once (twice
  // needed 420 MB and ended in an allocation failure).
  dir.Write("m.txt",
            "<B>T\n1 x\n<imagefile>" + image.string() + "\n<imagefile>/" + image.string() + "\n");
  dir.Write("m.books", "M | M | m.txt\n");
  const Outcome build = RunLimited(dir.path(), 400 * kMiB, "build -q m.books");
  EXPECT_EQ(build.exitCode, 1);
  EXPECT_NE(build.output.find("does not fit the 8 digits"), std::string::npos) << build.output;
}

TEST(MemoryBound, ImageReferencesCostASmallConstantEach) {
  if (kSanitized) GTEST_SKIP() << "an address-space limit does not apply to a sanitizer build";
  if (!HaveTools()) GTEST_SKIP() << "prlimit or taskset missing";
  TempDir dir;
  // 480,000 empty inline images in 8 MB of source, each a record of its own:
  // about 110 bytes each beyond what their text costs (230 MB of address
  // space; it took 250 MB before, and plain text of the same size 150 MB).
  std::string source = "<B>T\n";
  for (int i = 0; i < 480000; ++i) source += "<image=        >\n";
  source += "1 x\n";
  dir.Write("m.txt", source);
  dir.Write("m.books", "M | M | m.txt\n");
  const Outcome build = RunLimited(dir.path(), 230 * kMiB, "build -q m.books");
  EXPECT_EQ(build.exitCode, 0) << build.output.substr(0, 400);
}

}  // namespace
}  // namespace quillavor
