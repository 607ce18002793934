#include "app/build_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/build_report.h"
#include "platform/files.h"
#include "platform/thread_pool.h"
#include "reader/module_reader.h"
#include "support/test_support.h"

namespace quillavor {
namespace {

using testing::TempDir;
using testing::U16;
using testing::U8;

TEST(BuildDriverTest, ModuleFilePathRule) {
  const std::pair<std::u16string_view, std::u16string_view> cases[] = {
      {u"C:\\src\\kjv.txt", u"C:\\src\\kjv.quillavor"},
      {u"C:\\src\\kjv", u"C:\\src\\kjv.quillavor"},
      {u"C:\\data.old\\kjv", u"C:\\data.quillavor"},
      {u"C:\\src\\kjv.quillavor", u"C:\\src\\kjv.quillavor2"},
      {u"C:\\src\\kjv.QUILLAVOR", u"C:\\src\\kjv.QUILLAVOR2"},
      {u"/src/kjv.txt", u"/src/kjv.quillavor"},
      {u".quillavor", u".quillavor2"},  // exactly ten units: never the source's own path
      {u"quillavor", u"quillavor.quillavor"},
      {u"a.b.c", u"a.b.quillavor"},
  };
  for (auto [source, module] : cases) {
    EXPECT_EQ(ModuleFilePath(source), module) << U8(source);
  }
}

// The path rule cuts at the last "." anywhere: a module that then lands
// outside the source's folder, or gets a hidden name, is warned about.
TEST(BuildDriverTest, ModulePlacementWarning) {
  const std::pair<std::u16string_view, const char*> cases[] = {
      {u"kjv.txt", nullptr},
      {u"/src/kjv.txt", nullptr},
      {u"./kjv.txt", nullptr},
      {u"src/a.b.c", nullptr},
      {u"kjv.quillavor", nullptr},
      {u"/src/data.old/kjv",
       "the module file \"/src/data.quillavor\" lies outside the source's "
       "folder"},
      {u"sub/../noext",
       "the module file \"sub/..quillavor\" lies outside the source's folder "
       "and has a name that starts with \".\""},
      {u"./noext", "the module file \".quillavor\" has a name that starts with \".\""},
      {u"/src/.hidden", "the module file \"/src/.quillavor\" has a name that starts with \".\""},
  };
  for (auto [source, text] : cases) {
    SCOPED_TRACE(U8(source));
    const std::optional<std::u16string> warning =
        ModulePlacementWarning(source, ModuleFilePath(source));
    if (text == nullptr) {
      EXPECT_FALSE(warning) << U8(*warning);
      continue;
    }
    ASSERT_TRUE(warning);
    EXPECT_EQ(U8(*warning),
              std::string(text) + " (the module path is the source path up to its last \".\")");
  }
}

TEST(BuildDriverTest, PiecesAreCutAtEveryCarriageReturnAndLineFeed) {
  const std::vector<std::u16string> want = {u"a", u"", u"b", u"c", u"", u""};
  EXPECT_EQ(SplitPieces(u"a\r\nb\rc\n\n"), want);
  EXPECT_EQ(SplitPieces(u""), std::vector<std::u16string>{u""});
}

TEST(BuildDriverTest, StopLineIgnoresCaseButNotBlanks) {
  EXPECT_TRUE(IsStopLine(u"break"));
  EXPECT_TRUE(IsStopLine(u"BREAK"));
  EXPECT_TRUE(IsStopLine(u"Break"));
  EXPECT_FALSE(IsStopLine(u"break "));
  EXPECT_FALSE(IsStopLine(u" break"));
}

TEST(BuildDriverTest, ModuleLineFields) {
  std::optional<ModuleLine> line = ParseModuleLine(u" Bible | KJV |   C:\\src\\kjv.txt   ");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->name, u"Bible");
  EXPECT_EQ(line->abbreviation, u"KJV");
  EXPECT_EQ(line->sourcePath, u"C:\\src\\kjv.txt");
  EXPECT_EQ(line->options, u"");

  line = ParseModuleLine(u"Bible | KJV | C:\\src\\kjv.txt | windowspage");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->options, u" windowspage");  // options are passed as written

  line = ParseModuleLine(u"a||b|c|d|e");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->abbreviation, u"");
  EXPECT_EQ(line->sourcePath, u"b");
  EXPECT_EQ(line->options, u"c");

  EXPECT_FALSE(ParseModuleLine(u"Bible | KJV"));
  EXPECT_FALSE(ParseModuleLine(u"break "));
  EXPECT_EQ(SplitFields(u"||").size(), 3u);
}

TEST(BuildDriverTest, BooksListDecoding) {
  EXPECT_EQ(DecodeBooksList(testing::Bytes("\xEF\xBB\xBF"
                                           "a|b|c")),
            u"a|b|c");
  EXPECT_EQ(DecodeBooksList(testing::Bytes(std::string("a\0b", 3))), u"a");
  EXPECT_EQ(DecodeBooksList(testing::Bytes("x\xFFy\xE2\x80z")), u"x\uFFFDy\uFFFDz");
}

// Records what the driver reports.
class Recorder : public DriverObserver {
 public:
  void LineStarted(std::u16string_view piece) override {
    events.push_back(u"start " + std::u16string(piece));
  }
  void LineFinished(std::u16string_view piece, LineOutcome outcome, std::u16string_view) override {
    events.push_back(u"end " + std::u16string(piece) + u" " + U16(LineOutcomeText(outcome)));
  }
  void Phase(std::u16string_view text) override { phases.emplace_back(text); }
  void LineReported(const LineReport& report) override {
    reports.push_back(report);
    for (const Diagnostic& d : report.diagnostics) {
      if (d.code == DiagnosticCode::kModuleElsewhere) warnings.push_back(U16(d.message));
    }
  }
  bool RawWanted() override { return raw; }
  std::vector<std::u16string> events;
  std::vector<std::u16string> phases;
  std::vector<std::u16string> warnings;  // module-elsewhere messages
  std::vector<LineReport> reports;
  bool raw = false;
};

TEST(BuildDriverTest, RunBuildsValidLinesSkipsOthersAndStopsAtBreak) {
  TempDir dir;
  const std::u16string a = files::FromPath(dir.Write("a.txt", "BIBLE\n"));
  const std::u16string empty = files::FromPath(dir.Write("empty.txt", ""));
  const std::u16string two = files::FromPath(dir.Write("two.txt", "ab"));
  const std::u16string missing = files::FromPath(dir.path() / "missing.txt");
  const std::u16string folder = files::FromPath(dir.path());
  const std::u16string list = u"A | AA | " + a + u"\r\n\r\nbad line\nM | MM | " + missing +
                              u"\nF | FF | " + folder + u"\nE | EE | " + empty + u"\nT | TT | " +
                              two + u"\nBREAK\nZ | ZZ | " + a;
  Recorder recorder;
  RunSummary summary = RunBuild(list, recorder);
  EXPECT_EQ(summary.built, 3);
  EXPECT_EQ(summary.skipped, 3);
  EXPECT_TRUE(summary.stopped);
  ASSERT_EQ(recorder.events.size(), 12u);
  EXPECT_EQ(recorder.events[0], u"start A | AA | " + a);
  EXPECT_EQ(recorder.events[3], u"end bad line skipped: fewer than three fields");
  EXPECT_EQ(recorder.events[5],
            u"end M | MM | " + missing + u" skipped: no source file at that path");
  EXPECT_EQ(recorder.events[7],
            u"end F | FF | " + folder + u" skipped: no source file at that path");
  EXPECT_EQ(recorder.phases.front(), u"Loading && preparing linkages");

  // Empty sources (0, 1 or 2 bytes) still give a complete, empty module file.
  for (const char* name : {"empty.quillavor", "two.quillavor"}) {
    ModuleView view = ReadModuleFile(files::FromPath(dir.path() / name));
    EXPECT_EQ(view.counters().poolLength, 0) << name;
    EXPECT_EQ(view.books().size(), 0u) << name;
  }
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "a.quillavor"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "a.quillavor.raw"));
}

TEST(BuildDriverTest, RawWishIsAskedForEachModule) {
  TempDir dir;
  const std::u16string a = files::FromPath(dir.Write("a.txt", "BIBLE\n"));
  Recorder recorder;
  recorder.raw = true;
  RunBuild(u"A|AA|" + a, recorder);
  const std::string raw = testing::ReadFile(dir.path() / "a.quillavor.raw");
  std::vector<uint8_t> inflated =
      ModuleImageFromFileBytes(testing::Bytes(testing::ReadFile(dir.path() / "a.quillavor")));
  EXPECT_EQ(std::string(inflated.begin(), inflated.end()), raw);
  EXPECT_EQ(recorder.phases.back(),
            u"Write " + files::FromPath(dir.path() / "a.quillavor") + u" && .raw");
}

// The phases that plain output prints are told by their stage, not their
// text: book titles that read like stage phases are not headings, and neither
// are the Concordance title and letters.
TEST(BuildDriverTest, StageHeadingsAreTheFirstPhaseOfEachHeadedStage) {
  class HeadingRecorder : public DriverObserver {
   public:
    void LineStarted(std::u16string_view) override { headings_.LineStarted(); }
    void StageStarted(Stage stage) override { headings_.StageStarted(stage); }
    void Phase(std::u16string_view text) override {
      all.emplace_back(text);
      if (headings_.IsHeading()) shown.emplace_back(text);
    }
    std::vector<std::u16string> all;
    std::vector<std::u16string> shown;

   private:
    StageHeadings headings_;
  };
  TempDir dir;
  const std::u16string a = files::FromPath(dir.Write(
      "a.txt", "BIBLE\n<Resolve linkage>Resolve linkage\n1 Light\n<Write>Write it\n1 Dark\n"));
  const std::u16string empty = files::FromPath(dir.Write("empty.txt", ""));
  HeadingRecorder recorder;
  RunBuild(u"A|AA|" + a + u"\nE|EE|" + empty, recorder);
  const std::u16string load = u"Loading && preparing linkages";
  const std::vector<std::u16string> want = {
      load,
      u"Resolve linkage",
      u"Finalize WORD indexes",
      u"Write " + files::FromPath(dir.path() / "a.quillavor"),
      load,
      u"Resolve linkage",
      u"Finalize WORD indexes",
      u"Write " + files::FromPath(dir.path() / "empty.quillavor")};
  EXPECT_EQ(recorder.shown, want);
  for (std::u16string_view title : {u"Write it", u"Concordance", u"L"}) {
    EXPECT_NE(std::find(recorder.all.begin(), recorder.all.end(), title), recorder.all.end())
        << U8(title) << " was not shown at all";
  }
}

TEST(BuildDriverTest, AnErrorStopsTheRunAtItsLineAndNamesLineSourceAndCause) {
  TempDir dir;
  const std::u16string a = files::FromPath(dir.Write("a.txt", "BIBLE\n"));
  const std::u16string b = files::FromPath(dir.Write("b.txt", "BIBLE\n"));
  std::filesystem::create_directories(dir.path() / "b.quillavor");  // module path taken
  const std::u16string c = files::FromPath(dir.Write("c.txt", "BIBLE\n"));
  Recorder recorder;
  const std::u16string bad = u"B|BB|" + b;
  try {
    RunBuild(u"A|AA|" + a + u"\n" + bad + u"\nC|CC|" + c, recorder);
    FAIL() << "no exception";
  } catch (const BuildError& e) {
    EXPECT_EQ(e.piece(), bad);
    EXPECT_EQ(e.sourcePath(), b);
    const std::string message = e.what();
    EXPECT_NE(message.find("module line \"" + U8(bad) + "\""), std::string::npos) << message;
    EXPECT_NE(message.find("source \"" + U8(b) + "\""), std::string::npos) << message;
    EXPECT_NE(message.find("a folder has that name"), std::string::npos) << message;
  }
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "a.quillavor"));  // written before it stays
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "c.quillavor"));
  EXPECT_EQ(recorder.events.back(), u"start " + bad);  // never finished
}

// A module that the path rule puts in the parent folder is built there, with
// the warning; a module path that is a link to the source itself is refused,
// and the source kept.
TEST(BuildDriverTest, WhereTheModuleLands) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "data.old");
  const std::u16string elsewhere = files::FromPath(dir.Write("data.old/kjv", "BIBLE\n"));
  const std::u16string source = files::FromPath(dir.Write("self.txt", "BIBLE\n"));
  std::filesystem::create_symlink("self.txt", dir.path() / "self.quillavor");
  Recorder recorder;
  RunBuild(u"A|AA|" + elsewhere, recorder);
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "data.quillavor"));
  ASSERT_EQ(recorder.warnings.size(), 1u);
  EXPECT_TRUE(recorder.warnings[0].starts_with(u"the module file \"" +
                                               files::FromPath(dir.path() / "data.quillavor")))
      << U8(recorder.warnings[0]);
  try {
    RunBuild(u"S|SS|" + source, recorder);
    FAIL() << "no exception";
  } catch (const BuildError& e) {
    EXPECT_EQ(e.cause(), "the module file \"" + U8(files::FromPath(dir.path() / "self.quillavor")) +
                             "\" leads to the source file itself; nothing is written");
  }
  EXPECT_EQ(testing::ReadFile(dir.path() / "self.txt"), "BIBLE\n");
}


// Every call a run makes on its observer, in order, as text.
class CallLog : public DriverObserver {
 public:
  void LineStarted(std::u16string_view piece) override { Add("start " + U8(piece)); }
  void LineFinished(std::u16string_view piece, LineOutcome outcome,
                    std::u16string_view modulePath) override {
    Add("end " + U8(piece) + ": " + LineOutcomeText(outcome) + " " + U8(modulePath));
  }
  void Phase(std::u16string_view text) override { Add("phase " + U8(text)); }
  void LineReported(const LineReport& report) override {
    std::string line = "report " + U8(report.piece) + ": " + (report.failed ? report.error : "");
    for (const Diagnostic& d : report.diagnostics) line += "\n  " + FormatDiagnostic(d);
    Add(line);
  }
  void StageStarted(Stage stage) override { Add(std::string("stage start ") + StageName(stage)); }
  void StageDone(Stage stage, std::chrono::nanoseconds) override {
    Add(std::string("stage ") + StageName(stage));
  }
  bool RawWanted() override { return true; }
  void Add(const std::string& call) { calls.push_back(call); }
  std::vector<std::string> calls;
};

// A run on a pool gives what a run of one line after another gives: the same
// calls on the observer in the same order, the same files, the same error;
// nothing is written for the lines after an error or a stop line, even when
// they were built ahead of the line that fails.
TEST(BuildDriverTest, RunOnAPoolMatchesOneLineAfterAnother) {
  namespace fs = std::filesystem;
  std::string big = "BIBLE\n<Genesis>Genesis 1\n";
  for (int i = 1; i <= 4000; ++i) {
    big += std::to_string(i) + " And the word " + std::to_string(i * 7919 % 1000) +
           " was in the <a=\"Genesis 1:" + std::to_string(i / 2 + 1) + "\">beginning</a>.\n";
  }
  const std::string small = "BIBLE\n<Exodus>Exodus 1\n1 Small.\n";
  struct Case {
    const char* name;
    const char* lines;  // "%" stands for the folder
    std::function<void(const fs::path& folder)> setUp;
    bool fails;
  };
  const Case cases[] = {
      {"built, skipped, warned and repeated lines, a source written by an earlier line",
       "Big|B|%/big.txt\nbad line\nGone|G|%/missing.txt\nMoved|M|%/data.old/moved\n"
       "Small|S|%/small.txt\nSmall again|S|%/small.txt\nOwn|O|%/small.quillavor\n",
       nullptr, false},
      {"a failing write in the middle line",
       "Big|B|%/big.txt\nBlocked|X|%/blocked.txt\nSmall|S|%/small.txt\n",
       [](const fs::path& folder) { fs::create_directory(folder / "blocked.quillavor"); }, true},
      {"a module refused before its write in the middle line",
       "Big|B|%/big.txt\nSelf|X|%/self.txt\nSmall|S|%/small.txt\n",
       [](const fs::path& folder) { fs::create_symlink("self.txt", folder / "self.quillavor"); },
       true},
      {"a stop line", "Big|B|%/big.txt\nSmall|S|%/small.txt\nbreak\nAfter|A|%/after.txt\n",
       nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<std::pair<std::vector<std::string>, std::map<std::string, std::string>>> serial;
    for (unsigned threads : {0u, 2u, 4u}) {
      SCOPED_TRACE(threads);
      TempDir dir;
      const std::string folder = dir.path().string();
      fs::create_directory(dir.path() / "data.old");
      for (const char* name : {"small.txt", "self.txt", "after.txt", "blocked.txt",
                               "data.old/moved"}) {
        dir.Write(name, small);
      }
      dir.Write("big.txt", big);
      if (c.setUp) c.setUp(dir.path());
      std::string list = c.lines;
      for (size_t at = list.find('%'); at != std::string::npos; at = list.find('%', at)) {
        list.replace(at, 1, folder);
      }
      CallLog log;
      std::optional<ThreadPool> pool;
      if (threads > 0) pool.emplace(threads);
      try {
        const RunSummary summary = RunBuild(U16(list), log, {}, pool ? &*pool : nullptr);
        log.Add("built " + std::to_string(summary.built) + ", skipped " +
                std::to_string(summary.skipped) + (summary.stopped ? ", stopped" : ""));
      } catch (const BuildError& e) {
        log.Add(std::string("error ") + e.what());
      }
      for (std::string& call : log.calls) {
        for (size_t at = call.find(folder); at != std::string::npos; at = call.find(folder)) {
          call.replace(at, folder.size(), "%");
        }
      }
      std::map<std::string, std::string> files;
      for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir.path())) {
        if (e.is_regular_file()) files[fs::relative(e.path(), dir.path())] = testing::ReadFile(e.path());
      }
      if (!serial) {
        serial.emplace(log.calls, files);
        continue;
      }
      EXPECT_EQ(log.calls, serial->first);
      EXPECT_EQ(files.size(), serial->second.size());
      for (const auto& [name, bytes] : serial->second) {
        EXPECT_TRUE(files.contains(name) && files[name] == bytes) << name;
      }
    }
    // What one line after another leaves, once, for each case.
    const std::vector<std::string>& calls = serial->first;
    const std::map<std::string, std::string>& files = serial->second;
    EXPECT_EQ(files.contains("small.quillavor2"), c.name[0] == 'b');
    EXPECT_FALSE(files.contains("after.quillavor"));
    if (c.fails) {
      EXPECT_TRUE(calls.back().starts_with("error module line \"")) << calls.back();
      EXPECT_TRUE(files.contains("big.quillavor"));
      EXPECT_FALSE(files.contains("small.quillavor"));
    }
  }
}

}  // namespace
}  // namespace quillavor

namespace quillavor {
namespace {

using testing::TempDir;
using testing::U16;
using testing::U8;

std::vector<std::string> CodesAndPlaces(const std::vector<LineReport>& reports) {
  std::vector<std::string> out;
  for (const LineReport& r : reports) {
    for (const Diagnostic& d : r.diagnostics) {
      out.push_back(std::string(DiagnosticCodeName(d.code)) + " " +
                    std::filesystem::path(d.file).filename().string() + ":" +
                    std::to_string(d.line));
    }
  }
  return out;
}

// The books-list diagnostics name the books list's own lines (CR LF ends
// one, a lone CR none); a module's diagnostics come with its line.
TEST(BuildDriverTest, BooksListDiagnostics) {
  TempDir dir;
  const std::u16string good = files::FromPath(dir.Write("good.txt", "<G>G\n1 a\n"));
  const std::u16string empty = files::FromPath(dir.Write("empty.txt", ""));
  const std::u16string missing = files::FromPath(dir.path() / "missing.txt");
  const std::u16string folder = files::FromPath(dir.path());
  const std::u16string list = u"A | AA | " + good + u"\r\nbad line\r\nM | MM | " + missing +
                              u"\nF | FF | " + folder + u"\rO | OO | " + good +
                              u" | windowpage, spanish Spanish\nE | EE | " + empty + u"\n";
  Recorder recorder;
  BuildOptions options;
  options.booksListFile = u"my.books";
  RunBuild(list, recorder, options);
  EXPECT_EQ(CodesAndPlaces(recorder.reports),
            (std::vector<std::string>{"skipped-line my.books:2", "skipped-line my.books:3",
                                      "skipped-line my.books:4", "unknown-option my.books:4",
                                      "unknown-option my.books:4", "duplicate-target my.books:4",
                                      "empty-module empty.txt:0"}));
  ASSERT_EQ(recorder.reports.size(), 6u);
  EXPECT_EQ(recorder.reports[1].diagnostics[0].message,
            "the line has 1 field; a module line has at least three, separated by \"|\": Name | "
            "Abbr | Path&Filename [ | spanish,windowspage ]");
  EXPECT_EQ(recorder.reports[2].diagnostics[0].message, "no source file at \"" + U8(missing) +
                                                            "\" (tried \"" + U8(missing) +
                                                            "\"); the line is skipped");
  EXPECT_EQ(recorder.reports[3].diagnostics[0].message,
            "the source path \"" + U8(folder) + "\" is a folder, not a file (tried \"" +
                U8(folder) + "\"); the line is skipped");
  const LineReport& options2 = recorder.reports[4];
  EXPECT_EQ(options2.diagnostics[0].message,
            "unknown option \"windowpage\": options are case-sensitive; \"spanish\" titles the "
            "Concordance \"Concordancia\", \"windowspage\" reads the Windows-1252 quotation marks "
            "and dashes of the source");
  EXPECT_EQ(options2.diagnostics[2].message,
            "this line writes the module file \"" + (dir.path() / "good.quillavor").string() +
                "\" that line 1 wrote too: the module of the earlier line is replaced");
  EXPECT_EQ(options2.counts.books, 1 + 2);  // with the Concordance books
  EXPECT_EQ(options2.counts.verses, 1);
}

// The report holds every line with its outcome, counts and diagnostics, an
// unresolved link with its letter and value, a missing image with its path.
TEST(BuildDriverTest, ReportAsJson) {
  TempDir dir;
  const std::u16string source = files::FromPath(
      dir.Write("s.txt", "<G>G\n<imagefile>nothere.png\n1 <A=\"Nowhere 1\">x</a>\n"));
  Recorder recorder;
  RunBuild(u"S | SS | " + source + u"\n\nshort\nbreak\n", recorder);
  std::ostringstream out;
  WriteBuildReport(recorder.reports, true, out);
  const nlohmann::json report = nlohmann::json::parse(out.str());
  ASSERT_EQ(report["modules"].size(), 2u);
  const nlohmann::json& built = report["modules"][0];
  EXPECT_EQ(built["line"], 1);
  EXPECT_EQ(built["name"], "S");
  EXPECT_EQ(built["source"], U8(source));
  EXPECT_EQ(built["module"], U8(files::FromPath(dir.path() / "s.quillavor")));
  EXPECT_EQ(built["outcome"], "built");
  EXPECT_EQ(built["counts"]["linksUnresolved"], 1);
  ASSERT_EQ(built["diagnostics"].size(), 2u);
  EXPECT_EQ(built["diagnostics"][0]["code"], "missing-image");
  EXPECT_EQ(built["diagnostics"][0]["line"], 2);
  EXPECT_EQ(built["diagnostics"][0]["path"], U8(files::AbsolutePath(u"nothere.png")));
  EXPECT_EQ(built["diagnostics"][1]["code"], "unresolved-link");
  EXPECT_EQ(built["diagnostics"][1]["file"], U8(source));
  EXPECT_EQ(built["diagnostics"][1]["line"], 3);
  EXPECT_EQ(built["diagnostics"][1]["link"], "A");
  EXPECT_EQ(built["diagnostics"][1]["value"], "Nowhere 1");
  const nlohmann::json& skipped = report["modules"][1];
  EXPECT_EQ(skipped["line"], 3);
  EXPECT_EQ(skipped["outcome"], "skipped");
  EXPECT_TRUE(skipped["name"].is_null());
  EXPECT_EQ(report["total"]["built"], 1);
  EXPECT_EQ(report["total"]["skipped"], 1);
  EXPECT_EQ(report["total"]["warnings"], 3);
  EXPECT_EQ(report["total"]["stopped"], true);
}

// On the KJV every unresolved link is listed at a line that holds its value;
// the spelled-out Song of Solomon links resolve.
TEST(BuildDriverTest, KjvReportListsEveryUnresolvedLink) {
  const std::filesystem::path corpus = testing::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "no corpus";
  TempDir dir;
  const std::string text = testing::ReadFile(corpus / "kjv.txt");
  const std::u16string source = files::FromPath(dir.Write("kjv.txt", text));
  Recorder recorder;
  RunBuild(u"King James Version | KJV | " + source, recorder);
  ASSERT_EQ(recorder.reports.size(), 1u);
  const LineReport& kjv = recorder.reports[0];
  std::vector<std::string> lines(1);
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  int64_t unresolved = 0;
  for (const Diagnostic& d : kjv.diagnostics) {
    ASSERT_EQ(d.code, DiagnosticCode::kUnresolvedLink) << d.message;
    ++unresolved;
    ASSERT_TRUE(d.line > 0 && d.line < static_cast<int64_t>(lines.size())) << d.line;
    EXPECT_NE(lines[static_cast<size_t>(d.line)].find("<" + d.link + "=\"" + d.value),
              std::string::npos)
        << d.line << ": " << d.message;
    EXPECT_EQ(d.value.find("Song of Solomon"), std::string::npos) << d.message;
  }
  EXPECT_EQ(unresolved, 94);
  EXPECT_EQ(kjv.counts.linksUnresolved, 94);
}

}  // namespace
}  // namespace quillavor
