#include "app/build_report.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/text.h"

namespace quillavor {

namespace {

using Json = nlohmann::ordered_json;  // keys in the order written

std::string Plural(int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

double Seconds(std::chrono::nanoseconds elapsed) {
  return std::chrono::duration<double>(elapsed).count();
}

const char* OutcomeName(const LineReport& line) {
  if (line.failed) return "failed";
  return line.outcome == LineOutcome::kBuilt ? "built" : "skipped";
}

Json CountsJson(const ModuleCounts& c) {
  return Json{{"books", c.books},
              {"verses", c.verses},
              {"words", c.words},
              {"occurrences", c.occurrences},
              {"linksResolved", c.linksResolved},
              {"linksUnresolved", c.linksUnresolved},
              {"images", c.images}};
}

Json DiagnosticJson(const Diagnostic& d) {
  Json j{{"code", std::string(DiagnosticCodeName(d.code))},
         {"file", d.file},
         {"line", d.line},
         {"message", d.message}};
  if (d.code == DiagnosticCode::kUnresolvedLink) {
    j["link"] = d.link;
    j["value"] = d.value;
  }
  if (d.code == DiagnosticCode::kMissingImage) j["path"] = d.path;
  return j;
}

}  // namespace

void RunTotals::Add(const LineReport& line) {
  if (line.failed) {
    ++failed;
  } else if (line.outcome == LineOutcome::kBuilt) {
    ++built;
  } else {
    ++skipped;
  }
  warnings += static_cast<int64_t>(line.diagnostics.size());
  counts.books += line.counts.books;
  counts.verses += line.counts.verses;
  counts.words += line.counts.words;
  counts.occurrences += line.counts.occurrences;
  counts.linksResolved += line.counts.linksResolved;
  counts.linksUnresolved += line.counts.linksUnresolved;
  counts.images += line.counts.images;
  elapsed += line.elapsed;
}

std::string CountsText(const ModuleCounts& c, int64_t warnings, std::chrono::nanoseconds elapsed) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.2f s", Seconds(elapsed));
  return Plural(c.books, "book", "books") + ", " + Plural(c.verses, "verse", "verses") + ", " +
         Plural(c.words, "word", "words") + ", " +
         Plural(c.occurrences, "word occurrence", "word occurrences") + ", " +
         Plural(c.linksResolved, "link resolved", "links resolved") + ", " +
         std::to_string(c.linksUnresolved) + " unresolved, " + Plural(c.images, "image", "images") +
         ", " + Plural(warnings, "warning", "warnings") + ", " + seconds;
}

std::string LineSummary(const LineReport& line) {
  std::string s = text::EncodeUtf8(line.piece) + ": ";
  if (line.failed) return s + "failed: " + line.error;
  s += LineOutcomeText(line.outcome);
  if (line.outcome != LineOutcome::kBuilt) return s;
  return s + " -> " + text::EncodeUtf8(line.modulePath) + " (" +
         CountsText(line.counts, static_cast<int64_t>(line.diagnostics.size()), line.elapsed) + ")";
}

std::string RunSummaryText(const RunTotals& t, bool stopped) {
  std::string s = Plural(t.built, "module", "modules") + " built, " +
                  Plural(t.skipped, "line", "lines") + " skipped";
  if (t.failed > 0) s += ", " + std::to_string(t.failed) + " failed";
  if (stopped) s += ", stopped at \"break\"";
  return s + ": " + CountsText(t.counts, t.warnings, t.elapsed);
}

void WriteBuildReport(const std::vector<LineReport>& lines, bool stopped, std::ostream& out) {
  Json modules = Json::array();
  RunTotals totals;
  for (const LineReport& line : lines) {
    totals.Add(line);
    Json m{{"line", line.line}, {"text", text::EncodeUtf8(line.piece)}};
    m["name"] = line.fields ? Json(text::EncodeUtf8(line.fields->name)) : Json(nullptr);
    m["source"] = line.fields ? Json(text::EncodeUtf8(line.fields->sourcePath)) : Json(nullptr);
    m["module"] = line.modulePath.empty() ? Json(nullptr) : Json(text::EncodeUtf8(line.modulePath));
    m["outcome"] = OutcomeName(line);
    if (line.failed) m["error"] = line.error;
    if (line.outcome != LineOutcome::kBuilt) {
      m["skipped"] = LineOutcomeText(line.outcome);
    }
    m["counts"] = CountsJson(line.counts);
    m["seconds"] = Seconds(line.elapsed);
    Json diagnostics = Json::array();
    for (const Diagnostic& d : line.diagnostics) diagnostics.push_back(DiagnosticJson(d));
    m["diagnostics"] = std::move(diagnostics);
    modules.push_back(std::move(m));
  }
  Json total{{"built", totals.built},
             {"skipped", totals.skipped},
             {"failed", totals.failed},
             {"stopped", stopped},
             {"warnings", totals.warnings},
             {"counts", CountsJson(totals.counts)},
             {"seconds", Seconds(totals.elapsed)}};
  Json report{{"modules", std::move(modules)}, {"total", std::move(total)}};
  out << report.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
}

}  // namespace quillavor
