// The compile run end to end: what it hands back, and that the stages hold
// pool positions while the pool grows under them.
#include "compile/compilation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "output/module_writer.h"
#include "platform/files.h"
#include "support/test_support.h"

namespace quillavor {
namespace {

using testing::U8;

// Book headers whose title, note and abbreviation are added to the pool
// while the line compiler still reads the header: with enough of them the
// pool outgrows the room set aside for the source and moves.
TEST(CompilationTest, HeadersSurviveThePoolGrowingUnderThem) {
  constexpr int kBooks = 400;
  std::string source;
  auto padded = [](const std::string& what, int i) {
    return what + " " + std::to_string(i) + std::string(40, static_cast<char>('a' + i % 26));
  };
  for (int i = 0; i < kBooks; ++i) {
    source += "<Book" + std::to_string(i % 7) + ">" + padded("Title", i) + "<note>" +
              padded("Note", i) + "<abbrev>" + padded("Ab", i) + "\n1 verse " + std::to_string(i) +
              "\n";
  }
  CompileResult built = testing::CompileRun(source);
  const Module& m = *built.module;
  // The room set aside is one and a half times the source: it was outgrown.
  ASSERT_GT(m.poolLength, static_cast<int32_t>(source.size() * 3 / 2));
  // The Concordance: the title book, letter books 0 to 9 and V.
  ASSERT_EQ(m.bookCount, kBooks + 1 + 11);
  for (int i = 0; i < kBooks; ++i) {
    const BookRecord& b = m.books[i];
    ASSERT_EQ(U8(m.StringView(b.title)), padded("Title", i)) << "book " << i;
    ASSERT_EQ(U8(m.StringView(b.note)), padded("Note", i)) << "book " << i;
    ASSERT_EQ(U8(m.StringView(b.abbrev)), padded("Ab", i)) << "book " << i;
    ASSERT_EQ(U8(m.StringView(m.bookNames[b.nameIndex].name)), "Book" + std::to_string(i % 7));
  }
  testing::ExpectModuleValid(built);
}

// A source with a link that is removed after its verse was indexed: the run
// reports the verse. Reading the file, taking the bytes, and a second run in
// the same process give the same module and the same report.
TEST(CompilationTest, FileBytesAndRepeatedRunsAgree) {
  const std::string source =
      "BIBLE\n<Genesis>Genesis 1<abbrev>Gen 1\n1 In the beginning\n"
      "2 See <A=\"Gen 1:1\">there</a> and <A=\"Nowhere 1\"><sc>x\n"
      "<Exodus>Exodus 1\n1 Light <a=\"Genesis 1\">back</a>\n";
  testing::TempDir dir;
  const std::u16string path = files::FromPath(dir.Write("source.txt", source));
  NullProgress progress;
  CompileResult fromFile = CompileModule(u"Test", u"T", path, u"", progress);
  const std::vector<uint8_t> bytes = testing::Bytes(source);
  CompileResult first = CompileModuleFromBytes(u"Test", u"T", path, u"", bytes, progress);
  CompileResult second = CompileModuleFromBytes(u"Test", u"T", path, u"", bytes, progress);

  ASSERT_EQ(fromFile.module->verseCount, 3);
  EXPECT_EQ(fromFile.changedAfterIndexing, std::vector<int32_t>{fromFile.module->verses[1].text});
  EXPECT_EQ(first.changedAfterIndexing, fromFile.changedAfterIndexing);
  EXPECT_EQ(second.changedAfterIndexing, fromFile.changedAfterIndexing);
  const std::vector<uint8_t> image = AssembleImage(*fromFile.module);
  EXPECT_EQ(AssembleImage(*first.module), image);
  EXPECT_EQ(AssembleImage(*second.module), image);
  EXPECT_EQ(U8(first.module->StringView(first.module->verses[2].text)),
            "1 Light <a=\"1        \">back</a>");
}

// A source that cannot be loaded gives an empty module, not an error.
TEST(CompilationTest, MissingSourceGivesAnEmptyModule) {
  testing::TempDir dir;
  NullProgress progress;
  CompileResult built =
      CompileModule(u"Test", u"T", files::FromPath(dir.path() / "absent.txt"), u"", progress);
  EXPECT_EQ(built.module->bookCount, 0);
  EXPECT_EQ(built.module->verseCount, 0);
  EXPECT_EQ(built.module->poolLength, 0);
  EXPECT_TRUE(built.changedAfterIndexing.empty());
}

}  // namespace
}  // namespace quillavor
