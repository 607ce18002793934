// PrepareVerseText: trimming and "<sc>" removal, including the copy of the
// text before the first "<sc>" taken whole.
#include <gtest/gtest.h>

#include <string>

#include "index/word_index.h"

namespace quillavor {
namespace {

struct Case {
  std::u16string_view in;
  std::u16string_view out;
};

TEST(PrepareVerseTextTest, TrimsAndRemovesSmallCapsTags) {
  const Case cases[] = {
      {u"", u""},
      {u"   ", u""},
      {u"  plain words \t", u"plain words"},
      {u"<sc>", u""},
      {u"the <sc>Lord</sc> God", u"the Lord</sc> God"},
      {u"<<sc>sc>x", u"x"},          // a removal that completes another tag
      {u"a<s<sc>c>b", u"ab"},        // the same in the middle
      {u"<sc", u"<sc"},              // incomplete tags stay
      {u"<SC>upper", u"<SC>upper"},  // the tag is matched exactly
      {u"x <sc><sc>y<sc>", u"x y"},
  };
  std::u16string out = u"left over from an earlier verse";
  for (const Case& c : cases) {
    PrepareVerseText(c.in, out);
    EXPECT_EQ(out, c.out) << std::string(c.in.begin(), c.in.end());
  }
}

}  // namespace
}  // namespace quillavor
