// What a build run reported, line by line: the outcome of every books-list
// line, the diagnostics that belong to it, and the one-line summary the
// window shows when the run ends. Plain data, kept apart from the widgets so
// that the window only shows it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/build_driver.h"

namespace quillavor::gui {

// One diagnostic of a run, as the run log shows it in its columns.
struct LogDiagnostic {
  bool error = false;     // an error that ended the run; otherwise a warning
  std::u16string file;    // the source file it is about; empty when unknown
  int64_t line = 0;       // 1-based line in that file; 0 when it names none
  std::u16string message;
  std::u16string code;    // a short name for the kind ("missing-image"); may be empty
};

// A warning text as the build reports it today ("[code: ][line N: ]message")
// taken apart into columns; `file` is the source of the line being built.
LogDiagnostic DiagnosticFromText(std::u16string_view text, std::u16string_view file,
                                 bool error = false);

enum class LogOutcome { kRunning, kBuilt, kSkipped, kFailed };
const char16_t* LogOutcomeText(LogOutcome outcome);  // "building", "built", ...

struct LogLine {
  std::u16string piece;       // the books-list line as it was built
  std::u16string sourcePath;  // its source path; empty without three fields
  LogOutcome outcome = LogOutcome::kRunning;
  std::u16string detail;      // the module path when built, the reason when skipped
  std::vector<LogDiagnostic> diagnostics;
};

class RunReport {
 public:
  // A books-list line is being built; later diagnostics belong to it.
  void StartLine(std::u16string_view piece);
  // Adds a diagnostic to the line being built (to a line of its own when
  // none is). Returns the line it went to.
  const LogLine& AddDiagnostic(LogDiagnostic diagnostic);
  void FinishLine(LineOutcome outcome, std::u16string_view modulePath);
  // The run ended with an error at the line being built: the line is failed
  // and the error (`cause`, with "line N:" when it names one) is its last
  // diagnostic.
  void FailLine(std::u16string_view cause);

  const std::vector<LogLine>& lines() const { return lines_; }
  int Count(LogOutcome outcome) const;
  int Warnings() const;
  // "4 built, 1 skipped, 3 warnings": the built count always, the others
  // when not 0, and ", stopped" when the operator stopped the run. Empty when
  // no line was looked at.
  std::u16string Summary(bool stopped) const;

 private:
  LogLine& Current();

  std::vector<LogLine> lines_;
  bool open_ = false;  // the last line is being built
};

}  // namespace quillavor::gui
