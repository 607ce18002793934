#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace quillavor {
namespace {

using testing::U8;

// Every example source compiles through the whole construction.
TEST(ExamplesTest, EveryExampleCompiles) {
  for (const char* name : {"genesis.txt", "hymns.txt", "help.txt", "markup.txt"}) {
    const std::string source =
        testing::ReadFile(std::filesystem::path(QUILLAVOR_SOURCE_DIR) / "examples" / name);
    ASSERT_FALSE(source.empty()) << name;
    CompileResult built = testing::CompileRun(source);
    EXPECT_GT(built.module->verseCount, 0) << name;
    SCOPED_TRACE(name);
    testing::ExpectModuleValid(built);
  }
}

TEST(ExamplesTest, MarkupSamplerImageReferenceGetsTheImagePosition) {
  const std::string source =
      testing::ReadFile(std::filesystem::path(QUILLAVOR_SOURCE_DIR) / "examples" / "markup.txt");
  auto module = testing::CompileText(source);
  const Module& m = *module;
  // Five header books, then the Concordance title book and its letter books.
  EXPECT_EQ(m.bookNames[0].lastBook, 5);
  EXPECT_EQ(m.GetString(m.books[5].title), u"Concordance");
  ASSERT_EQ(m.images.Length(), 1);
  const ImageRecord& image = m.images[0];
  ASSERT_EQ(image.useCount, 1);
  const int32_t verse = image.useVerses[0];
  ASSERT_LT(verse, m.verseCount);
  // The reference line became the verse; finalisation wrote the position of
  // the image bytes (the end of the written pool) into its number field.
  std::string expected = "<image=" + std::to_string(m.poolWritten);
  expected.resize(15, ' ');
  EXPECT_EQ(U8(m.StringView(m.verses[verse].text)), expected + ">");
  EXPECT_EQ(image.usePositions[0], m.verses[verse].text + 7);
}

}  // namespace
}  // namespace quillavor
