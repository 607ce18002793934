// Whole builds under faults of the file system and hostile books lists: each
// ends in a clear error or the documented skip, and nothing written earlier is
// lost.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "app/build_driver.h"
#include "platform/files.h"
#include "platform/thread_pool.h"
#include "reader/module_reader.h"
#include "support/test_support.h"

namespace quillavor {
namespace {

using testing::FolderNames;
using testing::ReadFile;
using testing::TempDir;
using testing::TmpfsMount;
using testing::U16;
using testing::U8;

namespace fs = std::filesystem;

class Observer : public DriverObserver {
 public:
  void Phase(std::u16string_view text) override {
    if (onPhase) onPhase(text);
  }
  bool RawWanted() override { return raw; }
  std::function<void(std::u16string_view)> onPhase;
  bool raw = false;
};

std::u16string LineFor(const fs::path& source, std::u16string_view name = u"Module") {
  return std::u16string(name) + u" | AB | " + files::FromPath(source);
}

// Random bytes: they do not compress, so a module holding them is as large.
std::string Noise(size_t size) {
  std::mt19937 random(12345);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(random());
  return s;
}

// A source whose module file is at least `imageSize` bytes: one verse and an
// image file of random bytes kept in `imageFolder`.
fs::path WriteLargeSource(const fs::path& folder, const TempDir& imageFolder, size_t imageSize) {
  const fs::path image = imageFolder.Write("noise.bin", Noise(imageSize));
  const std::string source =
      "BIBLE\n<Genesis>Genesis 1\n1 In the beginning.\n<imagefile>" + image.string() + "\n";
  std::ofstream(folder / "big.txt", std::ios::binary) << source;
  return folder / "big.txt";
}

void ExpectBuildErrorMentions(const std::function<void()>& build, const std::string& text) {
  try {
    build();
    ADD_FAILURE() << "no BuildError; expected one mentioning \"" << text << "\"";
  } catch (const BuildError& e) {
    EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
  }
}

// Sets a limit on the size of files this process writes for as long as it
// lives; a write past it fails with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    savedHandler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, savedHandler_);
  }

 private:
  rlimit saved_{};
  sighandler_t savedHandler_;
};

TEST(FaultTest, ReadOnlyModuleFolderKeepsTheOlderModule) {
  TempDir earlier;
  const fs::path first = earlier.Write("first.txt", "BIBLE\n<Genesis>Genesis 1\n1 Text.\n");
  TmpfsMount disk(1 << 20);
  if (!disk.mounted()) GTEST_SKIP() << disk.error();
  std::ofstream(disk.path() / "a.txt", std::ios::binary) << "BIBLE\n<Genesis>Genesis 1\n1 New.\n";
  std::ofstream(disk.path() / "a.quillavor", std::ios::binary) << "older module";
  ASSERT_TRUE(disk.MakeReadOnly()) << disk.error();
  Observer observer;
  ExpectBuildErrorMentions(
      [&] { RunBuild(LineFor(first) + u"\n" + LineFor(disk.path() / "a.txt"), observer); },
      std::strerror(EROFS));
  EXPECT_EQ(ReadFile(disk.path() / "a.quillavor"), "older module");
  EXPECT_EQ(FolderNames(disk.path()), (std::vector<std::string>{"a.quillavor", "a.txt"}));
  EXPECT_NO_THROW(ReadModuleFile(files::FromPath(earlier.path() / "first.quillavor")));
}

TEST(FaultTest, FullDiskKeepsTheOlderModuleAndLeavesNoTemporaryFile) {
  TempDir images;
  TmpfsMount disk(64 * 1024);
  if (!disk.mounted()) GTEST_SKIP() << disk.error();
  const fs::path source = WriteLargeSource(disk.path(), images, 256 * 1024);
  std::ofstream(disk.path() / "big.quillavor", std::ios::binary) << "older module";
  Observer observer;
  ExpectBuildErrorMentions([&] { RunBuild(LineFor(source), observer); }, std::strerror(ENOSPC));
  EXPECT_EQ(ReadFile(disk.path() / "big.quillavor"), "older module");
  EXPECT_EQ(FolderNames(disk.path()), (std::vector<std::string>{"big.quillavor", "big.txt"}));
}

// The same fault without a mount: a file size limit makes the write fail the
// way a full disk does, wherever the test runs. The module file is written
// while it is compressed: a module of several chunks fails in the middle of
// its stream, with later chunks still being compressed on the other threads.
TEST(FaultTest, FailingWriteKeepsTheOlderModuleAndLeavesNoTemporaryFile) {
  for (const size_t imageSize : {size_t{256} * 1024, size_t{3} << 20}) {
    SCOPED_TRACE(imageSize);
    TempDir dir;
    TempDir images;
    const fs::path source = WriteLargeSource(dir.path(), images, imageSize);
    dir.Write("big.quillavor", "older module");
    Observer observer;
    ThreadPool pool(2);
    {
      FileSizeLimit limit(64 * 1024);
      ExpectBuildErrorMentions([&] { RunBuild(LineFor(source), observer, {}, &pool); },
                               std::strerror(EFBIG));
    }
    EXPECT_EQ(ReadFile(dir.path() / "big.quillavor"), "older module");
    EXPECT_EQ(FolderNames(dir.path()), (std::vector<std::string>{"big.quillavor", "big.txt"}));
  }
}

// A raw file that cannot be written: the module file is still written whole,
// the raw file is not left half-written, and the run ends with the cause.
TEST(FaultTest, RawFileThatCannotBeWritten) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& raw)> block;
    std::string cause;
  };
  const std::vector<Case> cases = {
      {"a folder at the raw path", [](const fs::path& raw) { fs::create_directory(raw); },
       "a folder has that name"},
      {"a file size limit that the module file stays under and the raw file does not",
       [](const fs::path& raw) { std::ofstream(raw, std::ios::binary) << "older raw"; },
       std::strerror(EFBIG)},
  };
  // An image of zero bytes: 192 KB in the raw file, a few hundred bytes compressed.
  const std::string source = "BIBLE\n<Genesis>Genesis 1\n1 Kept.\n<image=        >" +
                             std::string(256 * 1024, 'A') + "</image>\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path path = dir.Write("a.txt", source);
    c.block(dir.path() / "a.quillavor.raw");
    Observer observer;
    observer.raw = true;
    {
      FileSizeLimit limit(64 * 1024);
      ExpectBuildErrorMentions([&] { RunBuild(LineFor(path), observer); }, c.cause);
    }
    ModuleView view = ReadModuleFile(files::FromPath(dir.path() / "a.quillavor"));
    EXPECT_EQ(view.verses().size(), 2u);
    testing::ExpectModuleValid(view);
    if (fs::is_regular_file(dir.path() / "a.quillavor.raw")) {
      EXPECT_EQ(ReadFile(dir.path() / "a.quillavor.raw"), "older raw");
    }
    EXPECT_EQ(FolderNames(dir.path()),
              (std::vector<std::string>{"a.quillavor", "a.quillavor.raw", "a.txt"}));
  }
}

// A symbolic link at the raw path is replaced by the raw file: what it leads
// to (the source itself, a device, a path into a missing folder) is untouched.
TEST(FaultTest, SymbolicLinkAtTheRawPathIsReplaced) {
  for (const std::string& to : {std::string("a.txt"), std::string("/dev/full"),
                                std::string("none/x")}) {
    SCOPED_TRACE(to);
    TempDir dir;
    const std::string text = "BIBLE\n<Genesis>Genesis 1\n1 Kept.\n";
    const fs::path source = dir.Write("a.txt", text);
    fs::create_symlink(to, dir.path() / "a.quillavor.raw");
    Observer observer;
    observer.raw = true;
    RunBuild(LineFor(source), observer);
    EXPECT_FALSE(fs::is_symlink(dir.path() / "a.quillavor.raw"));
    const ModuleView raw = ReadModuleFile(files::FromPath(dir.path() / "a.quillavor.raw"));
    EXPECT_EQ(raw.verses().size(), 1u);
    EXPECT_EQ(ReadFile(source), text);
    EXPECT_FALSE(fs::exists(dir.path() / "none"));
  }
}

// A module whose second image lies past the 8 digits of its "<image=" field
// (a sparse image file of 200 MB before it) is refused before anything is
// written: the older module stays, and the error names the line, the source
// and the image.
TEST(FaultTest, ImagePositionBeyondItsFieldIsRefusedBeforeWriting) {
  TempDir dir;
  const fs::path big = dir.Write("big.png", "");
  std::error_code ec;
  fs::resize_file(big, 200'000'000, ec);
  if (ec) GTEST_SKIP() << "no sparse files here: " << ec.message();
  const fs::path small = dir.Write("small.png", "PNG!");
  const fs::path source = dir.Write("a.txt", "BIBLE\n<Genesis>Genesis 1\n1 Text.\n<imagefile>" +
                                                 big.string() + "\n<imagefile>" +
                                                 small.string() + "\n");
  dir.Write("a.quillavor", "older module");
  Observer observer;
  observer.raw = true;
  try {
    RunBuild(LineFor(source), observer);
    FAIL() << "no BuildError";
  } catch (const BuildError& e) {
    EXPECT_EQ(e.sourcePath(), files::FromPath(source));
    EXPECT_TRUE(e.cause().starts_with("image 2 (the file \"" + small.string() +
                                      "\") would lie at pool position 1000001"))
        << e.cause();  // 200000000 bytes are 100000000 units, after the text
  }
  EXPECT_EQ(ReadFile(dir.path() / "a.quillavor"), "older module");
  EXPECT_EQ(FolderNames(dir.path()),
            (std::vector<std::string>{"a.quillavor", "a.txt", "big.png", "small.png"}));
}

// A build killed while it writes the module file: the older module file stays
// whole, and the temporary file the killed process left is removed by the next
// build. The kill comes from a file size limit in a child process, whose
// SIGXFSZ ends it inside the write of the temporary file, like SIGKILL would.
TEST(FaultTest, BuildKilledDuringTheWriteKeepsTheOlderModule) {
  TempDir dir;
  TempDir images;
  const fs::path source = WriteLargeSource(dir.path(), images, 256 * 1024);
  dir.Write("big.quillavor", "older module");
  const std::u16string list = LineFor(source);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::signal(SIGXFSZ, SIG_DFL);
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = 64 * 1024;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    try {
      Observer observer;
      RunBuild(list, observer);
    } catch (...) {
      ::_exit(2);
    }
    ::_exit(3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "child exit status " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
  EXPECT_EQ(ReadFile(dir.path() / "big.quillavor"), "older module");
  const std::vector<std::string> left = FolderNames(dir.path());
  ASSERT_EQ(left.size(), 3u);
  char pid[16];
  std::snprintf(pid, sizeof pid, "%010d", static_cast<int>(child));
  EXPECT_TRUE(left[0].starts_with(std::string(files::kTemporaryPrefix) + pid + "-")) << left[0];
  EXPECT_EQ(left[0].size(), files::kTemporaryPrefix.size() + 10 + 1 + 16) << left[0];
  EXPECT_EQ(fs::file_size(dir.path() / left[0]), 64u * 1024u);  // cut off inside the write

  Observer observer;
  RunBuild(list, observer);
  EXPECT_EQ(FolderNames(dir.path()), (std::vector<std::string>{"big.quillavor", "big.txt"}));
  const ModuleView built = ReadModuleFile(files::FromPath(dir.path() / "big.quillavor"));
  EXPECT_GT(built.pool().size(), 128u * 1024u);
  testing::ExpectModuleValid(built);
}

// SIGKILL at an arbitrary moment of a series of writes: the file is always
// either the older one or a whole new one, never a part.
TEST(FaultTest, SigkillAtAnyMomentLeavesTheOldOrTheNewFileWhole) {
  TempDir dir;
  const fs::path target = dir.path() / "m.quillavor";
  const std::string older(4 << 20, 'o');
  const std::string newer(4 << 20, 'n');
  for (int delayMs : {5, 20, 60}) {
    SCOPED_TRACE(delayMs);
    dir.Write("m.quillavor", older);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        for (;;) files::WriteFileAtomically(files::FromPath(target), testing::Bytes(newer));
      } catch (...) {
        ::_exit(2);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    const std::string now = ReadFile(target);
    EXPECT_TRUE(now == older || now == newer) << "a file of " << now.size() << " bytes";
    files::WriteFileAtomically(files::FromPath(target), testing::Bytes("next"));
    EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"m.quillavor"});
  }
}

// The driver tests that the source exists and can be opened; the load reads
// it again. A source gone or changed in between is a source that fails to
// load: the module is written empty, and the run goes on.
TEST(FaultTest, SourceChangedBetweenTheDriversTestAndTheLoad) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> change;
  };
  const std::vector<Case> cases = {
      {"removed", [](const fs::path& p) { fs::remove(p); }},
      {"replaced by a folder",
       [](const fs::path& p) {
         fs::remove(p);
         fs::create_directory(p);
       }},
      {"cut to two bytes", [](const fs::path& p) { fs::resize_file(p, 2); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string text = "BIBLE\n<Genesis>Genesis 1\n1 Text.\n";
    const fs::path first = dir.Write("first.txt", text);
    const fs::path moving = dir.Write("moving.txt", text);
    const fs::path last = dir.Write("last.txt", text);
    Observer observer;
    int loads = 0;
    observer.onPhase = [&](std::u16string_view phase) {
      if (phase == u"Loading && preparing linkages" && ++loads == 2) c.change(moving);
    };
    const RunSummary summary =
        RunBuild(LineFor(first) + u"\n" + LineFor(moving) + u"\n" + LineFor(last), observer);
    EXPECT_EQ(summary.built, 3);
    const ModuleView empty = ReadModuleFile(files::FromPath(dir.path() / "moving.quillavor"));
    EXPECT_EQ(empty.counters().poolLength, 0);
    testing::ExpectModuleValid(empty);
    for (const char* name : {"first.quillavor", "last.quillavor"}) {
      const ModuleView view = ReadModuleFile(files::FromPath(dir.path() / name));
      EXPECT_EQ(view.verses().size(), 1u) << name;
      testing::ExpectModuleValid(view);
    }
  }
}

// An image file reference naming a folder names no image file: the reference
// is dropped like one to a missing file, and the build goes on.
TEST(FaultTest, ImageFileThatIsAFolderIsDropped) {
  TempDir dir;
  fs::create_directory(dir.path() / "picture.png");
  const fs::path real = dir.Write("real.png", "PNG!");
  for (const auto& [image, entries] :
       std::vector<std::pair<fs::path, size_t>>{{dir.path() / "picture.png", 0}, {real, 1}}) {
    SCOPED_TRACE(image.string());
    const fs::path source = dir.Write(
        "a.txt", "BIBLE\n<Genesis>Genesis 1\n1 Text.\n<imagefile>" + image.string() + "\n");
    Observer observer;
    EXPECT_EQ(RunBuild(LineFor(source), observer).built, 1);
    ModuleView view = ReadModuleFile(files::FromPath(dir.path() / "a.quillavor"));
    testing::ExpectModuleValid(view);
    const std::u16string_view pool(view.pool().data(), view.pool().size());
    EXPECT_EQ(pool.find(u"<image=") != std::u16string_view::npos, entries == 1);
  }
}

// Hostile books lists, read from file bytes as the command line does: each
// line builds or is skipped, a 0 byte ends the list, and the module of the
// line before the hostile part is written.
TEST(FaultTest, HostileBooksLists) {
  TempDir dir;
  const std::string text = "BIBLE\n<Genesis>Genesis 1\n1 Text.\n";
  const std::string first = dir.Write("first.txt", text).string();
  const std::string last = dir.Write("last.txt", text).string();
  const std::string head = "First | F | " + first + "\n";
  const std::string tail = "\nLast | L | " + last + "\n";
  std::string manyLines;
  for (int i = 0; i < 10000; ++i) {
    manyLines += "Line " + std::to_string(i) + " | L | " + (dir.path() / "missing").string() +
                 std::to_string(i) + ".txt\n";
  }
  struct Case {
    const char* name;
    std::string middle;
    int built;
    int skipped;
    bool lastBuilt;
  };
  const std::vector<Case> cases = {
      {"invalid UTF-8", "\xff\xfe Bad \xc3 | \x80\x80 | " + first + "\xc0\xaf", 1, 1, true},
      {"invalid UTF-8 in the name only", "\xff\xfe\xc3(|\x80|" + first, 2, 0, true},
      {"a 0 byte ends the list", std::string("Gone | G | ") + '\0' + first, 1, 1, false},
      {"10,000 lines", manyLines, 1, 10000, true},
      {"a 1 MB line", "Long | L | " + std::string(1 << 20, 'x'), 1, 1, true},
      {"a 1 MB name", std::string(1 << 20, 'N') + " | L | " + last, 2, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(dir.path() / "first.quillavor");
    fs::remove(dir.path() / "last.quillavor");
    const fs::path listFile = dir.Write("list.books", head + c.middle + tail);
    const std::u16string list = DecodeBooksList(files::ReadWholeFile(files::FromPath(listFile)));
    Observer observer;
    const auto start = std::chrono::steady_clock::now();
    const RunSummary summary = RunBuild(list, observer);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    EXPECT_EQ(summary.built, c.built + (c.lastBuilt ? 1 : 0));
    EXPECT_EQ(summary.skipped, c.skipped);
    EXPECT_NO_THROW(ReadModuleFile(files::FromPath(dir.path() / "first.quillavor")));
    EXPECT_EQ(fs::exists(dir.path() / "last.quillavor"), c.lastBuilt);
  }
}

}  // namespace
}  // namespace quillavor
