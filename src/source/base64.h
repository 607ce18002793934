// Base64 decoding of inline image data (standard alphabet "A-Z a-z 0-9 + /").
// Characters outside the alphabet, padding "=" included, are skipped; a
// trailing group of two or three characters yields one or two bytes, a single
// leftover character yields nothing.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace quillavor {

// The number of bytes that decoding `text` writes.
int64_t Base64DecodedLength(std::string_view text);

// Decodes `text` into `out`, which must hold Base64DecodedLength(text) bytes
// (SourceError otherwise). Returns the number of bytes written.
int64_t Base64Decode(std::string_view text, std::span<uint8_t> out);

}  // namespace quillavor
