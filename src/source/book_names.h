// BookNameTable: the process-wide pairs of Bible book abbreviations and full
// names, used to expand an abbreviated book in a link target. The table is
// built once, behind a static local, and is read-only afterwards.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillavor {

struct BookNameEntry {
  std::u16string abbreviationKey;  // the abbreviation and one trailing space, e.g. "Gen "
  std::u16string fullName;         // e.g. "Genesis"
};

// Builds the table once per process (thread-safe); later calls do nothing.
void EnsureBookNameTable();

// The table in list order (49 entries); built on first use. The reference
// lives for the rest of the process.
const std::vector<BookNameEntry>& BookNameTable();

// The text with a leading abbreviation replaced by the full name, or the text
// unchanged. The first entry (in table order) whose key equals the first n
// code units of the text (n = key length) at the collator's secondary strength
// (case ignored) wins; the result is its full name followed by the text from
// the key's trailing space on. A text shorter than n never matches. A text
// that already starts with that entry's full name (compared the same way),
// followed by a blank or its end, is returned unchanged: the key "Song " is
// also the start of "Song of Solomon", which must not grow again.
std::u16string expandBookAbbreviation(std::u16string_view text);

}  // namespace quillavor
