#include "markup/line_compiler.h"

#include <array>
#include <cstdint>
#include <string_view>

#include "markup/compiler.h"
#include "markup/layout_scan.h"
#include "markup/line_stages.h"
#include "markup/tags.h"
#include "model/errors.h"
#include "model/module.h"
#include "model/module_format.h"
#include "model/progress.h"
#include "platform/text.h"

namespace quillavor {

namespace {

// The message queue is pumped after every this many lines.
constexpr int32_t kPumpInterval = 100;

// What a control keyword line switches.
enum class Switch {
  kIndexingOff,
  kIndexingOn,
  kSuperscriptVerses,
  kInspiredVersion,
  kBible,
  kHymnal,
  kDoctrineAndCovenants,
  kBookOfMormon,
  kHelp,
  kLabelsOff,
  kLabelsOn,
};

struct Keyword {
  std::u16string_view text;
  bool ignoreCase;
  Switch effect;
};

// Tested in this order at the very start of a line; the first match decides.
constexpr std::array<Keyword, 11> kKeywords = {{
    {u"INDEX_OFF", false, Switch::kIndexingOff},
    {u"INDEX_ON", false, Switch::kIndexingOn},
    {u"SUPERSCRIPT_VERSES", true, Switch::kSuperscriptVerses},
    {u"INSPIRED_VERSION", true, Switch::kInspiredVersion},
    {u"BIBLE", true, Switch::kBible},
    {u"COMMUNITY_OF_CHRIST_SINGS", true, Switch::kHymnal},
    {u"DOCTRINE_AND_COVENANTS", true, Switch::kDoctrineAndCovenants},
    {u"BOOK_OF_MORMON", true, Switch::kBookOfMormon},
    {u"HELP", true, Switch::kHelp},
    {u"DISABLE_REFS", true, Switch::kLabelsOff},
    {u"ENABLE_REFS", true, Switch::kLabelsOn},
}};

constexpr std::u16string_view kRefrainTag = u"<refrain>";
// "<refrainopt:", six blanks that take the refrain number, ">".
constexpr std::u16string_view kRefrainOptTag = u"<refrainopt:      >";
constexpr size_t kRefrainOptField = 12;
constexpr size_t kRefrainOptWidth = 6;

constexpr std::u16string_view kSuppress = u"<suppress>";
constexpr std::u16string_view kNoSibLink = u"<nosiblink>";
constexpr std::u16string_view kNote = u"<note>";
constexpr std::u16string_view kAbbrev = u"<abbrev>";

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c; }

// True when the pool text at `pos` (before `end`) starts with `prefix`,
// compared over the prefix's exact length.
bool StartsWith(const char16_t* pool, int32_t pos, int32_t end, std::u16string_view prefix,
                bool ignoreCase = false) {
  if (static_cast<size_t>(end - pos) < prefix.size()) return false;
  const char16_t* p = pool + pos;
  if (!ignoreCase) return std::u16string_view(p, prefix.size()) == prefix;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (FoldAscii(p[i]) != FoldAscii(prefix[i])) return false;
  }
  return true;
}

// Index of the first `c` in [from, end), or `end`.
int32_t Find(const char16_t* pool, int32_t from, int32_t end, char16_t c) {
  if (from >= end) return from;
  return static_cast<int32_t>(text::FindUnit(pool + from, pool + end, c) - pool);
}

// Index of the first `needle` in [from, end), or `end`.
int32_t Find(const char16_t* pool, int32_t from, int32_t end, std::u16string_view needle) {
  if (from >= end) return end;
  const std::u16string_view hay(pool + from, static_cast<size_t>(end - from));
  const size_t at = text::FindText(hay, needle);
  return at == std::u16string_view::npos ? end : from + static_cast<int32_t>(at);
}

std::u16string_view View(const char16_t* pool, int32_t from, int32_t to) {
  return std::u16string_view(pool + from, static_cast<size_t>(to - from));
}

bool IsKnownTag(const char16_t* pool, int32_t pos, int32_t end) {
  for (std::u16string_view tag : kKnownTags) {
    if (StartsWith(pool, pos, end, tag)) return true;
  }
  return false;
}

bool IsLowerAscii(char16_t c) { return c >= u'a' && c <= u'z'; }

// "[" + one or two lowercase letters + "]" at the text start, the text
// being at least 4 units long.
bool IsFootnoteLine(const char16_t* pool, int32_t pos, int32_t end) {
  if (end - pos < 4) return false;
  const char16_t* p = pool + pos;
  if (p[0] != u'[' || !IsLowerAscii(p[1])) return false;
  return p[2] == u']' || (IsLowerAscii(p[2]) && p[3] == u']');
}

bool IsStrtolSpace(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

// Reads a base-10 number the way strtol does: leading white space, an
// optional sign, digits; no digits gives 0. Saturates far outside any table.
int64_t ReadNumber(const char16_t* pool, int32_t pos, int32_t end) {
  while (pos < end && IsStrtolSpace(pool[pos])) ++pos;
  bool negative = false;
  if (pos < end && (pool[pos] == u'+' || pool[pos] == u'-')) {
    negative = pool[pos] == u'-';
    ++pos;
  }
  constexpr int64_t kCap = int64_t{1} << 40;
  int64_t value = 0;
  while (pos < end && pool[pos] >= u'0' && pool[pos] <= u'9') {
    if (value < kCap) value = value * 10 + (pool[pos] - u'0');
    ++pos;
  }
  return negative ? -value : value;
}

}  // namespace

void CutLines(Module& module, int32_t begin, int32_t end, std::vector<int32_t>* lineFeeds) {
  char16_t* pool = module.pool.Data();
  // One fast scan per line-end unit instead of two tests on every unit.
  for (const char16_t lineEnd : {u'\n', u'\r'}) {
    for (int32_t i = Find(pool, begin, end, lineEnd); i < end;
         i = Find(pool, i + 1, end, lineEnd)) {
      if (lineEnd == u'\n' && lineFeeds != nullptr) lineFeeds->push_back(i);
      pool[i] = 0;
    }
  }
}

LineCompiler::LineCompiler(Module& module, Progress& progress, LineStages& stages,
                           DictionaryAccel& labelAccel, PendingLinks& pendingLinks,
                           MarkupFacts* facts)
    : module_(module),
      progress_(progress),
      stages_(stages),
      labelAccel_(labelAccel),
      pendingLinks_(pendingLinks),
      facts_(facts) {}

const char16_t* LineCompiler::Pool() const { return module_.pool.Data(); }

void LineCompiler::Run(int32_t begin, int32_t end) {
  int32_t pos = begin;
  while (pos < end) {
    while (pos < end && Pool()[pos] == 0) ++pos;
    if (pos >= end) break;
    const int32_t start = pos;
    pos = Find(Pool(), pos, end, u'\0');
    CompileLine(start, pos);
  }
}

void LineCompiler::CompileLine(int32_t start, int32_t end) {
  if (++lineCount_ % kPumpInterval == 0) progress_.Pump();
  if (module_.pool[start] == u'\uFEFF') ++start;
  if (ApplyKeyword(start, end)) return;
  start = ApplyRefrains(start, end);

  int32_t textStart = start;
  while (textStart < end && Pool()[textStart] == u' ') ++textStart;

  if (textStart < end && Pool()[textStart] == u'<') {
    if (IsKnownTag(Pool(), textStart, end)) {
      const int32_t image = Find(Pool(), start, end, kImageTag);
      if (image < end) RecordImageReference(image, end);
    } else if (StartsWith(Pool(), textStart, end, kImageTag)) {
      RecordImageReference(textStart, end);
    } else if (Find(Pool(), textStart + 1, end, u'>') < end) {
      CompileHeader(textStart, end);
      return;
    }
  }

  if (currentBook_ == -1 && facts_ != nullptr) NoteTextBeforeBook(start, end);
  if (IsFootnoteLine(Pool(), textStart, end)) {
    CompileFootnoteLine(textStart, end);
  } else if (currentBook_ != -1 && textStart < end) {
    CompileVerse(textStart, end);
  }
  // Anything else is dropped.
}

void LineCompiler::NoteTextBeforeBook(int32_t start, int32_t end) {
  // Before the first book no line makes a verse: a footnote line there
  // belongs to none. Lines of blanks alone are not counted.
  for (int32_t i = start; i < end; ++i) {
    const char16_t c = Pool()[i];
    if (c == u' ' || c == u'\t') continue;
    if (facts_->firstTextBeforeBook == kNone) facts_->firstTextBeforeBook = start;
    ++facts_->linesBeforeBook;
    return;
  }
}

bool LineCompiler::ApplyKeyword(int32_t start, int32_t end) {
  for (const Keyword& keyword : kKeywords) {
    if (!StartsWith(Pool(), start, end, keyword.text, keyword.ignoreCase)) continue;
    switch (keyword.effect) {
      case Switch::kIndexingOff:
        indexingOn_ = false;
        break;
      case Switch::kIndexingOn:
        indexingOn_ = true;
        break;
      case Switch::kSuperscriptVerses:
        module_.superscriptVerses = 1;
        break;
      case Switch::kInspiredVersion:
        module_.isInspiredVersion = 1;
        break;
      case Switch::kBible:
        module_.isBible = 1;
        break;
      case Switch::kHymnal:
        module_.isHymnal = 1;
        break;
      case Switch::kDoctrineAndCovenants:
        module_.isDoctrineAndCovenants = 1;
        break;
      case Switch::kBookOfMormon:
        module_.isBookOfMormon = 1;
        break;
      case Switch::kHelp:
        module_.isHelp = 1;
        break;
      case Switch::kLabelsOff:
        labelsOn_ = false;
        break;
      case Switch::kLabelsOn:
        labelsOn_ = true;
        break;
    }
    return true;
  }
  return false;
}

int32_t LineCompiler::ApplyRefrains(int32_t start, int32_t end) {
  if (StartsWith(Pool(), start, end, kRefrainTag, true)) {
    refrainNumber_ = std::to_string(module_.verseCount);
    start += static_cast<int32_t>(kRefrainTag.size());
  }
  if (StartsWith(Pool(), start, end, kRefrainOptTag, true)) {
    // The field holds six characters; a longer number is cut there.
    const size_t n = std::min(refrainNumber_.size(), kRefrainOptWidth);
    const int64_t field = int64_t{start} + static_cast<int64_t>(kRefrainOptField);
    for (size_t i = 0; i < n; ++i) {
      module_.pool[field + static_cast<int64_t>(i)] = static_cast<char16_t>(refrainNumber_[i]);
    }
  }
  return start;
}

void LineCompiler::RecordImageReference(int32_t tagPos, int32_t end) {
  const int32_t field = tagPos + static_cast<int32_t>(kImageTag.size());
  const int64_t number = ReadNumber(Pool(), field, end);
  const int64_t imageCount = module_.images.Length();
  if (number < 1 || number > imageCount) {
    throw SourceError(text::EncodeUtf8(module_.sourcePath) + ": image reference " +
                      std::to_string(number) + " names no image (the source has " +
                      std::to_string(imageCount) + (imageCount == 1 ? " image)" : " images)"));
  }
  ImageRecord& image = module_.images[number - 1];
  ++image.useCount;
  image.useVerses.push_back(module_.verseCount);
  image.usePositions.push_back(field);
}

void LineCompiler::CompileHeader(int32_t start, int32_t end) {
  // "<" Name ">" Title, then the modifiers in their fixed order. The line is
  // read first, as positions; the strings are added afterwards, each from a
  // view taken at the moment it is added.
  const int32_t nameEnd = Find(Pool(), start + 1, end, u'>');
  const int32_t titleStart = nameEnd + 1;
  const int32_t titleEnd = Find(Pool(), titleStart, end, u'<');
  int32_t flags = kBookPlainLayout;
  int32_t pos = titleEnd;
  if (StartsWith(Pool(), pos, end, kSuppress)) {
    flags |= kBookSuppress;
    pos = Find(Pool(), pos + 1, end, u'<');
  }
  if (StartsWith(Pool(), pos, end, kNoSibLink)) {
    flags |= kBookNoSibLink;
    pos = Find(Pool(), pos + 1, end, u'<');
  }
  int32_t noteStart = kNone;
  int32_t noteEnd = kNone;
  if (StartsWith(Pool(), pos, end, kNote)) {
    noteStart = pos + static_cast<int32_t>(kNote.size());
    noteEnd = Find(Pool(), noteStart, end, kAbbrev);
    pos = noteEnd;
  }
  int32_t abbrevStart = kNone;
  int32_t abbrevEnd = kNone;
  if (StartsWith(Pool(), pos, end, kAbbrev)) {
    abbrevStart = pos + static_cast<int32_t>(kAbbrev.size());
    abbrevEnd = Find(Pool(), abbrevStart, end, u'<');
  }

  const int32_t title = module_.AddString(View(Pool(), titleStart, titleEnd));
  progress_.Phase(module_.StringView(title));
  progress_.Pump();
  const int32_t note =
      noteStart == kNone ? kNone : module_.AddString(View(Pool(), noteStart, noteEnd));
  const int32_t abbrev =
      abbrevStart == kNone ? kNone : module_.AddString(View(Pool(), abbrevStart, abbrevEnd));
  const int32_t k = FindOrAddBookName(start + 1, nameEnd);

  const int32_t b = module_.books.Append(module_.bookCount, kBookGrowth);
  module_.books[b] = BookRecord{kNone, kNone, kNone, kNone, title, note, abbrev, kNone, k, flags};
  format::ChainBook(
      module_.books, [this](int32_t n) -> int32_t& { return module_.bookNames[n].lastBook; }, k, b);
  currentBook_ = b;
  if (facts_ != nullptr) facts_->headerLines.push_back(start);
  stages_.BookCreated(b);
}

int32_t LineCompiler::FindOrAddBookName(int32_t start, int32_t end) {
  std::u16string key(View(Pool(), start, end));
  for (char16_t& c : key) c = FoldAscii(c);
  const auto [it, added] = bookNameIndex_.try_emplace(std::move(key), kNone);
  if (added) it->second = module_.AddBookName(View(Pool(), start, end));
  return it->second;
}

void LineCompiler::StepLinks(int32_t textStart, int32_t end, int32_t context, bool queueVerse) {
  // Every "<" is examined, tag or not. LinkStep writes only inside the tag.
  for (int32_t pos = Find(Pool(), textStart, end, u'<'); pos < end;
       pos = Find(Pool(), pos + 1, end, u'<')) {
    if (IsLinkTagAt(Pool(), static_cast<size_t>(pos)) && !stages_.LinkStep(pos, context)) {
      pendingLinks_.Add(queueVerse ? context : -pos, context);
    }
  }
}

void LineCompiler::CompileVerse(int32_t textStart, int32_t end) {
  const int32_t v = module_.verses.Append(module_.verseCount, kVerseGrowth);
  const int32_t bookIndex = module_.bookCount - 1;
  module_.verses[v] = VerseRecord{bookIndex, kNone, textStart, kNone};
  if (previousVerse_ != kNone && module_.verses[previousVerse_].book == bookIndex) {
    module_.verses[previousVerse_].next = v;
  }
  BookRecord& book = module_.books[bookIndex];
  if (book.firstText == kNone) book.firstText = v;

  StepLinks(textStart, end, v, /*queueVerse=*/true);
  ScanLeadingLayout(module_, labelAccel_, v, textStart, end, labelsOn_, labelScratch_);
  stages_.IndexVerse(v, indexingOn_);
  previousVerse_ = v;
}

void LineCompiler::CompileFootnoteLine(int32_t textStart, int32_t end) {
  // The line belongs to the verse created last; it makes no record.
  StepLinks(textStart, end, module_.verseCount - 1, /*queueVerse=*/false);
}

}  // namespace quillavor
