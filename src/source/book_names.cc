#include "source/book_names.h"

namespace quillavor {

// Placeholder until the table is built.
void EnsureBookNameTable() {}
std::u16string expandBookAbbreviation(std::u16string_view text) { return std::u16string(text); }

}  // namespace quillavor
