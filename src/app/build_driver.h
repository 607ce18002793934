// The build driver: walks a books list line by line, compiles one Module per
// valid module line and writes its module file next to the source. Front ends
// (command line, window) observe the run through DriverObserver; each line's
// diagnostics are gathered while it is built and handed on with its report.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/build_options.h"
#include "model/diagnostics.h"
#include "model/errors.h"
#include "model/progress.h"

namespace quillavor {

class ThreadPool;

// The fields of one module line.
struct ModuleLine {
  std::u16string name;          // trimmed
  std::u16string abbreviation;  // trimmed
  std::u16string sourcePath;    // trimmed
  std::u16string options;       // as written; empty with only three fields
};

// Why a line was not built.
enum class LineOutcome { kBuilt, kTooFewFields, kNoSourceFile, kCannotOpenSource };
const char* LineOutcomeText(LineOutcome outcome);

// What a built module holds, for the summary of its line.
struct ModuleCounts {
  int64_t books = 0;
  int64_t verses = 0;
  int64_t words = 0;
  int64_t occurrences = 0;  // word occurrences in the index
  int64_t linksResolved = 0;
  int64_t linksUnresolved = 0;
  int64_t images = 0;
};

// Everything a run knows of one books-list line once it is done with it.
struct LineReport {
  int64_t line = 0;  // 1-based line of the books list, as an editor counts
  std::u16string piece;
  std::optional<ModuleLine> fields;  // nothing with fewer than three fields
  LineOutcome outcome = LineOutcome::kBuilt;
  bool failed = false;  // an error ended the run at this line; `error` says why
  std::string error;
  std::u16string modulePath;            // built lines
  ModuleCounts counts;                  // built lines
  std::vector<Diagnostic> diagnostics;  // in the order found
  std::chrono::nanoseconds elapsed{0};
};

// Observes a run. When a run builds several lines at once (RunBuild with a
// pool of more than one thread), the calls come from the pool's threads, one
// at a time, and each line's calls arrive together in books-list order.
class DriverObserver : public Progress {
 public:
  // A non-empty piece other than the stop line is about to be processed.
  virtual void LineStarted(std::u16string_view /*piece*/) {}
  // The piece was built or skipped. Not called when an error ends the run.
  virtual void LineFinished(std::u16string_view /*piece*/, LineOutcome /*outcome*/,
                            std::u16string_view /*modulePath*/) {}
  // Asked for each module once it is compiled: is a raw file wanted?
  virtual bool RawWanted() { return false; }
  // Everything known of a line: called when it is built or skipped, before
  // LineFinished, and when an error ends the run at it, before the error is
  // raised. Lines are reported in books-list order.
  virtual void LineReported(const LineReport& /*report*/) {}
};

// Tells which phase texts head a stage of a build, by the stage they come in:
// the first after a line starts, and the first of loading, link resolution,
// index finalisation and image assembly. Plain progress output shows these and
// leaves out the book titles and Concordance letters shown on the way.
class StageHeadings {
 public:
  void LineStarted() { open_ = true; }
  void StageStarted(Stage stage) { open_ = HasHeading(stage); }
  // Whether the phase shown now heads its stage; call it once for every phase.
  bool IsHeading() { return std::exchange(open_, false); }

 private:
  static bool HasHeading(Stage stage) {
    return stage == Stage::kLoad || stage == Stage::kLinkResolution ||
           stage == Stage::kIndexFinalize || stage == Stage::kImageAssembly;
  }
  bool open_ = false;  // the next phase heads a stage
};

// An error that ended a run: the module line, its source path, the cause.
class BuildError : public Error {
 public:
  BuildError(std::u16string piece, std::u16string sourcePath, std::string cause);
  const std::u16string& piece() const { return piece_; }
  const std::u16string& sourcePath() const { return sourcePath_; }
  const std::string& cause() const { return cause_; }

 private:
  std::u16string piece_;
  std::u16string sourcePath_;
  std::string cause_;
};

struct RunSummary {
  int built = 0;
  int skipped = 0;
  bool stopped = false;  // ended at a "break" line
};

// The books list text decoded from file bytes: up to the first 0 byte, a
// leading byte-order mark dropped, malformed UTF-8 as U+FFFD.
std::u16string DecodeBooksList(std::span<const uint8_t> bytes);

// Pieces cut at every CR and every LF (a CR LF pair gives an empty piece).
std::vector<std::u16string> SplitPieces(std::u16string_view booksList);
// The editor line (1-based) of each piece of SplitPieces: a lone CR cuts a
// piece but does not end a line.
std::vector<int64_t> PieceLines(std::u16string_view booksList);
// "break" in any case, untrimmed.
bool IsStopLine(std::u16string_view piece);
// Fields split at every "|", empty fields kept.
std::vector<std::u16string> SplitFields(std::u16string_view piece);
// The module line of a piece, or nothing with fewer than three fields.
std::optional<ModuleLine> ParseModuleLine(std::u16string_view piece);
// The module file path derived from a (trimmed) source path: cut at the last
// "." anywhere in the path, which may lie in a folder name.
std::u16string ModuleFilePath(std::u16string_view sourcePath);
// The "module-elsewhere" message for a module path that the rule above puts
// outside the source's folder or gives a name starting with "."; nothing when
// the module file lands beside its source.
std::optional<std::u16string> ModulePlacementWarning(std::u16string_view sourcePath,
                                                     std::u16string_view modulePath);
// The "unknown-option" messages for the words of an options field (split at
// commas and blanks) other than exactly "spanish" and "windowspage".
std::vector<std::string> UnknownOptionMessages(std::u16string_view options);

// One run over a books list. Raises BuildError when a line fails; modules
// written before it stay, and nothing is written for the lines after it.
// Books-list diagnostics name BuildOptions::booksListFile.
//
// With a `pool` of N threads, up to N module lines are built at once, and
// each compresses its module on the same pool; with none, one line at a time,
// each compressing on a pool of one thread per core. Either way the module
// files are written, and the observer hears of each line, in books-list
// order, as one line after another would: a line built ahead of its turn is
// kept in memory (at most N lines are under way or waiting for their turn)
// and its calls are held back until the line before it is done. A line whose
// source file is the module or raw file of an earlier line waits for that
// line to be written.
RunSummary RunBuild(std::u16string_view booksList, DriverObserver& observer,
                    const BuildOptions& options = {}, ThreadPool* pool = nullptr);

}  // namespace quillavor
