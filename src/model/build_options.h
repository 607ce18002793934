// BuildOptions: what the operator chooses for a whole build run. The front
// end fills it, the build driver passes it down, and the stage that a field
// concerns reads it there.
#pragma once

#include <string>

namespace quillavor {

struct BuildOptions {
  // When not empty, an "<imagefile>" is embedded only when the file, with
  // every symbolic link followed, lies inside this folder; any other image
  // file is dropped as a missing one is, with a warning. Empty (the default):
  // a source may embed any file the build can read, so sources are trusted
  // like code.
  std::u16string imagesUnder;

  // The books list's file as diagnostics name it (empty: "books list").
  std::u16string booksListFile;
};

}  // namespace quillavor
