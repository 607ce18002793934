#include "output/module_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>

#include "model/module.h"
#include "platform/files.h"
#include "platform/thread_pool.h"
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

// A module of several chunks in each part: the pool's chunks are compressed
// while the tables are assembled, and the stream goes to the file as it is
// made. The file holds exactly the in-memory stream of the image, whatever
// the number of threads.
TEST(ModuleWriterTest, StreamedModuleFileIsTheStreamOfItsImage) {
  const auto makeModule = [] {
    auto m = std::make_unique<Module>();
    std::u16string text;
    for (uint32_t i = 0; text.size() < 1'000'000; ++i) {
      text += u"verse " + testing::U16(std::to_string(i * 2654435761u % 100003)) + u" light ";
    }
    m->AddString(text);
    constexpr int32_t kRefs = 300'000;
    m->wordRefs.SetLength(kRefs);
    for (int32_t i = 0; i < kRefs; ++i) {
      m->wordRefs[i] = WordRef{i - 1, i / 7, static_cast<uint32_t>(i) * 2654435761u >> 14};
    }
    m->wordRefCount = kRefs;
    m->FinalizePool();
    return m;
  };
  const std::vector<uint8_t> image = AssembleImage(*makeModule());
  const std::vector<PlannedChunk> plan = PlanImageChunks(image);
  const auto atLevel = [&](int level) {
    return std::count_if(plan.begin(), plan.end(),
                         [&](const PlannedChunk& c) { return c.level == level; });
  };
  ASSERT_GE(atLevel(8), 2);  // the pool's chunks
  ASSERT_GE(atLevel(5), 1);  // the tables'
  const std::vector<uint8_t> stream = CompressImage(image);
  EXPECT_EQ(InflateZlib(stream), image);
  for (unsigned threads : {1u, 2u}) {
    SCOPED_TRACE(threads);
    TempDir dir;
    ThreadPool pool(threads);
    RecordingProgress progress;
    const std::unique_ptr<Module> m = makeModule();
    WriteModule(*m, files::FromPath(dir.path() / "m.quillavor"), /*writeRaw=*/true, progress,
                &pool);
    EXPECT_TRUE(ReadFile(dir.path() / "m.quillavor") ==
                std::string(stream.begin(), stream.end()));
    EXPECT_TRUE(ReadFile(dir.path() / "m.quillavor.raw") ==
                std::string(image.begin(), image.end()));
  }
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

// A process id that is not running: a child that has exited and been reaped.
pid_t GoneProcess() {
  const pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ::waitpid(gone, nullptr, 0);
  return gone;
}

// A temporary file name of the writer's shape.
std::string TemporaryName(long pid, std::string_view random = "00000000deadbeef") {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%010ld", pid);
  return std::string(files::kTemporaryPrefix) + digits + "-" + std::string(random);
}

// The next write removes the temporary files of processes that are gone, and
// only files of exactly their shape: a user's file that merely looks like one
// stays, whatever its name says about a process.
TEST(ModuleWriterTest, TemporaryFilesOfKilledWritesAreRemovedByTheNextWrite) {
  TempDir dir;
  const pid_t gone = GoneProcess();
  ASSERT_GT(gone, 0);
  const std::string stale = TemporaryName(gone);
  dir.Write(stale, "partial");
  const std::vector<std::string> kept = {
      TemporaryName(1),                                   // process 1 is always there
      TemporaryName(gone, "00000000DEADBEEF"),            // upper case
      TemporaryName(gone, "00000000deadbee"),             // one digit short
      TemporaryName(gone) + "x",                          // longer
      TemporaryName(gone).substr(1),                      // not hidden
      "m.quillavor.tmp-" + std::to_string(gone) + "-0badf00d",  // a user's own name
  };
  for (const std::string& name : kept) dir.Write(name, "the user's");
  std::filesystem::create_directory(dir.path() / TemporaryName(gone, "0000000000000001"));
  std::filesystem::create_symlink(dir.path() / "m.quillavor",
                                  dir.path() / TemporaryName(gone, "0000000000000002"));
  Module m;
  m.FinalizePool();
  NullProgress progress;
  WriteModule(m, files::FromPath(dir.path() / "m.quillavor"), false, progress);
  std::vector<std::string> want = kept;
  want.push_back("m.quillavor");
  want.push_back(TemporaryName(gone, "0000000000000001"));
  want.push_back(TemporaryName(gone, "0000000000000002"));
  std::sort(want.begin(), want.end());
  EXPECT_EQ(testing::FolderNames(dir.path()), want);
}

// The temporary name does not grow with the module's: a module name of 250
// bytes, and its raw file's of 254, are written.
TEST(ModuleWriterTest, LongModuleNamesAreWritten) {
  TempDir dir;
  const std::string name = std::string(240, 'n') + ".quillavor";
  ASSERT_EQ(name.size(), 250u);
  Module m;
  m.AddString(u"Long");
  m.FinalizePool();
  NullProgress progress;
  WriteModule(m, files::FromPath(dir.path() / name), /*writeRaw=*/true, progress);
  EXPECT_EQ(ReadModuleFile(files::FromPath(dir.path() / name)).String(0), u"Long");
  EXPECT_EQ(ReadModuleFile(files::FromPath(dir.path() / (name + ".raw"))).String(0), u"Long");
  EXPECT_EQ(testing::FolderNames(dir.path()), (std::vector<std::string>{name, name + ".raw"}));
}

// A replaced module or raw file keeps the mode (and, where the process may
// set it, the owner) of the file it replaces; a new one gets the usual mode.
TEST(ModuleWriterTest, ReplacingKeepsModeAndOwner) {
  const bool privileged = ::geteuid() == 0;
  for (const std::filesystem::perms mode :
       {std::filesystem::perms(0600), std::filesystem::perms(0640), std::filesystem::perms(0444),
        std::filesystem::perms(0755)}) {
    SCOPED_TRACE(static_cast<int>(mode));
    TempDir dir;
    const auto module = dir.Write("m.quillavor", "older");
    const auto raw = dir.Write("m.quillavor.raw", "older");
    for (const auto& p : {module, raw}) {
      std::filesystem::permissions(p, mode);
      if (privileged) {
        ASSERT_EQ(::chown(p.c_str(), 4321, 8765), 0);
      }
    }
    Module m;
    m.FinalizePool();
    NullProgress progress;
    WriteModule(m, files::FromPath(module), /*writeRaw=*/true, progress);
    for (const auto& p : {module, raw}) {
      struct stat st {};
      ASSERT_EQ(::stat(p.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, static_cast<unsigned>(mode)) << p;
      if (privileged) {
        EXPECT_EQ(st.st_uid, 4321u) << p;
        EXPECT_EQ(st.st_gid, 8765u) << p;
      }
      EXPECT_NE(ReadFile(p), "older") << p;
    }
  }
  TempDir dir;
  const mode_t mask = ::umask(022);
  Module m;
  m.FinalizePool();
  NullProgress progress;
  WriteModule(m, files::FromPath(dir.path() / "new.quillavor"), false, progress);
  ::umask(mask);
  EXPECT_EQ(std::filesystem::status(dir.path() / "new.quillavor").permissions(),
            std::filesystem::perms(0644));
}

// A symbolic link at the module path has the file it leads to replaced (the
// link stays, its target is current, the temporary file goes to the target's
// folder); a symbolic link at the raw path is itself replaced, and what it
// pointed to is left alone.
TEST(ModuleWriterTest, SymbolicLinksAtTheModuleAndRawPaths) {
  namespace fs = std::filesystem;
  struct Case {
    const char* name;
    std::function<fs::path(const fs::path& linkFolder, const fs::path& targetFolder)> link;
  };
  const Case cases[] = {
      {"absolute link",
       [](const fs::path& at, const fs::path& to) {
         fs::create_symlink(to / "real.quillavor", at / "m.quillavor");
         return to / "real.quillavor";
       }},
      {"relative link, through another link",
       [](const fs::path& at, const fs::path& to) {
         fs::create_symlink(fs::relative(to, at) / "hop", at / "m.quillavor");
         fs::create_symlink("real.quillavor", to / "hop");
         return to / "real.quillavor";
       }},
      {"link to a file not there yet",
       [](const fs::path& at, const fs::path& to) {
         fs::create_symlink(to / "new.quillavor", at / "m.quillavor");
         return to / "new.quillavor";
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir links;
    TempDir targets;
    targets.Write("real.quillavor", "older module");
    const fs::path source = targets.Write("source.txt", "the source");
    fs::create_symlink(source, links.path() / "m.quillavor.raw");
    const fs::path target = c.link(links.path(), targets.path());
    Module m;
    m.AddString(u"Current");
    m.FinalizePool();
    NullProgress progress;
    WriteModule(m, files::FromPath(links.path() / "m.quillavor"), /*writeRaw=*/true, progress);
    EXPECT_TRUE(fs::is_symlink(links.path() / "m.quillavor"));
    EXPECT_EQ(ReadModuleFile(files::FromPath(target)).String(0), u"Current");
    EXPECT_FALSE(fs::is_symlink(links.path() / "m.quillavor.raw"));
    EXPECT_EQ(ReadModuleFile(files::FromPath(links.path() / "m.quillavor.raw")).String(0),
              u"Current");
    EXPECT_EQ(ReadFile(source), "the source");
    for (const auto& folder : {links.path(), targets.path()}) {
      for (const std::string& name : testing::FolderNames(folder)) {
        EXPECT_FALSE(name.starts_with(files::kTemporaryPrefix)) << name;
      }
    }
  }
}

// What is not a regular file (a FIFO, or a device a link leads to) is never
// replaced by a module file.
TEST(ModuleWriterTest, TargetsThatAreNotRegularFilesAreRefused) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir.path() / "fifo.quillavor").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/null", dir.path() / "null.quillavor");
  for (const char* name : {"fifo.quillavor", "null.quillavor"}) {
    SCOPED_TRACE(name);
    Module m;
    m.FinalizePool();
    NullProgress progress;
    try {
      WriteModule(m, files::FromPath(dir.path() / name), false, progress);
      ADD_FAILURE() << "no exception";
    } catch (const IoError& e) {
      EXPECT_EQ(e.cause(), "cannot create: a file that is not a regular file has that name");
    }
  }
  EXPECT_EQ(std::filesystem::status(dir.path() / "fifo.quillavor").type(),
            std::filesystem::file_type::fifo);
  EXPECT_EQ(testing::FolderNames(dir.path()),
            (std::vector<std::string>{"fifo.quillavor", "null.quillavor"}));
}

// The image of a module is measured before it is assembled: an image that
// would reach 2 GiB, or an image entry whose position does not fit the
// 8 digits of its "<image=" fields, stops the write naming the image.
TEST(ModuleWriterTest, ModulesBeyondTheFormatsLimitsAreRefused) {
  constexpr int64_t kGiB2 = int64_t{1} << 31;
  // A module with one short string (the pool text is 8 units) and images of
  // the given padded lengths; `referenced` images have an "<image=" field.
  auto moduleWith = [](std::vector<std::pair<int64_t, bool>> images) {
    auto m = std::make_unique<Module>();
    m->AddString(u"x");
    for (const auto& [padded, referenced] : images) {
      const int64_t i = m->images.Length();
      m->images.SetLength(i + 1);
      m->images[i].length = static_cast<int32_t>(padded);
      m->images[i].fileName = u"/p" + std::u16string(static_cast<size_t>(i), u'/');
      if (referenced) m->images[i].usePositions.push_back(0);
    }
    m->FinalizePool();
    return m;
  };
  const int64_t fixed = ImageSize(*moduleWith({}));
  // The second image's position is 8 + (padded + 8) / 2 for a first image of
  // `padded` bytes: 99999998 fits, 100000000 does not.
  constexpr int64_t kFits = 2 * (99'999'998 - 8) - 8;
  struct Case {
    const char* name;
    std::vector<std::pair<int64_t, bool>> images;
    std::string error;  // empty: accepted
  };
  const std::vector<Case> cases = {
      {"image just under 2 GiB", {{kGiB2 - fixed - 8 - 4, false}}, ""},
      {"image reaching 2 GiB",
       {{kGiB2 - fixed - 8, false}},
       "with image 1 (the file \"/p\") of 2147483516 bytes the module image would be 2147483648 "
       "bytes, but it must stay below 2 GiB; the module is not written"},
      {"two images over 2 GiB",
       {{kGiB2 / 2, false}, {kGiB2 / 2, false}},
       "with image 2 (the file \"/p/\") of 1073741824 bytes"},
      {"last position that fits", {{kFits, true}, {4, true}}, ""},
      {"first position that does not fit",
       {{kFits + 4, true}, {4, true}},
       "image 2 (the file \"/p/\") would lie at pool position 100000000, which does not fit the 8 "
       "digits of its \"<image=\" references; the module is not written"},
      {"a position beyond the field without a reference", {{kFits + 4, true}, {4, false}}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::unique_ptr<Module> m = moduleWith(c.images);
    if (c.error.empty()) {
      EXPECT_NO_THROW(CheckModuleFitsTheFormat(*m));
      continue;
    }
    try {
      CheckModuleFitsTheFormat(*m);
      ADD_FAILURE() << "no exception";
    } catch (const SourceError& e) {
      EXPECT_TRUE(std::string(e.what()).starts_with(c.error)) << e.what();
    }
  }
}

TEST(ModuleWriterTest, ImageSizeIsTheSizeOfTheAssembledImage) {
  std::unique_ptr<Module> m = testing::CompileText(
      "BIBLE\n<Genesis>Genesis 1\n1 In the beginning.\n<image=        >QUJD</image>\n2 And.\n");
  const int64_t size = ImageSize(*m);
  EXPECT_EQ(size, static_cast<int64_t>(AssembleImage(*m).size()));
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
