#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "index/link_resolver.h"
#include "markup/compile_helpers.h"
#include "markup/compiler.h"
#include "support/test_support.h"

namespace quillavor {
namespace {

using testing::U8;

TEST(CorpusTest, WholeBibleBooksAndVerses) {
  const std::filesystem::path dir = testing::CorpusDir();
  if (dir.empty()) GTEST_SKIP() << "no corpus";
  const std::string source = testing::ReadFile(dir / "kjv.txt");
  auto c = testing::CompileMarkup(source);
  const Module& m = c->m();

  EXPECT_EQ(m.isBible, 1);
  EXPECT_EQ(m.ComputeFlags(), kFlagBible);
  ASSERT_EQ(m.bookCount, 1189);
  ASSERT_EQ(m.bookNameCount, 66);
  ASSERT_EQ(m.verseCount, 31253);

  EXPECT_EQ(c->BookName(0), "Genesis");
  EXPECT_EQ(c->Title(0), "Genesis 1");
  EXPECT_EQ(c->Pool(m.books[0].abbrev), "Gen 1");
  EXPECT_EQ(c->Pool(m.books[0].note).substr(0, 24), "The first book of Moses:");
  EXPECT_EQ(c->Title(1188), "Revelation 22");
  EXPECT_EQ(c->BookName(1188), "Revelation");
  EXPECT_EQ(c->Pool(m.books[1188].abbrev), "Rev 22");
  EXPECT_EQ(c->VerseText(0), "1 In the beginning God created the heaven and the earth.");
  EXPECT_EQ(c->Label(0), "1");

  // Every chapter has verses; chains stay inside their chapter.
  int32_t labelled = 0;
  for (int32_t b = 0; b < m.bookCount; ++b) {
    ASSERT_NE(m.books[b].firstText, kNone) << c->Title(b);
    int32_t count = 0;
    for (int32_t v = m.books[b].firstText; v != kNone; v = m.verses[v].next) {
      ASSERT_EQ(m.verses[v].book, b);
      ++count;
    }
    EXPECT_GT(count, 0);
  }
  for (int32_t v = 0; v < m.verseCount; ++v) {
    if (m.verses[v].label != kNone) ++labelled;
  }
  // Every numbered verse has its label; the Psalm titles and subscriptions
  // start with a tag followed by text and have none.
  EXPECT_EQ(labelled, 31102);
  // Psalm 119 has sections headed by a Hebrew letter line without a label.
  int32_t psalm119 = kNone;
  for (int32_t b = 0; b < m.bookCount; ++b) {
    if (c->Title(b) == "Psalms 119") psalm119 = b;
  }
  ASSERT_NE(psalm119, kNone);
  int32_t versesOfPsalm119 = 0;
  for (int32_t v = m.books[psalm119].firstText; v != kNone; v = m.verses[v].next) {
    ++versesOfPsalm119;
  }
  EXPECT_EQ(versesOfPsalm119, 176 + 21);
  // Books with poetry or paragraph lines lose their plain layout.
  EXPECT_EQ(m.books[0].bookFlags & kBookPlainLayout, 0);
}

}  // namespace
}  // namespace quillavor
