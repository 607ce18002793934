// Where the platform keeps the books list settings file and the manual.
#pragma once

#include <string>

namespace quillavor::paths {

// "$XDG_CONFIG_HOME/Velthorpen/Quillavor Maker/QuillavorMaker.books" (XDG
// default ~/.config); the fixed ProgramData path on Windows.
std::u16string SettingsFilePath();
// QuillavorMaker.docx in the settings file's folder.
std::u16string ManualPath();

}  // namespace quillavor::paths
