#include "model/module.h"

#include <gtest/gtest.h>

#include "output/module_writer.h"
#include "reader/module_reader.h"

namespace quillavor {
namespace {

TEST(ModuleTest, FreshModuleHasEmptyCountersNoEndsAndNoFlags) {
  Module m;
  const Counters c = m.GetCounters();
  EXPECT_EQ(c.poolLength, 0);
  EXPECT_EQ(c.bookNameCount, 0);
  EXPECT_EQ(c.bookCount, 0);
  EXPECT_EQ(c.verseCount, 0);
  EXPECT_EQ(c.labelCount, 0);
  EXPECT_EQ(c.wordCount, 0);
  EXPECT_EQ(c.wordRefCount, 0);
  EXPECT_EQ(c.labelFirst, -1);
  EXPECT_EQ(c.labelLast, -1);
  EXPECT_EQ(c.wordFirst, -1);
  EXPECT_EQ(c.wordLast, -1);
  EXPECT_EQ(c.tokenTotal, 0);
  EXPECT_EQ(c.flags, 0u);
  EXPECT_EQ(m.ComputeFlags(), 0u);
  EXPECT_EQ(m.poolWritten, 0);
  EXPECT_EQ(m.pool.Length(), 0);
}

TEST(ModuleTest, AddStringPacksStringsWithOneTerminatorEach) {
  Module m;
  EXPECT_EQ(m.AddString(u"Name"), 0);
  EXPECT_EQ(m.poolLength, 5);
  EXPECT_EQ(m.AddString(u""), 5);  // an empty string takes one unit, the 0
  EXPECT_EQ(m.poolLength, 6);
  EXPECT_EQ(m.AddString(u"xy"), 6);
  EXPECT_EQ(m.GetString(0), u"Name");
  EXPECT_EQ(m.GetString(5), u"");
  EXPECT_EQ(m.GetString(7), u"y");
  EXPECT_EQ(m.pool.Length(), kPoolGrowth);
  EXPECT_THROW(m.GetString(-1), DynArrayOutOfRange);
  EXPECT_THROW(m.GetString(static_cast<int32_t>(kPoolGrowth)), DynArrayOutOfRange);
}

TEST(ModuleTest, AddStringOfTextInsideThePoolSurvivesGrowth) {
  Module m;
  std::u16string big(kPoolGrowth - 10, u'a');
  const int32_t first = m.AddString(big);
  // Re-adding the pool's own text forces growth while the source is read.
  const int32_t second = m.AddString(m.StringView(first));
  EXPECT_EQ(m.GetString(second), big);
  EXPECT_GT(m.pool.Length(), 2 * static_cast<int64_t>(big.size()));
}

TEST(ModuleTest, PoolGrowsWhileNotLongerThanTheNeed) {
  Module m;
  // poolLength + length + 1 must stay below the pool length.
  m.AddString(std::u16string(kPoolGrowth - 1, u'x'));
  EXPECT_EQ(m.pool.Length(), 2 * kPoolGrowth);
}

TEST(ModuleTest, TablesGrowByTheirFixedSteps) {
  Module m;
  for (int i = 0; i < 1024; ++i) m.verses.Append(m.verseCount, kVerseGrowth);
  EXPECT_EQ(m.verses.Length(), 1024);
  m.verses.Append(m.verseCount, kVerseGrowth);  // the 1025th
  EXPECT_EQ(m.verses.Length(), 2048);
  EXPECT_EQ(m.verseCount, 1025);
  for (int i = 0; i < 101; ++i) m.books.Append(m.bookCount, kBookGrowth);
  EXPECT_EQ(m.books.Length(), 200);
  // New records are zero-filled.
  EXPECT_EQ(m.books[150].title, 0);
  EXPECT_EQ(m.verses[2047].next, 0);
}

TEST(ModuleTest, ShrinkingThenGrowingGivesZeroedRecordsAgain) {
  DynArray<VerseRecord> verses;
  verses.SetLength(4);
  verses[3] = VerseRecord{1, 2, 3, 4};
  verses.SetLength(2);
  verses.SetLength(4);
  EXPECT_EQ(verses[3].book, 0);
  EXPECT_EQ(verses[3].next, 0);
  DynArray<ImageRecord> images;  // records holding vectors take the other storage
  images.SetLength(1);
  images[0].data = {1, 2, 3};
  images.SetLength(3);
  EXPECT_EQ(images[0].data.size(), 3u);
  EXPECT_TRUE(images[2].data.empty());
}

TEST(ModuleTest, OutOfRangeCarriesIndexAndLength) {
  Module m;
  m.books.SetLength(3);
  try {
    (void)m.books[3];
    FAIL() << "no exception";
  } catch (const DynArrayOutOfRange& e) {
    EXPECT_EQ(e.index(), 3);
    EXPECT_EQ(e.length(), 3);
  }
}

TEST(ModuleTest, BookNamesMatchIgnoringAsciiCaseOnly) {
  Module m;
  EXPECT_EQ(m.FindOrAddBookName(u"Psalm"), 0);
  EXPECT_EQ(m.FindOrAddBookName(u"PSALM"), 0);
  EXPECT_EQ(m.FindOrAddBookName(u"Genesis"), 1);
  EXPECT_EQ(m.FindOrAddBookName(u"\u00C9x"), 2);
  EXPECT_EQ(m.FindOrAddBookName(u"\u00E9x"), 3);  // é is not folded
  EXPECT_EQ(m.bookNameCount, 4);
  EXPECT_EQ(m.bookNames.Length(), 10);
  EXPECT_EQ(m.bookNames[1].lastBook, -1);
  EXPECT_EQ(m.GetString(m.bookNames[0].name), u"Psalm");
}

TEST(ModuleTest, FinalizeRoundsThePoolToEight) {
  Module m;
  m.AddString(u"123456789012");  // 13 units
  ASSERT_EQ(m.poolLength, 13);
  m.FinalizePool();
  EXPECT_EQ(m.poolWritten, 16);
  EXPECT_EQ(m.poolLength, 16);
}

// A module with one 5-byte image referenced from the pool text.
Module& WithImage(Module& m, std::u16string_view text) {
  const int32_t at = m.AddString(text);
  ImageRecord image;
  image.length = 5;
  image.paddedLength = 8;
  image.data = {1, 2, 3, 4, 5, 0, 0, 0};
  image.useCount = 1;
  image.usePositions.push_back(at + 7);
  image.useVerses.push_back(0);
  m.images.SetLength(1);
  m.images[0] = image;
  return m;
}

TEST(ModuleTest, FinalizeWritesTheImagePositionIntoItsReference) {
  Module m;
  WithImage(m, u"<image=1       >");  // 17 units with the terminator
  m.FinalizePool();
  EXPECT_EQ(m.poolWritten, 24);
  EXPECT_EQ(m.images[0].paddedLength, 8);
  EXPECT_EQ(m.poolLength, 24 + 8);  // (8 + 8) / 2 units for the entry
  EXPECT_EQ(m.GetString(0), u"<image=24      >");

  ModuleView view(AssembleImage(m));
  ImageEntry entry = view.ImageAt(24);
  EXPECT_EQ(entry.byteOffset, 68 + 48);
  const std::vector<uint8_t> want = {0, 0, 0, 0, 0, 0, 0, 5, 1, 2, 3, 4, 5, 0, 0, 0};
  std::vector<uint8_t> got(view.image().begin() + entry.byteOffset,
                           view.image().begin() + entry.byteOffset + 16);
  EXPECT_EQ(got, want);
  EXPECT_EQ(view.counters().poolLength, 32);
}

TEST(ModuleTest, FinalizeLeavesAFieldThatIsNotIntactAlone) {
  for (std::u16string_view text : {u"<image=1>", u"<image=1       x>", u"<imago=1       >"}) {
    Module m;
    WithImage(m, text);
    m.FinalizePool();
    EXPECT_EQ(m.GetString(0), text);
  }
}

}  // namespace
}  // namespace quillavor
