// What the command line makes of the reports of a build run: the summary
// line of each module line and of the run, the printed form of diagnostics
// with an optional cap, and the whole run as JSON for `build --report`
// (described in docs/REPORT.md).
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "app/build_driver.h"

namespace quillavor {

// Sums over the lines of a run.
struct RunTotals {
  int64_t built = 0;
  int64_t skipped = 0;
  int64_t failed = 0;
  int64_t warnings = 0;
  ModuleCounts counts;
  std::chrono::nanoseconds elapsed{0};
  void Add(const LineReport& line);
};

// "66 books, 31102 verses, ... , 3 warnings, 0.84 s" for a built line.
std::string CountsText(const ModuleCounts& counts, int64_t warnings,
                       std::chrono::nanoseconds elapsed);
// The line printed after a module line: its text, what became of it, and
// for a built line the module file and CountsText.
std::string LineSummary(const LineReport& line);
// The line printed at the end of a run.
std::string RunSummaryText(const RunTotals& totals, bool stopped);

// Writes the run as JSON (one object, a final newline).
void WriteBuildReport(const std::vector<LineReport>& lines, bool stopped, std::ostream& out);

}  // namespace quillavor
