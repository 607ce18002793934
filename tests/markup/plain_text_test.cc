// PlainText and PlainTextInto: complete tags removed, a reused buffer gives
// the same text as a fresh one.
#include "markup/plain_text.h"

#include <gtest/gtest.h>

#include <string>

namespace quillavor {
namespace {

TEST(PlainTextTest, RemovesCompleteTagsIntoAFreshOrAReusedBuffer) {
  const struct {
    std::u16string_view in;
    std::u16string_view out;
  } cases[] = {
      {u"", u""},
      {u"no tags", u"no tags"},
      {u"<i>was</i> good", u"was good"},
      {u"a <b", u"a <b"},     // no ">" after the "<": kept with the rest
      {u"a>b<c>d", u"a>bd"},  // a ">" before any "<" is text
      {u"<<x>y>z", u"y>z"},   // the first "<" through the first ">"
      {u"<p>1 In the beginning <a=\"Joh 1\">John</a>.", u"1 In the beginning John."},
  };
  std::u16string reused = u"some longer text left in the buffer by the verse before";
  for (const auto& c : cases) {
    EXPECT_EQ(PlainText(c.in), c.out);
    PlainTextInto(c.in, reused);
    EXPECT_EQ(reused, c.out);
  }
}

}  // namespace
}  // namespace quillavor
