#include "platform/paths.h"

#include <cstdlib>
#include <string>

#include "platform/text.h"

namespace quillavor::paths {

namespace {

std::u16string SettingsFolder() {
#ifdef _WIN32
  return u"C:\\ProgramData\\Velthorpen\\Quillavor Maker\\";
#else
  std::string base;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr ? home : "") + "/.config";
  }
  return text::DecodeUtf8(base + "/Velthorpen/Quillavor Maker/");
#endif
}

}  // namespace

std::u16string SettingsFilePath() { return SettingsFolder() + u"QuillavorMaker.books"; }
std::u16string ManualPath() { return SettingsFolder() + u"QuillavorMaker.docx"; }

}  // namespace quillavor::paths
