// PlainText: a string with every complete "<...>" tag removed, used where a
// link's visible text or target is compared without its markup.
#pragma once

#include <string>
#include <string_view>

namespace quillavor {

// Removes, repeatedly, the first "<" through the first ">" at or after it.
// A "<" with no later ">" and everything after it stay.
std::u16string PlainText(std::u16string_view s);
// The same into `out`, whose storage is reused from call to call.
void PlainTextInto(std::u16string_view s, std::u16string& out);

}  // namespace quillavor
