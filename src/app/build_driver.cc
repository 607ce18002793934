#include "app/build_driver.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
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

std::vector<int64_t> PieceLines(std::u16string_view list) {
  std::vector<int64_t> lines;
  int64_t line = 1;
  lines.push_back(line);
  for (char16_t c : list) {
    if (c == u'\n') ++line;
    if (c == u'\r' || c == u'\n') lines.push_back(line);
  }
  return lines;
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
  return text::DecodeUtf8("the module file \"" + text::EncodeUtf8(modulePath) + "\"" + where +
                          " (the module path is the source path up to its last \".\")");
}

std::vector<std::string> UnknownOptionMessages(std::u16string_view options) {
  std::vector<std::string> messages;
  size_t start = 0;
  for (size_t i = 0; i <= options.size(); ++i) {
    if (i < options.size() && options[i] != u',' && options[i] != u' ' && options[i] != u'\t') {
      continue;
    }
    const std::u16string_view word = options.substr(start, i - start);
    start = i + 1;
    if (word.empty() || word == u"spanish" || word == u"windowspage") continue;
    std::string message = "unknown option \"" + text::EncodeUtf8(word) + "\"";
    // The compiler looks for the two words anywhere in the field.
    for (std::u16string_view known : {u"spanish", u"windowspage"}) {
      if (word.find(known) != std::u16string_view::npos) {
        message += " (it still selects \"" + text::EncodeUtf8(known) + "\", found inside it)";
      }
    }
    message +=
        ": options are case-sensitive; \"spanish\" titles the Concordance \"Concordancia\", "
        "\"windowspage\" reads the Windows-1252 quotation marks and dashes of the source";
    messages.push_back(std::move(message));
  }
  return messages;
}

namespace {

ModuleCounts CountsOf(const CompileResult& compiled) {
  const Module& m = *compiled.module;
  return ModuleCounts{m.bookCount,      m.verseCount,           m.wordCount,
                      m.wordRefCount,   compiled.linksResolved, compiled.linksUnresolved,
                      m.images.Length()};
}

// The skipped-line message for a source path that names no file that can be
// read, or nothing when the line can be built.
std::optional<std::string> SourceProblem(const std::u16string& path, LineOutcome& outcome) {
  const std::string shown = text::EncodeUtf8(path);
  if (!files::IsRegularFile(path)) {
    outcome = LineOutcome::kNoSourceFile;
    if (path.empty()) return std::string("the source path (third field) is empty");
    const std::string tried = text::EncodeUtf8(files::AbsolutePath(path));
    std::string message =
        files::IsFolder(path)
            ? "the source path \"" + shown + "\" is a folder, not a file (tried \"" + tried + "\")"
            : "no source file at \"" + shown + "\" (tried \"" + tried + "\")";
    if (!files::ToPath(path).is_absolute()) {
      message += "; relative paths are taken from the folder the build runs in";
    }
    return message;
  }
  if (std::optional<std::string> reason = files::OpenForReadingError(path)) {
    outcome = LineOutcome::kCannotOpenSource;
    return "the source file \"" + shown + "\" cannot be opened: " + *reason;
  }
  return std::nullopt;
}

// One module line from its checks to its module file.
struct LineBuild {
  LineBuild(std::u16string piece, int64_t line) {
    report.piece = std::move(piece);
    report.line = line;
  }
  LineReport report;              // handed to the observer when the line is done
  DiagnosticList diagnostics;     // found while the line is built, in that order
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  std::optional<PreparedModuleFile> file;  // while built and not yet written
};

// The books list as diagnostics name it.
std::string ListFileName(const BuildOptions& options) {
  return options.booksListFile.empty() ? std::string("books list")
                                       : text::EncodeUtf8(options.booksListFile);
}

void ListDiagnostic(LineBuild& line, const BuildOptions& options, DiagnosticCode code,
                    std::string message) {
  line.diagnostics.Report(
      Diagnostic{code, ListFileName(options), line.report.line, std::move(message), {}, {}, {}});
}

// The part of a line that writes nothing: the checks, the compile and the
// module file's bytes. `rawWanted` is asked once the module is compiled.
// Raises what the compile and the image raise; FailLine turns it into the
// line's error.
void PrepareLine(LineBuild& line, Progress& progress, const std::function<bool()>& rawWanted,
                 const BuildOptions& options, ThreadPool* pool, unsigned compileThreads) {
  LineReport& report = line.report;
  report.fields = ParseModuleLine(report.piece);
  if (!report.fields) {
    report.outcome = LineOutcome::kTooFewFields;
    const size_t fields = SplitFields(report.piece).size();
    ListDiagnostic(line, options, DiagnosticCode::kSkippedLine,
                   "the line has " + std::to_string(fields) + (fields == 1 ? " field" : " fields") +
                       "; a module line has at least three, separated by \"|\": Name | Abbr "
                       "| Path&Filename [ | spanish,windowspage ]");
    return;
  }
  const ModuleLine& f = *report.fields;
  for (std::string& message : UnknownOptionMessages(f.options)) {
    ListDiagnostic(line, options, DiagnosticCode::kUnknownOption, std::move(message));
  }
  if (std::optional<std::string> problem = SourceProblem(f.sourcePath, report.outcome)) {
    ListDiagnostic(line, options, DiagnosticCode::kSkippedLine, *problem + "; the line is skipped");
    return;
  }
  progress.Phase(u"Loading && preparing linkages");
  CompileResult compiled = CompileModule(f.name, f.abbreviation, f.sourcePath, f.options, progress,
                                         options, &line.diagnostics, compileThreads);
  report.counts = CountsOf(compiled);
  report.modulePath = ModuleFilePath(f.sourcePath);
  if (std::optional<std::u16string> warning =
          ModulePlacementWarning(f.sourcePath, report.modulePath)) {
    ListDiagnostic(line, options, DiagnosticCode::kModuleElsewhere, text::EncodeUtf8(*warning));
  }
  // A symbolic link at the module path has the file it leads to replaced;
  // never when that file is the source.
  const std::optional<std::u16string> real = files::RealPath(report.modulePath);
  if (real && real == files::RealPath(f.sourcePath)) {
    throw BuildError(report.piece, f.sourcePath,
                     "the module file \"" + text::EncodeUtf8(report.modulePath) +
                         "\" leads to the source file itself; nothing is written");
  }
  line.file = PrepareModuleFile(*compiled.module, report.modulePath, rawWanted(), progress, pool);
}

// The part of a line done in books-list order: its module file written, and
// its report completed. `written` holds the module files written so far in
// this run (resolved path) with the line that wrote each.
void CommitLine(LineBuild& line, Progress& progress, RunSummary& summary,
                std::map<std::u16string, int64_t>& written, const BuildOptions& options) {
  LineReport& report = line.report;
  if (report.outcome != LineOutcome::kBuilt) {
    ++summary.skipped;
  } else {
    WriteModuleFile(*line.file, report.modulePath, progress);
    line.file.reset();
    const std::u16string target =
        files::RealPath(report.modulePath).value_or(files::AbsolutePath(report.modulePath));
    if (auto [earlier, fresh] = written.try_emplace(target, report.line); !fresh) {
      ListDiagnostic(line, options, DiagnosticCode::kDuplicateTarget,
                     "this line writes the module file \"" + text::EncodeUtf8(report.modulePath) +
                         "\" that line " + std::to_string(earlier->second) +
                         " wrote too: the module of the earlier line is replaced");
      earlier->second = report.line;
    }
    ++summary.built;
  }
  report.diagnostics = std::move(line.diagnostics.items);
  report.elapsed = std::chrono::steady_clock::now() - line.started;
}

// The line failed with `error`: the observer gets its report with the cause,
// then the error is raised as a BuildError of the line.
[[noreturn]] void FailLine(LineBuild& line, DriverObserver& observer, std::exception_ptr error) {
  LineReport& report = line.report;
  const std::u16string source = report.fields ? report.fields->sourcePath : std::u16string();
  try {
    std::rethrow_exception(error);
  } catch (const std::bad_alloc&) {
    report.error = "out of memory";
  } catch (const BuildError& e) {
    report.error = e.cause();
  } catch (const std::exception& e) {
    report.error = e.what();
  }
  report.failed = true;
  report.diagnostics = std::move(line.diagnostics.items);
  report.elapsed = std::chrono::steady_clock::now() - line.started;
  observer.LineReported(report);
  try {
    std::rethrow_exception(error);
  } catch (const BuildError&) {
    throw;
  } catch (...) {
    throw BuildError(report.piece, source, report.error);
  }
}

// A non-empty piece of the books list before the stop line, with its line.
struct Piece {
  std::u16string text;
  int64_t line = 0;
};

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
  ParallelRun(std::vector<Piece> pieces, DriverObserver& observer, const BuildOptions& options,
              ThreadPool& pool)
      : observer_(observer), options_(options), pool_(pool), window_(pool.Threads()) {
    std::set<std::filesystem::path> written;  // module and raw files of the lines so far
    lines_.reserve(pieces.size());
    for (Piece& piece : pieces) {
      Line& line = lines_.emplace_back(mutex_, std::move(piece));
      const std::optional<ModuleLine> fields = ParseModuleLine(line.build.report.piece);
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
    Line(std::mutex& lock, Piece piece)
        : build(std::move(piece.text), piece.line),
          events(std::make_unique<ProgressRecorder>(lock)) {}
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
    line.build.started = std::chrono::steady_clock::now();
    std::exception_ptr error;
    try {
      // The other threads of the pool build the other lines.
      PrepareLine(line.build, *line.events, [this] { return RawWanted(); }, options_, &pool_,
                  /*compileThreads=*/1);
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
      std::exception_ptr failure = next.error;
      if (!failure) {
        try {
          CommitLine(next.build, *next.events, summary_, written_, options_);
        } catch (...) {
          failure = std::current_exception();
        }
      }
      lock.lock();
      if (failure) FailLine(next.build, observer_, failure);
      const LineReport& report = next.build.report;
      observer_.LineReported(report);
      observer_.LineFinished(report.piece, report.outcome, report.modulePath);
      next.events.reset();
      ++head_;
      turn_.notify_all();
      if (head_ < lines_.size() && lines_[head_].started) Follow(lines_[head_]);
    }
  }

  // The line's turn has come: the observer hears what it held back, and then
  // everything as it happens. The lock is held.
  void Follow(Line& line) {
    observer_.LineStarted(line.build.report.piece);
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
  std::map<std::u16string, int64_t> written_;  // by the thread that writes, see CommitLine
};

}  // namespace

RunSummary RunBuild(std::u16string_view booksList, DriverObserver& observer,
                    const BuildOptions& options, ThreadPool* pool) {
  RunSummary summary;
  std::vector<Piece> pieces;  // the non-empty pieces before the stop line
  const std::vector<int64_t> pieceLines = PieceLines(booksList);
  std::vector<std::u16string> split = SplitPieces(booksList);
  for (size_t p = 0; p < split.size(); ++p) {
    if (split[p].empty()) continue;
    if (IsStopLine(split[p])) {
      summary.stopped = true;
      break;
    }
    pieces.push_back(Piece{std::move(split[p]), pieceLines[p]});
  }
  if (pool != nullptr && pool->Threads() > 1 && pieces.size() > 1) {
    ParallelRun(std::move(pieces), observer, options, *pool).Run(summary);
    return summary;
  }
  std::map<std::u16string, int64_t> written;
  for (Piece& piece : pieces) {
    observer.LineStarted(piece.text);
    LineBuild line(std::move(piece.text), piece.line);
    try {
      PrepareLine(line, observer, [&] { return observer.RawWanted(); }, options, pool,
                  pool != nullptr ? pool->Threads() : 0);
      CommitLine(line, observer, summary, written, options);
    } catch (...) {
      FailLine(line, observer, std::current_exception());
    }
    observer.LineReported(line.report);
    observer.LineFinished(line.report.piece, line.report.outcome, line.report.modulePath);
  }
  return summary;
}

}  // namespace quillavor
