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
#include <vector>

#include "model/build_options.h"
#include "model/diagnostics.h"
#include "model/errors.h"
#include "model/progress.h"

namespace quillavor {

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

class DriverObserver : public Progress {
 public:
  // A non-empty piece other than the stop line is about to be processed.
  virtual void LineStarted(std::u16string_view /*piece*/) {}
  // The piece was built or skipped. Not called when an error ends the run.
  virtual void LineFinished(std::u16string_view /*piece*/, LineOutcome /*outcome*/,
                            std::u16string_view /*modulePath*/) {}
  // Asked right before each module is written: is a raw file wanted?
  virtual bool RawWanted() { return false; }
  // Everything known of a line: called when it is built or skipped, before
  // LineFinished, and when an error ends the run at it, before the error is
  // raised. Lines are reported in books-list order.
  virtual void LineReported(const LineReport& /*report*/) {}
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
// written before it stay. Books-list diagnostics name
// BuildOptions::booksListFile.
RunSummary RunBuild(std::u16string_view booksList, DriverObserver& observer,
                    const BuildOptions& options = {});

}  // namespace quillavor
