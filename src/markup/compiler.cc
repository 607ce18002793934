#include "markup/compiler.h"

#include <limits>
#include <string>

#include "index/link_resolver.h"
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

}  // namespace

void CompileSource(Module& module, std::string_view prepared, Progress& progress,
                   PendingLinks& pending) {
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
  }
  {
    StageTimer timer(progress, Stage::kLineCompiler);
    CutLines(module, textBegin, textEnd);
    LineCompiler compiler(module, progress, pending);
    compiler.Run(textBegin, textEnd);
  }
}

}  // namespace quillavor
