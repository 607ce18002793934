// The compile run: the pipeline above the stages. It runs them over one
// source into a Module (load, rewrite and line compiler, link resolution,
// word index finalisation, pool finalisation) and owns what only the run
// needs: the lookup indexes of the two dictionaries, the link lookup,
// `pendingLinks` and the list of strings changed after indexing. The Module
// it hands back is data; the writer (output/module_writer.h) serialises it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "index/link_resolver.h"
#include "markup/compiler.h"
#include "markup/line_stages.h"
#include "model/build_options.h"
#include "model/diagnostics.h"
#include "model/dictionary.h"
#include "model/module.h"
#include "model/progress.h"
#include "source/line_map.h"

namespace quillavor {

class VersePipeline;

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
  // Link tags resolved, and those left unresolved (removed or kept as text).
  int64_t linksResolved = 0;
  int64_t linksUnresolved = 0;
};

// Reads and compiles the source file at `sourcePath` completely. `name`,
// `abbreviation` and `options` are those of the module line. Raises the
// errors of the stages (DynArrayOutOfRange, IoError, SourceError); a source
// that cannot be loaded (missing, 2 bytes or less) gives an empty module.
// `build` carries the options of the whole run (which image files may be read).
// When `diagnostics` is given, everything the run drops or cannot resolve is
// reported there, naming the line of `sourcePath`; null: nothing is looked for.
// `threads`: how many threads the compile may use, the calling thread
// included (0: one per core the process may run on); with two or more, the
// words of a large source are analysed on a second thread while the lines
// compile on this one. The module is the same on any number of threads.
CompileResult CompileModule(std::u16string name, std::u16string abbreviation,
                            std::u16string sourcePath, std::u16string options, Progress& progress,
                            const BuildOptions& build = {}, DiagnosticSink* diagnostics = nullptr,
                            unsigned threads = 0);

// Compiles source bytes held in memory as if read from `sourcePath` (for
// tools and tests that have no file).
CompileResult CompileModuleFromBytes(std::u16string name, std::u16string abbreviation,
                                     std::u16string sourcePath, std::u16string options,
                                     std::span<const uint8_t> bytes, Progress& progress,
                                     DiagnosticSink* diagnostics = nullptr);

// The diagnostics of one module as the stages find them: at most
// kListedPerCode of each code are kept, the others only counted, so that a
// source with a million broken links costs no more to report than one with
// a few thousand.
class FoundDiagnostics : public DiagnosticSink {
 public:
  static constexpr int64_t kListedPerCode = 10'000;

  void Report(Diagnostic diagnostic) override;
  // Whether one more diagnostic of `code` is kept; when not, it is counted
  // here, so that the caller need not make it.
  bool Admits(DiagnosticCode code);
  // The kept ones (`items`) stay as they are; for each code with more found
  // than kept, a whole-file diagnostic (line 0) of that code giving the count.
  std::vector<Diagnostic> Overflow(const std::string& file) const;

  std::vector<Diagnostic> items;

 private:
  std::map<DiagnosticCode, int64_t> found_;  // kept or not
};

// One compile run, stage by stage, for the functions above and for tests
// that look between the stages. Call the stages in order, each at most once.
// Borrows `progress` and `diagnostics` (which may be null) for its lifetime.
class Compilation : private LineStages, private LinkOutcomes {
 public:
  Compilation(std::u16string name, std::u16string abbreviation, std::u16string sourcePath,
              std::u16string options, Progress& progress, BuildOptions build = {},
              DiagnosticSink* diagnostics = nullptr);
  ~Compilation() override;
  Compilation(const Compilation&) = delete;  // owns the module and the run's indexes
  Compilation& operator=(const Compilation&) = delete;

  // Reads the source file, or takes `bytes` instead, and prepares its text;
  // nothing when the load fails as a source may (an empty module follows).
  // Images go into the module.
  std::optional<std::string> Load(std::optional<std::span<const uint8_t>> bytes = std::nullopt);
  // From now on, CompileMarkup analyses the words of a prepared text of at
  // least `minimumBytes` on a second thread when `threads` (the calling
  // thread included; 0: one per core) is two or more. Without this call
  // everything runs on the calling thread.
  void UseThreads(unsigned threads, size_t minimumBytes = kThreadsMinimumBytes);
  static constexpr size_t kThreadsMinimumBytes = 256 * 1024;
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
  void Resolved(int64_t count) override;
  void Unresolved(const UnresolvedLink& link) override;
  void Lookalike(const LinkLookalike& lookalike) override;

  // CompileSource on this thread with the verses' words analysed on a second.
  void CompileWithHelper(std::string_view prepared);

  // The file line of the source text at pool index `pos`.
  int64_t FileLineAt(int32_t pos) const;
  void Report(DiagnosticCode code, int64_t line, std::string message);
  void ReportMarkupFacts();
  void ReportEmptyModule();
  // "Genesis 1, verse 3": a verse as a person finds it.
  std::string VersePlace(int32_t verse) const;
  // "in the note of Genesis" (book `noteOf`, unless kNone) or "in Genesis 1,
  // verse 3" (verse `verse`), and the file line where it stands (0: unknown).
  std::pair<std::string, int64_t> NoteOrVerse(int32_t noteOf, int32_t verse) const;

  std::unique_ptr<Module> module_;
  Progress& progress_;
  BuildOptions build_;
  DictionaryAccel wordAccel_;   // beside module_->words
  DictionaryAccel labelAccel_;  // beside module_->labels
  // Threads for the word analysis (see UseThreads); `verses_` is set on the
  // compiling thread while the lines are compiled with a helper.
  unsigned threads_ = 1;  // 1 until UseThreads
  size_t threadsMinimumBytes_ = 0;
  VersePipeline* verses_ = nullptr;
  LinkLookup linkLookup_;  // books by name, verses by plain text
  PendingLinks pendingLinks_;
  std::vector<int32_t> changedAfterIndexing_;
  int64_t linksResolved_ = 0;
  int64_t linksUnresolved_ = 0;

  // Hands the gathered diagnostics on to diagnostics_, in line order.
  void FlushDiagnostics();

  DiagnosticSink* diagnostics_;  // null: no diagnostics
  // What the stages found, in the order found; handed on in line order when
  // the run finishes (or fails).
  FoundDiagnostics found_;
  LineMap lineMap_;              // prepared lines to file lines
  MarkupFacts facts_;            // pool positions that diagnostics name
  // What the load saw, for the empty-module diagnostic.
  bool loaded_ = false;
  int64_t sourceSize_ = -1;  // -1: the file could not be read
  bool looksLikeModule_ = false;
  // Unresolved tags kept as text, already reported: a verse queued twice
  // meets them twice.
  std::unordered_set<int64_t> keptAsTextReported_;
};

}  // namespace quillavor
