#include "source/source_loader.h"

#include "model/module.h"
#include "platform/files.h"
#include "platform/text.h"

namespace quillavor {

std::optional<std::vector<uint8_t>> ReadSourceFile(std::u16string_view sourcePath) {
  const std::u16string path = text::Trim(sourcePath);
  if (!files::IsRegularFile(path)) return std::nullopt;
  if (!files::CanOpenForReading(path)) return std::nullopt;
  std::vector<uint8_t> bytes = files::ReadWholeFile(path);
  if (bytes.size() <= 2) return std::nullopt;
  return bytes;
}

// Placeholder until the byte pass is built: the bytes pass through.
std::string PrepareSource(Module&, std::span<const uint8_t> bytes, std::u16string_view) {
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace quillavor
