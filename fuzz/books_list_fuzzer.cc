// Books-list text -> the driver's parsing: pieces, stop line, fields, module
// file paths. Never crashes, whatever the bytes.
#include <cstddef>
#include <cstdint>
#include <span>

#include "app/build_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillavor;
  const std::u16string list = DecodeBooksList(std::span<const uint8_t>(data, size));
  for (const std::u16string& piece : SplitPieces(list)) {
    if (piece.empty()) continue;
    if (IsStopLine(piece)) break;
    if (std::optional<ModuleLine> line = ParseModuleLine(piece)) {
      const std::u16string path = ModuleFilePath(line->sourcePath);
      // The module path always ends in the module extension (or "2" after it).
      if (path.size() < 10) __builtin_trap();
    }
  }
  return 0;
}
