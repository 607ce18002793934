// Whole-build benchmark: builds a source several times, each run in a child
// process so that its peak memory can be measured (and, for the one-core runs,
// its CPU affinity narrowed to one core), and compares the build with two
// floors computed on the same module image: libdeflate level 9 and zlib level 9
// compressing the image alone in one call on one thread. The libdeflate floor
// uses the library the build links (its static archive where there is one),
// and divided by the cores it is the physical limit of this machine. Writes a
// Markdown report.
#include <libdeflate.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_format.h"
#include "app/build_driver.h"
#include "compile/compilation.h"
#include "output/module_writer.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/thread_pool.h"
#include "reader/module_reader.h"

namespace quillavor {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// What one child run reports back through a pipe.
struct RunResult {
  std::array<double, kStageCount> stages{};  // seconds
  double whole = 0;                          // seconds, construction to file written
  double floorLibdeflate = 0;                // seconds
  double floorZlib = 0;                      // seconds
  int64_t imageBytes = 0;
  int64_t moduleBytes = 0;
  int64_t zlibBytes = 0;
  int64_t peakRssBytes = 0;  // filled in by the parent
};

class TimingProgress : public Progress {
 public:
  void Phase(std::u16string_view) override {}
  void StageDone(Stage stage, std::chrono::nanoseconds elapsed) override {
    stages[static_cast<size_t>(stage)] += std::chrono::duration<double>(elapsed).count();
  }
  std::array<double, kStageCount> stages{};
};

// The fastest single call of libdeflate at level 9 on one thread.
std::vector<uint8_t> LibdeflateCompress(const std::vector<uint8_t>& image) {
  libdeflate_compressor* compressor = libdeflate_alloc_compressor(9);
  if (compressor == nullptr) throw std::bad_alloc();
  // Left uninitialised, as the build's own buffers: only what the stream
  // fills is touched, and counted in the peak memory.
  const size_t bound = libdeflate_zlib_compress_bound(compressor, image.size());
  const std::unique_ptr<uint8_t[]> buffer(new uint8_t[bound]);
  const size_t n =
      libdeflate_zlib_compress(compressor, image.data(), image.size(), buffer.get(), bound);
  libdeflate_free_compressor(compressor);
  return std::vector<uint8_t>(buffer.get(), buffer.get() + n);
}

std::vector<uint8_t> ZlibCompress(const std::vector<uint8_t>& image) {
  uLongf bound = compressBound(static_cast<uLong>(image.size()));
  std::vector<uint8_t> out(bound);
  z_stream zs{};
  deflateInit2(&zs, 9, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
  zs.next_in = const_cast<Bytef*>(image.data());
  zs.avail_in = static_cast<uInt>(image.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

RunResult RunOnce(const std::filesystem::path& source, const std::filesystem::path& outDir,
                  bool floors) {
  RunResult r;
  TimingProgress progress;
  const std::u16string modulePath = files::FromPath(outDir / "bench.quillavor");
  const Clock::time_point start = Clock::now();
  {
    CompileResult compiled = CompileModule(u"Bench", u"B", files::FromPath(source), u"", progress);
    WriteModule(*compiled.module, modulePath, false, progress);
    r.imageBytes = ImageSize(*compiled.module);
  }
  r.whole = Seconds(Clock::now() - start);
  r.stages = progress.stages;
  r.moduleBytes = static_cast<int64_t>(std::filesystem::file_size(outDir / "bench.quillavor"));

  // The floors, on the very image the build wrote.
  if (!floors) return r;
  std::vector<uint8_t> image = ModuleImageFromFileBytes(files::ReadWholeFile(modulePath));
  r.imageBytes = static_cast<int64_t>(image.size());
  Clock::time_point t = Clock::now();
  std::vector<uint8_t> deflated = LibdeflateCompress(image);
  r.floorLibdeflate = Seconds(Clock::now() - t);
  t = Clock::now();
  std::vector<uint8_t> zlibbed = ZlibCompress(image);
  r.floorZlib = Seconds(Clock::now() - t);
  r.zlibBytes = static_cast<int64_t>(zlibbed.size());
  return r;
}

// Runs `work` in a child process and hands back the plain result it returns
// (written through a pipe), with `peakRssBytes` set to the child's peak RSS
// as the parent sees it. `work` raises or returns; anything else fails.
template <typename Result, typename Work>
Result InChild(Work&& work, const char* failure) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    close(fds[0]);
    Result r{};
    try {
      r = work();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "bench: %s\n", e.what());
      _exit(1);
    }
    const ssize_t n = write(fds[1], &r, sizeof r);
    _exit(n == static_cast<ssize_t>(sizeof r) ? 0 : 1);
  }
  close(fds[1]);
  Result r{};
  const ssize_t n = read(fds[0], &r, sizeof r);
  close(fds[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (n != static_cast<ssize_t>(sizeof r) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(failure);
  }
  r.peakRssBytes = int64_t{usage.ru_maxrss} * 1024;
  return r;
}

// Runs RunOnce in a child process, on one core when `oneCore` (so that the
// build runs on one thread); the parent takes its peak RSS.
RunResult RunInChild(const std::filesystem::path& source, const std::filesystem::path& outDir,
                     bool oneCore, bool floors) {
  return InChild<RunResult>(
      [&] {
        if (oneCore) {
          cpu_set_t cores;
          CPU_ZERO(&cores);
          if (sched_getaffinity(0, sizeof cores, &cores) != 0) _exit(1);
          size_t first = 0;
          while (first + 1 < CPU_SETSIZE && !CPU_ISSET(first, &cores)) ++first;
          CPU_ZERO(&cores);
          CPU_SET(first, &cores);
          if (sched_setaffinity(0, sizeof cores, &cores) != 0) _exit(1);
        }
        return RunOnce(source, outDir, floors);
      },
      "a benchmark run failed");
}

// One run of the batch: a books list of six copies of the source.
struct BatchResult {
  double seconds = 0;
  int64_t peakRssBytes = 0;  // filled in by the parent
};

class QuietObserver : public DriverObserver {
 public:
  void Phase(std::u16string_view) override {}
};

// Builds `list` with RunBuild on a pool of `threads` in a child process; the
// parent takes its peak RSS.
BatchResult RunBatchInChild(const std::u16string& list, unsigned threads) {
  return InChild<BatchResult>(
      [&] {
        QuietObserver observer;
        ThreadPool pool(threads);
        const Clock::time_point start = Clock::now();
        if (RunBuild(list, observer, {}, &pool).built != 6) {
          throw std::runtime_error("the batch did not build its six modules");
        }
        BatchResult r;
        r.seconds = Seconds(Clock::now() - start);
        return r;
      },
      "a batch run failed");
}

struct Stat {
  double min, median, max;
};
Stat Summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return Stat{v.front(), v[v.size() / 2], v.back()};
}

std::string MsRow(const std::string& name, const std::vector<double>& seconds) {
  std::vector<double> ms;
  for (double s : seconds) ms.push_back(s * 1000);
  Stat s = Summarise(ms);
  return "| " + name + " | " + Fmt("%.1f", s.min) + " | " + Fmt("%.1f", s.median) + " | " +
         Fmt("%.1f", s.max) + " |\n";
}

struct SourceReport {
  std::string label;
  int64_t sourceBytes = 0;
  bool oneCore = false;
  bool floors = true;  // the floors take minutes on the largest source: left out there
  int runCount = 0;    // how many runs it gets
  std::vector<RunResult> results;

  std::vector<double> Pick(double RunResult::*field) const {
    std::vector<double> v;
    for (const RunResult& r : results) v.push_back(r.*field);
    return v;
  }
  std::vector<double> Stage(int i) const {
    std::vector<double> v;
    for (const RunResult& r : results) v.push_back(r.stages[static_cast<size_t>(i)]);
    return v;
  }
  std::vector<double> Compile() const {
    std::vector<double> v;
    for (const RunResult& r : results) {
      double s = 0;
      for (int i = 0; i <= static_cast<int>(Stage::kIndexFinalize); ++i)
        s += r.stages[static_cast<size_t>(i)];
      v.push_back(s);
    }
    return v;
  }
  double Median(const std::vector<double>& v) const { return Summarise(v).median; }
};

std::string MachineLine() {
  utsname u{};
  uname(&u);
  std::string cpu = "unknown CPU";
  std::ifstream info("/proc/cpuinfo");
  for (std::string line; std::getline(info, line);) {
    if (line.rfind("model name", 0) == 0) {
      cpu = line.substr(line.find(':') + 2);
      break;
    }
  }
  return cpu + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, " +
         std::to_string(sysconf(_SC_PHYS_PAGES) * sysconf(_SC_PAGE_SIZE) >> 30) + " GiB, " +
         u.sysname + " " + u.release;
}

// The 1-, 5- and 15-minute load averages: other work on the machine while the
// benchmark runs makes its times longer and noisier.
std::string LoadLine() {
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) != 3) return "unknown";
  return Fmt("%.2f", load[0]) + " / " + Fmt("%.2f", load[1]) + " / " + Fmt("%.2f", load[2]);
}

std::string Verdict(bool ok) { return ok ? "met" : "**missed**"; }

std::vector<double> PerCore(std::vector<double> seconds, unsigned cores) {
  for (double& s : seconds) s /= cores;
  return seconds;
}

}  // namespace
}  // namespace quillavor

int main(int argc, char** argv) {
  using namespace quillavor;
  CLI::App app{"Whole-build benchmark"};
  std::string source;
  std::string out = "BENCHMARKS.md";
  std::string command = "make bench";
  int runs = 5;
  int runs16 = 3;
  app.add_option("--source", source, "Source file (a whole Bible)")->required();
  app.add_option("--runs", runs, "Runs per source (at least 5 for the report)");
  app.add_option("--runs-16x", runs16, "Runs of the 16x source (a few seconds each)");
  app.add_option("--out", out, "Report file");
  app.add_option("--command", command, "The command to name in the report");
  CLI11_PARSE(app, argc, argv);

  const std::string loadBefore = LoadLine();
  const std::filesystem::path work =
      std::filesystem::temp_directory_path() / ("quillavor-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(work);
  // The 4x and 16x sources: the text repeated four and sixteen times.
  const std::vector<uint8_t> text = files::ReadWholeFile(files::FromPath(source));
  for (const int times : {4, 16}) {
    std::ofstream copies(work / ("source" + std::to_string(times) + "x.txt"), std::ios::binary);
    for (int i = 0; i < times; ++i)
      copies.write(reinterpret_cast<const char*>(text.data()),
                   static_cast<std::streamsize>(text.size()));
  }
  const unsigned cores = CoresAvailable();
  // The batch: six copies of the source in one books list.
  std::u16string batchList;
  for (int i = 1; i <= 6; ++i) {
    const std::filesystem::path copy = work / ("batch" + std::to_string(i) + ".txt");
    std::filesystem::copy_file(source, copy);
    batchList += u"Batch " + text::DecodeUtf8(std::to_string(i)) + u" | B | " +
                 files::FromPath(copy) + u"\n";
  }
  std::vector<BatchResult> batchSerial;
  std::vector<BatchResult> batchParallel;
  std::vector<SourceReport> reports(4);
  reports[0].label = "1x";
  reports[0].sourceBytes = static_cast<int64_t>(text.size());
  reports[1].label = "1x";
  reports[1].sourceBytes = static_cast<int64_t>(text.size());
  reports[1].oneCore = true;
  reports[2].label = "4x";
  reports[2].sourceBytes = 4 * static_cast<int64_t>(text.size());
  reports[3].label = "16x";
  reports[3].sourceBytes = 16 * static_cast<int64_t>(text.size());
  reports[3].floors = false;
  for (SourceReport& report : reports) report.runCount = runs;
  reports[3].runCount = std::max(1, runs16);
  const std::filesystem::path paths[4] = {std::filesystem::absolute(source),
                                          std::filesystem::absolute(source),
                                          work / "source4x.txt", work / "source16x.txt"};
  try {
    // Interleave the sources so that all see the same machine state.
    for (int run = 0; run < runs; ++run) {
      for (size_t k = 0; k < reports.size(); ++k) {
        SourceReport& report = reports[k];
        if (run >= report.runCount) continue;
        report.results.push_back(RunInChild(paths[k], work, report.oneCore, report.floors));
        std::fprintf(stderr, "run %d/%d %s%s: %.3f s\n", run + 1, runs, report.label.c_str(),
                     report.oneCore ? " on one core" : "", report.results.back().whole);
      }
      batchSerial.push_back(RunBatchInChild(batchList, 1));
      batchParallel.push_back(RunBatchInChild(batchList, cores));
      std::fprintf(stderr, "run %d/%d batch: %.3f s with -j 1, %.3f s with -j %u\n", run + 1,
                   runs, batchSerial.back().seconds, batchParallel.back().seconds, cores);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench: %s\n", e.what());
    std::filesystem::remove_all(work);
    return 1;
  }
  std::filesystem::remove_all(work);

  std::ostringstream md;
  char date[64];
  const std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  md << "# Benchmarks\n\n"
     << "Command: `" << command << "` (Release build; " << runs
     << " runs per source, each in a fresh process; min / median / max).\n\n"
     << "Machine: " << MachineLine() << ".\n\nDate: " << date << ".\n\n"
     << "Load average (1 / 5 / 15 min) before and after the runs: " << loadBefore << "; "
     << LoadLine()
     << " (on 2 cores, anything much above 1 means other work shared the machine).\n\n"
     << "Source: `" << std::filesystem::path(source).filename().string() << "` (" << text.size()
     << " bytes) and the same text repeated four and sixteen times (the 16x source in "
     << reports[3].runCount << " runs, without the floors, which take minutes there); the builds "
     << "use all " << cores << " cores, but for those marked \"on one core\".\n\n";
  for (const SourceReport& r : reports) {
    md << "## " << r.label << " source (" << r.sourceBytes << " bytes)"
       << (r.oneCore ? ", on one core" : "") << "\n\n"
       << "| stage | min ms | median ms | max ms |\n|---|---|---|---|\n";
    for (int i = 0; i < kStageCount; ++i) md << MsRow(StageName(static_cast<Stage>(i)), r.Stage(i));
    md << MsRow("compile stages (load to index finalisation)", r.Compile())
       << MsRow("**whole build**", r.Pick(&RunResult::whole));
    if (r.floors) {
      md << MsRow("floor: libdeflate level 9 alone, one thread", r.Pick(&RunResult::floorLibdeflate))
         << MsRow("physical limit: that floor / " + std::to_string(cores) + " cores",
                  PerCore(r.Pick(&RunResult::floorLibdeflate), cores))
         << MsRow("floor: zlib level 9 alone", r.Pick(&RunResult::floorZlib));
    }
    const RunResult& last = r.results.back();
    std::vector<double> rss;
    for (const RunResult& x : r.results)
      rss.push_back(static_cast<double>(x.peakRssBytes) / (1 << 20));
    Stat rs = Summarise(rss);
    md << "\n| size | bytes |\n|---|---|\n"
       << "| module image | " << last.imageBytes << " |\n"
       << "| module file | " << last.moduleBytes << " |\n";
    if (r.floors) md << "| zlib level 9 of the same image | " << last.zlibBytes << " |\n";
    md << "| peak RSS (min / median / max, MiB) | " << Fmt("%.1f", rs.min) << " / "
       << Fmt("%.1f", rs.median) << " / " << Fmt("%.1f", rs.max) << " |\n\n";
  }
  auto batchSeconds = [](const std::vector<BatchResult>& v) {
    std::vector<double> s;
    for (const BatchResult& r : v) s.push_back(r.seconds);
    return s;
  };
  auto batchRss = [](const std::vector<BatchResult>& v) {
    std::vector<double> s;
    for (const BatchResult& r : v) s.push_back(static_cast<double>(r.peakRssBytes) / (1 << 20));
    return Summarise(s).median;
  };
  const double batchRatio = Summarise(batchSeconds(batchParallel)).median /
                            Summarise(batchSeconds(batchSerial)).median;
  md << "## Batch: a books list of six copies of the 1x source\n\n"
     << "`build -j N` builds up to N lines at once on a pool of N threads, which also compress "
        "each module; a line under way holds its module, so the peak memory grows by about one "
        "module per extra line.\n\n"
     << "| run | min ms | median ms | max ms |\n|---|---|---|---|\n"
     << MsRow("one line after another on one thread (-j 1)", batchSeconds(batchSerial))
     << MsRow("-j " + std::to_string(cores), batchSeconds(batchParallel))
     << "\n| peak RSS | median MiB |\n|---|---|\n"
     << "| -j 1 | " << Fmt("%.1f", batchRss(batchSerial)) << " |\n"
     << "| -j " << cores << " | " << Fmt("%.1f", batchRss(batchParallel)) << " |\n\n";
  const SourceReport& one = reports[0];
  const SourceReport& oneCore = reports[1];
  const SourceReport& four = reports[2];
  const SourceReport& sixteen = reports[3];
  const double whole1 = one.Median(one.Pick(&RunResult::whole));
  const double whole4 = four.Median(four.Pick(&RunResult::whole));
  const double compileShare = one.Median(one.Compile()) / whole1;
  const double vsLibdeflate = whole1 / one.Median(one.Pick(&RunResult::floorLibdeflate));
  const double oneCoreVsLibdeflate = oneCore.Median(oneCore.Pick(&RunResult::whole)) /
                                     oneCore.Median(oneCore.Pick(&RunResult::floorLibdeflate));
  const double vsZlib = whole1 / one.Median(one.Pick(&RunResult::floorZlib));
  const double sizeRatio = static_cast<double>(one.results.back().moduleBytes) /
                           static_cast<double>(one.results.back().zlibBytes);
  const double perMb1 = whole1 / (static_cast<double>(one.sourceBytes) / 1e6);
  const double perMb4 = whole4 / (static_cast<double>(four.sourceBytes) / 1e6);
  const double perMb16 = sixteen.Median(sixteen.Pick(&RunResult::whole)) /
                         (static_cast<double>(sixteen.sourceBytes) / 1e6);
  std::vector<double> rss1;
  for (const RunResult& x : one.results) rss1.push_back(static_cast<double>(x.peakRssBytes));
  const double memRatio = Summarise(rss1).median / static_cast<double>(one.results.back().imageBytes);
  md << "## Targets (medians, 1x source unless noted)\n\n"
     << "| target | measured | limit | |\n|---|---|---|---|\n"
     << "| compile stages / whole build | " << Fmt("%.3f", compileShare) << " | 0.10 | "
     << Verdict(compileShare <= 0.10) << " |\n"
     << "| whole build (all cores) / libdeflate-9 floor | " << Fmt("%.3f", vsLibdeflate)
     << " | 0.65 | " << Verdict(vsLibdeflate <= 0.65) << " |\n"
     << "| whole build on one core / libdeflate-9 floor | " << Fmt("%.3f", oneCoreVsLibdeflate)
     << " | 1.15 | " << Verdict(oneCoreVsLibdeflate <= 1.15) << " |\n"
     << "| whole build / zlib-9 floor | " << Fmt("%.3f", vsZlib) << " | 0.40 | "
     << Verdict(vsZlib <= 0.40) << " |\n"
     << "| module file / zlib-9 size | " << Fmt("%.3f", sizeRatio) << " | 1.00 | "
     << Verdict(sizeRatio <= 1.0) << " |\n"
     << "| cost per source MB, 4x / 1x | " << Fmt("%.3f", perMb4 / perMb1) << " | 1.10 | "
     << Verdict(perMb4 / perMb1 <= 1.10) << " |\n"
     << "| cost per source MB, 16x / 1x | " << Fmt("%.3f", perMb16 / perMb1) << " | 1.10 | "
     << Verdict(perMb16 / perMb1 <= 1.10) << " |\n"
     << "| peak RSS / module image | " << Fmt("%.2f", memRatio) << " | 4.00 | "
     << Verdict(memRatio <= 4.0) << " |\n"
     << "| batch of six, -j " << cores << " / -j 1 | " << Fmt("%.3f", batchRatio) << " | 0.60 | "
     << Verdict(batchRatio <= 0.60) << " |\n";
  std::ofstream(out) << md.str();
  std::cout << md.str();
  return 0;
}
