#include "compile/compilation.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>

#include "compile/verse_pipeline.h"
#include "index/word_index.h"
#include "markup/compiler.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/thread_pool.h"
#include "source/book_names.h"
#include "source/source_loader.h"

namespace quillavor {

namespace {

CompileResult Run(Compilation& run, std::optional<std::span<const uint8_t>> bytes) {
  std::optional<std::string> prepared = run.Load(bytes);
  if (prepared) run.CompileMarkup(*prepared);
  prepared.reset();  // the pool holds the text now
  run.ResolveLinks();
  run.Finalize();
  return run.Finish();
}

}  // namespace

CompileResult CompileModule(std::u16string name, std::u16string abbreviation,
                            std::u16string sourcePath, std::u16string options, Progress& progress,
                            const BuildOptions& build, DiagnosticSink* diagnostics,
                            unsigned threads) {
  Compilation run(std::move(name), std::move(abbreviation), std::move(sourcePath),
                  std::move(options), progress, build, diagnostics);
  run.UseThreads(threads);
  return Run(run, std::nullopt);
}

CompileResult CompileModuleFromBytes(std::u16string name, std::u16string abbreviation,
                                     std::u16string sourcePath, std::u16string options,
                                     std::span<const uint8_t> bytes, Progress& progress,
                                     DiagnosticSink* diagnostics) {
  Compilation run(std::move(name), std::move(abbreviation), std::move(sourcePath),
                  std::move(options), progress, {}, diagnostics);
  return Run(run, bytes);
}

Compilation::Compilation(std::u16string name, std::u16string abbreviation,
                         std::u16string sourcePath, std::u16string options, Progress& progress,
                         BuildOptions build, DiagnosticSink* diagnostics)
    : module_(std::make_unique<Module>()),
      progress_(progress),
      build_(std::move(build)),
      diagnostics_(diagnostics) {
  module_->name = std::move(name);
  module_->abbreviation = std::move(abbreviation);
  module_->sourcePath = std::move(sourcePath);
  module_->options = std::move(options);
}

Compilation::~Compilation() {
  // A run that failed still hands on what it found before the failure.
  try {
    FlushDiagnostics();
  } catch (...) {  // NOLINT(bugprone-empty-catch): a destructor must not throw
  }
}

void Compilation::FlushDiagnostics() {
  if (diagnostics_ == nullptr || found_.items.empty()) return;
  // Editors and readers go down a file: by line, a whole-file one (line 0)
  // after the others, otherwise in the order found.
  auto key = [](const Diagnostic& d) {
    return d.line > 0 ? d.line : std::numeric_limits<int64_t>::max();
  };
  const auto byLine = [&](const Diagnostic& a, const Diagnostic& b) { return key(a) < key(b); };
  // The stages find most in line order: a sorted list is left as it is.
  if (!std::is_sorted(found_.items.begin(), found_.items.end(), byLine)) {
    std::stable_sort(found_.items.begin(), found_.items.end(), byLine);
  }
  std::vector<Diagnostic> items = std::move(found_.items);
  found_.items.clear();
  for (Diagnostic& d : found_.Overflow(text::EncodeUtf8(module_->sourcePath))) {
    items.push_back(std::move(d));
  }
  diagnostics_->ReportAll(std::move(items));
}

void FoundDiagnostics::Report(Diagnostic diagnostic) {
  if (++found_[diagnostic.code] <= kListedPerCode) items.push_back(std::move(diagnostic));
}

bool FoundDiagnostics::Admits(DiagnosticCode code) {
  int64_t& n = found_[code];
  if (n < kListedPerCode) return true;
  ++n;
  return false;
}

std::vector<Diagnostic> FoundDiagnostics::Overflow(const std::string& file) const {
  std::vector<Diagnostic> out;
  for (const auto& [code, n] : found_) {
    if (n <= kListedPerCode) continue;
    Diagnostic d;
    d.code = code;
    d.file = file;
    d.message = std::to_string(n) + " " + std::string(DiagnosticCodeName(code)) +
                " warnings in all; the first " + std::to_string(kListedPerCode) +
                " are listed: mend those and build again to see the others";
    out.push_back(std::move(d));
  }
  return out;
}

std::optional<std::string> Compilation::Load(std::optional<std::span<const uint8_t>> bytes) {
  EnsureBookNameTable();
  StageTimer timer(progress_, Stage::kLoad);
  std::optional<std::vector<uint8_t>> fileBytes;
  if (!bytes) {
    fileBytes = ReadSourceFile(module_->sourcePath);
    if (fileBytes) bytes = std::span<const uint8_t>(*fileBytes);
  }
  if (bytes) {
    sourceSize_ = static_cast<int64_t>(bytes->size());
  } else {
    std::error_code error;
    const auto size =
        std::filesystem::file_size(files::ToPath(text::TrimView(module_->sourcePath)), error);
    if (!error) sourceSize_ = static_cast<int64_t>(size);
  }
  // A source of 2 bytes or less is a load failure: an empty module.
  if (!bytes || bytes->size() <= 2) return std::nullopt;
  loaded_ = true;
  // A module file (a zlib stream, compressed at level 9) given as a source is
  // only reported as that: its bytes would give pages of noise.
  looksLikeModule_ = (*bytes)[0] == 0x78 && (*bytes)[1] == 0xDA;
  return PrepareSource(*module_, *bytes, module_->options, build_,
                       looksLikeModule_ || diagnostics_ == nullptr ? nullptr : &found_,
                       diagnostics_ != nullptr ? &lineMap_ : nullptr);
}

void Compilation::UseThreads(unsigned threads, size_t minimumBytes) {
  threads_ = threads;
  threadsMinimumBytes_ = minimumBytes;
}

void Compilation::CompileMarkup(std::string_view prepared) {
  const unsigned threads = threads_ == 0 ? CoresAvailable() : threads_;
  if (threads > 1 && prepared.size() >= threadsMinimumBytes_) {
    CompileWithHelper(prepared);
  } else {
    CompileSource(*module_, prepared, progress_, *this, labelAccel_, pendingLinks_,
                  diagnostics_ != nullptr ? &facts_ : nullptr);
  }
  if (diagnostics_ != nullptr && !looksLikeModule_) ReportMarkupFacts();
}

void Compilation::CompileWithHelper(std::string_view prepared) {
  VersePipeline pipeline(*module_, wordAccel_);
  // A thread of its own, not a task of the build's pool: the compile stays
  // on this thread, where the run was started, and can never wait for a
  // helper that a busy pool has not started. The helper is stopped before
  // it is joined, whatever happens here.
  std::jthread helper([&pipeline] { pipeline.Help(); });
  struct StopHelper {
    VersePipeline& pipeline;
    ~StopHelper() { pipeline.Stop(); }
  } stopHelper{pipeline};
  verses_ = &pipeline;
  try {
    CompileSource(*module_, prepared, progress_, *this, labelAccel_, pendingLinks_,
                  diagnostics_ != nullptr ? &facts_ : nullptr);
    pipeline.Flush();
  } catch (...) {
    verses_ = nullptr;
    // The verses handed over before the failure are recorded first, as on
    // one thread, where a failure among them would have come first.
    pipeline.Flush();
    throw;
  }
  verses_ = nullptr;
}

void Compilation::ResolveLinks() {
  StageTimer timer(progress_, Stage::kLinkResolution);
  ResolveLinkage(*module_, linkLookup_, pendingLinks_, changedAfterIndexing_, progress_, this);
}

void Compilation::Finalize() {
  StageTimer timer(progress_, Stage::kIndexFinalize);
  FinalizeWordIndex(*module_, module_->options, progress_);
  module_->FinalizePool();
}

CompileResult Compilation::Finish() {
  if (diagnostics_ != nullptr && module_->bookCount == 0) ReportEmptyModule();
  FlushDiagnostics();
  return CompileResult{std::move(module_), std::move(changedAfterIndexing_), linksResolved_,
                       linksUnresolved_};
}

void Compilation::BookCreated(int32_t book) { RegisterBook(*module_, linkLookup_, book); }

bool Compilation::LinkStep(int32_t tagPos, int32_t contextVerse) {
  const bool resolved = quillavor::LinkStep(*module_, linkLookup_, tagPos, contextVerse);
  if (resolved) ++linksResolved_;
  return resolved;
}

void Compilation::Resolved(int64_t count) { linksResolved_ += count; }

int64_t Compilation::FileLineAt(int32_t pos) const {
  const auto before = std::lower_bound(facts_.lineFeeds.begin(), facts_.lineFeeds.end(), pos);
  return lineMap_.FileLine(before - facts_.lineFeeds.begin());
}

void Compilation::Report(DiagnosticCode code, int64_t line, std::string message) {
  Diagnostic d;
  d.code = code;
  d.file = text::EncodeUtf8(module_->sourcePath);
  d.line = line;
  d.message = std::move(message);
  found_.Report(std::move(d));
}

void Compilation::ReportMarkupFacts() {
  if (facts_.linesBeforeBook > 0) {
    const int64_t n = facts_.linesBeforeBook;
    Report(DiagnosticCode::kTextBeforeFirstBook, FileLineAt(facts_.firstTextBeforeBook),
           std::to_string(n) + (n == 1 ? " line" : " lines") +
               " of text before the first book header " + (n == 1 ? "is" : "are") +
               " dropped, from this one on; a book starts with a header line such as "
               "\"<Genesis>Genesis 1\"");
  }
  for (size_t i = 0; i < facts_.linkLookalikes.size(); ++i) {
    const char16_t unit = facts_.linkLookalikeUnits[i];
    char name[8];
    std::snprintf(name, sizeof name, "%04X", static_cast<unsigned>(unit));
    const std::string cause = unit == 0xFFFD ? " (malformed UTF-8 in the source)" : std::string();
    Report(DiagnosticCode::kLinkLookalike, FileLineAt(facts_.linkLookalikes[i]),
           std::string("the text \"<a=\" followed by U+") + name + cause +
               " reads as a resolved link in a reading program; put a blank after \"<a=\"");
  }
}

std::pair<std::string, int64_t> Compilation::NoteOrVerse(int32_t noteOf, int32_t verse) const {
  if (noteOf != kNone) {
    int64_t line = 0;
    if (static_cast<size_t>(noteOf) < facts_.headerLines.size()) {
      line = FileLineAt(facts_.headerLines[static_cast<size_t>(noteOf)]);
    }
    return {"in the note of " + text::EncodeUtf8(module_->StringView(module_->books[noteOf].title)),
            line};
  }
  const bool known = verse >= 0 && verse < module_->verseCount;
  return {"in " + VersePlace(verse), known ? FileLineAt(module_->verses[verse].text) : 0};
}

std::string Compilation::VersePlace(int32_t verse) const {
  if (verse < 0 || verse >= module_->verseCount) return "before the first verse";
  const VerseRecord& v = module_->verses[verse];
  std::string place = text::EncodeUtf8(module_->StringView(module_->books[v.book].title));
  if (v.label != kNone) place += ", verse " + text::EncodeUtf8(module_->StringView(v.label));
  return place;
}

void Compilation::Unresolved(const UnresolvedLink& link) {
  if (!link.removed) {
    // The string that holds it, and where in it: met again, it is not new.
    const int64_t holder = link.footnoteTag != kNone ? link.footnoteTag
                           : link.noteOf != kNone    ? -1 - int64_t{link.noteOf}
                                                     : int64_t{module_->verses[link.verse].text};
    if (!keptAsTextReported_.insert(holder * (int64_t{1} << 24) + link.offset).second) return;
  }
  ++linksUnresolved_;
  if (diagnostics_ == nullptr || !found_.Admits(DiagnosticCode::kUnresolvedLink)) return;

  std::string where;
  int64_t line = 0;
  if (link.noteOf == kNone && link.footnoteTag != kNone) {
    where = "in a footnote line after " + VersePlace(link.verse);
    line = FileLineAt(link.footnoteTag);
  } else {
    std::tie(where, line) = NoteOrVerse(link.noteOf, link.verse);
  }
  const std::string letter = text::EncodeUtf8(std::u16string(1, link.letter));
  const std::string value = text::EncodeUtf8(link.value);
  std::string message;
  if (link.letter == u'f') {
    message = "the footnote marker " + value + " " + where +
              " has no footnote line starting with it within reach (the next 201 lines, up to "
              "the end of a footnote block)";
  } else {
    message = "the link <" + letter + "=\"" + value + "\"> " + where;
    if (link.letter == u'A') {
      message += " names no book title or abbreviation of this module";
      // The book part as looked for, after the abbreviation table.
      const std::u16string_view bookPart =
          text::TrimView(std::u16string_view(link.value).substr(0, link.value.find(u':')));
      const std::u16string expanded = expandBookAbbreviation(bookPart);
      if (expanded != bookPart) message += " (looked for \"" + text::EncodeUtf8(expanded) + "\")";
    } else {
      message += " names no book of this module (or, after \"#\", no child book or verse of it)";
    }
  }
  if (!link.removed) {
    message += "; its tag has no \">\" on the line, so it stays in the text as written";
  } else if (link.letter == u'f') {
    message += "; the marker stays as plain text: add the footnote line or correct the marker";
  } else {
    message += "; the link is removed, its text kept: correct the target";
  }
  Diagnostic d;
  d.code = DiagnosticCode::kUnresolvedLink;
  d.file = text::EncodeUtf8(module_->sourcePath);
  d.line = line;
  d.message = std::move(message);
  d.link = letter;
  d.value = value;
  found_.Report(std::move(d));
}

void Compilation::Lookalike(const LinkLookalike& lookalike) {
  if (diagnostics_ == nullptr || !found_.Admits(DiagnosticCode::kLinkLookalike)) return;
  const auto [where, line] = NoteOrVerse(lookalike.noteOf, lookalike.verse);
  const std::string text = text::EncodeUtf8(lookalike.text);
  std::string message;
  if (lookalike.kind == LinkLookalike::Kind::kUnresolvedValue) {
    message = "the link value \"" + text + "\" " + where +
              " is left as written and reads as a resolved link in a reading program";
  } else {
    message = "resolving the link \"" + text + "\" " + where +
              " after its verse was indexed rewrote the \"<sc>\" in its value, so a reading "
              "program finds the words after it at wrong positions";
  }
  Report(DiagnosticCode::kLinkLookalike, line, std::move(message));
}

void Compilation::ReportEmptyModule() {
  std::string message;
  if (!loaded_) {
    message = sourceSize_ < 0
                  ? "the source could not be read"
                  : "the source holds " + std::to_string(sourceSize_) +
                        (sourceSize_ == 1 ? " byte" : " bytes") + ", too few for a source";
    message += ": the module is written empty";
  } else if (looksLikeModule_) {
    message =
        "the source is a module file (zlib data), not a source text: the module has no book; "
        "name the source text in the books list";
  } else {
    message =
        "the source has no book header line (such as \"<Genesis>Genesis 1\"): the module "
        "has no book";
  }
  Report(DiagnosticCode::kEmptyModule, 0, std::move(message));
}

void Compilation::IndexVerse(int32_t verse, bool indexingOn) {
  if (verses_ != nullptr && indexingOn) {
    verses_->Add(verse);
    return;
  }
  quillavor::IndexVerse(*module_, wordAccel_, verse, indexingOn);
}

}  // namespace quillavor
