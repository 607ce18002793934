#include "markup/compiler.h"

#include "index/link_resolver.h"
#include "model/module.h"

namespace quillavor {

// Placeholder until the line compiler is built: nothing is compiled.
void CompileSource(Module&, std::string_view, Progress&, PendingLinks&) {}

}  // namespace quillavor
