#include "app/build_driver.h"

#include <filesystem>
#include <map>
#include <new>

#include "compile/compilation.h"
#include "output/module_writer.h"
#include "platform/files.h"
#include "platform/text.h"

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

}  // namespace

RunSummary RunBuild(std::u16string_view booksList, DriverObserver& observer,
                    const BuildOptions& options) {
  RunSummary summary;
  const std::string listFile = options.booksListFile.empty()
                                   ? std::string("books list")
                                   : text::EncodeUtf8(options.booksListFile);
  const std::vector<std::u16string> pieces = SplitPieces(booksList);
  const std::vector<int64_t> pieceLines = PieceLines(booksList);
  // Module files written in this run (resolved path) and the line that wrote each.
  std::map<std::u16string, int64_t> written;
  for (size_t p = 0; p < pieces.size(); ++p) {
    const std::u16string& piece = pieces[p];
    if (piece.empty()) continue;
    if (IsStopLine(piece)) {
      summary.stopped = true;
      break;
    }
    observer.LineStarted(piece);
    const auto started = std::chrono::steady_clock::now();
    LineReport report;
    report.line = pieceLines[p];
    report.piece = piece;
    report.fields = ParseModuleLine(piece);
    DiagnosticList diagnostics;
    auto listDiagnostic = [&](DiagnosticCode code, std::string message) {
      diagnostics.Report(Diagnostic{code, listFile, report.line, std::move(message), {}, {}, {}});
    };
    const std::optional<ModuleLine>& line = report.fields;
    LineOutcome outcome = LineOutcome::kBuilt;
    std::u16string modulePath;
    if (!line) {
      outcome = LineOutcome::kTooFewFields;
      const size_t fields = SplitFields(piece).size();
      listDiagnostic(DiagnosticCode::kSkippedLine,
                     "the line has " + std::to_string(fields) +
                         (fields == 1 ? " field" : " fields") +
                         "; a module line has at least three, separated by \"|\": Name | Abbr "
                         "| Path&Filename [ | spanish,windowspage ]");
    } else {
      for (std::string& message : UnknownOptionMessages(line->options)) {
        listDiagnostic(DiagnosticCode::kUnknownOption, std::move(message));
      }
      if (std::optional<std::string> problem = SourceProblem(line->sourcePath, outcome)) {
        listDiagnostic(DiagnosticCode::kSkippedLine, *problem + "; the line is skipped");
      }
    }
    if (outcome == LineOutcome::kBuilt) {
      try {
        observer.Phase(u"Loading && preparing linkages");
        CompileResult compiled = CompileModule(line->name, line->abbreviation, line->sourcePath,
                                               line->options, observer, options, &diagnostics);
        report.counts = CountsOf(compiled);
        modulePath = ModuleFilePath(line->sourcePath);
        if (std::optional<std::u16string> warning =
                ModulePlacementWarning(line->sourcePath, modulePath)) {
          listDiagnostic(DiagnosticCode::kModuleElsewhere, text::EncodeUtf8(*warning));
        }
        // A symbolic link at the module path has the file it leads to
        // replaced; never when that file is the source.
        const std::optional<std::u16string> real = files::RealPath(modulePath);
        if (real && real == files::RealPath(line->sourcePath)) {
          throw BuildError(piece, line->sourcePath,
                           "the module file \"" + text::EncodeUtf8(modulePath) +
                               "\" leads to the source file itself; nothing is written");
        }
        WriteModule(*compiled.module, modulePath, observer.RawWanted(), observer);
        const std::u16string target =
            files::RealPath(modulePath).value_or(files::AbsolutePath(modulePath));
        if (auto [earlier, fresh] = written.try_emplace(target, report.line); !fresh) {
          listDiagnostic(DiagnosticCode::kDuplicateTarget,
                         "this line writes the module file \"" + text::EncodeUtf8(modulePath) +
                             "\" that line " + std::to_string(earlier->second) +
                             " wrote too: the module of the earlier line is replaced");
          earlier->second = report.line;
        }
      } catch (const std::exception& e) {
        const bool outOfMemory = dynamic_cast<const std::bad_alloc*>(&e) != nullptr;
        const BuildError* built = dynamic_cast<const BuildError*>(&e);
        report.failed = true;
        report.error = outOfMemory ? std::string("out of memory")
                       : built     ? built->cause()
                                   : std::string(e.what());
        report.diagnostics = std::move(diagnostics.items);
        report.elapsed = std::chrono::steady_clock::now() - started;
        observer.LineReported(report);
        if (built != nullptr) throw;
        throw BuildError(piece, line->sourcePath, report.error);
      }
    }
    if (outcome == LineOutcome::kBuilt) {
      ++summary.built;
    } else {
      ++summary.skipped;
    }
    report.outcome = outcome;
    report.modulePath = modulePath;
    report.diagnostics = std::move(diagnostics.items);
    report.elapsed = std::chrono::steady_clock::now() - started;
    observer.LineReported(report);
    observer.LineFinished(piece, outcome, modulePath);
  }
  return summary;
}

}  // namespace quillavor
