#include "app/gui/run_report.h"

#include <charconv>
#include <optional>
#include <string>
#include <utility>

namespace quillavor::gui {

namespace {

bool IsCodeUnit(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'-'; }

// A leading "code: " (lower-case letters, digits and hyphens, starting with a
// letter) is taken off `text` and returned; "line" is never a code.
std::u16string_view TakeCode(std::u16string_view& text) {
  size_t n = 0;
  while (n < text.size() && IsCodeUnit(text[n])) ++n;
  if (n == 0 || text[0] < u'a' || text[0] > u'z' || text.substr(n).substr(0, 2) != u": ") return {};
  const std::u16string_view code = text.substr(0, n);
  if (code == u"line") return {};
  text.remove_prefix(n + 2);
  return code;
}

// A leading "line N: " is taken off `text` and N returned; 0 when there is none.
int64_t TakeLine(std::u16string_view& text) {
  constexpr std::u16string_view kLine = u"line ";
  if (!text.starts_with(kLine)) return 0;
  size_t end = kLine.size();
  std::string digits;
  while (end < text.size() && text[end] >= u'0' && text[end] <= u'9' && digits.size() < 18) {
    digits += static_cast<char>(text[end]);
    ++end;
  }
  if (digits.empty() || text.substr(end).substr(0, 2) != u": ") return 0;
  int64_t line = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), line);
  text.remove_prefix(end + 2);
  return line;
}

}  // namespace

LogDiagnostic DiagnosticFromText(std::u16string_view text, std::u16string_view file, bool error) {
  LogDiagnostic d;
  d.error = error;
  d.file = file;
  d.code = TakeCode(text);
  d.line = TakeLine(text);
  d.message = text;
  return d;
}

const char16_t* LogOutcomeText(LogOutcome outcome) {
  switch (outcome) {
    case LogOutcome::kRunning:
      return u"building";
    case LogOutcome::kBuilt:
      return u"built";
    case LogOutcome::kSkipped:
      return u"skipped";
    case LogOutcome::kFailed:
      return u"failed";
  }
  return u"?";
}

void RunReport::StartLine(std::u16string_view piece) {
  LogLine& line = lines_.emplace_back();
  line.piece = piece;
  if (std::optional<ModuleLine> parsed = ParseModuleLine(piece)) line.sourcePath = parsed->sourcePath;
  open_ = true;
}

LogLine& RunReport::Current() {
  if (!open_) StartLine(u"");
  return lines_.back();
}

const LogLine& RunReport::AddDiagnostic(LogDiagnostic diagnostic) {
  LogLine& line = Current();
  line.diagnostics.push_back(std::move(diagnostic));
  return line;
}

void RunReport::FinishLine(LineOutcome outcome, std::u16string_view modulePath) {
  LogLine& line = Current();
  if (outcome == LineOutcome::kBuilt) {
    line.outcome = LogOutcome::kBuilt;
    line.detail = modulePath;
  } else {
    line.outcome = LogOutcome::kSkipped;
    // "skipped: the reason" gives the reason.
    std::string_view reason = LineOutcomeText(outcome);
    if (const size_t colon = reason.find(": "); colon != std::string_view::npos) {
      reason.remove_prefix(colon + 2);
    }
    line.detail.assign(reason.begin(), reason.end());
  }
  open_ = false;
}

void RunReport::FailLine(std::u16string_view cause) {
  LogLine& line = Current();
  line.outcome = LogOutcome::kFailed;
  line.diagnostics.push_back(DiagnosticFromText(cause, line.sourcePath, true));
  open_ = false;
}

int RunReport::Count(LogOutcome outcome) const {
  int n = 0;
  for (const LogLine& line : lines_) n += line.outcome == outcome ? 1 : 0;
  return n;
}

int RunReport::Warnings() const {
  int n = 0;
  for (const LogLine& line : lines_) {
    for (const LogDiagnostic& d : line.diagnostics) n += d.error ? 0 : 1;
  }
  return n;
}

std::u16string RunReport::Summary(bool stopped) const {
  if (lines_.empty()) return {};
  auto number = [](int n) {
    const std::string s = std::to_string(n);
    return std::u16string(s.begin(), s.end());
  };
  std::u16string s = number(Count(LogOutcome::kBuilt)) + u" built";
  if (const int skipped = Count(LogOutcome::kSkipped)) s += u", " + number(skipped) + u" skipped";
  if (const int failed = Count(LogOutcome::kFailed)) s += u", " + number(failed) + u" failed";
  if (const int warnings = Warnings()) {
    s += u", " + number(warnings) + (warnings == 1 ? u" warning" : u" warnings");
  }
  if (stopped) s += u", stopped";
  return s;
}

}  // namespace quillavor::gui
