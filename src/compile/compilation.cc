#include "compile/compilation.h"

#include <utility>

#include "index/word_index.h"
#include "markup/compiler.h"
#include "source/book_names.h"
#include "source/source_loader.h"

namespace quillavor {

namespace {

CompileResult Run(Compilation& run, std::optional<std::span<const uint8_t>> bytes) {
  std::optional<std::string> prepared = run.Load(bytes);
  if (prepared) run.CompileMarkup(*prepared);
  prepared.reset();  // the pool holds the text now
  run.ResolveLinks();
  run.Finalize();
  return run.Finish();
}

}  // namespace

CompileResult CompileModule(std::u16string name, std::u16string abbreviation,
                            std::u16string sourcePath, std::u16string options, Progress& progress,
                            const BuildOptions& build) {
  Compilation run(std::move(name), std::move(abbreviation), std::move(sourcePath),
                  std::move(options), progress, build);
  return Run(run, std::nullopt);
}

CompileResult CompileModuleFromBytes(std::u16string name, std::u16string abbreviation,
                                     std::u16string sourcePath, std::u16string options,
                                     std::span<const uint8_t> bytes, Progress& progress) {
  Compilation run(std::move(name), std::move(abbreviation), std::move(sourcePath),
                  std::move(options), progress);
  return Run(run, bytes);
}

Compilation::Compilation(std::u16string name, std::u16string abbreviation,
                         std::u16string sourcePath, std::u16string options, Progress& progress,
                         BuildOptions build)
    : module_(std::make_unique<Module>()), progress_(progress), build_(std::move(build)) {
  module_->name = std::move(name);
  module_->abbreviation = std::move(abbreviation);
  module_->sourcePath = std::move(sourcePath);
  module_->options = std::move(options);
}

Compilation::~Compilation() = default;

std::optional<std::string> Compilation::Load(std::optional<std::span<const uint8_t>> bytes) {
  EnsureBookNameTable();
  StageTimer timer(progress_, Stage::kLoad);
  std::optional<std::vector<uint8_t>> fileBytes;
  if (!bytes) {
    fileBytes = ReadSourceFile(module_->sourcePath);
    if (fileBytes) bytes = std::span<const uint8_t>(*fileBytes);
  }
  // A source of 2 bytes or less is a load failure: an empty module.
  if (!bytes || bytes->size() <= 2) return std::nullopt;
  return PrepareSource(*module_, *bytes, module_->options, build_, progress_);
}

void Compilation::CompileMarkup(std::string_view prepared) {
  CompileSource(*module_, prepared, progress_, *this, labelAccel_, pendingLinks_,
                &linkLookup_.lineStarts);
}

void Compilation::ResolveLinks() {
  StageTimer timer(progress_, Stage::kLinkResolution);
  ResolveLinkage(*module_, linkLookup_, pendingLinks_, changedAfterIndexing_, progress_);
}

void Compilation::Finalize() {
  StageTimer timer(progress_, Stage::kIndexFinalize);
  FinalizeWordIndex(*module_, module_->options, progress_);
  module_->FinalizePool();
}

CompileResult Compilation::Finish() {
  return CompileResult{std::move(module_), std::move(changedAfterIndexing_)};
}

void Compilation::BookCreated(int32_t book) { RegisterBook(*module_, linkLookup_, book); }

bool Compilation::LinkStep(int32_t tagPos, int32_t contextVerse) {
  return quillavor::LinkStep(*module_, linkLookup_, tagPos, contextVerse);
}

void Compilation::IndexVerse(int32_t verse, bool indexingOn) {
  quillavor::IndexVerse(*module_, wordAccel_, verse, indexingOn);
}

}  // namespace quillavor
