// Source bytes -> the whole compile -> module image in memory -> the reader.
// Any crash, sanitizer report or unreadable image is a finding.
#include <cstddef>
#include <cstdint>

#include "model/module.h"
#include "output/module_writer.h"
#include "reader/module_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillavor;
  NullProgress progress;
  std::unique_ptr<Module> module;
  try {
    module = Module::FromSourceBytes(u"Fuzz", u"FZ", u"fuzz.txt", u"", {data, size}, progress);
  } catch (const SourceError&) {
    return 0;  // sources the format cannot hold are refused with a message
  } catch (const DynArrayOutOfRange&) {
    return 0;  // an image reference naming no image
  }
  ModuleView view(AssembleImage(*module));  // a FormatError here is a finding
  return 0;
}
