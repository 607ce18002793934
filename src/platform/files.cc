#include "platform/files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

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

// Temporary files are named "<target>.tmp-<process id>-<random>". A process
// that is killed while it writes leaves its temporary file behind; the next
// write of the same target removes every one whose process is gone.
std::string TemporaryPrefix(const std::filesystem::path& target) {
  return target.filename().string() + ".tmp-";
}

void RemoveStaleTemporaries(const std::filesystem::path& target) {
  const std::string prefix = TemporaryPrefix(target);
  const std::filesystem::path folder =
      target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  std::error_code ec;
  std::filesystem::directory_iterator it(folder, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.starts_with(prefix)) continue;
    const size_t digits = prefix.size();
    const size_t dash = name.find('-', digits);
    if (dash == std::string::npos || dash == digits || dash - digits > 9) continue;
    long pid = 0;
    bool numeric = true;
    for (size_t i = digits; i < dash; ++i) {
      if (name[i] < '0' || name[i] > '9') numeric = false;
      pid = pid * 10 + (name[i] - '0');
    }
    if (!numeric || pid <= 0 || pid == ::getpid()) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;  // still running
    ::unlink(it->path().c_str());
  }
}

}  // namespace

bool CanOpenForReading(std::u16string_view path) {
  std::string p = text::EncodeUtf8(path);
  if (p.find('\0') != std::string::npos) return false;
  Fd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC));
  return fd.get() >= 0;
}

std::vector<uint8_t> ReadWholeFile(std::u16string_view path) {
  std::string p = text::EncodeUtf8(path);
  if (p.find('\0') != std::string::npos) throw IoError(p, "no such file");
  Fd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw IoError(p, "cannot open: " + ErrnoText(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw IoError(p, "cannot read: " + ErrnoText(errno));
  if (S_ISDIR(st.st_mode)) throw IoError(p, "cannot read: is a folder");
  if (st.st_size >= kMaxFileSize) {
    throw IoError(
        p, "file too large: " + std::to_string(st.st_size) + " bytes (the limit is 2 GiB - 1)");
  }
  std::vector<uint8_t> data;
  data.reserve(static_cast<size_t>(st.st_size));
  memory::AdviseLargePages(data.data(), static_cast<size_t>(st.st_size));
  data.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::read(fd.get(), data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw IoError(p, "cannot read: " + ErrnoText(errno));
    }
    if (n == 0) throw IoError(p, "cannot read: the file became shorter while it was read");
    done += static_cast<size_t>(n);
  }
  return data;
}

void WriteFileAtomically(std::u16string_view path, std::span<const uint8_t> bytes) {
  const std::string target = Utf8Path(path);
  std::filesystem::path fsTarget(target);
  std::error_code ec;
  if (std::filesystem::is_directory(fsTarget, ec)) {
    throw IoError(target, "cannot create: a folder has that name");
  }
  RemoveStaleTemporaries(fsTarget);
  std::random_device rd;
  std::string tmp;
  int raw = -1;
  for (int attempt = 0; attempt < 16 && raw < 0; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".tmp-%ld-%08x", static_cast<long>(::getpid()),
                  static_cast<unsigned>(rd()));
    tmp = target + suffix;
    raw = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (raw < 0 && errno != EEXIST) break;
  }
  if (raw < 0) throw IoError(target, "cannot create: " + ErrnoText(errno));
  Fd fd(raw);
  try {
    WriteAll(fd.get(), bytes, target);
    if (::fsync(fd.get()) != 0 && errno != EINVAL && errno != EROFS) {
      throw IoError(target, "cannot write: " + ErrnoText(errno));
    }
    if (::close(fd.Release()) != 0) throw IoError(target, "cannot write: " + ErrnoText(errno));
    if (::rename(tmp.c_str(), target.c_str()) != 0) {
      throw IoError(target, "cannot create: " + ErrnoText(errno));
    }
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
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
