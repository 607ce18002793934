// The image values of the module format: the number field after "<image="
// and the length of an image entry as it lies in the pool's code units.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "model/module_format.h"

namespace quillavor {
namespace {

TEST(ImageFormat, FieldHoldsALeftAlignedBlankFilledPosition) {
  const struct {
    std::u16string_view field;
    std::optional<int64_t> position;
  } cases[] = {
      {u"1234    ", 1234},         {u"12345678", 12345678},     {u"0       ", 0},
      {u"        ", std::nullopt}, {u" 123    ", std::nullopt}, {u"12 3    ", std::nullopt},
      {u"12#     ", std::nullopt}, {u"123    ", std::nullopt},  {u"123      ", std::nullopt},
  };
  int row = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(format::ParseImageField(c.field), c.position) << "row " << row;
    ++row;
  }
}

TEST(ImageFormat, EntryLengthReadsTheBigEndianBytesInsidePoolUnits) {
  for (uint32_t length : {0u, 1u, 4u, 5u, 0x01020304u, 0xFFFFFFFFu}) {
    // The header as written: an int32 0, then the length's big-endian bytes;
    // read back as the little-endian code units the pool holds.
    std::array<uint8_t, 8> header{};
    const std::array<uint8_t, 4> bytes = format::BigEndianLength(length);
    std::copy(bytes.begin(), bytes.end(), header.begin() + 4);
    std::array<char16_t, 4> units{};
    std::memcpy(units.data(), header.data(), header.size());
    EXPECT_EQ(format::ImageEntryLength(units[2], units[3]), length);
  }
  EXPECT_EQ(format::ImageEntryUnits(0), 4);
  EXPECT_EQ(format::ImageEntryUnits(1), 6);
  EXPECT_EQ(format::ImageEntryUnits(4), 6);
  EXPECT_EQ(format::ImageEntryUnits(5), 8);
}

}  // namespace
}  // namespace quillavor
