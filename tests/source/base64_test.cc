#include "source/base64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/errors.h"

namespace quillavor {
namespace {

std::string Decode(std::string_view text) {
  std::vector<uint8_t> out(static_cast<size_t>(Base64DecodedLength(text)));
  const int64_t written = Base64Decode(text, out);
  EXPECT_EQ(written, static_cast<int64_t>(out.size())) << "for '" << text << "'";
  return std::string(out.begin(), out.end());
}

TEST(Base64Test, DecodesGroupsAndPartialGroups) {
  struct Case {
    std::string_view text;
    std::string_view bytes;
  };
  const Case cases[] = {
      {"QUJD", "ABC"},
      {"QUI=", "AB"},
      {"QQ", "A"},
      {"QQ==", "A"},
      {"Q", ""},
      {"Q===", ""},
      {"", ""},
      {"====", ""},
      {"QUJDRA", "ABCD"},
      {"QUJDREU", "ABCDE"},
      {"QUJDR", "ABC"},  // a single leftover character yields nothing
      // Everything outside the alphabet is skipped, wherever it stands.
      {"QU JD\r\n", "ABC"},
      {"Q=U=J=D", "ABC"},
      {"\tQ-U_J.D*", "ABC"},
      {"Zg==", "f"},
      {"Zm8=", "fo"},
      {"Zm9v", "foo"},
      {"Zm9vYg==", "foob"},
      {"Zm9vYmE=", "fooba"},
      {"Zm9vYmFy", "foobar"},
      {"AAAA", std::string_view("\0\0\0", 3)},
      {"/+//", "\xFF\xEF\xFF"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Decode(c.text), c.bytes) << "for '" << c.text << "'";
  }
}

TEST(Base64Test, BytesOutsideAsciiAreSkipped) {
  std::string text = "QU";
  for (int b = 0x80; b <= 0xFF; ++b) text.push_back(static_cast<char>(b));
  text += "JD";
  EXPECT_EQ(Decode(text), "ABC");
}

TEST(Base64Test, TooSmallBufferIsRefusedBeforeWriting) {
  std::vector<uint8_t> out(2, 0x55);
  EXPECT_THROW(Base64Decode("QUJD", out), SourceError);
  EXPECT_EQ(out, std::vector<uint8_t>(2, 0x55));
}

TEST(Base64Test, LargerBufferKeepsItsTail) {
  std::vector<uint8_t> out(8, 0x55);
  EXPECT_EQ(Base64Decode("QUI=", out), 2);
  EXPECT_EQ(out, (std::vector<uint8_t>{0x41, 0x42, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}));
}

}  // namespace
}  // namespace quillavor
