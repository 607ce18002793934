// The desktop: opening a file with the program the desktop associates with
// it (a web page in the browser). The window uses Qt's own services; this is
// for the command line.
#pragma once

#include <string_view>

namespace quillavor::desktop {

// Starts the desktop's opener (xdg-open) on `path` and returns without
// waiting for the program it starts. Throws IoError when the opener cannot be
// started.
void OpenWithDefaultProgram(std::u16string_view path);

}  // namespace quillavor::desktop
