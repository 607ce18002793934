#include "markup/compiler.h"

#include <cstdio>
#include <limits>
#include <string>

#include "markup/line_compiler.h"
#include "markup/rewrite.h"
#include "model/errors.h"
#include "model/module.h"
#include "model/progress.h"
#include "platform/text.h"

namespace quillavor {

namespace {

// Adds the rewritten and decoded `prepared` text (`length` bytes once
// rewritten) to the pool as one string and returns its index, exactly as
// AddString of the decoded text would (same growth, same index). UTF-8 never
// decodes into more code units than it has bytes, so when the pool has room
// for `length` units without growing, the text is rewritten and decoded
// straight into the pool; otherwise it goes through temporaries.
int32_t AddRewrittenText(Module& module, std::string_view prepared, int64_t length) {
  if (module.pool.Length() > module.poolLength + length + 1) {
    char16_t* dest = module.pool.Data() + module.poolLength;
    const int64_t units = RewriteDecodeInto(prepared, dest);
    dest[units] = 0;
    const int32_t index = module.poolLength;
    module.poolLength = static_cast<int32_t>(module.poolLength + units + 1);
    return index;
  }
  return module.AddString(text::DecodeUtf8(RewriteText(prepared)));
}

// Text "<a=" directly followed by a code unit at or above U+8000 is no link
// tag (a link tag has a double quote there) and is stored as written, but a
// reading program takes it for a resolved link, whose references are coded
// in units with bit 15 set. The module keeps the text; the operator is told
// where it stands so that the source can be mended.
void WarnOfLinkLookalikes(const Module& module, int32_t begin, int32_t end, Progress& progress) {
  const char16_t* pool = module.pool.Data();
  int64_t line = 1;
  int32_t counted = begin;  // line breaks are counted up to here
  for (const char16_t* at = text::FindUnit(pool + begin, pool + end, u'='); at < pool + end;
       at = text::FindUnit(at + 1, pool + end, u'=')) {
    const int32_t i = static_cast<int32_t>(at - pool);
    if (i - begin < 2 || i + 1 >= end || pool[i - 2] != u'<' || pool[i - 1] != u'a' ||
        pool[i + 1] < 0x8000) {
      continue;
    }
    for (; counted < i; ++counted) {
      const char16_t c = pool[counted];
      if (c == u'\n' || (c == u'\r' && pool[counted + 1] != u'\n')) ++line;
    }
    char name[8];
    std::snprintf(name, sizeof name, "%04X", static_cast<unsigned>(pool[i + 1]));
    const std::string cause =
        pool[i + 1] == 0xFFFD ? " (malformed UTF-8 in the source)" : std::string();
    progress.Warning(text::DecodeUtf8("line " + std::to_string(line) +
                                      ": the text \"<a=\" followed by U+" + name + cause +
                                      " reads as a resolved link in a reading program"));
  }
}

// The pool index where each line of the text [begin, end) starts; a line
// ends at LF, at CR LF, or at a CR alone.
std::vector<int32_t> LineStarts(const Module& module, int32_t begin, int32_t end) {
  const char16_t* pool = module.pool.Data();
  std::vector<int32_t> starts{begin};
  for (int32_t i = begin; i < end; ++i) {
    const char16_t c = pool[i];
    if (c == u'\n' || (c == u'\r' && pool[i + 1] != u'\n')) starts.push_back(i + 1);
  }
  return starts;
}

}  // namespace

void CompileSource(Module& module, std::string_view prepared, Progress& progress,
                   LineStages& stages, DictionaryAccel& labelAccel, PendingLinks& pendingLinks,
                   std::vector<int32_t>* lineStarts) {
  int32_t textBegin = 0;
  int32_t textEnd = 0;
  {
    StageTimer timer(progress, Stage::kRewriteDecode);
    // The prepared text ends at its first 0 byte.
    const size_t zero = prepared.find('\0');
    if (zero != std::string_view::npos) prepared = prepared.substr(0, zero);
    const int64_t length = RewrittenLength(prepared);
    // Pool indexes are 32-bit: the text and the strings before it must fit.
    const int64_t firstStrings =
        static_cast<int64_t>(module.name.size() + module.abbreviation.size()) + 3;
    if (length + firstStrings >= std::numeric_limits<int32_t>::max()) {
      throw SourceError(text::EncodeUtf8(module.sourcePath) +
                        ": the source text is too large for a module");
    }
    // Room for name, abbreviation and text, so the source copy needs no growth.
    module.pool.SetLength(length * 3 / 2);
    module.AddString(module.name);
    module.AddString(module.abbreviation);
    textBegin = AddRewrittenText(module, prepared, length);
    textEnd = module.poolLength - 1;
    WarnOfLinkLookalikes(module, textBegin, textEnd, progress);
    if (lineStarts != nullptr) *lineStarts = LineStarts(module, textBegin, textEnd);
  }
  {
    StageTimer timer(progress, Stage::kLineCompiler);
    CutLines(module, textBegin, textEnd);
    LineCompiler compiler(module, progress, stages, labelAccel, pendingLinks);
    compiler.Run(textBegin, textEnd);
  }
}

}  // namespace quillavor
