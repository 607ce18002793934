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

class Module;

// Reads the whole source file. Returns nothing when the load fails as a
// source may (no regular file at the trimmed path, cannot be opened, 2 bytes
// or less). Raises IoError for a file of 2 GiB or more.
std::optional<std::vector<uint8_t>> ReadSourceFile(std::u16string_view sourcePath);

// The byte pass and the code-page conversion. Returns the prepared text
// (without a terminator; it may hold 0 bytes, where later stages stop).
std::string PrepareSource(Module& module, std::span<const uint8_t> bytes,
                          std::u16string_view options);

}  // namespace quillavor
