// The leading layout scan of a verse line: whether the line starts with a
// paragraph or alignment tag (which clears its book's plain-layout bit) and
// the leading number that becomes the verse's label.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillavor {

class Module;
struct DictionaryAccel;

// True when `tag` (from "<" through ">") is one of the fourteen layout tags.
bool IsLayoutTag(std::u16string_view tag);

// Scans the verse line of `verse` from pool index `textStart` to `lineEnd`
// (exclusive): clears kBookPlainLayout in the verse's book when a layout tag
// stands among the leading tags, and, while `labelsOn`, interns the leading
// number through the LabelDictionary (whose lookup index is `labelAccel`)
// and stores it as the verse's label. Only reads the line; may grow the pool
// (a new label). `scratch` is a buffer reused across calls: the label is
// handed to the dictionary as a copy, never as a view into the pool.
void ScanLeadingLayout(Module& module, DictionaryAccel& labelAccel, int32_t verse,
                       int32_t textStart, int32_t lineEnd, bool labelsOn, std::u16string& scratch);

}  // namespace quillavor
