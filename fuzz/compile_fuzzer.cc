// Source bytes -> the whole compile -> module image in memory -> the reader and
// the module checker. Any crash, sanitizer report, unreadable image or checker
// violation is a finding, and so is a module file stream that zlib does not
// decode to the image. The first input byte picks the options, so that the
// "spanish" and "windowspage" paths are fuzzed too. Each source is compiled
// a second time with its words analysed on another thread: the same image.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "compile/compilation.h"
#include "output/module_writer.h"
#include "output/parallel_deflate.h"
#include "platform/thread_pool.h"
#include "reader/module_checker.h"
#include "reader/module_reader.h"

namespace {

// The source as the loader hands it on in this respect: it drops every
// byte-order mark wherever it stands, so that "<a" BOM "=" is "<a=".
std::string WithoutByteOrderMarks(std::string_view source) {
  std::string out;
  out.reserve(source.size());
  for (size_t at = 0; at < source.size();) {
    if (source.substr(at, 3) == "\xEF\xBB\xBF") {
      at += 3;
    } else {
      out.push_back(source[at++]);
    }
  }
  return out;
}

bool HoldsEncodedLookalike(std::string_view source) {
  for (size_t at = source.find("<a="); at != std::string_view::npos;
       at = source.find("<a=", at + 1)) {
    if (at + 3 < source.size() && static_cast<uint8_t>(source[at + 3]) >= 0x80) return true;
  }
  // A link tag ("<", a letter, "=" and a quote) with a byte of 0x80 or above
  // before its ">" (or before the line's end when it has none).
  for (size_t at = source.find("=\""); at != std::string_view::npos;
       at = source.find("=\"", at + 1)) {
    if (at < 2 || source[at - 2] != '<') continue;
    const size_t end = std::min(source.find_first_of(">\r\n", at), source.size());
    for (const char c : source.substr(at, end - at)) {
      if (static_cast<uint8_t>(c) >= 0x80) return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillavor;
  static const char16_t* const kOptions[] = {u"", u"spanish", u"windowspage",
                                             u"spanish,windowspage"};
  // Only a leading byte below 4 selects options: ordinary sources (starting
  // with a letter or "<") compile with none and stay valid seeds.
  std::u16string_view options = u"";
  if (size > 0 && data[0] < 4) {
    options = kOptions[data[0]];
    ++data;
    --size;
  }
  NullProgress progress;
  // Diagnostics are gathered too, so that the line map and the reports are
  // fuzzed with the build they never change.
  DiagnosticList diagnostics;
  CompileResult compiled;
  try {
    compiled = CompileModuleFromBytes(u"Fuzz", u"FZ", u"fuzz.txt", std::u16string(options),
                                      {data, size}, progress, &diagnostics);
  } catch (const SourceError&) {
    return 0;  // sources the format cannot hold are refused with a message
  } catch (const IoError&) {
    return 0;  // an image file named in the source that cannot be read
  }
  std::vector<uint8_t> image = AssembleImage(*compiled.module);  // a FormatError here is a finding
  // The same compile with the verses' words analysed on a second thread must
  // give the same image.
  {
    Compilation run(u"Fuzz", u"FZ", u"fuzz.txt", std::u16string(options), progress);
    run.UseThreads(2, 0);
    std::optional<std::string> prepared = run.Load(std::span<const uint8_t>(data, size));
    if (prepared) run.CompileMarkup(*prepared);
    prepared.reset();
    run.ResolveLinks();
    run.Finalize();
    CompileResult helped = run.Finish();
    if (AssembleImage(*helped.module) != image) {
      std::fprintf(stderr, "the words analysed on a second thread give another image\n");
      __builtin_trap();
    }
  }
  // The image as the module file stores it, but cut into a few chunks even
  // when it is small, so that their joins are fuzzed: zlib must decode the
  // stream to the image.
  {
    static ThreadPool callerOnly(1);
    const CostSpan whole[1] = {{image.size(), 1}};
    // Levels differ from chunk to chunk, as the parts of a large image do.
    std::vector<PlannedChunk> plan;
    for (const size_t end : PlanChunks(whole, image.size() / 4 + 1)) {
      plan.push_back({end, 1 + static_cast<int>((image.size() + plan.size() * 5) % 12)});
    }
    const std::vector<uint8_t> stream = ZlibCompressChunks(image, plan, callerOnly);
    std::vector<uint8_t> back(image.size() + 1);
    uLongf backLength = static_cast<uLongf>(back.size());
    uLong streamLength = static_cast<uLong>(stream.size());
    if (uncompress2(back.data(), &backLength, stream.data(), &streamLength) != Z_OK ||
        streamLength != stream.size() || backLength != image.size() ||
        !std::equal(image.begin(), image.end(), back.begin())) {
      std::fprintf(stderr, "the joined zlib stream does not decode to the image\n");
      __builtin_trap();
    }
  }
  const ModuleView view(std::move(image));
  std::vector<Violation> violations = CheckModule(view, &compiled.changedAfterIndexing);
  // An encoded link is told from text only by bit 15 of its units, so text
  // of U+8000 or above (or malformed UTF-8, which decodes to U+FFFD) reads as
  // part of one when it directly follows "<a=" (no link tag: stored as
  // written, and the compiler warns of it), or when it follows the pairs of
  // a resolved link whose value the pairs fill (a high unit inside the tag,
  // or after a tag without ">"). Encoded link violations count only when the
  // source holds neither.
  const bool encodedLookalike =
      HoldsEncodedLookalike(WithoutByteOrderMarks({reinterpret_cast<const char*>(data), size}));
  if (encodedLookalike) {
    std::erase_if(violations, [](const Violation& v) {
      return v.message.find("encoded") != std::string::npos;
    });
  }
  // A link value left as written that only looks resolved: the build gave a
  // link-lookalike diagnostic.
  const bool lookalikeReported =
      std::any_of(diagnostics.items.begin(), diagnostics.items.end(),
                  [](const Diagnostic& d) { return d.code == DiagnosticCode::kLinkLookalike; });
  if (lookalikeReported) {
    std::erase_if(violations, [](const Violation& v) {
      return v.message.find("resolved value") != std::string::npos ||
             v.message.find("footnote value") != std::string::npos;
    });
  }
  // QUILLAVOR_FUZZ_CHECK=0 runs the compile without failing on violations
  // (crashes and sanitizer reports still fail), for runs that must not stop
  // at a violation already known.
  static const bool strict = [] {
    const char* v = std::getenv("QUILLAVOR_FUZZ_CHECK");
    return v == nullptr || std::string_view(v) != "0";
  }();
  if (strict && !violations.empty()) {
    for (size_t i = 0; i < violations.size() && i < 20; ++i) {
      std::fprintf(stderr, "violation: %s\n", violations[i].ToString().c_str());
    }
    __builtin_trap();
  }
  return 0;
}
