#include "platform/memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace quillavor::memory {

void AdviseLargePages(void* data, size_t size) {
#ifdef MADV_HUGEPAGE
  // Only whole 2 MiB pages inside the buffer can be backed so; smaller
  // buffers are left alone.
  constexpr uintptr_t kLargePage = uintptr_t{2} << 20;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kLargePage - 1) & ~(kLargePage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(kLargePage - 1);
  if (end > begin) {
    // The result is ignored: the hint is optional.
    static_cast<void>(madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE));
  }
#else
  static_cast<void>(data);
  static_cast<void>(size);
#endif
}

std::vector<uint8_t> ZeroedBytes(size_t size) {
  std::vector<uint8_t> bytes;
  bytes.reserve(size);
  AdviseLargePages(bytes.data(), size);
  bytes.resize(size);
  return bytes;
}

}  // namespace quillavor::memory
