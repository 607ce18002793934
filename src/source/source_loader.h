// SourceLoader: reads a source file as bytes and turns it, in one forward
// pass, into the prepared text: byte-order marks and comments removed, CR LF
// reduced to LF, images moved into the Module and replaced by reference lines,
// and the "windowspage" punctuation converted.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillavor {

class DiagnosticSink;
class LineMap;
class Module;
struct BuildOptions;

// Reads the whole source file. Returns nothing when the load fails as a
// source may (no regular file at the trimmed path, cannot be opened or read
// whole, 2 bytes or less). Raises IoError for a file of 2 GiB or more.
std::optional<std::vector<uint8_t>> ReadSourceFile(std::u16string_view sourcePath);

// The byte pass and the code-page conversion. Returns the prepared text
// (without a terminator; it may hold 0 bytes, where later stages stop).
// Images are appended to module.images in the order first met. Raises IoError
// for an image file that exists but cannot be read or is 2 GiB or more, and
// SourceError for an inline image too large for the module. An image file
// that `build` does not allow (BuildOptions::imagesUnder) is dropped as a
// missing one is. When `diagnostics` is given, what the pass drops or cannot
// read (missing images, an unterminated comment, a 0 byte, malformed UTF-8)
// is reported there with its line in module.sourcePath; when `lines` is
// given, it receives the map from prepared lines to file lines.
std::string PrepareSource(Module& module, std::span<const uint8_t> bytes,
                          std::u16string_view options, const BuildOptions& build,
                          DiagnosticSink* diagnostics, LineMap* lines = nullptr);
// The same with the default build options and no diagnostics.
std::string PrepareSource(Module& module, std::span<const uint8_t> bytes,
                          std::u16string_view options);

// The "windowspage" conversion: each of the Windows-1252 bytes 91 92 93 94 96
// 97 that does not belong to a well-formed UTF-8 sequence becomes the UTF-8
// form of its character (curly quotes, en and em dash). Every other byte is
// kept.
std::string ConvertWindowsPunctuation(std::string_view text);

// The 17-byte line that stands for image `number` (1-based) in the prepared
// text: "<image=", the number left-aligned in 8 columns, ">", LF.
std::string ImageReferenceLine(int64_t number);

}  // namespace quillavor
