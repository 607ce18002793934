// BookNameTable: the process-wide pairs of Bible book abbreviations and full
// names, used to expand an abbreviated book in a link target.
#pragma once

#include <string>
#include <string_view>

namespace quillavor {

// Builds the table once per process (thread-safe); later calls do nothing.
void EnsureBookNameTable();

// The text with a leading abbreviation replaced by the full name, or the text
// unchanged.
std::u16string expandBookAbbreviation(std::u16string_view text);

}  // namespace quillavor
