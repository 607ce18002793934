// Hostile-source benchmark: builds sources shaped to make a build slow (many
// links in one verse, many failing verse searches, many books) at about 1 MB
// and 4 MB, and compares their cost per source MB with that of a whole Bible.
// Each build runs in-process: compile, module image, compression and file
// write, as `build` does; its cost is the user-mode processor time it takes
// (all threads), which other work on a shared machine disturbs less than the
// wall time, and which leaves out the kernel's work of mapping fresh memory.
// Prints a Markdown section for BENCHMARKS.md.
#include <sys/resource.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "bench_format.h"
#include "compile/compilation.h"
#include "model/diagnostics.h"
#include "output/module_writer.h"
#include "platform/files.h"
#include "platform/thread_pool.h"

namespace quillavor {
namespace {

// A source of about `bytes` bytes of one shape.
struct Shape {
  const char* name;
  std::function<std::string(size_t bytes)> make;
};

std::string Repeat(const std::string& head, const std::string& piece, const std::string& tail,
                   size_t bytes) {
  std::string s = head;
  s.reserve(bytes + tail.size() + piece.size());
  while (s.size() + tail.size() < bytes) s += piece;
  return s + tail;
}

std::string Lines(const std::string& head, const std::function<std::string(size_t)>& line,
                  size_t bytes) {
  std::string s = head;
  s.reserve(bytes + 64);
  for (size_t i = 1; s.size() < bytes; ++i) s += line(i);
  return s;
}

const std::vector<Shape>& Shapes() {
  static const std::vector<Shape> shapes = {
      {"forward links in one verse (`<a=\"Exodus 1\">x</a>` before Exodus)",
       [](size_t n) {
         return Repeat("<Genesis>Genesis 1\n1 ", "<a=\"Exodus 1\">x</a> ",
                       "\n<Exodus>Exodus 1\n1 end\n", n);
       }},
      {"unresolvable links in one verse",
       [](size_t n) { return Repeat("<Genesis>Genesis 1\n1 ", "<a=\"Nowhere\">x</a> ", "\n", n); }},
      {"footnote markers `x[a]` with no footnote line",
       [](size_t n) { return Repeat("<Genesis>Genesis 1\n1 ", "x[a] ", "\n", n); }},
      {"unresolvable links in one verse, their `</a>` all at its end",
       [](size_t n) {
         // Half the bytes are links, the other half their end tags.
         const size_t links = n / 2 / std::string_view("<a=\"Nowhere\">x ").size();
         std::string s = "<Genesis>Genesis 1\n1 ";
         for (size_t i = 0; i < links; ++i) s += "<a=\"Nowhere\">x ";
         for (size_t i = 0; i < links; ++i) s += "</a>";
         return s + "\n";
       }},
      {"unresolvable links in one footnote line",
       [](size_t n) {
         return Repeat("<Genesis>Genesis 1\n1 text\n[a] ", "<a=\"Nowhere\">x</a> ", "\n", n);
       }},
      {"verses each with a failing `<a=\"Genesis 1#zz\">`",
       [](size_t n) {
         return Lines(
             "<Genesis>Genesis 1\n",
             [](size_t i) { return std::to_string(i) + " <a=\"Genesis 1#zz\">x</a>\n"; }, n);
       }},
      {"books with different names",
       [](size_t n) {
         return Lines(
             "",
             [](size_t i) {
               return "<B" + std::to_string(i) + ">Book " + std::to_string(i) + "\n1 text\n";
             },
             n);
       }},
  };
  return shapes;
}

// The user-mode processor time of this process so far (all its threads).
double UserSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec) / 1e6;
}

// The processor time of the cheapest of `runs` whole builds of `source`, in
// seconds.
double BuildSeconds(const std::filesystem::path& work, const std::string& source, int runs,
                    bool diagnose) {
  const std::filesystem::path sourcePath = work / "hostile.txt";
  std::ofstream(sourcePath, std::ios::binary)
      .write(source.data(), static_cast<std::streamsize>(source.size()));
  const std::u16string modulePath = files::FromPath(work / "hostile.quillavor");
  ThreadPool pool;  // one thread per core, as `build` compresses
  double best = 1e300;
  for (int run = 0; run < runs; ++run) {
    NullProgress progress;
    const double start = UserSeconds();
    {
      // The diagnostics are gathered, as `build` gathers them before it
      // prints them.
      DiagnosticList diagnostics;
      CompileResult compiled =
          CompileModule(u"Hostile", u"H", files::FromPath(sourcePath), u"", progress,
                        BuildOptions{}, diagnose ? &diagnostics : nullptr);
      WriteModule(*compiled.module, modulePath, false, progress, &pool);
    }
    best = std::min(best, UserSeconds() - start);
  }
  return best;
}

}  // namespace
}  // namespace quillavor

int main(int argc, char** argv) {
  using namespace quillavor;
  CLI::App app{"Hostile-source benchmark"};
  std::string kjv;
  int runs = 3;
  app.add_option("--source", kjv, "The whole-Bible source the costs are compared with")->required();
  app.add_option("--runs", runs, "Builds per source (the fastest counts)");
  std::string only;
  app.add_option("--only", only, "Only the shapes whose name holds this text");
  bool diagnose = true;
  app.add_flag("!--without-diagnostics", diagnose,
               "Compile without looking for diagnostics (build always looks for them)");
  CLI11_PARSE(app, argc, argv);

  const std::filesystem::path work =
      std::filesystem::temp_directory_path() / ("quillavor-hostile-" + std::to_string(getpid()));
  std::filesystem::create_directories(work);
  constexpr double kMb = 1e6;
  const std::vector<uint8_t> bible = files::ReadWholeFile(files::FromPath(kjv));
  const double bibleSeconds =
      BuildSeconds(work, std::string(bible.begin(), bible.end()), runs, diagnose);
  const double biblePerMb = bibleSeconds / (static_cast<double>(bible.size()) / kMb);
  std::fprintf(stderr, "%s: %.3f s\n", kjv.c_str(), bibleSeconds);

  std::string md =
      "\n## Hostile sources\n\n`build/release/bench/hostile` (Release, whole build to a module "
      "file with the diagnostics gathered, as `build` makes them; user-mode processor seconds of "
      "all threads, least of " +
      std::to_string(runs) + "): each shape at about 1 MB and 4 MB of source, against `" +
      std::filesystem::path(kjv).filename().string() + "` at " + Fmt("%.3f", biblePerMb) +
      " s per MB. Aims: cost per MB at most 3x the Bible's, the 4 MB build at most 5x the 1 MB "
      "build. The last column is the 4 MB / 1 MB ratio of the same builds without looking for "
      "diagnostics.\n\n| shape | 1 MB CPU s | 4 MB CPU s | per MB / Bible's | 4 MB / 1 MB | | "
      "4 MB / 1 MB, no diagnostics |\n|---|---|---|---|---|---|---|\n";
  bool allMet = true;
  for (const Shape& shape : Shapes()) {
    if (std::string_view(shape.name).find(only) == std::string_view::npos) continue;
    double seconds[2] = {0, 0};
    double plain[2] = {0, 0};
    double perMb = 0;
    for (int k = 0; k < 2; ++k) {
      const size_t bytes = static_cast<size_t>(k == 0 ? 1 : 4) * 1000000;
      const std::string source = shape.make(bytes);
      seconds[k] = BuildSeconds(work, source, runs, diagnose);
      plain[k] = BuildSeconds(work, source, runs, false);
      perMb = std::max(perMb, seconds[k] / (static_cast<double>(source.size()) / kMb));
      std::fprintf(stderr, "%s, %zu bytes: %.3f s (%.3f s without diagnostics)\n", shape.name,
                   source.size(), seconds[k], plain[k]);
    }
    const double vsBible = perMb / biblePerMb;
    const double growth = seconds[1] / seconds[0];
    const bool met = vsBible <= 3.0 && growth <= 5.0;
    allMet = allMet && met;
    md += "| " + std::string(shape.name) + " | " + Fmt("%.3f", seconds[0]) + " | " +
          Fmt("%.3f", seconds[1]) + " | " + Fmt("%.2f", vsBible) + " | " + Fmt("%.2f", growth) +
          " | " + (met ? "met" : "**missed**") + " | " + Fmt("%.2f", plain[1] / plain[0]) + " |\n";
  }
  std::filesystem::remove_all(work);
  std::cout << md;
  return allMet ? 0 : 2;
}
