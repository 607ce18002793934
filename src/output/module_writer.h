// The module image writer: assembles the seven-block image of a Module in
// memory, stores it as one zlib stream in the module file and, on request,
// byte for byte in the raw file beside it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "output/parallel_deflate.h"
#include "platform/files.h"

namespace quillavor {

class Module;
class Progress;
class ThreadPool;

// The module image. Shortens `books`, `verses` and `wordRefs` to their used
// counts and stores the flags word in the Module first.
std::vector<uint8_t> AssembleImage(Module& module);

// How CompressImage cuts `image` into chunks: the pool and the tables each at
// their own level, each cut into chunks of about equal estimated compression
// time; a small image is one chunk. The plan depends on the image's size and
// pool length alone.
std::vector<PlannedChunk> PlanImageChunks(std::span<const uint8_t> image);

// One zlib stream (RFC 1950, 15-bit window) of `image`, its chunks compressed
// on `pool`, or when there is none on a pool of one thread per core. The
// bytes are the same whatever the number of threads.
std::vector<uint8_t> CompressImage(std::span<const uint8_t> image, ThreadPool* pool = nullptr);

// The size in bytes of the module image of a Module whose pool is finalised.
int64_t ImageSize(const Module& module);

// Raises SourceError, naming the image concerned, when the module cannot be
// written as a readable module file: its image would reach 2 GiB, or an image
// referred to would lie at a position too large for its "<image=" fields.
void CheckModuleFitsTheFormat(const Module& module);

// Checks the module (CheckModuleFitsTheFormat), then writes the module file
// at `path` and, when `writeRaw`, the raw file `path` + ".raw", each
// atomically (a failed write leaves any older file in place). A symbolic link at `path`
// has the file it leads to replaced; one at the raw path is itself replaced,
// so that the raw file never overwrites what a link points to. A raw file
// that cannot be written raises IoError after the module file has been
// written whole. The image is compressed on `pool` (see CompressImage).
// The same as PrepareModuleFile followed by WriteModuleFile.
void WriteModule(Module& module, std::u16string_view path, bool writeRaw, Progress& progress,
                 ThreadPool* pool = nullptr);

// A module file ready to be put in place: the work of WriteModule up to the
// rename, kept apart so that a build can prepare several modules at once and
// put them in place in order.
struct PreparedModuleFile {
  // The module file's bytes, in a temporary file beside it (removed when
  // this is dropped before WriteModuleFile).
  std::unique_ptr<files::AtomicFileWriter> module;
  std::vector<uint8_t> image;  // the raw file's bytes; empty unless `writeRaw`
  bool writeRaw = false;
};

// Shows the "Write" phase for `path`, checks the module, assembles its image
// and compresses it on `pool` into a temporary file beside the module file
// (the target is checked and its symbolic links followed here). The module's
// image data is released.
PreparedModuleFile PrepareModuleFile(Module& module, std::u16string_view path, bool writeRaw,
                                     Progress& progress, ThreadPool* pool = nullptr);
// Puts what PrepareModuleFile made in place, then writes the raw file, as
// WriteModule does.
void WriteModuleFile(PreparedModuleFile& file, std::u16string_view path, Progress& progress);

}  // namespace quillavor
