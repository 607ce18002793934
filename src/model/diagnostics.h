// Diagnostics: what a build noticed in its input and kept, dropped or could
// not resolve without stopping. The stages report them to a DiagnosticSink as
// they run; the command line prints them, the window shows them, the build
// driver buffers a module's diagnostics and hands them on with its line.
// Diagnostics never change a module byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillavor {

// The stable codes; the text of each is its name in messages and reports.
enum class DiagnosticCode {
  kSkippedLine,          // a books-list line is not built
  kUnknownOption,        // a word of the options field selects nothing
  kDuplicateTarget,      // two lines of one run write the same module file
  kModuleElsewhere,      // the module path rule puts the module away from its source
  kEmptyModule,          // a module with no book
  kUnterminatedComment,  // "BEGIN_COMMENT" without "END_COMMENT"
  kNulByte,              // a 0 byte ends the text
  kMissingImage,         // an "<imagefile>" that names no file that may be read
  kMalformedUtf8,        // bytes that are not UTF-8, stored as U+FFFD
  kTextBeforeFirstBook,  // lines before the first book header, dropped
  kUnresolvedLink,       // a link tag that ends unresolved
  kLinkLookalike,        // text that a reading program reads as a resolved link
};
std::string_view DiagnosticCodeName(DiagnosticCode code);

// One diagnostic. Texts are UTF-8.
struct Diagnostic {
  DiagnosticCode code = DiagnosticCode::kSkippedLine;
  std::string file;  // the source file as the books list names it, or the books list
  int64_t line = 0;  // 1-based line of `file` as an editor counts it; 0: the file as a whole
  std::string message;
  // unresolved-link: the tag's letter ("A", "a", "f", "m" or "r") and its
  // value as the source wrote it, trimmed (for a footnote marker, the marker).
  std::string link;
  std::string value;
  // missing-image: the absolute path tried.
  std::string path;
};

// "FILE:LINE: warning: MESSAGE [CODE]" (without ":LINE" for line 0), the form
// compilers use, which editors and CI problem matchers pick up.
std::string FormatDiagnostic(const Diagnostic& diagnostic);

// Where the stages report diagnostics, in the order they find them.
class DiagnosticSink {
 public:
  virtual ~DiagnosticSink() = default;
  virtual void Report(Diagnostic diagnostic) = 0;
  // Reports each of `diagnostics` in order.
  virtual void ReportAll(std::vector<Diagnostic> diagnostics) {
    for (Diagnostic& d : diagnostics) Report(std::move(d));
  }
};

// A sink that keeps what it is given, to be handed on later in one piece
// (a module's diagnostics travel with its books-list line).
class DiagnosticList : public DiagnosticSink {
 public:
  void Report(Diagnostic diagnostic) override { items.push_back(std::move(diagnostic)); }
  // A whole run's list is taken over as it is, not moved item by item.
  void ReportAll(std::vector<Diagnostic> diagnostics) override {
    if (items.empty()) {
      items = std::move(diagnostics);
    } else {
      DiagnosticSink::ReportAll(std::move(diagnostics));
    }
  }
  std::vector<Diagnostic> items;
};

}  // namespace quillavor
