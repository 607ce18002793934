#include "support/test_support.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "output/module_writer.h"
#include "platform/text.h"
#include "reader/module_checker.h"

namespace quillavor::testing {

TempDir::TempDir() {
  std::random_device rd;
  path_ = std::filesystem::temp_directory_path() /
          ("quillavor-test-" + std::to_string(rd()) + std::to_string(rd()));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path TempDir::Write(const std::string& name, std::string_view bytes) const {
  std::filesystem::path p = path_ / name;
  std::filesystem::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return p;
}

std::vector<uint8_t> Bytes(std::string_view s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::u16string U16(std::string_view utf8) { return text::DecodeUtf8(utf8); }
std::string U8(std::u16string_view s) { return text::EncodeUtf8(s); }

CompileResult CompileRun(std::string_view source, std::u16string_view options,
                         std::u16string_view name, std::u16string_view abbreviation) {
  NullProgress progress;
  std::vector<uint8_t> bytes = Bytes(source);
  return CompileModuleFromBytes(std::u16string(name), std::u16string(abbreviation), u"memory.txt",
                                std::u16string(options), bytes, progress);
}

std::unique_ptr<Module> CompileText(std::string_view source, std::u16string_view options,
                                    std::u16string_view name, std::u16string_view abbreviation) {
  return CompileRun(source, options, name, abbreviation).module;
}

ModuleView CompileToView(std::string_view source, std::u16string_view options) {
  CompileResult compiled = CompileRun(source, options);
  ModuleView view(AssembleImage(*compiled.module));
  ExpectModuleValid(view, &compiled.changedAfterIndexing);
  return view;
}

void ExpectModuleValid(const ModuleView& module, const std::vector<int32_t>* changedAfterIndexing) {
  const std::vector<Violation> violations = CheckModule(module, changedAfterIndexing);
  if (violations.empty()) return;
  std::string list;
  for (size_t i = 0; i < violations.size() && i < 20; ++i) {
    list += "\n  " + violations[i].ToString();
  }
  if (violations.size() > 20) list += "\n  ...";
  ADD_FAILURE() << "the module checker found " << violations.size() << " violation(s):" << list;
}

void ExpectModuleValid(CompileResult& compiled) {
  ExpectModuleValid(ModuleView(AssembleImage(*compiled.module)), &compiled.changedAfterIndexing);
}

std::filesystem::path CorpusDir() {
  std::filesystem::path p = QUILLAVOR_CORPUS_DIR;
  return std::filesystem::exists(p / "kjv.txt") ? p : std::filesystem::path();
}

TmpfsMount::TmpfsMount(size_t bytes) : bytes_(bytes) {
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  if (::mount("tmpfs", dir_.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
    mounted_ = true;
  } else {
    error_ = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
  }
}

TmpfsMount::~TmpfsMount() {
  if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
}

bool TmpfsMount::MakeReadOnly() {
  const std::string options = "size=" + std::to_string(bytes_);
  if (::mount("tmpfs", dir_.path().c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV,
              options.c_str()) == 0) {
    return true;
  }
  error_ = std::string("cannot remount the tmpfs read-only: ") + std::strerror(errno);
  return false;
}

std::vector<std::string> FolderNames(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace quillavor::testing
