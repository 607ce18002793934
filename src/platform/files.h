// File services: existence tests, whole-file reads and writes that finish or
// abandon. Paths are UTF-16 in the core and converted once here.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
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

// True when a folder exists at `path` (symbolic links followed).
bool IsFolder(std::u16string_view path);

// True when the file can be opened for reading in binary mode.
bool CanOpenForReading(std::u16string_view path);
// Why the file cannot be opened for reading (the system's reason), or nothing
// when it can.
std::optional<std::string> OpenForReadingError(std::u16string_view path);

// `path` made absolute against the current folder, "." and ".." removed by
// name (links are not followed; the file need not exist).
std::u16string AbsolutePath(std::u16string_view path);
// The process's current folder.
std::u16string CurrentFolder();

// What tells one file from another, whatever path names it.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

// The identity of the file at `path` (symbolic links followed), or nothing
// when there is none.
std::optional<FileIdentity> IdentityOf(std::u16string_view path);

// Reads a whole regular file. Throws IoError when it cannot be opened or read,
// is not a regular file (a folder, a FIFO, a device: nothing is waited for),
// or is kMaxFileSize bytes or more.
// `identity`, when given, receives the identity of the file that was read.
std::vector<uint8_t> ReadWholeFile(std::u16string_view path, FileIdentity* identity = nullptr);

// A regular file opened for reading in pieces, with the checks of
// ReadWholeFile (regular files only, below kMaxFileSize). Throws IoError.
class FileReader {
 public:
  explicit FileReader(std::u16string_view path);
  ~FileReader();
  FileReader(const FileReader&) = delete;  // owns the open file
  FileReader& operator=(const FileReader&) = delete;

  int64_t Size() const { return size_; }
  const FileIdentity& Identity() const { return identity_; }
  // Reads up to buffer.size() bytes; 0 at the end of the file.
  size_t Read(std::span<uint8_t> buffer);
  // Reads exactly buffer.size() bytes; a shorter file is an IoError.
  void ReadExactly(std::span<uint8_t> buffer);
  // Reads from the start again.
  void Rewind();

 private:
  std::string path_;
  int fd_ = -1;
  int64_t size_ = 0;
  FileIdentity identity_;
};

// The absolute path of an existing file with every symbolic link, "." and
// ".." resolved, or nothing when it cannot be resolved.
std::optional<std::u16string> RealPath(std::u16string_view path);

// What a replacing write does with a symbolic link at the target path.
enum class LinkAtTarget {
  kReplaceLink,    // the link itself is replaced by the new file
  kReplaceTarget,  // the file the link leads to is replaced (in its own folder)
};

// The temporary files of WriteFileAtomically are named kTemporaryPrefix, the
// writing process id in kTemporaryPidDigits decimal digits (zero-filled), "-"
// and kTemporaryRandomDigits lowercase hexadecimal digits: hidden, of one fixed
// length whatever the target's name, and never taken for a user's file.
inline constexpr std::string_view kTemporaryPrefix = ".quillavor-tmp-";
inline constexpr size_t kTemporaryPidDigits = 10;
inline constexpr size_t kTemporaryRandomDigits = 16;

// Writes `bytes` to a temporary file in the target's folder and renames it over
// the target once complete: the target is either the old file or the new one,
// never a partial one. A regular file replaced keeps its mode, and its owner
// and group where the process may set them. A target that exists but is
// neither a regular file nor (with kReplaceLink) a symbolic link is refused.
// Before writing, the temporary files of processes that no longer exist are
// removed from that folder (those of exactly the shape above, nothing else).
// Throws IoError.
void WriteFileAtomically(std::u16string_view path, std::span<const uint8_t> bytes,
                         LinkAtTarget links = LinkAtTarget::kReplaceLink);

// A file written in pieces and put in place whole, as WriteFileAtomically
// does: the temporary file is created (and the target checked) on
// construction, Write appends to it, and Commit makes it durable and renames
// it over the target. Until Commit the target is untouched; a writer dropped
// without Commit, or whose Write or Commit failed, removes its temporary
// file. Throws IoError naming the target.
class AtomicFileWriter {
 public:
  AtomicFileWriter(std::u16string_view path, LinkAtTarget links);
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;  // owns the temporary file
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  // Appends `bytes`, and asks the system to start writing them to the disk
  // now, so that little is left for Commit to wait for.
  void Write(std::span<const uint8_t> bytes);
  // Flushes the file to the disk, closes it and renames it over the target.
  void Commit();
  // The path that Commit replaces (links followed as `links` asks).
  const std::string& Target() const { return target_; }

 private:
  void Abandon();

  std::string target_;
  std::string temporary_;
  int fd_ = -1;
  uint64_t written_ = 0;  // bytes written
  uint64_t started_ = 0;  // bytes whose writeback has been started
  bool committed_ = false;
};

// Writes `bytes` to `path` (create or truncate), for files inside a folder
// that is itself written first and put in place as a whole. On failure the
// partial file is removed and IoError is thrown.
void WriteFile(std::u16string_view path, std::span<const uint8_t> bytes);

// The text of the system's error number, for messages.
std::string ErrnoText(int err);

}  // namespace quillavor::files
