#include "markup/layout_scan.h"

#include <gtest/gtest.h>

#include <string>

#include "markup/compile_helpers.h"

namespace quillavor {
namespace {

using testing::CompileMarkup;

struct LabelCase {
  const char* line;   // a verse line in a book of its own
  const char* label;  // "(none)" when the verse has no label
  bool plainLayout;   // the book's bit after the line
};

TEST(LayoutScanTest, LabelsAndPlainLayout) {
  const LabelCase cases[] = {
      {"3 And", "3", true},
      {"<i>3 And", "3", true},
      {"<b><indent>4 Then", "4", false},
      {"<sc>Lord", "(none)", true},
      {"\t<left>5 So", "5", false},
      {"<p><left>5 So", "5", false},
      {"12a Text", "12a", true},
      {"12\tText", "12", true},
      {"3,4 text", "3,4", true},
      {"\t 7 x", "7", true},
      {"<p>", "(none)", false},
      {"<p>  ", "(none)", false},
      {"<p><span class=x>1 Text", "1", false},
      {"<i><span class=x>1 Text", "1", true},
      {"<p 3 x", "(none)", true},  // "<" without ">": the tags end there
      {"<i>x 3", "(none)", true},
      {"<i><pp>3", "3", true},
      {"<i><P >3", "3", true},
      {"<i><left >3", "3", true},
      {"x<p>3", "(none)", true},
      {"<a=\"Genesis\">1</a> x", "1</a>", true},
  };
  for (const LabelCase& lc : cases) {
    auto c = testing::CompileMarkup(std::string("<B>T\n") + lc.line + "\n");
    ASSERT_EQ(c->m().verseCount, 1) << lc.line;
    EXPECT_EQ(c->Label(0), lc.label) << lc.line;
    EXPECT_EQ((c->m().books[0].bookFlags & kBookPlainLayout) != 0, lc.plainLayout) << lc.line;
  }
}

TEST(LayoutScanTest, EveryLayoutTagClearsPlainLayout) {
  const char* tags[] = {"<p>",  "<P>",  "<l>",    "<L>",     "<n>",      "<hp>",     "<hP>",
                        "<hl>", "<hL>", "<left>", "<right>", "<center>", "<indent>", "<indent2>"};
  for (const char* tag : tags) {
    EXPECT_TRUE(IsLayoutTag(std::u16string(tag, tag + std::char_traits<char>::length(tag)))) << tag;
    auto c = CompileMarkup(std::string("<B>T\n<i>") + tag + "1 x\n");
    EXPECT_EQ(c->m().books[0].bookFlags, 0) << tag;
    EXPECT_EQ(c->Label(0), "1") << tag;
  }
  for (std::u16string_view other : {u"<i>", u"<b>", u"<hx>", u"<Left>", u"<indent3>", u"<>"}) {
    EXPECT_FALSE(IsLayoutTag(other));
  }
}

TEST(LayoutScanTest, LeftAtTheTextStartMakesAHeader) {
  auto c = CompileMarkup("<B>T\n<left>5 So\n  <left>5 So\n");
  EXPECT_EQ(c->m().bookCount, 3);
  EXPECT_EQ(c->m().verseCount, 0);
}

TEST(LayoutScanTest, OneLayoutLineClearsTheWholeBookOnly) {
  auto c = CompileMarkup("<A>a\n1 x\n<p>12 Text\n13 y\n<B>b\n1 z\n");
  EXPECT_EQ(c->m().books[0].bookFlags & kBookPlainLayout, 0);
  EXPECT_EQ(c->m().books[1].bookFlags & kBookPlainLayout, kBookPlainLayout);
  EXPECT_EQ(c->Label(1), "12");
}

TEST(LayoutScanTest, DisableAndEnableRefs) {
  auto c =
      CompileMarkup("<A>a\n1 x\nDISABLE_REFS\n12 Text\n<B>b\n13 still off\nEnable_Refs\n12 Text\n");
  EXPECT_EQ(c->Label(0), "1");
  EXPECT_EQ(c->Label(1), "(none)");
  EXPECT_EQ(c->Label(2), "(none)");  // the switch holds across books
  EXPECT_EQ(c->Label(3), "12");
}

TEST(LayoutScanTest, EqualLabelsShareOnePoolString) {
  auto c = CompileMarkup("<A>a\n7 x\n<B>b\n<p>7 y\n7a z\n");
  const Module& m = c->m();
  EXPECT_EQ(m.verses[0].label, m.verses[1].label);
  EXPECT_NE(m.verses[0].label, m.verses[2].label);
  // The label is a string of its own, not the verse text.
  EXPECT_NE(m.verses[0].label, m.verses[0].text);
  EXPECT_EQ(c->Label(1), "7");
}

TEST(LayoutScanTest, TheScanNeverChangesTheText) {
  auto c = CompileMarkup("<A>a\n<p><i>12 x</i>\n");
  EXPECT_EQ(c->VerseText(0), "<p><i>12 x</i>");
}

}  // namespace
}  // namespace quillavor
