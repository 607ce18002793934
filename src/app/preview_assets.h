// The fixed files of every preview site: its style sheet and its search
// script (plain JavaScript, no framework; the word list it searches is
// written per module as words.js, which defines QUILLAVOR_WORDS).
#pragma once

#include <string_view>

namespace quillavor::preview {

extern const std::string_view kStyleSheet;    // style.css
extern const std::string_view kSearchScript;  // search.js

}  // namespace quillavor::preview
