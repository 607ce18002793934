#include "output/module_writer.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "model/module.h"
#include "platform/files.h"
#include "reader/module_reader.h"
#include "support/test_support.h"

namespace quillavor {
namespace {

using testing::ReadFile;
using testing::RecordingProgress;
using testing::TempDir;

int32_t Int32At(const std::vector<uint8_t>& image, size_t offset) {
  int32_t v;
  std::memcpy(&v, image.data() + offset, 4);
  return v;
}

TEST(ModuleWriterTest, EmptyModuleImageIsSevenHeaders) {
  Module m;
  m.FinalizePool();
  std::vector<uint8_t> image = AssembleImage(m);
  const std::vector<uint8_t> start = {4, 0, 0, 0, 13, 0, 0, 0};
  ASSERT_EQ(image.size(), 8u + 52u + 8u + 5u * 8u);
  EXPECT_TRUE(std::equal(start.begin(), start.end(), image.begin()));
  EXPECT_EQ(Int32At(image, 60), 2);  // pool header: element size 2
  EXPECT_EQ(Int32At(image, 64), 0);
  EXPECT_EQ(Int32At(image, 68), 8);  // book names, count 0
  EXPECT_EQ(Int32At(image, 76), 40);
  EXPECT_EQ(Int32At(image, 84), 16);
  EXPECT_EQ(Int32At(image, 92), 20);
  EXPECT_EQ(Int32At(image, 100), 12);  // occurrences: the header alone
  EXPECT_EQ(Int32At(image, 104), 0);
  EXPECT_EQ(Int32At(image, 8 + 4 * 7), -1);  // labelFirst
}

TEST(ModuleWriterTest, TablesAreWrittenUpToTheirCountsAndFlagsAssembled) {
  Module m;
  m.AddString(u"Name");
  m.isBible = 1;
  m.isHelp = 1;
  m.superscriptVerses = 1;
  m.books.Append(m.bookCount, kBookGrowth);
  m.books[0] = BookRecord{-1, -1, -1, -1, 0, -1, -1, 0, 0, 2};
  m.verses.Append(m.verseCount, kVerseGrowth);
  m.verses[0] = VerseRecord{0, -1, 2, -1};
  m.FinalizePool();
  ModuleView view(AssembleImage(m));
  EXPECT_EQ(view.counters().flags, kFlagBible | kFlagHelp | kFlagSuperscriptVerses);
  EXPECT_EQ(view.counters().flags, 0x124u);
  ASSERT_EQ(view.books().size(), 1u);
  EXPECT_EQ(view.books()[0].bookFlags, 2);
  ASSERT_EQ(view.verses().size(), 1u);
  EXPECT_EQ(view.verses()[0].text, 2);
  EXPECT_EQ(m.books.Length(), 1);  // shortened to the used count
  EXPECT_EQ(view.String(0), u"Name");
  EXPECT_EQ(view.pool().size(), 8u);
}

TEST(ModuleWriterTest, ModuleFileIsOneZlibStreamAndRawFileIsTheImage) {
  TempDir dir;
  Module m;
  m.AddString(u"Sample");
  m.FinalizePool();
  const std::u16string path = files::FromPath(dir.path() / "sample.quillavor");
  RecordingProgress progress;
  WriteModule(m, path, /*writeRaw=*/true, progress);
  ASSERT_EQ(progress.phases.size(), 1u);
  EXPECT_EQ(progress.phases[0], u"Write " + path + u" && .raw");

  const std::string compressed = ReadFile(dir.path() / "sample.quillavor");
  ASSERT_GE(compressed.size(), 2u);
  EXPECT_EQ(static_cast<uint8_t>(compressed[0]), 0x78);  // deflate, 32 KiB window
  EXPECT_EQ((static_cast<uint8_t>(compressed[0]) * 256 + static_cast<uint8_t>(compressed[1])) % 31,
            0);
  std::vector<uint8_t> inflated = InflateZlib(testing::Bytes(compressed));
  const std::string raw = ReadFile(dir.path() / "sample.quillavor.raw");
  EXPECT_EQ(std::string(inflated.begin(), inflated.end()), raw);
  ModuleView view(inflated);
  EXPECT_EQ(view.String(0), u"Sample");
}

TEST(ModuleWriterTest, PhaseWithoutRawHasNoSuffix) {
  TempDir dir;
  Module m;
  m.FinalizePool();
  const std::u16string path = files::FromPath(dir.path() / "x.quillavor");
  RecordingProgress progress;
  WriteModule(m, path, false, progress);
  EXPECT_EQ(progress.phases.back(), u"Write " + path);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "x.quillavor.raw"));
}

TEST(ModuleWriterTest, RawFileFailureStillWritesTheWholeModule) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "m.quillavor.raw");  // a folder in the way
  Module m;
  m.AddString(u"Kept");
  m.FinalizePool();
  RecordingProgress progress;
  EXPECT_THROW(WriteModule(m, files::FromPath(dir.path() / "m.quillavor"), true, progress),
               IoError);
  ModuleView view = ReadModuleFile(files::FromPath(dir.path() / "m.quillavor"));
  EXPECT_EQ(view.String(0), u"Kept");
}

TEST(ModuleWriterTest, FailedWriteKeepsTheOlderModuleAndLeavesNoTemporaryFile) {
  // Permission bits do not stop root, so the folder is a read-only file system.
  testing::TmpfsMount disk(1 << 20);
  if (!disk.mounted()) GTEST_SKIP() << disk.error();
  const auto target = disk.path() / "old.quillavor";
  { std::ofstream(target, std::ios::binary) << "older module"; }
  ASSERT_TRUE(disk.MakeReadOnly()) << disk.error();
  Module m;
  m.FinalizePool();
  NullProgress progress;
  try {
    WriteModule(m, files::FromPath(target), /*writeRaw=*/true, progress);
    FAIL() << "no exception";
  } catch (const IoError& e) {
    EXPECT_NE(std::string(e.what()).find("old.quillavor"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(std::strerror(EROFS)), std::string::npos) << e.what();
  }
  EXPECT_EQ(ReadFile(target), "older module");
  EXPECT_EQ(testing::FolderNames(disk.path()), std::vector<std::string>{"old.quillavor"});
}

TEST(ModuleWriterTest, TemporaryFilesOfKilledWritesAreRemovedByTheNextWrite) {
  TempDir dir;
  // A process id that is not running: a child that has exited and been reaped.
  const pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ASSERT_GT(gone, 0);
  ::waitpid(gone, nullptr, 0);
  const std::string stale = "m.quillavor.tmp-" + std::to_string(gone) + "-0badf00d";
  const std::string running = "m.quillavor.tmp-1-0000cafe";  // process 1 is always there
  dir.Write(stale, "partial");
  dir.Write(running, "in progress");
  dir.Write("other.quillavor.tmp-" + std::to_string(gone) + "-00000001", "not ours");
  dir.Write("m.quillavor.tmp-x-1", "not a process id");
  Module m;
  m.FinalizePool();
  NullProgress progress;
  WriteModule(m, files::FromPath(dir.path() / "m.quillavor"), false, progress);
  const std::vector<std::string> names = testing::FolderNames(dir.path());
  EXPECT_EQ(names, (std::vector<std::string>{
                       "m.quillavor", "m.quillavor.tmp-1-0000cafe", "m.quillavor.tmp-x-1",
                       "other.quillavor.tmp-" + std::to_string(gone) + "-00000001"}));
}

TEST(ModuleWriterTest, ModulePathTakenByAFolderIsAnError) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "taken.quillavor");
  Module m;
  m.FinalizePool();
  NullProgress progress;
  try {
    WriteModule(m, files::FromPath(dir.path() / "taken.quillavor"), false, progress);
    FAIL() << "no exception";
  } catch (const IoError& e) {
    EXPECT_NE(std::string(e.what()).find("a folder has that name"), std::string::npos);
  }
}

TEST(ModuleWriterTest, UnfinalisedPoolIsRefused) {
  Module m;
  m.AddString(u"x");
  EXPECT_THROW(AssembleImage(m), OutputError);
}

}  // namespace
}  // namespace quillavor
