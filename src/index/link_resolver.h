// Link resolution: LinkStep resolves one link tag in place in the pool (the
// line compiler hands it every link tag of a line); ResolveLinkage retries
// the refused links and the links of book notes against the complete tables
// and removes those that still cannot be resolved, keeping their visible
// text. Resolution only overwrites a tag's letter and value area, which the
// rewrite pass widened for it; only removal moves text. Nothing here grows
// the pool: a tag is resolved against a read-only Module, through spans into
// the pool that live for that one tag.
//
// Every step costs time in proportion to what it reads once: books are found
// through their collation sort keys, verses through the starts of their plain
// texts (computed once per verse), the removals of a verse or of a footnote
// line are compacted in one pass (the "</a>" they take out kept as one hole
// ahead of it), and a verse queued again is processed again only when that
// can change it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "markup/line_stages.h"  // PendingLinks

namespace quillavor {

class Module;
class Progress;

class VerseSearch;  // link_resolver.cc
struct LineState;   // link_resolver.cc

// What link resolution looks things up in; the compile run owns it beside
// the Module (nothing of it is written to the module file).
class LinkLookup {
 public:
  LinkLookup();
  ~LinkLookup();
  LinkLookup(const LinkLookup&) = delete;  // owns the indexes of one run
  LinkLookup& operator=(const LinkLookup&) = delete;

  // Books by title or abbreviation: the collation sort key (tertiary
  // strength) of every header book's title and abbreviation, mapped to the
  // first book in table order that carries it. Books [0, registered) are in
  // the map; lookups add the books created since.
  std::unordered_map<std::string, int32_t> byKey;
  int32_t registered = 0;

  // The sort keys of the names looked up so far, by their units: links name
  // the same few books again and again, and the collator is slow to ask.
  std::unordered_map<std::u16string, std::string> keyOfName;

  // Verses of each book by the start of their plain text.
  std::unique_ptr<VerseSearch> verses;

  // The line the line compiler hands tags from: where it ends, and what is
  // known of its ">" units.
  std::unique_ptr<LineState> line;
};

// Called for every header book the line compiler creates (books are added in
// table order; a book created earlier is added first).
void RegisterBook(const Module& module, LinkLookup& lookup, int32_t book);

// The first book whose title, or abbreviation when it has one, is "equal"
// (tertiary strength) to `name`; -1 when none.
int32_t FindBook(const Module& module, LinkLookup& lookup, std::u16string_view name);

// Resolves the link tag whose "<" is at pool index `tagPos`, with the verse
// `contextVerse` as context (-1: none). True when resolved (or nothing to do);
// false when the link must wait for the resolution pass. Writes only inside
// the tag's letter and value area; never grows the pool. The line compiler
// calls it for the lines in source order, and for the tags of a line in text
// order; the verse created last is the one whose line may still change.
bool LinkStep(Module& module, LinkLookup& lookup, int32_t tagPos, int32_t contextVerse);

// A link tag that ended unresolved in the "Resolve linkage" pass.
struct UnresolvedLink {
  char16_t letter = 0;       // "A", "a", "f", "m" or "r"
  std::u16string value;      // as written, trimmed; a footnote marker link: the marker
  bool removed = false;      // false: no ">" on its line, so the tag stays as text
  int32_t verse = -1;        // the verse whose text holds it, or the one a footnote line follows
  int32_t noteOf = -1;       // the book whose note holds it
  int32_t footnoteTag = -1;  // in a footnote line: the pool index of its "<"
  int32_t offset = 0;        // its index in the verse text or note when it was met
};

// Text the pass leaves, as the rules make it, that a reading program misreads
// as a resolved link.
struct LinkLookalike {
  enum class Kind : uint8_t {
    kUnresolvedValue,     // a value left alone as resolved that has no resolved form
    kSmallCapsRewritten,  // a resolution rewrote a "<sc>" the word indexer had removed
  };
  Kind kind = Kind::kUnresolvedValue;
  std::u16string text;  // the value, or the tag through its closing quote
  int32_t verse = -1;   // the verse whose text holds it
  int32_t noteOf = -1;  // the book whose note holds it
};

// What the pass tells about each link it handles (for diagnostics and
// counts); the default ignores it.
class LinkOutcomes {
 public:
  virtual ~LinkOutcomes() = default;
  // `count` links resolved (a verse queued again that is not processed
  // again counts the links a new pass would resolve once more).
  virtual void Resolved(int64_t /*count*/) {}
  virtual void Unresolved(const UnresolvedLink& /*link*/) {}
  virtual void Lookalike(const LinkLookalike& /*lookalike*/) {}
};

// The "Resolve linkage" pass: links of book notes, then every queued entry of
// `pendingLinks`. Queued footnote-line positions are moved back in place when
// a removal in their line shortens it. Appends to `changedAfterIndexing` the
// pool index of every string (verse text, footnote line) whose change moves
// or deletes words the word index points into. Never grows the pool. Tells
// `outcomes`, when given, of every link resolved or left unresolved here and
// of every lookalike left.
void ResolveLinkage(Module& module, LinkLookup& lookup, PendingLinks& pendingLinks,
                    std::vector<int32_t>& changedAfterIndexing, Progress& progress,
                    LinkOutcomes* outcomes = nullptr);

}  // namespace quillavor
