// The checker over modules the compiler builds: the examples and the whole
// King James Version of the corpus must come out without a violation.
#include <gtest/gtest.h>

#include <filesystem>

#include "output/module_writer.h"
#include "reader/module_checker.h"
#include "support/test_support.h"

namespace quillavor {
namespace {

ModuleView CompileFile(const std::filesystem::path& path) {
  std::unique_ptr<Module> m = testing::CompileText(testing::ReadFile(path));
  return ModuleView(AssembleImage(*m));
}

TEST(CompiledModulesCheck, ExamplesPass) {
  const std::filesystem::path examples = std::filesystem::path(QUILLAVOR_SOURCE_DIR) / "examples";
  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(examples)) {
    if (entry.path().extension() != ".txt") continue;
    SCOPED_TRACE(entry.path().filename().string());
    testing::ExpectModuleValid(CompileFile(entry.path()));
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

TEST(CompiledModulesCheck, CorpusPasses) {
  const std::filesystem::path corpus = testing::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "no corpus";
  const ModuleView view = CompileFile(corpus / "kjv.txt");
  EXPECT_GT(view.counters().wordRefCount, 0);
  testing::ExpectModuleValid(view);
}

}  // namespace
}  // namespace quillavor
