// The module checker's public entry points: computes the layout once, then
// runs one check per block over the read-only module view.
#include "reader/module_checker.h"

#include "platform/text.h"
#include "reader/check_internal.h"

namespace quillavor {

namespace check {

void Violations::Add(std::string_view block, int64_t record, std::string_view field,
                     std::string message) {
  if (list_.size() > kMaxViolations) return;
  if (list_.size() == kMaxViolations) {
    list_.push_back(Violation{"", -1, "", "too many violations; the check stopped reporting"});
    return;
  }
  list_.push_back(Violation{std::string(block), record, std::string(field), std::move(message)});
}

std::string N(int64_t v) { return std::to_string(v); }

std::string Quote(std::u16string_view s) {
  std::string out = "\"";
  for (char16_t c : s) {
    if (c < 0x20 || c >= 0xD800) {
      static constexpr std::string_view kHex = "0123456789ABCDEF";
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 0xF];
    } else {
      out += text::EncodeUtf8(std::u16string_view(&c, 1));
    }
  }
  return out + "\"";
}

}  // namespace check

std::string Violation::ToString() const {
  std::string s = block;
  if (record >= 0) s += (s.empty() ? "" : ", ") + std::string("record ") + std::to_string(record);
  if (!field.empty()) s += (s.empty() ? "" : ", ") + std::string("field ") + field;
  return s.empty() ? message : s + ": " + message;
}

std::vector<Violation> CheckModule(const ModuleView& module,
                                   const std::vector<int32_t>* changedAfterIndexing) {
  const check::Layout layout = check::ComputeLayout(module, changedAfterIndexing);
  check::Violations out;
  check::CheckCounters(layout, out);
  check::CheckBookNamesAndBooks(layout, out);
  check::CheckVerses(layout, out);
  check::CheckWords(layout, out);
  check::CheckWordRefs(layout, out);
  check::CheckImageFields(layout, out);
  check::CheckLinks(layout, out);
  return out.Take();
}

std::vector<Violation> CheckModuleImage(std::span<const uint8_t> image,
                                        const std::vector<int32_t>* changedAfterIndexing) {
  try {
    ModuleView view(std::vector<uint8_t>(image.begin(), image.end()));
    return CheckModule(view, changedAfterIndexing);
  } catch (const FormatError& e) {
    return {Violation{"", -1, "", e.what()}};
  }
}

}  // namespace quillavor
