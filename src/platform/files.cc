#include "platform/files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <utility>

#include "platform/errors.h"
#include "platform/memory.h"
#include "platform/text.h"

namespace quillavor::files {

std::filesystem::path ToPath(std::u16string_view path) {
  return std::filesystem::path(text::EncodeUtf8(path));
}

std::u16string FromPath(const std::filesystem::path& path) {
  return text::DecodeUtf8(path.string());
}

std::string ErrnoText(int err) { return std::strerror(err); }

bool IsRegularFile(std::u16string_view path) {
  std::string p = text::EncodeUtf8(path);
  if (p.find('\0') != std::string::npos) return false;
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsFolder(std::u16string_view path) {
  std::string p = text::EncodeUtf8(path);
  if (p.find('\0') != std::string::npos) return false;
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

std::string Utf8Path(std::u16string_view path) {
  std::string p = text::EncodeUtf8(path);
  if (p.find('\0') != std::string::npos) p.resize(p.find('\0'));
  return p;
}

void WriteAll(int fd, std::span<const uint8_t> bytes, const std::string& what) {
  size_t done = 0;
  while (done < bytes.size()) {
    size_t chunk = std::min<size_t>(bytes.size() - done, size_t{1} << 30);
    ssize_t n = ::write(fd, bytes.data() + done, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw IoError(what, "cannot write: " + ErrnoText(errno));
    }
    if (n == 0) throw IoError(what, "cannot write: no progress");
    done += static_cast<size_t>(n);
  }
}

// True for a name of exactly the temporary files' shape (files.h).
bool IsTemporaryName(std::string_view name, long& pid) {
  constexpr size_t kLength =
      kTemporaryPrefix.size() + kTemporaryPidDigits + 1 + kTemporaryRandomDigits;
  if (name.size() != kLength || !name.starts_with(kTemporaryPrefix)) return false;
  const std::string_view digits = name.substr(kTemporaryPrefix.size(), kTemporaryPidDigits);
  const std::string_view random = name.substr(kTemporaryPrefix.size() + kTemporaryPidDigits + 1);
  if (name[kTemporaryPrefix.size() + kTemporaryPidDigits] != '-') return false;
  pid = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    pid = pid * 10 + (c - '0');
  }
  for (char c : random) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// A process that is killed while it writes leaves its temporary file behind;
// the next write into the same folder removes every regular file of the
// temporary shape whose process is gone.
void RemoveStaleTemporaries(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::directory_iterator it(folder, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    long pid = 0;
    if (!IsTemporaryName(it->path().filename().string(), pid)) continue;
    if (pid <= 0 || pid > INT32_MAX || pid == ::getpid()) continue;
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;  // still running
    ::unlink(it->path().c_str());
  }
}

// Follows symbolic links at `path` (its last component) to the path of what
// they lead to, which need not exist. Intermediate folders are left as written.
std::filesystem::path FollowLinks(const std::filesystem::path& path) {
  constexpr int kMaxLinks = 40;  // as the system allows in one lookup
  std::filesystem::path p = path;
  for (int i = 0; i < kMaxLinks; ++i) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
    std::error_code ec;
    const std::filesystem::path next = std::filesystem::read_symlink(p, ec);
    if (ec) throw IoError(path.string(), "cannot follow the link: " + ec.message());
    p = next.is_absolute() ? next : p.parent_path() / next;
  }
  throw IoError(path.string(), "cannot follow the link: " + ErrnoText(ELOOP));
}

// Gives the open temporary file the mode, and where permitted the owner and
// group, of the regular file it replaces.
void KeepModeAndOwner(int fd, const struct stat& old, const std::string& target) {
  // Giving a file to another owner needs a privilege; without it the group
  // alone may still be kept. Otherwise the file stays the process's own.
  if (::fchown(fd, old.st_uid, old.st_gid) != 0 &&
      ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
    errno = 0;
  }
  if (::fchmod(fd, old.st_mode & 07777) != 0) {
    throw IoError(target, "cannot keep the mode of the file replaced: " + ErrnoText(errno));
  }
}

// Why a file that is not a regular file cannot be read, for messages.
const char* FileKind(mode_t mode) {
  if (S_ISDIR(mode)) return "is a folder";
  if (S_ISFIFO(mode)) return "not a regular file (a FIFO)";
  if (S_ISSOCK(mode)) return "not a regular file (a socket)";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "not a regular file (a device)";
  return "not a regular file";
}

}  // namespace

bool CanOpenForReading(std::u16string_view path) {
  std::string p = text::EncodeUtf8(path);
  if (p.find('\0') != std::string::npos) return false;
  Fd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC));
  return fd.get() >= 0;
}

std::optional<std::string> OpenForReadingError(std::u16string_view path) {
  std::string p = text::EncodeUtf8(path);
  if (p.find('\0') != std::string::npos) return std::string("the path holds a 0 character");
  Fd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) return ErrnoText(errno);
  return std::nullopt;
}

std::u16string AbsolutePath(std::u16string_view path) {
  if (path.empty()) return CurrentFolder();
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(ToPath(path), error);
  if (error) return std::u16string(path);
  return FromPath(absolute.lexically_normal());
}

std::u16string CurrentFolder() {
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::current_path(error);
  return error ? std::u16string(u".") : FromPath(folder);
}

namespace {

FileIdentity IdentityOfStat(const struct stat& st) {
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

}  // namespace

std::optional<FileIdentity> IdentityOf(std::u16string_view path) {
  const std::string p = text::EncodeUtf8(path);
  struct stat st {};
  if (p.find('\0') != std::string::npos || ::stat(p.c_str(), &st) != 0) return std::nullopt;
  return IdentityOfStat(st);
}

FileReader::FileReader(std::u16string_view path) : path_(text::EncodeUtf8(path)) {
  if (path_.find('\0') != std::string::npos) throw IoError(path_, "no such file");
  // Opening a FIFO for reading waits for a writer: the file is opened without
  // waiting and refused below unless it is a regular file.
  Fd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) throw IoError(path_, "cannot open: " + ErrnoText(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw IoError(path_, "cannot read: " + ErrnoText(errno));
  if (!S_ISREG(st.st_mode)) {
    throw IoError(path_, std::string("cannot read: ") + FileKind(st.st_mode));
  }
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) (void)::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  if (st.st_size >= kMaxFileSize) {
    throw IoError(
        path_, "file too large: " + std::to_string(st.st_size) + " bytes (the limit is 2 GiB - 1)");
  }
  size_ = st.st_size;
  identity_ = IdentityOfStat(st);
  fd_ = fd.Release();
}

FileReader::~FileReader() {
  if (fd_ >= 0) ::close(fd_);
}

size_t FileReader::Read(std::span<uint8_t> buffer) {
  for (;;) {
    const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) throw IoError(path_, "cannot read: " + ErrnoText(errno));
  }
}

void FileReader::ReadExactly(std::span<uint8_t> buffer) {
  size_t done = 0;
  while (done < buffer.size()) {
    const size_t n = Read(buffer.subspan(done));
    if (n == 0) throw IoError(path_, "cannot read: the file became shorter while it was read");
    done += n;
  }
}

void FileReader::Rewind() {
  if (::lseek(fd_, 0, SEEK_SET) != 0) throw IoError(path_, "cannot read: " + ErrnoText(errno));
}

std::vector<uint8_t> ReadWholeFile(std::u16string_view path, FileIdentity* identity) {
  FileReader file(path);
  if (identity != nullptr) *identity = file.Identity();
  std::vector<uint8_t> data = memory::ZeroedBytes(static_cast<size_t>(file.Size()));
  file.ReadExactly(data);
  return data;
}

std::optional<std::u16string> RealPath(std::u16string_view path) {
  const std::string p = text::EncodeUtf8(path);
  if (p.empty() || p.find('\0') != std::string::npos) return std::nullopt;
  struct Free {
    void operator()(char* s) const { std::free(s); }
  };
  const std::unique_ptr<char, Free> real(::realpath(p.c_str(), nullptr));
  if (!real) return std::nullopt;
  return text::DecodeUtf8(real.get());
}

AtomicFileWriter::AtomicFileWriter(std::u16string_view path, LinkAtTarget links) {
  std::filesystem::path fsTarget(Utf8Path(path));
  if (links == LinkAtTarget::kReplaceTarget) fsTarget = FollowLinks(fsTarget);
  target_ = fsTarget.string();
  struct stat old {};
  const bool replacing = ::lstat(target_.c_str(), &old) == 0;
  if (replacing && S_ISDIR(old.st_mode)) {
    throw IoError(target_, "cannot create: a folder has that name");
  }
  if (replacing && !S_ISREG(old.st_mode) && !S_ISLNK(old.st_mode)) {
    throw IoError(target_, "cannot create: a file that is not a regular file has that name");
  }
  const bool keepMode = replacing && S_ISREG(old.st_mode);
  const std::filesystem::path folder =
      fsTarget.has_parent_path() ? fsTarget.parent_path() : std::filesystem::path(".");
  RemoveStaleTemporaries(folder);
  std::random_device rd;
  for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
    const uint64_t random = uint64_t{rd()} << 32 | rd();
    char name[64];
    std::snprintf(name, sizeof name, "%.*s%0*ld-%0*llx", static_cast<int>(kTemporaryPrefix.size()),
                  kTemporaryPrefix.data(), static_cast<int>(kTemporaryPidDigits),
                  static_cast<long>(::getpid()), static_cast<int>(kTemporaryRandomDigits),
                  static_cast<unsigned long long>(random));
    temporary_ = (folder / name).string();
    // Private until it has the mode of the file it replaces.
    fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                 keepMode ? 0600 : 0666);
    if (fd_ < 0 && errno != EEXIST) break;
  }
  if (fd_ < 0) throw IoError(target_, "cannot create: " + ErrnoText(errno));
  try {
    if (keepMode) KeepModeAndOwner(fd_, old, target_);
  } catch (...) {
    Abandon();
    throw;
  }
}

AtomicFileWriter::~AtomicFileWriter() {
  if (!committed_) Abandon();
}

void AtomicFileWriter::Abandon() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  temporary_.clear();
}

void AtomicFileWriter::Write(std::span<const uint8_t> bytes) {
  if (fd_ < 0) throw IoError(target_, "cannot write: the file is closed");
  try {
    WriteAll(fd_, bytes, target_);
  } catch (...) {
    Abandon();
    throw;
  }
  written_ += bytes.size();
  // Writeback of the whole pages written so far starts now rather than at
  // Commit's flush. The last page, only partly written, is left alone: a
  // page under writeback can make the next write into it wait. Only a hint:
  // a system or file system without it changes nothing.
  static const auto kPage = static_cast<uint64_t>(std::max(4096L, ::sysconf(_SC_PAGESIZE)));
  const uint64_t whole = written_ / kPage * kPage;
  if (whole > started_) {
    (void)::sync_file_range(fd_, static_cast<off64_t>(started_),
                            static_cast<off64_t>(whole - started_), SYNC_FILE_RANGE_WRITE);
    started_ = whole;
  }
}

void AtomicFileWriter::Commit() {
  if (fd_ < 0) throw IoError(target_, "cannot write: the file is closed");
  try {
    if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) {
      throw IoError(target_, "cannot write: " + ErrnoText(errno));
    }
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) throw IoError(target_, "cannot write: " + ErrnoText(errno));
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
      throw IoError(target_, "cannot create: " + ErrnoText(errno));
    }
  } catch (...) {
    Abandon();
    throw;
  }
  committed_ = true;
}

void WriteFileAtomically(std::u16string_view path, std::span<const uint8_t> bytes,
                         LinkAtTarget links) {
  AtomicFileWriter file(path, links);
  file.Write(bytes);
  file.Commit();
}

void WriteFile(std::u16string_view path, std::span<const uint8_t> bytes) {
  const std::string target = Utf8Path(path);
  Fd fd(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) throw IoError(target, "cannot create: " + ErrnoText(errno));
  try {
    WriteAll(fd.get(), bytes, target);
    if (::close(fd.Release()) != 0) throw IoError(target, "cannot write: " + ErrnoText(errno));
  } catch (...) {
    ::unlink(target.c_str());
    throw;
  }
}

}  // namespace quillavor::files
