// Memory hints for the large buffers of a build (pool, tables, image).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillavor::memory {

// Asks the system to back [data, data + size) with large pages where it can.
// A freshly allocated buffer of many megabytes otherwise takes one page fault
// per 4 KiB as it is first written, which costs more than the copying into
// it. Only a hint: without support nothing changes, and the contents never do.
void AdviseLargePages(void* data, size_t size);

// `size` zero bytes in storage advised for large pages before it is first
// written (a whole file's bytes, say).
std::vector<uint8_t> ZeroedBytes(size_t size);

}  // namespace quillavor::memory
