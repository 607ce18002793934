// The module reader's rejections: block headers that disagree with the
// counters, truncated images, bytes after block 7, and broken zlib streams.
// Each message names the block and the byte where the damage is.
#include "reader/module_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>

#include "model/module.h"
#include "model/module_format.h"
#include "output/module_writer.h"
#include "support/test_support.h"

namespace quillavor {
namespace {

// A small image: a name, two books of one name, one verse, no words.
std::vector<uint8_t> SmallImage() {
  Module m;
  m.AddString(u"Test");
  m.AddString(u"T");
  const int32_t k = m.FindOrAddBookName(u"Gen");
  for (int i = 0; i < 2; ++i) {
    const int32_t b = m.books.Append(m.bookCount, kBookGrowth);
    m.books[b] = BookRecord{i == 0 ? kNone : 0,
                            i == 0 ? 1 : kNone,
                            kNone,
                            kNone,
                            m.AddString(i == 0 ? u"Genesis 1" : u"Genesis 2"),
                            kNone,
                            kNone,
                            i == 0 ? 0 : kNone,
                            k,
                            kBookPlainLayout};
  }
  m.bookNames[k].lastBook = 1;
  const int32_t v = m.verses.Append(m.verseCount, kVerseGrowth);
  m.verses[v] = VerseRecord{0, kNone, m.AddString(u"1 In the beginning"), kNone};
  m.FinalizePool();
  return AssembleImage(m);
}

void SetInt32(std::vector<uint8_t>& image, size_t offset, int32_t v) {
  std::memcpy(image.data() + offset, &v, 4);
}
int32_t GetInt32(const std::vector<uint8_t>& image, size_t offset) {
  int32_t v;
  std::memcpy(&v, image.data() + offset, 4);
  return v;
}

std::string RejectionOf(std::vector<uint8_t> image) {
  try {
    ModuleView view(std::move(image));
  } catch (const FormatError& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(ModuleReader, SmallImageIsAcceptedAndValid) {
  ModuleView view(SmallImage());
  EXPECT_EQ(view.books().size(), 2u);
  EXPECT_EQ(view.String(view.books()[1].title), u"Genesis 2");
  testing::ExpectModuleValid(view);
}

TEST(ModuleReader, HeaderMismatchMessages) {
  const std::vector<uint8_t> image = SmallImage();
  const int32_t P = GetInt32(image, 8);
  const size_t block3 = static_cast<size_t>(format::kPoolOffset + 2 * P);
  const size_t block4 = block3 + 8 + 8;       // one book name
  const size_t block5 = block4 + 8 + 2 * 40;  // two books
  const size_t block6 = block5 + 8 + 16;      // one verse
  const std::string at3 = std::to_string(block3), at4 = std::to_string(block4),
                    at6 = std::to_string(block6), Ps = std::to_string(P);
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> edit;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"counters block count", [](auto& i) { SetInt32(i, 4, 12); },
       "block 1 (counters): block header at byte 0 has element count 12, expected 13"},
      {"pool element size", [](auto& i) { SetInt32(i, 60, 1); },
       "block 2 (pool): block header at byte 60 has element size 1, expected 2"},
      {"poolLength counter", [&](auto& i) { SetInt32(i, 8, P + 2); },
       "block 2 (pool): block header at byte 60 has element count " + Ps + ", expected " +
           std::to_string(P + 2)},
      {"book name element size", [&](auto& i) { SetInt32(i, block3, 9); },
       "block 3 (book names): block header at byte " + at3 + " has element size 9, expected 8"},
      {"bookCount counter", [](auto& i) { SetInt32(i, 16, 1); },
       "block 4 (books): block header at byte " + at4 + " has element count 2, expected 1"},
      {"negative bookCount counter", [](auto& i) { SetInt32(i, 16, -2); },
       "block 4 (books): block header at byte " + at4 + " has element count 2, expected -2"},
      {"negative header count",
       [&](auto& i) {
         SetInt32(i, block4 + 4, -1);
         SetInt32(i, 16, -1);
       },
       "block 4 (books): block header at byte " + at4 + " has a negative element count -1"},
      {"wordCount beyond the image",
       [&](auto& i) {
         SetInt32(i, block6 + 4, 1000);
         SetInt32(i, 28, 1000);
       },
       "block 6 (words): needs 20000 bytes at byte " + std::to_string(block6 + 8) +
           ", but the image ends after 8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bad = image;
    c.edit(bad);
    EXPECT_EQ(RejectionOf(bad), c.message);
  }
}

TEST(ModuleReader, TruncationAndTrailingBytes) {
  const std::vector<uint8_t> image = SmallImage();
  std::vector<uint8_t> cut(image.begin(), image.end() - 4);
  // Blocks 6 and 7 are empty: their headers end the image.
  EXPECT_EQ(RejectionOf(cut), "block 7 (occurrences): block header missing at byte " +
                                  std::to_string(image.size() - 8) + " (the image ends)");
  EXPECT_EQ(RejectionOf({}), "block 1 (counters): block header missing at byte 0 (the image ends)");
  cut.assign(image.begin(), image.begin() + 30);
  EXPECT_EQ(RejectionOf(cut),
            "block 1 (counters): needs 52 bytes at byte 8, but the image ends after 22");
  std::vector<uint8_t> longer = image;
  longer.insert(longer.end(), {1, 2, 3});
  EXPECT_EQ(RejectionOf(longer), "the image holds 3 bytes after block 7");
}

TEST(ModuleReader, ZlibStreams) {
  const std::vector<uint8_t> image = SmallImage();
  const std::vector<uint8_t> compressed = CompressImage(image);
  EXPECT_EQ(ModuleImageFromFileBytes(compressed), image);
  // A raw file is taken as it is.
  EXPECT_EQ(ModuleImageFromFileBytes(image), image);

  auto rejection = [](std::vector<uint8_t> bytes) -> std::string {
    try {
      ModuleImageFromFileBytes(bytes);
    } catch (const FormatError& e) {
      return e.what();
    }
    return "(accepted)";
  };
  EXPECT_EQ(rejection({0x78}), "bad zlib stream: the file is too short");
  EXPECT_EQ(rejection({1, 2, 3, 4}), "bad zlib stream: incorrect header check");
  std::vector<uint8_t> early(compressed.begin(), compressed.end() - 6);
  EXPECT_EQ(rejection(early), "bad zlib stream: the stream ends early");
  std::vector<uint8_t> trailing = compressed;
  trailing.insert(trailing.end(), {0, 0});
  EXPECT_EQ(rejection(trailing), "bad zlib stream: 2 bytes follow the end of the stream");
  std::vector<uint8_t> damaged = compressed;
  ASSERT_FALSE(damaged.empty());
  damaged.back() ^= 0xFF;  // the Adler-32 checksum
  EXPECT_EQ(rejection(damaged), "bad zlib stream: incorrect data check");

  // A file is read in pieces and inflated twice, first to learn the size:
  // the same image, and the same message for each damaged stream.
  testing::TempDir dir;
  auto fromFile = [&](const std::vector<uint8_t>& bytes) -> std::string {
    const auto path = dir.Write("m.quillavor", std::string(bytes.begin(), bytes.end()));
    try {
      const ModuleView view = ReadModuleFile(path.u16string());
      return view.image().size() == image.size() &&
                     std::equal(image.begin(), image.end(), view.image().begin())
                 ? "(the image)"
                 : "(another image)";
    } catch (const FormatError& e) {
      return e.what();
    }
  };
  EXPECT_EQ(fromFile(compressed), "(the image)");
  EXPECT_EQ(fromFile(image), "(the image)");
  for (const std::vector<uint8_t>& bytes :
       {std::vector<uint8_t>{0x78}, std::vector<uint8_t>{1, 2, 3, 4}, early, trailing, damaged}) {
    EXPECT_EQ(fromFile(bytes), rejection(bytes));
  }
}

TEST(ModuleReader, ReadModuleFileReportsMissingAndDamagedFiles) {
  testing::TempDir dir;
  EXPECT_THROW(ReadModuleFile((dir.path() / "none.quillavor").u16string()), IoError);
  const std::vector<uint8_t> compressed = CompressImage(SmallImage());
  std::string bytes(compressed.begin(), compressed.end());
  const auto good = dir.Write("good.quillavor", bytes);
  EXPECT_EQ(ReadModuleFile(good.u16string()).books().size(), 2u);
  bytes.resize(bytes.size() / 2);
  const auto bad = dir.Write("bad.quillavor", bytes);
  EXPECT_THROW(ReadModuleFile(bad.u16string()), FormatError);
}

// Only regular files are read. Opening a FIFO for reading would wait for a
// writer forever: the reading runs in a child process that an alarm ends, so
// that waiting fails the test instead of hanging it.
TEST(ModuleReader, ReadModuleFileRefusesFilesThatAreNotRegularWithoutWaiting) {
  testing::TempDir dir;
  const std::filesystem::path fifo = dir.path() / "fifo.quillavor";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
  std::filesystem::create_directory(dir.path() / "folder.quillavor");
  const std::pair<std::filesystem::path, std::string> cases[] = {
      {fifo, "cannot read: not a regular file (a FIFO)"},
      {dir.path() / "folder.quillavor", "cannot read: is a folder"},
      {"/dev/null", "cannot read: not a regular file (a device)"},
  };
  for (const auto& [path, cause] : cases) {
    SCOPED_TRACE(path.string());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::alarm(10);
      try {
        ReadModuleFile(path.u16string());
      } catch (const IoError& e) {
        ::_exit(e.path() == path.string() && e.cause() == cause ? 0 : 3);
      } catch (...) {
      }
      ::_exit(4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_FALSE(WIFSIGNALED(status)) << "the read waited (signal " << WTERMSIG(status) << ")";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: another message; 4: no IoError";
  }
}

}  // namespace
}  // namespace quillavor
