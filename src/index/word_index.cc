#include "index/word_index.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "index/tokenizer.h"
#include "model/dictionary.h"
#include "model/module.h"
#include "model/module_format.h"
#include "model/progress.h"
#include "platform/text.h"

namespace quillavor {

namespace {

constexpr std::u16string_view kSmallCapsTag = u"<sc>";
constexpr std::u16string_view kIndexPhase = u"Finalize WORD indexes";
constexpr std::u16string_view kTitleEnglish = u"Concordance";
constexpr std::u16string_view kTitleSpanish = u"Concordancia";
constexpr std::u16string_view kSpanishOption = u"spanish";
constexpr std::u16string_view kTitleBookName = u"Concordance";  // also for Spanish modules
constexpr std::u16string_view kLetterBookName = u"Letter";
// Room set aside for occurrences: one per this many pool code units, about
// the density of verse text (a whole Bible has one word per 6.4 units).
constexpr int32_t kPoolUnitsPerOccurrence = 5;

// Reused from verse to verse, so that indexing a verse allocates nothing
// once the buffers have reached the size of the longest verse.
VerseWords& Scratch() {
  thread_local VerseWords scratch;
  return scratch;
}

// A verse that begins like a footnote marker: "[" with "]" as its third or
// fourth code unit ("[a]", "[12]"). Only units inside the text are looked at.
bool LooksLikeFootnote(std::u16string_view t) {
  return !t.empty() && t[0] == u'[' &&
         ((t.size() > 2 && t[2] == u']') || (t.size() > 3 && t[3] == u']'));
}

// p.find(word, from) for a token `word` that is a view into `p` at or after
// `from`: the search ends at the token itself at the latest, so only the
// stretch between the previous word and this one is looked at.
size_t FindWordFrom(std::u16string_view p, std::u16string_view word, size_t from) {
  const size_t at = static_cast<size_t>(word.data() - p.data());
  const char16_t first = word[0];
  for (size_t i = from; i < at; ++i) {
    // A match before the token ends before the token's end: within `p`.
    if (p[i] == first && std::equal(word.begin() + 1, word.end(), p.begin() + i + 1)) return i;
  }
  return at;
}

}  // namespace

// Each unit is appended and a "<sc>" completed at the end of the output is
// taken back at once, which also removes the ones that a removal brings
// together ("<<sc>sc>"). The tag cannot overlap itself, so this gives the same
// text as removing all occurrences over and over.
void PrepareVerseText(std::u16string_view verseText, std::u16string& out) {
  const std::u16string_view trimmed = text::TrimView(verseText);
  // Up to the first "<sc>" nothing is removed: that part is copied whole,
  // and most verses have no "<sc>" at all.
  const size_t first = text::FindText(trimmed, kSmallCapsTag);
  if (first == std::u16string_view::npos) {
    out.assign(trimmed);
    return;
  }
  out.assign(trimmed.substr(0, first));
  const size_t n = kSmallCapsTag.size();
  for (char16_t c : trimmed.substr(first)) {
    out.push_back(c);
    if (c == u'>' && out.size() >= n &&
        std::u16string_view(out).substr(out.size() - n) == kSmallCapsTag) {
      out.resize(out.size() - n);
    }
  }
}

namespace {

// Appends a Concordance book with name index `nameIndex` (0 the title
// book, 1 a letter book), zero-filled apart from its title and the fields of
// no reference, and chains it as the latest book of that name; returns its
// index.
int32_t AppendConcordanceBook(Module& module, int32_t title, int32_t nameIndex) {
  const int32_t b = module.books.Append(module.bookCount, kBookGrowth);
  BookRecord& book = module.books[b];
  book = BookRecord{};
  book.prevName = kNone;
  book.nextName = kNone;
  book.title = title;
  book.note = kNone;
  book.abbrev = kNone;
  book.firstText = 0;
  book.nameIndex = nameIndex;
  book.bookFlags = 0;
  format::ChainConcordanceBook(
      module.books, [&module](int32_t n) -> int32_t& { return module.bookNames[n].lastBook; },
      nameIndex, b);
  return b;
}

int32_t AppendBookName(Module& module, std::u16string_view name) {
  const int32_t nameIndex = module.AddString(name);
  const int32_t k = module.bookNames.Append(module.bookNameCount, kBookNameGrowth);
  module.bookNames[k] = BookNameRecord{nameIndex, kNone};
  return k;
}

// Reverses the occurrence list of every word (the sentinel included) so that
// it runs from the oldest occurrence to the newest. Each step of a list walk
// waits for the record it loads, and the records of one word lie far apart;
// several lists are therefore walked side by side, so that their loads
// overlap. Every list is reversed exactly as if walked alone.
void ReverseOccurrenceLists(Module& module) {
  struct Walk {
    int32_t word;
    int32_t previous;  // the record visited before `current`, -1 at the start
    int32_t current;
  };
  constexpr size_t kWalks = 16;
  std::array<Walk, kWalks> walks{};
  size_t active = 0;
  int32_t nextWord = 0;
  // Starts the walk of the next word with a non-empty list; false when none is left.
  auto start = [&](Walk& walk) {
    for (; nextWord < module.wordCount; ++nextWord) {
      const int32_t first = module.words[nextWord].firstRef;
      if (first != kNone) {
        walk = Walk{nextWord++, kNone, first};
        return true;
      }
    }
    return false;
  };
  while (active < kWalks && start(walks[active])) ++active;
  while (active > 0) {
    for (size_t i = 0; i < active;) {
      Walk& walk = walks[i];
      WordRef& ref = module.wordRefs[walk.current];
      const int32_t next = ref.next;
      ref.next = walk.previous;
      walk.previous = walk.current;
      walk.current = next;
      if (next == kNone) {
        module.words[walk.word].firstRef = walk.previous;
        if (!start(walk)) {
          walk = walks[--active];
          continue;
        }
      }
      ++i;
    }
  }
}

}  // namespace

void AnalyseVerse(std::u16string_view t, VerseWords& out) {
  out.words.clear();
  out.offsets.clear();
  out.indexed =
      !LooksLikeFootnote(t) && text::FindText(t, format::kImageTag) == std::u16string_view::npos;
  if (!out.indexed) return;
  // The prepared text is a copy: adding new words to the pool may move the
  // pool, while the tokens stay views into `prepared`.
  PrepareVerseText(t, out.prepared);
  const std::u16string_view p = out.prepared;
  WordTokenizer(p, out.words);
  out.offsets.reserve(out.words.size());
  // The search restarts at the previous word's offset, not after it: a word
  // repeating the previous one gets the same offset.
  size_t searchStart = 0;
  for (const std::u16string_view word : out.words) {
    const size_t found = FindWordFrom(p, word, searchStart);
    searchStart = found;
    out.offsets.push_back(found > kMaxWordOffset ? kMaxWordOffset : static_cast<uint32_t>(found));
  }
}

void RecordVerseWords(Module& module, DictionaryAccel& wordAccel, int32_t verseIndex,
                      const VerseWords& words) {
  if (!words.indexed) return;
  module.tokenTotal += static_cast<int32_t>(words.words.size());

  // Occurrences grow in small fixed steps; room set aside once, from the
  // size of the text, spares the table most of the copies of its growth.
  if (module.wordRefs.Length() == 0)
    module.wordRefs.Reserve(module.poolLength / kPoolUnitsPerOccurrence);

  uint32_t ordinal = 0;
  for (size_t i = 0; i < words.words.size(); ++i) {
    const int32_t e = FindOrAddWord(module, wordAccel, words.words[i]);
    const int32_t r = module.wordRefs.Append(module.wordRefCount, kWordRefGrowth);
    DictEntry& entry = module.words[e];
    module.wordRefs[r] =
        WordRef{entry.firstRef, verseIndex, PackWordPosition(words.offsets[i], ordinal)};
    entry.firstRef = r;
    ++ordinal;  // PackWordPosition caps it
  }
}

void IndexVerse(Module& module, DictionaryAccel& wordAccel, int32_t verse, bool indexingOn) {
  if (!indexingOn) return;
  VerseWords& scratch = Scratch();
  AnalyseVerse(module.StringView(module.verses[verse].text), scratch);
  RecordVerseWords(module, wordAccel, module.verseCount - 1, scratch);
}

void FinalizeWordIndex(Module& module, std::u16string_view options, Progress& progress) {
  progress.Phase(kIndexPhase);
  if (module.wordCount < 1) return;

  ReverseOccurrenceLists(module);

  // The first two book names group the Concordance books; their chains of
  // header books are cut so that no header book becomes a neighbour of them.
  if (module.bookNameCount >= 1) module.bookNames[0].lastBook = kNone;
  if (module.bookNameCount >= 2) module.bookNames[1].lastBook = kNone;

  const std::u16string_view titleText =
      options.find(kSpanishOption) != std::u16string_view::npos ? kTitleSpanish : kTitleEnglish;
  const int32_t title = module.AddString(titleText);
  progress.Phase(titleText);

  if (module.bookNameCount == 0) AppendBookName(module, kTitleBookName);
  AppendConcordanceBook(module, title, 0);

  if (module.wordFirst == module.wordLast) return;

  std::u16string upper;
  std::u16string letter;
  char32_t currentLetter = 0;
  int32_t letterBook = kNone;
  for (int32_t e = module.wordFirst; e != kNone;) {
    // `stored` is read before anything is added: the pool may move.
    const std::u16string_view stored = module.StringView(module.words[e].text);
    const bool surrogateStart = !stored.empty() && text::IsSurrogate(stored[0]);
    text::ToUpperInvariant(stored, upper);
    char32_t c = upper.empty() ? 0 : upper[0];
    if (upper.size() >= 2 && text::IsHighSurrogate(upper[0]) && text::IsLowSurrogate(upper[1])) {
      c = 0x10000 + ((char32_t{upper[0]} - 0xD800) << 10) + (char32_t{upper[1]} - 0xDC00);
    }
    if (c != currentLetter) {
      letter.assign(upper, 0, surrogateStart ? 2 : 1);
      const int32_t letterText = module.AddString(letter);
      progress.Phase(letter);
      // The letter books' name record is record 1, created when missing; the
      // previous letter book is its latest book.
      if (module.bookNameCount <= 1) AppendBookName(module, kLetterBookName);
      letterBook = AppendConcordanceBook(module, letterText, 1);
      currentLetter = c;
    }
    module.words[e].letterBook = letterBook;
    const int32_t next = module.words[e].next;
    if (next == module.wordLast) break;
    e = next;
  }
}

}  // namespace quillavor
