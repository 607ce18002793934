#include "app/build_driver.h"

#include <filesystem>
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

RunSummary RunBuild(std::u16string_view booksList, DriverObserver& observer,
                    const BuildOptions& options) {
  RunSummary summary;
  for (const std::u16string& piece : SplitPieces(booksList)) {
    if (piece.empty()) continue;
    if (IsStopLine(piece)) {
      summary.stopped = true;
      break;
    }
    observer.LineStarted(piece);
    std::optional<ModuleLine> line = ParseModuleLine(piece);
    LineOutcome outcome = LineOutcome::kBuilt;
    std::u16string modulePath;
    if (!line) {
      outcome = LineOutcome::kTooFewFields;
    } else if (!files::IsRegularFile(line->sourcePath)) {
      outcome = LineOutcome::kNoSourceFile;
    } else if (!files::CanOpenForReading(line->sourcePath)) {
      outcome = LineOutcome::kCannotOpenSource;
    } else {
      try {
        observer.Phase(u"Loading && preparing linkages");
        CompileResult compiled = CompileModule(line->name, line->abbreviation, line->sourcePath,
                                               line->options, observer, options);
        modulePath = ModuleFilePath(line->sourcePath);
        if (std::optional<std::u16string> warning =
                ModulePlacementWarning(line->sourcePath, modulePath)) {
          observer.Warning(*warning);
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
      } catch (const std::bad_alloc&) {
        throw BuildError(piece, line->sourcePath, "out of memory");
      } catch (const BuildError&) {
        throw;
      } catch (const std::exception& e) {
        throw BuildError(piece, line->sourcePath, e.what());
      }
    }
    if (outcome == LineOutcome::kBuilt) {
      ++summary.built;
    } else {
      ++summary.skipped;
    }
    observer.LineFinished(piece, outcome, modulePath);
  }
  return summary;
}

}  // namespace quillavor
