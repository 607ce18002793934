#include "app/build_driver.h"

#include <condition_variable>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <set>

#include "compile/compilation.h"
#include "model/progress_recorder.h"
#include "output/module_writer.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/thread_pool.h"

namespace quillavor {

const char* LineOutcomeText(LineOutcome outcome) {
  switch (outcome) {
    case LineOutcome::kBuilt:
      return "built";
    case LineOutcome::kTooFewFields:
      return "skipped: fewer than three fields";
    case LineOutcome::kNoSourceFile:
      return "skipped: no source file at that path";
    case LineOutcome::kCannotOpenSource:
      return "skipped: the source file cannot be opened";
  }
  return "?";
}

namespace {
std::string BuildErrorText(const std::u16string& piece, const std::u16string& sourcePath,
                           const std::string& cause) {
  std::string s = "module line \"" + text::EncodeUtf8(piece) + "\"";
  if (!sourcePath.empty()) s += ", source \"" + text::EncodeUtf8(sourcePath) + "\"";
  return s + ": " + cause;
}
}  // namespace

BuildError::BuildError(std::u16string piece, std::u16string sourcePath, std::string cause)
    : Error(BuildErrorText(piece, sourcePath, cause)),
      piece_(std::move(piece)),
      sourcePath_(std::move(sourcePath)),
      cause_(std::move(cause)) {}

std::u16string DecodeBooksList(std::span<const uint8_t> bytes) {
  std::string_view s(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  s = s.substr(0, s.find('\0'));
  if (s.starts_with("\xEF\xBB\xBF")) s.remove_prefix(3);
  return text::DecodeUtf8(s);
}

std::vector<std::u16string> SplitPieces(std::u16string_view list) {
  std::vector<std::u16string> pieces;
  size_t start = 0;
  for (size_t i = 0; i <= list.size(); ++i) {
    if (i == list.size() || list[i] == u'\r' || list[i] == u'\n') {
      pieces.emplace_back(list.substr(start, i - start));
      start = i + 1;
    }
  }
  return pieces;
}

bool IsStopLine(std::u16string_view piece) { return text::AsciiEqualIgnoreCase(piece, u"break"); }

std::vector<std::u16string> SplitFields(std::u16string_view piece) {
  std::vector<std::u16string> fields;
  size_t start = 0;
  for (size_t i = 0; i <= piece.size(); ++i) {
    if (i == piece.size() || piece[i] == u'|') {
      fields.emplace_back(piece.substr(start, i - start));
      start = i + 1;
    }
  }
  return fields;
}

std::optional<ModuleLine> ParseModuleLine(std::u16string_view piece) {
  std::vector<std::u16string> f = SplitFields(piece);
  if (f.size() < 3) return std::nullopt;
  return ModuleLine{text::Trim(f[0]), text::Trim(f[1]), text::Trim(f[2]),
                    f.size() >= 4 ? f[3] : std::u16string()};
}

std::u16string ModuleFilePath(std::u16string_view source) {
  constexpr std::u16string_view kExt = u".quillavor";
  // A source that already ends in the module extension gets "2" appended, so
  // the module never overwrites its own source.
  if (source.size() >= kExt.size() &&
      text::AsciiEqualIgnoreCase(source.substr(source.size() - kExt.size()), kExt)) {
    return std::u16string(source) + u"2";
  }
  const size_t dot = source.rfind(u'.');
  if (dot != std::u16string_view::npos)
    return std::u16string(source.substr(0, dot)) + u".quillavor";
  return std::u16string(source) + u".quillavor";
}

std::optional<std::u16string> ModulePlacementWarning(std::u16string_view sourcePath,
                                                     std::u16string_view modulePath) {
  namespace fs = std::filesystem;
  auto folderOf = [](std::u16string_view path) {
    const fs::path folder = files::ToPath(path).parent_path().lexically_normal();
    return folder.empty() ? fs::path(".") : folder;
  };
  std::string where;
  if (folderOf(modulePath) != folderOf(sourcePath)) {
    where = " lies outside the source's folder";
  }
  if (files::ToPath(modulePath).filename().string().starts_with('.')) {
    where += std::string(where.empty() ? "" : " and") + " has a name that starts with \".\"";
  }
  if (where.empty()) return std::nullopt;
  return text::DecodeUtf8("module-elsewhere: the module file \"" + text::EncodeUtf8(modulePath) +
                          "\"" + where +
                          " (the module path is the source path up to its last \".\")");
}

namespace {

// One module line from its checks to its module file.
struct LineBuild {
  std::u16string piece;
  std::optional<ModuleLine> fields;
  LineOutcome outcome = LineOutcome::kBuilt;
  std::u16string modulePath;
  std::optional<PreparedModuleFile> file;  // while built and not yet written
};

// Runs `step`, raising what it raises as a BuildError of the line.
template <typename Step>
void AsLineStep(const LineBuild& line, Step&& step) {
  try {
    step();
  } catch (const std::bad_alloc&) {
    throw BuildError(line.piece, line.fields->sourcePath, "out of memory");
  } catch (const BuildError&) {
    throw;
  } catch (const std::exception& e) {
    throw BuildError(line.piece, line.fields->sourcePath, e.what());
  }
}

// The part of a line that writes nothing: the checks, the compile and the
// module file's bytes. `rawWanted` is asked once the module is compiled.
void PrepareLine(LineBuild& line, Progress& progress, const std::function<bool()>& rawWanted,
                 const BuildOptions& options, ThreadPool* pool) {
  line.fields = ParseModuleLine(line.piece);
  if (!line.fields) {
    line.outcome = LineOutcome::kTooFewFields;
    return;
  }
  const ModuleLine& f = *line.fields;
  if (!files::IsRegularFile(f.sourcePath)) {
    line.outcome = LineOutcome::kNoSourceFile;
    return;
  }
  if (!files::CanOpenForReading(f.sourcePath)) {
    line.outcome = LineOutcome::kCannotOpenSource;
    return;
  }
  AsLineStep(line, [&] {
    progress.Phase(u"Loading && preparing linkages");
    CompileResult compiled =
        CompileModule(f.name, f.abbreviation, f.sourcePath, f.options, progress, options);
    line.modulePath = ModuleFilePath(f.sourcePath);
    if (std::optional<std::u16string> warning =
            ModulePlacementWarning(f.sourcePath, line.modulePath)) {
      progress.Warning(*warning);
    }
    // A symbolic link at the module path has the file it leads to
    // replaced; never when that file is the source.
    const std::optional<std::u16string> real = files::RealPath(line.modulePath);
    if (real && real == files::RealPath(f.sourcePath)) {
      throw BuildError(line.piece, f.sourcePath,
                       "the module file \"" + text::EncodeUtf8(line.modulePath) +
                           "\" leads to the source file itself; nothing is written");
    }
    line.file = PrepareModuleFile(*compiled.module, line.modulePath, rawWanted(), progress, pool);
  });
}

// The part of a line done in books-list order: its module file written.
void CommitLine(LineBuild& line, Progress& progress, RunSummary& summary) {
  if (line.outcome != LineOutcome::kBuilt) {
    ++summary.skipped;
    return;
  }
  AsLineStep(line, [&] { WriteModuleFile(*line.file, line.modulePath, progress); });
  line.file.reset();
  ++summary.built;
}

// A path as the file system resolves it, for telling whether two paths name
// one file: links followed as far as the path exists.
std::filesystem::path Resolved(std::u16string_view path) {
  std::error_code ec;
  std::filesystem::path resolved = std::filesystem::weakly_canonical(files::ToPath(path), ec);
  if (ec) resolved = std::filesystem::absolute(files::ToPath(path), ec).lexically_normal();
  return resolved;
}

// Builds several lines at once on a pool and writes them in order. Each line
// is one task of one loop on the pool: it waits for a place among the `window`
// lines under way, prepares its module, and the thread that finishes the
// first line not yet written writes it and every finished line after it.
class ParallelRun {
 public:
  ParallelRun(std::vector<std::u16string> pieces, DriverObserver& observer,
              const BuildOptions& options, ThreadPool& pool)
      : observer_(observer), options_(options), pool_(pool), window_(pool.Threads()) {
    std::set<std::filesystem::path> written;  // module and raw files of the lines so far
    lines_.reserve(pieces.size());
    for (std::u16string& piece : pieces) {
      Line& line = lines_.emplace_back(mutex_);
      line.build.piece = std::move(piece);
      const std::optional<ModuleLine> fields = ParseModuleLine(line.build.piece);
      if (!fields) continue;
      line.waitsForEarlier = written.contains(Resolved(fields->sourcePath));
      const std::u16string modulePath = ModuleFilePath(fields->sourcePath);
      written.insert(Resolved(modulePath));
      written.insert(Resolved(modulePath + u".raw"));
    }
  }

  void Run(RunSummary& summary) {
    pool_.ParallelFor(lines_.size(), [this](size_t i) {
      try {
        BuildLine(i);
      } catch (...) {
        // No line is written after a failure; wake those that wait for their turn.
        {
          const std::lock_guard guard(mutex_);
          failed_ = true;
        }
        turn_.notify_all();
        throw;
      }
    });
    summary.built += summary_.built;
    summary.skipped += summary_.skipped;
  }

 private:
  struct Line {
    explicit Line(std::mutex& lock) : events(std::make_unique<ProgressRecorder>(lock)) {}
    LineBuild build;
    std::unique_ptr<ProgressRecorder> events;  // what the line reports, held back until its turn
    std::exception_ptr error;  // why it failed, raised at its turn
    bool waitsForEarlier = false;  // its source is written by an earlier line
    bool started = false;
    bool done = false;
  };

  void BuildLine(size_t i) {
    Line& line = lines_[i];
    {
      std::unique_lock lock(mutex_);
      turn_.wait(lock, [&] {
        return failed_ || (i < head_ + window_ && (!line.waitsForEarlier || i == head_));
      });
      if (failed_) return;
      line.started = true;
      if (i == head_) Follow(line);
    }
    std::exception_ptr error;
    try {
      PrepareLine(line.build, *line.events, [this] { return RawWanted(); }, options_, &pool_);
    } catch (...) {
      error = std::current_exception();  // raised at the line's turn
    }
    std::unique_lock lock(mutex_);
    line.done = true;
    line.error = error;
    if (i != head_) return;  // the line before it is not written yet
    while (head_ < lines_.size() && lines_[head_].done) {
      Line& next = lines_[head_];
      lock.unlock();
      if (next.error) std::rethrow_exception(next.error);
      CommitLine(next.build, *next.events, summary_);
      lock.lock();
      observer_.LineFinished(next.build.piece, next.build.outcome, next.build.modulePath);
      next.events.reset();
      ++head_;
      turn_.notify_all();
      if (head_ < lines_.size() && lines_[head_].started) Follow(lines_[head_]);
    }
  }

  // The line's turn has come: the observer hears what it held back, and then
  // everything as it happens. The lock is held.
  void Follow(Line& line) {
    observer_.LineStarted(line.build.piece);
    line.events->ReplayAndFollow(observer_);
  }

  bool RawWanted() {
    const std::lock_guard guard(mutex_);
    return observer_.RawWanted();
  }

  DriverObserver& observer_;
  const BuildOptions& options_;
  ThreadPool& pool_;
  const size_t window_;  // lines under way or waiting for their turn, at most
  std::mutex mutex_;     // guards the observer and the fields below
  std::condition_variable turn_;  // signalled when head_ moves or a line fails
  std::vector<Line> lines_;
  size_t head_ = 0;      // the first line not yet written
  bool failed_ = false;  // a line failed: nothing more is started or written
  RunSummary summary_;   // counted by the thread that writes
};

}  // namespace

RunSummary RunBuild(std::u16string_view booksList, DriverObserver& observer,
                    const BuildOptions& options, ThreadPool* pool) {
  RunSummary summary;
  std::vector<std::u16string> pieces;  // the non-empty pieces before the stop line
  for (std::u16string& piece : SplitPieces(booksList)) {
    if (piece.empty()) continue;
    if (IsStopLine(piece)) {
      summary.stopped = true;
      break;
    }
    pieces.push_back(std::move(piece));
  }
  if (pool != nullptr && pool->Threads() > 1 && pieces.size() > 1) {
    ParallelRun(std::move(pieces), observer, options, *pool).Run(summary);
    return summary;
  }
  for (std::u16string& piece : pieces) {
    observer.LineStarted(piece);
    LineBuild line;
    line.piece = std::move(piece);
    PrepareLine(line, observer, [&] { return observer.RawWanted(); }, options, pool);
    CommitLine(line, observer, summary);
    observer.LineFinished(line.piece, line.outcome, line.modulePath);
  }
  return summary;
}

}  // namespace quillavor
