// PlainText: a string with every complete "<...>" tag removed, used where a
// link's visible text or target is compared without its markup.
#pragma once

#include <string>
#include <string_view>

namespace quillavor {

// Removes, repeatedly, the first "<" through the first ">" at or after it.
// A "<" with no later ">" and everything after it stay.
std::u16string PlainText(std::u16string_view s);

}  // namespace quillavor
