#include "model/diagnostics.h"

namespace quillavor {

std::string_view DiagnosticCodeName(DiagnosticCode code) {
  switch (code) {
    case DiagnosticCode::kSkippedLine:
      return "skipped-line";
    case DiagnosticCode::kUnknownOption:
      return "unknown-option";
    case DiagnosticCode::kDuplicateTarget:
      return "duplicate-target";
    case DiagnosticCode::kModuleElsewhere:
      return "module-elsewhere";
    case DiagnosticCode::kEmptyModule:
      return "empty-module";
    case DiagnosticCode::kUnterminatedComment:
      return "unterminated-comment";
    case DiagnosticCode::kNulByte:
      return "nul-byte";
    case DiagnosticCode::kMissingImage:
      return "missing-image";
    case DiagnosticCode::kMalformedUtf8:
      return "malformed-utf8";
    case DiagnosticCode::kTextBeforeFirstBook:
      return "text-before-first-book";
    case DiagnosticCode::kUnresolvedLink:
      return "unresolved-link";
    case DiagnosticCode::kLinkLookalike:
      return "link-lookalike";
  }
  return "?";
}

std::string FormatDiagnostic(const Diagnostic& d) {
  std::string s = d.file;
  if (d.line > 0) s += ":" + std::to_string(d.line);
  s += ": warning: " + d.message + " [";
  s += DiagnosticCodeName(d.code);
  s += "]";
  return s;
}

}  // namespace quillavor
