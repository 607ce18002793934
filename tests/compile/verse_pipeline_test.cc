// The words of verses analysed on a second thread: the module, what the run
// knows of it and its diagnostics are those of a run on one thread, for
// sources that add new labels, book names and words in every order.
#include "compile/verse_pipeline.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "compile/compilation.h"
#include "output/module_writer.h"
#include "platform/thread_pool.h"
#include "support/test_support.h"

namespace quillavor {
namespace {

struct Outcome {
  std::vector<uint8_t> image;
  std::vector<int32_t> changedAfterIndexing;
  std::vector<std::string> diagnostics;
  std::string error;  // what the run raised, if it failed
  bool operator==(const Outcome&) const = default;
};

class ListSink : public DiagnosticSink {
 public:
  void Report(Diagnostic d) override { lines.push_back(std::to_string(d.line) + " " + d.message); }
  std::vector<std::string> lines;
};

// Compiles `source` on this thread alone, or with the words analysed on a
// second thread whatever the source's size.
Outcome Compile(const std::string& source, bool helped) {
  Outcome out;
  ListSink sink;
  NullProgress progress;
  try {
    Compilation run(u"Test", u"T", u"memory.txt", u"", progress, {}, &sink);
    if (helped) run.UseThreads(2, 0);
    const std::vector<uint8_t> bytes = testing::Bytes(source);
    std::optional<std::string> prepared = run.Load(std::span<const uint8_t>(bytes));
    if (prepared) run.CompileMarkup(*prepared);
    run.ResolveLinks();
    run.Finalize();
    CompileResult result = run.Finish();
    out.image = AssembleImage(*result.module);
    out.changedAfterIndexing = result.changedAfterIndexing;
  } catch (const std::exception& e) {
    out.error = e.what();
  }
  out.diagnostics = sink.lines;
  return out;
}

// Sources whose lines add to the pool in every order: new labels and book
// names late in the text, words met first in upper case and then in lower
// case, verses that are not indexed, long stretches without a header (more
// verses than the pipeline holds at once), links resolved as the lines go.
class SourceMaker {
 public:
  explicit SourceMaker(uint32_t seed) : rng_(seed) {}

  std::string Make() {
    const int lines = Pick(0, 3) == 0 ? Pick(300, 900) : Pick(5, 120);
    const int headerOdds = Pick(0, 1) == 0 ? 4 : 400;
    std::string s = Pick(0, 1) == 0 ? "BIBLE\n" : "";
    for (int i = 0; i < lines; ++i) {
      if (Pick(0, headerOdds) == 0) {
        s += "<" + Of(kNames) + ">" + Of(kNames) + " " + std::to_string(Pick(1, 30));
        if (Pick(0, 2) == 0) s += "<note>" + Words(3);
        if (Pick(0, 2) == 0) s += "<abbrev>" + Of(kNames);
      } else if (Pick(0, 30) == 0) {
        s += Of(kSwitches);
      } else if (Pick(0, 12) == 0) {
        s += "[" + std::string(1, "ab"[Pick(0, 1)]) + "] " + Words(Pick(0, 6));
      } else {
        s += (Pick(0, 9) == 0 ? Of(kLeads) : std::to_string(Pick(1, 700))) + " " +
             Words(Pick(0, 25));
      }
      s += Pick(0, 20) == 0 ? "\r\n" : "\n";
    }
    return s;
  }

 private:
  static constexpr const char* kNames[] = {"Genesis", "Exodus", "Psalms", "Odes", "\u00C9tude"};
  static constexpr const char* kSwitches[] = {"INDEX_OFF", "INDEX_ON", "DISABLE_REFS",
                                              "ENABLE_REFS"};
  static constexpr const char* kLeads[] = {"[12]", "[a]x", "<p>", "<l>3", "  4", "x"};
  static constexpr const char* kWords[] = {
      "LORD", "Lord", "lord", "God", "GOD", "god",  "\u00C9l", "\u00E9l",  "Stra\u00DFe",
      "and",  "the",  "of",   "a",   "in",  "was",  "x1",      "2nd",      "<sc>Lord</sc>",
      "<i>it</i>", "<sc>", "\u03BB\u03CC\u03B3\u03BF\u03C2", "can't", "well-known",
      "<a=\"Genesis 1\">Gen</a>", "<a=\"Odes 2#lord\">o</a>", "<A=\"Exodus 3:1-2\">x</a>",
      "<f=\"        \">", "\u00AD"};

  int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  template <size_t N>
  std::string Of(const char* const (&list)[N]) {
    return list[static_cast<size_t>(Pick(0, static_cast<int>(N) - 1))];
  }
  std::string Words(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
      // A fresh word now and then, so that new words keep coming.
      s += Pick(0, 5) == 0 ? "w" + std::to_string(Pick(0, 5000)) : Of(kWords);
      s += " ";
    }
    return s;
  }

  std::mt19937 rng_;
};

TEST(VersePipeline, RandomSourcesGiveTheModuleOfOneThread) {
  int differ = 0;
  for (uint32_t seed = 1; seed <= 150 && differ < 3; ++seed) {
    const std::string source = SourceMaker(seed).Make();
    const Outcome alone = Compile(source, false);
    const Outcome helped = Compile(source, true);
    if (!(alone == helped)) {
      ++differ;
      ADD_FAILURE() << "seed " << seed << ": error \"" << helped.error << "\" vs \"" << alone.error
                    << "\"\n"
                    << source.substr(0, 2000);
    }
  }
}

TEST(VersePipeline, ExamplesGiveTheModuleOfOneThread) {
  for (const std::string name : {"genesis", "help", "hymns", "markup"}) {
    const std::string source =
        testing::ReadFile(std::filesystem::path(QUILLAVOR_SOURCE_DIR) / "examples" / (name + ".txt"));
    EXPECT_TRUE(Compile(source, false) == Compile(source, true)) << name;
  }
}

// A run that fails after many verses were handed over fails with the error
// of one thread, and its helper thread is stopped.
TEST(VersePipeline, AFailureMidwayIsTheFailureOfOneThread) {
  std::string source = "<Genesis>Genesis 1\n";
  for (int i = 1; i <= 600; ++i) source += std::to_string(i) + " word" + std::to_string(i) + "\n";
  source += "<image=        3>\n602 after\n";
  const Outcome alone = Compile(source, false);
  ASSERT_NE(alone.error, "");
  EXPECT_TRUE(alone == Compile(source, true)) << Compile(source, true).error;
}

// Several compiles at once, each with its own helper thread, on the threads
// of a pool (as a build of several lines runs them).
TEST(VersePipeline, CompilesAtOnceGiveTheModuleOfOneThread) {
  std::string source = "<Genesis>Genesis 1\n";
  for (int i = 1; i <= 20000; ++i) source += std::to_string(i % 176 + 1) + " and the word\n";
  const Outcome alone = Compile(source, false);
  ThreadPool pool(4);
  std::vector<Outcome> built(3);
  pool.ParallelFor(built.size(), [&](size_t i) { built[i] = Compile(source, true); });
  for (const Outcome& outcome : built) EXPECT_TRUE(outcome == alone);
}

}  // namespace
}  // namespace quillavor
