// The compile run: the pipeline above the stages. It runs them over one
// source into a Module (load, rewrite and line compiler, link resolution,
// word index finalisation, pool finalisation) and owns what only the run
// needs: the lookup indexes of the two dictionaries, the link lookup,
// `pendingLinks` and the list of strings changed after indexing. The Module
// it hands back is data; the writer (output/module_writer.h) serialises it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "index/link_resolver.h"
#include "markup/line_stages.h"
#include "model/build_options.h"
#include "model/dictionary.h"
#include "model/module.h"
#include "model/progress.h"

namespace quillavor {

// What a compile run produces: the module, and what the run knows of it that
// the module file does not record.
struct CompileResult {
  std::unique_ptr<Module> module;
  // Pool indexes of the strings (verse texts, footnote lines) whose text link
  // resolution changed after indexing in a way that moves or deletes words the
  // index points into: an unresolved link removed, or a link resolved whose
  // tag the indexer saw unclosed (no ">" but those of "<sc>") and so read its
  // value as words. A check of a module just built can hold every other verse
  // to its exact word offsets.
  std::vector<int32_t> changedAfterIndexing;
};

// Reads and compiles the source file at `sourcePath` completely. `name`,
// `abbreviation` and `options` are those of the module line. Raises the
// errors of the stages (DynArrayOutOfRange, IoError, SourceError); a source
// that cannot be loaded (missing, 2 bytes or less) gives an empty module.
// `build` carries the options of the whole run (which image files may be read).
CompileResult CompileModule(std::u16string name, std::u16string abbreviation,
                            std::u16string sourcePath, std::u16string options, Progress& progress,
                            const BuildOptions& build = {});

// Compiles source bytes held in memory as if read from `sourcePath` (for
// tools and tests that have no file).
CompileResult CompileModuleFromBytes(std::u16string name, std::u16string abbreviation,
                                     std::u16string sourcePath, std::u16string options,
                                     std::span<const uint8_t> bytes, Progress& progress);

// One compile run, stage by stage, for the functions above and for tests
// that look between the stages. Call the stages in order, each at most once.
// Borrows `progress` for its lifetime.
class Compilation : private LineStages {
 public:
  Compilation(std::u16string name, std::u16string abbreviation, std::u16string sourcePath,
              std::u16string options, Progress& progress, BuildOptions build = {});
  ~Compilation() override;
  Compilation(const Compilation&) = delete;  // owns the module and the run's indexes
  Compilation& operator=(const Compilation&) = delete;

  // Reads the source file, or takes `bytes` instead, and prepares its text;
  // nothing when the load fails as a source may (an empty module follows).
  // Images go into the module.
  std::optional<std::string> Load(std::optional<std::span<const uint8_t>> bytes = std::nullopt);
  // The rewrite pass and the line loop over the prepared text, with each
  // line's links, labels and words handed on as the line is compiled.
  void CompileMarkup(std::string_view prepared);
  // The "Resolve linkage" pass over `pendingLinks`.
  void ResolveLinks();
  // The word index and the pool are finalised: the module is complete.
  void Finalize();
  // Hands over the module and what the run knows of it; the run is over.
  CompileResult Finish();

  Module& module() { return *module_; }
  const PendingLinks& pendingLinks() const { return pendingLinks_; }

 private:
  void BookCreated(int32_t book) override;
  bool LinkStep(int32_t tagPos, int32_t contextVerse) override;
  void IndexVerse(int32_t verse, bool indexingOn) override;

  std::unique_ptr<Module> module_;
  Progress& progress_;
  BuildOptions build_;
  DictionaryAccel wordAccel_;   // beside module_->words
  DictionaryAccel labelAccel_;  // beside module_->labels
  LinkLookup linkLookup_;  // books by name, verses by plain text
  PendingLinks pendingLinks_;
  std::vector<int32_t> changedAfterIndexing_;
};

}  // namespace quillavor
