// Readable and machine-readable dumps of a module, for `quillavor-maker
// inspect` and for tests that compare a compiled module with an expected dump.
// One walk (WalkModule) reads the module once, tolerating damage, and hands
// decoded items to a sink; the text dump and the JSON dump are two sinks.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "reader/module_reader.h"

namespace quillavor {

struct InspectOptions {
  bool counters = true;
  bool books = true;
  bool verses = true;
  bool words = true;
  bool concordance = true;
  bool images = true;
  bool links = true;      // resolved links of verses and book notes, decoded
  std::u16string word;    // when set: the occurrences of this word only
  std::u16string letter;  // when set: the words of this Concordance letter book only
};

// ---- what the walk hands to a sink -------------------------------------------
//
// Items borrow from the ModuleView walked (string views into its pool,
// references to its records) and live as long as it does.

// A string field: the pool index it holds and the string, or the damage met.
struct StringItem {
  int32_t index = kNone;     // kNone: the field names no string
  std::u16string_view text;  // when readable()
  std::string damage;        // why the string cannot be read; empty when it can
  bool readable() const { return index != kNone && damage.empty(); }
};

// One reference of a resolved link, with the record it names.
struct RefItem {
  int kind = 0;          // format::kBookKind, format::kVerseKind, or whatever else the file holds
  int64_t index = 0;     // record index
  int32_t run = 1;       // verses covered, 1 for a single verse
  std::string damage;    // the record (or a verse's book) is missing; empty when found
  StringItem title;      // the book's title; for a verse, the title of its book
  int32_t book = kNone;  // a verse: its book
  StringItem label;      // a verse: its label
};

// One resolved link of a string.
struct LinkItem {
  enum class Form {
    kEncoded,     // "<a=" with pairs of units: refs
    kDecimal,     // "<a=" with a decimal value: refs[0], then second and context when present
    kFootnote,    // "<f=" with the pool position of the footnote text
    kUnreadable,  // a value made of resolved-value characters that is none of the forms
  };
  Form form = Form::kEncoded;
  char16_t tag = u'a';  // the tag letter, 'a' or 'f'
  std::vector<RefItem> refs;
  std::optional<RefItem> second;   // after "#"
  std::optional<RefItem> context;  // after "R"
  int64_t position = 0;            // a footnote's pool position
  StringItem note;                 // a footnote's text
  std::u16string_view value;       // decimal and unreadable: the value as written, trimmed
};

// The links of one string that holds any (or that cannot be read).
struct LinkHolderItem {
  enum class Holder { kBookNote, kVerse };
  Holder holder = Holder::kVerse;
  int32_t index = 0;   // the book or verse
  std::string damage;  // the string cannot be read
  std::vector<LinkItem> links;
};

struct BookNameItem {
  int32_t index;
  const BookNameRecord& record;
  StringItem name;
};

struct BookItem {
  int32_t index;
  const BookRecord& record;
  StringItem title, abbrev, note;
};

struct VerseItem {
  int32_t index;
  const VerseRecord& record;
  StringItem label, text;
};

// A word record, or (record null) a word index the sorted chain names that
// is missing.
struct WordItem {
  int32_t index = kNone;
  const DictEntry* record = nullptr;
  StringItem text;
  int occurrences = 0;  // along its occurrence list, up to the first damage
  std::string damage;   // the record is missing, or its occurrence list is broken
};

struct OccurrenceItem {
  int32_t index;
  const WordRef& record;
};

struct ConcordanceItem {
  struct Letter {
    int32_t book;
    StringItem title;
    int words;  // words whose letterBook is this book
  };
  int32_t titleBook = kNone;  // kNone: the module has no Concordance
  StringItem title;
  std::vector<Letter> letters;  // in ascending order
};

struct ImageItem {
  int32_t position = 0;  // as an "<image=" field names it
  std::string damage;    // the entry cannot be read; the rest is set only when empty
  uint32_t length = 0;
  std::string type;    // "png", "jpeg", "gif", "bmp" or "unknown", from the first bytes
  uint32_t crc32 = 0;  // of the bytes
};

// The walk's sections in walk order. kWords gives the word records in record
// order, kWordOrder the words along the sorted chain.
enum class Section {
  kCounters,
  kBookNames,
  kBooks,
  kVerses,
  kWords,
  kWordOrder,
  kOccurrences,
  kConcordance,
  kLinks,
  kImages,
};

// Receives the walk. A sink that does not want a section is not walked
// through it; Begin/End bracket every section walked. The count of Begin is
// the number of records of the section's table (kLinks: the book notes and
// verses looked at, kCounters and kConcordance: 1).
class InspectSink {
 public:
  virtual ~InspectSink() = default;
  virtual bool Wants(Section) const { return true; }
  virtual void Begin(Section, size_t /*count*/) {}
  virtual void End(Section) {}
  virtual void OnCounters(const Counters&, const StringItem& /*name*/) {}
  virtual void OnBookName(const BookNameItem&) {}
  virtual void OnBook(const BookItem&) {}
  virtual void OnVerse(const VerseItem&) {}
  virtual void OnWord(const WordItem&) {}  // kWords and kWordOrder
  virtual void OnOccurrence(const OccurrenceItem&) {}
  virtual void OnConcordance(const ConcordanceItem&) {}
  virtual void OnLinks(const LinkHolderItem&) {}
  virtual void OnImage(const ImageItem&) {}
};

// Walks the module section by section. Never throws for damage: what cannot
// be read arrives as an item's damage.
void WalkModule(const ModuleView& module, InspectSink& sink);

// The string a field names, as the walk reads it; `what` names the field in
// the damage message.
StringItem ReadString(const ModuleView& module, int32_t index, std::string_view what);

// The word record at `index` (a valid word index), its text read and its
// occurrences counted.
WordItem ReadWord(const ModuleView& module, int32_t index);

// The resolved links of one string, decoded, in order.
std::vector<LinkItem> DecodeLinks(const ModuleView& module, std::u16string_view s);

// ---- the text dump -----------------------------------------------------------

// A pool string as readable UTF-8: control characters, U+FFFF and lone
// surrogates escaped as \uXXXX; resolved "<A=" links decoded into
// {book N} and {verse N+run} references.
std::string DisplayText(std::u16string_view s);

// The resolved links of one string, decoded and described one per line
// ("<a> {book 3 "Genesis 1"} {verse 7+3 ...}", "<f> footnote text at 1234 ..."),
// each line preceded by `indent`. Nothing for a string without links.
std::string DescribeLinks(const ModuleView& module, std::u16string_view s,
                          const std::string& indent);

void PrintModule(const ModuleView& module, const InspectOptions& options, std::ostream& out);

// ---- the JSON dump -----------------------------------------------------------

// The whole module as one JSON object, one record per line (the shape is
// described in docs/FORMAT.md).
void PrintModuleJson(const ModuleView& module, std::ostream& out);

}  // namespace quillavor
