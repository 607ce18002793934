// File services: existence tests, whole-file reads and writes that finish or
// abandon. Paths are UTF-16 in the core and converted once here.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillavor::files {

// Files of this size or more cannot be loaded: their size does not fit the
// signed 32-bit counts of the format.
inline constexpr int64_t kMaxFileSize = int64_t{1} << 31;

std::filesystem::path ToPath(std::u16string_view path);
std::u16string FromPath(const std::filesystem::path& path);

// True when a regular file exists at `path` (symbolic links followed; a
// folder is not a file).
bool IsRegularFile(std::u16string_view path);

// True when the file can be opened for reading in binary mode.
bool CanOpenForReading(std::u16string_view path);

// Reads a whole file. Throws IoError when it cannot be opened or read, or is
// kMaxFileSize bytes or more.
std::vector<uint8_t> ReadWholeFile(std::u16string_view path);

// Writes `bytes` to a temporary file in the target's folder and renames it over
// the target once complete: the target is either the old file or the new one,
// never a partial one. The temporary file is "<target>.tmp-<process id>-<random>";
// one left by a killed process is removed by the next write of the same target.
// Throws IoError.
void WriteFileAtomically(std::u16string_view path, std::span<const uint8_t> bytes);

// Writes `bytes` to `path` (create or truncate). On failure the partial file is
// removed and IoError is thrown.
void WriteFile(std::u16string_view path, std::span<const uint8_t> bytes);

// The text of the system's error number, for messages.
std::string ErrnoText(int err);

}  // namespace quillavor::files
