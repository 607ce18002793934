// Helpers shared by the tests: temporary folders, files, in-memory builds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "compile/compilation.h"
#include "model/module.h"
#include "model/progress.h"
#include "reader/module_reader.h"

namespace quillavor::testing {

// A fresh folder removed when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // Writes a file below the folder and returns its full path.
  std::filesystem::path Write(const std::string& name, std::string_view bytes) const;

 private:
  std::filesystem::path path_;
};

// Records every phase text.
class RecordingProgress : public Progress {
 public:
  void Phase(std::u16string_view text) override { phases.emplace_back(text); }
  void Pump() override { ++pumps; }
  std::vector<std::u16string> phases;
  int pumps = 0;
};

std::vector<uint8_t> Bytes(std::string_view s);
std::string ReadFile(const std::filesystem::path& path);
std::u16string U16(std::string_view utf8);
std::string U8(std::u16string_view s);

// Compiles source text held in memory: the module and what the build knows
// of it.
CompileResult CompileRun(std::string_view source, std::u16string_view options = u"",
                         std::u16string_view name = u"Test",
                         std::u16string_view abbreviation = u"T");
// The same, for tests that look at the module alone.
std::unique_ptr<Module> CompileText(std::string_view source, std::u16string_view options = u"",
                                    std::u16string_view name = u"Test",
                                    std::u16string_view abbreviation = u"T");
// Compiles, assembles the image and parses it back.
ModuleView CompileToView(std::string_view source, std::u16string_view options = u"");

// Adds a test failure listing the violations the module checker finds in the
// module (the first 20 of them); passes silently for a valid module. Call it
// on every module a test builds. `changedAfterIndexing`: what the build knows
// of verses changed after indexing (CompileResult::changedAfterIndexing);
// null for a module file.
void ExpectModuleValid(const ModuleView& module,
                       const std::vector<int32_t>* changedAfterIndexing = nullptr);
// The same for a compiled module, with what its build knows: assembles its
// image first, which shortens its tables to their counts (so call it after
// the test's own looks).
void ExpectModuleValid(CompileResult& compiled);

// The corpus folder, or empty when it is not there.
std::filesystem::path CorpusDir();

// A small tmpfs mounted on a fresh folder, for tests of a full or read-only
// disk; unmounted when the object goes. Mounting needs the privilege to mount
// (root here and in CI): a test checks mounted() and skips with error()
// otherwise.
class TmpfsMount {
 public:
  explicit TmpfsMount(size_t bytes);
  ~TmpfsMount();
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;
  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  const std::filesystem::path& path() const { return dir_.path(); }
  // Remounts the file system read-only; false (and error() set) when refused.
  bool MakeReadOnly();

 private:
  TempDir dir_;
  size_t bytes_;
  bool mounted_ = false;
  std::string error_;
};

// The names in `folder`, sorted.
std::vector<std::string> FolderNames(const std::filesystem::path& folder);

}  // namespace quillavor::testing
