// Module-file bytes -> the reader, the dump and the checker: only FormatError
// or a list of violations, never a crash.
#include <cstddef>
#include <cstdint>
#include <sstream>

#include "app/inspect.h"
#include "reader/module_checker.h"
#include "reader/module_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillavor;
  try {
    ModuleView view(ModuleImageFromFileBytes(std::span<const uint8_t>(data, size)));
    std::ostringstream sink;
    PrintModule(view, InspectOptions{}, sink);
    PrintModuleJson(view, sink);
    (void)CheckModule(view);
  } catch (const FormatError&) {
  }
  return 0;
}
