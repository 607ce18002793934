#include "index/link_resolver.h"

#include "model/module.h"

namespace quillavor {

// Placeholders until link resolution is built: every link is refused.
void RegisterBook(Module&, int32_t) {}
bool LinkStep(Module&, int32_t, int32_t) { return false; }

void ResolveLinkage(Module&, PendingLinks&, Progress& progress) {
  progress.Phase(u"Resolve linkage");
}

}  // namespace quillavor
