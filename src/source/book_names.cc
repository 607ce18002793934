#include "source/book_names.h"

#include <algorithm>

#include "platform/text.h"

namespace quillavor {

namespace {

// The fixed list: 98 items, alternating full name and abbreviation.
constexpr std::u16string_view kBookNameList =
    u"Genesis,Gen,Exodus,Exo,Leviticus,Lev,Numbers,Num,Deuteronomy,Deut,Joshua,Jos,"
    u"Judges,Jud,1 Samuel,1 Sam,2 Samuel,2 Sam,1 Kings,1 Kgs,2 Kings,2 Kgs,"
    u"1 Chronicles,1 Chron,2 Chronicles,2 Chron,Nehemiah,Neh,Esther,Est,Psalms,Psa,"
    u"Proverbs,Prov,Ecclesiastes,Eccl,Song of Solomon,Song,Isaiah,Isa,Jeremiah,Jer,"
    u"Lamentations,Lam,Ezekiel,Eze,Daniel,Dan,Hosea,Hos,Obadiah,Oba,Nahum,Nah,"
    u"Habakkuk,Hab,Zephaniah,Zeph,Haggai,Hag,Zechariah,Zech,Malachi,Mal,Matthew,Mat,"
    u"Luke,Luk,Romans,Rom,1 Corinthians,1 Cor,2 Corinthians,2 Cor,Galatians,Gal,"
    u"Ephesians,Eph,Philippians,Phil,Colossians,Col,1 Thessalonians,1 Thes,"
    u"2 Thessalonians,2 Thes,1 Timothy,1 Tim,2 Timothy,2 Tim,Hebrews,Heb,1 Peter,1 Pet,"
    u"2 Peter,2 Pet,Revelations,Rev";

std::vector<BookNameEntry> BuildTable() {
  std::vector<std::u16string> items;
  size_t start = 0;
  for (;;) {
    const size_t comma = kBookNameList.find(u',', start);
    items.emplace_back(kBookNameList.substr(start, comma - start));
    if (comma == std::u16string_view::npos) break;
    start = comma + 1;
  }
  std::vector<BookNameEntry> table;
  // Pairs of (full name, abbreviation); a lone last item would be dropped.
  for (size_t i = 0; i + 1 < items.size(); i += 2) {
    table.push_back(BookNameEntry{items[i + 1] + u" ", items[i]});
  }
  return table;
}

}  // namespace

const std::vector<BookNameEntry>& BookNameTable() {
  static const std::vector<BookNameEntry> table = BuildTable();
  return table;
}

void EnsureBookNameTable() { BookNameTable(); }

std::u16string expandBookAbbreviation(std::u16string_view text) {
  // The table holds printable ASCII only. Against a text whose first units
  // are printable ASCII too, "equal ignoring case" is the ASCII comparison
  // (the collator's answer for such strings), asked directly: the text is
  // compared with every entry.
  const size_t asciiHead = static_cast<size_t>(
      std::find_if(text.begin(), text.end(), [](char16_t c) { return c < 0x20 || c > 0x7E; }) -
      text.begin());
  auto equal = [&](size_t n, std::u16string_view name) {
    if (n <= asciiHead) return text::AsciiEqualIgnoreCase(text.substr(0, n), name);
    return text::CollatorEqual(text.substr(0, n), name, text::Strength::kSecondary);
  };
  for (const BookNameEntry& entry : BookNameTable()) {
    const size_t n = entry.abbreviationKey.size();
    if (text.size() < n) continue;
    if (!equal(n, entry.abbreviationKey)) continue;
    const size_t full = entry.fullName.size();
    if (text.size() >= full && (text.size() == full || text[full] == u' ') &&
        equal(full, entry.fullName)) {
      return std::u16string(text);
    }
    std::u16string out = entry.fullName;
    out.append(text.substr(n - 1));
    return out;
  }
  return std::u16string(text);
}

}  // namespace quillavor
