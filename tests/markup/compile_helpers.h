// Compiles markup held in memory through the markup stage of a compile run
// alone (no source loading, no link resolution afterwards), so that tests see
// the pending links and can give the module images of their own.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "compile/compilation.h"
#include "model/module.h"
#include "support/test_support.h"

namespace quillavor::testing {

struct Compiled {
  RecordingProgress progress;
  Compilation run{u"Test", u"T", u"test.txt", u"", progress};
  Module* module = &run.module();
  const PendingLinks& pending = run.pendingLinks();

  Module& m() { return *module; }
  std::string Pool(int32_t index) const { return U8(module->StringView(index)); }
  std::string VerseText(int32_t v) const { return Pool(module->verses[v].text); }
  std::string Label(int32_t v) const {
    const int32_t label = module->verses[v].label;
    return label == kNone ? "(none)" : Pool(label);
  }
  std::string Title(int32_t b) const { return Pool(module->books[b].title); }
  std::string BookName(int32_t b) const {
    return Pool(module->bookNames[module->books[b].nameIndex].name);
  }
  std::vector<std::string> VerseTexts() const {
    std::vector<std::string> texts;
    for (int32_t v = 0; v < module->verseCount; ++v) texts.push_back(VerseText(v));
    return texts;
  }
};

// `imageCount` empty images are put into the module before compiling.
inline std::unique_ptr<Compiled> CompileMarkup(std::string_view source, int imageCount = 0) {
  auto c = std::make_unique<Compiled>();
  for (int i = 0; i < imageCount; ++i) c->module->images.Grow(1);
  c->run.CompileMarkup(source);
  return c;
}

}  // namespace quillavor::testing
