// The two dumps of `inspect`: the JSON carries the decoded links, the labels
// and the images of a module; a damaged module prints in both dumps, naming
// the damage, and never stops them.
#include "app/inspect.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "model/module_format.h"
#include "support/test_support.h"

namespace quillavor {
namespace {

using Json = nlohmann::json;

// Two psalms linking each other in every resolved form (decimal in a note,
// encoded, decimal with "#", a footnote), and an inline 73-byte PNG.
constexpr std::string_view kSource =
    "<Psalms>Psalms 1<note>See <a=\"Psalms 2\">Psalms 2</a>.<abbrev>Psa 1\n"
    "1 Blessed is the man[a]\n"
    "[a] man: or, one\n"
    "2 And he (<A=\"Psa 1:1-2\">1:1-2</a>)\n"
    "<Psalms>Psalms 2<abbrev>Psa 2\n"
    "1 Why (<a=\"Psalms 1#2\">see 1:2</a>)\n"
    "<image=        "
    ">iVBORw0KGgoAAAANSUhEUgAAAAQAAAAECAIAAAAmkwkpAAAAEElEQVR42mM40KAARwzEcQBGUhYBrvoSvAAAAABJ"
    "RU5ErkJggg==</image>\n";

Json JsonDump(const ModuleView& view) {
  std::ostringstream out;
  PrintModuleJson(view, out);
  return Json::parse(out.str());
}

TEST(InspectJson, CarriesLinksLabelsAndImages) {
  const ModuleView view = testing::CompileToView(kSource);
  const Json doc = JsonDump(view);

  EXPECT_EQ(doc["verses"][0]["label"], "1");
  EXPECT_EQ(doc["verses"][1]["label"], "2");
  EXPECT_EQ(doc["verses"][2]["label"], "1");
  EXPECT_EQ(doc["verses"][0]["labelIndex"], view.Verse(0).label);
  EXPECT_EQ(doc["verses"][3]["label"], nullptr);
  EXPECT_EQ(doc["verses"][3]["labelIndex"], -1);

  const Json psalms1 = {{"kind", "book"}, {"index", 0}, {"run", 1}, {"title", "Psalms 1"}};
  const Json psalms2 = {{"kind", "book"}, {"index", 1}, {"run", 1}, {"title", "Psalms 2"}};
  const int64_t footnote = doc["links"][1]["links"][0]["position"];
  EXPECT_EQ(doc["links"], Json::parse(R"([
    {"holder": "bookNote", "index": 0, "links": [
      {"tag": "a", "form": "decimal", "value": "17", "first": )" +
                                      psalms2.dump() + R"(}]},
    {"holder": "verse", "index": 0, "links": [
      {"tag": "f", "form": "footnote", "position": )" +
                                      std::to_string(footnote) + R"(,
       "text": "man: or, one"}]},
    {"holder": "verse", "index": 1, "links": [
      {"tag": "a", "form": "encoded", "refs": [)" +
                                      psalms1.dump() + R"(,
        {"kind": "verse", "index": 0, "run": 2, "book": 0, "bookTitle": "Psalms 1",
         "label": "1"}]}]},
    {"holder": "verse", "index": 2, "links": [
      {"tag": "a", "form": "decimal", "value": "1#18", "first": )" +
                                      psalms1.dump() + R"(,
       "second": {"kind": "verse", "index": 1, "run": 1, "book": 0,
                  "bookTitle": "Psalms 1", "label": "2"}}]}])"));
  EXPECT_EQ(view.String(static_cast<int32_t>(footnote)), u"man: or, one");

  ASSERT_EQ(doc["images"].size(), 1u);
  const Json& image = doc["images"][0];  // the example's dot.png
  const int32_t position = image["position"];
  EXPECT_EQ(image,
            Json({{"position", position}, {"length", 73}, {"type", "png"}, {"crc32", "30775be7"}}));
  EXPECT_NE(doc["verses"][3]["text"].get<std::string>().find("<image=" + std::to_string(position)),
            std::string::npos);
  EXPECT_EQ(doc["concordance"]["titleBook"], 2);
}

// The image with the fields of one record overwritten.
using Patch = std::function<void(const ModuleView&, std::vector<uint8_t>&)>;

// Byte offset of field `field` of record `record` in block `block` (3 to 7).
size_t FieldOffset(const ModuleView& v, int block, int32_t record, int field) {
  const Counters& c = v.counters();
  const int64_t sizes[] = {8, 40, 16, 20, 12};
  const int64_t counts[] = {c.bookNameCount, c.bookCount, c.verseCount, c.wordCount,
                            c.wordRefCount};
  int64_t at = format::kPoolOffset + 2 * int64_t{c.poolLength};
  for (int b = 3; b < block; ++b) at += format::kBlockHeaderSize + sizes[b - 3] * counts[b - 3];
  return static_cast<size_t>(at + format::kBlockHeaderSize + sizes[block - 3] * record + 4 * field);
}

Patch SetField(int block, std::function<int32_t(const ModuleView&)> record, int field,
               int32_t value) {
  return [=](const ModuleView& v, std::vector<uint8_t>& image) {
    std::memcpy(image.data() + FieldOffset(v, block, record(v), field), &value, 4);
  };
}

// Replaces the first pair of an encoded link of the pool.
void LinkToMissingBook(const ModuleView& v, std::vector<uint8_t>& image) {
  const std::span<const char16_t> pool = v.pool();
  for (size_t i = 0; i + 4 < pool.size(); ++i) {
    if (pool[i] == u'<' && pool[i + 1] == u'a' && format::IsPairUnit(pool[i + 3])) {
      const auto pair = format::EncodePair(format::kBookKind, 999);
      std::memcpy(image.data() + format::kPoolOffset + 2 * (i + 3), pair.data(), 4);
      return;
    }
  }
  FAIL() << "no encoded link";
}

void ImageRunsPastThePool(const ModuleView& v, std::vector<uint8_t>& image) {
  const std::string text = testing::U8(v.String(v.Verse(3).text));
  const int32_t position = std::stoi(text.substr(text.find("<image=") + 7));
  const auto length = format::BigEndianLength(0x7FFFFFF0);
  std::memcpy(image.data() + format::kPoolOffset + 2 * position + 4, length.data(), 4);
}

TEST(InspectDamaged, BothDumpsShowTheDamageAndGoOn) {
  const auto first = [](const ModuleView&) { return 0; };
  const auto firstWord = [](const ModuleView& v) { return v.counters().wordFirst; };
  const struct {
    const char* name;
    Patch patch;
    std::string text;  // in the text dump
    std::string json;  // a "damage" of the JSON dump
  } cases[] = {
      {"verse text", SetField(5, first, 2, 999999), "<verse text 999999 out of range (pool length",
       "verse text 999999 out of range"},
      {"book title", SetField(4, first, 4, -5), "<title -5 out of range", "title -5 out of range"},
      {"word chain", SetField(6, firstWord, 2, 4444), "<word index 4444 out of range (word count",
       ""},
      {"occurrence list", SetField(6, firstWord, 3, 5555),
       "<occurrence index 5555 out of range (occurrence count",
       "occurrence index 5555 out of range"},
      {"linked book", LinkToMissingBook, "{book 999 <linked book 999 out of range (book count",
       "linked book 999 out of range (book count 13)"},
      {"image length", ImageRunsPastThePool, "runs past the pool", "runs past the pool"},
  };
  const ModuleView intact = testing::CompileToView(kSource);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> image(intact.image().begin(), intact.image().end());
    c.patch(intact, image);
    const ModuleView damaged(std::move(image));

    std::ostringstream text;
    ASSERT_NO_THROW(PrintModule(damaged, InspectOptions{}, text));
    EXPECT_NE(text.str().find(c.text), std::string::npos) << text.str();
    std::ostringstream json;
    ASSERT_NO_THROW(PrintModuleJson(damaged, json));
    if (!c.json.empty()) {
      EXPECT_NE(json.str().find(c.json), std::string::npos) << json.str();
    }
    EXPECT_TRUE(Json::accept(json.str()));
  }
}

// Every byte of the image flipped in turn: whatever still reads as a module
// prints in both dumps and in the two queries.
TEST(InspectDamaged, NoFlippedByteStopsADump) {
  const ModuleView intact = testing::CompileToView(kSource);
  InspectOptions word;
  word.word = u"man";
  InspectOptions letter;
  letter.letter = u"m";
  for (size_t i = 0; i < intact.image().size(); ++i) {
    std::vector<uint8_t> image(intact.image().begin(), intact.image().end());
    image[i] ^= 0xA5;
    std::optional<ModuleView> damaged;
    try {
      damaged.emplace(std::move(image));
    } catch (const FormatError&) {
      continue;
    }
    std::ostringstream out;
    ASSERT_NO_THROW(PrintModule(*damaged, InspectOptions{}, out)) << "byte " << i;
    ASSERT_NO_THROW(PrintModule(*damaged, word, out)) << "byte " << i;
    ASSERT_NO_THROW(PrintModule(*damaged, letter, out)) << "byte " << i;
    std::ostringstream json;
    ASSERT_NO_THROW(PrintModuleJson(*damaged, json)) << "byte " << i;
    ASSERT_TRUE(Json::accept(json.str())) << "byte " << i;
  }
}

}  // namespace
}  // namespace quillavor
