// quillavor-maker: the command-line front end. `build` runs the build driver
// over a books list; `inspect` decodes a module file.
#include <sys/resource.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <array>
#include <chrono>
#include <cstdio>
#include <iostream>

#include "app/build_driver.h"
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
// otherwise, nothing when quiet.
class CliObserver : public DriverObserver {
 public:
  CliObserver(bool raw, bool quiet, bool timings)
      : raw_(raw), quiet_(quiet), timings_(timings), live_(!quiet && isatty(STDERR_FILENO)) {}

  void LineStarted(std::u16string_view piece) override {
    stages_.fill(std::chrono::nanoseconds(0));
    headings_.LineStarted();
    piece_ = text::EncodeUtf8(piece);
    Line("--> " + piece_);
  }
  // Warnings are shown even when quiet, naming the books-list line so that
  // they stand on their own.
  void Warning(std::u16string_view text) override {
    ClearLive();
    std::fprintf(stderr, "quillavor-maker: warning: %s: %s\n", piece_.c_str(),
                 text::EncodeUtf8(text).c_str());
  }
  void LineFinished(std::u16string_view piece, LineOutcome outcome,
                    std::u16string_view modulePath) override {
    std::string s = text::EncodeUtf8(piece) + ": " + LineOutcomeText(outcome);
    if (outcome == LineOutcome::kBuilt) s += " -> " + text::EncodeUtf8(modulePath);
    Line(s);
    if (timings_ && outcome == LineOutcome::kBuilt) PrintTimings();
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
  std::string piece_;
  StageHeadings headings_;
  std::array<std::chrono::nanoseconds, kStageCount> stages_{};
};

int RunBuildCommand(const std::string& booksFile, const BuildOptions& options, bool raw, bool quiet,
                    bool timings, unsigned jobs) {
  std::u16string path = booksFile.empty() ? paths::SettingsFilePath() : text::DecodeUtf8(booksFile);
  if (!files::IsRegularFile(path)) {
    std::fprintf(stderr, "quillavor-maker: no books list at \"%s\"%s\n",
                 text::EncodeUtf8(path).c_str(),
                 booksFile.empty() ? " (the settings file; name a books list to build)" : "");
    return 1;
  }
  CliObserver observer(raw, quiet, timings);
  try {
    std::u16string list = DecodeBooksList(files::ReadWholeFile(path));
    ThreadPool pool(jobs);
    RunSummary summary = RunBuild(list, observer, options, &pool);
    observer.ClearLive();
    if (!quiet) {
      std::fprintf(stderr, "%d module(s) built, %d line(s) skipped%s\n", summary.built,
                   summary.skipped, summary.stopped ? ", stopped at \"break\"" : "");
    }
    return 0;
  } catch (const std::exception& e) {
    observer.ClearLive();
    std::fprintf(stderr, "quillavor-maker: error: %s\n", e.what());
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
  std::string booksFile;
  bool raw = false;
  bool quiet = false;
  bool timings = false;
  build->add_option("BOOKS_FILE", booksFile,
                    "Books list (default: the settings file " +
                        quillavor::text::EncodeUtf8(quillavor::paths::SettingsFilePath()) + ")");
  build->add_flag("--raw", raw, "Also write the uncompressed image as MODULE.raw");
  build->add_flag("-q,--quiet", quiet, "Print nothing but errors");
  build->add_flag("--timings", timings, "Print the time of each stage and the peak memory");
  unsigned jobs = quillavor::CoresAvailable();
  build
      ->add_option("-j,--jobs", jobs,
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
      ->option_text("DIR")
      ->check(CLI::ExistingDirectory);

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
    return quillavor::RunBuildCommand(booksFile, options, raw, quiet, timings, jobs);
  }
  if (*preview) return quillavor::RunPreviewCommand(previewModule, previewOutput, previewOpen);
  return quillavor::RunInspectCommand(modulePath, json, check, word, letter, sections);
}
