// quillavor-maker: the command-line front end. `build` runs the build driver
// over a books list; `inspect` decodes a module file.
#include <sys/resource.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "app/build_driver.h"
#include "app/build_report.h"
#include "app/inspect.h"
#include "app/preview.h"
#include "platform/desktop.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/thread_pool.h"
#include "reader/module_checker.h"
#include "reader/module_reader.h"

namespace quillavor {
namespace {

// Prints the run on stderr: a live status line on a terminal, plain lines
// otherwise; with --quiet only the diagnostics and errors. Keeps every line's
// report for --report and --strict.
class CliObserver : public DriverObserver {
 public:
  // `maxWarnings`: diagnostics printed at most (nothing: all).
  CliObserver(bool raw, bool quiet, bool timings, std::optional<int64_t> maxWarnings)
      : raw_(raw),
        quiet_(quiet),
        timings_(timings),
        live_(!quiet && isatty(STDERR_FILENO)),
        maxWarnings_(maxWarnings) {}

  void LineStarted(std::u16string_view piece) override {
    stages_.fill(std::chrono::nanoseconds(0));
    headings_.LineStarted();
    Line("--> " + text::EncodeUtf8(piece));
  }
  // Diagnostics are printed even when quiet, in the form compilers use.
  void LineReported(const LineReport& report) override {
    for (const Diagnostic& d : report.diagnostics) {
      ++warnings_;
      if (maxWarnings_ && warnings_ > *maxWarnings_) continue;
      ClearLive();
      std::fprintf(stderr, "%s\n", FormatDiagnostic(d).c_str());
    }
    if (!report.failed) Line(LineSummary(report));
    reports_.push_back(report);
  }
  void LineFinished(std::u16string_view, LineOutcome outcome, std::u16string_view) override {
    if (timings_ && outcome == LineOutcome::kBuilt) PrintTimings();
  }
  // After the run: the diagnostics left unprinted, and the total.
  void Finish(bool stopped) {
    ClearLive();
    if (maxWarnings_ && warnings_ > *maxWarnings_) {
      std::fprintf(stderr, "quillavor-maker: %lld more warnings not shown (--max-warnings %lld)\n",
                   static_cast<long long>(warnings_ - *maxWarnings_),
                   static_cast<long long>(*maxWarnings_));
    }
    if (!quiet_) {
      RunTotals totals;
      for (const LineReport& r : reports_) totals.Add(r);
      std::fprintf(stderr, "%s\n", RunSummaryText(totals, stopped).c_str());
    }
  }
  const std::vector<LineReport>& reports() const { return reports_; }
  // True when a line was skipped or a warning given (what --strict fails on).
  bool AnythingToMend() const {
    for (const LineReport& r : reports_) {
      if (r.outcome != LineOutcome::kBuilt || !r.diagnostics.empty()) return true;
    }
    return false;
  }
  // A live line shows every phase; plain output prints the stages of a build,
  // not every book title or Concordance letter shown on the way.
  void Phase(std::u16string_view phase) override {
    const bool heading = headings_.IsHeading();
    if (quiet_) return;
    std::string s = text::EncodeUtf8(ShownText(phase));
    if (live_) {
      std::fprintf(stderr, "\r\033[K  %s", s.c_str());
      std::fflush(stderr);
    } else if (heading) {
      std::fprintf(stderr, "  %s\n", s.c_str());
    }
  }
  void StageStarted(Stage stage) override { headings_.StageStarted(stage); }
  void StageDone(Stage stage, std::chrono::nanoseconds elapsed) override {
    stages_[static_cast<size_t>(stage)] += elapsed;
  }
  bool RawWanted() override { return raw_; }

  void ClearLive() {
    if (live_) std::fprintf(stderr, "\r\033[K");
  }

 private:
  void Line(const std::string& s) {
    if (quiet_) return;
    ClearLive();
    std::fprintf(stderr, "%s\n", s.c_str());
  }

  void PrintTimings() {
    double total = 0;
    for (int i = 0; i < kStageCount; ++i) {
      double ms =
          std::chrono::duration<double, std::milli>(stages_[static_cast<size_t>(i)]).count();
      total += ms;
      std::fprintf(stderr, "  %-20s %10.1f ms\n", StageName(static_cast<Stage>(i)), ms);
    }
    std::fprintf(stderr, "  %-20s %10.1f ms\n", "total", total);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::fprintf(stderr, "  %-20s %10.1f MiB\n", "peak memory",
                 static_cast<double>(usage.ru_maxrss) / 1024.0);
  }

  bool raw_;
  bool quiet_;
  bool timings_;
  bool live_;
  std::optional<int64_t> maxWarnings_;
  int64_t warnings_ = 0;
  std::vector<LineReport> reports_;
  StageHeadings headings_;
  std::array<std::chrono::nanoseconds, kStageCount> stages_{};
};

// What `build` is asked to do beyond the build options.
struct BuildCommand {
  std::string booksFile;  // empty: the settings file
  std::string folder;     // -C: run as if started here
  std::string report;     // --report: a file, "-" for standard output, empty for none
  bool raw = false;
  bool quiet = false;
  bool timings = false;
  bool strict = false;
  int64_t maxWarnings = -1;  // --max-warnings; -1: print all
  unsigned jobs = 1;         // -j: module lines built at once
};

// Writes the report where asked; false (with a message) when it cannot be.
bool WriteReport(const BuildCommand& command, const CliObserver& observer, bool stopped) {
  if (command.report.empty()) return true;
  if (command.report == "-") {
    WriteBuildReport(observer.reports(), stopped, std::cout);
    std::cout.flush();
    return true;
  }
  std::ostringstream json;
  WriteBuildReport(observer.reports(), stopped, json);
  const std::string bytes = json.str();
  try {
    files::WriteFileAtomically(
        text::DecodeUtf8(command.report),
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    return true;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillavor-maker: error: the report: %s\n", e.what());
    return false;
  }
}

int RunBuildCommand(const BuildCommand& command, BuildOptions options) {
  if (!command.folder.empty()) {
    std::error_code error;
    std::filesystem::current_path(files::ToPath(text::DecodeUtf8(command.folder)), error);
    if (error) {
      std::fprintf(stderr, "quillavor-maker: -C \"%s\": %s\n", command.folder.c_str(),
                   error.message().c_str());
      return 2;
    }
  }
  if (!options.imagesUnder.empty() && !files::IsFolder(options.imagesUnder)) {
    std::fprintf(stderr, "quillavor-maker: --images-under: no folder at \"%s\"\n",
                 text::EncodeUtf8(options.imagesUnder).c_str());
    return 2;
  }
  const std::u16string path =
      command.booksFile.empty() ? paths::SettingsFilePath() : text::DecodeUtf8(command.booksFile);
  if (!files::IsRegularFile(path)) {
    std::fprintf(
        stderr, "quillavor-maker: no books list at \"%s\"%s\n", text::EncodeUtf8(path).c_str(),
        command.booksFile.empty() ? " (the settings file; name a books list to build)" : "");
    return 1;
  }
  options.booksListFile = path;
  CliObserver observer(
      command.raw, command.quiet, command.timings,
      command.maxWarnings >= 0 ? std::optional<int64_t>(command.maxWarnings) : std::nullopt);
  try {
    std::u16string list = DecodeBooksList(files::ReadWholeFile(path));
    ThreadPool pool(command.jobs);
    const RunSummary summary = RunBuild(list, observer, options, &pool);
    observer.Finish(summary.stopped);
    if (!WriteReport(command, observer, summary.stopped)) return 1;
    return command.strict && observer.AnythingToMend() ? 1 : 0;
  } catch (const std::exception& e) {
    observer.Finish(false);
    std::fprintf(stderr, "quillavor-maker: error: %s\n", e.what());
    WriteReport(command, observer, false);
    return 1;
  }
}

int RunInspectCommand(const std::string& modulePath, bool json, bool check,
                      const std::string& word, const std::string& letter,
                      const std::vector<std::string>& sections) {
  try {
    ModuleView module = ReadModuleFile(text::DecodeUtf8(modulePath));
    if (check) {
      const std::vector<Violation> violations = CheckModule(module);
      for (const Violation& v : violations) std::cout << v.ToString() << "\n";
      if (violations.empty()) std::cout << "ok: no violations\n";
      return violations.empty() ? 0 : 1;
    }
    if (json) {
      PrintModuleJson(module, std::cout);
      return 0;
    }
    InspectOptions options;
    options.word = text::DecodeUtf8(word);
    options.letter = text::DecodeUtf8(letter);
    if (!sections.empty()) {
      options.counters = options.books = options.verses = options.words = options.concordance =
          options.images = options.links = false;
      for (const std::string& s : sections) {
        if (s == "counters") options.counters = true;
        if (s == "books") options.books = true;
        if (s == "verses") options.verses = true;
        if (s == "words") options.words = true;
        if (s == "concordance") options.concordance = true;
        if (s == "images") options.images = true;
        if (s == "links") options.links = true;
      }
    }
    PrintModule(module, options, std::cout);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillavor-maker: %s: %s\n", modulePath.c_str(), e.what());
    return 1;
  }
}

int RunPreviewCommand(const std::string& modulePath, const std::string& output, bool open) {
  try {
    const std::u16string module = text::DecodeUtf8(modulePath);
    const std::u16string folder = output.empty() ? DefaultPreviewFolder(module)
                                                 : text::DecodeUtf8(output);
    const PreviewSummary summary = WritePreview(ReadModuleFile(module), folder);
    std::printf("%d pages, %d images -> %s\n", summary.pages, summary.images,
                text::EncodeUtf8(summary.indexPage).c_str());
    if (open) desktop::OpenWithDefaultProgram(summary.indexPage);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillavor-maker: %s: %s\n", modulePath.c_str(), e.what());
    return 1;
  }
}

// "quillavor-maker 0.1.0"; a build from a git checkout adds the commit it was
// configured at, as in "quillavor-maker 0.1.0 (git 524e176)".
constexpr const char* kVersionText = "quillavor-maker " QUILLAVOR_VERSION
#ifdef QUILLAVOR_GIT_DESCRIPTION
                                     " (git " QUILLAVOR_GIT_DESCRIPTION ")"
#endif
    ;

}  // namespace
}  // namespace quillavor

// The most -j takes: far beyond the cores of any machine we build on, and
// low enough that a slip of the keyboard cannot ask for a million threads.
constexpr unsigned kMaxJobs = 256;

int main(int argc, char** argv) {
  CLI::App app{"Compiles sacred-text sources into .quillavor modules"};
  app.set_version_flag("--version", quillavor::kVersionText);
  app.require_subcommand(1);

  CLI::App* build = app.add_subcommand("build", "Build every module of a books list");
  quillavor::BuildCommand command;
  build->add_option("BOOKS_FILE", command.booksFile,
                    "Books list (default: the settings file " +
                        quillavor::text::EncodeUtf8(quillavor::paths::SettingsFilePath()) + ")");
  build->add_flag("--raw", command.raw, "Also write the uncompressed image as MODULE.raw");
  build->add_flag("-q,--quiet", command.quiet, "Print nothing but warnings and errors");
  build->add_flag("--timings", command.timings, "Print the time of each stage and the peak memory");
  command.jobs = quillavor::CoresAvailable();
  build
      ->add_option("-j,--jobs", command.jobs,
                   "Build up to N module lines at once on N threads, which also share the "
                   "compression of each module; each line under way holds its module in "
                   "memory (default: the number of cores)")
      ->option_text("N")
      ->check(CLI::Range(1u, kMaxJobs));
  std::string imagesUnder;
  build
      ->add_option("--images-under", imagesUnder,
                   "Embed only image files inside DIR (links followed); drop any other with a "
                   "warning")
      ->option_text("DIR");
  build
      ->add_option("-C", command.folder,
                   "Run as if started in DIR: relative paths (books list, sources, images, "
                   "report) are taken from there")
      ->option_text("DIR");
  build
      ->add_option("--report", command.report,
                   "Write the whole run as JSON to FILE (\"-\": standard output)")
      ->option_text("FILE");
  build->add_flag("--strict", command.strict,
                  "Exit 1 when a line was skipped or a warning given (the run goes on)");
  build
      ->add_option("--max-warnings", command.maxWarnings,
                   "Print at most N warnings (the report holds them all)")
      ->option_text("N")
      ->check(CLI::NonNegativeNumber);

  CLI::App* inspect = app.add_subcommand("inspect", "Show what a module file holds");
  std::string modulePath;
  bool json = false;
  bool check = false;
  std::string word;
  std::string letter;
  std::vector<std::string> sections;
  inspect->add_option("MODULE", modulePath, "Module file (.quillavor) or raw file")->required();
  inspect->add_flag("--json", json, "The whole structure as JSON");
  inspect->add_flag("--check", check,
                    "Validate the module; print each violation, exit 1 when there is any");
  inspect->add_option("--word", word, "Show the occurrences of one word");
  inspect->add_option("--letter", letter, "Show the words of one Concordance letter book");
  inspect
      ->add_option("--section", sections,
                   "Sections to show: counters, books, verses, words, concordance, images, links")
      ->check(CLI::IsMember(
          {"counters", "books", "verses", "words", "concordance", "images", "links"}));

  CLI::App* preview =
      app.add_subcommand("preview", "Write a web site of a module for proofreading in a browser");
  std::string previewModule;
  std::string previewOutput;
  bool previewOpen = false;
  preview->add_option("MODULE", previewModule, "Module file (.quillavor) or raw file")->required();
  preview->add_option("-o,--output", previewOutput,
                      "Folder of the site (default: MODULE with .preview in place of its "
                      "extension)");
  preview->add_flag("--open", previewOpen, "Open the first page in the desktop's browser");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? 0 : 2;
  }
  if (*build) {
    quillavor::BuildOptions options;
    options.imagesUnder = quillavor::text::DecodeUtf8(imagesUnder);
    return quillavor::RunBuildCommand(command, options);
  }
  if (*preview) return quillavor::RunPreviewCommand(previewModule, previewOutput, previewOpen);
  return quillavor::RunInspectCommand(modulePath, json, check, word, letter, sections);
}
