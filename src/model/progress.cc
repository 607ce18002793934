#include "model/progress.h"

#include <string>

namespace quillavor {

const char* StageName(Stage stage) {
  switch (stage) {
    case Stage::kLoad:
      return "load";
    case Stage::kRewriteDecode:
      return "rewrite and decode";
    case Stage::kLineCompiler:
      return "line compiler";
    case Stage::kLinkResolution:
      return "link resolution";
    case Stage::kIndexFinalize:
      return "index finalisation";
    case Stage::kImageAssembly:
      return "image assembly";
    case Stage::kCompression:
      return "compression";
    case Stage::kFileWrite:
      return "file write";
  }
  return "?";
}

std::u16string ShownText(std::u16string_view text) {
  std::u16string shown;
  shown.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    shown += text[i];
    if (text[i] == u'&' && i + 1 < text.size() && text[i + 1] == u'&') ++i;
  }
  return shown;
}

}  // namespace quillavor
